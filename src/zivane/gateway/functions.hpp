// The native bodies behind the table of zivane.gateway (module.cpp).
#pragma once

#include "support/native_function.hpp"

namespace zv::gateway {

// command.cpp: the zivane-gateway command
NativeBody command_main;

}  // namespace zv::gateway
