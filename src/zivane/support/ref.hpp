// Owned references and the handful of object-protocol helpers every module uses.
//
// Convention: a function returning `Ref` returns an empty Ref exactly when a Python
// exception is set. Raw `PyObject*` parameters are borrowed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <utility>

namespace zv {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference (possibly NULL, with an exception set).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    static Ref none() noexcept { return Ref(Py_NewRef(Py_None)); }
    static Ref boolean(bool value) noexcept { return Ref(PyBool_FromLong(value)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is_none() const noexcept { return p_ == Py_None; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A saved exception, restored (or dropped) later; used where cleanup code must run
// with no exception set and the original must survive it.
class SavedError {
public:
    SavedError() noexcept : exc_(Ref::steal(PyErr_GetRaisedException())) {}
    explicit operator bool() const noexcept { return bool(exc_); }
    PyObject* get() const noexcept { return exc_.get(); }
    bool matches(PyObject* type) const noexcept {
        return exc_ && PyErr_GivenExceptionMatches(exc_.get(), type);
    }
    void restore() noexcept {
        if (exc_) PyErr_SetRaisedException(exc_.release());
    }

private:
    Ref exc_;
};

inline Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }
inline Ref attr(PyObject* obj, const char* name) { return Ref::steal(PyObject_GetAttrString(obj, name)); }

// Calls `callable(*args)` with positional arguments only.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()),
                                          args.size(), nullptr));
}

// Calls `callable(*args, **kw)` where `kwnames` names the trailing arguments.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()),
                                          args.size() - nkw, kwnames));
}

// Calls `obj.name(*args)` through the ordinary attribute protocol.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {}) {
    PyObject* stack[8];
    stack[0] = obj;
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

inline Ref new_tuple(std::initializer_list<PyObject*> items) {
    PyObject* t = PyTuple_New(items.size());
    if (!t) return {};
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t, i++, Py_NewRef(item));
    return Ref::steal(t);
}

inline Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

// `from module import name`, with the ImportError that statement raises for a missing name.
Ref import_from(const char* module, const char* name);

// Truth value of an object: -1 with an exception set on failure.
inline int truthy(PyObject* obj) { return PyObject_IsTrue(obj); }

}  // namespace zv

// An interned string created once per process and never released; cheap to use on hot
// paths for attribute names, dictionary keys and global look-ups.
#define ZV_STR(literal)                                                          \
    ([]() -> PyObject* {                                                         \
        static PyObject* const interned = PyUnicode_InternFromString(literal);   \
        return interned;                                                         \
    }())
