// The compact form of HTTP/1.1 on a link between two zivane ends (the proxy and the
// gateway or serve()), which a site offers in its announce (site_announce.hpp) and a
// client takes up by the first byte it sends: no HTTP/1.1 request begins with a byte of
// 0x80 or more, and every compact frame does. Either side keeps one encoder and one
// decoder per link direction; the rest of each side still reads and writes HTTP/1.1,
// which the two turn into frames and back:
//
//   0x80 head      varint length, then the head (head_codec.hpp)
//   0x81 data      varint length, then that many body bytes
//   0x82 end       the end of a body whose length its head did not give (chunked)
//
// Frames go in the link's stream, or, for an answer with a body of more than one
// message's worth (`resource_above`), in an RNS.Resource sent on the link in the stream's
// place: a Resource is proved once rather than packet by packet, asks for its parts in
// windows, and Reticulum compresses it whole. Such an answer's head and body go in one
// resource (no stream message, and no proof of one, for it at all); a longer body in
// several in turn. A resource holds whole frames of one answer only, so no compression
// context ever holds two answers. Its place in the stream is where the stream stood when
// it was offered: the sender offers one only once every stream message before it was
// delivered, and writes nothing after it until it has arrived. Varints are unsigned LEB128.
//
// Nothing here touches Python; the decoder trusts nothing it reads.
#pragma once

#include "transport/head_codec.hpp"
#include "transport/message_stream.hpp"

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace zv::compact {

inline constexpr unsigned char kHead = 0x80, kData = 0x81, kEnd = 0x82;
// The longest head frame a decoder takes.
inline constexpr std::size_t kMaxHeadFrame = 64 * 1024;
// The most body bytes one resource carries; with a head, still under Reticulum's own
// segment size, so that a resource never arrives in segments.
inline constexpr std::size_t kMaxResourceBody = 960 * 1000;
inline constexpr std::size_t kMaxResource = kMaxResourceBody + kMaxHeadFrame + 32;

inline bool begins_compact(unsigned char first_byte) { return first_byte >= 0x80; }

void append_varint(std::string& out, std::uint64_t value);

// What the encoder made of some HTTP/1.1 bytes, in order: stream bytes, each optionally
// followed by frames that go as a resource before any later stream byte.
struct Step {
    std::string stream;
    std::string resource;
};

class Encoder {
public:
    // `resource_above`: bodies (or, of a body whose length is unknown, the bytes handed
    // over at once) longer than this go as resources; 0: never.
    Encoder(http::MessageReader::Kind kind, std::size_t resource_above)
        : kind_(kind), reader_(kind), heads_(kind), resource_above_(resource_above) {}

    // Answers only: the request being answered was HEAD.
    void expect_no_body(bool value) {
        no_body_ = value;
        reader_.expect_no_body(value);
    }

    // Forgets the message being fed when nothing of it has been handed out yet (its head
    // waits for the body it goes with in a resource): true, and the encoder is between
    // messages again, as if it had never seen it.
    bool abandon_unsent();

    // Takes HTTP/1.1 bytes (whole messages or any part) and appends frames to `out`;
    // false when they are not HTTP/1.1 this side could have written.
    bool feed(std::string_view http, std::vector<Step>& out);

    // Whether the bytes fed so far end between messages.
    bool between_messages() const { return reader_.between_messages(); }

private:
    void on_head(std::vector<Step>& out);
    void on_body(std::string_view piece, std::vector<Step>& out);
    void on_end(std::vector<Step>& out);
    void flush_body(std::vector<Step>& out);
    void cut_resource(std::vector<Step>& out, std::size_t n);
    void append_head(std::string& frames);

    const http::MessageReader::Kind kind_;
    bool no_body_ = false;
    http::MessageReader reader_;
    head_codec::Encoder heads_;
    const std::size_t resource_above_;
    bool interim_ = false;
    bool chunked_ = false;
    bool as_resources_ = false;    // a body of known length going as resources
    std::uint64_t body_left_ = 0;  // its bytes not yet cut into a resource
    std::string body_;             // body bytes not yet framed
    bool held_head_ = false;       // the head of an answer going as resources, not yet framed
    std::string stream_;           // frames not yet handed out
};

// Reads frames and gives back HTTP/1.1. Output comes in segments, each tagged with the
// place in the link's stream of the frame it began with (for a resource, the place it
// took in the stream); a segment begins at each head.
class Decoder {
public:
    struct Segment {
        std::uint64_t stream_at = 0;
        std::string text;
    };

    explicit Decoder(http::MessageReader::Kind kind) : kind_(kind), heads_(kind) {}

    // Stream bytes, from place `at` on; or (`whole`) the frames of a resource, all at `at`,
    // which must hold whole frames and come where a frame begins.
    void feed(std::string_view bytes, std::uint64_t at, bool whole = false);

    // Decodes what it can into `out`; false once the stream cannot be followed (error()).
    bool run(std::vector<Segment>& out);
    const std::string& error() const { return error_; }
    bool failed() const { return state_ == State::Failed; }
    // Whether the bytes fed so far end where a frame ends.
    bool between_frames() const { return state_ == State::Frame && pos_ == input_.size(); }

private:
    enum class State { Frame, Data, Failed };
    bool next_frame(bool& progressed);
    bool read_head(std::string_view payload);
    void emit_body(std::string_view piece);
    void emit_end();
    bool fail(std::string why);
    void begin_segment();
    void continue_segment();
    std::uint64_t place() const { return input_at_ + (in_resource_ ? 0 : pos_); }

    const http::MessageReader::Kind kind_;
    head_codec::Decoder heads_;
    State state_ = State::Frame;
    std::string input_;
    std::size_t pos_ = 0;
    std::uint64_t input_at_ = 0;  // the stream's place of input_[0] (of the resource)
    bool in_resource_ = false;    // input_ is a resource's frames
    std::uint64_t data_left_ = 0;
    std::uint64_t body_allowed_ = 0;  // body bytes the current head's length still allows
    bool seen_head_ = false;
    bool chunked_ = false;
    std::vector<Segment> done_;  // complete, not yet handed out
    Segment current_;
    bool has_current_ = false;
    std::string error_;
};

}  // namespace zv::compact
