// vestri.ondrel.vapora: a list that holds weak references to its elements.
//
// Vapora is made by abc.ABCMeta over collections.UserList, as a class
// statement would make it, and its methods are installed afterwards.  Its
// state is the base's ordinary instance attribute `data`: a list with one
// weak reference per element, each made with a callback that removes that
// very entry when its referent dies.  Every read calls the reference.
//
// What a reader would not guess:
//  - The callback is not the bound `remove`, which would make every
//    non-empty Vapora a reference cycle with its own references, freed only
//    by the cycle collector.  It is a WeakCall (common/weakcall.hpp): it
//    holds the Vapora weakly and calls `remove` on it when a referent dies,
//    so a subclass's `remove` is still the one called, and an unreachable
//    Vapora is freed at once by reference counting.  All the references of
//    one Vapora share one WeakCall (a write reuses the one the last write
//    used, or the one its last entry carries).
//  - Each "base operation" is done on `data` directly while the method that
//    super() finds after Vapora is UserList's own and `data` is an exact
//    list; otherwise that method is called as written.  Likewise
//    `weakref.ref` is called directly only while the module's `weakref` and
//    its `ref` and `ReferenceType` are the real ones.
//  - Lookups compare each stored reference with the probe reference as the
//    weakref type would (a live referent by its own `==`, a dead reference
//    only to itself) without a call through that type per entry; referents
//    whose classes keep object's own comparison compare by identity.
//  - An element may die in the middle of any operation (inside a user
//    `__eq__`, a key function, or a collection triggered by an allocation);
//    its callback then removes its entry from `data`.  Every walk over
//    `data` therefore holds the entry it looks at and re-reads the length at
//    each step, as the list type's own methods do.  Iteration goes on by
//    position over the shortened list.  Only while list.sort runs does the
//    list look empty; Vapora.sort takes out the entries of elements that
//    died meanwhile when it is over.
//  - A write reads `data` only once the user code it runs is over (the
//    input's iteration, the collections that making references can start)
//    and stores into the list it finds then, as `self.data.extend(...)`
//    would.  Until then its references gather in a new list that shows only
//    what it holds, should that code reach it through the collector.
//  - Where UserList would act on `data` itself in a way that shows or shares
//    the references (repetition, right-hand addition, copy.copy, ordering),
//    Vapora acts on the elements instead.
//  - Work that stands in for another method, run here in C++ rather than
//    through the class, adds that method's traceback entry where it fails,
//    as the nested Python frame would: the steps of the native iterator
//    (`__iter__`, a generator method), a slice's construction (`__init__`)
//    and the sort key (a lambda inside `sort`).
#include "common/args.hpp"
#include "common/bindings.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/guard.hpp"
#include "common/iterator.hpp"
#include "common/kept.hpp"
#include "common/module.hpp"
#include "common/repr.hpp"
#include "common/typecache.hpp"
#include "common/vector.hpp"
#include "common/weakcall.hpp"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace vapora {
namespace {

using vo::Ref;

// The methods of UserList that Vapora's methods hand their work to.
enum Base : unsigned {
    kInit,
    kContains,
    kGetitem,
    kSetitem,
    kIadd,
    kRemove,
    kAppend,
    kIndex,
    kCount,
    kPop,
    kInsert,
    kExtend,
    kSort,
    kBaseCount
};
constexpr const char* kBaseNames[kBaseCount] = {"__init__", "__contains__", "__getitem__", "__setitem__", "__iadd__",
                                                "remove",   "append",       "index",       "count",       "pop",
                                                "insert",   "extend",       "sort"};

struct State {
    // Interned names (borrowed: they live for the process).
    PyObject *data, *new_, *remove, *weakref, *ref, *reference_type_name, *vapora, *extend, *sort, *pop, *insert, *name;
    PyObject* base_names[kBaseCount];
    // Kept for the process.
    vo::Kept cls;                         // Vapora
    vo::Kept weakref_module;              // the real weakref module
    vo::Kept reference_type;              // weakref.ReferenceType (also weakref.ref)
    vo::Kept base_originals[kBaseCount];  // UserList's own functions
    vo::Kept reverse_slice;               // slice(None, None, -1)
    vo::Kept sort_kwnames;                // ("key", "reverse")
    vo::Kept last_callback;               // the WeakCall of the last write (see callback_for)
    // `weakref`, `weakref.ref` and `weakref.ReferenceType` are the real ones.
    vo::Binding weakref_names;
};
State S;

PyTypeObject* vapora_type() noexcept { return reinterpret_cast<PyTypeObject*>(S.cls.get()); }

// --- what a class does with `data` ----------------------------------------------------------

// What a class does with `data`: bit b set when super(Vapora, obj).<kBaseNames[b]>
// is UserList's own; kPlainData when `obj.data` is an ordinary instance attribute.
struct Traits {
    unsigned int bits = 0;
};
constexpr unsigned int kPlainData = 1u << kBaseCount;

vo::TypeCache<Traits, 16> g_traits;

void compute_traits(PyTypeObject* type, Traits& t) noexcept {
    for (unsigned b = 0; b < kBaseCount; ++b) {
        Ref found = vo::super_lookup(type, S.cls.get(), S.base_names[b]);
        if (found.get() == S.base_originals[b].get()) t.bits |= 1u << b;
    }
    if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_setattro == PyObject_GenericSetAttr &&
        !vo::compat::type_lookup(type, S.data))
        t.bits |= kPlainData;
    if (PyErr_Occurred()) PyErr_Clear();  // a failed check just means "not ours"
}

inline unsigned int traits_of(PyObject* obj) noexcept { return g_traits.get(Py_TYPE(obj), compute_traits).bits; }

// Whether base operation `b` may be done on an exact-list `data` directly.
inline bool direct(unsigned int traits, Base b) noexcept {
    unsigned int need = kPlainData | (1u << b);
    return (traits & need) == need;
}

Ref get_data(PyObject* self) noexcept { return Ref::steal(PyObject_GetAttr(self, S.data)); }

// `data` as the instance dictionary holds it, when it is an exact list and
// an ordinary attribute (read there, it skips the generic lookup's search of
// the class); else empty, without an exception.  Runs no Python code.
inline Ref exact_data(PyObject* self, unsigned int traits) noexcept {
    if (!(traits & kPlainData)) return nullptr;
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    Ref data;
    if (!dict || vo::compat::dict_get_ref(dict.get(), S.data, data) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    if (!PyList_CheckExact(data.get())) return nullptr;
    return data;
}

// `data` when the base operation `b` may be done on it directly: an exact
// list reached through an ordinary attribute.  Empty, without an exception,
// when the operation must go through the base method (which then reports
// any error of its own, in its own order).  A write reads it after the
// user code it runs (an iterable's `__next__`, a collection's finalizers),
// which may have rebound it: the entries go where `self.data` is then.
Ref direct_data(PyObject* self, Base b) noexcept {
    unsigned int traits = traits_of(self);
    if (!direct(traits, b)) return nullptr;
    return exact_data(self, traits);
}

// Whether `list` is in the middle of list.sort, which shows it empty until
// the end (it marks that time with an allocation of -1).
bool being_sorted(PyObject* list) noexcept { return vo::compat::list_being_sorted(list); }

// `super(Vapora, self).<method>(*args)`, with `nkw` trailing arguments
// passed by the names in `kwnames`.
Ref call_base(PyObject* self, Base b, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) noexcept {
    Ref method = vo::super_attribute(self, S.cls.get(), S.base_names[b]);
    if (!method) return nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref::steal(PyObject_Vectorcall(method.get(), args.begin(), static_cast<size_t>(args.size()) - nkw, kwnames));
}

// --- references ---------------------------------------------------------------------------

// `weakref.<name>`, with the module's `weakref` as bound now.
Ref weakref_attribute(PyObject* name) noexcept {
    Ref module = vo::global(S.weakref);
    if (!module) return nullptr;
    return Ref::steal(PyObject_GetAttr(module.get(), name));
}

// `weakref.ref(element, callback)`, or `weakref.ref(element)` for a probe.
Ref make_ref(PyObject* element, PyObject* callback) noexcept {
    if (VO_LIKELY(S.weakref_names.holds())) return Ref::steal(PyWeakref_NewRef(element, callback));
    Ref factory = weakref_attribute(S.ref);
    if (!factory) return nullptr;
    if (callback) return Ref::steal(PyObject_CallFunctionObjArgs(factory.get(), element, callback, nullptr));
    return Ref::steal(PyObject_CallOneArg(factory.get(), element));
}

// `isinstance(item, weakref.ReferenceType)`: 1, 0, or -1 on error.
int is_reference(PyObject* item) noexcept {
    if (VO_LIKELY(S.weakref_names.holds())) {
        if (PyWeakref_CheckRef(item)) return 1;
        return PyObject_IsInstance(item, S.reference_type.get());
    }
    Ref type = weakref_attribute(S.reference_type_name);
    if (!type) return -1;
    return PyObject_IsInstance(item, type.get());
}

// What an entry of `data` reads as: its referent, or None once that is dead.
// An entry that is not a plain reference is called as it is (pinned, as it
// may be borrowed from `data`, which the call can change).
Ref call_entry(PyObject* entry) noexcept {
    if (VO_LIKELY(PyWeakref_CheckRefExact(entry))) {
        PyObject* obj = vo::compat::weakref_referent_borrowed(entry);
        return Ref::borrow(obj ? obj : Py_None);
    }
    Ref pin = Ref::borrow(entry);
    return Ref::steal(PyObject_CallNoArgs(entry));
}

// Whom a write is for: an instance that may hold entries already, or one
// being made, whose `data` is not there yet.
enum class Target { Existing, New };

// The callback for new entries of `self`: the one its last write used, or
// the one the last entry of its `data` carries, else a new one.  The module
// keeps the last one used: a WeakCall names its Vapora through a weak
// reference, so it can match no other object, even one at the same address.
Ref callback_for(PyObject* self, Target target) noexcept {
    PyObject* last = S.last_callback.get();
    if (VO_LIKELY(vo::is_weakcall_of(last, self, S.remove))) return Ref::borrow(last);
    Ref callback;
    if (target == Target::Existing) {
        if (Ref data = exact_data(self, traits_of(self))) {
            Py_ssize_t n = PyList_GET_SIZE(data.get());
            PyObject* entry = n > 0 ? PyList_GET_ITEM(data.get(), n - 1) : nullptr;
            if (entry && PyWeakref_CheckRef(entry) &&
                vo::is_weakcall_of(vo::compat::weakref_callback(entry), self, S.remove))
                callback = Ref::borrow(vo::compat::weakref_callback(entry));
        }
    }
    if (!callback && !(callback = vo::weakcall_new(self, S.remove))) return nullptr;
    S.last_callback.set(callback);
    return callback;
}

// Makes the stored references of one write; the callback is made on first need.
//
// Re-entrancy: iterating the input runs user code, and making a reference
// can run a collection (finalizers, callbacks of dying elements); either may
// change this instance, rebind its `data` or clear any list it can reach.
// So nothing of the instance is read here, and the list that gathers the
// references holds each one it shows.
class Wrapper {
public:
    explicit Wrapper(PyObject* self, Target target = Target::Existing) noexcept : self_(self), target_(target) {}

    Ref wrap(PyObject* element) noexcept {
        if (!callback_ && !(callback_ = callback_for(self_, target_))) return nullptr;
        return make_ref(element, callback_.get());
    }

    // The references for every element of `items`, in its iteration order,
    // in a new list; nothing is made to last when one element fails.
    Ref wrap_all(PyObject* items) noexcept {
        if (PyList_CheckExact(items) || PyTuple_CheckExact(items)) {
            // Walked by position as its iterator would walk it: the length
            // is read at each step (a collection's finalizers may change a
            // list), each element held while it is wrapped.
            Ref pin = Ref::borrow(items);
            Ref refs = vo::compat::list_with_room(Py_SIZE(items));
            if (!refs) return nullptr;
            for (Py_ssize_t i = 0; i < Py_SIZE(items); ++i) {
                Ref element = Ref::borrow(PySequence_Fast_ITEMS(items)[i]);
                Ref ref = wrap(element.get());
                if (!ref || !vo::compat::list_append(refs.get(), std::move(ref))) return nullptr;
            }
            return refs;
        }
        Ref it = Ref::steal(PyObject_GetIter(items));
        if (!it) return nullptr;
        Ref refs = Ref::steal(PyList_New(0));
        if (!refs) return nullptr;
        while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
            Ref ref = wrap(element.get());
            if (!ref || !vo::compat::list_append(refs.get(), std::move(ref))) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        return refs;
    }

    // The references for `elements`, in a new list (the caller keeps the
    // elements alive until the list is stored).
    Ref wrap_each(const std::vector<Ref>& elements) noexcept {
        Ref refs = vo::compat::list_with_room(static_cast<Py_ssize_t>(elements.size()));
        if (!refs) return nullptr;
        for (const Ref& element : elements) {
            Ref ref = wrap(element.get());
            if (!ref || !vo::compat::list_append(refs.get(), std::move(ref))) return nullptr;
        }
        return refs;
    }

private:
    PyObject* self_;  // the instance written to, held by the caller
    Target target_;
    Ref callback_;
};

// --- comparing entries with a probe -----------------------------------------------------------

// object's own comparison, which answers equality by identity alone.
richcmpfunc g_object_compare = nullptr;

inline bool compares_by_identity(PyObject* obj) noexcept { return Py_TYPE(obj)->tp_richcompare == g_object_compare; }

// `a == b` for two live referents, as the weakref type compares them (its
// comparison has no identity shortcut at this level).  `a` and `b` may be
// borrowed: both are pinned before the comparison, which can run Python code.
[[gnu::noinline]] int referents_compare(PyObject* a, PyObject* b) noexcept {
    Ref pin_a = Ref::borrow(a), pin_b = Ref::borrow(b);
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

// What a lookup compares the entries of `data` with: `entry == probe`, where
// the probe is `weakref.ref(item)`, or a reference the caller gave (`remove`).
//
// For an element, no probe is made while `weakref.ref` is the real one: the
// probe would be the element's basic reference (the one reference without a
// callback that `weakref.ref(item)` hands out again), so an entry is the
// probe exactly when it is a plain reference to the element without a
// callback; any other live entry compares its referent with the element.
// The probe is made on demand where an entry is no plain reference, for the
// base methods and for error messages.
class Probe {
public:
    // For `item`; false with the TypeError of weakref.ref when it cannot be
    // weakly referenced.
    bool for_element(PyObject* item) noexcept {
        if (VO_LIKELY(S.weakref_names.holds())) {
            if (VO_UNLIKELY(Py_TYPE(item)->tp_weaklistoffset == 0)) return !!reference_to(item);
            item_ = item;
            item_by_identity_ = compares_by_identity(item);
            return true;
        }
        return !!reference_to(item);
    }
    // For a reference the caller gave.
    void for_reference(PyObject* reference) noexcept { set_reference(Ref::borrow(reference)); }

    // The probe reference, made now if need be.
    PyObject* reference() noexcept {
        if (!ref_ && item_) {
            ran_code_ = true;  // an allocation: the collector may run
            reference_to(item_);
        }
        return ref_.get();
    }

    // Whether a comparison so far may have run Python code (which may have
    // changed or rebound `data`).
    bool ran_code() const noexcept { return ran_code_; }

    // `entry == probe`: 1, 0, or -1 on error.  `entry` may be borrowed from
    // `data`; it is pinned before any comparison that can run Python code.
    int matches(PyObject* entry) noexcept {
        if (VO_LIKELY(PyWeakref_CheckRefExact(entry))) {
            if (item_) {
                PyObject* obj = vo::compat::weakref_referent_borrowed(entry);
                if (!obj) return 0;  // a dead reference equals only itself
                if (obj == item_ && !vo::compat::weakref_callback(entry)) return 1;  // the probe itself
                if (item_by_identity_ && compares_by_identity(obj)) return obj == item_;
                ran_code_ = true;
                int equal = referents_compare(obj, item_);
                // The code that ran may have changed the element's class.
                item_by_identity_ = compares_by_identity(item_);
                return equal;
            }
            if (entry == ref_.get()) return 1;
            if (ref_exact_) {
                PyObject* obj = vo::compat::weakref_referent_borrowed(entry);
                if (!obj || !target_) return 0;
                if (compares_by_identity(obj) && compares_by_identity(target_.get())) return obj == target_.get();
                ran_code_ = true;
                return referents_compare(obj, target_.get());
            }
        }
        ran_code_ = true;
        Ref pin = Ref::borrow(entry);
        PyObject* probe = reference();
        if (!probe) return -1;
        return PyObject_RichCompareBool(entry, probe, Py_EQ);
    }

private:
    PyObject* reference_to(PyObject* item) noexcept {
        Ref made = make_ref(item, nullptr);
        if (!made) return nullptr;
        item_ = nullptr;  // from now on compared as the reference it is
        set_reference(std::move(made));
        return ref_.get();
    }
    void set_reference(Ref reference) noexcept {
        ref_ = std::move(reference);
        ref_exact_ = PyWeakref_CheckRefExact(ref_.get());
        if (ref_exact_) target_ = vo::compat::weakref_referent(ref_.get());
    }

    PyObject* item_ = nullptr;       // the element, borrowed from the caller; NULL once compared by reference
    bool item_by_identity_ = false;  // the element's class keeps object's own `==`
    bool ran_code_ = false;
    Ref ref_;
    Ref target_;  // the referent of a plain probe reference (empty when dead)
    bool ref_exact_ = false;
};

enum class Search { Found, Absent, Error };

// The first position of `data` (an exact list) whose entry matches `probe`.
// Re-entrancy: comparisons may run Python code that changes `data` (an
// element dying removes its entry); the length is read anew at each step
// and the entry compared is pinned, so positions are those of the moment.
Search find_first(PyObject* data, Probe& probe, Py_ssize_t& position) noexcept {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
        int r = probe.matches(PyList_GET_ITEM(data, i));
        if (r < 0) return Search::Error;
        if (r) {
            position = i;
            return Search::Found;
        }
    }
    return Search::Absent;
}

// Vapora.sort calls in progress, innermost last, each with the clean-ups
// that could not be done while its list looked empty.
struct SortInProgress {
    PyObject* data;             // the list being sorted (held by the sort call)
    std::vector<Ref> deferred;  // dead references whose entries must go
};
std::vector<SortInProgress*> g_sorts;

// The sort in progress over `data`, if Vapora.sort is sorting it.
SortInProgress* sort_of(PyObject* data) noexcept {
    if (!being_sorted(data)) return nullptr;
    for (SortInProgress* sort : g_sorts)
        if (sort->data == data) return sort;
    return nullptr;
}

// --- iteration ----------------------------------------------------------------------------

// The iterators over what the entries of a list (or of what `data` iterates
// over) read as.  Those of `Vapora.__iter__` stand in for a generator method:
// an error inside a step carries that method's traceback entry, as the
// generator's frame would add it; the others are Vapora's private walks.
enum class Walk { Private, OfIter };

// Marks an error raised by a step of `__iter__`.
template <Walk walk>
vo::Step failed_step() noexcept {
    if constexpr (walk == Walk::OfIter) VO_TRACE_AS("Vapora.__iter__");
    return vo::Step::Error;
}

// Walks a list of entries by position and reads each.
template <Walk walk>
vo::Step step_entries(PyObject* list, Py_ssize_t& position, Ref& item) noexcept {
    if (position >= PyList_GET_SIZE(list)) return vo::Step::End;
    // call_entry pins an entry before calling anything that may run code.
    item = call_entry(PyList_GET_ITEM(list, position++));
    return item ? vo::Step::Item : failed_step<walk>();
}

Py_ssize_t entries_left(PyObject* list, Py_ssize_t position) noexcept {
    Py_ssize_t left = PyList_GET_SIZE(list) - position;
    return left > 0 ? left : 0;
}

// Reads the entries an iterator hands out (for a `data` that is not a list).
template <Walk walk>
vo::Step step_iterated_entries(PyObject* iterator, Py_ssize_t&, Ref& item) noexcept {
    Ref entry = Ref::steal(PyIter_Next(iterator));
    if (!entry) return PyErr_Occurred() ? failed_step<walk>() : vo::Step::End;
    item = call_entry(entry.get());
    return item ? vo::Step::Item : failed_step<walk>();
}

template <Walk walk>
const vo::IterKind kListEntries{.step = step_entries<walk>, .remaining = entries_left};
template <Walk walk>
const vo::IterKind kIteratedEntries{.step = step_iterated_entries<walk>};

// An iterator over what the entries of `entries` read as.
template <Walk walk = Walk::Private>
Ref read_entries(PyObject* entries) noexcept {
    if (PyList_CheckExact(entries)) return vo::iterator_new(kListEntries<walk>, entries);
    Ref it = Ref::steal(PyObject_GetIter(entries));
    if (!it) return nullptr;
    return vo::iterator_new(kIteratedEntries<walk>, it.get());
}

// `[x for x in self]`, through the instance's own iteration.
Ref elements_of(PyObject* self) noexcept {
    Ref it = Ref::steal(PyObject_GetIter(self));
    if (!it) return nullptr;
    Ref elements = Ref::steal(PyList_New(0));
    if (!elements) return nullptr;
    while (Ref element = Ref::steal(PyIter_Next(it.get())))
        if (PyList_Append(elements.get(), element.get()) < 0) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    return elements;
}

// --- the methods ----------------------------------------------------------------------------

// The base initialiser's part of `__init__`, given the new references.
bool init_data(PyObject* self, PyObject* refs) noexcept {
    // UserList's initialiser would store an empty list and then copy the
    // references into it: the same as storing this new list.
    if (direct(traits_of(self), kInit)) return PyObject_SetAttr(self, S.data, refs) == 0;
    return !!call_base(self, kInit, {refs});
}

PyObject* vapora_init(PyObject* self, PyObject* items) {
    VO_METHOD("Vapora.__init__");
    Ref refs = items ? Wrapper(self, Target::New).wrap_all(items) : Ref::steal(PyList_New(0));
    if (!refs || !init_data(self, refs.get())) return VO_FAIL();
    Py_RETURN_NONE;
}

int contains_impl(PyObject* self, PyObject* item) noexcept {
    VO_METHOD("Vapora.__contains__");
    Probe probe;
    if (!probe.for_element(item)) return VO_FAIL_INT();
    if (Ref data = direct_data(self, kContains)) {
        Py_ssize_t position;
        switch (find_first(data.get(), probe, position)) {
            case Search::Found:
                return 1;
            case Search::Absent:
                return 0;
            case Search::Error:
                return VO_FAIL_INT();
        }
    }
    PyObject* reference = probe.reference();
    if (!reference) return VO_FAIL_INT();
    Ref result = call_base(self, kContains, {reference});
    if (!result) return VO_FAIL_INT();
    int truth = PyObject_IsTrue(result.get());
    if (truth < 0) return VO_FAIL_INT();
    return truth;
}

PyObject* vapora_contains(PyObject* self, PyObject* item) {
    int found = contains_impl(self, item);
    if (found < 0) return nullptr;
    return PyBool_FromLong(found);
}

int vapora_tp_init(PyObject* self, PyObject* args, PyObject* kwds);

// `type(self)(entry() for entry in self.data[index])`, for a slice `index`.
// For Vapora itself, whose construction is object's allocation and then
// this module's __init__, the instance is made and initialised directly over
// the referents instead of over a one-pass iterator of them; an error on the
// way carries the entry of the `__init__` it stands in for.
// Re-entrancy: reading an entry that is no plain reference calls it, and
// that code can reach the copy `data[index]` through the collector and
// change it; the copy is walked as a generator over it would walk it (each
// entry held while it is read, the length read at each step), and the
// referents are kept in C++ storage until the new instance holds them.
PyObject* new_over_slice(PyObject* self, PyObject* index) noexcept {
    Ref cls = Ref::borrow(Py_TYPE(self));
    PyTypeObject* type = cls.type_ptr();
    Ref data = get_data(self);
    if (!data) return nullptr;
    Ref entries = Ref::steal(PyObject_GetItem(data.get(), index));
    if (!entries) return nullptr;
    if (PyList_CheckExact(entries.get()) && type == vapora_type() && type->tp_init == vapora_tp_init &&
        Py_TYPE(type)->tp_call == PyType_Type.tp_call && type->tp_new == PyBaseObject_Type.tp_new) {
        std::vector<Ref> elements;
        if (!vo::reserve(elements, static_cast<size_t>(PyList_GET_SIZE(entries.get())))) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
            Ref element = call_entry(PyList_GET_ITEM(entries.get(), i));
            if (!element) {
                VO_TRACE_AS("Vapora.__init__");
                return nullptr;
            }
            if (!vo::push(elements, std::move(element))) return nullptr;
        }
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) return nullptr;
        Ref obj = Ref::steal(type->tp_new(type, empty.get(), nullptr));
        if (!obj) return nullptr;
        Ref refs = Wrapper(obj.get(), Target::New).wrap_each(elements);
        if (!refs || !init_data(obj.get(), refs.get())) {
            VO_TRACE_AS("Vapora.__init__");
            return nullptr;
        }
        return obj.release();
    }
    Ref referents = read_entries(entries.get());
    if (!referents) return nullptr;
    return PyObject_CallOneArg(cls.get(), referents.get());
}

PyObject* vapora_getitem(PyObject* self, PyObject* index) {
    VO_METHOD("Vapora.__getitem__");
    if (PySlice_Check(index)) {
        // A new instance of the caller's class, over the referents in slice order.
        PyObject* result = new_over_slice(self, index);
        if (!result) return VO_FAIL();
        return result;
    }
    Ref entry;
    if (Ref data = direct_data(self, kGetitem)) {
        if (PyLong_CheckExact(index)) {
            Py_ssize_t i = PyLong_AsSsize_t(index);
            if (i == -1 && PyErr_Occurred()) {
                PyErr_Clear();  // too large for a position: the list's own error below
            } else {
                Py_ssize_t n = PyList_GET_SIZE(data.get());
                if (i < 0) i += n;
                if (i >= 0 && i < n) entry = Ref::borrow(PyList_GET_ITEM(data.get(), i));
            }
        }
        // Anything else, with the list's own errors.
        if (!entry) entry = Ref::steal(PyObject_GetItem(data.get(), index));
    } else {
        entry = call_base(self, kGetitem, {index});
    }
    if (!entry) return VO_FAIL();
    Ref element = call_entry(entry.get());
    if (!element) return VO_FAIL();
    return element.release();
}

PyObject* vapora_setitem(PyObject* self, PyObject* index, PyObject* item) {
    VO_METHOD("Vapora.__setitem__");
    Wrapper wrapper(self);
    Ref value = PySlice_Check(index) ? wrapper.wrap_all(item) : wrapper.wrap(item);
    if (!value) return VO_FAIL();
    if (Ref data = direct_data(self, kSetitem)) {
        if (PyObject_SetItem(data.get(), index, value.get()) < 0) return VO_FAIL();
    } else if (!call_base(self, kSetitem, {index, value.get()})) {
        return VO_FAIL();
    }
    Py_RETURN_NONE;
}

PyObject* vapora_iter(PyObject* self) {
    VO_METHOD("Vapora.__iter__");
    Ref data = get_data(self);
    if (!data) return VO_FAIL();
    Ref it = read_entries<Walk::OfIter>(data.get());
    if (!it) return VO_FAIL();
    return it.release();
}

PyObject* vapora_eq(PyObject* self, PyObject* other) {
    VO_METHOD("Vapora.__eq__");
    Ref elements = elements_of(self);
    if (!elements) return VO_FAIL();
    PyObject* result = PyObject_RichCompare(elements.get(), other, Py_EQ);
    if (!result) return VO_FAIL();
    return result;
}

PyObject* vapora_reversed(PyObject* self) {
    VO_METHOD("Vapora.__reversed__");
    PyObject* result = PyObject_GetItem(self, S.reverse_slice.get());
    if (!result) return VO_FAIL();
    return result;
}

PyObject* vapora_add(PyObject* self, PyObject* item) {
    VO_METHOD("Vapora.__add__");
    Ref cls = vo::global(S.vapora);
    if (!cls) return VO_FAIL();
    int ok = PyObject_IsInstance(item, cls.get());
    if (ok < 0) return VO_FAIL();
    if (!ok) {
        Ref type_name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(item)), S.name));
        if (type_name)
            vo::raise_concat(PyExc_TypeError,
                             {"can only concatenante Vapora (not \"", type_name.get(), "\") to Vapora"});
        return VO_FAIL();
    }
    Ref result = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!result) return VO_FAIL();
    for (PyObject* part : {self, item}) {
        Ref done = Ref::steal(PyObject_CallMethodOneArg(result.get(), S.extend, part));
        if (!done) return VO_FAIL();
    }
    return result.release();
}

PyObject* vapora_iadd(PyObject* self, PyObject* items) {
    VO_METHOD("Vapora.__iadd__");
    Ref refs = Wrapper(self).wrap_all(items);
    if (!refs) return VO_FAIL();
    if (Ref data = direct_data(self, kIadd)) {
        // `self.data += refs` extends the list in place and stores the same
        // list back into the ordinary attribute: the store changes nothing.
        Py_ssize_t n = PyList_GET_SIZE(data.get());
        if (PyList_SetSlice(data.get(), n, n, refs.get()) < 0) return VO_FAIL();
        return Py_NewRef(self);
    }
    Ref result = call_base(self, kIadd, {refs.get()});
    if (!result) return VO_FAIL();
    return result.release();
}

PyObject* vapora_remove(PyObject* self, PyObject* item) {
    VO_METHOD("Vapora.remove");
    int is_ref = is_reference(item);
    if (is_ref < 0) return VO_FAIL();
    Probe probe;
    if (is_ref) {
        probe.for_reference(item);
    } else if (!probe.for_element(item)) {
        return VO_FAIL();
    }
    if (Ref data = direct_data(self, kRemove)) {
        Py_ssize_t position;
        switch (find_first(data.get(), probe, position)) {
            case Search::Found:
                if (PyList_SetSlice(data.get(), position, position + 1, nullptr) < 0) return VO_FAIL();
                Py_RETURN_NONE;
            case Search::Absent:
                // The clean-up of an element that died while Vapora.sort sorts
                // `data`: the entry is there but hidden; the sort takes it out after.
                if (is_ref && PyWeakref_CheckRef(item) && !vo::compat::weakref_referent_borrowed(item)) {
                    if (SortInProgress* sort = sort_of(data.get())) {
                        if (!vo::push(sort->deferred, Ref::borrow(item))) return VO_FAIL();
                        Py_RETURN_NONE;
                    }
                }
                PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
                return VO_FAIL();
            case Search::Error:
                return VO_FAIL();
        }
    }
    // A data of a list subclass, sorted by Vapora.sort: its clean-up waits
    // for the end of the sort as well.
    if (is_ref && PyWeakref_CheckRef(item) && !vo::compat::weakref_referent_borrowed(item)) {
        Ref data = get_data(self);
        if (!data) PyErr_Clear();
        if (data && PyList_Check(data.get())) {
            if (SortInProgress* sort = sort_of(data.get())) {
                if (!vo::push(sort->deferred, Ref::borrow(item))) return VO_FAIL();
                Py_RETURN_NONE;
            }
        }
    }
    PyObject* reference = probe.reference();
    if (!reference || !call_base(self, kRemove, {reference})) return VO_FAIL();
    Py_RETURN_NONE;
}

PyObject* vapora_append(PyObject* self, PyObject* item) {
    VO_METHOD("Vapora.append");
    Ref ref = Wrapper(self).wrap(item);
    if (!ref) return VO_FAIL();
    if (Ref data = direct_data(self, kAppend)) {
        if (PyList_Append(data.get(), ref.get()) < 0) return VO_FAIL();
    } else if (!call_base(self, kAppend, {ref.get()})) {
        return VO_FAIL();
    }
    Py_RETURN_NONE;
}

PyObject* vapora_index(PyObject* self, PyObject* item) {
    VO_METHOD("Vapora.index");
    Probe probe;
    if (!probe.for_element(item)) return VO_FAIL();
    if (Ref data = direct_data(self, kIndex)) {
        Py_ssize_t position;
        switch (find_first(data.get(), probe, position)) {
            case Search::Found:
                return PyLong_FromSsize_t(position);
            case Search::Absent:
                if (PyObject* reference = probe.reference())
                    PyErr_Format(PyExc_ValueError, "%R is not in list", reference);
                return VO_FAIL();
            case Search::Error:
                return VO_FAIL();
        }
    }
    PyObject* reference = probe.reference();
    if (!reference) return VO_FAIL();
    Ref result = call_base(self, kIndex, {reference});
    if (!result) return VO_FAIL();
    return result.release();
}

PyObject* vapora_count(PyObject* self, PyObject* item) {
    VO_METHOD("Vapora.count");
    Probe probe;
    if (!probe.for_element(item)) return VO_FAIL();
    if (Ref data = direct_data(self, kCount)) {
        // Re-entrancy: a referent's `__eq__` may change `data`; the length is
        // read anew at each step and `matches` pins what it compares, so the
        // count is that of list.count over the list as it stands each step.
        Py_ssize_t count = 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.get()); ++i) {
            int r = probe.matches(PyList_GET_ITEM(data.get(), i));
            if (r < 0) return VO_FAIL();
            count += r;
        }
        return PyLong_FromSsize_t(count);
    }
    PyObject* reference = probe.reference();
    if (!reference) return VO_FAIL();
    Ref result = call_base(self, kCount, {reference});
    if (!result) return VO_FAIL();
    return result.release();
}

// The entry that `pop` takes out at a position: `item` an integer, or
// nothing for the last.
Ref pop_position(PyObject* self, PyObject* item) noexcept {
    if (Ref data = direct_data(self, kPop)) {
        Py_ssize_t i = -1;
        bool plain = !item;
        if (item && PyLong_CheckExact(item)) {
            i = PyLong_AsSsize_t(item);
            plain = !(i == -1 && PyErr_Occurred());
            if (!plain) PyErr_Clear();  // too large: list.pop's own error below
        }
        Py_ssize_t n = PyList_GET_SIZE(data.get());
        if (plain && i < 0) i += n;
        if (plain && i >= 0 && i < n) {
            Ref entry = Ref::borrow(PyList_GET_ITEM(data.get(), i));
            if (PyList_SetSlice(data.get(), i, i + 1, nullptr) < 0) return nullptr;
            return entry;
        }
        // Anything else, with list.pop's own conversion and errors.
        PyObject* args[] = {data.get(), item};
        return Ref::steal(PyObject_VectorcallMethod(S.pop, args, item ? 2 : 1, nullptr));
    }
    if (!item) return call_base(self, kPop, {});
    return call_base(self, kPop, {item});
}

// The entry that `pop` takes out: by position for an integer (or nothing,
// the last), else the first entry equal to the element, as `index` finds
// it and then `pop` takes it out by that position.
// Re-entrancy: the comparisons may run Python code that changes `data` or
// rebinds it; the position found is then popped from the list `self.data`
// holds afterwards, with list.pop's error if it is no longer there.
Ref pop_entry(PyObject* self, PyObject* item) noexcept {
    if (!item || PyIndex_Check(item)) return pop_position(self, item);
    Probe probe;
    if (!probe.for_element(item)) return nullptr;
    if (Ref data = direct_data(self, kPop); data && direct(traits_of(self), kIndex)) {
        Py_ssize_t position;
        switch (find_first(data.get(), probe, position)) {
            case Search::Found: {
                if (probe.ran_code()) {
                    Ref at = Ref::steal(PyLong_FromSsize_t(position));
                    return at ? pop_position(self, at.get()) : nullptr;
                }
                // Nothing ran since `data` was read: the entry is still there.
                Ref entry = Ref::borrow(PyList_GET_ITEM(data.get(), position));
                if (PyList_SetSlice(data.get(), position, position + 1, nullptr) < 0) return nullptr;
                return entry;
            }
            case Search::Absent:
                break;
            case Search::Error:
                return nullptr;
        }
    } else {
        PyObject* reference = probe.reference();
        if (!reference) return nullptr;
        Ref position = call_base(self, kIndex, {reference});
        if (position) return call_base(self, kPop, {position.get()});
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
        PyErr_Clear();
    }
    PyErr_SetString(PyExc_ValueError, "Vapora.pop(x): x not in list");
    return nullptr;
}

PyObject* vapora_pop(PyObject* self, PyObject* item) {
    VO_METHOD("Vapora.pop");
    Ref entry = pop_entry(self, item);
    if (!entry) return VO_FAIL();
    Ref element = call_entry(entry.get());
    if (!element) return VO_FAIL();
    return element.release();
}

PyObject* vapora_insert(PyObject* self, PyObject* index, PyObject* item) {
    VO_METHOD("Vapora.insert");
    Ref ref = Wrapper(self).wrap(item);
    if (!ref) return VO_FAIL();
    Ref done;
    if (Ref data = direct_data(self, kInsert)) {
        // list.insert's own conversion of the position, with its errors.
        PyObject* args[] = {data.get(), index, ref.get()};
        done = Ref::steal(PyObject_VectorcallMethod(S.insert, args, 3, nullptr));
    } else {
        done = call_base(self, kInsert, {index, ref.get()});
    }
    if (!done) return VO_FAIL();
    Py_RETURN_NONE;
}

PyObject* vapora_extend(PyObject* self, PyObject* items) {
    VO_METHOD("Vapora.extend");
    Ref refs = Wrapper(self).wrap_all(items);
    if (!refs) return VO_FAIL();
    if (Ref data = direct_data(self, kExtend)) {
        Py_ssize_t n = PyList_GET_SIZE(data.get());
        if (PyList_SetSlice(data.get(), n, n, refs.get()) < 0) return VO_FAIL();
    } else if (!call_base(self, kExtend, {refs.get()})) {
        return VO_FAIL();
    }
    Py_RETURN_NONE;
}

// Sort keys: the referent itself, or the caller's key applied to it.  They
// are functions of `sort` of their own, with a traceback entry of their own
// (under the name Python gives a lambda inside `sort`).
PyObject* sort_key_referent(PyObject*, PyObject* entry) {
    Ref element = call_entry(entry);
    if (VO_UNLIKELY(!element)) VO_TRACE_AS("Vapora.sort.<locals>.<lambda>");
    return element.release();
}

PyObject* sort_key_applied(PyObject* key, PyObject* entry) {
    Ref element = call_entry(entry);
    PyObject* sort_key = element ? PyObject_CallOneArg(key, element.get()) : nullptr;
    if (VO_UNLIKELY(!sort_key)) VO_TRACE_AS("Vapora.sort.<locals>.<lambda>");
    return sort_key;
}

PyMethodDef sort_key_defs[] = {
    {"key", sort_key_referent, METH_O, nullptr},
    {"key", sort_key_applied, METH_O, nullptr},
};

// The entries of elements that died during the sort leave now, each as the
// base `remove` would take it out (a dead reference equals only itself).
// Re-entrancy: comparisons with entries that are no plain references run
// user code; the walk pins what it compares and re-reads the list.
void finish_clean_up(PyObject* data, std::vector<Ref>& deferred) noexcept {
    for (Ref& ref : deferred) {
        if (!PyList_CheckExact(data)) {
            // A list subclass removes through its own method, as the base
            // `remove` would have it; an entry taken out meanwhile is no error.
            Ref done = Ref::steal(PyObject_CallMethodOneArg(data, S.remove, ref.get()));
            if (!done && !PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_WriteUnraisable(ref.get());
            PyErr_Clear();
            continue;
        }
        Probe probe;
        probe.for_reference(ref.get());
        Py_ssize_t position;
        switch (find_first(data, probe, position)) {
            case Search::Found:
                if (PyList_SetSlice(data, position, position + 1, nullptr) < 0) PyErr_WriteUnraisable(ref.get());
                break;
            case Search::Absent:
                break;  // taken out meanwhile
            case Search::Error:
                PyErr_WriteUnraisable(ref.get());
                break;
        }
    }
}

PyObject* vapora_sort(PyObject* self, PyObject* key, PyObject* reverse) {
    VO_METHOD("Vapora.sort");
    bool plain = !key || key == Py_None;
    Ref sort_key = Ref::steal(PyCFunction_New(&sort_key_defs[plain ? 0 : 1], plain ? nullptr : key));
    if (!sort_key) return VO_FAIL();
    PyObject* reverse_arg = reverse ? reverse : Py_False;
    Ref data = direct_data(self, kSort);
    Ref watched = data;
    if (!watched) {
        // The base method may still sort an exact list in place.
        watched = get_data(self);
        if (!watched || !PyList_Check(watched.get())) {
            PyErr_Clear();
            watched = nullptr;
        }
    }
    SortInProgress sort{watched.get(), {}};
    if (watched && !vo::push(g_sorts, &sort)) return VO_FAIL();
    Ref done;
    if (data) {
        PyObject* args[] = {data.get(), sort_key.get(), reverse_arg};
        done = Ref::steal(PyObject_VectorcallMethod(S.sort, args, 1, S.sort_kwnames.get()));
    } else {
        done = call_base(self, kSort, {sort_key.get(), reverse_arg}, S.sort_kwnames.get());
    }
    if (watched) {
        g_sorts.erase(std::find(g_sorts.begin(), g_sorts.end(), &sort));
        // Also after a failed sort: the list is back, and so are its entries.
        vo::ErrorAside aside;
        finish_clean_up(watched.get(), sort.deferred);
    }
    if (!done) return VO_FAIL();
    Py_RETURN_NONE;
}

// "Vapora([" + ", ".join(show(x) for x in self) + "])"; a Vapora met again
// inside itself shows as "Vapora([...])", as a list does.
PyObject* text_of(PyObject* self, PyObject* (*show)(PyObject*)) noexcept {
    vo::ReprGuard cycle(self);
    switch (cycle.entry()) {
        case vo::ReprEntry::Entered:
            break;
        case vo::ReprEntry::AlreadyInside:
            return PyUnicode_FromString("Vapora([...])");
        case vo::ReprEntry::Error:
            return nullptr;
    }
    vo::RecursionGuard depth(" while getting the repr of an object");
    if (!depth.ok()) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(self));
    if (!it) return nullptr;
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
        Ref text = Ref::steal(show(element.get()));
        if (!text || PyList_Append(parts.get(), text.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    if (!separator) return nullptr;
    Ref joined = Ref::steal(PyUnicode_Join(separator.get(), parts.get()));
    if (!joined) return nullptr;
    return PyUnicode_FromFormat("Vapora([%U])", joined.get());
}

PyObject* vapora_repr(PyObject* self) {
    VO_METHOD("Vapora.__repr__");
    PyObject* text = text_of(self, PyObject_Repr);
    if (!text) return VO_FAIL();
    return text;
}

PyObject* vapora_str(PyObject* self) {
    VO_METHOD("Vapora.__str__");
    PyObject* text = text_of(self, PyObject_Str);
    if (!text) return VO_FAIL();
    return text;
}

// --- base operations done on the elements -----------------------------------------------------

// UserList does these on `data` itself, which would show or share the
// references: `v * 2` and `[a] + v` would wrap references in references
// (TypeError), `v *= 2` would store each reference object several times (and
// only one copy leaves when its element dies), `copy.copy(v)` would share the
// references (whose callbacks clean the original only), and `v < w` would
// order reference objects (TypeError).  They are done on the elements
// instead, as every other operation of the class is, with new references of
// the result's own.

PyObject* vapora_mul(PyObject* self, PyObject* n) {
    VO_METHOD("Vapora.__mul__");
    Ref elements = elements_of(self);
    if (!elements) return VO_FAIL();
    Ref repeated = Ref::steal(PyNumber_Multiply(elements.get(), n));
    if (!repeated) return VO_FAIL();
    Ref cls = Ref::borrow(Py_TYPE(self));
    PyObject* result = PyObject_CallOneArg(cls.get(), repeated.get());
    if (!result) return VO_FAIL();
    return result;
}

PyObject* vapora_rmul(PyObject* self, PyObject* n) {
    VO_METHOD("Vapora.__rmul__");
    PyObject* result = vapora_mul(self, n);
    if (!result) return VO_FAIL();
    return result;
}

PyObject* vapora_imul(PyObject* self, PyObject* n) {
    VO_METHOD("Vapora.__imul__");
    Ref elements = elements_of(self);
    if (!elements) return VO_FAIL();
    Ref repeated = Ref::steal(PyNumber_Multiply(elements.get(), n));
    if (!repeated) return VO_FAIL();
    Ref refs = Wrapper(self, Target::New).wrap_all(repeated.get());
    if (!refs) return VO_FAIL();
    // Read after the iteration and the wrapping, which may rebind it.
    Ref data = get_data(self);
    if (!data || PySequence_SetSlice(data.get(), 0, PY_SSIZE_T_MAX, refs.get()) < 0) return VO_FAIL();
    return Py_NewRef(self);
}

PyObject* vapora_radd(PyObject* self, PyObject* other) {
    VO_METHOD("Vapora.__radd__");
    Ref joined = Ref::steal(PySequence_List(other));
    if (!joined) return VO_FAIL();
    Ref elements = elements_of(self);
    if (!elements) return VO_FAIL();
    Py_ssize_t n = PyList_GET_SIZE(joined.get());
    if (PyList_SetSlice(joined.get(), n, n, elements.get()) < 0) return VO_FAIL();
    Ref cls = Ref::borrow(Py_TYPE(self));
    PyObject* result = PyObject_CallOneArg(cls.get(), joined.get());
    if (!result) return VO_FAIL();
    return result;
}

// As UserList's: a new instance made by `__new__` alone, with the instance
// attributes copied; its `data` holds new references to the same objects.
PyObject* vapora_copy(PyObject* self) {
    VO_METHOD("Vapora.__copy__");
    Ref cls = Ref::borrow(Py_TYPE(self));
    Ref copy = Ref::steal(PyObject_CallMethodOneArg(cls.get(), S.new_, cls.get()));
    if (!copy) return VO_FAIL();
    Ref own = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    Ref target = own ? Ref::steal(PyObject_GenericGetDict(copy.get(), nullptr)) : nullptr;
    if (!target || PyDict_Update(target.get(), own.get()) < 0) return VO_FAIL();
    // The update compares keys, which can run Python code; from here on each
    // dictionary is the one its object holds at the time.
    own = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    Ref data;
    if (!own || vo::compat::dict_get_ref(own.get(), S.data, data) < 0) return VO_FAIL();
    if (!data) {
        vo::raise_key_error(S.data);
        return VO_FAIL();
    }
    Ref elements = read_entries(data.get());
    if (!elements) return VO_FAIL();
    Ref refs = Wrapper(copy.get(), Target::New).wrap_all(elements.get());
    if (!refs) return VO_FAIL();
    target = Ref::steal(PyObject_GenericGetDict(copy.get(), nullptr));
    if (!target || PyDict_SetItem(target.get(), S.data, refs.get()) < 0) return VO_FAIL();
    return copy.release();
}

// `list(self) <op> other`, as `__eq__` compares.
PyObject* order(PyObject* self, PyObject* other, int op) noexcept {
    Ref elements = elements_of(self);
    if (!elements) return nullptr;
    return PyObject_RichCompare(elements.get(), other, op);
}

PyObject* vapora_lt(PyObject* self, PyObject* other) {
    VO_METHOD("Vapora.__lt__");
    PyObject* result = order(self, other, Py_LT);
    if (!result) return VO_FAIL();
    return result;
}

PyObject* vapora_le(PyObject* self, PyObject* other) {
    VO_METHOD("Vapora.__le__");
    PyObject* result = order(self, other, Py_LE);
    if (!result) return VO_FAIL();
    return result;
}

PyObject* vapora_gt(PyObject* self, PyObject* other) {
    VO_METHOD("Vapora.__gt__");
    PyObject* result = order(self, other, Py_GT);
    if (!result) return VO_FAIL();
    return result;
}

PyObject* vapora_ge(PyObject* self, PyObject* other) {
    VO_METHOD("Vapora.__ge__");
    PyObject* result = order(self, other, Py_GE);
    if (!result) return VO_FAIL();
    return result;
}

// --- the slots of Vapora itself ----------------------------------------------------------------

// Installing the methods left Vapora with the interpreter's generic slots,
// which look the method up and call it; Vapora's own instances go to the C
// functions directly.  Subclasses keep the generic slots (they may override
// the methods), and assigning a method on the class later recomputes them.
int vapora_sq_contains(PyObject* self, PyObject* item) { return contains_impl(self, item); }

// --- the class ----------------------------------------------------------------------------

vo::Signature<1> sig_init("Vapora.__init__", "self", {{"items", false, true, "()"}});
vo::Signature<1> sig_contains("Vapora.__contains__", "self", {{"item"}});
vo::Signature<1> sig_getitem("Vapora.__getitem__", "self", {{"index"}});
vo::Signature<2> sig_setitem("Vapora.__setitem__", "self", {{"index"}, {"item"}});
vo::Signature<0> sig_iter("Vapora.__iter__", "self");
vo::Signature<1> sig_eq("Vapora.__eq__", "self", {{"other"}});
vo::Signature<0> sig_reversed("Vapora.__reversed__", "self");
vo::Signature<1> sig_add("Vapora.__add__", "self", {{"item"}});
vo::Signature<1> sig_iadd("Vapora.__iadd__", "self", {{"items"}});
vo::Signature<1> sig_remove("Vapora.remove", "self", {{"item"}});
vo::Signature<1> sig_append("Vapora.append", "self", {{"item"}});
vo::Signature<1> sig_index("Vapora.index", "self", {{"item"}});
vo::Signature<1> sig_count("Vapora.count", "self", {{"item"}});
vo::Signature<1> sig_pop("Vapora.pop", "self", {{"item", false, true, "-1"}});
vo::Signature<2> sig_insert("Vapora.insert", "self", {{"index"}, {"item"}});
vo::Signature<1> sig_extend("Vapora.extend", "self", {{"items"}});
vo::Signature<2> sig_sort("Vapora.sort", "self", {{"key", false, true}, {"reverse", false, true, "False"}});
vo::Signature<0> sig_repr("Vapora.__repr__", "self");
vo::Signature<0> sig_str("Vapora.__str__", "self");
vo::Signature<1> sig_mul("Vapora.__mul__", "self", {{"n"}});
vo::Signature<1> sig_rmul("Vapora.__rmul__", "self", {{"n"}});
vo::Signature<1> sig_imul("Vapora.__imul__", "self", {{"n"}});
vo::Signature<1> sig_radd("Vapora.__radd__", "self", {{"other"}});
vo::Signature<0> sig_copy("Vapora.__copy__", "self");
vo::Signature<1> sig_lt("Vapora.__lt__", "self", {{"other"}});
vo::Signature<1> sig_le("Vapora.__le__", "self", {{"other"}});
vo::Signature<1> sig_gt("Vapora.__gt__", "self", {{"other"}});
vo::Signature<1> sig_ge("Vapora.__ge__", "self", {{"other"}});

// Vapora's own construction, in its tp_init slot (see the slots above).
int vapora_tp_init(PyObject* self, PyObject* args, PyObject* kwds) {
    // Held: `args` and `kwds` may be shared and cleared while the items are
    // iterated.
    Ref parsed[1];
    if (!sig_init.parse(args, kwds, parsed)) {
        sig_init.site.add();
        return -1;
    }
    Ref done = Ref::steal(vapora_init(self, parsed[0].get()));
    return done ? 0 : -1;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// The methods carry their signatures and no other documentation.
PyMethodDef vapora_methods[] = {
    {"__init__", VO_CFUNC((vo::method<sig_init, vapora_init>)), kFast, sig_init.doc()},
    {"__contains__", VO_CFUNC((vo::method<sig_contains, vapora_contains>)), kFast, sig_contains.doc()},
    {"__getitem__", VO_CFUNC((vo::method<sig_getitem, vapora_getitem>)), kFast, sig_getitem.doc()},
    {"__setitem__", VO_CFUNC((vo::method<sig_setitem, vapora_setitem>)), kFast, sig_setitem.doc()},
    {"__iter__", VO_CFUNC((vo::method<sig_iter, vapora_iter>)), kFast, sig_iter.doc()},
    {"__eq__", VO_CFUNC((vo::method<sig_eq, vapora_eq>)), kFast, sig_eq.doc()},
    {"__reversed__", VO_CFUNC((vo::method<sig_reversed, vapora_reversed>)), kFast, sig_reversed.doc()},
    {"__add__", VO_CFUNC((vo::method<sig_add, vapora_add>)), kFast, sig_add.doc()},
    {"__iadd__", VO_CFUNC((vo::method<sig_iadd, vapora_iadd>)), kFast, sig_iadd.doc()},
    {"remove", VO_CFUNC((vo::method<sig_remove, vapora_remove>)), kFast, sig_remove.doc()},
    {"append", VO_CFUNC((vo::method<sig_append, vapora_append>)), kFast, sig_append.doc()},
    {"index", VO_CFUNC((vo::method<sig_index, vapora_index>)), kFast, sig_index.doc()},
    {"count", VO_CFUNC((vo::method<sig_count, vapora_count>)), kFast, sig_count.doc()},
    {"pop", VO_CFUNC((vo::method<sig_pop, vapora_pop>)), kFast, sig_pop.doc()},
    {"insert", VO_CFUNC((vo::method<sig_insert, vapora_insert>)), kFast, sig_insert.doc()},
    {"extend", VO_CFUNC((vo::method<sig_extend, vapora_extend>)), kFast, sig_extend.doc()},
    {"sort", VO_CFUNC((vo::method<sig_sort, vapora_sort>)), kFast, sig_sort.doc()},
    {"__repr__", VO_CFUNC((vo::method<sig_repr, vapora_repr>)), kFast, sig_repr.doc()},
    {"__str__", VO_CFUNC((vo::method<sig_str, vapora_str>)), kFast, sig_str.doc()},
    // UserList's versions of these would expose the references (see above).
    {"__mul__", VO_CFUNC((vo::method<sig_mul, vapora_mul>)), kFast, sig_mul.doc()},
    {"__rmul__", VO_CFUNC((vo::method<sig_rmul, vapora_rmul>)), kFast, sig_rmul.doc()},
    {"__imul__", VO_CFUNC((vo::method<sig_imul, vapora_imul>)), kFast, sig_imul.doc()},
    {"__radd__", VO_CFUNC((vo::method<sig_radd, vapora_radd>)), kFast, sig_radd.doc()},
    {"__copy__", VO_CFUNC((vo::method<sig_copy, vapora_copy>)), kFast, sig_copy.doc()},
    {"__lt__", VO_CFUNC((vo::method<sig_lt, vapora_lt>)), kFast, sig_lt.doc()},
    {"__le__", VO_CFUNC((vo::method<sig_le, vapora_le>)), kFast, sig_le.doc()},
    {"__gt__", VO_CFUNC((vo::method<sig_gt, vapora_gt>)), kFast, sig_gt.doc()},
    {"__ge__", VO_CFUNC((vo::method<sig_ge, vapora_ge>)), kFast, sig_ge.doc()},
    {nullptr, nullptr, 0, nullptr}};

constexpr char vapora_doc[] =
    "Vapora Class\n"
    "\n"
    "A special implementation of the native list object in which the stored\n"
    "items are weak references to the objects put into it.\n"
    "\n"
    "Special Behaviors:\n"
    "    - auto-cleanup: the reference of a finalized object is removed from\n"
    "      the list automatically;\n"
    "    - all reads return the actual object;\n"
    "    - all writes take actual objects and store them as weak references;\n"
    "    - all handling of weak references should be invisible to the user.\n"
    "\n"
    "Note:\n"
    "    Because all stored items are weak references, the user must be\n"
    "    careful of context and garbage collection.";

bool intern_names() noexcept {
    if (!vo::intern_all({{&S.data, "data"},
                         {&S.new_, "__new__"},
                         {&S.remove, "remove"},
                         {&S.weakref, "weakref"},
                         {&S.ref, "ref"},
                         {&S.reference_type_name, "ReferenceType"},
                         {&S.vapora, "Vapora"},
                         {&S.extend, "extend"},
                         {&S.sort, "sort"},
                         {&S.pop, "pop"},
                         {&S.insert, "insert"},
                         {&S.name, "__name__"}}))
        return false;
    for (unsigned b = 0; b < kBaseCount; ++b)
        if (!(S.base_names[b] = vo::intern(kBaseNames[b]))) return false;
    return true;
}

bool module_body(PyObject* module) {
    if (!intern_names()) return false;
    g_object_compare = PyBaseObject_Type.tp_richcompare;
    if (!vo::iterator_ready(module, "vapora_iterator") || !vo::weakcall_ready(module)) return false;
    if (!vo::body_import(module, "weakref") || !vo::body_import(module, "collections")) return false;

    Ref collections = vo::global(vo::intern("collections"));
    if (!collections) return false;
    Ref user_list = Ref::steal(PyObject_GetAttrString(collections.get(), "UserList"));
    if (!user_list) return false;
    Ref bases = Ref::steal(PyTuple_Pack(1, user_list.get()));
    if (!bases) return false;
    Ref cls = vo::class_from_metaclass(module, "Vapora", bases.get(), vapora_doc);
    if (!cls || !vo::install_methods(module, cls.get(), vapora_methods)) return false;
    // A class statement that defines __eq__ and no __hash__ sets __hash__ to None.
    if (PyObject_SetAttrString(cls.get(), "__hash__", Py_None) < 0) return false;

    S.cls.set(cls);
    for (unsigned b = 0; b < kBaseCount; ++b) {
        Ref original = vo::super_lookup(vapora_type(), S.cls.get(), S.base_names[b]);
        if (!original) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "UserList has no method %U", S.base_names[b]);
            return false;
        }
        S.base_originals[b].set(std::move(original));
    }
    Ref weakref_module = vo::global(S.weakref);
    if (!weakref_module) return false;
    S.weakref_module.set(std::move(weakref_module));
    if (!S.reference_type.set(Ref::steal(PyObject_GetAttr(S.weakref_module.get(), S.reference_type_name))))
        return false;
    PyObject* weakref_dict = PyModule_GetDict(S.weakref_module.get());
    if (!S.weakref_names.init({{vo::module_globals(), S.weakref, S.weakref_module.get()},
                               {weakref_dict, S.ref, S.reference_type.get()},
                               {weakref_dict, S.reference_type_name, S.reference_type.get()}}))
        return false;
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    if (!minus_one || !S.reverse_slice.set(Ref::steal(PySlice_New(nullptr, nullptr, minus_one.get())))) return false;
    if (!S.sort_kwnames.set(Ref::steal(PyTuple_Pack(2, vo::intern("key"), vo::intern("reverse"))))) return false;

    PyTypeObject* type = vapora_type();
    type->tp_as_sequence->sq_contains = vapora_sq_contains;
    type->tp_iter = vapora_iter;
    type->tp_init = vapora_tp_init;
    type->tp_as_mapping->mp_subscript = vapora_getitem;
    PyType_Modified(type);
    return vo::body_bind(module, "Vapora", cls);
}

}  // namespace
}  // namespace vapora

// The module has no docstring.
VO_DEFINE_MODULE(vapora, nullptr, vapora::module_body)
