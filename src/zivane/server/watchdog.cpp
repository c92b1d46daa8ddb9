// The deadline thread of the server's links.
//
// Its table is guarded by a monitor (support/sync.hpp) whose mutex is only ever taken with
// the GIL released: callers drop the GIL around it, and the thread itself drops the mutex
// before it asks for the GIL. So no thread holds the mutex while it waits for the GIL, and
// no thread waits for the mutex while it holds the GIL.
#include "server/watchdog.hpp"

#include "support/sync.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <unordered_map>
#include <vector>

namespace zv::server {
namespace {

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
// How long interpreter exit waits for the thread to leave Python.
constexpr auto kExitWait = std::chrono::seconds(2);

struct Watch {
    std::weak_ptr<LinkState> state;  // never owning: the table must not keep links alive
    std::int64_t when;
};

struct Again {
    std::weak_ptr<LinkState> state;
    LinkState* key;
    std::int64_t when;
};

struct Watchdog {
    // Guards what follows but `stopping`. Its condition tells the thread of a new, earlier
    // deadline or of exit, and interpreter exit that the thread left Python.
    sync::Monitor monitor;
    std::unordered_map<LinkState*, Watch> watched;
    std::int64_t next_wake = kNever;  // when the sleeping thread wakes by itself
    bool running = false;
    bool in_python = false;  // the thread holds, or waits for, the GIL
    std::atomic<bool> stopping{false};  // interpreter exit began: no more Python
};

// Never destroyed: the thread may still run while static destructors do.
Watchdog& dog = *new Watchdog();

void add_locked(const std::weak_ptr<LinkState>& state, LinkState* key, std::int64_t when) {
    auto [it, fresh] = dog.watched.try_emplace(key, Watch{state, when});
    if (!fresh) {
        it->second.state = state;
        it->second.when = std::min(it->second.when, when);
    }
}

std::int64_t earliest_locked() {
    std::int64_t next = kNever;
    for (auto& [key, w] : dog.watched) next = std::min(next, w.when);
    return next;
}

// Takes the entries whose time came out of the table.
void take_due_locked(std::int64_t now, std::vector<std::weak_ptr<LinkState>>& due) {
    for (auto it = dog.watched.begin(); it != dog.watched.end();) {
        if (it->second.when <= now) {
            due.push_back(std::move(it->second.state));
            it = dog.watched.erase(it);
        } else {
            ++it;
        }
    }
}

// With the GIL: the verdict on each due state. Holds no owning reference once it returns,
// so nothing here is ever released without the GIL.
void look_at(std::vector<std::weak_ptr<LinkState>>& due, std::vector<Again>& again) {
    if (Py_IsFinalizing()) return;
    PyGILState_STATE gil = PyGILState_Ensure();
    if (!dog.stopping.load()) {
        for (auto& weak : due) {
            StatePtr state = weak.lock();
            if (!state) continue;
            std::int64_t when = check_deadline(state);
            if (when != 0) again.push_back({state, state.get(), when});
        }
    }
    PyGILState_Release(gil);
}

void thread_main(void*) {
    std::vector<std::weak_ptr<LinkState>> due;
    std::vector<Again> again;
    sync::Monitor::Guard guard = dog.monitor.hold();  // a thread of our own: no GIL here
    while (!dog.stopping.load() && !dog.watched.empty()) {
        std::int64_t now = now_ns();
        std::int64_t next = earliest_locked();
        if (next > now) {
            dog.next_wake = next;
            dog.monitor.wait_for(guard, std::chrono::nanoseconds(next - now));
            continue;
        }
        dog.next_wake = kNever;
        take_due_locked(now, due);
        dog.in_python = true;
        dog.monitor.released(guard, [&] {
            look_at(due, again);
            due.clear();
        });
        dog.in_python = false;
        dog.monitor.notify_all();
        for (auto& a : again) add_locked(a.state, a.key, a.when);
        again.clear();
    }
    dog.running = false;
    dog.next_wake = kNever;
}

// atexit: from here on the thread never takes the GIL; waits (bounded) for it to leave.
PyObject* stop_at_exit(PyObject*, PyObject*) {
    dog.monitor.locked([](sync::Monitor::Guard& guard) {
        dog.stopping.store(true);
        dog.monitor.notify_all();
        dog.monitor.wait_for(guard, kExitWait, [] { return !dog.in_python; });
    });
    return Py_NewRef(Py_None);
}

PyMethodDef stop_def = {"_stop_link_watchdog", stop_at_exit, METH_NOARGS, nullptr};

// Once, with the GIL held (which also guards the flag).
void register_exit_hook() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    Ref atexit = import("atexit");
    Ref hook = Ref::steal(PyCFunction_New(&stop_def, nullptr));
    if (!atexit || !hook || !call_method(atexit.get(), ZV_STR("register"), {hook.get()})) PyErr_Clear();
}

}  // namespace

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void watch(const StatePtr& state, std::int64_t when) {
    register_exit_hook();
    std::weak_ptr<LinkState> weak = state;
    LinkState* key = state.get();
    dog.monitor.locked([&](sync::Monitor::Guard&) {
        if (dog.stopping.load()) return;
        add_locked(weak, key, when);
        if (dog.running) {
            if (when < dog.next_wake) dog.monitor.notify_all();
            return;
        }
        dog.running = true;
        if (PyThread_start_new_thread(thread_main, nullptr) == PYTHREAD_INVALID_THREAD_ID) {
            // No timer then: the request is still bounded in size, just not in time.
            dog.running = false;
            dog.watched.clear();
        }
    });
}

void unwatch(LinkState* state) {
    dog.monitor.locked([&](sync::Monitor::Guard&) {
        // an empty table lets the thread end now rather than at the deadline
        if (dog.watched.erase(state) && dog.watched.empty()) dog.monitor.notify_all();
    });
}

}  // namespace zv::server
