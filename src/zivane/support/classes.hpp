// Classes built the way a class statement builds them: a namespace dictionary filled in
// order, then the metaclass called with (name, bases, namespace). The result is an
// ordinary Python class (slots, subclassing, attribute assignment all as usual).
#pragma once

#include "support/native_function.hpp"

namespace zv {

// A class body namespace holding __module__, __qualname__ and, when given, __doc__.
Ref class_namespace(PyObject* module, const char* qualname, const char* doc);

// type(name, bases, ns); `bases` NULL means (object,). The class is not bound anywhere.
Ref make_class(const char* name, PyObject* bases, PyObject* ns);

// Sets `__static_attributes__` in a class namespace to the given attribute names.
int set_static_attributes(PyObject* ns, std::initializer_list<const char*> names);

// Adds a read-only property whose getter is a native function `fn_spec` (one parameter).
int add_property(PyObject* ns, PyObject* module, const FunctionSpec& getter,
                 std::initializer_list<Annotation> annotations);

}  // namespace zv
