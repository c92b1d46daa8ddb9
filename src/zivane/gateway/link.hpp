// The state of one link at the gateway, shared by the link handling (links.cpp) and the
// forwarding of requests (forward.cpp).
#pragma once

#include "gateway/bridge.hpp"
#include "support/sync.hpp"
#include "transport/compact.hpp"
#include "transport/message_stream.hpp"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>

namespace zv::gateway {

struct Link;
using LinkPtr = std::shared_ptr<Link>;

// Threads that serve links: Reticulum's own notification threads where they may
// (enter/leave), and workers started as they are needed. At most Settings::workers of
// each serve at once.
class Workers {
public:
    // With the GIL: queues `link` to be served.
    void submit(LinkPtr link, std::size_t max_threads);
    // With the GIL: whether this thread may serve a link now; leave() when done.
    bool enter(std::size_t max_threads);
    void leave();

private:
    static void thread_main(void* arg);
    sync::Monitor monitor_;  // level 5
    std::deque<LinkPtr> queue_;
    std::size_t threads_ = 0, idle_ = 0;
    std::atomic<std::size_t> serving_{0};
};

struct Gateway {
    Settings settings;
    std::atomic<std::size_t> relayed{0};  // body bytes relayed since the last heap trim
    ConnectionPool pool;
    Workers workers;
    Ref module, rns;                               // GIL
    std::unordered_map<PyObject*, LinkPtr> links;  // GIL; by the RNS.Link object
    // Serves the request whose head the link's reader has just read, in place of the
    // forwarding to the upstream (an application run in this process); empty: forward.
    // Same contract as forward_request.
    std::function<bool(Link&)> handle_request;
};

struct Link {
    GatewayPtr gateway;
    // GIL; dropped when the link closes (they refer back to this state through callbacks)
    Ref link, buffer, channel;
    // Flags read and set without a lock, so that a notification and the reading of a
    // request never let the GIL go (each time they did, Reticulum's own threads took it
    // for a while): a worker parks by clearing `scheduled` and then looks again, and a
    // notifier sets `data_ready` before it tests `scheduled`, so one of the two always
    // sees the other.
    std::atomic<bool> data_ready{false};  // the buffer may hold bytes nobody has read
    std::atomic<bool> closed{false};
    std::atomic<bool> scheduled{false};        // a thread serves the link, or is about to
    std::atomic<std::int64_t> head_since{0};   // when an unfinished head was left waiting; 0: none
    std::atomic<std::int64_t> expired_for{0};  // head_since of a head the sweep found too slow
    // Only to sleep on while a body is awaited (level 5); `waiters` tells notifiers to wake it.
    sync::Monitor wake;
    std::atomic<int> waiters{0};
    // The answer to the request being served, for the log: its status (from the first
    // status line written, 1xx aside), the bytes written for it, and the gateway's own
    // reason when it answered in the upstream's place. Atomics: an application's answer
    // may be written from another thread.
    std::atomic<int> answer_status{0};
    std::atomic<std::uint64_t> answer_bytes{0};
    std::string answer_note;  // only the thread serving the link
    // only the thread serving the link
    std::string inbox;  // bytes read from the link, consumed from `inbox_pos`
    std::size_t inbox_pos = 0;
    http::MessageReader reader{http::MessageReader::Kind::Request};
    // The link's form, told by the first byte the peer sent: plain HTTP/1.1, or the compact
    // form (transport/compact.hpp), whose frames become HTTP/1.1 for `reader` as they are
    // read and whose answers are turned into frames as they are written. With the GIL (the
    // reading and the writing of an answer may happen on two threads).
    bool form_known = false;
    std::unique_ptr<compact::Decoder> requests;
    std::unique_ptr<compact::Encoder> answers;
};

// Outcome of waiting for the next event of the link's request stream.
enum class Pull { Event, Parked, Closed, TimedOut };

// The next reader event, reading from the link as needed. With `may_park`, a link with
// nothing to read is given back (Parked: the worker must let go of it); otherwise waits
// up to the read time-out. GIL held.
Pull pull(Link& link, bool may_park, http::MessageReader::Event& event);

// Writes `data` on the link, paced; false when the link is gone (the state is closed).
bool write_link(Link& link, std::string_view data);

// On a compact link, the answers written next are to `request` (one to HEAD has no body).
void expect_answer_to(Link& link, const http::Head& request);

// A short text/plain answer decided here (`head`: the request was HEAD, no body).
bool answer(Link& link, int status, std::string_view text, bool head);

// Lets the last answer be delivered, then tears the link down.
void end_link(Link& link);

// Forwards the request whose head the reader has just read, with its body, and writes
// the answer on the link. False when the link has ended.
bool forward_request(Link& link);

// The hex hash of the identity the peer proved on the link, or "" when it has not.
std::string remote_identity(Link& link);

// Serves the request whose head the link's reader has just read (forwarded, or answered by
// the application), then logs it: one line per request unless --quiet, one for every
// answer the gateway gave in the upstream's place. Same contract as forward_request.
bool serve_and_log(Link& link);
// Logs an answer the gateway gave before a request's head was whole (a 400 or 408).
void log_refused_head(Link& link);

// Whether a request field a peer sent is withheld from the upstream and the application:
// any spelling of the identity field (case ignored, '_' taken as '-'), and any name
// with '_' at all, since CGI and WSGI servers give "X_A" and "X-A" the same key, so a
// trusted field could come in under the other spelling (nginx drops them too).
bool withheld_field(std::string_view name);

// Whether --allow lets a link identified as `identity` ("" for none) in.
bool allowed(const Settings& settings, const std::string& identity);

// Reads and drops the rest of the request body; false when the link ended meanwhile.
bool skip_body(Link& link);

std::int64_t monotonic_ns();

}  // namespace zv::gateway
