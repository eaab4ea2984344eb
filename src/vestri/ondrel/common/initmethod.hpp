// `__init__` as a method descriptor that also binds to its class.
//
// `inspect.signature(cls)` on CPython 3.13 takes `__init__` from the class
// namespace and binds it to the class itself (`__get__(cls, type(cls))`),
// as it would bind a function, so that the signature loses `self`.  The
// interpreter's method descriptor refuses to bind to anything but an
// instance ("descriptor '__init__' for 'Pointel' objects doesn't apply to a
// 'type' object"), and every class whose `__init__` is one had no signature.
//
// An InitMethod stands in for that descriptor.  It is the descriptor in
// every other respect: it calls it (so argument errors and traceback entries
// are its own), binds instances through it (`obj.__init__` is the usual
// built-in method), and shows its name, qualified name, text signature,
// docstring and pickled form.  Bound to a class that is no instance of its
// own, it gives a bound method of that class, as a function would; calling
// that is refused as calling the descriptor with the class is.  It carries
// Py_TPFLAGS_METHOD_DESCRIPTOR, so the interpreter calls it unbound, without
// a temporary bound method, when it constructs an instance.
//
// `install_methods` makes one for `__init__`, and `type_from_spec` puts one
// in place of the descriptor that a METH_COEXIST `__init__` of a
// PyType_Spec made (in the namespace only: the C slot stays).
#pragma once

#include "ref.hpp"

namespace vo {

// An InitMethod over `descr`, a method descriptor.  `module` is the module
// that defines the class (its name names the InitMethod type).
Ref init_method_new(PyObject* module, PyObject* descr) noexcept;

}  // namespace vo
