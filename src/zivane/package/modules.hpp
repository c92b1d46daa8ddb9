// Module definitions of the package's submodules, one per source unit.
#pragma once

#include "support/ref.hpp"

namespace zv {

PyModuleDef* compat_module_def();
PyModuleDef* whitelist_module_def();
PyModuleDef* types_module_def();
PyModuleDef* client_module_def();
PyModuleDef* server_module_def();
PyModuleDef* proxy_module_def();
PyModuleDef* gateway_module_def();
PyModuleDef* web_module_def();
PyModuleDef* cli_module_def();

// What `python -m zivane.server`, `zivane.client`, `zivane.proxy` and `zivane.gateway` run
// (see cli.cpp).
PyMethodDef* server_program_def();
PyMethodDef* client_program_def();
PyMethodDef* proxy_program_def();
PyMethodDef* gateway_program_def();

}  // namespace zv
