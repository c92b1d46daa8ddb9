// What the proxy's page shows of its cache: filled by the cache, read by the page.
#pragma once

#include <cstdint>

namespace zv::proxy {

struct CacheFigures {
    bool enabled = false;           // --no-cache leaves it off
    std::uint64_t bytes = 0;        // stored on disk now
    std::uint64_t limit = 0;        // --cache-size
    std::uint64_t entries = 0;      // answers stored
    std::uint64_t hits = 0;         // requests answered from the cache without the link
    std::uint64_t revalidated = 0;  // stored answers confirmed by a 304
    std::uint64_t misses = 0;       // GETs and HEADs the site answered itself (not by a 304)
    std::uint64_t offline = 0;      // stored copies served because the site could not be reached
};

}  // namespace zv::proxy
