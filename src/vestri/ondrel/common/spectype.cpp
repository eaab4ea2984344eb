#include "spectype.hpp"

namespace vo {

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

int visit_managed_dict(PyObject* obj, visitproc visit, void* arg) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_VisitManagedDict(obj, visit, arg);
#else
    return _PyObject_VisitManagedDict(obj, visit, arg);
#endif
}

void clear_managed_dict(PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject_ClearManagedDict(obj);
#else
    _PyObject_ClearManagedDict(obj);
#endif
}

int instance_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return visit_managed_dict(self, visit, arg);
}

int instance_clear(PyObject* self) noexcept {
    clear_managed_dict(self);
    return 0;
}

void instance_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    // Untracked first: weak-reference callbacks and the dictionary's values
    // may run code that must not find a half-dead object in the collector.
    PyObject_GC_UnTrack(self);
    if (type->tp_flags & Py_TPFLAGS_MANAGED_WEAKREF) PyObject_ClearWeakRefs(self);
    clear_managed_dict(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The head of the object's weak-reference list, or None: the interpreter
// keeps it at tp_weaklistoffset, which is negative for a managed list.
static PyObject* instance_get_weakref(PyObject* self, void*) noexcept {
    Py_ssize_t offset = Py_TYPE(self)->tp_weaklistoffset;
    if (offset == 0) {
        PyErr_SetString(PyExc_AttributeError, "This object has no __weakref__");
        return nullptr;
    }
    PyObject* head = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
    return Py_NewRef(head ? head : Py_None);
}

PyGetSetDef instance_getsets[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, "dictionary for instance variables", nullptr},
    {"__weakref__", instance_get_weakref, nullptr, "list of weak references to the object", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace vo
