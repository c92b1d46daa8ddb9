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
    // The HTTP status that answers a Malformed request: 400, or 505 for a request line
    // whose version is not HTTP/1.0 or HTTP/1.1.
    int error_status() const { return error_status_; }

    // Request framing: bytes of empty lines before the request line. They belong to no
    // message (the message is the `message_length() - leading()` bytes after them); a
    // caller may drop them after an Incomplete scan, then reset().
    std::size_t leading() const { return lead_; }

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

    struct Fields;  // what a head's fields say of the body (framing.cpp)

private:
    Kind kind_;
    bool no_body_ = false;
    int status_ = 0;
    // empty lines before the request or status line, which belong to no message
    std::size_t lead_ = 0;
    bool started_ = false;  // response: a byte other than CR or LF was seen
    // progress of the current message
    std::size_t header_end_ = 0;  // offset just past CR LF CR LF, 0 while not found
    std::size_t search_from_ = 0;
    std::size_t length_ = 0;
    std::string error_;
    int error_status_ = 400;
    bool line_checked_ = false;  // the request line has been looked at
    // body framing once the head is known
    enum class Body { Unknown, None, Length, Chunked, UntilClose } body_ = Body::Unknown;
    std::uint64_t content_length_ = 0;
    std::size_t chunk_pos_ = 0;  // next chunk-size line (or trailer line) while following chunks
    bool in_trailer_ = false;    // past the last chunk, reading trailer lines

    bool skip_empty_lines(std::string_view data);
    Status check_request_line(std::string_view line);
    Status find_head_end(std::string_view data);
    Status start_message(std::string_view data);
    Status read_head(std::string_view head);
    Status frame_request(const Fields& fields);
    Status frame_response(const Fields& fields, int status);
    Status check_status_line(std::string_view data);
    Status follow_chunks(std::string_view data);
    Status fail(const char* why, int status = 400);
};

}  // namespace zv
