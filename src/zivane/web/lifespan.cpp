// The ASGI lifespan protocol: a task of its own on the loop, told to start up before the
// destination is announced and to shut down once it is no longer served. An application
// that raises before its startup completed does not take part; it is served all the same.
#include "web/server.hpp"

#include "support/capsule.hpp"
#include "support/globals.hpp"
#include "support/native_coroutine.hpp"
#include "support/tables.hpp"

namespace zv::web {
namespace {

struct State {
    Ref loop, startup, shutdown_asked, shutdown_done;  // futures on the loop, GIL
    int received = 0;
};
using StatePtr = std::shared_ptr<State>;
constexpr Capsule<StatePtr> kState{"zivane.web.lifespan"};

State* state_of(NativeFunction* fn) {
    StatePtr* held = kState.get(captured(fn, 0));
    return held ? held->get() : nullptr;
}

bool settle(PyObject* future, PyObject* value, bool exception = false) {
    Ref done = call_method(future, ZV_STR("done"));
    if (!done) return false;
    if (done.get() == Py_True) return true;
    return bool(call_method(future, exception ? ZV_STR("set_exception") : ZV_STR("set_result"), {value}));
}

PyObject* receive_impl(NativeFunction* fn, PyObject* const*) {
    State* state = state_of(fn);
    if (!state) return nullptr;
    if (state->received++ > 0) return Ref(state->shutdown_asked).release();
    Ref future = call_method(state->loop.get(), ZV_STR("create_future"));
    Ref msg = future ? Ref::steal(Py_BuildValue("{ss}", "type", "lifespan.startup")) : Ref{};
    return msg && settle(future.get(), msg.get()) ? future.release() : nullptr;
}

// startup.complete / startup.failed / shutdown.complete / shutdown.failed
PyObject* send_impl(NativeFunction* fn, PyObject* const* args) {
    State* state = state_of(fn);
    Ref type = state ? Ref::steal(PyObject_GetItem(args[0], ZV_STR("type"))) : Ref{};
    const char* kind = type && PyUnicode_Check(type.get()) ? PyUnicode_AsUTF8(type.get()) : nullptr;
    if (!kind) return nullptr;
    std::string_view what(kind);
    bool ok = true;
    if (what == "lifespan.startup.complete") ok = settle(state->startup.get(), Py_None);
    if (what == "lifespan.startup.failed") {
        Ref text = Ref::steal(PyObject_GetItem(args[0], ZV_STR("message")));
        if (!text) PyErr_Clear();
        Ref error = Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "sO", "application startup failed",
                                                     text ? text.get() : Py_None));
        ok = error && settle(state->startup.get(), error.get(), true);
    }
    if (what.starts_with("lifespan.shutdown.")) ok = settle(state->shutdown_done.get(), Py_None);
    Ref future = ok ? call_method(state->loop.get(), ZV_STR("create_future")) : Ref{};
    return future && settle(future.get(), Py_None) ? future.release() : nullptr;
}

const table::Function kReceive = {"receive", {}, nullptr, nullptr, receive_impl};
const table::Function kSend = {"send", {{"message"}}, nullptr, nullptr, send_impl};

CoBody run_body(Ref capsule, Ref app, Ref scope, Ref receive, Ref send) {
    Ref coroutine = call(app.get(), {scope.get(), receive.get(), send.get()});
    Ref result = co_await Await(coroutine.get());
    StatePtr* held = kState.get(capsule.get());
    bool started = false;
    if (held) {
        Ref done = call_method((*held)->startup.get(), ZV_STR("done"));
        started = done && done.get() == Py_True;
    }
    // Before its startup completed an error means no lifespan support; after, it is the
    // application's failure, reported.
    if (!result && started) report_app_error();
    PyErr_Clear();
    if (held && (!settle((*held)->startup.get(), Py_None) || !settle((*held)->shutdown_done.get(), Py_None)))
        PyErr_Clear();
    co_return Ref::none();
}

PyObject* run_impl(NativeFunction* fn, PyObject* const*) {
    auto at = [&](Py_ssize_t i) { return Ref::borrow(captured(fn, i)); };
    return make_coroutine(fn, run_body(at(0), at(1), at(2), at(3), at(4)));
}

const table::Function kRun = {"_lifespan", {}, nullptr, nullptr, run_impl, table::Kind::Coroutine};

class AsgiLifespan final : public Lifespan {
public:
    AsgiLifespan(PyObject* module, PyObject* app, PyObject* loop, PyObject* app_state)
        : module_(Ref::borrow(module)), app_(Ref::borrow(app)), app_state_(Ref::borrow(app_state)) {
        state_->loop = Ref::borrow(loop);
    }

    Ref startup() override {
        State& s = *state_;
        s.startup = call_method(s.loop.get(), ZV_STR("create_future"));
        s.shutdown_asked = s.startup ? call_method(s.loop.get(), ZV_STR("create_future")) : Ref{};
        s.shutdown_done = s.shutdown_asked ? call_method(s.loop.get(), ZV_STR("create_future")) : Ref{};
        Ref capsule = s.shutdown_done ? kState.wrap(state_) : Ref{};
        Ref closure = capsule ? new_tuple({capsule.get()}) : Ref{};
        Ref receive =
            closure ? table::make_nested(module_.get(), kReceive, "lifespan", closure.get()) : Ref{};
        Ref send = receive ? table::make_nested(module_.get(), kSend, "lifespan", closure.get()) : Ref{};
        Ref scope = send ? Ref::steal(Py_BuildValue("{sss{ssss}sO}", "type", "lifespan", "asgi", "version",
                                                    "3.0", "spec_version", "2.0", "state", app_state_.get()))
                         : Ref{};
        Ref run_closure =
            scope ? new_tuple({capsule.get(), app_.get(), scope.get(), receive.get(), send.get()}) : Ref{};
        Ref run =
            run_closure ? table::make_nested(module_.get(), kRun, "lifespan", run_closure.get()) : Ref{};
        Ref coroutine = run ? call(run.get()) : Ref{};
        task_ = coroutine ? call_method(s.loop.get(), ZV_STR("create_task"), {coroutine.get()}) : Ref{};
        return task_ ? s.startup : Ref{};
    }

    Ref shutdown() override {
        State& s = *state_;
        if (!task_) return Ref::none();
        Ref msg = Ref::steal(Py_BuildValue("{ss}", "type", "lifespan.shutdown"));
        if (!msg || !settle(s.shutdown_asked.get(), msg.get())) return {};
        return s.shutdown_done;
    }

private:
    Ref module_, app_, app_state_, task_;
    StatePtr state_ = std::make_shared<State>();
};

}  // namespace

std::shared_ptr<Lifespan> make_lifespan(PyObject* module, PyObject* app, PyObject* loop, PyObject* state) {
    return std::make_shared<AsgiLifespan>(module, app, loop, state);
}

}  // namespace zv::web
