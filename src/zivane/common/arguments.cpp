#include "common/arguments.hpp"

#include "support/globals.hpp"

#include <vector>

namespace zv::command_line {
namespace {

// The objects of one add_argument call: positional flags first, then keyword values, whose
// names `kwnames` holds.
struct Call {
    std::vector<Ref> owned;
    std::vector<PyObject*> stack;
    std::vector<PyObject*> names;
    Py_ssize_t positional = 0;

    bool text(const char* value) {
        owned.push_back(Ref::steal(PyUnicode_FromString(value)));
        stack.push_back(owned.back().get());
        return bool(owned.back());
    }
    bool keyword(PyObject* name, const char* value) {
        if (!value) return true;
        names.push_back(name);
        return text(value);
    }
    void keyword(PyObject* name, PyObject* value) {
        if (!value) return;
        names.push_back(name);
        stack.push_back(value);
    }
};

bool fill(Call& c, const Argument& row) {
    for (const char* flag : row.flags)
        if (!c.text(flag)) return false;
    c.positional = Py_ssize_t(c.stack.size());
    if (!c.keyword(ZV_STR("nargs"), row.nargs)) return false;
    c.keyword(ZV_STR("type"), reinterpret_cast<PyObject*>(row.type));
    return c.keyword(ZV_STR("default"), row.default_value) && c.keyword(ZV_STR("action"), row.action) &&
           c.keyword(ZV_STR("dest"), row.dest) && c.keyword(ZV_STR("help"), row.help) &&
           c.keyword(ZV_STR("metavar"), row.metavar);
}

int add_argument(PyObject* parser, const Argument& row) {
    Call c;
    if (!fill(c, row)) return -1;
    Ref kwnames = Ref::steal(PyTuple_New(Py_ssize_t(c.names.size())));
    if (!kwnames) return -1;
    for (std::size_t i = 0; i < c.names.size(); ++i)
        PyTuple_SET_ITEM(kwnames.get(), Py_ssize_t(i), Py_NewRef(c.names[i]));
    Ref add = attr(parser, ZV_STR("add_argument"));
    if (!add) return -1;
    Ref done = Ref::steal(PyObject_Vectorcall(add.get(), c.stack.data(), std::size_t(c.positional),
                                              c.names.empty() ? nullptr : kwnames.get()));
    return done ? 0 : -1;
}

}  // namespace

Ref make_parser(PyObject* module, const char* description, std::span<const Argument> arguments) {
    Ref argparse = module_global(module, ZV_STR("argparse"));
    Ref parser_type = argparse ? attr(argparse.get(), ZV_STR("ArgumentParser")) : Ref{};
    Ref text = parser_type ? Ref::steal(PyUnicode_FromString(description)) : Ref{};
    Ref names = text ? new_tuple({ZV_STR("description")}) : Ref{};
    Ref parser = names ? call_kw(parser_type.get(), {text.get()}, names.get()) : Ref{};
    for (const Argument& row : arguments)
        if (!parser || add_argument(parser.get(), row) < 0) return {};
    return parser;
}

}  // namespace zv::command_line
