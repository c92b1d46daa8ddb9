// The web server behind a gateway: where it is (`http://HOST:PORT[/prefix]` or
// `unix:/path`), and a bounded pool of kept-alive connections to it.
//
// Nothing here touches Python; callers release the GIL around acquire and release.
#pragma once

#include "support/sync.hpp"
#include "transport/sockets.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace zv::gateway {

struct Upstream {
    bool unix_socket = false;
    std::string host;  // TCP: the name or address; unix: the socket's path
    int port = 80;
    std::string prefix;     // prepended to every request target, without a trailing '/'
    std::string authority;  // host[:port], the Host of requests that came without one
};

// Parses an UPSTREAM argument; false with `why` set when it is none.
bool parse_upstream(std::string_view text, Upstream& out, std::string& why);

// Idle connections kept for reuse, at most `capacity` of them; any number may be out
// in use at once (the gateway's worker threads bound that).
class ConnectionPool {
public:
    // A kept connection that is still open and quiet, else a new one within `timeout`.
    // `reused` tells which: a reused connection may have been closed by the server just
    // now, which only shows when its answer does not come.
    net::Socket acquire(const Upstream& upstream, double timeout, net::IoError& error, bool& reused);
    // Keeps `socket` for the next request when there is room, else closes it.
    void release(net::Socket socket, std::size_t capacity);

private:
    sync::Monitor monitor_;  // level 5: held only around the list below
    std::vector<net::Socket> idle_;
};

}  // namespace zv::gateway
