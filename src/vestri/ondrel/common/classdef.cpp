#include "classdef.hpp"

namespace vo {

Ref type_from_spec(PyObject* module, PyType_Spec* spec, PyObject* bases) noexcept {
    return Ref::steal(PyType_FromModuleAndSpec(module, spec, bases));
}

// The most derived metaclass of the bases, as a class statement computes it.
static PyObject* winning_metaclass(PyObject* bases) noexcept {
    PyObject* winner = reinterpret_cast<PyObject*>(&PyType_Type);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, i)));
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(winner), reinterpret_cast<PyTypeObject*>(meta)))
            continue;
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(meta), reinterpret_cast<PyTypeObject*>(winner))) {
            winner = meta;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                        "subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return winner;
}

Ref class_from_metaclass(PyObject* module, const char* name, PyObject* bases, const char* doc) noexcept {
    PyObject* meta = winning_metaclass(bases);
    if (!meta) return nullptr;
    Ref ns = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    Ref no_slots = Ref::steal(PyTuple_New(0));
    if (!ns || !module_name || !qualname || !no_slots) return nullptr;
    if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0)
        return nullptr;
    if (doc) {
        Ref text = Ref::steal(PyUnicode_FromString(doc));
        if (!text || PyDict_SetItemString(ns.get(), "__doc__", text.get()) < 0) return nullptr;
    }
    // The instance is its own attribute dictionary: no __dict__ slot, which
    // would also cost every instance an allocation.
    if (PyDict_SetItemString(ns.get(), "__slots__", no_slots.get()) < 0) return nullptr;
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(meta, qualname.get(), bases, ns.get(), nullptr));
    if (!cls) return nullptr;
    // `__slots__` has done its work at creation; the class body proper does not hold it.
    if (PyObject_DelAttrString(cls.get(), "__slots__") < 0) return nullptr;
    return cls;
}

bool install_methods(PyObject* module, PyObject* cls, PyMethodDef* defs) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    for (PyMethodDef* def = defs; def->ml_name; ++def) {
        Ref attr;
        if (def->ml_flags & METH_CLASS) {
            attr = Ref::steal(PyDescr_NewClassMethod(type, def));
        } else if (def->ml_flags & METH_STATIC) {
            Ref func = Ref::steal(PyCMethod_New(def, nullptr, module, nullptr));
            if (!func) return false;
            attr = Ref::steal(PyStaticMethod_New(func.get()));
        } else {
            attr = Ref::steal(PyDescr_NewMethod(type, def));
        }
        if (!attr || PyObject_SetAttrString(cls, def->ml_name, attr.get()) < 0) return false;
    }
    return true;
}

Ref own_attribute(PyObject* cls, const char* name) noexcept {
    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!dict || !key) return nullptr;
    Ref value = Ref::borrow(PyDict_GetItemWithError(dict.get(), key.get()));
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_AttributeError, "class has no attribute '%s'", name);
    return value;
}

PyObject* super_lookup(PyTypeObject* type, PyObject* after, PyObject* name) noexcept {
    PyObject* mro = type->tp_mro;
    if (!mro) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != after) ++i;
    for (++i; i < n; ++i) {
        // Built-in static types keep their namespace outside tp_dict.
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) return nullptr;
        PyObject* value = PyDict_GetItemWithError(dict.get(), name);
        if (value || PyErr_Occurred()) return value;
    }
    return nullptr;
}

Ref bind(PyObject* attr, PyObject* obj) noexcept {
    Ref hold = Ref::borrow(attr);
    if (descrgetfunc get = Py_TYPE(attr)->tp_descr_get)
        return Ref::steal(get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    return hold;
}

Ref super_attribute(PyObject* obj, PyObject* after, PyObject* name) noexcept {
    PyObject* found = super_lookup(Py_TYPE(obj), after, name);
    if (found) return bind(found, obj);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
    return nullptr;
}

}  // namespace vo
