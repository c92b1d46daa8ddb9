// The bodies the zivane.proxy module table names.
#pragma once

#include "support/native_function.hpp"

namespace zv::proxy {

PyObject* command_main(NativeFunction* fn, PyObject* const* args);  // command.cpp

}  // namespace zv::proxy
