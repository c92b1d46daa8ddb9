// zivane.web: the module table. Serving applications: serve.cpp (the loop), wsgi.cpp,
// asgi.cpp and lifespan.cpp (the two conventions), request.cpp (what they share). Calling
// sites from httpx and requests: transports.cpp on the links of client.cpp.
#include "package/modules.hpp"
#include "support/classes.hpp"
#include "support/module_def.hpp"
#include "support/tables.hpp"
#include "web/functions.hpp"

namespace zv::web {
namespace {

const table::Function kServe = {
    "serve",
    {{"app"},
     {"port", "int"},
     {"identity_path", "str | None", "None"},
     {"*"},
     {"name", "str | None", "None"},
     {"announce_interval", "float", "1800.0"}},
    "None",
    "Serve the ASGI or WSGI application app as the Reticulum destination HTTP.<port> until cancelled.\n\n"
    "Its announces say name (a short description of the site, at most 64 bytes of UTF-8; a "
    "longer one is cut) and its port, and are sent again every announce_interval seconds so "
    "that directories and paths stay fresh (0: only at start).",
    serve_impl,
    table::Kind::Coroutine,
};

const table::Function kCommand = {
    "_command",   {{"args"}},
    "None",       "Run zivane-gateway for an application named module:attribute.",
    command_impl, table::Kind::Coroutine,
};

// The base the transports are made with: a plain class, laid out as the libraries' base
// classes are, so that each transport can take its library's base in its place when that
// library is imported (transports.cpp).
Ref library_stand_in(table::Env& env) {
    Ref ns = class_namespace(env.module(), "_LibraryBase",
                             "Stands for a transport's library base class until the library is imported.");
    return ns ? make_class("_LibraryBase", nullptr, ns.get()) : Ref{};
}

const table::Derived kDerived[] = {
    {"str | None", [](table::Env& env) { return env.union_of("str", "None"); }},
    {"_LibraryBase", library_stand_in},
};

const table::Entry kBody[] = {
    table::import_module("asyncio"),
    table::import_module("inspect"),
    table::import_module("os"),
    table::import_module("sys"),
    table::import_module("types"),
    table::import_module("RNS"),
    table::import_name("zivane.server", "HttpServer"),
    table::import_name("zivane.client", "HttpClient"),
    table::define(kServe),
    table::define(kCommand),
    table::define(kHttpxTransport),
    table::define(kAsyncHttpxTransport),
    table::define(kRequestsAdapter),
    table::define(kInputClass),
    table::define(kBodyClass),
    // A tunable of the transports, read when one is made: bytes of an answer read ahead of
    // its reader.
    table::value("_ANSWER_LIMIT", "16777216"),
};

struct State {
    bool initialized;
};

int module_exec(PyObject* m) {
    State* state = static_cast<State*>(PyModule_GetState(m));
    if (state->initialized) return 0;
    table::Env env(m, kDerived);
    if (table::run(env, kBody) < 0 || adopt_imported_library_bases(m) < 0) return -1;
    state->initialized = true;
    return 0;
}

ModuleDefinition definition{"zivane.web", "Python web applications and HTTP clients over Reticulum.",
                            module_exec, sizeof(State)};

}  // namespace
}  // namespace zv::web

namespace zv {
PyModuleDef* web_module_def() { return web::definition.def(); }
}  // namespace zv
