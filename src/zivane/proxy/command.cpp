// The zivane-proxy command: `main` starts Reticulum and a local HTTP proxy through which
// browsers and HTTP clients reach http://<hash>.rns/ URLs, and waits for Ctrl-C or
// SIGTERM.
#include "common/address_book.hpp"
#include "common/arguments.hpp"
#include "common/command_line.hpp"
#include "common/service.hpp"
#include "proxy/functions.hpp"
#include "proxy/proxy.hpp"
#include "support/native_coroutine.hpp"

namespace zv::proxy {
namespace {

const command_line::Argument kArguments[] = {
    {.flags = {"--listen"}, .default_value = "127.0.0.1:8118", .help = "Address to listen on (HOST:PORT)"},
    {.flags = {"--config"}, .type = &PyUnicode_Type, .help = "RNS config directory"},
    {.flags = {"--identity"}, .type = &PyUnicode_Type, .help = "Identity file path"},
    {.flags = {"-v", "--verbose"},
     .action = "store_true",
     .dest = "verbose",
     .help = "Enable verbose logging"},
    {.flags = {"--identify"}, .action = "store_true", .help = "Identify on every link with this identity"},
    {.flags = {"--slim"},
     .action = "store_true",
     .help = "Drop request headers that only identify the browser"},
    {.flags = {"-q", "--quiet"},
     .action = "store_true",
     .dest = "quiet",
     .help = "Log refusals only: not every request, nor what a slow link waits for"},
    {.flags = {"--connect-timeout"},
     .type = &PyFloat_Type,
     .help = "Seconds to find a path to a destination and link to it (default 120: a route over "
             "several radio hops can take a minute)",
     .metavar = "SECONDS"},
    {.flags = {"--timeout"},
     .type = &PyFloat_Type,
     .help = "Seconds to wait for an answer to begin once its request is out (default 60)",
     .metavar = "SECONDS"},
    {.flags = {"--cache-size"},
     .help = "Bytes the cache of answers may keep in ~/.zivane/cache, with K, M or G (default 50M: "
             "thousands of mesh pages, little room on a small device's card)",
     .metavar = "SIZE"},
    {.flags = {"--no-cache"},
     .action = "store_true",
     .dest = "no_cache",
     .help = "Keep no answers: every request goes out on the link"},
};

struct Listen {
    std::string host;
    int port = 0;
};

// "HOST:PORT" or "[IPv6]:PORT"; false when it is not that.
bool read_listen(std::string_view text, Listen& out) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size() || text.size() - colon > 6)
        return false;
    int port = 0;
    for (char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9') return false;
        port = port * 10 + (c - '0');
    }
    std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (port > 65535 || host.empty()) return false;
    out = {std::string(host), port};
    return true;
}

// Whether only this machine can reach an address: a private cache's, not a shared one's.
bool loopback(std::string_view host) {
    return host == "localhost" || host == "::1" || host.starts_with("127.");
}

int usage_error(PyObject* module, const char* text, PyObject* value) {
    Ref message = Ref::steal(PyUnicode_FromFormat(text, value));
    return message ? command_line::fail(module, command_line::kUsageStatus, message.get()) : -1;
}

// The parsed command line and the address to listen on.
Ref parse_command_line(PyObject* module, Listen& listen) {
    Ref parser = command_line::make_parser(module, "HTTP proxy to Reticulum destinations", kArguments);
    Ref args = parser ? call_method(parser.get(), ZV_STR("parse_args")) : Ref{};
    Ref text = args ? attr(args.get(), ZV_STR("listen")) : Ref{};
    const char* utf8 = text && PyUnicode_Check(text.get()) ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!text || (PyUnicode_Check(text.get()) && !utf8)) return {};
    if (!utf8 || !read_listen(utf8, listen)) {
        usage_error(module, "invalid --listen %R: expected HOST:PORT", text.get());
        return {};
    }
    return args;
}

bool flag(PyObject* args, PyObject* name, bool& out) {
    Ref value = attr(args, name);
    int truth = value ? PyObject_IsTrue(value.get()) : -1;
    out = truth > 0;
    return truth >= 0;
}

// "50M", "512K", "1G", "1048576" (K, M and G count 1024s; a trailing "B" or "iB" is
// allowed); false when it is none of these or too large.
bool read_size(std::string_view text, std::uint64_t& out) {
    std::uint64_t value = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (std::uint64_t(1) << 50)) return false;
        value = value * 10 + std::uint64_t(text[i] - '0');
    }
    if (i == 0) return false;
    std::string_view unit = text.substr(i);
    if (unit.ends_with("iB") || unit.ends_with("ib"))
        unit.remove_suffix(2);
    else if (unit.ends_with("B") || unit.ends_with("b"))
        unit.remove_suffix(1);
    int shift = unit.empty()                 ? 0
                : unit == "K" || unit == "k" ? 10
                : unit == "M" || unit == "m" ? 20
                : unit == "G" || unit == "g" ? 30
                                             : -1;
    if (shift < 0 || unit.size() > 1 || value > (std::uint64_t(1) << (62 - shift))) return false;
    out = value << shift;
    return true;
}

// The cache's directory (beside the client's default identity, in ~/.zivane) and bound;
// none with --no-cache.
bool read_cache_options(PyObject* module, PyObject* args, Options& options) {
    bool off = false;
    if (!flag(args, ZV_STR("no_cache"), off)) return false;
    Ref size = attr(args, ZV_STR("cache_size"));
    if (!size) return false;
    if (!size.is_none()) {
        const char* utf8 = PyUnicode_AsUTF8(size.get());
        if (!utf8) return false;
        if (!read_size(utf8, options.cache_size) || options.cache_size == 0)
            return usage_error(module, "invalid --cache-size %R: expected bytes, as 50M or 1G", size.get()),
                   false;
    }
    if (!off) options.cache_dir = address_book::zivane_directory() + "/cache";
    return true;
}

// The settings of this run: the command line, and the module's tunables of this moment.
bool read_options(PyObject* module, PyObject* args, Options& options) {
    Settings& s = options.settings;
    if (!flag(args, ZV_STR("identify"), s.identify) || !flag(args, ZV_STR("slim"), s.slim) ||
        !flag(args, ZV_STR("quiet"), options.quiet))
        return false;
    s.connect_timeout = seconds_global(module, ZV_STR("_CONNECT_TIMEOUT"), s.connect_timeout);
    s.request_timeout = seconds_global(module, ZV_STR("_REQUEST_TIMEOUT"), s.request_timeout);
    s.read_timeout = seconds_global(module, ZV_STR("_READ_TIMEOUT"), s.read_timeout);
    if (command_line::seconds_option(module, args, "connect_timeout", "--connect-timeout",
                                     &s.connect_timeout) < 0 ||
        command_line::seconds_option(module, args, "timeout", "--timeout", &s.request_timeout) < 0)
        return false;
    s.report_progress = !options.quiet;
    s.answer_limit = std::size_t(size_global(module, ZV_STR("_ANSWER_LIMIT"), Py_ssize_t(s.answer_limit)));
    s.compact_links = size_global(module, ZV_STR("_COMPACT_LINKS"), 1) != 0;
    s.gather_piece_limit =
        std::size_t(size_global(module, ZV_STR("_GATHER_PIECE_LIMIT"), Py_ssize_t(s.gather_piece_limit)));
    options.max_connections =
        std::size_t(size_global(module, ZV_STR("_MAX_CONNECTIONS"), Py_ssize_t(options.max_connections)));
    options.idle_timeout = seconds_global(module, ZV_STR("_IDLE_TIMEOUT"), options.idle_timeout);
    if (!read_cache_options(module, args, options)) return false;
    Ref path = attr(args, ZV_STR("identity"));
    if (!path) return false;
    if (!path.is_none()) {
        const char* utf8 = PyUnicode_AsUTF8(path.get());
        if (!utf8) return false;
        options.identity_path = utf8;
    }
    return true;
}

// The proxy's identity, loaded (or made) once now rather than by the first links at
// once: HttpClient's own identity rules, through a client that never connects.
Ref load_identity(PyObject* module, const Options& options) {
    Ref client_type = module_global(module, ZV_STR("HttpClient"));
    Ref nobody = client_type ? Ref::steal(PyUnicode_FromString("00000000000000000000000000000000")) : Ref{};
    Ref port = nobody ? Ref::steal(PyLong_FromLong(80)) : Ref{};
    Ref path = options.identity_path ? Ref::steal(PyUnicode_FromString(options.identity_path->c_str()))
                                     : Ref::none();
    Ref client = port && path ? call(client_type.get(), {nobody.get(), port.get(), path.get()}) : Ref{};
    return client ? call_method(client.get(), ZV_STR("_load_or_create_identity")) : Ref{};
}

// Where the proxy listens (and, when it identifies, as whom), on standard error.
int announce(PyObject* module, const Listen& listen, const Proxy& proxy, PyObject* identity, bool identify) {
    bool v6 = listen.host.find(':') != std::string::npos;
    std::string url =
        "http://" + (v6 ? "[" + listen.host + "]" : listen.host) + ":" + std::to_string(proxy.port());
    std::string where = "Proxy listening on " + url;
    Ref line = Ref::steal(PyUnicode_FromString(where.c_str()));
    if (!line || service::print_to_stderr(module, line.get()) < 0) return -1;
    if (identify) {
        Ref hash = attr(identity, ZV_STR("hash"));
        Ref hex = hash ? call_method(hash.get(), ZV_STR("hex")) : Ref{};
        line = hex ? fstring({ZV_STR("Identity hash: "), hex.get()}) : Ref{};
        if (!line || service::print_to_stderr(module, line.get()) < 0) return -1;
    }
    for (const std::string& problem : address_book::problems()) {
        std::string text = "zivane-proxy: warning: " + problem;
        line = Ref::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
        if (!line || service::print_to_stderr(module, line.get()) < 0) return -1;
    }
    std::string how = "Browse http://<destination hash>.rns/ with this proxy (curl -x " + url +
                      " ..., or the browser's HTTP proxy setting); Ctrl-C to stop";
    line = Ref::steal(PyUnicode_FromString(how.c_str()));
    return line ? service::print_to_stderr(module, line.get()) : -1;
}

// Everything before the wait: the running proxy, or null with an exception set.
std::shared_ptr<Proxy> prepare(PyObject* module) {
    Listen listen;
    Options options;
    Ref args = parse_command_line(module, listen);
    Ref config = args ? command_line::configuration(module, args.get()) : Ref{};
    if (!config || !read_options(module, args.get(), options)) return {};
    if (command_line::start_reticulum(module, args.get(), config.get()) < 0) return {};
    Ref identity = load_identity(module, options);
    if (!identity) return {};
    bool identify = options.settings.identify;
    std::string cache_dir = options.cache_dir;
    options.cache_shared = !loopback(listen.host);
    auto proxy = std::make_shared<Proxy>(module, std::move(options));
    if (!cache_dir.empty() && !proxy->cache()) {
        std::string text = "zivane-proxy: " + cache_dir + " cannot be used: no answers are kept";
        Ref line = Ref::steal(PyUnicode_FromString(text.c_str()));
        if (!line || service::print_to_stderr(module, line.get()) < 0) return {};
    }
    net::IoError error;
    if (!proxy->start(listen.host, listen.port, error)) {
        std::string text = "cannot listen on " + listen.host + ":" + std::to_string(listen.port) + ": " +
                           net::describe(error);
        Ref message = Ref::steal(PyUnicode_FromString(text.c_str()));
        if (message) command_line::fail(module, command_line::kConfigurationStatus, message.get());
        return {};
    }
    if (announce(module, listen, *proxy, identity.get(), identify) < 0) {
        proxy->stop(5.0);
        return {};
    }
    return proxy;
}

CoBody main_body(Ref fn_ref) {
    PyObject* module = reinterpret_cast<NativeFunction*>(fn_ref.get())->module;
    std::shared_ptr<Proxy> proxy = prepare(module);
    if (!proxy) co_return Ref{};
    Ref asyncio = module_global(module, ZV_STR("asyncio"));
    Ref terminated = asyncio ? Ref::steal(Py_BuildValue("[O]", Py_False)) : Ref{};
    Ref loop = terminated ? service::install_sigterm(module, asyncio.get(), terminated.get()) : Ref{};
    Ref failure;
    if (!loop) failure = Ref::steal(PyErr_GetRaisedException());
    while (loop && !service::terminated(terminated.get())) {
        Ref sleep = service::pause(asyncio.get());
        Ref slept = co_await Await(sleep.get());
        if (slept) continue;
        failure = service::wait_failure();
        break;
    }
    if (loop) service::remove_sigterm(loop.get());
    proxy->stop(5.0);
    co_return service::outcome(std::move(failure));
}

}  // namespace

PyObject* command_main(NativeFunction* fn, PyObject* const*) {
    return make_coroutine(fn, main_body(Ref::borrow(reinterpret_cast<PyObject*>(fn))), false);
}

}  // namespace zv::proxy
