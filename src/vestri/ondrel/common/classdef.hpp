// Class definition.
//
// Two ways, chosen by the metaclass the bases imply:
//  - metaclass `type` and built-in bases: a heap type made from a
//    PyType_Spec, whose special methods live in C slots that Python
//    subclasses inherit directly;
//  - any other metaclass (abc.ABCMeta, ...), which refuses to build a class
//    from a spec: the metaclass is called with (name, bases, namespace) as a
//    `class` statement would, and the native methods are installed on the new
//    class afterwards, which updates its slots.
// Either way the result is an ordinary subclassable Python class.
#pragma once

#include "ref.hpp"

#include <type_traits>

namespace vo {

// One row of a PyType_Slot table, `vo::slot(Py_tp_repr, pointel_repr)`: a
// function, a table (methods, getsets, members) or the docstring.
template <class T>
PyType_Slot slot(int id, T* p) noexcept {
    if constexpr (std::is_function_v<T>)
        return {id, reinterpret_cast<void*>(p)};
    else
        return {id, const_cast<void*>(static_cast<const void*>(p))};
}

// A heap type from `spec` (its name "vestri.ondrel.<module>.<Class>" gives
// `__module__` and `__qualname__`), over `bases` (a tuple, or NULL).  Its
// C-level name, which the interpreter puts in its own messages ("unhashable
// type: 'Pointel'"), is `__name__`, as for a class made by a class statement.
Ref type_from_spec(PyObject* module, PyType_Spec* spec, PyObject* bases) noexcept;

// What instances of a class made by its metaclass carry besides the bases'.
enum class InstanceLayout {
    // `__dict__` and `__weakref__` where the bases lack them, as a class
    // statement without `__slots__` gives.
    AsClassStatement,
    // `__slots__ = ()`: nothing of its own (an instance that is its own
    // attribute dictionary needs no `__dict__`, and saves an allocation).
    NoSlots,
};

// A class made by the metaclass that `bases` imply, as
// `class name(*bases): __doc__ = doc` in the module would make it.
Ref class_from_metaclass(PyObject* module, const char* name, PyObject* bases, const char* doc,
                         InstanceLayout layout = InstanceLayout::AsClassStatement) noexcept;

// Stores `value` in the class's namespace as a class body does: through
// type's own setattr, never a metaclass's `__setattr__`, which a class body
// does not call (and which, run while the module is half made, could reach
// the class before it is whole).  `name` is interned or a C string.
bool set_class_attribute(PyObject* cls, PyObject* name, PyObject* value) noexcept;
bool set_class_attribute(PyObject* cls, const char* name, PyObject* value) noexcept;

// Installs `defs` on `cls` in order: plain methods as method descriptors
// (`__init__` as a vo::InitMethod), METH_CLASS ones as class methods,
// METH_STATIC ones as static methods, whose C function receives the class as
// its first argument.
bool install_methods(PyObject* module, PyObject* cls, PyMethodDef* defs) noexcept;

// Installs `defs` on `cls` as getset descriptors (data descriptors, as
// `property` objects are).
bool install_getsets(PyObject* cls, PyGetSetDef* defs) noexcept;

// `abc.update_abstractmethods(cls)`: an ABCMeta class computes its abstract
// methods when it is created, before the native methods arrive; call this
// once they are installed, or instantiation fails.
bool update_abstractmethods(PyObject* cls) noexcept;

// `cls.__dict__[name]` (a strong reference, for fast-path checks to keep in a
// `vo::Kept`), or NULL with AttributeError when the class does not hold it.
Ref own_attribute(PyObject* cls, const char* name) noexcept;

// The attribute `name` as `super(after, type(obj))` finds it: the first class
// after `after` in the MRO of `type` whose namespace holds it (NULL without
// an exception when no class does).  The MRO is held during the walk, and
// the result is a strong reference: a lookup can run Python code (a key's
// `__eq__`), which may reassign `__bases__` and free both.
Ref super_lookup(PyTypeObject* type, PyObject* after, PyObject* name) noexcept;

// `attr` as an instance sees it: bound through its `__get__(obj, type(obj))`
// if it is a descriptor, else `attr` itself.
Ref bind(PyObject* attr, PyObject* obj) noexcept;

// `super(after, obj).<name>`: the attribute found by super_lookup, bound to
// `obj`, or super()'s AttributeError.
Ref super_attribute(PyObject* obj, PyObject* after, PyObject* name) noexcept;

}  // namespace vo

// A C function of any calling convention, as PyMethodDef wants it.
#define VO_CFUNC(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))
