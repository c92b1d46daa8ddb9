// The client command: `main` sends one request and prints the response.
#include "client/session.hpp"
#include "common/command_line.hpp"
#include "support/native_coroutine.hpp"

#include <iterator>

namespace zv::client {
namespace {

struct Kw {
    const char* name;
    PyObject* value;  // borrowed
};

Ref text(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }

// callable(*positional, **{kw.name: kw.value})
Ref call_with(PyObject* callable, std::initializer_list<PyObject*> positional,
              std::initializer_list<Kw> kws) {
    PyObject* stack[16];
    if (positional.size() + kws.size() > std::size(stack)) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for call_with");
        return {};
    }
    size_t n = 0;
    for (PyObject* p : positional) stack[n++] = p;
    Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kws.size())));
    if (!kwnames) return {};
    Py_ssize_t i = 0;
    for (const Kw& kw : kws) {
        PyObject* key = PyUnicode_InternFromString(kw.name);
        if (!key) return {};
        PyTuple_SET_ITEM(kwnames.get(), i++, key);
        stack[n++] = kw.value;
    }
    return Ref::steal(PyObject_Vectorcall(callable, stack, positional.size(),
                                          kws.size() ? kwnames.get() : nullptr));
}

Ref build_parser(PyObject* module) {
    Ref argparse = module_global(module, ZV_STR("argparse"));
    Ref cls = argparse ? attr(argparse.get(), "ArgumentParser") : Ref{};
    Ref description = text("HTTP/1.1 client over Reticulum");
    if (!cls || !description) return {};
    Ref parser = call_with(cls.get(), {}, {{"description", description.get()}});
    Ref add = parser ? attr(parser.get(), "add_argument") : Ref{};
    if (!add) return {};
    PyObject* str = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    PyObject* integer = reinterpret_cast<PyObject*>(&PyLong_Type);
    Ref optional = text("?"), store_true = text("store_true"), append = text("append");
    Ref get = text("GET"), root = text("/");
    Ref names[] = {text("destination"), text("port"), text("method"), text("path"),
                   text("--config"), text("--identity"), text("-v"), text("--verbose"),
                   text("-H"), text("--header"), text("--body"), text("-r"),
                   text("--response-code"), text("verbose"), text("header"), text("response_code")};
    Ref helps[] = {text("Server destination hash"), text("Server port"), text("HTTP method"),
                   text("Request path"), text("RNS config directory"), text("Identity file path"),
                   text("Enable verbose logging"), text("Add header (Format: Name: Value)"),
                   text("Request body"), text("Print the response code and exit")};
    for (const Ref& r : names)
        if (!r) return {};
    for (const Ref& r : helps)
        if (!r) return {};
    if (!optional || !store_true || !append || !get || !root) return {};
    PyObject* a = add.get();
    if (!call_with(a, {names[0].get()}, {{"type", str}, {"help", helps[0].get()}}) ||
        !call_with(a, {names[1].get()}, {{"type", integer}, {"help", helps[1].get()}}) ||
        // Method and path may be left out: GET and / then apply.
        !call_with(a, {names[2].get()},
                   {{"nargs", optional.get()}, {"type", str}, {"default", get.get()}, {"help", helps[2].get()}}) ||
        !call_with(a, {names[3].get()},
                   {{"nargs", optional.get()}, {"type", str}, {"default", root.get()}, {"help", helps[3].get()}}) ||
        !call_with(a, {names[4].get()}, {{"type", str}, {"help", helps[4].get()}}) ||
        !call_with(a, {names[5].get()}, {{"type", str}, {"help", helps[5].get()}}) ||
        !call_with(a, {names[6].get(), names[7].get()},
                   {{"action", store_true.get()}, {"dest", names[13].get()}, {"help", helps[6].get()}}) ||
        !call_with(a, {names[8].get(), names[9].get()},
                   {{"action", append.get()}, {"dest", names[14].get()}, {"help", helps[7].get()}}) ||
        !call_with(a, {names[10].get()}, {{"type", str}, {"help", helps[8].get()}}) ||
        !call_with(a, {names[11].get(), names[12].get()},
                   {{"action", store_true.get()}, {"dest", names[15].get()}, {"help", helps[9].get()}}))
        return {};
    return parser;
}

// Header entries are "Name: Value" or "Name=Value", whichever separator comes first; an
// entry with neither (or with no name) is a usage error rather than silently dropped.
Ref build_headers(PyObject* parser, PyObject* entries) {
    Ref headers = Ref::steal(PyDict_New());
    if (!headers || entries == Py_None) return headers;
    Ref iter = Ref::steal(PyObject_GetIter(entries));
    if (!iter) return {};
    while (Ref entry = Ref::steal(PyIter_Next(iter.get()))) {
        Py_ssize_t size = PyUnicode_GetLength(entry.get());
        if (size < 0) return {};
        Py_ssize_t colon = PyUnicode_FindChar(entry.get(), ':', 0, size, 1);
        Py_ssize_t equals = PyUnicode_FindChar(entry.get(), '=', 0, size, 1);
        if (colon == -2 || equals == -2) return {};
        bool by_colon = colon >= 0 && (equals < 0 || colon < equals);
        Py_ssize_t at = by_colon ? colon : equals;
        if (at <= 0) {
            Ref message = Ref::steal(PyUnicode_FromFormat(
                "argument -H/--header: invalid header %R (expected 'Name: Value' or 'Name=Value')",
                entry.get()));
            if (message) call_method(parser, ZV_STR("error"), {message.get()});
            return {};
        }
        Ref name = Ref::steal(PyUnicode_Substring(entry.get(), 0, at));
        Ref value = Ref::steal(PyUnicode_Substring(entry.get(), at + 1, size));
        if (!name || !value) return {};
        if (by_colon) {
            Ref blanks = text(" \t");
            value = blanks ? call_method(value.get(), ZV_STR("strip"), {blanks.get()}) : Ref{};
            if (!value) return {};
        }
        if (PyDict_SetItem(headers.get(), name.get(), value.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return headers;
}

Ref stdout_of(PyObject* sys) { return attr(sys, "stdout"); }

bool write_text(PyObject* sys, PyObject* line) {
    Ref out = stdout_of(sys);
    return out && call_method(out.get(), ZV_STR("write"), {line});
}

Ref formatted(PyObject* value) {
    Ref spec = Ref::steal(PyUnicode_FromString(""));
    return spec ? Ref::steal(PyObject_Format(value, spec.get())) : Ref{};
}

// Prints the response as the options ask, then raises SystemExit with the status's verdict.
void print_response(PyObject* module, PyObject* args, PyObject* response) {
    Ref sys = module_global(module, ZV_STR("sys"));
    Ref code_only = sys ? attr(args, "response_code") : Ref{};
    Ref status = code_only ? attr(response, "status") : Ref{};
    if (!status) return;
    int only = PyObject_IsTrue(code_only.get());
    if (only < 0) return;
    if (only) {
        Ref print = module_global(module, ZV_STR("print"));
        if (!print || !call(print.get(), {status.get()})) return;
    } else {
        Ref version = attr(response, "version");
        Ref reason = version ? attr(response, "reason") : Ref{};
        Ref v = reason ? formatted(version.get()) : Ref{};
        Ref s = v ? formatted(status.get()) : Ref{};
        Ref r = s ? formatted(reason.get()) : Ref{};
        Ref line = r ? Ref::steal(PyUnicode_FromFormat("%U %U %U\n", v.get(), s.get(), r.get())) : Ref{};
        if (!line || !write_text(sys.get(), line.get())) return;
        Ref headers = attr(response, "headers");
        Ref items = headers ? call_method(headers.get(), ZV_STR("items")) : Ref{};
        Ref iter = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref{};
        if (!iter) return;
        while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
            Ref name = Ref::steal(PySequence_GetItem(item.get(), 0));
            Ref value = name ? Ref::steal(PySequence_GetItem(item.get(), 1)) : Ref{};
            Ref n = value ? formatted(name.get()) : Ref{};
            Ref val = n ? formatted(value.get()) : Ref{};
            Ref header_line = val ? Ref::steal(PyUnicode_FromFormat("%U: %U\n", n.get(), val.get())) : Ref{};
            if (!header_line || !write_text(sys.get(), header_line.get())) return;
        }
        if (PyErr_Occurred()) return;
        Ref blank = text("\n");
        if (!blank || !write_text(sys.get(), blank.get())) return;
        // The head goes through the text layer and the body through the byte layer under
        // it: flush the text layer first so the body cannot overtake the head.
        Ref out = stdout_of(sys.get());
        if (!out || !call_method(out.get(), ZV_STR("flush"))) return;
        Ref body = attr(response, "body");
        if (!body) return;
        int has_body = PyObject_IsTrue(body.get());
        if (has_body < 0) return;
        Ref raw = attr(out.get(), "buffer");
        if (!raw) return;
        if (has_body && !call_method(raw.get(), ZV_STR("write"), {body.get()})) return;
        if (!call_method(raw.get(), ZV_STR("flush"))) return;
    }
    Ref limit = Ref::steal(PyLong_FromLong(400));
    if (!limit) return;
    int below = PyObject_RichCompareBool(status.get(), limit.get(), Py_LT);
    if (below < 0) return;
    // Everything out before the exit: Reticulum may end the process at interpreter exit.
    command_line::flush_output(module);
    Ref code = Ref::steal(PyLong_FromLong(below ? 0 : 1));
    Ref exit = code ? call(PyExc_SystemExit, {code.get()}) : Ref{};
    if (exit) PyErr_SetRaisedException(exit.release());
}

void raise_system_exit(long value, PyObject* context) {
    Ref code = Ref::steal(PyLong_FromLong(value));
    Ref exit = code ? call(PyExc_SystemExit, {code.get()}) : Ref{};
    if (!exit) return;
    if (context) PyException_SetContext(exit.get(), Py_NewRef(context));
    PyErr_SetRaisedException(exit.release());
}

CoBody main_body(Ref module_ref) {
    PyObject* module = module_ref.get();
    Ref parser = build_parser(module);
    Ref args = parser ? call_method(parser.get(), ZV_STR("parse_args")) : Ref{};
    if (!args) co_return Ref{};
    Ref header_entries = attr(args.get(), "header");
    Ref headers = header_entries ? build_headers(parser.get(), header_entries.get()) : Ref{};
    if (!headers) co_return Ref{};
    Ref destination_arg = attr(args.get(), "destination");
    Ref port_arg = destination_arg ? attr(args.get(), "port") : Ref{};
    if (!port_arg || command_line::check_destination(module, destination_arg.get()) < 0 ||
        command_line::check_port(module, port_arg.get()) < 0)
        co_return Ref{};

    Ref config = attr(args.get(), "config");
    if (!config) co_return Ref{};
    if (config.is_none()) {
        Ref os = module_global(module, ZV_STR("os"));
        Ref environ = os ? attr(os.get(), "environ") : Ref{};
        Ref key = text("RNS_CONFIG_PATH");
        config = environ && key ? call_method(environ.get(), ZV_STR("get"), {key.get(), Py_None}) : Ref{};
        if (!config) co_return Ref{};
    }
    if (command_line::check_configuration(module, config.get()) < 0) co_return Ref{};
    Ref rns = module_global(module, ZV_STR("RNS"));
    Ref verbose = rns ? attr(args.get(), "verbose") : Ref{};
    if (!verbose) co_return Ref{};
    int loud = PyObject_IsTrue(verbose.get());
    if (loud < 0) co_return Ref{};
    Ref level = attr(rns.get(), loud ? "LOG_VERBOSE" : "LOG_WARNING");
    Ref reticulum_cls = level ? attr(rns.get(), "Reticulum") : Ref{};
    Ref reticulum = reticulum_cls ? call(reticulum_cls.get(), {config.get(), level.get()}) : Ref{};
    if (!reticulum || command_line::keep_exit_status(module, rns.get()) < 0) co_return Ref{};

    Ref body_text = attr(args.get(), "body");
    if (!body_text) co_return Ref{};
    Ref body = Ref::none();
    int has_body = body_text.is_none() ? 0 : PyObject_IsTrue(body_text.get());
    if (has_body < 0) co_return Ref{};
    if (has_body) {
        body = Ref::steal(PyUnicode_AsUTF8String(body_text.get()));
        if (!body) co_return Ref{};
    }

    Ref client_cls = module_global(module, ZV_STR("HttpClient"));
    Ref destination = client_cls ? attr(args.get(), "destination") : Ref{};
    Ref port = destination ? attr(args.get(), "port") : Ref{};
    Ref identity = port ? attr(args.get(), "identity") : Ref{};
    if (!identity) co_return Ref{};
    Ref client = call_with(client_cls.get(), {},
                           {{"destination_hash", destination.get()},
                            {"port", port.get()},
                            {"identity_path", identity.get()}});
    if (!client) co_return Ref{};

    // async with client: ... (guarded by the TransportError handler below)
    Ref outcome;
    PyObject* manager_type = reinterpret_cast<PyObject*>(Py_TYPE(client.get()));
    Ref aenter = attr(manager_type, ZV_STR("__aenter__"));
    Ref aexit = aenter ? attr(manager_type, ZV_STR("__aexit__")) : Ref{};
    Ref entering = aexit ? call(aenter.get(), {client.get()}) : Ref{};
    Ref entered;
    if (entering) entered = co_await Await(entering.get());
    if (entered) {
        Ref path = attr(args.get(), "path");
        Ref method_text = path ? attr(args.get(), "method") : Ref{};
        Ref method = method_text ? call_method(method_text.get(), ZV_STR("upper")) : Ref{};
        Ref request = method ? attr(client.get(), ZV_STR("request")) : Ref{};
        Ref pending = request ? call_with(request.get(), {},
                                          {{"path", path.get()},
                                           {"method", method.get()},
                                           {"headers", headers.get()},
                                           {"body", body.get()}})
                              : Ref{};
        Ref response;
    if (pending) response = co_await Await(pending.get());
        if (response) print_response(module, args.get(), response.get());
        if (!PyErr_Occurred()) outcome = Ref::none();

        if (outcome) {
            Ref leaving = call(aexit.get(), {client.get(), Py_None, Py_None, Py_None});
            Ref left;
    if (leaving) left = co_await Await(leaving.get());
            if (!left) outcome = Ref{};
        } else {
            SavedError error;
            Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
            Ref tb = Ref::steal(PyException_GetTraceback(error.get()));
            Ref leaving = call(aexit.get(), {client.get(), type.get(), error.get(),
                                             tb ? tb.get() : Py_None});
            Ref left;
    if (leaving) left = co_await Await(leaving.get());
            if (!left) {
                SavedError later;
                PyException_SetContext(later.get(), Py_NewRef(error.get()));
                later.restore();
            } else {
                int suppressed = PyObject_IsTrue(left.get());
                if (suppressed > 0)
                    outcome = Ref::none();
                else if (suppressed == 0)
                    error.restore();
            }
        }
    }
    if (!outcome) {
        Ref transport_error = module_global(module, ZV_STR("TransportError"));
        if (!transport_error) co_return Ref{};
        if (!PyErr_Occurred() || !PyErr_ExceptionMatches(transport_error.get())) co_return Ref{};
        SavedError error;
        Ref message = Ref::steal(PyUnicode_FromFormat("Error: %S", error.get()));
        Ref sys = message ? module_global(module, ZV_STR("sys")) : Ref{};
        Ref err = sys ? attr(sys.get(), "stderr") : Ref{};
        Ref print = err ? module_global(module, ZV_STR("print")) : Ref{};
        if (!print || !call_with(print.get(), {message.get()}, {{"file", err.get()}})) {
            SavedError later;
            PyException_SetContext(later.get(), Py_NewRef(error.get()));
            later.restore();
            co_return Ref{};
        }
        command_line::flush_output(module);
        raise_system_exit(1, error.get());
        co_return Ref{};
    }
    co_return outcome;
}

PyObject* main_fn(NativeFunction* fn, PyObject* const*) {
    return make_coroutine(fn, main_body(Ref::borrow(fn->module)));
}

}  // namespace

int add_main(PyObject* module) {
    Ref fn = make_function(module, {"main", "main", nullptr, {}, main_fn, true}, {}, {});
    if (!fn) return -1;
    return PyModule_AddObjectRef(module, "main", fn.get());
}

}  // namespace zv::client
