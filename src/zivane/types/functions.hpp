// The native bodies behind the tables of zivane.types (module.cpp), by the source unit
// that holds them.
#pragma once

#include "support/native_function.hpp"

namespace zv::types {

// records.cpp: HttpRequest, HttpResponse, reason_text
PyObject* request_init(NativeFunction* fn, PyObject* const* args);
PyObject* response_init(NativeFunction* fn, PyObject* const* args);
PyObject* request_repr(NativeFunction* fn, PyObject* const* args);
PyObject* response_repr(NativeFunction* fn, PyObject* const* args);
PyObject* request_eq(NativeFunction* fn, PyObject* const* args);
PyObject* response_eq(NativeFunction* fn, PyObject* const* args);
PyObject* reason_text(NativeFunction* fn, PyObject* const* args);

// parse.cpp: the callbacks classes and the ordinary parsing road
PyObject* request_callbacks_init(NativeFunction* fn, PyObject* const* args);
PyObject* response_callbacks_init(NativeFunction* fn, PyObject* const* args);
PyObject* on_message_begin(NativeFunction* fn, PyObject* const* args);
PyObject* on_method(NativeFunction* fn, PyObject* const* args);
PyObject* on_url(NativeFunction* fn, PyObject* const* args);
PyObject* on_version(NativeFunction* fn, PyObject* const* args);
PyObject* on_status_code(NativeFunction* fn, PyObject* const* args);
PyObject* on_reason_phrase(NativeFunction* fn, PyObject* const* args);
PyObject* on_header(NativeFunction* fn, PyObject* const* args);
PyObject* on_body(NativeFunction* fn, PyObject* const* args);
PyObject* request_parse(NativeFunction* fn, PyObject* const* args);
PyObject* response_parse(NativeFunction* fn, PyObject* const* args);

// serialize.cpp: __bytes__ of the records, encode_chunked
PyObject* request_bytes(NativeFunction* fn, PyObject* const* args);
PyObject* response_bytes(NativeFunction* fn, PyObject* const* args);
PyObject* encode_chunked(NativeFunction* fn, PyObject* const* args);

}  // namespace zv::types
