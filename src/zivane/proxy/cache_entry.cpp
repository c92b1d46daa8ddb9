#include "proxy/cache_entry.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zv::proxy::cache {
namespace {

constexpr std::string_view kVersionLine = "zivane-cache 1\n";
constexpr std::size_t kTrailerSize = 39;  // "\nend " + 16 + " " + 16 + "\n"
constexpr std::size_t kMetaLimit = 256u << 10;
constexpr std::size_t kReadSize = 64u << 10;

std::string encode_meta(const Meta& meta) {
    char times[64];
    std::snprintf(times, sizeof times, "%.3f %.3f\n", meta.times.request_time, meta.times.response_time);
    std::string out = meta.key + "\n" + times + std::to_string(meta.vary.size()) + "\n";
    for (const VaryValue& v : meta.vary) out += v.name + "\n" + (v.present ? "1" : "0") + v.value + "\n";
    http::Head head = meta.head;
    head.minor_version = 1;
    return out + http::serialize_response(head);
}

bool take_line(std::string_view& text, std::string_view& line) {
    std::size_t nl = text.find('\n');
    if (nl == std::string_view::npos) return false;
    line = text.substr(0, nl);
    text.remove_prefix(nl + 1);
    return true;
}

bool read_number(std::string_view text, std::uint64_t& out, int base = 10) {
    if (text.empty() || text.size() > 16) return false;
    std::string copy(text);
    char* end = nullptr;
    out = std::strtoull(copy.c_str(), &end, base);
    return end == copy.c_str() + copy.size();
}

bool decode_status_line(std::string_view line, http::Head& head) {
    if (!line.starts_with("HTTP/1.1 ") || line.size() < 12) return false;
    std::uint64_t status = 0;
    if (!read_number(line.substr(9, 3), status) || status < 100 || status > 999) return false;
    head.status = int(status);
    head.reason = std::string(line.size() > 13 ? line.substr(13) : "");
    return true;
}

bool decode_meta(std::string_view text, Meta& meta) {
    std::string_view line;
    if (!take_line(text, line)) return false;
    meta.key = line;
    if (!take_line(text, line) || std::sscanf(std::string(line).c_str(), "%lf %lf", &meta.times.request_time,
                                              &meta.times.response_time) != 2)
        return false;
    std::uint64_t count = 0;
    if (!take_line(text, line) || !read_number(line, count) || count > 64) return false;
    meta.vary.resize(count);
    for (VaryValue& v : meta.vary) {
        std::string_view value;
        if (!take_line(text, line) || !take_line(text, value) || value.empty()) return false;
        v.name = line;
        v.present = value.front() == '1';
        v.value = value.substr(1);
    }
    if (!take_line(text, line)) return false;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string why;
    return decode_status_line(line, meta.head) && http::parse_fields(text, meta.head.fields, why);
}

bool read_exact(int fd, char* data, std::size_t size, std::uint64_t offset) {
    while (size > 0) {
        ssize_t got = ::pread(fd, data, size, off_t(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        size -= std::size_t(got);
        offset += std::uint64_t(got);
    }
    return true;
}

// Unique among the processes sharing the directory: the process, a count, and the time.
std::string temp_name(const std::string& dir) {
    static std::atomic<unsigned> counter{0};
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return dir + "/.tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + "-" +
           hex16(std::uint64_t(now.tv_sec) * 1000000000ull + std::uint64_t(now.tv_nsec));
}

}  // namespace

std::uint64_t fnv1a(std::string_view data, std::uint64_t hash) {
    for (unsigned char c : data) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string hex16(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void Descriptor::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// ---- writing ------------------------------------------------------------------------------

bool EntryWriter::begin(const std::string& dir, const Meta& meta) {
    discard();
    temp_ = temp_name(dir);
    fd_ = Descriptor(::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd_.get() < 0) return false;
    hash_ = kFnvOffset;
    body_ = 0;
    std::string text = encode_meta(meta);
    return write(kVersionLine) && write(std::to_string(text.size()) + "\n") && write(text);
}

bool EntryWriter::write(std::string_view data) {
    hash_ = fnv1a(data, hash_);
    while (!data.empty()) {
        ssize_t put = ::write(fd_.get(), data.data(), data.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            discard();
            return false;
        }
        data.remove_prefix(std::size_t(put));
    }
    return true;
}

bool EntryWriter::append(std::string_view piece) {
    if (!active()) return false;
    body_ += piece.size();
    return write(piece);
}

bool EntryWriter::commit(const std::string& path) {
    if (!active()) return false;
    std::string trailer = "\nend " + hex16(body_) + " " + hex16(hash_) + "\n";
    if (!write(trailer)) return false;
    fd_.reset();
    if (::rename(temp_.c_str(), path.c_str()) < 0) {
        ::unlink(temp_.c_str());
        temp_.clear();
        return false;
    }
    temp_.clear();
    return true;
}

void EntryWriter::discard() {
    if (fd_.get() >= 0) ::unlink(temp_.c_str());
    fd_.reset();
    temp_.clear();
}

// ---- reading ------------------------------------------------------------------------------

bool StoredEntry::open(const std::string& path, const std::string& key) {
    path_ = path;
    fd_ = Descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd_.get() < 0) return false;
    struct stat info {};
    auto broken = [&] {
        struct stat named {};
        // removed only while the name is still this file: another proxy may have replaced it
        if (::stat(path.c_str(), &named) == 0 && named.st_ino == info.st_ino && named.st_dev == info.st_dev)
            ::unlink(path.c_str());
        fd_.reset();
        return false;
    };
    if (::fstat(fd_.get(), &info) < 0 || !S_ISREG(info.st_mode)) return broken();
    std::uint64_t size = std::uint64_t(info.st_size);
    std::string start(std::min<std::uint64_t>(size, kVersionLine.size() + 8), '\0');
    if (size < kVersionLine.size() + kTrailerSize || !read_exact(fd_.get(), start.data(), start.size(), 0) ||
        !start.starts_with(kVersionLine))
        return broken();
    std::string_view rest = std::string_view(start).substr(kVersionLine.size());
    std::size_t nl = rest.find('\n');
    std::uint64_t meta_size = 0;
    if (nl == std::string_view::npos || !read_number(rest.substr(0, nl), meta_size) || meta_size > kMetaLimit)
        return broken();
    std::uint64_t meta_offset = kVersionLine.size() + nl + 1;
    std::string trailer(kTrailerSize, '\0');
    std::string text(meta_size, '\0');
    if (meta_offset + meta_size + kTrailerSize > size ||
        !read_exact(fd_.get(), trailer.data(), kTrailerSize, size - kTrailerSize) ||
        !read_exact(fd_.get(), text.data(), meta_size, meta_offset))
        return broken();
    std::uint64_t body = 0, checksum = 0;
    if (!trailer.starts_with("\nend ") || trailer[21] != ' ' || trailer.back() != '\n' ||
        !read_number(std::string_view(trailer).substr(5, 16), body, 16) ||
        !read_number(std::string_view(trailer).substr(22, 16), checksum, 16))
        return broken();
    body_offset_ = meta_offset + meta_size;
    if (body_offset_ + body + kTrailerSize != size || !verify(size - kTrailerSize, checksum)) return broken();
    meta = {};
    if (!decode_meta(text, meta)) return broken();
    body_length = body;
    position_ = 0;
    if (meta.key == key) return true;
    fd_.reset();  // another key's file under this name: not ours to serve, nor to remove
    return false;
}

bool StoredEntry::verify(std::uint64_t checked_length, std::uint64_t expected) const {
    std::string buffer(std::min<std::uint64_t>(checked_length, kReadSize), '\0');
    std::uint64_t hash = kFnvOffset;
    for (std::uint64_t at = 0; at < checked_length;) {
        std::size_t n = std::size_t(std::min<std::uint64_t>(buffer.size(), checked_length - at));
        if (!read_exact(fd_.get(), buffer.data(), n, at)) return false;
        hash = fnv1a(std::string_view(buffer.data(), n), hash);
        at += n;
    }
    return hash == expected;
}

bool StoredEntry::read_body(std::string& piece) {
    if (fd_.get() < 0 || position_ >= body_length) return false;
    piece.resize(std::size_t(std::min<std::uint64_t>(kReadSize, body_length - position_)));
    if (!read_exact(fd_.get(), piece.data(), piece.size(), body_offset_ + position_)) return false;
    position_ += piece.size();
    return true;
}

void StoredEntry::touch() const {
    if (fd_.get() >= 0) ::futimens(fd_.get(), nullptr);
}

bool rewrite(StoredEntry& from, const Meta& meta, const std::string& dir, const std::string& path) {
    EntryWriter writer;
    if (!writer.begin(dir, meta)) return false;
    from.rewind();
    std::string piece;
    while (from.read_body(piece))
        if (!writer.append(piece)) return false;
    from.rewind();
    return writer.body_bytes() == from.body_length && writer.commit(path);
}

}  // namespace zv::proxy::cache
