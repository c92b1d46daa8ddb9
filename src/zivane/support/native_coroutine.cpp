#include "support/native_coroutine.hpp"

#include <cstddef>

namespace zv {
namespace {

struct NativeCoroutine {
    PyObject_HEAD
    CoBody::Handle handle;  // empty once the body has finished or was closed
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    bool started;
    bool running;
    bool never_suspends;
};

PyTypeObject* coroutine_type = nullptr;

NativeCoroutine* as_coro(PyObject* self) { return reinterpret_cast<NativeCoroutine*>(self); }

void discard_frame(NativeCoroutine* co) {
    if (co->handle) std::exchange(co->handle, nullptr).destroy();
}

// After the body ran: either it finished (result or error) or it is suspended in an await
// whose delegate yielded a value that we pass on.
PySendResult settle(NativeCoroutine* co, PyObject** result) {
    co->running = false;
    if (!co->handle.done()) {
        *result = co->handle.promise().awaiting->value.release();
        return PYGEN_NEXT;
    }
    Ref value = std::move(co->handle.promise().result);
    discard_frame(co);
    *result = value.release();
    return *result ? PYGEN_RETURN : PYGEN_ERROR;
}

bool enter(NativeCoroutine* co) {
    if (co->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    return true;
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    NativeCoroutine* co = as_coro(self);
    *result = nullptr;
    if (!enter(co)) return PYGEN_ERROR;
    if (!co->handle) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    co->running = true;
    if (!co->started) {
        if (arg != Py_None) {
            co->running = false;
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        co->started = true;
    } else {
        AwaitPy* await = co->handle.promise().awaiting;
        if (!await->step_send(arg)) {
            co->running = false;
            *result = await->value.release();
            return PYGEN_NEXT;
        }
    }
    co->handle.resume();
    return settle(co, result);
}

// Raises StopIteration(value) built explicitly, so that a tuple value is not unpacked.
void set_stop_iteration(PyObject* value) {
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exc) {
        PyErr_SetObject(PyExc_StopIteration, exc);
        Py_DECREF(exc);
    }
}

PyObject* result_or_stop(PySendResult status, PyObject* result) {
    if (status != PYGEN_RETURN) return result;
    if (result == Py_None)
        PyErr_SetNone(PyExc_StopIteration);
    else
        set_stop_iteration(result);
    Py_DECREF(result);
    return nullptr;
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* result = nullptr;
    PySendResult status = coro_am_send(self, Py_None, &result);
    if (status == PYGEN_RETURN && result == Py_None) {
        Py_DECREF(result);
        return nullptr;  // exhausted, no exception: StopIteration(None)
    }
    return result_or_stop(status, result);
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
    PyObject* result = nullptr;
    PySendResult status = coro_am_send(self, arg, &result);
    return result_or_stop(status, result);
}

// Throws `exc` (an exception instance) into the body at its current await.
PySendResult throw_into(NativeCoroutine* co, PyObject* exc, PyObject** result) {
    *result = nullptr;
    if (!enter(co)) return PYGEN_ERROR;
    if (!co->handle || !co->started) {
        // Not started yet: the exception is raised at the start and the coroutine ends.
        discard_frame(co);
        co->started = true;
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        return PYGEN_ERROR;
    }
    co->running = true;
    AwaitPy* await = co->handle.promise().awaiting;
    bool finished;
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        // Like CPython: close the delegate, then raise GeneratorExit in the body.
        if (await->close_delegate() == 0)
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        await->value.reset();
        await->done = true;
        finished = true;
    } else {
        finished = await->step_throw(exc);
    }
    if (!finished) {
        co->running = false;
        *result = await->value.release();
        return PYGEN_NEXT;
    }
    co->handle.resume();
    return settle(co, result);
}

// throw(value) / throw(type[, value[, traceback]])
PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    Ref exc;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Ref::borrow(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ)))
            exc = Ref::borrow(val);
        else if (val == Py_None)
            exc = call(typ);
        else if (PyTuple_Check(val))
            exc = Ref::steal(PyObject_Call(typ, val, nullptr));
        else
            exc = call(typ, {val});
        if (!exc) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None && PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
    PyObject* result = nullptr;
    PySendResult status = throw_into(as_coro(self), exc.get(), &result);
    return result_or_stop(status, result);
}

PyObject* coro_close(PyObject* self, PyObject*) {
    NativeCoroutine* co = as_coro(self);
    if (!co->handle) Py_RETURN_NONE;
    if (!co->started) {
        discard_frame(co);
        Py_RETURN_NONE;
    }
    Ref exit = call(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject* result = nullptr;
    PySendResult status = throw_into(co, exit.get(), &result);
    if (status == PYGEN_NEXT) {
        Py_DECREF(result);
        discard_frame(co);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_RETURN) return result;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

void coro_finalize(PyObject* self) {
    NativeCoroutine* co = as_coro(self);
    if (!co->handle) return;
    SavedError saved;
    if (!co->started) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                             co->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        Ref closed = Ref::steal(coro_close(self, nullptr));
        if (!closed) PyErr_WriteUnraisable(self);
    }
    saved.restore();
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeCoroutine* co = as_coro(self);
    Py_VISIT(Py_TYPE(self));
    if (co->handle) {
        int found = co->handle.promise().traverse(visit, arg);
        if (found) return found;
    }
    return 0;
}

// Ends the body where it stands: destroying the frame releases every Ref it holds. Only a
// body that is not executing can be unreachable, but stay safe if asked anyway.
int coro_clear(PyObject* self) {
    NativeCoroutine* co = as_coro(self);
    if (!co->running) discard_frame(co);
    return 0;
}

void coro_dealloc(PyObject* self) {
    NativeCoroutine* co = as_coro(self);
    PyTypeObject* tp = Py_TYPE(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    if (co->weakrefs) PyObject_ClearWeakRefs(self);
    discard_frame(co);
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->qualname, self);
}

PyObject* coro_get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->running); }

PyObject* coro_get_suspended(PyObject* self, void*) {
    NativeCoroutine* co = as_coro(self);
    return PyBool_FromLong(co->handle && co->started && !co->running);
}

PyObject* coro_get_await(PyObject* self, void*) {
    NativeCoroutine* co = as_coro(self);
    if (co->handle && co->started && !co->running && !co->handle.done()) {
        AwaitPy* await = co->handle.promise().awaiting;
        if (await && await->iter) return Py_NewRef(await->iter.get());
    }
    Py_RETURN_NONE;
}

PyObject* coro_get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef coro_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(NativeCoroutine, name), 0, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(NativeCoroutine, qualname), 0, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(NativeCoroutine, weakrefs), Py_READONLY, nullptr},
    {nullptr},
};

PyGetSetDef coro_getset[] = {
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", coro_get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
    {"cr_frame", coro_get_none, nullptr, nullptr, nullptr},
    {nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(coro_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise\nStopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {Py_tp_members, coro_members},
    {Py_tp_getset, coro_getset},
    {Py_tp_methods, coro_methods},
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "zivane.coroutine",
    sizeof(NativeCoroutine),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coro_slots,
};

// The iterator that `await obj` drives, as the interpreter finds it.
Ref awaitable_iter(PyObject* obj) {
    if (PyCoro_CheckExact(obj) || Py_TYPE(obj) == coroutine_type) return Ref::borrow(obj);
    PyAsyncMethods* am = Py_TYPE(obj)->tp_as_async;
    if (!am || !am->am_await) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     Py_TYPE(obj)->tp_name);
        return {};
    }
    Ref it = Ref::steal(am->am_await(obj));
    if (!it) return {};
    if (PyCoro_CheckExact(it.get()) || Py_TYPE(it.get()) == coroutine_type) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return {};
    }
    if (!PyIter_Check(it.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it.get())->tp_name);
        return {};
    }
    return it;
}

}  // namespace

int CoBody::promise_type::traverse(visitproc visit, void* arg) const {
    for (size_t i = 0; i < nparams; ++i) Py_VISIT(params[i]->get());
    Py_VISIT(result.get());
    if (awaiting) {
        Py_VISIT(awaiting->awaitable.get());
        Py_VISIT(awaiting->iter.get());
        Py_VISIT(awaiting->value.get());
    }
    return 0;
}

bool AwaitPy::finish(PySendResult status, PyObject* out) noexcept {
    value = Ref::steal(out);
    done = status != PYGEN_NEXT;
    return done;
}

bool AwaitPy::await_ready() noexcept {
    if (!awaitable) {  // the call that was to give it failed: its exception is the result
        done = true;
        return true;
    }
    iter = awaitable_iter(awaitable.get());
    if (!iter) {
        done = true;
        return true;
    }
    return step_send(Py_None);
}

bool AwaitPy::step_send(PyObject* sent) noexcept {
    PyObject* out = nullptr;
    PySendResult status = PyIter_Send(iter.get(), sent, &out);
    return finish(status, out);
}

bool AwaitPy::step_throw(PyObject* exc) noexcept {
    PyObject* thrower_raw = nullptr;
    if (PyObject_GetOptionalAttr(iter.get(), ZV_STR("throw"), &thrower_raw) < 0)
        return finish(PYGEN_ERROR, nullptr);
    Ref thrower = Ref::steal(thrower_raw);
    if (!thrower) {
        // A delegate without throw(): the exception is raised at the await itself.
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
        return finish(PYGEN_ERROR, nullptr);
    }
    Ref out = call(thrower.get(), {exc});
    if (out) return finish(PYGEN_NEXT, out.release());
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // The delegate returned: its StopIteration carries the await's result.
        Ref stop = Ref::steal(PyErr_GetRaisedException());
        Ref result = attr(stop.get(), ZV_STR("value"));
        if (!result) return finish(PYGEN_ERROR, nullptr);
        return finish(PYGEN_RETURN, result.release());
    }
    return finish(PYGEN_ERROR, nullptr);
}

int AwaitPy::close_delegate() noexcept {
    PyObject* closer_raw = nullptr;
    if (PyObject_GetOptionalAttr(iter.get(), ZV_STR("close"), &closer_raw) < 0) return -1;
    Ref closer = Ref::steal(closer_raw);
    if (!closer) return 0;
    return call(closer.get()) ? 0 : -1;
}

int init_native_coroutine_type() {
    if (coroutine_type) return 0;
    coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&coro_spec));
    return coroutine_type ? 0 : -1;
}

bool is_native_coroutine(PyObject* obj) { return coroutine_type && Py_TYPE(obj) == coroutine_type; }

bool run_eager(PyObject* obj, Ref* result) {
    if (!is_native_coroutine(obj)) return false;
    NativeCoroutine* co = as_coro(obj);
    if (!co->never_suspends || co->started || !co->handle) return false;
    PyObject* out = nullptr;
    PySendResult status = coro_am_send(obj, Py_None, &out);
    if (status == PYGEN_NEXT) {
        // Broken promise: the body yielded. Report it rather than lose the value.
        Py_DECREF(out);
        Ref closed = Ref::steal(coro_close(obj, nullptr));
        if (!closed) PyErr_Clear();  // the broken promise is the error to report
        PyErr_SetString(PyExc_RuntimeError, "coroutine suspended although it promised not to");
        *result = Ref{};
        return true;
    }
    *result = Ref::steal(out);
    return true;
}

PyObject* make_coroutine(NativeFunction* fn, CoBody body, bool never_suspends) {
    if (init_native_coroutine_type() < 0) return nullptr;
    NativeCoroutine* co = PyObject_GC_New(NativeCoroutine, coroutine_type);
    if (!co) return nullptr;
    co->handle = body.release();
    co->name = Py_NewRef(fn->name);
    co->qualname = Py_NewRef(fn->qualname);
    co->weakrefs = nullptr;
    co->started = false;
    co->running = false;
    co->never_suspends = never_suspends;
    PyObject_GC_Track(co);
    return reinterpret_cast<PyObject*>(co);
}

}  // namespace zv
