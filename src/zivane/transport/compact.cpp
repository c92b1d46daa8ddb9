#include "transport/compact.hpp"

#include "support/ascii.hpp"

#include <algorithm>
#include <utility>

namespace zv::compact {
namespace {

using Event = http::MessageReader::Event;

constexpr unsigned char kFlagChunked = 1;  // head frame: the body comes as data frames and an end
constexpr std::size_t kMaxVarint = 10;
constexpr std::uint64_t kUnbounded = ~std::uint64_t(0);

// A Content-Length value as a number; 0 when it is not one (the reader of the HTTP/1.1
// this becomes refuses such a head in any case).
std::uint64_t decimal(std::string_view text) {
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || n > kUnbounded / 20) return 0;
        n = n * 10 + std::uint64_t(c - '0');
    }
    return n;
}

}  // namespace

void append_varint(std::string& out, std::uint64_t value) { head_codec::write_varint(out, value); }

// ---- encoding ------------------------------------------------------------------------------

bool Encoder::feed(std::string_view http, std::vector<Step>& out) {
    for (;;) {
        Event event = reader_.next(http);
        if (event == Event::NeedMore) break;
        if (event == Event::Error) return false;
        if (event == Event::Head) on_head(out);
        if (event == Event::Body) on_body(reader_.piece(), out);
        if (event == Event::End) on_end(out);
    }
    flush_body(out);  // what the writer handed over at once goes at once
    if (!stream_.empty()) out.push_back({std::exchange(stream_, {}), {}});
    return true;
}

void Encoder::on_head(std::vector<Step>&) {
    const http::Head& head = reader_.head();
    interim_ = reader_.head().status != 0 && head.status < 200;
    chunked_ = head.framing == http::Framing::Chunked || head.framing == http::Framing::UntilClose;
    as_resources_ =
        resource_above_ > 0 && head.framing == http::Framing::Length && head.content_length > resource_above_;
    body_left_ = as_resources_ ? head.content_length : 0;
    held_head_ = as_resources_;  // it goes with the body, and is encoded then
    if (!as_resources_) append_head(stream_);
}

// The head frame of the message being read. Encoding it enters its fields in the table,
// so it is done only once the frame is sure to go out.
void Encoder::append_head(std::string& frames) {
    std::string payload(1, char(chunked_ ? kFlagChunked : 0));
    heads_.encode(reader_.head(), payload);
    frames.push_back(char(kHead));
    append_varint(frames, payload.size());
    frames.append(payload);
}

bool Encoder::abandon_unsent() {
    if (!held_head_) return false;
    reader_ = http::MessageReader(kind_);
    reader_.expect_no_body(no_body_);
    held_head_ = interim_ = chunked_ = as_resources_ = false;
    body_left_ = 0;
    body_.clear();
    return true;
}

void Encoder::on_body(std::string_view piece, std::vector<Step>& out) {
    body_.append(piece);
    if (as_resources_) {
        for (std::size_t whole = std::size_t(std::min<std::uint64_t>(body_left_, kMaxResourceBody));
             whole > 0 && body_.size() >= whole;
             whole = std::size_t(std::min<std::uint64_t>(body_left_, kMaxResourceBody)))
            cut_resource(out, whole);
    } else if (body_.size() >= kMaxResourceBody) {
        flush_body(out);
    }
}

void Encoder::on_end(std::vector<Step>& out) {
    if (std::exchange(interim_, false)) return;  // a 1xx head: the answer follows
    flush_body(out);
    if (chunked_) stream_.push_back(char(kEnd));
    chunked_ = as_resources_ = false;
}

// The body bytes gathered go out: as one resource when they are many and their whole
// length was not known (a body of known length goes by whole resources as it fills
// them), else as a data frame.
void Encoder::flush_body(std::vector<Step>& out) {
    if (body_.empty() || as_resources_) return;
    if (chunked_ && resource_above_ > 0 && body_.size() > resource_above_)
        return cut_resource(out, body_.size());
    stream_.push_back(char(kData));
    append_varint(stream_, body_.size());
    stream_.append(body_);
    body_.clear();
}

// The head held back (if any) and `n` body bytes go as one resource, after the stream
// bytes before them.
void Encoder::cut_resource(std::vector<Step>& out, std::size_t n) {
    std::string frames;
    if (std::exchange(held_head_, false)) append_head(frames);
    frames.push_back(char(kData));
    append_varint(frames, n);
    frames.append(body_, 0, n);
    out.push_back({std::exchange(stream_, {}), std::move(frames)});
    body_.erase(0, n);
    if (as_resources_) body_left_ -= n;
}

// ---- decoding ------------------------------------------------------------------------------

void Decoder::feed(std::string_view bytes, std::uint64_t at, bool whole) {
    if (state_ == State::Failed) return;
    if (whole && !between_frames()) {
        fail("a resource came inside a frame");
        return;
    }
    if (!in_resource_) input_at_ += pos_;
    input_.erase(0, pos_);
    pos_ = 0;
    if (input_.empty()) {
        input_at_ = at;
        in_resource_ = whole;
    }
    input_.append(bytes);
}

bool Decoder::fail(std::string why) {
    state_ = State::Failed;
    error_ = std::move(why);
    return false;
}

// A head begins a segment of its own; what came before it is complete.
void Decoder::begin_segment() {
    if (has_current_) done_.push_back(std::move(current_));
    current_ = Segment{place(), {}};
    has_current_ = true;
}

void Decoder::continue_segment() {
    if (has_current_) return;
    current_ = Segment{place(), {}};
    has_current_ = true;
}

void Decoder::emit_body(std::string_view piece) {
    continue_segment();
    if (chunked_)
        http::append_chunk(current_.text, piece);
    else
        current_.text.append(piece);
}

void Decoder::emit_end() {
    continue_segment();
    current_.text.append(http::kLastChunk);
}

// Reads one frame's type and size (and a head frame whole). False on a fault; `progressed`
// when a frame was taken.
bool Decoder::next_frame(bool& progressed) {
    std::string_view in = std::string_view(input_).substr(pos_);
    if (in.empty()) return true;
    const auto type = static_cast<unsigned char>(in.front());
    in.remove_prefix(1);
    if (type < kHead || type > kEnd) return fail("an unknown compact frame");
    std::uint64_t size = 0;
    if (type != kEnd) {
        std::string_view before = in;
        if (!head_codec::read_varint(in, size))
            return before.size() < kMaxVarint ? true : fail("a bad length");
    }
    const std::size_t header = (input_.size() - pos_) - in.size();
    if (type == kHead) {
        if (size > kMaxHeadFrame || size == 0) return fail("a compact head too large");
        if (in.size() < size) return true;
        if (!read_head(in.substr(0, std::size_t(size)))) return false;
        pos_ += header + std::size_t(size);
    } else {
        if (!seen_head_) return fail("a body before any head");
        if (type == kEnd && !chunked_) return fail("an end of a body whose length was given");
        if (type == kData && size > body_allowed_) return fail("a body longer than its head said");
        if (type == kData && body_allowed_ != kUnbounded) body_allowed_ -= size;
        pos_ += header;
        if (type == kEnd) emit_end();
        if (type == kData) data_left_ = size, state_ = State::Data;
    }
    progressed = true;
    return true;
}

bool Decoder::read_head(std::string_view payload) {
    const auto flags = static_cast<unsigned char>(payload.front());
    if (flags > kFlagChunked) return fail("a compact head with unknown flags");
    http::Head head;
    std::string why;
    if (!heads_.decode(payload.substr(1), head, why)) return fail(why);
    chunked_ = flags & kFlagChunked;
    body_allowed_ = kUnbounded;
    if (const std::string* length = head.find("content-length"); length && !chunked_)
        body_allowed_ = decimal(*length);
    if (chunked_ && !head.lists("transfer-encoding", "chunked")) {
        head.remove("content-length");
        head.fields.push_back({"Transfer-Encoding", "chunked"});
    }
    begin_segment();
    current_.text = kind_ == http::MessageReader::Kind::Request ? http::serialize_request(head)
                                                                : http::serialize_response(head);
    seen_head_ = true;
    return true;
}

bool Decoder::run(std::vector<Segment>& out) {
    bool progressed = state_ != State::Failed;
    while (progressed) {
        progressed = false;
        if (state_ == State::Frame && !next_frame(progressed)) break;
        if (state_ == State::Data) {
            std::size_t n = std::size_t(std::min<std::uint64_t>(data_left_, input_.size() - pos_));
            if (n > 0) emit_body(std::string_view(input_).substr(pos_, n));
            pos_ += n;
            data_left_ -= n;
            if (data_left_ == 0) state_ = State::Frame;
            progressed = n > 0 || data_left_ == 0;
        }
    }
    if (in_resource_ && state_ != State::Failed && !between_frames()) fail("a resource ended inside a frame");
    for (Segment& segment : done_) out.push_back(std::move(segment));
    done_.clear();
    if (has_current_ && state_ != State::Failed) out.push_back(std::move(current_));  // not half a message
    has_current_ = false;
    current_ = {};
    return state_ != State::Failed;
}

}  // namespace zv::compact
