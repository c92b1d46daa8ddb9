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

#include "common/announcing.hpp"
#include "common/site_announce.hpp"
#include "gateway/upstream.hpp"
#include "support/ref.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zv::gateway {

struct Settings {
    Upstream upstream;
    std::string app;  // "module:attribute": an application served in-process
    bool set_host = false;
    std::string host;                  // --host
    std::vector<std::string> allowed;  // --allow, lower-case hex identity hashes
    bool report_progress = false;      // an upstream slow to take a connection is logged
    double connect_timeout = 10.0;     // to open a connection to the upstream
    double upstream_timeout = 60.0;    // for the upstream's answer to start, and between its bytes
    double read_timeout = 30.0;        // for the rest of a request once it began arriving
    double write_stall = 30.0;         // a link's window shut this long ends the link
    std::size_t idle_connections = 8;  // kept-alive upstream connections kept idle
    std::size_t workers = 32;          // threads serving links at once
    std::string name;                  // --name: what the site's announces say of it
    // site_announce's feature flags the site announces: it takes compact links.
    unsigned features = site_announce::kFeatureCompactLinks;
    double announce_interval = announcing::kDefaultInterval;  // seconds; 0: only at start
    // On a compact link, bodies of more than one stream message go as resources when the
    // link's messages carry fewer bytes than this (a radio path); over a fast path, whose
    // messages are large, they stay in the stream: resources there only add a wait.
    std::size_t resource_piece_limit = 4096;
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

// The command line (`args`, parsed by zivane.gateway's parser) read into `settings`, the
// tunables from zivane.gateway `module`. 0, or -1 with SystemExit or another exception.
int read_settings(PyObject* module, PyObject* args, Settings& settings);

// The identity of args.identity, else the server's default identity file.
Ref load_identity(PyObject* module, PyObject* args);

// The destination HTTP.<port> of `identity`, accepting links for `gateway`, announced with
// the site's port, name and features (gateway's settings) as its application data.
Ref open_destination(PyObject* module, PyObject* identity, PyObject* port, const GatewayPtr& gateway);

// The destination HTTP.<args.port>, accepting links for `gateway`, announced, with the
// listening lines printed.
Ref publish(PyObject* module, PyObject* args, const GatewayPtr& gateway);

// Whether an UPSTREAM argument names a Python application, as uvicorn's `module:app`: a
// colon, and neither `//` nor a `unix:` prefix.
bool names_app(std::string_view upstream);

}  // namespace zv::gateway
