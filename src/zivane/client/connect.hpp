// HttpClient.connect: the path to the server, its identity and the link, within the
// connect time-out.
#pragma once

#include <string>

#include "support/ref.hpp"

namespace zv::client {

// RNS.<a>.<b> looked up now (RNS.<a> without `b`).
Ref rns_attr(PyObject* module, const char* a, const char* b = nullptr);

// The client's destination hash in hexadecimal, "the server" when it cannot be told.
std::string destination_text(PyObject* self);

// Tears down self._link (when there is one), forgets its reader and sets it to None.
// False with an exception set.
bool close_link(PyObject* module, PyObject* self);

// The body of HttpClient.connect: None, or empty with an exception set.
Ref connect_impl(PyObject* module, PyObject* self);

}  // namespace zv::client
