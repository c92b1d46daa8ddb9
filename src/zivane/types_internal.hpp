// Shared state of zivane.types between its records/parsing unit and its codec unit.
#pragma once

#include "support/native_function.hpp"

namespace zv::types {

// Where a record class keeps its fields, and the type version under which those offsets
// were read. A class whose dictionary changed since (a patched method or a replaced field
// descriptor) gets a new version tag, and the fast paths then step aside.
struct RecordLayout {
    PyTypeObject* type = nullptr;  // borrowed from the module dictionary's owner (state)
    unsigned int version_tag = 0;
    Py_ssize_t offsets[5] = {};    // in __slots__ order
};

struct State {
    PyObject* request_type;   // the classes as created, for identity checks only
    PyObject* response_type;
    PyObject* encode_chunked;  // the original function, for the serializer's fast path
    RecordLayout request;
    RecordLayout response;
};

inline State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// True when `obj` is exactly the record class and its fields sit at the recorded offsets.
inline bool raw_layout(PyObject* obj, const RecordLayout& layout) {
    return Py_TYPE(obj) == layout.type && layout.version_tag != 0 &&
           layout.type->tp_version_tag == layout.version_tag;
}

inline PyObject*& raw_field(PyObject* obj, const RecordLayout& layout, int i) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + layout.offsets[i]);
}

// Field indexes in __slots__ order.
enum RequestField { kMethod, kPath, kReqVersion, kReqHeaders, kReqBody };
enum ResponseField { kRespVersion, kStatus, kReason, kRespHeaders, kRespBody };

PyObject* request_bytes(NativeFunction* fn, PyObject* const* args);
PyObject* response_bytes(NativeFunction* fn, PyObject* const* args);
PyObject* encode_chunked(NativeFunction* fn, PyObject* const* args);

}  // namespace zv::types
