// The client's side of one link: a single reader reused by every exchange on the link,
// the bytes received so far, and the queue of requests still waiting for their answers.
//
// Responses arrive over any number of ready notifications, delivered concurrently on
// Reticulum's threads, and always in request order. The ready callback assembles them by
// their framing and hands each complete one to the oldest waiting request; requests that
// gave up (time-out) keep their place in the queue so their late answers are dropped.
#pragma once

#include "support/native_function.hpp"

namespace zv::client {

// Module state of zivane.client.
struct State {
    PyObject* sessions;  // dict: link -> capsule(Session)
};

State* state_of(PyObject* module);

// Raises zivane.client.TransportError(message) (looked up at call time); returns NULL.
PyObject* raise_transport_error(PyObject* module, const char* message, PyObject* cause = nullptr);

// Seconds from an attribute value: < 0 means "no limit" (None).
double seconds_of(PyObject* value, bool* ok);

// One exchange on the client's current link: writes `data`, waits up to the client's
// `_request_timeout` for the complete response and returns its bytes.
Ref exchange(PyObject* module, PyObject* self, PyObject* data);

// Forgets the reader of `link` (after the link was torn down).
void drop_session(PyObject* module, PyObject* link);

}  // namespace zv::client
