#include "client/session.hpp"

#include "support/capsule.hpp"
#include "support/sync.hpp"
#include "support/tables.hpp"
#include "transport/framing.hpp"
#include "transport/reticulum_io.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace zv::client {
namespace {

using Clock = std::chrono::steady_clock;

constexpr Py_ssize_t kReadSize = 65536;
constexpr std::size_t kReserveAtOnce = std::size_t(64) << 20;

// ----- received bytes ---------------------------------------------------------------------

// Bytes received and not yet handed over, kept in a bytes object that grows in place and
// is filled up to `size`: a response is copied once on its way in and handed over as that
// very object, with no second buffer and no copy at the end. Only ever touched with the
// GIL held; nothing here runs Python code.
class Inbox {
public:
    std::string_view view() const {
        return data_ ? std::string_view(PyBytes_AS_STRING(data_.get()), std::size_t(size_))
                     : std::string_view();
    }
    Py_ssize_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Room for `total` bytes in all (a response whose length its head announced).
    bool reserve(Py_ssize_t total) { return total <= capacity_ || resize(total); }

    bool append(const char* p, Py_ssize_t n) {
        if (size_ + n > capacity_ && !resize(std::max(size_ + n, capacity_ * 2))) return false;
        std::memcpy(PyBytes_AS_STRING(data_.get()) + size_, p, std::size_t(n));
        size_ += n;
        return true;
    }

    // The first `n` bytes as a bytes object of their own; the rest stays.
    Ref take(Py_ssize_t n) {
        Py_ssize_t rest = size_ - n;
        if (rest > n) {  // a long tail stays where it is
            Ref out = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data_.get()), n));
            if (!out) return {};
            char* p = PyBytes_AS_STRING(data_.get());
            std::memmove(p, p + n, std::size_t(rest));
            size_ = rest;
            return out;
        }
        Ref tail;
        if (rest > 0) {
            tail = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data_.get()) + n, rest));
            if (!tail) return {};
        }
        size_ = n;
        if (n != capacity_ && !resize(n)) return {};
        Ref out = std::move(data_);
        data_ = std::move(tail);
        size_ = capacity_ = rest;
        if (!out) out = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        return out;
    }

    void clear() {
        data_.reset();
        size_ = capacity_ = 0;
    }

private:
    bool resize(Py_ssize_t capacity) {
        if (capacity == 0) {
            clear();
            return true;
        }
        if (!data_) {
            data_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, capacity));
        } else {
            PyObject* raw = data_.release();
            // Only this inbox holds the object, so it may change size (realloc: large
            // blocks move by remapping, not copying).
            if (_PyBytes_Resize(&raw, capacity) < 0) raw = nullptr;
            data_ = Ref::steal(raw);
        }
        if (!data_) {
            size_ = capacity_ = 0;
            return false;
        }
        capacity_ = capacity;
        return true;
    }

    Ref data_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
};

// ----- requests and sessions --------------------------------------------------------------

enum class Outcome {
    Answer,     // `data` holds the response (or `error` what the read raised)
    TooLarge,   // past the response size limit
    Malformed,  // framing that cannot be followed; `data` holds what arrived
    Closed,     // the stream ended before the answer was complete
};

// One request waiting for its answer.
struct Pending {
    Ref event;  // threading.Event the caller waits on
    Ref data;
    Ref error;           // what a failing read raised
    std::string reason;  // why the framing could not be followed
    Outcome outcome = Outcome::Answer;
    Py_ssize_t limit = -1;   // largest response accepted, < 0 for none
    bool head = false;       // answered without a body whatever its headers say
    bool done = false;       // outcome decided
    bool abandoned = false;  // the caller gave up; its answer is dropped when it comes
};

using PendingRef = std::shared_ptr<Pending>;

struct WriteJob;

// Hand-over between a link's exchanges and its writer thread. Shared by the session and
// the thread, so an idle writer keeps neither the session nor its link alive. Its fields
// are guarded by the monitor.
struct Writer {
    sync::Monitor monitor;
    bool writing = false;  // a request is claimed or being written
    bool running = false;  // the writer thread is there to take `job`
    bool stop = false;     // the session is gone
    std::shared_ptr<WriteJob> job;
};

struct Session {
    // Guards the fields up to `closed`. Held only by short native steps that call no
    // Python code, so it never spans a wait for the GIL.
    PyMutex mutex{};
    Inbox inbox;  // received, not yet part of a complete response
    Framer framer{Framer::Kind::Response};
    std::deque<PendingRef> queue;  // in request order
    bool broken = false;           // the stream cannot be followed further: the link is done
    // One thread reads at a time (the drainer); a notification that finds one at work
    // asks it for another pass instead of waiting, so no lock is held across a read.
    bool draining = false;
    bool again = false;
    bool closed = false;              // the link was seen closed: what has arrived is all there is
    std::uint64_t received = 0;       // bytes read from the link so far
    Clock::time_point last_received;  // when the last of them came
    // The pace of the answer awaited, judged from its first bytes (`answer_first`) against
    // `answer_rate` over windows of half `answer_floor` nanoseconds, while an exchange
    // waits (`measuring`).
    bool measuring = false;
    bool answer_begun = false;
    std::int64_t answer_floor = 0;
    double answer_rate = 0;
    std::int64_t answer_first = 0;
    rns::Arrivals answer_arrivals;
    Ref turn;  // threading.Lock: one exchange at a time on a link
    // Requests are written by the link's writer thread; the next one waits until the
    // last is out.
    std::shared_ptr<Writer> w = std::make_shared<Writer>();
    Ref link;
    Ref channel;  // set once, with `buffer`, by the turn holder
    Ref buffer;   // empty until the link's reader is made
};

using SessionRef = std::shared_ptr<Session>;

// Tells the writer thread to end (it ends at once when idle, else after its write).
void stop_writer(Writer& w) {
    w.monitor.locked([&](sync::Monitor::Guard&) { w.stop = true; });
    w.monitor.notify_all();
}

// What a session's capsule (the value of its link in the module's sessions) holds. The
// session itself may outlive it for a write in progress; its writer stops with it.
struct SessionOwner {
    SessionRef session;

    explicit SessionOwner(SessionRef s) noexcept : session(std::move(s)) {}
    SessionOwner(SessionOwner&&) noexcept = default;
    SessionOwner& operator=(SessionOwner&&) = delete;
    ~SessionOwner() {
        if (session) stop_writer(*session->w);
    }
};

constexpr Capsule<SessionOwner> kSessionCapsule{"zivane.client.session"};

Session* session_of(PyObject* capsule) {
    SessionOwner* owner = kSessionCapsule.get(capsule);
    return owner ? owner->session.get() : nullptr;
}

// Requests whose outcome was just decided: their events are set once the session mutex
// is released (setting an event runs Python code).
using Woken = std::vector<PendingRef>;

void settle(PendingRef p, Outcome outcome, Woken& woken) {
    p->outcome = outcome;
    p->done = true;
    woken.push_back(std::move(p));
}

// The oldest request that still wants an answer. Caller holds s->mutex.
PendingRef first_live(Session* s) {
    for (auto& p : s->queue)
        if (!p->abandoned && !p->done) return p;
    return nullptr;
}

// The stream is out of step or at its end: nothing more is read into it. The request it
// was answering gets `outcome` (with `data` and `reason`, when given); one still waiting
// behind a request that gave up will never get its answer. Caller holds s->mutex.
void give_up(Session* s, Outcome outcome, Woken& woken, Ref data = {}, const std::string& reason = {}) {
    s->broken = true;
    s->inbox.clear();
    s->framer.reset();
    PendingRef p = first_live(s);
    if (!p) return;
    if (p != s->queue.front()) {
        settle(std::move(p), Outcome::Closed, woken);
        return;
    }
    p->data = std::move(data);
    p->reason = reason;
    settle(std::move(p), outcome, woken);
}

// Looks at the response being assembled while more is still to come: refuses it as soon
// as it cannot fit the size limit, and makes room at once for a body whose length its head
// announced. Caller holds s->mutex. False when the memory cannot be had.
bool check_incomplete(Session* s, const Pending& front, Woken& woken) {
    Py_ssize_t limit = front.limit;
    std::size_t announced = s->framer.expected_length();
    if (limit >= 0 && (s->inbox.size() > limit || announced > std::size_t(limit))) {
        give_up(s, Outcome::TooLarge, woken);
        return true;
    }
    // Without a limit, a length past what is reasonable to claim at once grows as it comes.
    if (announced > 0 && (limit >= 0 || announced <= kReserveAtOnce))
        return s->inbox.reserve(Py_ssize_t(announced));
    return true;
}

// Hands every complete response in the inbox to the request it answers. Caller holds
// the session mutex. False with an exception set (memory).
bool dispatch_complete(Session* s, Woken& woken) {
    while (!s->inbox.empty() && !s->broken) {
        if (s->queue.empty()) {
            // Nobody asked: the stream is out of step with the requests.
            give_up(s, Outcome::Closed, woken);
            return true;
        }
        Pending& front = *s->queue.front();
        s->framer.expect_no_body(front.head);
        Framer::Status status = s->framer.scan(s->inbox.view());
        if (status == Framer::Status::Incomplete) return check_incomplete(s, front, woken);
        if (status == Framer::Status::Malformed) {
            Ref seen = s->inbox.take(s->inbox.size());
            if (!seen) return false;
            give_up(s, Outcome::Malformed, woken, std::move(seen), s->framer.error());
            return true;
        }
        Py_ssize_t length = Py_ssize_t(s->framer.message_length());
        int code = s->framer.status();
        s->framer.reset();
        if (front.limit >= 0 && length > front.limit) {
            give_up(s, Outcome::TooLarge, woken);
            return true;
        }
        Ref message = s->inbox.take(length);
        if (!message) return false;
        // An interim answer (100 Continue, 103 Early Hints): the real one follows.
        if (code >= 100 && code < 200 && code != 101) continue;
        PendingRef owner = std::move(s->queue.front());
        s->queue.pop_front();
        if (!owner->abandoned && !owner->done) {
            owner->data = std::move(message);
            settle(std::move(owner), Outcome::Answer, woken);
        } else {
            woken.push_back(std::move(owner));  // released outside the mutex
        }
        // After 101 the stream speaks another protocol.
        if (code == 101) s->broken = true;
    }
    return true;
}

// The stream has ended (end of stream read, or the link seen closed) and everything it
// carried has been read. A body that runs until then is complete; anything else was cut
// short. Caller holds s->mutex.
bool finish_stream(Session* s, bool end_of_stream, Woken& woken) {
    if (s->broken) return true;
    PendingRef p = first_live(s);
    if (!p) {
        give_up(s, Outcome::Closed, woken);
        return true;
    }
    s->framer.expect_no_body(p->head);
    Framer::Status status = s->framer.end_of_stream(s->inbox.view());
    bool whole =
        status == Framer::Status::Complete && Py_ssize_t(s->framer.message_length()) == s->inbox.size();
    // An empty read at the end of the stream hands over what it got: nothing.
    if (whole || (end_of_stream && s->inbox.empty() && status == Framer::Status::Incomplete)) {
        Ref data = s->inbox.take(s->inbox.size());
        if (!data) return false;
        give_up(s, Outcome::Answer, woken, std::move(data));
        return true;
    }
    give_up(s, Outcome::Closed, woken);
    return true;
}

void wake_all(Woken& woken) {
    for (PendingRef& p : woken)
        if (p->done && !call_method(p->event.get(), ZV_STR("set"))) PyErr_Clear();
    woken.clear();
}

std::int64_t nanoseconds_of(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

Clock::time_point time_of(std::int64_t nanoseconds) {
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanoseconds)));
}

// Counts bytes of the answer an exchange waits for. Caller holds s->mutex.
void count_arrival(Session* s, std::size_t n) {
    if (!s->measuring) return;
    std::int64_t now = nanoseconds_of(s->last_received);
    if (!std::exchange(s->answer_begun, true)) {
        s->answer_first = now;
        s->answer_arrivals.restart(now, s->answer_floor / 2, s->answer_rate, s->answer_floor);
    }
    s->answer_arrivals.add(now, n);
}

// What one read gave.
enum class Read { Data, Nothing, End, Failed, Fatal };

// Reads once and feeds what came into the session. `Failed`: the read raised an
// Exception, now recorded for the waiting request; `Fatal`: anything else, left set.
Read read_once(Session* s, Py_ssize_t want, Py_ssize_t* got, Woken& woken) {
    *got = 0;
    Ref size = Ref::steal(PyLong_FromSsize_t(want));
    Ref chunk = size ? call_method(s->buffer.get(), ZV_STR("read"), {size.get()}) : Ref{};
    if (chunk && chunk.is_none()) return Read::Nothing;
    Py_buffer view;
    if (chunk && PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) == 0) {
        sync::MutexGuard lock(s->mutex);
        *got = view.len;
        if (view.len > 0) {
            s->received += std::uint64_t(view.len);
            s->last_received = Clock::now();
            count_arrival(s, std::size_t(view.len));
        }
        bool ok =
            view.len == 0 || s->broken ||
            (s->inbox.append(static_cast<const char*>(view.buf), view.len) && dispatch_complete(s, woken));
        PyBuffer_Release(&view);
        if (ok) return *got > 0 ? Read::Data : Read::End;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Read::Fatal;
    Ref error = Ref::steal(PyErr_GetRaisedException());
    sync::MutexGuard lock(s->mutex);
    PendingRef p = first_live(s);
    if (p && p == s->queue.front()) p->error = std::move(error);  // was empty: not yet settled
    give_up(s, Outcome::Answer, woken);
    return Read::Failed;
}

// One pass over the buffer: reads until it has nothing more. False with an exception set
// for exceptions that are not Exceptions (they belong to Reticulum's thread).
bool read_pass(Session* s, Py_ssize_t want, Woken& woken) {
    for (;;) {
        Py_ssize_t got;
        Read r = read_once(s, want, &got, woken);
        wake_all(woken);
        if (r == Read::Fatal) return false;
        if (r == Read::End) {
            sync::MutexGuard lock(s->mutex);
            if (!finish_stream(s, true, woken)) return false;
        }
        // The count a notification brings is only a hint; a short read means the buffer
        // was emptied, and later data brings its own notification.
        if (r != Read::Data || got < want) return true;
        want = kReadSize;
    }
}

// Reads everything the link's buffer holds and hands complete responses over. Only one
// thread reads at a time; one that finds another reading asks it for one more pass and
// returns, which keeps the bytes in order without a lock held across buffer.read.
// False with an exception set as for read_pass.
bool drain(Session* s, Py_ssize_t want) {
    {
        sync::MutexGuard lock(s->mutex);
        if (s->draining) {
            s->again = true;
            return true;
        }
        s->draining = true;
    }
    Woken woken;
    bool ok = true;
    for (;;) {
        {
            sync::MutexGuard lock(s->mutex);
            s->again = false;
        }
        ok = read_pass(s, want, woken);
        want = kReadSize;
        sync::MutexGuard lock(s->mutex);
        if (ok && s->again) continue;
        if (ok && s->closed && !finish_stream(s, false, woken)) ok = false;
        s->draining = false;
        break;
    }
    SavedError error;
    wake_all(woken);
    error.restore();
    return ok;
}

PyObject* on_reader_ready(NativeFunction* fn, PyObject* const* args) {
    State* st = fn->module ? state_of(fn->module) : nullptr;
    if (!st || !st->sessions) Py_RETURN_NONE;  // the module was cleared (interpreter exit)
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(st->sessions, captured(fn, 0), &found) < 0) return nullptr;
    Ref capsule = Ref::steal(found);
    if (!capsule) Py_RETURN_NONE;  // the link was let go of
    Session* s = session_of(capsule.get());
    if (!s) return nullptr;
    if (!s->buffer) Py_RETURN_NONE;

    Py_ssize_t want = PyLong_AsSsize_t(args[0]);
    if (want == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
    }
    if (want <= 0) want = kReadSize;
    if (!drain(s, want)) return nullptr;
    Py_RETURN_NONE;
}

const table::Function kOnReaderReady = {
    "on_reader_ready", {{"ready", "int"}}, "None", nullptr, on_reader_ready};

// Links whose state says closed have no use for their reader any more.
void sweep_closed(PyObject* module, PyObject* sessions) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) {
        PyErr_Clear();
        return;
    }
    Ref keys = Ref::steal(PyDict_Keys(sessions));
    if (!keys) {
        PyErr_Clear();
        return;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* link = PyList_GET_ITEM(keys.get(), i);
        if (rns::link_closed(rns.get(), link) && PyDict_DelItem(sessions, link) < 0) PyErr_Clear();
    }
}

// The session of `link`, made on first use (its reader comes later, see make_reader).
Ref session_for(PyObject* module, PyObject* link) {
    PyObject* sessions = state_of(module)->sessions;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(sessions, link, &found) != 0) return Ref::steal(found);
    sweep_closed(module, sessions);
    Ref threading = module_global(module, ZV_STR("threading"));
    Ref lock_cls = threading ? attr(threading.get(), "Lock") : Ref{};
    Ref turn = lock_cls ? call(lock_cls.get()) : Ref{};
    if (!turn) return {};
    auto session = std::make_shared<Session>();
    session->link = Ref::borrow(link);
    session->turn = std::move(turn);
    Ref capsule = kSessionCapsule.wrap(SessionOwner(std::move(session)));
    if (!capsule) return {};
    // Two exchanges starting at once on a new link agree on one session.
    if (PyDict_SetDefaultRef(sessions, link, capsule.get(), &found) < 0) return {};
    return Ref::steal(found);
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
    Ref channel = rns::call_bounded(get_channel.get(), no_args.get(), deadline, &timed_out);
    if (timed_out) return 0;
    if (!channel) return -1;
    Ref closure = new_tuple({link});
    if (!closure) return -1;
    Ref callback =
        table::make_nested(module, kOnReaderReady, "HttpClient._send_request.<locals>", closure.get());
    Ref rns = module_global(module, ZV_STR("RNS"));
    Ref buffer_cls = rns ? attr(rns.get(), "Buffer") : Ref{};
    Ref create = buffer_cls ? attr(buffer_cls.get(), "create_bidirectional_buffer") : Ref{};
    if (!callback || !create) return -1;
    Ref rx = Ref::steal(PyLong_FromLong(1)), tx = Ref::steal(PyLong_FromLong(0));
    Ref create_args = rx && tx ? new_tuple({rx.get(), tx.get(), channel.get(), callback.get()}) : Ref{};
    if (!create_args) return -1;
    // Not started twice: a second reader on the channel would take the first one's data.
    Ref buffer = rns::call_bounded(create.get(), create_args.get(), deadline, &timed_out, {.retry = false});
    if (timed_out) return 0;
    if (!buffer) return -1;
    s->channel = std::move(channel);
    s->buffer = std::move(buffer);
    return 1;
}

bool is_head_request(PyObject* data) {
    return PyBytes_Check(data) && PyBytes_GET_SIZE(data) >= 5 &&
           std::memcmp(PyBytes_AS_STRING(data), "HEAD ", 5) == 0;
}

// `seconds` after `from`; the end of time for a negative `seconds` (no limit).
Clock::time_point after(Clock::time_point from, double seconds) {
    if (seconds < 0) return Clock::time_point::max();
    return from +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(seconds, 1e9)));
}

Clock::time_point from_ticks(std::int64_t ticks) { return Clock::time_point(Clock::duration(ticks)); }

// Writes the request: in messages the channel accepts when the data is bytes (large bodies
// would otherwise busy-spin inside RNS's buffered writer), else one write and flush.
// `stall_seconds` (< 0: the default) bounds each wait for the channel; `progress` hears of
// every message handed over.
bool send(PyObject* module, Session* s, PyObject* data, double stall_seconds,
          std::atomic<std::int64_t>* progress) {
    if (!PyBytes_CheckExact(data))
        return call_method(s->buffer.get(), ZV_STR("write"), {data}) &&
               call_method(s->buffer.get(), ZV_STR("flush"));
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) return false;
    rns::WriteLimits limits;
    if (stall_seconds >= 0) limits.stall_seconds = std::max(0.001, stall_seconds);
    limits.progress = progress;
    return rns::write_paced(rns.get(), s->buffer.get(), s->channel.get(), s->link.get(), data, limits) == 0;
}

constexpr double kWatchEvery = 0.25;
// How long letting go of a link may hold the caller.
constexpr auto kTeardownGrace = std::chrono::milliseconds(500);
// After the link is seen closed, how long what already arrived may take to be read.
constexpr auto kCloseGrace = std::chrono::seconds(1);

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
void forget_locked(Session* s, const PendingRef& p) {
    for (auto it = s->queue.begin(); it != s->queue.end(); ++it)
        if (*it == p) {
            s->queue.erase(it);
            return;
        }
}

// ----- the writer thread -------------------------------------------------------------------

// One request for the writer thread.
struct WriteJob {
    PendingRef pending;
    Ref data;
    double stall_seconds = -1.0;           // bound of each wait for the channel
    std::atomic<std::int64_t> progress{};  // when the last message went (Clock ticks)
    bool finished = false;                 // under the writer's mutex
    Ref error;                             // under the session mutex, set before `finished`
};

using JobRef = std::shared_ptr<WriteJob>;

// What the writer thread holds: the hand-over, and the session only while writing.
struct WriterHandle {
    std::shared_ptr<Writer> w;
    std::weak_ptr<Session> session;
};

constexpr Capsule<WriterHandle> kWriterCapsule{"zivane.client.writer"};

// The writer's idle time: module global _WRITER_IDLE (seconds), read at each wait.
std::chrono::duration<double> writer_idle(PyObject* module) {
    double seconds = seconds_global(module, ZV_STR("_WRITER_IDLE"), kWriterIdleSeconds);
    return std::chrono::duration<double>(seconds < 0 ? kWriterIdleSeconds : std::min(seconds, 1e6));
}

// The next job for the writer thread, once one comes, or none when it is to end (idle
// for too long, or its session is gone).
JobRef next_job(Writer* w, std::chrono::duration<double> idle) {
    JobRef job;
    bool stopping = false;
    w->monitor.locked([&](sync::Monitor::Guard& guard) {
        w->monitor.wait_for(guard, idle, [w] { return w->job != nullptr || w->stop; });
        job = std::move(w->job);  // moved, not released: that needs the GIL
        w->job = nullptr;
        stopping = w->stop;
        if (!job || stopping) w->running = false;
    });
    if (stopping) job.reset();
    return job;
}

// The writer thread of a link: captured (writer handle capsule). Shared objects are
// released only with the GIL held.
PyObject* writer_loop(NativeFunction* fn, PyObject* const*) {
    WriterHandle* h = kWriterCapsule.get(captured(fn, 0));
    if (!h) return nullptr;
    Writer* w = h->w.get();
    while (JobRef job = next_job(w, writer_idle(fn->module))) {
        SessionRef s = h->session.lock();
        Ref error;
        if (s && !send(fn->module, s.get(), job->data.get(), job->stall_seconds, &job->progress))
            error = Ref::steal(PyErr_GetRaisedException());
        if (s) {
            sync::MutexGuard lock(s->mutex);
            job->error = std::move(error);
            // Not written: no answer will come for it, so it must not hold a place in the queue.
            if (job->error) forget_locked(s.get(), job->pending);
        }
        w->monitor.locked([&](sync::Monitor::Guard&) {
            job->finished = true;
            w->writing = false;
        });
        w->monitor.notify_all();
    }
    Py_RETURN_NONE;
}

// Waits (GIL released) until `ready` holds under the writer's mutex or the deadline passes.
template <class Ready>
bool wait_writer(Session* s, bool limited, Clock::time_point deadline, Ready ready, bool claim) {
    Writer* w = s->w.get();
    return w->monitor.locked([&](sync::Monitor::Guard& guard) {
        bool got = true;
        if (limited)
            got = w->monitor.wait_until(guard, deadline, ready);
        else
            w->monitor.wait(guard, ready);
        if (got && claim) w->writing = true;
        return got;
    });
}

// Lets go of a claimed write that never reached the writer.
void unclaim(Writer* w) {
    w->monitor.locked([&](sync::Monitor::Guard&) { w->writing = false; });
    w->monitor.notify_all();
}

// Starts the link's writer thread.
bool start_writer(PyObject* module, PyObject* capsule, Session* s) {
    Ref threading = module_global(module, ZV_STR("threading"));
    Ref thread_cls = threading ? attr(threading.get(), "Thread") : Ref{};
    Ref handle = thread_cls ? kWriterCapsule.wrap({s->w, kSessionCapsule.get(capsule)->session}) : Ref{};
    Ref closure = handle ? new_tuple({handle.get()}) : Ref{};
    Ref target =
        closure ? make_function(module, {"writer", "writer", nullptr, {}, writer_loop}, {}, {}, closure.get())
                : Ref{};
    Ref kwnames = target ? Ref::steal(PyTuple_Pack(2, ZV_STR("target"), ZV_STR("daemon"))) : Ref{};
    Ref thread = kwnames ? call_kw(thread_cls.get(), {target.get(), Py_True}, kwnames.get()) : Ref{};
    return thread && call_method(thread.get(), ZV_STR("start"));
}

// Hands `job` to the link's writer, starting the writer thread when there is none.
bool start_write(PyObject* module, PyObject* capsule, Session* s, const JobRef& job) {
    Writer* w = s->w.get();
    bool start = false;
    JobRef previous;  // always empty (taken before `writing` cleared); released with the GIL
    w->monitor.locked([&](sync::Monitor::Guard&) {
        previous = std::exchange(w->job, job);
        start = !w->running;
        w->running = true;
    });
    w->monitor.notify_all();
    if (!start || start_writer(module, capsule, s)) return true;
    SavedError error;
    JobRef dropped;
    w->monitor.locked([&](sync::Monitor::Guard&) {
        dropped = std::move(w->job);
        w->job = nullptr;
        w->writing = false;
        w->running = false;
    });
    w->monitor.notify_all();
    dropped.reset();
    error.restore();
    return false;
}

// ----- one exchange ----------------------------------------------------------------------

// The session's turn (a threading.Lock, whose acquire waits with the GIL released), held
// for one exchange and given back however it ends.
class Turn {
public:
    explicit Turn(PyObject* lock) : lock_(Ref::borrow(lock)) {}
    ~Turn() {
        if (!held_) return;
        SavedError error;
        if (!call_method(lock_.get(), ZV_STR("release"))) PyErr_Clear();
        error.restore();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

    // 1 taken, 0 not before the deadline, -1 with an exception set.
    int take(bool limited, Clock::time_point deadline) {
        double left =
            limited ? std::max(0.0, std::chrono::duration<double>(deadline - Clock::now()).count()) : -1.0;
        Ref timeout = Ref::steal(PyFloat_FromDouble(left));
        Ref got = timeout ? call_method(lock_.get(), ZV_STR("acquire"), {Py_True, timeout.get()}) : Ref{};
        int yes = got ? PyObject_IsTrue(got.get()) : -1;
        held_ = yes > 0;
        return yes;
    }

private:
    Ref lock_;
    bool held_ = false;
};

// While a request is out, Reticulum must not close the link for want of traffic. On a
// fast path the link's two ends disagree on its round trip (the answering end's measure
// includes the handshake's own work), so the answering end, which replies to a keep-alive
// only after being quiet for its own, longer interval, leaves the initiator's keep-alives
// unanswered; the initiator then marks the link stale after twice its interval and closes
// it a few seconds later, about 15 s after the last packet it received on loopback, answer
// pending or not. The link's staleness limit (`stale_time`, read by its watchdog on every
// pass) is raised for the exchange and put back afterwards; links without one are left.
class KeepInUse {
public:
    KeepInUse(PyObject* link, bool limited, double seconds) {
        PyObject* found = nullptr;
        if (PyObject_GetOptionalAttr(link, ZV_STR("stale_time"), &found) <= 0) {
            PyErr_Clear();
            return;
        }
        Ref current = Ref::steal(found);
        if (!PyFloat_Check(current.get()) && !(PyLong_Check(current.get()) && !PyBool_Check(current.get())))
            return;
        double stale = PyFloat_AsDouble(current.get());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return;
        }
        // Time since the last packet counts against the limit too: it may be anything up
        // to the limit itself when the exchange starts.
        Ref raised = Ref::steal(PyFloat_FromDouble(limited ? 2 * stale + seconds + 10.0 : 1e9));
        if (!raised || PyObject_SetAttr(link, ZV_STR("stale_time"), raised.get()) < 0) {
            PyErr_Clear();
            return;
        }
        link_ = Ref::borrow(link);
        saved_ = std::move(current);
        raised_ = std::move(raised);
    }
    ~KeepInUse() {
        if (!link_) return;
        SavedError error;
        PyObject* now = nullptr;
        // Put back only what this exchange set.
        if (PyObject_GetOptionalAttr(link_.get(), ZV_STR("stale_time"), &now) > 0 && now == raised_.get() &&
            PyObject_SetAttr(link_.get(), ZV_STR("stale_time"), saved_.get()) < 0)
            PyErr_Clear();
        Py_XDECREF(now);
        PyErr_Clear();
        error.restore();
    }
    KeepInUse(const KeepInUse&) = delete;
    KeepInUse& operator=(const KeepInUse&) = delete;

private:
    Ref link_, saved_, raised_;
};

// The exchange's failure "message" after which its link is let go of.
Ref fail_and_forget(PyObject* module, PyObject* self, PyObject* link, const char* message) {
    raise_transport_error(module, message);
    forget_link(module, self, link);
    return {};
}

// Raises what parsing `data` raises; when parsing accepts it after all, an
// HttpParserError saying why the framing could not be followed.
void raise_unparsable(PyObject* module, PyObject* data, const std::string& reason) {
    Ref cls = module_global(module, ZV_STR("HttpResponse"));
    Ref parsed = cls && data ? call_method(cls.get(), ZV_STR("parse"), {data}) : Ref{};
    if (!parsed) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no response data");
        return;
    }
    Ref types = import("zivane.types");
    Ref error_cls = types ? attr(types.get(), "HttpParserError") : Ref{};
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(reason.data(), Py_ssize_t(reason.size())));
    Ref error = error_cls && text ? call(error_cls.get(), {text.get()}) : Ref{};
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// An exchange's time-outs. The request's time-out bounds each stage up to the answer's
// first bytes: the turn, the reader, every silence while the request is written, and the
// wait for the answer once it is out. Then the read time-out bounds each silence while
// the answer arrives. A long transfer that keeps moving is never cut short.
struct Deadline {
    bool limited;          // _request_timeout is not None
    double seconds;        // _request_timeout (< 0: none)
    double silence;        // _read_timeout (< 0: none)
    Clock::time_point at;  // the exchange's start plus _request_timeout
};

// From the client's _request_timeout and _read_timeout. False with an exception set.
bool deadline_of(PyObject* self, Deadline* d) {
    Ref timeout_obj = attr(self, ZV_STR("_request_timeout"));
    Ref read_obj = timeout_obj ? attr(self, ZV_STR("_read_timeout")) : Ref{};
    if (!read_obj) return false;
    bool ok;
    d->seconds = seconds_of(timeout_obj.get(), &ok);
    if (ok) d->silence = seconds_of(read_obj.get(), &ok);
    if (!ok) return false;
    d->limited = d->seconds >= 0;
    d->at = after(Clock::now(), d->seconds);
    return true;
}

// The largest response accepted: module global _RESPONSE_LIMIT (bytes; None for no limit).
bool response_limit(PyObject* module, Py_ssize_t* limit) {
    Ref value = module_global(module, ZV_STR("_RESPONSE_LIMIT"));
    if (!value) return false;
    if (value.is_none()) {
        *limit = -1;
        return true;
    }
    *limit = PyLong_AsSsize_t(value.get());
    if (*limit == -1 && PyErr_Occurred()) return false;
    if (*limit < 0) *limit = 0;
    return true;
}

// Waits until the writer is done with `job`. What counts is its silence, not its length:
// the wait ends when no message has gone out for the request's time-out.
bool wait_written(Session* s, WriteJob& job, const Deadline& d) {
    for (;;) {
        std::int64_t last = job.progress.load();
        Clock::time_point until = after(from_ticks(last), d.seconds);
        bool limited = until != Clock::time_point::max();
        if (wait_writer(
                s, limited, until, [&job] { return job.finished; }, false))
            return true;
        if (job.progress.load() == last) return false;
    }
}

enum class Wrote { Done, Late, Failed, Refused };

// Writes the request through the link's writer. Late: not written in time (its pending
// abandoned); Failed: *write_error holds what the write raised, or an exception is set;
// Refused: the stream went out of step before the request took its place.
// *progress: when the last message of it went out (Clock ticks).
Wrote write_request(PyObject* module, PyObject* capsule, Session* s, const PendingRef& pending,
                    PyObject* data, const Deadline& d, Ref* write_error, std::int64_t* progress) {
    auto job = std::make_shared<WriteJob>();
    job->pending = pending;
    job->data = Ref::borrow(data);
    job->stall_seconds = d.seconds;
    // The link's writer thread does the write, so a write or flush that never returns
    // holds this exchange no longer than its time-out. Requests on a link still go out
    // one at a time, in queue order.
    if (!wait_writer(
            s, d.limited, d.at, [s] { return !s->w->writing; }, true))
        return Wrote::Late;
    bool refused;
    {
        sync::MutexGuard lock(s->mutex);
        refused = s->broken;  // bytes nobody asked for came in meanwhile
        if (!refused) s->queue.push_back(pending);
    }
    if (refused) {
        unclaim(s->w.get());
        return Wrote::Refused;
    }
    job->progress = Clock::now().time_since_epoch().count();
    if (!start_write(module, capsule, s, job)) {
        sync::MutexGuard lock(s->mutex);
        forget_locked(s, pending);
        return Wrote::Failed;
    }
    bool written = wait_written(s, *job, d);
    *progress = job->progress.load();
    sync::MutexGuard lock(s->mutex);
    *write_error = std::move(job->error);
    if (!written) pending->abandoned = true;  // still being written: its answer is dropped
    return !written ? Wrote::Late : *write_error ? Wrote::Failed : Wrote::Done;
}

// The exchange's outcome when its request did not go out whole.
Ref write_failed(PyObject* module, PyObject* self, PyObject* link, Wrote wrote, Ref write_error,
                 const Deadline& d, std::int64_t progress) {
    if (wrote == Wrote::Late) return fail_and_forget(module, self, link, "Request timeout");
    if (wrote == Wrote::Refused) return fail_and_forget(module, self, link, "No response received");
    if (!write_error) return {};
    bool connection = PyErr_GivenExceptionMatches(write_error.get(), PyExc_ConnectionError);
    // A channel that stayed full for the request's time-out is this exchange's time-out.
    if (connection && d.limited && Clock::now() >= after(from_ticks(progress), d.seconds))
        return fail_and_forget(module, self, link, "Request timeout");
    // The link went away (or stale, which Reticulum sends nothing on) while the request was
    // being written: a transport failure of this exchange, like a link seen closed while
    // waiting for the answer.
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) return {};
    if (connection && (rns::link_closed(rns.get(), link) || rns::link_stale(rns.get(), link))) {
        raise_transport_error(module, "No response received");
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetCause(raised, write_error.release());
        PyErr_SetRaisedException(raised);
        forget_link(module, self, link);
        return {};
    }
    // Whatever of the request Reticulum took is still in the link's stream, ahead of the
    // next request, which would then get this one's answer: the link is not used again.
    PyErr_SetRaisedException(write_error.release());
    forget_link(module, self, link);
    return {};
}

// What the wait for the answer goes by: nothing has arrived while `received` is what
// the link had read before the request, and the answer's first bytes are awaited until
// `first_until`; after that, each silence may last `silence` seconds. And on a link whose
// rate is known (`min_rate`), the answer as a whole is bounded by what the link carries,
// as a request is on the server: it has `floor` nanoseconds from its first bytes, and
// longer only while its bytes keep up `min_rate` over each window of half that (a silence
// after bytes that kept up may last `pause`; see rns::Arrivals). A slow answer that keeps
// moving on a slow link goes on; one that dribbles far below what its link carries ends
// within `floor` of when it began to.
struct Answering {
    std::uint64_t received;
    Clock::time_point first_until;
    double silence;
    double min_rate = 0;     // bytes a second; 0: no bound on the whole answer
    std::int64_t floor = 0;  // nanoseconds
    std::int64_t pause = 0;  // nanoseconds
};

// A request is not cut while its answer keeps coming at this share of the link's rate.
constexpr double kRateShare = 0.25;

// How the whole answer is bounded on `link`: from the exchange's time-outs (none when
// neither is set) and the link's measured rate and resend schedule. Tells the session
// how to judge the answer's bytes.
void pace_answer(PyObject* rns, PyObject* link, Session* s, const Deadline& d, Answering* a) {
    double floor = std::max(d.seconds, d.silence);
    double rate = kRateShare * rns::link_rate(rns, s->channel.get(), link);
    double resend = 1.25 * std::min(rns::resend_seconds(s->channel.get(), link), 1e6);
    if (!(floor > 0) || !(rate > 0) || !(floor < 1e6)) return;
    a->min_rate = rate;
    a->floor = std::int64_t(floor * 1e9);
    a->pause = std::int64_t(std::max(floor, resend) * 1e9);
    sync::MutexGuard lock(s->mutex);
    s->answer_floor = a->floor;
    s->answer_rate = rate;
}

Clock::time_point answer_deadline(Session* s, const Answering& a) {
    sync::MutexGuard lock(s->mutex);
    if (s->received == a.received) return a.first_until;
    Clock::time_point until = after(s->last_received, a.silence);
    if (a.min_rate > 0 && s->answer_begun) {
        std::int64_t behind = s->answer_arrivals.behind_at(nanoseconds_of(Clock::now()), a.pause);
        until = std::min(until, time_of(std::max(s->answer_first + a.floor, behind)));
    }
    return until;
}

// Waits for the answer. With a link that reports its state, wakes now and then to notice
// it closing, rather than waiting out the whole time-out for an answer that cannot come;
// once closed, what already arrived is read (a body delimited by the close ends there).
// A wait that reaches its deadline looks again, as bytes that came meanwhile move it.
// Returns the event's last answer, empty with an exception set; *closed tells whether the
// link was seen closed.
Ref wait_answer(PyObject* rns, PyObject* link, Session* s, PyObject* event, const Answering& a, bool watch,
                bool* closed) {
    Clock::time_point close_until = Clock::time_point::max();
    for (;;) {
        Clock::time_point until = std::min(answer_deadline(s, a), close_until);
        bool bounded = until != Clock::time_point::max();
        double left = bounded ? std::chrono::duration<double>(until - Clock::now()).count() : 0.0;
        if (bounded && left <= 0) return Ref::boolean(false);
        // Slices also when bytes may move the deadline: a silence deadline sooner than the
        // one waited for is then seen within a slice.
        bool sliced = (watch && !*closed && (!bounded || left > kWatchEvery)) ||
                      (a.silence >= 0 && (!bounded || left > kWatchEvery));
        Ref timeout = sliced    ? Ref::steal(PyFloat_FromDouble(kWatchEvery))
                      : bounded ? Ref::steal(PyFloat_FromDouble(left))
                                : Ref::none();
        Ref woke = timeout ? call_method(event, ZV_STR("wait"), {timeout.get()}) : Ref{};
        if (!woke) return {};
        int up = PyObject_IsTrue(woke.get());
        if (up != 0 || (!bounded && !sliced)) return up < 0 ? Ref{} : woke;
        if (sliced && watch && !*closed && rns::link_closed(rns, link)) {
            *closed = true;
            {
                sync::MutexGuard lock(s->mutex);
                s->closed = true;
            }
            if (!drain(s, kReadSize)) return {};
            close_until = Clock::now() + kCloseGrace;
        }
    }
}

Ref await_answer(PyObject* module, PyObject* self, PyObject* link, Session* s, const PendingRef& pending,
                 const Answering& a, bool watch) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) return {};
    bool closed = false;
    Ref woke = wait_answer(rns.get(), link, s, pending->event.get(), a, watch, &closed);
    Ref result, failure;
    bool done, broken;
    Outcome outcome;
    std::string reason;
    {
        sync::MutexGuard lock(s->mutex);
        done = pending->done;
        if (!done) pending->abandoned = true;  // its answer, when it comes, is dropped
        s->measuring = false;
        result = std::move(pending->data);
        failure = std::move(pending->error);
        outcome = pending->outcome;
        reason = pending->reason;
        broken = s->broken;
    }
    if (!woke) return {};
    if (!done)
        return fail_and_forget(module, self, link, closed ? "No response received" : "Request timeout");
    if (outcome == Outcome::TooLarge) return fail_and_forget(module, self, link, "Response too large");
    if (outcome == Outcome::Closed) return fail_and_forget(module, self, link, "No response received");
    if (outcome == Outcome::Malformed) {
        raise_unparsable(module, result.get(), reason);
        forget_link(module, self, link);
        return {};
    }
    if (failure) {
        raise_transport_error(module, "Request failed: ", failure.get());
        forget_link(module, self, link);
        return {};
    }
    if (!result) return fail_and_forget(module, self, link, "No response received");
    // An answer after which the stream cannot go on (delimited by its end, 101) is
    // returned; the link is not used again.
    if (broken || closed) forget_link(module, self, link);
    return result;
}

// The request `data` as it waits for its answer, with an event of its own. NULL with an
// exception set.
PendingRef new_pending(PyObject* module, PyObject* data, Py_ssize_t limit) {
    Ref threading = module_global(module, ZV_STR("threading"));
    Ref event_cls = threading ? attr(threading.get(), ZV_STR("Event")) : Ref{};
    Ref event = event_cls ? call(event_cls.get()) : Ref{};
    if (!event) return nullptr;
    auto pending = std::make_shared<Pending>();
    pending->event = std::move(event);
    pending->head = is_head_request(data);
    pending->limit = limit;
    return pending;
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

int link_usable(PyObject* module, PyObject* link) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) return -1;
    if (rns::link_closed(rns.get(), link)) return 0;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(state_of(module)->sessions, link, &found) < 0) return -1;
    Ref capsule = Ref::steal(found);
    Session* s = capsule ? session_of(capsule.get()) : nullptr;
    if (!s) {
        PyErr_Clear();
        return 1;
    }
    sync::MutexGuard lock(s->mutex);
    return s->broken ? 0 : 1;
}

void forget_link(PyObject* module, PyObject* self, PyObject* link) {
    SavedError error;
    Ref keep = Ref::borrow(link);
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns || !rns::link_closed(rns.get(), link)) {
        PyErr_Clear();
        // Bounded like any Reticulum call on the way out of a failed exchange: one that
        // does not come back at once finishes in the background.
        bool timed_out = false;
        Ref teardown = attr(link, ZV_STR("teardown"));
        Ref no_args = teardown ? Ref::steal(PyTuple_New(0)) : Ref{};
        if (!no_args || !rns::call_bounded(teardown.get(), no_args.get(), Clock::now() + kTeardownGrace,
                                           &timed_out, {.retry = false}))
            PyErr_Clear();
    }
    drop_session(module, link);
    Ref current = attr(self, ZV_STR("_link"));
    if (current && current.get() == link && PyObject_SetAttr(self, ZV_STR("_link"), Py_None) < 0)
        PyErr_Clear();
    PyErr_Clear();
    error.restore();
}

Ref exchange(PyObject* module, PyObject* self, PyObject* data) {
    Ref link = attr(self, ZV_STR("_link"));
    if (!link) return {};
    if (link.is_none()) {
        raise_transport_error(module, "Not connected");
        return {};
    }
    Deadline d;
    Py_ssize_t limit;
    if (!deadline_of(self, &d) || !response_limit(module, &limit)) return {};
    Ref capsule = session_for(module, link.get());
    if (!capsule) return {};
    Session* s = session_of(capsule.get());
    if (!s) return {};

    // Exchanges on one link take turns; waiting for the turn counts against the time-out.
    // A time-out here leaves the link alone: nothing of this request is in its stream.
    Turn turn(s->turn.get());
    int took = turn.take(d.limited, d.at);
    if (took < 0) return {};
    if (took == 0) {
        raise_transport_error(module, "Request timeout");
        return {};
    }

    Ref rns_module = module_global(module, ZV_STR("RNS"));
    if (!rns_module) return {};
    int usable = link_usable(module, link.get());
    if (usable <= 0) {
        if (usable == 0) raise_transport_error(module, "Not connected");
        return {};
    }
    bool watch = can_watch(rns_module.get(), link.get());
    KeepInUse keep_alive(link.get(), d.limited && d.silence >= 0, std::max(d.seconds, d.silence));
    if (!s->buffer) {
        int made = make_reader(module, s, d.at);
        if (made < 0) return {};
        if (made == 0) return fail_and_forget(module, self, link.get(), "Request timeout");
    }

    PendingRef pending = new_pending(module, data, limit);
    if (!pending) return {};
    Answering answering{0, {}, d.silence};
    pace_answer(rns_module.get(), link.get(), s, d, &answering);
    {
        sync::MutexGuard lock(s->mutex);
        answering.received = s->received;
        s->measuring = answering.min_rate > 0;
        s->answer_begun = false;
    }
    Ref write_error;
    std::int64_t written_at = 0;
    Wrote wrote = write_request(module, capsule.get(), s, pending, data, d, &write_error, &written_at);
    if (wrote != Wrote::Done)
        return write_failed(module, self, link.get(), wrote, std::move(write_error), d, written_at);
    answering.first_until = after(from_ticks(written_at), d.seconds);
    return await_answer(module, self, link.get(), s, pending, answering, watch);
}

}  // namespace zv::client
