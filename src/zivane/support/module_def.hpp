// What every module definition of the package shares, and the collector's view of the
// objects a native struct (module state, object) owns.
#pragma once

#include "support/ref.hpp"

namespace zv {

// The definition of one of the package's modules: multi-phase initialisation with one
// exec function, main interpreter only, and a state of `state_size` bytes. Any state,
// even one nobody reads, makes importlib.reload a no-op (see submodules.cpp), so the
// size is never zero.
class ModuleDefinition {
public:
    ModuleDefinition(const char* name, const char* doc, int (*exec)(PyObject*),
                     Py_ssize_t state_size = sizeof(void*), traverseproc traverse = nullptr,
                     inquiry clear = nullptr, freefunc free = nullptr) noexcept
        : slots_{{Py_mod_exec, reinterpret_cast<void*>(exec)},
                 {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
                 {0, nullptr}},
          def_{PyModuleDef_HEAD_INIT, name, doc, state_size, nullptr, slots_, traverse, clear, free} {}
    ModuleDefinition(const ModuleDefinition&) = delete;
    ModuleDefinition& operator=(const ModuleDefinition&) = delete;

    PyModuleDef* def() noexcept { return &def_; }

private:
    PyModuleDef_Slot slots_[3];
    PyModuleDef def_;  // points at slots_
};

// The object references `Fields` of a `T` that T owns: visited for the collector and
// cleared in one place, so that adding a field cannot forget one of the two.
template <class T, PyObject* T::*... Fields>
struct OwnedFields {
    static int visit(const T& owner, visitproc visit, void* arg) {
        int found = 0;
        ((found = found ? found : visit_one(owner.*Fields, visit, arg)), ...);
        return found;
    }

    static void clear(T& owner) { (clear_one(owner.*Fields), ...); }

    // Module-definition slots for a module whose state is a T.
    static int traverse_module(PyObject* module, visitproc visit, void* arg) {
        T* state = static_cast<T*>(PyModule_GetState(module));
        return state ? OwnedFields::visit(*state, visit, arg) : 0;
    }
    static int clear_module(PyObject* module) {
        T* state = static_cast<T*>(PyModule_GetState(module));
        if (state) clear(*state);
        return 0;
    }
    static void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

private:
    static int visit_one(PyObject* field, visitproc visit, void* arg) {
        return field ? visit(field, arg) : 0;
    }
    static void clear_one(PyObject*& field) {
        PyObject* old = std::exchange(field, nullptr);  // the field is empty before any finalizer runs
        Py_XDECREF(old);
    }
};

}  // namespace zv
