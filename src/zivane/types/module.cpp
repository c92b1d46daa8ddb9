// zivane.types: the request and response records, the parser callbacks and parsing.
// Serialization lives in serialize.cpp.
#include "package/modules.hpp"
#include "support/classes.hpp"
#include "types/layout.hpp"

#include <cstring>

namespace zv {
namespace types {

static PyObject* kw_tuple(std::initializer_list<PyObject*> names) {
    PyObject* t = PyTuple_New(names.size());
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* n : names) PyTuple_SET_ITEM(t, i++, Py_NewRef(n));
    return t;
}

PyObject* request_kwnames() {
    static PyObject* const names = kw_tuple({ZV_STR("method"), ZV_STR("path"), ZV_STR("version"),
                                             ZV_STR("headers"), ZV_STR("body")});
    return names;
}

PyObject* response_kwnames() {
    static PyObject* const names = kw_tuple({ZV_STR("version"), ZV_STR("status"), ZV_STR("reason"),
                                             ZV_STR("headers"), ZV_STR("body")});
    return names;
}

namespace {

constexpr const char kModuleDoc[] =
    "HTTP/1.1 protocol parser and serializer.\n"
    "\n"
    "Based on RFC 9112 (HTTP/1.1 Message Syntax and Routing, June 2022).\n"
    "Uses httptools for parsing.\n";

constexpr const char kResponseParseDoc[] =
    "Parse an HTTP/1.1 response from raw bytes.\n"
    "\n"
    "Args:\n"
    "    data: Raw HTTP response bytes.\n"
    "\n"
    "Returns:\n"
    "    HttpResponse object.\n"
    "\n"
    "Raises:\n"
    "    HttpParserError: If the response is malformed.\n";

// ----- records ----------------------------------------------------------------------------

// Stores one field the way `self.<name> = value` would.
int store(PyObject* self, const RecordLayout& layout, bool raw, int index, PyObject* name,
          PyObject* value) {
    if (raw) {
        Py_XSETREF(raw_field(self, layout, index), Py_NewRef(value));
        return 0;
    }
    return PyObject_SetAttr(self, name, value);
}

PyObject* request_init(NativeFunction* fn, PyObject* const* args) {
    PyObject* self = args[0];
    RecordLayout& layout = state_of(fn->module)->request;
    bool raw = raw_layout(self, layout);
    if (store(self, layout, raw, kMethod, ZV_STR("method"), args[1]) < 0 ||
        store(self, layout, raw, kPath, ZV_STR("path"), args[2]) < 0 ||
        store(self, layout, raw, kReqVersion, ZV_STR("version"), args[3]) < 0)
        return nullptr;
    Ref headers = args[4] == Py_None ? Ref::steal(PyDict_New()) : Ref::borrow(args[4]);
    if (!headers || store(self, layout, raw, kReqHeaders, ZV_STR("headers"), headers.get()) < 0 ||
        store(self, layout, raw, kReqBody, ZV_STR("body"), args[5]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* response_init(NativeFunction* fn, PyObject* const* args) {
    PyObject* self = args[0];
    RecordLayout& layout = state_of(fn->module)->response;
    bool raw = raw_layout(self, layout);
    if (store(self, layout, raw, kRespVersion, ZV_STR("version"), args[3]) < 0 ||
        store(self, layout, raw, kStatus, ZV_STR("status"), args[1]) < 0)
        return nullptr;
    Ref reason;
    if (args[2] != Py_None) {
        reason = Ref::borrow(args[2]);
    } else {
        Ref lookup = global(fn, ZV_STR("reason_text"));
        if (!lookup) return nullptr;
        reason = call(lookup.get(), {args[1]});
        if (!reason) return nullptr;
    }
    // Writing the slot may drop the last reference to an old value whose finalizer can
    // change the class, so the layout is checked again for each later store.
    if (store(self, layout, raw && raw_layout(self, layout), kReason, ZV_STR("reason"), reason.get()) < 0)
        return nullptr;
    Ref headers = args[4] == Py_None ? Ref::steal(PyDict_New()) : Ref::borrow(args[4]);
    if (!headers ||
        store(self, layout, raw && raw_layout(self, layout), kRespHeaders, ZV_STR("headers"), headers.get()) < 0 ||
        store(self, layout, raw && raw_layout(self, layout), kRespBody, ZV_STR("body"), args[5]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// Length of the body when it is true, else 0.
bool body_length(PyObject* self, Py_ssize_t* length) {
    Ref body = attr(self, ZV_STR("body"));
    if (!body) return false;
    int truth = PyObject_IsTrue(body.get());
    if (truth < 0) return false;
    *length = truth ? PyObject_Size(body.get()) : 0;
    return *length >= 0;
}

PyObject* request_repr(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    Py_ssize_t length;
    if (!body_length(self, &length)) return nullptr;
    Ref method = attr(self, ZV_STR("method"));
    if (!method) return nullptr;
    Ref path = attr(self, ZV_STR("path"));
    if (!path) return nullptr;
    Ref version = attr(self, ZV_STR("version"));
    if (!version) return nullptr;
    return PyUnicode_FromFormat("HttpRequest(method=%R, path=%R, version=%R, body_len=%zd)",
                                method.get(), path.get(), version.get(), length);
}

PyObject* response_repr(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    Py_ssize_t length;
    if (!body_length(self, &length)) return nullptr;
    Ref status = attr(self, ZV_STR("status"));
    if (!status) return nullptr;
    Ref status_text = Ref::steal(PyObject_Format(status.get(), nullptr));
    if (!status_text) return nullptr;
    Ref reason = attr(self, ZV_STR("reason"));
    if (!reason) return nullptr;
    Ref version = attr(self, ZV_STR("version"));
    if (!version) return nullptr;
    return PyUnicode_FromFormat("HttpResponse(status=%U, reason=%R, version=%R, body_len=%zd)",
                                status_text.get(), reason.get(), version.get(), length);
}

// `a == b and c == d and ...` over the named fields of two records.
PyObject* compare_fields(NativeFunction* fn, PyObject* self, PyObject* other, PyObject* cls_name,
                         std::initializer_list<PyObject*> fields) {
    Ref cls = global(fn, cls_name);
    if (!cls) return nullptr;
    int is = PyObject_IsInstance(other, cls.get());
    if (is < 0) return nullptr;
    if (!is) Py_RETURN_NOTIMPLEMENTED;
    Ref result;
    for (PyObject* name : fields) {
        Ref mine = attr(self, name);
        if (!mine) return nullptr;
        Ref theirs = attr(other, name);
        if (!theirs) return nullptr;
        result = Ref::steal(PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ));
        if (!result) return nullptr;
        if (name == *(fields.end() - 1)) break;
        int truth = PyObject_IsTrue(result.get());
        if (truth < 0) return nullptr;
        if (!truth) break;
    }
    return result.release();
}

PyObject* request_eq(NativeFunction* fn, PyObject* const* args) {
    return compare_fields(fn, args[0], args[1], ZV_STR("HttpRequest"),
                          {ZV_STR("method"), ZV_STR("path"), ZV_STR("version"), ZV_STR("headers"),
                           ZV_STR("body")});
}

PyObject* response_eq(NativeFunction* fn, PyObject* const* args) {
    return compare_fields(fn, args[0], args[1], ZV_STR("HttpResponse"),
                          {ZV_STR("version"), ZV_STR("status"), ZV_STR("reason"), ZV_STR("headers"),
                           ZV_STR("body")});
}

// ----- reason phrases -----------------------------------------------------------------------

struct Phrase {
    int code;
    const char* text;
};

constexpr Phrase kPhrases[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {204, "No Content"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {304, "Not Modified"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {413, "Payload Too Large"},
    {414, "URI Too Long"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
};
constexpr int kPhraseCount = sizeof(kPhrases) / sizeof(kPhrases[0]);

// Interned phrase texts, index kPhraseCount being "Unknown".
PyObject* phrase_text(int index) {
    static PyObject* texts[kPhraseCount + 1] = {};
    if (!texts[index])
        texts[index] = PyUnicode_InternFromString(index == kPhraseCount ? "Unknown" : kPhrases[index].text);
    return texts[index];
}

// The table as a dictionary, for keys that are not plain ints (200.0, True, objects with
// their own __eq__/__hash__): a dictionary lookup gives exactly their semantics.
PyObject* phrase_dict() {
    static PyObject* dict = nullptr;
    if (dict) return dict;
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (int i = 0; i < kPhraseCount; ++i) {
        Ref key = Ref::steal(PyLong_FromLong(kPhrases[i].code));
        PyObject* text = phrase_text(i);
        if (!key || !text || PyDict_SetItem(d.get(), key.get(), text) < 0) return nullptr;
    }
    dict = d.release();
    return dict;
}

PyObject* reason_text(NativeFunction*, PyObject* const* args) {
    PyObject* status = args[0];
    if (PyLong_CheckExact(status)) {
        int overflow = 0;
        long code = PyLong_AsLongAndOverflow(status, &overflow);
        int index = kPhraseCount;
        if (!overflow)
            for (int i = 0; i < kPhraseCount; ++i)
                if (kPhrases[i].code == code) index = i;
        return Py_XNewRef(phrase_text(index));
    }
    PyObject* table = phrase_dict();
    if (!table) return nullptr;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(table, status, &found) < 0) return nullptr;
    return found ? found : Py_XNewRef(phrase_text(kPhraseCount));
}

// ----- parser callbacks ----------------------------------------------------------------------

PyObject* empty_bytes() {
    static PyObject* const empty = PyBytes_FromStringAndSize(nullptr, 0);
    return empty;
}

PyObject* default_version_bytes() {
    static PyObject* const version = PyBytes_FromString("HTTP/1.1");
    return version;
}

int set_new(PyObject* self, PyObject* name, PyObject* value) {
    if (!value) return -1;
    int rc = PyObject_SetAttr(self, name, value);
    Py_DECREF(value);
    return rc;
}

PyObject* request_callbacks_init(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, ZV_STR("method"), empty_bytes()) < 0 ||
        PyObject_SetAttr(self, ZV_STR("url"), empty_bytes()) < 0 ||
        PyObject_SetAttr(self, ZV_STR("version"), default_version_bytes()) < 0 ||
        set_new(self, ZV_STR("headers"), PyDict_New()) < 0 ||
        set_new(self, ZV_STR("body_chunks"), PyList_New(0)) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* response_callbacks_init(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, ZV_STR("version"), default_version_bytes()) < 0 ||
        set_new(self, ZV_STR("status"), PyLong_FromLong(0)) < 0 ||
        PyObject_SetAttr(self, ZV_STR("reason"), empty_bytes()) < 0 ||
        set_new(self, ZV_STR("headers"), PyDict_New()) < 0 ||
        set_new(self, ZV_STR("body_chunks"), PyList_New(0)) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* returns_none(int rc) { return rc < 0 ? nullptr : Py_NewRef(Py_None); }

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

// ----- parsing -------------------------------------------------------------------------------

PyObject* raise_parser_error(NativeFunction* fn, PyObject* message, PyObject* cause) {
    Ref cls = global(fn, ZV_STR("HttpParserError"));
    if (!cls) return nullptr;
    Ref exc = call(cls.get(), {message});
    if (!exc) return nullptr;
    if (cause) {
        PyException_SetCause(exc.get(), Py_NewRef(cause));
        PyException_SetContext(exc.get(), Py_NewRef(cause));
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

}  // namespace

// `x.decode()` for the bytes the parser reports (or whatever a callbacks subclass stored).
Ref decode(PyObject* raw) {
    if (PyBytes_CheckExact(raw))
        return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw), "strict"));
    return call_method(raw, ZV_STR("decode"));
}

// `text.lower()`, done by hand for ASCII text.
static Ref lower(Ref text) {
    if (!PyUnicode_CheckExact(text.get()) || !PyUnicode_IS_ASCII(text.get()))
        return call_method(text.get(), ZV_STR("lower"));
    const unsigned char* s = PyUnicode_1BYTE_DATA(text.get());
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    Py_ssize_t i = 0;
    while (i < n && !(s[i] >= 'A' && s[i] <= 'Z')) ++i;
    if (i == n) return text;
    PyObject* out = PyUnicode_New(n, 127);
    if (!out) return {};
    unsigned char* d = PyUnicode_1BYTE_DATA(out);
    for (Py_ssize_t j = 0; j < n; ++j) d[j] = (s[j] >= 'A' && s[j] <= 'Z') ? s[j] + 32 : s[j];
    return Ref::steal(out);
}

static int add_header(PyObject* out, PyObject* name, PyObject* value) {
    Ref key = decode(name);
    if (!key) return -1;
    key = lower(std::move(key));
    if (!key) return -1;
    Ref text = decode(value);
    if (!text) return -1;
    return PyDict_SetItem(out, key.get(), text.get());
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

PyObject* request_parse(NativeFunction* fn, PyObject* const* args) {
    PyObject* data = args[0];
    int truth = PyObject_IsTrue(data);
    if (truth < 0) return nullptr;
    if (!truth) return raise_parser_error(fn, ZV_STR("Incomplete request"), nullptr);
    PyObject* result;
    if (fast_parse(fn, data, true, &result)) return result;
    Ref callbacks, parser;
    if (!run_parser(fn, data, ZV_STR("RequestCallbacks"), ZV_STR("HttpRequestParser"), &callbacks, &parser))
        return nullptr;
    Ref method_raw = call_method(parser.get(), ZV_STR("get_method"));
    if (!method_raw) return nullptr;
    truth = PyObject_IsTrue(method_raw.get());
    if (truth < 0) return nullptr;
    if (!truth) return raise_parser_error(fn, ZV_STR("Incomplete request"), nullptr);
    Ref version_raw = call_method(parser.get(), ZV_STR("get_http_version"));
    if (!version_raw) return nullptr;

    Ref method = decode(method_raw.get());
    if (!method) return nullptr;
    Ref url = attr(callbacks.get(), ZV_STR("url"));
    if (!url || (truth = PyObject_IsTrue(url.get())) < 0) return nullptr;
    Ref path = truth ? decode(url.get()) : Ref::borrow(ZV_STR("/"));
    if (!path) return nullptr;
    Ref version = http_version(version_raw.get());
    if (!version) return nullptr;
    Ref raw_headers = attr(callbacks.get(), ZV_STR("headers"));
    if (!raw_headers) return nullptr;
    Ref headers = decode_headers(raw_headers.get());
    if (!headers) return nullptr;
    Ref chunks = attr(callbacks.get(), ZV_STR("body_chunks"));
    if (!chunks) return nullptr;
    Ref body = join_body(chunks.get());
    if (!body) return nullptr;

    Ref cls = global(fn, ZV_STR("HttpRequest"));
    if (!cls) return nullptr;
    return call_kw(cls.get(), {method.get(), path.get(), version.get(), headers.get(), body.get()},
                   request_kwnames())
        .release();
}

PyObject* response_parse(NativeFunction* fn, PyObject* const* args) {
    PyObject* data = args[0];
    int truth = PyObject_IsTrue(data);
    if (truth < 0) return nullptr;
    if (!truth) return raise_parser_error(fn, ZV_STR("Incomplete response"), nullptr);
    PyObject* result;
    if (fast_parse(fn, data, false, &result)) return result;
    Ref callbacks, parser;
    if (!run_parser(fn, data, ZV_STR("ResponseCallbacks"), ZV_STR("HttpResponseParser"), &callbacks,
                    &parser))
        return nullptr;
    Ref status = call_method(parser.get(), ZV_STR("get_status_code"));
    if (!status) return nullptr;
    truth = PyObject_IsTrue(status.get());
    if (truth < 0) return nullptr;
    if (!truth) return raise_parser_error(fn, ZV_STR("Incomplete response"), nullptr);
    Ref version_raw = call_method(parser.get(), ZV_STR("get_http_version"));
    if (!version_raw) return nullptr;

    Ref version = http_version(version_raw.get());
    if (!version) return nullptr;
    Ref reason_raw = attr(callbacks.get(), ZV_STR("reason"));
    if (!reason_raw || (truth = PyObject_IsTrue(reason_raw.get())) < 0) return nullptr;
    Ref reason = truth ? decode(reason_raw.get()) : Ref::none();
    if (!reason) return nullptr;
    Ref raw_headers = attr(callbacks.get(), ZV_STR("headers"));
    if (!raw_headers) return nullptr;
    Ref headers = decode_headers(raw_headers.get());
    if (!headers) return nullptr;
    Ref chunks = attr(callbacks.get(), ZV_STR("body_chunks"));
    if (!chunks) return nullptr;
    Ref body = join_body(chunks.get());
    if (!body) return nullptr;

    Ref cls = global(fn, ZV_STR("HttpResponse"));
    if (!cls) return nullptr;
    return call_kw(cls.get(), {version.get(), status.get(), reason.get(), headers.get(), body.get()},
                   response_kwnames())
        .release();
}

// ----- module body ---------------------------------------------------------------------------

// Values used as annotations.
struct Annotations {
    Ref str, int_, bytes, object, bool_;
    Ref headers_or_none;  // dict[str, str] | None
    Ref headers;          // dict[str, str]
    Ref bytes_or_none;    // bytes | None
    Ref str_or_none;      // str | None

    bool init() {
        str = Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
        int_ = Ref::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
        bytes = Ref::borrow(reinterpret_cast<PyObject*>(&PyBytes_Type));
        object = Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
        bool_ = Ref::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
        Ref key = new_tuple({str.get(), str.get()});
        if (!key) return false;
        headers = Ref::steal(Py_GenericAlias(reinterpret_cast<PyObject*>(&PyDict_Type), key.get()));
        if (!headers) return false;
        headers_or_none = Ref::steal(PyNumber_Or(headers.get(), Py_None));
        bytes_or_none = Ref::steal(PyNumber_Or(bytes.get(), Py_None));
        str_or_none = Ref::steal(PyNumber_Or(str.get(), Py_None));
        return headers_or_none && bytes_or_none && str_or_none;
    }
};

// Wraps a function with the module's `override`, as the decorator would.
int add_overriding(PyObject* ns, PyObject* module, const FunctionSpec& spec,
                   std::initializer_list<Annotation> annotations) {
    Ref fn = make_function(module, spec, {}, annotations);
    if (!fn) return -1;
    Ref decorator = module_global(module, ZV_STR("override"));
    if (!decorator) return -1;
    fn = call(decorator.get(), {fn.get()});
    if (!fn) return -1;
    return PyDict_SetItemString(ns, spec.name, fn.get());
}

int set_slots(PyObject* ns, std::initializer_list<const char*> names) {
    Ref slots = Ref::steal(PyTuple_New(names.size()));
    if (!slots) return -1;
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* s = PyUnicode_InternFromString(n);
        if (!s) return -1;
        PyTuple_SET_ITEM(slots.get(), i++, s);
    }
    return PyDict_SetItemString(ns, "__slots__", slots.get());
}

int set_field_annotations(PyObject* ns, std::initializer_list<Annotation> fields) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return -1;
    for (const Annotation& a : fields)
        if (PyDict_SetItemString(dict.get(), a.name, a.value) < 0) return -1;
    return PyDict_SetItemString(ns, "__annotations__", dict.get());
}

// Applies the module's `final` and binds the class in the module.
int finish_class(PyObject* module, const char* name, Ref cls) {
    Ref final_ = module_global(module, ZV_STR("final"));
    if (!final_) return -1;
    cls = call(final_.get(), {cls.get()});
    if (!cls) return -1;
    return PyModule_AddObjectRef(module, name, cls.get());
}

// Reads the slot offsets of a record class from its member descriptors.
int read_layout(PyObject* cls, RecordLayout* layout, NativeImpl init, std::initializer_list<const char*> names) {
    int i = 0;
    layout->init = init;
    for (const char* n : names) {
        layout->names[i] = n;
        Ref descr = attr(cls, n);
        if (!descr) return -1;
        if (Py_TYPE(descr.get()) != &PyMemberDescr_Type) {
            PyErr_Format(PyExc_TypeError, "field %s is not a slot", n);
            return -1;
        }
        PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr.get())->d_member;
        if (member->type != Py_T_OBJECT_EX) {
            PyErr_Format(PyExc_TypeError, "field %s is not an object slot", n);
            return -1;
        }
        layout->offsets[i++] = member->offset;
    }
    layout->type = reinterpret_cast<PyTypeObject*>(cls);
    layout->version_tag = PyUnstable_Type_AssignVersionTag(layout->type) ? layout->type->tp_version_tag : 0;
    return 0;
}

int bind_import(PyObject* module, const char* from, const char* name, const char* as) {
    Ref value = import_from(from, name);
    if (!value) return -1;
    return PyModule_AddObjectRef(module, as, value.get());
}

int add_exception(PyObject* module, const char* name, const char* doc) {
    Ref ns = class_namespace(module, name, doc);
    if (!ns || set_static_attributes(ns.get(), {}) < 0) return -1;
    Ref bases = new_tuple({PyExc_Exception});
    if (!bases) return -1;
    Ref cls = make_class(name, bases.get(), ns.get());
    if (!cls) return -1;
    return PyModule_AddObjectRef(module, name, cls.get());
}

int add_callbacks_classes(PyObject* m, Annotations& a) {
    PyObject* b = a.bytes.get();
    PyObject* none = Py_None;
    {
        Ref ns = class_namespace(m, "RequestCallbacks", "Callback handler for request parsing.");
        if (!ns ||
            add_function(ns.get(), m, {"__init__", "RequestCallbacks.__init__", nullptr, {"self"}, request_callbacks_init},
                         {}, {{"return", none}}) < 0 ||
            add_function(ns.get(), m, {"on_message_begin", "RequestCallbacks.on_message_begin", nullptr, {"self"}, on_message_begin},
                         {}, {{"return", none}}) < 0 ||
            add_function(ns.get(), m, {"on_method", "RequestCallbacks.on_method", nullptr, {"self", "method"}, on_method},
                         {}, {{"method", b}, {"return", none}}) < 0 ||
            add_function(ns.get(), m, {"on_url", "RequestCallbacks.on_url", nullptr, {"self", "url"}, on_url},
                         {}, {{"url", b}, {"return", none}}) < 0 ||
            add_function(ns.get(), m, {"on_version", "RequestCallbacks.on_version", nullptr, {"self", "version"}, on_version},
                         {}, {{"version", b}, {"return", none}}) < 0 ||
            add_function(ns.get(), m, {"on_header", "RequestCallbacks.on_header", nullptr, {"self", "name", "value"}, on_header},
                         {}, {{"name", b}, {"value", b}, {"return", none}}) < 0 ||
            add_function(ns.get(), m, {"on_body", "RequestCallbacks.on_body", nullptr, {"self", "body"}, on_body},
                         {}, {{"body", b}, {"return", none}}) < 0 ||
            set_static_attributes(ns.get(), {"body_chunks", "headers", "method", "url", "version"}) < 0)
            return -1;
        Ref cls = make_class("RequestCallbacks", nullptr, ns.get());
        if (!cls || PyModule_AddObjectRef(m, "RequestCallbacks", cls.get()) < 0) return -1;
    }
    Ref ns = class_namespace(m, "ResponseCallbacks", "Callback handler for response parsing.");
    if (!ns ||
        add_function(ns.get(), m, {"__init__", "ResponseCallbacks.__init__", nullptr, {"self"}, response_callbacks_init},
                     {}, {{"return", none}}) < 0 ||
        add_function(ns.get(), m, {"on_message_begin", "ResponseCallbacks.on_message_begin", nullptr, {"self"}, on_message_begin},
                     {}, {{"return", none}}) < 0 ||
        add_function(ns.get(), m, {"on_version", "ResponseCallbacks.on_version", nullptr, {"self", "version"}, on_version},
                     {}, {{"version", b}, {"return", none}}) < 0 ||
        add_function(ns.get(), m, {"on_status_code", "ResponseCallbacks.on_status_code", nullptr, {"self", "status_code"}, on_status_code},
                     {}, {{"status_code", b}, {"return", none}}) < 0 ||
        add_function(ns.get(), m, {"on_reason_phrase", "ResponseCallbacks.on_reason_phrase", nullptr, {"self", "reason"}, on_reason_phrase},
                     {}, {{"reason", b}, {"return", none}}) < 0 ||
        add_function(ns.get(), m, {"on_header", "ResponseCallbacks.on_header", nullptr, {"self", "name", "value"}, on_header},
                     {}, {{"name", b}, {"value", b}, {"return", none}}) < 0 ||
        add_function(ns.get(), m, {"on_body", "ResponseCallbacks.on_body", nullptr, {"self", "body"}, on_body},
                     {}, {{"body", b}, {"return", none}}) < 0 ||
        set_static_attributes(ns.get(), {"body_chunks", "headers", "reason", "status", "version"}) < 0)
        return -1;
    Ref cls = make_class("ResponseCallbacks", nullptr, ns.get());
    return cls ? PyModule_AddObjectRef(m, "ResponseCallbacks", cls.get()) : -1;
}

constexpr const char kEncodeChunkedDoc[] =
    "Encode body using chunked transfer encoding.\n"
    "\n"
    "Args:\n"
    "    body: The body bytes to encode.\n"
    "\n"
    "Returns:\n"
    "    The chunked-encoded body bytes.\n";

int add_request_class(PyObject* m, Annotations& a, State* st) {
    PyObject* staticmethod = reinterpret_cast<PyObject*>(&PyStaticMethod_Type);
    Ref ns = class_namespace(m, "HttpRequest", "Represents an HTTP/1.1 request.");
    if (!ns || set_slots(ns.get(), {"method", "path", "version", "headers", "body"}) < 0 ||
        set_field_annotations(ns.get(), {{"method", a.str.get()}, {"path", a.str.get()},
                                         {"version", a.str.get()}, {"headers", a.headers.get()},
                                         {"body", a.bytes_or_none.get()}}) < 0)
        return -1;
    Ref version_default = Ref::steal(PyUnicode_FromString("HTTP/1.1"));
    if (!version_default ||
        add_function(ns.get(), m,
                     {"__init__", "HttpRequest.__init__", nullptr,
                      {"self", "method", "path", "version", "headers", "body"}, request_init},
                     {version_default.get(), Py_None, Py_None},
                     {{"method", a.str.get()}, {"path", a.str.get()}, {"version", a.str.get()},
                      {"headers", a.headers_or_none.get()}, {"body", a.bytes_or_none.get()},
                      {"return", Py_None}}) < 0)
        return -1;
    Ref parse_return = Ref::steal(PyUnicode_FromString("HttpRequest"));
    if (!parse_return ||
        add_function(ns.get(), m, {"parse", "HttpRequest.parse", nullptr, {"data"}, request_parse}, {},
                     {{"data", a.bytes.get()}, {"return", parse_return.get()}}, staticmethod) < 0 ||
        add_overriding(ns.get(), m, {"__repr__", "HttpRequest.__repr__", nullptr, {"self"}, request_repr},
                       {{"return", a.str.get()}}) < 0 ||
        add_overriding(ns.get(), m, {"__eq__", "HttpRequest.__eq__", nullptr, {"self", "other"}, request_eq},
                       {{"other", a.object.get()}, {"return", a.bool_.get()}}) < 0 ||
        add_function(ns.get(), m, {"__bytes__", "HttpRequest.__bytes__", nullptr, {"self"}, request_bytes}, {},
                     {{"return", a.bytes.get()}}) < 0 ||
        set_static_attributes(ns.get(), {"body", "headers", "method", "path", "version"}) < 0)
        return -1;
    Ref cls = make_class("HttpRequest", nullptr, ns.get());
    if (!cls) return -1;
    st->request_type = Py_NewRef(cls.get());
    return finish_class(m, "HttpRequest", cls);
}

int add_response_class(PyObject* m, Annotations& a, State* st) {
    PyObject* staticmethod = reinterpret_cast<PyObject*>(&PyStaticMethod_Type);
    Ref ns = class_namespace(m, "HttpResponse", "Represents an HTTP/1.1 response.");
    if (!ns || set_slots(ns.get(), {"version", "status", "reason", "headers", "body"}) < 0 ||
        set_field_annotations(ns.get(), {{"version", a.str.get()}, {"status", a.int_.get()},
                                         {"reason", a.str.get()}, {"headers", a.headers.get()},
                                         {"body", a.bytes_or_none.get()}}) < 0)
        return -1;
    Ref version_default = Ref::steal(PyUnicode_FromString("HTTP/1.1"));
    if (!version_default ||
        add_function(ns.get(), m,
                     {"__init__", "HttpResponse.__init__", nullptr,
                      {"self", "status", "reason", "version", "headers", "body"}, response_init},
                     {Py_None, version_default.get(), Py_None, Py_None},
                     {{"status", a.int_.get()}, {"reason", a.str_or_none.get()}, {"version", a.str.get()},
                      {"headers", a.headers_or_none.get()}, {"body", a.bytes_or_none.get()},
                      {"return", Py_None}}) < 0)
        return -1;
    Ref parse_return = Ref::steal(PyUnicode_FromString("HttpResponse"));
    if (!parse_return ||
        add_function(ns.get(), m, {"parse", "HttpResponse.parse", kResponseParseDoc, {"data"}, response_parse}, {},
                     {{"data", a.bytes.get()}, {"return", parse_return.get()}}, staticmethod) < 0 ||
        add_overriding(ns.get(), m, {"__repr__", "HttpResponse.__repr__", nullptr, {"self"}, response_repr},
                       {{"return", a.str.get()}}) < 0 ||
        add_overriding(ns.get(), m, {"__eq__", "HttpResponse.__eq__", nullptr, {"self", "other"}, response_eq},
                       {{"other", a.object.get()}, {"return", a.bool_.get()}}) < 0 ||
        add_function(ns.get(), m, {"__bytes__", "HttpResponse.__bytes__", nullptr, {"self"}, response_bytes}, {},
                     {{"return", a.bytes.get()}}) < 0 ||
        set_static_attributes(ns.get(), {"body", "headers", "reason", "status", "version"}) < 0)
        return -1;
    Ref cls = make_class("HttpResponse", nullptr, ns.get());
    if (!cls) return -1;
    st->response_type = Py_NewRef(cls.get());
    return finish_class(m, "HttpResponse", cls);
}

unsigned int version_tag(PyObject* cls) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
}

int remember_parsing(PyObject* m, State* st) {
    struct { const char* name; PyObject** slot; } items[] = {
        {"RequestCallbacks", &st->request_callbacks},
        {"ResponseCallbacks", &st->response_callbacks},
        {"HttpRequestParser", &st->request_parser},
        {"HttpResponseParser", &st->response_parser},
    };
    for (auto& item : items) {
        PyObject* value = PyDict_GetItemString(PyModule_GetDict(m), item.name);
        if (!value) {
            PyErr_Format(PyExc_RuntimeError, "%s missing", item.name);
            return -1;
        }
        *item.slot = Py_NewRef(value);
    }
    st->request_callbacks_tag = version_tag(st->request_callbacks);
    st->response_callbacks_tag = version_tag(st->response_callbacks);
    return 0;
}

int module_exec(PyObject* m) {
    State* st = state_of(m);
    if (st->request_type) return 0;  // a reload keeps the classes made the first time
    Annotations a;
    if (!a.init()) return -1;
    if (bind_import(m, "typing", "final", "final") < 0 ||
        bind_import(m, "httptools", "HttpParserError", "HttptoolsParserError") < 0 ||
        bind_import(m, "httptools", "HttpRequestParser", "HttpRequestParser") < 0 ||
        bind_import(m, "httptools", "HttpResponseParser", "HttpResponseParser") < 0 ||
        bind_import(m, "zivane._compat", "override", "override") < 0 ||
        add_exception(m, "HttpParserError", "Exception raised for HTTP parsing errors.") < 0 ||
        add_exception(m, "HttpSerializerError", "Exception raised for HTTP serialization errors.") < 0 ||
        add_callbacks_classes(m, a) < 0)
        return -1;
    Ref chunked = make_function(m, {"encode_chunked", "encode_chunked", kEncodeChunkedDoc, {"body"}, encode_chunked},
                                {}, {{"body", a.bytes.get()}, {"return", a.bytes.get()}});
    if (!chunked || PyModule_AddObjectRef(m, "encode_chunked", chunked.get()) < 0) return -1;
    st->encode_chunked = Py_NewRef(chunked.get());
    if (add_request_class(m, a, st) < 0 ||
        add_function(PyModule_GetDict(m), m,
                     {"reason_text", "reason_text", "Return default reason phrase for status code.", {"status"}, reason_text},
                     {}, {{"status", a.int_.get()}, {"return", a.str.get()}}) < 0 ||
        add_response_class(m, a, st) < 0)
        return -1;
    if (remember_parsing(m, st) < 0) return -1;
    if (read_layout(st->request_type, &st->request, request_init, {"method", "path", "version", "headers", "body"}) < 0 ||
        read_layout(st->response_type, &st->response, response_init, {"version", "status", "reason", "headers", "body"}) < 0)
        return -1;
    return 0;
}

int module_traverse(PyObject* m, visitproc visit, void* arg) {
    State* st = state_of(m);
    if (!st) return 0;
    Py_VISIT(st->request_type);
    Py_VISIT(st->response_type);
    Py_VISIT(st->encode_chunked);
    Py_VISIT(st->response_parser);
    Py_VISIT(st->request_parser);
    Py_VISIT(st->response_callbacks);
    Py_VISIT(st->request_callbacks);
    return 0;
}

int module_clear(PyObject* m) {
    State* st = state_of(m);
    if (!st) return 0;
    Py_CLEAR(st->request_type);
    Py_CLEAR(st->response_type);
    Py_CLEAR(st->encode_chunked);
    Py_CLEAR(st->response_parser);
    Py_CLEAR(st->request_parser);
    Py_CLEAR(st->response_callbacks);
    Py_CLEAR(st->request_callbacks);
    // The classes may be freed from here on: forget them, so that no fast path compares
    // against (or reads through) a dangling type pointer.
    st->request = RecordLayout{};
    st->response = RecordLayout{};
    st->request_callbacks_tag = 0;
    st->response_callbacks_tag = 0;
    return 0;
}

void module_free(void* m) { module_clear(static_cast<PyObject*>(m)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "zivane.types", kModuleDoc, sizeof(State), nullptr,
    slots, module_traverse, module_clear, module_free,
};

}  // namespace

bool refresh_layout(RecordLayout& layout) {
    PyTypeObject* type = layout.type;
    if (!type || !layout.init) return false;
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    for (int i = 0; i < 5; ++i) {
        PyObject* descr = PyDict_GetItemString(dict.get(), layout.names[i]);
        if (!descr || Py_TYPE(descr) != &PyMemberDescr_Type ||
            PyDescr_TYPE(descr) != type ||
            reinterpret_cast<PyMemberDescrObject*>(descr)->d_member->offset != layout.offsets[i])
            return false;
    }
    PyObject* init = PyDict_GetItemString(dict.get(), "__init__");
    if (!init || !is_native_function(init) || reinterpret_cast<NativeFunction*>(init)->impl != layout.init)
        return false;
    for (const char* name : {"__new__", "__setattr__", "__getattribute__", "__getattr__", "__delattr__"})
        if (PyDict_GetItemString(dict.get(), name)) return false;
    if (!PyUnstable_Type_AssignVersionTag(type)) return false;
    layout.version_tag = type->tp_version_tag;
    return true;
}

}  // namespace types

PyModuleDef* types_module_def() { return &types::def; }

}  // namespace zv
