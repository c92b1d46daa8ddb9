// HTTP/1.1 messages read and written as streams, for the bridges that carry them between
// Reticulum links and ordinary TCP peers without ever holding a whole body.
//
// MessageReader is fed bytes as they come and hands out, in order, one event at a time:
// the head of a message (start line and header fields as ordered pairs), pieces of its
// body (views into the caller's input: no copy), and the end of the message; then the
// next message starts. Body framing is Content-Length, chunked (the chunks are decoded,
// trailer fields kept) or, for responses, until the stream ends; answers to HEAD and 1xx,
// 204 and 304 answers have none. Where the head ends and how its body is framed is
// decided by the Framer (transport/framing.hpp), the same rules the server applies.
//
// Nothing here touches Python.
#pragma once

#include "transport/framing.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zv::http {

struct Field {
    std::string name, value;
};

enum class Framing { None, Length, Chunked, UntilClose };

struct Head {
    // request line
    std::string method, target;
    // status line
    int status = 0;
    std::string reason;
    int minor_version = 1;  // HTTP/1.<minor_version>
    std::vector<Field> fields;
    // how the body that follows is delimited
    Framing framing = Framing::None;
    std::uint64_t content_length = 0;

    // The value of the first field named `lower_name` (lower case), or null.
    const std::string* find(std::string_view lower_name) const;
    // Removes every field named `lower_name` (lower case).
    void remove(std::string_view lower_name);
    // Replaces every field named like `name` by one `name: value` at the end.
    void set(std::string_view name, std::string value);
    // Whether a field named `lower_name` lists `lower_token` (comma-separated, any case).
    bool lists(std::string_view lower_name, std::string_view lower_token) const;
    // Whether the sender means to end the connection after this message: "close" in
    // Connection, or HTTP/1.0 without "keep-alive".
    bool ends_connection() const;
};

class MessageReader {
public:
    enum class Kind { Request, Response };
    enum class Event { NeedMore, Head, Body, End, Error };

    static constexpr std::size_t kDefaultHeadLimit = 64 * 1024;

    explicit MessageReader(Kind kind, std::size_t head_limit = kDefaultHeadLimit)
        : kind_(kind), head_limit_(head_limit) {}

    // Takes bytes from the front of `input` (advancing it) up to the next event:
    // - NeedMore: `input` is used up; feed more (or call end_of_input);
    // - Head: head() holds the new message's head;
    // - Body: piece() is the next part of the body, a view into what `input` was;
    // - End: the message is complete (trailers() holds a chunked body's trailer fields);
    // - Error: the stream cannot be followed (error(), error_status()); it stays so.
    Event next(std::string_view& input);

    // The stream has ended: a body that runs until then ends with it (End), a message
    // cut short becomes an Error, and between messages nothing happens (NeedMore).
    void end_of_input();

    // Response reading: the request being answered was HEAD, so its answer has no body.
    // Holds for every head read until changed.
    void expect_no_body(bool value) { no_body_ = value; }

    const Head& head() const { return head_; }
    Head& head() { return head_; }
    std::string_view piece() const { return piece_; }
    const std::vector<Field>& trailers() const { return trailers_; }
    const std::string& error() const { return error_; }
    // The status that answers a request refused for its framing: 400, 431 for a head over
    // the limit, 505 for a version other than HTTP/1.0 or HTTP/1.1.
    int error_status() const { return error_status_; }
    // True between messages: nothing of a next message has been seen.
    bool between_messages() const { return state_ == State::Start; }

private:
    enum class State { Start, Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, Done, Failed };

    Kind kind_;
    std::size_t head_limit_;
    bool no_body_ = false;
    bool ended_ = false;  // end_of_input was called
    State state_ = State::Start;
    Framer framer_{Framer::Kind::Request};
    std::string buffered_;    // the head, a chunk-size line or trailer lines as they arrive
    std::uint64_t left_ = 0;  // body or chunk bytes still to come
    Head head_;
    std::vector<Field> trailers_;
    std::string_view piece_;
    std::string error_;
    int error_status_ = 400;

    Event fail(std::string why, int status = 400);
    Event start(std::string_view& input);
    Event read_head(std::string_view& input);
    bool head_alone_is_sound();
    Event begin_body(bool complete);
    Event body(std::string_view& input);
    Event chunk_size(std::string_view& input);
    Event chunk_data(std::string_view& input);
    Event chunk_end(std::string_view& input);
    Event trailer(std::string_view& input);
    bool take_line(std::string_view& input, std::size_t limit, std::string_view& line, bool& too_long);
    bool parse_head(std::string_view text);
    bool parse_start_line(std::string_view line);
};

// Parses `text` as header field lines (name ":" value, one per line) into `out`; false,
// with `why` set, for a line that is no field.
bool parse_fields(std::string_view text, std::vector<Field>& out, std::string& why);

// Drops the fields that concern one connection only: Connection and every field it
// names, Keep-Alive, Proxy-*, TE, Trailer, Transfer-Encoding and Upgrade.
void drop_hop_by_hop(Head& head);

// "METHOD target HTTP/1.1" or "HTTP/1.1 status reason", the fields and the empty line.
std::string serialize_request(const Head& head);
std::string serialize_response(const Head& head);

// Appends `piece` as one chunk (nothing for an empty piece: that would end the body).
void append_chunk(std::string& out, std::string_view piece);
// The last chunk and an empty trailer section.
inline constexpr std::string_view kLastChunk = "0\r\n\r\n";

// The usual reason phrase of a status code ("" when unknown).
std::string_view reason_phrase(int status);

}  // namespace zv::http
