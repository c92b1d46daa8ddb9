// Serialization of the records to HTTP/1.1 bytes, and chunked transfer coding.
//
// Every message is built in one pass into one pre-sized bytes object. Records whose fields
// are plain ASCII `str`, a plain `dict` of them and a `bytes` body (nearly all of them) take
// a path that reads the slots directly and runs no Python code; anything else takes the
// general path, which goes through format(), dict(), .lower(), len() and the buffer
// protocol exactly as the record's behaviour defines.
//
// CR, LF and NUL are refused in every start-line part, header name and header value: one
// of them would let a field end the line early and forge headers or a second message.
#include "types/functions.hpp"
#include "types/layout.hpp"

#include "support/ascii.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zv::types {
namespace {

constexpr Py_ssize_t kChunkSize = 4096;

struct Text {
    const char* p = nullptr;
    Py_ssize_t n = 0;
};

// CR, LF or NUL anywhere in the text. Eight bytes at a time: a word with no byte below 14
// cannot hold one (the usual case); only such words are looked at byte by byte.
inline bool forbidden_byte(unsigned c) { return (c <= 13u) & (0x2401u >> (c & 15u)) & 1u; }

bool has_forbidden(const Text& t) {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(t.p);
    Py_ssize_t i = 0;
    for (; i + 8 <= t.n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if ((w - ones * 14) & ~w & highs)
            for (int j = 0; j < 8; ++j)
                if (forbidden_byte(p[i + j])) return true;
    }
    for (; i < t.n; ++i)
        if (forbidden_byte(p[i])) return true;
    return false;
}

// An exact, ASCII `str` with no forbidden character: its bytes are its UTF-8 encoding.
inline bool plain(PyObject* s, Text* t) {
    if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s)) return false;
    t->p = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s));
    t->n = PyUnicode_GET_LENGTH(s);
    return !has_forbidden(*t);
}

// The bytes of a text already found plain.
inline Text view(PyObject* s) {
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)), PyUnicode_GET_LENGTH(s)};
}

inline bool equals(const Text& t, const char* literal, Py_ssize_t n) {
    return t.n == n && std::memcmp(t.p, literal, n) == 0;
}

bool equals_lower(const Text& t, std::string_view lower) {
    return ascii::equals_lower(std::string_view(t.p, std::size_t(t.n)), lower);
}

constexpr const char kTE[] = "Transfer-Encoding";
constexpr Py_ssize_t kTELen = sizeof(kTE) - 1;
constexpr const char kCL[] = "Content-Length";
constexpr Py_ssize_t kCLLen = sizeof(kCL) - 1;

inline char* put(char* d, const char* s, Py_ssize_t n) {
    std::memcpy(d, s, n);
    return d + n;
}
inline char* put(char* d, const Text& t) { return put(d, t.p, t.n); }

inline Py_ssize_t decimal_length(long long v) {
    char buf[24];
    return std::to_chars(buf, buf + sizeof(buf), v).ptr - buf;
}
inline char* put_decimal(char* d, long long v) { return std::to_chars(d, d + 24, v).ptr; }

inline Py_ssize_t hex_length(Py_ssize_t v) {
    Py_ssize_t n = 1;
    while (v >>= 4) ++n;
    return n;
}

Py_ssize_t chunked_size(Py_ssize_t n) {
    Py_ssize_t full = n / kChunkSize, rest = n % kChunkSize;
    Py_ssize_t size = full * (hex_length(kChunkSize) + 4 + kChunkSize) + 5;
    if (rest) size += hex_length(rest) + 4 + rest;
    return size;
}

char* put_chunked(char* d, const char* src, Py_ssize_t n) {
    for (Py_ssize_t off = 0; off < n; off += kChunkSize) {
        Py_ssize_t len = n - off < kChunkSize ? n - off : kChunkSize;
        d = std::to_chars(d, d + 16, len, 16).ptr;
        d = put(d, "\r\n", 2);
        d = put(d, src + off, len);
        d = put(d, "\r\n", 2);
    }
    return put(d, "0\r\n\r\n", 5);
}

// ----- fast path --------------------------------------------------------------------------

// What the fast path found out about one message; `ok` false means "take the general path".
struct Plan {
    bool ok = false;
    Text start[3];
    long long status = 0;
    bool numeric_status = false;
    PyObject* headers = nullptr;
    PyObject* body = nullptr;  // None or exact bytes
    bool chunked = false;
    bool add_length = false;
    Py_ssize_t size = 0;
    // The header texts seen while planning (when they fit), so writing need not walk the
    // dictionary again; nothing runs in between that could change it.
    static constexpr int kKept = 24;
    Text kept[kKept][2];
    int nkept = 0;
    bool all_kept = true;
};

// Checks the headers and the body and works out the framing; `plan.size` must already
// hold the start line's size.
void plan_headers_and_body(NativeFunction* fn, Plan& plan) {
    PyObject* headers = plan.headers;
    if (!PyDict_CheckExact(headers)) return;
    PyObject* body = plan.body;
    if (body != Py_None && !PyBytes_CheckExact(body)) return;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    Text name, value;
    Text te, cl;
    bool has_te = false, has_cl = false;
    while (PyDict_Next(headers, &pos, &k, &v)) {
        if (!plain(k, &name) || !plain(v, &value)) return;
        plan.size += name.n + value.n + 4;
        if (plan.nkept < Plan::kKept) {
            plan.kept[plan.nkept][0] = name;
            plan.kept[plan.nkept++][1] = value;
        } else {
            plan.all_kept = false;
        }
        if (equals(name, kTE, kTELen)) {
            te = value;
            has_te = true;
        } else if (equals(name, kCL, kCLLen)) {
            cl = value;
            has_cl = true;
        }
    }
    plan.size += 2;
    if (body != Py_None) {
        Py_ssize_t n = PyBytes_GET_SIZE(body);
        if (has_te && equals_lower(te, "chunked")) {
            Ref encoder = global(fn, ZV_STR("encode_chunked"));
            if (!encoder) {
                PyErr_Clear();
                return;
            }
            if (encoder.get() != state_of(fn->module)->encode_chunked) return;
            plan.chunked = true;
            plan.size += 7 - te.n;
            if (has_cl) plan.size -= kCLLen + cl.n + 4;
            plan.size += chunked_size(n);
        } else {
            if (!has_cl) {
                plan.add_length = true;
                plan.size += kCLLen + 4 + decimal_length(n);
            }
            plan.size += n;
        }
    }
    plan.ok = true;
}

Ref write_plan(const Plan& plan) {
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, plan.size));
    if (!out) return {};
    char* d = PyBytes_AS_STRING(out.get());
    d = put(d, plan.start[0]);
    *d++ = ' ';
    if (plan.numeric_status)
        d = put_decimal(d, plan.status);
    else
        d = put(d, plan.start[1]);
    *d++ = ' ';
    d = put(d, plan.start[2]);
    d = put(d, "\r\n", 2);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (int i = 0;; ++i) {
        Text name, value;
        if (plan.all_kept) {
            if (i == plan.nkept) break;
            name = plan.kept[i][0];
            value = plan.kept[i][1];
        } else {
            if (!PyDict_Next(plan.headers, &pos, &k, &v)) break;
            name = view(k);
            value = view(v);
        }
        if (plan.chunked) {
            if (equals(name, kCL, kCLLen)) continue;
            if (equals(name, kTE, kTELen)) value = {"chunked", 7};
        }
        d = put(d, name);
        d = put(d, ": ", 2);
        d = put(d, value);
        d = put(d, "\r\n", 2);
    }
    if (plan.add_length) {
        d = put(d, kCL, kCLLen);
        d = put(d, ": ", 2);
        d = put_decimal(d, PyBytes_GET_SIZE(plan.body));
        d = put(d, "\r\n", 2);
    }
    d = put(d, "\r\n", 2);
    if (plan.body != Py_None) {
        const char* src = PyBytes_AS_STRING(plan.body);
        Py_ssize_t n = PyBytes_GET_SIZE(plan.body);
        d = plan.chunked ? put_chunked(d, src, n) : put(d, src, n);
    }
    return out;
}

// ----- general path -------------------------------------------------------------------------

class Builder {
public:
    void add(const char* p, Py_ssize_t n) {
        parts_.push_back({p, n});
        total_ += n;
    }
    void add(const Text& t) { add(t.p, t.n); }
    void keep(Ref r) { keep_.push_back(std::move(r)); }

    // The UTF-8 bytes of `text` (a str), valid while the builder lives. On failure the
    // exception is set.
    bool utf8(PyObject* text, Text* t) {
        if (PyUnicode_IS_ASCII(text)) {
            t->p = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
            t->n = PyUnicode_GET_LENGTH(text);
            return true;
        }
        Ref encoded = Ref::steal(PyUnicode_AsUTF8String(text));
        if (!encoded) return false;
        t->p = PyBytes_AS_STRING(encoded.get());
        t->n = PyBytes_GET_SIZE(encoded.get());
        keep(std::move(encoded));
        return true;
    }

    Ref finish() {
        Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, total_));
        if (!out) return {};
        char* d = PyBytes_AS_STRING(out.get());
        for (const Text& t : parts_) d = put(d, t);
        return out;
    }

private:
    std::vector<Text> parts_;
    std::vector<Ref> keep_;
    Py_ssize_t total_ = 0;
};

// Raises the error that encoding the whole line as UTF-8 gives (positions count from the
// start of the line).
bool raise_line_encode_error(std::initializer_list<PyObject*> pieces) {
    PyErr_Clear();
    Ref line = Ref::borrow(ZV_STR(""));
    for (PyObject* piece : pieces) {
        line = Ref::steal(PyUnicode_Concat(line.get(), piece));
        if (!line) return false;
    }
    Ref encoded = Ref::steal(PyUnicode_AsUTF8String(line.get()));
    if (encoded) PyErr_SetString(PyExc_UnicodeError, "line could not be encoded");
    return false;
}

bool raise_invalid(NativeFunction* fn, PyObject* message) {
    if (!message) return false;
    Ref owned = Ref::steal(message);
    Ref cls = global(fn, ZV_STR("HttpSerializerError"));
    if (!cls) return false;
    PyErr_SetObject(cls.get(), owned.get());
    return false;
}

// format(obj, "")
Ref formatted(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
    return Ref::steal(PyObject_Format(obj, nullptr));
}

// Writes the start line from three objects: each formatted, the line encoded as UTF-8,
// and each part checked for forbidden characters.
bool add_start_line(NativeFunction* fn, Builder& b, PyObject* const parts[3], const char* const names[3]) {
    Ref text[3];
    for (int i = 0; i < 3; ++i) {
        text[i] = formatted(parts[i]);
        if (!text[i]) return false;
    }
    Text t[3];
    for (int i = 0; i < 3; ++i)
        if (!b.utf8(text[i].get(), &t[i]))
            return raise_line_encode_error({text[0].get(), ZV_STR(" "), text[1].get(), ZV_STR(" "), text[2].get()});
    for (int i = 0; i < 3; ++i)
        if (has_forbidden(t[i]))
            return raise_invalid(fn, PyUnicode_FromFormat("Invalid character in %s", names[i]));
    for (int i = 0; i < 3; ++i) {
        b.keep(std::move(text[i]));
        if (i) b.add(" ", 1);
        b.add(t[i]);
    }
    b.add("\r\n", 2);
    return true;
}

// `headers.get("Transfer-Encoding", "").lower() == "chunked"`: 1, 0, or -1 on failure.
int says_chunked(PyObject* headers) {
    PyObject* te = nullptr;
    if (PyDict_GetItemRef(headers, ZV_STR(kTE), &te) < 0) return -1;
    Ref te_value = te ? Ref::steal(te) : Ref::borrow(ZV_STR(""));
    Ref lowered = call_method(te_value.get(), ZV_STR("lower"));
    if (!lowered) return -1;
    Ref same = Ref::steal(PyObject_RichCompare(lowered.get(), ZV_STR("chunked"), Py_EQ));
    return same ? PyObject_IsTrue(same.get()) : -1;
}

// Steps 3 and 4: the body encoded by the module's encode_chunked and the headers saying
// so, or a Content-Length added when none is there. 0, or -1 with an exception set.
int frame_body(NativeFunction* fn, PyObject* headers, Ref& body) {
    int chunked = says_chunked(headers);
    if (chunked < 0) return -1;
    if (chunked) {
        Ref encoder = global(fn, ZV_STR("encode_chunked"));
        body = encoder ? call(encoder.get(), {body.get()}) : Ref{};
        if (!body || PyDict_SetItem(headers, ZV_STR(kTE), ZV_STR("chunked")) < 0) return -1;
        return PyDict_PopString(headers, kCL, nullptr) < 0 ? -1 : 0;
    }
    int has = PyDict_Contains(headers, ZV_STR(kCL));
    if (has) return has < 0 ? -1 : 0;
    Py_ssize_t n = PyObject_Size(body.get());
    if (n < 0) return -1;
    Ref length = Ref::steal(PyUnicode_FromFormat("%zd", n));
    return length ? PyDict_SetItem(headers, ZV_STR(kCL), length.get()) : -1;
}

// Step 5: one line per header, each name and value formatted, encoded and checked.
bool add_header_lines(NativeFunction* fn, Builder& b, PyObject* headers) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(headers, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        Ref name_text = formatted(key.get());
        Ref value_text = name_text ? formatted(value.get()) : Ref{};
        if (!value_text) return false;
        Text name, val;
        if (!b.utf8(name_text.get(), &name) || !b.utf8(value_text.get(), &val))
            return raise_line_encode_error({name_text.get(), ZV_STR(": "), value_text.get()});
        if (has_forbidden(name))
            return raise_invalid(fn, PyUnicode_FromFormat("Invalid character in header name %R", name_text.get()));
        if (has_forbidden(val))
            return raise_invalid(
                fn, PyUnicode_FromFormat("Invalid character in header value for %R", name_text.get()));
        b.add(name);
        b.add(": ", 2);
        b.add(val);
        b.add("\r\n", 2);
        b.keep(std::move(name_text));
        b.keep(std::move(value_text));
    }
    b.add("\r\n", 2);
    return true;
}

// Step 6: the body's bytes after the head: bytes as they are, anything else through the
// buffer protocol.
Ref finish_with_body(Builder& b, Ref body) {
    if (body.is_none()) return b.finish();
    if (PyBytes_Check(body.get())) {
        b.add(PyBytes_AS_STRING(body.get()), PyBytes_GET_SIZE(body.get()));
        b.keep(std::move(body));
        return b.finish();
    }
    Py_buffer view;
    if (PyObject_GetBuffer(body.get(), &view, PyBUF_SIMPLE) < 0) {
        PyErr_Format(PyExc_TypeError, "can't concat %.100s to bytes", Py_TYPE(body.get())->tp_name);
        return {};
    }
    b.add(static_cast<const char*>(view.buf), view.len);
    Ref out = b.finish();
    PyBuffer_Release(&view);
    return out;
}

// The start line's fields, named in the order the line holds them.
using StartNames = const char* const[3];
constexpr StartNames kRequestStart = {"method", "path", "version"};
constexpr StartNames kResponseStart = {"version", "status", "reason"};

// The ordinary road for any record: fields read through attribute access in the order
// the start line names them, then headers (step 2: a dict copy) and body.
Ref serialize_general(NativeFunction* fn, PyObject* self, const StartNames& names) {
    Builder b;
    Ref parts[3];
    for (int i = 0; i < 3; ++i) {
        Ref name = Ref::steal(PyUnicode_InternFromString(names[i]));
        if (!name || !(parts[i] = attr(self, name.get()))) return {};
    }
    PyObject* const raw[3] = {parts[0].get(), parts[1].get(), parts[2].get()};
    if (!add_start_line(fn, b, raw, names)) return {};
    Ref headers_attr = attr(self, ZV_STR("headers"));
    Ref body = headers_attr ? attr(self, ZV_STR("body")) : Ref{};
    if (!body) return {};
    Ref headers = call(reinterpret_cast<PyObject*>(&PyDict_Type), {headers_attr.get()});
    if (!headers || (!body.is_none() && frame_body(fn, headers.get(), body) < 0)) return {};
    if (!add_header_lines(fn, b, headers.get())) return {};
    return finish_with_body(b, std::move(body));
}

// The fields of a record whose class still has its original layout, each set.
bool raw_fields(PyObject* self, RecordLayout& layout, PyObject* (&fields)[kFieldCount]) {
    if (!raw_layout(self, layout)) return false;
    bool complete = true;
    for (int i = 0; i < kFieldCount; ++i) complete &= (fields[i] = raw_field(self, layout, i)) != nullptr;
    return complete;
}

// Plans the headers and the body after a start line already planned; when the plan holds,
// writes the message into `*out` (empty on failure) and answers true.
bool write_planned(NativeFunction* fn, Plan& plan, PyObject* headers, PyObject* body, Ref* out) {
    plan.headers = headers;
    plan.body = body;
    plan_headers_and_body(fn, plan);
    if (plan.ok) *out = write_plan(plan);
    return plan.ok;
}

// A status the fast path writes itself: an exact int that fits.
bool numeric_status(PyObject* status, long long* value) {
    if (!PyLong_CheckExact(status)) return false;
    int overflow = 0;
    *value = PyLong_AsLongLongAndOverflow(status, &overflow);
    return !overflow;
}

// __bytes__ of a record: the fast path when the record's class keeps its layout and
// `plan_start` can plan the start line from the fields, else the general path.
template <class PlanStart>
PyObject* record_bytes(NativeFunction* fn, PyObject* self, RecordLayout& layout, const StartNames& names,
                       int headers, int body, PlanStart plan_start) {
    PyObject* fields[kFieldCount];
    Plan plan;
    Ref out;
    if (raw_fields(self, layout, fields) && plan_start(fields, plan) &&
        write_planned(fn, plan, fields[headers], fields[body], &out))
        return out.release();
    return serialize_general(fn, self, names).release();
}

}  // namespace

PyObject* request_bytes(NativeFunction* fn, PyObject* const* args) {
    auto plan_start = [](PyObject* const* f, Plan& plan) {
        if (!plain(f[kMethod], &plan.start[0]) || !plain(f[kPath], &plan.start[1]) ||
            !plain(f[kReqVersion], &plan.start[2]))
            return false;
        plan.size = plan.start[0].n + plan.start[1].n + plan.start[2].n + 4;
        return true;
    };
    return record_bytes(fn, args[0], state_of(fn->module)->request, kRequestStart, kReqHeaders, kReqBody,
                        plan_start);
}

PyObject* response_bytes(NativeFunction* fn, PyObject* const* args) {
    auto plan_start = [](PyObject* const* f, Plan& plan) {
        if (!plain(f[kRespVersion], &plan.start[0]) || !plain(f[kReason], &plan.start[2]) ||
            !numeric_status(f[kStatus], &plan.status))
            return false;
        plan.numeric_status = true;
        plan.size = plan.start[0].n + decimal_length(plan.status) + plan.start[2].n + 4;
        return true;
    };
    return record_bytes(fn, args[0], state_of(fn->module)->response, kResponseStart, kRespHeaders, kRespBody,
                        plan_start);
}

PyObject* encode_chunked(NativeFunction*, PyObject* const* args) {
    PyObject* body = args[0];
    if (PyBytes_CheckExact(body) || PyByteArray_CheckExact(body)) {
        const char* src = PyBytes_CheckExact(body) ? PyBytes_AS_STRING(body) : PyByteArray_AS_STRING(body);
        Py_ssize_t n = PyBytes_CheckExact(body) ? PyBytes_GET_SIZE(body) : PyByteArray_GET_SIZE(body);
        PyObject* out = PyBytes_FromStringAndSize(nullptr, chunked_size(n));
        if (!out) return nullptr;
        put_chunked(PyBytes_AS_STRING(out), src, n);
        return out;
    }
    // Anything else: len() and slicing as the object defines them, each slice taken
    // through the buffer protocol.
    std::string out;
    char digits[24];
    for (Py_ssize_t offset = 0;;) {
        Py_ssize_t n = PyObject_Size(body);
        if (n < 0) return nullptr;
        if (offset >= n) break;
        Ref slice = Ref::steal(PySequence_GetSlice(body, offset, offset + kChunkSize));
        if (!slice) return nullptr;
        Py_ssize_t len = PyObject_Size(slice.get());
        if (len < 0) return nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(slice.get(), &view, PyBUF_SIMPLE) < 0) {
            PyErr_Format(PyExc_TypeError, "can't concat %.100s to bytes", Py_TYPE(slice.get())->tp_name);
            return nullptr;
        }
        out.append(digits, std::to_chars(digits, digits + sizeof(digits), len, 16).ptr);
        out.append("\r\n");
        out.append(static_cast<const char*>(view.buf), view.len);
        out.append("\r\n");
        PyBuffer_Release(&view);
        if (len <= 0) break;  // an object whose slices stop shrinking it would loop for ever
        offset += len;
    }
    out.append("0\r\n\r\n");
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

}  // namespace zv::types
