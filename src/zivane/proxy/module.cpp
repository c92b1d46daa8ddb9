// zivane.proxy: the module table. The command is in command.cpp, the running proxy in
// proxy.cpp, browser connections in connections.cpp, links in links.cpp.
#include "package/modules.hpp"
#include "proxy/functions.hpp"
#include "support/module_def.hpp"
#include "support/tables.hpp"

namespace zv::proxy {
namespace {

const table::Function kMain = {"main", {}, nullptr, nullptr, command_main, table::Kind::Coroutine};

const table::Entry kBody[] = {
    table::import_module("argparse"),
    table::import_module("asyncio"),
    table::import_module("os"),
    table::import_module("sys"),
    table::import_module("types"),
    table::import_module("RNS"),
    table::import_name("zivane.client", "HttpClient"),
    table::define(kMain),
    // Tunables, read when the proxy starts: seconds to link, to the first bytes of an
    // answer, of silence within one, of an idle browser connection; bytes of an answer a
    // browser may fall behind; browser connections at once; whether links to sites that
    // take the compact form speak it (1) or plain HTTP/1.1 (0); below which size of a
    // link's channel messages small requests asked at once share one.
    table::value("_CONNECT_TIMEOUT", "120.0"),
    table::value("_REQUEST_TIMEOUT", "60.0"),
    table::value("_READ_TIMEOUT", "30.0"),
    table::value("_IDLE_TIMEOUT", "120.0"),
    table::value("_ANSWER_LIMIT", "4194304"),
    table::value("_MAX_CONNECTIONS", "64"),
    table::value("_COMPACT_LINKS", "1"),
    table::value("_GATHER_PIECE_LIMIT", "4096"),
};

struct State {
    bool initialized;
};

int module_exec(PyObject* m) {
    State* state = static_cast<State*>(PyModule_GetState(m));
    if (state->initialized) return 0;
    table::Env env(m);
    if (table::run(env, kBody) < 0) return -1;
    state->initialized = true;
    return 0;
}

ModuleDefinition definition{"zivane.proxy", "HTTP proxy from browsers to Reticulum destinations.",
                            module_exec, sizeof(State)};

}  // namespace
}  // namespace zv::proxy

namespace zv {
PyModuleDef* proxy_module_def() { return proxy::definition.def(); }
}  // namespace zv
