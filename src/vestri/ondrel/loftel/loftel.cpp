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
// but for the call, so the object remembers what the lookup found last, and
// uses it while nothing can have changed it: the package's dict watcher
// watches the instance dict (any change to a watched dict advances the
// shared epoch), and the type's version tag covers the class side (a `func`
// or `__getattribute__` added to any class in the MRO).  The object holds
// that dict, so the function, which the dict holds while the epoch stands,
// is never called freed.  Nothing is remembered where the lookup is not the
// instance dict's entry, nor for a class that inherits another `__dict__`
// descriptor than ours (a base's own `__dict__` setter replaces the dict
// without our setter's knowledge, and would leave reads calling the old
// function).  Only the function is its state: `__getstate__` gives the
// instance dict, so copying and pickling work as for a Python class.
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
#include "common/kept.hpp"
#include "common/lifecycle.hpp"
#include "common/module.hpp"
#include "common/spectype.hpp"

#include <type_traits>

namespace loftel {
namespace {

using vo::Ref;

// What the module keeps, in static storage and never released: a release
// after the interpreter has finalized would touch freed memory.
struct LoftelState {
    PyObject* func_name;      // "func" (borrowed: interned for the process)
    PyObject* dict_name;      // "__dict__" (borrowed: interned for the process)
    vo::SharedState* shared;  // the package's dict watcher and epoch (borrowed: lives with the interpreter)
    vo::Kept own_dict;        // LoftelDescriptor.__dict__['__dict__'] (strong)
};
static_assert(std::is_trivially_destructible_v<LoftelState>);
LoftelState state;

// `seen_func` is what `self.func` gave last, borrowed from `seen_dict`, the
// instance dict it was read from, which the object holds: any change to that
// dict advances the epoch before the entry goes, so while the epoch is the
// one noted the dict still holds the function.  With the type's version tag
// then; both NULL when nothing is remembered.
struct LoftelObject {
    PyObject ob_base;
    PyObject* seen_func;
    PyObject* seen_dict;
    unsigned long seen_epoch;
    unsigned int seen_tag;
};

LoftelObject* as_loftel(PyObject* self) noexcept { return reinterpret_cast<LoftelObject*>(self); }

// Forgets what was remembered (releasing the dict may run a finalizer).
void forget(PyObject* self) noexcept {
    LoftelObject* o = as_loftel(self);
    o->seen_func = nullptr;
    Py_CLEAR(o->seen_dict);
}

struct LoftelFields {
    static int visit(PyObject* self, visitproc visit, void* arg) noexcept {
        Py_VISIT(as_loftel(self)->seen_dict);
        return 0;
    }
    static void clear(PyObject* self) noexcept { forget(self); }
};
using Lifecycle = vo::lifecycle::Object<LoftelFields>;

vo::Signature<1> sig_init("LoftelDescriptor.__init__", "self", {{"func"}});
vo::Signature<2> sig_get("LoftelDescriptor.__get__", "self", {{"obj"}, {"owner"}});

// `self.func = func`, through attribute assignment so that a subclass's data
// descriptor named `func` takes it.
bool init_impl(PyObject* self, PyObject* func) noexcept { return PyObject_SetAttr(self, state.func_name, func) == 0; }

// Whether every `__dict__` descriptor along the MRO of `type` is ours, whose
// setter forgets what was remembered.
bool dict_setters_are_ours(PyTypeObject* type) noexcept {
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* ns = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))->tp_dict;
        Ref descr;
        int found = ns ? vo::compat::dict_get_ref(ns, state.dict_name, descr) : 0;
        if (found < 0) {
            PyErr_Clear();
            return false;
        }
        if (found && descr.get() != state.own_dict.get()) return false;
    }
    return true;
}

// Remembers `func`, just read as `self.func`, when that read was the entry of
// the instance dict: attribute reads are the generic ones, no class in the
// MRO has a `func`, only our `__dict__` setter can replace the dict, and the
// dict, now watched, holds this very object.
// Re-entrancy: the lookups may run a key's `__eq__` (a str subclass key),
// which may change the class or the dict; the version tag is taken before
// them, the entry is compared after them, and nothing runs between the
// comparison and the watch.  `func` is held by the caller.
void remember_func(PyObject* self, PyObject* func) noexcept {
    forget(self);
    Ref type = Ref::borrow(Py_TYPE(self));
    if (state.shared->watcher < 0 || type.type_ptr()->tp_getattro != PyObject_GenericGetAttr) return;
    unsigned int tag = vo::compat::type_version(type.type_ptr());
    if (!tag || vo::compat::type_lookup_ref(type.type_ptr(), state.func_name) ||
        !dict_setters_are_ours(type.type_ptr()))
        return;
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    Ref entry;
    if (!dict || vo::compat::dict_get_ref(dict.get(), state.func_name, entry) < 0 || entry.get() != func ||
        PyDict_Watch(state.shared->watcher, dict.get()) < 0) {
        PyErr_Clear();  // not remembered: the next read looks again
        return;
    }
    // All fields first: releasing a dict remembered meanwhile (by a read
    // that the lookups ran) may run code, which then sees a whole record.
    LoftelObject* o = as_loftel(self);
    PyObject* old = o->seen_dict;
    o->seen_dict = dict.release();
    o->seen_func = func;
    o->seen_epoch = state.shared->epoch;
    o->seen_tag = tag;
    Py_XDECREF(old);
}

// `self.func`.
Ref read_func(PyObject* self) noexcept {
    LoftelObject* o = as_loftel(self);
    if (VO_LIKELY(o->seen_func && o->seen_epoch == state.shared->epoch &&
                  o->seen_tag == vo::compat::current_type_version(Py_TYPE(self))))
        return Ref::borrow(o->seen_func);
    vo::count_general_path(state.shared, vo::GeneralPath::LoftelLookup);
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
    forget(self);
    return PyObject_GenericSetDict(self, value, closure);
}

// object.__getstate__ without its refusal of instances larger than a plain
// object: what is remembered is no state, and the state is the instance
// dictionary (`func`), as for any instance of a Python class.
PyObject* loftel_getstate(PyObject* self) noexcept {
    VO_METHOD("LoftelDescriptor.__getstate__");
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return VO_FAIL();
    if (PyDict_GET_SIZE(dict.get()) == 0) Py_RETURN_NONE;
    return dict.release();
}

vo::Signature<0> sig_getstate("LoftelDescriptor.__getstate__", "self");

int loftel_init(PyObject* self, PyObject* args, PyObject* kwds) {
    VO_METHOD("LoftelDescriptor.__init__");
    // Held before anything runs: the keyword dict may be shared with code
    // that a __setattr__ or a key's __eq__ could run.
    Ref parsed[1];
    if (!sig_init.parse(args, kwds, parsed)) return VO_FAIL_INT();
    if (!init_impl(self, parsed[0].get())) return VO_FAIL_INT();
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

// The first lines give the class the documented signature of a call,
// `LoftelDescriptor(func)`, which the slot wrapper of `__init__` does not
// give `inspect.signature`; `__doc__` leaves them out.
constexpr char loftel_doc[] =
    "LoftelDescriptor(func)\n--\n\n"
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

const char* const loftel_init_doc =
    sig_init.doc("Keep the decorated function; it is called with the owner class on every read.");

const char* const loftel_get_doc =
    sig_get.doc("Return func(owner): the property's value for the class it was read through.");

// METH_COEXIST keeps the C slot beside the documented method, whose
// parameters a slot wrapper could not take as a Python method does.
PyMethodDef loftel_methods[] = {
    {"__get__", VO_CFUNC((vo::method<sig_get, loftel_get_method>)), METH_FASTCALL | METH_KEYWORDS | METH_COEXIST,
     loftel_get_doc},
    {"__getstate__", VO_CFUNC((vo::method<sig_getstate, loftel_getstate>)), METH_FASTCALL | METH_KEYWORDS,
     sig_getstate.doc("Helper for pickle.")},
    {nullptr, nullptr, 0, nullptr},
};

// A class statement's `__dict__` and `__weakref__`, the first with a setter
// that forgets the remembered function.
PyGetSetDef loftel_getsets[] = {
    {"__dict__", PyObject_GenericGetDict, loftel_set_dict, "dictionary for instance variables", nullptr},
    {"__weakref__", vo::instance_get_weakref, nullptr, "list of weak references to the object", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot loftel_slots[] = {vo::slot(Py_tp_doc, loftel_doc),
                              vo::slot(Py_tp_init, loftel_init),
                              vo::slot(Py_tp_descr_get, loftel_descr_get),
                              vo::slot(Py_tp_methods, loftel_methods),
                              vo::slot(Py_tp_getset, loftel_getsets),
                              VO_LIFECYCLE_SLOTS(Lifecycle),
                              {0, nullptr}};

PyType_Spec loftel_spec = {
    .name = "vestri.ondrel.loftel.LoftelDescriptor",
    .basicsize = sizeof(LoftelObject),
    .itemsize = 0,
    .flags = vo::kInstanceFlags,
    .slots = loftel_slots,
};

bool module_body(PyObject* module) {
    if (!vo::intern_all({{&state.func_name, "func"}, {&state.dict_name, "__dict__"}})) return false;
    if (!(state.shared = vo::shared_state())) return false;
    Ref type = vo::type_from_spec(module, &loftel_spec, nullptr);
    if (!type) return false;
    if (!vo::document_slot(type.type_ptr(), "__init__", loftel_init_doc) ||
        !vo::arrange_namespace(type.type_ptr(), {"__module__", "__doc__", "__init__", "__get__", "__getstate__",
                                                 "__dict__", "__weakref__"}))
        return false;
    // The descriptor its instances use (not the class's own mapping proxy).
    if (!state.own_dict.set(vo::compat::type_lookup_ref(type.type_ptr(), state.dict_name))) {
        PyErr_SetString(PyExc_SystemError, "LoftelDescriptor has no __dict__ descriptor");
        return false;
    }
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
