#include "client_session.hpp"

#include "framing.hpp"
#include "reticulum.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zv::client {
namespace {

using Clock = std::chrono::steady_clock;

constexpr Py_ssize_t kReadSize = 65536;

// One request waiting for its answer.
struct Pending {
    Ref event;  // threading.Event the caller waits on
    Ref data;   // the complete response
    Ref error;  // what a failing read raised
    bool head = false;       // answered without a body whatever its headers say
    bool done = false;       // data or error delivered
    bool abandoned = false;  // the caller gave up; its answer is dropped when it comes
};

struct WriteJob;

// Hand-over between a link's exchanges and its writer thread. Shared by the session and
// the thread, so an idle writer keeps neither the session nor its link alive.
struct Writer {
    std::mutex mutex;
    std::condition_variable cv;
    bool writing = false;  // a request is claimed or being written
    bool running = false;  // the writer thread is there to take `job`
    bool stop = false;     // the session is gone
    std::shared_ptr<WriteJob> job;
};

struct Session {
    PyMutex mutex{};           // guards the queue, bytes and framer; never held across RNS calls
    PyMutex reading{};         // one reader callback at a time, held across buffer.read
    std::timed_mutex turn;     // one exchange at a time on a link
    // Requests are written by the link's writer thread; the next one waits until the
    // last is out.
    std::shared_ptr<Writer> w = std::make_shared<Writer>();
    Ref link;
    Ref channel;               // set once, with `buffer` under `reading`, by the turn holder
    Ref buffer;                // empty until the link's reader is made
    std::string bytes;         // received, not yet part of a complete response
    Framer framer{Framer::Kind::Response};
    std::deque<std::shared_ptr<Pending>> queue;  // in request order
};

const char* const kCapsuleName = "zivane.client.session";

PyMutex creation_mutex{};

using SessionRef = std::shared_ptr<Session>;

void destroy_session(PyObject* capsule);

Session* session_of(PyObject* capsule) {
    auto* owner = static_cast<SessionRef*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    return owner ? owner->get() : nullptr;
}

class Locked {
public:
    explicit Locked(PyMutex& m) : m_(m) { PyMutex_Lock(&m_); }
    ~Locked() { PyMutex_Unlock(&m_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    PyMutex& m_;
};

// The oldest request that still wants an answer.
Pending* first_live(Session* s) {
    for (auto& p : s->queue)
        if (!p->abandoned && !p->done) return p.get();
    return nullptr;
}

// Hands every complete response in `s->bytes` to the request it answers. Caller holds
// the session mutex; events to set are collected for after it is released.
bool dispatch_complete(Session* s, std::vector<Ref>& wake) {
    while (!s->bytes.empty()) {
        Pending* front = s->queue.empty() ? nullptr : s->queue.front().get();
        s->framer.expect_no_body(front && front->head);
        Framer::Status status = s->framer.scan(s->bytes);
        if (status == Framer::Status::Incomplete) break;
        // A response whose framing cannot be followed is handed over as it stands, so the
        // parser reports it; what was buffered for it is dropped.
        size_t length = status == Framer::Status::Complete ? s->framer.message_length()
                                                            : s->bytes.size();
        s->framer.reset();
        if (!front) {
            s->bytes.erase(0, length);  // nobody asked for it
            continue;
        }
        std::shared_ptr<Pending> owner = std::move(s->queue.front());
        s->queue.pop_front();
        if (!owner->abandoned && !owner->done) {
            Ref data = Ref::steal(PyBytes_FromStringAndSize(s->bytes.data(), length));
            if (!data) return false;
            owner->data = std::move(data);
            owner->done = true;
            wake.push_back(owner->event);
        }
        s->bytes.erase(0, length);
    }
    return true;
}

PyObject* on_reader_ready(NativeFunction* fn, PyObject* const* args) {
    PyObject* module = fn->module;
    State* st = module ? state_of(module) : nullptr;
    if (!st || !st->sessions) Py_RETURN_NONE;  // the module was cleared (interpreter exit)
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(st->sessions, captured(fn, 0), &found) < 0) return nullptr;
    Ref capsule = Ref::steal(found);
    if (!capsule) Py_RETURN_NONE;  // the link was closed by its client
    Session* s = session_of(capsule.get());
    if (!s) return nullptr;

    Py_ssize_t want = PyLong_AsSsize_t(args[0]);
    if (want == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
    }
    if (want <= 0) want = kReadSize;

    std::vector<Ref> wake;
    Locked reading(s->reading);
    if (!s->buffer) Py_RETURN_NONE;
    {
        std::string fresh;
        Ref error;
        bool first = true, nothing = false;
        // Callbacks of one link run concurrently and the count they get is only a hint;
        // read until nothing is left, all under the read lock. A read that never returns
        // holds only that lock, not the state the waiting request looks at.
        for (;;) {
            Ref size = Ref::steal(PyLong_FromSsize_t(want));
            Ref chunk = size ? call_method(s->buffer.get(), ZV_STR("read"), {size.get()}) : Ref{};
            if (!chunk) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
                error = Ref::steal(PyErr_GetRaisedException());
                break;
            }
            if (chunk.is_none()) break;
            Py_buffer view;
            if (PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) < 0) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
                error = Ref::steal(PyErr_GetRaisedException());
                break;
            }
            Py_ssize_t got = view.len;
            if (got > 0) fresh.append(static_cast<const char*>(view.buf), static_cast<size_t>(got));
            PyBuffer_Release(&view);
            if (got == 0) {
                nothing = first;
                break;
            }
            if (got < want) break;
            want = kReadSize;
            first = false;
        }
        Locked lock(s->mutex);
        bool end_of_stream = nothing && s->bytes.empty();
        s->bytes += fresh;
        if (s->queue.empty()) {
            // Nobody asked: a request always queues itself before it is written, so these
            // bytes answer nothing. Dropping them keeps a chatty peer from growing the buffer.
            s->bytes.clear();
            s->framer.reset();
        }
        if (!dispatch_complete(s, wake)) return nullptr;
        if (error || end_of_stream) {
            if (Pending* p = first_live(s)) {
                // The stream can no longer be followed for this request; it keeps its place
                // so that whatever still arrives for it is not taken by the next one.
                if (error)
                    p->error = std::move(error);
                else
                    p->data = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
                p->done = true;
                p->abandoned = true;
                wake.push_back(p->event);
            }
        }
    }
    for (Ref& event : wake)
        if (!call_method(event.get(), ZV_STR("set"))) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
        }
    Py_RETURN_NONE;
}

// Links whose state says closed have no use for their reader any more.
void sweep_closed(PyObject* module, PyObject* sessions) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    Ref link_cls = rns ? attr(rns.get(), "Link") : Ref{};
    PyObject* closed_raw = nullptr;
    if (!link_cls || PyObject_GetOptionalAttr(link_cls.get(), ZV_STR("CLOSED"), &closed_raw) <= 0) {
        PyErr_Clear();
        return;
    }
    Ref closed = Ref::steal(closed_raw);
    Ref keys = Ref::steal(PyDict_Keys(sessions));
    if (!keys) {
        PyErr_Clear();
        return;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* link = PyList_GET_ITEM(keys.get(), i);
        PyObject* status_raw = nullptr;
        if (PyObject_GetOptionalAttr(link, ZV_STR("status"), &status_raw) <= 0) {
            PyErr_Clear();
            continue;
        }
        Ref status = Ref::steal(status_raw);
        int eq = PyObject_RichCompareBool(status.get(), closed.get(), Py_EQ);
        if (eq > 0 && PyDict_DelItem(sessions, link) < 0) eq = -1;
        if (eq < 0) PyErr_Clear();
    }
}

// The session of `link`, made on first use (its reader comes later, see make_reader).
Ref session_for(PyObject* module, PyObject* link) {
    PyObject* sessions = state_of(module)->sessions;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(sessions, link, &found) != 0) return Ref::steal(found);
    Locked creating(creation_mutex);
    if (PyDict_GetItemRef(sessions, link, &found) != 0) return Ref::steal(found);
    sweep_closed(module, sessions);
    auto* owner = new SessionRef(std::make_shared<Session>());
    (*owner)->link = Ref::borrow(link);
    Ref capsule = Ref::steal(PyCapsule_New(owner, kCapsuleName, destroy_session));
    if (!capsule) {
        delete owner;
        return {};
    }
    if (PyDict_SetItem(sessions, link, capsule.get()) < 0) return {};
    return capsule;
}

// Makes the link's one reader. Called by the holder of the session's turn, so only one
// exchange makes it; both Reticulum calls are bounded by that exchange's deadline. Returns
// 1 made, 0 not in time (no exception set), -1 with an exception set.
int make_reader(PyObject* module, Session* s, Clock::time_point deadline) {
    PyObject* link = s->link.get();
    bool timed_out = false;
    Ref get_channel = attr(link, "get_channel");
    Ref no_args = get_channel ? Ref::steal(PyTuple_New(0)) : Ref{};
    if (!no_args) return -1;
    Ref channel = call_bounded(module, get_channel.get(), no_args.get(), deadline, false, &timed_out);
    if (timed_out) return 0;
    if (!channel) return -1;
    Ref closure = new_tuple({link});
    if (!closure) return -1;
    Ref callback = make_function(
        module,
        {"on_reader_ready", "HttpClient._send_request.<locals>.on_reader_ready", nullptr, {"ready"},
         on_reader_ready},
        {}, {{"ready", reinterpret_cast<PyObject*>(&PyLong_Type)}, {"return", Py_None}},
        closure.get());
    Ref rns = module_global(module, ZV_STR("RNS"));
    Ref buffer_cls = rns ? attr(rns.get(), "Buffer") : Ref{};
    Ref create = buffer_cls ? attr(buffer_cls.get(), "create_bidirectional_buffer") : Ref{};
    if (!callback || !create) return -1;
    Ref rx = Ref::steal(PyLong_FromLong(1)), tx = Ref::steal(PyLong_FromLong(0));
    Ref create_args = rx && tx ? new_tuple({rx.get(), tx.get(), channel.get(), callback.get()}) : Ref{};
    if (!create_args) return -1;
    // Not started twice: a second reader on the channel would take the first one's data.
    Ref buffer = call_bounded(module, create.get(), create_args.get(), deadline, false, &timed_out,
                              {}, false);
    if (timed_out) return 0;
    if (!buffer) return -1;
    Locked reading(s->reading);
    s->channel = std::move(channel);
    s->buffer = std::move(buffer);
    return 1;
}

bool is_head_request(PyObject* data) {
    return PyBytes_Check(data) && PyBytes_GET_SIZE(data) >= 5 &&
           std::memcmp(PyBytes_AS_STRING(data), "HEAD ", 5) == 0;
}

// Seconds left until `deadline` as a float, or None for no limit.
Ref remaining(bool limited, Clock::time_point deadline) {
    if (!limited) return Ref::none();
    double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    return Ref::steal(PyFloat_FromDouble(left > 0 ? left : 0.0));
}

// Writes the request: in pieces the channel accepts when the data is bytes (large bodies
// would otherwise busy-spin inside RNS's buffered writer), else one write and flush.
bool send(PyObject* module, Session* s, PyObject* data, bool limited, Clock::time_point deadline) {
    if (!PyBytes_CheckExact(data))
        return call_method(s->buffer.get(), ZV_STR("write"), {data}) &&
               call_method(s->buffer.get(), ZV_STR("flush"));
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) return false;
    rns::WriteLimits limits;
    if (limited)
        limits.stall_seconds =
            std::max(0.001, std::chrono::duration<double>(deadline - Clock::now()).count());
    return rns::write_paced(rns.get(), s->buffer.get(), s->channel.get(), s->link.get(), data,
                            limits) == 0;
}

constexpr double kWatchEvery = 0.25;

// Whether the link's state can be watched: RNS.Link.CLOSED and link.status both exist.
bool can_watch(PyObject* rns_module, PyObject* link) {
    Ref link_cls = attr(rns_module, "Link");
    PyObject* found = nullptr;
    int has = link_cls ? PyObject_GetOptionalAttr(link_cls.get(), ZV_STR("CLOSED"), &found) : -1;
    Py_XDECREF(found);
    if (has > 0) {
        has = PyObject_GetOptionalAttr(link, ZV_STR("status"), &found);
        Py_XDECREF(found);
    }
    if (has < 0) PyErr_Clear();
    return has > 0;
}

// Caller holds s->mutex.
void forget_locked(Session* s, const std::shared_ptr<Pending>& p) {
    for (auto it = s->queue.begin(); it != s->queue.end(); ++it)
        if (*it == p) {
            s->queue.erase(it);
            return;
        }
}

void forget(Session* s, const std::shared_ptr<Pending>& p) {
    Locked lock(s->mutex);
    forget_locked(s, p);
}

// One request for the writer thread.
struct WriteJob {
    std::shared_ptr<Pending> pending;
    Ref data;
    bool limited = false;
    Clock::time_point deadline;
    bool finished = false;  // under the writer's mutex
    Ref error;              // under the session mutex, set before `finished`
};

// A writer with nothing to do for this long ends; the next request starts another.
constexpr auto kWriterIdle = std::chrono::seconds(5);

// What the writer thread holds: the hand-over, and the session only while writing.
struct WriterHandle {
    std::shared_ptr<Writer> w;
    std::weak_ptr<Session> session;
};

const char* const kWriterName = "zivane.client.writer";

void destroy_writer_handle(PyObject* capsule) {
    delete static_cast<WriterHandle*>(PyCapsule_GetPointer(capsule, kWriterName));
}

// The writer thread of a link: captured (writer handle capsule). Shared objects are
// released only with the GIL held.
PyObject* writer_loop(NativeFunction* fn, PyObject* const*) {
    auto* h = static_cast<WriterHandle*>(PyCapsule_GetPointer(captured(fn, 0), kWriterName));
    if (!h) return nullptr;
    Writer* w = h->w.get();
    for (;;) {
        std::shared_ptr<WriteJob> job;
        bool stopping;
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock<std::mutex> guard(w->mutex);
        w->cv.wait_for(guard, kWriterIdle, [w] { return w->job != nullptr || w->stop; });
        job = std::move(w->job);  // moved, not released: that needs the GIL
        w->job = nullptr;
        stopping = w->stop;
        if (!job || stopping) w->running = false;
        Py_END_ALLOW_THREADS
        if (!job || stopping) Py_RETURN_NONE;
        SessionRef s = h->session.lock();
        Ref error;
        if (s && !send(fn->module, s.get(), job->data.get(), job->limited, job->deadline))
            error = Ref::steal(PyErr_GetRaisedException());
        if (s) {
            Locked lock(s->mutex);
            job->error = std::move(error);
            // Not written: no answer will come for it, so it must not hold a place in the queue.
            if (job->error) forget_locked(s.get(), job->pending);
        }
        {
            std::lock_guard<std::mutex> done(w->mutex);
            job->finished = true;
            w->writing = false;
        }
        w->cv.notify_all();
    }
}

// Waits (GIL released) until `ready` holds under the writer's mutex or the deadline passes.
template <class Ready>
bool wait_writer(Session* s, bool limited, Clock::time_point deadline, Ready ready, bool claim) {
    bool got;
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> guard(s->w->mutex);
    if (limited)
        got = s->w->cv.wait_until(guard, deadline, ready);
    else
        got = (s->w->cv.wait(guard, ready), true);
    if (got && claim) s->w->writing = true;
    Py_END_ALLOW_THREADS
    return got;
}

// Hands `job` to the link's writer, starting the writer thread when there is none.
bool start_write(PyObject* module, PyObject* capsule, Session* s, const std::shared_ptr<WriteJob>& job) {
    bool start;
    {
        std::lock_guard<std::mutex> guard(s->w->mutex);
        s->w->job = job;
        start = !s->w->running;
        s->w->running = true;
    }
    s->w->cv.notify_all();
    if (!start) return true;
    Ref threading = module_global(module, ZV_STR("threading"));
    Ref thread_cls = threading ? attr(threading.get(), "Thread") : Ref{};
    auto* handle = new WriterHandle{s->w, *static_cast<SessionRef*>(PyCapsule_GetPointer(capsule, kCapsuleName))};
    Ref handle_capsule = Ref::steal(PyCapsule_New(handle, kWriterName, destroy_writer_handle));
    if (!handle_capsule) delete handle;
    Ref closure = thread_cls && handle_capsule ? new_tuple({handle_capsule.get()}) : Ref{};
    Ref target = closure ? make_function(module, {"writer", "writer", nullptr, {}, writer_loop}, {}, {},
                                         closure.get())
                         : Ref{};
    Ref kwnames = target ? Ref::steal(PyTuple_Pack(2, ZV_STR("target"), ZV_STR("daemon"))) : Ref{};
    Ref thread = kwnames ? call_kw(thread_cls.get(), {target.get(), Py_True}, kwnames.get()) : Ref{};
    if (thread && call_method(thread.get(), ZV_STR("start"))) return true;
    SavedError error;
    {
        std::lock_guard<std::mutex> guard(s->w->mutex);
        s->w->job = nullptr;
        s->w->writing = false;
        s->w->running = false;
    }
    s->w->cv.notify_all();
    error.restore();
    return false;
}

void destroy_session(PyObject* capsule) {
    auto* owner = static_cast<SessionRef*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!owner) return;
    std::shared_ptr<Writer> w = (*owner)->w;
    {
        std::lock_guard<std::mutex> guard(w->mutex);
        w->stop = true;
    }
    w->cv.notify_all();
    delete owner;
}

}  // namespace

State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

PyObject* raise_transport_error(PyObject* module, const char* message, PyObject* cause) {
    Ref cls = module_global(module, ZV_STR("TransportError"));
    if (!cls) return nullptr;
    Ref text = Ref::steal(PyUnicode_FromString(message));
    if (!text) return nullptr;
    if (cause) {
        Ref detail = Ref::steal(PyObject_Str(cause));
        if (!detail) return nullptr;
        text = Ref::steal(PyUnicode_Concat(text.get(), detail.get()));
        if (!text) return nullptr;
    }
    Ref exc = call(cls.get(), {text.get()});
    if (!exc) return nullptr;
    if (cause && PyExceptionInstance_Check(exc.get())) PyException_SetCause(exc.get(), Py_NewRef(cause));
    if (PyExceptionInstance_Check(exc.get()))
        PyErr_SetRaisedException(exc.release());
    else
        PyErr_SetObject(PyExc_TypeError, exc.get());
    return nullptr;
}

double seconds_of(PyObject* value, bool* ok) {
    *ok = true;
    if (value == Py_None) return -1.0;
    double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) {
        *ok = false;
        return 0.0;
    }
    return v < 0 ? 0.0 : v;
}

void drop_session(PyObject* module, PyObject* link) {
    PyObject* sessions = state_of(module)->sessions;
    if (PyDict_Pop(sessions, link, nullptr) < 0) PyErr_Clear();
}

Ref exchange(PyObject* module, PyObject* self, PyObject* data) {
    Ref link = attr(self, ZV_STR("_link"));
    if (!link) return {};
    if (link.is_none()) {
        raise_transport_error(module, "Not connected");
        return {};
    }
    Ref timeout_obj = attr(self, ZV_STR("_request_timeout"));
    if (!timeout_obj) return {};
    bool ok;
    double timeout = seconds_of(timeout_obj.get(), &ok);
    if (!ok) return {};
    bool limited = timeout >= 0;
    Clock::time_point deadline =
        limited ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(std::min(timeout, 1e9)))
                : Clock::time_point::max();
    Ref capsule = session_for(module, link.get());
    if (!capsule) return {};
    Session* s = session_of(capsule.get());
    if (!s) return {};

    // Exchanges on one link take turns; waiting for the turn counts against the time-out.
    if (!s->turn.try_lock()) {
        bool got = true;
        Py_BEGIN_ALLOW_THREADS
        if (limited)
            got = s->turn.try_lock_until(deadline);
        else
            s->turn.lock();
        Py_END_ALLOW_THREADS
        if (!got) {
            raise_transport_error(module, "Request timeout");
            return {};
        }
    }
    std::unique_lock<std::timed_mutex> turn(s->turn, std::adopt_lock);

    Ref rns_module = module_global(module, ZV_STR("RNS"));
    if (!rns_module) return {};
    if (rns::link_closed(rns_module.get(), link.get())) {
        raise_transport_error(module, "Not connected");
        return {};
    }
    bool watch = can_watch(rns_module.get(), link.get());
    if (!s->buffer) {
        int made = make_reader(module, s, limited ? deadline : Clock::time_point::max());
        if (made < 0) return {};
        if (made == 0) {
            raise_transport_error(module, "Request timeout");
            return {};
        }
    }

    Ref threading = module_global(module, ZV_STR("threading"));
    Ref event_cls = threading ? attr(threading.get(), ZV_STR("Event")) : Ref{};
    Ref event = event_cls ? call(event_cls.get()) : Ref{};
    if (!event) return {};
    auto pending = std::make_shared<Pending>();
    pending->event = event;
    pending->head = is_head_request(data);
    auto job = std::make_shared<WriteJob>();
    job->pending = pending;
    job->data = Ref::borrow(data);
    job->limited = limited;
    job->deadline = deadline;

    // The link's writer thread does the write, so a write or flush that never returns
    // holds this exchange no longer than its time-out. Requests on a link still go out
    // one at a time, in queue order.
    if (!wait_writer(s, limited, deadline, [s] { return !s->w->writing; }, true)) {
        raise_transport_error(module, "Request timeout");
        return {};
    }
    {
        Locked lock(s->mutex);
        s->queue.push_back(pending);
    }
    if (!start_write(module, capsule.get(), s, job)) {
        forget(s, pending);
        return {};
    }
    bool written = wait_writer(s, limited, deadline, [&job] { return job->finished; }, false);
    Ref write_error;
    {
        Locked lock(s->mutex);
        write_error = std::move(job->error);
        // Still being written: whatever answer it gets is dropped.
        if (!written) pending->abandoned = true;
    }
    if (!written) {
        raise_transport_error(module, "Request timeout");
        return {};
    }
    if (write_error) {
        // A channel that stayed full past the deadline is this exchange's time-out.
        if (limited && Clock::now() >= deadline &&
            PyErr_GivenExceptionMatches(write_error.get(), PyExc_ConnectionError)) {
            raise_transport_error(module, "Request timeout");
            return {};
        }
        // The link went away while the request was being written: a transport failure
        // of this exchange, like a link seen closed while waiting for the answer.
        if (PyErr_GivenExceptionMatches(write_error.get(), PyExc_ConnectionError) &&
            rns::link_closed(rns_module.get(), link.get())) {
            raise_transport_error(module, "No response received");
            PyObject* raised = PyErr_GetRaisedException();
            PyException_SetCause(raised, write_error.release());
            PyErr_SetRaisedException(raised);
            return {};
        }
        PyErr_SetRaisedException(write_error.release());
        return {};
    }

    // With a link that reports its state, wake now and then to notice it closing, rather
    // than waiting out the whole time-out for an answer that cannot come.
    Ref woke;
    bool closed = false;
    for (;;) {
        Ref left = remaining(limited, deadline);
        if (!left) break;
        double wait_for = limited ? PyFloat_AS_DOUBLE(left.get()) : 0.0;
        bool sliced = watch && (!limited || wait_for > kWatchEvery);
        if (sliced) left = Ref::steal(PyFloat_FromDouble(kWatchEvery));
        woke = left ? call_method(event.get(), ZV_STR("wait"), {left.get()}) : Ref{};
        if (!woke || !sliced) break;
        int up = PyObject_IsTrue(woke.get());
        if (up != 0) {
            if (up < 0) woke = Ref{};
            break;
        }
        if (rns::link_closed(rns_module.get(), link.get())) {
            closed = true;
            break;
        }
    }
    Ref result, failure;
    bool done;
    {
        Locked lock(s->mutex);
        done = pending->done;
        if (!done) pending->abandoned = true;  // its answer, when it comes, is dropped
        result = std::move(pending->data);
        failure = std::move(pending->error);
    }
    if (!woke) return {};
    if (!done) {
        raise_transport_error(module, closed ? "No response received" : "Request timeout");
        return {};
    }
    turn.unlock();
    if (failure) {
        raise_transport_error(module, "Request failed: ", failure.get());
        return {};
    }
    if (!result) {
        raise_transport_error(module, "No response received");
        return {};
    }
    return result;
}

}  // namespace zv::client
