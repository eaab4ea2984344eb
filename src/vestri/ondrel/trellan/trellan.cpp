// vestri.ondrel.trellan: a nested dictionary as a flat list of (path, value) pairs.
//
// `Trellan` is a list of pairs, made from a PyType_Spec over `list`; its
// `__flatten__` returns a generator-like object (flatten.cpp) and
// `reconstruct` rebuilds a nesting from the pairs (rebuild.cpp).  This file
// holds the module body, `IndexMarker`, the constructor and the methods that
// check what they store.
//
// The module's names (`MutableMapping`, `DictItem`, `IndexMarker`,
// `Trellan`) are looked up when a method runs.  While all four are the
// objects the body bound (a watched namespace makes that one comparison),
// markers and pairs are built without a call and the class's `__flatten__` is
// walked directly; a rebound name is always honoured.
#include "trellan.hpp"

#include "common/args.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/lifecycle.hpp"
#include "common/module.hpp"
#include "common/spectype.hpp"
#include "common/vector.hpp"

#include <new>
#include <vector>

namespace trellan {

TrellanState state;

using vo::Ref;

int is_mutable_mapping(PyObject* obj, Env& env) noexcept {
    vo::MappingCheck& check = state.mutable_mapping_check;
    // A dict, or a built-in the ABC has already been asked about since user
    // code last ran, is answered without running any; asking about the
    // built-ins runs the ABC's hooks, which may run code but cannot change
    // what the walk holds; anything else goes to `__instancecheck__`.
    bool real = check.real();
    bool builtin = real && !PyDict_Check(obj) && is_plain_builtin(Py_TYPE(obj));
    int asked = env.memo.scalars;
    vo::Is r = check.check(obj, env.memo);
    if (builtin && asked < 0 && env.memo.scalars == 1)
        ++env.epoch;
    else if (!real || (!PyDict_Check(obj) && !(builtin && asked == 1)))
        env.user_code();
    return static_cast<int>(r);
}

int is_index_marker(PyObject* obj, Env& env) noexcept {
    if (VO_LIKELY(state.names.holds())) {
        PyTypeObject* t = Py_TYPE(obj);
        PyTypeObject* marker = state.index_marker_type();
        if (t == marker) return 1;
        if (is_plain_builtin(t)) return 0;
        if (PyType_IsSubtype(t, marker)) return 1;
        int r = PyObject_IsInstance(obj, state.index_marker.get());
        env.user_code();
        return r;
    }
    Ref cls = vo::global(state.s_index_marker);
    if (!cls) return -1;
    int r = PyObject_IsInstance(obj, cls.get());
    env.user_code();
    return r;
}

Ref new_dict_item(PyObject* path, PyObject* value) noexcept {
    // What tuple.__new__ does for a subclass, without the intermediate tuple.
    PyTypeObject* type = state.dict_item_type();
    Ref item = Ref::steal(type->tp_alloc(type, 2));
    if (!item) return nullptr;
    PyTuple_SET_ITEM(item.get(), 0, Py_NewRef(path));
    PyTuple_SET_ITEM(item.get(), 1, Py_NewRef(value));
    // The class is held for the life of the process, so a pair of atomic
    // parts is no more part of a cycle than a plain tuple of them would be.
    if (is_atomic(path) && is_atomic(value)) PyObject_GC_UnTrack(item.get());
    return item;
}

Ref make_dict_item(PyObject* path, PyObject* value, Env& env) noexcept {
    if (VO_LIKELY(state.names.holds() && dict_item_holds())) return new_dict_item(path, value);
    Ref cls = vo::global(state.s_dict_item);
    if (!cls) return nullptr;
    PyObject* args[] = {path, value};
    Ref item = Ref::steal(PyObject_Vectorcall(cls.get(), args, 2, nullptr));
    env.user_code();
    return item;
}

void raise_not_a_pair() noexcept {
    PyObject* context = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ValueError, "Trellan only accepts a tuple of path/obj");
    PyObject* exc = PyErr_GetRaisedException();
    if (context) PyException_SetContext(exc, context);
    PyErr_SetRaisedException(exc);
}

bool unpack(PyObject* item, Ref& first, Ref& second) noexcept {
    // A tuple of two (a DictItem included) whose iteration is tuple's own.
    if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2 && Py_TYPE(item)->tp_iter == PyTuple_Type.tp_iter) {
        first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    return vo::unpack_pair(item, first, second);
}

namespace {

// --- IndexMarker -----------------------------------------------------------------------

// `self`, `obj` and `index` are held by the caller.  Storing an attribute
// can run code (a subclass's `__setattr__`, a descriptor, a key of a
// namespace comparing itself), which may give `obj` another class and free
// the old one: the type is held from the start.
[[gnu::always_inline]] inline bool index_marker_set(PyObject* self, PyObject* obj, PyObject* index) noexcept {
    // The names are interned already: the generic hook can be called directly.
    setattrofunc set =
        Py_TYPE(self)->tp_setattro == PyObject_GenericSetAttr ? PyObject_GenericSetAttr : PyObject_SetAttr;
    PyTypeObject* type = Py_TYPE(obj);
    Ref hold = PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ? Ref::borrow(type) : Ref();  // a static type stays
    if (set(self, state.s_type_, reinterpret_cast<PyObject*>(type)) < 0) return false;
    Ref number = PyLong_CheckExact(index) ? Ref::borrow(index) : Ref::steal(PyNumber_Long(index));
    if (!number) return false;
    return set(self, state.s_index, number.get()) == 0;
}

vo::Signature<2> sig_marker_init("IndexMarker.__init__", "self", {{"obj"}, {"index"}});

int index_marker_init(PyObject* self, PyObject* args, PyObject* kwds) {
    VO_METHOD("IndexMarker.__init__");
    // Held: the call's keyword dict may be shared and cleared while
    // `index.__int__` runs.
    Ref parsed[2];
    if (!sig_marker_init.parse(args, kwds, parsed)) return VO_FAIL_INT();
    if (!index_marker_set(self, parsed[0].get(), parsed[1].get())) return VO_FAIL_INT();
    return 0;
}

PyObject* index_marker_init_method(PyObject* self, PyObject* args, PyObject* kwds) {
    if (index_marker_init(self, args, kwds) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* index_marker_repr(PyObject* self) {
    VO_METHOD("IndexMarker.__repr__");
    // "{type_}[{index}]".format(type_=self.type_.__name__, index=self.index)
    Ref type = Ref::steal(PyObject_GetAttr(self, state.s_type_));
    if (!type) return VO_FAIL();
    Ref name = Ref::steal(PyObject_GetAttr(type.get(), state.s_name));
    if (!name) return VO_FAIL();
    Ref index = Ref::steal(PyObject_GetAttr(self, state.s_index));
    if (!index) return VO_FAIL();
    Ref name_text = Ref::steal(PyObject_Format(name.get(), nullptr));
    if (!name_text) return VO_FAIL();
    Ref index_text = Ref::steal(PyObject_Format(index.get(), nullptr));
    if (!index_text) return VO_FAIL();
    PyObject* text = PyUnicode_FromFormat("%U[%U]", name_text.get(), index_text.get());
    if (!text) return VO_FAIL();
    return text;
}

const char* const index_marker_init_doc = sig_marker_init.doc(
    "Tracks the index position of elements in list/tuple\n"
    "\n"
    "Args:\n"
    "    obj: the object to store for (only its type is kept)\n"
    "    index: the index value");

PyMethodDef index_marker_methods[] = {{"__init__", VO_CFUNC(index_marker_init_method),
                                       METH_VARARGS | METH_KEYWORDS | METH_COEXIST, index_marker_init_doc},
                                      {nullptr, nullptr, 0, nullptr}};

PyGetSetDef instance_dict_getset[] = {{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                                      {nullptr, nullptr, nullptr, nullptr, nullptr}};

using MarkerLifecycle = vo::lifecycle::Object<vo::lifecycle::NoFields>;

PyType_Slot index_marker_slots[] = {
    vo::slot(Py_tp_init, index_marker_init),       vo::slot(Py_tp_repr, index_marker_repr),
    vo::slot(Py_tp_methods, index_marker_methods), vo::slot(Py_tp_getset, instance_dict_getset),
    VO_LIFECYCLE_SLOTS(MarkerLifecycle),           {0, nullptr}};

PyType_Spec index_marker_spec = {
    .name = "vestri.ondrel.trellan.IndexMarker",
    .basicsize = 0,
    .itemsize = 0,
    .flags = vo::kInstanceFlags,
    .slots = index_marker_slots,
};

}  // namespace

// The class checks (trellan.hpp): what the fast paths assume of each class.
bool verify_dict_item(PyTypeObject* type) noexcept {
    return Py_IS_TYPE(type, &PyType_Type) && type->tp_alloc == PyType_GenericAlloc &&
           vo::compat::type_lookup(type, state.s_new) == state.dict_item_new.get() &&
           vo::compat::type_lookup(type, state.s_init) == state.object_init.get();
}

bool verify_trellan(PyTypeObject* type) noexcept {
    return Py_IS_TYPE(type, &PyType_Type) && vo::compat::type_lookup(type, state.s_flatten) == state.flatten.get();
}

bool verify_index_marker(PyTypeObject* type) noexcept {
    return Py_IS_TYPE(type, &PyType_Type) && type->tp_getattro == PyObject_GenericGetAttr &&
           !vo::compat::type_lookup(type, state.s_type_) && !vo::compat::type_lookup(type, state.s_index);
}

Ref make_index_marker(PyObject* seq, Py_ssize_t index, Env& env) noexcept {
    Ref number = Ref::steal(PyLong_FromSsize_t(index));
    if (!number) return nullptr;
    if (VO_LIKELY(state.names.holds())) {
        PyTypeObject* type = state.index_marker_type();
        // Calling the class would run exactly these two slots.  object's
        // tp_new also lays out the instance's inline attribute values, which
        // spares every marker a dict of its own.
        if (type->tp_init == index_marker_init && type->tp_new == PyBaseObject_Type.tp_new &&
            Py_IS_TYPE(type, &PyType_Type)) {
            Ref marker = Ref::steal(type->tp_new(type, state.empty_tuple.get(), nullptr));
            if (!marker) return nullptr;
            // What the two stores below would do, while the class stores
            // attributes the generic way.
            if (state.marker_values.store(marker.get(), reinterpret_cast<PyObject*>(Py_TYPE(seq)), number.get()))
                return marker;
            if (!index_marker_set(marker.get(), seq, number.get())) return nullptr;
            return marker;
        }
    }
    Ref cls = vo::global(state.s_index_marker);
    if (!cls) return nullptr;
    PyObject* args[] = {seq, number.get()};
    Ref marker = Ref::steal(PyObject_Vectorcall(cls.get(), args, 2, nullptr));
    env.user_code();
    return marker;
}

namespace {

// --- Trellan ---------------------------------------------------------------------------

// The two values of a checked pair.
struct Pair {
    Ref path, value;
};

// Every element of `items`, taken once into `elements`, unpacks into a pair,
// whose two values go to `pairs` (when given).  False with the ValueError set.
//
// Unpacking an element runs its `__iter__`/`__next__`, which can reach any
// list holding it through the collector (`gc.get_referrers`) and clear it:
// the elements are kept in C++ storage, never in a list of ours.
bool check_pairs(PyObject* items, std::vector<Ref>& elements, std::vector<Pair>* pairs) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(items));
    if (!it) {
        raise_not_a_pair();
        return false;
    }
    // As list() takes them: one after the other, before any is unpacked.
    while (Ref element = Ref::steal(PyIter_Next(it.get())))
        if (!vo::push(elements, std::move(element))) return false;
    if (PyErr_Occurred()) {
        raise_not_a_pair();
        return false;
    }
    if (pairs && !vo::reserve(*pairs, elements.size())) return false;
    for (const Ref& element : elements) {
        Ref first, second;
        if (!unpack(element.get(), first, second)) {
            raise_not_a_pair();
            return false;
        }
        if (pairs) pairs->push_back({std::move(first), std::move(second)});  // within the room reserved
    }
    return true;
}

// A new list of `items`, filled before anything can see it.
Ref list_of(const std::vector<Ref>& items) noexcept {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i].get()));
    return list;
}

int list_init(PyObject* self, PyObject* arg) noexcept {
    Ref args = Ref::steal(PyTuple_Pack(1, arg));
    if (!args) return -1;
    return PyList_Type.tp_init(self, args.get(), nullptr);
}

int trellan_init_impl(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    if (!vo::reject_keyword_dict("Trellan.__init__", kwds)) return -1;
    if (PyTuple_GET_SIZE(args) != 1) return PyList_Type.tp_init(self, args, nullptr);
    Ref hold = Ref::borrow(PyTuple_GET_ITEM(args, 0));
    PyObject* arg = hold.get();
    Env env;
    int mapping = is_mutable_mapping(arg, env);
    if (mapping < 0) return -1;
    if (mapping) {
        if (state.names.holds() && flatten_is_ours()) {
            // list's initialiser empties the list first.
            if (PyList_SetSlice(self, 0, PY_SSIZE_T_MAX, nullptr) < 0) return -1;
            return flatten_into(self, arg) ? 0 : -1;
        }
        Ref cls = vo::global(state.s_trellan);
        if (!cls) return -1;
        Ref flatten = Ref::steal(PyObject_GetAttr(cls.get(), state.s_flatten));
        if (!flatten) return -1;
        Ref pairs = Ref::steal(PyObject_CallOneArg(flatten.get(), arg));
        if (!pairs) return -1;
        return list_init(self, pairs.get());
    }
    // Taken once, so that the check and the list see the same elements.
    std::vector<Ref> elements;
    if (!check_pairs(arg, elements, nullptr)) return -1;
    Ref items = list_of(elements);
    if (!items) return -1;
    return list_init(self, items.get());
}

int trellan_init(PyObject* self, PyObject* args, PyObject* kwds) {
    VO_METHOD("Trellan.__init__");
    if (trellan_init_impl(self, args, kwds) < 0) return VO_FAIL_INT();
    return 0;
}

PyObject* trellan_init_method(PyObject* self, PyObject* args, PyObject* kwds) {
    if (trellan_init(self, args, kwds) < 0) return nullptr;
    Py_RETURN_NONE;
}

vo::Signature<2> sig_flatten("Trellan.__flatten__", nullptr, {{"indict"}, {"path", false, true}});

PyObject* trellan_flatten(PyObject*, PyObject* indict, PyObject* path) noexcept {
    VO_METHOD("Trellan.__flatten__");
    PyObject* gen = new_flattener(indict, path ? path : Py_None);
    if (!gen) return VO_FAIL();
    return gen;
}

// `item` unpacked into its two values, or false with the error an item
// that is not a pair raises.
bool take_pair(PyObject* item, Ref& path, Ref& obj) noexcept {
    if (unpack(item, path, obj)) return true;
    raise_not_a_pair();
    return false;
}

vo::Signature<2> sig_setitem("Trellan.__setitem__", "self", {{"index"}, {"item"}});

PyObject* trellan_setitem(PyObject* self, PyObject* index, PyObject* item) noexcept {
    VO_METHOD("Trellan.__setitem__");
    Ref path, obj;
    if (!take_pair(item, path, obj)) return VO_FAIL();
    // A plain tuple of the two values the check took, so that an item that
    // can be iterated only once is stored whole.
    Ref pair = Ref::steal(PyTuple_Pack(2, path.get(), obj.get()));
    if (!pair) return VO_FAIL();
    if (PyList_Type.tp_as_mapping->mp_ass_subscript(self, index, pair.get()) < 0) return VO_FAIL();
    Py_RETURN_NONE;
}

vo::Signature<1> sig_append("Trellan.append", "self", {{"item"}});

PyObject* trellan_append(PyObject* self, PyObject* item) noexcept {
    VO_METHOD("Trellan.append");
    Ref path, obj;
    if (!take_pair(item, path, obj)) return VO_FAIL();
    Env env;
    Ref pair = make_dict_item(path.get(), obj.get(), env);
    if (!pair || PyList_Append(self, pair.get()) < 0) return VO_FAIL();
    Py_RETURN_NONE;
}

vo::Signature<2> sig_insert("Trellan.insert", "self", {{"index"}, {"item"}});

PyObject* trellan_insert(PyObject* self, PyObject* index, PyObject* item) noexcept {
    VO_METHOD("Trellan.insert");
    Ref path, obj;
    if (!take_pair(item, path, obj)) return VO_FAIL();
    Env env;
    Ref pair = make_dict_item(path.get(), obj.get(), env);
    if (!pair) return VO_FAIL();
    // list.insert itself, for its index conversion and errors.
    PyObject* args[] = {self, index, pair.get()};
    Ref done = Ref::steal(PyObject_Vectorcall(state.list_insert.get(), args, 3, nullptr));
    if (!done) return VO_FAIL();
    Py_RETURN_NONE;
}

vo::Signature<1> sig_extend("Trellan.extend", "self", {{"items"}});

PyObject* trellan_extend(PyObject* self, PyObject* items) noexcept {
    VO_METHOD("Trellan.extend");
    // Every element is checked before anything is added.  A rebound
    // `DictItem` runs user code per pair: the pairs stay in C++ storage
    // until the list that extends `self` is made.
    std::vector<Ref> elements;
    std::vector<Pair> pairs;
    if (!check_pairs(items, elements, &pairs)) return VO_FAIL();
    elements.clear();
    Env env;
    for (size_t i = 0; i < pairs.size(); ++i) {
        Ref item = make_dict_item(pairs[i].path.get(), pairs[i].value.get(), env);
        if (!item) return VO_FAIL();
        elements.push_back(std::move(item));  // within the capacity reserved before
    }
    Ref list = list_of(elements);
    if (!list || PyList_SetSlice(self, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, list.get()) < 0) return VO_FAIL();
    Py_RETURN_NONE;
}

vo::Signature<0> sig_reconstruct("Trellan.reconstruct", "self");

PyObject* trellan_reconstruct(PyObject* self) noexcept { return reconstruct(self); }

constexpr char trellan_doc[] =
    "Trellan class (list)\n"
    "\n"
    "Holds a nested dictionary as a flat list of path/value pairs: every leaf\n"
    "of the nesting is one pair whose path is the tuple of keys leading to it,\n"
    "so that\n"
    "\n"
    "    \"dictionary['a']['b']['c'] = object()\"\n"
    "\n"
    "is now equivalent to\n"
    "\n"
    "    \"(('a', 'b', 'c',), object())\"\n"
    "\n"
    "Example:\n"
    "    >>> Trellan({'a': {'b': {'c': 1}}, 'd': 2})\n"
    "    [DictItem(path=('a', 'b', 'c'), value=1), DictItem(path=('d',), value=2)]\n"
    "\n"
    "Positions inside lists and tuples on the way to a leaf are recorded as\n"
    "IndexMarker objects (printed as list[0], tuple[1], ...).\n"
    "\n"
    "Format:\n"
    "    [(path, value), (path, value) ...]\n"
    "\n"
    "reconstruct() rebuilds the nested dictionary, always as a new object:\n"
    "    assert Trellan({}).reconstruct() == {}\n"
    "    assert Trellan({}).reconstruct() is not {}";

constexpr char trellan_init_doc[] =
    "__init__($self, /, *args)\n--\n\n"
    "built-in __init__\n"
    "\n"
    "Any arguments accepted by list() are accepted, each element being a\n"
    "path/value pair; if the input is a dictionary it is flattened and stored\n"
    "as a list structure.";

const char* const flatten_doc = sig_flatten.doc(
    "Recursively flattens a nested dictionary to its path/value form.\n"
    "\n"
    "Args:\n"
    "    indict: input dictionary\n"
    "    path: the current dictionary path (a tuple)\n"
    "\n"
    "Returns:\n"
    "    a generator of the flattened form");

// The parameters only: the method has no docstring (`__doc__` is None).
const char* const setitem_doc = sig_setitem.doc();
const char* const append_doc = sig_append.doc("Appends a new path/value to this list.");
const char* const insert_doc = sig_insert.doc("Inserts a new path/value to this list.");
const char* const extend_doc = sig_extend.doc("Extends the object with many new path/values.");
const char* const reconstruct_doc = sig_reconstruct.doc(
    "Takes the internally stored list form and rebuilds the dictionary it\n"
    "represents.\n"
    "\n"
    "Returns:\n"
    "    the nested dictionary, always as a new dictionary object");

PyMethodDef trellan_own_methods[] = {
    // METH_COEXIST keeps the C slot for tp_init beside the documented method.
    {"__init__", VO_CFUNC(trellan_init_method), METH_VARARGS | METH_KEYWORDS | METH_COEXIST, trellan_init_doc},
    {nullptr, nullptr, 0, nullptr}};

// Installed after the class is made, in the order of the class body: setting
// `__setitem__` on the class also points list's item-assignment slots at it.
PyMethodDef trellan_methods[] = {
    {"__flatten__", VO_CFUNC((vo::method<sig_flatten, trellan_flatten>)), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     flatten_doc},
    {"__setitem__", VO_CFUNC((vo::method<sig_setitem, trellan_setitem>)), METH_FASTCALL | METH_KEYWORDS, setitem_doc},
    {"append", VO_CFUNC((vo::method<sig_append, trellan_append>)), METH_FASTCALL | METH_KEYWORDS, append_doc},
    {"extend", VO_CFUNC((vo::method<sig_extend, trellan_extend>)), METH_FASTCALL | METH_KEYWORDS, extend_doc},
    {"insert", VO_CFUNC((vo::method<sig_insert, trellan_insert>)), METH_FASTCALL | METH_KEYWORDS, insert_doc},
    {"reconstruct", VO_CFUNC((vo::method<sig_reconstruct, trellan_reconstruct>)), METH_FASTCALL | METH_KEYWORDS,
     reconstruct_doc},
    {nullptr, nullptr, 0, nullptr}};

using TrellanLifecycle = vo::lifecycle::Over<&PyList_Type>;

PyType_Slot trellan_slots[] = {vo::slot(Py_tp_doc, trellan_doc),
                               vo::slot(Py_tp_init, trellan_init),
                               vo::slot(Py_tp_methods, trellan_own_methods),
                               vo::slot(Py_tp_getset, instance_dict_getset),
                               VO_LIFECYCLE_SLOTS(TrellanLifecycle),
                               {0, nullptr}};

PyType_Spec trellan_spec = {
    .name = "vestri.ondrel.trellan.Trellan",
    .basicsize = 0,
    .itemsize = 0,
    .flags = vo::kInstanceFlags,
    .slots = trellan_slots,
};

// --- module body -----------------------------------------------------------------------

Ref lookup_in(PyTypeObject* type, const char* name) noexcept {
    Ref ns = Ref::steal(PyType_GetDict(type));
    if (!ns) return nullptr;
    Ref value = Ref::borrow(PyDict_GetItemString(ns.get(), name));
    if (!value) PyErr_Format(PyExc_AttributeError, "type object '%s' has no attribute '%s'", type->tp_name, name);
    return value;
}

Ref make_dict_item_class() noexcept {
    // DictItem = namedtuple('DictItem', ('path', 'value')), named as
    // defined in this module.
    Ref namedtuple = vo::global(vo::intern("namedtuple"));
    Ref name = Ref::steal(PyUnicode_FromString("DictItem"));
    Ref fields = Ref::steal(Py_BuildValue("(ss)", "path", "value"));
    Ref module_name = Ref::steal(PyUnicode_FromString(VO_MODULE_NAME));
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "module"));
    if (!namedtuple || !name || !fields || !module_name || !kwnames) return nullptr;
    PyObject* args[] = {name.get(), fields.get(), module_name.get()};
    return Ref::steal(PyObject_Vectorcall(namedtuple.get(), args, 2, kwnames.get()));
}

bool module_body(PyObject* module) {
    if (!vo::intern_all({{&state.s_type_, "type_"},
                         {&state.s_index, "index"},
                         {&state.s_items, "items"},
                         {&state.s_get, "get"},
                         {&state.s_flatten, "__flatten__"},
                         {&state.s_name, "__name__"},
                         {&state.s_new, "__new__"},
                         {&state.s_init, "__init__"},
                         {&state.s_mutable_mapping, "MutableMapping"},
                         {&state.s_dict_item, "DictItem"},
                         {&state.s_index_marker, "IndexMarker"},
                         {&state.s_trellan, "Trellan"}}))
        return false;

    if (!vo::body_import_from(module, "collections", {"namedtuple"}) ||
        !vo::body_import_from(module, "collections.abc", {"MutableMapping"}))
        return false;
    if (!state.mutable_mapping.set(vo::global(state.s_mutable_mapping)) ||
        !state.mutable_mapping_check.init(vo::module_globals(), state.s_mutable_mapping))
        return false;

    if (!state.dict_item.set(make_dict_item_class()) ||
        !vo::body_bind(module, "DictItem", Ref::borrow(state.dict_item.get())))
        return false;

    // Everything that may run Python code (the stand-ins the module imports
    // may be anyone's) is done before IndexMarker and Trellan exist: code
    // that reached them (through the collector) before the names below are
    // watched would find the module half set up.

    // What the fast paths compare against.
    if (!state.dict_item_new.set(vo::compat::type_lookup_ref(state.dict_item_type(), state.s_new)) ||
        !state.object_init.set(lookup_in(&PyBaseObject_Type, "__init__")) ||
        !state.list_insert.set(lookup_in(&PyList_Type, "insert")) ||
        !state.dict_items.set(lookup_in(&PyDict_Type, "items")) ||
        !state.full_slice.set(Ref::steal(PySlice_New(nullptr, nullptr, nullptr))) ||
        !state.minus_one.set(Ref::steal(PyLong_FromLong(-1))) || !state.empty_tuple.set(Ref::steal(PyTuple_New(0))))
        return false;

    // The flattener counts as a generator for isinstance().
    if (!state.flattener_type.set(make_flattener_type(module))) return false;
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    Ref generator = abc ? Ref::steal(PyObject_GetAttrString(abc.get(), "Generator")) : Ref();
    if (!generator) return false;
    Ref registered = Ref::steal(PyObject_CallMethod(generator.get(), "register", "O", state.flattener_type.get()));
    if (!registered) return false;

    if (!state.index_marker.set(vo::type_from_spec(module, &index_marker_spec, nullptr)) ||
        !vo::body_bind(module, "IndexMarker", Ref::borrow(state.index_marker.get())))
        return false;

    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyList_Type)));
    if (!bases) return false;
    if (!state.trellan.set(vo::type_from_spec(module, &trellan_spec, bases.get())) ||
        !vo::install_methods(module, state.trellan.get(), trellan_methods) ||
        !state.flatten.set(vo::own_attribute(state.trellan.get(), "__flatten__")) ||
        !vo::body_bind(module, "Trellan", Ref::borrow(state.trellan.get())) ||
        !state.flatten_target.set(read_flatten()))
        return false;

    PyObject* globals = vo::module_globals();
    if (!state.names.init({{globals, state.s_mutable_mapping, state.mutable_mapping.get()},
                           {globals, state.s_dict_item, state.dict_item.get()},
                           {globals, state.s_index_marker, state.index_marker.get()},
                           {globals, state.s_trellan, state.trellan.get()}}))
        return false;
    state.type_attr = vo::compat::InlineAttr(state.s_type_);
    state.index_attr = vo::compat::InlineAttr(state.s_index);
    state.marker_values.init(state.s_type_, state.s_index);
    return true;
}

}  // namespace
}  // namespace trellan

VO_DEFINE_MODULE(trellan, nullptr, trellan::module_body)
