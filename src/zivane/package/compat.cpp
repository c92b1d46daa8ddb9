// zivane._compat: the `override` decorator, from `typing` or, on older interpreters,
// from the `overrides` package.
#include "package/modules.hpp"
#include "support/module_def.hpp"

namespace zv {
namespace {

Ref import_override() {
    Ref found = import_from("typing", "override");
    if (found || !PyErr_ExceptionMatches(PyExc_ImportError)) return found;
    PyErr_Clear();
    return import_from("overrides", "override");
}

// Callable[[Callable[..., Any]], Callable[..., Any]]
Ref decorator_type(PyObject* callable, PyObject* any) {
    Ref inner_key = new_tuple({Py_Ellipsis, any});
    if (!inner_key) return {};
    Ref inner = Ref::steal(PyObject_GetItem(callable, inner_key.get()));
    if (!inner) return {};
    Ref params = Ref::steal(PyList_New(1));
    if (!params) return {};
    PyList_SET_ITEM(params.get(), 0, Py_NewRef(inner.get()));
    Ref outer_key = new_tuple({params.get(), inner.get()});
    if (!outer_key) return {};
    return Ref::steal(PyObject_GetItem(callable, outer_key.get()));
}

int compat_exec(PyObject* module) {
    Ref callable = import_from("collections.abc", "Callable");
    if (!callable || PyModule_AddObjectRef(module, "Callable", callable.get()) < 0) return -1;
    Ref any = import_from("typing", "Any");
    Ref cast = import_from("typing", "cast");
    if (!any || !cast || PyModule_AddObjectRef(module, "Any", any.get()) < 0 ||
        PyModule_AddObjectRef(module, "cast", cast.get()) < 0)
        return -1;
    Ref override = import_override();
    if (!override || PyModule_AddObjectRef(module, "override", override.get()) < 0) return -1;
    Ref type = decorator_type(callable.get(), any.get());
    if (!type) return -1;
    Ref cast_override = call(cast.get(), {type.get(), override.get()});
    if (!cast_override || PyModule_AddObjectRef(module, "override", cast_override.get()) < 0) return -1;
    Ref all = Ref::steal(Py_BuildValue("[s]", "override"));
    if (!all) return -1;
    return PyModule_AddObjectRef(module, "__all__", all.get());
}

ModuleDefinition definition{"zivane._compat", nullptr, compat_exec};

}  // namespace

PyModuleDef* compat_module_def() { return definition.def(); }

}  // namespace zv
