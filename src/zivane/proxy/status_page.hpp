// The proxy's own page: what a request addressed to the proxy itself (http://<its listen
// address>/) gets instead of a link. It shows the open links, the cache and the sites
// heard announced, and lets the user give a site a name in the address book.
//
// Naming is the one thing on it that changes anything, so a POST binds a name only when
// every one of these holds: the browser is on this machine (the peer is a loopback
// address), the form carries the token of this run of the proxy (random, written into the
// page only, compared in constant time), and Origin / Sec-Fetch-Site, when the browser
// sends them, say the form came from the proxy's own page. A page served from a .rns site
// goes through this proxy too, from this machine: it fails on the token, which it cannot
// read (the page is no-store, framing is denied, no CORS header lets another origin read
// it).
#pragma once

#include "transport/message_stream.hpp"

#include <string>
#include <string_view>

namespace zv::proxy {

class Proxy;

// Whether `request` is addressed to the proxy itself rather than to a .rns site: an
// absolute URL or a Host naming the address it listens on.
bool addressed_to_proxy(const Proxy& proxy, const http::Head& request);

// Bytes of a form a POST may carry; more is refused.
inline constexpr std::size_t kMaxFormBody = 4096;

struct OwnRequest {
    const http::Head& head;
    std::string_view body;  // read whole (at most kMaxFormBody bytes)
    bool local = false;     // the browser's connection comes from a loopback address
};

// The whole answer (head and body) to a request addressed to the proxy; `status` is set
// to its status. GIL held.
std::string answer_own_request(Proxy& proxy, const OwnRequest& request, int& status);

// A fresh random token (hexadecimal), for one run of the proxy.
std::string make_token();

}  // namespace zv::proxy
