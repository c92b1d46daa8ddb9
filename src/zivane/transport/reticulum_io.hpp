// The few Reticulum operations that both ends need beyond plain buffer calls: writing a
// message in pieces the link's channel accepts, and reading everything a buffer holds.
//
// Every operation beyond read/write/flush is optional: readiness
// (`channel.is_ready_to_send()`), link status (`link.status`, `RNS.Link.CLOSED`) and the
// link MDU (`RNS.Link.MDU`) are looked up each time and, when missing, the code falls back
// to a single write and flush. That keeps stand-in RNS objects in tests working.
//
// All functions are called with the GIL held; waits release it.
#pragma once

#include "support/ref.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace zv::rns {

// Stream bytes one buffer message carries on `channel`: what RNS's raw writer puts in one
// message (the channel MDU less the stream header, at most RawChannelWriter.MAX_CHUNK_LEN),
// else RNS.Link.MDU less the envelope and stream headers, else 423. Links over
// interfaces with a large MTU carry far more than the 423 bytes of a base-MTU link.
Py_ssize_t max_piece(PyObject* rns, PyObject* channel);

// True when `link.status == RNS.Link.CLOSED`; false when either is unknown.
bool link_closed(PyObject* rns, PyObject* link);

// True when `link.status == RNS.Link.STALE`: Reticulum sends nothing on such a link (its
// channel drops every message, and RNS's buffered writer retries for ever) and closes it
// unless a packet comes in first. False when either is unknown.
bool link_stale(PyObject* rns, PyObject* link);

// How long Reticulum goes on resending one channel message before it gives the link up
// (RNS.Channel: try n waits 1.5^(n-1) * max(2.5 * rtt, 0.025) * (messages in flight + 1.5),
// for _max_tries tries), with the link's round trip as it stands. 0 when the link does not
// tell its round trip.
double resend_seconds(PyObject* channel, PyObject* link);

// Bytes a second the link carries, as Reticulum measured it when the link was set up
// (`establishment_rate`), else one message per round trip; 0 when the link tells neither.
double link_rate(PyObject* rns, PyObject* channel, PyObject* link);

// Whether a message that spans many notifications (a request body, an answer) is still
// coming at the least rate its link should manage, judged from the bytes that actually
// arrive: those of its latest window, counted in buckets of an eighth of the window (so a
// stretch of one window is known to within a bucket, in fixed room however long the
// message runs). Times are steady-clock nanoseconds.
//
// A silence is judged by what came before it: when the window up to its last bytes brought
// a whole window's worth at the rate, it may last `silence` (Reticulum resending a lost
// packet), and when the bytes come back the count starts afresh. Any number of times within the message's
// grace, then once, or after a whole healthy window: a peer that sends a burst now and
// then, silent in between, is judged on every window, silences included. A dribble is bytes, not a silence,
// so it is always judged on the window up to its latest bytes: once what came before it is older than the
// window, it falls short.
class Arrivals {
public:
    static constexpr std::int64_t kBuckets = 8;

    // A new message whose first bytes come `now`, judged over `window` against `rate`
    // (bytes a second; 0: never judged), with `grace` (its time-out) to begin with.
    void restart(std::int64_t now, std::int64_t window, double rate, std::int64_t grace);

    // When the message's first bytes (or those after its last forgiven silence) came.
    std::int64_t origin() const { return origin_; }

    void add(std::int64_t now, std::size_t n);

    // When the message falls behind, as things stand at `now`: a time not after `now` when
    // it has, else a time to look again (within a bucket while it is silent, as bytes
    // may come meanwhile). `silence`: how long a silence after healthy bytes may last.
    std::int64_t behind_at(std::int64_t now, std::int64_t silence) const;

private:
    static constexpr std::int64_t kSlots = kBuckets + 1;  // the window and the bucket under way
    struct Slot {
        std::int64_t index;
        double bytes;
    };

    std::int64_t bucket(std::int64_t at) const { return std::max<std::int64_t>(at - origin_, 0) / width_; }
    // Bytes of the buckets from `first` to `last`.
    double brought(std::int64_t first, std::int64_t last) const;
    // Whether the window ending at `at` kept up the rate, counting what came by `at`.
    bool kept_up(std::int64_t at) const;
    // Whether the silence after the last bytes is Reticulum's business rather than the peer's.
    bool may_pause() const;
    // When the window falls short if nothing more comes after `now`.
    std::int64_t falls_short(std::int64_t now) const;

    std::int64_t origin_ = 0;
    std::int64_t width_ = 1;
    std::int64_t last_ = 0;         // when the latest bytes came
    std::int64_t grace_until_ = 0;  // the message's time-out: silences before it are its own
    double rate_ = 0;
    bool first_stretch_ = true;  // no silence forgiven since the grace
    std::array<Slot, kSlots> slots_{};
};

struct WriteLimits {
    // Give up when the channel stays unready this long at a stretch. Never less than the
    // time Reticulum itself goes on resending before it closes the link (when the link
    // tells its round trip): until then a shut window is Reticulum at work, not a stall.
    double stall_seconds = 30.0;
    // When set, receives steady_clock ticks each time a message has been handed over.
    std::atomic<std::int64_t>* progress = nullptr;
};

// Writes `data` (a bytes object) on `buffer` and flushes it.
// - Channel that reports readiness: one message's worth per write and flush, each only
//   once the channel is ready; while it is not, the thread sleeps with the GIL released
//   (no busy loop inside RNS's buffered writer). With RNS's raw writer on a link whose
//   messages are smaller than its largest chunk, each write is as much as that writer
//   packs into one message, compressed as it compresses (see Packer in the source);
//   otherwise pieces of `max_piece` bytes, and data that fits one is a single write.
// - Channel without readiness: one write and one flush of everything.
// A link found closed, or a channel unready for longer than the stall bound, raises
// ConnectionError. Returns 0, or -1 with an exception set (from RNS or from the wait).
int write_paced(PyObject* rns, PyObject* buffer, PyObject* channel, PyObject* link, PyObject* data,
                const WriteLimits& limits);

// Like write_paced, but every message goes as it is, never compressed: for bytes that mix
// a secret with bytes someone else chose, whose compressed size would tell a guess at the
// secret from a miss. `stream_id` is the stream `buffer` writes to. RNS's buffered writer
// has nothing pending between writes, so the messages keep the stream's order.
int write_uncompressed(PyObject* rns, PyObject* buffer, PyObject* channel, PyObject* link, long stream_id,
                       PyObject* data, const WriteLimits& limits);

// Appends everything `buffer` holds now to `out`: `buffer.read(first)` (a default size
// when `first` <= 0), then further reads until one returns None or no bytes. Bytes read
// before a failure stay in `out`. Returns 0, or -1 with the read's exception set.
int read_available(PyObject* buffer, Py_ssize_t first, std::string& out);

// Waits, up to `seconds` and with the GIL released between looks, until every message
// sent on `channel` has been proved delivered (its transmit ring is empty), so that a
// teardown right after a last answer does not cut off the resends of a lost packet.
// Returns at once for a channel that does not show its ring. Never raises.
void wait_delivered(PyObject* channel, double seconds);

}  // namespace zv::rns
