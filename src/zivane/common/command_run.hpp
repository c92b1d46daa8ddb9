// The steps a long-running command (zivane-server, zivane-proxy, zivane-gateway) takes
// around its own work: where Reticulum's configuration is, starting Reticulum, a line on
// standard error, and the SIGTERM flag its wait looks at.
#pragma once

#include "support/ref.hpp"

namespace zv::command_line {

// --config, else $RNS_CONFIG_PATH, else None; checked before Reticulum sees it.
Ref configuration(PyObject* module, PyObject* args);

// RNS.Reticulum(config, RNS.LOG_VERBOSE if args.verbose else RNS.LOG_WARNING), and the
// exit status kept from then on (see keep_exit_status). 0, or -1 with an exception set.
int start_reticulum(PyObject* module, PyObject* args, PyObject* config);

// print(line, file=sys.stderr, flush=True), with the module's globals of this moment.
int print_error_line(PyObject* module, PyObject* line);

// Installs a SIGTERM handler on the running loop that sets `flag[0] = True` (`flag` is a
// one-item list). Returns the loop, or None when no handler could be installed (off the
// main thread, for instance).
Ref install_sigterm(PyObject* module, PyObject* asyncio, PyObject* flag);
void remove_sigterm(PyObject* loop);

// The exception that ended a command's wait, or empty for a keyboard interrupt (which
// is how Ctrl-C asks for a clean stop, and is discarded).
Ref wait_failure();

}  // namespace zv::command_line
