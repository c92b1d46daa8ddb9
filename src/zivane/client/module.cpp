// zivane.client: HttpClient, TransportError and the client command.
//
// The client's operations are coroutine functions that never suspend: they block their
// thread in Reticulum calls and in threading.Event waits (which release the GIL), while
// Reticulum's threads deliver link and data callbacks.
#include "client/connect.hpp"
#include "client/session.hpp"
#include "common/identity_file.hpp"
#include "package/modules.hpp"
#include "support/module_def.hpp"
#include "support/native_coroutine.hpp"
#include "support/tables.hpp"
#include "transport/reticulum_io.hpp"

#include <algorithm>
#include <chrono>

namespace zv::client {

NativeBody command_main;  // command.cpp

namespace {

PyObject* obj(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

bool set(PyObject* self, PyObject* name, PyObject* value) { return PyObject_SetAttr(self, name, value) == 0; }

// ----- construction and identity ----------------------------------------------------------

PyObject* init_impl(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref destination = Ref::borrow(args[1]);
    if (PyUnicode_Check(destination.get())) {
        destination = call_method(obj(&PyBytes_Type), ZV_STR("fromhex"), {destination.get()});
        if (!destination) return nullptr;
    }
    if (!set(self, ZV_STR("_destination_hash"), destination.get()) || !set(self, ZV_STR("_port"), args[2]))
        return nullptr;
    int truth = PyObject_IsTrue(args[3]);
    if (truth < 0) return nullptr;
    Ref path = truth ? Ref::borrow(args[3]) : call_method(self, ZV_STR("_default_identity_path"));
    if (!path || !set(self, ZV_STR("_identity_path"), path.get())) return nullptr;
    if (!set(self, ZV_STR("_connect_timeout"), args[4]) || !set(self, ZV_STR("_request_timeout"), args[5]) ||
        !set(self, ZV_STR("_read_timeout"), args[6]) || !set(self, ZV_STR("_identity"), Py_None) ||
        !set(self, ZV_STR("_link"), Py_None))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* default_identity_path_impl(NativeFunction* fn, PyObject* const*) {
    return identity_file::default_path(fn->module);
}

PyObject* load_or_create_identity_impl(NativeFunction* fn, PyObject* const* args) {
    return identity_file::load_or_create(fn->module, args[0], true);
}

// ----- connection ----------------------------------------------------------------------

CoBody connect_body(Ref module, Ref self) { co_return connect_impl(module.get(), self.get()); }
CoBody close_body(Ref module, Ref self) {
    co_return close_link(module.get(), self.get()) ? Ref::none() : Ref{};
}
CoBody send_body(Ref module, Ref self, Ref data) { co_return exchange(module.get(), self.get(), data.get()); }

PyObject* connect_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, connect_body(Ref::borrow(fn->module), Ref::borrow(args[0])), true);
}
PyObject* close_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, close_body(Ref::borrow(fn->module), Ref::borrow(args[0])), true);
}
PyObject* send_request_fn(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, send_body(Ref::borrow(fn->module), Ref::borrow(args[0]), Ref::borrow(args[1])),
                          true);
}

// ----- requests ------------------------------------------------------------------------

CoBody request_body(Ref module, Ref self, Ref path, Ref method, Ref headers, Ref body) {
    Ref link = attr(self.get(), ZV_STR("_link"));
    if (!link) co_return Ref{};
    if (!link.is_none()) {
        // A link that Reticulum closed, or whose stream went out of step, is let go of and
        // replaced, as an HTTP client reopens a keep-alive connection the server closed.
        // So is a stale one: Reticulum sends nothing on it, and closes it unless the
        // server speaks first, which an idle server does not.
        int usable = link_usable(module.get(), link.get());
        if (usable < 0) co_return Ref{};
        Ref rns = module_global(module.get(), ZV_STR("RNS"));
        if (!rns) co_return Ref{};
        if (usable == 0 || rns::link_stale(rns.get(), link.get())) {
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
    Ref kwnames =
        Ref::steal(PyTuple_Pack(4, ZV_STR("method"), ZV_STR("path"), ZV_STR("headers"), ZV_STR("body")));
    if (!header_map || !request_cls || !kwnames) co_return Ref{};
    Ref request =
        call_kw(request_cls.get(), {method.get(), path.get(), header_map.get(), body.get()}, kwnames.get());
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
                          request_body(Ref::borrow(fn->module), Ref::borrow(args[0]), Ref::borrow(args[1]),
                                       Ref::borrow(args[2]), Ref::borrow(args[3]), Ref::borrow(args[4])),
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
    return make_coroutine(
        fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "GET", Ref::borrow(a[2]), Ref{}), true);
}
PyObject* delete_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(
        fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "DELETE", Ref::borrow(a[2]), Ref{}), true);
}
PyObject* post_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(
        fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "POST", Ref::borrow(a[3]), Ref::borrow(a[2])),
        true);
}
PyObject* put_fn(NativeFunction* fn, PyObject* const* a) {
    return make_coroutine(
        fn, forward_body(Ref::borrow(a[0]), Ref::borrow(a[1]), "PUT", Ref::borrow(a[3]), Ref::borrow(a[2])),
        true);
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

// ----- the tables ----------------------------------------------------------------------

using table::Env;
using table::Kind;

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

// clang-format off
const table::Derived kDerived[] = {
    {"bytes | str", [](Env& env) { return env.union_of("bytes", "str"); }},
    {"str | None", [](Env& env) { return env.union_of("str", "None"); }},
    {"bytes | None", [](Env& env) { return env.union_of("bytes", "None"); }},
    {"dict[str, str]", [](Env& env) { return env.subscript("dict", {"str", "str"}); }},
    {"dict[str, str] | None", [](Env& env) { return env.union_of("dict[str, str]", "None"); }},
    {"_RESPONSE_LIMIT", [](Env&) { return Ref::steal(PyLong_FromSsize_t(kResponseLimit)); }},
    {"_WRITER_IDLE", [](Env&) { return Ref::steal(PyFloat_FromDouble(kWriterIdleSeconds)); }},
};

const table::Class kTransportError = {
    "TransportError", "Exception raised for transport errors.", {}, {}, {}, "Exception",
};

// The optional headers of a request.
constexpr table::Param kHeaders = {"headers", "dict[str, str] | None", "None"};

const table::Function kHttpClientBody[] = {
    {"__init__",
     {{"self"},
      {"destination_hash", "bytes | str"},
      {"port", "int"},
      {"identity_path", "str | None", "None"},
      {"connect_timeout", "float", "30.0"},
      {"request_timeout", "float", "60.0"},
      {"read_timeout", "float", "30.0"}},
     "None", nullptr, init_impl},
    {"_default_identity_path", {}, "str", "Get default identity path.", default_identity_path_impl,
     Kind::Static},
    {"_load_or_create_identity", {{"self"}}, "RNS.Identity", "Load existing identity or create new one.",
     load_or_create_identity_impl},
    {"connect", {{"self"}}, "None", "Connect to the server.", connect_fn, Kind::Coroutine},
    {"request",
     {{"self"},
      {"path", "str"},
      {"method", "str", "'GET'"},
      kHeaders,
      {"body", "bytes | None", "None"}},
     "HttpResponse", kRequestDoc, request_fn, Kind::Coroutine},
    {"_send_request", {{"self"}, {"data", "bytes"}}, "bytes", "Send request data and wait for response.",
     send_request_fn, Kind::Coroutine},
    {"get", {{"self"}, {"path", "str"}, kHeaders}, "HttpResponse", "Send GET request.", get_fn,
     Kind::Coroutine},
    {"post", {{"self"}, {"path", "str"}, {"body", "bytes | None", "None"}, kHeaders}, "HttpResponse",
     "Send POST request.", post_fn, Kind::Coroutine},
    {"put", {{"self"}, {"path", "str"}, {"body", "bytes | None", "None"}, kHeaders}, "HttpResponse",
     "Send PUT request.", put_fn, Kind::Coroutine},
    {"delete", {{"self"}, {"path", "str"}, kHeaders}, "HttpResponse", "Send DELETE request.", delete_fn,
     Kind::Coroutine},
    {"close", {{"self"}}, "None", "Close the connection.", close_fn, Kind::Coroutine},
    {"is_connected", {{"self"}}, "bool", "Check if client is connected.", is_connected_impl, Kind::Property},
    {"__aenter__", {{"self"}}, "'HttpClient'", "Async context manager entry.", aenter_fn, Kind::Coroutine},
    {"__aexit__", {{"self"}, {"_exc_type", "Any"}, {"_exc_val", "Any"}, {"_exc_tb", "Any"}}, "None",
     "Async context manager exit.", aexit_fn, Kind::Coroutine},
};

const table::Class kHttpClient = {
    "HttpClient", "HTTP/1.1 client using RNS for transport.", kHttpClientBody,
    {"_destination_hash", "_port", "_identity_path", "_connect_timeout", "_request_timeout", "_read_timeout",
     "_identity", "_link"},
};

const table::Function kMain = {"main", {}, nullptr, nullptr, command_main, Kind::Coroutine};

const table::Entry kBody[] = {
    table::import_module("argparse"),
    table::import_module("asyncio"),
    table::import_module("os"),
    table::import_module("sys"),
    table::import_module("threading"),
    table::import_name("typing", "Any"),
    table::import_name("typing", "cast"),
    table::import_module("RNS"),
    table::import_name("zivane.types", "HttpRequest"),
    table::import_name("zivane.types", "HttpResponse"),
    table::define(kTransportError),
    table::define(kHttpClient),
    table::define(kMain),
    // Private tunables, read at use: the largest response accepted (bytes, None for no
    // limit) and how long an idle writer thread waits for the next request (seconds).
    table::value("_RESPONSE_LIMIT"),
    table::value("_WRITER_IDLE"),
};
// clang-format on

// ----- the module ----------------------------------------------------------------------

using StateRefs = OwnedFields<State, &State::sessions>;

int module_exec(PyObject* module) {
    State* st = state_of(module);
    if (st->sessions) return 0;  // a reload keeps what the first exec made
    st->sessions = PyDict_New();
    if (!st->sessions) return -1;
    Env env(module, kDerived);
    return table::run(env, kBody);
}

ModuleDefinition definition{"zivane.client",       "HTTP/1.1 client over RNS.", module_exec,
                            sizeof(State),         StateRefs::traverse_module,  StateRefs::clear_module,
                            StateRefs::free_module};

}  // namespace
}  // namespace zv::client

namespace zv {
PyModuleDef* client_module_def() { return client::definition.def(); }
}  // namespace zv
