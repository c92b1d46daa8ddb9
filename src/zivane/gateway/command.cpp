// The zivane-gateway command: `main(argv=None)` publishes the web server at UPSTREAM as
// the Reticulum destination "HTTP" + PORT, announced with what the site says of itself
// (its port, and its --name) and again every --announce-interval, and bridges every link
// to it until Ctrl-C or SIGTERM.
#include "common/arguments.hpp"
#include "common/command_line.hpp"
#include "common/identity_file.hpp"
#include "common/service.hpp"
#include "common/site_announce.hpp"
#include "gateway/bridge.hpp"
#include "gateway/functions.hpp"
#include "gateway/link.hpp"
#include "support/globals.hpp"
#include "support/native_coroutine.hpp"

#include <cstdio>

namespace zv::gateway {
namespace {

const command_line::Argument kArguments[] = {
    {.flags = {"port"}, .type = &PyLong_Type, .help = "Port number of the Reticulum destination"},
    {.flags = {"upstream"},
     .help = "Web server to publish: http://HOST:PORT[/prefix] or unix:/path/to/socket, or a Python "
             "ASGI or WSGI application as module:attribute"},
    {.flags = {"--config"}, .type = &PyUnicode_Type, .help = "RNS config directory"},
    {.flags = {"--identity"}, .type = &PyUnicode_Type, .help = "Identity file path"},
    {.flags = {"-v", "--verbose"},
     .action = "store_true",
     .dest = "verbose",
     .help = "Enable verbose logging"},
    {.flags = {"--allow"},
     .action = "append",
     .dest = "allow",
     .help = "Only serve links identified as this identity hash (repeatable)"},
    {.flags = {"--host"}, .type = &PyUnicode_Type, .help = "Host header sent to the upstream"},
    {.flags = {"-q", "--quiet"},
     .action = "store_true",
     .dest = "quiet",
     .help = "Say nothing about an upstream slow to take a connection"},
    {.flags = {"--connect-timeout"},
     .type = &PyFloat_Type,
     .help = "Seconds to open a connection to the upstream (default 10)",
     .metavar = "SECONDS"},
    {.flags = {"--timeout"},
     .type = &PyFloat_Type,
     .help = "Seconds the upstream may take to begin its answer, and to go on with it (default 60)",
     .metavar = "SECONDS"},
    {.flags = {"--name"},
     .type = &PyUnicode_Type,
     .help = "A short description of the site, sent in its announces for directories to list "
             "(at most 64 bytes of UTF-8; a longer one is cut)",
     .metavar = "TEXT"},
    {.flags = {"--announce-interval"},
     .type = &PyFloat_Type,
     .help = announcing::kIntervalHelp,
     .metavar = "SECONDS"},
};

std::string utf8(PyObject* text) {
    const char* s = PyUnicode_Check(text) ? PyUnicode_AsUTF8(text) : nullptr;
    if (!s) PyErr_Clear();
    return s ? s : "";
}

// `text` as UTF-8, what cannot be encoded (a command line's undecodable bytes) replaced.
std::string utf8_replacing(PyObject* text) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "replace"));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), std::size_t(PyBytes_GET_SIZE(bytes.get())));
}

int usage_error(PyObject* module, PyObject* message) {
    return message ? command_line::fail(module, command_line::kUsageStatus, message) : -1;
}

// UPSTREAM, parsed; SystemExit(2) with one line when it is none.
int read_upstream(PyObject* module, PyObject* args, Settings& settings) {
    Ref text = attr(args, ZV_STR("upstream"));
    if (!text) return -1;
    std::string why;
    if (names_app(utf8(text.get()))) {
        settings.app = utf8(text.get());
        return 0;
    }
    if (parse_upstream(utf8(text.get()), settings.upstream, why)) return 0;
    return usage_error(
        module, Ref::steal(PyUnicode_FromFormat("invalid upstream %R: %s", text.get(), why.c_str())).get());
}

// Every --allow: an identity hash of 32 hexadecimal digits, kept in lower case.
int read_allowed(PyObject* module, PyObject* args, Settings& settings) {
    Ref list = attr(args, ZV_STR("allow"));
    if (!list) return -1;
    if (list.is_none()) return 0;
    Ref items = Ref::steal(PySequence_List(list.get()));
    for (Py_ssize_t i = 0; items && i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        std::string hash = utf8(item);
        bool hex = hash.size() == 32 && hash.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        if (!hex)
            return usage_error(
                module, Ref::steal(PyUnicode_FromFormat(
                                       "invalid identity hash %R: expected 32 hexadecimal digits", item))
                            .get());
        for (char& c : hash) c = char(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        settings.allowed.push_back(std::move(hash));
    }
    return items ? 0 : -1;
}

// The tunables of this moment; the time-out options, when given, win.
int read_tunables(PyObject* module, PyObject* args, Settings& s) {
    s.connect_timeout = seconds_global(module, ZV_STR("_CONNECT_TIMEOUT"), s.connect_timeout);
    s.upstream_timeout = seconds_global(module, ZV_STR("_UPSTREAM_TIMEOUT"), s.upstream_timeout);
    s.read_timeout = seconds_global(module, ZV_STR("_READ_TIMEOUT"), s.read_timeout);
    s.write_stall = seconds_global(module, ZV_STR("_WRITE_STALL_TIMEOUT"), s.write_stall);
    s.idle_connections =
        std::size_t(size_global(module, ZV_STR("_IDLE_CONNECTIONS"), Py_ssize_t(s.idle_connections)));
    s.workers = std::size_t(size_global(module, ZV_STR("_WORKERS"), Py_ssize_t(s.workers)));
    s.resource_piece_limit =
        std::size_t(size_global(module, ZV_STR("_RESOURCE_PIECE_LIMIT"), Py_ssize_t(s.resource_piece_limit)));
    if (command_line::seconds_option(module, args, "connect_timeout", "--connect-timeout",
                                     &s.connect_timeout) < 0 ||
        command_line::seconds_option(module, args, "timeout", "--timeout", &s.upstream_timeout) < 0)
        return -1;
    Ref quiet = attr(args, ZV_STR("quiet"));
    int is_quiet = quiet ? PyObject_IsTrue(quiet.get()) : -1;
    s.report_progress = is_quiet == 0;
    return is_quiet < 0 ? -1 : 0;
}

// --name and --announce-interval.
int read_announcing(PyObject* module, PyObject* args, Settings& s) {
    Ref name = attr(args, ZV_STR("name"));
    if (!name) return -1;
    if (PyUnicode_Check(name.get())) s.name = utf8_replacing(name.get());
    return announcing::interval_option(module, args, &s.announce_interval);
}

}  // namespace

int read_settings(PyObject* module, PyObject* args, Settings& settings) {
    Ref port = attr(args, ZV_STR("port"));
    if (!port || command_line::check_port(module, port.get()) < 0) return -1;
    if (read_upstream(module, args, settings) < 0 || read_allowed(module, args, settings) < 0) return -1;
    Ref host = attr(args, ZV_STR("host"));
    if (!host) return -1;
    settings.set_host = !host.is_none();
    if (settings.set_host) settings.host = utf8(host.get());
    if (read_announcing(module, args, settings) < 0) return -1;
    return read_tunables(module, args, settings);
}

// Without --identity, each published port has an identity of its own beside the server's
// default one (~/.zivane/gateway-<port>-identity): a site published by one gateway and a
// zivane-server or another gateway on the same port never share a destination by accident.
Ref own_identity_path(PyObject* module, PyObject* port) {
    Ref server = module_global(module, ZV_STR("HttpServer"));
    Ref server_path = server ? call_method(server.get(), ZV_STR("_default_identity_path")) : Ref{};
    Ref os_path = server_path ? import_from("os", "path") : Ref{};
    Ref dir = os_path ? call_method(os_path.get(), ZV_STR("dirname"), {server_path.get()}) : Ref{};
    Ref file = dir ? fstring({ZV_STR("gateway-"), port, ZV_STR("-identity")}) : Ref{};
    return file ? call_method(os_path.get(), ZV_STR("join"), {dir.get(), file.get()}) : Ref{};
}

// The identity, by the rules of zivane-server's identity file: --identity, else the
// gateway's own for its port.
Ref load_identity(PyObject* module, PyObject* args) {
    Ref path = attr(args, ZV_STR("identity"));
    if (path && path.is_none()) {
        Ref port = attr(args, ZV_STR("port"));
        path = port ? own_identity_path(module, port.get()) : Ref{};
    }
    Ref types = path ? module_global(module, ZV_STR("types")) : Ref{};
    Ref holder_type = types ? attr(types.get(), ZV_STR("SimpleNamespace")) : Ref{};
    Ref holder = holder_type ? call(holder_type.get()) : Ref{};
    if (!holder || PyObject_SetAttr(holder.get(), ZV_STR("_identity_path"), path.get()) < 0) return {};
    return Ref::steal(identity_file::load_or_create(module, holder.get(), false));
}

// What the site's announces say of it: always its port, so that a listener can check
// the destination hash; its name and features when it has them.
Ref announce_data(PyObject* module, PyObject* port, const Settings& settings) {
    long number = PyLong_AsLong(port);
    if (number == -1 && PyErr_Occurred()) return {};
    site_announce::Site site{.name = settings.name, .features = settings.features};
    if (number >= 0 && number <= 65535) site.port = int(number);
    return announcing::site_data(module, site);
}

// The destination, accepting links and announced. The data is the destination's default
// one, set first: Reticulum's answers to path requests carry it too, among them the one a
// client of a shared instance sends by itself a moment after a destination is made.
Ref open_destination(PyObject* module, PyObject* identity, PyObject* port, const GatewayPtr& gateway) {
    Ref rns = module_global(module, ZV_STR("RNS"));
    Ref data = rns ? announce_data(module, port, gateway->settings) : Ref{};
    Ref dest = data ? service::http_destination(rns.get(), identity, port) : Ref{};
    if (!dest || !call_method(dest.get(), ZV_STR("set_default_app_data"), {data.get()})) return {};
    Ref on_link = link_established_callback(gateway);
    if (!on_link || !call_method(dest.get(), ZV_STR("accepts_links"), {Py_True})) return {};
    if (!call_method(dest.get(), ZV_STR("set_link_established_callback"), {on_link.get()})) return {};
    if (!call_method(dest.get(), ZV_STR("announce"))) return {};
    return dest;
}

// "Browse http://<hash>.rns[:port]/ through zivane-proxy; Ctrl-C to stop": the address to
// paste, and how the command ends.
int browse_hint(PyObject* module, PyObject* port, PyObject* hash) {
    long number = PyLong_AsLong(port);
    if (number == -1 && PyErr_Occurred()) return -1;
    char where[64];
    std::snprintf(where, sizeof where, number == 80 ? ".rns/" : ".rns:%ld/", number);
    Ref prefix = Ref::steal(PyUnicode_FromString("Browse http://"));
    Ref suffix = Ref::steal(PyUnicode_FromFormat("%s through zivane-proxy; Ctrl-C to stop", where));
    Ref line = prefix && suffix ? fstring({prefix.get(), hash, suffix.get()}) : Ref{};
    return line ? service::print_to_stderr(module, line.get()) : -1;
}

Ref publish(PyObject* module, PyObject* args, const GatewayPtr& gateway) {
    Ref identity = load_identity(module, args);
    Ref port = identity ? attr(args, ZV_STR("port")) : Ref{};
    Ref dest = port ? open_destination(module, identity.get(), port.get(), gateway) : Ref{};
    Ref hash = dest ? attr(dest.get(), ZV_STR("hexhash")) : Ref{};
    if (!hash || service::print_listening(module, port.get(), hash.get()) < 0) return {};
    if (browse_hint(module, port.get(), hash.get()) < 0) return {};
    return dest;
}

namespace {

struct Started {
    GatewayPtr gateway;
    Ref destination;
    Ref args;  // an application to serve: the parsed command line, Reticulum started
    double announce_interval = 0;
};

Started start(PyObject* module, PyObject* argv) {
    Ref parser = command_line::make_parser(module, "Publish a web server over Reticulum", kArguments);
    Ref args = parser ? call_method(parser.get(), ZV_STR("parse_args"), {argv}) : Ref{};
    Settings settings;
    if (!args || read_settings(module, args.get(), settings) < 0) return {};

    Ref config = command_line::configuration(module, args.get());
    if (!config || command_line::start_reticulum(module, args.get(), config.get()) < 0) return {};
    if (!settings.app.empty()) return {{}, {}, args};
    double interval = settings.announce_interval;
    GatewayPtr gateway = make_gateway(module, std::move(settings));
    Ref dest = gateway ? publish(module, args.get(), gateway) : Ref{};
    if (!dest) return {};
    return {gateway, dest, {}, interval};
}

CoBody main_body(Ref fn_ref, Ref argv) {
    PyObject* module = reinterpret_cast<NativeFunction*>(fn_ref.get())->module;
    Started started = start(module, argv.get());
    if (started.args) {
        // An application runs in this process, on this loop (zivane.web).
        Ref web = import("zivane.web");
        Ref command = web ? attr(web.get(), ZV_STR("_command")) : Ref{};
        Ref run = command ? call(command.get(), {started.args.get()}) : Ref{};
        co_return co_await Await(run.get());
    }
    if (!started.gateway) co_return Ref{};
    Ref asyncio = module_global(module, ZV_STR("asyncio"));
    Ref terminated = asyncio ? Ref::steal(Py_BuildValue("[O]", Py_False)) : Ref{};
    Ref loop = terminated ? service::install_sigterm(module, asyncio.get(), terminated.get()) : Ref{};
    if (!loop) co_return Ref{};
    announcing::Repeater repeater(started.destination, started.announce_interval);
    Ref failure;
    while (!service::terminated(terminated.get())) {
        sweep(started.gateway);
        repeater.tick(module);
        Ref one = Ref::steal(PyLong_FromLong(1));
        Ref sleep = one ? call_method(asyncio.get(), ZV_STR("sleep"), {one.get()}) : Ref{};
        Ref slept = co_await Await(sleep.get());
        if (slept) continue;
        failure = service::wait_failure();
        break;
    }
    service::remove_sigterm(loop.get());
    if (!call_method(started.destination.get(), ZV_STR("accepts_links"), {Py_False})) PyErr_Clear();
    stop(started.gateway);
    if (!failure) co_return Ref::none();
    PyErr_SetRaisedException(failure.release());
    co_return Ref{};
}

}  // namespace

PyObject* command_main(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, main_body(Ref::borrow(reinterpret_cast<PyObject*>(fn)), Ref::borrow(args[0])),
                          false);
}

}  // namespace zv::gateway
