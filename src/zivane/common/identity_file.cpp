#include "common/identity_file.hpp"

#include "support/native_function.hpp"
#include "support/sync.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zv::identity_file {
namespace {

// Raises OSError(err, text, path); OSError picks the subclass that fits `err`.
void raise_os_error(int err, const char* text, PyObject* path) {
    Ref exc = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", err, text, path));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

void raise_errno(int err, PyObject* path) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

// The path as the system calls take it (str, bytes or os.PathLike).
Ref encoded(PyObject* path) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(path, &raw)) return {};
    return Ref::steal(raw);
}

// stat or lstat with the GIL released; the errno on failure, else 0.
int status_of(const char* p, bool follow, struct stat* st) {
    int rc = sync::without_gil([&] { return follow ? ::stat(p, st) : ::lstat(p, st); });
    return rc == 0 ? 0 : errno;
}

int refuse_directory(PyObject* path) {
    Ref p = encoded(path);
    if (!p) return -1;
    struct stat st;
    if (status_of(PyBytes_AS_STRING(p.get()), true, &st) == 0 && S_ISDIR(st.st_mode)) {
        raise_os_error(EISDIR, "Identity path is a directory", path);
        return -1;
    }
    return 0;
}

// One line on stderr when a loaded private key is readable by others; best effort.
void warn_if_readable(PyObject* module, PyObject* path) {
    Ref p = encoded(path);
    struct stat st;
    if (!p || status_of(PyBytes_AS_STRING(p.get()), true, &st) != 0 || !(st.st_mode & (S_IRGRP | S_IROTH))) {
        PyErr_Clear();
        return;
    }
    Ref sys = module_global(module, ZV_STR("sys"));
    Ref err = sys ? attr(sys.get(), ZV_STR("stderr")) : Ref{};
    Ref line = Ref::steal(PyUnicode_FromFormat(
        "Warning: identity file %S is readable by other users; restrict it with: chmod 600 %S\n", path,
        path));
    if (!err || err.is_none() || !line || PyFile_WriteObject(line.get(), err.get(), Py_PRINT_RAW) < 0)
        PyErr_Clear();
}

// Makes room for a new file at the path: nothing may be there, except the regular file
// that did not load (`replace`), which is removed. Never follows a symbolic link.
int clear_entry(const char* p, PyObject* path, bool replace) {
    struct stat st;
    int err = status_of(p, false, &st);
    if (err == ENOENT) return 0;
    if (err) {
        raise_errno(err, path);
        return -1;
    }
    if (S_ISLNK(st.st_mode)) {
        raise_os_error(ELOOP, "Identity path is a symbolic link; not writing a private key through it", path);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        raise_os_error(EISDIR, "Identity path is a directory", path);
        return -1;
    }
    if (!S_ISREG(st.st_mode) || !replace) return 0;  // the exclusive create below refuses it
    int rc = sync::without_gil([&] { return ::unlink(p); });
    if (rc != 0 && errno != ENOENT) {
        raise_errno(errno, path);
        return -1;
    }
    return 0;
}

// A new file private to the user, created where nothing is (a symbolic link planted in
// the meantime makes the exclusive create fail). Returns the descriptor or -1.
int create_private(const char* p, PyObject* path, bool replace) {
    if (clear_entry(p, path, replace) < 0) return -1;
    int fd = sync::without_gil([&] {
        int made = ::open(p, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (made >= 0) (void)::fchmod(made, 0600);  // whatever the umask left
        return made;
    });
    if (fd < 0) raise_errno(errno, path);
    return fd;
}

// Writes all of `data` and closes `fd`; 0, or the errno of the failure.
int write_and_close(int fd, const char* data, Py_ssize_t size) {
    sync::GilReleased released;
    int err = 0;
    while (size > 0) {
        ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        data += n;
        size -= n;
    }
    if (!err) (void)::fsync(fd);  // the identity names the destination: keep it
    if (::close(fd) != 0 && !err) err = errno;
    return err;
}

int write_key(int fd, const char* p, PyObject* path, PyObject* key) {
    Py_buffer view;
    if (PyObject_GetBuffer(key, &view, PyBUF_SIMPLE) < 0) {
        ::close(fd);
        ::unlink(p);
        return -1;
    }
    int err = write_and_close(fd, static_cast<const char*>(view.buf), view.len);
    PyBuffer_Release(&view);
    if (!err) return 0;
    ::unlink(p);  // a partial key would only be replaced at the next start
    raise_errno(err, path);
    return -1;
}

// Saves `identity` at `path` as described in the header.
int save(PyObject* identity, PyObject* path, bool replace) {
    PyObject* getter_raw = nullptr;
    if (PyObject_GetOptionalAttr(identity, ZV_STR("get_private_key"), &getter_raw) < 0) return -1;
    Ref getter = Ref::steal(getter_raw);
    Ref key = getter ? call(getter.get()) : Ref::none();
    if (!key) return -1;
    Ref p = encoded(path);
    if (!p) return -1;
    const char* raw = PyBytes_AS_STRING(p.get());
    int fd = create_private(raw, path, replace);
    if (fd < 0) return -1;
    if (!key.is_none()) return write_key(fd, raw, path, key.get());
    ::close(fd);
    return call_method(identity, ZV_STR("to_file"), {path}) ? 0 : -1;
}

struct Names {
    Ref os, os_path, identity_cls;
};

bool look_up(PyObject* module, Names* n) {
    n->os = module_global(module, ZV_STR("os"));
    n->os_path = n->os ? attr(n->os.get(), ZV_STR("path")) : Ref{};
    Ref rns = n->os_path ? module_global(module, ZV_STR("RNS")) : Ref{};
    n->identity_cls = rns ? attr(rns.get(), ZV_STR("Identity")) : Ref{};
    return bool(n->identity_cls);
}

bool keep(PyObject* self, bool caches, PyObject* identity) {
    return !caches || PyObject_SetAttr(self, ZV_STR("_identity"), identity) == 0;
}

Ref current_path(PyObject* self) { return attr(self, ZV_STR("_identity_path")); }

// Steps 1 and 2: the existing file, if it loads. Sets *found to the identity or None.
bool load_existing(PyObject* module, PyObject* self, bool caches, const Names& n, Ref* found, bool* existed) {
    Ref p = current_path(self);
    Ref exists = p ? call_method(n.os_path.get(), ZV_STR("exists"), {p.get()}) : Ref{};
    int yes = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (yes < 0) return false;
    *existed = yes;
    *found = Ref::none();
    if (!yes) return true;
    p = current_path(self);
    if (!p || refuse_directory(p.get()) < 0) return false;
    *found = call_method(n.identity_cls.get(), ZV_STR("from_file"), {p.get()});
    if (!*found || !keep(self, caches, found->get())) return false;
    if (!found->is_none()) warn_if_readable(module, p.get());
    return true;
}

// Creates the directory part of the path (private to the user); a bare file name lives in
// the working directory.
bool make_directory(PyObject* self, const Names& n) {
    Ref p = current_path(self);
    Ref dir = p ? call_method(n.os_path.get(), ZV_STR("dirname"), {p.get()}) : Ref{};
    int has_dir = dir ? PyObject_IsTrue(dir.get()) : -1;
    if (has_dir <= 0) return has_dir == 0;
    Ref makedirs = attr(n.os.get(), ZV_STR("makedirs"));
    Ref mode = Ref::steal(PyLong_FromLong(0700));
    Ref names = Ref::steal(PyTuple_Pack(2, ZV_STR("mode"), ZV_STR("exist_ok")));
    return makedirs && mode && names &&
           call_kw(makedirs.get(), {dir.get(), mode.get(), Py_True}, names.get());
}

}  // namespace

PyObject* load_or_create(PyObject* module, PyObject* self, bool caches) {
    if (caches) {
        Ref cached = attr(self, ZV_STR("_identity"));
        if (!cached || !cached.is_none()) return cached.release();
    }
    Names n;
    if (!look_up(module, &n)) return nullptr;
    Ref loaded;
    bool existed = false;
    if (!load_existing(module, self, caches, n, &loaded, &existed)) return nullptr;
    if (!loaded.is_none()) return caches ? attr(self, ZV_STR("_identity")).release() : loaded.release();

    Ref fresh = call(n.identity_cls.get());
    if (!fresh || !keep(self, caches, fresh.get())) return nullptr;
    if (!make_directory(self, n)) return nullptr;
    Ref p = current_path(self);
    if (!p || save(fresh.get(), p.get(), existed) < 0) return nullptr;
    return caches ? attr(self, ZV_STR("_identity")).release() : fresh.release();
}

PyObject* default_path(PyObject* module) {
    Ref os = module_global(module, ZV_STR("os"));
    Ref os_path = os ? attr(os.get(), ZV_STR("path")) : Ref{};
    Ref tilde = os_path ? Ref::steal(PyUnicode_FromString("~")) : Ref{};
    Ref home = tilde ? call_method(os_path.get(), ZV_STR("expanduser"), {tilde.get()}) : Ref{};
    Ref dir = home ? Ref::steal(PyUnicode_FromString(".zivane")) : Ref{};
    Ref file = dir ? Ref::steal(PyUnicode_FromString("identity")) : Ref{};
    if (!file) return nullptr;
    return call_method(os_path.get(), ZV_STR("join"), {home.get(), dir.get(), file.get()}).release();
}

}  // namespace zv::identity_file
