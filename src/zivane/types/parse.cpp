// The ordinary road through parsing: httptools driven with the module's callbacks classes,
// whose objects collect what the parser reports, looked up when parsing starts. The quick
// road (parse_fast.cpp) steps aside to this one whenever it cannot tell.
#include "types/functions.hpp"
#include "types/layout.hpp"

#include "support/ascii.hpp"

#include <algorithm>
#include <cstring>

namespace zv::types {
namespace {

PyObject* empty_bytes() {
    static PyObject* const empty = PyBytes_FromStringAndSize(nullptr, 0);
    return empty;
}

PyObject* default_version_bytes() {
    static PyObject* const version = PyBytes_FromString("HTTP/1.1");
    return version;
}

// self.<name> = value, for a value just made (empty: its failure).
int set_new(PyObject* self, PyObject* name, Ref value) {
    return value ? PyObject_SetAttr(self, name, value.get()) : -1;
}

PyObject* returns_none(int rc) { return rc < 0 ? nullptr : Py_NewRef(Py_None); }

// Raises HttpParserError(message) (the class looked up now), caused by `cause` if given.
void raise_parser_error(NativeFunction* fn, PyObject* message, PyObject* cause) {
    Ref cls = global(fn, ZV_STR("HttpParserError"));
    Ref exc = cls ? call(cls.get(), {message}) : Ref{};
    if (!exc) return;
    if (cause) {
        PyException_SetCause(exc.get(), Py_NewRef(cause));
        PyException_SetContext(exc.get(), Py_NewRef(cause));
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

// `text.lower()`, done by hand for ASCII text.
Ref lower(Ref text) {
    if (!PyUnicode_CheckExact(text.get()) || !PyUnicode_IS_ASCII(text.get()))
        return call_method(text.get(), ZV_STR("lower"));
    const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.get()));
    std::size_t n = std::size_t(PyUnicode_GET_LENGTH(text.get()));
    if (std::none_of(s, s + n, [](char c) { return ascii::is_upper(static_cast<unsigned char>(c)); }))
        return text;
    Ref out = Ref::steal(PyUnicode_New(Py_ssize_t(n), 127));
    if (out) ascii::copy_lower(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get())), s, n);
    return out;
}

int add_header(PyObject* out, PyObject* name, PyObject* value) {
    Ref key = decode(name);
    if (!key) return -1;
    key = lower(std::move(key));
    if (!key) return -1;
    Ref text = decode(value);
    if (!text) return -1;
    return PyDict_SetItem(out, key.get(), text.get());
}

// Creates the callbacks and the parser and feeds them `data`; on success `callbacks` and
// `parser` hold them.
bool run_parser(NativeFunction* fn, PyObject* data, PyObject* callbacks_name, PyObject* parser_name,
                Ref* callbacks, Ref* parser) {
    Ref callbacks_cls = global(fn, callbacks_name);
    if (!callbacks_cls) return false;
    *callbacks = call(callbacks_cls.get());
    if (!*callbacks) return false;
    Ref parser_cls = global(fn, parser_name);
    if (!parser_cls) return false;
    *parser = call(parser_cls.get(), {callbacks->get()});
    if (!*parser) return false;
    if (call_method(parser->get(), ZV_STR("feed_data"), {data})) return true;
    SavedError error;
    Ref outside = global(fn, ZV_STR("HttptoolsParserError"));
    if (!outside) return false;
    if (!error.matches(outside.get())) {
        error.restore();
        return false;
    }
    Ref message = Ref::steal(PyObject_Str(error.get()));
    if (!message) return false;
    raise_parser_error(fn, message.get(), error.get());
    return false;
}

}  // namespace

PyObject* request_kwnames() {
    static PyObject* const names = new_tuple({ZV_STR("method"), ZV_STR("path"), ZV_STR("version"),
                                             ZV_STR("headers"), ZV_STR("body")})
                                      .release();
    return names;
}

PyObject* response_kwnames() {
    static PyObject* const names = new_tuple({ZV_STR("version"), ZV_STR("status"), ZV_STR("reason"),
                                             ZV_STR("headers"), ZV_STR("body")})
                                      .release();
    return names;
}

PyObject* request_callbacks_init(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, ZV_STR("method"), empty_bytes()) < 0 ||
        PyObject_SetAttr(self, ZV_STR("url"), empty_bytes()) < 0 ||
        PyObject_SetAttr(self, ZV_STR("version"), default_version_bytes()) < 0 ||
        set_new(self, ZV_STR("headers"), Ref::steal(PyDict_New())) < 0 ||
        set_new(self, ZV_STR("body_chunks"), Ref::steal(PyList_New(0))) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* response_callbacks_init(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, ZV_STR("version"), default_version_bytes()) < 0 ||
        set_new(self, ZV_STR("status"), Ref::steal(PyLong_FromLong(0))) < 0 ||
        PyObject_SetAttr(self, ZV_STR("reason"), empty_bytes()) < 0 ||
        set_new(self, ZV_STR("headers"), Ref::steal(PyDict_New())) < 0 ||
        set_new(self, ZV_STR("body_chunks"), Ref::steal(PyList_New(0))) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_message_begin(NativeFunction*, PyObject* const*) { Py_RETURN_NONE; }

PyObject* on_method(NativeFunction*, PyObject* const* args) {
    return returns_none(PyObject_SetAttr(args[0], ZV_STR("method"), args[1]));
}

PyObject* on_url(NativeFunction*, PyObject* const* args) {
    return returns_none(PyObject_SetAttr(args[0], ZV_STR("url"), args[1]));
}

PyObject* on_version(NativeFunction*, PyObject* const* args) {
    return returns_none(PyObject_SetAttr(args[0], ZV_STR("version"), args[1]));
}

PyObject* on_status_code(NativeFunction*, PyObject* const* args) {
    Ref status = Ref::steal(PyNumber_Long(args[1]));
    if (!status) return nullptr;
    return returns_none(PyObject_SetAttr(args[0], ZV_STR("status"), status.get()));
}

PyObject* on_reason_phrase(NativeFunction*, PyObject* const* args) {
    return returns_none(PyObject_SetAttr(args[0], ZV_STR("reason"), args[1]));
}

PyObject* on_header(NativeFunction*, PyObject* const* args) {
    Ref headers = attr(args[0], ZV_STR("headers"));
    if (!headers) return nullptr;
    return returns_none(PyObject_SetItem(headers.get(), args[1], args[2]));
}

PyObject* on_body(NativeFunction*, PyObject* const* args) {
    Ref chunks = attr(args[0], ZV_STR("body_chunks"));
    if (!chunks) return nullptr;
    if (PyList_CheckExact(chunks.get())) return returns_none(PyList_Append(chunks.get(), args[1]));
    Ref done = call_method(chunks.get(), ZV_STR("append"), {args[1]});
    return done ? Py_NewRef(Py_None) : nullptr;
}

// `x.decode()` for the bytes the parser reports (or whatever a callbacks subclass stored).
Ref decode(PyObject* raw) {
    if (PyBytes_CheckExact(raw))
        return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw), "strict"));
    return call_method(raw, ZV_STR("decode"));
}

// {name.decode().lower(): value.decode() for name, value in raw.items()}
Ref decode_headers(PyObject* raw) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return {};
    if (PyDict_CheckExact(raw)) {
        // Keys and values are held while decoding, which may run no code that could
        // change `raw` only for exact bytes; anything else goes through items().
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool plain = true;
        while (PyDict_Next(raw, &pos, &k, &v))
            if (!PyBytes_CheckExact(k) || !PyBytes_CheckExact(v)) plain = false;
        if (plain) {
            pos = 0;
            while (PyDict_Next(raw, &pos, &k, &v))
                if (add_header(out.get(), k, v) < 0) return {};
            return out;
        }
    }
    Ref items = call_method(raw, ZV_STR("items"));
    if (!items) return {};
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return {};
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref seq = Ref::steal(PySequence_Fast(pair.get(), "cannot unpack non-iterable object"));
        if (!seq) return {};
        if (PySequence_Fast_GET_SIZE(seq.get()) != 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2)");
            return {};
        }
        if (add_header(out.get(), PySequence_Fast_GET_ITEM(seq.get(), 0),
                       PySequence_Fast_GET_ITEM(seq.get(), 1)) < 0)
            return {};
    }
    if (PyErr_Occurred()) return {};
    return out;
}

// b"".join(chunks) if chunks else None
Ref join_body(PyObject* chunks) {
    int truth = PyObject_IsTrue(chunks);
    if (truth < 0) return {};
    if (!truth) return Ref::none();
    if (PyList_CheckExact(chunks)) {
        Py_ssize_t n = PyList_GET_SIZE(chunks), total = 0;
        bool plain = true;
        for (Py_ssize_t i = 0; i < n && plain; ++i) {
            PyObject* c = PyList_GET_ITEM(chunks, i);
            if (PyBytes_CheckExact(c)) total += PyBytes_GET_SIZE(c);
            else plain = false;
        }
        if (plain) {
            if (n == 1) return Ref::borrow(PyList_GET_ITEM(chunks, 0));
            PyObject* out = PyBytes_FromStringAndSize(nullptr, total);
            if (!out) return {};
            char* d = PyBytes_AS_STRING(out);
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* c = PyList_GET_ITEM(chunks, i);
                std::memcpy(d, PyBytes_AS_STRING(c), PyBytes_GET_SIZE(c));
                d += PyBytes_GET_SIZE(c);
            }
            return Ref::steal(out);
        }
    }
    return call_method(empty_bytes(), ZV_STR("join"), {chunks});
}

// "HTTP/" + version if version else "HTTP/1.1"
Ref http_version(PyObject* version) {
    int truth = PyObject_IsTrue(version);
    if (truth < 0) return {};
    if (!truth) return Ref::borrow(ZV_STR("HTTP/1.1"));
    Ref text = Ref::steal(PyObject_Format(version, nullptr));
    if (!text) return {};
    return Ref::steal(PyUnicode_Concat(ZV_STR("HTTP/"), text.get()));
}

namespace {

// What the ordinary road read of one message: the callbacks object that collected it, the
// parser, and the method or status code the parser reported.
struct Parsed {
    Ref callbacks, parser, first;
};

// The steps both kinds share up to the method or status code: an empty input and a message
// without them are incomplete, and the quick road answers when it can. True when
// `*result` is decided (the record, or empty with an exception set); false to go on.
bool begin(NativeFunction* fn, PyObject* data, bool request, Parsed& parsed, Ref* result) {
    PyObject* incomplete = request ? ZV_STR("Incomplete request") : ZV_STR("Incomplete response");
    int truth = PyObject_IsTrue(data);
    if (truth == 0) raise_parser_error(fn, incomplete, nullptr);
    if (truth <= 0 || fast_parse(fn, data, request, result)) return true;
    if (!run_parser(fn, data, request ? ZV_STR("RequestCallbacks") : ZV_STR("ResponseCallbacks"),
                    request ? ZV_STR("HttpRequestParser") : ZV_STR("HttpResponseParser"), &parsed.callbacks,
                    &parsed.parser))
        return true;
    parsed.first = call_method(parsed.parser.get(), request ? ZV_STR("get_method") : ZV_STR("get_status_code"));
    truth = parsed.first ? PyObject_IsTrue(parsed.first.get()) : -1;
    if (truth == 0) raise_parser_error(fn, incomplete, nullptr);
    return truth <= 0;
}

// `x.decode() if x else otherwise` for x = callbacks.<name>.
Ref decoded_or(PyObject* callbacks, PyObject* name, Ref otherwise) {
    Ref raw = attr(callbacks, name);
    int truth = raw ? PyObject_IsTrue(raw.get()) : -1;
    if (truth < 0) return {};
    return truth ? decode(raw.get()) : otherwise;
}

// The headers and the body the callbacks object collected.
bool headers_and_body(PyObject* callbacks, Ref* headers, Ref* body) {
    Ref raw_headers = attr(callbacks, ZV_STR("headers"));
    *headers = raw_headers ? decode_headers(raw_headers.get()) : Ref{};
    Ref chunks = *headers ? attr(callbacks, ZV_STR("body_chunks")) : Ref{};
    *body = chunks ? join_body(chunks.get()) : Ref{};
    return bool(*body);
}

}  // namespace

PyObject* request_parse(NativeFunction* fn, PyObject* const* args) {
    Parsed parsed;
    Ref result;
    if (begin(fn, args[0], true, parsed, &result)) return result.release();
    Ref version_raw = call_method(parsed.parser.get(), ZV_STR("get_http_version"));
    Ref method = version_raw ? decode(parsed.first.get()) : Ref{};
    Ref path = method ? decoded_or(parsed.callbacks.get(), ZV_STR("url"), Ref::borrow(ZV_STR("/"))) : Ref{};
    Ref version = path ? http_version(version_raw.get()) : Ref{};
    Ref headers, body;
    if (!version || !headers_and_body(parsed.callbacks.get(), &headers, &body)) return nullptr;
    Ref cls = global(fn, ZV_STR("HttpRequest"));
    if (!cls) return nullptr;
    return call_kw(cls.get(), {method.get(), path.get(), version.get(), headers.get(), body.get()},
                   request_kwnames())
        .release();
}

PyObject* response_parse(NativeFunction* fn, PyObject* const* args) {
    Parsed parsed;
    Ref result;
    if (begin(fn, args[0], false, parsed, &result)) return result.release();
    PyObject* status = parsed.first.get();
    Ref version_raw = call_method(parsed.parser.get(), ZV_STR("get_http_version"));
    Ref version = version_raw ? http_version(version_raw.get()) : Ref{};
    Ref reason = version ? decoded_or(parsed.callbacks.get(), ZV_STR("reason"), Ref::none()) : Ref{};
    Ref headers, body;
    if (!reason || !headers_and_body(parsed.callbacks.get(), &headers, &body)) return nullptr;
    Ref cls = global(fn, ZV_STR("HttpResponse"));
    if (!cls) return nullptr;
    return call_kw(cls.get(), {version.get(), status, reason.get(), headers.get(), body.get()},
                   response_kwnames())
        .release();
}

}  // namespace zv::types
