// HttpClient.connect. Three stages, each bounded by the connect time-out: the path to the
// server (asked for only when none is known), the server's identity, and a link, made
// again when Reticulum gives a pending one up. Every Reticulum call that may wait on a
// shared instance runs through the bounded worker (transport/bounded_call.hpp).
#include "client/connect.hpp"

#include "client/session.hpp"
#include "common/reticulum_check.hpp"
#include "support/native_function.hpp"
#include "support/sync.hpp"
#include "transport/bounded_call.hpp"
#include "transport/reticulum_io.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

namespace zv::client {

Ref rns_attr(PyObject* module, const char* a, const char* b) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) return {};
    Ref first = attr(rns.get(), a);
    if (!first || !b) return first;
    return attr(first.get(), b);
}

namespace {

using Clock = std::chrono::steady_clock;

// `seconds` from now; a negative `seconds` (no limit) is as good as never.
Clock::time_point deadline_in(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(seconds < 0 ? 1e9 : std::min(seconds, 1e9)));
}

double seconds_until(Clock::time_point t) { return std::chrono::duration<double>(t - Clock::now()).count(); }

void sleep_released(double seconds) {
    sync::without_gil([&] { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); });
}

bool is_true(PyObject* value, int* out) {
    *out = PyObject_IsTrue(value);
    return *out >= 0;
}

// self._connect_timeout as seconds (< 0: none). False with an exception set.
bool connect_timeout(PyObject* self, double* seconds) {
    Ref value = attr(self, ZV_STR("_connect_timeout"));
    bool ok = false;
    if (value) *seconds = seconds_of(value.get(), &ok);
    return ok;
}

// True when the bounded call came back in time; false with an exception set otherwise,
// TransportError(message) when it did not.
bool finished(PyObject* module, const Ref& result, bool timed_out, const char* message) {
    if (timed_out) raise_transport_error(module, message);
    return !timed_out && result;
}

// ----- progress ----------------------------------------------------------------------
//
// A connect may be watched: `self._progress`, when it is a callable, is called with one
// line of text about a stage that is taking a while. HttpClient never sets it (a library
// prints nothing); the zivane-client command and the proxy set it on their clients to say
// what they wait for. It is looked up at each report, so it can be set or cleared at any
// time. A stage that is over within kQuietStage says nothing: a fast connect stays silent.
constexpr double kQuietStage = 1.0;

// Calls self._progress(text) when it is set. False with the hook's exception set.
bool report(PyObject* self, const std::string& text) {
    PyObject* hook = nullptr;
    if (PyObject_GetOptionalAttr(self, ZV_STR("_progress"), &hook) < 0) return false;
    Ref watcher = Ref::steal(hook);
    if (!watcher || watcher.is_none()) return true;
    Ref line = Ref::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
    return line && call(watcher.get(), {line.get()});
}

// One stage of a connect, as its watcher hears of it: once it has lasted kQuietStage, what
// it waits for; then, if that was said, how it ended.
class Stage {
public:
    explicit Stage(PyObject* self) : self_(self), start_(Clock::now()) {}

    double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

    // Reports what() once the stage has lasted kQuietStage. False with an exception set.
    template <class Text>
    bool waiting(Text&& what) {
        if (told_ || elapsed() < kQuietStage) return true;
        told_ = true;
        return report(self_, what());
    }
    // Reports what() when the stage said it was waiting. False with an exception set.
    template <class Text>
    bool ended(Text&& what) {
        return !told_ || report(self_, what());
    }

private:
    PyObject* const self_;
    const Clock::time_point start_;
    bool told_ = false;
};

}  // namespace

std::string destination_text(PyObject* self) {
    Ref h = attr(self, ZV_STR("_destination_hash"));
    Ref hex = h && PyBytes_Check(h.get()) ? call_method(h.get(), ZV_STR("hex")) : Ref{};
    const char* text = hex ? PyUnicode_AsUTF8(hex.get()) : nullptr;
    if (!text) PyErr_Clear();
    return text ? text : "the server";
}

namespace {

// " (giving up in 118 s)" for the time left before `deadline`, "" when it is unlimited.
std::string time_left(bool limited, Clock::time_point deadline) {
    if (!limited) return "";
    return " (giving up in " + std::to_string(std::max(0L, std::lround(seconds_until(deadline)))) + " s)";
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// ----- the path ----------------------------------------------------------------------

// RNS.Transport.<name>(self._destination_hash) on a worker, bounded by `deadline`.
Ref bounded_path_call(PyObject* self, PyObject* transport, const char* name, Clock::time_point deadline,
                      bool* timed_out) {
    Ref fn = attr(transport, name);
    Ref h = fn ? attr(self, ZV_STR("_destination_hash")) : Ref{};
    Ref args = h ? new_tuple({h.get()}) : Ref{};
    if (!args) return {};
    return rns::call_bounded(fn.get(), args.get(), deadline, timed_out);
}

// Numeric attribute of `obj` (a callable is called first), else `fallback`. Clears errors.
double number_or(PyObject* obj, const char* name, double fallback) {
    Ref value = obj ? Ref::steal(PyObject_GetAttrString(obj, name)) : Ref{};
    if (value && PyCallable_Check(value.get())) value = call(value.get());
    double v = value && PyNumber_Check(value.get()) ? PyFloat_AsDouble(value.get()) : fallback;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        v = fallback;
    }
    return v;
}

// Whether this process reaches the network through a shared instance
// (RNS.Reticulum.get_instance().is_connected_to_shared_instance).
bool through_shared_instance(PyObject* module) {
    Ref reticulum = rns_attr(module, "Reticulum");
    Ref get_instance =
        reticulum ? Ref::steal(PyObject_GetAttrString(reticulum.get(), "get_instance")) : Ref{};
    Ref instance = get_instance && PyCallable_Check(get_instance.get()) ? call(get_instance.get()) : Ref{};
    Ref shared = instance
                     ? Ref::steal(PyObject_GetAttrString(instance.get(), "is_connected_to_shared_instance"))
                     : Ref{};
    int yes = shared ? PyObject_IsTrue(shared.get()) : 0;
    PyErr_Clear();
    return yes > 0;
}

// When a path request goes unanswered, and when it is asked again.
//
// A process with interfaces of its own asks the network, and every request costs air
// time twice: the request, and the answer each one gets (from the destination, or from a
// transport node, whose answers also wait for its announce cap). So a request is repeated
// only once Reticulum's own time-out for it has passed: the longer of PATH_REQUEST_TIMEOUT
// and the medium's round trip for a full packet on the slowest interface
// (medium_path_timeout), which is what a transport node gives the discovery it runs for
// such a request. Each repeat waits twice as long as the one before.
//
// A process attached to a shared instance asks that instance, which answers at once from
// its path table; but an answer for a destination that several local clients asked for at
// the same moment reaches only the last of them, so the others ask again soon. Those
// repeats do not reach the air: while the instance's own request for the destination is in
// flight, it batches further requests for it instead of forwarding them (RNS 1.5).
struct PathRepeats {
    double next;     // seconds until the next repeat
    double growth;   // factor of each following gap
    double longest;  // the gaps grow no further
};

PathRepeats path_repeats(PyObject* module, PyObject* transport) {
    if (through_shared_instance(module)) return {0.5, 1.25, 1.5};
    double timeout = std::max(number_or(transport, "PATH_REQUEST_TIMEOUT", 15.0),
                              number_or(transport, "medium_path_timeout", 0.0));
    return {timeout, 2.0, 1e9};
}

// has_path (a look in the path table) is polled from a millisecond on, as a path over TCP
// comes in milliseconds, and never less often than this: what the poll adds to a radio
// path's seconds stays well under the time its answer takes to be processed.
constexpr double kFirstPathPoll = 0.001, kLongestPathPoll = 0.004;

// Waits for the path after one request went out, asking again as PathRepeats says: in the
// background, one at a time, so a repeat that does not come back neither stops the
// polling nor piles up work. 1 path known, 0 not before `deadline`, -1 with an exception.
int wait_for_path(PyObject* module, PyObject* self, PyObject* transport, Clock::time_point deadline,
                  Stage& stage, bool limited) {
    PathRepeats repeats = path_repeats(module, transport);
    auto next_repeat = deadline_in(repeats.next);
    Ref has_path = attr(transport, "has_path");
    Ref request_path = has_path ? attr(transport, "request_path") : Ref{};
    Ref h = request_path ? attr(self, ZV_STR("_destination_hash")) : Ref{};
    Ref args = h ? new_tuple({h.get()}) : Ref{};
    if (!args) return -1;
    rns::Repeater repeat(request_path, args);
    for (double poll = kFirstPathPoll;; poll = std::min(1.5 * poll, kLongestPathPoll)) {
        double left = seconds_until(deadline);
        if (left <= 0) return 0;
        sleep_released(std::min(poll, left));
        if (PyErr_CheckSignals() < 0) return -1;
        if (!stage.waiting([&] {
                return "Path to " + destination_text(self) + " requested, waiting for an answer" +
                       time_left(limited, deadline);
            }))
            return -1;
        Ref known = call(has_path.get(), {h.get()});
        int yes = known ? PyObject_IsTrue(known.get()) : -1;
        if (yes != 0) return yes;
        if (Clock::now() < next_repeat) continue;
        if (repeat.tick() < 0) return -1;
        repeats.next = std::min(repeats.next * repeats.growth, repeats.longest);
        next_repeat = deadline_in(repeats.next);
    }
}

// "3 hops" to the destination as the path table has it; "" when it does not say.
std::string hops_text(PyObject* module, PyObject* self) {
    Ref hops_to = rns_attr(module, "Transport", "hops_to");
    Ref h = hops_to ? attr(self, ZV_STR("_destination_hash")) : Ref{};
    Ref hops = h ? call(hops_to.get(), {h.get()}) : Ref{};
    long count = hops && PyLong_Check(hops.get()) ? PyLong_AsLong(hops.get()) : -1;
    PyErr_Clear();
    if (count < 0) return "";
    return std::to_string(count) + (count == 1 ? " hop" : " hops");
}

// The path stage: a request only when no path is known, then the wait for it, all within
// the connect time-out. False with an exception set.
bool find_path(PyObject* module, PyObject* self) {
    const char* const no_path = "Timeout waiting for path to server";
    Ref transport = rns_attr(module, "Transport");
    double seconds;
    if (!transport || !connect_timeout(self, &seconds)) return false;
    auto deadline = deadline_in(seconds);
    Stage stage(self);
    bool timed_out = false;
    Ref known = bounded_path_call(self, transport.get(), "has_path", deadline, &timed_out);
    if (!finished(module, known, timed_out, no_path)) return false;
    int truth;
    if (!is_true(known.get(), &truth)) return false;
    if (truth) return true;
    Ref requested = bounded_path_call(self, transport.get(), "request_path", deadline, &timed_out);
    if (!finished(module, requested, timed_out, no_path)) return false;
    int found = wait_for_path(module, self, transport.get(), deadline, stage, seconds >= 0);
    if (found == 0) raise_transport_error(module, no_path);
    return found > 0 && stage.ended([&] {
        std::string hops = hops_text(module, self);
        return "Path to " + destination_text(self) + " found after " + seconds_text(stage.elapsed()) +
               (hops.empty() ? "" : ": " + hops);
    });
}

// ----- the server's identity -------------------------------------------------------------

// RNS.Identity.recall(self._destination_hash) within `deadline`. Empty with an exception set.
Ref recall_server(PyObject* module, PyObject* self, Clock::time_point deadline) {
    Ref recall = rns_attr(module, "Identity", "recall");
    Ref h = recall ? attr(self, ZV_STR("_destination_hash")) : Ref{};
    Ref args = h ? new_tuple({h.get()}) : Ref{};
    if (!args) return {};
    bool timed_out = false;
    Ref identity = rns::call_bounded(recall.get(), args.get(), deadline, &timed_out);
    if (!identity && !timed_out) return {};
    if (timed_out || identity.is_none()) {
        raise_transport_error(module, "Could not recall server identity");
        return {};
    }
    return identity;
}

// Whether `dest`, made from the identity that announced the destination hash, is that
// destination. A hash announced for another port names the same identity, but the link
// would go to a destination nobody serves and wait out the connect time-out: said at
// once instead. False with an exception set. A destination without `hash` (a stand-in)
// is taken as it is.
bool serves_port(PyObject* module, PyObject* self, PyObject* dest, PyObject* port) {
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(dest, ZV_STR("hash"), &raw) < 0) return false;
    if (!raw) return true;
    Ref made = Ref::steal(raw);
    Ref wanted = attr(self, ZV_STR("_destination_hash"));
    if (!wanted) return false;
    if (!PyBytes_Check(made.get()) || !PyBytes_Check(wanted.get())) return true;
    int same = PyObject_RichCompareBool(made.get(), wanted.get(), Py_EQ);
    if (same != 0) return same > 0;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Destination %s is not an HTTP server on port %S: its identity announced another port",
        destination_text(self).c_str(), port));
    const char* text = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (text) raise_transport_error(module, text);
    return false;
}

// The server's outbound destination, within `deadline`. Empty with an exception set.
Ref server_destination(PyObject* module, PyObject* self, Clock::time_point deadline) {
    Ref identity = recall_server(module, self, deadline);
    Ref destination_cls = identity ? rns_attr(module, "Destination") : Ref{};
    Ref out = destination_cls ? attr(destination_cls.get(), "OUT") : Ref{};
    Ref single = out ? attr(destination_cls.get(), "SINGLE") : Ref{};
    Ref port = single ? attr(self, ZV_STR("_port")) : Ref{};
    Ref aspect = port ? Ref::steal(PyObject_Str(port.get())) : Ref{};
    Ref app = aspect ? Ref::steal(PyUnicode_FromString("HTTP")) : Ref{};
    Ref args = app ? new_tuple({identity.get(), out.get(), single.get(), app.get(), aspect.get()}) : Ref{};
    if (!args) return {};
    bool timed_out = false;
    Ref dest = rns::call_bounded(destination_cls.get(), args.get(), deadline, &timed_out);
    if (!finished(module, dest, timed_out, "Connection timeout")) return {};
    if (!serves_port(module, self, dest.get(), port.get())) return {};
    return dest;
}

// ----- the link --------------------------------------------------------------------------

// How often a link being established is looked at: Reticulum closes one whose request or
// proof was lost after its establishment time-out (seconds per hop), and a new one is due.
constexpr double kLinkWatch = 0.1;
// A link closed sooner than this after its request was not given up for want of an
// answer: the next one waits out the rest, so no failure makes link requests back to back.
constexpr double kLinkRetryGap = 1.0;

enum class Establishing { Up, Late, Closed, Failed };

// Waits for `connected` (set by on_established) until `deadline` (none when unlimited),
// looking at the link's state between slices.
Establishing wait_established(PyObject* module, PyObject* self, PyObject* connected, PyObject* link,
                              bool limited, Clock::time_point deadline, Stage& stage) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) return Establishing::Failed;
    for (;;) {
        double left = limited ? std::max(0.0, seconds_until(deadline)) : kLinkWatch;
        Ref timeout = Ref::steal(PyFloat_FromDouble(std::min(left, kLinkWatch)));
        Ref up = timeout ? call_method(connected, ZV_STR("wait"), {timeout.get()}) : Ref{};
        int truth;
        if (!up || !is_true(up.get(), &truth)) return Establishing::Failed;
        if (truth) return Establishing::Up;
        if (limited && left <= kLinkWatch) return Establishing::Late;
        if (!stage.waiting([&] {
                return "Link to " + destination_text(self) + " requested, waiting for it to come up" +
                       time_left(limited, deadline);
            }))
            return Establishing::Failed;
        if (rns::link_closed(rns.get(), link)) return Establishing::Closed;
    }
}

PyObject* on_established_impl(NativeFunction* fn, PyObject* const*) {
    if (!call_method(captured(fn, 0), ZV_STR("set"))) return nullptr;
    Py_RETURN_NONE;
}

// The on_established callback of one connect, capturing its event.
Ref established_callback(PyObject* module, PyObject* connected) {
    Ref link_cls = rns_attr(module, "Link");
    Ref closure = link_cls ? new_tuple({connected}) : Ref{};
    if (!closure) return {};
    return make_function(module,
                         {"on_established",
                          "HttpClient.connect.<locals>.on_established",
                          nullptr,
                          {"_link"},
                          on_established_impl},
                         {}, {{"_link", link_cls.get()}, {"return", Py_None}}, closure.get());
}

// Lets go of the link being established and raises "Connection timeout".
Ref connection_timeout(PyObject* module, PyObject* self) {
    if (close_link(module, self)) raise_transport_error(module, "Connection timeout");
    return {};
}

// (RNS.Link, (destination, on_established)) for one connect. Empty with an exception set.
Ref link_arguments(PyObject* module, PyObject* dest, Ref* link_cls) {
    Ref threading = module_global(module, ZV_STR("threading"));
    Ref event_cls = threading ? attr(threading.get(), ZV_STR("Event")) : Ref{};
    Ref connected = event_cls ? call(event_cls.get()) : Ref{};
    Ref on_established = connected ? established_callback(module, connected.get()) : Ref{};
    *link_cls = on_established ? rns_attr(module, "Link") : Ref{};
    Ref args = *link_cls ? new_tuple({dest, on_established.get()}) : Ref{};
    return args ? new_tuple({connected.get(), args.get()}) : Ref{};
}

// After Reticulum closed a pending link: waits out the rest of the retry gap (within the
// deadline). False with an exception set, or with "Connection timeout" once time is up.
bool pause_before_retry(PyObject* module, PyObject* self, Clock::time_point requested, bool limited,
                        Clock::time_point deadline) {
    double pause = std::min(seconds_until(requested), limited ? seconds_until(deadline) : 1e9);
    if (pause > 0) sleep_released(pause);
    if (PyErr_CheckSignals() < 0) return false;
    if (limited && seconds_until(deadline) <= 0) {
        connection_timeout(module, self);
        return false;
    }
    return true;
}

// Links to `dest` until one is established, Reticulum's verdict on each pending one
// awaited, all before `deadline`.
Ref establish(PyObject* module, PyObject* self, PyObject* dest, bool limited, Clock::time_point deadline,
              Stage& stage) {
    Ref link_cls;
    Ref pair = link_arguments(module, dest, &link_cls);
    if (!pair) return {};
    PyObject* connected = PyTuple_GET_ITEM(pair.get(), 0);
    PyObject* link_args = PyTuple_GET_ITEM(pair.get(), 1);
    for (;;) {
        bool timed_out = false;
        auto requested = deadline_in(kLinkRetryGap);
        Ref link =
            rns::call_bounded(link_cls.get(), link_args, deadline, &timed_out, {.teardown_losers = true});
        if (timed_out) {
            if (PyObject_SetAttr(self, ZV_STR("_link"), Py_None) == 0)
                raise_transport_error(module, "Connection timeout");
            return {};
        }
        if (!link || PyObject_SetAttr(self, ZV_STR("_link"), link.get()) < 0) return {};
        switch (wait_established(module, self, connected, link.get(), limited, deadline, stage)) {
            case Establishing::Up:
                if (!stage.ended([&] {
                        return "Link to " + destination_text(self) + " up after " +
                               seconds_text(stage.elapsed());
                    }))
                    return {};
                return Ref::none();
            case Establishing::Failed: return {};
            case Establishing::Late: return connection_timeout(module, self);
            case Establishing::Closed:  // Reticulum gave this one up: another try
                if (!pause_before_retry(module, self, requested, limited, deadline)) return {};
        }
    }
}

}  // namespace

bool close_link(PyObject* module, PyObject* self) {
    Ref link = attr(self, ZV_STR("_link"));
    if (!link) return false;
    if (link.is_none()) return true;
    if (!call_method(link.get(), ZV_STR("teardown"))) return false;
    drop_session(module, link.get());
    return PyObject_SetAttr(self, ZV_STR("_link"), Py_None) == 0;
}

Ref connect_impl(PyObject* module, PyObject* self) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns || reticulum_check::require_running(rns.get()) < 0) return {};
    if (!call_method(self, ZV_STR("_load_or_create_identity"))) return {};
    if (!find_path(module, self)) return {};
    // From here on one connect time-out covers recall, link creation and establishment.
    double seconds;
    if (!connect_timeout(self, &seconds)) return {};
    auto deadline = deadline_in(seconds);
    Stage link_stage(self);
    Ref dest = server_destination(module, self, deadline);
    if (!dest) return {};
    return establish(module, self, dest.get(), seconds >= 0, deadline, link_stage);
}

}  // namespace zv::client
