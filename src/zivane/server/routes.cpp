// HttpServer's routes: the table of handlers by (METHOD, path), patterns ending in "*",
// the default handler, and the choice of a handler for one request.
#include "server/functions.hpp"
#include "support/tables.hpp"

namespace zv::server {
namespace {

// self._handlers[(method.upper(), path)] = handler
int store_route(PyObject* self, PyObject* path, PyObject* method, PyObject* handler) {
    Ref upper = call_method(method, ZV_STR("upper"));
    Ref key = upper ? new_tuple({upper.get(), path}) : Ref{};
    Ref handlers = key ? attr(self, ZV_STR("_handlers")) : Ref{};
    if (!handlers) return -1;
    return PyObject_SetItem(handlers.get(), key.get(), handler);
}

// decorator(handler), capturing (self, path, method)
PyObject* route_decorator(NativeFunction* fn, PyObject* const* args) {
    if (store_route(captured(fn, 0), captured(fn, 1), captured(fn, 2), args[0]) < 0) return nullptr;
    return Py_NewRef(args[0]);
}

const table::Function kDecorator = {
    "decorator", {{"handler", "HandlerType"}}, "HandlerType", nullptr, route_decorator,
};

// print(f"{link} {method} {path}")
int log_request(PyObject* module, PyObject* link, PyObject* method, PyObject* path) {
    Ref line = fstring({link, ZV_STR(" "), method, ZV_STR(" "), path});
    return line ? print_line(module, line.get()) : -1;
}

// The handler of the first pattern in `handlers` that self._match_pattern finds matching
// `path`, in insertion order: 1 found, 0 none, -1 with an exception set.
int pattern_handler(PyObject* self, PyObject* handlers, PyObject* path, Ref* handler) {
    Ref items = call_method(handlers, ZV_STR("items"));
    Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref{};
    if (!it) return -1;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref route_key = Ref::steal(PySequence_GetItem(pair.get(), 0));
        Ref pattern = route_key ? Ref::steal(PySequence_GetItem(route_key.get(), 1)) : Ref{};
        Ref matched = pattern ? call_method(self, ZV_STR("_match_pattern"), {pattern.get(), path}) : Ref{};
        int yes = matched ? PyObject_IsTrue(matched.get()) : -1;
        if (yes < 0) return -1;
        if (!yes) continue;
        *handler = Ref::steal(PySequence_GetItem(pair.get(), 1));
        return *handler ? 1 : -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The handler registered for exactly (method, path), else for a pattern: 1 found, 0 none,
// -1 with an exception set.
int route_handler(PyObject* self, PyObject* method, PyObject* path, Ref* handler) {
    Ref handlers = attr(self, ZV_STR("_handlers"));
    Ref key = handlers ? new_tuple({method, path}) : Ref{};
    int has = key ? PySequence_Contains(handlers.get(), key.get()) : -1;
    if (has <= 0) return has < 0 ? -1 : pattern_handler(self, handlers.get(), path, handler);
    *handler = Ref::steal(PyObject_GetItem(handlers.get(), key.get()));
    return *handler ? 1 : -1;
}

// What answers a request no route claims: the default handler, else 404.
Ref unrouted(NativeFunction* fn, PyObject* self, PyObject* request) {
    Ref fallback = attr(self, ZV_STR("_default_handler"));
    int set = fallback ? PyObject_IsTrue(fallback.get()) : -1;
    if (set < 0) return {};
    if (set) return call(fallback.get(), {request});
    Ref cls = global(fn, ZV_STR("HttpResponse"));
    Ref status = Ref::steal(PyLong_FromLong(404));
    Ref reason = Ref::steal(PyUnicode_FromString("Not Found"));
    Ref body = Ref::steal(PyBytes_FromString("Not Found"));
    Ref names = new_tuple({ZV_STR("status"), ZV_STR("reason"), ZV_STR("body")});
    if (!cls || !status || !reason || !body || !names) return {};
    return call_kw(cls.get(), {status.get(), reason.get(), body.get()}, names.get());
}

}  // namespace

PyObject* route(NativeFunction* fn, PyObject* const* args) {
    Ref closure = new_tuple({args[0], args[1], args[2]});
    if (!closure) return nullptr;
    return table::make_nested(fn->module, kDecorator, "HttpServer.route.<locals>", closure.get()).release();
}

PyObject* add_handler(NativeFunction*, PyObject* const* args) {
    if (store_route(args[0], args[1], args[3], args[2]) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

PyObject* set_default_handler(NativeFunction*, PyObject* const* args) {
    if (PyObject_SetAttr(args[0], ZV_STR("_default_handler"), args[1]) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

// _handle_request(self, link, request)
PyObject* handle_request(NativeFunction* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* request = args[2];
    Ref path = attr(request, ZV_STR("path"));
    Ref method_raw = path ? attr(request, ZV_STR("method")) : Ref{};
    Ref method = method_raw ? call_method(method_raw.get(), ZV_STR("upper")) : Ref{};
    if (!method || log_request(fn->module, args[1], method.get(), path.get()) < 0) return nullptr;
    Ref handler;
    int found = route_handler(self, method.get(), path.get(), &handler);
    if (found < 0) return nullptr;
    return (found ? call(handler.get(), {request}) : unrouted(fn, self, request)).release();
}

// _match_pattern(self, pattern, path): a pattern ending in "*" matches every path that
// starts with what comes before it; any other only itself.
PyObject* match_pattern(NativeFunction*, PyObject* const* args) {
    PyObject* pattern = args[1];
    PyObject* path = args[2];
    Ref ends = call_method(pattern, ZV_STR("endswith"), {ZV_STR("*")});
    int yes = ends ? PyObject_IsTrue(ends.get()) : -1;
    if (yes < 0) return nullptr;
    if (!yes) return PyObject_RichCompare(path, pattern, Py_EQ);
    Ref stop_at = Ref::steal(PyLong_FromLong(-1));
    Ref all_but_last = stop_at ? Ref::steal(PySlice_New(nullptr, stop_at.get(), nullptr)) : Ref{};
    Ref prefix = all_but_last ? Ref::steal(PyObject_GetItem(pattern, all_but_last.get())) : Ref{};
    if (!prefix) return nullptr;
    return call_method(path, ZV_STR("startswith"), {prefix.get()}).release();
}

}  // namespace zv::server
