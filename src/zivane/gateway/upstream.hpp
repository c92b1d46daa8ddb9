// The web server behind a gateway: where it is (`http://HOST:PORT[/prefix]` or
// `unix:/path`), and a bounded pool of kept-alive connections to it.
//
// Nothing here touches Python; callers release the GIL around acquire and release.
#pragma once

#include "support/sync.hpp"
#include "transport/sockets.hpp"

#include <chrono>
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
//
// A kept connection carries another request only once it has rested quietly for
// kRestSeconds after its answer ended: an upstream that answers more than it was asked
// (a second answer a moment later, say) shows it then, and its connection is closed
// instead of handing those bytes to the next request, perhaps another peer's.
class ConnectionPool {
public:
    static constexpr double kRestSeconds = 1.0;

    // A kept connection that has rested, is still open and received nothing (when
    // `may_reuse`), else a new one within `timeout`. `reused` tells which: a reused
    // connection may have been closed by the server just now, which only shows when its
    // answer does not come.
    net::Socket acquire(const Upstream& upstream, double timeout, net::IoError& error, bool may_reuse,
                        bool& reused);
    // Keeps `socket`, whose last answer has just ended, for a later request when there
    // is room, else closes it.
    void release(net::Socket socket, std::size_t capacity);

private:
    struct Kept {
        net::Socket socket;
        std::chrono::steady_clock::time_point since;  // when its last answer ended
    };
    net::Socket take_rested();

    sync::Monitor monitor_;  // level 5: held only around the list below and zero-wait polls of it
    std::vector<Kept> idle_;
};

}  // namespace zv::gateway
