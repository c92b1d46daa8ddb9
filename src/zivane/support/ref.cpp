#include "support/ref.hpp"

namespace zv {

int intern_names() {
    for (InternedName* name = interned_names; name; name = name->next) {
        if (name->value) continue;
        PyObject* value = PyUnicode_InternFromString(name->text);
        if (!value) return -1;
        name->value = value;
    }
    return 0;
}

Ref import_from(const char* module, const char* name) {
    Ref mod = import(module);
    if (!mod) return {};
    Ref value = attr(mod.get(), name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    // A submodule that is loaded but not (yet) bound on its package still counts.
    Ref fullname = Ref::steal(PyUnicode_FromFormat("%s.%s", module, name));
    if (!fullname) return {};
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), fullname.get(), &found) != 0)
        return Ref::steal(found);
    PyObject* file_raw = nullptr;
    if (PyObject_GetOptionalAttr(mod.get(), ZV_STR("__file__"), &file_raw) < 0) return {};
    Ref file = Ref::steal(file_raw);
    Ref message = Ref::steal(
        file && PyUnicode_Check(file.get())
            ? PyUnicode_FromFormat("cannot import name '%s' from '%s' (%U)", name, module, file.get())
            : PyUnicode_FromFormat("cannot import name '%s' from '%s' (unknown location)", name, module));
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    if (!message || !module_name) return {};
    PyErr_SetImportError(message.get(), module_name.get(), file ? file.get() : Py_None);
    return {};
}

}  // namespace zv
