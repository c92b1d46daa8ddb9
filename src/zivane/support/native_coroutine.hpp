// Native coroutine objects whose bodies are C++20 coroutines.
//
// A body is a C++ coroutine returning `CoBody`. It runs, like a Python coroutine, only
// when the coroutine object is first sent to; `co_await Await(obj)` awaits any Python
// awaitable, forwarding the values it yields to whoever drives the coroutine (an asyncio
// task, `await` in Python code, or `asyncio.run`). The awaited result comes back as a
// `Ref`, empty when the awaitable raised (the exception is then set, exactly as after a
// failing C API call). The body ends with `co_return ref;` where an empty Ref means that
// the exception currently set is raised out of the coroutine.
//
// An awaitable that finishes without yielding (every client operation, for instance)
// never suspends the C++ body.
//
// `Await(NULL)`, for the failed call that was to give the awaitable, is ready at once with
// an empty result and that call's exception still set, so a step that may fail is awaited
// as `Ref r = co_await Await(made.get());`. Never put a co_await inside `?:`: GCC 12
// destroys the result of such an await twice.
//
// What the garbage collector sees of a body: its `Ref` parameters (the copies held by
// the coroutine frame, which the promise records when it is constructed) and, while the
// body is suspended, its current `Await`: the awaitable, its iterator and the value
// passed on. Other locals stay invisible, so a body keeps whatever may refer back to its
// own coroutine object (a task, a handler's coroutine) in a parameter or in the awaited
// object. Parameters are taken by value: a `Ref&` parameter would be a reference the
// frame does not own (rejected at compile time below).
#pragma once

#include "support/native_function.hpp"

#include <array>
#include <coroutine>
#include <cstddef>
#include <exception>
#include <type_traits>

namespace zv {

struct AwaitPy;

class CoBody {
public:
    static constexpr size_t kMaxRefParams = 8;

    struct promise_type {
        Ref result;
        AwaitPy* awaiting = nullptr;  // the await the body is suspended in, else NULL
        std::array<Ref*, kMaxRefParams> params{};
        size_t nparams = 0;

        // Called with the frame's copies of the body's parameters.
        template <class... Args>
        explicit promise_type(Args&... args) noexcept {
            static_assert((std::is_same_v<std::remove_cv_t<Args>, Ref> + ... + 0) <= kMaxRefParams,
                          "a coroutine body takes at most kMaxRefParams Ref parameters");
            (remember(args), ...);
        }

        CoBody get_return_object() {
            return CoBody(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref value) noexcept { result = std::move(value); }
        void unhandled_exception() noexcept { std::terminate(); }

        // Visits what the frame holds, as far as it is visible (see above).
        int traverse(visitproc visit, void* arg) const;

    private:
        void remember(Ref& param) noexcept { params[nparams++] = &param; }
        void remember(const Ref& param) noexcept { params[nparams++] = const_cast<Ref*>(&param); }
        template <class T>
        void remember(T&) noexcept {}
    };
    using Handle = std::coroutine_handle<promise_type>;

    CoBody(CoBody&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    CoBody(const CoBody&) = delete;
    CoBody& operator=(const CoBody&) = delete;
    ~CoBody() {
        if (handle_) handle_.destroy();
    }
    Handle release() noexcept { return std::exchange(handle_, nullptr); }

private:
    explicit CoBody(Handle h) noexcept : handle_(h) {}
    Handle handle_;
};

// `co_await Await(awaitable)` inside a CoBody.
struct AwaitPy {
    Ref awaitable;  // held for the duration of the co_await expression
    Ref iter;       // the iterator that __await__ gave
    Ref value;      // the result once done; while suspended, the value to yield
    bool done = false;
    CoBody::Handle suspended = nullptr;  // the body, while it is suspended here

    bool await_ready() noexcept;
    void await_suspend(CoBody::Handle h) noexcept {
        suspended = h;
        h.promise().awaiting = this;
    }
    Ref await_resume() noexcept {
        if (suspended) suspended.promise().awaiting = nullptr;
        return std::move(value);
    }

    // Drives the delegate one step with a sent value or a thrown exception; true when
    // the await has finished (value holds the result or is empty with an exception set).
    bool step_send(PyObject* sent) noexcept;
    bool step_throw(PyObject* exc) noexcept;
    int close_delegate() noexcept;

private:
    bool finish(PySendResult status, PyObject* out) noexcept;
};

inline AwaitPy Await(PyObject* awaitable) { return AwaitPy{Ref::borrow(awaitable)}; }

// Wraps a body into a coroutine object named after the coroutine function `fn`.
// `never_suspends` promises that the body awaits nothing that can suspend; such a
// coroutine may be run to completion on the spot by `run_eager` (see below).
PyObject* make_coroutine(NativeFunction* fn, CoBody body, bool never_suspends = false);

bool is_native_coroutine(PyObject* obj);

// For a not yet started coroutine made with `never_suspends`: runs it to completion and
// stores its result (empty Ref with an exception set on failure); returns true. For any
// other object returns false and does nothing. Used where the result of driving such a
// coroutine in an event loop would be indistinguishable, minus the loop's cost.
bool run_eager(PyObject* obj, Ref* result);

int init_native_coroutine_type();

}  // namespace zv

// Every body's parameters are frame-owned copies: a reference to a Ref would make the
// collector count a reference the frame does not hold.
template <class... Args>
struct std::coroutine_traits<zv::CoBody, Args...> {
    static_assert(!((std::is_reference_v<Args> && std::is_same_v<std::remove_cvref_t<Args>, zv::Ref>) || ...),
                  "coroutine bodies take Ref parameters by value");
    using promise_type = zv::CoBody::promise_type;
};
