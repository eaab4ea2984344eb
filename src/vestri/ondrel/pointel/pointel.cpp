// vestri.ondrel.pointel: dictionaries whose keys are also attributes.
//
// A Pointel is a dict that serves as its own attribute dictionary.  The
// textbook way, `self.__dict__ = self`, makes every instance a reference
// cycle that only the cycle collector can free.  Here no reference is stored
// at all: the attribute hooks read and write the dict itself.  A read looks
// at the class first (so `obj.items` stays the method even when a key
// "items" exists), then at the keys; a write hands data descriptors of the
// class their `__set__` and otherwise stores the key at the dict level,
// bypassing `__setitem__`; `__dict__` answers the object itself.
//
// The type is made from a PyType_Spec over dict, so item access, iteration
// and the rest are dict's own C slots, in Pointel and in Python subclasses.
#include "pointel.hpp"

#include "common/callargs.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/guard.hpp"
#include "common/lifecycle.hpp"
#include "common/module.hpp"

namespace pointel {

PointelState state;

namespace {

using vo::Ref;

bool is_dict_name(PyObject* name) noexcept {
    return name == state.dict ||
           (PyUnicode_GET_LENGTH(name) == 8 && PyUnicode_CompareWithASCIIString(name, "__dict__") == 0);
}

// The interpreter's AttributeError for a missing attribute, with `name` and
// `obj` set for its "Did you mean" hints.  `getattr(obj, name, default)` and
// `hasattr` probe for attributes this way and throw the error away, so it is
// built without formatting or attribute lookups: the text is copied together
// and the two fields are set on the exception directly.  Probes tend to
// repeat, so the arguments tuple of the last one is kept for the next probe
// of the same name on a class of the same name (strings and tuples are
// immutable: exceptions may share them).
Ref missing_args(PyObject* type_name, PyObject* name) noexcept {
    LastMissing& last = state.last_missing;
    if (type_name == last.type_name.get() && name == last.name.get()) return Ref::borrow(last.args.get());
    Py_ssize_t type_length = PyUnicode_GET_LENGTH(type_name);
    Py_ssize_t middle = PyUnicode_GET_LENGTH(state.no_attr), name_length = PyUnicode_GET_LENGTH(name);
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(type_name);
    if (PyUnicode_MAX_CHAR_VALUE(name) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(name);
    Ref text = Ref::steal(PyUnicode_New(1 + type_length + middle + name_length + 1, maxchar));
    if (!text) return nullptr;
    Py_ssize_t at = 0;
    for (PyObject* piece : {state.quote, type_name, state.no_attr, name, state.quote}) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_CopyCharacters(text.get(), at, piece, 0, n) < 0) return nullptr;
        at += n;
    }
    Ref args = Ref::steal(PyTuple_Pack(1, text.get()));
    if (!args) return nullptr;
    // Released last, once the entry is whole again: releasing the old one may
    // run code (a str subclass name's __del__) that probes for attributes.
    Ref old_type_name = Ref::borrow(last.type_name.get()), old_name = Ref::borrow(last.name.get()),
        old_args = Ref::borrow(last.args.get());
    last.type_name.set(Ref::borrow(type_name));
    last.name.set(Ref::borrow(name));
    last.args.set(args);
    return args;
}

void raise_missing(PyObject* self, PyObject* name) noexcept {
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!type_name) return;
    // The interpreter's text cuts a type name after 100 characters.
    if (PyUnicode_GET_LENGTH(type_name.get()) > 100 || !PyUnicode_CheckExact(name))
        return vo::raise_missing_attribute(self, name);
    Ref args = missing_args(type_name.get(), name);
    if (!args) return;
    // AttributeError's own __new__, without __init__: __init__ would only
    // store the arguments again and parse the keywords for the two fields.
    auto* type = reinterpret_cast<PyTypeObject*>(PyExc_AttributeError);
    Ref exc = Ref::steal(type->tp_new(type, args.get(), nullptr));
    if (!exc) return;
    vo::compat::set_attribute_error_fields(exc.get(), name, self);
    PyErr_SetRaisedException(exc.release());
}

bool check_name(PyObject* name) noexcept {
    if (VO_LIKELY(PyUnicode_Check(name))) return true;
    PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
    return false;
}

}  // namespace

namespace {

// Whether the class of `self` has nothing under `name`, as remembered.
bool known_absent(PyTypeObject* type, PyObject* name) noexcept {
    const AbsentNames::Entry& e = state.absent.entries[AbsentNames::slot(type, name)];
    return e.type == type && e.name == name && e.version != 0 && e.version == vo::compat::current_type_version(type);
}

// Remembers that the class had nothing under `name` while its version tag
// stayed `version`, read before the lookup: the lookup may have run code
// (a colliding key's `__eq__` in a class namespace) that changed the class,
// and a class without a tag yet gets one only after its lookup.  A lookup
// that may have run code is not remembered at all: a key whose `__eq__`
// raised makes it miss too, and the next lookup may find the name.
void remember_absent(PyTypeObject* type, PyObject* name, unsigned int version) noexcept {
    if (version == 0 || version != vo::compat::current_type_version(type) || !PyUnicode_CheckExact(name)) return;
    if (!vo::compat::mro_lookup_runs_no_code(type)) return;
    AbsentNames::Entry& e = state.absent.entries[AbsentNames::slot(type, name)];
    // The old name is released last, once the entry is whole again
    // (releasing an exact str runs no code, but the order costs nothing).
    Ref old = Ref::borrow(e.name.get());
    e.type = type;
    e.version = version;
    e.name.set(Ref::borrow(name));
}

}  // namespace

namespace {

// After the key `name` was not found in `self`, or its lookup failed.
[[gnu::noinline]] PyObject* no_such_key(PyObject* self, PyObject* name) noexcept {
    if (!PyErr_Occurred()) raise_missing(self, name);
    return nullptr;
}

[[gnu::noinline]] PyObject* getattro_general(PyObject* self, PyObject* name) noexcept {
    if (!check_name(name)) return nullptr;
    if (VO_UNLIKELY(is_dict_name(name))) return Py_NewRef(self);
    PyTypeObject* type = Py_TYPE(self);
    // Anything the class has wins over a key of the same name.
    unsigned int version = vo::compat::current_type_version(type);
    if (PyObject* found = vo::compat::type_lookup(type, name)) return vo::bind(found, self).release();
    remember_absent(type, name, version);
    if (PyObject* value = PyDict_GetItemWithError(self, name)) return Py_NewRef(value);
    return no_such_key(self, name);
}

}  // namespace

// The usual read, a name the class is known not to have (so an exact str,
// and not `__dict__`), is one dict lookup, kept small enough that the
// compiler adds no frame to it.
PyObject* pointel_getattro(PyObject* self, PyObject* name) {
    if (VO_LIKELY(known_absent(Py_TYPE(self), name))) {
        if (PyObject* value = PyDict_GetItemWithError(self, name)) return Py_NewRef(value);
        return no_such_key(self, name);
    }
    return getattro_general(self, name);
}

namespace {

int pointel_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (!check_name(name)) return -1;
    if (VO_UNLIKELY(is_dict_name(name))) {
        if (value == self) return 0;  // `self.__dict__ = self`: already so
        Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(self)));
        if (type_name)
            PyErr_Format(PyExc_TypeError,
                         "the attribute dictionary of a '%U' object is the object itself and cannot be replaced",
                         type_name.get());
        return -1;
    }
    PyTypeObject* type = Py_TYPE(self);
    if (!known_absent(type, name)) {
        unsigned int version = vo::compat::current_type_version(type);
        if (PyObject* found = vo::compat::type_lookup(type, name)) {
            if (descrsetfunc set = Py_TYPE(found)->tp_descr_set) {
                Ref descr = Ref::borrow(found);
                return set(found, self, value);
            }
        } else {
            remember_absent(type, name, version);
        }
    }
    // Stored at the dict level: item assignment of subclasses is not involved.
    if (value) return PyDict_SetItem(self, name, value);
    if (PyDict_DelItem(self, name) == 0) return 0;
    if (vo::clear_key_error()) raise_missing(self, name);
    return -1;
}

// The instance carries the slot of an attribute dictionary (managed by the
// interpreter, ahead of the object) as every Python subclass would add it,
// so that the layouts agree and `obj.__class__` can move between Pointel and
// its subclasses.  Nothing of the package ever fills it: attributes are the
// object's own keys.  Only the interpreter's generic attribute functions
// called directly (`object.__setattr__(obj, name, value)`) store there, and
// what they store is visited, cleared and released with the object.
using Life = vo::lifecycle::Over<&PyDict_Type>;

int pointel_init_impl(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    // Exactly dict's initialiser: every form dict() takes, with dict's errors.
    return PyDict_Type.tp_init(self, args, kwds);
}

int pointel_init(PyObject* self, PyObject* args, PyObject* kwds) {
    VO_METHOD("Pointel.__init__");
    if (pointel_init_impl(self, args, kwds) < 0) return VO_FAIL_INT();
    return 0;
}

// dict's initialiser given `source` (an exact dict, or NULL) and keywords
// with exact str names, in the order dict's initialiser stores them.
int pointel_init_direct(PyObject* self, PyObject* source, PyObject* const* kwvalues, PyObject* kwnames,
                        Py_ssize_t nkw) noexcept {
    VO_METHOD("Pointel.__init__");
    if (source && PyDict_Merge(self, source, 1) < 0) return VO_FAIL_INT();
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyDict_SetItem(self, PyTuple_GET_ITEM(kwnames, i), kwvalues[i]) < 0) return VO_FAIL_INT();
    return 0;
}

// type.__call__(cls, *args, **kwargs), the arguments packed as the
// interpreter packs them for a class without a vectorcall of its own.
Ref call_as_type(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t nkw) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (nkw) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return nullptr;
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
    }
    return Ref::steal(PyType_Type.tp_call(cls, tuple.get(), kwargs.get()));
}

PyObject* pointel_init_method(PyObject* self, PyObject* args, PyObject* kwds) {
    VO_METHOD("Pointel.__init__");
    if (pointel_init_impl(self, args, kwds) < 0) return VO_FAIL();
    Py_RETURN_NONE;
}

// `Pointel(...)`, what type.__call__ does for the class: dict's __new__,
// then our __init__, which is dict's initialiser.  The interpreter would
// first pack the arguments into a tuple and the keywords into a dict, which
// dict's initialiser then copies; here keywords given as exact str names and
// a positional exact dict are stored directly.  Anything else (a replaced
// `__new__` or `__init__`, other arguments) goes through type.__call__ with
// the tuple and dict made as the interpreter makes them.  The class's own
// call only: a subclass's call is the interpreter's (the field is not
// inherited).
PyObject* pointel_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    bool direct = type->tp_new == PyDict_Type.tp_new && type->tp_init == pointel_init &&
                  (nargs == 0 || (nargs == 1 && PyDict_CheckExact(args[0])));
    for (Py_ssize_t i = 0; direct && i < nkw; ++i) direct = PyUnicode_CheckExact(PyTuple_GET_ITEM(kwnames, i));
    // The caller's array may be lent from storage that a key's __eq__ or
    // __hash__ can free (the items of a functools.partial's `args`): held,
    // as the interpreter's tuple and dict would hold them.
    vo::HeldArgs held(args, nargs + nkw);
    if (!held.ok()) return nullptr;
    args = held.get();
    // As the interpreter guards every call of a type.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    Ref result;
    if (VO_LIKELY(direct)) {
        result = Ref::steal(type->tp_new(type, state.empty_tuple.get(), nullptr));
        if (result && pointel_init_direct(result.get(), nargs ? args[0] : nullptr, args + nargs, kwnames, nkw) < 0)
            result.reset();
    } else {
        result = call_as_type(callable, args, nargs, kwnames, nkw);
    }
    Py_LeaveRecursiveCall();
    return result.release();
}

// The repr of the class after Pointel in the MRO (normally dict's).
Ref next_repr(PyObject* self) noexcept {
    Ref found = vo::super_lookup(Py_TYPE(self), state.pointel.get(), state.repr);
    if (found.get() == state.dict_repr) return Ref::steal(PyDict_Type.tp_repr(self));
    Ref bound = vo::super_attribute(self, state.pointel.get(), state.repr);
    if (!bound) return nullptr;
    return Ref::steal(PyObject_CallNoArgs(bound.get()));
}

PyObject* pointel_repr(PyObject* self) {
    VO_METHOD("Pointel.__repr__");
    vo::RecursionGuard guard(" while getting the repr of an object");
    if (!guard.ok()) return VO_FAIL();
    Ref cls = Ref::steal(PyObject_GetAttr(self, state.class_));
    if (!cls) return VO_FAIL();
    Ref name = Ref::steal(PyObject_GetAttr(cls.get(), state.name));
    if (!name) return VO_FAIL();
    Ref name_text = Ref::steal(PyObject_Str(name.get()));
    if (!name_text) return VO_FAIL();
    Ref inner = next_repr(self);
    if (!inner) return VO_FAIL();
    Ref inner_text = Ref::steal(PyObject_Str(inner.get()));
    if (!inner_text) return VO_FAIL();
    PyObject* result = PyUnicode_FromFormat("%U(%U)", name_text.get(), inner_text.get());
    if (!result) return VO_FAIL();
    return result;
}

constexpr char pointel_doc[] =
    "Built-in dictionary type with the additional capability of accessing its\n"
    "content as object attributes.\n"
    "\n"
    "Example:\n"
    "    >>> person = {'first': 'Ada', 'last': 'Lovelace'}\n"
    "    >>> person['first']\n"
    "    'Ada'\n"
    "    >>> person = Pointel(person)\n"
    "    >>> person.first\n"
    "    'Ada'\n"
    "    >>> person['first']\n"
    "    'Ada'\n"
    "\n"
    "Known Limitations:\n"
    "    Attributes follow Python's identifier rules: keys containing special\n"
    "    characters such as dots, commas, brackets, dashes or hyphens, quotes,\n"
    "    slashes and the like cannot be reached in attribute form; use item\n"
    "    access (obj['some-key']) or getattr() for them.";

constexpr char pointel_init_doc[] =
    "__init__($self, *args, **kwargs)\n--\n\n"
    "Pointel object init\n"
    "\n"
    "Every Python object keeps its attributes in a dictionary named __dict__.\n"
    "Nothing requires that dictionary to be a plain dict: any subclass of dict\n"
    "may serve.  The dict initialiser runs first, with exactly the given\n"
    "arguments, so the instance behaves exactly like a dictionary; the instance\n"
    "then serves as its own __dict__ (obj.__dict__ is obj): attribute reads and\n"
    "writes reach its keys.  It does so without storing a reference to itself,\n"
    "so an instance is never a reference cycle.\n"
    "\n"
    "Special Note:\n"
    "    The textbook technique, assigning self.__dict__ = self, makes every\n"
    "    instance a reference cycle and is known to leak memory on Python\n"
    "    versions before 2.7.3 and, for Python 3, before 3.2.3; this class\n"
    "    does not use it.";

PyMethodDef pointel_methods[] = {
    // METH_COEXIST keeps the C slot for tp_init beside the documented method.
    {"__init__", VO_CFUNC(pointel_init_method), METH_VARARGS | METH_KEYWORDS | METH_COEXIST, pointel_init_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pointel_slots[] = {
    vo::slot(Py_tp_doc, pointel_doc),           vo::slot(Py_tp_init, pointel_init),
    vo::slot(Py_tp_repr, pointel_repr),         vo::slot(Py_tp_getattro, pointel_getattro),
    vo::slot(Py_tp_setattro, pointel_setattro), VO_LIFECYCLE_SLOTS(Life),
    vo::slot(Py_tp_methods, pointel_methods),   {0, nullptr},
};

PyType_Spec pointel_spec = {
    .name = "vestri.ondrel.pointel.Pointel",
    .basicsize = 0,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
             Py_TPFLAGS_MANAGED_WEAKREF,
    .slots = pointel_slots,
};

bool module_body(PyObject* module) {
    PointelState& st = state;
    if (!vo::intern_all({{&st.dict, "__dict__"},
                         {&st.class_, "__class__"},
                         {&st.name, "__name__"},
                         {&st.repr, "__repr__"},
                         {&st.quote, "'"},
                         {&st.no_attr, "' object has no attribute '"},
                         {&st.getitem, "__getitem__"},
                         {&st.setitem, "__setitem__"},
                         {&st.delitem, "__delitem__"},
                         {&st.contains, "__contains__"},
                         {&st.init, "__init__"},
                         {&st.update, "update"},
                         {&st.setdefault, "setdefault"},
                         {&st.items, "items"},
                         {&st.missing, "__missing__"},
                         {&st.mapping, "Mapping"},
                         {&st.itertools, "itertools"},
                         {&st.chain, "chain"},
                         {&st.split, "split"},
                         {&st.dot, "."}}))
        return false;
    Ref dict_ns = Ref::steal(PyType_GetDict(&PyDict_Type));
    if (!dict_ns) return false;
    st.dict_repr = PyDict_GetItemWithError(dict_ns.get(), st.repr);
    if (!st.dict_repr) return false;

    if (!vo::body_import(module, "itertools")) return false;
    if (!vo::body_import_from(module, "collections.abc", {"Mapping", "MutableMapping"})) return false;

    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyDict_Type)));
    if (!bases) return false;
    if (!st.empty_tuple.set(Ref::steal(PyTuple_New(0)))) return false;
    if (!st.pointel.set(vo::type_from_spec(module, &pointel_spec, bases.get()))) return false;
    st.pointel_type()->tp_vectorcall = pointel_vectorcall;
    if (!vo::body_bind(module, "Pointel", Ref::borrow(st.pointel.get()))) return false;

    if (!st.nested_pointel.set(make_nested_pointel(module))) return false;
    return vo::body_bind(module, "NestedPointel", Ref::borrow(st.nested_pointel.get()));
}

constexpr char module_doc[] =
    "Attribute Dictionary library\n"
    "\n"
    "Extends the built-in dictionary so that users can reach the key-values as\n"
    "object attributes (obj.key) in addition to the native obj['key'] form.";

}  // namespace
}  // namespace pointel

VO_DEFINE_MODULE(pointel, pointel::module_doc, pointel::module_body)
