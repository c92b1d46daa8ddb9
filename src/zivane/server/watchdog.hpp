// One thread for the whole module that wakes when an unfinished request may have run out
// of time, so that a peer that simply stops sending still gets its answer and loses its
// link. It sleeps with the GIL released, starts with the first request that spans
// notifications, ends when nothing is left to watch, and never calls into Python once
// the interpreter is exiting.
#pragma once

#include "support/ref.hpp"

#include <cstdint>
#include <memory>

namespace zv::server {

struct LinkState;
using StatePtr = std::shared_ptr<LinkState>;

// Steady-clock nanoseconds: the time base of every deadline here.
std::int64_t now_ns();

// Asks for a look at `state` at `when` (or soon after). Called with the GIL held; starts
// the thread when none runs.
void watch(const StatePtr& state, std::int64_t when);

// Forgets `state` (a link that closed). Called with the GIL held.
void unwatch(LinkState* state);

// Provided by the link code: called on the watchdog thread, with the GIL held, for each
// state whose time came. Returns when to look again, or 0 when it needs no more watching.
// Must not block for long: the answer it decides is written on another thread.
std::int64_t check_deadline(const StatePtr& state);

}  // namespace zv::server
