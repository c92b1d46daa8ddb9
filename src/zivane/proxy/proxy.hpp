// A running zivane-proxy: the listening socket, a thread that accepts browser
// connections, one thread per connection (at most `max_connections` at once; the next
// one is answered 503 and closed), and the links they share.
//
// Each connection thread holds the GIL while it works with links and lets it go for
// every wait on its socket or on an answer. Stopping shuts every socket down, fails every
// waiting answer and waits for the threads to end.
#pragma once

#include "common/address_book.hpp"
#include "proxy/cache.hpp"
#include "proxy/cache_figures.hpp"
#include "proxy/directory.hpp"
#include "proxy/links.hpp"
#include "proxy/status_page.hpp"
#include "transport/sockets.hpp"

#include <optional>
#include <set>

namespace zv::proxy {

struct Options {
    Settings settings;
    std::optional<std::string> identity_path;  // none: the client's default
    std::size_t max_connections = 64;
    double idle_timeout = 120.0;  // a kept-alive browser connection with no request
    bool quiet = false;           // the log keeps refusals only
    std::string cache_dir;        // empty: no cache (--no-cache)
    std::uint64_t cache_size = 50u << 20;
    bool cache_shared = false;  // browsers of other machines can reach the proxy
};

class Proxy : public std::enable_shared_from_this<Proxy> {
public:
    // Opens the cache when there is one (GIL held); a directory that cannot be used
    // leaves it off.
    Proxy(PyObject* module, Options options);

    // Listens on `host`:`port`, starts accepting and listening for announces. False with
    // `error` set (and maybe an exception). GIL held.
    bool start(const std::string& host, int port, net::IoError& error);
    // The port it listens on, and the host as it was given.
    int port() const { return port_; }
    const std::string& listen_host() const { return listen_host_; }

    // Stops accepting, ends every connection and link, and waits (GIL released, up to
    // `seconds`) for the threads. GIL held.
    void stop(double seconds);

    // What the connection threads use (connections.cpp).
    PyObject* module() const { return module_; }
    const Options& options() const { return options_; }
    Destinations& destinations() { return destinations_; }
    Directory& directory() const { return *directory_; }
    cache::Cache* cache() { return cache_.get(); }  // null when off
    CacheFigures cache_figures() const { return cache_ ? cache_->figures() : CacheFigures{}; }
    // What the page's forms carry to show they came from it (random, for this run).
    const std::string& page_token() const { return page_token_; }
    bool stopping() const { return stopping_.load(); }

    // Registers a connection's descriptor, so that stop() can shut it down; false when
    // the proxy stops already.
    bool enter(int fd);
    void leave(int fd);

private:
    static void accept_main(void* self);
    static void connection_main(void* arg);
    void accept_loop();
    void hand_over(net::Socket socket);

    PyObject* const module_;  // zivane.proxy, alive for the whole process
    const Options options_;
    Destinations destinations_;
    const std::shared_ptr<Directory> directory_ =
        std::make_shared<Directory>(address_book::zivane_directory() + "/directory");
    const std::string page_token_ = make_token();
    std::unique_ptr<cache::Cache> cache_;
    net::Socket listener_;
    std::string listen_host_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    sync::Monitor threads_;      // guards the two below
    std::size_t running_ = 0;    // threads of ours alive: the acceptor and connections
    std::set<int> connections_;  // descriptors of live browser connections
};

// Serves one browser connection until it closes (connections.cpp); the GIL is held.
void serve_connection(const std::shared_ptr<Proxy>& proxy, net::Socket& socket);

}  // namespace zv::proxy
