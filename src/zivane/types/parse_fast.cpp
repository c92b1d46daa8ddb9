// The quick road through parsing.
//
// With a Python-level callbacks object, httptools spends most of its time on callbacks: two
// bytes objects and a method call per header, a bytes object per body piece, plus the
// callbacks object's own dictionary and list. When the module still holds the parser and
// callbacks classes it started with (and nobody changed those classes), nothing can observe
// the callbacks object, so this road hands httptools a native collector that takes only
// the URL. httptools still tokenizes and validates the whole input; the header lines and
// the body are then read from the bytes it accepted. That reading handles only the plain
// shape (token name, colon, optional spaces, printable ASCII value, CR LF; one message,
// framed by Content-Length, by plain chunked coding without extensions or trailers, or
// with no body); for anything else it answers "cannot tell" and the caller parses again
// the ordinary way, which then decides (including every error).
#include "types/layout.hpp"

#include "support/ascii.hpp"

#include <cstring>
#include <string_view>

namespace zv::types {
namespace {

struct Collector {
    PyObject_HEAD
    PyObject* url;  // last reported URL, or NULL
};

Collector* as_collector(PyObject* self) { return reinterpret_cast<Collector*>(self); }

PyObject* c_on_url(PyObject* self, PyObject* url) {
    Py_XSETREF(as_collector(self)->url, Py_NewRef(url));
    Py_RETURN_NONE;
}

void c_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    Py_XDECREF(as_collector(self)->url);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef request_methods[] = {
    {"on_url", c_on_url, METH_O, nullptr},
    {nullptr},
};

PyType_Slot request_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(c_dealloc)},
    {Py_tp_methods, request_methods},
    {0, nullptr},
};

// A response needs nothing reported: status and version come from the parser itself.
PyType_Slot response_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(c_dealloc)},
    {0, nullptr},
};

PyType_Spec request_spec = {"zivane.types._RequestCollector", sizeof(Collector), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, request_slots};
PyType_Spec response_spec = {"zivane.types._ResponseCollector", sizeof(Collector), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, response_slots};

// Process-wide and never released: nothing outside this file ever sees them.
PyTypeObject* collector_type(bool request) {
    static PyTypeObject* types[2] = {};
    PyTypeObject*& t = types[request ? 0 : 1];
    if (!t) t = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(request ? &request_spec : &response_spec));
    return t;
}

Ref new_collector(bool request) {
    PyTypeObject* type = collector_type(request);
    if (!type) return {};
    Collector* c = PyObject_New(Collector, type);
    if (!c) return {};
    c->url = nullptr;
    return Ref::steal(reinterpret_cast<PyObject*>(c));
}

// ----- reading the header lines ------------------------------------------------------------

struct Span {
    const char* p;
    Py_ssize_t n;
};

constexpr int kMaxHeaders = 64;

Ref ascii_text(const Span& s, bool lower) {
    PyObject* out = PyUnicode_New(s.n, 127);
    if (!out) return {};
    Py_UCS1* d = PyUnicode_1BYTE_DATA(out);
    if (lower)
        ascii::copy_lower(reinterpret_cast<char*>(d), s.p, std::size_t(s.n));
    else
        std::memcpy(d, s.p, s.n);
    return Ref::steal(out);
}

bool lower_equals(const Span& s, std::string_view lower) {
    return ascii::equals_lower(std::string_view(s.p, std::size_t(s.n)), lower);
}

struct Head {
    Span names[kMaxHeaders];
    Span values[kMaxHeaders];
    int count = 0;
    Py_ssize_t end = 0;           // just past the empty line
    int content_length = -1;      // index of the header, -1 for none
    int transfer_encoding = -1;   // likewise
};

// Reads the plain header lines of the first message in `data`. False for anything
// outside the plain shape.
bool read_head(const char* data, Py_ssize_t size, Head& head) {
    const char* p = data;
    const char* limit = data + size;
    if (p == limit || *p == '\r' || *p == '\n') return false;
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', limit - p));
    if (!nl || nl == p || nl[-1] != '\r') return false;
    p = nl + 1;
    int n = 0;
    for (;;) {
        if (limit - p >= 2 && p[0] == '\r' && p[1] == '\n') {
            head.count = n;
            head.end = (p + 2) - data;
            return true;
        }
        if (n == kMaxHeaders) return false;
        const char* name = p;
        while (p < limit && ascii::is_token_char(*p)) ++p;
        if (p == name || p == limit || *p != ':') return false;
        head.names[n] = {name, p - name};
        ++p;
        while (p < limit && *p == ' ') ++p;
        const char* value = p;
        while (p < limit && static_cast<unsigned char>(*p) >= 0x20 && static_cast<unsigned char>(*p) < 0x7f) ++p;
        if (p == value || limit - p < 2 || p[0] != '\r' || p[1] != '\n') return false;
        head.values[n] = {value, p - value};
        if (lower_equals(head.names[n], "content-length")) {
            if (head.content_length >= 0) return false;
            head.content_length = n;
        } else if (lower_equals(head.names[n], "transfer-encoding")) {
            if (head.transfer_encoding >= 0) return false;
            head.transfer_encoding = n;
        }
        ++n;
        p += 2;
    }
}

// Walks chunked framing from `pos`; true when it ends in the last chunk, with no trailer
// fields and no chunk extensions, exactly at the end of the data. With `out`, copies the
// chunks' data there; otherwise adds their length to `*total`.
bool walk_chunks(const char* data, Py_ssize_t size, Py_ssize_t pos, Py_ssize_t* total, char* out) {
    for (;;) {
        Py_ssize_t length = 0;
        int digits = 0;
        while (pos < size) {
            char c = data[pos];
            int v = (c >= '0' && c <= '9') ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
            if (v < 0) break;
            if (++digits > 12) return false;
            length = length * 16 + v;
            ++pos;
        }
        if (!digits || size - pos < 2 || data[pos] != '\r' || data[pos + 1] != '\n') return false;
        pos += 2;
        if (length == 0) return size - pos == 2 && data[pos] == '\r' && data[pos + 1] == '\n';
        if (size - pos < length + 2) return false;
        if (out) {
            std::memcpy(out, data + pos, length);
            out += length;
        } else {
            *total += length;
        }
        pos += length;
        if (data[pos] != '\r' || data[pos + 1] != '\n') return false;
        pos += 2;
    }
}

// The body exactly as the parser would have reported it in pieces, joined: `*body` is set
// to bytes, or None when no piece would have come. False when `data` is not one plainly
// framed message (so the parser could have reported parts of a second one).
bool read_body(const char* data, Py_ssize_t size, const Head& head, bool no_body, Ref* body) {
    Py_ssize_t start = head.end;
    if (no_body || (head.content_length < 0 && head.transfer_encoding < 0)) {
        if (size != start) return false;
        *body = Ref::none();
        return true;
    }
    if (head.transfer_encoding >= 0) {
        if (head.content_length >= 0 || !lower_equals(head.values[head.transfer_encoding], "chunked"))
            return false;
        Py_ssize_t total = 0;
        if (!walk_chunks(data, size, start, &total, nullptr)) return false;
        if (total == 0) {
            *body = Ref::none();
            return true;
        }
        *body = Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
        if (!*body) {
            PyErr_Clear();
            return false;
        }
        walk_chunks(data, size, start, &total, PyBytes_AS_STRING(body->get()));
        return true;
    }
    const Span& v = head.values[head.content_length];
    if (v.n > 15) return false;
    Py_ssize_t length = 0;
    for (Py_ssize_t i = 0; i < v.n; ++i) {
        if (v.p[i] < '0' || v.p[i] > '9') return false;
        length = length * 10 + (v.p[i] - '0');
    }
    Py_ssize_t present = size - start;
    if (present > length) return false;
    if (present == 0) {
        *body = Ref::none();
        return true;
    }
    *body = Ref::steal(PyBytes_FromStringAndSize(data + start, present));
    if (!*body) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// Common header names as interned text, so most names cost no allocation; empty (with no
// exception) for any other name.
Ref known_name(const char* lower, Py_ssize_t n) {
    static constexpr std::string_view names[] = {
        "host", "user-agent", "accept", "accept-language", "accept-encoding", "connection",
        "cache-control", "content-type", "content-length", "transfer-encoding", "date", "server",
        "etag", "location", "cookie", "set-cookie", "authorization", "x-request-id",
        "x-frame-options", "last-modified", "vary", "expires", "pragma", "referer", "origin",
        "content-encoding", "keep-alive", "upgrade-insecure-requests", "if-none-match",
        "if-modified-since", "access-control-allow-origin",
    };
    constexpr int count = sizeof(names) / sizeof(names[0]);
    static PyObject* texts[count] = {};
    std::string_view wanted(lower, static_cast<size_t>(n));
    for (int i = 0; i < count; ++i) {
        if (names[i] != wanted) continue;
        if (!texts[i]) {
            texts[i] = PyUnicode_FromStringAndSize(names[i].data(), n);
            if (texts[i]) PyUnicode_InternInPlace(&texts[i]);
        }
        return Ref::borrow(texts[i]);
    }
    return {};
}

Ref name_text(const Span& s) {
    char buf[48];
    if (s.n <= static_cast<Py_ssize_t>(sizeof(buf))) {
        ascii::copy_lower(buf, s.p, std::size_t(s.n));
        if (Ref known = known_name(buf, s.n)) return known;
        PyErr_Clear();
    }
    return ascii_text(s, true);
}

// The headers as the ordinary path builds them: through a dictionary of raw names (equal
// byte strings merge there first) and then the lower-cased one.
Ref build_headers(const Span* names, const Span* values, int count) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return {};
    for (int i = 0; i < count; ++i) {
        Ref key = name_text(names[i]);
        if (!key) return {};
        Ref value = ascii_text(values[i], false);
        if (!value) return {};
        Py_ssize_t before = PyDict_GET_SIZE(out.get());
        if (PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return {};
        if (PyDict_GET_SIZE(out.get()) == before) {
            // A repeated name: the order in which repeats merge matters, so do it exactly.
            Ref raw = Ref::steal(PyDict_New());
            if (!raw) return {};
            for (int j = 0; j < count; ++j) {
                Ref k = Ref::steal(PyBytes_FromStringAndSize(names[j].p, names[j].n));
                Ref v = Ref::steal(PyBytes_FromStringAndSize(values[j].p, values[j].n));
                if (!k || !v || PyDict_SetItem(raw.get(), k.get(), v.get()) < 0) return {};
            }
            return decode_headers(raw.get());
        }
    }
    return out;
}

// What calling an unchanged record class with these fields (in slot order) makes: the
// class's own __new__ and __init__ would only allocate and store them.
Ref new_record(PyObject* cls, RecordLayout& layout, std::initializer_list<PyObject*> fields) {
    if (cls != reinterpret_cast<PyObject*>(layout.type) || !same_layout(layout)) return {};
    PyObject* obj = layout.type->tp_alloc(layout.type, 0);
    if (!obj) return {};
    int i = 0;
    for (PyObject* f : fields) raw_field(obj, layout, i++) = Py_NewRef(f);
    return Ref::steal(obj);
}

bool unchanged(PyObject* current, PyObject* original, unsigned int tag) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(original);
    return current == original && tag != 0 && type->tp_version_tag == tag;
}

// The module's parser class for this kind of message, when it and the callbacks class are
// still the ones the module started with (and the callbacks class is unchanged); else NULL.
PyObject* original_parser(NativeFunction* fn, bool request) {
    State* st = state_of(fn->module);
    PyObject* dict = PyModule_GetDict(fn->module);
    // Borrowed look-ups without side effects: the module dictionary has only str keys.
    PyObject* callbacks =
        PyDict_GetItemWithError(dict, request ? ZV_STR("RequestCallbacks") : ZV_STR("ResponseCallbacks"));
    PyObject* parser =
        PyDict_GetItemWithError(dict, request ? ZV_STR("HttpRequestParser") : ZV_STR("HttpResponseParser"));
    if (!callbacks || !parser) {
        PyErr_Clear();
        return nullptr;
    }
    if (!unchanged(callbacks, request ? st->request_callbacks : st->response_callbacks,
                   request ? st->request_callbacks_tag : st->response_callbacks_tag) ||
        parser != (request ? st->request_parser : st->response_parser))
        return nullptr;
    return parser;
}

// What the quick road found in a message it can read: the parser that accepted it (with
// its collector), the head and the body, and the method or status the parser reported.
struct Plain {
    Ref parser, collector;
    Head head;
    Ref first;  // the method (request) or the status code (response)
    Ref body;
};

// Responses that never carry a body, whatever their headers say. False: cannot tell.
bool bodiless_status(PyObject* status, bool* no_body) {
    long code = PyLong_AsLong(status);
    if (code == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    *no_body = (code >= 100 && code < 200) || code == 204 || code == 304;
    return true;
}

// httptools run over `data` with a collector, and the message read plainly. False (no
// exception set) when the ordinary road must decide.
bool read_plain(PyObject* parser_cls, PyObject* data, bool request, Plain& plain) {
    plain.collector = new_collector(request);
    plain.parser = plain.collector ? call(parser_cls, {plain.collector.get()}) : Ref{};
    if (!plain.parser || !call_method(plain.parser.get(), ZV_STR("feed_data"), {data})) {
        PyErr_Clear();
        return false;
    }
    const char* bytes = PyBytes_AS_STRING(data);
    Py_ssize_t size = PyBytes_GET_SIZE(data);
    if (!read_head(bytes, size, plain.head)) return false;
    plain.first = call_method(plain.parser.get(), request ? ZV_STR("get_method") : ZV_STR("get_status_code"));
    if (!plain.first) {
        PyErr_Clear();
        return false;
    }
    bool no_body = false;
    if (!request && !bodiless_status(plain.first.get(), &no_body)) return false;
    if (!read_body(bytes, size, plain.head, no_body, &plain.body)) return false;
    int truth = PyObject_IsTrue(plain.first.get());
    if (truth <= 0) PyErr_Clear();
    return truth > 0;  // else the ordinary road raises "Incomplete ..."
}

Ref finish_request(NativeFunction* fn, Plain& plain, PyObject* version_raw) {
    Ref method = decode(plain.first.get());
    if (!method) return {};
    PyObject* url = as_collector(plain.collector.get())->url;
    Ref path = url && PyBytes_GET_SIZE(url) ? decode(url) : Ref::borrow(ZV_STR("/"));
    Ref version = path ? http_version(version_raw) : Ref{};
    Ref headers = version ? build_headers(plain.head.names, plain.head.values, plain.head.count) : Ref{};
    Ref cls = headers ? global(fn, ZV_STR("HttpRequest")) : Ref{};
    if (!cls) return {};
    auto fields = {method.get(), path.get(), version.get(), headers.get(), plain.body.get()};
    Ref record = new_record(cls.get(), state_of(fn->module)->request, fields);
    if (record || PyErr_Occurred()) return record;
    return call_kw(cls.get(), fields, request_kwnames());
}

Ref finish_response(NativeFunction* fn, Plain& plain, PyObject* version_raw) {
    Ref version = http_version(version_raw);
    Ref headers = version ? build_headers(plain.head.names, plain.head.values, plain.head.count) : Ref{};
    Ref cls = headers ? global(fn, ZV_STR("HttpResponse")) : Ref{};
    if (!cls) return {};
    State* st = state_of(fn->module);
    PyObject* status = plain.first.get();
    if (cls.get() == st->response_type) {
        // The constructor's default phrase, looked up as it would look it up.
        Ref lookup = global(fn, ZV_STR("reason_text"));
        Ref reason = lookup ? call(lookup.get(), {status}) : Ref{};
        if (!reason) return {};
        Ref record = new_record(cls.get(), st->response,
                                {version.get(), status, reason.get(), headers.get(), plain.body.get()});
        if (record || PyErr_Occurred()) return record;
        // The class changed while reason_text ran: call it after all, as the ordinary road does.
    }
    return call_kw(cls.get(), {version.get(), status, Py_None, headers.get(), plain.body.get()},
                   response_kwnames());
}

}  // namespace

bool fast_parse(NativeFunction* fn, PyObject* data, bool request, Ref* result) {
    if (!PyBytes_CheckExact(data)) return false;
    PyObject* parser_cls = original_parser(fn, request);
    Plain plain;
    if (!parser_cls || !read_plain(parser_cls, data, request, plain)) return false;
    // From here on the result is decided: errors are real errors.
    Ref version_raw = call_method(plain.parser.get(), ZV_STR("get_http_version"));
    if (!version_raw) {
        *result = Ref{};
        return true;
    }
    *result = request ? finish_request(fn, plain, version_raw.get()) : finish_response(fn, plain, version_raw.get());
    return true;
}

}  // namespace zv::types
