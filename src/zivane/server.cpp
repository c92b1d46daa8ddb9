// zivane.server (placeholder until its module is written)
#include "modules.hpp"
#include "support/classes.hpp"
#include "support/native_coroutine.hpp"

namespace zv {
namespace {

struct State {
    bool initialized;
};

// Placeholder: binds an empty class until the module is written.
int module_exec(PyObject* m) {
    if (!import("zivane.types")) return -1;
    Ref ns = class_namespace(m, "HttpServer", "HTTP/1.1 server using RNS for transport.");
    if (!ns) return -1;
    Ref cls = make_class("HttpServer", nullptr, ns.get());
    if (!cls) return -1;
    return PyModule_AddObjectRef(m, "HttpServer", cls.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "zivane.server", nullptr, sizeof(State), nullptr,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyModuleDef* server_module_def() { return &def; }

}  // namespace zv
