// zivane.types (placeholder until its module is written)
#include "modules.hpp"
#include "support/classes.hpp"
#include "support/native_coroutine.hpp"

namespace zv {
namespace {

struct State {
    bool initialized;
};

int module_exec(PyObject* m) {
    if (!import("zivane._compat")) return -1;
    if (PyModule_AddObjectRef(m, "HttpRequest", Py_None) < 0) return -1;
    return PyModule_AddObjectRef(m, "HttpResponse", Py_None);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "zivane.types", nullptr, sizeof(State), nullptr,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyModuleDef* types_module_def() { return &def; }

}  // namespace zv
