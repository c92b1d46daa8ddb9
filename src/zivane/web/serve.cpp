// Serving an application on a destination until told to stop: `serve(app, port,
// identity_path=None, *, name=None, announce_interval=1800.0)` for programs (until
// cancelled), and the gateway command's run for `module:attribute` (until Ctrl-C or
// SIGTERM). Both start the lifespan before the destination is announced, announce it
// again every interval, and end the lifespan after links are no longer taken.
#include "common/command_line.hpp"
#include "common/service.hpp"
#include "gateway/bridge.hpp"
#include "web/functions.hpp"
#include "web/server.hpp"

#include "support/globals.hpp"
#include "support/native_coroutine.hpp"

namespace zv::web {
namespace {

struct Serving {
    gateway::GatewayPtr gateway;
    AppServerPtr server;
    std::shared_ptr<Lifespan> lifespan;  // ASGI only
    Ref destination;
};

// The application's server and a gateway whose links it serves; `gateway_module` gives
// the gateway its RNS. The running loop is the ASGI application's loop.
Serving prepare(PyObject* module, PyObject* gateway_module, PyObject* app, gateway::Settings settings) {
    Ref asyncio = module_global(module, ZV_STR("asyncio"));
    Ref loop = asyncio ? call_method(asyncio.get(), ZV_STR("get_running_loop")) : Ref{};
    int asgi = loop ? is_asgi(module, app) : -1;
    Ref state = asgi >= 0 ? Ref::steal(PyDict_New()) : Ref{};
    if (!state) return {};
    Serving s;
    s.server = asgi ? make_asgi_server(module, app, loop.get(), state.get()) : make_wsgi_server(module, app);
    if (asgi) s.lifespan = make_lifespan(module, app, loop.get(), state.get());
    s.gateway = gateway::make_gateway(gateway_module, std::move(settings));
    if (!s.gateway) return {};
    s.gateway->handle_request = [server = s.server](gateway::Link& link) { return server->serve(link); };
    return s;
}

// Where requests say they were served, once the destination exists.
int located(Serving& s, PyObject* port) {
    Ref hash = attr(s.destination.get(), ZV_STR("hexhash"));
    const char* text = hash && PyUnicode_Check(hash.get()) ? PyUnicode_AsUTF8(hash.get()) : nullptr;
    long number = text ? PyLong_AsLong(port) : -1;
    if (!text || PyErr_Occurred()) return -1;
    s.server->where = {std::string(text) + ".rns", int(number)};
    return 0;
}

// Stops taking links, ends them, and starts the application's shutdown: the awaitable
// to wait for, or None.
Ref wind_down(Serving& s) {
    SavedError pending;
    if (s.destination && !call_method(s.destination.get(), ZV_STR("accepts_links"), {Py_False}))
        PyErr_Clear();
    gateway::stop(s.gateway);
    Ref done = s.lifespan ? s.lifespan->shutdown() : Ref::none();
    if (!done) {
        PyErr_Clear();
        done = Ref::none();
    }
    pending.restore();
    return done;
}

// serve()'s keywords: what the site's announces say of it, and how often.
int announcing_settings(PyObject* name, PyObject* interval, gateway::Settings& settings) {
    if (!Py_IsNone(name)) {
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "name must be a str or None, not %T", name);
            return -1;
        }
        Ref text = Ref::steal(PyUnicode_AsEncodedString(name, "utf-8", "replace"));
        if (!text) return -1;
        settings.name.assign(PyBytes_AS_STRING(text.get()), std::size_t(PyBytes_GET_SIZE(text.get())));
    }
    double seconds = PyFloat_AsDouble(interval);
    if (seconds == -1.0 && PyErr_Occurred()) return -1;
    if (!announcing::valid_interval(seconds)) {
        PyErr_Format(PyExc_ValueError, "announce_interval must be a number of seconds, 0 or above, not %R",
                     interval);
        return -1;
    }
    settings.announce_interval = seconds;
    return 0;
}

Ref sleep_one(PyObject* asyncio) {
    Ref one = Ref::steal(PyLong_FromLong(1));
    return one ? call_method(asyncio, ZV_STR("sleep"), {one.get()}) : Ref{};
}

CoBody serve_body(Ref fn_ref, Ref app, Ref port, Ref identity_path, Ref name, Ref interval) {
    PyObject* module = reinterpret_cast<NativeFunction*>(fn_ref.get())->module;
    gateway::Settings settings;
    if (announcing_settings(name.get(), interval.get(), settings) < 0) co_return Ref{};
    double announce_interval = settings.announce_interval;
    Serving s = prepare(module, module, app.get(), std::move(settings));
    if (!s.gateway) co_return Ref{};
    if (s.lifespan) {
        Ref started = s.lifespan->startup();
        Ref complete = co_await Await(started.get());  // never inside || or ?: (see Await)
        if (!complete) co_return Ref{};
    }
    Ref types = module_global(module, ZV_STR("types"));
    Ref holder_type = types ? attr(types.get(), ZV_STR("SimpleNamespace")) : Ref{};
    Ref holder = holder_type ? call(holder_type.get()) : Ref{};
    if (!holder || PyObject_SetAttr(holder.get(), ZV_STR("identity"), identity_path.get()) < 0)
        co_return Ref{};
    Ref identity = gateway::load_identity(module, holder.get());
    s.destination =
        identity ? gateway::open_destination(module, identity.get(), port.get(), s.gateway) : Ref{};
    Ref asyncio =
        s.destination && located(s, port.get()) == 0 ? module_global(module, ZV_STR("asyncio")) : Ref{};
    if (!asyncio) co_return Ref{};
    announcing::Repeater repeater(s.destination, announce_interval);
    for (;;) {
        gateway::sweep(s.gateway);
        s.server->tick();
        repeater.tick(module);
        Ref sleep = sleep_one(asyncio.get());
        Ref slept = co_await Await(sleep.get());
        if (!slept) break;
    }
    SavedError stopped;  // cancelled, most likely
    Ref done = wind_down(s);
    if (!done.is_none()) {
        Ref wound_down = co_await Await(done.get());
        if (!wound_down) PyErr_Clear();
    }
    stopped.restore();
    co_return Ref{};
}

// "module:attribute", imported; the attribute may be dotted.
Ref import_app(PyObject* module, const std::string& spec) {
    std::size_t colon = spec.find(':');
    Ref importlib = import("importlib");
    Ref target = importlib
                     ? call_method(importlib.get(), ZV_STR("import_module"),
                                   {Ref::steal(PyUnicode_FromString(spec.substr(0, colon).c_str())).get()})
                     : Ref{};
    std::string rest = spec.substr(colon + 1);
    for (std::size_t start = 0; target && start <= rest.size();) {
        std::size_t dot = std::min(rest.find('.', start), rest.size());
        target = attr(target.get(), rest.substr(start, dot - start).c_str());
        start = dot + 1;
    }
    if (target) return target;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref message = Ref::steal(PyUnicode_FromFormat("cannot load application %s: %S", spec.c_str(), exc.get()));
    if (message) command_line::fail(module, 1, message.get());
    return {};
}

// The current directory first on sys.path, as `module:app` servers do, so that the
// application's module is found where the command runs.
int search_current_directory(PyObject* module) {
    Ref sys = module_global(module, ZV_STR("sys"));
    Ref path = sys ? attr(sys.get(), ZV_STR("path")) : Ref{};
    Ref here = Ref::steal(PyUnicode_FromString(""));
    if (!path || !here) return -1;
    int present = PySequence_Contains(path.get(), here.get());
    return present != 0 ? present : PyList_Insert(path.get(), 0, here.get());
}

CoBody command_body(Ref fn_ref, Ref args) {
    PyObject* module = reinterpret_cast<NativeFunction*>(fn_ref.get())->module;
    Ref gateway_module = import("zivane.gateway");
    gateway::Settings settings;
    if (!gateway_module || gateway::read_settings(gateway_module.get(), args.get(), settings) < 0 ||
        search_current_directory(module) < 0)
        co_return Ref{};
    Ref app = import_app(module, settings.app);
    double announce_interval = settings.announce_interval;
    Serving s = app ? prepare(module, gateway_module.get(), app.get(), std::move(settings)) : Serving{};
    if (!s.gateway) co_return Ref{};
    if (s.lifespan) {
        Ref started = s.lifespan->startup();
        Ref complete = co_await Await(started.get());  // never inside || or ?: (see Await)
        if (!complete) co_return Ref{};
    }
    s.destination = gateway::publish(gateway_module.get(), args.get(), s.gateway);
    Ref port = s.destination ? attr(args.get(), ZV_STR("port")) : Ref{};
    Ref asyncio = port && located(s, port.get()) == 0 ? module_global(module, ZV_STR("asyncio")) : Ref{};
    Ref terminated = asyncio ? Ref::steal(Py_BuildValue("[O]", Py_False)) : Ref{};
    Ref loop = terminated ? service::install_sigterm(module, asyncio.get(), terminated.get()) : Ref{};
    if (!loop) co_return Ref{};
    announcing::Repeater repeater(s.destination, announce_interval);
    Ref failure;
    while (!service::terminated(terminated.get())) {
        gateway::sweep(s.gateway);
        s.server->tick();
        repeater.tick(gateway_module.get());
        Ref sleep = sleep_one(asyncio.get());
        Ref slept = co_await Await(sleep.get());
        if (slept) continue;
        failure = service::wait_failure();
        break;
    }
    service::remove_sigterm(loop.get());
    Ref done = wind_down(s);
    if (!done.is_none()) {
        Ref wound_down = co_await Await(done.get());
        if (!wound_down) PyErr_Clear();
    }
    if (!failure) co_return Ref::none();
    PyErr_SetRaisedException(failure.release());
    co_return Ref{};
}

}  // namespace

PyObject* serve_impl(NativeFunction* fn, PyObject* const* args) {
    Ref self = Ref::borrow(reinterpret_cast<PyObject*>(fn));
    return make_coroutine(fn, serve_body(self, Ref::borrow(args[0]), Ref::borrow(args[1]),
                                         Ref::borrow(args[2]), Ref::borrow(args[3]), Ref::borrow(args[4])));
}

PyObject* command_impl(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn,
                          command_body(Ref::borrow(reinterpret_cast<PyObject*>(fn)), Ref::borrow(args[0])));
}

}  // namespace zv::web
