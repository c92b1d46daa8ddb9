#include "common/files.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zv::files {
namespace {

std::string failed(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

bool write_all(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

}  // namespace

Stamp stamp_of(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) < 0) return {};
    return {true, std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
            std::int64_t(info.st_size), std::uint64_t(info.st_ino)};
}

bool read_bounded(const std::string& path, std::size_t limit, std::string& out, std::string& why) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = failed("read", path);
        return false;
    }
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) why = failed("read", path);
        if (n <= 0) break;
        out.append(buffer, std::size_t(n));
        if (out.size() > limit) {
            why = path + " is larger than " + std::to_string(limit) + " bytes";
            break;
        }
    }
    ::close(fd);
    return why.empty();
}

bool make_directory(const std::string& path, std::string& why) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    why = failed("make the directory", path);
    return false;
}

Lock::Lock(const std::string& path)
    : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {
    while (fd_ >= 0 && ::flock(fd_, LOCK_EX) < 0) {
        if (errno == EINTR) continue;
        ::close(fd_);
        fd_ = -1;
    }
}

Lock::~Lock() {
    if (fd_ >= 0) ::close(fd_);
}

std::string resolved(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string out = real;
    std::free(real);
    return out;
}

bool write_atomically(const std::string& path, const std::string& text, std::string& why) {
    static std::atomic<unsigned> counter{0};
    std::string temporary = path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = failed("write", temporary);
        return false;
    }
    bool ok = write_all(fd, text) && ::fsync(fd) == 0;
    if (!ok) why = failed("write", temporary);
    if (::close(fd) < 0 && ok) {
        ok = false;
        why = failed("write", temporary);
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) < 0) {
        ok = false;
        why = failed("replace", path);
    }
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

}  // namespace zv::files
