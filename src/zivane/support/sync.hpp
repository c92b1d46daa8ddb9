// Threads, the GIL and the package's locks.
//
// LOCK ORDER. Locks are taken downwards only; any may be skipped, none taken upwards:
//
//   1. zivane.client Session::turn (a threading.Lock): one exchange at a time on a link.
//      Held for a whole exchange, across everything below; its acquire waits with the
//      GIL released.
//      zivane.proxy Destinations' open turn (a PyMutex, one per destination): held while
//      one request opens the destination's link (HttpClient.connect, then the link's
//      reader); its waits let the GIL go.
//      zivane.proxy Link::write_turn_ (a PyMutex, one per link): held while one request
//      is written on the link (paced writes; the browser's body read with the GIL
//      released). A write that fails tears the link down, which takes the read mutex.
//      zivane.web Exchange::mutex (a PyMutex, one per answer a transport reads): held
//      while one reader takes the answer's bytes, waiting on the proxy link (5) with the
//      GIL released; a time-out there tears the link down. A reader that asks a new link
//      for the rest of an answer cut short takes the open turn and the write turn above
//      while it holds it; nothing holding those takes an Exchange::mutex. zivane.web's wsgi.input mutex
//      (a PyMutex, one per request): held while a read takes the body off the gateway's
//      link (the buffer's read, 3; the link's flags, 5).
//   2. zivane.server LinkState::mutex (a PyMutex, one per link): held while a ready
//      callback reads the link's buffer (`buffer.read`: Python code, which may let the
//      GIL go and take it back, and takes 3) and cuts requests out of the bytes read.
//      Never held while a handler runs, an answer is written or another link's state
//      is touched. zivane.proxy Link::read_mutex_ is held the same way by the proxy's
//      ready callback, and by the closed callback while it ends the last answer.
//      zivane.proxy Directory::save_turn_ (a PyMutex): held while one save writes the
//      directory's file, with the GIL released for the write; nothing is taken under it.
//      The names file's lock (flock on ~/.zivane/names.lock, shared with the user's other
//      processes): taken with the GIL released, held while a name is bound (takes 4).
//   3. Reticulum's own locks (RawChannelReader._lock, the buffered reader's lock,
//      Channel._lock, ...): Python locks inside RNS. RNS calls into zivane while it holds
//      one only for a proxy link's channel message handler (inside Channel._lock), which
//      takes nothing but the link's monitor (5); ready callbacks start on threads of
//      their own. A proxy link's resource callbacks run where Reticulum holds none of
//      its locks (its packet thread offers a resource, an assembly thread concludes one).
//   4. zivane.client Session::mutex (a PyMutex, one per link), a bounded call's mutex
//      (transport/bounded_call.cpp, one per call), zivane.proxy Directory::mutex_ (the
//      sites heard) and the address book's mutex (common/address_book.cpp: the names
//      file as last read; it reads and rewrites that file while held): held by short
//      native steps that run no Python code and release no reference.
//   5. a Monitor's std::mutex (the server's watchdog table, the client's writer
//      hand-over, the bounded-call workers' queue, a proxy link's answers, the proxy's
//      thread count, a gateway link's wake-up while a body is awaited, the gateway's
//      worker queue and its idle upstream connections, an ASGI request's hand-over
//      between the loop and the threads, zivane.web's task pool, the proxy cache's
//      unreachable destinations and background revalidations): nothing else is taken
//      while it is held.
//
// And the GIL, which is not a place in that order but a rule for each kind of lock:
// - a PyMutex (2, 4) is taken by a thread holding the GIL; PyMutex_Lock lets the GIL go
//   while it waits, so a thread holding one may wait for the GIL (2, inside
//   buffer.read) without blocking the thread that holds the GIL and wants the mutex;
// - a Python lock (1, 3) waits with the GIL released, like every blocking call here;
// - a Monitor's mutex (5) is taken only with the GIL released (or on a thread that has
//   no Python state) and is always let go before the GIL is asked for, so no thread
//   ever waits for it holding the GIL, nor holds it waiting for the GIL.
#pragma once

#include "support/ref.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace zv::sync {

// The GIL released for the scope (what Py_BEGIN/END_ALLOW_THREADS do). Only native work in
// between: no Python object may be touched, created or released.
class GilReleased {
public:
    GilReleased() noexcept : saved_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(saved_); }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* saved_;
};

// Runs `work()` with the GIL released and returns what it returns.
template <class Work>
decltype(auto) without_gil(Work&& work) {
    GilReleased released;
    return std::forward<Work>(work)();
}

// Holds a PyMutex for the scope; may be let go early and taken again.
class MutexGuard {
public:
    explicit MutexGuard(PyMutex& mutex) noexcept : mutex_(&mutex) { lock(); }
    ~MutexGuard() { unlock(); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

    void lock() noexcept {
        PyMutex_Lock(mutex_);
        held_ = true;
    }
    void unlock() noexcept {
        if (std::exchange(held_, false)) PyMutex_Unlock(mutex_);
    }

private:
    PyMutex* mutex_;
    bool held_ = false;
};

// A native mutex and condition variable that keep rule 5 above by construction: from a
// thread holding the GIL, `locked` releases the GIL first and takes the mutex inside the
// released region, and lets the mutex go before the GIL comes back; a thread of our own
// without Python state takes it with `hold` and lets it go around anything that needs
// the GIL with `released`.
class Monitor {
public:
    using Guard = std::unique_lock<std::mutex>;

    // Called with the GIL held: `step(guard)` runs with the GIL released and the mutex
    // held. `step` must not touch Python objects, nor release a reference.
    template <class Step>
    decltype(auto) locked(Step&& step) {
        GilReleased released;
        Guard guard(mutex_);
        return std::forward<Step>(step)(guard);  // the guard goes before the GIL returns
    }

    // Called on a thread that does not hold the GIL.
    Guard hold() { return Guard(mutex_); }

    // With `guard` held: lets the mutex go while `work()` runs (it may take the GIL) and
    // takes it back afterwards.
    template <class Work>
    decltype(auto) released(Guard& guard, Work&& work) {
        struct Relock {
            Guard& guard;
            ~Relock() { guard.lock(); }
        } relock{guard};
        guard.unlock();
        return std::forward<Work>(work)();
    }

    // Waits on the condition; `guard` must hold this monitor's mutex.
    template <class Ready>
    void wait(Guard& guard, Ready ready) {
        condition_.wait(guard, ready);
    }
    template <class Rep, class Period>
    void wait_for(Guard& guard, std::chrono::duration<Rep, Period> timeout) {
        condition_.wait_for(guard, timeout);
    }
    template <class Rep, class Period, class Ready>
    bool wait_for(Guard& guard, std::chrono::duration<Rep, Period> timeout, Ready ready) {
        return condition_.wait_for(guard, timeout, ready);
    }
    template <class Clock, class Duration, class Ready>
    bool wait_until(Guard& guard, std::chrono::time_point<Clock, Duration> deadline, Ready ready) {
        return condition_.wait_until(guard, deadline, ready);
    }

    void notify_one() noexcept { condition_.notify_one(); }
    void notify_all() noexcept { condition_.notify_all(); }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
};

}  // namespace zv::sync
