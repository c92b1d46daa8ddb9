// Per-link request handling of HttpServer.
//
// Reticulum calls a link's ready callback on a new thread per received message, several
// at once, each with a byte count that may already be stale. So each link has one state:
// under its mutex a callback reads everything the buffer holds, appends it to the bytes
// being assembled and cuts out every request that is complete by its framing. Whichever
// thread finds no other one dispatching then answers the queued requests in arrival
// order, outside the mutex, so reading never waits for a handler and links never wait
// for each other.
//
// What a link may hold is bounded three ways: its own share (_LINK_BUFFER_LIMIT), the sum
// over all links (_TOTAL_BUFFER_LIMIT) and the head of a request (_HEAD_LIMIT); a request
// must also arrive within the server's read time-out, watched by one module-wide thread.
// An answer that refuses the framing of the stream (400, 408, 413, 431, 505) is the last
// one on its link: the position in the stream is lost, so the link is torn down after it.
#include "server/links.hpp"

#include "server/watchdog.hpp"
#include "support/capsule.hpp"
#include "support/native_coroutine.hpp"
#include "support/sync.hpp"
#include "support/tables.hpp"
#include "transport/framing.hpp"
#include "transport/reticulum_io.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zv::server {

// A complete request to parse, or an answer decided while assembling.
struct Item {
    Ref request;  // bytes of one request, or empty for a decided answer
    int status = 0;
    std::string message;
    std::size_t size = 0;      // bytes counted against the buffer limits
    bool close_after = false;  // the link ends with this answer
};

struct LinkState {
    PyMutex mutex{};
    // guarded by mutex
    std::string pending;       // bytes read and not yet cut into requests
    std::size_t consumed = 0;  // start of the message being assembled in `pending`
    Framer framer{Framer::Kind::Request};
    std::deque<Item> queue;
    std::size_t queued = 0;    // request bytes waiting in `queue`
    std::size_t held = 0;      // this link's part of the total over all links
    std::int64_t started = 0;  // when the unfinished request's first byte came; 0: none
    rns::Arrivals arrivals;    // of the unfinished request
    bool refused = false;      // an answer that ends the link is queued: input is dropped
    bool dispatching = false;
    bool registered = false;  // the buffer is in _links (or the link was refused)
    bool missed = false;      // a notification came before registration
    bool closed = false;
    // guarded by the GIL; set on registration, dropped on release
    Ref link, buffer, channel, server, module;
    std::uint64_t writes = 0;     // response writes begun on this link
    bool answering_head = false;  // the request being answered is HEAD: its answer has no body
    bool ends_stream = false;     // an answer went out whose body only the link's end delimits
    bool watched = false;         // handed to the watchdog at least once
};

namespace {

// Looked up by the response writer (which only gets the buffer) and by the close
// handler. Never destroyed: entries hold Python references that must not outlive the
// interpreter's own teardown order.
auto& by_link = *new std::unordered_map<PyObject*, StatePtr>();
auto& by_buffer = *new std::unordered_map<PyObject*, StatePtr>();

// Bytes held for unfinished and queued requests over all links.
std::atomic<std::size_t> total_held{0};

constexpr Capsule<StatePtr> kStateCapsule{"zivane.server.link_state"};

using sync::MutexGuard;  // of a LinkState::mutex: see the lock order in support/sync.hpp

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

struct Limits {
    std::size_t link, total, head;
};

Limits read_limits(PyObject* module) {
    return {std::size_t(size_global(module, ZV_STR("_LINK_BUFFER_LIMIT"), kLinkBufferLimit)),
            std::size_t(size_global(module, ZV_STR("_TOTAL_BUFFER_LIMIT"), kTotalBufferLimit)),
            std::size_t(size_global(module, ZV_STR("_HEAD_LIMIT"), kHeadLimit))};
}

// _WRITE_STALL_TIMEOUT, read now.
double stall_seconds(PyObject* module) {
    return seconds_global(module, ZV_STR("_WRITE_STALL_TIMEOUT"), kWriteStallSeconds);
}

// Takes `n` bytes from what all links may hold together, or nothing when they do not fit.
bool reserve(std::size_t n, std::size_t limit) {
    std::size_t cur = total_held.load(std::memory_order_relaxed);
    do {
        if (n > limit || cur > limit - n) return false;
    } while (!total_held.compare_exchange_weak(cur, cur + n, std::memory_order_relaxed));
    return true;
}

// Brings the link's part of the total down to what it still holds. Mutex held.
void settle(LinkState& s) {
    std::size_t now_held = (s.pending.size() - s.consumed) + s.queued;
    total_held.fetch_sub(s.held - now_held, std::memory_order_relaxed);
    s.held = now_held;
}

// Queues the answer that ends the link and drops everything being assembled; nothing
// that arrives after it is taken as a request. Mutex held.
void refuse(LinkState& s, int status, std::string message) {
    Item item;
    item.status = status;
    item.message = std::move(message);
    item.close_after = true;
    s.queue.push_back(std::move(item));
    s.refused = true;
    s.pending.clear();
    s.pending.shrink_to_fit();
    s.consumed = 0;
    s.framer.reset();
    s.started = 0;
}

// Refuses the message being assembled if it breaks a limit; true when it did.
bool over_limits(LinkState& s, const Limits& limits, std::size_t have, std::size_t head, std::size_t whole) {
    if (head > limits.head) {
        refuse(s, 431, "Request head too large");
        return true;
    }
    if (s.queued + have > limits.link || whole > limits.link || whole > limits.total) {
        refuse(s, 413, "Request too large");
        return true;
    }
    return false;
}

// Cuts every complete request out of `pending` into the queue. Returns whether at least
// one was completed. Mutex held.
bool cut_requests(LinkState& s, const Limits& limits) {
    bool completed = false;
    for (;;) {
        std::string_view msg(s.pending);
        msg.remove_prefix(s.consumed);
        if (msg.empty()) return completed;
        Framer::Status status = s.framer.scan(msg);
        std::size_t lead = s.framer.leading();
        if (status == Framer::Status::Incomplete && lead > 0) {
            // empty lines before a request line: no request's bytes, dropped at once
            s.consumed += lead;
            s.framer.reset();
            continue;
        }
        if (status == Framer::Status::Malformed) {
            refuse(s, s.framer.error_status(), s.framer.error());
            return completed;
        }
        std::size_t head = s.framer.header_length() ? s.framer.header_length() - lead : msg.size();
        if (status == Framer::Status::Incomplete) {
            std::size_t whole = s.framer.expected_length();
            // A body of known length gets room for exactly itself, not a doubling
            // string's slack (and its copies) on the way there.
            if (!over_limits(s, limits, msg.size(), head, whole) && whole > msg.size())
                s.pending.reserve(s.consumed + whole);
            return completed;
        }
        std::size_t len = s.framer.message_length() - lead;
        if (over_limits(s, limits, len, head, 0)) return completed;
        Item item;
        item.request = Ref::steal(PyBytes_FromStringAndSize(msg.data() + lead, Py_ssize_t(len)));
        if (!item.request) {
            PyErr_Clear();
            refuse(s, 413, "Request too large");
            return completed;
        }
        item.size = len;
        s.queued += len;
        s.queue.push_back(std::move(item));
        s.consumed += lead + len;
        s.framer.reset();
        completed = true;
    }
}

// Room a link keeps for its next request once nothing is pending; a large request's
// buffer is given back rather than held (uncounted) for the rest of the link's life.
constexpr std::size_t kKeptCapacity = 64 * 1024;

void compact(LinkState& s) {
    if (s.consumed == s.pending.size()) {
        if (s.pending.capacity() > kKeptCapacity)
            std::string().swap(s.pending);
        else
            s.pending.clear();
        s.consumed = 0;
    } else if (s.consumed > 65536 && s.consumed > s.pending.size() / 2) {
        s.pending.erase(0, s.consumed);
        s.consumed = 0;
    }
}

// How an unfinished request is paced on its link: the least rate it must keep up once its
// read time-out has passed, and Reticulum's resend schedule on the link, the longest
// silence that may still be Reticulum at work.
struct Pace {
    double min_rate = 0;         // bytes a second; 0: the link's rate is unknown
    std::int64_t resend_ns = 0;  // Reticulum's resend schedule on the link
};

// A request on a slow link is not refused while its bytes keep coming at a fair share of
// what the link carries: a dribble far below that (the attack the time-out is there for)
// still is, on any link.
constexpr double kRateShare = 0.25;

// Looks at the link through references of its own: the attribute reads may let the GIL
// go, and the link's release drop the state's.
Pace link_pace(LinkState& s) {
    Pace pace;
    Ref module = s.module, channel = s.channel, link = s.link;
    Ref rns = module ? module_global(module.get(), ZV_STR("RNS")) : Ref{};
    if (!rns) {
        PyErr_Clear();
        return pace;
    }
    pace.min_rate = kRateShare * rns::link_rate(rns.get(), channel.get(), link.get());
    pace.resend_ns = std::int64_t(1.25e9 * std::min(rns::resend_seconds(channel.get(), link.get()), 1e6));
    return pace;
}

// How a request's arrivals are judged once its read time-out has passed: over windows of
// half the time-out, against the least rate, so that one which stops keeping up is
// answered within the time-out; a silence after bytes that kept up may last the time-out,
// or Reticulum's resend schedule when that is longer (see rns::Arrivals).
struct Judging {
    std::int64_t grace = 0;
    std::int64_t window = 0;
    std::int64_t silence = 0;
    double min_rate = 0;
};

Judging judging(std::int64_t timeout, const Pace& pace) {
    std::int64_t window = std::max<std::int64_t>(timeout / 2, 0);
    return {timeout, window, std::max(timeout, pace.resend_ns), timeout > 0 ? pace.min_rate : 0.0};
}

// Appends freshly read bytes and queues every request they complete; `judge` is how the
// arrivals of a request that begins here are judged. Mutex held.
// Returns the start time of an unfinished request that began with these bytes, else 0.
std::int64_t feed(LinkState& s, std::string_view data, const Limits& limits, const Judging& judge) {
    if (data.empty() || s.refused) return 0;
    if (!reserve(data.size(), limits.total)) {
        refuse(s, 413, "Request too large");
        settle(s);
        return 0;
    }
    s.held += data.size();
    s.pending.append(data);
    bool completed = cut_requests(s, limits);
    compact(s);
    settle(s);
    if (s.refused || s.pending.size() == s.consumed) {
        s.started = 0;
        return 0;
    }
    std::int64_t now = now_ns();
    if (s.started != 0 && !completed) {
        s.arrivals.add(now, data.size());
        return 0;
    }
    // bytes left after a request completed here arrived here too
    s.started = now;
    s.arrivals.restart(now, judge.window, judge.min_rate, judge.grace);
    s.arrivals.add(now, s.pending.size() - s.consumed);
    return s.started;
}

// server._read_timeout in nanoseconds, looked up now; -1 for no bound (None, or a value
// that is not a usable number of seconds).
std::int64_t read_timeout_ns(PyObject* server) {
    Ref value = attr(server, ZV_STR("_read_timeout"));
    if (!value) {
        PyErr_Clear();
        return -1;
    }
    if (value.is_none()) return -1;
    double seconds = PyFloat_AsDouble(value.get());
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    if (!(seconds < 1e9)) return -1;  // NaN, or beyond any link's life
    return seconds <= 0 ? 0 : std::int64_t(seconds * 1e9);
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

// The exception's text, UTF-8 encoded, as the body of a `status` answer.
Ref failure_response(PyObject* module, int status, PyObject* exc) {
    Ref text = Ref::steal(PyObject_Str(exc));
    if (!text) return {};
    Ref body = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    if (!body) return {};
    return error_response(module, status, body.get());
}

// The answer for the Exception being raised.
Ref exception_response(PyObject* module, int status) {
    SavedError err;
    return failure_response(module, status, err.get());
}

// An answer decided while assembling. 431 and 505 have no default reason phrase.
Ref decided_response(PyObject* module, const Item& item) {
    Ref body = Ref::steal(PyBytes_FromStringAndSize(item.message.data(), Py_ssize_t(item.message.size())));
    if (!body) return {};
    const char* reason = item.status == 431   ? "Request Header Fields Too Large"
                         : item.status == 505 ? "HTTP Version Not Supported"
                                              : nullptr;
    if (!reason) return error_response(module, item.status, body.get());
    Ref cls = module_global(module, ZV_STR("HttpResponse"));
    Ref code = Ref::steal(PyLong_FromLong(item.status));
    Ref phrase = Ref::steal(PyUnicode_FromString(reason));
    Ref names = new_tuple({ZV_STR("status"), ZV_STR("reason"), ZV_STR("body")});
    if (!cls || !code || !phrase || !names) return {};
    return call_kw(cls.get(), {code.get(), phrase.get(), body.get()}, names.get());
}

// The response for one queued item: the handler's result, 400 for a request the parser
// refuses, 500 for a handler failure, or the answer decided while assembling. Empty,
// with the error set, when handling ended without any.
Ref make_answer(PyObject* module, PyObject* self, PyObject* link, const Item& item) {
    if (!item.request) return decided_response(module, item);
    Ref cls = module_global(module, ZV_STR("HttpRequest"));
    if (!cls) return {};
    Ref request = call_method(cls.get(), ZV_STR("parse"), {item.request.get()});
    if (!request) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
        return exception_response(module, 400);
    }
    Ref response = call_method(self, ZV_STR("_handle_request"), {link, request.get()});
    if (response || !PyErr_ExceptionMatches(PyExc_Exception)) return response;
    return exception_response(module, 500);
}

bool is_head(PyObject* request) {
    return request && PyBytes_Check(request) && PyBytes_GET_SIZE(request) >= 5 &&
           std::memcmp(PyBytes_AS_STRING(request), "HEAD ", 5) == 0;
}

// A response with a body but neither Content-Length nor chunked framing (a body of None
// serializes that way) ends where the stream ends, as HTTP/1.1 reads it: the link must be
// closed after it, or the peer would wait for that end.
bool delimited_by_close(PyObject* data, bool head) {
    Framer framer(Framer::Kind::Response);
    framer.expect_no_body(head);
    std::string_view bytes(PyBytes_AS_STRING(data), std::size_t(PyBytes_GET_SIZE(data)));
    return framer.scan(bytes) == Framer::Status::Incomplete && framer.until_close();
}

// await_in_sync(self._send_response(buffer, response))
int send(PyObject* module, PyObject* self, PyObject* buffer, PyObject* response) {
    Ref coro = call_method(self, ZV_STR("_send_response"), {buffer, response});
    if (!coro) return -1;
    Ref runner = module_global(module, ZV_STR("await_in_sync"));
    if (!runner) return -1;
    return call(runner.get(), {coro.get()}) ? 0 : -1;
}

bool is_closed(LinkState& s) {
    MutexGuard lock(s.mutex);
    return s.closed;
}

// Keeps the first exception that must leave the ready callback: anything that is not an
// Exception (KeyboardInterrupt, SystemExit, ...) keeps its meaning.
void keep_escaping(SavedError& err, Ref& escaping) {
    if (!escaping && err && !err.matches(PyExc_Exception)) escaping = Ref::borrow(err.get());
}

// Answers one queued item, so that the n-th answer on a link is always that of its n-th
// request: handling that ends without a response is answered 500 when nothing was
// written for it yet. Returns whether the link must end now (the answer ends its stream,
// or the request could not be answered at all).
bool answer(PyObject* module, PyObject* self, PyObject* link, PyObject* buffer, LinkState& s,
            const Item& item, Ref& escaping) {
    std::uint64_t writes = s.writes;
    s.answering_head = is_head(item.request.get());
    Ref response = make_answer(module, self, link, item);
    if (response && send(module, self, buffer, response.get()) == 0)
        return item.close_after || std::exchange(s.ends_stream, false);
    SavedError err;
    keep_escaping(err, escaping);
    if (s.writes != writes || is_closed(s)) return true;  // part of an answer went out
    Ref failure = failure_response(module, 500, err.get());
    if (!failure || send(module, self, buffer, failure.get()) < 0) {
        SavedError again;
        keep_escaping(again, escaping);
        return true;
    }
    return item.close_after;
}

// Ends the link after the answer that closed its stream: out of _links, torn down, its
// state forgotten. Every step runs; a failure that is not an Exception escapes.
void end_link(PyObject* self, PyObject* link, LinkState& s, Ref& escaping) {
    if (is_closed(s)) return;
    Ref links = attr(self, ZV_STR("_links"));
    Ref key = links ? link_key(link) : Ref{};
    if (key) (void)call_method(links.get(), ZV_STR("pop"), {key.get(), Py_None});
    if (PyErr_Occurred()) {
        SavedError err;
        keep_escaping(err, escaping);
    }
    // The last answer must be able to survive a lost packet: the link ends once the peer has
    // proved it received, or after the same bound a stalled write gets.
    if (s.module) rns::wait_delivered(s.channel.get(), stall_seconds(s.module.get()));
    Ref done = call_method(link, ZV_STR("teardown"));
    if (!done) {
        SavedError err;
        keep_escaping(err, escaping);
    }
    release_link(link);
}

Item take_front(LinkState& s) {
    Item item = std::move(s.queue.front());
    s.queue.pop_front();
    s.queued -= item.size;
    s.held -= item.size;
    total_held.fetch_sub(item.size, std::memory_order_relaxed);
    return item;
}

// Answers every queued request unless another thread is at it. Returns 0, or -1 with the
// first exception that must escape.
int dispatch(PyObject* module, PyObject* self, PyObject* link, LinkState& s, PyObject* buffer) {
    MutexGuard lock(s.mutex);
    if (s.dispatching || s.queue.empty() || s.closed) return 0;
    s.dispatching = true;
    Ref escaping;
    for (;;) {
        Item item = take_front(s);
        lock.unlock();
        bool end = answer(module, self, link, buffer, s, item, escaping);
        item.request.reset();
        if (end) end_link(self, link, s, escaping);
        lock.lock();
        if (s.queue.empty() || s.closed) {
            s.dispatching = false;
            break;
        }
    }
    lock.unlock();
    if (!escaping) return 0;
    PyErr_SetRaisedException(escaping.release());
    return -1;
}

// The text of the Exception being raised, as UTF-8 (consumes it). False on failure.
bool take_exception_text(std::string& out) {
    SavedError err;
    Ref text = Ref::steal(PyObject_Str(err.get()));
    if (!text) return false;
    Py_ssize_t n;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (!utf8) return false;
    out.assign(utf8, std::size_t(n));
    return true;
}

// Under the link's mutex: reads what the buffer holds and queues the requests it
// completes. After a refusal the bytes are still read, so that Reticulum does not pile
// them up while the last answer waits its turn, but they are dropped unseen. Returns 0
// or the start of an unfinished request (to watch), or -1 with an exception set.
std::int64_t read_requests(LinkState& s, PyObject* buffer, Py_ssize_t ready, const Limits& limits,
                           const Judging& judge) {
    MutexGuard lock(s.mutex);
    if (s.closed) return 0;
    std::string fresh;
    if (rns::read_available(buffer, ready, fresh) == 0) return feed(s, fresh, limits, judge);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    // an unreadable link: answer what failed; the stream position is gone
    std::string text;
    if (!take_exception_text(text)) return -1;
    feed(s, fresh, limits, judge);
    if (!s.refused) refuse(s, 400, std::move(text));
    settle(s);
    return 0;
}

// Reads what the link holds and answers every queued request. Returns 0, or -1 with the
// first escaping exception.
int drain(PyObject* module, PyObject* self, PyObject* link, const StatePtr& state, PyObject* buffer,
          Py_ssize_t ready) {
    LinkState& s = *state;
    std::int64_t timeout = read_timeout_ns(self);
    Judging judge = judging(timeout, link_pace(s));
    std::int64_t started = read_requests(s, buffer, ready, read_limits(module), judge);
    if (started < 0) return -1;
    if (started != 0) {
        if (timeout >= 0) {
            s.watched = true;
            watch(state, started + timeout);
        }
    }
    return dispatch(module, self, link, s, buffer);
}

// _on_reader_ready(ready), capturing (link, server, state)
PyObject* on_reader_ready(NativeFunction* fn, PyObject* const* args) {
    PyObject* ready = args[0];
    PyObject* link = captured(fn, 0);
    PyObject* self = captured(fn, 1);
    StatePtr* held = kStateCapsule.get(captured(fn, 2));
    if (!held) return nullptr;
    StatePtr state = *held;
    Ref line = fstring({ZV_STR("Reader ready "), link, ZV_STR(": "), ready});
    if (!line || print_line(fn->module, line.get()) < 0) return nullptr;

    Ref buffer = lookup_buffer(self, link);
    if (!buffer) return nullptr;
    if (buffer.is_none()) {
        {
            MutexGuard lock(state->mutex);
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
    return drain(fn->module, self, link, state, buffer.get(), n) < 0 ? nullptr : Py_NewRef(Py_None);
}

// A link's state, with the GIL: the objects a thread of ours needs to dispatch for it.
struct Job {
    StatePtr state;
};

// Runs queued answers on a thread of its own: for notifications that arrived before the
// link was registered, and for an answer the watchdog decided.
void run_job(StatePtr state, bool read) {
    LinkState& s = *state;
    Ref module = s.module, server = s.server, link = s.link, buffer = s.buffer;
    if (!module || !server || !link || !buffer) return;
    int done = read ? drain(module.get(), server.get(), link.get(), state, buffer.get(), 0)
                    : dispatch(module.get(), server.get(), link.get(), s, buffer.get());
    if (done < 0) PyErr_WriteUnraisable(link.get());
}

void delete_job_after(void* arg, bool read) {
    std::unique_ptr<Job> job(static_cast<Job*>(arg));
    run_job(job->state, read);
}

void drain_later(void* arg) {
    PyGILState_STATE gil = PyGILState_Ensure();
    delete_job_after(arg, true);
    PyGILState_Release(gil);
}

void dispatch_later(void* arg) {
    PyGILState_STATE gil = PyGILState_Ensure();
    delete_job_after(arg, false);
    PyGILState_Release(gil);
}

// Starts `body` on a new thread for `state`; false (no exception set) when none starts.
bool start_job(void (*body)(void*), const StatePtr& state) {
    auto* job = new Job{state};
    if (PyThread_start_new_thread(body, job) != PYTHREAD_INVALID_THREAD_ID) return true;
    delete job;
    return false;
}

const table::Function kReaderReady = {
    "_on_reader_ready", {{"ready", "int"}}, "None", "Handle incoming data on reader.", on_reader_ready,
};

// Marks the state registered; returns whether a notification was missed meanwhile.
bool mark_registered(LinkState& s) {
    MutexGuard lock(s.mutex);
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
        ++found->second->writes;
        if (PyBytes_Check(data.get()) && delimited_by_close(data.get(), found->second->answering_head))
            found->second->ends_stream = true;
    }
    rns::WriteLimits limits;
    limits.stall_seconds = stall_seconds(module);
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

// When the unfinished request must be complete: the read time-out after its first byte,
// and on a link whose rate is known, later for as long as its bytes keep coming at the
// least rate over each window of half the time-out (see rns::Arrivals). What a burst
// brought buys nothing once it is older than the window, so a request that turns into a
// dribble far below what the link carries ends within the time-out, whatever came before.
// Mutex held.
std::int64_t request_deadline(const LinkState& s, std::int64_t timeout, const Pace& pace) {
    std::int64_t first = s.started + timeout;
    if (pace.min_rate <= 0 || timeout == 0) return first;
    return std::max(first, s.arrivals.behind_at(now_ns(), judging(timeout, pace).silence));
}

}  // namespace

std::int64_t check_deadline(const StatePtr& state) {
    LinkState& s = *state;
    Ref server = s.server;
    if (!server) return 0;
    std::int64_t timeout = read_timeout_ns(server.get());
    Pace pace = link_pace(s);
    {
        MutexGuard lock(s.mutex);
        if (s.closed || s.refused || s.started == 0 || timeout < 0) return 0;
        std::int64_t deadline = request_deadline(s, timeout, pace);
        if (now_ns() < deadline) return deadline;
        refuse(s, 408, "Request timeout");
        settle(s);
        if (s.dispatching) return 0;  // the thread at it writes the answer in its turn
    }
    if (!start_job(dispatch_later, state)) {
        // no thread for the answer: the link still ends
        Ref escaping;
        Ref link = s.link;
        if (link) end_link(server.get(), link.get(), s, escaping);
        PyErr_Clear();
    }
    return 0;
}

void release_link(PyObject* link) {
    auto found = by_link.find(link);
    if (found == by_link.end()) return;
    StatePtr state = found->second;
    by_link.erase(found);
    auto buf = by_buffer.find(state->buffer.get());
    if (buf != by_buffer.end() && buf->second == state) by_buffer.erase(buf);
    std::deque<Item> dropped;
    {
        MutexGuard lock(state->mutex);
        state->closed = true;
        state->pending.clear();
        state->pending.shrink_to_fit();
        state->consumed = 0;
        dropped.swap(state->queue);
        state->queued = 0;
        state->started = 0;
        total_held.fetch_sub(state->held, std::memory_order_relaxed);
        state->held = 0;
    }
    if (std::exchange(state->watched, false)) unwatch(state.get());
    // References go last: releasing them may run arbitrary code.
    Ref keep_link = std::move(state->link);
    Ref keep_buffer = std::move(state->buffer);
    Ref keep_channel = std::move(state->channel);
    Ref keep_server = std::move(state->server);
    Ref keep_module = std::move(state->module);
}

namespace {

// The ready callback of a new link, capturing (link, server, state).
Ref reader_callback(PyObject* module, PyObject* self, PyObject* link, const StatePtr& state) {
    Ref capsule = kStateCapsule.wrap(state);
    Ref closure = capsule ? new_tuple({link, self, capsule.get()}) : Ref{};
    if (!closure) return {};
    return table::make_nested(module, kReaderReady, "HttpServer._on_link.<locals>", closure.get());
}

// link.set_link_closed_callback(self._on_close), then the link's buffer:
// RNS.Buffer.create_bidirectional_buffer(0, 1, link.get_channel(), callback).
Ref open_buffer(PyObject* module, PyObject* self, PyObject* link, PyObject* callback, Ref* channel) {
    Ref closed_cb = attr(self, ZV_STR("_on_close"));
    if (!closed_cb || !call_method(link, ZV_STR("set_link_closed_callback"), {closed_cb.get()})) return {};
    *channel = call_method(link, ZV_STR("get_channel"));
    Ref rns_module = *channel ? module_global(module, ZV_STR("RNS")) : Ref{};
    Ref buffer_type = rns_module ? attr(rns_module.get(), ZV_STR("Buffer")) : Ref{};
    Ref rx = buffer_type ? Ref::steal(PyLong_FromLong(0)) : Ref{};
    Ref tx = rx ? Ref::steal(PyLong_FromLong(1)) : Ref{};
    if (!tx) return {};
    return call_method(buffer_type.get(), ZV_STR("create_bidirectional_buffer"),
                       {rx.get(), tx.get(), channel->get(), callback});
}

// self._links[id(link)] = (link, buffer), and the state knows what a thread of ours needs
// to answer for the link. Reads for a notification that came while the buffer was made.
int register_link(PyObject* module, PyObject* self, PyObject* link, const StatePtr& state, Ref buffer,
                  Ref channel) {
    Ref links = attr(self, ZV_STR("_links"));
    Ref key = link_key(link);
    Ref entry = new_tuple({link, buffer.get()});
    if (!links || !key || !entry || PyObject_SetItem(links.get(), key.get(), entry.get()) < 0) return -1;
    state->link = Ref::borrow(link);
    state->buffer = buffer;
    state->channel = std::move(channel);
    state->server = Ref::borrow(self);
    state->module = Ref::borrow(module);
    if (auto old = by_link.find(link); old != by_link.end()) release_link(link);
    by_link[link] = state;
    by_buffer[buffer.get()] = state;
    if (mark_registered(*state) && !start_job(drain_later, state)) {
        PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
        return -1;
    }
    return 0;
}

}  // namespace

PyObject* on_link(NativeFunction* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* link = args[1];
    Ref running = attr(self, ZV_STR("_running"));
    int yes = running ? PyObject_IsTrue(running.get()) : -1;
    if (yes < 0) return nullptr;
    if (!yes) return call_method(link, ZV_STR("teardown")) ? Py_NewRef(Py_None) : nullptr;
    Ref line = fstring({ZV_STR("Connected: "), link});
    if (!line || print_line(fn->module, line.get()) < 0) return nullptr;
    // The state exists before the buffer, so a notification racing the registration
    // below is remembered instead of lost.
    auto state = std::make_shared<LinkState>();
    Ref callback = reader_callback(fn->module, self, link, state);
    Ref channel;
    Ref buffer = callback ? open_buffer(fn->module, self, link, callback.get(), &channel) : Ref{};
    if (!buffer || register_link(fn->module, self, link, state, buffer, channel) < 0) return nullptr;
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
                          send_body(Ref::borrow(fn->module), Ref::borrow(args[0]), Ref::borrow(args[1]),
                                    Ref::borrow(args[2]), awaitable == 1),
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
