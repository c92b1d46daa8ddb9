// zivane.__whitelist: references to names that are used only from outside the package, so
// that dead-code tools see them used. It defines nothing; importing it evaluates the
// references, which needs a name `_` to exist.
#include "package/modules.hpp"
#include "support/globals.hpp"
#include "support/module_def.hpp"

namespace zv {
namespace {

int touch(PyObject* module, std::initializer_list<const char*> attributes) {
    for (const char* name : attributes) {
        Ref placeholder = module_global(module, "_");
        if (!placeholder || !attr(placeholder.get(), name)) return -1;
    }
    return 0;
}

int whitelist_exec(PyObject* module) {
    if (touch(module, {"_read_timeout", "post", "put", "delete", "is_connected", "_read_timeout", "route",
                       "add_handler"}) < 0)
        return -1;
    if (!module_global(module, "HttpSerializerError")) return -1;
    return touch(module, {"on_message_begin", "on_method", "on_url", "on_version", "on_header", "on_body",
                          "on_message_begin", "on_version", "on_status_code", "on_reason_phrase", "on_header",
                          "on_body"});
}

ModuleDefinition definition{"zivane.__whitelist", nullptr, whitelist_exec};

}  // namespace

PyModuleDef* whitelist_module_def() { return definition.def(); }

}  // namespace zv
