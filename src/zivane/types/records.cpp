// The records HttpRequest and HttpResponse: construction, repr and equality, the reason
// phrases of HttpResponse, and where a record class keeps its fields.
#include "types/functions.hpp"
#include "types/layout.hpp"

namespace zv::types {
namespace {

// Stores one field the way `self.<name> = value` would.
int store(PyObject* self, const RecordLayout& layout, bool raw, int index, PyObject* name,
          PyObject* value) {
    if (raw) {
        Py_XSETREF(raw_field(self, layout, index), Py_NewRef(value));
        return 0;
    }
    return PyObject_SetAttr(self, name, value);
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

}  // namespace

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

PyObject* request_repr(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    Py_ssize_t length;
    if (!body_length(self, &length)) return nullptr;
    Ref method = attr(self, ZV_STR("method"));
    Ref path = method ? attr(self, ZV_STR("path")) : Ref{};
    Ref version = path ? attr(self, ZV_STR("version")) : Ref{};
    if (!version) return nullptr;
    return PyUnicode_FromFormat("HttpRequest(method=%R, path=%R, version=%R, body_len=%zd)", method.get(),
                                path.get(), version.get(), length);
}

PyObject* response_repr(NativeFunction*, PyObject* const* args) {
    PyObject* self = args[0];
    Py_ssize_t length;
    if (!body_length(self, &length)) return nullptr;
    Ref status = attr(self, ZV_STR("status"));
    Ref status_text = status ? Ref::steal(PyObject_Format(status.get(), nullptr)) : Ref{};
    Ref reason = status_text ? attr(self, ZV_STR("reason")) : Ref{};
    Ref version = reason ? attr(self, ZV_STR("version")) : Ref{};
    if (!version) return nullptr;
    return PyUnicode_FromFormat("HttpResponse(status=%U, reason=%R, version=%R, body_len=%zd)",
                                status_text.get(), reason.get(), version.get(), length);
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

// Reads the slot offsets of a record class from its member descriptors.
int read_layout(PyObject* cls, RecordLayout& layout, NativeImpl init,
                std::initializer_list<table::Param> fields) {
    if (fields.size() != kFieldCount) {
        PyErr_Format(PyExc_SystemError, "a record has %d fields, not %zu", kFieldCount, fields.size());
        return -1;
    }
    int i = 0;
    layout.init = init;
    for (const table::Param& field : fields) {
        const char* n = field.name;
        layout.names[i] = n;
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
        layout.offsets[i++] = member->offset;
    }
    layout.type = reinterpret_cast<PyTypeObject*>(cls);
    layout.version_tag = PyUnstable_Type_AssignVersionTag(layout.type) ? layout.type->tp_version_tag : 0;
    return 0;
}

bool refresh_layout(RecordLayout& layout) {
    PyTypeObject* type = layout.type;
    if (!type || !layout.init) return false;
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    for (int i = 0; i < kFieldCount; ++i) {
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

}  // namespace zv::types
