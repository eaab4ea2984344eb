// What the three files of vestri.ondrel.vapora share: the module's state,
// what a class does with `data`, and the interface to the entries.
//
// The files split by what changes together: entries.cpp is the only one that
// knows how an entry of `data` is stored (a weak reference with the Vapora's
// callback), and makes, reads, compares and removes entries; sort.cpp holds
// Vapora.sort, which must defer clean-ups while list.sort hides the list;
// vapora.cpp holds the class, its other methods and the module body.
//
// The state is one static object, set while the module body runs and kept
// for the rest of the process.  It is trivially destructible on purpose:
// static destructors run after the interpreter has finalized, when releasing
// a reference would touch freed memory, so strong references are `vo::Kept`,
// which never releases, and borrowed ones plain `PyObject*`.
#pragma once

#include "common/bindings.hpp"
#include "common/compat.hpp"
#include "common/kept.hpp"
#include "common/listops.hpp"
#include "common/typecache.hpp"

#include <initializer_list>
#include <type_traits>
#include <vector>

namespace vapora {

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
inline constexpr const char* kBaseNames[kBaseCount] = {
    "__init__", "__contains__", "__getitem__", "__setitem__", "__iadd__", "remove", "append",
    "index",    "count",        "pop",         "insert",      "extend",   "sort"};

// What a class does with `data`: bit b set when super(Vapora, obj).<kBaseNames[b]>
// is UserList's own; kPlainData when `obj.data` is an ordinary instance attribute.
struct Traits {
    unsigned int bits = 0;
};
inline constexpr unsigned int kPlainData = 1u << kBaseCount;

struct SortInProgress;

// What the last clean-up learnt about a `data` list, for the next ones to
// trust while nothing shows a change (entries.cpp).
struct KnownEntries {
    PyObject* list;            // the list (not held, compared only: see entries.cpp)
    PyObject** items;          // its item array then (compared only)
    Py_ssize_t size;           // its length then
    vo::Kept callback;         // the callback every entry carried then
    Py_ssize_t callback_refs;  // the count the next clean-up should find (entries.cpp: callback_refs)
};

struct VaporaState {
    // Interned names (borrowed: interned for the process).
    PyObject *data, *new_, *remove, *weakref, *ref, *reference_type_name, *vapora, *extend, *sort, *pop, *insert, *name;
    PyObject* base_names[kBaseCount];  // kBaseNames, interned likewise

    vo::Kept cls;                         // Vapora (the namespace binds it too, but a caller may delete the name)
    vo::Kept weakref_module;              // the real weakref module
    vo::Kept reference_type;              // weakref.ReferenceType (also weakref.ref)
    vo::Kept base_originals[kBaseCount];  // UserList's own functions, compared by identity
    vo::Kept reverse_slice;               // slice(None, None, -1)
    vo::Kept sort_kwnames;                // ("key", "reverse")
    vo::Kept last_callback;               // the WeakCall of the last write (see callback_for)

    vo::Binding weakref_names;         // `weakref`, `weakref.ref` and `weakref.ReferenceType` are the real ones
    vo::TypeCache<Traits, 16> traits;  // per class and version: what it does with `data`
    vo::compat::InlineAttr data_attr;  // reads `obj.data` where the class keeps it inline
    richcmpfunc object_compare;        // object's own comparison (the interpreter's, for the process)
    SortInProgress* sorts;             // the innermost Vapora.sort in progress (on its C stack), or NULL
    KnownEntries known;                // see KnownEntries
};
static_assert(std::is_trivially_destructible_v<VaporaState>);

// Hidden, so that the other files reach it at a fixed offset rather than
// through the global offset table.
extern VaporaState state __attribute__((visibility("hidden")));

inline PyTypeObject* vapora_type() noexcept { return reinterpret_cast<PyTypeObject*>(state.cls.get()); }

// --- what a class does with `data` (vapora.cpp) -------------------------------------------------

void compute_traits(PyTypeObject* type, Traits& t) noexcept;
inline unsigned int traits_of(PyObject* obj) noexcept { return state.traits.get(Py_TYPE(obj), compute_traits).bits; }

// Whether base operation `b` may be done on an exact-list `data` directly.
inline bool direct(unsigned int traits, Base b) noexcept {
    unsigned int need = kPlainData | (1u << b);
    return (traits & need) == need;
}

// `self.data`, through the instance's attribute lookup.
Ref get_data(PyObject* self) noexcept;

// `data` when it is an exact list and an ordinary attribute (read where the
// instance keeps it, without the generic lookup); else empty, without an
// exception.
inline Ref exact_data(PyObject* self, unsigned int traits) noexcept {
    if (!(traits & kPlainData)) return nullptr;
    Ref data = state.data_attr.get(self);
    if (VO_UNLIKELY(!data)) {
        PyErr_Clear();
        return nullptr;
    }
    if (!PyList_CheckExact(data.get())) return nullptr;
    return data;
}

// `data` when the base operation `b` may be done on it directly: an exact
// list reached through an ordinary attribute.  Empty, without an exception,
// when the operation must go through the base method (which then reports
// any error of its own, in its own order).  A write reads it after the user
// code it runs (an iterable's `__next__`, a collection's finalizers), which
// may have rebound it: the entries go where `self.data` is then.
inline Ref direct_data(PyObject* self, Base b) noexcept {
    unsigned int traits = traits_of(self);
    if (!direct(traits, b)) return nullptr;
    return exact_data(self, traits);
}

// `super(Vapora, self).<method>(*args)`, the trailing ones passed by the names in `kwnames`.
Ref call_base(PyObject* self, Base b, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) noexcept;

// --- entries (entries.cpp) ----------------------------------------------------------------------

// `weakref.ref(element, callback)`, or `weakref.ref(element)` for a probe.
Ref make_ref(PyObject* element, PyObject* callback) noexcept;
// `isinstance(item, weakref.ReferenceType)`: 1, 0, or -1 on error.
int is_reference(PyObject* item) noexcept;
// Whether `item` is a weak reference whose referent is dead; never an error.
bool is_dead_reference(PyObject* item) noexcept;
// What an entry of `data` reads as: its referent, or None once that is dead.
// Here for the hot paths to have it inline: a plain reference (the type the
// module holds as weakref.ReferenceType) is read in place; anything else is
// called (entries.cpp).
Ref call_other_entry(PyObject* entry) noexcept;
inline Ref call_entry(PyObject* entry) noexcept {
    if (VO_LIKELY(Py_TYPE(entry) == reinterpret_cast<PyTypeObject*>(state.reference_type.get()))) {
        PyObject* obj = vo::compat::weakref_referent_borrowed(entry);
        return Ref::borrow(obj ? obj : Py_None);
    }
    return call_other_entry(entry);
}

// Whom a write is for: an instance that may hold entries already, or one
// being made, whose `data` is not there yet.
enum class Target { Existing, New };

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

    // The reference for one element.
    Ref wrap(PyObject* element) noexcept;
    // The references for every element of `items`, in its iteration order,
    // in a new list; nothing is made to last when one element fails.
    Ref wrap_all(PyObject* items) noexcept;
    // The references for `elements`, in a new list (the caller keeps the
    // elements alive until the list is stored).
    Ref wrap_each(const std::vector<Ref>& elements) noexcept;

private:
    Ref wrap_element(PyObject* element) noexcept;  // inline in entries.cpp, which alone calls it

    PyObject* self_;  // the instance written to, held by the caller
    Target target_;
    Ref callback_;
};

inline bool compares_by_identity(PyObject* obj) noexcept {
    return Py_TYPE(obj)->tp_richcompare == state.object_compare;
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
        // The caller's argument array may be lent from storage that the
        // comparisons can replace: the element is held for the search.
        held_ = Ref::borrow(item);
        if (VO_LIKELY(state.weakref_names.holds())) {
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

    // `entry == probe` where the answer needs no call (`entry` borrowed);
    // Ask where it needs a comparison that can run Python code.
    vo::lists::Equal known(PyObject* entry) noexcept;
    // That comparison, for an entry `known` left to ask (held by the caller).
    vo::Found ask(PyObject* entry) noexcept;

private:
    PyObject* reference_to(PyObject* item) noexcept;
    void set_reference(Ref reference) noexcept;

    PyObject* item_ = nullptr;       // the element (held by `held_`); NULL once compared by reference
    Ref held_;                       // the element, for the whole search
    bool item_by_identity_ = false;  // the element's class keeps object's own `==`
    bool ran_code_ = false;
    Ref ref_;
    Ref target_;  // the referent of a plain probe reference (empty when dead)
    bool ref_exact_ = false;
};

enum class Search { Found, Absent, Error };

// Takes out of `data` (an exact list) the first entry that matches `probe`,
// as list.remove does; `reference` is the reference the caller gave (the
// probe's own), or NULL for an element.
Search remove_first(PyObject* data, Probe& probe, PyObject* reference) noexcept;

// The first position of `data` (an exact list) whose entry matches `probe`,
// as list.index finds it.
Search find_first(PyObject* data, Probe& probe, Py_ssize_t& position) noexcept;
// The number of entries of `data` (an exact list) that match `probe`, as
// list.count counts them; -1 on error.
Py_ssize_t count_matches(PyObject* data, Probe& probe) noexcept;

// The iterators over what the entries of a list (or of what `data` iterates
// over) read as.  Those of `Vapora.__iter__` stand in for a generator method:
// an error inside a step carries that method's traceback entry, as the
// generator's frame would add it; the others are Vapora's private walks.
enum class Walk { Private, OfIter };
template <Walk walk = Walk::Private>
Ref read_entries(PyObject* entries) noexcept;

// --- Vapora.sort (sort.cpp) ---------------------------------------------------------------------

// Whether `data` is being sorted by Vapora.sort; if so (Yes), the dead
// reference `ref` is kept for that sort to take out when it is over (the
// list looks empty until then).  Error with MemoryError when it cannot be kept.
vo::Found defer_to_sort(PyObject* data, PyObject* ref) noexcept;

PyObject* vapora_sort(PyObject* self, PyObject* key, PyObject* reverse);

}  // namespace vapora
