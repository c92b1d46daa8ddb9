// The command-line parser of a command, declared by a table: one row per
// `parser.add_argument(...)` call, read in order.
//
//     const Argument kArguments[] = {
//         {.flags = {"port"}, .type = &PyLong_Type, .help = "Port number"},
//         {.flags = {"-v", "--verbose"}, .action = "store_true", .dest = "verbose",
//          .help = "Enable verbose logging"},
//     };
#pragma once

#include "support/ref.hpp"

#include <initializer_list>
#include <span>

namespace zv::command_line {

// One add_argument call: the name or flags, then the keywords a row sets, passed in this
// order (a keyword left unset is not passed at all).
struct Argument {
    std::initializer_list<const char*> flags;
    const char* nargs = nullptr;
    PyTypeObject* type = nullptr;
    const char* default_value = nullptr;  // a str default
    const char* action = nullptr;
    const char* dest = nullptr;
    const char* help = nullptr;
    const char* metavar = nullptr;
};

// argparse.ArgumentParser(description=description), `argparse` being the module's global
// of this moment, with one add_argument call per row. Empty with an exception on failure.
Ref make_parser(PyObject* module, const char* description, std::span<const Argument> arguments);

}  // namespace zv::command_line
