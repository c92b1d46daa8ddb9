// Message boundaries by HTTP/1.1 framing. Deliberately strict where a lenient reading
// could make two ends disagree on where a message stops (duplicate or malformed
// Content-Length, Content-Length beside Transfer-Encoding on a request): such input is
// Malformed rather than guessed at.
#include "transport/framing.hpp"

#include "support/ascii.hpp"

#include <algorithm>
#include <limits>

namespace zv {
namespace {

// A chunk-size line or a trailer line longer than this cannot be honest framing.
constexpr std::size_t kMaxLine = 8192;
// Keeps size arithmetic far from overflow on any platform.
constexpr std::uint64_t kMaxBody = std::uint64_t(1) << 52;

bool is_space(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && (is_space(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Last element of a comma-separated list, trimmed.
std::string_view last_coding(std::string_view value) {
    std::size_t comma = value.rfind(',');
    return trim(comma == std::string_view::npos ? value : value.substr(comma + 1));
}

bool parse_decimal(std::string_view s, std::uint64_t& out) {
    if (s.empty()) return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + std::uint64_t(c - '0');
        if (v > kMaxBody) return false;
    }
    out = v;
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The line that starts at `pos` in `head`, without its line end; `pos` moves past it.
std::string_view next_line(std::string_view head, std::size_t& pos) {
    std::size_t nl = head.find('\n', pos);
    if (nl == std::string_view::npos) nl = head.size();
    std::string_view line = head.substr(pos, nl - pos);
    pos = nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// The three digits after the first space of a status line; -1 when there are none.
int status_code(std::string_view line) {
    std::size_t sp = line.find(' ');
    if (sp == std::string_view::npos) return -1;
    std::string_view code = line.substr(sp + 1, 3);
    if (code.size() != 3) return -1;
    int status = 0;
    for (char c : code) {
        if (c < '0' || c > '9') return -1;
        status = status * 10 + (c - '0');
    }
    return status;
}

// A CR that ends no line would let the parser see line ends where this framer saw none
// (and so a second request inside this head).
bool has_lone_cr(std::string_view head) {
    for (std::size_t cr = head.find('\r'); cr != std::string_view::npos; cr = head.find('\r', cr + 1))
        if (cr + 1 == head.size() || head[cr + 1] != '\n') return true;
    return false;
}

}  // namespace

// What the header fields say about the body.
struct Framer::Fields {
    bool has_length = false;
    bool has_te = false;
    bool chunked = false;  // the final transfer coding is chunked
    std::uint64_t length = 0;
};

namespace {

// Takes in one header field line; the reason it makes the message unframeable, or NULL.
const char* read_field(std::string_view line, Framer::Fields& fields) {
    if (is_space(line.front())) return nullptr;  // obsolete line folding: not framing
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return nullptr;  // the parser rejects it
    std::string_view name = trim(line.substr(0, colon));
    std::string_view value = trim(line.substr(colon + 1));
    if (ascii::equals_lower(name, "content-length")) {
        std::uint64_t v;
        if (!parse_decimal(value, v)) return "Invalid Content-Length";
        if (fields.has_length) return "Duplicate Content-Length";
        fields.has_length = true;
        fields.length = v;
    } else if (ascii::equals_lower(name, "transfer-encoding")) {
        fields.has_te = true;
        // Only the final coding decides; a later header replaces the verdict.
        fields.chunked = ascii::equals_lower(last_coding(value), "chunked");
    }
    return nullptr;
}

}  // namespace

void Framer::reset() {
    header_end_ = 0;
    search_from_ = 0;
    length_ = 0;
    error_.clear();
    body_ = Body::Unknown;
    content_length_ = 0;
    chunk_pos_ = 0;
    in_trailer_ = false;
    status_ = 0;
    lead_ = 0;
    started_ = false;
    error_status_ = 400;
    line_checked_ = false;
}

Framer::Status Framer::fail(const char* why, int status) {
    error_ = why;
    error_status_ = status;
    return Status::Malformed;
}

// Empty lines before a request line are not a message (RFC 9112, section 2.2). Returns
// true once the first byte of the request line is known, false while only empty lines
// (or a CR that may start one) have arrived.
bool Framer::skip_empty_lines(std::string_view data) {
    while (lead_ < data.size()) {
        if (data[lead_] == '\n') {
            ++lead_;
        } else if (data[lead_] != '\r') {
            return true;
        } else if (lead_ + 1 == data.size()) {
            return false;
        } else if (data[lead_ + 1] == '\n') {
            lead_ += 2;
        } else {
            return true;
        }
    }
    return false;
}

// Judged as soon as the request line has ended, so that input in another protocol or
// version (an HTTP/2 preface, an HTTP/0.9 "GET /") is refused instead of waiting for an
// empty line that may never come. A first word that is no method token is left to the
// parser, which refuses it with its own message.
Framer::Status Framer::check_request_line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find('\r') != std::string_view::npos) return fail("Invalid line ending");
    std::size_t sp = line.find(' ');
    std::string_view method = line.substr(0, sp);
    if (method.empty() || !std::all_of(method.begin(), method.end(), ascii::is_token_char))
        return Status::Incomplete;
    if (sp == std::string_view::npos) return fail("Invalid request line");
    std::size_t last = line.rfind(' ');
    std::string_view version = line.substr(last + 1);
    if (last == sp || (version != "HTTP/1.1" && version != "HTTP/1.0"))
        return fail("HTTP version not supported", 505);
    return Status::Incomplete;
}

// Looks for the empty line that ends the head, from where the last look stopped. A bare
// LF line end is accepted here so such input reaches the parser (and its verdict) instead
// of waiting for ever. Complete: header_end_ is set.
Framer::Status Framer::find_head_end(std::string_view data) {
    if (kind_ == Kind::Request && !line_checked_) {
        std::size_t nl = data.find('\n', lead_);
        if (nl == std::string_view::npos) return Status::Incomplete;
        line_checked_ = true;
        if (check_request_line(data.substr(lead_, nl - lead_)) == Status::Malformed) return Status::Malformed;
    }
    for (std::size_t i = std::max(search_from_, lead_);;) {
        std::size_t nl = data.find('\n', i);
        if (nl == std::string_view::npos) {
            search_from_ = data.size();
            return Status::Incomplete;
        }
        std::size_t next = nl + 1;  // LF, or CR LF, makes the line after `nl` empty
        if (next < data.size() && data[next] == '\r') ++next;
        if (next >= data.size()) {
            search_from_ = nl;
            return Status::Incomplete;
        }
        if (data[next] == '\n') {
            header_end_ = next + 1;
            return Status::Complete;
        }
        i = nl + 1;
    }
}

// Everything up to the body: the first line's shape, the end of the head, then what the
// head says of the body. Complete: the head is read.
Framer::Status Framer::start_message(std::string_view data) {
    if (kind_ == Kind::Response && check_status_line(data) == Status::Malformed) return Status::Malformed;
    if (kind_ == Kind::Request && !skip_empty_lines(data)) return Status::Incomplete;
    Status s = find_head_end(data);
    if (s != Status::Complete) return s;
    if (read_head(data.substr(lead_, header_end_ - lead_)) == Status::Malformed) return Status::Malformed;
    chunk_pos_ = header_end_;
    return Status::Complete;
}

Framer::Status Framer::scan(std::string_view data) {
    if (!error_.empty()) return Status::Malformed;
    if (header_end_ == 0) {
        Status s = start_message(data);
        if (s != Status::Complete) return s;
    }
    switch (body_) {
        case Body::None: length_ = header_end_; return Status::Complete;
        case Body::Length:
            if (data.size() - header_end_ < content_length_) return Status::Incomplete;
            length_ = header_end_ + std::size_t(content_length_);
            return Status::Complete;
        case Body::Chunked: return follow_chunks(data);
        case Body::UntilClose: return Status::Incomplete;
        case Body::Unknown: break;
    }
    return fail("Invalid message framing");
}

// A response that can never be HTTP is refused at its first bytes, not once a head that
// never comes has been waited for: after any empty lines (skipped as the parser skips
// them), "HTTP/" digit "." digit, a space, three digits, then a space or the line end.
Framer::Status Framer::check_status_line(std::string_view data) {
    if (!started_) {
        while (lead_ < data.size() && (data[lead_] == '\r' || data[lead_] == '\n')) ++lead_;
        if (lead_ == data.size()) return Status::Incomplete;
        started_ = true;
    }
    static constexpr std::string_view kShape = "HTTP/9.9 999 ";  // 9: any digit; ' ' last: SP, CR or LF
    std::string_view line = data.substr(lead_, kShape.size());
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i], want = kShape[i];
        bool ok = want == '9'              ? (c >= '0' && c <= '9')
                  : i + 1 == kShape.size() ? (c == ' ' || c == '\r' || c == '\n')
                                           : c == want;
        if (!ok) return fail("Invalid status line");
    }
    return Status::Incomplete;
}

Framer::Status Framer::end_of_stream(std::string_view data) {
    if (!error_.empty()) return Status::Malformed;
    Status s = scan(data);
    if (s != Status::Incomplete || body_ != Body::UntilClose) return s;
    length_ = data.size();
    return Status::Complete;
}

Framer::Status Framer::read_head(std::string_view head) {
    if (kind_ == Kind::Request && has_lone_cr(head)) return fail("Invalid line ending");
    Fields fields;
    int status = 0;
    bool first = true;
    for (std::size_t pos = 0; pos < head.size();) {
        std::string_view line = next_line(head, pos);
        if (first) {
            // A request may be preceded by empty lines; skip them like the parser does.
            if (line.empty() && kind_ == Kind::Request) continue;
            first = false;
            if (kind_ == Kind::Response && (status = status_code(line)) < 0)
                return fail("Invalid status line");
            continue;
        }
        if (line.empty()) break;
        if (const char* why = read_field(line, fields)) return fail(why);
    }
    return kind_ == Kind::Request ? frame_request(fields) : frame_response(fields, status);
}

Framer::Status Framer::frame_request(const Fields& fields) {
    if (fields.has_te) {
        if (fields.has_length) return fail("Content-Length with Transfer-Encoding");
        if (!fields.chunked) return fail("Unsupported Transfer-Encoding");
        body_ = Body::Chunked;
    } else if (fields.has_length) {
        body_ = Body::Length;
        content_length_ = fields.length;
    } else {
        body_ = Body::None;
    }
    return Status::Incomplete;
}

Framer::Status Framer::frame_response(const Fields& fields, int status) {
    status_ = status;
    if (no_body_ || (status >= 100 && status < 200) || status == 204 || status == 304) {
        body_ = Body::None;
    } else if (fields.has_te && fields.chunked) {
        body_ = Body::Chunked;
    } else if (fields.has_te || !fields.has_length) {
        // No length, or a final coding other than chunked: the body runs until the
        // server ends the stream.
        body_ = Body::UntilClose;
    } else {
        body_ = Body::Length;
        content_length_ = fields.length;
    }
    return Status::Incomplete;
}

Framer::Status Framer::follow_chunks(std::string_view data) {
    for (;;) {
        std::size_t nl = data.find('\n', chunk_pos_);
        if (nl == std::string_view::npos) {
            if (data.size() - chunk_pos_ > kMaxLine) return fail("Invalid chunk framing");
            return Status::Incomplete;
        }
        if (nl - chunk_pos_ > kMaxLine) return fail("Invalid chunk framing");
        std::string_view line = data.substr(chunk_pos_, nl - chunk_pos_);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        if (in_trailer_) {
            chunk_pos_ = nl + 1;
            if (line.empty()) {
                length_ = chunk_pos_;
                return Status::Complete;
            }
            continue;
        }

        // chunk-size [ chunk-ext ] CRLF
        std::uint64_t size = 0;
        std::size_t i = 0;
        for (; i < line.size(); ++i) {
            int h = hex_value(line[i]);
            if (h < 0) break;
            size = size * 16 + std::uint64_t(h);
            if (size > kMaxBody) return fail("Invalid chunk size");
        }
        if (i == 0) return fail("Invalid chunk size");
        std::string_view rest = line.substr(i);
        while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
        if (!rest.empty() && rest.front() != ';') return fail("Invalid chunk size");

        if (size == 0) {
            in_trailer_ = true;
            chunk_pos_ = nl + 1;
            continue;
        }
        // data, then CRLF
        std::size_t data_start = nl + 1;
        if (data.size() - data_start < size + 2) return Status::Incomplete;
        std::size_t end = data_start + std::size_t(size);
        if (data[end] != '\r' || data[end + 1] != '\n') return fail("Invalid chunk framing");
        chunk_pos_ = end + 2;
    }
}

}  // namespace zv
