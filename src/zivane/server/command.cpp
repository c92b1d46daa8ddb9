// The zivane-server command: `main` starts Reticulum and a server answering every request
// that no route claims with "Hello world!", announces it again every --announce-interval,
// and waits until the server stops, Ctrl-C or SIGTERM.
#include "common/announcing.hpp"
#include "common/arguments.hpp"
#include "common/command_line.hpp"
#include "common/service.hpp"
#include "server/functions.hpp"
#include "support/native_coroutine.hpp"
#include "support/tables.hpp"

namespace zv::server {
namespace {

const command_line::Argument kArguments[] = {
    {.flags = {"port"}, .type = &PyLong_Type, .help = "Port number"},
    {.flags = {"--config"}, .type = &PyUnicode_Type, .help = "RNS config directory"},
    {.flags = {"--identity"}, .type = &PyUnicode_Type, .help = "Identity file path"},
    {.flags = {"-v", "--verbose"},
     .action = "store_true",
     .dest = "verbose",
     .help = "Enable verbose logging"},
    {.flags = {"--announce-interval"},
     .type = &PyFloat_Type,
     .help = announcing::kIntervalHelp,
     .metavar = "SECONDS"},
};

PyObject* default_handler(NativeFunction* fn, PyObject* const*) {
    Ref cls = global(fn, ZV_STR("HttpResponse"));
    Ref status = Ref::steal(PyLong_FromLong(200));
    Ref body = Ref::steal(PyBytes_FromString("Hello world!"));
    Ref names = new_tuple({ZV_STR("status"), ZV_STR("body")});
    if (!cls || !status || !body || !names) return nullptr;
    return call_kw(cls.get(), {status.get(), body.get()}, names.get()).release();
}

const table::Function kDefaultHandler = {
    "default_handler", {{"_request", "HttpRequest"}}, "HttpResponse", nullptr, default_handler,
};
constexpr const char* kMainLocals = "main.<locals>";

// The parsed command line, its port and announce interval checked.
Ref parse_command_line(PyObject* module, double* announce_interval) {
    Ref parser = command_line::make_parser(module, "HTTP/1.1 server over Reticulum", kArguments);
    Ref args = parser ? call_method(parser.get(), ZV_STR("parse_args")) : Ref{};
    Ref port = args ? attr(args.get(), ZV_STR("port")) : Ref{};
    if (!port || command_line::check_port(module, port.get()) < 0) return {};
    if (announcing::interval_option(module, args.get(), announce_interval) < 0) return {};
    return args;
}

// HttpServer(port=args.port, identity_path=args.identity) with the default handler set.
Ref make_server(PyObject* module, PyObject* args) {
    Ref server_type = module_global(module, ZV_STR("HttpServer"));
    Ref port = server_type ? attr(args, ZV_STR("port")) : Ref{};
    Ref identity = port ? attr(args, ZV_STR("identity")) : Ref{};
    Ref names = identity ? new_tuple({ZV_STR("port"), ZV_STR("identity_path")}) : Ref{};
    Ref server = names ? call_kw(server_type.get(), {port.get(), identity.get()}, names.get()) : Ref{};
    Ref handler = server ? table::make_nested(module, kDefaultHandler, kMainLocals, nullptr) : Ref{};
    if (!handler || !call_method(server.get(), ZV_STR("set_default_handler"), {handler.get()})) return {};
    return server;
}

// Where the server listens, on standard error.
int announce(PyObject* module, PyObject* server) {
    Ref port = attr(server, ZV_STR("port"));
    Ref hash = port ? attr(server, ZV_STR("destination_hash")) : Ref{};
    return hash ? service::print_listening(module, port.get(), hash.get()) : -1;
}

// Everything before the server starts.
Ref prepare(PyObject* module, double* announce_interval) {
    Ref args = parse_command_line(module, announce_interval);
    Ref config = args ? command_line::configuration(module, args.get()) : Ref{};
    if (!config || command_line::start_reticulum(module, args.get(), config.get()) < 0) return {};
    return make_server(module, args.get());
}

// Whether to wait on: 1 the server runs and no SIGTERM came, 0 not, -1 with an exception.
int keeps_running(PyObject* server, PyObject* terminated) {
    if (service::terminated(terminated)) return 0;
    Ref running = attr(server, ZV_STR("is_running"));
    return running ? PyObject_IsTrue(running.get()) : -1;
}

CoBody main_body(Ref fn_ref) {
    PyObject* module = reinterpret_cast<NativeFunction*>(fn_ref.get())->module;
    double announce_interval = 0;
    Ref server = prepare(module, &announce_interval);
    Ref start_coro = server ? call_method(server.get(), ZV_STR("start")) : Ref{};
    Ref started = co_await Await(start_coro.get());
    if (!started || announce(module, server.get()) < 0) co_return Ref{};
    Ref asyncio = module_global(module, ZV_STR("asyncio"));
    Ref terminated = asyncio ? Ref::steal(Py_BuildValue("[O]", Py_False)) : Ref{};
    Ref loop = terminated ? service::install_sigterm(module, asyncio.get(), terminated.get()) : Ref{};
    Ref destination = loop ? attr(server.get(), ZV_STR("_destination")) : Ref{};
    if (!destination) co_return Ref{};
    announcing::Repeater repeater(destination, announce_interval);

    // Wait until the server stops running; a keyboard interrupt or SIGTERM ends it too.
    // The guard covers the whole loop: reading and testing is_running as well as sleeping.
    Ref failure;
    for (;;) {
        int running = keeps_running(server.get(), terminated.get());
        if (running > 0) repeater.tick(module);
        Ref sleep = running > 0 ? service::pause(asyncio.get()) : Ref{};
        Ref slept = co_await Await(sleep.get());
        if (slept) continue;
        if (running != 0) failure = service::wait_failure();
        break;
    }
    service::remove_sigterm(loop.get());

    Ref stop_coro = call_method(server.get(), ZV_STR("stop"));
    Ref stopped = co_await Await(stop_coro.get());
    if (!stopped) co_return Ref{};
    co_return service::outcome(std::move(failure));
}

}  // namespace

PyObject* command_main(NativeFunction* fn, PyObject* const*) {
    return make_coroutine(fn, main_body(Ref::borrow(reinterpret_cast<PyObject*>(fn))), false);
}

}  // namespace zv::server
