// Per-link request handling of HttpServer.
//
// Reticulum calls a link's ready callback on a new thread per received message, several
// at once, each with a byte count that may already be stale. So each link has one state:
// under its mutex a callback reads everything the buffer holds, appends it to the bytes
// being assembled and cuts out every request that is complete by its framing. Whichever
// thread finds no other one dispatching then answers the queued requests in arrival
// order, outside the mutex, so reading never waits for a handler and links never wait
// for each other.
#include "server_links.hpp"

#include "framing.hpp"
#include "reticulum.hpp"
#include "support/native_coroutine.hpp"

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zv::server {
namespace {

// A complete request to parse, or an answer decided while assembling (413, bad framing).
struct Item {
    Ref request;  // bytes of one request, or empty for a decided answer
    int status = 0;
    std::string message;
    std::size_t size = 0;
};

struct LinkState {
    PyMutex mutex{};
    // guarded by mutex
    std::string pending;        // bytes read and not yet cut into requests
    std::size_t consumed = 0;   // start of the message being assembled in `pending`
    Framer framer{Framer::Kind::Request};
    std::deque<Item> queue;
    std::size_t queued = 0;     // request bytes waiting in `queue`
    std::uint64_t skip = 0;     // rest of a refused message still to arrive
    bool discard = false;       // a refused message without known end: ignore the link's bytes
    bool dispatching = false;
    bool registered = false;    // the buffer is in _links (or the link was refused)
    bool missed = false;        // a notification came before registration
    bool closed = false;
    // guarded by the GIL; set on registration, dropped on release
    Ref link, buffer, channel;
};
using StatePtr = std::shared_ptr<LinkState>;

// Looked up by the response writer (which only gets the buffer) and by the close
// handler. Never destroyed: entries hold Python references that must not outlive the
// interpreter's own teardown order.
auto& by_link = *new std::unordered_map<PyObject*, StatePtr>();
auto& by_buffer = *new std::unordered_map<PyObject*, StatePtr>();

const char* const kCapsuleName = "zivane.server.link_state";

class Lock {
public:
    explicit Lock(LinkState& s) : m_(&s.mutex) { PyMutex_Lock(m_); }
    ~Lock() { unlock(); }
    void unlock() {
        if (m_) PyMutex_Unlock(std::exchange(m_, nullptr));
    }
    void relock(LinkState& s) {
        m_ = &s.mutex;
        PyMutex_Lock(m_);
    }

private:
    PyMutex* m_;
};

StatePtr state_of(PyObject* capsule) {
    return *static_cast<StatePtr*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

Ref make_capsule(const StatePtr& state) {
    auto* holder = new StatePtr(state);
    Ref cap = Ref::steal(PyCapsule_New(holder, kCapsuleName, [](PyObject* c) {
        delete static_cast<StatePtr*>(PyCapsule_GetPointer(c, kCapsuleName));
    }));
    if (!cap) delete holder;
    return cap;
}

int print_text(PyObject* module, PyObject* text) {
    Ref print = module_global(module, ZV_STR("print"));
    if (!print) return -1;
    return call(print.get(), {text}) ? 0 : -1;
}

Ref format(PyObject* obj) { return Ref::steal(PyObject_Format(obj, nullptr)); }

Ref link_key(PyObject* link) { return Ref::steal(PyLong_FromVoidPtr(link)); }

// self._links.get(id(link), (None, None))[1]
Ref lookup_buffer(PyObject* self, PyObject* link) {
    Ref links = attr(self, ZV_STR("_links"));
    if (!links) return {};
    Ref key = link_key(link);
    Ref missing = new_tuple({Py_None, Py_None});
    if (!key || !missing) return {};
    Ref entry = call_method(links.get(), ZV_STR("get"), {key.get(), missing.get()});
    if (!entry) return {};
    return Ref::steal(PySequence_GetItem(entry.get(), 1));
}

Py_ssize_t size_global(PyObject* module, const char* name, Py_ssize_t fallback) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module), name);  // borrowed
    if (!value || !PyLong_Check(value)) return fallback;
    Py_ssize_t n = PyLong_AsSsize_t(value);
    if (n < 0) {
        PyErr_Clear();
        return fallback;
    }
    return n;
}

double seconds_global(PyObject* module, const char* name, double fallback) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module), name);
    if (!value) return fallback;
    double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return fallback;
    }
    return v;
}

void push_answer(LinkState& s, int status, std::string message) {
    Item item;
    item.status = status;
    item.message = std::move(message);
    s.queue.push_back(std::move(item));
}

// Drops what is being assembled after refusing it; later bytes of the same message are
// skipped when its length is known, else the link's input is ignored from now on.
void refuse_current(LinkState& s, std::size_t have) {
    std::size_t total = s.framer.expected_length();
    if (total > have)
        s.skip = total - have;
    else if (total == 0)
        s.discard = true;
    s.pending.clear();
    s.consumed = 0;
    s.framer.reset();
}

// Appends freshly read bytes and queues every request they complete. Mutex held.
void feed(LinkState& s, std::string_view data, std::size_t limit) {
    if (s.discard) return;
    if (s.skip > 0) {
        std::size_t k = std::size_t(std::min<std::uint64_t>(s.skip, data.size()));
        s.skip -= k;
        data.remove_prefix(k);
    }
    if (data.empty()) return;
    s.pending.append(data);
    for (;;) {
        std::string_view msg(s.pending);
        msg.remove_prefix(s.consumed);
        if (msg.empty()) break;
        Framer::Status status = s.framer.scan(msg);
        if (status == Framer::Status::Complete) {
            std::size_t len = s.framer.message_length();
            if (s.queued + len > limit) {
                push_answer(s, 413, "Request too large");
            } else {
                Item item;
                item.request = Ref::steal(PyBytes_FromStringAndSize(msg.data(), Py_ssize_t(len)));
                if (!item.request) {
                    PyErr_Clear();
                    push_answer(s, 413, "Request too large");
                } else {
                    item.size = len;
                    s.queued += len;
                    s.queue.push_back(std::move(item));
                }
            }
            s.consumed += len;
            s.framer.reset();
            continue;
        }
        if (status == Framer::Status::Malformed) {
            push_answer(s, 400, s.framer.error());
            s.pending.clear();
            s.consumed = 0;
            s.framer.reset();
            return;
        }
        // Refused as soon as its head announces too much, or once too much has come.
        if (s.queued + msg.size() > limit || s.framer.expected_length() > limit) {
            push_answer(s, 413, "Request too large");
            refuse_current(s, msg.size());
            return;
        }
        break;
    }
    if (s.consumed == s.pending.size()) {
        s.pending.clear();
        s.consumed = 0;
    } else if (s.consumed > 65536 && s.consumed > s.pending.size() / 2) {
        s.pending.erase(0, s.consumed);
        s.consumed = 0;
    }
}

// HttpResponse(status=status, body=body)
Ref error_response(PyObject* module, int status, PyObject* body) {
    Ref cls = module_global(module, ZV_STR("HttpResponse"));
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!cls || !code) return {};
    Ref names = new_tuple({ZV_STR("status"), ZV_STR("body")});
    if (!names) return {};
    return call_kw(cls.get(), {code.get(), body}, names.get());
}

// The answer for a caught Exception: its text, UTF-8 encoded, as body.
Ref exception_response(PyObject* module, int status) {
    SavedError err;
    Ref text = Ref::steal(PyObject_Str(err.get()));
    if (!text) return {};
    Ref body = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    if (!body) return {};
    return error_response(module, status, body.get());
}

// Parses, dispatches and answers one queued item. Returns -1 with an exception set when
// something escapes that the link's callback must pass on.
int answer(PyObject* module, PyObject* self, PyObject* link, PyObject* buffer, Item& item) {
    Ref response;
    if (item.request) {
        Ref cls = module_global(module, ZV_STR("HttpRequest"));
        if (!cls) return -1;
        Ref request = call_method(cls.get(), ZV_STR("parse"), {item.request.get()});
        if (!request) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
            response = exception_response(module, 400);
        } else {
            response = call_method(self, ZV_STR("_handle_request"), {link, request.get()});
            if (!response) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
                response = exception_response(module, 500);
            }
        }
    } else {
        Ref body = Ref::steal(PyBytes_FromStringAndSize(item.message.data(),
                                                        Py_ssize_t(item.message.size())));
        if (!body) return -1;
        response = error_response(module, item.status, body.get());
    }
    if (!response) return -1;
    Ref coro = call_method(self, ZV_STR("_send_response"), {buffer, response.get()});
    if (!coro) return -1;
    Ref runner = module_global(module, ZV_STR("await_in_sync"));
    if (!runner) return -1;
    return call(runner.get(), {coro.get()}) ? 0 : -1;
}

// Reads what the link holds and, unless another thread is at it, answers every queued
// request. Returns None, or NULL with the first escaping exception.
PyObject* drain(PyObject* module, PyObject* self, PyObject* link, LinkState& s, PyObject* buffer,
                Py_ssize_t ready) {
    std::size_t limit = std::size_t(size_global(module, "_LINK_BUFFER_LIMIT", kLinkBufferLimit));
    Lock lock(s);
    if (s.closed) return Py_NewRef(Py_None);
    std::string fresh;
    if (rns::read_available(buffer, ready, fresh) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        // an unreadable link: answer what failed, forget what was half assembled
        SavedError err;
        Ref text = Ref::steal(PyObject_Str(err.get()));
        if (!text) return nullptr;
        Py_ssize_t n;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &n);
        if (!utf8) return nullptr;
        feed(s, fresh, limit);
        push_answer(s, 400, std::string(utf8, std::size_t(n)));
        s.pending.clear();
        s.consumed = 0;
        s.framer.reset();
    } else {
        feed(s, fresh, limit);
    }
    if (s.dispatching || s.queue.empty()) return Py_NewRef(Py_None);
    s.dispatching = true;

    Ref first_error;
    for (;;) {
        Item item = std::move(s.queue.front());
        s.queue.pop_front();
        s.queued -= item.size;
        lock.unlock();
        if (answer(module, self, link, buffer, item) < 0) {
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            if (!first_error) first_error = std::move(exc);
        }
        item.request.reset();
        lock.relock(s);
        if (s.queue.empty() || s.closed) {
            s.dispatching = false;
            break;
        }
    }
    lock.unlock();
    if (first_error) {
        PyErr_SetRaisedException(first_error.release());
        return nullptr;
    }
    return Py_NewRef(Py_None);
}

// _on_reader_ready(ready), capturing (link, server, state)
PyObject* on_reader_ready(NativeFunction* fn, PyObject* const* args) {
    PyObject* ready = args[0];
    PyObject* link = captured(fn, 0);
    PyObject* self = captured(fn, 1);
    StatePtr state = state_of(captured(fn, 2));

    Ref link_text = format(link);
    Ref ready_text = format(ready);
    if (!link_text || !ready_text) return nullptr;
    Ref line = Ref::steal(PyUnicode_FromFormat("Reader ready %U: %U", link_text.get(), ready_text.get()));
    if (!line || print_text(fn->module, line.get()) < 0) return nullptr;

    Ref buffer = lookup_buffer(self, link);
    if (!buffer) return nullptr;
    if (buffer.is_none()) {
        {
            Lock lock(*state);
            if (!state->registered) {
                // The buffer is still being made: the registering thread reads for us.
                state->missed = true;
                return Py_NewRef(Py_None);
            }
        }
        buffer = lookup_buffer(self, link);
        if (!buffer) return nullptr;
        if (buffer.is_none()) return Py_NewRef(Py_None);
    }
    Py_ssize_t n = PyLong_Check(ready) ? PyLong_AsSsize_t(ready) : 0;
    if (n < 0) {
        PyErr_Clear();
        n = 0;
    }
    return drain(fn->module, self, link, *state, buffer.get(), n);
}

struct DrainJob {
    PyObject* module;
    PyObject* self;
    PyObject* link;
    StatePtr state;
};

// Reads for notifications that arrived before the link was registered.
void drain_later(void* arg) {
    PyGILState_STATE gil = PyGILState_Ensure();
    auto* job = static_cast<DrainJob*>(arg);
    Ref buffer = lookup_buffer(job->self, job->link);
    if (buffer && !buffer.is_none()) {
        Ref done = Ref::steal(drain(job->module, job->self, job->link, *job->state, buffer.get(), 0));
        if (!done) PyErr_WriteUnraisable(job->link);
    } else if (!buffer) {
        PyErr_Clear();
    }
    Py_DECREF(job->module);
    Py_DECREF(job->self);
    Py_DECREF(job->link);
    delete job;
    PyGILState_Release(gil);
}

const FunctionSpec ready_spec = {
    "_on_reader_ready", "HttpServer._on_link.<locals>._on_reader_ready",
    "Handle incoming data on reader.", {"ready"}, on_reader_ready,
};

// Marks the state registered; returns whether a notification was missed meanwhile.
bool mark_registered(LinkState& s) {
    Lock lock(s);
    s.registered = true;
    return std::exchange(s.missed, false);
}

// Drops every link from `links` whose stored buffer is `writer`, tearing it down.
int drop_writer(PyObject* self, PyObject* writer) {
    Ref links = attr(self, ZV_STR("_links"));
    if (!links) return -1;
    Ref items = call_method(links.get(), ZV_STR("items"));
    if (!items) return -1;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return -1;
    Ref found;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref value = Ref::steal(PySequence_GetItem(pair.get(), 1));
        if (!value) return -1;
        Ref stored = Ref::steal(PySequence_GetItem(value.get(), 1));
        if (!stored) return -1;
        if (stored.get() == writer) {
            found = Ref::steal(PySequence_GetItem(pair.get(), 0));
            if (!found) return -1;
            break;
        }
    }
    if (PyErr_Occurred()) return -1;
    if (!found) return 0;
    Ref missing = new_tuple({Py_None, Py_None});
    if (!missing) return -1;
    Ref removed = call_method(links.get(), ZV_STR("pop"), {found.get(), missing.get()});
    if (!removed) return -1;
    Ref link = Ref::steal(PySequence_GetItem(removed.get(), 0));
    if (!link) return -1;
    if (link.is_none()) return 0;
    release_link(link.get());
    return call_method(link.get(), ZV_STR("teardown")) ? 0 : -1;
}

// bytes(response) written on the link's buffer, paced when the link is known.
int write_response(PyObject* module, PyObject* writer, PyObject* response) {
    Ref data = Ref::steal(PyObject_Bytes(response));
    if (!data) return -1;
    Ref rns_module = module_global(module, ZV_STR("RNS"));
    if (!rns_module) return -1;
    Ref channel, link;
    auto found = by_buffer.find(writer);
    if (found != by_buffer.end()) {
        channel = found->second->channel;
        link = found->second->link;
    }
    rns::WriteLimits limits;
    limits.stall_seconds = seconds_global(module, "_WRITE_STALL_TIMEOUT", kWriteStallSeconds);
    return rns::write_paced(rns_module.get(), writer, channel.get(), link.get(), data.get(), limits);
}

CoBody send_body(Ref module, Ref self, Ref writer, Ref response, bool awaitable) {
    if (awaitable) {
        response = co_await Await(response.get());
        if (!response) co_return Ref{};
    }
    if (write_response(module.get(), writer.get(), response.get()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) co_return Ref{};
        PyErr_Clear();
        if (drop_writer(self.get(), writer.get()) < 0) co_return Ref{};
    }
    co_return Ref::none();
}

}  // namespace

void release_link(PyObject* link) {
    auto found = by_link.find(link);
    if (found == by_link.end()) return;
    StatePtr state = found->second;
    by_link.erase(found);
    auto buf = by_buffer.find(state->buffer.get());
    if (buf != by_buffer.end() && buf->second == state) by_buffer.erase(buf);
    std::deque<Item> dropped;
    {
        Lock lock(*state);
        state->closed = true;
        state->pending.clear();
        state->pending.shrink_to_fit();
        state->consumed = 0;
        dropped.swap(state->queue);
        state->queued = 0;
    }
    // References go last: releasing them may run arbitrary code.
    Ref keep_link = std::move(state->link);
    Ref keep_buffer = std::move(state->buffer);
    Ref keep_channel = std::move(state->channel);
}

PyObject* on_link(NativeFunction* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* link = args[1];
    Ref running = attr(self, ZV_STR("_running"));
    if (!running) return nullptr;
    int yes = PyObject_IsTrue(running.get());
    if (yes < 0) return nullptr;
    if (!yes) return call_method(link, ZV_STR("teardown")) ? Py_NewRef(Py_None) : nullptr;

    Ref link_text = format(link);
    if (!link_text) return nullptr;
    Ref line = Ref::steal(PyUnicode_FromFormat("Connected: %U", link_text.get()));
    if (!line || print_text(fn->module, line.get()) < 0) return nullptr;

    // The state exists before the buffer, so a notification racing the registration
    // below is remembered instead of lost.
    auto state = std::make_shared<LinkState>();
    Ref capsule = make_capsule(state);
    if (!capsule) return nullptr;
    Ref closure = new_tuple({link, self, capsule.get()});
    if (!closure) return nullptr;
    Ref callback = make_function(fn->module, ready_spec, {},
                                 {{"ready", reinterpret_cast<PyObject*>(&PyLong_Type)},
                                  {"return", Py_None}},
                                 closure.get());
    if (!callback) return nullptr;

    Ref closed_cb = attr(self, ZV_STR("_on_close"));
    if (!closed_cb) return nullptr;
    if (!call_method(link, ZV_STR("set_link_closed_callback"), {closed_cb.get()})) return nullptr;
    Ref channel = call_method(link, ZV_STR("get_channel"));
    if (!channel) return nullptr;
    Ref rns_module = global(fn, ZV_STR("RNS"));
    if (!rns_module) return nullptr;
    Ref buffer_type = attr(rns_module.get(), ZV_STR("Buffer"));
    if (!buffer_type) return nullptr;
    Ref rx = Ref::steal(PyLong_FromLong(0));
    Ref tx = Ref::steal(PyLong_FromLong(1));
    if (!rx || !tx) return nullptr;
    Ref buffer = call_method(buffer_type.get(), ZV_STR("create_bidirectional_buffer"),
                             {rx.get(), tx.get(), channel.get(), callback.get()});
    if (!buffer) return nullptr;

    Ref links = attr(self, ZV_STR("_links"));
    Ref key = link_key(link);
    Ref entry = new_tuple({link, buffer.get()});
    if (!links || !key || !entry || PyObject_SetItem(links.get(), key.get(), entry.get()) < 0)
        return nullptr;

    state->link = Ref::borrow(link);
    state->buffer = buffer;
    state->channel = channel;
    if (auto old = by_link.find(link); old != by_link.end()) release_link(link);
    by_link[link] = state;
    by_buffer[buffer.get()] = state;

    if (mark_registered(*state)) {
        auto* job = new DrainJob{Py_NewRef(fn->module), Py_NewRef(self), Py_NewRef(link), state};
        if (PyThread_start_new_thread(drain_later, job) == PYTHREAD_INVALID_THREAD_ID) {
            Py_DECREF(job->module);
            Py_DECREF(job->self);
            Py_DECREF(job->link);
            delete job;
            PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
            return nullptr;
        }
    }
    return Py_NewRef(Py_None);
}

PyObject* on_close(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* link = args[1];
    Ref links = attr(self, ZV_STR("_links"));
    if (!links) return nullptr;
    Ref key = link_key(link);
    if (!key) return nullptr;
    if (!call_method(links.get(), ZV_STR("pop"), {key.get(), Py_None})) return nullptr;
    release_link(link);
    return Py_NewRef(Py_None);
}

PyObject* send_response(NativeFunction* fn, PyObject* const* args) {
    Ref awaitable_type = global(fn, ZV_STR("Awaitable"));
    if (!awaitable_type) return nullptr;
    int awaitable = PyObject_IsInstance(args[2], awaitable_type.get());
    if (awaitable < 0) return nullptr;
    return make_coroutine(fn,
                          send_body(Ref::borrow(fn->module), Ref::borrow(args[0]),
                                    Ref::borrow(args[1]), Ref::borrow(args[2]), awaitable == 1),
                          awaitable == 0);
}

PyObject* await_in_sync(NativeFunction* fn, PyObject* const* args) {
    PyObject* awaitable = args[0];
    Ref asyncio = global(fn, ZV_STR("asyncio"));
    if (!asyncio) return nullptr;
    if (is_native_coroutine(awaitable)) {
        // Our own coroutine that cannot suspend, on a thread without a loop: running it
        // here gives what a fresh event loop would, without making one per request.
        Ref probe = attr(asyncio.get(), ZV_STR("_get_running_loop"));
        Ref loop = probe ? call(probe.get()) : Ref{};
        if (!loop) {
            PyErr_Clear();
        } else if (loop.is_none()) {
            Ref result;
            if (run_eager(awaitable, &result)) return result.release();
        }
    }
    Ref loop = call_method(asyncio.get(), ZV_STR("get_running_loop"));
    if (loop) {
        Ref result = call_method(loop.get(), ZV_STR("run_until_complete"), {awaitable});
        if (result || !PyErr_ExceptionMatches(PyExc_RuntimeError)) return result.release();
    } else if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) {
        return nullptr;
    }
    PyErr_Clear();
    return call_method(asyncio.get(), ZV_STR("run"), {awaitable}).release();
}

}  // namespace zv::server
