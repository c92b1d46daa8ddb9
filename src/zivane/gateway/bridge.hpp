// The gateway's bridge between Reticulum links and the web server behind it.
//
// Each link that comes in gets a state; its ready callback only marks that bytes wait
// and hands the link to a bounded pool of worker threads. One worker at a time serves a
// link: it reads the link's buffer itself (so a slow upstream leaves the bytes with
// Reticulum instead of piling them up here), reads requests with a MessageReader,
// forwards each to the upstream over a kept-alive connection and streams the answer
// back, one request after the other, so answers keep the order of their requests. A link
// with nothing complete to do goes back to waiting without a thread.
#pragma once

#include "gateway/upstream.hpp"
#include "support/ref.hpp"

#include <memory>
#include <string>
#include <vector>

namespace zv::gateway {

struct Settings {
    Upstream upstream;
    bool set_host = false;
    std::string host;                  // --host
    std::vector<std::string> allowed;  // --allow, lower-case hex identity hashes
    double connect_timeout = 10.0;     // to open a connection to the upstream
    double upstream_timeout = 60.0;    // for the upstream's answer to start, and between its bytes
    double read_timeout = 30.0;        // for the rest of a request once it began arriving
    double write_stall = 30.0;         // a link's window shut this long ends the link
    std::size_t idle_connections = 8;  // kept-alive upstream connections kept idle
    std::size_t workers = 32;          // threads serving links at once
};

struct Gateway;
using GatewayPtr = std::shared_ptr<Gateway>;

// All of these are called with the GIL held.

// A gateway for `module` (whose global RNS is used on the links).
GatewayPtr make_gateway(PyObject* module, Settings settings);

// The callable to pass to destination.set_link_established_callback.
Ref link_established_callback(const GatewayPtr& gateway);

// Gives links whose unfinished request head has waited longer than the read time-out
// their 408 answer; called about once a second.
void sweep(const GatewayPtr& gateway);

// Tears down every link.
void stop(const GatewayPtr& gateway);

}  // namespace zv::gateway
