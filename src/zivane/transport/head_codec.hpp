// Binary heads for the compact form of a link (compact.hpp), in the spirit of HPACK
// (RFC 7541): a field is a reference to a table entry when it was sent before, so a
// browser's tenth request head costs a few bytes. Each direction of a link has its own
// pair of tables: a static one, common to every link, of usual names and values, and a
// dynamic one of the fields this direction already sent, newest first, bounded in bytes
// (an entry counts its name and value and 32), the oldest going first.
//
//   request head   method (1 byte: 1.. a usual method, 0: a string follows), target
//                  (string), fields
//   answer head    status (varint), reason (1 byte: 0 the usual phrase, 1: a string
//                  follows), fields
//   fields         each a varint r, then by r & 3:
//                    0  r >> 2: 0 ends the fields; 1 name and value follow, the field
//                       is added; 2 name and value follow, never added
//                    1  the field of entry r >> 2
//                    2  the name of entry r >> 2, its value follows, the field is added
//                    3  the name of entry r >> 2, its value follows, never added
//   entries        0 .. static size - 1 the static table, then the dynamic one
//   strings        varint length, bytes
//   values         varint v: even, a string of v / 2 bytes follows; 1: an HTTP date as a
//                  varint of seconds since 1970; 3: a decimal number as a varint
//
// Secrets (Cookie, Set-Cookie, Authorization, Proxy-Authorization) never enter a table
// and never match one: their values always go whole, as written, so the size of a head
// never depends on whether a secret matched anything a page chose to send. Field names
// keep their case; a head decodes to the fields the encoder was given, in order.
#pragma once

#include "transport/message_stream.hpp"

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace zv::head_codec {

inline constexpr std::size_t kTableBytes = 4096;

// Whether a field of this name carries a secret (Cookie, Set-Cookie, Authorization,
// Proxy-Authorization; any case).
bool is_secret(std::string_view name);
// A decoded head is refused beyond these (a few bytes can name a long entry many times).
inline constexpr std::size_t kMaxFields = 256;
inline constexpr std::size_t kMaxDecoded = 64 * 1024;

// The dynamic table of one direction, kept the same by its encoder and its decoder.
class Table {
public:
    // The entry at dynamic index `i` (0: the newest), or null.
    const http::Field* at(std::size_t i) const { return i < entries_.size() ? &entries_[i] : nullptr; }
    std::size_t size() const { return entries_.size(); }
    void add(const http::Field& field);

private:
    std::deque<http::Field> entries_;
    std::size_t bytes_ = 0;
};

class Encoder {
public:
    explicit Encoder(http::MessageReader::Kind kind) : kind_(kind) {}
    // Appends the encoded `head` to `out`.
    void encode(const http::Head& head, std::string& out);

private:
    void encode_field(const http::Field& field, std::string& out);
    http::MessageReader::Kind kind_;
    Table table_;
};

class Decoder {
public:
    explicit Decoder(http::MessageReader::Kind kind) : kind_(kind) {}
    // Reads one encoded head (all of `block`) into `head`; false with `why` set when it
    // is not one. After a failure the tables may differ from the encoder's: the stream
    // cannot go on.
    bool decode(std::string_view block, http::Head& head, std::string& why);

private:
    http::MessageReader::Kind kind_;
    Table table_;
};

// Reads an unsigned LEB128 varint from the front of `in` (advancing it); false when it
// is cut short or longer than 64 bits.
bool read_varint(std::string_view& in, std::uint64_t& value);
void write_varint(std::string& out, std::uint64_t value);

}  // namespace zv::head_codec
