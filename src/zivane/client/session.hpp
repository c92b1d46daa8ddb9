// The client's side of one link: a single reader reused by every exchange on the link,
// the bytes received so far, and the queue of requests still waiting for their answers.
//
// Responses arrive over any number of ready notifications, delivered concurrently on
// Reticulum's threads, and always in request order. The reader assembles them by their
// HTTP/1.1 framing and hands each complete one to the oldest waiting request. Whatever
// leaves the stream impossible to follow (bytes nobody asked for, framing that cannot be
// followed, a body delimited by the end of the stream, an answer past the size limit, a
// request that got no answer in time) ends the link's use: it is dropped and the next
// request connects again.
#pragma once

#include "support/native_function.hpp"
#include "transport/bounded_call.hpp"

#include <chrono>

namespace zv::client {

// Module state of zivane.client.
struct State {
    PyObject* sessions;  // dict: link -> capsule(Session)
};

State* state_of(PyObject* module);

// What the module globals _RESPONSE_LIMIT (the largest response accepted, in bytes) and
// _WRITER_IDLE (how long an idle writer thread waits for the next request, in seconds)
// start as.
constexpr Py_ssize_t kResponseLimit = Py_ssize_t(64) * 1024 * 1024;
constexpr double kWriterIdleSeconds = 5.0;

// Raises zivane.client.TransportError(message) (looked up at call time); returns NULL.
PyObject* raise_transport_error(PyObject* module, const char* message, PyObject* cause = nullptr);

// Seconds from an attribute value: < 0 means "no limit" (None).
double seconds_of(PyObject* value, bool* ok);

// One exchange on the client's current link: writes `data`, waits up to the client's
// `_request_timeout` for the complete response and returns its bytes.
Ref exchange(PyObject* module, PyObject* self, PyObject* data);

// Forgets the reader of `link` (after the link was torn down).
void drop_session(PyObject* module, PyObject* link);

// 1 when `link` can carry another exchange: Reticulum has not closed it
// (`link.status == RNS.Link.CLOSED`, both looked up now; unknown counts as open) and its
// stream is still in step. 0 when not, -1 with an exception set.
int link_usable(PyObject* module, PyObject* link);

// Lets go of `link` for good: torn down unless Reticulum already closed it (a failing
// teardown is ignored), its reader forgotten, and `self._link` cleared when it still
// holds that link. Keeps the exception being raised, if any.
void forget_link(PyObject* module, PyObject* self, PyObject* link);

}  // namespace zv::client
