#include "common/announcing.hpp"

#include "common/command_line.hpp"
#include "common/service.hpp"

#include <algorithm>
#include <cmath>

namespace zv::announcing {
namespace {

// One "Warning: ..." line; a line that cannot be printed costs only itself.
void warn(PyObject* module, Ref line) {
    if (!line || service::print_to_stderr(module, line.get()) < 0) PyErr_Clear();
}

}  // namespace

Ref site_data(PyObject* module, const site_announce::Site& site) {
    std::string data = site_announce::encode(site);
    site_announce::Site said;
    if (site.name.size() > site_announce::kMaxName && site_announce::decode(data, said)) {
        Ref name =
            Ref::steal(PyUnicode_DecodeUTF8(said.name.data(), Py_ssize_t(said.name.size()), "replace"));
        warn(module, name ? Ref::steal(PyUnicode_FromFormat(
                                "Warning: the name is longer than the %zu bytes an announce takes; "
                                "announced as %R",
                                site_announce::kMaxName, name.get()))
                          : Ref{});
    }
    return Ref::steal(PyBytes_FromStringAndSize(data.data(), Py_ssize_t(data.size())));
}

bool valid_interval(double seconds) { return std::isfinite(seconds) && seconds >= 0; }

int interval_option(PyObject* module, PyObject* args, double* seconds) {
    Ref value = attr(args, ZV_STR("announce_interval"));
    if (!value) return -1;
    if (value.is_none()) {
        *seconds = kDefaultInterval;
        return 0;
    }
    double v = PyFloat_AsDouble(value.get());
    if (v == -1.0 && PyErr_Occurred()) return -1;
    if (valid_interval(v)) {
        *seconds = v;
        return 0;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "invalid --announce-interval %R: expected a number of seconds, 0 or above", value.get()));
    return message ? command_line::fail(module, command_line::kUsageStatus, message.get()) : -1;
}

Repeater::Repeater(Ref destination, double interval) : destination_(std::move(destination)) {
    if (interval > 0) {
        // Longer than decades is never, and must not overflow the clock's count.
        std::chrono::duration<double> seconds(std::min(interval, 1e9));
        interval_ = std::chrono::duration_cast<Clock::duration>(seconds);
        due_ = Clock::now() + interval_;
    }
}

void Repeater::tick(PyObject* module) {
    if (!destination_ || interval_ == Clock::duration{} || Clock::now() < due_) return;
    due_ = Clock::now() + interval_;
    if (call_method(destination_.get(), ZV_STR("announce"))) return;
    Ref why = Ref::steal(PyErr_GetRaisedException());
    warn(module, Ref::steal(PyUnicode_FromFormat("Warning: could not announce the destination again: %S",
                                                 why ? why.get() : Py_None)));
}

}  // namespace zv::announcing
