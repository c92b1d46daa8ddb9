// The native bodies behind the tables of zivane.types (module.cpp), by the source unit
// that holds them. Each is a NativeBody: PyObject* name(NativeFunction* fn, PyObject* const* args).
#pragma once

#include "support/native_function.hpp"

namespace zv::types {

// records.cpp: HttpRequest, HttpResponse, reason_text
NativeBody request_init, response_init, request_repr, response_repr, request_eq, response_eq, reason_text;

// parse.cpp: the callbacks classes and the ordinary parsing road
NativeBody request_callbacks_init, response_callbacks_init, on_message_begin, on_method, on_url, on_version,
    on_status_code, on_reason_phrase, on_header, on_body, request_parse, response_parse;

// serialize.cpp: __bytes__ of the records, encode_chunked
NativeBody request_bytes, response_bytes, encode_chunked;

}  // namespace zv::types
