#include "support/native_function.hpp"

#include "support/module_def.hpp"

#include <algorithm>
#include <cstddef>

namespace zv {
namespace {

PyTypeObject* function_type = nullptr;

NativeFunction* as_fn(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

// ----- argument binding with the interpreter's own messages -------------------------------

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
Ref quoted_list(PyObject* names) {
    Py_ssize_t n = PyList_GET_SIZE(names);
    Ref out = Ref::steal(PyUnicode_FromString(""));
    for (Py_ssize_t i = 0; out && i < n; ++i) {
        const char* sep = i == 0 ? "" : (n == 2 ? " and " : (i == n - 1 ? ", and " : ", "));
        out = Ref::steal(PyUnicode_FromFormat("%U%s'%U'", out.get(), sep, PyList_GET_ITEM(names, i)));
    }
    return out;
}

void raise_missing(NativeFunction* fn, PyObject* const* bound) {
    Ref missing = Ref::steal(PyList_New(0));
    if (!missing) return;
    for (Py_ssize_t i = 0; i < fn->nparams; ++i)
        if (!bound[i] && PyList_Append(missing.get(), PyTuple_GET_ITEM(fn->params, i)) < 0) return;
    Py_ssize_t n = PyList_GET_SIZE(missing.get());
    Ref names = quoted_list(missing.get());
    if (!names) return;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", fn->qualname, n,
                 n == 1 ? "" : "s", names.get());
}

void raise_too_many(NativeFunction* fn, Py_ssize_t given, Py_ssize_t ndefaults) {
    Py_ssize_t most = fn->npositional, least = std::min(most, fn->nparams - ndefaults);
    if (least == most)
        PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", fn->qualname,
                     most, most == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    else
        PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given",
                     fn->qualname, least, most, given, given == 1 ? "was" : "were");
}

Py_ssize_t param_index(NativeFunction* fn, PyObject* key) {
    for (Py_ssize_t i = 0; i < fn->nparams; ++i)
        if (PyTuple_GET_ITEM(fn->params, i) == key) return i;
    for (Py_ssize_t i = 0; i < fn->nparams; ++i) {
        int eq = PyUnicode_Compare(PyTuple_GET_ITEM(fn->params, i), key) == 0;
        if (eq) return i;
    }
    return -1;
}

// Fills `bound` from positional and keyword arguments plus the current __defaults__.
bool bind(NativeFunction* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    PyObject* defaults = fn->defaults;
    Py_ssize_t ndefaults = defaults && PyTuple_Check(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
    if (ndefaults > fn->nparams) ndefaults = fn->nparams;
    if (nargs > fn->npositional) {
        raise_too_many(fn, nargs, ndefaults);
        return false;
    }
    for (Py_ssize_t i = 0; i < fn->nparams; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = param_index(fn, key);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", fn->qualname, key);
            return false;
        }
        if (bound[i]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", fn->qualname, key);
            return false;
        }
        bound[i] = args[nargs + k];
    }
    Py_ssize_t first_default = fn->nparams - ndefaults;
    bool complete = true;
    for (Py_ssize_t i = 0; i < fn->nparams; ++i) {
        if (bound[i]) continue;
        if (i >= first_default)
            bound[i] = PyTuple_GET_ITEM(defaults, i - first_default);
        else
            complete = false;
    }
    if (!complete) raise_missing(fn, bound);
    return complete;
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    NativeFunction* fn = as_fn(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == fn->nparams && nargs == fn->npositional && !kwnames) return fn->impl(fn, args);
    PyObject* bound[kMaxParams];
    if (!bind(fn, args, nargs, kwnames, bound)) return nullptr;
    return fn->impl(fn, bound);
}

// ----- type slots ---------------------------------------------------------------------

// What the collector sees of a function; name, qualified name, module name and parameter
// names are text and need no visit.
using Collected = OwnedFields<NativeFunction, &NativeFunction::defaults, &NativeFunction::annotations,
                              &NativeFunction::dict, &NativeFunction::module, &NativeFunction::closure,
                              &NativeFunction::doc>;

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return Collected::visit(*as_fn(self), visit, arg);
}

int fn_clear(PyObject* self) {
    Collected::clear(*as_fn(self));
    return 0;
}

void fn_dealloc(PyObject* self) {
    NativeFunction* fn = as_fn(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakrefs) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    Py_CLEAR(fn->params);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module_name);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

PyObject* fn_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->qualname); }

PyObject* fn_get_signature(PyObject* self, void*) {
    NativeFunction* fn = as_fn(self);
    Ref inspect = import("inspect");
    if (!inspect) return nullptr;
    Ref parameter = attr(inspect.get(), "Parameter");
    Ref signature = attr(inspect.get(), "Signature");
    if (!parameter || !signature) return nullptr;
    Ref positional = attr(parameter.get(), "POSITIONAL_OR_KEYWORD");
    Ref keyword = attr(parameter.get(), "KEYWORD_ONLY");
    Ref params = Ref::steal(PyList_New(0));
    if (!positional || !keyword || !params) return nullptr;
    PyObject* defaults = fn->defaults;
    Py_ssize_t ndefaults = defaults && PyTuple_Check(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
    if (ndefaults > fn->nparams) ndefaults = fn->nparams;
    Py_ssize_t first_default = fn->nparams - ndefaults;
    PyObject* annotations = fn->annotations;
    for (Py_ssize_t i = 0; i < fn->nparams; ++i) {
        PyObject* name = PyTuple_GET_ITEM(fn->params, i);
        PyObject* stack[4] = {name, i < fn->npositional ? positional.get() : keyword.get()};
        PyObject* names[2];
        Py_ssize_t nkw = 0;
        if (i >= first_default) {
            stack[2 + nkw] = PyTuple_GET_ITEM(defaults, i - first_default);
            names[nkw++] = ZV_STR("default");
        }
        Ref annotation;
        if (annotations) {
            if (PyDict_GetItemRef(annotations, name, &stack[2 + nkw]) < 0) return nullptr;
            annotation = Ref::steal(stack[2 + nkw]);
            if (annotation) names[nkw++] = ZV_STR("annotation");
        }
        Ref kwnames = Ref::steal(nkw == 0   ? nullptr
                                 : nkw == 1 ? PyTuple_Pack(1, names[0])
                                            : PyTuple_Pack(2, names[0], names[1]));
        if (nkw && !kwnames) return nullptr;
        Ref param = Ref::steal(PyObject_Vectorcall(parameter.get(), stack, 2, kwnames.get()));
        if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
    }
    Ref ret;
    if (annotations) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(annotations, ZV_STR("return"), &found) < 0) return nullptr;
        ret = Ref::steal(found);
    }
    if (!ret) return PyObject_CallOneArg(signature.get(), params.get());
    PyObject* stack[2] = {params.get(), ret.get()};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, ZV_STR("return_annotation")));
    if (!kwnames) return nullptr;
    return PyObject_Vectorcall(signature.get(), stack, 1, kwnames.get());
}

PyObject* fn_get_globals(PyObject* self, void*) {
    PyObject* module = as_fn(self)->module;
    if (!module || !PyModule_Check(module)) return PyDict_New();
    return Py_NewRef(PyModule_GetDict(module));
}

// The defaults of the keyword-only parameters, as a dict (None when there are none);
// the binder reads them, with the positional ones, from the stored tuple of trailing defaults.
PyObject* fn_get_kwdefaults(PyObject* self, void*) {
    NativeFunction* fn = as_fn(self);
    PyObject* defaults = fn->defaults;
    Py_ssize_t ndefaults = defaults && PyTuple_Check(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
    Py_ssize_t first_default = fn->nparams - std::min(ndefaults, fn->nparams);
    Py_ssize_t first = std::max(first_default, fn->npositional);
    if (first >= fn->nparams) Py_RETURN_NONE;
    Ref dict = Ref::steal(PyDict_New());
    for (Py_ssize_t i = first; dict && i < fn->nparams; ++i)
        if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(fn->params, i),
                           PyTuple_GET_ITEM(defaults, i - first_default)) < 0)
            return nullptr;
    return dict.release();
}

// __name__ and __qualname__ must stay text, __defaults__ a tuple or None and
// __annotations__ a dict, as for Python functions; the binder relies on that.
int fn_set_text(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* fn_get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }
int fn_set_name(PyObject* self, PyObject* value, void*) {
    return fn_set_text(&as_fn(self)->name, value, "__name__");
}
PyObject* fn_get_qualname(PyObject* self, void*) { return Py_NewRef(as_fn(self)->qualname); }
int fn_set_qualname(PyObject* self, PyObject* value, void*) {
    return fn_set_text(&as_fn(self)->qualname, value, "__qualname__");
}

// How many of the stored defaults belong to keyword-only parameters: the stored tuple
// covers every trailing parameter, while __defaults__ shows the positional ones only, as
// a Python function's does.
Py_ssize_t keyword_default_count(NativeFunction* fn) {
    PyObject* defaults = fn->defaults;
    Py_ssize_t ndefaults = defaults && PyTuple_Check(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
    Py_ssize_t first_default = fn->nparams - std::min(ndefaults, fn->nparams);
    return std::min(ndefaults, fn->nparams - std::max(first_default, fn->npositional));
}

PyObject* fn_get_defaults(PyObject* self, void*) {
    NativeFunction* fn = as_fn(self);
    PyObject* defaults = fn->defaults;
    if (!defaults || !PyTuple_Check(defaults)) Py_RETURN_NONE;
    Py_ssize_t positional = PyTuple_GET_SIZE(defaults) - keyword_default_count(fn);
    if (positional <= 0) Py_RETURN_NONE;
    return PyTuple_GetSlice(defaults, 0, positional);
}
// Setting __defaults__ replaces the positional parameters' defaults and keeps those of
// the keyword-only ones.
int fn_set_defaults(PyObject* self, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    NativeFunction* fn = as_fn(self);
    Py_ssize_t keyword = keyword_default_count(fn);
    Ref kept = keyword ? Ref::steal(PyTuple_GetSlice(fn->defaults, PyTuple_GET_SIZE(fn->defaults) - keyword,
                                                     PyTuple_GET_SIZE(fn->defaults)))
                       : Ref::steal(PyTuple_New(0));
    Ref given = value == Py_None ? Ref::steal(PyTuple_New(0)) : Ref::borrow(value);
    Ref joined = kept && given ? Ref::steal(PySequence_Concat(given.get(), kept.get())) : Ref{};
    if (!joined) return -1;
    Py_SETREF(fn->defaults, PyTuple_GET_SIZE(joined.get()) ? joined.release() : Py_NewRef(Py_None));
    return 0;
}

PyObject* fn_get_annotations(PyObject* self, void*) {
    NativeFunction* fn = as_fn(self);
    if (!fn->annotations && !(fn->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(fn->annotations);
}
int fn_set_annotations(PyObject* self, PyObject* value, void*) {
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyMemberDef fn_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(NativeFunction, module_name), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(NativeFunction, doc), 0, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, weakrefs), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY, nullptr},
    {nullptr},
};

PyGetSetDef fn_getset[] = {
    {"__name__", fn_get_name, fn_set_name, nullptr, nullptr},
    {"__qualname__", fn_get_qualname, fn_set_qualname, nullptr, nullptr},
    {"__defaults__", fn_get_defaults, fn_set_defaults, nullptr, nullptr},
    {"__annotations__", fn_get_annotations, fn_set_annotations, nullptr, nullptr},
    {"__signature__", fn_get_signature, nullptr, nullptr, nullptr},
    {"__globals__", fn_get_globals, nullptr, nullptr, nullptr},
    {"__kwdefaults__", fn_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_members, fn_members},
    {Py_tp_getset, fn_getset},
    {Py_tp_methods, fn_methods},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "zivane.function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    fn_slots,
};

Ref make_annotations(std::initializer_list<Annotation> annotations) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    for (const Annotation& a : annotations)
        if (PyDict_SetItemString(dict.get(), a.name, a.value) < 0) return {};
    return dict;
}

}  // namespace

int init_native_function_type() {
    if (function_type) return 0;
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&fn_spec));
    return function_type ? 0 : -1;
}

bool is_native_function(PyObject* obj) { return Py_TYPE(obj) == function_type; }

Ref new_function(PyObject* module, FunctionObjects parts, NativeImpl impl, bool coroutine,
                 PyObject* closure) {
    if (init_native_function_type() < 0) return {};
    Py_ssize_t nparams = PyTuple_GET_SIZE(parts.params.get());
    if (nparams > kMaxParams) {  // the binder's array
        PyErr_Format(PyExc_SystemError, "%U() has more than %d parameters", parts.qualname.get(), kMaxParams);
        return {};
    }
    Ref module_name = attr(module, ZV_STR("__name__"));
    if (!module_name) return {};
    NativeFunction* fn = PyObject_GC_New(NativeFunction, function_type);
    if (!fn) return {};
    fn->vectorcall = fn_vectorcall;
    fn->impl = impl;
    fn->nparams = nparams;
    fn->npositional = nparams - std::clamp<Py_ssize_t>(parts.keyword_only, 0, nparams);
    fn->params = parts.params.release();
    fn->name = parts.name.release();
    fn->qualname = parts.qualname.release();
    fn->module_name = module_name.release();
    fn->doc = parts.doc.release();
    fn->defaults = parts.defaults.release();
    fn->annotations = parts.annotations.release();
    fn->dict = nullptr;
    fn->module = Py_NewRef(module);
    fn->closure = Py_XNewRef(closure);
    fn->weakrefs = nullptr;
    PyObject_GC_Track(fn);
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(fn));
    if (coroutine) {
        // Lets inspect.iscoroutinefunction and asyncio see a coroutine function, also
        // through bound methods.
        Ref marker = import_from("inspect", "markcoroutinefunction");
        if (!marker || !call(marker.get(), {result.get()})) return {};
    }
    return result;
}

bool FunctionObjects::complete() const {
    return name && qualname && doc && params && defaults && annotations;
}

Ref make_function(PyObject* module, const FunctionSpec& spec, std::initializer_list<PyObject*> defaults,
                  std::initializer_list<Annotation> annotations, PyObject* closure) {
    FunctionObjects parts;
    parts.name = Ref::steal(PyUnicode_InternFromString(spec.name));
    parts.qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    parts.doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::none();
    parts.params = interned_tuple(spec.params);
    parts.defaults = defaults.size() ? new_tuple(defaults) : Ref::none();
    parts.annotations = make_annotations(annotations);
    if (!parts.complete()) return {};
    return new_function(module, std::move(parts), spec.impl, spec.coroutine, closure);
}

int add_function(PyObject* ns, PyObject* module, const FunctionSpec& spec,
                 std::initializer_list<PyObject*> defaults, std::initializer_list<Annotation> annotations,
                 PyObject* wrap) {
    Ref fn = make_function(module, spec, defaults, annotations);
    if (!fn) return -1;
    if (wrap) {
        fn = call(wrap, {fn.get()});
        if (!fn) return -1;
    }
    return PyDict_SetItemString(ns, spec.name, fn.get());
}

}  // namespace zv
