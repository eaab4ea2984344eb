// Types made from a PyType_Spec that behave like classes written in Python.
//
// A class statement gives its instances a `__dict__` and weak-reference
// support, and the interpreter manages both.  A spec type over `object` gets
// the same with Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF, but
// then it must traverse, clear and free the managed dictionary itself, with
// functions whose names changed between 3.12 and 3.13.  The lifecycle below
// does that for a type whose instances hold nothing else; use it as
//
//     {Py_tp_traverse, reinterpret_cast<void*>(vo::instance_traverse)},
//     {Py_tp_clear, reinterpret_cast<void*>(vo::instance_clear)},
//     {Py_tp_dealloc, reinterpret_cast<void*>(vo::instance_dealloc)},
//
//     {Py_tp_getset, vo::instance_getsets},
//
// with the flags kInstanceFlags.  Python subclasses chain to these as to any
// heap base type.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace vo {

// Puts the namespace of a type just made from a spec in the order a class
// statement gives it (`__module__`, `__doc__`, then the methods as written):
// the names listed come first, in that order, the rest keep theirs.  A spec
// type's namespace is otherwise filled slot wrappers first, in the
// interpreter's own order.
bool arrange_namespace(PyTypeObject* type, std::initializer_list<const char*> order) noexcept;

// Flags of a subclassable type whose instances carry `__dict__` and
// `__weakref__` as those of a Python class do.
inline constexpr unsigned long kInstanceFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
    Py_TPFLAGS_MANAGED_WEAKREF;

// The managed `__dict__` of `obj` (its type has Py_TPFLAGS_MANAGED_DICT).
int visit_managed_dict(PyObject* obj, visitproc visit, void* arg) noexcept;
void clear_managed_dict(PyObject* obj) noexcept;

// Lifecycle of an instance whose only references are its managed `__dict__`
// (and its type, which a heap type's instances keep alive).
int instance_traverse(PyObject* self, visitproc visit, void* arg) noexcept;
int instance_clear(PyObject* self) noexcept;
void instance_dealloc(PyObject* self) noexcept;

// `__dict__` and `__weakref__`, as a class statement gives them.
extern PyGetSetDef instance_getsets[];

}  // namespace vo
