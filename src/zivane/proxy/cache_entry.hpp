// One stored answer as a file of the proxy's cache:
//
//   "zivane-cache 1\n"                 format version
//   <length of what follows>"\n"       the description, in text:
//       the key (the URL as the proxy forwards it)
//       the request's and the answer's times
//       the request values the variant was stored for (Vary)
//       the answer's head, as it went out on the wire
//   the body
//   "\nend <body length> <checksum>\n" 16 hexadecimal digits each, FNV-1a of all before
//
// A file is written under a temporary name as the answer arrives and renamed into place
// once it ended whole, so a reader sees a whole file or none. A file that fails any check
// (version, lengths, checksum, the key asked for) is never served; a broken one is removed.
// Nothing here touches Python; every call may block on the disk (call without the GIL).
#pragma once

#include "proxy/cache_rules.hpp"

#include <cstdint>
#include <string>
#include <utility>

namespace zv::proxy::cache {

inline constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ull;
std::uint64_t fnv1a(std::string_view data, std::uint64_t hash = kFnvOffset);
std::string hex16(std::uint64_t value);

// What an entry says besides its body.
struct Meta {
    std::string key;
    Times times;
    std::vector<VaryValue> vary;
    http::Head head;  // status, reason and fields (no framing fields)
};

// A file descriptor closed with its owner.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    ~Descriptor() { reset(); }
    int get() const { return fd_; }
    void reset();

private:
    int fd_ = -1;
};

// A new entry, written as its answer arrives; removed unless committed.
class EntryWriter {
public:
    EntryWriter() = default;
    EntryWriter(EntryWriter&&) = default;
    EntryWriter& operator=(EntryWriter&&) = default;
    ~EntryWriter() { discard(); }

    // A temporary file in `dir` holding the version and `meta`. False when it cannot be made.
    bool begin(const std::string& dir, const Meta& meta);
    bool active() const { return fd_.get() >= 0; }
    // Adds body bytes; false (and the file gone) when they cannot be written.
    bool append(std::string_view piece);
    std::uint64_t body_bytes() const { return body_; }
    // Ends the file and renames it to `path`. False when it could not be done.
    bool commit(const std::string& path);
    void discard();

private:
    bool write(std::string_view data);

    Descriptor fd_;
    std::string temp_;
    std::uint64_t hash_ = kFnvOffset;
    std::uint64_t body_ = 0;
};

// A stored entry, checked whole, open for reading its body.
class StoredEntry {
public:
    // False when `path` holds no entry for `key` that can be served; a file found broken
    // (rather than missing or another key's) is removed.
    bool open(const std::string& path, const std::string& key);
    // The next piece of the body, from the start after rewind(); false at its end or on
    // a read error.
    bool read_body(std::string& piece);
    void rewind() { position_ = 0; }
    // Marks it used now: eviction goes by the time of last use.
    void touch() const;

    const std::string& path() const { return path_; }
    Meta meta;
    std::uint64_t body_length = 0;

private:
    bool verify(std::uint64_t checked_length, std::uint64_t expected) const;

    Descriptor fd_;
    std::string path_;
    std::uint64_t body_offset_ = 0;
    std::uint64_t position_ = 0;
};

// A fresh file for `meta` with the body of `from` (a stored entry refreshed by a 304),
// renamed to `path`.
bool rewrite(StoredEntry& from, const Meta& meta, const std::string& dir, const std::string& path);

}  // namespace zv::proxy::cache
