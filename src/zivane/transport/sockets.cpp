// Non-blocking descriptors waited on with poll(): one deadline bounds a whole connect
// (every address a name resolves to) and each read or write, and a signal that
// interrupts a wait only shortens what is left of it.
#include "transport/sockets.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace zv::net {
namespace {

using Clock = std::chrono::steady_clock;

IoError make_error(IoStatus status, int error_number, std::string text) {
    return IoError{status, error_number, std::move(text)};
}

IoStatus status_of(int error_number) {
    switch (error_number) {
        case ECONNREFUSED:
        case ENOENT: return IoStatus::Refused;
        case ETIMEDOUT: return IoStatus::TimedOut;
        case EPIPE:
        case ECONNRESET:
        case ECONNABORTED: return IoStatus::Closed;
        default: return IoStatus::Failed;
    }
}

IoError from_errno(int error_number, const char* what) {
    return make_error(status_of(error_number), error_number, what);
}

// Milliseconds left until `deadline` for poll(); -1 (no bound) for a time-out below zero.
class Deadline {
public:
    explicit Deadline(double timeout)
        : unbounded_(timeout < 0),
          end_(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(unbounded_ ? 0.0 : std::min(timeout, 1e7)))) {
    }

    int poll_ms() const {
        if (unbounded_) return -1;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
        return left <= 0 ? 0 : int(std::min<long long>(left + 1, 1 << 30));
    }
    bool passed() const { return !unbounded_ && Clock::now() >= end_; }

private:
    bool unbounded_;
    Clock::time_point end_;
};

// Waits until `fd` is ready for `events`. 1 ready, 0 timed out, -1 with errno.
int wait_for(int fd, short events, const Deadline& deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, deadline.poll_ms());
        if (n > 0) return 1;
        if (n == 0) {
            if (deadline.passed()) return 0;
            continue;
        }
        if (errno != EINTR) return -1;
    }
}

// Connects a fresh non-blocking socket to `addr` within the deadline.
Socket connect_address(int family, const sockaddr* addr, socklen_t length, const Deadline& deadline,
                       IoError& error) {
    Socket socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.valid()) {
        error = from_errno(errno, "cannot create a socket");
        return {};
    }
    if (::connect(socket.fd(), addr, length) == 0) return socket;
    if (errno != EINPROGRESS && errno != EAGAIN) {
        error = from_errno(errno, "connect failed");
        return {};
    }
    int ready = wait_for(socket.fd(), POLLOUT, deadline);
    if (ready == 0) {
        error = make_error(IoStatus::TimedOut, 0, "connect timed out");
        return {};
    }
    int failure = 0;
    socklen_t size = sizeof failure;
    if (ready < 0)
        failure = errno;
    else if (::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &failure, &size) < 0)
        failure = errno;
    if (failure != 0) {
        error = from_errno(failure, "connect failed");
        return {};
    }
    return socket;
}

std::string strip_brackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

// Acknowledges what was read at once instead of up to 40 ms later: a peer that writes an
// answer's head and body in two small sends (with Nagle's algorithm on, as most servers
// leave it) holds the body back until the head is acknowledged. Linux turns quick
// acknowledgement off again by itself, so it is asked for after every read.
void acknowledge_now(int fd) {
#ifdef TCP_QUICKACK
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#else
    (void)fd;
#endif
}

}  // namespace

void Socket::close() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

void Socket::shutdown() noexcept {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

std::size_t Socket::read_some(char* buf, std::size_t n, double timeout, IoError& error) {
    Deadline deadline(timeout);
    for (;;) {
        ssize_t got = ::recv(fd_, buf, n, 0);
        if (got > 0) {
            acknowledge_now(fd_);
            return std::size_t(got);
        }
        if (got == 0) {
            error = make_error(IoStatus::Closed, 0, "connection closed");
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            error = from_errno(errno, "read failed");
            return 0;
        }
        int ready = wait_for(fd_, POLLIN, deadline);
        if (ready == 0) {
            error = make_error(IoStatus::TimedOut, 0, "read timed out");
            return 0;
        }
        if (ready < 0) {
            error = from_errno(errno, "read failed");
            return 0;
        }
    }
}

std::size_t Socket::write_now(const char* data, std::size_t n, IoError& error) {
    for (;;) {
        ssize_t sent = ::send(fd_, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) return std::size_t(sent);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) error = from_errno(errno, "write failed");
        return 0;
    }
}

bool Socket::write_all(const char* data, std::size_t n, double timeout, IoError& error) {
    while (n > 0) {
        ssize_t sent = ::send(fd_, data, n, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            n -= std::size_t(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = from_errno(errno, "write failed");
            return false;
        }
        int ready = wait_for(fd_, POLLOUT, Deadline(timeout));
        if (ready == 0) {
            error = make_error(IoStatus::TimedOut, 0, "write timed out");
            return false;
        }
        if (ready < 0) {
            error = from_errno(errno, "write failed");
            return false;
        }
    }
    return true;
}

bool Socket::readable_within(double timeout) const noexcept {
    return fd_ >= 0 && wait_for(fd_, POLLIN, Deadline(timeout)) == 1;
}

bool Socket::idle_and_open() const noexcept {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int n = ::poll(&p, 1, 0);
    return n == 0;  // readable means closed, reset or unasked-for bytes
}

Socket Socket::accept(double timeout, IoError& error) {
    int ready = wait_for(fd_, POLLIN, Deadline(timeout));
    if (ready <= 0) {
        error = ready == 0 ? make_error(IoStatus::TimedOut, 0, "no connection came")
                           : from_errno(errno, "cannot wait for connections");
        return {};
    }
    Socket socket(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!socket.valid()) {
        // gone again before it was taken, or out of descriptors for a while: not fatal
        error = make_error(IoStatus::TimedOut, errno, "accept failed");
        return {};
    }
    int one = 1;
    ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return socket;
}

int Socket::local_port() const noexcept {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) < 0) return 0;
    if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    return 0;
}

Socket listen_tcp(const std::string& host, int port, IoError& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    int rc =
        ::getaddrinfo(host.empty() ? nullptr : strip_brackets(host).c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        error =
            make_error(IoStatus::Failed, 0, std::string("cannot resolve ") + host + ": " + gai_strerror(rc));
        return {};
    }
    Socket socket;
    for (addrinfo* a = found; a && !socket.valid(); a = a->ai_next) {
        Socket candidate(::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        int one = 1;
        if (!candidate.valid() ||
            ::setsockopt(candidate.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
            ::bind(candidate.fd(), a->ai_addr, a->ai_addrlen) < 0 || ::listen(candidate.fd(), 128) < 0) {
            error = from_errno(errno, "cannot listen");
            continue;
        }
        socket = std::move(candidate);
    }
    ::freeaddrinfo(found);
    if (socket.valid()) error = IoError{};
    return socket;
}

Socket connect_tcp(const std::string& host, int port, double timeout, IoError& error) {
    Deadline deadline(timeout);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(strip_brackets(host).c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        error =
            make_error(IoStatus::Failed, 0, std::string("cannot resolve ") + host + ": " + gai_strerror(rc));
        return {};
    }
    error = make_error(IoStatus::Failed, 0, "no address for " + host);
    Socket socket;
    for (addrinfo* a = found; a && !socket.valid() && !deadline.passed(); a = a->ai_next) {
        error = IoError{};
        socket = connect_address(a->ai_family, a->ai_addr, a->ai_addrlen, deadline, error);
    }
    ::freeaddrinfo(found);
    if (!socket.valid() && !error) error = make_error(IoStatus::TimedOut, 0, "connect timed out");
    if (socket.valid()) {
        int one = 1;
        ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        error = IoError{};
    }
    return socket;
}

Socket connect_unix(const std::string& path, double timeout, IoError& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = make_error(IoStatus::Failed, 0, "unusable unix socket path");
        return {};
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    return connect_address(AF_UNIX, reinterpret_cast<const sockaddr*>(&addr), sizeof addr, Deadline(timeout),
                           error);
}

std::string describe(const IoError& error) {
    const char* what = "failed";
    switch (error.status) {
        case IoStatus::Ok: return "ok";
        case IoStatus::Refused: what = "connection refused"; break;
        case IoStatus::TimedOut: what = "timed out"; break;
        case IoStatus::Closed: what = "connection closed"; break;
        case IoStatus::Failed: break;
    }
    std::string text = error.text.empty() ? what : error.text;
    if (error.error_number != 0) text += std::string(" (") + std::strerror(error.error_number) + ")";
    return text;
}

}  // namespace zv::net
