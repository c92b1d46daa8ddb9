// Whether Reticulum runs in this process, asked before anything that needs it. Without a
// started instance, Reticulum fails deep inside (an AttributeError naming one of its
// private class attributes) or waits for paths that can never come.
#pragma once

#include "support/ref.hpp"

namespace zv::reticulum_check {

inline constexpr const char* kNotRunning = "Reticulum is not running: start it with RNS.Reticulum(...) first";

// 0 when `rns` (the RNS module of the caller, looked up at call time) has a running
// instance, or is a stand-in without `Reticulum.get_instance`; -1 with RuntimeError
// (kNotRunning) set when it has none, or with the error of the look-up.
int require_running(PyObject* rns);

}  // namespace zv::reticulum_check
