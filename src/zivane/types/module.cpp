// zivane.types: the module table. The records and reason phrases are in records.cpp, the
// callbacks classes and the ordinary parsing road in parse.cpp, the quick road in
// parse_fast.cpp and serialization in serialize.cpp.
#include "package/modules.hpp"
#include "support/module_def.hpp"
#include "support/tables.hpp"
#include "types/functions.hpp"
#include "types/layout.hpp"

namespace zv {
namespace types {
namespace {

using table::Kind;

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

constexpr const char kEncodeChunkedDoc[] =
    "Encode body using chunked transfer encoding.\n"
    "\n"
    "Args:\n"
    "    body: The body bytes to encode.\n"
    "\n"
    "Returns:\n"
    "    The chunked-encoded body bytes.\n";

// ----- the tables ---------------------------------------------------------------------------

const table::Derived kDerived[] = {
    {"dict[str, str]", [](table::Env& env) { return env.subscript("dict", {"str", "str"}); }},
    {"dict[str, str] | None", [](table::Env& env) { return env.union_of("dict[str, str]", "None"); }},
    {"bytes | None", [](table::Env& env) { return env.union_of("bytes", "None"); }},
    {"str | None", [](table::Env& env) { return env.union_of("str", "None"); }},
};

const table::Class kHttpParserError = {
    "HttpParserError", "Exception raised for HTTP parsing errors.", {}, {}, {}, "Exception",
};

const table::Class kHttpSerializerError = {
    "HttpSerializerError", "Exception raised for HTTP serialization errors.", {}, {}, {}, "Exception",
};

const table::Function kRequestCallbacksBody[] = {
    {"__init__", {{"self"}}, "None", nullptr, request_callbacks_init},
    {"on_message_begin", {{"self"}}, "None", nullptr, on_message_begin},
    {"on_method", {{"self"}, {"method", "bytes"}}, "None", nullptr, on_method},
    {"on_url", {{"self"}, {"url", "bytes"}}, "None", nullptr, on_url},
    {"on_version", {{"self"}, {"version", "bytes"}}, "None", nullptr, on_version},
    {"on_header", {{"self"}, {"name", "bytes"}, {"value", "bytes"}}, "None", nullptr, on_header},
    {"on_body", {{"self"}, {"body", "bytes"}}, "None", nullptr, on_body},
};

const table::Class kRequestCallbacks = {
    "RequestCallbacks", "Callback handler for request parsing.", kRequestCallbacksBody,
    {"body_chunks", "headers", "method", "url", "version"},
};

const table::Function kResponseCallbacksBody[] = {
    {"__init__", {{"self"}}, "None", nullptr, response_callbacks_init},
    {"on_message_begin", {{"self"}}, "None", nullptr, on_message_begin},
    {"on_version", {{"self"}, {"version", "bytes"}}, "None", nullptr, on_version},
    {"on_status_code", {{"self"}, {"status_code", "bytes"}}, "None", nullptr, on_status_code},
    {"on_reason_phrase", {{"self"}, {"reason", "bytes"}}, "None", nullptr, on_reason_phrase},
    {"on_header", {{"self"}, {"name", "bytes"}, {"value", "bytes"}}, "None", nullptr, on_header},
    {"on_body", {{"self"}, {"body", "bytes"}}, "None", nullptr, on_body},
};

const table::Class kResponseCallbacks = {
    "ResponseCallbacks", "Callback handler for response parsing.", kResponseCallbacksBody,
    {"body_chunks", "headers", "reason", "status", "version"},
};

const table::Function kEncodeChunked = {
    "encode_chunked", {{"body", "bytes"}}, "bytes", kEncodeChunkedDoc, encode_chunked,
};

const table::Function kHttpRequestBody[] = {
    {"__init__",
     {{"self"},
      {"method", "str"},
      {"path", "str"},
      {"version", "str", "'HTTP/1.1'"},
      {"headers", "dict[str, str] | None", "None"},
      {"body", "bytes | None", "None"}},
     "None", nullptr, request_init},
    {"parse", {{"data", "bytes"}}, "'HttpRequest'", nullptr, request_parse, Kind::Static},
    {"__repr__", {{"self"}}, "str", nullptr, request_repr, Kind::Function, "override"},
    {"__eq__", {{"self"}, {"other", "object"}}, "bool", nullptr, request_eq, Kind::Function, "override"},
    {"__bytes__", {{"self"}}, "bytes", nullptr, request_bytes},
};

const table::Class kHttpRequest = {
    "HttpRequest", "Represents an HTTP/1.1 request.", kHttpRequestBody,
    {"body", "headers", "method", "path", "version"},
    {{"method", "str"}, {"path", "str"}, {"version", "str"}, {"headers", "dict[str, str]"},
     {"body", "bytes | None"}},
    nullptr, "final",
};

const table::Function kReasonText = {
    "reason_text", {{"status", "int"}}, "str", "Return default reason phrase for status code.", reason_text,
};

const table::Function kHttpResponseBody[] = {
    {"__init__",
     {{"self"},
      {"status", "int"},
      {"reason", "str | None", "None"},
      {"version", "str", "'HTTP/1.1'"},
      {"headers", "dict[str, str] | None", "None"},
      {"body", "bytes | None", "None"}},
     "None", nullptr, response_init},
    {"parse", {{"data", "bytes"}}, "'HttpResponse'", kResponseParseDoc, response_parse, Kind::Static},
    {"__repr__", {{"self"}}, "str", nullptr, response_repr, Kind::Function, "override"},
    {"__eq__", {{"self"}, {"other", "object"}}, "bool", nullptr, response_eq, Kind::Function, "override"},
    {"__bytes__", {{"self"}}, "bytes", nullptr, response_bytes},
};

const table::Class kHttpResponse = {
    "HttpResponse", "Represents an HTTP/1.1 response.", kHttpResponseBody,
    {"body", "headers", "reason", "status", "version"},
    {{"version", "str"}, {"status", "int"}, {"reason", "str"}, {"headers", "dict[str, str]"},
     {"body", "bytes | None"}},
    nullptr, "final",
};

const table::Entry kBody[] = {
    table::import_name("typing", "final"),
    table::import_name("httptools", "HttpParserError", "HttptoolsParserError"),
    table::import_name("httptools", "HttpRequestParser"),
    table::import_name("httptools", "HttpResponseParser"),
    table::import_name("zivane._compat", "override"),
    table::define(kHttpParserError),
    table::define(kHttpSerializerError),
    table::define(kRequestCallbacks),
    table::define(kResponseCallbacks),
    table::define(kEncodeChunked),
    table::define(kHttpRequest),
    table::define(kReasonText),
    table::define(kHttpResponse),
};

// ----- module state -------------------------------------------------------------------------

using StateRefs = OwnedFields<State, &State::request_type, &State::response_type, &State::encode_chunked,
                              &State::response_parser, &State::request_parser, &State::response_callbacks,
                              &State::request_callbacks>;

unsigned int version_tag(PyObject* cls) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
}

// What the fast paths compare against: the objects the body just bound.
int remember_originals(PyObject* m, State* st) {
    struct {
        const char* name;
        PyObject** slot;
    } items[] = {
        {"encode_chunked", &st->encode_chunked},
        {"HttpRequest", &st->request_type},
        {"HttpResponse", &st->response_type},
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
    table::Env env(m, kDerived);
    if (table::run(env, kBody) < 0 || remember_originals(m, st) < 0) return -1;
    if (read_layout(st->request_type, st->request, request_init, kHttpRequest.slots) < 0 ||
        read_layout(st->response_type, st->response, response_init, kHttpResponse.slots) < 0)
        return -1;
    return 0;
}

int module_clear(PyObject* m) {
    State* st = state_of(m);
    if (!st) return 0;
    StateRefs::clear(*st);
    // The classes may be freed from here on: forget them, so that no fast path compares
    // against (or reads through) a dangling type pointer.
    st->request = RecordLayout{};
    st->response = RecordLayout{};
    st->request_callbacks_tag = 0;
    st->response_callbacks_tag = 0;
    return 0;
}

void module_free(void* m) { module_clear(static_cast<PyObject*>(m)); }

ModuleDefinition definition{"zivane.types", kModuleDoc,       module_exec, sizeof(State),
                            StateRefs::traverse_module, module_clear, module_free};

}  // namespace
}  // namespace types

PyModuleDef* types_module_def() { return types::definition.def(); }

}  // namespace zv
