// Shared state of zivane.types between its records/parsing unit and its codec unit.
#pragma once

#include "support/tables.hpp"

namespace zv::types {

// Both records have five fields.
constexpr int kFieldCount = 5;

// Where a record class keeps its fields, and the type version under which those offsets
// were read. A class whose dictionary changed since (a patched method or a replaced field
// descriptor) gets a new version tag, and the fast paths then step aside.
struct RecordLayout {
    PyTypeObject* type = nullptr;  // borrowed from the module dictionary's owner (state)
    unsigned int version_tag = 0;
    Py_ssize_t offsets[kFieldCount] = {};  // in __slots__ order
    const char* names[kFieldCount] = {};
    NativeImpl init = nullptr;     // the class's own __init__
};

// Reads where `cls` keeps the fields named by its table's slots (kFieldCount of them) and
// the type version this holds for. 0, or -1 with an exception set.
int read_layout(PyObject* cls, RecordLayout& layout, NativeImpl init,
                std::initializer_list<table::Param> fields);

// After the class changed: when the fields, __init__ and attribute access are still the
// original ones, takes the new version tag and answers true.
bool refresh_layout(RecordLayout& layout);

struct State {
    PyObject* request_type;   // the classes as created, for identity checks only
    PyObject* response_type;
    PyObject* encode_chunked;  // the original function, for the serializer's fast path
    RecordLayout request;
    RecordLayout response;
    // What parsing started with, for the fast path's "nothing was replaced" check.
    PyObject* request_callbacks;
    PyObject* response_callbacks;
    unsigned int request_callbacks_tag;
    unsigned int response_callbacks_tag;
    PyObject* request_parser;
    PyObject* response_parser;
};

inline State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// True when `obj` is exactly the record class and its fields sit at the recorded offsets.
inline bool same_layout(RecordLayout& layout) {
    return (layout.version_tag != 0 && layout.type->tp_version_tag == layout.version_tag) ||
           refresh_layout(layout);
}

inline bool raw_layout(PyObject* obj, RecordLayout& layout) {
    return Py_TYPE(obj) == layout.type && same_layout(layout);
}

inline PyObject*& raw_field(PyObject* obj, const RecordLayout& layout, int i) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + layout.offsets[i]);
}

// Field indexes in __slots__ order.
enum RequestField { kMethod, kPath, kReqVersion, kReqHeaders, kReqBody };
enum ResponseField { kRespVersion, kStatus, kReason, kRespHeaders, kRespBody };

// Pieces of parsing shared by the general and the fast path.
Ref decode(PyObject* raw);                   // raw.decode()
Ref decode_headers(PyObject* raw);           // {k.decode().lower(): v.decode() for k, v in raw.items()}
Ref join_body(PyObject* chunks);             // b"".join(chunks) if chunks else None
Ref http_version(PyObject* version);         // "HTTP/" + version if version else "HTTP/1.1"
PyObject* request_kwnames();
PyObject* response_kwnames();

// Parses `data` without the Python-level callbacks object when the module's parser and
// callbacks classes are the ones it started with and unchanged; the result is the same.
// Returns false (no exception set) when it cannot tell; the caller then parses normally.
// True: `*result` is the record, or empty with the exception parsing raised.
bool fast_parse(NativeFunction* fn, PyObject* data, bool request, Ref* result);

}  // namespace zv::types
