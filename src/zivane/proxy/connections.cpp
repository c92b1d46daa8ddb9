// One browser connection: requests read from the socket, checked, forwarded on their
// destination's link, and each answer relayed back as it arrives (and continued from a
// new link when its link dies half-way and the answer allows it: resume.hpp); GETs the
// cache can answer are answered from it (cache.hpp).
#include "common/service.hpp"
#include "proxy/proxy.hpp"
#include "proxy/resume.hpp"
#include "proxy/target.hpp"
#include "support/ascii.hpp"
#include "support/globals.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace zv::proxy {
namespace {

using Event = http::MessageReader::Event;

Clock::time_point after(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The browser's end of the connection: the request reader and the bytes it has not yet
// taken. Socket waits let the GIL go.
class Browser {
public:
    explicit Browser(net::Socket& socket) : socket_(socket) {}

    // The next event of the request reader, reading when it needs more. Error for input
    // that cannot be followed (reader.error()) or a socket that failed (`broken`).
    Event next(double timeout) {
        for (;;) {
            Event event = reader.next(pending_);
            if (event != Event::NeedMore) return event;
            if (!fill(timeout)) return Event::Error;
        }
    }

    // The next request's head, or the end of the connection: its first byte within `idle`
    // seconds, the rest within `whole` seconds of it. Each read alone is not bounded enough:
    // a head sent a byte at a time would hold the connection as long as it likes.
    Event next_head(double idle, double whole) {
        Clock::time_point deadline = Clock::time_point::max();
        for (;;) {
            Event event = reader.next(pending_);
            if (event != Event::NeedMore) return event;
            if (reader.between_messages() || whole < 0) {  // below zero: no bound
                if (!fill(reader.between_messages() ? idle : whole)) return Event::Error;
                continue;
            }
            if (deadline == Clock::time_point::max()) deadline = after(whole);
            double left = std::chrono::duration<double>(deadline - Clock::now()).count();
            if (left <= 0) {
                io_error = net::IoError{net::IoStatus::TimedOut, 0, "the request head took too long"};
                broken = true;
                return Event::Error;
            }
            if (!fill(left)) return Event::Error;
        }
    }

    // Writes with the GIL released when this thread holds it (`holds_gil`); nothing when
    // `muted` (a revalidation after the browser had its stored answer).
    bool write(std::string_view data) {
        if (muted) return true;
        net::IoError error;
        auto write_all = [&] { return socket_.write_all(data.data(), data.size(), kWriteTimeout, error); };
        return holds_gil ? sync::without_gil(write_all) : write_all();
    }

    http::MessageReader reader{http::MessageReader::Kind::Request};
    net::IoError io_error;
    bool broken = false;
    bool holds_gil = true;
    bool muted = false;
    double waited = 0;  // seconds spent waiting for the browser's bytes, in all

    // What became of the request being served, for the proxy's log.
    struct Outcome {
        Clock::time_point start = Clock::now();
        int status = 0;           // 0: no answer went out
        std::uint64_t bytes = 0;  // body bytes relayed to the browser
        std::string refusal;      // the proxy's own reason, when it answered itself
        const char* stored = "";  // how a stored answer served it, when one did
    } outcome;
    std::string peer() const { return peer_name(socket_.fd()); }
    // Whether the browser is on this machine (its address is a loopback one).
    bool local() const {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        if (::getpeername(socket_.fd(), reinterpret_cast<sockaddr*>(&address), &size) < 0) return false;
        if (address.ss_family == AF_INET)
            return (ntohl(reinterpret_cast<sockaddr_in*>(&address)->sin_addr.s_addr) >> 24) == 127;
        const in6_addr& v6 = reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr;
        return address.ss_family == AF_INET6 &&
               (IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127));
    }

private:
    static constexpr double kWriteTimeout = 60.0;

    static std::string peer_name(int fd) {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size) < 0) return "-";
        char host[INET6_ADDRSTRLEN] = "-";
        char text[INET6_ADDRSTRLEN + 16];
        if (address.ss_family == AF_INET6) {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
            ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
            std::snprintf(text, sizeof text, "[%s]:%d", host, ntohs(v6->sin6_port));
            return text;
        }
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        std::snprintf(text, sizeof text, "%s:%d", host, ntohs(v4->sin_port));
        return text;
    }

    // Reads what the socket has within `timeout` into `pending_`; false, `broken` set,
    // when nothing came.
    bool fill(double timeout) {
        Clock::time_point start = Clock::now();
        std::size_t got = sync::without_gil(
            [&] { return socket_.read_some(buffer_.data(), buffer_.size(), timeout, io_error); });
        waited += std::chrono::duration<double>(Clock::now() - start).count();
        pending_ = std::string_view(buffer_.data(), got);
        broken = got == 0;
        return !broken;
    }

    net::Socket& socket_;
    std::string buffer_ = std::string(64u << 10, '\0');
    std::string_view pending_;
};

// A plain-text answer that ends the connection.
void refuse(Browser& browser, int status, const std::string& reason) {
    browser.outcome.status = status;
    browser.outcome.refusal = reason;
    std::string body = reason + "\n";
    std::string text =
        "HTTP/1.1 " + std::to_string(status) + " " + std::string(http::reason_phrase(status)) +
        "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    browser.write(text);
}

// Content-Length or chunked coding as the reader found them, whatever the sender's fields
// say besides: a Content-Length named in Connection, or one beside chunked coding, must
// not leave the far side to find the body's end by rules of its own.
void frame_as_read(http::Head& head, bool chunked) {
    head.remove("content-length");
    head.remove("transfer-encoding");
    if (head.framing == http::Framing::Length)
        head.set("Content-Length", std::to_string(head.content_length));
    if (chunked) head.set("Transfer-Encoding", "chunked");
}

// The request as it goes out on the link: origin-form, the destination in Host, nothing
// that concerns the browser's connection to the proxy only.
std::string outgoing_head(http::Head head, const Target& target, bool slim) {
    http::drop_hop_by_hop(head);
    head.remove("expect");  // the proxy answers 100-continue itself
    if (slim) std::erase_if(head.fields, [](const http::Field& field) { return slim_drops(field.name); });
    head.target = target.path;
    head.minor_version = 1;
    const std::string* host = head.find("host");
    if (!host || *host != target.authority) head.set("Host", target.authority);
    frame_as_read(head, head.framing == http::Framing::Chunked);
    return http::serialize_request(head);
}

// Writes one answer to the browser in the framing the browser can take.
class Relay {
public:
    Relay(Browser& browser, const http::Head& request)
        : browser_(browser), http10_(request.minor_version == 0), closing_(request.ends_connection()) {}

    bool started() const { return started_; }
    std::uint64_t relayed() const { return relayed_; }  // body bytes written so far

    bool begin(http::Head head, bool head_request) {
        started_ = true;
        browser_.outcome.status = head.status;
        no_body_ = head_request || head.framing == http::Framing::None;
        http::drop_hop_by_hop(head);
        if (!no_body_) {  // without a body, a Content-Length left describes the resource
            chunked_ = head.framing == http::Framing::Chunked && !http10_;
            closing_ = closing_ || (head.framing != http::Framing::Length && !chunked_);
            frame_as_read(head, chunked_);
        }
        if (closing_) head.set("Connection", "close");
        head.minor_version = 1;
        return browser_.write(http::serialize_response(head));
    }

    bool pieces(const std::deque<std::string>& pieces) {
        if (no_body_ || pieces.empty()) return true;
        for (const std::string& piece : pieces) relayed_ += piece.size();
        browser_.outcome.bytes = relayed_;
        if (!chunked_ && pieces.size() == 1) return browser_.write(pieces.front());
        std::string out;
        for (const std::string& piece : pieces)
            chunked_ ? http::append_chunk(out, piece) : void(out += piece);
        return browser_.write(out);
    }

    // True when the connection goes on to the next request.
    bool finish() { return (!chunked_ || browser_.write(http::kLastChunk)) && !closing_; }

private:
    Browser& browser_;
    const bool http10_;
    bool closing_;
    bool started_ = false;
    bool no_body_ = false;
    bool chunked_ = false;
    std::uint64_t relayed_ = 0;
};

// Serves the cache's stored answer `how`, without the GIL. True when the connection can
// take another request.
bool serve_stored_released(Browser& browser, const http::Head& request, cache::Visit& visit,
                           cache::Served how) {
    static constexpr const char* kNotes[] = {
        "", "cached", "cached, stale", "cached, confirmed", "offline copy", "cached, the site failing"};
    browser.outcome.stored = kNotes[int(how)];
    Relay relay(browser, request);
    bool has_body = false;
    http::Head head = visit.stored_head(how, has_body);
    if (!relay.begin(std::move(head), !has_body)) return false;
    std::deque<std::string> pieces(1);
    while (has_body && visit.read_body(pieces.front()))
        if (!relay.pieces(pieces)) return false;
    return (!has_body || visit.body_whole()) && relay.finish();
}

// The site could not be reached: the stored copy when there is one that may stand in,
// else the proxy's own answer (without the GIL).
bool stand_in_released(Browser& browser, const http::Head& request, cache::Visit& visit, int status,
                       const std::string& why) {
    visit.note_unreachable();
    if (visit.can_stand_in()) return serve_stored_released(browser, request, visit, cache::Served::Offline);
    refuse(browser, status, why);
    return false;
}

// `work()` with the GIL released, the browser told so (the GIL is held on entry and exit).
template <class Work>
bool released(Browser& browser, Work&& work) {
    return sync::without_gil([&] {
        browser.holds_gil = false;
        bool result = work();
        browser.holds_gil = true;
        return result;
    });
}

// How relaying an answer from one link ended: the connection takes another request, or
// it closes, or the link failed half-way through a body that may be continued.
enum class Relayed { Next, Close, Cut };

// Relays `answer` as it arrives, without the GIL, storing it in the cache as it goes when
// it may be; the head of a continuation is checked, not relayed. `fail_link` says why the
// link must go, when it must.
Relayed relay_released(Proxy& proxy, Browser& browser, Relay& relay, Link& link, const AnswerPtr& answer,
                       const http::Head& request, std::optional<resume::Plan>& plan, cache::Visit& visit,
                       std::string& fail_link) {
    const Settings& settings = proxy.options().settings;
    double timeout = settings.request_timeout;
    std::string why;
    cache::Served instead = cache::Served::None;  // the stored answer goes out once this one is read
    auto stand_in = [&](int status, const std::string& reason) {
        return stand_in_released(browser, request, visit, status, reason) ? Relayed::Next : Relayed::Close;
    };
    for (;;) {
        Link::Taken taken;
        if (!link.take(answer, after(timeout), taken)) {
            if (!relay.started() && link.progressed_within(timeout))
                continue;  // queued behind another answer
            why = link.name() + " did not answer in time (" + std::to_string(int(timeout)) + " s)";
            fail_link = why;  // a late answer would be taken for the next request's
            if (!relay.started()) return stand_in(504, why);
            return plan ? Relayed::Cut : Relayed::Close;  // silent as a dead link
        }
        timeout = settings.read_timeout;
        bool continued = taken.has_head && plan && plan->continuing;
        if (continued && !resume::continues(taken.head, *plan, why)) {
            link.abandon(answer);  // the browser sees the body cut short, as without resuming
            return Relayed::Close;
        }
        if (continued) plan->continuing = false;
        if (taken.has_head && !continued) instead = visit.on_head(taken.head);
        if (instead != cache::Served::None) {
            if (!taken.ended && taken.failure.empty() && !taken.overflowed) continue;
            return serve_stored_released(browser, request, visit, instead) && taken.ended ? Relayed::Next
                                                                                          : Relayed::Close;
        }
        if (taken.has_head && !continued) plan = resume::plan_for(request, taken.head);
        // Stored before the browser has its last byte: its next request may come at once.
        visit.on_pieces(taken.pieces);
        if (taken.ended) visit.on_end();
        if ((taken.has_head && !continued && !relay.begin(std::move(taken.head), answer->head_request)) ||
            !relay.pieces(taken.pieces)) {
            link.abandon(answer);
            return Relayed::Close;
        }
        if (taken.ended) return relay.finish() ? Relayed::Next : Relayed::Close;
        if (taken.overflowed) return Relayed::Close;
        if (!taken.failure.empty()) {
            if (!relay.started()) return stand_in(502, taken.failure);
            return plan ? Relayed::Cut : Relayed::Close;
        }
    }
}

// How long a request whose stored copy could stand in waits for its link: a path not
// known yet gets a short wait, a known one the time Reticulum allows one link request
// along it (6 s a hop, and some for the first): the copy is worth more than minutes of
// searching and retrying. Never longer than `connect`.
double wait_with_copy(Proxy& proxy, const std::string& hash, double connect) {
    constexpr double kShortPathWait = 5.0, kPerHop = 6.0, kFirstHop = 5.0;
    Ref rns = module_global(proxy.module(), ZV_STR("RNS"));
    Ref transport = rns ? attr(rns.get(), ZV_STR("Transport")) : Ref{};
    Ref bytes =
        transport ? Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(hash.size() / 2))) : Ref{};
    if (!bytes) return PyErr_Clear(), connect;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };  // lower-case hex, checked
    char* out = PyBytes_AS_STRING(bytes.get());
    for (std::size_t i = 0; i + 1 < hash.size(); i += 2)
        out[i / 2] = char(nibble(hash[i]) << 4 | nibble(hash[i + 1]));
    Ref known = call_method(transport.get(), ZV_STR("has_path"), {bytes.get()});
    Ref hops = known ? call_method(transport.get(), ZV_STR("hops_to"), {bytes.get()}) : Ref{};
    long count = hops && PyLong_Check(hops.get()) ? PyLong_AsLong(hops.get()) : -1;
    int has_path = known ? PyObject_IsTrue(known.get()) : -1;
    PyErr_Clear();
    if (has_path < 0 || count < 0) return connect;
    double wait = has_path ? kPerHop * double(std::max(1L, count)) + kFirstHop : kShortPathWait;
    return connect < 0 ? wait : std::min(connect, wait);
}

// The link for the request's destination, opened when there is none (waiting less when a
// stored copy could answer instead: `copy_stands_in`).
LinkPtr link_for(Proxy& proxy, const Target& target, LinkFailure& failure, bool copy_stands_in = false) {
    const Options& options = proxy.options();
    Settings settings = options.settings;
    if (copy_stands_in)
        settings.connect_timeout = wait_with_copy(proxy, target.hash, settings.connect_timeout);
    Ref identity_path = options.identity_path
                            ? Ref::steal(PyUnicode_FromString(options.identity_path->c_str()))
                            : Ref::none();
    LinkPtr link = identity_path ? proxy.destinations().get(proxy.module(), target.hash, target.port,
                                                            identity_path.get(), settings, failure)
                                 : LinkPtr{};
    PyErr_Clear();
    proxy.directory().note_answer(target.hash, target.port, link != nullptr);
    return link;
}

// Hands the request's body to the link's writer, piece by piece as the browser sends it;
// a chunked body stays chunked. The link's write turn is held meanwhile, so the browser
// may keep it waiting `timeout` seconds in all, not per read: a body that trickles in must
// not hold every request to that destination.
auto body_source(Browser& browser, const http::Head& request, double timeout) {
    bool chunked = request.framing == http::Framing::Chunked;
    return [&browser, chunked, timeout, until = browser.waited + timeout](std::string& out) {
        double left = timeout < 0 ? timeout : until - browser.waited;
        if (timeout >= 0 && left <= 0) {
            browser.io_error = net::IoError{net::IoStatus::TimedOut, 0, "the request body took too long"};
            browser.broken = true;
            return Link::Feed::Failed;
        }
        Event event = browser.next(left);
        if (event == Event::Body) {
            chunked ? http::append_chunk(out, browser.reader.piece()) : void(out += browser.reader.piece());
            return Link::Feed::More;
        }
        if (event != Event::End) return Link::Feed::Failed;
        if (chunked) out += http::kLastChunk;
        return Link::Feed::Done;
    };
}

// Asks, on a new link to the destination, for the rest of the answer `plan` follows.
bool ask_for_the_rest(Proxy& proxy, const http::Head& request, const Target& target, const resume::Plan& plan,
                      LinkPtr& link, AnswerPtr& answer) {
    Link::Outbound outbound{
        outgoing_head(resume::continuation(request, plan), target, proxy.options().settings.slim)};
    auto no_body = [](std::string&) { return Link::Feed::Done; };
    Link::Sent sent = Link::Sent::NotTaken;
    std::string why;
    for (int tries = 0; tries < 2 && sent == Link::Sent::NotTaken; ++tries) {
        LinkFailure failure;
        link = link_for(proxy, target, failure);
        if (!link) return false;
        answer = std::make_shared<Answer>(false);
        sent = link->send(proxy.module(), outbound, answer, no_body, why);
    }
    return sent == Link::Sent::Whole;
}

// Relays `answer` with the GIL released all along (the GIL is held on entry and exit). A
// body whose link dies half-way goes on from a new link when its answer allows it.
bool relay_answer(Proxy& proxy, Browser& browser, LinkPtr link, AnswerPtr answer, const http::Head& request,
                  const Target& target, cache::Visit& visit) {
    Relay relay(browser, request);
    std::optional<resume::Plan> plan;  // known once the head shows the answer can be continued
    for (;;) {
        std::string fail_link;
        Relayed relayed = Relayed::Close;
        released(browser, [&] {
            relayed = relay_released(proxy, browser, relay, *link, answer, request, plan, visit, fail_link);
            return true;
        });
        if (!fail_link.empty()) link->fail(proxy.module(), fail_link);
        if (relayed != Relayed::Cut) return relayed == Relayed::Next;
        plan->received = relay.relayed();
        if (!plan->another_try() || !ask_for_the_rest(proxy, request, target, *plan, link, answer))
            return false;
    }
}

bool expects_continue(const http::Head& request) {
    const std::string* expect = request.find("expect");
    return expect && request.framing != http::Framing::None && ascii::equals_lower(*expect, "100-continue");
}

// A request to the proxy itself: its page, or a name bound from it. The connection ends
// with the answer.
bool serve_own_request(Proxy& proxy, Browser& browser, const http::Head& request) {
    std::string body;
    double timeout = proxy.options().settings.read_timeout, until = browser.waited + timeout;
    while (request.framing != http::Framing::None) {
        double left = timeout < 0 ? timeout : until - browser.waited;  // the whole form, not each read
        if (timeout >= 0 && left <= 0) return false;
        Event event = browser.next(left);
        if (event == Event::End) break;
        if (event != Event::Body) return false;
        body.append(browser.reader.piece());
        if (body.size() > kMaxFormBody) {
            refuse(browser, 413, "the form is larger than a name needs");
            return false;
        }
    }
    browser.write(answer_own_request(proxy, {request, body, browser.local()}, browser.outcome.status));
    return false;
}

bool forward(Proxy& proxy, Browser& browser, const http::Head& request, const Target& target,
             cache::Visit& visit, bool body_read);

// Answers the request whose head the reader has just read: from the cache when it can,
// else from its destination. True when the connection can take another request.
bool serve_request(Proxy& proxy, Browser& browser) {
    const http::Head request = browser.reader.head();
    if (addressed_to_proxy(proxy, request)) return serve_own_request(proxy, browser, request);
    const std::string* host = request.find("host");
    Target target;
    Refusal refusal;
    if (!read_target(request.method, request.target, host ? *host : std::string(), target, refusal)) {
        refuse(browser, refusal.status, refusal.reason);
        return false;
    }
    std::string destination = target.hash + ":" + std::to_string(target.port);
    cache::Visit visit(proxy.cache(), request, "http://" + destination + target.path, destination);
    cache::Served ready = visit.ready();
    bool goes_on = true;  // what serving a stored answer left of the connection
    if (ready != cache::Served::None) {
        if (browser.next(0) != Event::End) return false;  // a request without a body: its end is known
        goes_on = released(browser, [&] { return serve_stored_released(browser, request, visit, ready); });
        if (ready != cache::Served::WhileRevalidating || !visit.claim_background()) return goes_on;
        browser.muted = true;  // the browser has its answer: what follows only refreshes the store
    }
    Browser::Outcome served = browser.outcome;
    bool answered = forward(proxy, browser, request, target, visit, browser.muted);
    browser.muted = false;
    if (ready == cache::Served::None) return answered;
    browser.outcome = served;
    return goes_on;
}

// Forwards the request to its destination and relays the answer; `body_read`: the
// request's end was read already (it had no body). True when the connection can take
// another request.
bool forward(Proxy& proxy, Browser& browser, const http::Head& request, const Target& target,
             cache::Visit& visit, bool body_read) {
    const Options& options = proxy.options();
    LinkPtr link;
    auto answer = std::make_shared<Answer>(request.method == "HEAD");
    Link::Outbound outbound{outgoing_head(visit.outgoing(request), target, options.settings.slim), body_read};
    bool told_to_continue = false;
    Link::Sent sent = Link::Sent::NotTaken;
    std::string why;
    // A link that failed since it was found takes nothing: one more try gets a new one.
    for (int tries = 0; tries < 2 && sent == Link::Sent::NotTaken; ++tries) {
        LinkFailure failure;
        link = link_for(proxy, target, failure, visit.can_stand_in());
        if (!link)
            return released(browser, [&] {
                return stand_in_released(browser, request, visit, failure.status ? failure.status : 502,
                                         failure.reason);
            });
        if (!told_to_continue && expects_continue(request) && !browser.write("HTTP/1.1 100 Continue\r\n\r\n"))
            return false;
        told_to_continue = true;
        sent = link->send(proxy.module(), outbound, answer,
                          body_source(browser, request, options.settings.read_timeout), why);
    }
    if (sent != Link::Sent::Whole) {
        bool late = browser.broken && browser.io_error.status == net::IoStatus::TimedOut;
        if (late) return refuse(browser, 408, "the request body did not arrive in time"), false;
        return released(browser, [&] { return stand_in_released(browser, request, visit, 502, why); });
    }
    return relay_answer(proxy, browser, link, answer, request, target, visit);
}

// Seconds a head may take after its first byte: no longer than a connection may stay idle,
// nor than a silence within a message may last (a bound below zero is none).
double head_time(const Options& options) {
    double idle = options.idle_timeout, read = options.settings.read_timeout;
    if (idle < 0) return read;
    if (read < 0) return idle;
    return std::min(idle, read);
}

// One line on standard error for a request served, or refused before it could be (the
// proxy's own answers carry their reason); `quiet` keeps only those refusals.
void log_request(Proxy& proxy, Browser& browser, std::string method, std::string target) {
    const Browser::Outcome& outcome = browser.outcome;
    if (proxy.options().quiet && outcome.refusal.empty()) return;
    service::Served served;
    served.peer = browser.peer();
    served.method = std::move(method);
    served.target = std::move(target);
    served.status = outcome.status;
    served.bytes = outcome.bytes;
    served.seconds = std::chrono::duration<double>(Clock::now() - outcome.start).count();
    if (!outcome.refusal.empty())
        served.note = "refused: " + outcome.refusal;
    else
        served.note = outcome.stored;
    service::log_served(proxy.module(), served);
}

}  // namespace

void serve_connection(const std::shared_ptr<Proxy>& proxy, net::Socket& socket) {
    Browser browser(socket);
    const Options& options = proxy->options();
    while (!proxy->stopping()) {
        browser.outcome = {};
        Event event = browser.next_head(options.idle_timeout, head_time(options));
        if (event == Event::Error) {
            if (!browser.broken)
                refuse(browser, browser.reader.error_status(), "bad request: " + browser.reader.error());
            else if (browser.io_error.status == net::IoStatus::TimedOut && !browser.reader.between_messages())
                refuse(browser, 408, "the request head did not arrive in time");
            if (browser.outcome.status) log_request(*proxy, browser, "-", "-");
            return;
        }
        if (event != Event::Head) return;
        const http::Head& head = browser.reader.head();
        std::string method = head.method, target = head.target;
        bool goes_on = serve_request(*proxy, browser);
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        log_request(*proxy, browser, method, target);
        if (!goes_on) return;
    }
}

}  // namespace zv::proxy
