// The client's side of one link: a single reader reused by every exchange on the link,
// the bytes received so far, and the queue of requests still waiting for their answers.
//
// Responses arrive over any number of ready notifications, delivered concurrently on
// Reticulum's threads, and always in request order. The ready callback assembles them by
// their framing and hands each complete one to the oldest waiting request; requests that
// gave up (time-out) keep their place in the queue so their late answers are dropped.
#pragma once

#include "support/native_function.hpp"

#include <chrono>

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

// While a bounded call runs: something to do now and then instead of starting the call
// again (used to repeat path requests while a path is awaited).
struct Tick {
    PyObject* fn = nullptr;
    PyObject* args = nullptr;
};

// Runs callable(*args) on a daemon helper thread while this thread waits with the GIL
// released. Finished before `deadline`: its result, or empty with its exception set. Not
// finished in time: empty with no exception set and *timed_out = true; whatever the call
// gives later is dropped (torn down when `teardown_losers`). With `retry`, a call still
// running after a while is started again on a fresh thread and the first answer wins.
Ref call_bounded(PyObject* module, PyObject* callable, PyObject* args,
                 std::chrono::steady_clock::time_point deadline, bool teardown_losers,
                 bool* timed_out, Tick tick = {}, bool retry = true);

// Forgets the reader of `link` (after the link was torn down).
void drop_session(PyObject* module, PyObject* link);

}  // namespace zv::client
