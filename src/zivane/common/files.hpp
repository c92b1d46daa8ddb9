// Small files the commands keep under the user's zivane directory (the address book, the
// proxy's directory of sites): read with a bound, replaced whole by a rename so that a
// reader never sees half a file. Plain system calls: no Python code, no GIL needed.
#pragma once

#include <cstdint>
#include <string>

namespace zv::files {

// What tells that a file changed: its modification time and size.
struct Stamp {
    bool exists = false;
    std::int64_t modified_ns = 0;
    std::int64_t size = 0;
    std::uint64_t inode = 0;
    bool operator==(const Stamp&) const = default;
};
Stamp stamp_of(const std::string& path);

// The whole file into `out`; false with `why` set when it cannot be read or holds more
// than `limit` bytes.
bool read_bounded(const std::string& path, std::size_t limit, std::string& out, std::string& why);

// Makes `path` (mode 0700) when missing; false with `why` set.
bool make_directory(const std::string& path, std::string& why);

// An exclusive lock on the file `path` (made when missing) across processes, held while
// the object lives; a blocking wait (call without the GIL). Not held when the file cannot
// be opened.
class Lock {
public:
    explicit Lock(const std::string& path);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// `path` with its symbolic links followed, or `path` itself when it names nothing.
std::string resolved(const std::string& path);

// Writes `text` to a new file beside `path`, flushes it and renames it over `path`.
bool write_atomically(const std::string& path, const std::string& text, std::string& why);

}  // namespace zv::files
