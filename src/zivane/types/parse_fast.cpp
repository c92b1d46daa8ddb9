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
        if (head.content_length >= 0 || !lower_equals(head.values[head.transfer_encoding], "chunked", 7))
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

// Common header names as interned text, so most names cost no allocation.
PyObject* known_name(const char* lower, Py_ssize_t n) {
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
    if (!read_head(bytes, size, head)) return false;

    Ref first = call_method(parser.get(), request ? ZV_STR("get_method") : ZV_STR("get_status_code"));
    if (!first) {
        PyErr_Clear();
        return false;
    }
    bool no_body = false;
    if (!request) {
        // Responses that never carry a body, whatever their headers say.
        long status = PyLong_AsLong(first.get());
        if (status == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        no_body = (status >= 100 && status < 200) || status == 204 || status == 304;
    }
    Ref body;
    if (!read_body(bytes, size, head, no_body, &body)) return false;
    int truth = PyObject_IsTrue(first.get());
    if (truth <= 0) {
        PyErr_Clear();
        return false;  // the ordinary road raises "Incomplete ..."
    }

    // From here on the result is decided: errors are real errors.
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
        Ref headers = build_headers(head.names, head.values, head.count);
        if (!headers) return true;
        Ref cls = global(fn, ZV_STR("HttpRequest"));
        if (!cls) return true;
        Ref record = new_record(cls.get(), st->request, {method.get(), path.get(), version.get(), headers.get(), body.get()});
        if (record || PyErr_Occurred()) {
            *result = record.release();
            return true;
        }
        *result = call_kw(cls.get(), {method.get(), path.get(), version.get(), headers.get(), body.get()},
                          request_kwnames())
                      .release();
        return true;
    }
    Ref version = http_version(version_raw.get());
    if (!version) return true;
    Ref headers = build_headers(head.names, head.values, head.count);
    if (!headers) return true;
    Ref cls = global(fn, ZV_STR("HttpResponse"));
    if (!cls) return true;
    if (cls.get() == st->response_type) {
        // The constructor's default phrase, looked up as it would look it up.
        Ref lookup = global(fn, ZV_STR("reason_text"));
        if (!lookup) return true;
        Ref reason = call(lookup.get(), {first.get()});
        if (!reason) return true;
        Ref record = new_record(cls.get(), st->response, {version.get(), first.get(), reason.get(), headers.get(), body.get()});
        if (record || PyErr_Occurred()) {
            *result = record.release();
            return true;
        }
        // The class changed while reason_text ran: call it after all, as the ordinary road does.
    }
    *result = call_kw(cls.get(), {version.get(), first.get(), Py_None, headers.get(), body.get()},
                      response_kwnames())
                  .release();
    return true;
}

}  // namespace zv::types
