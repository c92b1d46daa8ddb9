#include "common/site_announce.hpp"

#include <utility>

namespace zv::site_announce {
namespace {

enum Tag : unsigned char { kPort = 1, kName = 2, kFeatures = 3 };

// The length of the UTF-8 sequence starting at `s[i]`, 0 when it is not a valid one
// (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::uint32_t& code) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char lead = byte(i);
    std::size_t size = lead < 0x80           ? 1
                       : (lead >> 5) == 0x6  ? 2
                       : (lead >> 4) == 0xE  ? 3
                       : (lead >> 3) == 0x1E ? 4
                                             : 0;
    if (size == 0 || i + size > s.size()) return 0;
    code = size == 1 ? lead : lead & (0x7F >> size);
    for (std::size_t k = 1; k < size; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[size] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return size;
}

// Control characters, and the marks that turn the direction of the text around them: a
// name is shown within a line of someone else's page or terminal, and must not reorder it.
bool is_control(std::uint32_t code) {
    return code < 0x20 || (code >= 0x7F && code < 0xA0) || code == 0x061C || code == 0x200E ||
           code == 0x200F || (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

// `text` as a name: control characters and direction marks as spaces, cut to kMaxName bytes at a character
// boundary; empty when it is not UTF-8.
std::string clean_name(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t code = 0;
        std::size_t size = utf8_sequence(text, i, code);
        if (size == 0) return {};
        if (out.size() + size > kMaxName) break;
        if (is_control(code))
            out += ' ';
        else
            out.append(text.substr(i, size));
        i += size;
    }
    return out;
}

bool valid_name(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t code = 0;
        std::size_t size = utf8_sequence(text, i, code);
        if (size == 0 || is_control(code)) return false;
        i += size;
    }
    return true;
}

void field(std::string& out, Tag tag, std::string_view value) {
    out += static_cast<char>(tag);
    out += static_cast<char>(value.size());
    out.append(value);
}

}  // namespace

std::string encode(const Site& site) {
    std::string out{static_cast<char>(kMarker), static_cast<char>(kVersion)};
    if (site.port && *site.port >= 0 && *site.port <= 65535) {
        char port[2] = {static_cast<char>((*site.port >> 8) & 0xFF), static_cast<char>(*site.port & 0xFF)};
        field(out, kPort, std::string_view(port, 2));
    }
    std::string name = clean_name(site.name);
    if (!name.empty()) field(out, kName, name);
    if (site.features) {
        char flags = static_cast<char>(site.features & 0xFF);
        field(out, kFeatures, std::string_view(&flags, 1));
    }
    return out;
}

namespace {

bool read_fields(std::string_view data, Site& out) {
    if (data.size() < 2 || data.size() > kMaxData) return false;
    if (static_cast<unsigned char>(data[0]) != kMarker || static_cast<unsigned char>(data[1]) != kVersion)
        return false;
    bool seen[4] = {};
    for (std::size_t i = 2; i < data.size();) {
        if (i + 2 > data.size()) return false;
        auto tag = static_cast<unsigned char>(data[i]);
        std::size_t size = static_cast<unsigned char>(data[i + 1]);
        if (i + 2 + size > data.size()) return false;
        std::string_view value = data.substr(i + 2, size);
        i += 2 + size;
        if (tag >= 4 || tag == 0 || std::exchange(seen[tag], true)) continue;
        if (tag == kPort && size == 2)
            out.port = (static_cast<unsigned char>(value[0]) << 8) | static_cast<unsigned char>(value[1]);
        else if (tag == kName && size <= kMaxName && valid_name(value))
            out.name = std::string(value);
        else if (tag == kFeatures && size >= 1)
            out.features = static_cast<unsigned char>(value[0]);
    }
    return true;
}

}  // namespace

bool decode(std::string_view data, Site& out) {
    Site site;
    bool ours = read_fields(data, site);
    out = ours ? std::move(site) : Site{};
    return ours;
}

}  // namespace zv::site_announce
