// vestri.ondrel.sequara: a mutable mapping whose key order can be edited.
//
// A Sequara keeps its values in a dict (`_data`) and its keys, in order, in
// a list (`_order`).  Both are ordinary instance attributes that callers may
// read, edit (`keys()` hands out the list itself) or replace, so every method
// reads them afresh through attribute access, and calls on `self` go through
// the class (`self[key] = value` through its item assignment, `self.items()`
// through attribute lookup), so that subclasses are honoured.
//
// While `_data` is an exact dict and `_order` an exact list, the methods work
// on them through the C API, and two things are done faster than the obvious
// way without changing any result while both hold the same keys:
//  - "is the key known" asks the dict (constant time) instead of scanning
//    the list, and an unhashable key fails there, before the order changed.
//    Only while the two have the same length: a key taken out of `keys()`
//    or added to it is searched for in the list, as written.  An edit of
//    `keys()` that keeps the length (one key written over another) is not
//    seen, and a later write follows the dict;
//  - items() walks the list and pairs each key with its value, instead of
//    sorting the dict's pairs by list position (quadratic).  It does so only
//    when the list holds the dict's own key objects, each once (matched by
//    address, straight from the dict while the two orders agree); anything
//    else (a key missing or twice, an equal stand-in) is sorted as written,
//    so a broken pairing gives exactly the sort's result or error.
// Anything else in those attributes (subclasses, objects of the caller's)
// gets the Python-level operations the methods are defined by: `in`, method
// calls, item access.
//
// A key's `__hash__`/`__eq__` may rebind `_data` or `_order`, or edit them.
// Wherever such code can have run, what comes next reads the attributes again
// and searches again, as the Python statements would; the fast paths skip
// that only when nothing can have run (an exact str looked up in a dict of
// exact str keys, a list search that compared built-in scalars only).
//
// `in`, get(), setdefault(), pop() and popitem() are collections.abc's
// mixins, inherited as they are: each call runs the mixin's Python code over
// the item access.  Only `in` is made faster, in its C slot, where the answer
// runs no code (see sequara_contains).  What a class overrides is looked up
// once per class and version (a vo::TypeCache of Traits).  The same
// knowledge lets copy() build the copy from `_data` and `_order` directly,
// and values() take the dict's values, while the dict's order is the list's
// and every key is a built-in whose hash runs no code.  Deleting an exact
// str searches `_order` from the end (where keys set lately sit) while every
// key of `_data` is an exact str and the two have the same length.
//
// The class is made by abc.ABCMeta over MutableMapping, with the methods
// installed afterwards in class-body order.  The C functions behind the item
// methods, and the one for `in`, then take the item slots of Sequara and of
// every subclass that keeps what feeds them (common/slots.hpp); Sequara's
// own length, iteration, initialisation and repr are pointed at the C
// functions directly, while subclasses keep the interpreter's generic slots,
// which look the methods up, so their overrides are called.
#include "common/args.hpp"
#include "common/callargs.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/dictwalk.hpp"
#include "common/errors.hpp"
#include "common/guard.hpp"
#include "common/kept.hpp"
#include "common/listops.hpp"
#include "common/module.hpp"
#include "common/repr.hpp"
#include "common/slots.hpp"
#include "common/text.hpp"
#include "common/typecache.hpp"

#include <cstdint>
#include <new>
#include <type_traits>
#include <vector>

namespace sequara {
namespace {

using vo::Found;
using vo::Kept;
using vo::Ref;
using vo::lists::list_find;
using vo::lists::list_move;

// What a class does with its instances: whether each operation it reaches is
// still Sequara's own, so that a fast path may stand in for it.
struct Traits {
    bool getitem = false;      // `__getitem__` is Sequara's
    bool contains = false;     // `__contains__` is collections.abc's mixin
    bool setitem = false;      // `__setitem__` ...
    bool delitem = false;      // `__delitem__` ...
    bool iter = false;         // `__iter__` ...
    bool plain_attrs = false;  // `obj._data`, `obj._order` read and write the instance dict, running no code
    bool construct = false;    // `cls(pairs)` is Sequara's construction, down to its item writes
};

// What the module keeps, set while the module body runs and never released:
// static destructors run after the interpreter has finalized, so strong
// references are `vo::Kept`, which never releases.
struct SequaraState {
    // Interned names (borrowed: interned for the process).
    PyObject *data, *order, *update, *items, *getitem, *setitem, *delitem, *iter, *init, *append, *insert, *index, *pop,
        *remove, *sort, *class_, *name, *contains;
    Kept cls;                    // Sequara; the module namespace binds it too, but a caller may delete that name
    Kept mapping;                // collections.abc.Mapping: update() takes its instances as mappings
    Kept zero;                   // 0, for `k[0]`
    Kept empty_tuple;            // ()
    Kept sort_kwnames;           // ("key",)
    Kept catchers[3];            // code of Mapping.get, Mapping.__contains__, MutableMapping.setdefault
    PyObject* catcher_codes[3];  // borrowed from `catchers`, as vo::called_from wants them
    // Our descriptors, which the traits compare against.
    Kept d_getitem, d_setitem, d_delitem, d_iter, d_items, d_init, d_update;
    Kept mixin_contains;                           // Mapping.__contains__, which `in` is for a class that keeps it
    vo::compat::InlineAttr data_attr, order_attr;  // reads and stores of `_data` and `_order`
    vo::TypeCache<Traits> traits;                  // per class and version
    // Sequara's C functions in the item slots of the classes that keep its methods.
    vo::NativeSlot subscript_slot, assign_slot, contains_slot;

    PyTypeObject* type() const noexcept { return reinterpret_cast<PyTypeObject*>(cls.get()); }
};
static_assert(std::is_trivially_destructible_v<SequaraState>);
SequaraState state;

void compute_traits(PyTypeObject* type, Traits& t) noexcept {
    if (!PyType_IsSubtype(type, state.type())) return;
    auto ours = [type](PyObject* name, const Kept& descr) noexcept {
        return vo::compat::type_lookup(type, name) == descr.get();
    };
    t.getitem = ours(state.getitem, state.d_getitem);
    t.contains = ours(state.contains, state.mixin_contains);
    t.setitem = ours(state.setitem, state.d_setitem);
    t.delitem = ours(state.delitem, state.d_delitem);
    t.iter = ours(state.iter, state.d_iter);
    // Nothing on the class (a property, a slot) stands between the names and the instance dict.
    t.plain_attrs = type->tp_getattro == PyObject_GenericGetAttr && type->tp_setattro == PyObject_GenericSetAttr &&
                    !vo::compat::type_lookup(type, state.data) && !vo::compat::type_lookup(type, state.order);
    t.construct = t.setitem && t.plain_attrs && ours(state.init, state.d_init) && ours(state.update, state.d_update) &&
                  type->tp_new == PyBaseObject_Type.tp_new && Py_TYPE(type)->tp_call == PyType_Type.tp_call;
    if (PyErr_Occurred()) PyErr_Clear();  // a failed check just means "not ours"
}

Traits traits_of(PyObject* obj) noexcept { return state.traits.get(Py_TYPE(obj), compute_traits); }

Ref attr(PyObject* obj, PyObject* name) noexcept { return Ref::steal(PyObject_GetAttr(obj, name)); }

// --- item access ------------------------------------------------------------------

// self._data.__getitem__(name)
PyObject* getitem_impl(PyObject* self, PyObject* name) noexcept {
    Ref data = state.data_attr.get(self);
    if (!data) return nullptr;
    if (VO_LIKELY(PyDict_CheckExact(data.get()))) {
        Ref value;
        int rc = vo::compat::dict_get_ref(data.get(), name, value);
        if (rc > 0) return value.release();
        if (rc == 0) vo::raise_key_error(name);
        return nullptr;
    }
    return PyObject_CallMethodOneArg(data.get(), state.getitem, name);
}

// Whether "is the key in `_order`" may be asked of `_data` instead: an exact
// dict and an exact list of the same length.  `keys()` hands the list out,
// and a caller who removes a key from it, or appends one, leaves the two
// apart; then the list is searched, as the definition does, so that setting
// the key puts it back in the order (or leaves the stranger alone).  An edit
// that keeps the length (a key replaced by another) is not seen here.
inline bool dict_stands_for_list(PyObject* data, PyObject* order) noexcept {
    return PyDict_CheckExact(data) && PyDict_GET_SIZE(data) == PyList_GET_SIZE(order);
}

// What follows `if name not in self._order` once the test said `known`:
// self._order.append(name) if it was not, then self._data.__setitem__(name, value),
// each attribute read afresh, as Python reads it after the test (which may
// have run code that rebound them).
int store_after_test(PyObject* self, PyObject* name, PyObject* value, bool known) noexcept {
    if (!known) {
        Ref order = state.order_attr.get(self);
        if (!order) return -1;
        if (PyList_CheckExact(order.get())) {
            if (PyList_Append(order.get(), name) < 0) return -1;
        } else {
            Ref appended = Ref::steal(PyObject_CallMethodOneArg(order.get(), state.append, name));
            if (!appended) return -1;
        }
    }
    Ref data = state.data_attr.get(self);
    if (!data) return -1;
    if (PyDict_CheckExact(data.get())) return PyDict_SetItem(data.get(), name, value);
    Ref stored = Ref::steal(PyObject_CallMethodObjArgs(data.get(), state.setitem, name, value, nullptr));
    return stored ? 0 : -1;
}

// if name not in self._order: self._order.append(name)
// self._data.__setitem__(name, value)
// Re-entrancy: the membership test may run a key's __hash__/__eq__, which may
// rebind `_order` and `_data`; unless the lookup is known to run no code,
// the writes go to the attributes as they are after it.
int setitem_impl(PyObject* self, PyObject* name, PyObject* value) noexcept {
    Ref order = state.order_attr.get(self);
    if (!order) return -1;
    if (VO_LIKELY(PyList_CheckExact(order.get()))) {
        Ref data = state.data_attr.get(self);
        if (!data) return -1;
        if (VO_LIKELY(dict_stands_for_list(data.get(), order.get()))) {
            bool quiet = vo::compat::str_lookup_runs_no_code(data.get(), name);
            int known = PyDict_Contains(data.get(), name);
            if (known < 0) return -1;
            if (!quiet) return store_after_test(self, name, value, known);
            // Nothing ran since the attributes were read.
            if (!known && PyList_Append(order.get(), name) < 0) return -1;
            return PyDict_SetItem(data.get(), name, value);
        }
    }
    int known = PySequence_Contains(order.get(), name);
    if (known < 0) return -1;
    return store_after_test(self, name, value, known);
}

// Where `self._order.remove(name)` finds the str `name`, searched from the
// end, where a key set lately sits: the same element as the search from the
// front when only one element can equal it.  The caller makes sure of that:
// every key of `_data` is an exact str (the dict keeps this fact in its key
// table) and `_order` holds as many keys, that is, the two hold the same
// keys, each once.  (An edit of `keys()` that keeps the length, one key
// written over another, is not seen: writes follow the same rule.)  False
// when unsure (an element that is no str, or none equal), and then the list
// is searched from the front.  Compares in place and runs no code.
bool find_str_from_back(PyObject* list, PyObject* name, Py_ssize_t& at) noexcept {
    vo::lists::StrKey key(name);
    return vo::lists::list_find_if(
               list, at, vo::lists::From::Back, [&key](PyObject* element) noexcept { return key.equals(element); },
               // Ends the search (no exception is set): the element may be anything.
               [](PyObject*) noexcept { return Found::Error; }) == Found::Yes;
}

// del self._data[name]
// self._order.remove(name)
int delitem_impl(PyObject* self, PyObject* name) noexcept {
    Ref data = state.data_attr.get(self);
    if (!data) return -1;
    bool str_keys = PyDict_CheckExact(data.get()) && vo::compat::str_lookup_runs_no_code(data.get(), name) &&
                    traits_of(self).plain_attrs;
    if (PyObject_DelItem(data.get(), name) < 0) return -1;
    // The value let go may have had a finalizer that rebinds or edits anything.
    Ref order = state.order_attr.get(self);
    if (!order) return -1;
    if (PyList_CheckExact(order.get())) {
        Py_ssize_t at = 0;
        if (str_keys) {
            // Read again only to compare (reading runs no code): a failure is no error here.
            Ref now = state.data_attr.get(self);
            if (!now) PyErr_Clear();
            if (now.get() == data.get() && vo::compat::dict_keys_exact_str(data.get()) &&
                PyList_GET_SIZE(order.get()) == PyDict_GET_SIZE(data.get()) + 1 &&
                find_str_from_back(order.get(), name, at))
                return PyList_SetSlice(order.get(), at, at + 1, nullptr);
        }
        // As list.remove, whatever the comparisons ran: the element now at that index goes, if any.
        bool ran_code = false;
        switch (list_find(order.get(), name, at, ran_code)) {
            case Found::Error:
                return -1;
            case Found::No:
                PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
                return -1;
            case Found::Yes:
                return PyList_SetSlice(order.get(), at, at + 1, nullptr);
        }
    }
    Ref removed = Ref::steal(PyObject_CallMethodOneArg(order.get(), state.remove, name));
    return removed ? 0 : -1;
}

// Sequara's own slots, and the bodies of the methods.

PyObject* sequara_subscript(PyObject* self, PyObject* name) {
    VO_METHOD("Sequara.__getitem__");
    PyObject* value = getitem_impl(self, name);
    if (VO_LIKELY(value != nullptr)) return value;
    // get(), `in` and setdefault() catch the KeyError whatever happens.
    if (PyErr_ExceptionMatches(PyExc_KeyError) && vo::called_from(state.catcher_codes, 3)) return nullptr;
    return VO_FAIL();
}

int sequara_ass_subscript(PyObject* self, PyObject* name, PyObject* value) {
    if (!value) {
        VO_METHOD("Sequara.__delitem__");
        if (delitem_impl(self, name) < 0) return VO_FAIL_INT();
        return 0;
    }
    VO_METHOD("Sequara.__setitem__");
    if (setitem_impl(self, name, value) < 0) return VO_FAIL_INT();
    return 0;
}

Py_ssize_t sequara_length(PyObject* self) {
    VO_METHOD("Sequara.__len__");
    Ref order = state.order_attr.get(self);
    if (!order) return VO_FAIL_INT();
    Py_ssize_t n = PyObject_Size(order.get());
    if (n < 0) return VO_FAIL_INT();
    return n;
}

PyObject* sequara_iter(PyObject* self) {
    VO_METHOD("Sequara.__iter__");
    Ref order = state.order_attr.get(self);
    if (!order) return VO_FAIL();
    PyObject* it = PyObject_GetIter(order.get());
    if (!it) return VO_FAIL();
    return it;
}

// --- `in` ----------------------------------------------------------------------------

// `key in self` is collections.abc's mixin over the item access:
//     try: self[key]  except KeyError: return False  else: return True
// Sequara keeps the mixin as its `__contains__`, and the interpreter's slot
// for it looks the method up and runs it, raising and catching a KeyError
// for every missing key.  The C function below takes that slot (in Sequara,
// and in each subclass that keeps the mixin and Sequara's item read,
// common/slots.hpp) and answers directly where the answer runs no code and
// cannot fail: `_data` an exact dict in the instance dict, the key an exact
// str and every key of the dict one too.  Anything else goes to the
// interpreter's own slot function, so that what runs (and any traceback) is
// the mixin's.
int sequara_contains(PyObject* self, PyObject* key) {
    auto generic = reinterpret_cast<objobjproc>(state.contains_slot.generic());
    Traits traits = traits_of(self);
    if (VO_LIKELY(traits.contains && traits.getitem && traits.plain_attrs && PyUnicode_CheckExact(key))) {
        // With plain attributes the read runs no code; a missing `_data` is the mixin's to report.
        Ref data = state.data_attr.get(self);
        if (data && PyDict_CheckExact(data.get()) && vo::compat::str_lookup_runs_no_code(data.get(), key))
            return PyDict_Contains(data.get(), key);
        if (!data) PyErr_Clear();
    }
    return generic(self, key);
}

// --- update -----------------------------------------------------------------------

// Every store goes through `self[key] = value`: the class's own item
// assignment, which for Sequara itself is the C slot above.
// Re-entrancy: hashes, comparisons and subclass methods run for every item
// and may change the mapping or the source; the walk goes on over the source
// as its own iterator would.  The source, the key and the value are held.

// A mapping: its keys in iteration order, each with `source[key]`.
int update_from_mapping(PyObject* self, PyObject* source) noexcept {
    if (PyDict_CheckExact(source)) {
        vo::DictWalk walk(source);
        Ref key, value;
        vo::Step step;
        while ((step = walk.next(key, value)) == vo::Step::Item)
            if (PyObject_SetItem(self, key.get(), value.get()) < 0) return -1;
        return step == vo::Step::End ? 0 : -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(source));
    if (!it) return -1;
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
        Ref value = Ref::steal(PyObject_GetItem(source, key.get()));
        if (!value || PyObject_SetItem(self, key.get(), value.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Anything else: an iterable of two-item elements.
int update_from_pairs(PyObject* self, PyObject* source) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(source));
    if (!it) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return PyErr_Occurred() ? -1 : 0;
        Py_ssize_t length = PyObject_Size(item.get());
        if (length < 0) return -1;
        if (length != 2) {
            PyErr_Format(PyExc_ValueError, "update sequence element #%zd has length %zd; 2 is required", i, length);
            return -1;
        }
        Ref key, value;
        if (!vo::unpack_pair(item.get(), key, value)) return -1;
        if (PyObject_SetItem(self, key.get(), value.get()) < 0) return -1;
    }
}

int update_impl(PyObject* self, PyObject* source, PyObject* const* kwvalues, PyObject* kwnames) noexcept {
    if (source) {
        Ref hold = Ref::borrow(source);
        int is_mapping = PyDict_CheckExact(source) ? 1 : PyObject_IsInstance(source, state.mapping.get());
        if (is_mapping < 0) return -1;
        if ((is_mapping ? update_from_mapping(self, source) : update_from_pairs(self, source)) < 0) return -1;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyObject_SetItem(self, PyTuple_GET_ITEM(kwnames, i), kwvalues[i]) < 0) return -1;
    return 0;
}

PyObject* sequara_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("Sequara.update");
    if (!vo::reject_self_keyword("Sequara.update", kwnames)) return VO_FAIL();
    if (!vo::check_at_most(nargs, 1)) return VO_FAIL();
    // Held: the caller's array may be lent from storage that a key's
    // __hash__ or __eq__ can free (the items of a functools.partial's `args`).
    vo::HeldArgs held(args, nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
    if (!held.ok()) return VO_FAIL();
    args = held.get();
    if (update_impl(self, nargs ? args[0] : nullptr, args + nargs, kwnames) < 0) return VO_FAIL();
    Py_RETURN_NONE;
}

// --- construction -----------------------------------------------------------------

// self._data = {}; self._order = []; self.update(*args, **kwargs)
// `argv[0]` is self, then the positional arguments, then the keyword values.
PyObject* init_impl(PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("Sequara.__init__");
    PyObject* self = argv[0];
    if (!vo::reject_self_keyword("Sequara.__init__", kwnames)) return VO_FAIL();
    Ref data = Ref::steal(PyDict_New());
    if (!data || PyObject_SetAttr(self, state.data, data.get()) < 0) return VO_FAIL();
    Ref order = Ref::steal(PyList_New(0));
    if (!order || PyObject_SetAttr(self, state.order, order.get()) < 0) return VO_FAIL();
    // Looked up on the instance, so a subclass's update is the one called.
    Ref result = Ref::steal(PyObject_VectorcallMethod(state.update, argv, static_cast<size_t>(nargs + 1), kwnames));
    if (!result) return VO_FAIL();
    Py_RETURN_NONE;
}

// A subclass's instances are made through its generic slot, which runs this
// method: the class takes the C item slots and `in` here, before its first
// use, where it still resolves the methods feeding them as Sequara does.
PyObject* sequara_init_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyTypeObject* type = Py_TYPE(self);
    state.subscript_slot.adopt(type);
    state.assign_slot.adopt(type);
    state.contains_slot.adopt(type);
    vo::SelfFirst argv(self, args, nargs, kwnames);
    if (!argv.ok()) return nullptr;
    return init_impl(argv.args(), nargs, kwnames);
}

// tp_init of Sequara itself: the same from a tuple and a dict.
int sequara_init(PyObject* self, PyObject* args, PyObject* kwds) {
    vo::SelfFirst argv(self, args, kwds);
    if (!argv.ok()) return -1;
    Ref result = Ref::steal(init_impl(argv.args(), argv.nargs(), argv.kwnames()));
    return result ? 0 : -1;
}

// --- reading the pairs ------------------------------------------------------------

// The key function of items(): `lambda k: self._order.index(k[0])`, bound to self.
PyObject* items_sort_key(PyObject* self, PyObject* pair) {
    VO_METHOD("Sequara.items.<locals>.<lambda>");
    Ref order = state.order_attr.get(self);
    if (!order) return VO_FAIL();
    Ref key = Ref::steal(PyObject_GetItem(pair, state.zero.get()));
    if (!key) return VO_FAIL();
    PyObject* index = PyObject_CallMethodOneArg(order.get(), state.index, key.get());
    if (!index) return VO_FAIL();
    return index;
}

PyMethodDef items_key_def = {"<lambda>", VO_CFUNC(items_sort_key), METH_O, nullptr};

// sorted(self._data.items(), key=lambda k: self._order.index(k[0]))
Ref items_by_sorting(PyObject* self, PyObject* data) noexcept {
    Ref pairs = Ref::steal(PyObject_CallMethodNoArgs(data, state.items));
    if (!pairs) return nullptr;
    Ref result = Ref::steal(PySequence_List(pairs.get()));
    Ref key = Ref::steal(PyCFunction_New(&items_key_def, self));
    if (!result || !key) return nullptr;
    PyObject* argv[] = {result.get(), key.get()};
    Ref sorted = Ref::steal(PyObject_VectorcallMethod(state.sort, argv, 1, state.sort_kwnames.get()));
    if (!sorted) return nullptr;
    return result;
}

enum class Walk { Done, NotPaired, Error };

// One entry of the dict, and whether a position of the list has claimed it.
struct Entry {
    PyObject* key;
    PyObject* value;
    bool claimed = false;
};

// Entries found by the address of their key: open addressing over C++
// arrays, so that building and probing it run no Python code.  May throw
// std::bad_alloc.
class EntriesByAddress {
public:
    explicit EntriesByAddress(std::vector<Entry>& entries) : entries_(entries) {
        while ((size_t{1} << bits_) < 2 * entries.size()) ++bits_;
        slots_.assign(size_t{1} << bits_, 0);
        for (size_t i = 0; i < entries.size(); ++i) {
            size_t at = home(entries[i].key);
            while (slots_[at]) at = next(at);
            slots_[at] = i + 1;
        }
    }

    Entry* find(PyObject* key) noexcept {
        for (size_t at = home(key); slots_[at]; at = next(at))
            if (entries_[slots_[at] - 1].key == key) return &entries_[slots_[at] - 1];
        return nullptr;
    }

private:
    size_t home(PyObject* key) const noexcept {
        return static_cast<size_t>((reinterpret_cast<std::uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }
    size_t next(size_t at) const noexcept { return (at + 1) & ((size_t{1} << bits_) - 1); }

    std::vector<Entry>& entries_;
    std::vector<size_t> slots_;  // an index into entries_, plus one; 0 is free
    int bits_ = 3;
};

// A key and its value, held until they go into their pair.
struct Held {
    Ref key, value;
};

// Pairs each position of the list with the dict's entry whose key is that
// very object.  False when the two are not paired so: a key missing, one
// twice, or an equal object in place of the stored one.
// Runs no Python code: the dict and the list are only read in place.
bool pair_by_identity(PyObject* data, PyObject* order, std::vector<Held>& held) {
    Py_ssize_t n = PyList_GET_SIZE(order);
    // While the dict's own order is the list's, its entries are read in step.
    Py_ssize_t cursor = 0, i = 0;
    PyObject *key, *value;
    for (; i < n; ++i) {
        if (!PyDict_Next(data, &cursor, &key, &value)) return false;
        if (key != PyList_GET_ITEM(order, i)) break;
        held[i] = {Ref::borrow(key), Ref::borrow(value)};
    }
    if (i == n) return true;
    // The rest of the list against the rest of the dict.
    std::vector<Entry> rest;
    rest.reserve(static_cast<size_t>(n - i));
    rest.push_back({key, value});
    while (PyDict_Next(data, &cursor, &key, &value)) rest.push_back({key, value});
    EntriesByAddress entries(rest);
    for (; i < n; ++i) {
        Entry* entry = entries.find(PyList_GET_ITEM(order, i));
        if (!entry || entry->claimed) return false;
        entry->claimed = true;
        held[i] = {Ref::borrow(entry->key), Ref::borrow(entry->value)};
    }
    return true;
}

// The pairs in the order of the list, each key with its value, held in
// `held`, when the list holds the dict's own key objects, each once: then
// sorting the dict's pairs by position gives exactly this.  NotPaired
// otherwise; the caller then sorts as written, which gives the definition's
// result or error.  Runs no code.
Walk pair_in_order(PyObject* data, PyObject* order, std::vector<Held>& held) noexcept {
    Py_ssize_t n = PyList_GET_SIZE(order);
    if (PyDict_GET_SIZE(data) != n) return Walk::NotPaired;
    try {
        held.resize(static_cast<size_t>(n));
        if (!pair_by_identity(data, order, held)) return Walk::NotPaired;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Walk::Error;
    }
    return Walk::Done;
}

enum class Pairs { Held, Sorted, Error };

// What items() does, up to its result: the pairs held in `held` when the
// list pairs with the dict (none for an empty dict, where `_order` is never
// read), or else the list that sorting as written gives, in `sorted`.
// Re-entrancy: the pairing runs no code and holds every key and value; what
// runs afterwards may change the containers but no longer matters.
Pairs items_impl(PyObject* self, std::vector<Held>& held, Ref& sorted) noexcept {
    Ref data = state.data_attr.get(self);
    if (!data) return Pairs::Error;
    if (PyDict_CheckExact(data.get())) {
        // Nothing to sort: the key function, and with it `_order`, is never reached.
        if (PyDict_GET_SIZE(data.get()) == 0) return Pairs::Held;
        Ref order = state.order_attr.get(self);
        if (order && PyList_CheckExact(order.get())) {
            switch (pair_in_order(data.get(), order.get(), held)) {
                case Walk::Done:
                    return Pairs::Held;
                case Walk::Error:
                    return Pairs::Error;
                case Walk::NotPaired:
                    break;
            }
        }
        // A failed read of `_order` is raised again by the key function, where it belongs.
        if (!order) PyErr_Clear();
    }
    sorted = items_by_sorting(self, data.get());
    return sorted ? Pairs::Sorted : Pairs::Error;
}

// A list of (key, value) tuples, taking over the held pairs.  The list stays
// out of the collector's sight while its slots are empty.
Ref tuples_of(std::vector<Held>& held) noexcept {
    Py_ssize_t n = static_cast<Py_ssize_t>(held.size());
    Ref result = Ref::steal(PyList_New(n));
    if (!result) return nullptr;
    PyObject_GC_UnTrack(result.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyTuple_New(2);
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(pair, 0, held[i].key.release());
        PyTuple_SET_ITEM(pair, 1, held[i].value.release());
        PyList_SET_ITEM(result.get(), i, pair);
    }
    PyObject_GC_Track(result.get());
    return result;
}

PyObject* sequara_items(PyObject* self) {
    VO_METHOD("Sequara.items");
    std::vector<Held> held;
    Ref sorted;
    switch (items_impl(self, held, sorted)) {
        case Pairs::Held:
            if (Ref result = tuples_of(held)) return result.release();
            break;
        case Pairs::Sorted:
            return sorted.release();
        case Pairs::Error:
            break;
    }
    return VO_FAIL();
}

// Whether the exact dict `data` is in the order of the exact list `order`:
// the list holds the dict's own key objects in the dict's order, each one
// whose hash and comparisons run no code (an exact str, int, float, bool or
// None), so that reading `data[key]` for each runs none either.  Runs no code.
bool in_list_order(PyObject* data, PyObject* order) noexcept {
    if (PyDict_GET_SIZE(data) != PyList_GET_SIZE(order)) return false;
    bool str_keys = vo::compat::dict_keys_exact_str(data);
    Py_ssize_t cursor = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(data, &cursor, &key, &value))
        if (key != PyList_GET_ITEM(order, i++) || !(str_keys || vo::lists::plain_scalar(key))) return false;
    return true;
}

// `_data` and `_order` read as the class's own item access and iteration
// would read them (nothing on the class stands in between, so the reads run
// no code and can be made again), when they are an exact dict in the order
// of an exact list.
bool read_in_list_order(PyObject* self, Ref& data, Ref& order) noexcept {
    order = state.order_attr.get(self);
    if (order) data = state.data_attr.get(self);
    if (!data) {
        PyErr_Clear();  // raised again by the definition's path, where it belongs
        return false;
    }
    return PyList_CheckExact(order.get()) && PyDict_CheckExact(data.get()) && in_list_order(data.get(), order.get());
}

// [self[k] for k in self]
// While the class's iteration and item access are ours and the dict is in
// the list's order, that is the dict's values.
PyObject* sequara_values(PyObject* self) {
    VO_METHOD("Sequara.values");
    Traits traits = traits_of(self);
    Ref data, order;
    if (traits.iter && traits.getitem && traits.plain_attrs && read_in_list_order(self, data, order)) {
        PyObject* values = PyDict_Values(data.get());
        if (!values) return VO_FAIL();
        return values;
    }
    Ref result = Ref::steal(PyList_New(0));
    Ref it = Ref::steal(PyObject_GetIter(self));
    if (!result || !it) return VO_FAIL();
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
        Ref value = Ref::steal(PyObject_GetItem(self, key.get()));
        if (!value || PyList_Append(result.get(), value.get()) < 0) return VO_FAIL();
    }
    if (PyErr_Occurred()) return VO_FAIL();
    return result.release();
}

PyObject* sequara_keys(PyObject* self) {
    VO_METHOD("Sequara.keys");
    PyObject* order = PyObject_GetAttr(self, state.order);
    if (!order) return VO_FAIL();
    return order;
}

PyObject* sequara_clear(PyObject* self) {
    VO_METHOD("Sequara.clear");
    Ref data = Ref::steal(PyDict_New());
    if (!data || !state.data_attr.set(self, data.get())) return VO_FAIL();
    Ref order = Ref::steal(PyList_New(0));
    if (!order || !state.order_attr.set(self, order.get())) return VO_FAIL();
    Py_RETURN_NONE;
}

// type(self)(self.items()), for a class whose construction is Sequara's and
// whose `items` is ours, while the dict is in the list's order: building the
// new mapping pair by pair would run no code (every key is a built-in whose
// hash runs none) and give a copy of each.  NotPaired otherwise.
Walk copy_directly(PyObject* self, PyTypeObject* type, Ref& out) noexcept {
    Ref data, order;
    if (!read_in_list_order(self, data, order)) return Walk::NotPaired;
    Ref data_copy = Ref::steal(PyDict_Copy(data.get()));
    if (!data_copy) return Walk::Error;
    Ref order_copy = Ref::steal(PyList_GetSlice(order.get(), 0, PyList_GET_SIZE(order.get())));
    if (!order_copy) return Walk::Error;
    Ref copy = Ref::steal(type->tp_new(type, state.empty_tuple.get(), nullptr));
    if (!copy || PyObject_SetAttr(copy.get(), state.data, data_copy.get()) < 0 ||
        PyObject_SetAttr(copy.get(), state.order, order_copy.get()) < 0)
        return Walk::Error;
    out = std::move(copy);
    return Walk::Done;
}

PyObject* sequara_copy(PyObject* self) {
    VO_METHOD("Sequara.copy");
    // The class is taken first, as Python evaluates the callee first, and
    // held: items() may assign `__class__` and free the old class.
    Ref cls = Ref::borrow(Py_TYPE(self));
    Ref items = attr(self, state.items);
    if (!items) return VO_FAIL();
    if (traits_of(self).construct && vo::compat::is_bound_method_of(items.get(), state.d_items.get(), self)) {
        Ref copy;
        switch (copy_directly(self, cls.type_ptr(), copy)) {
            case Walk::Done:
                return copy.release();
            case Walk::Error:
                return VO_FAIL();
            case Walk::NotPaired:
                break;
        }
    }
    Ref pairs = Ref::steal(PyObject_CallNoArgs(items.get()));
    if (!pairs) return VO_FAIL();
    PyObject* result = PyObject_CallOneArg(cls.get(), pairs.get());
    if (!result) return VO_FAIL();
    return result;
}

// --- editing the order ------------------------------------------------------------

// if key in self._order: raise KeyError(...)
// self._data[key] = value
// self._order.insert(position, key)
// The position is checked first, so a bad one changes nothing.
// Re-entrancy: the membership test and the store may run a key's
// __hash__/__eq__, which may rebind `_data` and `_order`; unless the lookup
// is known to run no code, each is read again before it is written.
PyObject* sequara_insert(PyObject* self, PyObject* key, PyObject* value, PyObject* position) {
    VO_METHOD("Sequara.insert");
    Ref index;
    Py_ssize_t where;
    if (!vo::lists::as_position(position, index, where)) return VO_FAIL();
    Ref order = state.order_attr.get(self);
    if (!order) return VO_FAIL();
    Ref data;
    int known;
    bool quiet = false;
    if (PyList_CheckExact(order.get())) {
        data = state.data_attr.get(self);
        if (!data) return VO_FAIL();
        if (dict_stands_for_list(data.get(), order.get())) {
            quiet = vo::compat::str_lookup_runs_no_code(data.get(), key);
            known = PyDict_Contains(data.get(), key);
        } else {
            known = PySequence_Contains(order.get(), key);
        }
    } else {
        known = PySequence_Contains(order.get(), key);
    }
    if (known < 0) return VO_FAIL();
    if (known) {
        // A tuple key is shown whole, not taken as the format's arguments.
        Ref args = Ref::steal(PyTuple_Pack(1, key));
        if (args) vo::raise_percent(PyExc_KeyError, "%s already exist in Report", args.get());
        return VO_FAIL();
    }
    // When the lookup ran no code, storing the new key runs none either.
    if (!quiet && !(data = state.data_attr.get(self))) return VO_FAIL();
    if (PyObject_SetItem(data.get(), key, value) < 0) return VO_FAIL();
    if (!quiet && !(order = state.order_attr.get(self))) return VO_FAIL();
    if (PyList_CheckExact(order.get())) {
        if (PyList_Insert(order.get(), where, key) < 0) return VO_FAIL();
    } else {
        Ref inserted = Ref::steal(PyObject_CallMethodObjArgs(order.get(), state.insert, index.get(), key, nullptr));
        if (!inserted) return VO_FAIL();
    }
    Py_RETURN_NONE;
}

// self._order.insert(position, self._order.pop(self._order.index(key))),
// with `self._order` read each time Python reads it: the bound insert, the
// bound pop, then the list searched (index() may run code that rebinds it).
int move_as_written(PyObject* self, PyObject* key, PyObject* position) noexcept {
    Ref order = state.order_attr.get(self);
    if (!order) return -1;
    Ref insert = attr(order.get(), state.insert);
    if (!insert || !(order = state.order_attr.get(self))) return -1;
    Ref pop = attr(order.get(), state.pop);
    if (!pop || !(order = state.order_attr.get(self))) return -1;
    Ref at = Ref::steal(PyObject_CallMethodOneArg(order.get(), state.index, key));
    if (!at) return -1;
    Ref popped = Ref::steal(PyObject_CallOneArg(pop.get(), at.get()));
    if (!popped) return -1;
    Ref inserted = Ref::steal(PyObject_CallFunctionObjArgs(insert.get(), position, popped.get(), nullptr));
    return inserted ? 0 : -1;
}

// if key not in self._order: raise KeyError(key)
// then move_as_written.
// While the membership scan compares nothing that can run code, the one
// scan also finds the key and the list is rotated in place; a comparison that
// may have run code (and changed the list, or rebound `_order`) sends the
// rest down the written path, which searches again as index() does.
PyObject* sequara_move(PyObject* self, PyObject* key, PyObject* position) {
    VO_METHOD("Sequara.move");
    Ref index;
    Py_ssize_t where;
    if (!vo::lists::as_position(position, index, where)) return VO_FAIL();
    Ref order = state.order_attr.get(self);
    if (!order) return VO_FAIL();
    if (PyList_CheckExact(order.get())) {
        Py_ssize_t at = 0;
        bool ran_code = false;
        switch (list_find(order.get(), key, at, ran_code)) {
            case Found::Error:
                return VO_FAIL();
            case Found::No:
                vo::raise_key_error(key);
                return VO_FAIL();
            case Found::Yes:
                break;
        }
        if (VO_LIKELY(!ran_code)) {
            list_move(order.get(), at, where);
            Py_RETURN_NONE;
        }
    } else {
        int known = PySequence_Contains(order.get(), key);
        if (known < 0) return VO_FAIL();
        if (!known) {
            vo::raise_key_error(key);
            return VO_FAIL();
        }
    }
    if (move_as_written(self, key, index.get()) < 0) return VO_FAIL();
    Py_RETURN_NONE;
}

// --- printing and comparing -------------------------------------------------------

// Writes repr(obj); false with an exception set.
bool append_repr(vo::TextBuilder& text, PyObject* obj) noexcept {
    Ref shown = Ref::steal(PyObject_Repr(obj));
    return shown && text.append(shown.get());
}

// `[(k, v), ...]` as repr() of the list of tuples writes it, from the held
// pairs, without making the tuples or the list.
bool append_pairs(vo::TextBuilder& text, const std::vector<Held>& held) noexcept {
    if (!text.append_ascii("[", 1)) return false;
    for (size_t i = 0; i < held.size(); ++i) {
        if (!(i ? text.append_ascii(", (", 3) : text.append_ascii("(", 1)) || !append_repr(text, held[i].key.get()) ||
            !text.append_ascii(", ", 2) || !append_repr(text, held[i].value.get()) || !text.append_ascii(")", 1))
            return false;
    }
    return text.append_ascii("]", 1);
}

// self.__class__.__name__ + "(" + repr(list(self.items())) + ")"
// A Sequara met again inside itself prints as "...".  When `items` is ours,
// the pairs it would return are printed as they are read.
PyObject* sequara_repr(PyObject* self) {
    VO_METHOD("Sequara.__repr__");
    vo::ReprGuard inside(self);
    switch (inside.entry()) {
        case vo::ReprEntry::AlreadyInside:
            return PyUnicode_FromString("...");
        case vo::ReprEntry::Error:
            return VO_FAIL();
        case vo::ReprEntry::Entered:
            break;
    }
    vo::RecursionGuard guard(" while getting the repr of an object");
    if (!guard.ok()) return VO_FAIL();
    Ref cls = attr(self, state.class_);
    if (!cls) return VO_FAIL();
    Ref name = attr(cls.get(), state.name);
    if (!name) return VO_FAIL();
    vo::TextBuilder text;
    // A name that is no str fails where the concatenation fails, after the pairs were printed.
    bool named = PyUnicode_Check(name.get());
    if (named && (!text.append(name.get()) || !text.append_ascii("(", 1))) return VO_FAIL();
    Ref items = attr(self, state.items);
    if (!items) return VO_FAIL();
    std::vector<Held> held;
    Ref pairs;
    if (vo::compat::is_bound_method_of(items.get(), state.d_items.get(), self)) {
        switch (items_impl(self, held, pairs)) {
            case Pairs::Held:
                if (!append_pairs(text, held)) return VO_FAIL();
                break;
            case Pairs::Sorted:
                break;
            case Pairs::Error:
                VO_TRACE_AS("Sequara.items");
                return VO_FAIL();
        }
    } else {
        Ref result = Ref::steal(PyObject_CallNoArgs(items.get()));
        if (!result) return VO_FAIL();
        pairs = Ref::steal(PySequence_List(result.get()));
        if (!pairs) return VO_FAIL();
    }
    if (pairs && !append_repr(text, pairs.get())) return VO_FAIL();
    if (!named) {
        Ref failed = Ref::steal(PyUnicode_Concat(name.get(), vo::intern("(")));
        if (!failed) return VO_FAIL();
    }
    if (!text.append_ascii(")", 1)) return VO_FAIL();
    Ref result = text.finish();
    if (!result) return VO_FAIL();
    return result.release();
}

// self._data == other._data and self._order == other._order
Ref eq_as_written(PyObject* self, PyObject* other) noexcept {
    Ref mine = state.data_attr.get(self);
    if (!mine) return nullptr;
    Ref theirs = state.data_attr.get(other);
    if (!theirs) return nullptr;
    Ref same = Ref::steal(PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ));
    if (!same) return nullptr;
    int truth = PyObject_IsTrue(same.get());
    if (truth < 0) return nullptr;
    if (!truth) return same;
    mine = state.order_attr.get(self);
    if (!mine) return nullptr;
    theirs = state.order_attr.get(other);
    if (!theirs) return nullptr;
    return Ref::steal(PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ));
}

// Anything that cannot be compared so (no `_data`, a failing comparison) is
// unequal.  Only errors are turned into False: KeyboardInterrupt and
// SystemExit still go through.
PyObject* sequara_eq(PyObject* self, PyObject* other) {
    VO_METHOD("Sequara.__eq__");
    Ref result = eq_as_written(self, other);
    if (result) return result.release();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return VO_FAIL();
    PyErr_Clear();
    Py_RETURN_FALSE;
}

// cls(), then instance[key] = value for every key
PyObject* sequara_fromkeys(PyObject* cls, PyObject* keys, PyObject* value) {
    VO_METHOD("Sequara.fromkeys");
    if (!value) value = Py_None;
    Ref instance = Ref::steal(PyObject_CallNoArgs(cls));
    if (!instance) return VO_FAIL();
    Ref it = Ref::steal(PyObject_GetIter(keys));
    if (!it) return VO_FAIL();
    while (Ref key = Ref::steal(PyIter_Next(it.get()))) {
        if (PyObject_SetItem(instance.get(), key.get(), value) < 0) return VO_FAIL();
    }
    if (PyErr_Occurred()) return VO_FAIL();
    return instance.release();
}

// --- the methods as Python sees them ----------------------------------------------

// Reached through a class's generic slot, each item method puts its C
// function in that slot, if the class still resolves the methods to ours.
PyObject* sequara_getitem_method(PyObject* self, PyObject* name) {
    state.subscript_slot.adopt(Py_TYPE(self));
    state.contains_slot.adopt(Py_TYPE(self));
    return sequara_subscript(self, name);
}

PyObject* sequara_setitem_method(PyObject* self, PyObject* name, PyObject* value) {
    state.assign_slot.adopt(Py_TYPE(self));
    if (sequara_ass_subscript(self, name, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* sequara_delitem_method(PyObject* self, PyObject* name) {
    state.assign_slot.adopt(Py_TYPE(self));
    if (sequara_ass_subscript(self, name, nullptr) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* sequara_len_method(PyObject* self) {
    Py_ssize_t n = sequara_length(self);
    if (n < 0) return nullptr;
    return PyLong_FromSsize_t(n);
}

vo::Signature<1> sig_getitem("Sequara.__getitem__", "self", {{"name"}});
vo::Signature<2> sig_setitem("Sequara.__setitem__", "self", {{"name"}, {"value"}});
vo::Signature<1> sig_delitem("Sequara.__delitem__", "self", {{"name"}});
vo::Signature<0> sig_iter("Sequara.__iter__", "self");
vo::Signature<0> sig_items("Sequara.items", "self");
vo::Signature<0> sig_clear("Sequara.clear", "self");
vo::Signature<0> sig_copy("Sequara.copy", "self");
vo::Signature<3> sig_insert("Sequara.insert", "self", {{"key"}, {"value"}, {"position"}});
vo::Signature<2> sig_move("Sequara.move", "self", {{"key"}, {"position"}});
vo::Signature<0> sig_keys("Sequara.keys", "self");
vo::Signature<0> sig_values("Sequara.values", "self");
vo::Signature<0> sig_repr("Sequara.__repr__", "self");
vo::Signature<0> sig_len("Sequara.__len__", "self");
vo::Signature<1> sig_eq("Sequara.__eq__", "self", {{"other"}});
vo::Signature<2> sig_fromkeys("Sequara.fromkeys", "cls", {{"keys"}, {"value", false, true}});

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

const char* const insert_doc = sig_insert.doc(
    "inserts a new key-value pair to a given position\n"
    "\n"
    "Args:\n"
    "    key: the new key; KeyError if it is already present\n"
    "    value: its value\n"
    "    position: position to insert in front of (list insertion rules)");

const char* const move_doc = sig_move.doc(
    "moves a known key within the dictionary to another position given as an index\n"
    "\n"
    "Args:\n"
    "    key: a key of the mapping; KeyError if it is absent\n"
    "    position: position to move in front of, counted without the key");

// In the order of the class body.
PyMethodDef sequara_methods[] = {
    {"__init__", VO_CFUNC(sequara_init_method), kFast, "__init__($self, /, *args, **kwargs)\n--\n\n"},
    {"__getitem__", VO_CFUNC((vo::method<sig_getitem, sequara_getitem_method>)), kFast, sig_getitem.doc()},
    {"__setitem__", VO_CFUNC((vo::method<sig_setitem, sequara_setitem_method>)), kFast, sig_setitem.doc()},
    {"__delitem__", VO_CFUNC((vo::method<sig_delitem, sequara_delitem_method>)), kFast, sig_delitem.doc()},
    {"__iter__", VO_CFUNC((vo::method<sig_iter, sequara_iter>)), kFast, sig_iter.doc()},
    {"items", VO_CFUNC((vo::method<sig_items, sequara_items>)), kFast, sig_items.doc()},
    {"clear", VO_CFUNC((vo::method<sig_clear, sequara_clear>)), kFast, sig_clear.doc()},
    {"copy", VO_CFUNC((vo::method<sig_copy, sequara_copy>)), kFast, sig_copy.doc()},
    {"insert", VO_CFUNC((vo::method<sig_insert, sequara_insert>)), kFast, insert_doc},
    {"move", VO_CFUNC((vo::method<sig_move, sequara_move>)), kFast, move_doc},
    {"keys", VO_CFUNC((vo::method<sig_keys, sequara_keys>)), kFast, sig_keys.doc()},
    {"values", VO_CFUNC((vo::method<sig_values, sequara_values>)), kFast, sig_values.doc()},
    {"update", VO_CFUNC(sequara_update), kFast, "update($self, /, *args, **kwargs)\n--\n\n"},
    {"__repr__", VO_CFUNC((vo::method<sig_repr, sequara_repr>)), kFast, sig_repr.doc()},
    {"__len__", VO_CFUNC((vo::method<sig_len, sequara_len_method>)), kFast, sig_len.doc()},
    {"__eq__", VO_CFUNC((vo::method<sig_eq, sequara_eq>)), kFast, sig_eq.doc()},
    {"fromkeys", VO_CFUNC((vo::method<sig_fromkeys, sequara_fromkeys>)), kFast | METH_CLASS, sig_fromkeys.doc()},
    {nullptr, nullptr, 0, nullptr}};

constexpr char sequara_doc[] =
    "A subclass of MutableMapping (similar to dict) that keeps its keys in an\n"
    "explicit order and also allows keys to be moved with the move() method\n"
    "(and inserted at a position with insert()).\n"
    "\n"
    "Note:\n"
    "    inefficient implementaion. dictionary keys are duplicated internally";

// `cls.__dict__[name]`, kept.
bool keep_own(Kept& kept, PyObject* cls, const char* name) noexcept { return kept.set(vo::own_attribute(cls, name)); }

bool module_body(PyObject* module) {
    if (!vo::intern_all({{&state.data, "_data"},
                         {&state.order, "_order"},
                         {&state.update, "update"},
                         {&state.items, "items"},
                         {&state.getitem, "__getitem__"},
                         {&state.setitem, "__setitem__"},
                         {&state.delitem, "__delitem__"},
                         {&state.iter, "__iter__"},
                         {&state.init, "__init__"},
                         {&state.append, "append"},
                         {&state.insert, "insert"},
                         {&state.index, "index"},
                         {&state.pop, "pop"},
                         {&state.remove, "remove"},
                         {&state.sort, "sort"},
                         {&state.class_, "__class__"},
                         {&state.name, "__name__"},
                         {&state.contains, "__contains__"}}))
        return false;
    state.data_attr = vo::compat::InlineAttr(state.data);
    state.order_attr = vo::compat::InlineAttr(state.order);
    if (!vo::body_import_from(module, "collections.abc", {"MutableMapping"})) return false;
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc || !state.mapping.set(attr(abc.get(), vo::intern("Mapping"))) ||
        !state.zero.set(Ref::steal(PyLong_FromLong(0))) || !state.empty_tuple.set(Ref::steal(PyTuple_New(0))) ||
        !state.sort_kwnames.set(Ref::steal(PyTuple_Pack(1, vo::intern("key")))))
        return false;

    Ref mutable_mapping = vo::global(vo::intern("MutableMapping"));
    if (!mutable_mapping) return false;
    // Their KeyError from item access is always caught, so it needs no traceback entry.
    const std::pair<PyObject*, const char*> catchers[] = {
        {state.mapping.get(), "get"}, {state.mapping.get(), "__contains__"}, {mutable_mapping.get(), "setdefault"}};
    for (int i = 0; i < 3; ++i) {
        Ref method = Ref::steal(PyObject_GetAttrString(catchers[i].first, catchers[i].second));
        if (!method || !state.catchers[i].set(attr(method.get(), vo::intern("__code__")))) return false;
        state.catcher_codes[i] = state.catchers[i].get();
    }
    if (!state.mixin_contains.set(Ref::steal(PyObject_GetAttrString(state.mapping.get(), "__contains__"))))
        return false;

    Ref bases = Ref::steal(PyTuple_Pack(1, mutable_mapping.get()));
    if (!bases) return false;
    Ref cls = vo::class_from_metaclass(module, "Sequara", bases.get(), sequara_doc);
    if (!cls || !vo::install_methods(module, cls.get(), sequara_methods)) return false;
    // What a class body defining __eq__ gets: unhashable instances.
    if (!vo::set_class_attribute(cls.get(), "__hash__", Py_None)) return false;
    if (!state.cls.set(Ref::borrow(cls.get())) || !keep_own(state.d_getitem, cls.get(), "__getitem__") ||
        !keep_own(state.d_setitem, cls.get(), "__setitem__") || !keep_own(state.d_delitem, cls.get(), "__delitem__") ||
        !keep_own(state.d_iter, cls.get(), "__iter__") || !keep_own(state.d_items, cls.get(), "items") ||
        !keep_own(state.d_init, cls.get(), "__init__") || !keep_own(state.d_update, cls.get(), "update"))
        return false;

    // Installing the methods left the interpreter's generic slots, which look
    // the method up and call it.  The item slots take the C functions, in
    // Sequara and in every subclass that keeps the methods (common/slots.hpp).
    // Length, iteration, initialisation and repr take them in Sequara only:
    // subclasses keep the generic slots (they may override the methods), and
    // assigning a method on the class later recomputes the slot as usual.
    auto* type = cls.type_ptr();
    if (!state.subscript_slot.install(type, vo::SlotId::Subscript, reinterpret_cast<void*>(sequara_subscript),
                                      {"__getitem__"}) ||
        !state.assign_slot.install(type, vo::SlotId::AssignSubscript, reinterpret_cast<void*>(sequara_ass_subscript),
                                   {"__setitem__", "__delitem__"}) ||
        !state.contains_slot.install(type, vo::SlotId::Contains, reinterpret_cast<void*>(sequara_contains),
                                     {"__contains__", "__getitem__"}))
        return false;
    type->tp_as_mapping->mp_length = sequara_length;
    type->tp_as_sequence->sq_length = sequara_length;
    type->tp_iter = sequara_iter;
    type->tp_init = sequara_init;
    type->tp_repr = sequara_repr;
    PyType_Modified(type);
    // Last: it sets `__abstractmethods__` through the metaclass, which may
    // run code that uses the class.
    if (!vo::update_abstractmethods(cls.get())) return false;
    return vo::body_bind(module, "Sequara", cls);
}

}  // namespace
}  // namespace sequara

VO_DEFINE_MODULE(sequara, nullptr, sequara::module_body)
