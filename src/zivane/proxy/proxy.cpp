#include "proxy/proxy.hpp"

#include <sys/socket.h>

namespace zv::proxy {
namespace {

// How often the acceptor looks at the stop flag.
constexpr double kAcceptSlice = 0.2;
// What the kernel may hold for one browser: with the answer limit, all that a browser
// that stops reading costs (the system's own default grows to megabytes).
constexpr int kBrowserSendBuffer = 256 << 10;

constexpr std::string_view kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 46\r\n"
    "Connection: close\r\n\r\nzivane-proxy: too many connections, try again\n";

struct Start {
    std::shared_ptr<Proxy> proxy;
    net::Socket socket;
};

}  // namespace

Proxy::Proxy(PyObject* module, Options options) : module_(module), options_(std::move(options)) {
    if (options_.cache_dir.empty()) return;
    cache_ = std::make_unique<cache::Cache>(options_.cache_dir, options_.cache_size, options_.cache_shared);
    if (!cache_->open()) cache_.reset();
}

bool Proxy::start(const std::string& host, int port, net::IoError& error) {
    listener_ = net::listen_tcp(host, port, error);
    if (!listener_.valid()) return false;
    port_ = listener_.local_port();
    listen_host_ = host;
    if (!directory_->start(module_)) {
        PyErr_Clear();
        listener_.close();
        error = net::IoError{net::IoStatus::Failed, 0, "cannot listen for announces"};
        return false;
    }
    auto* self = new std::shared_ptr<Proxy>(shared_from_this());
    threads_.locked([&](sync::Monitor::Guard&) { ++running_; });
    if (PyThread_start_new_thread(accept_main, self) == PYTHREAD_INVALID_THREAD_ID) {
        threads_.locked([&](sync::Monitor::Guard&) { --running_; });
        delete self;
        listener_.close();
        directory_->stop(module_);
        error = net::IoError{net::IoStatus::Failed, 0, "cannot start the accepting thread"};
        return false;
    }
    return true;
}

void Proxy::accept_main(void* arg) {
    std::unique_ptr<std::shared_ptr<Proxy>> self(static_cast<std::shared_ptr<Proxy>*>(arg));
    Proxy& proxy = **self;
    proxy.accept_loop();
    auto guard = proxy.threads_.hold();
    --proxy.running_;
    proxy.threads_.notify_all();
    // the Proxy holds no Python object of its own: letting go of it here needs no GIL
}

void Proxy::accept_loop() {
    while (!stopping_.load()) {
        net::IoError error;
        net::Socket socket = listener_.accept(kAcceptSlice, error);
        if (socket.valid()) hand_over(std::move(socket));
    }
    listener_.close();  // here, not in stop(): this thread may be waiting on it
}

// A thread for the connection, or 503 when there are too many already.
void Proxy::hand_over(net::Socket socket) {
    bool room = false;
    {
        auto guard = threads_.hold();
        room = running_ - 1 < options_.max_connections && !stopping_.load();
        if (room) ++running_;
    }
    if (!room) {
        net::IoError ignored;
        socket.write_all(kBusy.data(), kBusy.size(), 1.0, ignored);
        return;
    }
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_SNDBUF, &kBrowserSendBuffer, sizeof kBrowserSendBuffer);
    auto* start = new Start{shared_from_this(), std::move(socket)};
    if (PyThread_start_new_thread(connection_main, start) != PYTHREAD_INVALID_THREAD_ID) return;
    delete start;
    auto guard = threads_.hold();
    --running_;
}

void Proxy::connection_main(void* arg) {
    std::unique_ptr<Start> start(static_cast<Start*>(arg));
    Proxy& proxy = *start->proxy;
    if (!Py_IsFinalizing()) {
        PyGILState_STATE gil = PyGILState_Ensure();
        if (proxy.enter(start->socket.fd())) {
            serve_connection(start->proxy, start->socket);
            proxy.leave(start->socket.fd());
        }
        PyGILState_Release(gil);
    }
    start->socket.close();
    auto guard = proxy.threads_.hold();
    --proxy.running_;
    proxy.threads_.notify_all();
}

bool Proxy::enter(int fd) {
    return threads_.locked([&](sync::Monitor::Guard&) {
        if (stopping_.load()) return false;
        connections_.insert(fd);
        return true;
    });
}

void Proxy::leave(int fd) {
    threads_.locked([&](sync::Monitor::Guard&) { connections_.erase(fd); });
}

void Proxy::stop(double seconds) {
    stopping_.store(true);
    threads_.locked([&](sync::Monitor::Guard&) {
        for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    });
    destinations_.close_all(module_, "zivane-proxy is stopping");
    directory_->stop(module_);
    threads_.locked([&](sync::Monitor::Guard& guard) {
        threads_.wait_for(guard, std::chrono::duration<double>(seconds), [&] { return running_ == 0; });
    });
}

}  // namespace zv::proxy
