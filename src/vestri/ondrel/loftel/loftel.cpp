// vestri.ondrel.loftel: read-only properties computed from the class.
//
// LoftelDescriptor wraps a function of one argument; reading the attribute,
// on the class or on an instance, calls it with the class it was reached
// through.  It is a non-data descriptor: no __set__, so an instance entry of
// the same name hides it and assigning on a class replaces it.
//
// The decorated function lives in the instance `__dict__` under "func", as a
// Python class would keep it, and every read means `self.func(owner)`, so
// rebinding `descr.func`, or a subclass that makes `func` a property, is
// seen at once.  Looking `func` up costs about as much as the rest of a read
// but for the call, so the object remembers (borrowed) what the lookup found
// last, and uses it while nothing can have changed it: the package's dict
// watcher watches the instance dict (any change to a watched dict advances
// the shared epoch), and the type's version tag covers the class side (a
// `func` or `__getattribute__` added to any class in the MRO).  Nothing is
// remembered where the lookup is not the instance dict's entry.
//
// The type comes from a spec, so Python subclasses inherit the C slots
// tp_init and tp_descr_get.  `__init__` is the slot's own wrapper, given the
// method's docstring (the slot parses the arguments as the Python method
// would).  `__get__` cannot be: the slot wrapper takes `owner` as optional and
// positional-only, so the documented method sits beside the slot
// (METH_COEXIST), and subclasses reach it through the interpreter's generic
// slot function.
#include "common/args.hpp"
#include "common/bindings.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/lifecycle.hpp"
#include "common/module.hpp"
#include "common/spectype.hpp"

namespace loftel {
namespace {

using vo::Ref;

struct LoftelState {
    PyObject* func_name = nullptr;      // "func", interned (borrowed, process lifetime)
    vo::SharedState* shared = nullptr;  // the package's dict watcher and epoch (borrowed)
};
LoftelState state;

// `seen_func` is what `self.func` gave last (borrowed: the instance dict holds
// it, and any change to that dict advances the epoch before the entry goes),
// with the epoch then and the type's version tag then; NULL when not
// remembered.
struct LoftelObject {
    PyObject ob_base;
    PyObject* seen_func;
    unsigned long seen_epoch;
    unsigned int seen_tag;
};

LoftelObject* as_loftel(PyObject* self) noexcept { return reinterpret_cast<LoftelObject*>(self); }

// The remembered function is borrowed, so there is nothing to visit; a
// cleared instance forgets it with its dict, which may live on elsewhere.
struct LoftelFields {
    static int visit(PyObject*, visitproc, void*) noexcept { return 0; }
    static void clear(PyObject* self) noexcept { as_loftel(self)->seen_func = nullptr; }
};
using Lifecycle = vo::lifecycle::Object<LoftelFields>;

vo::Signature<1> sig_init("LoftelDescriptor.__init__", "self", {{"func"}});
vo::Signature<2> sig_get("LoftelDescriptor.__get__", "self", {{"obj"}, {"owner"}});

// `self.func = func`, through attribute assignment so that a subclass's data
// descriptor named `func` takes it.
bool init_impl(PyObject* self, PyObject* func) noexcept { return PyObject_SetAttr(self, state.func_name, func) == 0; }

// Remembers `func`, just read as `self.func`, when that read was the entry of
// the instance dict: attribute reads are the generic ones, no class in the
// MRO has a `func`, and the dict, now watched, holds this very object.
// Re-entrancy: the dict lookup may run a key's `__eq__` (a str subclass key),
// which may change the dict; the entry is compared after it, and nothing
// runs between the comparison and the watch.
void remember_func(PyObject* self, PyObject* func) noexcept {
    LoftelObject* o = as_loftel(self);
    o->seen_func = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    if (state.shared->watcher < 0 || type->tp_getattro != PyObject_GenericGetAttr ||
        vo::compat::type_lookup(type, state.func_name))
        return;
    unsigned int tag = vo::compat::type_version(type);
    if (!tag) return;
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict || PyDict_GetItemWithError(dict.get(), state.func_name) != func ||
        PyDict_Watch(state.shared->watcher, dict.get()) < 0) {
        PyErr_Clear();  // not remembered: the next read looks again
        return;
    }
    o->seen_func = func;
    o->seen_epoch = state.shared->epoch;
    o->seen_tag = tag;
}

// `self.func`.
Ref read_func(PyObject* self) noexcept {
    LoftelObject* o = as_loftel(self);
    if (VO_LIKELY(o->seen_func && o->seen_epoch == state.shared->epoch &&
                  o->seen_tag == vo::compat::current_type_version(Py_TYPE(self))))
        return Ref::borrow(o->seen_func);
    Ref func = Ref::steal(PyObject_GetAttr(self, state.func_name));
    if (func) remember_func(self, func.get());
    return func;
}

// `self.func(owner)`; `owner` is None when the interpreter gives no class.
PyObject* get_impl(PyObject* self, PyObject* owner) noexcept {
    Ref func = read_func(self);
    if (!func) return nullptr;
    return PyObject_CallOneArg(func.get(), owner);
}

// `__dict__` replaced wholesale: the old dict may live on unchanged, so what
// was remembered from it is forgotten here.
int loftel_set_dict(PyObject* self, PyObject* value, void* closure) {
    as_loftel(self)->seen_func = nullptr;
    return PyObject_GenericSetDict(self, value, closure);
}

int loftel_init(PyObject* self, PyObject* args, PyObject* kwds) {
    VO_METHOD("LoftelDescriptor.__init__");
    PyObject* parsed[1];
    if (!sig_init.parse(args, kwds, parsed) || !init_impl(self, parsed[0])) return VO_FAIL_INT();
    return 0;
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

// METH_COEXIST keeps the C slot beside the documented method, whose
// parameters a slot wrapper could not take as a Python method does.
PyMethodDef loftel_methods[] = {
    {"__get__", VO_CFUNC((vo::method<sig_get, loftel_get_method>)), METH_FASTCALL | METH_KEYWORDS | METH_COEXIST,
     loftel_get_doc},
    {nullptr, nullptr, 0, nullptr},
};

// A class statement's `__dict__` and `__weakref__`, the first with a setter
// that forgets the remembered function.
PyGetSetDef loftel_getsets[] = {
    {"__dict__", PyObject_GenericGetDict, loftel_set_dict, "dictionary for instance variables", nullptr},
    {"__weakref__", vo::instance_get_weakref, nullptr, "list of weak references to the object", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot loftel_slots[] = {{Py_tp_doc, const_cast<char*>(loftel_doc)},
                              {Py_tp_init, reinterpret_cast<void*>(loftel_init)},
                              {Py_tp_descr_get, reinterpret_cast<void*>(loftel_descr_get)},
                              {Py_tp_methods, loftel_methods},
                              {Py_tp_getset, loftel_getsets},
                              {Py_tp_traverse, reinterpret_cast<void*>(Lifecycle::traverse)},
                              {Py_tp_clear, reinterpret_cast<void*>(Lifecycle::clear)},
                              {Py_tp_dealloc, reinterpret_cast<void*>(Lifecycle::dealloc)},
                              {0, nullptr}};

PyType_Spec loftel_spec = {
    .name = "vestri.ondrel.loftel.LoftelDescriptor",
    .basicsize = sizeof(LoftelObject),
    .itemsize = 0,
    .flags = vo::kInstanceFlags,
    .slots = loftel_slots,
};

bool module_body(PyObject* module) {
    if (!vo::intern_all({{&state.func_name, "func"}})) return false;
    if (!(state.shared = vo::shared_state())) return false;
    Ref type = vo::type_from_spec(module, &loftel_spec, nullptr);
    if (!type) return false;
    if (!vo::document_slot(type.type_ptr(), "__init__", loftel_init_doc) ||
        !vo::arrange_namespace(type.type_ptr(),
                               {"__module__", "__doc__", "__init__", "__get__", "__dict__", "__weakref__"}))
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
