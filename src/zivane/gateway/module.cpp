// zivane.gateway: the module table. The command is in command.cpp, the bridge between
// links and the upstream in links.cpp and forward.cpp, the upstream's address and
// connection pool in upstream.cpp.
#include "gateway/functions.hpp"
#include "package/modules.hpp"
#include "support/module_def.hpp"
#include "support/tables.hpp"

namespace zv::gateway {
namespace {

using table::Env;
using table::Kind;

const table::Derived kDerived[] = {
    {"list[str] | None",
     [](Env& env) {
         Ref list_of_str = env.subscript("list", "str");
         return list_of_str ? Env::union_of(list_of_str.get(), Py_None) : Ref{};
     }},
};

const table::Function kMain = {
    "main",       {{"argv", "list[str] | None", "None"}},
    "None",       "Publish the web server at UPSTREAM as the Reticulum destination HTTP.<port>.",
    command_main, Kind::Coroutine,
};

const table::Entry kBody[] = {
    table::import_module("argparse"),
    table::import_module("asyncio"),
    table::import_module("os"),
    table::import_module("sys"),
    table::import_module("types"),
    table::import_module("RNS"),
    table::import_name("zivane.server", "HttpServer"),
    table::define(kMain),
    // Tunables, read when the gateway starts: seconds to connect to the upstream, for its
    // answer to start and between its bytes, for the rest of a request, of a link's window
    // shut; kept-alive upstream connections kept idle; threads serving links at once; the
    // stream message size under which a compact link's bodies go as resources.
    table::value("_CONNECT_TIMEOUT", "10.0"),
    table::value("_UPSTREAM_TIMEOUT", "60.0"),
    table::value("_READ_TIMEOUT", "30.0"),
    table::value("_WRITE_STALL_TIMEOUT", "30.0"),
    table::value("_IDLE_CONNECTIONS", "8"),
    table::value("_WORKERS", "32"),
    table::value("_RESOURCE_PIECE_LIMIT", "4096"),
};

struct State {
    bool initialized;
};

int module_exec(PyObject* m) {
    State* state = static_cast<State*>(PyModule_GetState(m));
    if (state->initialized) return 0;
    Env env(m, kDerived);
    if (table::run(env, kBody) < 0) return -1;
    state->initialized = true;
    return 0;
}

ModuleDefinition definition{"zivane.gateway", "Publish a web server over Reticulum.", module_exec,
                            sizeof(State)};

}  // namespace
}  // namespace zv::gateway

namespace zv {
PyModuleDef* gateway_module_def() { return gateway::definition.def(); }
}  // namespace zv
