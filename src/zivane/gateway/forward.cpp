// One request through the gateway: its head made fit for the upstream, its body streamed
// up as it arrives from the link, and the answer streamed back down as it arrives from
// the upstream. Neither body is ever held whole: what is in flight is one read from the
// link (64 KiB at most) going up, one read from the upstream going down, and a write on
// the link only returns once the link's window took it, so a slow link stops the
// reading of the upstream.
#include "gateway/link.hpp"

#include "common/service.hpp"
#include "support/ascii.hpp"
#include "support/globals.hpp"
#include "transport/reticulum_io.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace zv::gateway {
namespace {

using Event = http::MessageReader::Event;

constexpr std::size_t kChunk = 64 * 1024;
// Below this, bytes for the link wait up to kCoalesceSeconds for more from the upstream.
constexpr std::size_t kCoalesce = 16 * 1024;
constexpr double kCoalesceSeconds = 0.002;

bool readable_soon(net::Socket& socket) {
    return sync::without_gil([&] { return socket.readable_within(kCoalesceSeconds); });
}

// The head as the upstream gets it. Framing fields are set from what this side read, so
// that a Connection field naming them cannot make the two ends disagree on the body.
void prepare_head(http::Head& head, const Settings& settings, const std::string& identity) {
    std::erase_if(head.fields, [](const http::Field& field) { return withheld_field(field.name); });
    http::drop_hop_by_hop(head);
    if (head.framing == http::Framing::Length)
        head.set("Content-Length", std::to_string(head.content_length));
    if (head.framing == http::Framing::Chunked) {
        head.remove("content-length");
        head.set("Transfer-Encoding", "chunked");
    }
    if (!identity.empty()) head.set("X-Reticulum-Identity", identity);
    if (settings.set_host)
        head.set("Host", settings.host);
    else if (!head.find("host"))
        head.set("Host", settings.upstream.authority);
    const std::string& prefix = settings.upstream.prefix;
    if (!prefix.empty() && head.target.starts_with('/')) head.target = prefix + head.target;
}

// An answer decided here in place of the upstream's, once the request body is read.
bool refuse(Link& link, bool body_pending, int status, const std::string& text, bool head) {
    if (body_pending && !skip_body(link)) return false;
    if (answer(link, status, text, head)) return true;
    return false;
}

// What the socket takes at once goes with the GIL held: letting it go for a system call
// that does not wait only gave Reticulum's threads the GIL for a while.
bool upstream_write(net::Socket& socket, const std::string& data, double timeout, net::IoError& error) {
    std::size_t done = socket.write_now(data.data(), data.size(), error);
    if (error) return false;
    if (done == data.size()) return true;
    return sync::without_gil(
        [&] { return socket.write_all(data.data() + done, data.size() - done, timeout, error); });
}

// What became of sending the request up.
enum class Sent { Done, LinkEnded, UpstreamFailed };

// The head, then the body as it comes off the link. The head goes at once, so that the
// upstream sees the request begun while a slow link is still bringing the body, and does
// not take the connection for idle and close it. A failed write to the upstream stops
// the writing but not the reading of the body: the link stays at a message boundary,
// and the upstream may still have answered (a 413 before it closed, say).
Sent send_request(Link& link, net::Socket& socket, const http::Head& head, std::string out) {
    const Settings& settings = link.gateway->settings;
    net::IoError error;
    bool writing = true;
    auto flush = [&] {
        if (writing && !upstream_write(socket, out, settings.upstream_timeout, error)) writing = false;
        out.clear();
    };
    flush();
    if (head.framing == http::Framing::None) return writing ? Sent::Done : Sent::UpstreamFailed;
    const bool chunked = head.framing == http::Framing::Chunked;
    for (;;) {
        Event event;
        Pull pulled = pull(link, false, event);
        if (pulled != Pull::Event || event == Event::Error) {
            if (pulled == Pull::TimedOut) answer(link, 408, "Request timeout", false);
            if (pulled == Pull::Event) answer(link, link.reader.error_status(), link.reader.error(), false);
            if (pulled != Pull::Closed) end_link(link);
            return Sent::LinkEnded;
        }
        if (event == Event::Body) {
            if (chunked)
                http::append_chunk(out, link.reader.piece());
            else
                out.append(link.reader.piece());
            if (out.size() >= kChunk) flush();
        } else if (event == Event::End) {
            if (chunked) out.append(http::kLastChunk);
            flush();
            return writing ? Sent::Done : Sent::UpstreamFailed;
        }
    }
}

// What became of relaying the answer.
enum class Relay { Reusable, Close, Stale, LinkEnded };

struct Answer {
    http::MessageReader reader{http::MessageReader::Kind::Response};
    std::string buffer = std::string(kChunk, '\0');
    std::string out;
    bool any_byte = false, head_read = false, chunked = false, close_after = false;
    bool written = false;  // some of the answer went out on the link
};

// The answer's head as the link gets it: a body of unknown length, or one the upstream
// chunked, goes chunked (the link stays usable for the next request).
void prepare_answer_head(Answer& a) {
    http::Head head = a.reader.head();
    a.close_after = head.ends_connection() || head.framing == http::Framing::UntilClose;
    a.chunked = head.framing == http::Framing::Chunked || head.framing == http::Framing::UntilClose;
    http::drop_hop_by_hop(head);
    if (a.chunked) {
        head.remove("content-length");
        head.set("Transfer-Encoding", "chunked");
    } else if (head.framing == http::Framing::Length) {
        head.set("Content-Length", std::to_string(head.content_length));
    }
    if (head.reason.empty()) head.reason = std::string(http::reason_phrase(head.status));
    a.out.append(http::serialize_response(head));
    a.head_read = true;
}

// What the answer has ready goes out on the link; false when the link is gone.
bool send_out(Link& link, Answer& a) {
    if (a.out.empty()) return true;
    a.written = true;
    if (!write_link(link, a.out)) return false;
    a.out.clear();
    return true;
}

// The upstream failed the answer: a 502 or 504 in its place while nothing of it went
// out (what was held back is dropped), else the answer is cut off where it is and the
// link ends (the peer cannot tell the rest).
Relay fail_answer(Link& link, Answer& a, int status, const std::string& text, bool head) {
    // On a compact link, an answer whose body goes as a resource has not left at all until
    // that resource is whole: the peer may be told the failure as if nothing had been written.
    if (a.written && !(link.answers && link.answers->abandon_unsent())) {
        end_link(link);
        return Relay::LinkEnded;
    }
    return answer(link, status, text, head) ? Relay::Close : Relay::LinkEnded;
}

// Reads more of the answer from the upstream into `input`; a Relay when the answer
// cannot go on, else nothing (std::nullopt-like: Relay::Reusable is never returned).
bool read_upstream(Link& link, net::Socket& socket, Answer& a, std::string_view& input, Relay& outcome,
                   bool head) {
    const Settings& settings = link.gateway->settings;
    net::IoError error;
    std::size_t n = sync::without_gil(
        [&] { return socket.read_some(a.buffer.data(), a.buffer.size(), settings.upstream_timeout, error); });
    if (n > 0) {
        a.any_byte = true;
        input = std::string_view(a.buffer.data(), n);
        return true;
    }
    if (error.status == net::IoStatus::Closed) {
        if (!a.any_byte) return outcome = Relay::Stale, false;
        a.reader.end_of_input();
        input = {};
        return true;
    }
    if (error.status == net::IoStatus::TimedOut)
        outcome = fail_answer(link, a, 504, "Gateway timeout: the upstream did not answer in time", head);
    else
        outcome = fail_answer(link, a, 502,
                              "Bad gateway: reading the upstream failed: " + net::describe(error), head);
    return false;
}

Relay relay_answer(Link& link, net::Socket& socket, bool head) {
    Answer a;
    a.reader.expect_no_body(head);
    std::string_view input;
    for (;;) {
        Event event = a.reader.next(input);
        if (event == Event::NeedMore) {
            Relay outcome = Relay::Close;
            // A little that has come is held back a moment for what follows at once (a
            // server writing its head and its body apart): one message on the link
            // instead of two. Anything larger, or a pause, goes out.
            if (a.out.size() < kCoalesce && !a.out.empty() && readable_soon(socket)) {
                if (!read_upstream(link, socket, a, input, outcome, head)) return outcome;
                continue;
            }
            if (!send_out(link, a)) return Relay::LinkEnded;
            if (!read_upstream(link, socket, a, input, outcome, head)) return outcome;
        } else if (event == Event::Head) {
            int status = a.reader.head().status;
            if (status == 101)
                return fail_answer(link, a, 502, "Bad gateway: the upstream switched protocols", head);
            if (status >= 200) prepare_answer_head(a);
        } else if (event == Event::Body) {
            if (a.chunked)
                http::append_chunk(a.out, a.reader.piece());
            else
                a.out.append(a.reader.piece());
            link.gateway->relayed.fetch_add(a.reader.piece().size(), std::memory_order_relaxed);
        } else if (event == Event::End) {
            if (!a.head_read) continue;  // an interim 1xx answer, not passed on
            if (a.chunked) a.out.append(http::kLastChunk);
            if (!send_out(link, a)) return Relay::LinkEnded;
            // Bytes beyond the answer came with it: the upstream answered something not
            // asked, and the connection is out of step.
            return a.close_after || !input.empty() ? Relay::Close : Relay::Reusable;
        } else {
            return fail_answer(link, a, 502,
                               "Bad gateway: the upstream sent an invalid answer: " + a.reader.error(), head);
        }
    }
}

// Whether the request may be sent a second time when a kept connection turns out closed
// without an answer: the upstream may have acted on it before closing, so only a request
// that means the same done twice, and has no body to read off the link again.
bool may_repeat(const http::Head& head) {
    static constexpr std::string_view idempotent[] = {"GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"};
    return head.framing == http::Framing::None &&
           std::ranges::find(idempotent, head.method) != std::end(idempotent);
}

std::string where(const Upstream& upstream) {
    return upstream.unix_socket ? "unix:" + upstream.host : upstream.authority;
}

// A log line when a connection to the upstream took more than a second to open (or not to).
void note_slow_connect(Link& link, std::chrono::steady_clock::time_point began, bool opened) {
    const Gateway& gateway = *link.gateway;
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (!gateway.settings.report_progress || took < 1.0) return;
    char figures[96];
    std::snprintf(figures, sizeof figures,
                  opened ? " took %.1f s to accept a connection" : " gave no connection in %.1f s", took);
    std::string line = "Upstream " + where(gateway.settings.upstream) + figures;
    Ref printer = service::progress_printer(gateway.module.get(), true);
    Ref text = printer ? Ref::steal(PyUnicode_FromString(line.c_str())) : Ref{};
    if (!text || !call(printer.get(), {text.get()})) PyErr_Clear();
}

// A connection to the upstream, or the answer that says why there is none.
net::Socket connect(Link& link, bool may_reuse, bool& reused, int& status, std::string& text) {
    const Settings& settings = link.gateway->settings;
    net::IoError error;
    auto began = std::chrono::steady_clock::now();
    net::Socket socket = sync::without_gil([&] {
        return link.gateway->pool.acquire(settings.upstream, settings.connect_timeout, error, may_reuse,
                                          reused);
    });
    note_slow_connect(link, began, socket.valid());
    if (socket.valid()) return socket;
    const std::string name = where(settings.upstream);
    if (error.status == net::IoStatus::TimedOut) {
        status = 504;
        text = "Gateway timeout: connecting to the upstream " + name + " timed out";
    } else if (error.status == net::IoStatus::Refused) {
        status = 502;
        text = "Bad gateway: the upstream " + name + " refused the connection";
    } else {
        status = 502;
        text = "Bad gateway: the upstream " + name + " is unreachable: " + net::describe(error);
    }
    return socket;
}

void give_back(Link& link, net::Socket socket) {
    std::size_t capacity = link.gateway->settings.idle_connections;
    sync::without_gil([&] { link.gateway->pool.release(std::move(socket), capacity); });
}

}  // namespace

// The hex hash of the identity the peer proved on the link, or "" when it has not.
std::string remote_identity(Link& link) {
    Ref rns_link = link.link;
    Ref identity = rns_link ? call_method(rns_link.get(), ZV_STR("get_remote_identity")) : Ref{};
    Ref hash = identity && !identity.is_none() ? attr(identity.get(), ZV_STR("hash")) : Ref{};
    Ref hex = hash ? call_method(hash.get(), ZV_STR("hex")) : Ref{};
    const char* text = hex && PyUnicode_Check(hex.get()) ? PyUnicode_AsUTF8(hex.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return {};
    }
    return text;
}

bool withheld_field(std::string_view name) {
    // '_' in the name also covers every other spelling of the identity field
    return name.find('_') != std::string_view::npos || ascii::equals_lower(name, "x-reticulum-identity");
}

bool allowed(const Settings& settings, const std::string& identity) {
    if (settings.allowed.empty()) return true;
    return !identity.empty() && std::ranges::find(settings.allowed, identity) != settings.allowed.end();
}

// Reads and drops the rest of the request body; false when the link ended meanwhile.
bool skip_body(Link& link) {
    for (;;) {
        Event event;
        Pull pulled = pull(link, false, event);
        if (pulled == Pull::Closed) return false;
        if (pulled == Pull::TimedOut || pulled == Pull::Parked) {
            answer(link, 408, "Request timeout", false);
            end_link(link);
            return false;
        }
        if (event == Event::End) return true;
        if (event == Event::Error) {
            answer(link, link.reader.error_status(), link.reader.error(), false);
            end_link(link);
            return false;
        }
    }
}

bool forward_request(Link& link) {
    http::Head head = link.reader.head();
    const bool is_head = head.method == "HEAD";
    const bool has_body = head.framing != http::Framing::None;
    std::string identity = remote_identity(link);
    if (!allowed(link.gateway->settings, identity))
        return refuse(link, has_body, 403, "Forbidden: this link has not identified as an allowed identity",
                      is_head);
    prepare_head(head, link.gateway->settings, identity);
    const std::string request = http::serialize_request(head);
    for (int attempt = 0;; ++attempt) {
        bool reused = false;
        int status = 0;
        std::string text;
        // Only a request that may go twice goes on a kept connection, which the upstream
        // may close for idleness just as the request goes out; any other goes on a new
        // one (a body that has streamed off the link cannot be sent again), as a retry does.
        const bool may_reuse = may_repeat(head) && attempt == 0;
        net::Socket socket = connect(link, may_reuse, reused, status, text);
        if (!socket.valid()) return refuse(link, has_body, status, text, is_head);
        Sent sent = send_request(link, socket, head, request);
        if (sent == Sent::LinkEnded) return false;
        Relay relayed = relay_answer(link, socket, is_head);
        // A kept connection the server closed just before this request: once more on a
        // new one.
        if (relayed == Relay::Stale && reused) continue;
        if (relayed == Relay::Stale)
            return answer(link, 502, "Bad gateway: the upstream closed the connection without answering",
                          is_head);
        if (relayed == Relay::Reusable && sent == Sent::Done) give_back(link, std::move(socket));
        return relayed != Relay::LinkEnded;
    }
}

namespace {

// The status of an answer's status line at the start of `data`, 0 when there is none.
int status_line(std::string_view data) {
    if (data.size() < 12 || !data.starts_with("HTTP/1.")) return 0;
    int status = 0;
    for (char c : data.substr(9, 3)) {
        if (c < '0' || c > '9') return 0;
        status = status * 10 + (c - '0');
    }
    return status;
}

// Who is on the link: its identity hash once it identified, else the link's own id.
std::string peer_name(Link& link) {
    std::string identity = remote_identity(link);
    if (!identity.empty()) return identity;
    Ref rns_link = link.link;
    Ref id = rns_link ? attr(rns_link.get(), ZV_STR("link_id")) : Ref{};
    Ref hex = id && PyBytes_Check(id.get()) ? call_method(id.get(), ZV_STR("hex")) : Ref{};
    const char* text = hex && PyUnicode_Check(hex.get()) ? PyUnicode_AsUTF8(hex.get()) : nullptr;
    PyErr_Clear();
    return text ? "link:" + std::string(text) : "link:?";
}

void begin_answer(Link& link) {
    link.answer_status.store(0);
    link.answer_bytes.store(0);
    link.answer_note.clear();
}

void log_link_request(Link& link, std::string method, std::string target, double seconds) {
    const Gateway& gateway = *link.gateway;
    if (!gateway.settings.report_progress && link.answer_note.empty()) return;
    service::Served served;
    served.peer = peer_name(link);
    served.method = std::move(method);
    served.target = std::move(target);
    served.status = link.answer_status.load();
    served.bytes = link.answer_bytes.load();
    served.seconds = seconds;
    served.note = link.answer_note;
    service::log_served(gateway.module.get(), served);
}

}  // namespace

bool serve_and_log(Link& link) {
    const http::Head& head = link.reader.head();
    std::string method = head.method, target = head.target;
    auto began = std::chrono::steady_clock::now();
    begin_answer(link);
    expect_answer_to(link, head);
    const auto& handle = link.gateway->handle_request;
    bool goes_on = handle ? handle(link) : forward_request(link);
    expect_answer_to(link, http::Head{});
    SavedError pending;  // the log line neither raises nor swallows what serving left set
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    log_link_request(link, std::move(method), std::move(target), seconds);
    pending.restore();
    return goes_on;
}

void log_refused_head(Link& link) {
    SavedError pending;
    log_link_request(link, "-", "-", 0.0);
    pending.restore();
    begin_answer(link);
}

namespace {
bool write_stream(Link& link, std::string_view data);
bool send_resource(Link& link, const std::string& body);
}  // namespace

bool write_link(Link& link, std::string_view data) {
    if (!link.buffer) return false;
    if (int status = status_line(data); status >= 200 && link.answer_status.load() == 0)
        link.answer_status.store(status);
    link.answer_bytes.fetch_add(data.size());
    if (!link.answers) return write_stream(link, data);
    std::vector<compact::Step> steps;
    if (!link.answers->feed(data, steps)) {
        end_link(link);
        return false;
    }
    for (const compact::Step& step : steps) {
        if (!step.stream.empty() && !write_stream(link, step.stream)) return false;
        if (!step.resource.empty() && !send_resource(link, step.resource)) return false;
    }
    return true;
}

void expect_answer_to(Link& link, const http::Head& request) {
    if (link.answers) link.answers->expect_no_body(request.method == "HEAD");
}

namespace {

// Writes `data` as it is on the link's stream, paced; false when the link is gone.
bool write_stream(Link& link, std::string_view data) {
    Ref buffer = link.buffer, channel = link.channel, rns_link = link.link;
    if (!buffer) return false;
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(data.data(), Py_ssize_t(data.size())));
    if (!bytes) {
        PyErr_Clear();
        return false;
    }
    rns::WriteLimits limits;
    limits.stall_seconds = link.gateway->settings.write_stall;
    if (rns::write_paced(link.gateway->rns.get(), buffer.get(), channel.get(), rns_link.get(), bytes.get(),
                         limits) == 0)
        return true;
    PyErr_Clear();
    end_link(link);
    return false;
}

// The status of `resource` (an RNS.Resource), -1 when it cannot be read.
long resource_status(PyObject* resource) {
    Ref status = attr(resource, ZV_STR("status"));
    long value = status ? PyLong_AsLong(status.get()) : -1;
    if (value == -1) PyErr_Clear();
    return value;
}

// Sends `body` as one RNS.Resource on the link (compressed by Reticulum when that is
// smaller) and waits, with the GIL released between looks, until the peer has proved it
// whole; false when it failed or the link is gone (the link is then ended). The resource
// takes its place in the stream where the stream stands when the peer is offered it: it
// is offered once every stream message before it has been delivered.
bool send_resource(Link& link, const std::string& body) {
    constexpr auto kLook = std::chrono::milliseconds(5);
    Ref rns = link.gateway->rns, rns_link = link.link, channel = link.channel;
    if (channel) rns::wait_delivered(channel.get(), link.gateway->settings.write_stall);
    Ref resource_type = rns && rns_link ? attr(rns.get(), ZV_STR("Resource")) : Ref{};
    Ref complete = resource_type ? attr(resource_type.get(), ZV_STR("COMPLETE")) : Ref{};
    Ref bytes =
        complete ? Ref::steal(PyBytes_FromStringAndSize(body.data(), Py_ssize_t(body.size()))) : Ref{};
    Ref resource = bytes ? call(resource_type.get(), {bytes.get(), rns_link.get()}) : Ref{};
    long done = complete ? PyLong_AsLong(complete.get()) : -1;
    if (!resource || done < 0) {
        PyErr_Clear();
        end_link(link);
        return false;
    }
    bytes = Ref{};
    for (long status = resource_status(resource.get()); status < done;
         status = resource_status(resource.get())) {
        if (status < 0 || link.closed.load()) break;
        sync::without_gil([&] { std::this_thread::sleep_for(kLook); });
    }
    long status = resource_status(resource.get());
    if (status == done) return true;
    link.answer_note = "gateway: a resource on the link ended in status " + std::to_string(status);
    end_link(link);
    return false;
}

}  // namespace

bool answer(Link& link, int status, std::string_view text, bool head) {
    link.answer_note = "gateway: " + std::string(text);
    std::string out =
        "HTTP/1.1 " + std::to_string(status) + " " + std::string(http::reason_phrase(status)) +
        "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(text.size() + 1) +
        "\r\n\r\n";
    if (!head) out.append(text).append("\n");
    return write_link(link, out);
}

void end_link(Link& link) {
    Ref channel = link.channel, rns_link = link.link;
    link.closed.store(true);
    if (channel) rns::wait_delivered(channel.get(), 5.0);
    if (rns_link && !call_method(rns_link.get(), ZV_STR("teardown"))) PyErr_Clear();
}

}  // namespace zv::gateway
