#include "support/globals.hpp"

namespace zv {

Ref module_global(PyObject* module, PyObject* name) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(module), name, &found) != 0) return Ref::steal(found);
    if (PyDict_GetItemRef(PyEval_GetBuiltins(), name, &found) != 0) return Ref::steal(found);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref module_global(PyObject* module, const char* name) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    return key ? module_global(module, key.get()) : Ref{};
}

int print_line(PyObject* module, PyObject* text) {
    Ref print = module_global(module, ZV_STR("print"));
    if (!print) return -1;
    return call(print.get(), {text}) ? 0 : -1;
}

Ref fstring(std::initializer_list<PyObject*> parts) {
    Ref pieces = Ref::steal(PyList_New(Py_ssize_t(parts.size())));
    if (!pieces) return {};
    Py_ssize_t i = 0;
    for (PyObject* part : parts) {
        PyObject* text = PyObject_Format(part, nullptr);
        if (!text) return {};
        PyList_SET_ITEM(pieces.get(), i++, text);
    }
    return Ref::steal(PyUnicode_Join(ZV_STR(""), pieces.get()));
}

namespace {

// The module's own binding of `name`, borrowed; NULL (no exception) when there is none.
PyObject* own_global(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value) PyErr_Clear();
    return value;
}

}  // namespace

Py_ssize_t size_global(PyObject* module, PyObject* name, Py_ssize_t fallback) {
    PyObject* value = own_global(module, name);
    if (!value || !PyLong_Check(value)) return fallback;
    Py_ssize_t n = PyLong_AsSsize_t(value);
    if (n < 0) {
        PyErr_Clear();
        return fallback;
    }
    return n;
}

double seconds_global(PyObject* module, PyObject* name, double fallback) {
    PyObject* value = own_global(module, name);
    if (!value) return fallback;
    Ref held = Ref::borrow(value);  // __float__ may run code that rebinds the global
    double seconds = PyFloat_AsDouble(held.get());
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return fallback;
    }
    return seconds;
}

}  // namespace zv
