// HttpServer.start and HttpServer.stop: the destination announced and accepting links, and
// every link torn down again. Both are coroutines that never suspend.
#include "common/reticulum_check.hpp"
#include "common/service.hpp"
#include "server/functions.hpp"
#include "support/native_coroutine.hpp"

namespace zv::server {
namespace {

// RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, "HTTP", str(self._port))
Ref new_destination(NativeFunction* fn, PyObject* self, PyObject* identity) {
    Ref rns = global(fn, ZV_STR("RNS"));
    Ref port = rns ? attr(self, ZV_STR("_port")) : Ref{};
    return port ? service::http_destination(rns.get(), identity, port.get()) : Ref{};
}

// self._destination.<name>([arg]), the attribute read afresh each time.
bool on_destination(PyObject* self, PyObject* name, PyObject* arg = nullptr) {
    Ref dest = attr(self, ZV_STR("_destination"));
    if (!dest) return false;
    return bool(arg ? call_method(dest.get(), name, {arg}) : call_method(dest.get(), name));
}

Ref start_steps(NativeFunction* fn, PyObject* self) {
    Ref rns = global(fn, ZV_STR("RNS"));
    if (!rns || reticulum_check::require_running(rns.get()) < 0) return {};
    Ref identity = call_method(self, ZV_STR("_load_or_create_identity"));
    Ref dest = identity ? new_destination(fn, self, identity.get()) : Ref{};
    if (!dest || PyObject_SetAttr(self, ZV_STR("_destination"), dest.get()) < 0) return {};
    if (PyObject_SetAttr(self, ZV_STR("_running"), Py_True) < 0) return {};
    if (!on_destination(self, ZV_STR("accepts_links"), Py_True)) return {};
    Ref on_link = attr(self, ZV_STR("_on_link"));
    if (!on_link || !on_destination(self, ZV_STR("set_link_established_callback"), on_link.get())) return {};
    if (!on_destination(self, ZV_STR("announce"))) return {};
    return Ref::none();
}

// Tears down every link in self._links (a snapshot: teardown may call back into _on_close).
int teardown_links(PyObject* links) {
    Ref values = call_method(links, ZV_STR("values"));
    Ref list = values ? Ref::steal(PySequence_List(values.get())) : Ref{};
    if (!list) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref link = Ref::steal(PySequence_GetItem(PyList_GET_ITEM(list.get(), i), 0));
        if (!link || !call_method(link.get(), ZV_STR("teardown"))) return -1;
        release_link(link.get());
    }
    return 0;
}

Ref stop_steps(PyObject* self) {
    if (PyObject_SetAttr(self, ZV_STR("_running"), Py_False) < 0) return {};
    Ref links = attr(self, ZV_STR("_links"));
    if (!links || teardown_links(links.get()) < 0 || !call_method(links.get(), ZV_STR("clear"))) return {};
    Ref dest = attr(self, ZV_STR("_destination"));
    if (!dest) return {};
    if (!dest.is_none() && !call_method(dest.get(), ZV_STR("accepts_links"), {Py_False})) return {};
    return Ref::none();
}

CoBody start_body(Ref fn_ref, Ref self) {
    co_return start_steps(reinterpret_cast<NativeFunction*>(fn_ref.get()), self.get());
}

CoBody stop_body(Ref self) { co_return stop_steps(self.get()); }

}  // namespace

PyObject* start(NativeFunction* fn, PyObject* const* args) {
    Ref fn_ref = Ref::borrow(reinterpret_cast<PyObject*>(fn));
    return make_coroutine(fn, start_body(std::move(fn_ref), Ref::borrow(args[0])), true);
}

PyObject* stop(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, stop_body(Ref::borrow(args[0])), true);
}

}  // namespace zv::server
