#include "common/command_line.hpp"

#include "support/tables.hpp"

namespace zv::command_line {
namespace {

Ref text(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }

// attr(obj, name) when it exists, else `fallback` (no error either way).
Ref optional_attr(PyObject* obj, const char* name, Ref fallback) {
    PyObject* found = nullptr;
    if (!obj || PyObject_GetOptionalAttrString(obj, name, &found) <= 0) {
        PyErr_Clear();
        return fallback;
    }
    return Ref::steal(found);
}

bool os_path_test(PyObject* os_path, PyObject* name, PyObject* path, int* out) {
    Ref result = call_method(os_path, name, {path});
    *out = result ? PyObject_IsTrue(result.get()) : -1;
    return *out >= 0;
}

Ref concat(PyObject* a, const char* b) {
    Ref tail = text(b);
    return tail ? Ref::steal(PyUnicode_Concat(a, tail.get())) : Ref{};
}

// The directory RNS.Reticulum(None) settles on, decided the way it decides.
Ref default_config_dir(PyObject* module, PyObject* os_path) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) return {};
    Ref reticulum = optional_attr(rns.get(), "Reticulum", Ref{});
    Ref tilde = text("~");
    Ref home_default = tilde ? call_method(os_path, ZV_STR("expanduser"), {tilde.get()}) : Ref{};
    if (!home_default) return {};
    Ref home = optional_attr(reticulum.get(), "userdir", home_default);
    if (!PyUnicode_Check(home.get())) return home_default;
    Ref etc = text("/etc/reticulum");
    Ref user = etc ? concat(home.get(), "/.config/reticulum") : Ref{};
    if (!user) return {};
    for (PyObject* dir : {etc.get(), user.get()}) {
        Ref file = concat(dir, "/config");
        int is_dir = 0, is_file = 0;
        if (!file || !os_path_test(os_path, ZV_STR("isdir"), dir, &is_dir)) return {};
        if (is_dir && !os_path_test(os_path, ZV_STR("isfile"), file.get(), &is_file)) return {};
        if (is_dir && is_file) return Ref::borrow(dir);
    }
    return concat(home.get(), "/.reticulum");
}

// Parses `file` with Reticulum's own configuration reader; 0 when it reads.
int check_parses(PyObject* module, PyObject* file) {
    Ref reader = import_from("RNS.vendor.configobj", "ConfigObj");
    if (!reader) {
        PyErr_Clear();  // not this Reticulum: let it judge its configuration itself
        return 0;
    }
    if (call(reader.get(), {file})) return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    SavedError error;
    Ref reason = Ref::steal(PyObject_Str(error.get()));
    Ref newline = text("\n"), space = text(" ");
    Ref one_line = reason && newline && space
                       ? Ref::steal(PyUnicode_Replace(reason.get(), newline.get(), space.get(), -1))
                       : Ref{};
    Ref message = one_line ? Ref::steal(PyUnicode_FromFormat(
                                 "could not parse the Reticulum configuration %S: %U", file, one_line.get()))
                           : Ref{};
    return message ? fail(module, kConfigurationStatus, message.get()) : -1;
}

bool exit_hook_registered = false;  // guarded by the GIL

PyObject* mark_exit_done(NativeFunction* fn, PyObject* const*) {
    if (PyObject_SetAttrString(captured(fn, 0), "exit_called", Py_True) < 0) PyErr_Clear();
    Py_RETURN_NONE;
}

const table::Function kKeepExitStatus = {"_keep_exit_status", {}, nullptr, nullptr, mark_exit_done};

}  // namespace

int keep_exit_status(PyObject* module, PyObject* rns) {
    if (exit_hook_registered) return 0;
    PyObject* loaded = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), ZV_STR("RNS"), &loaded) < 0) return -1;
    Ref real = Ref::steal(loaded);
    if (real.get() != rns) return 0;  // a stand-in has no exit of its own to race with
    Ref closure = new_tuple({rns});
    Ref hook = closure ? table::make_nested(module, kKeepExitStatus, nullptr, closure.get()) : Ref{};
    Ref register_hook = hook ? import_from("atexit", "register") : Ref{};
    if (!register_hook || !call(register_hook.get(), {hook.get()})) return -1;
    exit_hook_registered = true;
    return 0;
}

void flush_output(PyObject* module) {
    SavedError pending;
    Ref sys = module_global(module, ZV_STR("sys"));
    for (PyObject* name : {ZV_STR("stdout"), ZV_STR("stderr")}) {
        Ref stream = sys ? attr(sys.get(), name) : Ref{};
        if (!stream || (!stream.is_none() && !call_method(stream.get(), ZV_STR("flush")))) PyErr_Clear();
    }
    pending.restore();
}

int fail(PyObject* module, int status, PyObject* message) {
    Ref sys = module_global(module, ZV_STR("sys"));
    Ref err = sys ? attr(sys.get(), ZV_STR("stderr")) : Ref{};
    Ref line = Ref::steal(PyUnicode_FromFormat("Error: %U\n", message));
    if (!err || !line) return -1;
    if (!err.is_none() && PyFile_WriteObject(line.get(), err.get(), Py_PRINT_RAW) < 0) return -1;
    flush_output(module);
    Ref code = Ref::steal(PyLong_FromLong(status));
    Ref exit = code ? call(PyExc_SystemExit, {code.get()}) : Ref{};
    if (exit) PyErr_SetRaisedException(exit.release());
    return -1;
}

int check_port(PyObject* module, PyObject* port) {
    int overflow = 0;
    long value = PyLong_Check(port) ? PyLong_AsLongAndOverflow(port, &overflow) : 0;
    if (value == -1 && PyErr_Occurred()) return -1;
    if (!PyLong_Check(port) || (!overflow && value >= 0 && value <= 65535)) return 0;
    Ref message =
        Ref::steal(PyUnicode_FromFormat("invalid port %S: expected a number from 0 to 65535", port));
    return message ? fail(module, kUsageStatus, message.get()) : -1;
}

int check_destination(PyObject* module, PyObject* destination) {
    if (!PyUnicode_Check(destination)) return 0;
    Ref rns = module_global(module, ZV_STR("RNS"));
    if (!rns) return -1;
    Ref bits_default = Ref::steal(PyLong_FromLong(128));
    if (!bits_default) return -1;
    Ref bits = optional_attr(optional_attr(rns.get(), "Reticulum", Ref{}).get(), "TRUNCATED_HASHLENGTH",
                             bits_default);
    long length = PyLong_Check(bits.get()) ? PyLong_AsLong(bits.get()) / 8 : 16;
    if (length == -1 && PyErr_Occurred()) return -1;
    Ref raw = call_method(reinterpret_cast<PyObject*>(&PyBytes_Type), ZV_STR("fromhex"), {destination});
    if (!raw) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
    } else if (PyBytes_GET_SIZE(raw.get()) == length) {
        return 0;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "invalid destination hash %R: expected %ld hexadecimal digits", destination, length * 2));
    return message ? fail(module, kUsageStatus, message.get()) : -1;
}

int check_configuration(PyObject* module, PyObject* config_dir) {
    Ref os = module_global(module, ZV_STR("os"));
    Ref os_path = os ? attr(os.get(), ZV_STR("path")) : Ref{};
    if (!os_path) return -1;
    Ref dir = config_dir == Py_None ? default_config_dir(module, os_path.get()) : Ref::borrow(config_dir);
    if (!dir) return -1;
    if (!PyUnicode_Check(dir.get())) return 0;  // whatever Reticulum makes of it
    int exists = 0, is_dir = 0;
    if (!os_path_test(os_path.get(), ZV_STR("exists"), dir.get(), &exists) ||
        !os_path_test(os_path.get(), ZV_STR("isdir"), dir.get(), &is_dir))
        return -1;
    if (exists && !is_dir) {
        Ref message = Ref::steal(
            PyUnicode_FromFormat("the Reticulum configuration directory %R is not a directory", dir.get()));
        return message ? fail(module, kConfigurationStatus, message.get()) : -1;
    }
    // A directory named by the user that is not there is a typo: Reticulum would create it
    // with its default configuration, which joins the local network. Only the default
    // directory is Reticulum's to create on first use.
    if (!exists && config_dir != Py_None) {
        Ref message = Ref::steal(
            PyUnicode_FromFormat("the Reticulum configuration directory %R does not exist", dir.get()));
        return message ? fail(module, kConfigurationStatus, message.get()) : -1;
    }
    Ref file = concat(dir.get(), "/config");  // as Reticulum names it
    int is_file = 0;
    if (!file || !os_path_test(os_path.get(), ZV_STR("isfile"), file.get(), &is_file)) return -1;
    return is_file ? check_parses(module, file.get()) : 0;
}

// --config, else $RNS_CONFIG_PATH, else None; checked before Reticulum sees it.
Ref configuration(PyObject* module, PyObject* args) {
    Ref config = attr(args, ZV_STR("config"));
    if (config && config.is_none()) {
        Ref os = module_global(module, ZV_STR("os"));
        Ref environ = os ? attr(os.get(), ZV_STR("environ")) : Ref{};
        Ref name = environ ? Ref::steal(PyUnicode_FromString("RNS_CONFIG_PATH")) : Ref{};
        config = name ? call_method(environ.get(), ZV_STR("get"), {name.get(), Py_None}) : Ref{};
    }
    if (!config || check_configuration(module, config.get()) < 0) return {};
    return config;
}

// RNS.Reticulum(config, RNS.LOG_VERBOSE if args.verbose else RNS.LOG_WARNING)
int start_reticulum(PyObject* module, PyObject* args, PyObject* config) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    Ref verbose = rns ? attr(args, ZV_STR("verbose")) : Ref{};
    int is_verbose = verbose ? PyObject_IsTrue(verbose.get()) : -1;
    if (is_verbose < 0) return -1;
    Ref level = attr(rns.get(), is_verbose ? ZV_STR("LOG_VERBOSE") : ZV_STR("LOG_WARNING"));
    Ref reticulum_type = level ? attr(rns.get(), ZV_STR("Reticulum")) : Ref{};
    Ref reticulum = reticulum_type ? call(reticulum_type.get(), {config, level.get()}) : Ref{};
    if (!reticulum) return -1;
    return keep_exit_status(module, rns.get());
}

}  // namespace zv::command_line
