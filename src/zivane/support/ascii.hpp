// ASCII rules of HTTP: header names, transfer codings and the like compare and lower only
// A to Z, whatever the locale; a token is made of the characters below.
#pragma once

#include <cstddef>
#include <string_view>

namespace zv::ascii {

constexpr bool is_upper(unsigned char c) noexcept { return c >= 'A' && c <= 'Z'; }

constexpr char to_lower(char c) noexcept {
    return is_upper(static_cast<unsigned char>(c)) ? static_cast<char>(c + ('a' - 'A')) : c;
}

// `text` equals `lower`, ignoring the case of `text`; `lower` must be in lower case.
constexpr bool equals_lower(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (to_lower(text[i]) != lower[i]) return false;
    return true;
}

// A token character (RFC 9110, section 5.6.2): a digit, a letter or one of !#$%&'*+-.^_`|~.
constexpr bool is_token_char(char c) noexcept {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

constexpr bool is_hex_digit(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A port number, "0" to "65535" in at most five digits; false for anything else (empty,
// signs, too large), `port` then untouched.
constexpr bool read_port(std::string_view text, int& port) noexcept {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535) return false;
    port = value;
    return true;
}

// Copies `n` bytes from `from` to `to`, lowering A to Z.
inline void copy_lower(char* to, const char* from, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) to[i] = to_lower(from[i]);
}

}  // namespace zv::ascii
