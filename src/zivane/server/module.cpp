// zivane.server: HttpServer (construction, identity file, routes, dispatch, lifecycle),
// await_in_sync and the server command. The per-link traffic is in links.cpp.
#include "common/command_line.hpp"
#include "common/identity_file.hpp"
#include "package/modules.hpp"
#include "server/links.hpp"
#include "support/classes.hpp"
#include "support/native_coroutine.hpp"

#include <csignal>

namespace zv {
namespace {

struct State {
    bool initialized;
};

PyObject* type_obj(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

Ref kwnames(std::initializer_list<PyObject*> names) { return new_tuple(names); }

int print_line(PyObject* module, PyObject* text) {
    Ref print = module_global(module, ZV_STR("print"));
    if (!print) return -1;
    return call(print.get(), {text}) ? 0 : -1;
}

// ---- construction and identity --------------------------------------------------

PyObject* server_init(NativeFunction* fn, PyObject* const* args) {
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
    (void)fn;
    return Py_NewRef(Py_None);
}

PyObject* default_identity_path(NativeFunction* fn, PyObject* const*) {
    Ref os = global(fn, ZV_STR("os"));
    if (!os) return nullptr;
    Ref os_path = attr(os.get(), ZV_STR("path"));
    if (!os_path) return nullptr;
    Ref tilde = Ref::steal(PyUnicode_FromString("~"));
    if (!tilde) return nullptr;
    Ref home = call_method(os_path.get(), ZV_STR("expanduser"), {tilde.get()});
    if (!home) return nullptr;
    Ref dir = Ref::steal(PyUnicode_FromString(".zivane"));
    Ref file = Ref::steal(PyUnicode_FromString("identity"));
    if (!dir || !file) return nullptr;
    return call_method(os_path.get(), ZV_STR("join"), {home.get(), dir.get(), file.get()}).release();
}

PyObject* load_or_create_identity(NativeFunction* fn, PyObject* const* args) {
    return identity_file::load_or_create(fn->module, args[0], false);
}

// ---- routes ------------------------------------------------------------------------

int store_route(PyObject* self, PyObject* path, PyObject* method, PyObject* handler) {
    Ref upper = call_method(method, ZV_STR("upper"));
    if (!upper) return -1;
    Ref key = new_tuple({upper.get(), path});
    Ref handlers = attr(self, ZV_STR("_handlers"));
    if (!key || !handlers) return -1;
    return PyObject_SetItem(handlers.get(), key.get(), handler);
}

PyObject* route_decorator(NativeFunction* fn, PyObject* const* args) {
    if (store_route(captured(fn, 0), captured(fn, 1), captured(fn, 2), args[0]) < 0) return nullptr;
    return Py_NewRef(args[0]);
}

const FunctionSpec decorator_spec = {
    "decorator", "HttpServer.route.<locals>.decorator", nullptr, {"handler"}, route_decorator,
};

PyObject* route(NativeFunction* fn, PyObject* const* args) {
    Ref closure = new_tuple({args[0], args[1], args[2]});
    Ref handler_type = global(fn, ZV_STR("HandlerType"));
    if (!closure || !handler_type) return nullptr;
    return make_function(fn->module, decorator_spec, {},
                         {{"handler", handler_type.get()}, {"return", handler_type.get()}},
                         closure.get())
        .release();
}

PyObject* add_handler(NativeFunction*, PyObject* const* args) {
    if (store_route(args[0], args[1], args[3], args[2]) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

PyObject* set_default_handler(NativeFunction*, PyObject* const* args) {
    if (PyObject_SetAttr(args[0], ZV_STR("_default_handler"), args[1]) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

// ---- lifecycle ---------------------------------------------------------------------

Ref start_steps(NativeFunction* fn, PyObject* self) {
    Ref identity = call_method(self, ZV_STR("_load_or_create_identity"));
    if (!identity) return {};
    Ref rns = global(fn, ZV_STR("RNS"));
    if (!rns) return {};
    Ref dest_type = attr(rns.get(), ZV_STR("Destination"));
    if (!dest_type) return {};
    Ref in = attr(dest_type.get(), ZV_STR("IN"));
    Ref single = attr(dest_type.get(), ZV_STR("SINGLE"));
    Ref app = Ref::steal(PyUnicode_FromString("HTTP"));
    Ref port = attr(self, ZV_STR("_port"));
    if (!in || !single || !app || !port) return {};
    Ref aspect = Ref::steal(PyObject_Str(port.get()));
    if (!aspect) return {};
    Ref dest = call(dest_type.get(), {identity.get(), in.get(), single.get(), app.get(), aspect.get()});
    if (!dest || PyObject_SetAttr(self, ZV_STR("_destination"), dest.get()) < 0) return {};
    if (PyObject_SetAttr(self, ZV_STR("_running"), Py_True) < 0) return {};
    dest = attr(self, ZV_STR("_destination"));
    if (!dest || !call_method(dest.get(), ZV_STR("accepts_links"), {Py_True})) return {};
    Ref on_link = attr(self, ZV_STR("_on_link"));
    if (!on_link) return {};
    dest = attr(self, ZV_STR("_destination"));
    if (!dest || !call_method(dest.get(), ZV_STR("set_link_established_callback"), {on_link.get()}))
        return {};
    dest = attr(self, ZV_STR("_destination"));
    if (!dest || !call_method(dest.get(), ZV_STR("announce"))) return {};
    return Ref::none();
}

Ref stop_steps(PyObject* self) {
    if (PyObject_SetAttr(self, ZV_STR("_running"), Py_False) < 0) return {};
    Ref links = attr(self, ZV_STR("_links"));
    if (!links) return {};
    Ref values = call_method(links.get(), ZV_STR("values"));
    if (!values) return {};
    Ref list = Ref::steal(PySequence_List(values.get()));
    if (!list) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref link = Ref::steal(PySequence_GetItem(PyList_GET_ITEM(list.get(), i), 0));
        if (!link) return {};
        if (!call_method(link.get(), ZV_STR("teardown"))) return {};
        server::release_link(link.get());
    }
    if (!call_method(links.get(), ZV_STR("clear"))) return {};
    Ref dest = attr(self, ZV_STR("_destination"));
    if (!dest) return {};
    if (!dest.is_none() && !call_method(dest.get(), ZV_STR("accepts_links"), {Py_False})) return {};
    return Ref::none();
}

CoBody start_body(Ref fn_ref, Ref self) {
    co_return start_steps(reinterpret_cast<NativeFunction*>(fn_ref.get()), self.get());
}

CoBody stop_body(Ref self) { co_return stop_steps(self.get()); }

PyObject* start(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, start_body(Ref::borrow(reinterpret_cast<PyObject*>(fn)), Ref::borrow(args[0])), true);
}

PyObject* stop(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, stop_body(Ref::borrow(args[0])), true);
}

// ---- dispatch ----------------------------------------------------------------------

PyObject* handle_request(NativeFunction* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* link = args[1];
    PyObject* request = args[2];
    Ref path = attr(request, ZV_STR("path"));
    if (!path) return nullptr;
    Ref method_raw = attr(request, ZV_STR("method"));
    if (!method_raw) return nullptr;
    Ref method = call_method(method_raw.get(), ZV_STR("upper"));
    if (!method) return nullptr;

    Ref link_text = Ref::steal(PyObject_Format(link, nullptr));
    Ref method_text = link_text ? Ref::steal(PyObject_Format(method.get(), nullptr)) : Ref{};
    Ref path_text = method_text ? Ref::steal(PyObject_Format(path.get(), nullptr)) : Ref{};
    if (!path_text) return nullptr;
    Ref line = Ref::steal(PyUnicode_FromFormat("%U %U %U", link_text.get(), method_text.get(), path_text.get()));
    if (!line || print_line(fn->module, line.get()) < 0) return nullptr;

    Ref handlers = attr(self, ZV_STR("_handlers"));
    if (!handlers) return nullptr;
    Ref key = new_tuple({method.get(), path.get()});
    if (!key) return nullptr;
    int has = PySequence_Contains(handlers.get(), key.get());
    if (has < 0) return nullptr;
    if (has) {
        Ref handler = Ref::steal(PyObject_GetItem(handlers.get(), key.get()));
        if (!handler) return nullptr;
        return call(handler.get(), {request}).release();
    }

    Ref items = call_method(handlers.get(), ZV_STR("items"));
    if (!items) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return nullptr;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref route_key = Ref::steal(PySequence_GetItem(pair.get(), 0));
        if (!route_key) return nullptr;
        Ref pattern = Ref::steal(PySequence_GetItem(route_key.get(), 1));
        if (!pattern) return nullptr;
        Ref matched = call_method(self, ZV_STR("_match_pattern"), {pattern.get(), path.get()});
        if (!matched) return nullptr;
        int yes = PyObject_IsTrue(matched.get());
        if (yes < 0) return nullptr;
        if (yes) {
            Ref handler = Ref::steal(PySequence_GetItem(pair.get(), 1));
            if (!handler) return nullptr;
            return call(handler.get(), {request}).release();
        }
    }
    if (PyErr_Occurred()) return nullptr;

    Ref fallback = attr(self, ZV_STR("_default_handler"));
    if (!fallback) return nullptr;
    int set = PyObject_IsTrue(fallback.get());
    if (set < 0) return nullptr;
    if (set) return call(fallback.get(), {request}).release();

    Ref cls = global(fn, ZV_STR("HttpResponse"));
    Ref status = Ref::steal(PyLong_FromLong(404));
    Ref reason = Ref::steal(PyUnicode_FromString("Not Found"));
    Ref body = Ref::steal(PyBytes_FromString("Not Found"));
    Ref names = kwnames({ZV_STR("status"), ZV_STR("reason"), ZV_STR("body")});
    if (!cls || !status || !reason || !body || !names) return nullptr;
    return call_kw(cls.get(), {status.get(), reason.get(), body.get()}, names.get()).release();
}

PyObject* match_pattern(NativeFunction*, PyObject* const* args) {
    PyObject* pattern = args[1];
    PyObject* path = args[2];
    Ref star = Ref::steal(PyUnicode_FromString("*"));
    if (!star) return nullptr;
    Ref ends = call_method(pattern, ZV_STR("endswith"), {star.get()});
    if (!ends) return nullptr;
    int yes = PyObject_IsTrue(ends.get());
    if (yes < 0) return nullptr;
    if (yes) {
        Ref stop_at = Ref::steal(PyLong_FromLong(-1));
        Ref sl = stop_at ? Ref::steal(PySlice_New(nullptr, stop_at.get(), nullptr)) : Ref{};
        if (!sl) return nullptr;
        Ref prefix = Ref::steal(PyObject_GetItem(pattern, sl.get()));
        if (!prefix) return nullptr;
        return call_method(path, ZV_STR("startswith"), {prefix.get()}).release();
    }
    return PyObject_RichCompare(path, pattern, Py_EQ);
}

// ---- properties --------------------------------------------------------------------

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

// ---- the server command ------------------------------------------------------------

PyObject* default_handler(NativeFunction* fn, PyObject* const*) {
    Ref cls = global(fn, ZV_STR("HttpResponse"));
    Ref status = Ref::steal(PyLong_FromLong(200));
    Ref body = Ref::steal(PyBytes_FromString("Hello world!"));
    Ref names = kwnames({ZV_STR("status"), ZV_STR("body")});
    if (!cls || !status || !body || !names) return nullptr;
    return call_kw(cls.get(), {status.get(), body.get()}, names.get()).release();
}

const FunctionSpec default_handler_spec = {
    "default_handler", "main.<locals>.default_handler", nullptr, {"_request"}, default_handler,
};

// SIGTERM ends the wait the way Ctrl-C would, at the next one-second check: the handler
// only raises a flag, so the wait never has to be torn out of its sleep.
PyObject* on_sigterm(NativeFunction* fn, PyObject* const*) {
    if (PyList_SetItem(captured(fn, 0), 0, Py_NewRef(Py_True)) < 0) return nullptr;
    return Py_NewRef(Py_None);
}

const FunctionSpec sigterm_spec = {"_on_sigterm", "main.<locals>._on_sigterm", nullptr, {}, on_sigterm};

Ref add_arg(PyObject* parser, std::initializer_list<PyObject*> args, PyObject* names) {
    Ref add = attr(parser, ZV_STR("add_argument"));
    if (!add) return {};
    return call_kw(add.get(), args, names);
}

Ref str(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }

// Installs the SIGTERM handler on the running loop; returns the loop (None when it
// could not be installed, e.g. off the main thread).
Ref install_sigterm(NativeFunction* fn, PyObject* asyncio, PyObject* flag) {
    Ref loop = call_method(asyncio, ZV_STR("get_running_loop"));
    if (!loop) {
        PyErr_Clear();
        return Ref::none();
    }
    Ref closure = new_tuple({flag});
    if (!closure) return {};
    Ref handler = make_function(fn->module, sigterm_spec, {}, {}, closure.get());
    Ref signum = Ref::steal(PyLong_FromLong(SIGTERM));
    if (!handler || !signum) return {};
    if (!call_method(loop.get(), ZV_STR("add_signal_handler"), {signum.get(), handler.get()})) {
        PyErr_Clear();
        return Ref::none();
    }
    return loop;
}

void remove_sigterm(PyObject* loop) {
    if (Py_IsNone(loop)) return;
    SavedError pending;
    Ref signum = Ref::steal(PyLong_FromLong(SIGTERM));
    if (!signum || !call_method(loop, ZV_STR("remove_signal_handler"), {signum.get()})) PyErr_Clear();
    pending.restore();
}

// The exception that ended the wait, or empty for a keyboard interrupt (discarded).
Ref wait_failure() {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PyErr_Clear();
        return {};
    }
    return Ref::steal(PyErr_GetRaisedException());
}

CoBody main_body(Ref fn_ref) {
    auto* fn = reinterpret_cast<NativeFunction*>(fn_ref.get());
    Ref argparse = global(fn, ZV_STR("argparse"));
    if (!argparse) co_return Ref{};
    Ref parser_type = attr(argparse.get(), ZV_STR("ArgumentParser"));
    Ref description = str("HTTP/1.1 server over Reticulum");
    Ref desc_kw = kwnames({ZV_STR("description")});
    if (!parser_type || !description || !desc_kw) co_return Ref{};
    Ref parser = call_kw(parser_type.get(), {description.get()}, desc_kw.get());
    if (!parser) co_return Ref{};
    {
        Ref type_help = kwnames({ZV_STR("type"), ZV_STR("help")});
        Ref port = str("port"), port_help = str("Port number");
        Ref config = str("--config"), config_help = str("RNS config directory");
        Ref identity = str("--identity"), identity_help = str("Identity file path");
        Ref v = str("-v"), verbose = str("--verbose"), store_true = str("store_true"),
            dest = str("verbose"), verbose_help = str("Enable verbose logging");
        Ref flag_kw = kwnames({ZV_STR("action"), ZV_STR("dest"), ZV_STR("help")});
        PyObject* int_type = type_obj(&PyLong_Type);
        PyObject* str_type = type_obj(&PyUnicode_Type);
        if (!type_help || !port || !port_help || !config || !config_help || !identity ||
            !identity_help || !v || !verbose || !store_true || !dest || !verbose_help || !flag_kw)
            co_return Ref{};
        if (!add_arg(parser.get(), {port.get(), int_type, port_help.get()}, type_help.get()) ||
            !add_arg(parser.get(), {config.get(), str_type, config_help.get()}, type_help.get()) ||
            !add_arg(parser.get(), {identity.get(), str_type, identity_help.get()}, type_help.get()) ||
            !add_arg(parser.get(),
                     {v.get(), verbose.get(), store_true.get(), dest.get(), verbose_help.get()},
                     flag_kw.get()))
            co_return Ref{};
    }
    Ref args = call_method(parser.get(), ZV_STR("parse_args"));
    if (!args) co_return Ref{};
    Ref port_arg = attr(args.get(), ZV_STR("port"));
    if (!port_arg || command_line::check_port(fn->module, port_arg.get()) < 0) co_return Ref{};

    Ref config_path = attr(args.get(), ZV_STR("config"));
    if (!config_path) co_return Ref{};
    if (config_path.is_none()) {
        Ref os = global(fn, ZV_STR("os"));
        Ref environ = os ? attr(os.get(), ZV_STR("environ")) : Ref{};
        Ref name = str("RNS_CONFIG_PATH");
        if (!environ || !name) co_return Ref{};
        config_path = call_method(environ.get(), ZV_STR("get"), {name.get(), Py_None});
        if (!config_path) co_return Ref{};
    }
    if (command_line::check_configuration(fn->module, config_path.get()) < 0) co_return Ref{};
    Ref rns = global(fn, ZV_STR("RNS"));
    if (!rns) co_return Ref{};
    Ref verbose_flag = attr(args.get(), ZV_STR("verbose"));
    if (!verbose_flag) co_return Ref{};
    int is_verbose = PyObject_IsTrue(verbose_flag.get());
    if (is_verbose < 0) co_return Ref{};
    Ref level = attr(rns.get(), is_verbose ? ZV_STR("LOG_VERBOSE") : ZV_STR("LOG_WARNING"));
    if (!level) co_return Ref{};
    Ref reticulum_type = attr(rns.get(), ZV_STR("Reticulum"));
    if (!reticulum_type) co_return Ref{};
    Ref reticulum = call(reticulum_type.get(), {config_path.get(), level.get()});
    if (!reticulum || command_line::keep_exit_status(fn->module, rns.get()) < 0) co_return Ref{};

    Ref server_type = global(fn, ZV_STR("HttpServer"));
    Ref port = attr(args.get(), ZV_STR("port"));
    Ref identity = attr(args.get(), ZV_STR("identity"));
    Ref server_kw = kwnames({ZV_STR("port"), ZV_STR("identity_path")});
    if (!server_type || !port || !identity || !server_kw) co_return Ref{};
    Ref server = call_kw(server_type.get(), {port.get(), identity.get()}, server_kw.get());
    if (!server) co_return Ref{};

    Ref request_type = global(fn, ZV_STR("HttpRequest"));
    Ref response_type = global(fn, ZV_STR("HttpResponse"));
    if (!request_type || !response_type) co_return Ref{};
    Ref handler = make_function(fn->module, default_handler_spec, {},
                                {{"_request", request_type.get()}, {"return", response_type.get()}});
    if (!handler) co_return Ref{};
    if (!call_method(server.get(), ZV_STR("set_default_handler"), {handler.get()})) co_return Ref{};

    Ref start_coro = call_method(server.get(), ZV_STR("start"));
    if (!start_coro) co_return Ref{};
    Ref started = co_await Await(start_coro.get());
    if (!started) co_return Ref{};

    Ref sys = global(fn, ZV_STR("sys"));
    Ref stderr_file = sys ? attr(sys.get(), ZV_STR("stderr")) : Ref{};
    Ref print = global(fn, ZV_STR("print"));
    Ref print_kw = kwnames({ZV_STR("file"), ZV_STR("flush")});
    if (!stderr_file || !print || !print_kw) co_return Ref{};
    {
        Ref server_port = attr(server.get(), ZV_STR("port"));
        Ref port_text = server_port ? Ref::steal(PyObject_Format(server_port.get(), nullptr)) : Ref{};
        Ref line = port_text ? Ref::steal(PyUnicode_FromFormat("Server listening on HTTP.%U", port_text.get())) : Ref{};
        if (!line || !call_kw(print.get(), {line.get(), stderr_file.get(), Py_True}, print_kw.get()))
            co_return Ref{};
        Ref hash = attr(server.get(), ZV_STR("destination_hash"));
        Ref hash_text = hash ? Ref::steal(PyObject_Format(hash.get(), nullptr)) : Ref{};
        Ref line2 = hash_text ? Ref::steal(PyUnicode_FromFormat("Destination hash: %U", hash_text.get())) : Ref{};
        if (!line2 || !call_kw(print.get(), {line2.get(), stderr_file.get(), Py_True}, print_kw.get()))
            co_return Ref{};
    }

    Ref asyncio = global(fn, ZV_STR("asyncio"));
    if (!asyncio) co_return Ref{};
    Ref terminated = Ref::steal(Py_BuildValue("[O]", Py_False));
    if (!terminated) co_return Ref{};
    Ref loop = install_sigterm(fn, asyncio.get(), terminated.get());
    if (!loop) co_return Ref{};

    // Wait until the server stops running; a keyboard interrupt or SIGTERM ends it too.
    // The guard covers the whole loop: reading and testing is_running as well as sleeping.
    Ref failure;
    while (PyList_GET_ITEM(terminated.get(), 0) != Py_True) {
        Ref running = attr(server.get(), ZV_STR("is_running"));
        int yes = running ? PyObject_IsTrue(running.get()) : -1;
        if (yes == 0) break;
        Ref one = yes > 0 ? Ref::steal(PyLong_FromLong(1)) : Ref{};
        Ref sleep = one ? call_method(asyncio.get(), ZV_STR("sleep"), {one.get()}) : Ref{};
        Ref slept = sleep ? co_await Await(sleep.get()) : Ref{};
        if (slept) continue;
        failure = wait_failure();
        break;
    }
    remove_sigterm(loop.get());

    Ref stop_coro = call_method(server.get(), ZV_STR("stop"));
    if (!stop_coro) co_return Ref{};
    Ref stopped = co_await Await(stop_coro.get());
    if (!stopped) co_return Ref{};
    if (failure) {
        PyErr_SetRaisedException(failure.release());
        co_return Ref{};
    }
    co_return Ref::none();
}

PyObject* main_fn(NativeFunction* fn, PyObject* const*) {
    return make_coroutine(fn, main_body(Ref::borrow(reinterpret_cast<PyObject*>(fn))), false);
}

// ---- module body -------------------------------------------------------------------

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

int bind(PyObject* m, const char* name, PyObject* value) {
    return PyModule_AddObjectRef(m, name, value);
}

Ref subscript(PyObject* generic, PyObject* key) { return Ref::steal(PyObject_GetItem(generic, key)); }

// Callable[[arg], result]
Ref callable_of(PyObject* callable, PyObject* arg, PyObject* result) {
    Ref params = Ref::steal(PyList_New(1));
    if (!params) return {};
    PyList_SET_ITEM(params.get(), 0, Py_NewRef(arg));
    Ref key = new_tuple({params.get(), result});
    if (!key) return {};
    return subscript(callable, key.get());
}

Ref union_of(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Or(a, b)); }

int build_class(PyObject* m, PyObject* rns, PyObject* io, PyObject* request_type,
                PyObject* response_type, PyObject* awaitable, PyObject* callable,
                PyObject* handler_type) {
    Ref ns = class_namespace(m, "HttpServer", "HTTP/1.1 server using RNS for transport.");
    if (!ns) return -1;
    PyObject* int_t = type_obj(&PyLong_Type);
    PyObject* str_t = type_obj(&PyUnicode_Type);
    PyObject* float_t = type_obj(&PyFloat_Type);
    PyObject* bool_t = type_obj(&PyBool_Type);
    Ref str_or_none = union_of(str_t, Py_None);
    Ref identity_t = attr(rns, ZV_STR("Identity"));
    Ref link_t = attr(rns, ZV_STR("Link"));
    Ref rwpair = attr(io, "BufferedRWPair");
    Ref awaitable_response = subscript(awaitable, response_type);
    if (!str_or_none || !identity_t || !link_t || !rwpair || !awaitable_response) return -1;
    Ref response_or_awaitable = union_of(response_type, awaitable_response.get());
    Ref decorator_t = callable_of(callable, handler_type, handler_type);
    if (!response_or_awaitable || !decorator_t) return -1;

    Ref none_default = Ref::none();
    Ref sixty = Ref::steal(PyFloat_FromDouble(60.0));
    Ref thirty = Ref::steal(PyFloat_FromDouble(30.0));
    Ref get = str("GET");
    if (!sixty || !thirty || !get) return -1;
    PyObject* n = ns.get();

    if (add_function(n, m, {"__init__", "HttpServer.__init__", nullptr,
                            {"self", "port", "identity_path", "request_timeout", "read_timeout"},
                            server_init},
                     {Py_None, sixty.get(), thirty.get()},
                     {{"port", int_t}, {"identity_path", str_or_none.get()},
                      {"request_timeout", float_t}, {"read_timeout", float_t}, {"return", Py_None}}) < 0)
        return -1;
    if (add_function(n, m, {"_default_identity_path", "HttpServer._default_identity_path",
                            "Get default identity path.", {}, default_identity_path},
                     {}, {{"return", str_t}}, type_obj(&PyStaticMethod_Type)) < 0)
        return -1;
    if (add_function(n, m, {"_load_or_create_identity", "HttpServer._load_or_create_identity",
                            "Load existing identity or create new one.", {"self"}, load_or_create_identity},
                     {}, {{"return", identity_t.get()}}) < 0)
        return -1;
    if (add_function(n, m, {"route", "HttpServer.route", kRouteDoc, {"self", "path", "method"}, route},
                     {get.get()}, {{"path", str_t}, {"method", str_t}, {"return", decorator_t.get()}}) < 0)
        return -1;
    if (add_function(n, m, {"add_handler", "HttpServer.add_handler", "Add a handler for a path and method.",
                            {"self", "path", "handler", "method"}, add_handler},
                     {get.get()},
                     {{"path", str_t}, {"handler", handler_type}, {"method", str_t}, {"return", Py_None}}) < 0)
        return -1;
    if (add_function(n, m, {"set_default_handler", "HttpServer.set_default_handler",
                            "Set a default handler for all requests.", {"self", "handler"}, set_default_handler},
                     {}, {{"handler", handler_type}, {"return", Py_None}}) < 0)
        return -1;
    FunctionSpec start_spec{"start", "HttpServer.start", "Start the HTTP server.", {"self"}, start};
    start_spec.coroutine = true;
    if (add_function(n, m, start_spec, {}, {{"return", Py_None}}) < 0) return -1;
    FunctionSpec stop_spec{"stop", "HttpServer.stop", "Stop the HTTP server.", {"self"}, stop};
    stop_spec.coroutine = true;
    if (add_function(n, m, stop_spec, {}, {{"return", Py_None}}) < 0) return -1;
    if (add_function(n, m, {"_on_link", "HttpServer._on_link", "Handle incoming link.", {"self", "link"},
                            server::on_link},
                     {}, {{"link", link_t.get()}, {"return", Py_None}}) < 0)
        return -1;
    FunctionSpec send_spec{"_send_response", "HttpServer._send_response", "Send response back on the link.",
                           {"self", "writer", "response"}, server::send_response};
    send_spec.coroutine = true;
    if (add_function(n, m, send_spec, {},
                     {{"writer", rwpair.get()}, {"response", response_or_awaitable.get()}, {"return", Py_None}}) < 0)
        return -1;
    if (add_function(n, m, {"_on_close", "HttpServer._on_close", "Handle link close.", {"self", "link"},
                            server::on_close},
                     {}, {{"link", link_t.get()}, {"return", Py_None}}) < 0)
        return -1;
    if (add_function(n, m, {"_handle_request", "HttpServer._handle_request", "Handle incoming HTTP request.",
                            {"self", "link", "request"}, handle_request},
                     {}, {{"link", link_t.get()}, {"request", request_type},
                          {"return", response_or_awaitable.get()}}) < 0)
        return -1;
    if (add_function(n, m, {"_match_pattern", "HttpServer._match_pattern", "Simple pattern matching for routes.",
                            {"self", "pattern", "path"}, match_pattern},
                     {}, {{"pattern", str_t}, {"path", str_t}, {"return", bool_t}}) < 0)
        return -1;
    if (add_property(n, m, {"port", "HttpServer.port", "Get the server port.", {"self"}, port_getter},
                     {{"return", int_t}}) < 0 ||
        add_property(n, m, {"destination_hash", "HttpServer.destination_hash",
                            "Get the server destination hash as hex string.", {"self"}, destination_hash_getter},
                     {{"return", str_or_none.get()}}) < 0 ||
        add_property(n, m, {"is_running", "HttpServer.is_running", "Check if server is running.", {"self"},
                            is_running_getter},
                     {{"return", bool_t}}) < 0)
        return -1;
    if (set_static_attributes(n, {"_port", "_identity_path", "_request_timeout", "_read_timeout",
                                  "_destination", "_handlers", "_default_handler", "_running", "_links"}) < 0)
        return -1;
    Ref cls = make_class("HttpServer", nullptr, n);
    if (!cls) return -1;
    return bind(m, "HttpServer", cls.get());
}

int module_exec(PyObject* m) {
    State* state = static_cast<State*>(PyModule_GetState(m));
    if (state->initialized) return 0;
    Ref doc = str("HTTP/1.1 server over RNS.");
    if (!doc || bind(m, "__doc__", doc.get()) < 0) return -1;
    for (const char* name : {"argparse", "asyncio", "io", "os", "sys"}) {
        Ref mod = import(name);
        if (!mod || bind(m, name, mod.get()) < 0) return -1;
    }
    Ref awaitable = import_from("collections.abc", "Awaitable");
    Ref callable = import_from("collections.abc", "Callable");
    if (!awaitable || bind(m, "Awaitable", awaitable.get()) < 0 || !callable ||
        bind(m, "Callable", callable.get()) < 0)
        return -1;
    Ref typevar = import_from("typing", "TypeVar");
    if (!typevar || bind(m, "TypeVar", typevar.get()) < 0) return -1;
    Ref rns = import("RNS");
    if (!rns || bind(m, "RNS", rns.get()) < 0) return -1;
    Ref request_type = import_from("zivane.types", "HttpRequest");
    if (!request_type || bind(m, "HttpRequest", request_type.get()) < 0) return -1;
    Ref response_type = import_from("zivane.types", "HttpResponse");
    if (!response_type || bind(m, "HttpResponse", response_type.get()) < 0) return -1;

    Ref awaitable_response = subscript(awaitable.get(), response_type.get());
    if (!awaitable_response) return -1;
    Ref sync_handler = callable_of(callable.get(), request_type.get(), response_type.get());
    Ref async_handler = callable_of(callable.get(), request_type.get(), awaitable_response.get());
    if (!sync_handler || !async_handler) return -1;
    Ref handler_type = union_of(sync_handler.get(), async_handler.get());
    if (!handler_type || bind(m, "HandlerType", handler_type.get()) < 0) return -1;
    Ref t_name = str("T");
    Ref t = t_name ? call(typevar.get(), {t_name.get()}) : Ref{};
    if (!t || bind(m, "T", t.get()) < 0) return -1;

    PyObject* md = PyModule_GetDict(m);
    Ref awaitable_t = subscript(awaitable.get(), t.get());
    if (!awaitable_t) return -1;
    if (add_function(md, m, {"await_in_sync", "await_in_sync", "Run any awaitable from synchronous code safely.",
                             {"awaitable"}, server::await_in_sync},
                     {}, {{"awaitable", awaitable_t.get()}, {"return", t.get()}}) < 0)
        return -1;

    Ref io = import("io");
    if (!io) return -1;
    if (build_class(m, rns.get(), io.get(), request_type.get(), response_type.get(), awaitable.get(),
                    callable.get(), handler_type.get()) < 0)
        return -1;

    FunctionSpec main_spec{"main", "main", nullptr, {}, main_fn};
    main_spec.coroutine = true;
    if (add_function(md, m, main_spec, {}, {}) < 0) return -1;

    // Tunables of the link handling, read at each use.
    Ref limit = Ref::steal(PyLong_FromSsize_t(server::kLinkBufferLimit));
    Ref total = Ref::steal(PyLong_FromSsize_t(server::kTotalBufferLimit));
    Ref head = Ref::steal(PyLong_FromSsize_t(server::kHeadLimit));
    Ref stall = Ref::steal(PyFloat_FromDouble(server::kWriteStallSeconds));
    if (!limit || bind(m, "_LINK_BUFFER_LIMIT", limit.get()) < 0 || !total ||
        bind(m, "_TOTAL_BUFFER_LIMIT", total.get()) < 0 || !head || bind(m, "_HEAD_LIMIT", head.get()) < 0 ||
        !stall || bind(m, "_WRITE_STALL_TIMEOUT", stall.get()) < 0)
        return -1;
    state->initialized = true;

    // Run as a program: asyncio.run(main())
    Ref name = attr(m, ZV_STR("__name__"));
    if (!name) return -1;
    if (PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "__main__") == 0) {
        Ref main_func = attr(m, "main");
        Ref coro = main_func ? call(main_func.get()) : Ref{};
        Ref asyncio = coro ? attr(m, "asyncio") : Ref{};
        if (!asyncio || !call_method(asyncio.get(), ZV_STR("run"), {coro.get()})) return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "zivane.server", nullptr, sizeof(State), nullptr,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyModuleDef* server_module_def() { return &def; }

}  // namespace zv
