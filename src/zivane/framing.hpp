// Finds where one HTTP/1.1 message ends in a stream of bytes, by its framing alone: the
// end of the header section, then Content-Length, chunked transfer coding, or no body.
// Both ends of a link use it to assemble messages that arrive over many notifications
// (and several messages per notification) before handing them to the parser.
//
// The framer is incremental: call `scan` again with the same (grown) bytes after more have
// arrived; it resumes where it stopped, so assembling an n-byte message costs O(n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zv {

class Framer {
public:
    enum class Kind { Request, Response };
    enum class Status { Incomplete, Complete, Malformed };

    explicit Framer(Kind kind) : kind_(kind) {}

    // Examines the bytes buffered for the current message (starting at its first byte).
    // Complete: `message_length()` bytes form the message; the rest belongs to the next.
    // Malformed: the framing cannot be followed (`error()` says why); the caller answers
    // or reports it and drops the buffered bytes.
    Status scan(std::string_view data);

    std::size_t message_length() const { return length_; }
    const std::string& error() const { return error_; }

    // Bytes needed at least before a message can complete (for bounding buffers).
    std::size_t header_length() const { return header_end_; }

    // Whole length of the current message once its head announced a Content-Length,
    // else 0 (lets a caller skip the rest of a message it refuses).
    std::size_t expected_length() const {
        return body_ == Body::Length ? header_end_ + std::size_t(content_length_) : 0;
    }

    // Response framing only: the request this response answers was HEAD, so no body.
    void expect_no_body(bool value) { no_body_ = value; }

    // Response framing only, once the head is read: its status code, and whether its body
    // runs until the stream ends (no Content-Length, no chunked coding).
    int status() const { return status_; }
    bool until_close() const { return body_ == Body::UntilClose; }

    // Response framing only: the stream ended after `data`. A body that runs until then
    // is complete with everything received; any other message stays Incomplete.
    Status end_of_stream(std::string_view data);

    // Forget the current message; the next scan starts a new one.
    void reset();

private:
    Kind kind_;
    bool no_body_ = false;
    int status_ = 0;
    // response: empty lines before the status line, which the parser skips
    std::size_t lead_ = 0;
    bool started_ = false;  // a byte other than CR or LF was seen
    // progress of the current message
    std::size_t header_end_ = 0;  // offset just past CR LF CR LF, 0 while not found
    std::size_t search_from_ = 0;
    std::size_t length_ = 0;
    std::string error_;
    // body framing once the head is known
    enum class Body { Unknown, None, Length, Chunked, UntilClose } body_ = Body::Unknown;
    std::uint64_t content_length_ = 0;
    std::size_t chunk_pos_ = 0;  // next chunk-size line (or trailer line) while following chunks
    bool in_trailer_ = false;    // past the last chunk, reading trailer lines

    Status read_head(std::string_view head);
    Status check_status_line(std::string_view data);
    Status follow_chunks(std::string_view data);
    Status fail(const char* why);
};

}  // namespace zv
