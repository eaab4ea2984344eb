// Types made from a PyType_Spec that look like classes written in Python.
//
// A class statement gives its instances a `__dict__` and weak-reference
// support, and lists in its namespace `__module__`, `__doc__`, the methods in
// the order written, then the `__dict__` and `__weakref__` descriptors.  A
// spec type over `object` gets the storage from kInstanceFlags (managed
// dict and weak references; pair it with vo::lifecycle::Object for dealloc,
// traverse and clear), but neither the two descriptors nor that order:
// instance_getsets and arrange_namespace supply them.  document_slot gives a
// special method a Python method's docstring and signature while leaving it
// the slot's own wrapper, which subclasses inherit as C.
//
// The interpreter internals this needs (the layout of slot wrappers, the
// weak-reference list of a managed type) are reached through compat.hpp.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace vo {

// Flags of a subclassable type whose instances carry `__dict__` and
// `__weakref__` as those of a Python class do.
inline constexpr unsigned long kInstanceFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                                                Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF;

// `__dict__` and `__weakref__` with a class statement's texts, for Py_tp_getset.
extern PyGetSetDef instance_getsets[];
// The getter of that `__weakref__`, for a type that writes its own table.
PyObject* instance_get_weakref(PyObject* self, void* closure) noexcept;

// Gives the slot wrapper that the interpreter put in the namespace of `type`
// for the C slot behind `name` ("__call__", "__init__") a docstring of its
// own (starting with a text signature, "__call__($cls, /, *args, **kwargs)\n--\n\n",
// if wanted).  The entry stays a wrapper of the same slot, so Python
// subclasses keep inheriting the C function itself; a method listed with
// METH_COEXIST instead would make every subclass reach it through the
// interpreter's generic slot function, a lookup and a call slower.  `doc`
// must live as long as the process (a literal).  A documented `__init__`
// also gives the class its text signature (its parameters after `self`),
// which `inspect.signature(cls)` reads when `__init__` is a slot's wrapper.
bool document_slot(PyTypeObject* type, const char* name, const char* doc) noexcept;

// Puts the namespace of a type just made from a spec in a class statement's
// order: the names listed first, in that order, the rest after them as they
// were.  (A spec type's namespace is filled slot wrappers first, in the
// interpreter's own order.)  No code runs meanwhile: values and keys are the
// type's own.
bool arrange_namespace(PyTypeObject* type, std::initializer_list<const char*> order) noexcept;

}  // namespace vo
