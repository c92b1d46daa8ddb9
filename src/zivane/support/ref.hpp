// Owned references and the handful of object-protocol helpers every module uses.
//
// Convention: a function returning `Ref` returns an empty Ref exactly when a Python
// exception is set. Raw `PyObject*` parameters are borrowed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
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

// Calls `obj.name(*args)` through the ordinary attribute protocol. The argument count is
// part of the type, so the stack below is always large enough.
inline Ref call_method(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <size_t N>
inline Ref call_method(PyObject* obj, PyObject* name, PyObject* const (&args)[N]) {
    PyObject* stack[N + 1];
    stack[0] = obj;
    for (size_t i = 0; i < N; ++i) stack[i + 1] = args[i];
    return Ref::steal(PyObject_VectorcallMethod(name, stack, (N + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
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

// Interned names. Every distinct literal used with ZV_STR gets one registry entry, linked
// into a list while the shared object is loaded (plain C++, no interpreter call); the
// package's module exec interns them all at once (`intern_names`), so a failure is
// reported as an import error instead of leaving a name NULL for ever, and no interpreter
// call ever runs under a C++ static-initialisation guard.
namespace zv {

struct InternedName {
    const char* text;
    PyObject* value;  // owned for the life of the process once interned
    InternedName* next;
};

inline constinit InternedName* interned_names = nullptr;

template <size_t N>
struct NameLiteral {
    char text[N];
    consteval NameLiteral(const char (&s)[N]) {
        for (size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

template <NameLiteral L>
struct Name {
    static InternedName entry;
};

// Dynamic initialisation, run when the shared object is loaded: links the entry in.
template <NameLiteral L>
InternedName Name<L>::entry = {L.text, nullptr, std::exchange(interned_names, &Name<L>::entry)};

// Interns every registered name not interned yet; -1 with an exception set on failure.
int intern_names();

}  // namespace zv

// The interned string for a literal; cheap on hot paths (attribute names, dictionary keys,
// global look-ups). Valid once the package module has run its exec.
#define ZV_STR(literal) (::zv::Name<::zv::NameLiteral(literal)>::entry.value)
