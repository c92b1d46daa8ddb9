// The native bodies behind the tables of zivane.server (module.cpp), by the source unit
// that holds them (links.hpp declares those of links.cpp). Each is a NativeBody:
// PyObject* name(NativeFunction* fn, PyObject* const* args).
#pragma once

#include "server/links.hpp"

namespace zv::server {

// module.cpp: construction, the identity file, properties
NativeBody server_init, default_identity_path, load_or_create_identity, port_getter, destination_hash_getter,
    is_running_getter;

// routes.cpp: routes and the dispatch of one request
NativeBody route, add_handler, set_default_handler, handle_request, match_pattern;

// lifecycle.cpp: start and stop
NativeBody start, stop;

// command.cpp: the zivane-server command
NativeBody command_main;

}  // namespace zv::server
