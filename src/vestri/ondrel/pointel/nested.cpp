// NestedPointel: a Pointel holding a tree of levels addressed by dotted keys.
//
// `obj['a.b.c']` splits once at the first dot and hands the rest to the
// value under the head, level by level.  Instead of recursing, the levels
// are walked in one loop for as long as each level is one whose item access
// is ours; the first level that is anything else (a plain dict, a subclass
// that overrides the method, a number) receives the rest of the key through
// its own item access, so results and errors are those of the level-by-level
// definition.  The split of a dotted key into its segments is kept in a small
// bounded cache, which saves allocating and hashing the segments again.
//
// Dotted writes and `update` call `type(self)()` and `self.setdefault(...)`.
// When the runtime class makes both unobservable (its construction, item
// read, setdefault and update are ours), the same effect is had without the
// throw-away instance and without raising the KeyError that setdefault would
// catch; otherwise the calls are made as written.
//
// The class itself is made by abc.ABCMeta, over Pointel and MutableMapping,
// with the methods installed afterwards.
#include <cstdint>

#include "common/args.hpp"
#include "common/bindings.hpp"
#include "common/classdef.hpp"
#include "common/errors.hpp"
#include "common/guard.hpp"
#include "common/module.hpp"
#include "pointel.hpp"

namespace pointel {
namespace {

using vo::Found;
using vo::Ref;

// Interned names.
PyObject *s_getitem, *s_setitem, *s_delitem, *s_contains, *s_init, *s_update, *s_setdefault, *s_items,
    *s_missing, *s_mapping, *s_itertools, *s_chain, *s_self;

// What the fast paths compare against; all live for the rest of the process.
PyObject *d_getitem, *d_setitem, *d_delitem, *d_contains, *d_update, *d_init;  // our descriptors
PyObject* d_pointel_init;  // Pointel.__init__
PyObject* mm_setdefault;   // MutableMapping.setdefault, as the class holds it
PyObject *real_mapping, *real_itertools, *real_chain;
PyObject* dict_items;      // dict.items
PyObject* get_cache_token; // abc.get_cache_token
PyObject* scalar_token;    // the ABC cache token under which built-in scalars were seen to be no Mappings
PyObject* split_cache;     // dotted key -> tuple of its segments
PyObject* key_error_catchers[2];  // the code of Mapping.get and MutableMapping.setdefault
PyObject* empty_tuple;
PyObject* dot;

constexpr Py_ssize_t kSplitCacheEntries = 2048;
constexpr Py_ssize_t kSplitCacheKeyLength = 256;

// --- what a class does with its instances ---------------------------------------

struct Traits {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    bool getitem = false;     // NestedPointel's item read
    bool setitem = false;     // ... item write
    bool delitem = false;     // ... item deletion
    bool contains = false;    // ... membership
    bool update = false;      // `obj.update` is NestedPointel's
    bool setdefault = false;  // `obj.setdefault` is MutableMapping's over our item read
    bool init_next = false;   // the __init__ after NestedPointel's in the MRO is Pointel's
    bool construct = false;   // `cls()` makes an empty instance and does nothing else
};

// Keyed by the class and its version tag, which the interpreter changes
// whenever the class or one of its bases is modified.
Traits g_traits[32];

void compute_traits(Traits& t, PyTypeObject* type) noexcept {
    t = Traits{};
    t.type = type;
    if (!PyType_IsSubtype(type, g_nested)) return;
    bool own_hook = type->tp_getattro == g_pointel_getattro;
    t.getitem = _PyType_Lookup(type, s_getitem) == d_getitem;
    t.setitem = _PyType_Lookup(type, s_setitem) == d_setitem;
    t.delitem = _PyType_Lookup(type, s_delitem) == d_delitem;
    t.contains = _PyType_Lookup(type, s_contains) == d_contains;
    t.update = own_hook && _PyType_Lookup(type, s_update) == d_update;
    t.setdefault = own_hook && t.getitem && _PyType_Lookup(type, s_setdefault) == mm_setdefault;
    t.init_next = vo::super_lookup(type, reinterpret_cast<PyObject*>(g_nested), s_init).get() == d_pointel_init;
    t.construct = t.update && t.init_next && type->tp_new == PyDict_Type.tp_new && _PyType_Lookup(type, s_init) == d_init;
    if (PyErr_Occurred()) PyErr_Clear();  // a failed check just means "not ours"
    if (PyUnstable_Type_AssignVersionTag(type)) t.version = type->tp_version_tag;
}

Traits traits_of(PyTypeObject* type) noexcept {
    Traits& t = g_traits[(reinterpret_cast<std::uintptr_t>(type) >> 5) & 31];
    if (t.type != type || t.version == 0 || t.version != type->tp_version_tag) compute_traits(t, type);
    return t;
}

Traits traits_of(PyObject* obj) noexcept { return traits_of(Py_TYPE(obj)); }

// --- module-level names, as bound when a method runs -----------------------------

// `Mapping` alone (consulted for every item), and every name update() consults.
vo::Binding g_mapping_bound;
vo::Binding g_update_names;

// What one call has learnt about the module-level names.
struct Env {
    int scalars = -1;  // built-in scalars are known to be no Mappings (-1: not yet known)

    // Whether every module-level name that update() consults is the real one.
    bool names_real() noexcept { return g_update_names.holds(); }

    // The module's `itertools.chain`, looked up now.
    Ref chain() noexcept {
        Ref itertools = vo::global(s_itertools);
        if (!itertools) return nullptr;
        return Ref::steal(PyObject_GetAttr(itertools.get(), s_chain));
    }

    // Built-in scalars are no Mappings unless someone registered them with
    // the ABC; registering any class with any ABC changes the cache token.
    int check_scalars() noexcept {
        Ref token = Ref::steal(PyObject_CallNoArgs(get_cache_token));
        if (!token) return -1;
        int same = scalar_token ? PyObject_RichCompareBool(token.get(), scalar_token, Py_EQ) : 0;
        if (same < 0) return -1;
        if (!same) {
            PyTypeObject* builtins[] = {&PyUnicode_Type, &PyLong_Type, &PyFloat_Type, &PyBool_Type,
                                        &PyList_Type,    &PyTuple_Type, &PyBytes_Type, Py_TYPE(Py_None)};
            for (PyTypeObject* type : builtins) {
                int r = PyObject_IsSubclass(reinterpret_cast<PyObject*>(type), real_mapping);
                if (r) return r < 0 ? -1 : 0;
            }
            Py_XSETREF(scalar_token, token.release());
        }
        return 1;
    }

    // `isinstance(value, Mapping)`, with `Mapping` as bound now.
    int is_mapping(PyObject* value) noexcept {
        if (VO_LIKELY(g_mapping_bound.holds())) {
            if (PyDict_Check(value)) return 1;
            PyTypeObject* t = Py_TYPE(value);
            if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
                value == Py_None || t == &PyList_Type || t == &PyTuple_Type || t == &PyBytes_Type) {
                if (scalars < 0 && (scalars = check_scalars()) < 0) return -1;
                if (scalars) return 0;
            }
            return PyObject_IsInstance(value, real_mapping);
        }
        Ref mapping = vo::global(s_mapping);
        if (!mapping) return -1;
        return PyObject_IsInstance(value, mapping.get());
    }
};

// --- dotted keys --------------------------------------------------------------------

// 1 and the segments for a dotted key, 0 for a plain key, -1 on error.
int split_key(PyObject* key, Ref& segments) noexcept {
    if (!PyUnicode_Check(key)) return 0;
    Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    Py_ssize_t at = PyUnicode_FindChar(key, '.', 0, length, 1);
    if (at == -1) return 0;
    if (at == -2) return -1;
    bool cacheable = PyUnicode_CheckExact(key) && length <= kSplitCacheKeyLength;
    if (cacheable) {
        if (PyObject* cached = PyDict_GetItemWithError(split_cache, key)) {
            segments = Ref::borrow(cached);
            return 1;
        }
        if (PyErr_Occurred()) return -1;
    }
    // Splitting at every dot gives what splitting once per level gives.
    Ref parts = Ref::steal(PyUnicode_Split(key, dot, -1));
    if (!parts) return -1;
    segments = Ref::steal(PyList_AsTuple(parts.get()));
    if (!segments) return -1;
    if (cacheable) {
        if (PyDict_GET_SIZE(split_cache) >= kSplitCacheEntries) PyDict_Clear(split_cache);
        if (PyDict_SetItem(split_cache, key, segments.get()) < 0) return -1;
    }
    return 1;
}

// The part of `key` from segment `index` on: what the level at that depth receives.
Ref rest_of(PyObject* key, PyObject* segments, Py_ssize_t index) noexcept {
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i < index; ++i) start += PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(segments, i)) + 1;
    return Ref::steal(PyUnicode_Substring(key, start, PyUnicode_GET_LENGTH(key)));
}

// Hands the rest of a dotted key, from segment `index` on, to a level whose
// own item access is not ours; `op(rest)` is that access.
template <class Op>
auto hand_over(PyObject* key, PyObject* segments, Py_ssize_t index, const char* where, Op op) noexcept {
    using Result = decltype(op(key));
    Ref rest = rest_of(key, segments, index);
    if (!rest) return static_cast<Result>(-1);
    vo::RecursionGuard guard(where);
    if (!guard.ok()) return static_cast<Result>(-1);
    return op(rest.get());
}

// --- the dict-level operations ------------------------------------------------------

// dict.__getitem__ on `self`, a subclass's __missing__ included.
Found dict_read(PyObject* self, PyObject* key, Ref& value) noexcept {
    if (PyObject* v = PyDict_GetItemWithError(self, key)) {
        value = Ref::borrow(v);
        return Found::Yes;
    }
    if (PyErr_Occurred()) return Found::Error;
    if (PyObject* missing = _PyType_Lookup(Py_TYPE(self), s_missing)) {
        Ref bound = vo::bind(missing, self);
        if (!bound) return Found::Error;
        value = Ref::steal(PyObject_CallOneArg(bound.get(), key));
        return value ? Found::Yes : Found::Error;
    }
    return Found::No;
}

// --- item access ----------------------------------------------------------------------

// self[key]; on Found::No, `missing` is the key that was not found.
Found nested_lookup(PyObject* self, PyObject* key, Ref& value, Ref& missing) noexcept {
    Ref segments;
    int dotted = split_key(key, segments);
    if (dotted < 0) return Found::Error;
    if (!dotted) {
        Found found = dict_read(self, key, value);
        if (found == Found::No) missing = Ref::borrow(key);
        return found;
    }
    Py_ssize_t last = PyTuple_GET_SIZE(segments.get()) - 1;
    Ref level = Ref::borrow(self);
    for (Py_ssize_t i = 0; i < last; ++i) {
        PyObject* head = PyTuple_GET_ITEM(segments.get(), i);
        Ref next;
        Found found = dict_read(level.get(), head, next);
        if (found != Found::Yes) {
            if (found == Found::No) missing = Ref::borrow(head);
            return found;
        }
        if (traits_of(next.get()).getitem) {
            level = std::move(next);
            continue;
        }
        return hand_over(key, segments.get(), i + 1, " while reading a dotted key", [&](PyObject* rest) {
            value = Ref::steal(PyObject_GetItem(next.get(), rest));
            return value ? Found::Yes : Found::Error;
        });
    }
    PyObject* tail = PyTuple_GET_ITEM(segments.get(), last);
    Found found = dict_read(level.get(), tail, value);
    if (found == Found::No) missing = Ref::borrow(tail);
    return found;
}

int nested_contains(PyObject* self, PyObject* key) noexcept {
    Ref segments;
    int dotted = split_key(key, segments);
    if (dotted <= 0) return dotted < 0 ? -1 : PyDict_Contains(self, key);
    Py_ssize_t last = PyTuple_GET_SIZE(segments.get()) - 1;
    Ref level = Ref::borrow(self);
    for (Py_ssize_t i = 0; i < last; ++i) {
        PyObject* next = PyDict_GetItemWithError(level.get(), PyTuple_GET_ITEM(segments.get(), i));
        if (!next) return PyErr_Occurred() ? -1 : 0;
        if (traits_of(next).contains) {
            level = Ref::borrow(next);
            continue;
        }
        Ref hold = Ref::borrow(next);
        return hand_over(key, segments.get(), i + 1, " while testing a dotted key",
                         [&](PyObject* rest) { return PySequence_Contains(hold.get(), rest); });
    }
    return PyDict_Contains(level.get(), PyTuple_GET_ITEM(segments.get(), last));
}

int nested_delitem(PyObject* self, PyObject* key) noexcept {
    Ref segments;
    int dotted = split_key(key, segments);
    if (dotted <= 0) return dotted < 0 ? -1 : PyDict_DelItem(self, key);
    Py_ssize_t last = PyTuple_GET_SIZE(segments.get()) - 1;
    Ref level = Ref::borrow(self);
    for (Py_ssize_t i = 0; i < last; ++i) {
        PyObject* head = PyTuple_GET_ITEM(segments.get(), i);
        Ref next;
        Found found = dict_read(level.get(), head, next);
        if (found != Found::Yes) {
            if (found == Found::No) vo::raise_key_error(head);
            return -1;
        }
        if (traits_of(next.get()).delitem) {
            level = std::move(next);
            continue;
        }
        return hand_over(key, segments.get(), i + 1, " while deleting a dotted key",
                         [&](PyObject* rest) { return PyObject_DelItem(next.get(), rest); });
    }
    return PyDict_DelItem(level.get(), PyTuple_GET_ITEM(segments.get(), last));
}

int nested_setitem(PyObject* self, PyObject* key, PyObject* value, Env& env) noexcept;

// self[key] = value through the class's own item assignment.
int set_item(PyObject* self, PyObject* key, PyObject* value, Env& env) noexcept {
    if (traits_of(self).setitem) return nested_setitem(self, key, value, env);
    return PyObject_SetItem(self, key, value);
}

// Whether `cls()` may be replaced by allocating the empty instance directly.
bool construct_is_plain(PyTypeObject* type, const Traits& traits, Env& env) noexcept {
    if (!traits.construct || Py_TYPE(type)->tp_call != PyType_Type.tp_call) return false;
    // __init__ runs update(), which consults the module's Mapping and itertools.
    return env.names_real();
}

// type(self)()
Ref new_level(PyTypeObject* type, bool plain) noexcept {
    if (plain) return Ref::steal(type->tp_new(type, empty_tuple, nullptr));
    return Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(type)));
}

// self.setdefault(key, type(self)())
Ref setdefault_level(PyObject* self, PyObject* key, Env& env) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    Traits traits = traits_of(type);
    bool plain = construct_is_plain(type, traits, env);
    if (!traits.setdefault) {
        Ref fresh = new_level(type, plain);
        if (!fresh) return nullptr;
        return Ref::steal(PyObject_CallMethodObjArgs(self, s_setdefault, key, fresh.get(), nullptr));
    }
    // The fresh instance comes first, as the argument of setdefault; when
    // making it has no effect of its own, it is made only if it is stored.
    Ref fresh;
    if (!plain) {
        fresh = new_level(type, false);
        if (!fresh) return nullptr;
    }
    // MutableMapping.setdefault: return self[key]; on KeyError store the default.
    Ref value, missing;
    switch (nested_lookup(self, key, value, missing)) {
        case Found::Yes:
            return value;
        case Found::Error:
            if (!vo::clear_key_error()) return nullptr;
            break;
        case Found::No:
            break;
    }
    if (!fresh) {
        fresh = new_level(type, true);
        if (!fresh) return nullptr;
    }
    if (set_item(self, key, fresh.get(), env) < 0) return nullptr;
    return fresh;
}

int raise_value_in_the_way(PyObject* head, PyTypeObject* type) noexcept {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    if (!name) return -1;
    vo::raise_concat(PyExc_KeyError, {"target key ", "\"", head, "\"",
                                      " is a value, cannot update value against another ", name.get()});
    return -1;
}

int nested_setitem(PyObject* self, PyObject* key, PyObject* value, Env& env) noexcept {
    Ref segments;
    int dotted = split_key(key, segments);
    if (dotted <= 0) return dotted < 0 ? -1 : PyDict_SetItem(self, key, value);
    Py_ssize_t last = PyTuple_GET_SIZE(segments.get()) - 1;
    Ref level = Ref::borrow(self);
    for (Py_ssize_t i = 0; i < last; ++i) {
        PyObject* head = PyTuple_GET_ITEM(segments.get(), i);
        PyTypeObject* type = Py_TYPE(level.get());
        Ref next = setdefault_level(level.get(), head, env);
        if (!next) return -1;
        int is_level = PyObject_IsInstance(next.get(), reinterpret_cast<PyObject*>(type));
        if (is_level <= 0) return is_level < 0 ? -1 : raise_value_in_the_way(head, type);
        if (traits_of(next.get()).setitem) {
            level = std::move(next);
            continue;
        }
        return hand_over(key, segments.get(), i + 1, " while writing a dotted key",
                         [&](PyObject* rest) { return PyObject_SetItem(next.get(), rest, value); });
    }
    return PyDict_SetItem(level.get(), PyTuple_GET_ITEM(segments.get(), last), value);
}

// --- update -----------------------------------------------------------------------------

int update_impl(PyObject* self, PyObject* source, PyObject* const* kwvalues, PyObject* kwnames, Env& env) noexcept;

// sub.update(value), for the level that setdefault returned.
int update_level(PyObject* sub, PyObject* value, Env& env) noexcept {
    vo::RecursionGuard guard(" while merging a nested mapping");
    if (!guard.ok()) return -1;
    if (traits_of(sub).update) return update_impl(sub, value, nullptr, nullptr, env);
    Ref result = Ref::steal(PyObject_CallMethodOneArg(sub, s_update, value));
    return result ? 0 : -1;
}

// One (key, value) of the merged source.
int merge_pair(PyObject* self, PyObject* key, PyObject* value, Env& env) noexcept {
    int is_mapping = env.is_mapping(value);
    if (is_mapping < 0) return -1;
    if (!is_mapping) return set_item(self, key, value, env);
    Ref sub = setdefault_level(self, key, env);
    if (!sub) return -1;
    return update_level(sub.get(), value, env);
}

// One item of the source, which must be a pair; `position` counts the items.
int merge_item(PyObject* self, PyObject* item, Py_ssize_t position, Env& env) noexcept {
    Py_ssize_t length = PyObject_Size(item);
    if (length < 0) return -1;
    if (length != 2) {
        Ref index = Ref::steal(PyLong_FromSsize_t(position));
        if (index)
            vo::raise_percent(PyExc_TypeError, "cannot convert dictionary update sequence element #%s to a sequence",
                              index.get());
        return -1;
    }
    Ref key, value;
    if (!vo::unpack_pair(item, key, value)) return -1;
    return merge_pair(self, key.get(), value.get(), env);
}

int merge_iterator(PyObject* self, PyObject* iterable, Py_ssize_t& position, Env& env) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) return -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (merge_item(self, item.get(), position++, env) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The items of a dict whose `items` is dict's own, read in place, with the
// checks of the dict's own iterator for a source changed on the way.
int merge_dict(PyObject* self, PyObject* source, Py_ssize_t& position, Env& env) noexcept {
    Py_ssize_t size = PyDict_GET_SIZE(source), remaining = size, pos = 0;
    PyObject *k, *v;
    while (true) {
        if (PyDict_GET_SIZE(source) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (!PyDict_Next(source, &pos, &k, &v)) return 0;
        if (remaining-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return -1;
        }
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        if (merge_pair(self, key.get(), value.get(), env) < 0) return -1;
        ++position;
    }
}

int update_impl(PyObject* self, PyObject* source, PyObject* const* kwvalues, PyObject* kwnames, Env& env) noexcept {
    Ref iterable = Ref::borrow(source ? source : empty_tuple);
    int is_mapping = env.is_mapping(iterable.get());
    if (is_mapping < 0) return -1;
    bool dict_in_place = false;
    if (is_mapping) {
        dict_in_place = PyDict_Check(iterable.get()) && _PyType_Lookup(Py_TYPE(iterable.get()), s_items) == dict_items;
        if (!dict_in_place) {
            iterable = Ref::steal(PyObject_CallMethodNoArgs(iterable.get(), s_items));
            if (!iterable) return -1;
        }
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t position = 0;
    if (!env.names_real()) {
        Ref chain = env.chain();
        if (!chain) return -1;
        // itertools.chain(iterable, kwargs.items()) with the module's own names.
        if (dict_in_place) {
            iterable = Ref::steal(PyObject_CallMethodNoArgs(iterable.get(), s_items));
            if (!iterable) return -1;
        }
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return -1;
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), kwvalues[i]) < 0) return -1;
        Ref kwitems = Ref::steal(PyObject_CallMethodNoArgs(kwargs.get(), s_items));
        if (!kwitems) return -1;
        Ref chained = Ref::steal(PyObject_CallFunctionObjArgs(chain.get(), iterable.get(), kwitems.get(), nullptr));
        if (!chained) return -1;
        return merge_iterator(self, chained.get(), position, env);
    }
    int rc = dict_in_place ? merge_dict(self, iterable.get(), position, env)
                           : merge_iterator(self, iterable.get(), position, env);
    if (rc < 0) return -1;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (merge_pair(self, PyTuple_GET_ITEM(kwnames, i), kwvalues[i], env) < 0) return -1;
    return 0;
}

bool check_update_arity(Py_ssize_t nargs) noexcept {
    if (nargs <= 1) return true;
    Ref count = Ref::steal(PyLong_FromSsize_t(nargs));
    if (count) vo::raise_percent(PyExc_TypeError, "expected at most 1 arguments, got %d", count.get());
    return false;
}

// --- the methods ----------------------------------------------------------------------------

vo::Signature<1> sig_getitem("NestedPointel.__getitem__", "self", {{"key"}});
vo::Signature<2> sig_setitem("NestedPointel.__setitem__", "self", {{"key"}, {"value"}});
vo::Signature<1> sig_contains("NestedPointel.__contains__", "self", {{"key"}});
vo::Signature<1> sig_delitem("NestedPointel.__delitem__", "self", {{"key"}});

PyObject* np_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("NestedPointel.__init__");
    if (!vo::reject_self_keyword("NestedPointel.__init__", kwnames)) return VO_FAIL();
    // Pointel initialisation with no arguments: dict.__init__() changes nothing,
    // so only a different class next in the MRO needs calling.
    Traits traits = traits_of(self);
    if (!traits.init_next) {
        Ref bound = vo::super_attribute(self, reinterpret_cast<PyObject*>(g_nested), s_init);
        if (!bound) return VO_FAIL();
        Ref result = Ref::steal(PyObject_CallNoArgs(bound.get()));
        if (!result) return VO_FAIL();
    }
    if (traits.update) {
        if (!check_update_arity(nargs)) return VO_FAIL();
        Env env;
        // update() with nothing to merge has no effect while the names it consults are the real ones.
        if (nargs == 0 && !kwnames && env.names_real()) Py_RETURN_NONE;
        if (update_impl(self, nargs ? args[0] : nullptr, args + nargs, kwnames, env) < 0) return VO_FAIL();
        Py_RETURN_NONE;
    }
    Ref update = Ref::steal(PyObject_GetAttr(self, s_update));
    if (!update) return VO_FAIL();
    Ref result = Ref::steal(PyObject_Vectorcall(update.get(), args, static_cast<size_t>(nargs), kwnames));
    if (!result) return VO_FAIL();
    Py_RETURN_NONE;
}

// Item access is reached both through the methods (`obj.__getitem__(key)`,
// subclasses) and, for NestedPointel itself, straight through its C slots.

PyObject* subscript(PyObject* self, PyObject* key) {
    VO_METHOD("NestedPointel.__getitem__");
    Ref value, missing;
    switch (nested_lookup(self, key, value, missing)) {
        case Found::Yes:
            return value.release();
        case Found::No:
            vo::raise_key_error(missing.get());
            // get() and setdefault() catch it whatever happens.
            if (vo::called_from(key_error_catchers, 2)) return nullptr;
            return VO_FAIL();
        case Found::Error:
            break;
    }
    return VO_FAIL();
}

int ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) {
        VO_METHOD("NestedPointel.__delitem__");
        if (nested_delitem(self, key) < 0) return VO_FAIL_INT();
        return 0;
    }
    VO_METHOD("NestedPointel.__setitem__");
    Env env;
    if (nested_setitem(self, key, value, env) < 0) return VO_FAIL_INT();
    return 0;
}

int contains(PyObject* self, PyObject* key) {
    VO_METHOD("NestedPointel.__contains__");
    int found = nested_contains(self, key);
    if (found < 0) return VO_FAIL_INT();
    return found;
}

PyObject* np_getitem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("NestedPointel.__getitem__");
    PyObject* a[1];
    if (!sig_getitem.parse(args, nargs, kwnames, a)) return VO_FAIL();
    return subscript(self, a[0]);
}

PyObject* np_setitem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("NestedPointel.__setitem__");
    PyObject* a[2];
    if (!sig_setitem.parse(args, nargs, kwnames, a)) return VO_FAIL();
    if (ass_subscript(self, a[0], a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* np_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("NestedPointel.__contains__");
    PyObject* a[1];
    if (!sig_contains.parse(args, nargs, kwnames, a)) return VO_FAIL();
    int found = contains(self, a[0]);
    if (found < 0) return nullptr;
    return PyBool_FromLong(found);
}

PyObject* np_delitem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("NestedPointel.__delitem__");
    PyObject* a[1];
    if (!sig_delitem.parse(args, nargs, kwnames, a)) return VO_FAIL();
    if (ass_subscript(self, a[0], nullptr) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* np_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("NestedPointel.update");
    if (!vo::reject_self_keyword("NestedPointel.update", kwnames)) return VO_FAIL();
    if (!check_update_arity(nargs)) return VO_FAIL();
    Env env;
    if (update_impl(self, nargs ? args[0] : nullptr, args + nargs, kwnames, env) < 0) return VO_FAIL();
    Py_RETURN_NONE;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// The methods carry their signatures and no other documentation.
PyMethodDef item_methods[] = {
    {"__init__", VO_CFUNC(np_init), kFast, "__init__($self, *args, **kwargs)\n--\n\n"},
    {"__getitem__", VO_CFUNC(np_getitem), kFast, "__getitem__($self, key)\n--\n\n"},
    {"__setitem__", VO_CFUNC(np_setitem), kFast, "__setitem__($self, key, value)\n--\n\n"},
    {"__contains__", VO_CFUNC(np_contains), kFast, "__contains__($self, key)\n--\n\n"},
    {"__delitem__", VO_CFUNC(np_delitem), kFast, "__delitem__($self, key)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef update_methods[] = {
    {"update", VO_CFUNC(np_update), kFast, "update($self, *args, **kwargs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

bool intern_names() noexcept {
    if (!vo::intern_all({{&s_getitem, "__getitem__"}, {&s_setitem, "__setitem__"}, {&s_delitem, "__delitem__"},
                 {&s_contains, "__contains__"}, {&s_init, "__init__"},     {&s_update, "update"},
                 {&s_setdefault, "setdefault"}, {&s_items, "items"},       {&s_missing, "__missing__"},
                 {&s_mapping, "Mapping"},       {&s_itertools, "itertools"}, {&s_chain, "chain"},
                 {&s_self, "self"},             {&dot, "."}})) return false;
    return true;
}

// A process-lifetime reference to `obj.name`.
PyObject* keep_attribute(PyObject* obj, const char* name) noexcept { return PyObject_GetAttrString(obj, name); }

}  // namespace

Ref make_nested_pointel(PyObject* module) noexcept {
    if (!intern_names()) return nullptr;
    Ref mutable_mapping = vo::global(vo::intern("MutableMapping"));
    if (!mutable_mapping) return nullptr;
    Ref bases = Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject*>(g_pointel), mutable_mapping.get()));
    if (!bases) return nullptr;
    Ref cls = vo::class_from_metaclass(module, "NestedPointel", bases.get(), nullptr,
                                       vo::InstanceLayout::NoSlots);
    if (!cls || !vo::install_methods(module, cls.get(), item_methods)) return nullptr;
    // dict comes before MutableMapping in the MRO; these three are taken from
    // the mixin so that they work through the class's own item access.
    for (const char* name : {"get", "pop", "setdefault"}) {
        Ref method = Ref::steal(PyObject_GetAttrString(mutable_mapping.get(), name));
        if (!method || PyObject_SetAttrString(cls.get(), name, method.get()) < 0) return nullptr;
    }
    // pop() re-raises the KeyError when it has no default, so it is not among them.
    int catcher = 0;
    for (const char* name : {"get", "setdefault"}) {
        Ref method = Ref::steal(PyObject_GetAttrString(mutable_mapping.get(), name));
        if (!method) return nullptr;
        if (!(key_error_catchers[catcher++] = PyObject_GetAttrString(method.get(), "__code__"))) return nullptr;
    }
    if (!vo::install_methods(module, cls.get(), update_methods)) return nullptr;

    if (!(d_getitem = vo::own_attribute(cls.get(), "__getitem__")) ||
        !(d_setitem = vo::own_attribute(cls.get(), "__setitem__")) ||
        !(d_delitem = vo::own_attribute(cls.get(), "__delitem__")) ||
        !(d_contains = vo::own_attribute(cls.get(), "__contains__")) ||
        !(d_update = vo::own_attribute(cls.get(), "update")) || !(d_init = vo::own_attribute(cls.get(), "__init__")) ||
        !(mm_setdefault = vo::own_attribute(cls.get(), "setdefault")) ||
        !(d_pointel_init = vo::own_attribute(reinterpret_cast<PyObject*>(g_pointel), "__init__")))
        return nullptr;
    Ref mapping = vo::global(s_mapping);
    Ref itertools = vo::global(s_itertools);
    if (!mapping || !itertools) return nullptr;
    real_mapping = mapping.release();
    real_itertools = itertools.release();
    Ref abc = Ref::steal(PyImport_ImportModule("abc"));
    Ref dict_ns = Ref::steal(PyType_GetDict(&PyDict_Type));
    if (!abc || !dict_ns) return nullptr;
    if (!(real_chain = keep_attribute(real_itertools, "chain")) ||
        !(get_cache_token = keep_attribute(abc.get(), "get_cache_token")))
        return nullptr;
    dict_items = PyDict_GetItemWithError(dict_ns.get(), s_items);  // lives as long as dict
    if (!dict_items) return nullptr;
    if (!(split_cache = PyDict_New()) || !(empty_tuple = PyTuple_New(0))) return nullptr;
    PyObject* globals = vo::module_globals();
    if (!g_mapping_bound.init({{globals, s_mapping, real_mapping}}) ||
        !g_update_names.init({{globals, s_mapping, real_mapping},
                              {globals, s_itertools, real_itertools},
                              {PyModule_GetDict(real_itertools), s_chain, real_chain}}))
        return nullptr;
    // Installing the methods left NestedPointel with the interpreter's generic
    // slots, which look the method up and call it.  NestedPointel's own
    // instances can go to the C functions directly; subclasses keep the generic
    // slots (they may override the methods), and assigning a method on the
    // class later recomputes the slots as usual.
    auto* type = cls.type_ptr();
    type->tp_as_mapping->mp_subscript = subscript;
    type->tp_as_mapping->mp_ass_subscript = ass_subscript;
    type->tp_as_sequence->sq_contains = contains;
    PyType_Modified(type);
    return cls;
}

}  // namespace pointel
