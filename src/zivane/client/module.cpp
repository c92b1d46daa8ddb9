// zivane.client: HttpClient, TransportError and the client command.
//
// The client's operations are coroutine functions that never suspend: they block their
// thread in Reticulum calls and in threading.Event waits (which release the GIL), while
// Reticulum's threads deliver link and data callbacks.
#include "client/connect.hpp"
#include "client/session.hpp"
#include "common/identity_file.hpp"
#include "package/modules.hpp"
#include "transport/reticulum_io.hpp"
#include "support/classes.hpp"
#include "support/native_coroutine.hpp"


#include <algorithm>
#include <chrono>

namespace zv::client {

int add_main(PyObject* module);  // command.cpp

namespace {

PyObject* obj(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

bool set(PyObject* self, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(self, name, value) == 0;
}

Ref global(PyObject* module, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key ? module_global(module, key.get()) : Ref{};
}

// ----- construction and identity ----------------------------------------------------------

PyObject* init_impl(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref destination = Ref::borrow(args[1]);
    if (PyUnicode_Check(destination.get())) {
        destination = call_method(obj(&PyBytes_Type), ZV_STR("fromhex"), {destination.get()});
        if (!destination) return nullptr;
    }
    if (!set(self, ZV_STR("_destination_hash"), destination.get()) ||
        !set(self, ZV_STR("_port"), args[2]))
        return nullptr;
    int truth = PyObject_IsTrue(args[3]);
    if (truth < 0) return nullptr;
    Ref path = truth ? Ref::borrow(args[3]) : call_method(self, ZV_STR("_default_identity_path"));
    if (!path || !set(self, ZV_STR("_identity_path"), path.get())) return nullptr;
    if (!set(self, ZV_STR("_connect_timeout"), args[4]) ||
        !set(self, ZV_STR("_request_timeout"), args[5]) ||
        !set(self, ZV_STR("_read_timeout"), args[6]) || !set(self, ZV_STR("_identity"), Py_None) ||
        !set(self, ZV_STR("_link"), Py_None))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* default_identity_path_impl(NativeFunction* fn, PyObject* const*) {
    Ref os = module_global(fn->module, ZV_STR("os"));
    Ref path = os ? attr(os.get(), "path") : Ref{};
    if (!path) return nullptr;
    Ref tilde = Ref::steal(PyUnicode_FromString("~"));
    Ref home = tilde ? call_method(path.get(), ZV_STR("expanduser"), {tilde.get()}) : Ref{};
    Ref dir = Ref::steal(PyUnicode_FromString(".zivane"));
    Ref file = Ref::steal(PyUnicode_FromString("identity"));
    if (!home || !dir || !file) return nullptr;
    return call_method(path.get(), ZV_STR("join"), {home.get(), dir.get(), file.get()}).release();
}

PyObject* load_or_create_identity_impl(NativeFunction* fn, PyObject* const* args) {
    return identity_file::load_or_create(fn->module, args[0], true);
}

// ----- connection ----------------------------------------------------------------------

CoBody connect_body(Ref module, Ref self) { co_return connect_impl(module.get(), self.get()); }
CoBody close_body(Ref module, Ref self) {
    co_return close_link(module.get(), self.get()) ? Ref::none() : Ref{};
}
CoBody send_body(Ref module, Ref self, Ref data) {
    co_return exchange(module.get(), self.get(), data.get());
}

PyObject* connect_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, connect_body(Ref::borrow(fn->module), Ref::borrow(args[0])), true);
}
PyObject* close_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, close_body(Ref::borrow(fn->module), Ref::borrow(args[0])), true);
}
PyObject* send_request_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(
        fn, send_body(Ref::borrow(fn->module), Ref::borrow(args[0]), Ref::borrow(args[1])), true);
}

// ----- requests ------------------------------------------------------------------------

CoBody request_body(Ref module, Ref self, Ref path, Ref method, Ref headers, Ref body) {
    Ref link = attr(self.get(), ZV_STR("_link"));
    if (!link) co_return Ref{};
    if (!link.is_none()) {
        // A link that Reticulum closed, or whose stream went out of step, is let go of and
        // replaced, as an HTTP client reopens a keep-alive connection the server closed.
        int usable = link_usable(module.get(), link.get());
        if (usable < 0) co_return Ref{};
        if (usable == 0) {
            forget_link(module.get(), self.get(), link.get());
            link = attr(self.get(), ZV_STR("_link"));
            if (!link) co_return Ref{};
        }
    }
    if (link.is_none()) {
        Ref pending = call_method(self.get(), ZV_STR("connect"));
        if (!pending) co_return Ref{};
        Ref done = co_await Await(pending.get());
        if (!done) co_return Ref{};
        link = attr(self.get(), ZV_STR("_link"));
        if (!link) co_return Ref{};
        if (link.is_none()) {
            raise_transport_error(module.get(), "Not connected");
            co_return Ref{};
        }
    }
    int has_headers = PyObject_IsTrue(headers.get());
    if (has_headers < 0) co_return Ref{};
    Ref header_map = has_headers ? headers : Ref::steal(PyDict_New());
    Ref request_cls = module_global(module.get(), ZV_STR("HttpRequest"));
    Ref kwnames = Ref::steal(
        PyTuple_Pack(4, ZV_STR("method"), ZV_STR("path"), ZV_STR("headers"), ZV_STR("body")));
    if (!header_map || !request_cls || !kwnames) co_return Ref{};
    Ref request = call_kw(request_cls.get(),
                          {method.get(), path.get(), header_map.get(), body.get()}, kwnames.get());
    if (!request) co_return Ref{};
    Ref data = Ref::steal(PyObject_Bytes(request.get()));
    if (!data) co_return Ref{};
    Ref sending = call_method(self.get(), ZV_STR("_send_request"), {data.get()});
    if (!sending) co_return Ref{};
    Ref response_data = co_await Await(sending.get());
    if (!response_data) co_return Ref{};
    Ref response_cls = module_global(module.get(), ZV_STR("HttpResponse"));
    if (!response_cls) co_return Ref{};
    co_return call_method(response_cls.get(), ZV_STR("parse"), {response_data.get()});
}

PyObject* request_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn,
                          request_body(Ref::borrow(fn->module), Ref::borrow(args[0]),
                                       Ref::borrow(args[1]), Ref::borrow(args[2]),
                                       Ref::borrow(args[3]), Ref::borrow(args[4])),
                          true);
}

// self.request(path, method, headers[, body]) awaited.
CoBody forward_body(Ref self, Ref path, const char* verb, Ref headers, Ref body) {
    Ref method = Ref::steal(PyUnicode_FromString(verb));
    Ref request = method ? attr(self.get(), ZV_STR("request")) : Ref{};
    if (!request) co_return Ref{};
    Ref pending = body ? call(request.get(), {path.get(), method.get(), headers.get(), body.get()})
                       : call(request.get(), {path.get(), method.get(), headers.get()});
    if (!pending) co_return Ref{};
    Ref result = co_await Await(pending.get());
    co_return result;
}

PyObject* get_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "GET", Ref::borrow(a[2]), Ref{}), true);
}
PyObject* delete_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "DELETE", Ref::borrow(a[2]), Ref{}), true);
}
PyObject* post_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "POST", Ref::borrow(a[3]), Ref::borrow(a[2])), true);
}
PyObject* put_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "PUT", Ref::borrow(a[3]), Ref::borrow(a[2])), true);
}

// ----- properties and context manager --------------------------------------------------

// False once Reticulum has closed the link (or its stream went out of step), not only
// after close().
PyObject* is_connected_impl(NativeFunction* fn, PyObject* const* args) {
    Ref link = attr(args[0], ZV_STR("_link"));
    if (!link) return nullptr;
    if (link.is_none()) Py_RETURN_FALSE;
    int usable = link_usable(fn->module, link.get());
    if (usable < 0) return nullptr;
    return PyBool_FromLong(usable);
}

CoBody aenter_body(Ref self) {
    Ref pending = call_method(self.get(), ZV_STR("connect"));
    if (!pending) co_return Ref{};
    Ref done = co_await Await(pending.get());
    if (!done) co_return Ref{};
    co_return self;
}

CoBody aexit_body(Ref self) {
    Ref pending = call_method(self.get(), ZV_STR("close"));
    if (!pending) co_return Ref{};
    Ref done = co_await Await(pending.get());
    if (!done) co_return Ref{};
    co_return Ref::none();
}

PyObject* aenter_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, aenter_body(Ref::borrow(args[0])), true);
}
PyObject* aexit_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, aexit_body(Ref::borrow(args[0])), true);
}

// ----- module ---------------------------------------------------------------------------

const char* const kRequestDoc =
    "Send an HTTP request.\n"
    "\n"
    "Args:\n"
    "    path: Request path\n"
    "    method: HTTP method (GET, POST, etc.)\n"
    "    headers: Additional headers\n"
    "    body: Request body\n"
    "\n"
    "Returns:\n"
    "    HttpResponse object\n"
    "\n"
    "Raises:\n"
    "    TransportError: If request fails\n";

Ref union_of(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Or(a, b)); }

int add_transport_error(PyObject* module) {
    Ref ns = class_namespace(module, "TransportError", "Exception raised for transport errors.");
    if (!ns || set_static_attributes(ns.get(), {}) < 0) return -1;
    Ref bases = new_tuple({PyExc_Exception});
    Ref cls = bases ? make_class("TransportError", bases.get(), ns.get()) : Ref{};
    if (!cls) return -1;
    return PyModule_AddObjectRef(module, "TransportError", cls.get());
}

int add_http_client(PyObject* module) {
    PyObject* str = obj(&PyUnicode_Type);
    PyObject* bytes = obj(&PyBytes_Type);
    PyObject* flt = obj(&PyFloat_Type);
    Ref bytes_or_str = union_of(bytes, str);
    Ref str_or_none = union_of(str, Py_None);
    Ref bytes_or_none = union_of(bytes, Py_None);
    Ref str_str = new_tuple({str, str});
    Ref dict_str = str_str ? Ref::steal(Py_GenericAlias(obj(&PyDict_Type), str_str.get())) : Ref{};
    Ref headers_t = dict_str ? union_of(dict_str.get(), Py_None) : Ref{};
    Ref identity_cls = rns_attr(module, "Identity");
    Ref response_cls = global(module, "HttpResponse");
    Ref any = global(module, "Any");
    Ref boolean = obj(&PyBool_Type) ? Ref::borrow(obj(&PyBool_Type)) : Ref{};
    Ref self_name = Ref::steal(PyUnicode_FromString("HttpClient"));
    Ref d30 = Ref::steal(PyFloat_FromDouble(30.0));
    Ref d60 = Ref::steal(PyFloat_FromDouble(60.0));
    Ref get_name = Ref::steal(PyUnicode_FromString("GET"));
    if (!bytes_or_str || !str_or_none || !bytes_or_none || !headers_t || !identity_cls ||
        !response_cls || !any || !self_name || !d30 || !d60 || !get_name)
        return -1;

    Ref ns = class_namespace(module, "HttpClient", "HTTP/1.1 client using RNS for transport.");
    if (!ns) return -1;
    PyObject* n = ns.get();
    PyObject* resp = response_cls.get();
    PyObject* hdr = headers_t.get();
    if (add_function(n, module,
                     {"__init__", "HttpClient.__init__", nullptr,
                      {"self", "destination_hash", "port", "identity_path", "connect_timeout",
                       "request_timeout", "read_timeout"},
                      init_impl},
                     {Py_None, d30.get(), d60.get(), d30.get()},
                     {{"destination_hash", bytes_or_str.get()},
                      {"port", obj(&PyLong_Type)},
                      {"identity_path", str_or_none.get()},
                      {"connect_timeout", flt},
                      {"request_timeout", flt},
                      {"read_timeout", flt},
                      {"return", Py_None}}) < 0 ||
        add_function(n, module,
                     {"_default_identity_path", "HttpClient._default_identity_path",
                      "Get default identity path.", {}, default_identity_path_impl},
                     {}, {{"return", str}}, obj(&PyStaticMethod_Type)) < 0 ||
        add_function(n, module,
                     {"_load_or_create_identity", "HttpClient._load_or_create_identity",
                      "Load existing identity or create new one.", {"self"},
                      load_or_create_identity_impl},
                     {}, {{"return", identity_cls.get()}}) < 0 ||
        add_function(n, module,
                     {"connect", "HttpClient.connect", "Connect to the server.", {"self"},
                      connect_fn, true},
                     {}, {{"return", Py_None}}) < 0 ||
        add_function(n, module,
                     {"request", "HttpClient.request", kRequestDoc,
                      {"self", "path", "method", "headers", "body"}, request_fn, true},
                     {get_name.get(), Py_None, Py_None},
                     {{"path", str},
                      {"method", str},
                      {"headers", hdr},
                      {"body", bytes_or_none.get()},
                      {"return", resp}}) < 0 ||
        add_function(n, module,
                     {"_send_request", "HttpClient._send_request",
                      "Send request data and wait for response.", {"self", "data"},
                      send_request_fn, true},
                     {}, {{"data", bytes}, {"return", bytes}}) < 0 ||
        add_function(n, module,
                     {"get", "HttpClient.get", "Send GET request.", {"self", "path", "headers"},
                      get_fn, true},
                     {Py_None}, {{"path", str}, {"headers", hdr}, {"return", resp}}) < 0 ||
        add_function(n, module,
                     {"post", "HttpClient.post", "Send POST request.",
                      {"self", "path", "body", "headers"}, post_fn, true},
                     {Py_None, Py_None},
                     {{"path", str}, {"body", bytes_or_none.get()}, {"headers", hdr}, {"return", resp}}) < 0 ||
        add_function(n, module,
                     {"put", "HttpClient.put", "Send PUT request.",
                      {"self", "path", "body", "headers"}, put_fn, true},
                     {Py_None, Py_None},
                     {{"path", str}, {"body", bytes_or_none.get()}, {"headers", hdr}, {"return", resp}}) < 0 ||
        add_function(n, module,
                     {"delete", "HttpClient.delete", "Send DELETE request.",
                      {"self", "path", "headers"}, delete_fn, true},
                     {Py_None}, {{"path", str}, {"headers", hdr}, {"return", resp}}) < 0 ||
        add_function(n, module,
                     {"close", "HttpClient.close", "Close the connection.", {"self"}, close_fn, true},
                     {}, {{"return", Py_None}}) < 0 ||
        add_property(n, module,
                     {"is_connected", "HttpClient.is_connected", "Check if client is connected.",
                      {"self"}, is_connected_impl},
                     {{"return", boolean.get()}}) < 0 ||
        add_function(n, module,
                     {"__aenter__", "HttpClient.__aenter__", "Async context manager entry.",
                      {"self"}, aenter_fn, true},
                     {}, {{"return", self_name.get()}}) < 0 ||
        add_function(n, module,
                     {"__aexit__", "HttpClient.__aexit__", "Async context manager exit.",
                      {"self", "_exc_type", "_exc_val", "_exc_tb"}, aexit_fn, true},
                     {},
                     {{"_exc_type", any.get()},
                      {"_exc_val", any.get()},
                      {"_exc_tb", any.get()},
                      {"return", Py_None}}) < 0)
        return -1;
    if (set_static_attributes(n, {"_destination_hash", "_port", "_identity_path", "_connect_timeout",
                                  "_request_timeout", "_read_timeout", "_identity", "_link"}) < 0)
        return -1;
    Ref cls = make_class("HttpClient", nullptr, n);
    if (!cls) return -1;
    return PyModule_AddObjectRef(module, "HttpClient", cls.get());
}

int add_import(PyObject* module, const char* name) {
    Ref mod = import(name);
    return mod ? PyModule_AddObjectRef(module, name, mod.get()) : -1;
}

int add_from(PyObject* module, const char* from, const char* name) {
    Ref value = import_from(from, name);
    return value ? PyModule_AddObjectRef(module, name, value.get()) : -1;
}

int module_exec(PyObject* module) {
    State* st = state_of(module);
    if (!st->sessions) {
        st->sessions = PyDict_New();
        if (!st->sessions) return -1;
    }
    if (add_import(module, "argparse") < 0 || add_import(module, "asyncio") < 0 ||
        add_import(module, "os") < 0 || add_import(module, "sys") < 0 ||
        add_import(module, "threading") < 0 || add_from(module, "typing", "Any") < 0 ||
        add_from(module, "typing", "cast") < 0 || add_import(module, "RNS") < 0 ||
        add_from(module, "zivane.types", "HttpRequest") < 0 ||
        add_from(module, "zivane.types", "HttpResponse") < 0)
        return -1;
    if (add_transport_error(module) < 0 || add_http_client(module) < 0 || add_main(module) < 0)
        return -1;
    // Private tunables, read at use: the largest response accepted (bytes, None for no
    // limit) and how long an idle writer thread waits for the next request (seconds).
    Ref limit = Ref::steal(PyLong_FromLongLong(64LL * 1024 * 1024));
    Ref idle = Ref::steal(PyFloat_FromDouble(5.0));
    if (!limit || !idle || PyModule_AddObjectRef(module, "_RESPONSE_LIMIT", limit.get()) < 0 ||
        PyModule_AddObjectRef(module, "_WRITER_IDLE", idle.get()) < 0)
        return -1;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of(module);
    if (st) Py_VISIT(st->sessions);
    return 0;
}

int module_clear(PyObject* module) {
    State* st = state_of(module);
    if (st) Py_CLEAR(st->sessions);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "zivane.client", "HTTP/1.1 client over RNS.", sizeof(State), nullptr,
    slots, module_traverse, module_clear, module_free,
};

}  // namespace
}  // namespace zv::client

namespace zv {
PyModuleDef* client_module_def() { return &client::def; }
}  // namespace zv
