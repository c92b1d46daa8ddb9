#include "support/submodules.hpp"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace zv {
namespace {

constexpr const char* kFinderTypeName = "zivane._SubmoduleFinder";

struct Finder {
    PyObject_HEAD
    PyObject* search_path;  // the package's __path__ list; compared by identity
    PyObject* origin;       // the shared object's file name, or None
    std::vector<Submodule>* table;
};

Finder* as_finder(PyObject* self) { return reinterpret_cast<Finder*>(self); }

const Submodule* lookup_entry(Finder* finder, PyObject* fullname) {
    const char* name = PyUnicode_AsUTF8(fullname);
    if (!name) return nullptr;
    for (const Submodule& entry : *finder->table)
        if (std::strcmp(entry.fullname, name) == 0) return &entry;
    return nullptr;
}

PyModuleDef* lookup(Finder* finder, PyObject* fullname) {
    const Submodule* entry = lookup_entry(finder, fullname);
    return entry ? entry->def : nullptr;
}

// find_spec(fullname, path, target=None)
PyObject* finder_find_spec(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Finder* finder = as_finder(self);
    if (nargs < 2 || nargs > 3 || !PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "find_spec(fullname, path, target=None)");
        return nullptr;
    }
    if (args[1] != finder->search_path) Py_RETURN_NONE;
    PyModuleDef* def = lookup(finder, args[0]);
    if (!def) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    Ref spec_class = import_from("importlib.machinery", "ModuleSpec");
    if (!spec_class) return nullptr;
    PyObject* stack[3] = {args[0], self, finder->origin};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, ZV_STR("origin")));
    if (!kwnames) return nullptr;
    return PyObject_Vectorcall(spec_class.get(), stack, 2, kwnames.get());
}

PyObject* finder_create_module(PyObject* self, PyObject* spec) {
    Ref name = attr(spec, ZV_STR("name"));
    if (!name) return nullptr;
    PyModuleDef* def = lookup(as_finder(self), name.get());
    if (!def) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "no submodule named %R", name.get());
        return nullptr;
    }
    return PyModule_FromDefAndSpec(def, spec);
}

PyObject* finder_exec_module(PyObject*, PyObject* module) {
    PyModuleDef* def = PyModule_GetDef(module);
    if (!def) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "not a zivane submodule");
        return nullptr;
    }
    // A module whose state exists has run its body already; reloading it changes nothing,
    // as for any extension module.
    if (def->m_size > 0 && PyModule_GetState(module)) Py_RETURN_NONE;
    if (PyModule_ExecDef(module, def) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The module-level code `runner()`: RESUME, LOAD_CONST runner, PUSH_NULL, CALL 0 (and its
// cache entries), POP_TOP, RETURN_CONST None; opcodes as this interpreter numbers them.
Ref program_code(PyObject* runner, PyObject* filename, PyObject* name) {
    Ref opcode = import("opcode");
    Ref opmap = opcode ? attr(opcode.get(), "opmap") : Ref{};
    Ref caches = opcode ? attr(opcode.get(), "_inline_cache_entries") : Ref{};
    if (!opmap || !caches) return {};
    auto op = [&](const char* opname) -> long {
        Ref value = Ref::steal(PyMapping_GetItemString(opmap.get(), opname));
        return value ? PyLong_AsLong(value.get()) : -1;
    };
    Ref call_caches = Ref::steal(PyMapping_GetItemString(caches.get(), "CALL"));
    long ncaches = call_caches ? PyLong_AsLong(call_caches.get()) : -1;
    std::vector<long> code = {op("RESUME"), 0, op("LOAD_CONST"), 0, op("PUSH_NULL"), 0, op("CALL"), 0};
    for (long i = 0; i < ncaches; ++i) code.insert(code.end(), {op("CACHE"), 0});
    code.insert(code.end(), {op("POP_TOP"), 0, op("RETURN_CONST"), 1});
    std::string bytes;
    for (long unit : code) {
        if (unit < 0 || unit > 255) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "cannot assemble the program's code");
            return {};
        }
        bytes.push_back(static_cast<char>(unit));
    }
    Ref codestring = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    Ref consts = new_tuple({runner, Py_None});
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref no_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref code_type = import_from("types", "CodeType");
    if (!codestring || !consts || !empty || !no_bytes || !code_type) return {};
    return Ref::steal(PyObject_CallFunction(code_type.get(), "iiiiiiOOOOOOOiOOOO", 0, 0, 0, 0, 2, 0,
                                            codestring.get(), consts.get(), empty.get(), empty.get(),
                                            filename, name, name, 1, no_bytes.get(), no_bytes.get(),
                                            empty.get(), empty.get()));
}

// get_code(fullname), as runpy asks for it; None for a submodule that is no program.
PyObject* finder_get_code(PyObject* self, PyObject* fullname) {
    if (!PyUnicode_Check(fullname)) {
        PyErr_SetString(PyExc_TypeError, "get_code(fullname)");
        return nullptr;
    }
    const Submodule* entry = lookup_entry(as_finder(self), fullname);
    if (!entry) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "no submodule named %R", fullname);
        return nullptr;
    }
    if (!entry->program) Py_RETURN_NONE;
    Ref runner = Ref::steal(PyCFunction_New(entry->program, nullptr));
    Ref name = Ref::steal(PyUnicode_FromString("<module>"));
    PyObject* origin = as_finder(self)->origin;
    if (!runner || !name) return nullptr;
    return program_code(runner.get(), origin != Py_None ? origin : fullname, name.get()).release();
}

int finder_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_finder(self)->search_path);
    Py_VISIT(as_finder(self)->origin);
    return 0;
}

int finder_clear(PyObject* self) {
    Py_CLEAR(as_finder(self)->search_path);
    Py_CLEAR(as_finder(self)->origin);
    return 0;
}

void finder_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    finder_clear(self);
    delete as_finder(self)->table;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef finder_methods[] = {
    {"find_spec", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(finder_find_spec)),
     METH_FASTCALL, nullptr},
    {"create_module", finder_create_module, METH_O, nullptr},
    {"exec_module", finder_exec_module, METH_O, nullptr},
    {"get_code", finder_get_code, METH_O, nullptr},
    {nullptr},
};

PyType_Slot finder_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(finder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(finder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(finder_clear)},
    {Py_tp_methods, finder_methods},
    {Py_tp_doc, const_cast<char*>("Finds and loads the submodules of the zivane package.")},
    {0, nullptr},
};

PyType_Spec finder_spec = {
    kFinderTypeName,
    sizeof(Finder),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    finder_slots,
};

// Drops finders installed by an earlier package object (the package was removed from
// sys.modules and imported again).
int remove_stale_finders(PyObject* meta_path) {
    for (Py_ssize_t i = PyList_GET_SIZE(meta_path) - 1; i >= 0; --i) {
        PyObject* item = PyList_GET_ITEM(meta_path, i);
        if (std::strcmp(Py_TYPE(item)->tp_name, kFinderTypeName) == 0 &&
            PySequence_DelItem(meta_path, i) < 0)
            return -1;
    }
    return 0;
}

}  // namespace

int install_submodule_finder(PyObject* package, std::span<const Submodule> table) {
    Ref search_path = Ref::steal(PyList_New(0));
    if (!search_path) return -1;
    Ref name = attr(package, ZV_STR("__name__"));
    if (!name) return -1;
    if (PyObject_SetAttr(package, ZV_STR("__path__"), search_path.get()) < 0 ||
        PyObject_SetAttr(package, ZV_STR("__package__"), name.get()) < 0)
        return -1;
    PyObject* spec_raw = nullptr;
    if (PyObject_GetOptionalAttr(package, ZV_STR("__spec__"), &spec_raw) < 0) return -1;
    Ref spec = Ref::steal(spec_raw);
    if (spec && !spec.is_none() &&
        PyObject_SetAttr(spec.get(), ZV_STR("submodule_search_locations"), search_path.get()) < 0)
        return -1;

    PyObject* origin_raw = nullptr;
    if (PyObject_GetOptionalAttr(package, ZV_STR("__file__"), &origin_raw) < 0) return -1;
    Ref origin = origin_raw ? Ref::steal(origin_raw) : Ref::none();

    Ref finder_type = Ref::steal(PyType_FromSpec(&finder_spec));
    if (!finder_type) return -1;
    Finder* finder = PyObject_GC_New(Finder, reinterpret_cast<PyTypeObject*>(finder_type.get()));
    if (!finder) return -1;
    finder->search_path = search_path.release();
    finder->origin = origin.release();
    finder->table = new std::vector<Submodule>(table.begin(), table.end());
    PyObject_GC_Track(finder);
    Ref finder_ref = Ref::steal(reinterpret_cast<PyObject*>(finder));

    PyObject* meta_path = PySys_GetObject("meta_path");  // borrowed
    if (!meta_path || !PyList_Check(meta_path)) {
        PyErr_SetString(PyExc_ImportError, "sys.meta_path is not a list");
        return -1;
    }
    if (remove_stale_finders(meta_path) < 0) return -1;
    return PyList_Insert(meta_path, 0, finder_ref.get());
}

}  // namespace zv
