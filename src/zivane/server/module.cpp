// zivane.server: the module table, and HttpServer's construction, identity file and
// properties. Routes and dispatch are in routes.cpp, start and stop in lifecycle.cpp, the
// per-link traffic in links.cpp and the command in command.cpp.
#include "common/identity_file.hpp"
#include "package/modules.hpp"
#include "server/functions.hpp"
#include "support/module_def.hpp"
#include "support/tables.hpp"

namespace zv::server {

// ---- construction, identity and properties ---------------------------------------------

PyObject* server_init(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, ZV_STR("_port"), args[1]) < 0) return nullptr;
    int given = PyObject_IsTrue(args[2]);
    if (given < 0) return nullptr;
    Ref path = given ? Ref::borrow(args[2]) : call_method(self, ZV_STR("_default_identity_path"));
    if (!path || PyObject_SetAttr(self, ZV_STR("_identity_path"), path.get()) < 0) return nullptr;
    if (PyObject_SetAttr(self, ZV_STR("_request_timeout"), args[3]) < 0 ||
        PyObject_SetAttr(self, ZV_STR("_read_timeout"), args[4]) < 0 ||
        PyObject_SetAttr(self, ZV_STR("_destination"), Py_None) < 0)
        return nullptr;
    Ref handlers = Ref::steal(PyDict_New());
    if (!handlers || PyObject_SetAttr(self, ZV_STR("_handlers"), handlers.get()) < 0) return nullptr;
    if (PyObject_SetAttr(self, ZV_STR("_default_handler"), Py_None) < 0 ||
        PyObject_SetAttr(self, ZV_STR("_running"), Py_False) < 0)
        return nullptr;
    Ref links = Ref::steal(PyDict_New());
    if (!links || PyObject_SetAttr(self, ZV_STR("_links"), links.get()) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

PyObject* default_identity_path(NativeFunction* fn, PyObject* const*) {
    return identity_file::default_path(fn->module);
}

PyObject* load_or_create_identity(NativeFunction* fn, PyObject* const* args) {
    return identity_file::load_or_create(fn->module, args[0], false);
}

PyObject* port_getter(NativeFunction*, PyObject* const* args) {
    return PyObject_GetAttr(args[0], ZV_STR("_port"));
}

PyObject* is_running_getter(NativeFunction*, PyObject* const* args) {
    return PyObject_GetAttr(args[0], ZV_STR("_running"));
}

PyObject* destination_hash_getter(NativeFunction*, PyObject* const* args) {
    Ref dest = attr(args[0], ZV_STR("_destination"));
    if (!dest) return nullptr;
    if (dest.is_none()) return Py_NewRef(Py_None);
    Ref hexhash = attr(dest.get(), ZV_STR("hexhash"));
    if (!hexhash) return nullptr;
    if (!hexhash.is_none() && !PyUnicode_Check(hexhash.get())) {
        PyErr_SetNone(PyExc_AssertionError);
        return nullptr;
    }
    dest = attr(args[0], ZV_STR("_destination"));
    if (!dest) return nullptr;
    return PyObject_GetAttr(dest.get(), ZV_STR("hexhash"));
}

namespace {

// ---- the tables -------------------------------------------------------------------------

using table::Env;
using table::Kind;

const char* const kRouteDoc =
    "Decorator to register a handler for a path and method.\n"
    "\n"
    "Example:\n"
    "    @server.route(\"/api/data\", method=\"GET\")\n"
    "    def get_data(request):\n"
    "        return HttpResponse(status=200, body=b\"OK\")\n"
    "\n"
    "    @server.route(\"/api/data\", method=\"POST\")\n"
    "    def post_data(request):\n"
    "        return HttpResponse(status=200, body=b\"OK\")\n";

// Callable[[HttpRequest], HttpResponse] | Callable[[HttpRequest], Awaitable[HttpResponse]]
Ref handler_type(Env& env) {
    PyObject* request = env.get("HttpRequest");
    PyObject* response = request ? env.get("HttpResponse") : nullptr;
    PyObject* awaitable = response ? env.get("Awaitable") : nullptr;
    Ref awaitable_response = awaitable ? Env::subscript(awaitable, response) : Ref{};
    Ref sync_handler = awaitable_response ? env.callable(request, response) : Ref{};
    Ref async_handler = sync_handler ? env.callable(request, awaitable_response.get()) : Ref{};
    return async_handler ? Env::union_of(sync_handler.get(), async_handler.get()) : Ref{};
}

// T = TypeVar("T")
Ref type_variable(Env& env) {
    PyObject* typevar = env.get("TypeVar");
    Ref name = typevar ? Ref::steal(PyUnicode_FromString("T")) : Ref{};
    return name ? call(typevar, {name.get()}) : Ref{};
}

Ref size_value(Py_ssize_t n) { return Ref::steal(PyLong_FromSsize_t(n)); }

const table::Derived kDerived[] = {
    {"HandlerType", handler_type},
    {"T", type_variable},
    {"Awaitable[T]", [](Env& env) { return env.subscript("Awaitable", "T"); }},
    {"str | None", [](Env& env) { return env.union_of("str", "None"); }},
    {"Awaitable[HttpResponse]", [](Env& env) { return env.subscript("Awaitable", "HttpResponse"); }},
    {"HttpResponse | Awaitable[HttpResponse]",
     [](Env& env) { return env.union_of("HttpResponse", "Awaitable[HttpResponse]"); }},
    {"Callable[[HandlerType], HandlerType]", [](Env& env) { return env.callable("HandlerType", "HandlerType"); }},
    {"_LINK_BUFFER_LIMIT", [](Env&) { return size_value(kLinkBufferLimit); }},
    {"_TOTAL_BUFFER_LIMIT", [](Env&) { return size_value(kTotalBufferLimit); }},
    {"_HEAD_LIMIT", [](Env&) { return size_value(kHeadLimit); }},
    {"_WRITE_STALL_TIMEOUT", [](Env&) { return Ref::steal(PyFloat_FromDouble(kWriteStallSeconds)); }},
};

const table::Function kAwaitInSync = {
    "await_in_sync", {{"awaitable", "Awaitable[T]"}}, "T", "Run any awaitable from synchronous code safely.",
    await_in_sync,
};

const table::Function kHttpServerBody[] = {
    {"__init__",
     {{"self"},
      {"port", "int"},
      {"identity_path", "str | None", "None"},
      {"request_timeout", "float", "60.0"},
      {"read_timeout", "float", "30.0"}},
     "None", nullptr, server_init},
    {"_default_identity_path", {}, "str", "Get default identity path.", default_identity_path, Kind::Static},
    {"_load_or_create_identity", {{"self"}}, "RNS.Identity", "Load existing identity or create new one.",
     load_or_create_identity},
    {"route", {{"self"}, {"path", "str"}, {"method", "str", "'GET'"}}, "Callable[[HandlerType], HandlerType]",
     kRouteDoc, route},
    {"add_handler", {{"self"}, {"path", "str"}, {"handler", "HandlerType"}, {"method", "str", "'GET'"}}, "None",
     "Add a handler for a path and method.", add_handler},
    {"set_default_handler", {{"self"}, {"handler", "HandlerType"}}, "None",
     "Set a default handler for all requests.", set_default_handler},
    {"start", {{"self"}}, "None", "Start the HTTP server.", start, Kind::Coroutine},
    {"stop", {{"self"}}, "None", "Stop the HTTP server.", stop, Kind::Coroutine},
    {"_on_link", {{"self"}, {"link", "RNS.Link"}}, "None", "Handle incoming link.", on_link},
    {"_send_response",
     {{"self"}, {"writer", "io.BufferedRWPair"}, {"response", "HttpResponse | Awaitable[HttpResponse]"}}, "None",
     "Send response back on the link.", send_response, Kind::Coroutine},
    {"_on_close", {{"self"}, {"link", "RNS.Link"}}, "None", "Handle link close.", on_close},
    {"_handle_request", {{"self"}, {"link", "RNS.Link"}, {"request", "HttpRequest"}},
     "HttpResponse | Awaitable[HttpResponse]", "Handle incoming HTTP request.", handle_request},
    {"_match_pattern", {{"self"}, {"pattern", "str"}, {"path", "str"}}, "bool",
     "Simple pattern matching for routes.", match_pattern},
    {"port", {{"self"}}, "int", "Get the server port.", port_getter, Kind::Property},
    {"destination_hash", {{"self"}}, "str | None", "Get the server destination hash as hex string.",
     destination_hash_getter, Kind::Property},
    {"is_running", {{"self"}}, "bool", "Check if server is running.", is_running_getter, Kind::Property},
};

const table::Class kHttpServer = {
    "HttpServer", "HTTP/1.1 server using RNS for transport.", kHttpServerBody,
    {"_port", "_identity_path", "_request_timeout", "_read_timeout", "_destination", "_handlers",
     "_default_handler", "_running", "_links"},
};

const table::Function kMain = {"main", {}, nullptr, nullptr, command_main, Kind::Coroutine};

const table::Entry kBody[] = {
    table::import_module("argparse"),
    table::import_module("asyncio"),
    table::import_module("io"),
    table::import_module("os"),
    table::import_module("sys"),
    table::import_name("collections.abc", "Awaitable"),
    table::import_name("collections.abc", "Callable"),
    table::import_name("typing", "TypeVar"),
    table::import_module("RNS"),
    table::import_name("zivane.types", "HttpRequest"),
    table::import_name("zivane.types", "HttpResponse"),
    table::value("HandlerType"),
    table::value("T"),
    table::define(kAwaitInSync),
    table::define(kHttpServer),
    table::define(kMain),
    // Tunables of the link handling, read at each use.
    table::value("_LINK_BUFFER_LIMIT"),
    table::value("_TOTAL_BUFFER_LIMIT"),
    table::value("_HEAD_LIMIT"),
    table::value("_WRITE_STALL_TIMEOUT"),
};

// ---- the module ----------------------------------------------------------------------------

struct State {
    bool initialized;
};

// Run as a program: asyncio.run(main())
int run_as_program(PyObject* m) {
    Ref name = attr(m, ZV_STR("__name__"));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get()) || PyUnicode_CompareWithASCIIString(name.get(), "__main__") != 0) return 0;
    Ref main_func = attr(m, "main");
    Ref coro = main_func ? call(main_func.get()) : Ref{};
    Ref asyncio = coro ? attr(m, "asyncio") : Ref{};
    return asyncio && call_method(asyncio.get(), ZV_STR("run"), {coro.get()}) ? 0 : -1;
}

int module_exec(PyObject* m) {
    State* state = static_cast<State*>(PyModule_GetState(m));
    if (state->initialized) return 0;
    Env env(m, kDerived);
    if (table::run(env, kBody) < 0) return -1;
    state->initialized = true;
    return run_as_program(m);
}

ModuleDefinition definition{"zivane.server", "HTTP/1.1 server over RNS.", module_exec, sizeof(State)};

}  // namespace
}  // namespace zv::server

namespace zv {
PyModuleDef* server_module_def() { return server::definition.def(); }
}  // namespace zv
