// Python-visible names declared by tables, the way CPython's own modules declare their
// methods: one row per function with everything Python sees of it (name, parameters with
// their annotations and defaults, return annotation, docstring, kind), one entry per class,
// and a module body that binds names in the order a Python module body would.
//
//     const table::Function kHttpServerBody[] = {
//         {"route", {{"self"}, {"path", "str"}, {"method", "str", "'GET'"}},
//          "Callable[[HandlerType], HandlerType]", kRouteDoc, route},
//         {"start", {{"self"}}, "None", "Start the HTTP server.", start, Kind::Coroutine},
//         {"port", {{"self"}}, "int", "Get the server port.", port_getter, Kind::Property},
//     };
//
// Annotations and defaults are objects made when the module runs its exec, so rows name
// them by keys, resolved in the module's environment (`Env`) at that moment:
// 1. a key the module derives itself (`Derived`: "str | None", "HandlerType"): made by its
//    function on first use;
// 2. a literal: 'text' is that str, a number (60.0, 30) a float or an int;
// 3. otherwise a name looked up as a module global of that moment (the module's namespace,
//    then the builtins), and a dotted name attribute by attribute: None, str, HttpRequest,
//    RNS.Link.
// Each key is made once per environment, so every row naming it shares one object, as
// equal constants of one Python module do.
#pragma once

#include "support/native_function.hpp"

#include <initializer_list>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace zv::table {

// Names an object in an environment (see above).
using Key = const char*;

// One parameter, as a `def` spells it: name, annotation, default (each key may be absent).
// A parameter named "*" stands where a `def` has its bare `*`: those after it are
// keyword-only.
struct Param {
    const char* name;
    Key annotation = nullptr;
    Key default_value = nullptr;
};

enum class Kind : unsigned char {
    Function,   // a function, or a method
    Coroutine,  // `async def`
    Static,     // `@staticmethod`
    Property,   // `@property`: the row is the getter
};

struct Function {
    const char* name;
    std::initializer_list<Param> params;
    Key returns;      // the "return" annotation; nullptr for none
    const char* doc;  // nullptr for none
    NativeImpl impl;
    Kind kind = Kind::Function;
    const char* decorator = nullptr;  // a module global applied to the function (`override`)
};

struct Class {
    const char* name;
    const char* doc;                  // nullptr for none
    std::span<const Function> body;   // in the order of the class body
    std::initializer_list<const char*> static_attributes;
    std::initializer_list<Param> slots = {};  // __slots__, with the fields' annotations
    Key base = nullptr;                       // the one base class; nullptr for object
    const char* decorator = nullptr;          // a module global applied to the class (`final`)
};

class Env;

// An object a module makes for its rows (a union, a subscripted generic, a TypeVar, a
// number from a C++ constant). `make` may use other keys of the same environment.
struct Derived {
    Key key;
    Ref (*make)(Env& env);
};

// The objects named by keys, for one module, while its tables are being applied.
class Env {
public:
    explicit Env(PyObject* module, std::span<const Derived> derived = {})
        : module_(module), derived_(derived) {}

    PyObject* module() const { return module_; }

    // The object `key` names, borrowed for the environment's life; NULL with an exception.
    PyObject* get(Key key);

    // Building blocks for derived objects, from keys or from objects. `callable` takes the
    // module's global Callable.
    Ref union_of(Key left, Key right);         // left | right
    Ref subscript(Key generic, Key argument);  // generic[argument]
    Ref subscript(Key generic, std::initializer_list<Key> arguments);  // generic[a, b, ...]
    Ref callable(Key argument, Key result);    // Callable[[argument], result]
    static Ref union_of(PyObject* left, PyObject* right);
    static Ref subscript(PyObject* generic, PyObject* argument);
    Ref callable(PyObject* argument, PyObject* result);

private:
    Ref resolve(std::string_view key);

    PyObject* module_;
    std::span<const Derived> derived_;
    std::vector<std::pair<std::string_view, Ref>> made_;
};

// One statement of a module body. Make them with the functions below.
struct Entry {
    enum class What : unsigned char { Import, ImportName, Value, Function, Class };
    What what;
    const char* name;                  // the name bound in the module
    const char* source = nullptr;      // Import, ImportName: the module; Value: the key
    const char* attribute = nullptr;   // ImportName: the name taken from `source`
    const Function* function = nullptr;
    const Class* cls = nullptr;
};

// import module
constexpr Entry import_module(const char* module) { return {Entry::What::Import, module, module}; }
// from module import name [as bound]
constexpr Entry import_name(const char* module, const char* name, const char* bound = nullptr) {
    return {Entry::What::ImportName, bound ? bound : name, module, name};
}
// name = <the object `key` names> (the key defaults to the name)
constexpr Entry value(const char* name, Key key = nullptr) {
    return {Entry::What::Value, name, key ? key : name};
}
// def ... / class ...
constexpr Entry define(const Function& function) {
    return {Entry::What::Function, function.name, nullptr, nullptr, &function};
}
constexpr Entry define(const Class& cls) {
    return {Entry::What::Class, cls.name, nullptr, nullptr, nullptr, &cls};
}

// Runs a module body: each entry, in order, bound in the module's namespace. 0, or -1
// with an exception set.
int run(Env& env, std::span<const Entry> body);

// A function of a row; `owner` is the qualified name of the class (or function, with
// ".<locals>") it belongs to, NULL for a module function. With its decorator and kind
// applied (staticmethod, property).
Ref make(Env& env, const Function& row, const char* owner);

// A class of its table entry, with its decorator applied; not bound anywhere.
Ref make(Env& env, const Class& cls);

// A function made while the program runs, with captured state (a nested function): its
// keys are resolved now, in an environment of its own (a module global named by a row
// is the one bound at this moment, as a nested `def` would see it).
Ref make_nested(PyObject* module, const Function& row, const char* owner, PyObject* closure);

}  // namespace zv::table
