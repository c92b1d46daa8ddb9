// The package `zivane`: module entry, package body and the table of submodules that this
// shared object delivers.
#include "package/modules.hpp"
#include "support/module_def.hpp"
#include "support/native_coroutine.hpp"
#include "support/submodules.hpp"

namespace zv {
namespace {

// Binds `from <module> import <name>` into the package namespace.
int bind_from(PyObject* package, const char* module, const char* name) {
    Ref value = import_from(module, name);
    if (!value) return -1;
    return PyModule_AddObjectRef(package, name, value.get());
}

int install_finder(PyObject* package) {
    const Submodule table[] = {
        {"zivane._compat", compat_module_def()},
        {"zivane.__whitelist", whitelist_module_def()},
        {"zivane.types", types_module_def()},
        {"zivane.client", client_module_def(), client_program_def()},
        {"zivane.server", server_module_def(), server_program_def()},
        {"zivane.proxy", proxy_module_def(), proxy_program_def()},
        {"zivane.gateway", gateway_module_def(), gateway_program_def()},
        {"zivane.web", web_module_def()},
        {"zivane._cli", cli_module_def()},
    };
    return install_submodule_finder(package, table);
}

// `python -m zivane.server`: runpy imports this package first, whose body imports the
// submodule, and then warns that the submodule was imported before it ran as __main__.
// Running it as a program is served by its own code object (see submodules.hpp), so the
// warning is moot: silence exactly it, and only while a -m run is being located.
int quiet_module_run_warning() {
    PyObject* argv = PySys_GetObject("argv");            // borrowed
    PyObject* orig_argv = PySys_GetObject("orig_argv");  // borrowed
    if (!argv || !PyList_Check(argv) || PyList_GET_SIZE(argv) < 1 || !orig_argv || !PyList_Check(orig_argv))
        return 0;
    PyObject* first = PyList_GET_ITEM(argv, 0);
    if (!PyUnicode_Check(first) || PyUnicode_CompareWithASCIIString(first, "-m") != 0) return 0;
    Py_ssize_t n = PyList_GET_SIZE(orig_argv);
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        PyObject* flag = PyList_GET_ITEM(orig_argv, i);
        if (!PyUnicode_Check(flag) || PyUnicode_CompareWithASCIIString(flag, "-m") != 0) continue;
        PyObject* target = PyList_GET_ITEM(orig_argv, i + 1);
        Ref escape = import_from("re", "escape");
        Ref filter = import_from("warnings", "filterwarnings");
        Ref pattern = escape ? call(escape.get(), {target}) : Ref{};
        Ref message = pattern
                          ? Ref::steal(PyUnicode_FromFormat(
                                "'%U' found in sys.modules after import of package 'zivane'", pattern.get()))
                          : Ref{};
        Ref action = Ref::steal(PyUnicode_FromString("ignore"));
        Ref names = Ref::steal(PyTuple_Pack(2, ZV_STR("message"), ZV_STR("category")));
        if (!filter || !message || !action || !names) return -1;
        return call_kw(filter.get(), {action.get(), message.get(), PyExc_RuntimeWarning}, names.get()) ? 0
                                                                                                       : -1;
    }
    return 0;
}

int package_exec(PyObject* package) {
    // First of all: every other step, and every submodule, uses the interned names.
    if (intern_names() < 0) return -1;
    if (init_native_function_type() < 0 || init_native_coroutine_type() < 0) return -1;
    if (install_finder(package) < 0 || quiet_module_run_warning() < 0) return -1;
    if (bind_from(package, "importlib.metadata", "version") < 0) return -1;
    Ref version = Ref::steal(PyObject_GetAttrString(package, "version"));
    if (!version) return -1;
    Ref dist_version = call(version.get(), {ZV_STR("zivane")});
    if (!dist_version || PyModule_AddObjectRef(package, "__version__", dist_version.get()) < 0) return -1;
    if (bind_from(package, "zivane.client", "HttpClient") < 0 ||
        bind_from(package, "zivane.server", "HttpServer") < 0 ||
        bind_from(package, "zivane.types", "HttpRequest") < 0 ||
        bind_from(package, "zivane.types", "HttpResponse") < 0)
        return -1;
    Ref all = Ref::steal(Py_BuildValue("[ssss]", "HttpRequest", "HttpResponse", "HttpServer", "HttpClient"));
    if (!all) return -1;
    return PyModule_AddObjectRef(package, "__all__", all.get());
}

ModuleDefinition definition{"zivane", "zivane - HTTP/1.1 over Reticulum Network Stack.", package_exec};

}  // namespace
}  // namespace zv

PyMODINIT_FUNC PyInit_zivane() { return PyModuleDef_Init(zv::definition.def()); }
