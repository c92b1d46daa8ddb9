#include "common/reticulum_check.hpp"

namespace zv::reticulum_check {
namespace {

// getattr(obj, name, None) as an owned reference: empty with an error set when the look-up
// failed otherwise; `found` false when there is no such attribute.
Ref optional_attr(PyObject* obj, const char* name, bool& found) {
    PyObject* raw = nullptr;
    int got = PyObject_GetOptionalAttrString(obj, name, &raw);
    found = got > 0;
    return got < 0 ? Ref{} : got == 0 ? Ref::none() : Ref::steal(raw);
}

}  // namespace

int require_running(PyObject* rns) {
    bool found = false;
    Ref reticulum = optional_attr(rns, "Reticulum", found);
    if (!reticulum) return -1;
    Ref get_instance = found ? optional_attr(reticulum.get(), "get_instance", found) : Ref::none();
    if (!get_instance) return -1;
    if (!found) return 0;  // a stand-in that does not say
    Ref instance = call(get_instance.get());
    if (!instance) return -1;
    if (!instance.is_none()) return 0;
    PyErr_SetString(PyExc_RuntimeError, kNotRunning);
    return -1;
}

}  // namespace zv::reticulum_check
