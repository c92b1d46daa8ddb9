// The transports: httpx.Client(transport=HttpxTransport()), httpx.AsyncClient(transport=
// AsyncHttpxTransport()) and session.mount("http://", RequestsAdapter()). httpx, requests
// and urllib3 are imported when a request is made, never before. Answers stream: the
// body object (`_Body`, below) hands out bytes as they come off the link.
#include "web/client.hpp"
#include "web/functions.hpp"

#include "support/capsule.hpp"
#include "support/classes.hpp"
#include "support/globals.hpp"
#include "support/native_coroutine.hpp"

namespace zv::web {
namespace {

constexpr Capsule<ClientPtr> kClient{"zivane.web.client"};

enum class Flavor { Httpx, Requests };

struct Body {
    ExchangePtr exchange;
    Flavor flavor;
};
constexpr Capsule<Body> kBody{"zivane.web.body"};

template <class T>
T* state_of(const Capsule<T>& kind, PyObject* self) {
    Ref capsule = attr(self, ZV_STR("_state"));
    return capsule ? kind.get(capsule.get()) : nullptr;
}

Ref exception_type(const char* module, const char* name) {
    Ref m = import(module);
    return m ? attr(m.get(), name) : Ref{};
}

// The library's exception for a failure; `request` is attached where it takes one.
Ref library_error(Flavor flavor, const Exchange& ex, PyObject* request) {
    static constexpr const char* kHttpx[] = {"RemoteProtocolError", "UnsupportedProtocol", "ConnectTimeout",
                                             "ConnectError",        "WriteError",          "ReadTimeout",
                                             "RemoteProtocolError"};
    static constexpr const char* kRequests[] = {"ConnectionError", "InvalidURL",      "ConnectTimeout",
                                                "ConnectionError", "ConnectionError", "ReadTimeout",
                                                "ConnectionError"};
    const int index = int(ex.failure);
    Ref type = flavor == Flavor::Httpx ? exception_type("httpx", kHttpx[index])
                                       : exception_type("requests.exceptions", kRequests[index]);
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(ex.why.data(), Py_ssize_t(ex.why.size())));
    Ref names = Ref::steal(PyTuple_Pack(1, ZV_STR("request")));
    if (!type || !text || !names) return {};
    if (!request) return call(type.get(), {text.get()});
    return call_kw(type.get(), {text.get(), request}, names.get());
}

// What a body read raises: the library's error, or for requests (read by urllib3) the
// built-in errors urllib3 turns into its own.
void raise_read_failure(const Body& body) {
    const Exchange& ex = *body.exchange;
    if (PyErr_Occurred()) return;
    if (body.flavor == Flavor::Requests) {
        PyErr_SetString(ex.failure == Failure::ReadTimeout ? PyExc_TimeoutError : PyExc_ConnectionError,
                        ex.why.c_str());
        return;
    }
    Ref error = library_error(body.flavor, ex, nullptr);
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

Ref read_body(Body& body, std::size_t max) {
    std::string out;
    if (!read_answer(*body.exchange, max, true, out)) {
        raise_read_failure(body);
        return {};
    }
    return Ref::steal(PyBytes_FromStringAndSize(out.data(), Py_ssize_t(out.size())));
}

PyObject* body_next(NativeFunction*, PyObject* const* args) {
    Body* body = state_of(kBody, args[0]);
    Ref piece = body ? read_body(*body, 0) : Ref{};
    if (piece && PyBytes_GET_SIZE(piece.get()) == 0) {
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    return piece.release();
}

PyObject* body_read(NativeFunction*, PyObject* const* args) {
    Body* body = state_of(kBody, args[0]);
    Py_ssize_t amt = !body ? 0 : args[1] == Py_None ? -1 : PyNumber_AsSsize_t(args[1], PyExc_OverflowError);
    if (!body || (amt == -1 && PyErr_Occurred())) return nullptr;
    if (amt >= 0) return read_body(*body, std::size_t(std::max<Py_ssize_t>(amt, 1))).release();
    std::string all;
    for (;;) {
        Ref piece = read_body(*body, 0);
        if (!piece) return nullptr;
        if (PyBytes_GET_SIZE(piece.get()) == 0) break;
        all.append(PyBytes_AS_STRING(piece.get()), std::size_t(PyBytes_GET_SIZE(piece.get())));
    }
    return PyBytes_FromStringAndSize(all.data(), Py_ssize_t(all.size()));
}

PyObject* body_close(NativeFunction*, PyObject* const* args) {
    Body* body = state_of(kBody, args[0]);
    if (!body) return nullptr;
    close_exchange(*body->exchange);
    Py_RETURN_NONE;
}

PyObject* body_isclosed(NativeFunction*, PyObject* const* args) {
    Body* body = state_of(kBody, args[0]);
    if (!body) return nullptr;
    const Exchange& ex = *body->exchange;  // without its mutex: a reader may be waiting
    return PyBool_FromLong(ex.closed.load() || ex.finished.load());
}

PyObject* body_self(NativeFunction*, PyObject* const* args) { return Py_NewRef(args[0]); }

// The next piece without blocking the loop: what is there already, else a pool thread
// waits for it and the loop hears back.
CoBody anext_body(Ref self, Ref module) {
    Body* body = state_of(kBody, self.get());
    if (!body) co_return Ref{};
    std::string out;
    if (read_answer(*body->exchange, 0, false, out)) {
        if (out.empty()) co_return PyErr_SetNone(PyExc_StopAsyncIteration), Ref{};
        co_return Ref::steal(PyBytes_FromStringAndSize(out.data(), Py_ssize_t(out.size())));
    }
    if (body->exchange->failure != Failure::None) co_return raise_read_failure(*body), Ref{};
    Ref asyncio = module_global(module.get(), ZV_STR("asyncio"));
    Ref loop = asyncio ? call_method(asyncio.get(), ZV_STR("get_running_loop")) : Ref{};
    Ref future = loop ? call_method(loop.get(), ZV_STR("create_future")) : Ref{};
    if (!future) co_return Ref{};
    run_in_pool([held = *body, module, loop, future]() mutable {
        Ref piece = read_body(held, 0);
        bool error = !piece;
        if (error) piece = Ref::steal(PyErr_GetRaisedException());
        settle_later(module.get(), loop.get(), future.get(), piece.get(), error);
    });
    Ref piece = co_await Await(future.get());
    if (piece && PyBytes_GET_SIZE(piece.get()) == 0) co_return PyErr_SetNone(PyExc_StopAsyncIteration), Ref{};
    co_return piece;
}

PyObject* body_anext(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, anext_body(Ref::borrow(args[0]), Ref::borrow(fn->module)));
}

CoBody aclose_body(Ref self) {
    Body* body = state_of(kBody, self.get());
    if (!body) co_return Ref{};
    close_exchange(*body->exchange);
    co_return Ref::none();
}

PyObject* body_aclose(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, aclose_body(Ref::borrow(args[0])));
}

}  // namespace

const table::Function kBodyBody[] = {
    {"__iter__", {{"self"}}, nullptr, nullptr, body_self},
    {"__next__", {{"self"}}, "bytes", nullptr, body_next},
    {"__aiter__", {{"self"}}, nullptr, nullptr, body_self},
    {"__anext__", {{"self"}}, "bytes", nullptr, body_anext, table::Kind::Coroutine},
    {"read",
     {{"self"}, {"amt", "int", "-1"}},
     "bytes",
     "Read up to amt bytes of the answer (all for -1).",
     body_read},
    {"isclosed", {{"self"}}, "bool", "Whether the answer has been read to its end or closed.", body_isclosed},
    {"close", {{"self"}}, "None", "Stop reading the answer.", body_close},
    {"aclose", {{"self"}}, "None", "Stop reading the answer.", body_aclose, table::Kind::Coroutine},
};
const table::Class kBodyClass = {
    "_Body", "The body of an answer arriving over Reticulum.", kBodyBody, {}, {{"_state"}}};

namespace {

// httpx checks that a response stream is one of its own: a subclass of its SyncByteStream
// or AsyncByteStream, made on first use, with the body's methods. Not a subclass of _Body
// too: a class mixing _Body's slots with a base whose instances keep a dict gets a layout
// the collector walks wrongly.
Ref stream_class(PyObject* module, bool async) {
    static PyObject* made[2];  // kept for the process's life, never released
    PyObject*& slot = made[async];
    if (slot) return Ref::borrow(slot);
    Ref base = exception_type("httpx", async ? "AsyncByteStream" : "SyncByteStream");
    Ref body = base ? module_global(module, ZV_STR("_Body")) : Ref{};
    Ref bases = body ? new_tuple({base.get()}) : Ref{};
    const char* name = async ? "_AsyncHttpxBody" : "_HttpxBody";
    Ref ns = bases ? class_namespace(module, name, nullptr) : Ref{};
    static constexpr const char* kSync[] = {"__iter__", "__next__", "close"};
    static constexpr const char* kAsync[] = {"__aiter__", "__anext__", "aclose"};
    for (const char* method : async ? kAsync : kSync) {
        Ref fn = ns ? attr(body.get(), method) : Ref{};
        if (!fn || PyDict_SetItemString(ns.get(), method, fn.get()) < 0) return {};
    }
    Ref cls = make_class(name, bases.get(), ns.get());
    if (cls) slot = Ref(cls).release();
    return cls;
}

Ref body_object(PyObject* cls, const ExchangePtr& ex, Flavor flavor) {
    Ref object = call(cls);
    Ref capsule = object ? kBody.wrap(Body{ex, flavor}) : Ref{};
    if (!capsule || PyObject_SetAttr(object.get(), ZV_STR("_state"), capsule.get()) < 0) return {};
    return object;
}

// __init__(self, identity_path=None, identify=False)
PyObject* transport_init(NativeFunction* fn, PyObject* const* args) {
    auto client = std::make_shared<Client>();
    int identify = PyObject_IsTrue(args[2]);
    if (identify < 0) return nullptr;
    client->settings.identify = identify;
    client->settings.connect_timeout = seconds_global(fn->module, ZV_STR("_CONNECT_TIMEOUT"), 30.0);
    client->settings.request_timeout = seconds_global(fn->module, ZV_STR("_READ_TIMEOUT"), 60.0);
    client->settings.read_timeout = client->settings.request_timeout;
    client->settings.answer_limit = std::size_t(size_global(fn->module, ZV_STR("_ANSWER_LIMIT"), 16 << 20));
    client->identity_path = Ref::borrow(args[1]);
    Ref capsule = kClient.wrap(std::move(client));
    if (!capsule || PyObject_SetAttr(args[0], ZV_STR("_state"), capsule.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* transport_close(NativeFunction* fn, PyObject* const* args) {
    ClientPtr* client = state_of(kClient, args[0]);
    if (!client) return nullptr;
    (*client)->destinations.close_all(fn->module, "the transport was closed");
    Py_RETURN_NONE;
}

PyObject* transport_exit(NativeFunction* fn, PyObject* const* args) { return transport_close(fn, args); }

CoBody aclose_transport(Ref fn, Ref self) {
    PyObject* const args[] = {self.get()};
    co_return Ref::steal(transport_close(reinterpret_cast<NativeFunction*>(fn.get()), args));
}

PyObject* transport_aclose(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(
        fn, aclose_transport(Ref::borrow(reinterpret_cast<PyObject*>(fn)), Ref::borrow(args[0])));
}

CoBody aenter_body(Ref self) { co_return self; }

PyObject* transport_aenter(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, aenter_body(Ref::borrow(args[0])));
}

// ---- reading what the libraries hand over -------------------------------------------------

std::string utf8(PyObject* text) {
    Ref str = PyUnicode_Check(text) ? Ref::borrow(text) : Ref::steal(PyObject_Str(text));
    const char* s = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    return s ? s : "";
}

bool read_pairs(PyObject* pairs, std::vector<http::Field>& fields) {
    Ref items = Ref::steal(PySequence_List(pairs));
    for (Py_ssize_t i = 0; items && i < PyList_GET_SIZE(items.get()); ++i) {
        Ref pair = Ref::steal(PySequence_Tuple(PyList_GET_ITEM(items.get(), i)));
        if (!pair || PyTuple_GET_SIZE(pair.get()) != 2) return false;
        std::string part[2];
        for (int k = 0; k < 2; ++k) {
            PyObject* value = PyTuple_GET_ITEM(pair.get(), k);
            if (PyBytes_Check(value))
                part[k].assign(PyBytes_AS_STRING(value), std::size_t(PyBytes_GET_SIZE(value)));
            else
                part[k] = utf8(value);
        }
        fields.push_back({std::move(part[0]), std::move(part[1])});
    }
    return bool(items) && !PyErr_Occurred();
}

std::optional<double> seconds_of(PyObject* value) {
    if (!value || value == Py_None) return std::nullopt;
    double s = PyFloat_AsDouble(value);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return s;
}

// An httpx.Request as an Outgoing; its body iterated from `body` (an iterable).
bool httpx_outgoing(PyObject* request, PyObject* body, Outgoing& out) {
    Ref method = attr(request, ZV_STR("method"));
    Ref url = method ? attr(request, ZV_STR("url")) : Ref{};
    Ref headers = url ? attr(request, ZV_STR("headers")) : Ref{};
    Ref raw = headers ? attr(headers.get(), ZV_STR("raw")) : Ref{};
    Ref extensions = raw ? attr(request, ZV_STR("extensions")) : Ref{};
    if (!extensions || !read_pairs(raw.get(), out.fields)) return false;
    out.method = utf8(method.get());
    out.url = utf8(url.get());
    Ref timeout = Ref::steal(PyObject_CallMethod(extensions.get(), "get", "s", "timeout"));
    if (timeout && PyDict_Check(timeout.get())) {
        out.timeouts.connect = seconds_of(PyDict_GetItemString(timeout.get(), "connect"));
        out.timeouts.read = seconds_of(PyDict_GetItemString(timeout.get(), "read"));
    }
    PyErr_Clear();
    out.body = Ref::steal(PyObject_GetIter(body));
    return bool(out.body);
}

Ref httpx_response(PyObject* module, const ExchangePtr& ex, bool async) {
    Ref httpx = import("httpx");
    Ref response_type = httpx ? attr(httpx.get(), ZV_STR("Response")) : Ref{};
    Ref cls = response_type ? stream_class(module, async) : Ref{};
    Ref stream = cls ? body_object(cls.get(), ex, Flavor::Httpx) : Ref{};
    Ref headers = stream ? Ref::steal(PyList_New(0)) : Ref{};
    for (const http::Field& field : ex->head.fields) {
        Ref pair = Ref::steal(Py_BuildValue("(y#y#)", field.name.data(), Py_ssize_t(field.name.size()),
                                            field.value.data(), Py_ssize_t(field.value.size())));
        if (!headers || !pair || PyList_Append(headers.get(), pair.get()) < 0) return {};
    }
    Ref status = headers ? Ref::steal(PyLong_FromLong(ex->head.status)) : Ref{};
    Ref extensions =
        status ? Ref::steal(Py_BuildValue("{sysy#}", "http_version", "HTTP/1.1", "reason_phrase",
                                          ex->head.reason.data(), Py_ssize_t(ex->head.reason.size())))
               : Ref{};
    Ref names = extensions ? new_tuple({ZV_STR("headers"), ZV_STR("stream"), ZV_STR("extensions")}) : Ref{};
    return names ? call_kw(response_type.get(), {status.get(), headers.get(), stream.get(), extensions.get()},
                           names.get())
                 : Ref{};
}

ExchangePtr new_exchange(PyObject* self) {
    ClientPtr* client = state_of(kClient, self);
    if (!client) return {};
    auto ex = std::make_shared<Exchange>();
    ex->client = *client;
    return ex;
}

PyObject* raise_failure(Flavor flavor, const Exchange& ex, PyObject* request) {
    Ref error = library_error(flavor, ex, request);
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

PyObject* handle_request(NativeFunction* fn, PyObject* const* args) {
    ExchangePtr ex = new_exchange(args[0]);
    Ref stream = ex ? attr(args[1], ZV_STR("stream")) : Ref{};
    Outgoing out;
    if (!stream || !httpx_outgoing(args[1], stream.get(), out)) return nullptr;
    if (!start_exchange(fn->module, *ex, out))
        return PyErr_Occurred() ? nullptr : raise_failure(Flavor::Httpx, *ex, args[1]);
    return httpx_response(fn->module, ex, false).release();
}

CoBody handle_async_body(Ref fn_ref, Ref self, Ref request) {
    auto* fn = reinterpret_cast<NativeFunction*>(fn_ref.get());
    PyObject* module = fn->module;
    ExchangePtr ex = new_exchange(self.get());
    Ref stream = ex ? attr(request.get(), ZV_STR("stream")) : Ref{};
    Ref source;
    if (!stream) co_return Ref{};
    Ref sync_type = exception_type("httpx", "SyncByteStream");
    int is_sync = sync_type ? PyObject_IsInstance(stream.get(), sync_type.get()) : -1;
    if (is_sync < 0) co_return Ref{};
    if (is_sync) {
        source = stream;
    } else {
        Ref reading = call_method(request.get(), ZV_STR("aread"));
        Ref content = co_await Await(reading.get());
        source = content ? new_tuple({content.get()}) : Ref{};
    }
    auto out = std::make_shared<Outgoing>();
    Ref asyncio = source && httpx_outgoing(request.get(), source.get(), *out)
                      ? module_global(module, ZV_STR("asyncio"))
                      : Ref{};
    Ref loop = asyncio ? call_method(asyncio.get(), ZV_STR("get_running_loop")) : Ref{};
    Ref future = loop ? call_method(loop.get(), ZV_STR("create_future")) : Ref{};
    if (!future) co_return Ref{};
    Ref module_ref = Ref::borrow(module);
    run_in_pool([ex, out, module_ref, loop, future] {
        bool ok = start_exchange(module_ref.get(), *ex, *out);
        out->body = {};
        Ref value = ok                 ? Ref::boolean(true)
                    : PyErr_Occurred() ? Ref::steal(PyErr_GetRaisedException())
                                       : Ref::boolean(false);
        Ref cancelled = call_method(future.get(), ZV_STR("cancelled"));
        if (cancelled && cancelled.get() == Py_True) close_exchange(*ex);  // nobody will read it
        PyErr_Clear();
        settle_later(module_ref.get(), loop.get(), future.get(), value.get(), !ok && value.get() != Py_False);
    });
    Ref started = co_await Await(future.get());
    if (!started) {
        close_exchange(*ex);
        co_return Ref{};
    }
    if (started.get() == Py_False) co_return Ref::steal(raise_failure(Flavor::Httpx, *ex, request.get()));
    co_return httpx_response(module, ex, true);
}

PyObject* handle_async_request(NativeFunction* fn, PyObject* const* args) {
    return make_coroutine(fn, handle_async_body(Ref::borrow(reinterpret_cast<PyObject*>(fn)),
                                                Ref::borrow(args[0]), Ref::borrow(args[1])));
}

// ---- requests ---------------------------------------------------------------------------

// request.body as pieces: None, bytes, str (latin-1, as http.client sends it), a file
// (read in pieces) or any iterable of bytes.
Ref requests_body(PyObject* body) {
    if (body == Py_None) return Ref::steal(PyTuple_New(0));
    if (PyBytes_Check(body) || PyByteArray_Check(body)) return new_tuple({body});
    if (PyUnicode_Check(body)) {
        Ref encoded = Ref::steal(PyUnicode_AsLatin1String(body));
        if (!encoded) {
            PyErr_Clear();
            encoded = Ref::steal(PyUnicode_AsUTF8String(body));
        }
        return encoded ? new_tuple({encoded.get()}) : Ref{};
    }
    Ref read = Ref::steal(PyObject_GetAttr(body, ZV_STR("read")));
    if (!read) {
        PyErr_Clear();
        return Ref::borrow(body);
    }
    Ref partial = import_from("functools", "partial");
    Ref size = Ref::steal(PyLong_FromLong(64 * 1024));
    Ref reader = partial && size ? call(partial.get(), {read.get(), size.get()}) : Ref{};
    Ref empty = reader ? Ref::steal(PyBytes_FromStringAndSize("", 0)) : Ref{};
    return empty ? Ref::steal(PyCallIter_New(reader.get(), empty.get())) : Ref{};
}

// timeout: None, seconds, (connect, read) or urllib3's Timeout.
void requests_timeouts(PyObject* timeout, Timeouts& out) {
    if (timeout == Py_None) return;
    if (PyTuple_Check(timeout) && PyTuple_GET_SIZE(timeout) == 2) {
        out.connect = seconds_of(PyTuple_GET_ITEM(timeout, 0));
        out.read = seconds_of(PyTuple_GET_ITEM(timeout, 1));
        return;
    }
    if (PyNumber_Check(timeout)) {
        out.connect = out.read = seconds_of(timeout);
        return;
    }
    Ref connect = attr(timeout, ZV_STR("connect_timeout"));
    Ref read = connect ? attr(timeout, ZV_STR("read_timeout")) : Ref{};
    if (read) {
        out.connect = seconds_of(connect.get());
        out.read = seconds_of(read.get());
    }
    PyErr_Clear();
}

bool requests_outgoing(PyObject* request, PyObject* timeout, Outgoing& out) {
    Ref method = attr(request, ZV_STR("method"));
    Ref url = method ? attr(request, ZV_STR("url")) : Ref{};
    Ref headers = url ? attr(request, ZV_STR("headers")) : Ref{};
    Ref items = headers ? call_method(headers.get(), ZV_STR("items")) : Ref{};
    Ref body = items ? attr(request, ZV_STR("body")) : Ref{};
    Ref pieces = body ? requests_body(body.get()) : Ref{};
    if (!pieces || !read_pairs(items.get(), out.fields)) return false;
    out.method = utf8(method.get());
    out.url = utf8(url.get());
    out.body = Ref::steal(PyObject_GetIter(pieces.get()));
    requests_timeouts(timeout, out.timeouts);
    return bool(out.body);
}

Ref latin1(const std::string& text) {
    return Ref::steal(PyUnicode_DecodeLatin1(text.data(), Py_ssize_t(text.size()), nullptr));
}

// The answer's fields as (name, value) text pairs, decoded as http.client decodes them.
Ref field_pairs(const http::Head& head) {
    Ref pairs = Ref::steal(PyList_New(0));
    for (const http::Field& field : head.fields) {
        Ref name = pairs ? latin1(field.name) : Ref{};
        Ref value = name ? latin1(field.value) : Ref{};
        Ref pair = value ? new_tuple({name.get(), value.get()}) : Ref{};
        if (!pair || PyList_Append(pairs.get(), pair.get()) < 0) return {};
    }
    return pairs;
}

// What requests reads from urllib3's `_original_response` where http.client's answer
// would be: `msg` (an http.client.HTTPMessage with every field, repeated ones apart: the
// cookie jar reads Set-Cookie there), version, reason and status; close and isclosed are
// the body's.
Ref original_response(PyObject* module, PyObject* body, PyObject* pairs, const http::Head& head,
                      const std::string& method) {
    Ref message_type = import_from("http.client", "HTTPMessage");
    Ref message = message_type ? call(message_type.get()) : Ref{};
    for (Py_ssize_t i = 0; message && i < PyList_GET_SIZE(pairs); ++i) {
        PyObject* pair = PyList_GET_ITEM(pairs, i);
        if (PyObject_SetItem(message.get(), PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0)
            return {};
    }
    Ref types = message ? module_global(module, ZV_STR("types")) : Ref{};
    Ref namespace_type = types ? attr(types.get(), ZV_STR("SimpleNamespace")) : Ref{};
    Ref close = namespace_type ? attr(body, ZV_STR("close")) : Ref{};
    Ref isclosed = close ? attr(body, ZV_STR("isclosed")) : Ref{};
    Ref reason = isclosed ? latin1(head.reason) : Ref{};
    Ref kwargs =
        reason
            ? Ref::steal(Py_BuildValue("{sOsisOsisOsOss#}", "msg", message.get(), "version", 11, "reason",
                                       reason.get(), "status", head.status, "close", close.get(), "isclosed",
                                       isclosed.get(), "_method", method.data(), Py_ssize_t(method.size())))
            : Ref{};
    Ref empty = kwargs ? Ref::steal(PyTuple_New(0)) : Ref{};
    return empty ? Ref::steal(PyObject_Call(namespace_type.get(), empty.get(), kwargs.get())) : Ref{};
}

// The answer as urllib3 would have given it (it decodes Content-Encoding and streams),
// made into requests' Response by requests' own HTTPAdapter.build_response.
Ref requests_response(PyObject* module, PyObject* self, PyObject* request, const ExchangePtr& ex,
                      const Outgoing& out) {
    Ref response_type = exception_type("urllib3.response", "HTTPResponse");
    Ref header_type = response_type ? exception_type("urllib3._collections", "HTTPHeaderDict") : Ref{};
    Ref body_type = header_type ? module_global(module, ZV_STR("_Body")) : Ref{};
    Ref body = body_type ? body_object(body_type.get(), ex, Flavor::Requests) : Ref{};
    Ref pairs = body ? field_pairs(ex->head) : Ref{};
    Ref headers = pairs ? call(header_type.get(), {pairs.get()}) : Ref{};
    Ref original = headers ? original_response(module, body.get(), pairs.get(), ex->head, out.method) : Ref{};
    Ref reason = original ? latin1(ex->head.reason) : Ref{};
    Ref kwargs =
        reason ? Ref::steal(Py_BuildValue(
                     "{sOsOsisisssOsOsOsOss#ss#}", "body", body.get(), "headers", headers.get(), "status",
                     ex->head.status, "version", 11, "version_string", "HTTP/1.1", "reason", reason.get(),
                     "preload_content", Py_False, "decode_content", Py_True, "original_response",
                     original.get(), "request_method", out.method.data(), Py_ssize_t(out.method.size()),
                     "request_url", out.url.data(), Py_ssize_t(out.url.size())))
               : Ref{};
    Ref empty = kwargs ? Ref::steal(PyTuple_New(0)) : Ref{};
    Ref raw = empty ? Ref::steal(PyObject_Call(response_type.get(), empty.get(), kwargs.get())) : Ref{};
    Ref adapter = raw ? exception_type("requests.adapters", "HTTPAdapter") : Ref{};
    Ref build = adapter ? attr(adapter.get(), ZV_STR("build_response")) : Ref{};
    return build ? call(build.get(), {self, request, raw.get()}) : Ref{};
}

// send(self, request, stream=False, timeout=None, verify=True, cert=None, proxies=None)
PyObject* adapter_send(NativeFunction* fn, PyObject* const* args) {
    ExchangePtr ex = new_exchange(args[0]);
    Outgoing out;
    if (!ex || !requests_outgoing(args[1], args[3], out)) return nullptr;
    if (!start_exchange(fn->module, *ex, out))
        return PyErr_Occurred() ? nullptr : raise_failure(Flavor::Requests, *ex, args[1]);
    return requests_response(fn->module, args[0], args[1], ex, out).release();
}

}  // namespace

// What the three classes share: __init__(self, identity_path=None, identify=False) and the
// parameters of __exit__ / __aexit__.
const table::Function kInit = {
    "__init__",
    {{"self"}, {"identity_path", "str | None", "None"}, {"identify", "bool", "False"}},
    "None",
    nullptr,
    transport_init};
constexpr std::initializer_list<table::Param> kExitParams = {
    {"self"}, {"exc_type", nullptr, "None"}, {"exc_value", nullptr, "None"}, {"traceback", nullptr, "None"}};

const table::Function kHttpxTransportBody[] = {
    kInit,
    {"handle_request",
     {{"self"}, {"request"}},
     nullptr,
     "Send request over Reticulum and return its response.",
     handle_request},
    {"close", {{"self"}}, "None", "Close the links this transport opened.", transport_close},
    {"__enter__", {{"self"}}, nullptr, nullptr, body_self},
    {"__exit__", kExitParams, "None", nullptr, transport_exit},
};
const table::Class kHttpxTransport = {
    "HttpxTransport",
    "An httpx transport that sends requests for <hash>.rns URLs over Reticulum.",
    kHttpxTransportBody,
    {},
    {{"_state"}}};

const table::Function kAsyncHttpxTransportBody[] = {
    kInit,
    {"handle_async_request",
     {{"self"}, {"request"}},
     nullptr,
     "Send request over Reticulum and return its response.",
     handle_async_request,
     table::Kind::Coroutine},
    {"aclose",
     {{"self"}},
     "None",
     "Close the links this transport opened.",
     transport_aclose,
     table::Kind::Coroutine},
    {"__aenter__", {{"self"}}, nullptr, nullptr, transport_aenter, table::Kind::Coroutine},
    {"__aexit__", kExitParams, "None", nullptr, transport_aclose, table::Kind::Coroutine},
};
const table::Class kAsyncHttpxTransport = {
    "AsyncHttpxTransport",
    "An async httpx transport that sends requests for <hash>.rns URLs over Reticulum.",
    kAsyncHttpxTransportBody,
    {},
    {{"_state"}}};

const table::Function kRequestsAdapterBody[] = {
    kInit,
    {"send",
     {{"self"},
      {"request"},
      {"stream", "bool", "False"},
      {"timeout", nullptr, "None"},
      {"verify", nullptr, "True"},
      {"cert", nullptr, "None"},
      {"proxies", nullptr, "None"}},
     nullptr,
     "Send request over Reticulum and return its response.",
     adapter_send},
    {"close", {{"self"}}, "None", "Close the links this adapter opened.", transport_close},
};
const table::Class kRequestsAdapter = {"RequestsAdapter",
                                       "A requests transport adapter for <hash>.rns URLs over Reticulum.",
                                       kRequestsAdapterBody,
                                       {},
                                       {{"_state"}}};

}  // namespace zv::web
