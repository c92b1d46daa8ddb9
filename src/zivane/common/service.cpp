#include "common/service.hpp"

#include "common/command_line.hpp"
#include "support/globals.hpp"
#include "support/tables.hpp"

#include <csignal>

namespace zv::service {
namespace {

// SIGTERM ends the wait the way Ctrl-C would, at the next one-second check: the handler
// only raises a flag, so the wait never has to be torn out of its sleep.
PyObject* on_sigterm(NativeFunction* fn, PyObject* const*) {
    if (PyList_SetItem(captured(fn, 0), 0, Py_NewRef(Py_True)) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

const table::Function kOnSigterm = {"_on_sigterm", {}, nullptr, nullptr, on_sigterm};
constexpr const char* kMainLocals = "main.<locals>";

}  // namespace

Ref configuration(PyObject* module, PyObject* args) {
    Ref config = attr(args, ZV_STR("config"));
    if (config && config.is_none()) {
        Ref os = module_global(module, ZV_STR("os"));
        Ref environ = os ? attr(os.get(), ZV_STR("environ")) : Ref{};
        Ref name = environ ? Ref::steal(PyUnicode_FromString("RNS_CONFIG_PATH")) : Ref{};
        config = name ? call_method(environ.get(), ZV_STR("get"), {name.get(), Py_None}) : Ref{};
    }
    if (!config || command_line::check_configuration(module, config.get()) < 0) return {};
    return config;
}

int start_reticulum(PyObject* module, PyObject* args, PyObject* config) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    Ref verbose = rns ? attr(args, ZV_STR("verbose")) : Ref{};
    int is_verbose = verbose ? PyObject_IsTrue(verbose.get()) : -1;
    if (is_verbose < 0) return -1;
    Ref level = attr(rns.get(), is_verbose ? ZV_STR("LOG_VERBOSE") : ZV_STR("LOG_WARNING"));
    Ref reticulum_type = level ? attr(rns.get(), ZV_STR("Reticulum")) : Ref{};
    Ref reticulum = reticulum_type ? call(reticulum_type.get(), {config, level.get()}) : Ref{};
    if (!reticulum) return -1;
    return command_line::keep_exit_status(module, rns.get());
}

int print_to_stderr(PyObject* module, PyObject* line) {
    Ref sys = module_global(module, ZV_STR("sys"));
    Ref stderr_file = sys ? attr(sys.get(), ZV_STR("stderr")) : Ref{};
    Ref print = stderr_file ? module_global(module, ZV_STR("print")) : Ref{};
    Ref names = print ? new_tuple({ZV_STR("file"), ZV_STR("flush")}) : Ref{};
    if (!names) return -1;
    return call_kw(print.get(), {line, stderr_file.get(), Py_True}, names.get()) ? 0 : -1;
}

int print_listening(PyObject* module, PyObject* port, PyObject* hash) {
    Ref line = fstring({ZV_STR("Server listening on HTTP."), port});
    if (!line || print_to_stderr(module, line.get()) < 0) return -1;
    line = fstring({ZV_STR("Destination hash: "), hash});
    return line ? print_to_stderr(module, line.get()) : -1;
}

Ref http_destination(PyObject* rns, PyObject* identity, PyObject* port) {
    Ref dest_type = attr(rns, ZV_STR("Destination"));
    if (!dest_type) return {};
    Ref in = attr(dest_type.get(), ZV_STR("IN"));
    Ref single = attr(dest_type.get(), ZV_STR("SINGLE"));
    Ref app = Ref::steal(PyUnicode_FromString("HTTP"));
    if (!in || !single || !app) return {};
    Ref aspect = Ref::steal(PyObject_Str(port));
    if (!aspect) return {};
    return call(dest_type.get(), {identity, in.get(), single.get(), app.get(), aspect.get()});
}

Ref install_sigterm(PyObject* module, PyObject* asyncio, PyObject* flag) {
    Ref loop = call_method(asyncio, ZV_STR("get_running_loop"));
    if (!loop) {
        PyErr_Clear();
        return Ref::none();
    }
    Ref closure = new_tuple({flag});
    Ref handler = closure ? table::make_nested(module, kOnSigterm, kMainLocals, closure.get()) : Ref{};
    Ref signum = handler ? Ref::steal(PyLong_FromLong(SIGTERM)) : Ref{};
    if (!signum) return {};
    if (!call_method(loop.get(), ZV_STR("add_signal_handler"), {signum.get(), handler.get()})) {
        PyErr_Clear();
        return Ref::none();
    }
    return loop;
}

void remove_sigterm(PyObject* loop) {
    if (Py_IsNone(loop)) return;
    SavedError pending;
    Ref signum = Ref::steal(PyLong_FromLong(SIGTERM));
    if (!signum || !call_method(loop, ZV_STR("remove_signal_handler"), {signum.get()})) PyErr_Clear();
    pending.restore();
}

bool terminated(PyObject* flag) { return PyList_GET_ITEM(flag, 0) == Py_True; }

Ref wait_failure() {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PyErr_Clear();
        return {};
    }
    return Ref::steal(PyErr_GetRaisedException());
}

Ref pause(PyObject* asyncio) {
    Ref one = Ref::steal(PyLong_FromLong(1));
    return one ? call_method(asyncio, ZV_STR("sleep"), {one.get()}) : Ref{};
}

Ref outcome(Ref failure) {
    if (!failure) return Ref::none();
    PyErr_SetRaisedException(failure.release());
    return {};
}

}  // namespace zv::service
