// Native functions that look like Python functions from the outside: name, qualified
// name, module, docstring, defaults, annotations, signature, an instance dictionary and
// method binding. Used for every function, method and nested function of the package.
#pragma once

#include "support/globals.hpp"
#include "support/ref.hpp"

#include <initializer_list>
#include <iterator>
#include <utility>

namespace zv {

struct NativeFunction;

// The body of a native function. `args` holds exactly one borrowed object per parameter,
// defaults already applied. Returns a new reference, or NULL with an exception set.
using NativeBody = PyObject*(NativeFunction* fn, PyObject* const* args);
using NativeImpl = NativeBody*;

constexpr int kMaxParams = 8;

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    NativeImpl impl;
    Py_ssize_t nparams;
    Py_ssize_t npositional;  // the first ones may come by position, the rest only by keyword
    PyObject* params;        // tuple of parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;  // text shown as __module__
    PyObject* doc;
    PyObject* defaults;     // tuple or None
    PyObject* annotations;  // dict
    PyObject* dict;         // instance dictionary (may be NULL until needed)
    PyObject* module;       // the defining module object, whose namespace holds the globals
    PyObject* closure;      // captured state of a nested function, or NULL
    PyObject* weakrefs;
};

struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;  // NULL for none
    std::initializer_list<const char*> params;
    NativeImpl impl;
    bool coroutine = false;
};

// One annotation entry; `value` is borrowed. Use the key "return" for the result.
struct Annotation {
    const char* name;
    PyObject* value;
};

// What a function is made of, as objects: interned name, qualified name, docstring (or
// None), the tuple of interned parameter names, the defaults (a tuple, or None) and the
// annotations dict; the last `keyword_only` parameters are passed by keyword only (their
// defaults are in `defaults` with the others').
struct FunctionObjects {
    Ref name, qualname, doc, params, defaults, annotations;
    Py_ssize_t keyword_only = 0;
    bool complete() const;  // every part was made (false: an exception is set)
};

// Builds a function owned by `module` from its parts (see also support/tables.hpp).
// `closure` is captured state for nested functions (may be NULL).
Ref new_function(PyObject* module, FunctionObjects parts, NativeImpl impl, bool coroutine,
                 PyObject* closure = nullptr);

// A tuple of the interned names `name_of(item)` of `items`, in order.
template <class Items, class NameOf>
Ref interned_tuple(const Items& items, NameOf name_of) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* text = PyUnicode_InternFromString(name_of(item));
        if (!text) return {};
        PyTuple_SET_ITEM(tuple.get(), i++, text);
    }
    return tuple;
}

inline Ref interned_tuple(std::initializer_list<const char*> names) {
    return interned_tuple(names, [](const char* name) { return name; });
}

// Builds a function owned by `module`. `defaults` covers the trailing parameters (may be
// empty); `closure` is captured state for nested functions (may be NULL).
Ref make_function(PyObject* module, const FunctionSpec& spec,
                  std::initializer_list<PyObject*> defaults,
                  std::initializer_list<Annotation> annotations, PyObject* closure = nullptr);

// Builds the function and stores it under its name in the namespace dictionary `ns` (a
// module's dictionary or a class body). When `wrap` is non-NULL (staticmethod, property,
// ...), the stored object is wrap(fn).
int add_function(PyObject* ns, PyObject* module, const FunctionSpec& spec,
                 std::initializer_list<PyObject*> defaults,
                 std::initializer_list<Annotation> annotations, PyObject* wrap = nullptr);

bool is_native_function(PyObject* obj);

// A module global of the function's module, looked up now (see globals.hpp).
inline Ref global(NativeFunction* fn, PyObject* name) { return module_global(fn->module, name); }

// The object that `fn.__closure__`-like state captured at index `i`.
inline PyObject* captured(NativeFunction* fn, Py_ssize_t i) { return PyTuple_GET_ITEM(fn->closure, i); }

// Creates the process-wide function type; called once by the package entry.
int init_native_function_type();

}  // namespace zv
