// What a zivane site says about itself in its destination's announce (the announce's
// application data). Every byte of an announce is air time on every interface it
// crosses, so the format is a small binary one:
//
//   byte 0      0x7A ('z'): this is zivane's format
//   byte 1      the format's version (1)
//   then fields, each: tag (1 byte), length (1 byte), value (`length` bytes)
//     tag 1  port      2 bytes, big-endian: the HTTP port (the destination's aspect)
//     tag 2  name      1..64 bytes of UTF-8: the site's description, as its owner wrote it
//     tag 3  features  1 byte of flags (bit 0: the site takes compact links)
//
// Readers skip fields with tags they do not know, so new fields come under new tags and
// the version stays 1; it changes only for data that version 1 readers could not read
// right, which they then refuse whole. A reader takes the first of repeated tags. Nothing
// in it is trusted: a name is a claim, and the port is checked by recomputing the
// destination's hash from the announcing identity before it is believed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zv::site_announce {

inline constexpr unsigned char kMarker = 0x7A;
inline constexpr unsigned char kVersion = 1;
inline constexpr std::size_t kMaxName = 64;   // bytes of UTF-8
inline constexpr std::size_t kMaxData = 256;  // longer application data is not ours

inline constexpr unsigned kFeatureCompactLinks = 1u << 0;

struct Site {
    std::optional<int> port;  // 0..65535
    std::string name;         // valid UTF-8 without control or direction marks, or empty
    unsigned features = 0;
};

// The application data for `site` (a name longer than kMaxName is cut at a character
// boundary; control characters and direction marks become spaces; a name that is not
// UTF-8, and a port out of range, are left out).
std::string encode(const Site& site);

// Reads application data into `out`. False, with `out` empty, when it is not zivane's
// format (wrong marker, another version, too long, a field cut short); a name that is not
// valid UTF-8 or holds control characters or direction marks is left empty, the rest
// still read.
bool decode(std::string_view data, Site& out);

}  // namespace zv::site_announce
