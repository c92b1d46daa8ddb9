// Checks and endings shared by the two commands (`main` of zivane.server and
// zivane.client).
//
// A command line that cannot work (a destination hash of the wrong size, a port out of
// range) or a Reticulum configuration that cannot be used ends the command at once with
// one line "Error: ..." on standard error and exit status 2 (usage) or 1 (configuration),
// before Reticulum is started: no traceback, no wait for a path that cannot exist, and no
// exit by RNS itself (which would end the process with status 255 and its reason on
// standard output).
#pragma once

#include "support/ref.hpp"

namespace zv::command_line {

constexpr int kUsageStatus = 2;
constexpr int kConfigurationStatus = 1;

// Flushes the module's sys.stdout and sys.stderr; best effort (the exit status matters
// more than a stream that cannot be flushed any more).
void flush_output(PyObject* module);

// Prints "Error: <message>" on sys.stderr, flushes both streams and raises
// SystemExit(status). Returns -1.
int fail(PyObject* module, int status, PyObject* message);

// Each returns 0, or -1 with SystemExit (or the error that prevented the check) set.
int check_port(PyObject* module, PyObject* port);
// A destination hash: hexadecimal text for exactly RNS.Reticulum.TRUNCATED_HASHLENGTH bits.
int check_destination(PyObject* module, PyObject* text);
// `config_dir` as it will be passed to RNS.Reticulum (None: Reticulum's default choice).
int check_configuration(PyObject* module, PyObject* config_dir);

}  // namespace zv::command_line
