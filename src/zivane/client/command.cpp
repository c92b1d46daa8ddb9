// The client command: `main` sends one request and prints the response.
#include "client/connect.hpp"
#include "client/session.hpp"
#include "common/address_book.hpp"
#include "common/arguments.hpp"
#include "common/command_line.hpp"
#include "common/service.hpp"
#include "support/ascii.hpp"
#include "support/native_coroutine.hpp"
#include "support/tables.hpp"

#include <chrono>
#include <cstdio>
#include <string>

namespace zv::client {
namespace {

// clang-format off
const command_line::Argument kArguments[] = {
    {.flags = {"destination"}, .type = &PyUnicode_Type,
     .help = "Server destination hash, or a name of ~/.zivane/names"},
    {.flags = {"port"}, .type = &PyLong_Type, .help = "Server port"},
    // Method and path may be left out: GET and / then apply.
    {.flags = {"method"}, .nargs = "?", .type = &PyUnicode_Type, .default_value = "GET",
     .help = "HTTP method"},
    {.flags = {"path"}, .nargs = "?", .type = &PyUnicode_Type, .default_value = "/",
     .help = "Request path"},
    {.flags = {"--config"}, .type = &PyUnicode_Type, .help = "RNS config directory"},
    {.flags = {"--identity"}, .type = &PyUnicode_Type, .help = "Identity file path"},
    {.flags = {"-v", "--verbose"}, .action = "store_true", .dest = "verbose",
     .help = "Enable verbose logging"},
    {.flags = {"-H", "--header"}, .action = "append", .dest = "header",
     .help = "Add header (Format: Name: Value)"},
    {.flags = {"--body"}, .type = &PyUnicode_Type, .help = "Request body"},
    {.flags = {"-r", "--response-code"}, .action = "store_true", .dest = "response_code",
     .help = "Print the response code and exit"},
    {.flags = {"-q", "--quiet"}, .action = "store_true", .dest = "quiet",
     .help = "Say nothing on standard error about what a slow request waits for"},
    {.flags = {"--connect-timeout"}, .type = &PyFloat_Type, .default_value = "120",
     .help = "Seconds to find a path to the server and link to it (default 120: a route over "
             "several radio hops can take a minute)",
     .metavar = "SECONDS"},
    {.flags = {"--timeout"}, .type = &PyFloat_Type, .default_value = "60",
     .help = "Seconds to wait for the answer to begin once the request is out (default 60)",
     .metavar = "SECONDS"},
};
// clang-format on

Ref text(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }

// Raises parser.error's SystemExit for an -H entry that names no header.
void refuse_header(PyObject* parser, PyObject* entry) {
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "argument -H/--header: invalid header %R (expected 'Name: Value' or 'Name=Value')", entry));
    if (message) call_method(parser, ZV_STR("error"), {message.get()});
}

// Adds one entry to `headers`: "Name: Value" or "Name=Value", whichever separator comes
// first; an entry with neither (or with no name) is a usage error rather than silently
// dropped. 0, or -1 with an exception set.
int add_header(PyObject* parser, PyObject* headers, PyObject* entry) {
    Py_ssize_t size = PyUnicode_GetLength(entry);
    if (size < 0) return -1;
    Py_ssize_t colon = PyUnicode_FindChar(entry, ':', 0, size, 1);
    Py_ssize_t equals = PyUnicode_FindChar(entry, '=', 0, size, 1);
    if (colon == -2 || equals == -2) return -1;
    bool by_colon = colon >= 0 && (equals < 0 || colon < equals);
    Py_ssize_t at = by_colon ? colon : equals;
    if (at <= 0) {
        refuse_header(parser, entry);
        return -1;
    }
    Ref name = Ref::steal(PyUnicode_Substring(entry, 0, at));
    Ref value = Ref::steal(PyUnicode_Substring(entry, at + 1, size));
    if (!name || !value) return -1;
    if (by_colon) {
        Ref blanks = text(" \t");
        value = blanks ? call_method(value.get(), ZV_STR("strip"), {blanks.get()}) : Ref{};
        if (!value) return -1;
    }
    return PyDict_SetItem(headers, name.get(), value.get());
}

// The request's headers from the -H entries (None when there were none).
Ref build_headers(PyObject* parser, PyObject* entries) {
    Ref headers = Ref::steal(PyDict_New());
    if (!headers || entries == Py_None) return headers;
    Ref iter = Ref::steal(PyObject_GetIter(entries));
    if (!iter) return {};
    while (Ref entry = Ref::steal(PyIter_Next(iter.get())))
        if (add_header(parser, headers.get(), entry.get()) < 0) return {};
    if (PyErr_Occurred()) return {};
    return headers;
}

// ----- printing the response ----------------------------------------------------------------

bool write_text(PyObject* sys, PyObject* line) {
    Ref out = attr(sys, "stdout");
    return out && call_method(out.get(), ZV_STR("write"), {line});
}

// "HTTP/1.1 200 OK", a line per header and an empty line, on sys.stdout.
bool print_head(PyObject* sys, PyObject* response, PyObject* status) {
    Ref version = attr(response, "version");
    Ref reason = version ? attr(response, "reason") : Ref{};
    Ref line = reason ? fstring({version.get(), ZV_STR(" "), status, ZV_STR(" "), reason.get(), ZV_STR("\n")})
                      : Ref{};
    if (!line || !write_text(sys, line.get())) return false;
    Ref headers = attr(response, "headers");
    Ref items = headers ? call_method(headers.get(), ZV_STR("items")) : Ref{};
    Ref iter = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref{};
    if (!iter) return false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Ref name = Ref::steal(PySequence_GetItem(item.get(), 0));
        Ref value = name ? Ref::steal(PySequence_GetItem(item.get(), 1)) : Ref{};
        Ref header_line = value ? fstring({name.get(), ZV_STR(": "), value.get(), ZV_STR("\n")}) : Ref{};
        if (!header_line || !write_text(sys, header_line.get())) return false;
    }
    return !PyErr_Occurred() && write_text(sys, ZV_STR("\n"));
}

// The body as bytes. The head goes through the text layer and the body through the byte
// layer under it: the text layer is flushed first so the body cannot overtake the head.
bool print_body(PyObject* sys, PyObject* response) {
    Ref out = attr(sys, "stdout");
    if (!out || !call_method(out.get(), ZV_STR("flush"))) return false;
    Ref body = attr(response, "body");
    int has_body = body ? PyObject_IsTrue(body.get()) : -1;
    if (has_body < 0) return false;
    Ref raw = attr(out.get(), "buffer");
    if (!raw) return false;
    if (has_body && !call_method(raw.get(), ZV_STR("write"), {body.get()})) return false;
    return bool(call_method(raw.get(), ZV_STR("flush")));
}

void raise_system_exit(long value, PyObject* context) {
    Ref code = Ref::steal(PyLong_FromLong(value));
    Ref exit = code ? call(PyExc_SystemExit, {code.get()}) : Ref{};
    if (!exit) return;
    if (context) PyException_SetContext(exit.get(), Py_NewRef(context));
    PyErr_SetRaisedException(exit.release());
}

// Prints the response as the options ask, then raises SystemExit with the status's verdict.
void print_response(PyObject* module, PyObject* args, PyObject* response) {
    Ref sys = module_global(module, ZV_STR("sys"));
    Ref code_only = sys ? attr(args, "response_code") : Ref{};
    Ref status = code_only ? attr(response, "status") : Ref{};
    int only = status ? PyObject_IsTrue(code_only.get()) : -1;
    if (only < 0) return;
    if (only) {
        Ref print = module_global(module, ZV_STR("print"));
        if (!print || !call(print.get(), {status.get()})) return;
    } else if (!print_head(sys.get(), response, status.get()) || !print_body(sys.get(), response)) {
        return;
    }
    Ref limit = Ref::steal(PyLong_FromLong(400));
    int below = limit ? PyObject_RichCompareBool(status.get(), limit.get(), Py_LT) : -1;
    if (below < 0) return;
    // Everything out before the exit: Reticulum may end the process at interpreter exit.
    command_line::flush_output(module);
    raise_system_exit(below ? 0 : 1, nullptr);
}

// ----- the command ---------------------------------------------------------------------------

// What the command sends, and to whom.
struct Request {
    Ref args;     // the parsed command line
    Ref headers;  // dict
    Ref body;     // bytes, or None
    Ref client;   // HttpClient
};

// A destination given as a name of the address book ("name" or "name.rns"), or as
// "<hash>.rns", becomes the hash in args.destination; anything else is left to
// check_destination, as is a name not bound in a names file without faults. 0, or -1
// with an exception set (an error exit for a name a line of the file makes unusable, or
// one not bound where some line could not be read).
int resolve_destination(PyObject* module, PyObject* args) {
    Ref destination = attr(args, "destination");
    if (!destination || !PyUnicode_Check(destination.get())) return destination ? 0 : -1;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(destination.get(), &size);
    if (!utf8) return -1;
    std::string text(utf8, std::size_t(size));
    for (char& c : text) c = ascii::to_lower(c);
    if (text.ends_with(".rns")) text.resize(text.size() - 4);
    std::string hash;
    if (address_book::is_hash(text)) {
        hash = text;
    } else if (address_book::valid_name(text)) {
        address_book::Binding binding;
        std::string error;
        address_book::Found found = address_book::lookup(text, binding, error);
        if (found == address_book::Found::Unknown && address_book::problems().empty()) return 0;
        if (found != address_book::Found::Bound) {
            Ref message = Ref::steal(PyUnicode_DecodeUTF8(error.data(), Py_ssize_t(error.size()), "replace"));
            return message ? command_line::fail(module, command_line::kUsageStatus, message.get()) : -1;
        }
        hash = binding.hash;
    } else {
        return 0;
    }
    Ref value = Ref::steal(PyUnicode_FromStringAndSize(hash.data(), Py_ssize_t(hash.size())));
    return value ? PyObject_SetAttrString(args, "destination", value.get()) : -1;
}

// The parsed command line, its destination and port checked; *headers from its -H entries.
Ref parse_command_line(PyObject* module, Ref* headers) {
    Ref parser = command_line::make_parser(module, "HTTP/1.1 client over Reticulum", kArguments);
    Ref args = parser ? call_method(parser.get(), ZV_STR("parse_args")) : Ref{};
    Ref entries = args ? attr(args.get(), "header") : Ref{};
    *headers = entries ? build_headers(parser.get(), entries.get()) : Ref{};
    if (*headers && resolve_destination(module, args.get()) < 0) return {};
    Ref destination = *headers ? attr(args.get(), "destination") : Ref{};
    Ref port = destination ? attr(args.get(), "port") : Ref{};
    if (!port || command_line::check_destination(module, destination.get()) < 0 ||
        command_line::check_port(module, port.get()) < 0)
        return {};
    double seconds;
    if (command_line::seconds_option(module, args.get(), "connect_timeout", "--connect-timeout", &seconds) <
            0 ||
        command_line::seconds_option(module, args.get(), "timeout", "--timeout", &seconds) < 0)
        return {};
    return args;
}

// --body as UTF-8, None when absent or empty.
Ref request_body(PyObject* args) {
    Ref body_text = attr(args, "body");
    if (!body_text) return {};
    int has_body = body_text.is_none() ? 0 : PyObject_IsTrue(body_text.get());
    if (has_body < 0) return {};
    return has_body ? Ref::steal(PyUnicode_AsUTF8String(body_text.get())) : Ref::none();
}

// HttpClient(destination_hash=args.destination, port=args.port, identity_path=args.identity,
// connect_timeout=args.connect_timeout, request_timeout=args.timeout); unless args.quiet, the
// client's connect tells standard error what it waits for (its `_progress` hook).
Ref make_client(PyObject* module, PyObject* args) {
    Ref client_type = module_global(module, ZV_STR("HttpClient"));
    Ref destination = client_type ? attr(args, "destination") : Ref{};
    Ref port = destination ? attr(args, "port") : Ref{};
    Ref identity = port ? attr(args, "identity") : Ref{};
    Ref connect_timeout = identity ? attr(args, "connect_timeout") : Ref{};
    Ref timeout = connect_timeout ? attr(args, "timeout") : Ref{};
    Ref names = timeout ? new_tuple({ZV_STR("destination_hash"), ZV_STR("port"), ZV_STR("identity_path"),
                                     ZV_STR("connect_timeout"), ZV_STR("request_timeout")})
                        : Ref{};
    Ref client =
        names ? call_kw(client_type.get(),
                        {destination.get(), port.get(), identity.get(), connect_timeout.get(), timeout.get()},
                        names.get())
              : Ref{};
    Ref quiet = client ? attr(args, "quiet") : Ref{};
    int is_quiet = quiet ? PyObject_IsTrue(quiet.get()) : -1;
    if (is_quiet != 0) return is_quiet > 0 ? client : Ref{};
    Ref printer = service::progress_printer(module, false);
    if (!printer || PyObject_SetAttr(client.get(), ZV_STR("_progress"), printer.get()) < 0) return {};
    return client;
}

// ----- the wait for the answer ------------------------------------------------------------

// After a second without an answer, a timer's thread tells the client's progress hook (the
// connect's own stages tell it themselves); once the answer is in, how long it took.
constexpr double kQuietWait = 1.0;

// Calls client._progress(text) when the client has one. False with an exception set.
bool tell(PyObject* client, PyObject* text) {
    PyObject* hook = nullptr;
    if (PyObject_GetOptionalAttr(client, ZV_STR("_progress"), &hook) < 0) return false;
    Ref watcher = Ref::steal(hook);
    return !watcher || watcher.is_none() || call(watcher.get(), {text});
}

// The timer's function: marks that it spoke (captured list of one bool), then speaks.
PyObject* answer_late_impl(NativeFunction* fn, PyObject* const*) {
    if (PyList_SetItem(captured(fn, 2), 0, Py_NewRef(Py_True)) < 0 || !tell(captured(fn, 0), captured(fn, 1)))
        PyErr_Clear();  // a lost line is all this may cost the request
    return Py_NewRef(Py_None);
}

const table::Function kAnswerLate = {"_answer_late", {}, "None", nullptr, answer_late_impl};

class AnswerWatch {
public:
    // Starts the timer, unless the client has no progress hook. False with an exception set.
    bool start(PyObject* module, PyObject* args, PyObject* client) {
        PyObject* hook = nullptr;
        if (PyObject_GetOptionalAttr(client, ZV_STR("_progress"), &hook) < 0) return false;
        Ref watcher = Ref::steal(hook);
        if (!watcher || watcher.is_none()) return true;
        Ref seconds = attr(args, "timeout");
        double limit = seconds ? PyFloat_AsDouble(seconds.get()) : -1;
        if (limit == -1 && PyErr_Occurred()) return false;
        char text[200];
        std::snprintf(text, sizeof text, "Waiting for the answer from %s (time-out %.0f s)",
                      destination_text(client).c_str(), limit);
        Ref line = Ref::steal(PyUnicode_FromString(text));
        fired_ = line ? Ref::steal(Py_BuildValue("[O]", Py_False)) : Ref{};
        Ref closure = fired_ ? new_tuple({client, line.get(), fired_.get()}) : Ref{};
        Ref late = closure ? table::make_nested(module, kAnswerLate, "main.<locals>", closure.get()) : Ref{};
        Ref threading = late ? module_global(module, ZV_STR("threading")) : Ref{};
        Ref timer_type = threading ? attr(threading.get(), ZV_STR("Timer")) : Ref{};
        Ref delay = timer_type ? Ref::steal(PyFloat_FromDouble(kQuietWait)) : Ref{};
        timer_ = delay ? call(timer_type.get(), {delay.get(), late.get()}) : Ref{};
        if (!timer_ || PyObject_SetAttr(timer_.get(), ZV_STR("daemon"), Py_True) < 0) return false;
        started_ = std::chrono::steady_clock::now();
        return bool(call_method(timer_.get(), ZV_STR("start")));
    }

    // Stops the timer; when it spoke, says how long the answer took. Keeps the exception
    // set now, if any.
    void stop(PyObject* client) {
        if (!timer_) return;
        SavedError pending;
        if (!call_method(timer_.get(), ZV_STR("cancel")) || !call_method(timer_.get(), ZV_STR("join")))
            PyErr_Clear();
        if (!pending && PyList_GET_ITEM(fired_.get(), 0) == Py_True) {
            double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
            char text[200];
            std::snprintf(text, sizeof text, "Answer from %s after %.1f s", destination_text(client).c_str(),
                          took);
            Ref line = Ref::steal(PyUnicode_FromString(text));
            if (!line || !tell(client, line.get())) PyErr_Clear();
        }
        pending.restore();
    }

private:
    Ref timer_, fired_;
    std::chrono::steady_clock::time_point started_;
};

// Ctrl-C raises KeyboardInterrupt again once Reticulum has started. Reticulum's own
// handler ends the process with status 0 at once, which tells a script that an
// interrupted request succeeded; KeyboardInterrupt ends the waits (they check for
// signals), closes the client and exits with status 130.
bool interrupt_as_python_does() {
    Ref signal_module = import("signal");
    Ref handler = signal_module ? attr(signal_module.get(), "default_int_handler") : Ref{};
    Ref number = handler ? attr(signal_module.get(), "SIGINT") : Ref{};
    return number && call_method(signal_module.get(), ZV_STR("signal"), {number.get(), handler.get()});
}

// Everything before the client connects. False with an exception set.
bool prepare(PyObject* module, Request& r) {
    r.args = parse_command_line(module, &r.headers);
    Ref config = r.args ? command_line::configuration(module, r.args.get()) : Ref{};
    if (!config || command_line::start_reticulum(module, r.args.get(), config.get()) < 0) return false;
    if (!interrupt_as_python_does()) return false;
    r.body = request_body(r.args.get());
    r.client = r.body ? make_client(module, r.args.get()) : Ref{};
    return bool(r.client);
}

// client.request(path=args.path, method=args.method.upper(), headers=..., body=...)
Ref send_request(const Request& r) {
    Ref path = attr(r.args.get(), "path");
    Ref method_text = path ? attr(r.args.get(), "method") : Ref{};
    Ref method = method_text ? call_method(method_text.get(), ZV_STR("upper")) : Ref{};
    Ref request = method ? attr(r.client.get(), ZV_STR("request")) : Ref{};
    Ref names =
        request ? new_tuple({ZV_STR("path"), ZV_STR("method"), ZV_STR("headers"), ZV_STR("body")}) : Ref{};
    if (!names) return {};
    return call_kw(request.get(), {path.get(), method.get(), r.headers.get(), r.body.get()}, names.get());
}

// type(client).__aexit__(client, ...) for the body's exception `error` (or none).
Ref exit_call(PyObject* aexit, PyObject* client, const SavedError& error) {
    if (!error) return call(aexit, {client, Py_None, Py_None, Py_None});
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
    Ref tb = Ref::steal(PyException_GetTraceback(error.get()));
    return call(aexit, {client, type, error.get(), tb ? tb.get() : Py_None});
}

// How `async with` ends once __aexit__ has answered `left` (empty: it raised): None, or
// empty with the exception that leaves the statement set.
Ref after_exit(const Ref& left, SavedError& error) {
    if (!error) return left ? Ref::none() : Ref{};
    if (!left) {
        SavedError later;
        PyException_SetContext(later.get(), Py_NewRef(error.get()));
        later.restore();
        return {};
    }
    int suppressed = PyObject_IsTrue(left.get());
    if (suppressed > 0) return Ref::none();
    if (suppressed == 0) error.restore();
    return {};
}

// The exception set ends the command; a TransportError as "Error: ..." on standard error
// and exit status 1.
Ref report_failure(PyObject* module) {
    Ref transport_error = module_global(module, ZV_STR("TransportError"));
    if (!transport_error || !PyErr_Occurred() || !PyErr_ExceptionMatches(transport_error.get())) return {};
    SavedError error;
    Ref message = Ref::steal(PyUnicode_FromFormat("Error: %S", error.get()));
    Ref sys = message ? module_global(module, ZV_STR("sys")) : Ref{};
    Ref err = sys ? attr(sys.get(), "stderr") : Ref{};
    Ref print = err ? module_global(module, ZV_STR("print")) : Ref{};
    Ref names = print ? new_tuple({ZV_STR("file")}) : Ref{};
    if (!names || !call_kw(print.get(), {message.get(), err.get()}, names.get())) {
        SavedError later;
        PyException_SetContext(later.get(), Py_NewRef(error.get()));
        later.restore();
        return {};
    }
    command_line::flush_output(module);
    raise_system_exit(1, error.get());
    return {};
}

CoBody main_body(Ref module_ref) {
    PyObject* module = module_ref.get();
    Request r;
    if (!prepare(module, r)) co_return Ref{};

    // async with client: ...
    PyObject* manager_type = reinterpret_cast<PyObject*>(Py_TYPE(r.client.get()));
    Ref aenter = attr(manager_type, ZV_STR("__aenter__"));
    Ref aexit = aenter ? attr(manager_type, ZV_STR("__aexit__")) : Ref{};
    Ref entering = aexit ? call(aenter.get(), {r.client.get()}) : Ref{};
    Ref entered = co_await Await(entering.get());
    Ref outcome;
    if (entered) {
        AnswerWatch watch;
        Ref pending = watch.start(module, r.args.get(), r.client.get()) ? send_request(r) : Ref{};
        Ref response = co_await Await(pending.get());
        watch.stop(r.client.get());
        if (response) print_response(module, r.args.get(), response.get());
        SavedError error;  // empty when the body ran through
        Ref leaving = exit_call(aexit.get(), r.client.get(), error);
        Ref left = co_await Await(leaving.get());
        outcome = after_exit(left, error);
    }
    if (!outcome) co_return report_failure(module);
    co_return outcome;
}

}  // namespace

PyObject* command_main(NativeFunction* fn, PyObject* const*) {
    return make_coroutine(fn, main_body(Ref::borrow(fn->module)));
}

}  // namespace zv::client
