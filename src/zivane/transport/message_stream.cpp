// The incremental reader keeps only what it must to make progress: the head until it is
// complete (bounded by the head limit), the line of a chunk size, trailer lines. Body
// bytes are never copied: a Body event is a view into the caller's input.
//
// Heads are stricter than a lenient reading would be, because a bridge writes them out
// again for another peer: a field name must be a token followed at once by the colon, a
// value must not hold control characters, and folded lines are refused, so that what the
// far side reads is exactly what was checked here.
#include "transport/message_stream.hpp"

#include "support/ascii.hpp"

#include <algorithm>

namespace zv::http {
namespace {

constexpr std::size_t kMaxChunkLine = 8192;
constexpr std::uint64_t kMaxChunk = std::uint64_t(1) << 52;

bool is_tchar(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), is_tchar); }

bool is_space(char c) { return c == ' ' || c == '\t'; }

// Field values may hold visible characters, spaces, tabs and obs-text; no other control.
bool is_value_text(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u == '\t' || (u >= 0x20 && u != 0x7f);
    });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s.size(), '\0');
    ascii::copy_lower(out.data(), s.data(), s.size());
    return out;
}

bool starts_with_lower(std::string_view text, std::string_view lower_prefix) {
    return text.size() >= lower_prefix.size() &&
           ascii::equals_lower(text.substr(0, lower_prefix.size()), lower_prefix);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Calls `each(token)` for the comma-separated, trimmed, non-empty elements of `list`.
template <class Each>
void for_each_token(std::string_view list, Each&& each) {
    while (!list.empty()) {
        std::size_t comma = list.find(',');
        std::string_view item = trim(list.substr(0, comma));
        if (!item.empty()) each(item);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
}

void append_fields(std::string& out, const std::vector<Field>& fields) {
    for (const Field& f : fields) {
        out.append(f.name);
        out.append(": ");
        out.append(f.value);
        out.append("\r\n");
    }
    out.append("\r\n");
}

}  // namespace

// ---- Head ----------------------------------------------------------------------------------

const std::string* Head::find(std::string_view lower_name) const {
    for (const Field& f : fields)
        if (ascii::equals_lower(f.name, lower_name)) return &f.value;
    return nullptr;
}

void Head::remove(std::string_view lower_name) {
    std::erase_if(fields, [&](const Field& f) { return ascii::equals_lower(f.name, lower_name); });
}

void Head::set(std::string_view name, std::string value) {
    remove(lower(name));
    fields.push_back({std::string(name), std::move(value)});
}

bool Head::lists(std::string_view lower_name, std::string_view lower_token) const {
    bool found = false;
    for (const Field& f : fields) {
        if (!ascii::equals_lower(f.name, lower_name)) continue;
        for_each_token(f.value,
                       [&](std::string_view t) { found = found || ascii::equals_lower(t, lower_token); });
    }
    return found;
}

bool Head::ends_connection() const {
    if (lists("connection", "close")) return true;
    return minor_version == 0 && !lists("connection", "keep-alive");
}

// ---- reading -------------------------------------------------------------------------------

MessageReader::Event MessageReader::fail(std::string why, int status) {
    state_ = State::Failed;
    error_ = std::move(why);
    error_status_ = status;
    buffered_.clear();
    return Event::Error;
}

MessageReader::Event MessageReader::next(std::string_view& input) {
    piece_ = {};
    switch (state_) {
        case State::Start: return start(input);
        case State::Head: return read_head(input);
        case State::Body: return body(input);
        case State::ChunkSize: return chunk_size(input);
        case State::ChunkData: return chunk_data(input);
        case State::ChunkEnd: return chunk_end(input);
        case State::Trailer: return trailer(input);
        case State::Done: state_ = State::Start; return Event::End;
        case State::Failed: return Event::Error;
    }
    return Event::Error;
}

void MessageReader::end_of_input() { ended_ = true; }

// Empty lines between messages belong to none of them.
MessageReader::Event MessageReader::start(std::string_view& input) {
    while (!input.empty() && (input.front() == '\r' || input.front() == '\n')) input.remove_prefix(1);
    if (input.empty()) return Event::NeedMore;
    state_ = State::Head;
    buffered_.clear();
    framer_ = Framer(kind_ == Kind::Request ? Framer::Kind::Request : Framer::Kind::Response);
    framer_.expect_no_body(no_body_);
    head_ = Head{};
    trailers_.clear();
    return read_head(input);
}

MessageReader::Event MessageReader::read_head(std::string_view& input) {
    const bool request = kind_ == Kind::Request;
    std::size_t before = buffered_.size();
    std::size_t room = head_limit_ + 4 - std::min(head_limit_ + 4, before);
    std::string_view taken = input.substr(0, room);
    buffered_.append(taken);
    Framer::Status status = framer_.scan(buffered_);
    if (status == Framer::Status::Malformed && !head_alone_is_sound())
        return fail(framer_.error(), framer_.error_status());
    std::size_t end = framer_.header_length();
    if (end == 0) {
        input.remove_prefix(taken.size());
        if (buffered_.size() > head_limit_)
            return fail(request ? "Request head too large" : "Response head too large", 431);
        if (ended_) return fail(request ? "Request cut short" : "Response cut short");
        return Event::NeedMore;
    }
    if (end > head_limit_) return fail(request ? "Request head too large" : "Response head too large", 431);
    input.remove_prefix(end - before);
    buffered_.resize(end);
    if (!parse_head(buffered_)) return Event::Error;
    buffered_.clear();
    return begin_body(status == Framer::Status::Complete);
}

// The Framer also follows the body bytes that came with the head; a fault it finds
// there is the body's, reported when the body is read, so that a message reads the same
// however its bytes were split. Malformed: whether the head alone is sound.
bool MessageReader::head_alone_is_sound() {
    std::size_t end = framer_.header_length();
    if (end == 0) return false;
    Framer alone(kind_ == Kind::Request ? Framer::Kind::Request : Framer::Kind::Response);
    alone.expect_no_body(no_body_);
    if (alone.scan(std::string_view(buffered_).substr(0, end)) == Framer::Status::Malformed) return false;
    framer_ = alone;
    return true;
}

// The framing the Framer found in the head: a known length, a body running until the end
// of the stream, nothing after the head (complete at its end), or else chunked.
MessageReader::Event MessageReader::begin_body(bool complete) {
    if (framer_.expected_length() != 0) {
        head_.framing = Framing::Length;
        head_.content_length = framer_.expected_length() - framer_.header_length();
        left_ = head_.content_length;
        state_ = left_ == 0 ? State::Done : State::Body;
    } else if (framer_.until_close()) {
        head_.framing = Framing::UntilClose;
        state_ = State::Body;
    } else if (complete && framer_.message_length() == framer_.header_length()) {
        head_.framing = Framing::None;
        state_ = State::Done;
    } else {
        head_.framing = Framing::Chunked;
        state_ = State::ChunkSize;
    }
    return Event::Head;
}

MessageReader::Event MessageReader::body(std::string_view& input) {
    if (input.empty()) {
        if (!ended_) return Event::NeedMore;
        if (head_.framing != Framing::UntilClose) return fail("Body cut short");
        state_ = State::Start;
        return Event::End;
    }
    std::size_t n = input.size();
    if (head_.framing == Framing::Length) {
        n = std::size_t(std::min<std::uint64_t>(left_, n));
        left_ -= n;
        if (left_ == 0) state_ = State::Done;
    }
    piece_ = input.substr(0, n);
    input.remove_prefix(n);
    return Event::Body;
}

// One line (without its CR LF or LF) once it is complete, gathered in `buffered_` across
// calls. Sets `too_long` when it passes `limit` first.
bool MessageReader::take_line(std::string_view& input, std::size_t limit, std::string_view& line,
                              bool& too_long) {
    std::size_t nl = input.find('\n');
    std::size_t take = nl == std::string_view::npos ? input.size() : nl + 1;
    if (buffered_.size() + take > limit + 2) {
        too_long = true;
        return false;
    }
    buffered_.append(input.substr(0, take));
    input.remove_prefix(take);
    if (nl == std::string_view::npos) return false;
    line = buffered_;
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
}

// chunk-size [ chunk-ext ] CRLF
MessageReader::Event MessageReader::chunk_size(std::string_view& input) {
    std::string_view line;
    bool too_long = false;
    if (!take_line(input, kMaxChunkLine, line, too_long)) {
        if (too_long) return fail("Invalid chunk framing");
        return ended_ ? fail("Body cut short") : Event::NeedMore;
    }
    std::uint64_t size = 0;
    std::size_t i = 0;
    for (int h; i < line.size() && (h = hex_value(line[i])) >= 0; ++i) {
        size = size * 16 + std::uint64_t(h);
        if (size > kMaxChunk) return fail("Invalid chunk size");
    }
    std::string_view rest = line.substr(i);
    while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
    if (i == 0 || (!rest.empty() && rest.front() != ';')) return fail("Invalid chunk size");
    buffered_.clear();
    left_ = size;  // for the trailer section: 0 bytes of it seen
    state_ = size == 0 ? State::Trailer : State::ChunkData;
    return next(input);
}

MessageReader::Event MessageReader::chunk_data(std::string_view& input) {
    if (input.empty()) return ended_ ? fail("Body cut short") : Event::NeedMore;
    std::size_t n = std::size_t(std::min<std::uint64_t>(left_, input.size()));
    left_ -= n;
    piece_ = input.substr(0, n);
    input.remove_prefix(n);
    if (left_ == 0) state_ = State::ChunkEnd;
    return Event::Body;
}

// The CR LF after a chunk's data.
MessageReader::Event MessageReader::chunk_end(std::string_view& input) {
    while (!input.empty() && buffered_.size() < 2) {
        buffered_.push_back(input.front());
        input.remove_prefix(1);
    }
    if (buffered_.size() < 2) return ended_ ? fail("Body cut short") : Event::NeedMore;
    if (buffered_ != "\r\n") return fail("Invalid chunk framing");
    buffered_.clear();
    state_ = State::ChunkSize;
    return next(input);
}

// Trailer fields up to the empty line, kept in trailers(); `left_` counts their bytes.
MessageReader::Event MessageReader::trailer(std::string_view& input) {
    for (;;) {
        std::string_view line;
        bool too_long = false;
        if (!take_line(input, head_limit_ - std::min<std::uint64_t>(left_, head_limit_), line, too_long)) {
            if (too_long) return fail("Trailer section too large", 431);
            return ended_ ? fail("Body cut short") : Event::NeedMore;
        }
        left_ += buffered_.size();
        if (line.empty()) break;
        std::string why;
        if (!parse_fields(line, trailers_, why)) return fail(why);
        buffered_.clear();
    }
    buffered_.clear();
    state_ = State::Start;
    return Event::End;
}

bool MessageReader::parse_start_line(std::string_view line) {
    if (kind_ == Kind::Request) {
        std::size_t sp = line.find(' ');
        std::size_t last = line.rfind(' ');
        if (sp == std::string_view::npos || last == sp) return fail("Invalid request line"), false;
        std::string_view method = line.substr(0, sp), target = line.substr(sp + 1, last - sp - 1);
        std::string_view version = line.substr(last + 1);
        if (!is_token(method) || target.empty() ||
            !std::all_of(target.begin(), target.end(), [](char c) { return c > 0x20 && c != 0x7f; }))
            return fail("Invalid request line"), false;
        if (version != "HTTP/1.1" && version != "HTTP/1.0")
            return fail("HTTP version not supported", 505), false;
        head_.method = std::string(method);
        head_.target = std::string(target);
        head_.minor_version = version.back() - '0';
        return true;
    }
    // HTTP/1.x SP 3DIGIT [SP reason]; the Framer has checked the shape of the first 13
    if (line.size() < 12 || (line.substr(0, 8) != "HTTP/1.1" && line.substr(0, 8) != "HTTP/1.0"))
        return fail("Invalid status line"), false;
    std::string_view reason = line.size() > 13 ? line.substr(13) : std::string_view{};
    if (!is_value_text(reason)) return fail("Invalid status line"), false;
    head_.minor_version = line[7] - '0';
    head_.status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    if (head_.status < 100) return fail("Invalid status line"), false;
    head_.reason = std::string(reason);
    return true;
}

bool MessageReader::parse_head(std::string_view text) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!parse_start_line(line)) return false;
    std::string why;
    if (!parse_fields(text.substr(nl + 1), head_.fields, why)) return fail(why), false;
    return true;
}

bool parse_fields(std::string_view text, std::vector<Field>& out, std::string& why) {
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        std::size_t colon = line.find(':');
        std::string_view name = line.substr(0, colon);
        if (is_space(line.front())) return why = "Folded header line", false;
        if (colon == std::string_view::npos || !is_token(name)) return why = "Invalid header line", false;
        std::string_view value = trim(line.substr(colon + 1));
        if (!is_value_text(value)) return why = "Invalid header value", false;
        out.push_back({std::string(name), std::string(value)});
    }
    return true;
}

// ---- writing -------------------------------------------------------------------------------

void drop_hop_by_hop(Head& head) {
    std::vector<std::string> named;
    for (const Field& f : head.fields)
        if (ascii::equals_lower(f.name, "connection"))
            for_each_token(f.value, [&](std::string_view t) { named.push_back(lower(t)); });
    static constexpr std::string_view kAlways[] = {"connection", "keep-alive",        "te",
                                                   "trailer",    "transfer-encoding", "upgrade"};
    std::erase_if(head.fields, [&](const Field& f) {
        if (starts_with_lower(f.name, "proxy-")) return true;
        for (std::string_view name : kAlways)
            if (ascii::equals_lower(f.name, name)) return true;
        for (const std::string& name : named)
            if (ascii::equals_lower(f.name, name)) return true;
        return false;
    });
}

std::string serialize_request(const Head& head) {
    std::string out;
    out.reserve(64 + head.fields.size() * 32);
    out.append(head.method).append(" ").append(head.target).append(" HTTP/1.1\r\n");
    append_fields(out, head.fields);
    return out;
}

std::string serialize_response(const Head& head) {
    std::string out;
    out.reserve(64 + head.fields.size() * 32);
    out.append("HTTP/1.1 ")
        .append(std::to_string(head.status))
        .append(" ")
        .append(head.reason)
        .append("\r\n");
    append_fields(out, head.fields);
    return out;
}

void append_chunk(std::string& out, std::string_view piece) {
    if (piece.empty()) return;
    static constexpr char kDigits[] = "0123456789abcdef";
    char size[20];
    std::size_t n = 0;
    for (std::size_t v = piece.size(); v; v >>= 4) size[n++] = kDigits[v & 15];
    while (n) out.push_back(size[--n]);
    out.append("\r\n").append(piece).append("\r\n");
}

std::string_view reason_phrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 413: return "Content Too Large";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        default: return "";
    }
}

}  // namespace zv::http
