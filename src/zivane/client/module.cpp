// zivane.client: HttpClient, TransportError and the client command.
//
// The client's operations are coroutine functions that never suspend: they block their
// thread in Reticulum calls and in threading.Event waits (which release the GIL), while
// Reticulum's threads deliver link and data callbacks.
#include "client/session.hpp"
#include "common/identity_file.hpp"
#include "package/modules.hpp"
#include "support/module_def.hpp"
#include "support/native_coroutine.hpp"
#include "support/tables.hpp"
#include "transport/reticulum_io.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace zv::client {

NativeBody command_main;  // command.cpp

namespace {

PyObject* obj(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

bool set(PyObject* self, PyObject* name, PyObject* value) { return PyObject_SetAttr(self, name, value) == 0; }

// RNS.<a>.<b> looked up now.
Ref rns_attr(PyObject* module, const char* a, const char* b = nullptr) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) return {};
    Ref first = attr(rns.get(), a);
    if (!first || !b) return first;
    return attr(first.get(), b);
}

// ----- construction and identity ----------------------------------------------------------

PyObject* init_impl(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref destination = Ref::borrow(args[1]);
    if (PyUnicode_Check(destination.get())) {
        destination = call_method(obj(&PyBytes_Type), ZV_STR("fromhex"), {destination.get()});
        if (!destination) return nullptr;
    }
    if (!set(self, ZV_STR("_destination_hash"), destination.get()) || !set(self, ZV_STR("_port"), args[2]))
        return nullptr;
    int truth = PyObject_IsTrue(args[3]);
    if (truth < 0) return nullptr;
    Ref path = truth ? Ref::borrow(args[3]) : call_method(self, ZV_STR("_default_identity_path"));
    if (!path || !set(self, ZV_STR("_identity_path"), path.get())) return nullptr;
    if (!set(self, ZV_STR("_connect_timeout"), args[4]) || !set(self, ZV_STR("_request_timeout"), args[5]) ||
        !set(self, ZV_STR("_read_timeout"), args[6]) || !set(self, ZV_STR("_identity"), Py_None) ||
        !set(self, ZV_STR("_link"), Py_None))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* default_identity_path_impl(NativeFunction* fn, PyObject* const*) {
    return identity_file::default_path(fn->module);
}

PyObject* load_or_create_identity_impl(NativeFunction* fn, PyObject* const* args) {
    return identity_file::load_or_create(fn->module, args[0], true);
}

// ----- connection ----------------------------------------------------------------------

PyObject* on_established_impl(NativeFunction* fn, PyObject* const*) {
    if (!call_method(captured(fn, 0), ZV_STR("set"))) return nullptr;
    Py_RETURN_NONE;
}

bool is_true(PyObject* value, int* out) {
    *out = PyObject_IsTrue(value);
    return *out >= 0;
}

// ----- calls that must not outlive a deadline -------------------------------------------
//
// Some Reticulum calls ask the shared instance over an RPC connection with no time-out
// (Identity.recall, and Link() for its first-hop estimate); with several processes
// connecting at once one of them can wait for ever. Such calls run on a helper thread
// while this thread waits with the GIL released; a call that has not come back after a
// while is tried again on a fresh thread, and the first answer wins. When the deadline
// passes first, the caller reports the failure of that stage.

struct Bounded {
    PyMutex mutex{};
    bool done = false;
    Ref result;  // the winning call's result
    Ref error;   // or its exception
    Ref event;   // threading.Event set by the winner
    bool teardown_losers = false;
};

const char* const kBoundedName = "zivane.client.bounded";

void destroy_bounded(PyObject* capsule) {
    delete static_cast<Bounded*>(PyCapsule_GetPointer(capsule, kBoundedName));
}

// Thread target: captured (capsule, callable, args).
PyObject* bounded_worker(NativeFunction* fn, PyObject* const*) {
    auto* b = static_cast<Bounded*>(PyCapsule_GetPointer(captured(fn, 0), kBoundedName));
    if (!b) return nullptr;
    Ref result = Ref::steal(PyObject_Call(captured(fn, 1), captured(fn, 2), nullptr));
    Ref error = result ? Ref{} : Ref::steal(PyErr_GetRaisedException());
    bool won = false;
    PyMutex_Lock(&b->mutex);
    if (!b->done) {
        b->done = won = true;
        b->result = std::move(result);
        b->error = std::move(error);
    }
    PyMutex_Unlock(&b->mutex);
    if (won) {
        if (!call_method(b->event.get(), ZV_STR("set"))) PyErr_Clear();
    } else if (result && b->teardown_losers && !result.is_none()) {
        // A late duplicate link is not wanted by anyone.
        if (!call_method(result.get(), ZV_STR("teardown"))) PyErr_Clear();
    }
    Py_RETURN_NONE;
}

constexpr double kRetryAfter = 2.0;

}  // namespace

Ref call_bounded(PyObject* module, PyObject* callable, PyObject* args,
                 std::chrono::steady_clock::time_point deadline, bool teardown_losers,
                 bool* timed_out, bool retry) {
    using Clock = std::chrono::steady_clock;
    *timed_out = false;
    Ref threading = module_global(module, ZV_STR("threading"));
    Ref event_cls = threading ? attr(threading.get(), ZV_STR("Event")) : Ref{};
    Ref thread_cls = event_cls ? attr(threading.get(), "Thread") : Ref{};
    Ref event = thread_cls ? call(event_cls.get()) : Ref{};
    if (!event) return {};
    auto* b = new Bounded;
    b->event = event;
    b->teardown_losers = teardown_losers;
    Ref capsule = Ref::steal(PyCapsule_New(b, kBoundedName, destroy_bounded));
    if (!capsule) {
        delete b;
        return {};
    }
    Ref closure = new_tuple({capsule.get(), callable, args});
    Ref target = closure ? make_function(module, {"call", "call", nullptr, {}, bounded_worker}, {}, {},
                                         closure.get())
                         : Ref{};
    Ref kwnames = Ref::steal(PyTuple_Pack(2, ZV_STR("target"), ZV_STR("daemon")));
    if (!target || !kwnames) return {};
    double slice = retry ? kRetryAfter : 1e9;
    for (;;) {
        Ref thread = call_kw(thread_cls.get(), {target.get(), Py_True}, kwnames.get());
        if (!thread || !call_method(thread.get(), ZV_STR("start"))) return {};
        double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        Ref wait_for = Ref::steal(PyFloat_FromDouble(std::max(0.0, std::min(left, slice))));
        // Interrupted: whatever the call still gives is nobody's.
        auto abandon = [&]() -> Ref {
            SavedError error;
            PyMutex_Lock(&b->mutex);
            bool finished = b->done;
            b->done = true;
            Ref orphan = finished ? std::move(b->result) : Ref{};
            PyMutex_Unlock(&b->mutex);
            if (orphan && teardown_losers && !orphan.is_none() &&
                !call_method(orphan.get(), ZV_STR("teardown")))
                PyErr_Clear();
            error.restore();
            return {};
        };
        if (!wait_for || !call_method(event.get(), ZV_STR("wait"), {wait_for.get()})) return abandon();
        PyMutex_Lock(&b->mutex);
        bool done = b->done;
        if (!done && left <= slice) b->done = true;  // gave up: late answers are losers
        Ref result = b->result, error = b->error;
        PyMutex_Unlock(&b->mutex);
        if (done) {
            if (error) PyErr_SetRaisedException(error.release());
            return result;
        }
        if (left <= slice) {
            *timed_out = true;
            return {};
        }
    }
}

namespace {

// A call repeated now and then in the background (the path request while the path is
// awaited): it runs on a daemon thread, at most one at a time, so a repeat that never
// returns neither holds the caller nor piles up threads. Its failures are dropped; the
// first request, made in the foreground, reports them.
struct Repeat {
    std::atomic<bool> busy{false};
};

const char* const kRepeatName = "zivane.client.repeat";

void destroy_repeat(PyObject* capsule) {
    delete static_cast<Repeat*>(PyCapsule_GetPointer(capsule, kRepeatName));
}

// Captured (capsule, callable, args) for both.
PyObject* repeat_worker(NativeFunction* fn, PyObject* const*) {
    auto* r = static_cast<Repeat*>(PyCapsule_GetPointer(captured(fn, 0), kRepeatName));
    if (!r) return nullptr;
    if (!Ref::steal(PyObject_Call(captured(fn, 1), captured(fn, 2), nullptr))) PyErr_Clear();
    r->busy = false;
    Py_RETURN_NONE;
}

PyObject* repeat_tick(NativeFunction* fn, PyObject* const*) {
    auto* r = static_cast<Repeat*>(PyCapsule_GetPointer(captured(fn, 0), kRepeatName));
    if (!r) return nullptr;
    if (r->busy.exchange(true)) Py_RETURN_NONE;  // the last one has not come back yet
    Ref threading = module_global(fn->module, ZV_STR("threading"));
    Ref thread_cls = threading ? attr(threading.get(), "Thread") : Ref{};
    Ref target = thread_cls ? make_function(fn->module, {"repeat", "repeat", nullptr, {}, repeat_worker},
                                            {}, {}, fn->closure)
                            : Ref{};
    Ref kwnames = target ? Ref::steal(PyTuple_Pack(2, ZV_STR("target"), ZV_STR("daemon"))) : Ref{};
    Ref thread = kwnames ? call_kw(thread_cls.get(), {target.get(), Py_True}, kwnames.get()) : Ref{};
    if (!thread || !call_method(thread.get(), ZV_STR("start"))) {
        r->busy = false;
        return nullptr;
    }
    Py_RETURN_NONE;
}

// A tick function that repeats callable(*args) in the background.
Ref repeater(PyObject* module, PyObject* callable, PyObject* args) {
    auto* r = new Repeat;
    Ref capsule = Ref::steal(PyCapsule_New(r, kRepeatName, destroy_repeat));
    if (!capsule) {
        delete r;
        return {};
    }
    Ref closure = new_tuple({capsule.get(), callable, args});
    return closure ? make_function(module, {"tick", "tick", nullptr, {}, repeat_tick}, {}, {},
                                   closure.get())
                   : Ref{};
}

// True when the bounded call came back in time; false with an exception set otherwise,
// TransportError(message) when it did not.
bool finished(PyObject* module, const Ref& result, bool timed_out, const char* message) {
    if (timed_out) raise_transport_error(module, message);
    return !timed_out && result;
}

using Clock = std::chrono::steady_clock;

// `seconds` from now; a negative `seconds` (no limit) is as good as never.
Clock::time_point deadline_in(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(seconds < 0 ? 1e9 : std::min(seconds, 1e9)));
}

double seconds_until(Clock::time_point t) {
    return std::chrono::duration<double>(t - Clock::now()).count();
}

// self._connect_timeout as seconds (< 0: none). False with an exception set.
bool connect_timeout(PyObject* self, double* seconds) {
    Ref value = attr(self, ZV_STR("_connect_timeout"));
    bool ok = false;
    if (value) *seconds = seconds_of(value.get(), &ok);
    return ok;
}

// RNS.Transport.<name>(self._destination_hash) on a helper thread, bounded by `deadline`.
// *timed_out tells a call that did not come back in time.
Ref bounded_path_call(PyObject* module, PyObject* self, PyObject* transport, const char* name,
                      Clock::time_point deadline, bool* timed_out) {
    Ref fn = attr(transport, name);
    Ref h = fn ? attr(self, ZV_STR("_destination_hash")) : Ref{};
    Ref args = h ? new_tuple({h.get()}) : Ref{};
    if (!args) return {};
    return call_bounded(module, fn.get(), args.get(), deadline, false, timed_out);
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
    Ref get_instance = reticulum ? Ref::steal(PyObject_GetAttrString(reticulum.get(), "get_instance")) : Ref{};
    Ref instance = get_instance && PyCallable_Check(get_instance.get()) ? call(get_instance.get()) : Ref{};
    Ref shared = instance ? Ref::steal(PyObject_GetAttrString(instance.get(), "is_connected_to_shared_instance"))
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

// has_path is polled from one millisecond on, as a path over TCP comes in milliseconds,
// and no less often than this, a small share of a radio path's seconds.
constexpr double kFirstPathPoll = 0.001, kLongestPathPoll = 0.02;

void sleep_released(double seconds) {
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    Py_END_ALLOW_THREADS
}

// Waits for the path after one request went out, asking again as PathRepeats says.
// 1 path known, 0 not before `deadline`, -1 with an exception set.
int wait_for_path(PyObject* module, PyObject* self, PyObject* transport, Clock::time_point deadline) {
    PathRepeats repeats = path_repeats(module, transport);
    auto next_repeat = deadline_in(repeats.next);
    Ref has_path = attr(transport, "has_path");
    Ref request_path = has_path ? attr(transport, "request_path") : Ref{};
    if (!request_path) return -1;
    Ref tick;  // made at the first repeat, for the hash it asks about
    for (double poll = kFirstPathPoll;; poll = std::min(1.5 * poll, kLongestPathPoll)) {
        double left = seconds_until(deadline);
        if (left <= 0) return 0;
        sleep_released(std::min(poll, left));
        if (PyErr_CheckSignals() < 0) return -1;
        Ref h = attr(self, ZV_STR("_destination_hash"));
        Ref known = h ? call(has_path.get(), {h.get()}) : Ref{};
        int yes = known ? PyObject_IsTrue(known.get()) : -1;
        if (yes != 0) return yes;
        if (Clock::now() < next_repeat) continue;
        // In the background, one at a time: a repeat that does not come back must neither
        // stop the polling nor pile up threads.
        if (!tick) {
            Ref args = new_tuple({h.get()});
            tick = args ? repeater(module, request_path.get(), args.get()) : Ref{};
        }
        if (!tick || !call(tick.get())) return -1;
        repeats.next = std::min(repeats.next * repeats.growth, repeats.longest);
        next_repeat = deadline_in(repeats.next);
    }
}

// The path stage: a request only when no path is known, then the wait for it, all within
// the connect time-out. False with an exception set.
bool find_path(PyObject* module, PyObject* self) {
    const char* const no_path = "Timeout waiting for path to server";
    Ref transport = rns_attr(module, "Transport");
    double seconds;
    if (!transport || !connect_timeout(self, &seconds)) return false;
    auto deadline = deadline_in(seconds);
    bool timed_out = false;
    Ref known = bounded_path_call(module, self, transport.get(), "has_path", deadline, &timed_out);
    if (!finished(module, known, timed_out, no_path)) return false;
    int truth;
    if (!is_true(known.get(), &truth)) return false;
    if (truth) return true;
    Ref requested = bounded_path_call(module, self, transport.get(), "request_path", deadline, &timed_out);
    if (!finished(module, requested, timed_out, no_path)) return false;
    int found = wait_for_path(module, self, transport.get(), deadline);
    if (found == 0) raise_transport_error(module, no_path);
    return found > 0;
}

// The server's outbound destination, within `deadline`. Empty with an exception set.
Ref server_destination(PyObject* module, PyObject* self, Clock::time_point deadline) {
    bool timed_out = false;
    Ref identity_cls = rns_attr(module, "Identity");
    Ref recall = identity_cls ? attr(identity_cls.get(), "recall") : Ref{};
    Ref h = recall ? attr(self, ZV_STR("_destination_hash")) : Ref{};
    Ref recall_args = h ? new_tuple({h.get()}) : Ref{};
    if (!recall_args) return {};
    Ref server_identity = call_bounded(module, recall.get(), recall_args.get(), deadline, false, &timed_out);
    if (!server_identity && !timed_out) return {};
    if (timed_out || server_identity.is_none()) {
        raise_transport_error(module, "Could not recall server identity");
        return {};
    }
    Ref destination_cls = rns_attr(module, "Destination");
    Ref out = destination_cls ? attr(destination_cls.get(), "OUT") : Ref{};
    Ref single = out ? attr(destination_cls.get(), "SINGLE") : Ref{};
    Ref port = single ? attr(self, ZV_STR("_port")) : Ref{};
    Ref aspect = port ? Ref::steal(PyObject_Str(port.get())) : Ref{};
    Ref app = Ref::steal(PyUnicode_FromString("HTTP"));
    if (!aspect || !app) return {};
    Ref dest_args = new_tuple({server_identity.get(), out.get(), single.get(), app.get(), aspect.get()});
    if (!dest_args) return {};
    Ref dest = call_bounded(module, destination_cls.get(), dest_args.get(), deadline, false, &timed_out);
    if (!finished(module, dest, timed_out, "Connection timeout")) return {};
    return dest;
}

// How often a link being established is looked at: Reticulum closes one whose request or
// proof was lost after its establishment time-out (seconds per hop), and a new one is due.
constexpr double kLinkWatch = 0.1;
// A link closed sooner than this after its request was not given up for want of an
// answer: the next one waits out the rest, so no failure makes link requests back to back.
constexpr double kLinkRetryGap = 1.0;

enum class Establishing { Up, Late, Closed, Failed };

// Waits for `connected` (set by on_established) until `deadline` (none when unlimited),
// looking at the link's state between slices.
Establishing wait_established(PyObject* module, PyObject* connected, PyObject* link, bool limited,
                              Clock::time_point deadline) {
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
        if (zv::rns::link_closed(rns.get(), link)) return Establishing::Closed;
    }
}

// The on_established callback of one connect, capturing its event.
Ref established_callback(PyObject* module, PyObject* connected) {
    Ref link_cls = rns_attr(module, "Link");
    Ref closure = link_cls ? new_tuple({connected}) : Ref{};
    if (!closure) return {};
    return make_function(module,
                         {"on_established", "HttpClient.connect.<locals>.on_established", nullptr,
                          {"_link"}, on_established_impl},
                         {}, {{"_link", link_cls.get()}, {"return", Py_None}}, closure.get());
}

// Lets go of the link being established and raises "Connection timeout".
Ref connection_timeout(PyObject* module, PyObject* self) {
    Ref current = attr(self, ZV_STR("_link"));
    if (!current) return {};
    if (!current.is_none()) {
        if (!call_method(current.get(), ZV_STR("teardown"))) return {};
        drop_session(module, current.get());
        if (!set(self, ZV_STR("_link"), Py_None)) return {};
    }
    raise_transport_error(module, "Connection timeout");
    return {};
}

Ref connect_impl(PyObject* module, PyObject* self) {
    if (!call_method(self, ZV_STR("_load_or_create_identity"))) return {};
    if (!find_path(module, self)) return {};
    // From here on one connect time-out covers recall, link creation and establishment.
    double seconds;
    if (!connect_timeout(self, &seconds)) return {};
    auto deadline = deadline_in(seconds);
    Ref dest = server_destination(module, self, deadline);
    if (!dest) return {};
    Ref threading = module_global(module, ZV_STR("threading"));
    Ref event_cls = threading ? attr(threading.get(), ZV_STR("Event")) : Ref{};
    Ref connected = event_cls ? call(event_cls.get()) : Ref{};
    Ref on_established = connected ? established_callback(module, connected.get()) : Ref{};
    Ref link_cls = on_established ? rns_attr(module, "Link") : Ref{};
    Ref link_args = link_cls ? new_tuple({dest.get(), on_established.get()}) : Ref{};
    if (!link_args) return {};
    for (;;) {
        bool timed_out = false;
        auto requested = deadline_in(kLinkRetryGap);
        Ref link = call_bounded(module, link_cls.get(), link_args.get(), deadline, true, &timed_out);
        if (timed_out) {
            if (set(self, ZV_STR("_link"), Py_None)) raise_transport_error(module, "Connection timeout");
            return {};
        }
        if (!link || !set(self, ZV_STR("_link"), link.get())) return {};
        switch (wait_established(module, connected.get(), link.get(), seconds >= 0, deadline)) {
        case Establishing::Up: return Ref::none();
        case Establishing::Failed: return {};
        case Establishing::Late: return connection_timeout(module, self);
        case Establishing::Closed: {  // Reticulum gave this one up: another try
            double pause = std::min(seconds_until(requested), seconds < 0 ? 1e9 : seconds_until(deadline));
            if (pause > 0) sleep_released(pause);
            if (PyErr_CheckSignals() < 0) return {};
            if (seconds >= 0 && seconds_until(deadline) <= 0) return connection_timeout(module, self);
            continue;
        }
        }
    }
}

Ref close_impl(PyObject* module, PyObject* self) {
    Ref link = attr(self, ZV_STR("_link"));
    if (!link) return {};
    if (!link.is_none()) {
        if (!call_method(link.get(), ZV_STR("teardown"))) return {};
        drop_session(module, link.get());
        if (!set(self, ZV_STR("_link"), Py_None)) return {};
    }
    return Ref::none();
}

CoBody connect_body(Ref module, Ref self) { co_return connect_impl(module.get(), self.get()); }
CoBody close_body(Ref module, Ref self) { co_return close_impl(module.get(), self.get()); }
CoBody send_body(Ref module, Ref self, Ref data) {
    co_return exchange(module.get(), self.get(), data.get());
}

PyObject* connect_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, connect_body(Ref::borrow(fn->module), Ref::borrow(args[0])), true);
}
PyObject* close_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, close_body(Ref::borrow(fn->module), Ref::borrow(args[0])), true);
}
PyObject* send_request_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(
        fn, send_body(Ref::borrow(fn->module), Ref::borrow(args[0]), Ref::borrow(args[1])), true);
}

// ----- requests ------------------------------------------------------------------------

CoBody request_body(Ref module, Ref self, Ref path, Ref method, Ref headers, Ref body) {
    Ref link = attr(self.get(), ZV_STR("_link"));
    if (!link) co_return Ref{};
    if (!link.is_none()) {
        // A link that Reticulum closed, or whose stream went out of step, is let go of and
        // replaced, as an HTTP client reopens a keep-alive connection the server closed.
        int usable = link_usable(module.get(), link.get());
        if (usable < 0) co_return Ref{};
        if (usable == 0) {
            forget_link(module.get(), self.get(), link.get());
            link = attr(self.get(), ZV_STR("_link"));
            if (!link) co_return Ref{};
        }
    }
    if (link.is_none()) {
        Ref pending = call_method(self.get(), ZV_STR("connect"));
        if (!pending) co_return Ref{};
        Ref done = co_await Await(pending.get());
        if (!done) co_return Ref{};
        link = attr(self.get(), ZV_STR("_link"));
        if (!link) co_return Ref{};
        if (link.is_none()) {
            raise_transport_error(module.get(), "Not connected");
            co_return Ref{};
        }
    }
    int has_headers = PyObject_IsTrue(headers.get());
    if (has_headers < 0) co_return Ref{};
    Ref header_map = has_headers ? headers : Ref::steal(PyDict_New());
    Ref request_cls = module_global(module.get(), ZV_STR("HttpRequest"));
    Ref kwnames =
        Ref::steal(PyTuple_Pack(4, ZV_STR("method"), ZV_STR("path"), ZV_STR("headers"), ZV_STR("body")));
    if (!header_map || !request_cls || !kwnames) co_return Ref{};
    Ref request =
        call_kw(request_cls.get(), {method.get(), path.get(), header_map.get(), body.get()}, kwnames.get());
    if (!request) co_return Ref{};
    Ref data = Ref::steal(PyObject_Bytes(request.get()));
    if (!data) co_return Ref{};
    Ref sending = call_method(self.get(), ZV_STR("_send_request"), {data.get()});
    if (!sending) co_return Ref{};
    Ref response_data = co_await Await(sending.get());
    if (!response_data) co_return Ref{};
    Ref response_cls = module_global(module.get(), ZV_STR("HttpResponse"));
    if (!response_cls) co_return Ref{};
    co_return call_method(response_cls.get(), ZV_STR("parse"), {response_data.get()});
}

PyObject* request_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn,
                          request_body(Ref::borrow(fn->module), Ref::borrow(args[0]), Ref::borrow(args[1]),
                                       Ref::borrow(args[2]), Ref::borrow(args[3]), Ref::borrow(args[4])),
                          true);
}

// self.request(path, method, headers[, body]) awaited.
CoBody forward_body(Ref self, Ref path, const char* verb, Ref headers, Ref body) {
    Ref method = Ref::steal(PyUnicode_FromString(verb));
    Ref request = method ? attr(self.get(), ZV_STR("request")) : Ref{};
    if (!request) co_return Ref{};
    Ref pending = body ? call(request.get(), {path.get(), method.get(), headers.get(), body.get()})
                       : call(request.get(), {path.get(), method.get(), headers.get()});
    if (!pending) co_return Ref{};
    Ref result = co_await Await(pending.get());
    co_return result;
}

PyObject* get_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(
        fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "GET", Ref::borrow(a[2]), Ref{}), true);
}
PyObject* delete_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(
        fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "DELETE", Ref::borrow(a[2]), Ref{}), true);
}
PyObject* post_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(
        fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "POST", Ref::borrow(a[3]), Ref::borrow(a[2])),
        true);
}
PyObject* put_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(
        fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "PUT", Ref::borrow(a[3]), Ref::borrow(a[2])),
        true);
}

// ----- properties and context manager --------------------------------------------------

// False once Reticulum has closed the link (or its stream went out of step), not only
// after close().
PyObject* is_connected_impl(NativeFunction* fn, PyObject* const* args) {
    Ref link = attr(args[0], ZV_STR("_link"));
    if (!link) return nullptr;
    if (link.is_none()) Py_RETURN_FALSE;
    int usable = link_usable(fn->module, link.get());
    if (usable < 0) return nullptr;
    return PyBool_FromLong(usable);
}

CoBody aenter_body(Ref self) {
    Ref pending = call_method(self.get(), ZV_STR("connect"));
    if (!pending) co_return Ref{};
    Ref done = co_await Await(pending.get());
    if (!done) co_return Ref{};
    co_return self;
}

CoBody aexit_body(Ref self) {
    Ref pending = call_method(self.get(), ZV_STR("close"));
    if (!pending) co_return Ref{};
    Ref done = co_await Await(pending.get());
    if (!done) co_return Ref{};
    co_return Ref::none();
}

PyObject* aenter_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, aenter_body(Ref::borrow(args[0])), true);
}
PyObject* aexit_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, aexit_body(Ref::borrow(args[0])), true);
}

// ----- the tables ----------------------------------------------------------------------

using table::Env;
using table::Kind;

const char* const kRequestDoc =
    "Send an HTTP request.\n"
    "\n"
    "Args:\n"
    "    path: Request path\n"
    "    method: HTTP method (GET, POST, etc.)\n"
    "    headers: Additional headers\n"
    "    body: Request body\n"
    "\n"
    "Returns:\n"
    "    HttpResponse object\n"
    "\n"
    "Raises:\n"
    "    TransportError: If request fails\n";

// clang-format off
const table::Derived kDerived[] = {
    {"bytes | str", [](Env& env) { return env.union_of("bytes", "str"); }},
    {"str | None", [](Env& env) { return env.union_of("str", "None"); }},
    {"bytes | None", [](Env& env) { return env.union_of("bytes", "None"); }},
    {"dict[str, str]", [](Env& env) { return env.subscript("dict", {"str", "str"}); }},
    {"dict[str, str] | None", [](Env& env) { return env.union_of("dict[str, str]", "None"); }},
    {"_RESPONSE_LIMIT", [](Env&) { return Ref::steal(PyLong_FromSsize_t(kResponseLimit)); }},
    {"_WRITER_IDLE", [](Env&) { return Ref::steal(PyFloat_FromDouble(kWriterIdleSeconds)); }},
};

const table::Class kTransportError = {
    "TransportError", "Exception raised for transport errors.", {}, {}, {}, "Exception",
};

// The optional headers of a request.
constexpr table::Param kHeaders = {"headers", "dict[str, str] | None", "None"};

const table::Function kHttpClientBody[] = {
    {"__init__",
     {{"self"},
      {"destination_hash", "bytes | str"},
      {"port", "int"},
      {"identity_path", "str | None", "None"},
      {"connect_timeout", "float", "30.0"},
      {"request_timeout", "float", "60.0"},
      {"read_timeout", "float", "30.0"}},
     "None", nullptr, init_impl},
    {"_default_identity_path", {}, "str", "Get default identity path.", default_identity_path_impl,
     Kind::Static},
    {"_load_or_create_identity", {{"self"}}, "RNS.Identity", "Load existing identity or create new one.",
     load_or_create_identity_impl},
    {"connect", {{"self"}}, "None", "Connect to the server.", connect_fn, Kind::Coroutine},
    {"request",
     {{"self"},
      {"path", "str"},
      {"method", "str", "'GET'"},
      kHeaders,
      {"body", "bytes | None", "None"}},
     "HttpResponse", kRequestDoc, request_fn, Kind::Coroutine},
    {"_send_request", {{"self"}, {"data", "bytes"}}, "bytes", "Send request data and wait for response.",
     send_request_fn, Kind::Coroutine},
    {"get", {{"self"}, {"path", "str"}, kHeaders}, "HttpResponse", "Send GET request.", get_fn,
     Kind::Coroutine},
    {"post", {{"self"}, {"path", "str"}, {"body", "bytes | None", "None"}, kHeaders}, "HttpResponse",
     "Send POST request.", post_fn, Kind::Coroutine},
    {"put", {{"self"}, {"path", "str"}, {"body", "bytes | None", "None"}, kHeaders}, "HttpResponse",
     "Send PUT request.", put_fn, Kind::Coroutine},
    {"delete", {{"self"}, {"path", "str"}, kHeaders}, "HttpResponse", "Send DELETE request.", delete_fn,
     Kind::Coroutine},
    {"close", {{"self"}}, "None", "Close the connection.", close_fn, Kind::Coroutine},
    {"is_connected", {{"self"}}, "bool", "Check if client is connected.", is_connected_impl, Kind::Property},
    {"__aenter__", {{"self"}}, "'HttpClient'", "Async context manager entry.", aenter_fn, Kind::Coroutine},
    {"__aexit__", {{"self"}, {"_exc_type", "Any"}, {"_exc_val", "Any"}, {"_exc_tb", "Any"}}, "None",
     "Async context manager exit.", aexit_fn, Kind::Coroutine},
};

const table::Class kHttpClient = {
    "HttpClient", "HTTP/1.1 client using RNS for transport.", kHttpClientBody,
    {"_destination_hash", "_port", "_identity_path", "_connect_timeout", "_request_timeout", "_read_timeout",
     "_identity", "_link"},
};

const table::Function kMain = {"main", {}, nullptr, nullptr, command_main, Kind::Coroutine};

const table::Entry kBody[] = {
    table::import_module("argparse"),
    table::import_module("asyncio"),
    table::import_module("os"),
    table::import_module("sys"),
    table::import_module("threading"),
    table::import_name("typing", "Any"),
    table::import_name("typing", "cast"),
    table::import_module("RNS"),
    table::import_name("zivane.types", "HttpRequest"),
    table::import_name("zivane.types", "HttpResponse"),
    table::define(kTransportError),
    table::define(kHttpClient),
    table::define(kMain),
    // Private tunables, read at use: the largest response accepted (bytes, None for no
    // limit) and how long an idle writer thread waits for the next request (seconds).
    table::value("_RESPONSE_LIMIT"),
    table::value("_WRITER_IDLE"),
};
// clang-format on

// ----- the module ----------------------------------------------------------------------

using StateRefs = OwnedFields<State, &State::sessions>;

int module_exec(PyObject* module) {
    State* st = state_of(module);
    if (st->sessions) return 0;  // a reload keeps what the first exec made
    st->sessions = PyDict_New();
    if (!st->sessions) return -1;
    Env env(module, kDerived);
    return table::run(env, kBody);
}

ModuleDefinition definition{"zivane.client",       "HTTP/1.1 client over RNS.", module_exec,
                            sizeof(State),         StateRefs::traverse_module,  StateRefs::clear_module,
                            StateRefs::free_module};

}  // namespace
}  // namespace zv::client

namespace zv {
PyModuleDef* client_module_def() { return client::definition.def(); }
}  // namespace zv
