// zivane.__whitelist: references to names that are used only from outside the package, so
// that dead-code tools see them used. It defines nothing; importing it evaluates the
// references, which needs a name `_` to exist.
#include "package/modules.hpp"

namespace zv {
namespace {

struct WhitelistState {
    bool initialized;
};

// `_` looked up like a module global: the module namespace, then the builtins.
Ref global_name(PyObject* module, const char* name) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return {};
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(module), key.get(), &found) != 0) return Ref::steal(found);
    if (PyDict_GetItemRef(PyEval_GetBuiltins(), key.get(), &found) != 0) return Ref::steal(found);
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return {};
}

int touch(PyObject* module, std::initializer_list<const char*> attributes) {
    for (const char* name : attributes) {
        Ref placeholder = global_name(module, "_");
        if (!placeholder || !attr(placeholder.get(), name)) return -1;
    }
    return 0;
}

int whitelist_exec(PyObject* module) {
    if (touch(module, {"_read_timeout", "post", "put", "delete", "is_connected",
                       "_read_timeout", "route", "add_handler"}) < 0)
        return -1;
    if (!global_name(module, "HttpSerializerError")) return -1;
    return touch(module, {"on_message_begin", "on_method", "on_url", "on_version", "on_header",
                          "on_body", "on_message_begin", "on_version", "on_status_code",
                          "on_reason_phrase", "on_header", "on_body"});
}

PyModuleDef_Slot whitelist_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(whitelist_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef whitelist_def = {
    PyModuleDef_HEAD_INIT, "zivane.__whitelist", nullptr, sizeof(WhitelistState), nullptr,
    whitelist_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyModuleDef* whitelist_module_def() { return &whitelist_def; }

}  // namespace zv
