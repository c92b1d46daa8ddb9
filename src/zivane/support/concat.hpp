// Strings built from pieces in one pass. GCC 12 misjudges chains that start with a literal
// (`"..." + std::string(...)`) as overlapping copies, and warnings are errors here.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace zv {

inline std::string cat(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    std::string out;
    out.reserve(size);
    for (std::string_view part : parts) out.append(part);
    return out;
}

}  // namespace zv
