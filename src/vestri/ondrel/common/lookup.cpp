#include "lookup.hpp"
#include "compat.hpp"

#include "classdef.hpp"
#include "module.hpp"

namespace vo {

Found special_method(PyObject* obj, PyObject* name, Ref& bound) noexcept {
    // The class is held while its namespace is searched (a colliding key's
    // `__eq__` may run and reassign `obj.__class__`).
    Ref type = Ref::borrow(Py_TYPE(obj));
    Ref found = Ref::borrow(compat::type_lookup(type.type_ptr(), name));
    if (!found) return PyErr_Occurred() ? Found::Error : Found::No;
    bound = bind(found.get(), obj);
    return bound ? Found::Yes : Found::Error;
}

bool MappingCheck::init(PyObject* globals, PyObject* name) noexcept {
    name_ = name;
    PyObject* mapping = PyDict_GetItemWithError(globals, name);
    if (!mapping) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return false;
    }
    real_.set(Ref::borrow(mapping));
    Ref abc = Ref::steal(PyImport_ImportModule("abc"));
    if (!abc || !get_cache_token_.set(Ref::steal(PyObject_GetAttrString(abc.get(), "get_cache_token")))) return false;
    return binding_.init({{globals, name, real_.get()}});
}

int MappingCheck::scalars_are_no_mappings() noexcept {
    Ref token = Ref::steal(PyObject_CallNoArgs(get_cache_token_.get()));
    if (!token) return -1;
    int same = scalar_token_ ? PyObject_RichCompareBool(token.get(), scalar_token_.get(), Py_EQ) : 0;
    if (same < 0) return -1;
    if (same) return 1;
    PyTypeObject* scalars[] = {&PyUnicode_Type, &PyLong_Type,  &PyFloat_Type, &PyBool_Type,
                               &PyList_Type,    &PyTuple_Type, &PyBytes_Type, Py_TYPE(Py_None)};
    for (PyTypeObject* type : scalars) {
        int r = PyObject_IsSubclass(reinterpret_cast<PyObject*>(type), real_.get());
        if (r) return r < 0 ? -1 : 0;
    }
    scalar_token_.set(std::move(token));
    return 1;
}

Is MappingCheck::check_as_bound(PyObject* value) noexcept {
    Ref mapping = global(name_);
    if (!mapping) return Is::Error;
    return outcome<Is>(PyObject_IsInstance(value, mapping.get()));
}

}  // namespace vo
