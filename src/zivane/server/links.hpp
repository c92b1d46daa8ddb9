// Link side of HttpServer: per-link byte assembly and the ordered dispatch of the
// requests found in it, the response writer, and await_in_sync.
#pragma once

#include "support/native_function.hpp"

namespace zv::server {

// Default bound on what one link may hold (assembling and queued requests).
constexpr Py_ssize_t kLinkBufferLimit = 16 * 1024 * 1024;
// Default bound on what all links together may hold.
constexpr Py_ssize_t kTotalBufferLimit = 64 * 1024 * 1024;
// Default bound on a request's start line and header fields.
constexpr Py_ssize_t kHeadLimit = 64 * 1024;
// Seconds a response write may wait for an unready channel before the link is dropped.
constexpr double kWriteStallSeconds = 30.0;

// Implementations of HttpServer._on_link, _on_close, _send_response and of the module
// function await_in_sync.
NativeBody on_link, on_close, send_response, await_in_sync;

// Forgets the per-link state of `link` (pending bytes, queued requests, references).
void release_link(PyObject* link);

}  // namespace zv::server
