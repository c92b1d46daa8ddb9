// Module globals looked up when they are used, as Python code looks its globals up.
#pragma once

#include "support/ref.hpp"

#include <initializer_list>

namespace zv {

// `name` as Python code in `module` sees it: the module's namespace, then the builtins;
// NameError as Python raises it.
Ref module_global(PyObject* module, PyObject* name);
Ref module_global(PyObject* module, const char* name);

// print(text), with the module's view of `print`. 0, or -1 with an exception set.
int print_line(PyObject* module, PyObject* text);

// f"{a}{b}...": each part formatted as format(part, "") in order, then joined (literal
// pieces are passed as str, which format to themselves).
Ref fstring(std::initializer_list<PyObject*> parts);

// Tunables kept as module globals and read at each use (tests and users may set them):
// the value in the module's own namespace when it is usable, else `fallback`. Never raise.
Py_ssize_t size_global(PyObject* module, PyObject* name, Py_ssize_t fallback);
double seconds_global(PyObject* module, PyObject* name, double fallback);

}  // namespace zv
