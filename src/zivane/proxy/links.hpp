// The proxy's side of Reticulum: one link per destination, opened on first use by any
// browser connection and reopened once it has closed, and on each link a single reader
// that hands every answer, as it arrives, to the request that asked for it.
//
// Requests from any number of browser connections share a link: each is written whole
// while its writer holds the link's write turn, and is queued for its answer in the same
// step, so the queue is in the order of the link's stream and the server answers in that
// order. The reader follows the answers by their framing and passes each one's head and
// body pieces to the oldest request still waiting. It holds at most `answer_limit` bytes
// that a browser has not taken yet: a browser that falls behind loses its connection (the
// rest of its answer is read and dropped, so the stream stays in step for the others).
// A link with an answer given up before its end takes no new request: those go out on a
// new link while this one drops the rest, and it is torn down once nobody waits on it.
//
// An answer can only be for a request that has left: answer bytes that arrive before the
// first message of the request they would answer was handed to the link's channel, and
// bytes no request waits for, are an answer nobody asked for. The link's use ends there,
// rather than hand every later request the answer of the one before. (A second answer
// the server sends once the next request has reached it looks like an answer to that
// one: nothing in HTTP/1.1 tells them apart. The surplus shows when the link goes idle.)
//
// A link that closes, or whose stream cannot be followed any more, fails every request
// still waiting on it. Unless said otherwise, functions are called with the GIL held.
//
// A destination whose announce says it takes compact links (common/site_announce.hpp) is
// spoken to in the compact form (transport/compact.hpp) from the first request on:
// requests are turned into frames as they are written, and the answers' frames, with the
// answers that come as resources, back into HTTP/1.1 before the reader above sees them. A
// resource takes its place in the stream where the stream stood when it was offered (the
// channel's message handler and the resource offer both run on Reticulum's thread for
// the link's packets, in their order). Only resources that fit what is asked are taken:
// while an answer is awaited, of a size one answer may have, and two at most at a time.
#pragma once

#include "support/sync.hpp"
#include "transport/compact.hpp"
#include "transport/message_stream.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zv::proxy {

using Clock = std::chrono::steady_clock;

// What the proxy was told, read when it starts.
struct Settings {
    bool identify = false;         // every link identifies with the proxy's identity
    bool slim = false;             // request headers that identify the browser are dropped
    bool report_progress = false;  // a slow link's stages are logged on standard error
    double connect_timeout = 120.0;
    double request_timeout = 60.0;  // until the first bytes of an answer
    double read_timeout = 30.0;     // silence within an answer
    std::size_t answer_limit = 4u << 20;
    bool compact_links = true;  // the compact form with sites that announce they take it
    // A compact link whose channel messages carry fewer bytes than this (a radio path)
    // gathers the small requests asked at once into one message.
    std::size_t gather_piece_limit = 4096;
};

// One request's answer, as the link's reader hands it over. Fields below the first are
// guarded by the link's monitor.
struct Answer {
    explicit Answer(bool is_head) : head_request(is_head) {}
    const bool head_request;  // the request was HEAD: its answer has no body
    bool has_head = false;
    bool head_given = false;
    http::Head head;
    std::deque<std::string> pieces;  // body bytes not yet taken by the browser connection
    std::size_t queued = 0;          // their size
    bool ended = false;
    bool abandoned = false;   // the browser connection gave up on it: drop the rest
    bool overflowed = false;  // the browser fell more than answer_limit behind
    std::string failure;      // set when the link failed before the answer ended
    // The channel sequence number of the request's first message (-1 when the channel
    // does not tell), whether that message had left, and from which byte of the link's
    // incoming stream on.
    int first_sequence = -1;
    bool sent = false;
    std::uint64_t sent_from = 0;
    bool begun = false;  // a head (1xx or not) for it has started
};
using AnswerPtr = std::shared_ptr<Answer>;

// What the proxy's page shows of one link.
struct LinkView {
    std::string name;         // "<hash>.rns[:port]"
    bool closing = false;     // takes no new request: drops an answer given up
    std::size_t waiting = 0;  // requests waiting for their answers
    double age = 0;           // seconds since it was opened
    std::int64_t sent = -1;   // bytes on the air, as Reticulum counts them (-1: unknown)
    std::int64_t received = -1;
};

// Why a link could not be had, as the browser is told.
struct LinkFailure {
    int status = 0;  // 502 (unreachable, refused), 504 (no answer in time)
    std::string reason;
};

// Whether the request whose bytes begin `request` has a field whose value is a secret
// (Cookie, Authorization, Proxy-Authorization) in its head.
bool carries_secret(std::string_view request);

class Link {
public:
    Link(std::string name, Settings settings) : name_(std::move(name)), settings_(settings) {}

    // Opens the link to `hash`/`port` through zivane.client.HttpClient's connect, then
    // makes its reader. Empty with `failure` set when it cannot (no exception left set).
    static std::shared_ptr<Link> open(PyObject* module, const std::string& hash, int port,
                                      PyObject* identity_path, const Settings& settings,
                                      LinkFailure& failure);

    const std::string& name() const { return name_; }

    // 1 while requests can go out on it, 0 once it has closed or failed.
    bool usable(PyObject* module);

    // What a request's body source says after handing over bytes.
    enum class Feed { More, Done, Failed };
    // What became of a request: written whole; not taken, nothing of it written or read
    // (the link had failed already: another link may take it); failed on the way.
    enum class Sent { Whole, NotTaken, Failed };
    // A request's bytes not yet written: the head and what the body source has handed
    // over. Kept by the caller across links, so a link found closed before any of them
    // went out passes them on whole to the next.
    struct Outbound {
        std::string data;
        bool complete = false;  // the body source said Done
    };

    // Writes one request (`out`, then what `more` hands over until it says Done) and
    // queues `answer` for its reply, in one turn of the link's writer. `more(out)` is
    // called with the GIL held and may release it; it appends body bytes to `out`. Unless
    // Whole, `failure` says why (no exception set); a request cut short while being
    // written also ends the link's use, as its stream would be out of step. A link that
    // turns out closed before the first byte went out ends too, and the request is
    // NotTaken, `out` holding all it had.
    //
    // On a radio link (its channel's messages small), a request whose bytes are all there
    // and few waits a moment (kGatherSeconds) for others: a page's stylesheet and images
    // are asked for at once, and going together they cost one message and one proof
    // instead of one each. Each of them then ends as it would have alone.
    template <class More>
    Sent send(PyObject* module, Outbound& out, const AnswerPtr& answer, More&& more, std::string& failure);
    static constexpr double kGatherSeconds = 0.025;

    // Moves out what `answer` has gained, waiting until there is something or `deadline`
    // passes (false then). Called without the GIL, like abandon().
    struct Taken {
        bool has_head = false;  // `head` is the answer's head, given out for the first time
        http::Head head;
        std::deque<std::string> pieces;
        bool ended = false;
        bool overflowed = false;
        std::string failure;
    };
    bool take(const AnswerPtr& answer, Clock::time_point deadline, Taken& out);

    // Whether bytes arrived on the link within the last `seconds`: an answer queued behind
    // a long one is waiting its turn, not lost.
    bool progressed_within(double seconds) const;

    // The browser connection (or the client) gave up on `answer`: the rest of it is read
    // and dropped, and the link takes no new request. When no other request waits on the
    // link, its use ends at once (tear_down_if_due() then finishes it with the GIL held).
    // Called without the GIL; wakes a take() waiting on `answer`.
    void abandon(const AnswerPtr& answer);

    // Tears the Reticulum link down when its use has ended and nobody did yet, unless a
    // writer is inside send(): that writer does it as it leaves.
    void tear_down_if_due();

    // Ends the link's use: every waiting request fails with `why`, the link is torn down.
    void fail(PyObject* module, const std::string& why);

    // Reticulum's callbacks (GIL held, on its threads).
    void on_ready(PyObject* module, Py_ssize_t ready);
    void on_closed();
    // Every channel message as it comes in, before the buffer's reader takes it (GIL
    // held, on Reticulum's thread, inside its Channel lock): notes which requests had
    // left before the message's bytes arrived.
    void on_message(PyObject* module, PyObject* message);
    // A compact link's resources: offered (whether to take it), progressing, concluded.
    bool on_resource_offer(PyObject* module, PyObject* advertisement);
    void on_resource_progress();
    void on_resource_concluded(PyObject* module, PyObject* resource);

    // Whether the link speaks the compact form.
    bool compact() const { return answers_ != nullptr; }
    // Makes the link speak the compact form (open(), before any request).
    void use_compact();
    // Gathers small requests when the link's channel carries at most `piece` bytes a
    // message and that is below the settings' gather_piece_limit (a radio path); -1: unknown.
    void gather_below(Py_ssize_t piece);

    // What the page shows of it; false once it has closed or failed.
    bool view(PyObject* module, LinkView& out);

    // Whether the channel shows its sequence numbers (set up by open()).
    std::atomic<bool> tracks_sequences{false};

    // Python objects, released with the GIL held only.
    Ref client, link, buffer, channel;

private:
    // Marks a writer inside send(): a teardown asked for meanwhile waits until it leaves,
    // as RNS's buffered writer spins for ever on a link torn down under it.
    struct WriterInside {
        explicit WriterInside(Link& link) : link_(link) { link_.writing_.store(true); }
        ~WriterInside() {
            link_.writing_.store(false);
            link_.tear_down_if_due();
        }
        Link& link_;
    };

    int next_sequence(PyObject* module);
    bool reclaim(const AnswerPtr& answer);
    void note_sent(const AnswerPtr& answer);
    bool begin(const AnswerPtr& answer, int first_sequence, std::string& failure);
    void withdraw(PyObject* module, const AnswerPtr& answer, bool written, const std::string& why);
    enum class Written { Whole, Nothing, Part };
    Written write(PyObject* module, const std::string& data, bool secret, std::string& failure);
    bool frame(const std::string& data, std::string& framed, std::string& failure);
    Written transmit(PyObject* module, const std::string& out, bool secret, std::string& failure);

    // Requests gathered for one message of a radio link, in the link's order. The first
    // one's writer writes them all; the others wait for what became of it.
    struct Gathered {
        std::string frames;
        std::vector<AnswerPtr> members;
        bool secret = false;       // one of them carries a secret: the message goes uncompressed
        bool done = false;         // under monitor_, like the two below
        bool link_ended = false;   // the link had ended before they could go
        Written result = Written::Nothing;
        std::string failure;
    };
    bool gathers(const Outbound& out) const;
    Sent send_gathered(PyObject* module, Outbound& out, const AnswerPtr& answer, sync::MutexGuard& turn,
                       std::string& failure);
    void write_gathered(PyObject* module);
    std::string failure_of_link() const;
    void give_back(PyObject* module, const AnswerPtr& answer, const std::string& why);
    Sent settle(PyObject* module, const AnswerPtr& answer, Written result, bool first_write,
                const std::string& failure);
    void hand_over(PyObject* module, sync::MutexGuard& guard);
    bool deliver(std::string_view input, std::uint64_t stream_at);
    bool decode_and_deliver(std::string& failure);
    bool decode(std::vector<compact::Decoder::Segment>& out, std::string& failure);
    void note_sent_before(long next_sequence);
    bool deliver_event(http::MessageReader::Event event);
    void fail_waiting(const std::string& why);
    bool fail_waiting_locked(const std::string& why);
    bool only_abandoned_waiting() const;
    void retire_locked();
    bool answer_unasked(const Answer& answer) const;

    const std::string name_;
    const Settings settings_;
    const Clock::time_point opened_ = Clock::now();
    PyMutex write_turn_{};  // one request written at a time (see sync.hpp)
    PyMutex read_mutex_{};  // the ready callback's read and hand-over
    std::string inbox_;     // under read_mutex_
    http::MessageReader reader_{http::MessageReader::Kind::Response};  // under read_mutex_
    sync::Monitor monitor_;
    std::deque<AnswerPtr> waiting_;               // under monitor_
    std::atomic<bool> failed_{false};             // written under monitor_, read without it too
    bool interim_ = false;                        // under read_mutex_: reading a 1xx answer
    bool stray_ = false;                          // under read_mutex_: bytes no request asked for
    bool failure_drain_ = false;                  // under read_mutex_: a given-up answer ran too long
    std::string failure_;                         // under monitor_
    std::atomic<Clock::rep> last_bytes_{0};       // when bytes last arrived
    std::atomic<bool> retiring_{false};           // written under monitor_: takes no new request
    std::atomic<bool> teardown_due_{false};       // its use ended: tear it down when no writer is inside
    std::atomic<bool> writing_{false};            // a writer is inside send()
    Clock::time_point drain_deadline_{};          // under monitor_: an abandoned answer ends by then
    std::uint64_t noted_ = 0;                     // under monitor_: stream bytes on_message saw
    std::uint64_t read_ = 0;                      // under read_mutex_: stream bytes read from the buffer
    std::uint64_t message_start_ = 0;             // under read_mutex_: where the answer read now began
    std::unique_ptr<compact::Encoder> requests_;  // under write_turn_; null: plain HTTP/1.1
    std::size_t gather_limit_ = 0;                // frames of one message gathered (0: none)
    std::shared_ptr<Gathered> gathered_;          // under write_turn_: not written yet
    std::unique_ptr<compact::Decoder> answers_;   // under read_mutex_; null: plain HTTP/1.1
    std::string unread_;           // under read_mutex_: stream bytes read, behind a resource to come
    std::uint64_t unread_at_ = 0;  // under read_mutex_: the stream's place of unread_[0]
    // Resources taken, in the stream's order, until their frames are decoded (under monitor_).
    struct Placed {
        std::uint64_t at = 0;  // the stream's place of their frames
        std::string hash, frames;
        bool arrived = false;
    };
    std::deque<Placed> placed_;
    // Under monitor_: the hashes of the latest resources taken and of those that arrived.
    // Reticulum advertises a resource again when its parts are not asked for soon enough:
    // the same one offered twice is neither counted twice nor read twice.
    std::deque<std::string> offered_, concluded_;
};
using LinkPtr = std::shared_ptr<Link>;

// The links by destination. One slot per destination; a request that finds no usable
// link opens one while others asking for the same destination wait for it.
class Destinations {
public:
    // The usable link for `hash`/`port`, opened now when there is none. Empty with
    // `failure` set when it cannot be had; a request that waited while another one tried
    // and failed gets that failure instead of trying again at once.
    LinkPtr get(PyObject* module, const std::string& hash, int port, PyObject* identity_path,
                const Settings& settings, LinkFailure& failure);

    // The open links, for the proxy's page.
    std::vector<LinkView> snapshot(PyObject* module);

    // Every link failed with `why` and forgotten (the proxy stops).
    void close_all(PyObject* module, const std::string& why);

private:
    struct Slot {
        PyMutex open_turn{};
        LinkPtr link;                         // under open_turn
        std::atomic<std::uint64_t> tries{0};  // written under open_turn
        LinkFailure last_failure;             // under open_turn
    };
    std::shared_ptr<Slot> slot(const std::string& key);

    LinkPtr current(Slot& slot);
    void keep(Slot& slot, LinkPtr link);

    PyMutex mutex_{};  // the map and each slot's link, in short steps
    std::map<std::string, std::shared_ptr<Slot>> slots_;
    bool closed_ = false;  // under mutex_: the proxy stops, no link is kept any more
};

// ---- template bodies ------------------------------------------------------------------

template <class More>
Link::Sent Link::send(PyObject* module, Outbound& out, const AnswerPtr& answer, More&& more,
                      std::string& failure) {
    constexpr std::size_t kWriteSize = 64u << 10;
    sync::MutexGuard turn(write_turn_);
    WriterInside inside(*this);
    if (gather_limit_ > 0 && !out.complete && !failed_.load()) {
        Feed feed = more(out.data);  // a request without a body says Done at once
        if (feed == Feed::Failed) {
            failure = "the browser's request ended before its body";
            return Sent::Failed;
        }
        out.complete = feed == Feed::Done;
    }
    if (gathers(out)) return send_gathered(module, out, answer, turn, failure);
    if (gathered_) write_gathered(module);  // those go first: they are ahead in the link's order
    if (!begin(answer, next_sequence(module), failure)) return Sent::NotTaken;
    bool written = false;
    for (;;) {
        if (failed_.load()) {  // ended meanwhile (by its reader): nothing more goes out on it
            failure = failure_of_link();
            return !written && reclaim(answer) ? Sent::NotTaken : Sent::Failed;
        }
        Feed feed = out.complete ? Feed::Done : more(out.data);
        if (feed == Feed::Failed) {
            failure = "the browser's request ended before its body";
            withdraw(module, answer, written, failure);
            return Sent::Failed;
        }
        out.complete = feed == Feed::Done;
        if (out.complete || out.data.size() >= kWriteSize) {
            Written result = write(module, out.data, !written && carries_secret(out.data), failure);
            if (Sent settled = settle(module, answer, result, !written, failure); settled != Sent::Whole)
                return settled;
            if (!std::exchange(written, true)) note_sent(answer);
            out.data.clear();
        }
        if (out.complete) return Sent::Whole;
    }
}

}  // namespace zv::proxy
