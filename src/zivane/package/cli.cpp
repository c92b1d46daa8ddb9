// zivane._cli: the console-script entry points `zivane-server`, `zivane-client`,
// `zivane-proxy` and `zivane-gateway`.
//
// Each runs its module's `main` coroutine under `asyncio.run` and turns the outcome into
// an exit status. A process attached to a shared Reticulum instance can be ended by RNS's
// own interface thread with os._exit(0) while the interpreter shuts down, which would lose
// both the status and unflushed output. So once `main` is done, the output streams are
// flushed and, when Reticulum was started, the process ends through `RNS.exit(code)` from
// this (the main) thread, which runs Reticulum's exit handler first and wins that race.
#include "package/modules.hpp"
#include "support/module_def.hpp"
#include "support/tables.hpp"

namespace zv {
namespace {

// Exit status for the exception currently set (which is cleared), printing what Python's
// own top level would print.
int exit_status_of_error() {
    SavedError error;
    if (error.matches(PyExc_SystemExit)) {
        Ref code = attr(error.get(), ZV_STR("code"));
        if (!code) {
            PyErr_Clear();
            return 1;
        }
        if (code.is_none()) return 0;
        if (PyLong_Check(code.get())) {
            long value = PyLong_AsLong(code.get());
            if (value == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return 1;
            }
            return static_cast<int>(value);
        }
        // sys.exit("message"): the message goes to standard error, the status is 1.
        PyObject* err = PySys_GetObject("stderr");
        if (err && err != Py_None) {
            if (PyFile_WriteObject(code.get(), err, Py_PRINT_RAW) < 0 || PyFile_WriteString("\n", err) < 0)
                PyErr_Clear();
        }
        return 1;
    }
    if (error.matches(PyExc_KeyboardInterrupt)) return 130;
    PyErr_DisplayException(error.get());
    return 1;
}

void flush_stream(const char* name) {
    PyObject* stream = PySys_GetObject(name);  // borrowed
    if (!stream || stream == Py_None) return;
    if (!call_method(stream, ZV_STR("flush"))) PyErr_Clear();
}

// Ends the process through RNS.exit(code) when this process started Reticulum.
void exit_through_reticulum(int code) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* rns = nullptr;
    if (PyDict_GetItemRef(modules, ZV_STR("RNS"), &rns) <= 0) {
        PyErr_Clear();
        return;
    }
    Ref rns_module = Ref::steal(rns);
    Ref reticulum = attr(rns_module.get(), "Reticulum");
    Ref instance = reticulum ? call_method(reticulum.get(), ZV_STR("get_instance")) : Ref{};
    if (!instance || instance.is_none()) {
        PyErr_Clear();
        return;
    }
    Ref code_obj = Ref::steal(PyLong_FromLong(code));
    Ref exit = attr(rns_module.get(), "exit");
    if (!code_obj || !exit || !call(exit.get(), {code_obj.get()})) PyErr_Clear();
}

Ref run_command(const char* module_name) {
    int status = 0;
    Ref module = import(module_name);
    Ref main = module ? attr(module.get(), "main") : Ref{};
    Ref coroutine = main ? call(main.get()) : Ref{};
    Ref run = coroutine ? import_from("asyncio", "run") : Ref{};
    Ref result = run ? call(run.get(), {coroutine.get()}) : Ref{};
    if (!result) status = exit_status_of_error();
    flush_stream("stdout");
    flush_stream("stderr");
    exit_through_reticulum(status);
    return Ref::steal(PyLong_FromLong(status));
}

PyObject* server_impl(NativeFunction*, PyObject* const*) { return run_command("zivane.server").release(); }
PyObject* client_impl(NativeFunction*, PyObject* const*) { return run_command("zivane.client").release(); }
PyObject* proxy_impl(NativeFunction*, PyObject* const*) { return run_command("zivane.proxy").release(); }
PyObject* gateway_impl(NativeFunction*, PyObject* const*) { return run_command("zivane.gateway").release(); }

// `python -m zivane.server` / `python -m zivane.client`: what the console script does,
// `sys.exit(server())`. runpy has set argv[0] to the shared object's path; usage messages
// name the command as the console script does.
PyObject* run_program(const char* module_name, const char* program) {
    Ref name = Ref::steal(PyUnicode_FromString(program));
    PyObject* argv = PySys_GetObject("argv");  // borrowed
    if (!name) return nullptr;
    if (argv && PyList_Check(argv) && PyList_GET_SIZE(argv) > 0 &&
        PyList_SetItem(argv, 0, name.release()) < 0)
        return nullptr;
    Ref status = run_command(module_name);
    if (!status) return nullptr;
    PyErr_SetObject(PyExc_SystemExit, status.get());
    return nullptr;
}

PyObject* server_program(PyObject*, PyObject*) { return run_program("zivane.server", "zivane-server"); }
PyObject* client_program(PyObject*, PyObject*) { return run_program("zivane.client", "zivane-client"); }
PyObject* proxy_program(PyObject*, PyObject*) { return run_program("zivane.proxy", "zivane-proxy"); }
PyObject* gateway_program(PyObject*, PyObject*) { return run_program("zivane.gateway", "zivane-gateway"); }

PyMethodDef server_program_method = {"zivane-server", server_program, METH_NOARGS,
                                     "Run the zivane-server command and exit with its status."};
PyMethodDef client_program_method = {"zivane-client", client_program, METH_NOARGS,
                                     "Run the zivane-client command and exit with its status."};
PyMethodDef proxy_program_method = {"zivane-proxy", proxy_program, METH_NOARGS,
                                    "Run the zivane-proxy command and exit with its status."};
PyMethodDef gateway_program_method = {"zivane-gateway", gateway_program, METH_NOARGS,
                                      "Run the zivane-gateway command and exit with its status."};

const table::Function kServer = {
    "server", {}, "int", "Run the zivane-server command and return its exit status.", server_impl,
};
const table::Function kClient = {
    "client", {}, "int", "Run the zivane-client command and return its exit status.", client_impl,
};
const table::Function kProxy = {
    "proxy", {}, "int", "Run the zivane-proxy command and return its exit status.", proxy_impl,
};
const table::Function kGateway = {
    "gateway", {}, "int", "Run the zivane-gateway command and return its exit status.", gateway_impl,
};
const table::Entry kBody[] = {table::define(kServer), table::define(kClient), table::define(kProxy),
                              table::define(kGateway)};

int cli_exec(PyObject* module) {
    table::Env env(module);
    return table::run(env, kBody);
}

ModuleDefinition definition{"zivane._cli", "Console-script entry points of zivane.", cli_exec};

}  // namespace

PyModuleDef* cli_module_def() { return definition.def(); }
PyMethodDef* server_program_def() { return &server_program_method; }
PyMethodDef* client_program_def() { return &client_program_method; }
PyMethodDef* proxy_program_def() { return &proxy_program_method; }
PyMethodDef* gateway_program_def() { return &gateway_program_method; }

}  // namespace zv
