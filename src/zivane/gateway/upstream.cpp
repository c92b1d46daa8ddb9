#include "gateway/upstream.hpp"

#include <charconv>

namespace zv::gateway {
namespace {

bool parse_port(std::string_view text, int& port) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) return false;
    port = value;
    return true;
}

// "host", "host:port", "[v6]" or "[v6]:port".
bool parse_authority(std::string_view authority, Upstream& out) {
    std::string_view host = authority, port;
    if (authority.starts_with('[')) {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = authority.substr(0, close + 1);
        std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || rest.size() == 1)) return false;
        if (!rest.empty()) port = rest.substr(1);
    } else if (std::size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        if (port.empty()) return false;
    }
    if (host.empty() || host.find_first_of(" \t/?#@") != std::string_view::npos) return false;
    if (!port.empty() && !parse_port(port, out.port)) return false;
    out.host = std::string(host);
    out.authority = std::string(authority);
    return true;
}

}  // namespace

bool parse_upstream(std::string_view text, Upstream& out, std::string& why) {
    out = Upstream{};
    if (text.starts_with("unix:")) {
        std::string_view path = text.substr(5);
        if (path.empty()) return why = "a unix socket path is missing after 'unix:'", false;
        out.unix_socket = true;
        out.host = std::string(path);
        out.authority = "localhost";
        return true;
    }
    if (!text.starts_with("http://"))
        return why = "expected http://HOST:PORT[/prefix] or unix:/path/to/socket", false;
    std::string_view rest = text.substr(7);
    std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view prefix = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
    if (prefix.find_first_of("?# \t") != std::string_view::npos)
        return why = "the path prefix holds '?', '#' or a space", false;
    while (prefix.ends_with('/')) prefix.remove_suffix(1);
    if (!parse_authority(authority, out)) return why = "expected http://HOST:PORT[/prefix]", false;
    out.prefix = std::string(prefix);
    return true;
}

// The most recently released connection that has rested; those that were closed or
// received anything meanwhile are closed on the way.
net::Socket ConnectionPool::take_rested() {
    const auto rested_before =
        std::chrono::steady_clock::now() - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(kRestSeconds));
    auto guard = monitor_.hold();
    std::erase_if(idle_, [](const Kept& kept) { return !kept.socket.idle_and_open(); });
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
        if (it->since > rested_before) continue;
        net::Socket socket = std::move(it->socket);
        idle_.erase(std::next(it).base());
        return socket;
    }
    return {};
}

net::Socket ConnectionPool::acquire(const Upstream& upstream, double timeout, net::IoError& error,
                                    bool may_reuse, bool& reused) {
    net::Socket kept = may_reuse ? take_rested() : net::Socket{};
    reused = kept.valid();
    if (reused) return kept;
    if (upstream.unix_socket) return net::connect_unix(upstream.host, timeout, error);
    return net::connect_tcp(upstream.host, upstream.port, timeout, error);
}

void ConnectionPool::release(net::Socket socket, std::size_t capacity) {
    auto guard = monitor_.hold();
    if (idle_.size() < capacity) idle_.push_back({std::move(socket), std::chrono::steady_clock::now()});
}

}  // namespace zv::gateway

namespace zv::gateway {

bool names_app(std::string_view upstream) {
    return upstream.find(':') != std::string_view::npos && upstream.find("//") == std::string_view::npos &&
           !upstream.starts_with("unix:");
}

}  // namespace zv::gateway
