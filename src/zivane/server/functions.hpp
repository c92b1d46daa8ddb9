// The native bodies behind the tables of zivane.server (module.cpp), by the source unit
// that holds them. links.hpp declares those of links.cpp.
#pragma once

#include "server/links.hpp"

namespace zv::server {

// module.cpp: construction, the identity file, properties
PyObject* server_init(NativeFunction* fn, PyObject* const* args);
PyObject* default_identity_path(NativeFunction* fn, PyObject* const* args);
PyObject* load_or_create_identity(NativeFunction* fn, PyObject* const* args);
PyObject* port_getter(NativeFunction* fn, PyObject* const* args);
PyObject* destination_hash_getter(NativeFunction* fn, PyObject* const* args);
PyObject* is_running_getter(NativeFunction* fn, PyObject* const* args);

// routes.cpp: routes and the dispatch of one request
PyObject* route(NativeFunction* fn, PyObject* const* args);
PyObject* add_handler(NativeFunction* fn, PyObject* const* args);
PyObject* set_default_handler(NativeFunction* fn, PyObject* const* args);
PyObject* handle_request(NativeFunction* fn, PyObject* const* args);
PyObject* match_pattern(NativeFunction* fn, PyObject* const* args);

// lifecycle.cpp: start and stop
PyObject* start(NativeFunction* fn, PyObject* const* args);
PyObject* stop(NativeFunction* fn, PyObject* const* args);

// command.cpp: the zivane-server command
PyObject* command_main(NativeFunction* fn, PyObject* const* args);

}  // namespace zv::server
