// Delivers the package's submodules from this one shared object under their dotted names.
//
// The package gets `__path__ = []` and one finder on `sys.meta_path` that answers only when
// the import system hands it that very list, i.e. only for `zivane.<name>`. Its loader
// builds each submodule from its own module definition (multi-phase initialisation), and
// gives `python -m` (runpy) a code object for the submodules that run as programs: built
// from opcodes, without source, it calls the submodule's program function.
#pragma once

#include "support/ref.hpp"

#include <span>

namespace zv {

struct Submodule {
    const char* fullname;  // "zivane.types"
    PyModuleDef* def;
    // What `python -m <fullname>` runs (a METH_NOARGS function), or NULL: not a program.
    PyMethodDef* program = nullptr;
};

// Sets `__path__`, `__package__` and the module spec's search locations on `package`, removes a
// finder left by an earlier package object and installs a new one for `table`.
int install_submodule_finder(PyObject* package, std::span<const Submodule> table);

}  // namespace zv
