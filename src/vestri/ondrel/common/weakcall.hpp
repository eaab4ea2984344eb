// Weak-reference callbacks that do not keep their container alive.
//
// A container that stores `weakref.ref(obj, self.remove)` for each element
// is a reference cycle: every reference holds the bound method, the method
// holds the container, the container holds the references.  Only the cycle
// collector frees it, and until it runs, the container and all its
// references stay.  A WeakCall takes the bound method's place: it holds a
// weak reference to the container (without a callback of its own, so it can
// be part of no cycle) and the name of a method.  Called, it looks the method
// up on the container as it stands at that moment, so a subclass override
// (even an instance attribute) is honoured, and calls it with its own
// arguments; once the container is gone, a call does nothing.
//
// Errors raised by the method go to `sys.unraisablehook`, as the interpreter
// reports a failing weak-reference callback: the callback runs inside
// whatever operation freed the referent, which has no way to receive them.
//
// One WeakCall serves any number of references of the same container; the
// type is made once per module by `weakcall_ready`.
#pragma once

#include "ref.hpp"

namespace vo {

// Makes this module's WeakCall type; call once from the module body, before
// anything below is used.
bool weakcall_ready(PyObject* module) noexcept;

// A callable that calls `container.<method>(*args, **kwargs)` while the
// container lives.  `method` should be interned.
Ref weakcall_new(PyObject* container, PyObject* method) noexcept;

// Whether `callback` is a WeakCall of this module bound to `container` and
// `method` (compared by identity); false for anything else, never an error.
bool is_weakcall_of(PyObject* callback, PyObject* container, PyObject* method) noexcept;

}  // namespace vo
