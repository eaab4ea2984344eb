// NestedPointel: a Pointel holding a tree of levels addressed by dotted keys.
//
// `obj['a.b.c']` splits once at the first state.dot and hands the rest to the
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
// with the methods installed afterwards; the C functions behind the item
// methods then take the item slots of NestedPointel and of every subclass
// that keeps the methods (common/slots.hpp).
#include <cstring>

#include "common/args.hpp"
#include "common/callargs.hpp"
#include "common/bindings.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/dictwalk.hpp"
#include "common/errors.hpp"
#include "common/guard.hpp"
#include "common/kept.hpp"
#include "common/lookup.hpp"
#include "common/module.hpp"
#include "common/slots.hpp"
#include "common/typecache.hpp"
#include "pointel.hpp"

namespace pointel {
namespace {

using vo::Found;
using vo::Is;
using vo::Kept;
using vo::Ref;

constexpr Py_ssize_t kSplitCacheEntries = 2048;
constexpr Py_ssize_t kSplitCacheKeyLength = 256;

// --- what a class does with its instances ---------------------------------------

// Called with no exception pending: a failed check clears what it raised.
void compute_traits(PyTypeObject* type, Traits& t) noexcept {
    VO_ASSERT(!PyErr_Occurred());
    if (!PyType_IsSubtype(type, state.nested_type())) return;
    bool own_hook = type->tp_getattro == pointel_getattro;
    t.getitem = vo::compat::type_lookup(type, state.getitem) == state.d_getitem.get();
    t.setitem = vo::compat::type_lookup(type, state.setitem) == state.d_setitem.get();
    t.delitem = vo::compat::type_lookup(type, state.delitem) == state.d_delitem.get();
    t.contains = vo::compat::type_lookup(type, state.contains) == state.d_contains.get();
    t.update = own_hook && vo::compat::type_lookup(type, state.update) == state.d_update.get();
    t.setdefault =
        own_hook && t.getitem && vo::compat::type_lookup(type, state.setdefault) == state.mm_setdefault.get();
    t.init_next = vo::super_lookup(type, state.nested_pointel.get(), state.init).get() == state.d_pointel_init.get();
    t.construct = t.update && t.init_next && type->tp_new == PyDict_Type.tp_new &&
                  vo::compat::type_lookup(type, state.init) == state.d_init.get();
    if (PyErr_Occurred()) PyErr_Clear();  // a failed check just means "not ours"
}

Traits traits_of(PyTypeObject* type) noexcept { return state.traits.get(type, compute_traits); }
Traits traits_of(PyObject* obj) noexcept { return traits_of(Py_TYPE(obj)); }

// --- module-level names, as bound when a method runs -----------------------------

// What one call has learnt about the module-level names.
struct Env {
    vo::MappingCheck::Memo memo;

    // Whether every module-level name that update() consults is the real one.
    bool names_real() noexcept { return state.mapping_check.real() && state.update_names.holds(); }

    // The module's `itertools.chain`, looked up now.
    Ref chain() noexcept {
        Ref itertools = vo::global(state.itertools);
        if (!itertools) return nullptr;
        return Ref::steal(PyObject_GetAttr(itertools.get(), state.chain));
    }

    // `isinstance(value, Mapping)`, with `Mapping` as bound now.
    Is is_mapping(PyObject* value) noexcept { return state.mapping_check.check(value, memo); }
};

// --- dotted keys --------------------------------------------------------------------

// A key split at its dots.  For a `str` (or a subclass that keeps str's
// `__contains__` and `split`) the segments are all found at once, and the
// walk hands each level the part of the key after the segments it passed.
// A subclass that overrides either method is split as the level-by-level
// definition does, `'.' in key` and `key.split('.', 1)`, and the rest it
// returns goes, whatever it is, to the value under the head.
struct DottedKey {
    Ref segments;         // the segments; for an opaque key (head, rest)
    bool opaque = false;  // the rest is handed over as the key's own split gave it

    Py_ssize_t last() const noexcept { return PyTuple_GET_SIZE(segments.get()) - 1; }
    PyObject* segment(Py_ssize_t i) const noexcept { return PyTuple_GET_ITEM(segments.get(), i); }
    // Whether the walk may take the level at `index` itself.
    bool walkable() const noexcept { return !opaque; }
};

enum class Split { Error = -1, Plain = 0, Dotted = 1 };

// Whether a str subclass splits as str does.
bool splits_as_str(PyTypeObject* type) noexcept {
    Ref hold = Ref::borrow(type);
    bool same = vo::compat::type_lookup(type, state.contains) == state.str_contains.get() &&
                vo::compat::type_lookup(type, state.split) == state.str_split.get();
    if (PyErr_Occurred()) PyErr_Clear();
    return same;
}

Split split_opaque(PyObject* key, DottedKey& out) noexcept {
    int has_dot = PySequence_Contains(key, state.dot);
    if (has_dot <= 0) return has_dot < 0 ? Split::Error : Split::Plain;
    Ref split = Ref::steal(PyObject_GetAttr(key, state.split));
    if (!split) return Split::Error;
    Ref parts = Ref::steal(PyObject_Call(split.get(), state.split_once_args.get(), nullptr));
    if (!parts) return Split::Error;
    Ref head, rest;
    if (!vo::unpack_pair(parts.get(), head, rest)) return Split::Error;
    out.segments = Ref::steal(PyTuple_Pack(2, head.get(), rest.get()));
    out.opaque = true;
    return out.segments ? Split::Dotted : Split::Error;
}

Split split_key(PyObject* key, DottedKey& out) noexcept {
    if (!PyUnicode_Check(key)) return Split::Plain;
    if (VO_UNLIKELY(!PyUnicode_CheckExact(key)) && !splits_as_str(Py_TYPE(key))) return split_opaque(key, out);
    Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    Py_ssize_t at = PyUnicode_FindChar(key, '.', 0, length, 1);
    if (at == -1) return Split::Plain;
    if (at == -2) return Split::Error;
    bool cacheable = PyUnicode_CheckExact(key) && length <= kSplitCacheKeyLength;
    if (cacheable) {
        if (PyObject* cached = PyDict_GetItemWithError(state.split_cache.get(), key)) {
            out.segments = Ref::borrow(cached);
            return Split::Dotted;
        }
        if (PyErr_Occurred()) return Split::Error;
    }
    // Splitting at every state.dot gives what splitting once per level gives.
    Ref parts = Ref::steal(PyUnicode_Split(key, state.dot, -1));
    if (!parts) return Split::Error;
    out.segments = Ref::steal(PyList_AsTuple(parts.get()));
    if (!out.segments) return Split::Error;
    if (cacheable) {
        // The cache stays out of the collector's sight (a dict holding only
        // untracked values is untracked itself), so that no Python code can
        // find it through `gc.get_referrers` and put something else in it.
        // A tuple of strings cannot be part of a cycle.
        PyObject_GC_UnTrack(out.segments.get());
        if (PyDict_GET_SIZE(state.split_cache.get()) >= kSplitCacheEntries) PyDict_Clear(state.split_cache.get());
        if (PyDict_SetItem(state.split_cache.get(), key, out.segments.get()) < 0) return Split::Error;
    }
    return Split::Dotted;
}

// The part of `key` from segment `index` on: what the level at that depth receives.
Ref rest_of(PyObject* key, const DottedKey& dotted, Py_ssize_t index) noexcept {
    if (dotted.opaque) return Ref::borrow(dotted.segment(1));
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i < index; ++i) start += PyUnicode_GET_LENGTH(dotted.segment(i)) + 1;
    return Ref::steal(PyUnicode_Substring(key, start, PyUnicode_GET_LENGTH(key)));
}

// Hands the rest of a dotted key, from segment `index` on, to a level whose
// own item access is not ours; `op(rest)` is that access.  A failure is
// reported as -1 or Found::Error, whichever `op` returns.
template <class Op>
auto hand_over(PyObject* key, const DottedKey& dotted, Py_ssize_t index, const char* where, Op op) noexcept {
    using Result = decltype(op(key));
    static_assert(static_cast<Result>(-1) == static_cast<Result>(Found::Error));
    Ref rest = rest_of(key, dotted, index);
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
    // dict looks `__missing__` up on the class only, as a special method.
    Ref missing;
    Found has_missing = vo::special_method(self, state.missing, missing);
    if (has_missing != Found::Yes) return has_missing;
    value = Ref::steal(PyObject_CallOneArg(missing.get(), key));
    return value ? Found::Yes : Found::Error;
}

// --- item access ----------------------------------------------------------------------

// self[key] through the class's own item read, KeyError taken as Found::No.
Found foreign_read(PyObject* self, PyObject* key, Ref& value) noexcept {
    value = Ref::steal(PyObject_GetItem(self, key));
    if (value) return Found::Yes;
    return vo::clear_key_error() ? Found::No : Found::Error;
}

// Where a walk over the levels fails, `depth` tells how many levels below
// `self` it had entered: the level-by-level definition would have called the
// method once more for each, and the caller adds their traceback entries.

enum class Walk { Reached, Missing, Foreign, Error };

// Follows the segments of `dotted` before the last, from `self`, for as long
// as each level found is one whose operation `ours` is NestedPointel's own.
// Reached: `level` holds the last segment.  Missing: segment `depth` is not
// in its level.  Foreign: `level` is a value whose own operation receives the
// rest of the key from segment `depth + 1` on.  `WithMissing` reads each
// head as dict.__getitem__ does (a subclass's `__missing__` answers); without
// it, as `in` does.  Each level is held before its class is looked at: the
// lookup may run code that removes it from the level above.  Inlined into
// each walk, as the loop it replaces was.
template <bool Traits::* Ours, bool WithMissing>
[[gnu::always_inline]] inline Walk walk_levels(PyObject* self, const DottedKey& dotted, Ref& level,
                                               Py_ssize_t& depth) noexcept {
    Py_ssize_t last = dotted.last();
    level = Ref::borrow(self);
    for (Py_ssize_t i = 0; i < last; ++i) {
        depth = i;
        Ref next;
        Found found = WithMissing ? dict_read(level.get(), dotted.segment(i), next)
                                  : vo::outcome<Found>(vo::compat::dict_get_ref(level.get(), dotted.segment(i), next));
        if (found != Found::Yes) return found == Found::No ? Walk::Missing : Walk::Error;
        bool walk_on = dotted.walkable() && traits_of(next.get()).*Ours;
        level = std::move(next);
        if (!walk_on) return Walk::Foreign;
    }
    depth = last;
    return Walk::Reached;
}

// self[key]; on Found::No, `missing` is the key that was not found.
Found nested_lookup(PyObject* self, PyObject* key, Ref& value, Ref& missing, Py_ssize_t& depth) noexcept {
    DottedKey dotted;
    Split split = split_key(key, dotted);
    if (split == Split::Error) return Found::Error;
    if (split == Split::Plain) {
        Found found = dict_read(self, key, value);
        if (found == Found::No) missing = Ref::borrow(key);
        return found;
    }
    Ref level;
    switch (walk_levels<&Traits::getitem, true>(self, dotted, level, depth)) {
        case Walk::Reached:
            break;
        case Walk::Missing:
            missing = Ref::borrow(dotted.segment(depth));
            return Found::No;
        case Walk::Foreign:
            return hand_over(key, dotted, depth + 1, " while reading a dotted key", [&](PyObject* rest) {
                value = Ref::steal(PyObject_GetItem(level.get(), rest));
                return value ? Found::Yes : Found::Error;
            });
        case Walk::Error:
            return Found::Error;
    }
    PyObject* tail = dotted.segment(depth);
    Found found = dict_read(level.get(), tail, value);
    if (found == Found::No) missing = Ref::borrow(tail);
    return found;
}

Found nested_contains(PyObject* self, PyObject* key, Py_ssize_t& depth) noexcept {
    DottedKey dotted;
    Split split = split_key(key, dotted);
    if (split != Split::Dotted)
        return split == Split::Error ? Found::Error : vo::outcome<Found>(PyDict_Contains(self, key));
    Ref level;
    switch (walk_levels<&Traits::contains, false>(self, dotted, level, depth)) {
        case Walk::Reached:
            return vo::outcome<Found>(PyDict_Contains(level.get(), dotted.segment(depth)));
        case Walk::Missing:
            return Found::No;
        case Walk::Foreign:
            return hand_over(key, dotted, depth + 1, " while testing a dotted key", [&](PyObject* rest) {
                return vo::outcome<Found>(PySequence_Contains(level.get(), rest));
            });
        case Walk::Error:
            break;
    }
    return Found::Error;
}

int nested_delitem(PyObject* self, PyObject* key, Py_ssize_t& depth) noexcept {
    DottedKey dotted;
    Split split = split_key(key, dotted);
    if (split != Split::Dotted) return split == Split::Error ? -1 : PyDict_DelItem(self, key);
    Ref level;
    switch (walk_levels<&Traits::delitem, true>(self, dotted, level, depth)) {
        case Walk::Reached:
            return PyDict_DelItem(level.get(), dotted.segment(depth));
        case Walk::Missing:
            vo::raise_key_error(dotted.segment(depth));
            return -1;
        case Walk::Foreign:
            return hand_over(key, dotted, depth + 1, " while deleting a dotted key",
                             [&](PyObject* rest) { return PyObject_DelItem(level.get(), rest); });
        case Walk::Error:
            break;
    }
    return -1;
}

int nested_setitem(PyObject* self, PyObject* key, PyObject* value, Env& env, Py_ssize_t& depth) noexcept;

// self[key] = value through the class's own item assignment.
int set_item(PyObject* self, PyObject* key, PyObject* value, Env& env) noexcept {
    if (!traits_of(self).setitem) return PyObject_SetItem(self, key, value);
    Py_ssize_t depth = 0;
    if (VO_LIKELY(nested_setitem(self, key, value, env, depth) == 0)) return 0;
    VO_TRACE_AS_TIMES("NestedPointel.__setitem__", depth + 1);
    return -1;
}

// Whether `cls()` may be replaced by allocating the empty instance directly.
bool construct_is_plain(PyTypeObject* type, const Traits& traits, Env& env) noexcept {
    if (!traits.construct || Py_TYPE(type)->tp_call != PyType_Type.tp_call) return false;
    // __init__ runs update(), which consults the module's Mapping and itertools.
    return env.names_real();
}

// type(self)()
Ref new_level(PyTypeObject* type, bool plain) noexcept {
    if (plain) return Ref::steal(type->tp_new(type, state.empty_tuple.get(), nullptr));
    return Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(type)));
}

// self.setdefault(key, type(self)())
//
// Re-entrancy: the item read runs `__missing__`, a key's `__eq__` or the
// collector, any of which may reassign `self.__class__` and free the class
// the fresh level is made of; that class is held from the start, since
// `type(self)()` is evaluated before setdefault runs.  `self` and `key` are
// the caller's.
Ref setdefault_level(PyObject* self, PyObject* key, Env& env) noexcept {
    Ref type = Ref::borrow(Py_TYPE(self));
    Traits traits = traits_of(type.type_ptr());
    bool plain = construct_is_plain(type.type_ptr(), traits, env);
    if (!traits.setdefault) {
        Ref fresh = new_level(type.type_ptr(), plain);
        if (!fresh) return nullptr;
        return Ref::steal(PyObject_CallMethodObjArgs(self, state.setdefault, key, fresh.get(), nullptr));
    }
    // The fresh instance comes first, as the argument of setdefault; when
    // making it has no effect of its own, it is made only if it is stored.
    Ref fresh;
    if (!plain) {
        fresh = new_level(type.type_ptr(), false);
        if (!fresh) return nullptr;
    }
    // MutableMapping.setdefault: return self[key]; on KeyError store the
    // default.  Making the fresh instance ran the class's code, which may
    // have changed how `self[key]` reads.
    // Which read runs is decided once: the class's facts are not read again
    // with the read's error pending (finding them may clear errors).
    Ref value, missing;
    Py_ssize_t depth = 0;
    bool native_read = plain || traits_of(self).getitem;
    Found found = native_read ? nested_lookup(self, key, value, missing, depth) : foreign_read(self, key, value);
    switch (found) {
        case Found::Yes:
            return value;
        case Found::Error:
            if (vo::clear_key_error()) break;
            // Left through the item read; setdefault itself is not the package's.
            if (native_read) VO_TRACE_AS_TIMES("NestedPointel.__getitem__", depth + 1);
            return nullptr;
        case Found::No:
            break;
    }
    if (!fresh) {
        fresh = new_level(type.type_ptr(), true);
        if (!fresh) return nullptr;
    }
    if (set_item(self, key, fresh.get(), env) < 0) return nullptr;
    return fresh;
}

int raise_value_in_the_way(PyObject* head, PyObject* type) noexcept {
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
    if (!name) return -1;
    vo::raise_concat(PyExc_KeyError, {"target key ", "\"", head, "\"",
                                      " is a value, cannot update value against another ", name.get()});
    return -1;
}

// Re-entrancy: setdefault may run any code (see setdefault_level), so the
// class that the found level must be an instance of is `type(level)` as it is
// after the call, held while isinstance() runs; levels and segments are held.
int nested_setitem(PyObject* self, PyObject* key, PyObject* value, Env& env, Py_ssize_t& depth) noexcept {
    DottedKey dotted;
    Split split = split_key(key, dotted);
    if (split != Split::Dotted) return split == Split::Error ? -1 : PyDict_SetItem(self, key, value);
    Py_ssize_t last = dotted.last();
    Ref level = Ref::borrow(self);
    for (Py_ssize_t i = 0; i < last; ++i) {
        PyObject* head = dotted.segment(i);
        Ref next = setdefault_level(level.get(), head, env);
        if (!next) return depth = i, -1;
        Ref type = Ref::borrow(Py_TYPE(level.get()));
        int is_level = PyObject_IsInstance(next.get(), type.get());
        if (is_level <= 0) return depth = i, is_level < 0 ? -1 : raise_value_in_the_way(head, type.get());
        if (dotted.walkable() && traits_of(next.get()).setitem) {
            level = std::move(next);
            continue;
        }
        depth = i;
        return hand_over(key, dotted, i + 1, " while writing a dotted key",
                         [&](PyObject* rest) { return PyObject_SetItem(next.get(), rest, value); });
    }
    depth = last;
    return PyDict_SetItem(level.get(), dotted.segment(last), value);
}

// --- update -----------------------------------------------------------------------------

int update_impl(PyObject* self, PyObject* source, PyObject* const* kwvalues, PyObject* kwnames, Env& env) noexcept;

// sub.update(value), for the level that setdefault returned.
int update_level(PyObject* sub, PyObject* value, Env& env) noexcept {
    vo::RecursionGuard guard(" while merging a nested mapping");
    if (!guard.ok()) return -1;
    if (traits_of(sub).update) {
        if (VO_LIKELY(update_impl(sub, value, nullptr, nullptr, env) == 0)) return 0;
        VO_TRACE_AS("NestedPointel.update");
        return -1;
    }
    Ref result = Ref::steal(PyObject_CallMethodOneArg(sub, state.update, value));
    return result ? 0 : -1;
}

// One (key, value) of the merged source.
int merge_pair(PyObject* self, PyObject* key, PyObject* value, Env& env) noexcept {
    Is is_mapping = env.is_mapping(value);
    if (is_mapping == Is::Error) return -1;
    if (is_mapping == Is::No) return set_item(self, key, value, env);
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
//
// Re-entrancy: every merged pair runs code (item writes, `__eq__` of keys,
// typecast in subclasses) that may change `source`; the walk holds it and
// hands out each key and value held, and its size check catches the change
// as dict's iterator would.
int merge_dict(PyObject* self, PyObject* source, Py_ssize_t& position, Env& env) noexcept {
    vo::DictWalk walk(source);
    Ref key, value;
    while (true) {
        switch (walk.next(key, value)) {
            case vo::Step::Item:
                if (merge_pair(self, key.get(), value.get(), env) < 0) return -1;
                ++position;
                break;
            case vo::Step::End:
                return 0;
            case vo::Step::Error:
                return -1;
        }
    }
}

int update_impl(PyObject* self, PyObject* source, PyObject* const* kwvalues, PyObject* kwnames, Env& env) noexcept {
    Ref iterable = Ref::borrow(source ? source : state.empty_tuple.get());
    Is is_mapping = env.is_mapping(iterable.get());
    if (is_mapping == Is::Error) return -1;
    bool dict_in_place = false;
    if (is_mapping == Is::Yes) {
        dict_in_place = PyDict_Check(iterable.get()) &&
                        vo::compat::type_lookup(Py_TYPE(iterable.get()), state.items) == state.dict_items.get();
        if (!dict_in_place) {
            iterable = Ref::steal(PyObject_CallMethodNoArgs(iterable.get(), state.items));
            if (!iterable) return -1;
        }
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t position = 0;
    if (!env.names_real()) {
        vo::count_general_path(state.update_names.shared(), vo::GeneralPath::PointelChain);
        Ref chain = env.chain();
        if (!chain) return -1;
        // itertools.chain(iterable, kwargs.items()) with the module's own names.
        if (dict_in_place) {
            iterable = Ref::steal(PyObject_CallMethodNoArgs(iterable.get(), state.items));
            if (!iterable) return -1;
        }
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs) return -1;
        for (Py_ssize_t i = 0; i < nkw; ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), kwvalues[i]) < 0) return -1;
        Ref kwitems = Ref::steal(PyObject_CallMethodNoArgs(kwargs.get(), state.items));
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
    // Held: the caller's array may be lent from storage that the code run
    // here can free (the items of a functools.partial's `args`).
    vo::HeldArgs held(args, nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
    if (!held.ok()) return VO_FAIL();
    args = held.get();
    // Pointel initialisation with no arguments: dict.__init__() changes nothing,
    // so only a different class next in the MRO needs calling.
    Traits traits = traits_of(self);
    if (!traits.init_next) {
        Ref bound = vo::super_attribute(self, state.nested_pointel.get(), state.init);
        if (!bound) return VO_FAIL();
        Ref result = Ref::steal(PyObject_CallNoArgs(bound.get()));
        if (!result) return VO_FAIL();
        // That initialiser may have changed the class or replaced `update`,
        // which is looked up only now.
        traits = traits_of(self);
    }
    if (traits.update) {
        Env env;
        // update() with nothing to merge has no effect while the names it consults are the real ones.
        if (nargs == 0 && !kwnames && env.names_real()) Py_RETURN_NONE;
        if (VO_LIKELY(check_update_arity(nargs) &&
                      update_impl(self, nargs ? args[0] : nullptr, args + nargs, kwnames, env) == 0))
            Py_RETURN_NONE;
        // Raised inside update(), which this runs as `self.update(*args, **kwargs)`.
        VO_TRACE_AS("NestedPointel.update");
        return VO_FAIL();
    }
    Ref update = Ref::steal(PyObject_GetAttr(self, state.update));
    if (!update) return VO_FAIL();
    Ref result = Ref::steal(PyObject_Vectorcall(update.get(), args, static_cast<size_t>(nargs), kwnames));
    if (!result) return VO_FAIL();
    Py_RETURN_NONE;
}

// Item access is reached both through the methods (`obj.__getitem__(key)`,
// subclasses) and, for NestedPointel itself, straight through its C slots:
// the slot functions (`np_<slot>`) do the work, and each item method
// (`np_<method>_method`) puts them in its class's slot and calls them.

// Whether the exact str `key` is certainly a plain key: one byte per
// character and no dot.  A short key is scanned in place (a call to memchr
// costs more than the scan); false when unsure, which only means the
// general path splits the key.
bool is_plain_narrow_key(PyObject* key) noexcept {
    if (PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND) return false;
    const Py_UCS1* text = PyUnicode_1BYTE_DATA(key);
    Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    if (length > 16) return !memchr(text, '.', static_cast<size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i)
        if (text[i] == '.') return false;
    return true;
}

// Everything but a plain key that is present: dotted keys, a missing key
// (`__missing__`, the KeyError), keys of other types.  `looked_up` tells
// that `key` was looked up at the dict level already, perhaps with an error.
[[gnu::noinline]] PyObject* np_subscript_general(PyObject* self, PyObject* key, bool looked_up) noexcept {
    VO_METHOD("NestedPointel.__getitem__");
    if (looked_up && PyErr_Occurred()) return VO_FAIL();
    Ref value, missing;
    Py_ssize_t depth = 0;
    switch (nested_lookup(self, key, value, missing, depth)) {
        case Found::Yes:
            return value.release();
        case Found::No:
            vo::raise_key_error(missing.get());
            // get() and setdefault() catch it whatever happens.
            if (vo::called_from(state.catcher_codes, 2)) return nullptr;
            break;
        case Found::Error:
            break;
    }
    VO_TRACE_AS_TIMES("NestedPointel.__getitem__", depth);
    return VO_FAIL();
}

// The usual read, a plain str key that is present, is dict's own lookup and
// nothing else, kept small enough that the compiler adds no frame to it.
PyObject* np_subscript(PyObject* self, PyObject* key) {
    if (VO_LIKELY(PyUnicode_CheckExact(key)) && is_plain_narrow_key(key)) {
        if (PyObject* v = PyDict_GetItemWithError(self, key)) return Py_NewRef(v);
        return np_subscript_general(self, key, true);
    }
    return np_subscript_general(self, key, false);
}

int np_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    Py_ssize_t depth = 0;
    if (!value) {
        VO_METHOD("NestedPointel.__delitem__");
        if (VO_LIKELY(nested_delitem(self, key, depth) == 0)) return 0;
        VO_TRACE_AS_TIMES("NestedPointel.__delitem__", depth);
        return VO_FAIL_INT();
    }
    VO_METHOD("NestedPointel.__setitem__");
    Env env;
    if (VO_LIKELY(nested_setitem(self, key, value, env, depth) == 0)) return 0;
    VO_TRACE_AS_TIMES("NestedPointel.__setitem__", depth);
    return VO_FAIL_INT();
}

int np_contains(PyObject* self, PyObject* key) {
    VO_METHOD("NestedPointel.__contains__");
    Py_ssize_t depth = 0;
    Found found = nested_contains(self, key, depth);
    if (VO_LIKELY(found != Found::Error)) return found == Found::Yes;
    VO_TRACE_AS_TIMES("NestedPointel.__contains__", depth);
    return VO_FAIL_INT();
}

PyObject* np_getitem_method(PyObject* self, PyObject* key) noexcept {
    state.subscript_slot.adopt(Py_TYPE(self));
    return np_subscript(self, key);
}

PyObject* np_setitem_method(PyObject* self, PyObject* key, PyObject* value) noexcept {
    state.assign_slot.adopt(Py_TYPE(self));
    if (np_ass_subscript(self, key, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* np_contains_method(PyObject* self, PyObject* key) noexcept {
    state.contains_slot.adopt(Py_TYPE(self));
    int found = np_contains(self, key);
    if (found < 0) return nullptr;
    return PyBool_FromLong(found);
}

PyObject* np_delitem_method(PyObject* self, PyObject* key) noexcept {
    state.assign_slot.adopt(Py_TYPE(self));
    if (np_ass_subscript(self, key, nullptr) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* np_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("NestedPointel.update");
    if (!vo::reject_self_keyword("NestedPointel.update", kwnames)) return VO_FAIL();
    if (!check_update_arity(nargs)) return VO_FAIL();
    vo::HeldArgs held(args, nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
    if (!held.ok()) return VO_FAIL();
    args = held.get();
    Env env;
    if (update_impl(self, nargs ? args[0] : nullptr, args + nargs, kwnames, env) < 0) return VO_FAIL();
    Py_RETURN_NONE;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// The methods carry their signatures and no other documentation.
PyMethodDef item_methods[] = {
    {"__init__", VO_CFUNC(np_init), kFast, "__init__($self, *args, **kwargs)\n--\n\n"},
    {"__getitem__", VO_CFUNC((vo::method<sig_getitem, np_getitem_method>)), kFast, sig_getitem.doc()},
    {"__setitem__", VO_CFUNC((vo::method<sig_setitem, np_setitem_method>)), kFast, sig_setitem.doc()},
    {"__contains__", VO_CFUNC((vo::method<sig_contains, np_contains_method>)), kFast, sig_contains.doc()},
    {"__delitem__", VO_CFUNC((vo::method<sig_delitem, np_delitem_method>)), kFast, sig_delitem.doc()},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef update_methods[] = {
    {"update", VO_CFUNC(np_update), kFast, "update($self, *args, **kwargs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// `cls.__dict__[name]`, kept.
bool keep_own(Kept& kept, PyObject* cls, const char* name) noexcept { return kept.set(vo::own_attribute(cls, name)); }

}  // namespace

Ref make_nested_pointel(PyObject* module) noexcept {
    // What is read from the imported modules is read before the class
    // exists, and the names its methods check are watched by then: reading
    // may run code (the modules imported may be anyone's) that could reach
    // the class through the collector and use it half set up.
    Ref mutable_mapping = vo::global(vo::intern("MutableMapping"));
    if (!mutable_mapping) return nullptr;
    // dict comes before MutableMapping in the MRO; these three are taken from
    // the mixin so that they work through the class's own item access.
    constexpr const char* kMixins[] = {"get", "pop", "setdefault"};
    Ref mixins[3];
    for (int k = 0; k < 3; ++k)
        if (!(mixins[k] = Ref::steal(PyObject_GetAttrString(mutable_mapping.get(), kMixins[k])))) return nullptr;
    // pop() re-raises the KeyError when it has no default, so it is not among them.
    int catcher = 0;
    for (int k : {0, 2}) {
        if (!state.catchers[catcher].set(Ref::steal(PyObject_GetAttrString(mixins[k].get(), "__code__"))))
            return nullptr;
        state.catcher_codes[catcher] = state.catchers[catcher].get();
        ++catcher;
    }
    PyObject* globals = vo::module_globals();
    if (!state.mapping_check.init(globals, state.mapping)) return nullptr;
    if (!state.real_itertools.set(vo::global(state.itertools)) ||
        !state.real_chain.set(Ref::steal(PyObject_GetAttr(state.real_itertools.get(), state.chain))))
        return nullptr;
    PyObject* itertools_dict = PyModule_GetDict(state.real_itertools.get());
    if (!itertools_dict) return nullptr;  // no module
    if (!state.split_cache.set(Ref::steal(PyDict_New())) ||
        !state.split_once_args.set(Ref::steal(Py_BuildValue("(si)", ".", 1))))
        return nullptr;
    if (!state.update_names.init({{globals, state.itertools, state.real_itertools.get()},
                                  {itertools_dict, state.chain, state.real_chain.get()}}))
        return nullptr;

    Ref bases = Ref::steal(PyTuple_Pack(2, state.pointel.get(), mutable_mapping.get()));
    if (!bases) return nullptr;
    Ref cls = vo::class_from_metaclass(module, "NestedPointel", bases.get(), nullptr, vo::InstanceLayout::NoSlots);
    if (!cls || !vo::install_methods(module, cls.get(), item_methods)) return nullptr;
    for (int k = 0; k < 3; ++k)
        if (!vo::set_class_attribute(cls.get(), kMixins[k], mixins[k].get())) return nullptr;
    if (!vo::install_methods(module, cls.get(), update_methods)) return nullptr;

    PyObject* pointel_cls = state.pointel.get();
    PyObject* str_cls = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    PyObject* dict_cls = reinterpret_cast<PyObject*>(&PyDict_Type);
    if (!keep_own(state.d_getitem, cls.get(), "__getitem__") || !keep_own(state.d_setitem, cls.get(), "__setitem__") ||
        !keep_own(state.d_delitem, cls.get(), "__delitem__") ||
        !keep_own(state.d_contains, cls.get(), "__contains__") || !keep_own(state.d_update, cls.get(), "update") ||
        !keep_own(state.d_init, cls.get(), "__init__") || !keep_own(state.mm_setdefault, cls.get(), "setdefault") ||
        !keep_own(state.d_pointel_init, pointel_cls, "__init__") || !keep_own(state.dict_items, dict_cls, "items") ||
        !keep_own(state.str_contains, str_cls, "__contains__") || !keep_own(state.str_split, str_cls, "split"))
        return nullptr;
    auto* type = cls.type_ptr();
    if (!state.subscript_slot.install(type, vo::SlotId::Subscript, reinterpret_cast<void*>(np_subscript),
                                      {"__getitem__"}) ||
        !state.assign_slot.install(type, vo::SlotId::AssignSubscript, reinterpret_cast<void*>(np_ass_subscript),
                                   {"__setitem__", "__delitem__"}) ||
        !state.contains_slot.install(type, vo::SlotId::Contains, reinterpret_cast<void*>(np_contains),
                                     {"__contains__"}))
        return nullptr;
    return cls;
}

}  // namespace pointel
