// vestri.ondrel.loftel: read-only properties computed from the class.
//
// LoftelDescriptor wraps a function of one argument; reading the attribute,
// on the class or on an instance, calls it with the class it was reached
// through.  It is a non-data descriptor: no __set__, so an instance entry of
// the same name hides it and assigning on a class replaces it.
//
// The decorated function lives in the instance `__dict__` under "func", as a
// Python class would keep it, and is read back through ordinary attribute
// access on every read: rebinding `descr.func`, or a subclass that makes
// `func` a property, is seen at once.  The type comes from a spec, so the
// C slots tp_init and tp_descr_get are what Python subclasses inherit; the
// documented `__init__` and `__get__` sit beside them (METH_COEXIST) with
// the signatures and argument errors of Python methods, and are what
// `super().__get__(...)` in a subclass reaches.
#include "common/args.hpp"
#include "common/classdef.hpp"
#include "common/errors.hpp"
#include "common/lifecycle.hpp"
#include "common/module.hpp"
#include "common/spectype.hpp"

namespace loftel {
namespace {

using vo::Ref;

struct LoftelState {
    PyObject* func_name = nullptr;  // "func", interned (borrowed, process lifetime)
};
LoftelState state;

vo::Signature<1> sig_init("LoftelDescriptor.__init__", "self", {{"func"}});
vo::Signature<2> sig_get("LoftelDescriptor.__get__", "self", {{"obj"}, {"owner"}});

// `self.func = func`, through attribute assignment so that a subclass's data
// descriptor named `func` takes it.
bool init_impl(PyObject* self, PyObject* func) noexcept { return PyObject_SetAttr(self, state.func_name, func) == 0; }

// `self.func(owner)`; `owner` is None when the interpreter gives no class.
// The function is read through attribute access every time, so rebinding it
// (or a subclass property named `func`) is seen at once.
PyObject* get_impl(PyObject* self, PyObject* owner) noexcept {
    Ref func = Ref::steal(PyObject_GetAttr(self, state.func_name));
    if (!func) return nullptr;
    return PyObject_CallOneArg(func.get(), owner);
}

int loftel_init(PyObject* self, PyObject* args, PyObject* kwds) {
    VO_METHOD("LoftelDescriptor.__init__");
    PyObject* parsed[1];
    if (!sig_init.parse(args, kwds, parsed) || !init_impl(self, parsed[0])) return VO_FAIL_INT();
    return 0;
}

PyObject* loftel_init_method(PyObject* self, PyObject* func) noexcept {
    VO_METHOD("LoftelDescriptor.__init__");
    if (!init_impl(self, func)) return VO_FAIL();
    Py_RETURN_NONE;
}

PyObject* loftel_descr_get(PyObject* self, PyObject* obj, PyObject* type) {
    VO_METHOD("LoftelDescriptor.__get__");
    (void)obj;  // the instance plays no part: the value belongs to the class
    PyObject* result = get_impl(self, type ? type : Py_None);
    if (!result) return VO_FAIL();
    return result;
}

PyObject* loftel_get_method(PyObject* self, PyObject* obj, PyObject* owner) noexcept {
    VO_METHOD("LoftelDescriptor.__get__");
    (void)obj;
    PyObject* result = get_impl(self, owner);
    if (!result) return VO_FAIL();
    return result;
}

constexpr char loftel_doc[] =
    "Descriptor class that lets classes have their own \"properties\".\n"
    "\n"
    "Such a property is computed from the class, not from an instance: reading\n"
    "it on the class or on any of its instances calls the decorated function\n"
    "with the class through which it was reached. Subclasses inherit it (the\n"
    "function then receives the subclass) and can overwrite it with an ordinary\n"
    "attribute of the same name. It adds read-only class-property\n"
    "functionality: there is no setter, and the function runs again on every\n"
    "read.\n"
    "\n"
    "Use it as a decorator on a function of one argument inside a class body.\n"
    "\n"
    "Example:\n"
    "    >>> class MyClass:\n"
    "    ...     @loftel\n"
    "    ...     def value(cls):\n"
    "    ...         return 100\n"
    "    >>> MyClass.value\n"
    "    100\n"
    "    >>> MyClass().value\n"
    "    100";

constexpr char loftel_init_doc[] =
    "__init__($self, /, func)\n--\n\n"
    "Keep the decorated function; it is called with the owner class on every read.";

constexpr char loftel_get_doc[] =
    "__get__($self, /, obj, owner)\n--\n\n"
    "Return func(owner): the property's value for the class it was read through.";

PyMethodDef loftel_methods[] = {
    // METH_COEXIST keeps the C slots beside the documented methods.
    {"__init__", VO_CFUNC((vo::method<sig_init, loftel_init_method>)), METH_FASTCALL | METH_KEYWORDS | METH_COEXIST,
     loftel_init_doc},
    {"__get__", VO_CFUNC((vo::method<sig_get, loftel_get_method>)), METH_FASTCALL | METH_KEYWORDS | METH_COEXIST,
     loftel_get_doc},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot loftel_slots[] = {
    {Py_tp_doc, const_cast<char*>(loftel_doc)},
    {Py_tp_init, reinterpret_cast<void*>(loftel_init)},
    {Py_tp_descr_get, reinterpret_cast<void*>(loftel_descr_get)},
    {Py_tp_methods, loftel_methods},
    {Py_tp_getset, vo::instance_getsets},
    // The only references an instance holds are its `__dict__` and its type.
    {Py_tp_traverse, reinterpret_cast<void*>(vo::lifecycle::Object<vo::lifecycle::NoFields>::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(vo::lifecycle::Object<vo::lifecycle::NoFields>::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vo::lifecycle::Object<vo::lifecycle::NoFields>::dealloc)},
    {0, nullptr}};

PyType_Spec loftel_spec = {
    .name = "vestri.ondrel.loftel.LoftelDescriptor",
    .basicsize = 0,
    .itemsize = 0,
    .flags = vo::kInstanceFlags,
    .slots = loftel_slots,
};

bool module_body(PyObject* module) {
    if (!vo::intern_all({{&state.func_name, "func"}})) return false;
    Ref type = vo::type_from_spec(module, &loftel_spec, nullptr);
    if (!type) return false;
    if (!vo::arrange_namespace(type.type_ptr(), {"__module__", "__doc__", "__init__", "__get__", "__dict__", "__weakref__"}))
        return false;
    if (!vo::body_bind(module, "LoftelDescriptor", type)) return false;
    // An alias, so that `@loftel` constructs a LoftelDescriptor.
    return vo::body_bind(module, "loftel", type);
}

constexpr char module_doc[] =
    "Class properties\n"
    "\n"
    "Read-only properties evaluated on the class rather than on an instance.";

}  // namespace
}  // namespace loftel

VO_DEFINE_MODULE(loftel, loftel::module_doc, loftel::module_body)
