#include "transport/bounded_call.hpp"

#include "support/sync.hpp"

#include <algorithm>
#include <deque>
#include <thread>

namespace zv::rns {
namespace {

using Clock = std::chrono::steady_clock;
using sync::MutexGuard;

// A call still running after this long is started again beside the first attempt.
constexpr auto kRetryAfter = std::chrono::seconds(2);
// How often a waiting caller looks for signals (Ctrl-C).
constexpr auto kSignalSlice = std::chrono::milliseconds(100);
// An idle worker ends after this long without a call.
constexpr auto kLinger = std::chrono::seconds(10);
// How long interpreter exit waits for a worker that is taking the GIL right then.
constexpr auto kExitWait = std::chrono::seconds(2);

// One bounded call, shared by its caller and the attempts queued or running for it. Its
// references go with the GIL held only: whoever lets go of the last share holds it.
struct Call {
    Ref callable, args;
    bool teardown_losers = false;
    std::shared_ptr<std::atomic<bool>> busy;  // a repeat: no waiter; cleared when it ends
    PyMutex mutex{};                          // guards the next three; taken with the GIL held
    bool settled = false;                     // an attempt won, or the caller stopped waiting
    Ref result, error;                        // the winner's
    bool finished = false;                    // guarded by the pool's monitor: an attempt won
};
using CallPtr = std::shared_ptr<Call>;

struct Pool {
    sync::Monitor monitor;  // guards the queue and the count of idle workers
    std::deque<CallPtr> queue;
    std::size_t idle = 0;                       // workers waiting for a call, or starting up
    PyInterpreterState* interpreter = nullptr;  // set with the GIL, before any worker starts
    std::atomic<bool> stopping{false};          // interpreter exit began: no worker enters Python
    std::atomic<int> entering{0};               // workers taking the GIL right now
};

// Never destroyed: workers may still run while static destructors do.
Pool& pool = *new Pool();

// Takes the GIL for `ts` unless the interpreter is exiting (then false, without it).
bool enter_python(PyThreadState* ts) {
    pool.entering.fetch_add(1);
    if (pool.stopping.load()) {
        pool.entering.fetch_sub(1);
        return false;
    }
    PyEval_RestoreThread(ts);
    pool.entering.fetch_sub(1);
    return true;
}

void teardown(PyObject* link) {
    if (!call_method(link, ZV_STR("teardown"))) PyErr_Clear();
}

// Keeps the attempt's outcome when it is the first; false when it came too late.
bool settle(Call& c, Ref& result, Ref& error) {
    MutexGuard lock(c.mutex);
    if (c.settled) return false;
    c.settled = true;
    c.result = std::move(result);
    c.error = std::move(error);
    return true;
}

// One attempt, with the GIL held.
void attempt(Call& c) {
    if (!c.busy) {
        MutexGuard lock(c.mutex);
        if (c.settled) return;  // answered meanwhile, or nobody waits any more
    }
    Ref result = Ref::steal(PyObject_Call(c.callable.get(), c.args.get(), nullptr));
    Ref error = result ? Ref{} : Ref::steal(PyErr_GetRaisedException());
    if (c.busy) {
        c.busy->store(false);
        return;
    }
    if (!settle(c, result, error)) {
        if (result && c.teardown_losers && !result.is_none()) teardown(result.get());
        return;
    }
    pool.monitor.locked([&](sync::Monitor::Guard&) {
        c.finished = true;
        pool.monitor.notify_all();
    });
}

void run_attempt(PyThreadState* ts, CallPtr call) {
    // Let go of with the GIL only: an exit that ends this thread leaves it alone.
    auto* held = new CallPtr(std::move(call));
    if (!enter_python(ts)) return;
    attempt(**held);
    delete held;
    PyEval_SaveThread();
}

void retire(PyThreadState* ts) {
    if (!enter_python(ts)) return;
    PyThreadState_Clear(ts);
    PyThreadState_DeleteCurrent();
}

void worker_main(void*) {
    PyThreadState* ts = PyThreadState_New(pool.interpreter);
    sync::Monitor::Guard guard = pool.monitor.hold();  // a thread of our own: no GIL here
    if (!ts) {                                         // out of memory: the next call starts another worker
        --pool.idle;
        return;
    }
    for (;;) {
        bool woke =
            pool.monitor.wait_for(guard, kLinger, [] { return pool.stopping.load() || !pool.queue.empty(); });
        if (!woke || pool.stopping.load()) break;
        CallPtr call = std::move(pool.queue.front());
        pool.queue.pop_front();
        --pool.idle;
        pool.monitor.released(guard, [&] { run_attempt(ts, std::move(call)); });
        ++pool.idle;
    }
    --pool.idle;
    guard.unlock();
    retire(ts);
}

// atexit: from here on no worker takes the GIL; waits (bounded) for those taking it now.
PyObject* stop_at_exit(PyObject*, PyObject*) {
    pool.stopping.store(true);
    pool.monitor.locked([](sync::Monitor::Guard&) { pool.monitor.notify_all(); });
    sync::without_gil([] {
        auto until = Clock::now() + kExitWait;
        while (pool.entering.load() > 0 && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    Py_RETURN_NONE;
}

PyMethodDef stop_def = {"_stop_call_workers", stop_at_exit, METH_NOARGS, nullptr};

// Once, with the GIL held (which also guards the flag).
void prepare() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    pool.interpreter = PyInterpreterState_Get();
    Ref atexit = import("atexit");
    Ref hook = Ref::steal(PyCFunction_New(&stop_def, nullptr));
    if (!atexit || !hook || !call_method(atexit.get(), ZV_STR("register"), {hook.get()})) PyErr_Clear();
}

enum class Queued { Yes, Exiting, NoThread };

// Hands the call to an idle worker, or to a new one when none is idle.
Queued submit(const CallPtr& call) {
    prepare();
    return pool.monitor.locked([&](sync::Monitor::Guard&) {
        if (pool.stopping.load()) return Queued::Exiting;
        pool.queue.push_back(call);
        if (pool.idle < pool.queue.size()) {
            if (PyThread_start_new_thread(worker_main, nullptr) == PYTHREAD_INVALID_THREAD_ID) {
                pool.queue.pop_back();  // the caller still holds its share
                return Queued::NoThread;
            }
            ++pool.idle;
        }
        pool.monitor.notify_all();
        return Queued::Yes;
    });
}

void raise_no_thread() { PyErr_SetString(PyExc_RuntimeError, "can't start new thread"); }

// Waits with the GIL released until an attempt won or `until` (at most a signal slice).
bool wait_finished(Call& c, Clock::time_point until) {
    until = std::min(until, Clock::now() + kSignalSlice);
    return pool.monitor.locked([&](sync::Monitor::Guard& guard) {
        return pool.monitor.wait_until(guard, until, [&] { return c.finished; });
    });
}

// The winner's outcome, to the caller.
Ref take(Call& c) {
    MutexGuard lock(c.mutex);
    Ref result = std::move(c.result), error = std::move(c.error);
    lock.unlock();
    if (error) PyErr_SetRaisedException(error.release());
    if (!result && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "call ended without a result");
    return result;
}

Ref give_up(Call& c, bool* timed_out) {
    MutexGuard lock(c.mutex);
    if (c.settled) {  // an attempt won just now
        lock.unlock();
        return take(c);
    }
    c.settled = true;
    *timed_out = true;
    return {};
}

// Interrupted: whatever the call gives is nobody's.
Ref abandon(Call& c) {
    SavedError error;
    MutexGuard lock(c.mutex);
    Ref orphan = std::exchange(c.settled, true) ? std::move(c.result) : Ref{};
    lock.unlock();
    if (orphan && c.teardown_losers && !orphan.is_none()) teardown(orphan.get());
    error.restore();
    return {};
}

}  // namespace

Ref call_bounded(PyObject* callable, PyObject* args, Clock::time_point deadline, bool* timed_out,
                 BoundedCall how) {
    *timed_out = false;
    auto call = std::make_shared<Call>();
    call->callable = Ref::borrow(callable);
    call->args = Ref::borrow(args);
    call->teardown_losers = how.teardown_losers;
    Queued q = submit(call);
    if (q == Queued::Exiting) return Ref::steal(PyObject_Call(callable, args, nullptr));
    if (q == Queued::NoThread) {
        raise_no_thread();
        return {};
    }
    auto retry_at = how.retry ? Clock::now() + kRetryAfter : Clock::time_point::max();
    for (;;) {
        if (wait_finished(*call, std::min(deadline, retry_at))) return take(*call);
        if (PyErr_CheckSignals() < 0) return abandon(*call);
        auto now = Clock::now();
        if (now >= deadline) return give_up(*call, timed_out);
        if (now < retry_at) continue;
        if (submit(call) == Queued::NoThread) {
            raise_no_thread();
            return abandon(*call);
        }
        retry_at = now + kRetryAfter;
    }
}

Repeater::Repeater(Ref callable, Ref args)
    : callable_(std::move(callable)),
      args_(std::move(args)),
      busy_(std::make_shared<std::atomic<bool>>(false)) {}

int Repeater::tick() {
    if (busy_->exchange(true)) return 0;  // the last one has not come back yet
    auto call = std::make_shared<Call>();
    call->callable = callable_;
    call->args = args_;
    call->busy = busy_;
    Queued q = submit(call);
    if (q == Queued::Yes) return 0;
    busy_->store(false);
    if (q == Queued::Exiting) return 0;  // no more repeats once the interpreter exits
    raise_no_thread();
    return -1;
}

}  // namespace zv::rns
