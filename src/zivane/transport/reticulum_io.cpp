#include "transport/reticulum_io.hpp"

#include "support/sync.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace zv::rns {
namespace {

using Clock = std::chrono::steady_clock;

constexpr Py_ssize_t kDefaultPiece = 423;
constexpr Py_ssize_t kReadChunk = 64 * 1024;
// RNS's raw writer never sends more than this in one message.
constexpr Py_ssize_t kMaxChunk = 16 * 1024;
// Channel windows open when delivery proofs arrive, about a link round trip apart: under
// a millisecond on fast links, seconds over a radio. Polls start short and back off.
constexpr double kFirstPoll = 0.0005, kLongestPoll = 0.005;

// Optional attribute: empty Ref and no exception when missing or failing.
Ref optional_attr(PyObject* obj, PyObject* name) {
    if (!obj) return {};
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) PyErr_Clear();
    return Ref::steal(value);
}

// An optional attribute that is a real number (not a bool), else `fallback`.
double optional_number(PyObject* obj, PyObject* name, double fallback) {
    Ref value = optional_attr(obj, name);
    if (!value || PyBool_Check(value.get()) || !(PyFloat_Check(value.get()) || PyLong_Check(value.get())))
        return fallback;
    double v = PyFloat_AsDouble(value.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return fallback;
    }
    return std::isfinite(v) ? v : fallback;
}

// An optional attribute that is an int, else -1.
Py_ssize_t optional_size(PyObject* obj, PyObject* name) {
    Ref value = optional_attr(obj, name);
    if (!value || !PyLong_Check(value.get())) return -1;
    Py_ssize_t n = PyLong_AsSsize_t(value.get());
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return n;
}

void sleep_without_gil(double seconds) {
    sync::without_gil([&] { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); });
}

// 1 ready, 0 readiness unknown, -1 exception set. The stall bound counts from the call,
// that is from the last message handed over.
int wait_ready(PyObject* rns, PyObject* channel, PyObject* link, const WriteLimits& limits) {
    Ref probe = optional_attr(channel, ZV_STR("is_ready_to_send"));
    if (!probe || !PyCallable_Check(probe.get())) return 0;
    auto start = Clock::now();
    double stall = -1.0, poll = kFirstPoll;
    for (;;) {
        Ref ready = call(probe.get());
        if (!ready) return -1;
        int yes = PyObject_IsTrue(ready.get());
        if (yes < 0) return -1;
        if (yes) return 1;
        if (link_closed(rns, link)) {
            PyErr_SetString(PyExc_ConnectionError, "Link closed");
            return -1;
        }
        // Reticulum's own verdict (the link closed) comes first, with a quarter to spare.
        if (stall < 0) stall = std::max(limits.stall_seconds, 1.25 * resend_seconds(channel, link));
        std::chrono::duration<double> waited = Clock::now() - start;
        if (waited.count() > stall) {
            PyErr_SetString(PyExc_ConnectionError, "Link stalled");
            return -1;
        }
        sleep_without_gil(poll);
        poll = std::min(2 * poll, kLongestPoll);
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

// RNS's buffered writer retries for ever when the link goes down or stale under it, so the
// link's state is looked at right before each write: that leaves only a short window.
int write_flush(PyObject* rns, PyObject* link, PyObject* buffer, PyObject* data) {
    if (link_closed(rns, link) || link_stale(rns, link)) {
        PyErr_SetString(PyExc_ConnectionError, "Link closed");
        return -1;
    }
    Ref written = call_method(buffer, ZV_STR("write"), {data});
    if (!written) return -1;
    Ref flushed = call_method(buffer, ZV_STR("flush"));
    return flushed ? 0 : -1;
}

// How much of the data the next write hands over, so that RNS's raw writer sends all of
// it in one message, compressed as tightly as that writer can compress it.
//
// RNS.RawChannelWriter.write(b) takes at most MAX_CHUNK_LEN bytes; unless they are 32 or
// fewer, it bz2-compresses the first len/k of them for k = 1 .. COMPRESSION_TRIES - 1 and
// sends the first result shorter than both its MDU and its input, else the first MDU bytes
// as they are, and returns what it took. The buffered writer above it calls it again at
// once for the rest, spinning while the channel's window is shut, so a write must be
// exactly what one message takes. One MDU per write leaves compression a few hundred
// bytes to work on; everything at once (RNS's own way) compresses up to 16 KiB three times
// for each message of random data, and packs no more than a third of what would fit.
//
// So the packer runs the writer's test ahead of it, on lengths of its own choosing: the
// longest prefix whose bz2 form fits one message, found in a few steps by interpolating
// the compressed size, starting near what fit last time. The writer then compresses exactly
// that prefix at its first try, with the same result. Data that does not shrink goes an
// MDU at a time, with the writer's own tries on that piece checked first, and compression
// is looked for again after 1, 2, 4 ... 16 such messages.
//
// Only where messages are smaller than the writer's largest chunk: on links with a large
// MDU (TCP) a write of one chunk always leaves as one message.
class Packer {
public:
    Packer(PyObject* rns, PyObject* channel, PyObject* data) : piece_(max_piece(rns, channel)), target_(0) {
        Ref writer = optional_attr(rns, ZV_STR("RawChannelWriter"));
        Py_ssize_t channel_mdu = optional_size(channel, ZV_STR("mdu"));
        cap_ = optional_size(writer.get(), ZV_STR("MAX_CHUNK_LEN"));
        tries_ = optional_size(writer.get(), ZV_STR("COMPRESSION_TRIES"));
        mdu_ = channel_mdu - 2;  // the stream message header
        if (mdu_ <= 0 || cap_ <= mdu_ || tries_ < 2 || tries_ > 64 || !PyBytes_CheckExact(data)) return;
        Ref bz2 = import("bz2");
        compress_ = bz2 ? optional_attr(bz2.get(), ZV_STR("compress")) : Ref{};
        view_ = compress_ ? Ref::steal(PyMemoryView_FromObject(data)) : Ref{};
        if (!view_) {
            PyErr_Clear();
            compress_.reset();
        }
        target_ = cap_;
    }

    // True when writes follow the raw writer's packing; false for plain pieces.
    bool packing() const { return bool(compress_); }
    Py_ssize_t piece() const { return piece_; }

    // Bytes of the `rest` at `offset` that the next write takes.
    Py_ssize_t next(Py_ssize_t offset, Py_ssize_t rest) {
        if (!packing()) return std::min(rest, piece_);
        Py_ssize_t n = std::min(rest, cap_);
        if (n <= kNoCompression) return std::min(n, mdu_);
        if (skip_ > 0) {
            --skip_;
            return plain(offset, n);
        }
        Py_ssize_t length = search(offset, n);
        return length > 0 ? length : plain(offset, n);
    }

private:
    static constexpr Py_ssize_t kNoCompression = 32;  // the writer leaves such writes alone
    static constexpr int kSearchSteps = 7;
    static constexpr int kLongestSkip = 16;

    // bz2 size of `n` bytes at `offset`; -1 (compression given up) on any failure.
    Py_ssize_t compressed(Py_ssize_t offset, Py_ssize_t n) {
        Ref start = Ref::steal(PyLong_FromSsize_t(offset));
        Ref stop = start ? Ref::steal(PyLong_FromSsize_t(offset + n)) : Ref{};
        Ref slice = stop ? Ref::steal(PySlice_New(start.get(), stop.get(), nullptr)) : Ref{};
        Ref part = slice ? Ref::steal(PyObject_GetItem(view_.get(), slice.get())) : Ref{};
        Ref packed = part ? call(compress_.get(), {part.get()}) : Ref{};
        if (!packed || !PyBytes_Check(packed.get())) {
            PyErr_Clear();
            compress_.reset();
            return -1;
        }
        return PyBytes_GET_SIZE(packed.get());
    }

    bool fits(Py_ssize_t size, Py_ssize_t n) const { return size >= 0 && size < mdu_ && size < n; }

    struct Point {
        Py_ssize_t length = 0, size = 0;  // a prefix tried and its bz2 size; 0: none
    };

    // The longest prefix of the first `n` bytes found to fit one message compressed, or 0
    // when none longer than an MDU was found.
    Py_ssize_t search(Py_ssize_t offset, Py_ssize_t n) {
        const double goal = 0.96 * double(mdu_);
        Point fit, miss, missed_before;
        Py_ssize_t length = std::min(n, target_);
        for (int step = 0; step < kSearchSteps && length > mdu_; ++step) {
            Py_ssize_t size = compressed(offset, length);
            if (size < 0) return 0;
            if (fits(size, length)) {
                fit = {length, size};
                if (length == n) break;
            } else {
                if (size >= length && !fit.length) return 0;  // does not shrink here at all
                missed_before = miss;
                miss = {length, size};
            }
            length = next_length(fit, miss, missed_before, n, goal);
        }
        if (fit.length) {
            target_ = std::min(cap_, Py_ssize_t(1.1 * double(fit.length)));  // next time, a little more
            backoff_ = 1;
        }
        return fit.length;
    }

    // The next length to try: between the longest fit and the shortest miss, where the
    // compressed size, taken as linear between them, meets the goal (kept clear of both
    // ends; 0 once they are close); past a fit alone, by the room it left; short of misses
    // alone, by a secant through the last two, or in proportion to one.
    static Py_ssize_t next_length(Point fit, Point miss, Point missed_before, Py_ssize_t n, double goal) {
        if (fit.length && miss.length) {
            Py_ssize_t gap = miss.length - fit.length;
            if (gap < std::max<Py_ssize_t>(16, fit.length / 20)) return 0;
            double guess = miss.size > fit.size
                               ? double(fit.length) +
                                     (goal - double(fit.size)) * double(gap) / double(miss.size - fit.size)
                               : double(fit.length) + double(gap) / 2;
            return std::clamp(Py_ssize_t(guess), fit.length + gap / 4, miss.length - gap / 4);
        }
        if (fit.length)
            return std::min(n, Py_ssize_t(std::max(1.25 * double(fit.length),
                                                   double(fit.length) * goal / double(fit.size))));
        double slope = missed_before.length > miss.length ? double(missed_before.size - miss.size) /
                                                                double(missed_before.length - miss.length)
                                                          : 0.0;
        double guess = slope > 0 ? double(miss.length) + (goal - double(miss.size)) / slope
                                 : double(miss.length) * goal / double(miss.size);
        return std::min(miss.length - 1, Py_ssize_t(guess));
    }

    // An MDU (or the rest, when shorter) as the writer sends it: compressed at its own
    // tries when one of them fits, the piece as it is otherwise.
    Py_ssize_t plain(Py_ssize_t offset, Py_ssize_t n) {
        Py_ssize_t length = std::min(n, mdu_);
        for (Py_ssize_t k = 1; k < tries_ && packing(); ++k) {
            Py_ssize_t part = length / k;
            if (fits(compressed(offset, part), part)) {
                target_ = cap_;  // compressible again: look far ahead next time
                backoff_ = 1;
                skip_ = 0;
                return part;
            }
        }
        skip_ = backoff_;
        backoff_ = std::min(2 * backoff_, kLongestSkip);
        target_ = cap_;
        return length;
    }

    Py_ssize_t piece_, target_, cap_ = -1, tries_ = -1, mdu_ = -1;
    int skip_ = 0, backoff_ = 1;
    Ref compress_, view_;
};

void note_progress(const WriteLimits& limits) {
    if (limits.progress) limits.progress->store(Clock::now().time_since_epoch().count());
}

}  // namespace

Py_ssize_t max_piece(PyObject* rns, PyObject* channel) {
    Ref channel_mdu = optional_attr(channel, ZV_STR("mdu"));
    if (channel_mdu && PyLong_Check(channel_mdu.get())) {
        Py_ssize_t n = PyLong_AsSsize_t(channel_mdu.get()) - 2;  // stream message header
        if (n > 0) {
            Py_ssize_t cap = kMaxChunk;
            Ref writer_type = optional_attr(rns, ZV_STR("RawChannelWriter"));
            Ref chunk = optional_attr(writer_type.get(), ZV_STR("MAX_CHUNK_LEN"));
            if (chunk && PyLong_Check(chunk.get())) {
                Py_ssize_t c = PyLong_AsSsize_t(chunk.get());
                if (c > 0) cap = c;
            }
            PyErr_Clear();
            return std::min(n, cap);
        }
        PyErr_Clear();
    }
    Ref link_type = optional_attr(rns, ZV_STR("Link"));
    Ref mdu = optional_attr(link_type.get(), ZV_STR("MDU"));
    if (mdu && PyLong_Check(mdu.get())) {
        // channel envelope (6) and stream message header (2)
        Py_ssize_t n = PyLong_AsSsize_t(mdu.get()) - 8;
        if (n > 0) return n;
        PyErr_Clear();
    }
    return kDefaultPiece;
}

double resend_seconds(PyObject* channel, PyObject* link) {
    double rtt = optional_number(link, ZV_STR("rtt"), 0.0);
    if (rtt <= 0) return 0.0;
    double in_flight = optional_number(channel, ZV_STR("window"), 1.0);
    double tries = std::min(optional_number(channel, ZV_STR("_max_tries"), 5.0), 32.0);
    double per_try = std::max(2.5 * rtt, 0.025) * (std::max(in_flight, 1.0) + 1.5), total = 0.0;
    for (int n = 0; n < tries; ++n, per_try *= 1.5) total += per_try;
    return total;
}

double link_rate(PyObject* rns, PyObject* channel, PyObject* link) {
    double measured = optional_number(link, ZV_STR("establishment_rate"), 0.0);
    if (measured > 0) return measured;
    double rtt = optional_number(link, ZV_STR("rtt"), 0.0);
    return rtt > 0 ? double(max_piece(rns, channel)) / rtt : 0.0;
}

namespace {

bool link_status_is(PyObject* rns, PyObject* link, PyObject* name) {
    Ref status = optional_attr(link, ZV_STR("status"));
    if (!status) return false;
    Ref link_type = optional_attr(rns, ZV_STR("Link"));
    Ref wanted = optional_attr(link_type.get(), name);
    if (!wanted) return false;
    int eq = PyObject_RichCompareBool(status.get(), wanted.get(), Py_EQ);
    if (eq < 0) {
        PyErr_Clear();
        return false;
    }
    return eq == 1;
}

}  // namespace

bool link_closed(PyObject* rns, PyObject* link) { return link_status_is(rns, link, ZV_STR("CLOSED")); }

bool link_stale(PyObject* rns, PyObject* link) { return link_status_is(rns, link, ZV_STR("STALE")); }

void Arrivals::restart(std::int64_t now, std::int64_t window, double rate, std::int64_t grace) {
    origin_ = last_ = now;
    grace_until_ = now + grace;
    width_ = std::max<std::int64_t>(window / kBuckets, 1);
    rate_ = rate;
    first_stretch_ = true;
    slots_.fill({-1, 0});
}

void Arrivals::add(std::int64_t now, std::size_t n) {
    if (rate_ > 0 && may_pause() && !kept_up(now)) {
        // a forgiven silence ended: what comes now is judged from here
        first_stretch_ = first_stretch_ && last_ < grace_until_;
        origin_ = now;
        slots_.fill({-1, 0});
    }
    std::int64_t index = bucket(now);
    Slot& slot = slots_[std::size_t(index % kSlots)];
    if (slot.index != index) slot = {index, 0};
    slot.bytes += double(n);
    last_ = std::max(last_, now);
}

double Arrivals::brought(std::int64_t first, std::int64_t last) const {
    double sum = 0;
    for (const Slot& slot : slots_)
        if (slot.index >= first && slot.index <= last) sum += slot.bytes;
    return sum;
}

bool Arrivals::kept_up(std::int64_t at) const {
    std::int64_t index = bucket(at);
    double span = double(std::min(at - origin_, kBuckets * width_)) * 1e-9;
    return brought(index - kBuckets, std::min(index, bucket(last_))) >= rate_ * span;
}

bool Arrivals::may_pause() const {
    std::int64_t index = bucket(last_);
    bool full_window = brought(index - kBuckets, index) >= rate_ * double(kBuckets * width_) * 1e-9;
    return full_window && (first_stretch_ || last_ - origin_ >= kBuckets * width_);
}

std::int64_t Arrivals::falls_short(std::int64_t now) const {
    std::int64_t current = bucket(now);
    for (std::int64_t at = current;; ++at) {
        double span = double(std::min(at, kBuckets) * width_) * 1e-9;
        if (brought(at - kBuckets, current) < rate_ * span || at > current + kBuckets)
            return origin_ + at * width_;
    }
}

std::int64_t Arrivals::behind_at(std::int64_t now, std::int64_t silence) const {
    if (!(rate_ > 0)) return std::numeric_limits<std::int64_t>::max();
    if (!kept_up(last_)) return last_;
    if (may_pause() && now > last_)
        return std::min(last_ + std::max(silence, kBuckets * width_), now + width_);
    return falls_short(now);
}

int write_paced(PyObject* rns, PyObject* buffer, PyObject* channel, PyObject* link, PyObject* data,
                const WriteLimits& limits) {
    Py_ssize_t size = PyBytes_GET_SIZE(data);
    int ready = wait_ready(rns, channel, link, limits);
    if (ready < 0) return -1;
    Packer packer(rns, channel, data);
    if (ready == 0 || (size <= packer.piece() && !packer.packing())) {
        if (write_flush(rns, link, buffer, data) < 0) return -1;
        note_progress(limits);
        return 0;
    }
    const char* bytes = PyBytes_AS_STRING(data);
    for (Py_ssize_t offset = 0, n = 0; offset < size; offset += n) {
        if (offset > 0 && wait_ready(rns, channel, link, limits) < 0) return -1;
        n = packer.next(offset, size - offset);
        Ref chunk = n == size ? Ref::borrow(data) : Ref::steal(PyBytes_FromStringAndSize(bytes + offset, n));
        if (!chunk || write_flush(rns, link, buffer, chunk.get()) < 0) return -1;
        note_progress(limits);
    }
    return 0;
}

// RNS's stream message class, from the module of its raw writer; empty when it has none.
Ref stream_message_type(PyObject* rns) {
    Ref writer = optional_attr(rns, ZV_STR("RawChannelWriter"));
    Ref module_name = writer ? optional_attr(writer.get(), ZV_STR("__module__")) : Ref{};
    Ref module = module_name && PyUnicode_Check(module_name.get()) ? Ref::steal(PyImport_GetModule(module_name.get()))
                                                                    : Ref{};
    Ref type = module ? optional_attr(module.get(), ZV_STR("StreamDataMessage")) : Ref{};
    PyErr_Clear();
    return type && PyCallable_Check(type.get()) ? type : Ref{};
}

int write_uncompressed(PyObject* rns, PyObject* buffer, PyObject* channel, PyObject* link, long stream_id,
                       PyObject* data, const WriteLimits& limits) {
    Ref message_type = stream_message_type(rns);
    if (!message_type) return write_paced(rns, buffer, channel, link, data, limits);
    Ref stream = Ref::steal(PyLong_FromLong(stream_id));
    if (!stream) return -1;
    const Py_ssize_t size = PyBytes_GET_SIZE(data), piece = std::max<Py_ssize_t>(max_piece(rns, channel), 1);
    PyErr_Clear();
    const char* bytes = PyBytes_AS_STRING(data);
    for (Py_ssize_t offset = 0; offset < size; offset += piece) {
        if (wait_ready(rns, channel, link, limits) < 0) return -1;
        if (link_closed(rns, link) || link_stale(rns, link)) {
            PyErr_SetString(PyExc_ConnectionError, "Link closed");
            return -1;
        }
        Ref chunk = Ref::steal(PyBytes_FromStringAndSize(bytes + offset, std::min(piece, size - offset)));
        Ref message = chunk ? call(message_type.get(), {stream.get(), chunk.get(), Py_False, Py_False}) : Ref{};
        if (!message || !call_method(channel, ZV_STR("send"), {message.get()})) return -1;
        note_progress(limits);
    }
    return 0;
}

int read_available(PyObject* buffer, Py_ssize_t first, std::string& out) {
    Py_ssize_t want = first > 0 ? first : kReadChunk;
    for (;;) {
        Ref size = Ref::steal(PyLong_FromSsize_t(want));
        if (!size) return -1;
        Ref got = call_method(buffer, ZV_STR("read"), {size.get()});
        if (!got) return -1;
        if (got.is_none()) return 0;
        Py_buffer view;
        if (PyObject_GetBuffer(got.get(), &view, PyBUF_SIMPLE) < 0) return -1;
        Py_ssize_t n = view.len;
        out.append(static_cast<const char*>(view.buf), std::size_t(n));
        PyBuffer_Release(&view);
        if (n == 0) return 0;
        want = kReadChunk;
    }
}

// True while `channel._tx_ring` holds messages not yet proved; false when it is empty or
// cannot be read.
bool undelivered(PyObject* channel) {
    PyObject* ring = nullptr;
    if (PyObject_GetOptionalAttr(channel, ZV_STR("_tx_ring"), &ring) <= 0) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t n = PyObject_Length(ring);
    Py_DECREF(ring);
    if (n < 0) PyErr_Clear();
    return n > 0;
}

void wait_delivered(PyObject* channel, double seconds) {
    if (!channel) return;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(std::max(0.0, std::min(seconds, 3600.0))));
    while (undelivered(channel) && std::chrono::steady_clock::now() < deadline) sleep_without_gil(0.005);
}

}  // namespace zv::rns
