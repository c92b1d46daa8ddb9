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
// A time-out option of the parsed arguments `args` (attribute `dest`, spelt `flag` on the
// command line; argparse made it a float): 1 with its seconds in *seconds when given, 0
// when not (None), -1 with SystemExit set for a value that is not a finite number above
// zero, or with the error that prevented the check.
int seconds_option(PyObject* module, PyObject* args, const char* dest, const char* flag, double* seconds);
// `config_dir` as it will be passed to RNS.Reticulum (None: Reticulum's default choice).
int check_configuration(PyObject* module, PyObject* config_dir);

// Called once Reticulum has started (`rns` is the module that started it). A process
// attached to a shared instance is otherwise ended by RNS itself at interpreter exit:
// its exit handler detaches the local interface, whose reader thread then calls
// RNS.exit(), i.e. os._exit(0), racing the main thread's own exit. That replaced the
// command's exit status by 0 in most runs under load, and dropped unflushed output. An
// exit hook registered now runs before RNS's (hooks run last-in first-out) and marks
// RNS's exit as done, so the interpreter ends the way it meant to, with its status. The
// hook is registered once per process and does nothing before interpreter exit.
int keep_exit_status(PyObject* module, PyObject* rns);

// The configuration directory of a command's parsed arguments `args`: --config, else
// $RNS_CONFIG_PATH, else None; checked by check_configuration. Empty with an exception set.
Ref configuration(PyObject* module, PyObject* args);

// RNS.Reticulum(config, RNS.LOG_VERBOSE if args.verbose else RNS.LOG_WARNING), then
// keep_exit_status. 0, or -1 with an exception set.
int start_reticulum(PyObject* module, PyObject* args, PyObject* config);

}  // namespace zv::command_line
