// zivane._cli (placeholder until its module is written)
#include "modules.hpp"
#include "support/classes.hpp"
#include "support/native_coroutine.hpp"

namespace zv {
namespace {

struct State {
    bool initialized;
};

int module_exec(PyObject*) { return 0; }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "zivane._cli", nullptr, sizeof(State), nullptr,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyModuleDef* cli_module_def() { return &def; }

}  // namespace zv
