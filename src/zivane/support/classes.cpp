#include "support/classes.hpp"

namespace zv {

Ref class_namespace(PyObject* module, const char* qualname, const char* doc) {
    Ref ns = Ref::steal(PyDict_New());
    Ref module_name = attr(module, ZV_STR("__name__"));
    Ref qual = Ref::steal(PyUnicode_FromString(qualname));
    if (!ns || !module_name || !qual) return {};
    if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qual.get()) < 0)
        return {};
    if (doc) {
        Ref text = Ref::steal(PyUnicode_FromString(doc));
        if (!text || PyDict_SetItemString(ns.get(), "__doc__", text.get()) < 0) return {};
    }
    return ns;
}

Ref make_class(const char* name, PyObject* bases, PyObject* ns) {
    Ref class_name = Ref::steal(PyUnicode_FromString(name));
    Ref base_tuple = bases ? Ref::borrow(bases) : new_tuple({reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    if (!class_name || !base_tuple) return {};
    return call(reinterpret_cast<PyObject*>(&PyType_Type), {class_name.get(), base_tuple.get(), ns});
}

int set_static_attributes(PyObject* ns, std::initializer_list<const char*> names) {
    Ref tuple = interned_tuple(names);
    return tuple ? PyDict_SetItemString(ns, "__static_attributes__", tuple.get()) : -1;
}

int add_property(PyObject* ns, PyObject* module, const FunctionSpec& getter,
                 std::initializer_list<Annotation> annotations) {
    return add_function(ns, module, getter, {}, annotations,
                        reinterpret_cast<PyObject*>(&PyProperty_Type));
}

}  // namespace zv
