#include "spectype.hpp"

#include "compat.hpp"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace vo {

// The head of the object's weak-reference list, or None, as a Python
// class's `__weakref__` gives it: the interpreter keeps the list at
// tp_weaklistoffset, which is negative when it manages the list itself.
PyObject* instance_get_weakref(PyObject* self, void*) noexcept {
    Py_ssize_t offset = Py_TYPE(self)->tp_weaklistoffset;
    if (offset == 0) {
        PyErr_SetString(PyExc_AttributeError, "This object has no __weakref__");
        return nullptr;
    }
    PyObject* head = compat::weakref_list_head(self);
    return Py_NewRef(head ? head : Py_None);
}

PyGetSetDef instance_getsets[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, "dictionary for instance variables", nullptr},
    {"__weakref__", instance_get_weakref, nullptr, "list of weak references to the object", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

namespace {

// `inspect.signature(cls)` skips an `__init__` that is a slot's wrapper and
// reads the class's own text signature instead, kept at the head of its C
// docstring: "Name(func)\n--\n\n".  The parameters are the documented
// `__init__`'s after `$self` (and the `/` that ends at it); a class that
// already states a signature keeps its own.
bool give_class_signature(PyTypeObject* type, const char* init_doc) noexcept {
    constexpr std::string_view head = "__init__($self", end = ")\n--\n\n";
    std::string_view doc(init_doc);
    size_t close = doc.find(end);
    if (!doc.starts_with(head) || close == std::string_view::npos) return true;  // no signature to give
    std::string_view params = doc.substr(head.size(), close - head.size());
    for (std::string_view lead : {", /, ", ", /", ", "})
        if (params.starts_with(lead)) {
            params.remove_prefix(lead.size());
            break;
        }
    std::string_view name(type->tp_name), current(type->tp_doc ? type->tp_doc : "");
    if (size_t dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
    if (current.starts_with(name) && current.substr(name.size()).starts_with("(")) return true;
    std::string text;
    text.append(name).append("(").append(params).append(end).append(current);
    return compat::set_heap_type_doc(type, text.data(), text.size());
}

}  // namespace

bool document_slot(PyTypeObject* type, const char* name, const char* doc) noexcept {
    PyObject* current = PyDict_GetItemString(type->tp_dict, name);  // borrowed; the type holds it
    compat::SlotWrapperParts parts = compat::slot_wrapper_parts(current);
    if (!parts.base) {
        PyErr_Format(PyExc_SystemError, "%s has no slot wrapper %s", type->tp_name, name);
        return false;
    }
    // The interpreter's own entry for the slot, but for the text; the
    // descriptor refers to it for the rest of the process.
    auto* base = new (std::nothrow) wrapperbase(*parts.base);
    if (!base) {
        PyErr_NoMemory();
        return false;
    }
    base->doc = doc;
    Ref documented = Ref::steal(PyDescr_NewWrapper(type, base, parts.wrapped));
    if (!documented) {
        delete base;
        return false;
    }
    // Set as any attribute, so the interpreter fills the slot from it again.
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, documented.get()) < 0) return false;
    return std::strcmp(name, "__init__") != 0 || give_class_signature(type, doc);
}

bool arrange_namespace(PyTypeObject* type, std::initializer_list<const char*> order) noexcept {
    PyObject* dict = type->tp_dict;  // borrowed; the type holds it
    Ref before = Ref::steal(PyDict_Copy(dict));
    if (!before) return false;
    PyDict_Clear(dict);
    for (const char* name : order) {
        PyObject* value = PyDict_GetItemString(before.get(), name);
        if (value && PyDict_SetItemString(dict, name, value) < 0) return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(before.get(), &pos, &key, &value)) {
        int present = PyDict_Contains(dict, key);
        if (present < 0) return false;
        if (!present && PyDict_SetItem(dict, key, value) < 0) return false;
    }
    PyType_Modified(type);
    return true;
}

}  // namespace vo
