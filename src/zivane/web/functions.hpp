// What zivane.web's module table names (module.cpp) and its parts define.
#pragma once

#include "support/tables.hpp"

namespace zv::web {

extern const table::Class kInputClass;                              // wsgi.cpp
extern const table::Class kBodyClass;                               // client.cpp
PyObject* serve_impl(NativeFunction* fn, PyObject* const* args);    // serve.cpp
PyObject* command_impl(NativeFunction* fn, PyObject* const* args);  // serve.cpp
extern const table::Class kHttpxTransport;                          // transports.cpp
extern const table::Class kAsyncHttpxTransport;                     // transports.cpp
extern const table::Class kRequestsAdapter;                         // transports.cpp
// The transports of libraries imported already become their subclasses: 0, or -1 with
// an exception.
int adopt_imported_library_bases(PyObject* module);  // transports.cpp

}  // namespace zv::web
