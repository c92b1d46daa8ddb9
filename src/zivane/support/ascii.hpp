// ASCII case rules of HTTP: header names, transfer codings and the like compare and lower
// only A to Z, whatever the locale.
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

// Copies `n` bytes from `from` to `to`, lowering A to Z.
inline void copy_lower(char* to, const char* from, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) to[i] = to_lower(from[i]);
}

}  // namespace zv::ascii
