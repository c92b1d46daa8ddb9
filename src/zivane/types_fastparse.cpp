// The quick road through parsing.
//
// With a Python-level callbacks object, httptools spends most of its time on headers: two
// bytes objects and a method call per header, plus the callbacks object's own dictionary
// and list. When the module still holds the parser and callbacks classes it started with
// (and nobody changed those classes), nothing can observe the callbacks object, so this
// path hands httptools a small native collector that takes the URL, body pieces and a few
// counts but no headers. httptools still tokenizes and validates the whole input; the
// header lines are then read from the bytes it accepted. That reading only handles the
// plain shape (token name, colon, optional spaces, printable ASCII value, CR LF, a single
// message, no trailers); anything else returns "cannot tell" and the caller parses again
// the ordinary way, which then decides (including every error).
#include "types_internal.hpp"

#include <cstring>

namespace zv::types {
namespace {

struct Collector {
    PyObject_HEAD
    PyObject* url;     // last reported URL, or NULL
    PyObject* chunks;  // list of body pieces
};

Collector* as_collector(PyObject* self) { return reinterpret_cast<Collector*>(self); }

PyObject* c_on_url(PyObject* self, PyObject* url) {
    Py_XSETREF(as_collector(self)->url, Py_NewRef(url));
    Py_RETURN_NONE;
}

PyObject* c_on_body(PyObject* self, PyObject* body) {
    if (PyList_Append(as_collector(self)->chunks, body) < 0) return nullptr;
    Py_RETURN_NONE;
}

void c_dealloc(PyObject* self) {
    Collector* c = as_collector(self);
    PyTypeObject* tp = Py_TYPE(self);
    Py_XDECREF(c->url);
    Py_XDECREF(c->chunks);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef request_methods[] = {
    {"on_url", c_on_url, METH_O, nullptr},
    {"on_body", c_on_body, METH_O, nullptr},
    {nullptr},
};

PyMethodDef response_methods[] = {
    {"on_body", c_on_body, METH_O, nullptr},
    {nullptr},
};

PyType_Slot request_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(c_dealloc)},
    {Py_tp_methods, request_methods},
    {0, nullptr},
};

PyType_Slot response_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(c_dealloc)},
    {Py_tp_methods, response_methods},
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
    c->chunks = PyList_New(0);
    Ref owned = Ref::steal(reinterpret_cast<PyObject*>(c));
    if (!c->chunks) return {};
    return owned;
}

// ----- reading the header lines ------------------------------------------------------------

struct Span {
    const char* p;
    Py_ssize_t n;
};

constexpr int kMaxHeaders = 64;

bool is_tchar(unsigned char c) {
    static const char extra[] = "!#$%&'*+-.^_`|~";
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c && std::memchr(extra, c, sizeof(extra) - 1));
}

Ref ascii_text(const Span& s, bool lower) {
    PyObject* out = PyUnicode_New(s.n, 127);
    if (!out) return {};
    Py_UCS1* d = PyUnicode_1BYTE_DATA(out);
    if (lower) {
        for (Py_ssize_t i = 0; i < s.n; ++i) {
            unsigned char c = static_cast<unsigned char>(s.p[i]);
            d[i] = (c >= 'A' && c <= 'Z') ? c + 32 : c;
        }
    } else {
        std::memcpy(d, s.p, s.n);
    }
    return Ref::steal(out);
}

bool lower_equals(const Span& s, const char* lower_literal, Py_ssize_t n) {
    if (s.n != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        char c = s.p[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != lower_literal[i]) return false;
    }
    return true;
}

struct Head {
    Span names[kMaxHeaders];
    Span values[kMaxHeaders];
    int count = 0;
    Py_ssize_t end = 0;           // just past the empty line
    int content_length = -1;      // index of the header, -1 for none
    bool transfer_encoding = false;
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
        while (p < limit && is_tchar(static_cast<unsigned char>(*p))) ++p;
        if (p == name || p == limit || *p != ':') return false;
        head.names[n] = {name, p - name};
        ++p;
        while (p < limit && *p == ' ') ++p;
        const char* value = p;
        while (p < limit && static_cast<unsigned char>(*p) >= 0x20 && static_cast<unsigned char>(*p) < 0x7f) ++p;
        if (p == value || limit - p < 2 || p[0] != '\r' || p[1] != '\n') return false;
        head.values[n] = {value, p - value};
        if (lower_equals(head.names[n], "content-length", 14)) {
            if (head.content_length >= 0) return false;
            head.content_length = n;
        } else if (lower_equals(head.names[n], "transfer-encoding", 17)) {
            head.transfer_encoding = true;
        }
        ++n;
        p += 2;
    }
}

// Walks chunked framing from `pos`; true when it ends in the last chunk, with no trailer
// fields and no chunk extensions, exactly at the end of the data.
bool plain_chunks(const char* data, Py_ssize_t size, Py_ssize_t pos) {
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
        pos += length;
        if (data[pos] != '\r' || data[pos + 1] != '\n') return false;
        pos += 2;
    }
}

// True when `data` holds one message only (complete or cut short), so the parser reported
// nothing from a second one.
bool single_message(const char* data, Py_ssize_t size, const Head& head) {
    if (head.transfer_encoding) return plain_chunks(data, size, head.end);
    if (head.content_length < 0) return size == head.end;
    const Span& v = head.values[head.content_length];
    if (v.n > 15) return false;
    Py_ssize_t length = 0;
    for (Py_ssize_t i = 0; i < v.n; ++i) {
        if (v.p[i] < '0' || v.p[i] > '9') return false;
        length = length * 10 + (v.p[i] - '0');
    }
    return size - head.end <= length;
}

// Common header names as interned text, so most names cost no allocation.
PyObject* known_name(const char* lower, Py_ssize_t n) {
    static const char* const names[] = {
        "host", "user-agent", "accept", "accept-language", "accept-encoding", "connection",
        "cache-control", "content-type", "content-length", "transfer-encoding", "date", "server",
        "etag", "location", "cookie", "set-cookie", "authorization", "x-request-id",
        "x-frame-options", "last-modified", "vary", "expires", "pragma", "referer", "origin",
        "content-encoding", "keep-alive", "upgrade-insecure-requests", "if-none-match",
        "if-modified-since", "access-control-allow-origin",
    };
    constexpr int count = sizeof(names) / sizeof(names[0]);
    static PyObject* texts[count] = {};
    for (int i = 0; i < count; ++i) {
        if (static_cast<Py_ssize_t>(std::strlen(names[i])) != n || std::memcmp(names[i], lower, n) != 0) continue;
        if (!texts[i]) texts[i] = PyUnicode_InternFromString(names[i]);
        return texts[i] ? Py_NewRef(texts[i]) : nullptr;
    }
    return nullptr;
}

Ref name_text(const Span& s) {
    char buf[48];
    if (s.n <= static_cast<Py_ssize_t>(sizeof(buf))) {
        for (Py_ssize_t i = 0; i < s.n; ++i) {
            char c = s.p[i];
            buf[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        }
        if (PyObject* known = known_name(buf, s.n)) return Ref::steal(known);
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

bool unchanged(PyObject* current, PyObject* original, unsigned int tag) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(original);
    return current == original && tag != 0 && type->tp_version_tag == tag;
}

}  // namespace

bool fast_parse(NativeFunction* fn, PyObject* data, bool request, PyObject** result) {
    if (!PyBytes_CheckExact(data)) return false;
    State* st = state_of(fn->module);
    PyObject* dict = PyModule_GetDict(fn->module);
    // Borrowed look-ups without side effects: the module dictionary has only str keys.
    PyObject* callbacks = PyDict_GetItemWithError(dict, request ? ZV_STR("RequestCallbacks") : ZV_STR("ResponseCallbacks"));
    PyObject* parser_cls = PyDict_GetItemWithError(dict, request ? ZV_STR("HttpRequestParser") : ZV_STR("HttpResponseParser"));
    if (!callbacks || !parser_cls) {
        PyErr_Clear();
        return false;
    }
    if (!unchanged(callbacks, request ? st->request_callbacks : st->response_callbacks,
                   request ? st->request_callbacks_tag : st->response_callbacks_tag) ||
        parser_cls != (request ? st->request_parser : st->response_parser))
        return false;

    Ref collector = new_collector(request);
    if (!collector) {
        PyErr_Clear();
        return false;
    }
    Ref parser = call(parser_cls, {collector.get()});
    if (!parser || !call_method(parser.get(), ZV_STR("feed_data"), {data})) {
        PyErr_Clear();
        return false;
    }
    Collector* c = as_collector(collector.get());
    const char* bytes = PyBytes_AS_STRING(data);
    Py_ssize_t size = PyBytes_GET_SIZE(data);
    Head head;
    if (!read_head(bytes, size, head) || !single_message(bytes, size, head)) return false;
    const Span* names = head.names;
    const Span* values = head.values;
    int count = head.count;

    // From here on the result is decided: errors are real errors.
    Ref first = call_method(parser.get(), request ? ZV_STR("get_method") : ZV_STR("get_status_code"));
    if (!first) {
        PyErr_Clear();
        return false;
    }
    int truth = PyObject_IsTrue(first.get());
    if (truth <= 0) {
        PyErr_Clear();
        return false;  // the ordinary path raises "Incomplete ..."
    }
    *result = nullptr;
    Ref version_raw = call_method(parser.get(), ZV_STR("get_http_version"));
    if (!version_raw) return true;
    if (request) {
        Ref method = decode(first.get());
        if (!method) return true;
        Ref path = c->url && PyBytes_GET_SIZE(c->url) ? decode(c->url) : Ref::borrow(ZV_STR("/"));
        if (!path) return true;
        Ref version = http_version(version_raw.get());
        if (!version) return true;
        Ref headers = build_headers(names, values, count);
        if (!headers) return true;
        Ref body = join_body(c->chunks);
        if (!body) return true;
        Ref cls = global(fn, ZV_STR("HttpRequest"));
        if (!cls) return true;
        *result = call_kw(cls.get(), {method.get(), path.get(), version.get(), headers.get(), body.get()},
                          request_kwnames())
                      .release();
        return true;
    }
    Ref version = http_version(version_raw.get());
    if (!version) return true;
    Ref headers = build_headers(names, values, count);
    if (!headers) return true;
    Ref body = join_body(c->chunks);
    if (!body) return true;
    Ref cls = global(fn, ZV_STR("HttpResponse"));
    if (!cls) return true;
    *result = call_kw(cls.get(), {version.get(), first.get(), Py_None, headers.get(), body.get()},
                      response_kwnames())
                  .release();
    return true;
}

}  // namespace zv::types
