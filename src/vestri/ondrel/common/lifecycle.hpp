// Deallocation, traversal and clearing for the package's own types.
//
// Two shapes recur: a type over `object` with C fields that hold references
// (a lazy iterator, a node), and a type over a built-in container (`list`,
// `dict`) that adds fields of its own.  Each needs the same ritual, written
// once here:
//  - dealloc untracks first: the cycle collector must not see a half-freed
//    object, and weak-reference callbacks or field decrefs below can run
//    Python code that triggers a collection;
//  - it runs inside the trashcan, so that freeing a 100,000-deep chain of
//    such objects does not recurse 100,000 C frames deep;
//  - weak references are cleared before the fields, so callbacks see the
//    object's last state, never a half-cleared one;
//  - traverse visits the type (a heap type is owned by its instances) and
//    chains to the base's traverse, clear chains to the base's clear, as the
//    interpreter's own subclasses (defaultdict, OrderedDict) do.
// A Python subclass of such a type gets the interpreter's subtype slots,
// which visit and clear its `__dict__` and then call these.
//
// `Fields` is a class with two static members:
//     static int visit(PyObject* self, visitproc visit, void* arg);  // Py_VISIT each field
//     static void clear(PyObject* self);                             // Py_CLEAR each field
// Use `lifecycle::Object<Fields>` for a type over object, and
// `lifecycle::Over<&PyList_Type, Fields>` (or &PyDict_Type) over a container;
// put `::dealloc`, `::traverse` and `::clear` in the type's slots, e.g. with
// VO_LIFECYCLE_SLOTS(Life) among the rows.
#pragma once

#include "classdef.hpp"
#include "compat.hpp"
#include "ref.hpp"

#include <type_traits>

namespace vo::lifecycle {

// For types without fields of their own.
struct NoFields {
    static int visit(PyObject*, visitproc, void*) noexcept { return 0; }
    static void clear(PyObject*) noexcept {}
};

namespace detail {
inline void clear_weakrefs(PyObject* self) noexcept {
    // tp_weaklistoffset is non-zero for every type that supports weak
    // references, managed ones included; clearing on another type is an error.
    if (Py_TYPE(self)->tp_weaklistoffset) PyObject_ClearWeakRefs(self);
}
inline int visit_own_dict(PyObject* self, visitproc visit, void* arg) noexcept {
    if (Py_TYPE(self)->tp_flags & Py_TPFLAGS_MANAGED_DICT) return compat::visit_managed_dict(self, visit, arg);
    return 0;
}
inline void clear_own_dict(PyObject* self) noexcept {
    // Usually nothing is there, which is seen without a call.
    if ((Py_TYPE(self)->tp_flags & Py_TPFLAGS_MANAGED_DICT) && !compat::managed_dict_empty(self))
        compat::clear_managed_dict(self);
}
}  // namespace detail

// A heap type over the built-in container `Base` (&PyList_Type, &PyDict_Type),
// whose dealloc, traverse and clear finish the base's part; or, with Base
// NULL (`Object`), a heap type over `object` (flags: Py_TPFLAGS_HAVE_GC; add
// Py_TPFLAGS_MANAGED_WEAKREF / MANAGED_DICT as wanted).
template <PyTypeObject* Base, class Fields = NoFields>
struct Over {
    static void dealloc(PyObject* self) noexcept {
        PyTypeObject* type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        // A container's own deallocator guards deep chains only for its
        // exact type, so the guard is ours.
        Py_TRASHCAN_BEGIN(self, dealloc) detail::clear_weakrefs(self);
        detail::clear_own_dict(self);
        Fields::clear(self);
        if constexpr (kHasBase)
            Base->tp_dealloc(self);  // frees through type->tp_free
        else
            type->tp_free(self);
        Py_DECREF(type);
        Py_TRASHCAN_END
    }
    static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
        Py_VISIT(Py_TYPE(self));
        if (int rc = detail::visit_own_dict(self, visit, arg)) return rc;
        if (int rc = Fields::visit(self, visit, arg)) return rc;
        if constexpr (kHasBase) return Base->tp_traverse(self, visit, arg);
        return 0;
    }
    static int clear(PyObject* self) noexcept {
        detail::clear_own_dict(self);
        Fields::clear(self);
        if constexpr (kHasBase) return Base->tp_clear(self);
        return 0;
    }

private:
    static constexpr bool kHasBase =
        !std::is_same_v<std::integral_constant<PyTypeObject*, Base>, std::integral_constant<PyTypeObject*, nullptr>>;
};
template <class Fields>
using Object = Over<nullptr, Fields>;

}  // namespace vo::lifecycle

// The three slot rows of a lifecycle `L` (Object<...> or Over<...>).
#define VO_LIFECYCLE_SLOTS(L) \
    ::vo::slot(Py_tp_dealloc, L::dealloc), ::vo::slot(Py_tp_traverse, L::traverse), ::vo::slot(Py_tp_clear, L::clear)
