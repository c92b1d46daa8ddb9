// What the long-running commands (zivane-server, zivane-gateway, zivane-proxy) share:
// the lines that say where a destination listens (Reticulum's configuration and start are
// every command's: command_line.hpp), and the SIGTERM handler that ends their wait the way
// Ctrl-C does.
#pragma once

#include "support/ref.hpp"

namespace zv::service {

// print(line, file=sys.stderr, flush=True), with the module's globals of this moment.
int print_to_stderr(PyObject* module, PyObject* line);

// "Server listening on HTTP.<port>" and "Destination hash: <hash>" on sys.stderr, each
// flushed, then claim_destination. 0, or -1 with an exception set.
int print_listening(PyObject* module, PyObject* port, PyObject* hash);

// One command of this machine serves a destination at a time, or is told otherwise: while
// it runs, a command holds an exclusive lock on ~/.zivane/served/<hash> (with its process
// id in it). A second command that announces the same destination (the same identity and
// port) gets one "Warning: ..." line on sys.stderr, as links from the network would reach
// either of them. Best effort: a claim that cannot be made is no error.
int claim_destination(PyObject* module, PyObject* hash);

// RNS.Destination(identity, RNS.Destination.IN, RNS.Destination.SINGLE, "HTTP", str(port)):
// the destination every zivane server answers on.
Ref http_destination(PyObject* rns, PyObject* identity, PyObject* port);

// Installs on the running loop a SIGTERM handler that sets `flag[0] = True` (a list of
// one item); returns the loop, or None when no handler could be installed (off the main
// thread, no running loop).
Ref install_sigterm(PyObject* module, PyObject* asyncio, PyObject* flag);
void remove_sigterm(PyObject* loop);

// Whether a SIGTERM came: `flag[0]` is True.
bool terminated(PyObject* flag);

// After a wait ended with an exception: empty for a keyboard interrupt (cleared, a normal
// stop), else the exception, taken.
Ref wait_failure();

// asyncio.sleep(1): what a command's wait awaits between two looks at its stop flag.
Ref pause(PyObject* asyncio);

// What a command's main returns once it has stopped: None, or empty with `failure` (the
// exception that ended its wait, if any) raised again.
Ref outcome(Ref failure);

}  // namespace zv::service
