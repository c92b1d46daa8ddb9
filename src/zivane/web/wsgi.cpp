// WSGI applications (PEP 3333) on the gateway's worker threads: the environ made from the
// request, wsgi.input reading the body off the link as the application reads it, and the
// answer written as the application's iterable produces it.
#include "web/functions.hpp"
#include "web/server.hpp"

#include "support/capsule.hpp"
#include "support/globals.hpp"
#include "support/tables.hpp"

namespace zv::web {
namespace {

using Event = http::MessageReader::Event;

// The body of one request as wsgi.input reads it. `link` is set while the request is
// served; the mutex keeps a read from another thread of the application in step.
struct Input {
    PyMutex mutex{};
    gateway::Link* link = nullptr;
    bool done = false;    // the body has ended
    bool broken = false;  // the link failed or timed out under a read
    std::string pending;  // read off the link, not yet by the application
};
using InputPtr = std::shared_ptr<Input>;
constexpr Capsule<InputPtr> kInput{"zivane.web.input"};

// Reads more of the body into `pending`: false (OSError set) when it cannot.
bool fill(Input& input) {
    if (!input.link || input.broken) {
        PyErr_SetString(PyExc_OSError, "the request is over");
        return false;
    }
    http::MessageReader::Event event;
    gateway::Pull pulled = gateway::pull(*input.link, false, event);
    if (pulled == gateway::Pull::Event && event == Event::Body) {
        input.pending.append(input.link->reader.piece());
        return true;
    }
    if (pulled == gateway::Pull::Event && event == Event::End) {
        input.done = true;
        return true;
    }
    input.broken = true;
    PyErr_SetString(PyExc_ConnectionError, "the request body did not arrive");
    return false;
}

// Up to `size` bytes (all for a negative size), or up to and including a newline.
Ref take(Input& input, Py_ssize_t size, bool line) {
    sync::MutexGuard guard(input.mutex);
    for (;;) {
        std::size_t end = std::string::npos;
        if (line) {
            std::size_t nl = input.pending.find('\n');
            if (nl != std::string::npos) end = nl + 1;
        }
        if (size >= 0 && input.pending.size() >= std::size_t(size)) end = std::min(end, std::size_t(size));
        if (end == std::string::npos && input.done) end = input.pending.size();
        if (end != std::string::npos) {
            Ref out = bytes_of(std::string_view(input.pending).substr(0, end));
            input.pending.erase(0, end);
            return out;
        }
        if (!fill(input)) return {};
    }
}

Input* input_of(PyObject* self) {
    Ref capsule = attr(self, ZV_STR("_state"));
    InputPtr* held = capsule ? kInput.get(capsule.get()) : nullptr;
    return held ? held->get() : nullptr;
}

bool size_of(PyObject* arg, Py_ssize_t& size) {
    size = arg == Py_None ? -1 : PyNumber_AsSsize_t(arg, PyExc_OverflowError);
    return !(size == -1 && PyErr_Occurred());
}

PyObject* read_impl(NativeFunction*, PyObject* const* args) {
    Input* input = input_of(args[0]);
    Py_ssize_t size;
    if (!input || !size_of(args[1], size)) return nullptr;
    return take(*input, size, false).release();
}

PyObject* readline_impl(NativeFunction*, PyObject* const* args) {
    Input* input = input_of(args[0]);
    Py_ssize_t size;
    if (!input || !size_of(args[1], size)) return nullptr;
    return take(*input, size, true).release();
}

PyObject* readlines_impl(NativeFunction*, PyObject* const* args) {
    Input* input = input_of(args[0]);
    Py_ssize_t hint;
    if (!input || !size_of(args[1], hint)) return nullptr;
    Ref lines = Ref::steal(PyList_New(0));
    Py_ssize_t total = 0;
    while (lines && (hint < 0 || total < hint)) {
        Ref line = take(*input, -1, true);
        if (!line) return nullptr;
        if (PyBytes_GET_SIZE(line.get()) == 0) break;
        total += PyBytes_GET_SIZE(line.get());
        if (PyList_Append(lines.get(), line.get()) < 0) return nullptr;
    }
    return lines.release();
}

PyObject* iter_impl(NativeFunction*, PyObject* const* args) { return Py_NewRef(args[0]); }

PyObject* next_impl(NativeFunction*, PyObject* const* args) {
    Input* input = input_of(args[0]);
    Ref line = input ? take(*input, -1, true) : Ref{};
    if (line && PyBytes_GET_SIZE(line.get()) == 0) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    return line.release();
}

}  // namespace

const table::Function kInputBody[] = {
    {"read", {{"self"}, {"size", "int", "-1"}}, "bytes", "Read up to size bytes of the body.", read_impl},
    {"readline", {{"self"}, {"size", "int", "-1"}}, "bytes", "Read one line of the body.", readline_impl},
    {"readlines", {{"self"}, {"hint", "int", "-1"}}, "list", "Read the body's lines.", readlines_impl},
    {"__iter__", {{"self"}}, nullptr, nullptr, iter_impl},
    {"__next__", {{"self"}}, "bytes", nullptr, next_impl},
};
const table::Class kInputClass = {
    "_Input", "The request body of a WSGI request, read as it arrives.", kInputBody, {}, {{"_state"}}};

namespace {

// One WSGI request: the answer being written and whether start_response was called.
struct Call {
    ResponseWriter* writer = nullptr;  // while the request is served
    bool head_given = false;
    int status = 0;
    std::string reason;
    std::vector<http::Field> fields;
};
using CallPtr = std::shared_ptr<Call>;
constexpr Capsule<CallPtr> kCall{"zivane.web.wsgi_call"};

Call* call_of(NativeFunction* fn) {
    CallPtr* held = kCall.get(captured(fn, 0));
    return held ? held->get() : nullptr;
}

// The status line's "200 OK" and the header list of (str, str) pairs.
bool read_head(Call& call, PyObject* status, PyObject* headers) {
    const char* text = PyUnicode_Check(status) ? PyUnicode_AsUTF8(status) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "status must be a str");
        return false;
    }
    std::string_view line(text);
    call.status = line.size() >= 3 ? std::atoi(std::string(line.substr(0, 3)).c_str()) : 0;
    if (call.status < 100 || call.status > 999) {
        PyErr_Format(PyExc_ValueError, "invalid status %R", status);
        return false;
    }
    call.reason = line.size() > 4 ? std::string(line.substr(4)) : std::string();
    call.fields.clear();
    Ref items = Ref::steal(PySequence_List(headers));
    for (Py_ssize_t i = 0; items && i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject *name, *value;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(items.get(), i), "UU", &name, &value)) return false;
        Py_ssize_t n, v;
        const char* name_text = PyUnicode_AsUTF8AndSize(name, &n);
        const char* value_text = name_text ? PyUnicode_AsUTF8AndSize(value, &v) : nullptr;
        if (!value_text) return false;
        call.fields.push_back({std::string(name_text, n), std::string(value_text, v)});
    }
    return bool(items);
}

PyObject* write_impl(NativeFunction* fn, PyObject* const* args) {
    Call* call = call_of(fn);
    if (!call) return nullptr;
    std::string data;
    if (!call->writer || !call->head_given) {
        PyErr_SetString(PyExc_RuntimeError, "write() before start_response() or after the request");
        return nullptr;
    }
    if (!view_bytes(args[0], data, "data")) return nullptr;
    if (!call->writer->started()) call->writer->start(call->status, call->reason, std::move(call->fields));
    if (!call->writer->body(data, false)) {
        PyErr_SetString(PyExc_ConnectionError, "the link has closed");
        return nullptr;
    }
    Py_RETURN_NONE;
}

const table::Function kWrite = {"write", {{"data", "bytes"}}, "None", nullptr, write_impl};

PyObject* start_response_impl(NativeFunction* fn, PyObject* const* args) {
    Call* call = call_of(fn);
    if (!call) return nullptr;
    bool replacing = args[2] != Py_None;
    if (replacing && call->writer && call->writer->started()) {
        // Too late to replace the head: PEP 3333 has the error raised again.
        PyObject* value =
            PyTuple_Check(args[2]) && PyTuple_GET_SIZE(args[2]) >= 2 ? PyTuple_GET_ITEM(args[2], 1) : nullptr;
        if (value && PyExceptionInstance_Check(value))
            PyErr_SetObject(PyExceptionInstance_Class(value), value);
        else
            PyErr_SetString(PyExc_RuntimeError, "the response has started");
        return nullptr;
    }
    if (call->head_given && !replacing) {
        PyErr_SetString(PyExc_RuntimeError, "start_response() called twice without exc_info");
        return nullptr;
    }
    if (!read_head(*call, args[0], args[1])) return nullptr;
    call->head_given = true;
    return table::make_nested(fn->module, kWrite, "start_response.<locals>", fn->closure).release();
}

const table::Function kStartResponse = {"start_response",
                                        {{"status", "str"}, {"headers"}, {"exc_info", nullptr, "None"}},
                                        nullptr,
                                        nullptr,
                                        start_response_impl};

class WsgiServer final : public AppServer {
public:
    WsgiServer(PyObject* module, PyObject* app) : module_(Ref::borrow(module)), app_(Ref::borrow(app)) {}
    bool serve(gateway::Link& link) override;

private:
    Ref environ(gateway::Link& link, const std::string& identity, PyObject* input);
    bool run(ResponseWriter& writer, const CallPtr& call, PyObject* env);
    Ref module_, app_;
};

int put(PyObject* env, const char* key, Ref value) {
    return value ? PyDict_SetItemString(env, key, value.get()) : -1;
}

// HTTP_* keys: the name upper-cased with '-' as '_'; repeated fields joined by commas.
// `fields` come from app_fields, which has left out every name with '_' of its own, so
// no two fields map to one key.
int put_fields(PyObject* env, const std::vector<http::Field>& fields) {
    for (const http::Field& field : fields) {
        std::string key = "HTTP_";
        for (char c : field.name) key.push_back(c == '-' ? '_' : char(c >= 'a' && c <= 'z' ? c - 32 : c));
        if (key == "HTTP_CONTENT_TYPE" || key == "HTTP_CONTENT_LENGTH") key.erase(0, 5);
        PyObject* old = PyDict_GetItemString(env, key.c_str());  // borrowed
        std::string value = field.value;
        if (old) {
            const char* before = PyUnicode_AsUTF8(old);
            if (!before) return -1;
            value = std::string(before) + "," + value;
        }
        if (put(env, key.c_str(), latin1(value)) < 0) return -1;
    }
    return 0;
}

Ref WsgiServer::environ(gateway::Link& link, const std::string& identity, PyObject* input) {
    const http::Head& head = link.reader.head();
    Target target = split_target(head.target);
    Ref env = Ref::steal(PyDict_New());
    Ref sys = env ? module_global(module_.get(), ZV_STR("sys")) : Ref{};
    Ref errors = sys ? attr(sys.get(), ZV_STR("stderr")) : Ref{};
    PyObject* e = env.get();
    if (!errors || put(e, "REQUEST_METHOD", latin1(head.method)) < 0 ||
        put(e, "SCRIPT_NAME", latin1("")) < 0 || put(e, "PATH_INFO", latin1(target.path)) < 0 ||
        put(e, "QUERY_STRING", latin1(target.query)) < 0 || put(e, "RAW_URI", latin1(head.target)) < 0 ||
        put(e, "SERVER_NAME", latin1(where.host)) < 0 ||
        put(e, "SERVER_PORT", latin1(std::to_string(where.port))) < 0 ||
        put(e, "SERVER_PROTOCOL", latin1(head.minor_version == 0 ? "HTTP/1.0" : "HTTP/1.1")) < 0 ||
        put(e, "REMOTE_ADDR", latin1(client_name(link, identity))) < 0 ||
        put(e, "REMOTE_PORT", latin1("0")) < 0 || put_fields(e, app_fields(head, identity)) < 0)
        return {};
    if (put(e, "wsgi.version", Ref::steal(Py_BuildValue("(ii)", 1, 0))) < 0 ||
        put(e, "wsgi.url_scheme", latin1("http")) < 0 || put(e, "wsgi.input", Ref::borrow(input)) < 0 ||
        put(e, "wsgi.errors", errors) < 0 || put(e, "wsgi.multithread", Ref::boolean(true)) < 0 ||
        put(e, "wsgi.multiprocess", Ref::boolean(false)) < 0 ||
        put(e, "wsgi.run_once", Ref::boolean(false)) < 0 ||
        put(e, "wsgi.input_terminated", Ref::boolean(true)) < 0)
        return {};
    return env;
}

// Writes the iterable's items, each once the next one is known, so that the last goes
// out as the end (a single-item answer then has its Content-Length).
bool write_items(ResponseWriter& writer, Call& call, PyObject* iterator, bool& link_ok) {
    Ref held;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator));
        if (!item && PyErr_Occurred()) return false;
        if (!call.head_given) {
            PyErr_SetString(PyExc_RuntimeError, "the application did not call start_response()");
            return false;
        }
        if (!writer.started()) writer.start(call.status, call.reason, std::move(call.fields));
        std::string data;
        if (held && !view_bytes(held.get(), data, "response body items")) return false;
        if (held && !data.empty() && !(link_ok = writer.body(data, !item))) return true;
        if (!item) return (link_ok = writer.body("", true)), true;
        held = std::move(item);
    }
}

bool WsgiServer::run(ResponseWriter& writer, const CallPtr& call, PyObject* env) {
    Ref start = Ref::steal(kCall.wrap(call).release());
    Ref closure = start ? new_tuple({start.get()}) : Ref{};
    Ref start_response =
        closure ? table::make_nested(module_.get(), kStartResponse, "WSGI", closure.get()) : Ref{};
    Ref result = start_response ? call_kw(app_.get(), {env, start_response.get()}, nullptr) : Ref{};
    bool link_ok = true;
    Ref iterator = result ? Ref::steal(PyObject_GetIter(result.get())) : Ref{};
    bool written = iterator && write_items(writer, *call, iterator.get(), link_ok);
    if (!written) report_app_error();
    if (result && PyObject_HasAttrWithError(result.get(), ZV_STR("close")) > 0 &&
        !call_method(result.get(), ZV_STR("close")))
        report_app_error();
    PyErr_Clear();
    if (!written) return writer.fail();
    return link_ok;
}

bool WsgiServer::serve(gateway::Link& link) {
    const bool is_head = link.reader.head().method == "HEAD";
    std::string identity = gateway::remote_identity(link);
    if (!gateway::allowed(link.gateway->settings, identity)) return refuse_unallowed(link, is_head);
    auto input = std::make_shared<Input>();
    input->link = &link;
    input->done = link.reader.head().framing == http::Framing::None;
    Ref input_type = module_global(module_.get(), ZV_STR("_Input"));
    Ref input_object = input_type ? call(input_type.get()) : Ref{};
    Ref capsule = input_object ? kInput.wrap(input) : Ref{};
    if (!capsule || PyObject_SetAttr(input_object.get(), ZV_STR("_state"), capsule.get()) < 0) {
        report_app_error();
        return gateway::answer(link, 500, "Internal Server Error", is_head);
    }
    Ref env = environ(link, identity, input_object.get());
    ResponseWriter writer(link, is_head);
    auto call = std::make_shared<Call>();
    call->writer = &writer;
    bool link_ok = env ? run(writer, call, env.get()) : (report_app_error(), writer.fail());
    call->writer = nullptr;
    {
        sync::MutexGuard guard(input->mutex);
        input->link = nullptr;
    }
    if (!link_ok) return false;
    if (input->broken) {
        gateway::end_link(link);
        return false;
    }
    return input->done || gateway::skip_body(link);
}

}  // namespace

AppServerPtr make_wsgi_server(PyObject* module, PyObject* app) {
    return std::make_shared<WsgiServer>(module, app);
}

}  // namespace zv::web
