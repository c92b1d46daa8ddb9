// zivane.client: HttpClient, TransportError and the client command.
//
// The client's operations are coroutine functions that never suspend: they block their
// thread in Reticulum calls and in threading.Event waits (which release the GIL), while
// Reticulum's threads deliver link and data callbacks.
#include "client/session.hpp"
#include "common/identity_file.hpp"
#include "package/modules.hpp"
#include "support/classes.hpp"
#include "support/native_coroutine.hpp"


#include <algorithm>
#include <atomic>
#include <chrono>

namespace zv::client {

int add_main(PyObject* module);  // command.cpp

namespace {

PyObject* obj(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

bool set(PyObject* self, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(self, name, value) == 0;
}

Ref global(PyObject* module, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key ? module_global(module, key.get()) : Ref{};
}

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
    if (!set(self, ZV_STR("_destination_hash"), destination.get()) ||
        !set(self, ZV_STR("_port"), args[2]))
        return nullptr;
    int truth = PyObject_IsTrue(args[3]);
    if (truth < 0) return nullptr;
    Ref path = truth ? Ref::borrow(args[3]) : call_method(self, ZV_STR("_default_identity_path"));
    if (!path || !set(self, ZV_STR("_identity_path"), path.get())) return nullptr;
    if (!set(self, ZV_STR("_connect_timeout"), args[4]) ||
        !set(self, ZV_STR("_request_timeout"), args[5]) ||
        !set(self, ZV_STR("_read_timeout"), args[6]) || !set(self, ZV_STR("_identity"), Py_None) ||
        !set(self, ZV_STR("_link"), Py_None))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* default_identity_path_impl(NativeFunction* fn, PyObject* const*) {
    Ref os = module_global(fn->module, ZV_STR("os"));
    Ref path = os ? attr(os.get(), "path") : Ref{};
    if (!path) return nullptr;
    Ref tilde = Ref::steal(PyUnicode_FromString("~"));
    Ref home = tilde ? call_method(path.get(), ZV_STR("expanduser"), {tilde.get()}) : Ref{};
    Ref dir = Ref::steal(PyUnicode_FromString(".zivane"));
    Ref file = Ref::steal(PyUnicode_FromString("identity"));
    if (!home || !dir || !file) return nullptr;
    return call_method(path.get(), ZV_STR("join"), {home.get(), dir.get(), file.get()}).release();
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

constexpr double kFirstTick = 0.5, kLongestTick = 1.5;
// await_path gives up by itself at its time-out; this much later it counts as stuck.
constexpr double kPathMargin = 1.0;

}  // namespace

Ref call_bounded(PyObject* module, PyObject* callable, PyObject* args,
                 std::chrono::steady_clock::time_point deadline, bool teardown_losers,
                 bool* timed_out, Tick tick, bool retry) {
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
    double slice = tick.fn ? kFirstTick : retry ? kRetryAfter : 1e9;
    for (bool start = true;; ) {
        if (start) {
            Ref thread = call_kw(thread_cls.get(), {target.get(), Py_True}, kwnames.get());
            if (!thread || !call_method(thread.get(), ZV_STR("start"))) return {};
        }
        double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        Ref wait_for = Ref::steal(PyFloat_FromDouble(std::max(0.0, std::min(left, slice))));
        // Interrupted (or the tick failed): whatever the call still gives is nobody's.
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
        if (tick.fn) {
            if (!Ref::steal(PyObject_Call(tick.fn, tick.args, nullptr))) return abandon();
            slice = std::min(slice * 1.25, kLongestTick);
            start = false;
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

Ref connect_impl(PyObject* module, PyObject* self) {
    if (!call_method(self, ZV_STR("_load_or_create_identity"))) return {};
    Ref transport = rns_attr(module, "Transport");
    if (!transport) return {};
    // The whole path stage (request, check, wait) gets the connect time-out and a margin.
    Ref path_budget = attr(self, ZV_STR("_connect_timeout"));
    if (!path_budget) return {};
    bool path_ok;
    double path_seconds = seconds_of(path_budget.get(), &path_ok);
    if (!path_ok) return {};
    auto path_deadline = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(
                                 path_seconds < 0 ? 1e9 : std::min(path_seconds, 1e9) + kPathMargin));
    const char* const no_path = "Timeout waiting for path to server";
    bool timed_out = false;
    Ref h = attr(self, ZV_STR("_destination_hash"));
    Ref request_path_fn = h ? attr(transport.get(), "request_path") : Ref{};
    Ref h_args = request_path_fn ? new_tuple({h.get()}) : Ref{};
    if (!h_args) return {};
    Ref requested = call_bounded(module, request_path_fn.get(), h_args.get(), path_deadline, false,
                                 &timed_out);
    if (!finished(module, requested, timed_out, no_path)) return {};
    h = attr(self, ZV_STR("_destination_hash"));
    Ref has_path_fn = h ? attr(transport.get(), "has_path") : Ref{};
    h_args = has_path_fn ? new_tuple({h.get()}) : Ref{};
    if (!h_args) return {};
    Ref known = call_bounded(module, has_path_fn.get(), h_args.get(), path_deadline, false, &timed_out);
    if (!finished(module, known, timed_out, no_path)) return {};
    int truth;
    if (!is_true(known.get(), &truth)) return {};
    if (!truth) {
        // The wait runs on a helper thread while this one repeats the path request now and
        // then: a shared instance answers only the latest of simultaneous requests for one
        // destination, so a single request can go unanswered when many clients connect.
        h = attr(self, ZV_STR("_destination_hash"));
        Ref timeout = h ? attr(self, ZV_STR("_connect_timeout")) : Ref{};
        Ref await_path = timeout ? attr(transport.get(), "await_path") : Ref{};
        Ref request_path = await_path ? attr(transport.get(), "request_path") : Ref{};
        Ref await_args = request_path ? new_tuple({h.get(), timeout.get()}) : Ref{};
        Ref request_args = await_args ? new_tuple({h.get()}) : Ref{};
        Ref tick = request_args ? repeater(module, request_path.get(), request_args.get()) : Ref{};
        Ref no_args = tick ? Ref::steal(PyTuple_New(0)) : Ref{};
        if (!no_args) return {};
        Ref arrived = call_bounded(module, await_path.get(), await_args.get(), path_deadline, false,
                                   &timed_out, {tick.get(), no_args.get()});
        if (!arrived && !timed_out) return {};
        if (timed_out || !is_true(arrived.get(), &truth)) {
            if (!timed_out) return {};
            truth = 0;
        }
        if (!truth) {
            raise_transport_error(module, no_path);
            return {};
        }
    }
    // From here on one connect time-out covers recall, link creation and establishment.
    Ref budget = attr(self, ZV_STR("_connect_timeout"));
    if (!budget) return {};
    bool ok;
    double seconds = seconds_of(budget.get(), &ok);
    if (!ok) return {};
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds < 0 ? 1e9 : std::min(seconds, 1e9)));

    Ref identity_cls = rns_attr(module, "Identity");
    Ref recall = identity_cls ? attr(identity_cls.get(), "recall") : Ref{};
    h = recall ? attr(self, ZV_STR("_destination_hash")) : Ref{};
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

    Ref threading = module_global(module, ZV_STR("threading"));
    Ref event_cls = threading ? attr(threading.get(), ZV_STR("Event")) : Ref{};
    Ref connected = event_cls ? call(event_cls.get()) : Ref{};
    Ref link_cls = connected ? rns_attr(module, "Link") : Ref{};
    Ref closure = link_cls ? new_tuple({connected.get()}) : Ref{};
    if (!closure) return {};
    Ref on_established = make_function(
        module,
        {"on_established", "HttpClient.connect.<locals>.on_established", nullptr, {"_link"},
         on_established_impl},
        {}, {{"_link", link_cls.get()}, {"return", Py_None}}, closure.get());
    if (!on_established) return {};

    Ref link_args = new_tuple({dest.get(), on_established.get()});
    if (!link_args) return {};
    Ref link = call_bounded(module, link_cls.get(), link_args.get(), deadline, true, &timed_out);
    if (timed_out) {
        if (set(self, ZV_STR("_link"), Py_None)) raise_transport_error(module, "Connection timeout");
        return {};
    }
    if (!link || !set(self, ZV_STR("_link"), link.get())) return {};

    double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    Ref timeout = seconds < 0 ? Ref::none() : Ref::steal(PyFloat_FromDouble(std::max(0.0, left)));
    Ref up = timeout ? call_method(connected.get(), ZV_STR("wait"), {timeout.get()}) : Ref{};
    if (!up || !is_true(up.get(), &truth)) return {};
    if (truth) return Ref::none();

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
    Ref kwnames = Ref::steal(
        PyTuple_Pack(4, ZV_STR("method"), ZV_STR("path"), ZV_STR("headers"), ZV_STR("body")));
    if (!header_map || !request_cls || !kwnames) co_return Ref{};
    Ref request = call_kw(request_cls.get(),
                          {method.get(), path.get(), header_map.get(), body.get()}, kwnames.get());
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
                          request_body(Ref::borrow(fn->module), Ref::borrow(args[0]),
                                       Ref::borrow(args[1]), Ref::borrow(args[2]),
                                       Ref::borrow(args[3]), Ref::borrow(args[4])),
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
    return make_coroutine(fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "GET", Ref::borrow(a[2]), Ref{}), true);
}
PyObject* delete_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "DELETE", Ref::borrow(a[2]), Ref{}), true);
}
PyObject* post_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "POST", Ref::borrow(a[3]), Ref::borrow(a[2])), true);
}
PyObject* put_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "PUT", Ref::borrow(a[3]), Ref::borrow(a[2])), true);
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

// ----- module ---------------------------------------------------------------------------

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

Ref union_of(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Or(a, b)); }

int add_transport_error(PyObject* module) {
    Ref ns = class_namespace(module, "TransportError", "Exception raised for transport errors.");
    if (!ns || set_static_attributes(ns.get(), {}) < 0) return -1;
    Ref bases = new_tuple({PyExc_Exception});
    Ref cls = bases ? make_class("TransportError", bases.get(), ns.get()) : Ref{};
    if (!cls) return -1;
    return PyModule_AddObjectRef(module, "TransportError", cls.get());
}

int add_http_client(PyObject* module) {
    PyObject* str = obj(&PyUnicode_Type);
    PyObject* bytes = obj(&PyBytes_Type);
    PyObject* flt = obj(&PyFloat_Type);
    Ref bytes_or_str = union_of(bytes, str);
    Ref str_or_none = union_of(str, Py_None);
    Ref bytes_or_none = union_of(bytes, Py_None);
    Ref str_str = new_tuple({str, str});
    Ref dict_str = str_str ? Ref::steal(Py_GenericAlias(obj(&PyDict_Type), str_str.get())) : Ref{};
    Ref headers_t = dict_str ? union_of(dict_str.get(), Py_None) : Ref{};
    Ref identity_cls = rns_attr(module, "Identity");
    Ref response_cls = global(module, "HttpResponse");
    Ref any = global(module, "Any");
    Ref boolean = obj(&PyBool_Type) ? Ref::borrow(obj(&PyBool_Type)) : Ref{};
    Ref self_name = Ref::steal(PyUnicode_FromString("HttpClient"));
    Ref d30 = Ref::steal(PyFloat_FromDouble(30.0));
    Ref d60 = Ref::steal(PyFloat_FromDouble(60.0));
    Ref get_name = Ref::steal(PyUnicode_FromString("GET"));
    if (!bytes_or_str || !str_or_none || !bytes_or_none || !headers_t || !identity_cls ||
        !response_cls || !any || !self_name || !d30 || !d60 || !get_name)
        return -1;

    Ref ns = class_namespace(module, "HttpClient", "HTTP/1.1 client using RNS for transport.");
    if (!ns) return -1;
    PyObject* n = ns.get();
    PyObject* resp = response_cls.get();
    PyObject* hdr = headers_t.get();
    if (add_function(n, module,
                     {"__init__", "HttpClient.__init__", nullptr,
                      {"self", "destination_hash", "port", "identity_path", "connect_timeout",
                       "request_timeout", "read_timeout"},
                      init_impl},
                     {Py_None, d30.get(), d60.get(), d30.get()},
                     {{"destination_hash", bytes_or_str.get()},
                      {"port", obj(&PyLong_Type)},
                      {"identity_path", str_or_none.get()},
                      {"connect_timeout", flt},
                      {"request_timeout", flt},
                      {"read_timeout", flt},
                      {"return", Py_None}}) < 0 ||
        add_function(n, module,
                     {"_default_identity_path", "HttpClient._default_identity_path",
                      "Get default identity path.", {}, default_identity_path_impl},
                     {}, {{"return", str}}, obj(&PyStaticMethod_Type)) < 0 ||
        add_function(n, module,
                     {"_load_or_create_identity", "HttpClient._load_or_create_identity",
                      "Load existing identity or create new one.", {"self"},
                      load_or_create_identity_impl},
                     {}, {{"return", identity_cls.get()}}) < 0 ||
        add_function(n, module,
                     {"connect", "HttpClient.connect", "Connect to the server.", {"self"},
                      connect_fn, true},
                     {}, {{"return", Py_None}}) < 0 ||
        add_function(n, module,
                     {"request", "HttpClient.request", kRequestDoc,
                      {"self", "path", "method", "headers", "body"}, request_fn, true},
                     {get_name.get(), Py_None, Py_None},
                     {{"path", str},
                      {"method", str},
                      {"headers", hdr},
                      {"body", bytes_or_none.get()},
                      {"return", resp}}) < 0 ||
        add_function(n, module,
                     {"_send_request", "HttpClient._send_request",
                      "Send request data and wait for response.", {"self", "data"},
                      send_request_fn, true},
                     {}, {{"data", bytes}, {"return", bytes}}) < 0 ||
        add_function(n, module,
                     {"get", "HttpClient.get", "Send GET request.", {"self", "path", "headers"},
                      get_fn, true},
                     {Py_None}, {{"path", str}, {"headers", hdr}, {"return", resp}}) < 0 ||
        add_function(n, module,
                     {"post", "HttpClient.post", "Send POST request.",
                      {"self", "path", "body", "headers"}, post_fn, true},
                     {Py_None, Py_None},
                     {{"path", str}, {"body", bytes_or_none.get()}, {"headers", hdr}, {"return", resp}}) < 0 ||
        add_function(n, module,
                     {"put", "HttpClient.put", "Send PUT request.",
                      {"self", "path", "body", "headers"}, put_fn, true},
                     {Py_None, Py_None},
                     {{"path", str}, {"body", bytes_or_none.get()}, {"headers", hdr}, {"return", resp}}) < 0 ||
        add_function(n, module,
                     {"delete", "HttpClient.delete", "Send DELETE request.",
                      {"self", "path", "headers"}, delete_fn, true},
                     {Py_None}, {{"path", str}, {"headers", hdr}, {"return", resp}}) < 0 ||
        add_function(n, module,
                     {"close", "HttpClient.close", "Close the connection.", {"self"}, close_fn, true},
                     {}, {{"return", Py_None}}) < 0 ||
        add_property(n, module,
                     {"is_connected", "HttpClient.is_connected", "Check if client is connected.",
                      {"self"}, is_connected_impl},
                     {{"return", boolean.get()}}) < 0 ||
        add_function(n, module,
                     {"__aenter__", "HttpClient.__aenter__", "Async context manager entry.",
                      {"self"}, aenter_fn, true},
                     {}, {{"return", self_name.get()}}) < 0 ||
        add_function(n, module,
                     {"__aexit__", "HttpClient.__aexit__", "Async context manager exit.",
                      {"self", "_exc_type", "_exc_val", "_exc_tb"}, aexit_fn, true},
                     {},
                     {{"_exc_type", any.get()},
                      {"_exc_val", any.get()},
                      {"_exc_tb", any.get()},
                      {"return", Py_None}}) < 0)
        return -1;
    if (set_static_attributes(n, {"_destination_hash", "_port", "_identity_path", "_connect_timeout",
                                  "_request_timeout", "_read_timeout", "_identity", "_link"}) < 0)
        return -1;
    Ref cls = make_class("HttpClient", nullptr, n);
    if (!cls) return -1;
    return PyModule_AddObjectRef(module, "HttpClient", cls.get());
}

int add_import(PyObject* module, const char* name) {
    Ref mod = import(name);
    return mod ? PyModule_AddObjectRef(module, name, mod.get()) : -1;
}

int add_from(PyObject* module, const char* from, const char* name) {
    Ref value = import_from(from, name);
    return value ? PyModule_AddObjectRef(module, name, value.get()) : -1;
}

int module_exec(PyObject* module) {
    State* st = state_of(module);
    if (!st->sessions) {
        st->sessions = PyDict_New();
        if (!st->sessions) return -1;
    }
    if (add_import(module, "argparse") < 0 || add_import(module, "asyncio") < 0 ||
        add_import(module, "os") < 0 || add_import(module, "sys") < 0 ||
        add_import(module, "threading") < 0 || add_from(module, "typing", "Any") < 0 ||
        add_from(module, "typing", "cast") < 0 || add_import(module, "RNS") < 0 ||
        add_from(module, "zivane.types", "HttpRequest") < 0 ||
        add_from(module, "zivane.types", "HttpResponse") < 0)
        return -1;
    if (add_transport_error(module) < 0 || add_http_client(module) < 0 || add_main(module) < 0)
        return -1;
    // Private tunables, read at use: the largest response accepted (bytes, None for no
    // limit) and how long an idle writer thread waits for the next request (seconds).
    Ref limit = Ref::steal(PyLong_FromLongLong(64LL * 1024 * 1024));
    Ref idle = Ref::steal(PyFloat_FromDouble(5.0));
    if (!limit || !idle || PyModule_AddObjectRef(module, "_RESPONSE_LIMIT", limit.get()) < 0 ||
        PyModule_AddObjectRef(module, "_WRITER_IDLE", idle.get()) < 0)
        return -1;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of(module);
    if (st) Py_VISIT(st->sessions);
    return 0;
}

int module_clear(PyObject* module) {
    State* st = state_of(module);
    if (st) Py_CLEAR(st->sessions);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "zivane.client", "HTTP/1.1 client over RNS.", sizeof(State), nullptr,
    slots, module_traverse, module_clear, module_free,
};

}  // namespace
}  // namespace zv::client

namespace zv {
PyModuleDef* client_module_def() { return &client::def; }
}  // namespace zv
