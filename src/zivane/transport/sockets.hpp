// Plain blocking-with-deadline socket I/O for the bridges between Reticulum and ordinary
// TCP or unix-domain HTTP peers. Nothing here touches Python: callers release the GIL
// around every call (support/sync.hpp) and keep the descriptors on threads of their own.
//
// Every call that can wait takes a time-out in seconds (negative: no bound) and reports
// what went wrong as an IoError instead of throwing; SIGPIPE is never raised.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace zv::net {

enum class IoStatus {
    Ok,
    Refused,   // nobody listens there (ECONNREFUSED, ENOENT for a unix path)
    TimedOut,  // the time-out passed before the operation could finish
    Closed,    // the peer ended the stream (EOF on read, EPIPE or ECONNRESET)
    Failed,    // anything else: name resolution, a bad address, an unexpected errno
};

struct IoError {
    IoStatus status = IoStatus::Ok;
    int error_number = 0;  // errno when one caused it, else 0
    std::string text;      // for people: what failed and why

    explicit operator bool() const { return status != IoStatus::Ok; }
};

// A descriptor owned by one object; closed when the owner goes.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) noexcept : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }

    int fd() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    void close() noexcept;
    // Shuts the socket down both ways without closing it, so a thread blocked on it wakes.
    void shutdown() noexcept;

    // Reads at most `n` bytes into `buf`, waiting up to `timeout` for the first. Returns
    // the count (> 0), or 0 with `error` set (Closed at the end of the stream).
    std::size_t read_some(char* buf, std::size_t n, double timeout, IoError& error);

    // Writes what the socket takes of `n` bytes at once, never waiting: the count, or 0
    // with `error` set when the socket failed (0 and no error: it takes nothing now).
    std::size_t write_now(const char* data, std::size_t n, IoError& error);

    // Writes all `n` bytes, waiting up to `timeout` each time the socket does not take
    // more. Returns false with `error` set.
    bool write_all(const char* data, std::size_t n, double timeout, IoError& error);

    // True when bytes (or the end of the stream) can be read within `timeout`.
    bool readable_within(double timeout) const noexcept;

    // True when the socket is still connected and nothing is waiting to be read: what a
    // kept-alive connection must be before it is reused (a peer that closed it, or sent
    // bytes nobody asked for, makes it unusable).
    bool idle_and_open() const noexcept;

    // A listening socket: waits up to `timeout` for the next connection. An invalid
    // Socket with `error` set (TimedOut when none came) otherwise.
    Socket accept(double timeout, IoError& error);

    // The port the socket is bound to (0 when unknown).
    int local_port() const noexcept;

private:
    int fd_ = -1;
};

// Connects to `host`:`port` (a name, an IPv4 address or an IPv6 address with or without
// brackets), trying each address the name resolves to within the one time-out.
Socket connect_tcp(const std::string& host, int port, double timeout, IoError& error);

// Connects to the unix-domain stream socket at `path`.
Socket connect_unix(const std::string& path, double timeout, IoError& error);

// Listens on `host`:`port` (port 0: one the system picks), with SO_REUSEADDR.
Socket listen_tcp(const std::string& host, int port, IoError& error);

// A short text for an error, "connection refused", "timed out" and the like, with its
// errno text when there is one.
std::string describe(const IoError& error);

}  // namespace zv::net
