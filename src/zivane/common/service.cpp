#include "common/service.hpp"

#include "common/command_line.hpp"
#include "support/globals.hpp"
#include "support/tables.hpp"

#include <cerrno>
#include <csignal>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

int print_to_stderr(PyObject* module, PyObject* line) {
    Ref sys = module_global(module, ZV_STR("sys"));
    Ref stderr_file = sys ? attr(sys.get(), ZV_STR("stderr")) : Ref{};
    Ref print = stderr_file ? module_global(module, ZV_STR("print")) : Ref{};
    Ref names = print ? new_tuple({ZV_STR("file"), ZV_STR("flush")}) : Ref{};
    if (!names) return -1;
    return call_kw(print.get(), {line, stderr_file.get(), Py_True}, names.get()) ? 0 : -1;
}

namespace {

// ~/.zivane/served, made private when missing; empty when it cannot be had.
std::string served_directory() {
    Ref os_path = import_from("os", "path");
    Ref tilde = os_path ? Ref::steal(PyUnicode_FromString("~/.zivane")) : Ref{};
    Ref home = tilde ? call_method(os_path.get(), ZV_STR("expanduser"), {tilde.get()}) : Ref{};
    const char* text = home ? PyUnicode_AsUTF8(home.get()) : nullptr;
    if (!text) {
        PyErr_Clear();
        return {};
    }
    std::string dir = text;
    ::mkdir(dir.c_str(), 0700);
    dir += "/served";
    if (::mkdir(dir.c_str(), 0700) < 0 && errno != EEXIST) return {};
    return dir;
}

// The process that holds the claim in `fd`'s file, as it wrote it.
std::string holder_of(int fd) {
    char text[32] = {};
    ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    std::string pid(text, got > 0 ? std::size_t(got) : 0);
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    return pid.empty() ? "unknown" : pid;
}

}  // namespace

int claim_destination(PyObject* module, PyObject* hash) {
    const char* hex = PyUnicode_Check(hash) ? PyUnicode_AsUTF8(hash) : nullptr;
    if (!hex) return PyErr_Occurred() ? (PyErr_Clear(), 0) : 0;
    std::string name = hex;
    if (name.empty() || name.find_first_not_of("0123456789abcdef") != std::string::npos) return 0;
    std::string dir = served_directory();
    if (dir.empty()) return 0;  // a best-effort warning: nothing to claim with
    std::string path = dir + "/" + name;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Held until the process ends: the kernel lets the lock go however it ends.
        std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd, 0) == 0) {
            [[maybe_unused]] ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
        }
        return 0;
    }
    std::string holder = holder_of(fd);
    ::close(fd);
    Ref line = Ref::steal(PyUnicode_FromFormat(
        "Warning: destination %s is already served by another zivane command on this machine "
        "(process %s): links from the network may reach either one",
        name.c_str(), holder.c_str()));
    return line ? print_to_stderr(module, line.get()) : -1;
}

int print_listening(PyObject* module, PyObject* port, PyObject* hash) {
    Ref line = fstring({ZV_STR("Server listening on HTTP."), port});
    if (!line || print_to_stderr(module, line.get()) < 0) return -1;
    line = fstring({ZV_STR("Destination hash: "), hash});
    if (!line || print_to_stderr(module, line.get()) < 0) return -1;
    return claim_destination(module, hash);
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
