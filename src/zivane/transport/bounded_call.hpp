// Reticulum calls that must not outlive a deadline.
//
// Some Reticulum calls ask a shared instance over an RPC connection with no time-out
// (Identity.recall, Link() for its first-hop estimate, ...); with several processes
// connecting at once one of them can wait for ever. Such calls run on the package's worker
// threads while the caller waits with the GIL released. Workers are long-lived (a call
// costs a hand-over, not a thread start) and as many as there are calls in flight: a call
// that never comes back keeps its worker, and the next call finds or starts another one.
// Idle workers end after a while; at interpreter exit no worker enters Python again.
//
// All functions are called with the GIL held.
#pragma once

#include "support/ref.hpp"

#include <atomic>
#include <chrono>
#include <memory>

namespace zv::rns {

struct BoundedCall {
    // A result nobody waits for any more (it came after the deadline, or after another
    // attempt's) is torn down: a late link is not wanted by anyone.
    bool teardown_losers = false;
    // A call still running after a while is started once more beside it, and the first
    // answer wins. Off for calls that must not run twice.
    bool retry = true;
};

// callable(*args) on a worker. Finished before `deadline`: its result, or empty with its
// exception set. Not finished in time: empty with no exception set and *timed_out = true;
// whatever the call gives later is dropped (torn down with `teardown_losers`). Empty with
// an exception set also when the wait was interrupted (a signal) or no worker could start.
Ref call_bounded(PyObject* callable, PyObject* args, std::chrono::steady_clock::time_point deadline,
                 bool* timed_out, BoundedCall how = {});

// A call repeated now and then in the background, at most one at a time: a repeat that
// does not come back neither holds the caller nor piles up work. Its outcome is dropped.
class Repeater {
public:
    Repeater(Ref callable, Ref args);
    // Starts the call unless the last one is still running. -1 with an exception set when
    // no worker could start.
    int tick();

private:
    Ref callable_, args_;
    std::shared_ptr<std::atomic<bool>> busy_;
};

}  // namespace zv::rns
