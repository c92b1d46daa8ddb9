#include "support/tables.hpp"

#include "support/classes.hpp"

#include <cctype>

namespace zv::table {

PyObject* Env::get(Key key) {
    std::string_view wanted(key);
    for (const auto& [made_key, object] : made_)
        if (made_key == wanted) return object.get();
    Ref object = resolve(wanted);
    if (!object) return nullptr;
    made_.emplace_back(wanted, std::move(object));
    return made_.back().second.get();
}

namespace {

// 'text'
Ref string_literal(std::string_view key) {
    if (key.size() < 2 || key.back() != '\'') {
        PyErr_Format(PyExc_SystemError, "unterminated string key %s", key.data());
        return {};
    }
    return Ref::steal(PyUnicode_FromStringAndSize(key.data() + 1, Py_ssize_t(key.size() - 2)));
}

// 60.0, 1e3, 30, -1 (the key is the whole of a NUL-terminated text).
Ref number_literal(std::string_view key) {
    if (key.find_first_of(".eE") == std::string_view::npos)
        return Ref::steal(PyLong_FromString(key.data(), nullptr, 10));
    double value = PyOS_string_to_double(key.data(), nullptr, PyExc_SystemError);
    if (value == -1.0 && PyErr_Occurred()) return {};
    return Ref::steal(PyFloat_FromDouble(value));
}

// A module global of this moment, then attribute by attribute along the dots.
Ref dotted_name(PyObject* module, std::string_view key) {
    std::size_t dot = key.find('.');
    Ref first = Ref::steal(PyUnicode_FromStringAndSize(key.data(), Py_ssize_t(key.substr(0, dot).size())));
    Ref object = first ? module_global(module, first.get()) : Ref{};
    while (object && dot != std::string_view::npos) {
        std::size_t next = key.find('.', dot + 1);
        std::string_view part = key.substr(dot + 1, next == std::string_view::npos ? next : next - dot - 1);
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(part.data(), Py_ssize_t(part.size())));
        object = name ? attr(object.get(), name.get()) : Ref{};
        dot = next;
    }
    return object;
}

}  // namespace

Ref Env::resolve(std::string_view key) {
    for (const Derived& derived : derived_)
        if (key == derived.key) return derived.make(*this);
    if (key.empty()) {
        PyErr_SetString(PyExc_SystemError, "empty table key");
        return {};
    }
    if (key.front() == '\'') return string_literal(key);
    if (std::isdigit(static_cast<unsigned char>(key.front())) || key.front() == '-')
        return number_literal(key);
    return dotted_name(module_, key);
}

Ref Env::union_of(PyObject* left, PyObject* right) { return Ref::steal(PyNumber_Or(left, right)); }

Ref Env::subscript(PyObject* generic, PyObject* argument) {
    return Ref::steal(PyObject_GetItem(generic, argument));
}

Ref Env::callable(PyObject* argument, PyObject* result) {
    PyObject* callable_type = get("Callable");
    Ref params = callable_type ? Ref::steal(PyList_New(1)) : Ref{};
    if (!params) return {};
    PyList_SET_ITEM(params.get(), 0, Py_NewRef(argument));
    Ref key = new_tuple({params.get(), result});
    return key ? subscript(callable_type, key.get()) : Ref{};
}

Ref Env::union_of(Key left, Key right) {
    PyObject* a = get(left);
    PyObject* b = a ? get(right) : nullptr;
    return b ? union_of(a, b) : Ref{};
}

Ref Env::subscript(Key generic, Key argument) {
    PyObject* g = get(generic);
    PyObject* arg = g ? get(argument) : nullptr;
    return arg ? subscript(g, arg) : Ref{};
}

Ref Env::subscript(Key generic, std::initializer_list<Key> arguments) {
    PyObject* g = get(generic);
    Ref key = g ? Ref::steal(PyTuple_New(Py_ssize_t(arguments.size()))) : Ref{};
    if (!key) return {};
    Py_ssize_t i = 0;
    for (Key argument : arguments) {
        PyObject* value = get(argument);
        if (!value) return {};
        PyTuple_SET_ITEM(key.get(), i++, Py_NewRef(value));
    }
    return subscript(g, key.get());
}

Ref Env::callable(Key argument, Key result) {
    PyObject* arg = get(argument);
    PyObject* res = arg ? get(result) : nullptr;
    return res ? callable(arg, res) : Ref{};
}

namespace {

// `{"*"}` in a row's parameters, as in a `def`: the ones after it are keyword-only.
bool is_keyword_marker(const Param& param) { return param.name[0] == '*' && param.name[1] == '\0'; }

// The parameters' names, without the marker; `keyword_only` counts those after it.
Ref parameter_names(const Function& row, Py_ssize_t& keyword_only) {
    std::vector<const char*> names;
    keyword_only = 0;
    bool after_marker = false;
    for (const Param& param : row.params) {
        if (is_keyword_marker(param))
            after_marker = true;
        else
            names.push_back(param.name), keyword_only += after_marker;
    }
    return interned_tuple(names, [](const char* name) { return name; });
}

// The defaults of the trailing parameters that have one, or None when none has.
Ref defaults_of(Env& env, const Function& row) {
    std::vector<PyObject*> values;
    for (const Param& param : row.params) {
        if (is_keyword_marker(param)) continue;
        if (!param.default_value && !values.empty()) {
            PyErr_Format(PyExc_SystemError, "%s(): parameter %s without a default follows one with a default",
                         row.name, param.name);
            return {};
        }
        if (!param.default_value) continue;
        PyObject* value = env.get(param.default_value);
        if (!value) return {};
        values.push_back(value);
    }
    if (values.empty()) return Ref::none();
    Ref tuple = Ref::steal(PyTuple_New(Py_ssize_t(values.size())));
    if (!tuple) return {};
    for (std::size_t i = 0; i < values.size(); ++i) PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(i), Py_NewRef(values[i]));
    return tuple;
}

// Sets `key: annotation` in `dict` when the annotation is given.
int annotate(Env& env, PyObject* dict, const char* key, Key annotation) {
    if (!annotation) return 0;
    PyObject* value = env.get(annotation);
    return value ? PyDict_SetItemString(dict, key, value) : -1;
}

// The annotations dict: the parameters' in order, then "return".
Ref annotations_of(Env& env, const Function& row) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    for (const Param& param : row.params)
        if (annotate(env, dict.get(), param.name, param.annotation) < 0) return {};
    if (annotate(env, dict.get(), "return", row.returns) < 0) return {};
    return dict;
}

// `decorator(fn)` for a named module global, then the wrapper of the row's kind.
Ref decorate(Env& env, const Function& row, Ref fn) {
    if (row.decorator) {
        Ref decorator = module_global(env.module(), row.decorator);
        fn = decorator ? call(decorator.get(), {fn.get()}) : Ref{};
        if (!fn) return {};
    }
    if (row.kind == Kind::Static) return call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), {fn.get()});
    if (row.kind == Kind::Property) return call(reinterpret_cast<PyObject*>(&PyProperty_Type), {fn.get()});
    return fn;
}

Ref make_function(Env& env, const Function& row, const char* owner, PyObject* closure) {
    FunctionObjects parts;
    parts.name = Ref::steal(PyUnicode_InternFromString(row.name));
    parts.qualname = Ref::steal(owner ? PyUnicode_FromFormat("%s.%s", owner, row.name)
                                      : PyUnicode_FromString(row.name));
    parts.doc = row.doc ? Ref::steal(PyUnicode_FromString(row.doc)) : Ref::none();
    parts.params = parameter_names(row, parts.keyword_only);
    if (!parts.name || !parts.qualname || !parts.doc || !parts.params) return {};
    parts.defaults = defaults_of(env, row);
    parts.annotations = parts.defaults ? annotations_of(env, row) : Ref{};
    if (!parts.complete()) return {};
    Ref fn = new_function(env.module(), std::move(parts), row.impl, row.kind == Kind::Coroutine, closure);
    return fn ? decorate(env, row, std::move(fn)) : Ref{};
}

// __slots__ and the fields' annotations, in slot order.
int add_slots(Env& env, PyObject* ns, const Class& cls) {
    Ref slots = interned_tuple(cls.slots, [](const Param& field) { return field.name; });
    if (!slots || PyDict_SetItemString(ns, "__slots__", slots.get()) < 0) return -1;
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return -1;
    for (const Param& field : cls.slots)
        if (annotate(env, annotations.get(), field.name, field.annotation) < 0) return -1;
    return PyDict_SetItemString(ns, "__annotations__", annotations.get());
}

Ref bases_of(Env& env, const Class& cls) {
    if (!cls.base) return new_tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    PyObject* base = env.get(cls.base);
    return base ? new_tuple({base}) : Ref{};
}

int bind(Env& env, const Entry& entry) {
    Ref value;
    switch (entry.what) {
        case Entry::What::Import: value = import(entry.source); break;
        case Entry::What::ImportName: value = import_from(entry.source, entry.attribute); break;
        case Entry::What::Value: value = Ref::borrow(env.get(entry.source)); break;
        case Entry::What::Function: value = make(env, *entry.function, nullptr); break;
        case Entry::What::Class: value = make(env, *entry.cls); break;
    }
    return value ? PyModule_AddObjectRef(env.module(), entry.name, value.get()) : -1;
}

}  // namespace

Ref make(Env& env, const Function& row, const char* owner) { return make_function(env, row, owner, nullptr); }

Ref make(Env& env, const Class& cls) {
    Ref ns = class_namespace(env.module(), cls.name, cls.doc);
    if (!ns || (cls.slots.size() && add_slots(env, ns.get(), cls) < 0)) return {};
    for (const Function& row : cls.body) {
        Ref fn = make(env, row, cls.name);
        if (!fn || PyDict_SetItemString(ns.get(), row.name, fn.get()) < 0) return {};
    }
    if (set_static_attributes(ns.get(), cls.static_attributes) < 0) return {};
    Ref bases = bases_of(env, cls);
    Ref made = bases ? make_class(cls.name, bases.get(), ns.get()) : Ref{};
    if (!made || !cls.decorator) return made;
    Ref decorator = module_global(env.module(), cls.decorator);
    return decorator ? call(decorator.get(), {made.get()}) : Ref{};
}

int run(Env& env, std::span<const Entry> body) {
    for (const Entry& entry : body)
        if (bind(env, entry) < 0) return -1;
    return 0;
}

Ref make_nested(PyObject* module, const Function& row, const char* owner, PyObject* closure) {
    Env env(module);
    return make_function(env, row, owner, closure);
}

}  // namespace zv::table
