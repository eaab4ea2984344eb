#include "classdef.hpp"

#include "compat.hpp"
#include "initmethod.hpp"
#include "module.hpp"

#include <cstring>

namespace vo {

Ref type_from_spec(PyObject* module, PyType_Spec* spec, PyObject* bases) noexcept {
    Ref cls = Ref::steal(PyType_FromModuleAndSpec(module, spec, bases));
    if (!cls) return nullptr;
    // The C-level name as a class statement leaves it, not the dotted "module.Class" one.
    if (!compat::use_short_type_name(cls.type_ptr())) return nullptr;
    // A documented `__init__` (METH_COEXIST beside the C slot) becomes an
    // InitMethod, put straight into the namespace so that the slot stays.
    PyObject* dict = cls.type_ptr()->tp_dict;  // borrowed; the class holds it
    PyObject* init = PyDict_GetItemWithError(dict, intern("__init__"));
    if (init && PyObject_TypeCheck(init, &PyMethodDescr_Type)) {
        Ref replacement = init_method_new(module, init);
        if (!replacement || PyDict_SetItem(dict, intern("__init__"), replacement.get()) < 0) return nullptr;
        PyType_Modified(cls.type_ptr());
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    return cls;
}

// The most derived metaclass of the bases, as a class statement computes it.
static PyObject* winning_metaclass(PyObject* bases) noexcept {
    PyObject* winner = reinterpret_cast<PyObject*>(&PyType_Type);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, i)));
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(winner), reinterpret_cast<PyTypeObject*>(meta))) continue;
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

Ref class_from_metaclass(PyObject* module, const char* name, PyObject* bases, const char* doc,
                         InstanceLayout layout) noexcept {
    // Held: the metaclass's own code runs while it makes the class.
    Ref meta = Ref::borrow(winning_metaclass(bases));
    if (!meta) return nullptr;
    Ref ns = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    if (!ns || !module_name || !qualname) return nullptr;
    if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0)
        return nullptr;
    if (doc) {
        Ref text = Ref::steal(PyUnicode_FromString(doc));
        if (!text || PyDict_SetItemString(ns.get(), "__doc__", text.get()) < 0) return nullptr;
    }
    if (layout == InstanceLayout::NoSlots) {
        Ref no_slots = Ref::steal(PyTuple_New(0));
        if (!no_slots || PyDict_SetItemString(ns.get(), "__slots__", no_slots.get()) < 0) return nullptr;
    }
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(meta.get(), qualname.get(), bases, ns.get(), nullptr));
    if (!cls) return nullptr;
    // `__slots__` has done its work at creation; the class body proper does not hold it.
    if (layout == InstanceLayout::NoSlots && PyObject_DelAttrString(cls.get(), "__slots__") < 0) return nullptr;
    return cls;
}

bool set_class_attribute(PyObject* cls, PyObject* name, PyObject* value) noexcept {
    return PyType_Type.tp_setattro(cls, name, value) == 0;
}

bool set_class_attribute(PyObject* cls, const char* name, PyObject* value) noexcept {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key && set_class_attribute(cls, key.get(), value);
}

bool install_methods(PyObject* module, PyObject* cls, PyMethodDef* defs) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    for (PyMethodDef* def = defs; def->ml_name; ++def) {
        Ref attr;
        if (def->ml_flags & METH_CLASS) {
            attr = Ref::steal(PyDescr_NewClassMethod(type, def));
        } else if (def->ml_flags & METH_STATIC) {
            // A built-in function whose `__self__` is the class, as the
            // interpreter makes for a type's own static methods: its
            // `__qualname__` is "Class.name", it pickles as
            // `getattr(Class, name)`, and `__module__` names the module.
            // The C function receives the class and leaves it unused.
            Ref module_name = Ref::steal(PyModule_GetNameObject(module));
            if (!module_name) return false;
            Ref func = Ref::steal(PyCMethod_New(def, cls, module_name.get(), nullptr));
            if (!func) return false;
            attr = Ref::steal(PyStaticMethod_New(func.get()));
        } else {
            attr = Ref::steal(PyDescr_NewMethod(type, def));
            if (attr && std::strcmp(def->ml_name, "__init__") == 0) attr = init_method_new(module, attr.get());
        }
        if (!attr || !set_class_attribute(cls, def->ml_name, attr.get())) return false;
    }
    return true;
}

bool install_getsets(PyObject* cls, PyGetSetDef* defs) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    for (PyGetSetDef* def = defs; def->name; ++def) {
        Ref descr = Ref::steal(PyDescr_NewGetSet(type, def));
        if (!descr || !set_class_attribute(cls, def->name, descr.get())) return false;
    }
    return true;
}

bool update_abstractmethods(PyObject* cls) noexcept {
    Ref abc = Ref::steal(PyImport_ImportModule("abc"));
    if (!abc) return false;
    Ref updated = Ref::steal(PyObject_CallMethod(abc.get(), "update_abstractmethods", "O", cls));
    return static_cast<bool>(updated);
}

Ref own_attribute(PyObject* cls, const char* name) noexcept {
    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!dict || !key) return nullptr;
    Ref value = Ref::borrow(PyDict_GetItemWithError(dict.get(), key.get()));
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_AttributeError, "class has no attribute '%s'", name);
    return value;
}

Ref super_lookup(PyTypeObject* type, PyObject* after, PyObject* name) noexcept {
    // Held, unlike the interpreter's own walk: a dictionary lookup may run a
    // colliding key's `__eq__`, which may assign `__bases__` and so replace
    // (and free) the MRO tuple under the loop.
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(mro.get()), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro.get(), i) != after) ++i;
    for (++i; i < n; ++i) {
        // Built-in static types keep their namespace outside tp_dict.
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
        if (!dict) return nullptr;
        Ref value;
        if (compat::dict_get_ref(dict.get(), name, value) < 0) return nullptr;
        if (value) return value;
    }
    return nullptr;
}

Ref bind(PyObject* attr, PyObject* obj) noexcept {
    Ref hold = Ref::borrow(attr);
    if (descrgetfunc get = Py_TYPE(attr)->tp_descr_get) {
        // The class goes to `__get__` held: a descriptor written in Python
        // looks its `__get__` up first, and a colliding key met there may
        // reassign `obj.__class__` and free the class it was handed.
        Ref type = Ref::borrow(Py_TYPE(obj));
        return Ref::steal(get(attr, obj, type.get()));
    }
    return hold;
}

Ref super_attribute(PyObject* obj, PyObject* after, PyObject* name) noexcept {
    Ref found = super_lookup(Py_TYPE(obj), after, name);
    if (found) return bind(found.get(), obj);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
    return nullptr;
}

}  // namespace vo
