// The entries of a Vapora's `data`: how they are made, read, compared with a
// probe and walked.  No other file knows that an entry is a weak reference.
//
// What a reader would not guess:
//  - The callback of a stored reference is not the bound `remove`, which
//    would make every non-empty Vapora a reference cycle with its own
//    references.  It is a WeakCall (common/weakcall.hpp), which holds the
//    Vapora weakly and calls its `remove` when a referent dies; all the
//    references of one Vapora share one (a write reuses the one the last
//    write used, or the one its last entry carries).
//  - Lookups compare each entry with the probe as the weakref type would (a
//    live referent by its own `==`, a dead reference only to itself) without
//    a call through that type per entry; referents whose classes keep
//    object's own comparison compare by identity.
//  - An element may die in the middle of any walk (inside a user `__eq__`,
//    or a collection started by an allocation); its callback then removes
//    its entry.  Every walk holds the entry it looks at and reads the length
//    again at each step, as the list type's own methods do.
#include "vapora/vapora.hpp"

#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/iterator.hpp"
#include "common/module.hpp"
#include "common/vector.hpp"
#include "common/weakcall.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace vapora {

namespace {

// `weakref.<name>`, with the module's `weakref` as bound now.
Ref weakref_attribute(PyObject* name) noexcept {
    Ref module = vo::global(state.weakref);
    if (!module) return nullptr;
    return Ref::steal(PyObject_GetAttr(module.get(), name));
}

// The callback for new entries of `self`: the one its last write used, or
// the one the last entry of its `data` carries, else a new one.  The module
// keeps the last one used: a WeakCall names its Vapora through a weak
// reference, so it can match no other object, even one at the same address.
Ref callback_for(PyObject* self, Target target) noexcept {
    PyObject* last = state.last_callback.get();
    if (VO_LIKELY(vo::is_weakcall_of(last, self, state.remove))) return Ref::borrow(last);
    Ref callback;
    if (target == Target::Existing) {
        if (Ref data = exact_data(self, traits_of(self))) {
            Py_ssize_t n = PyList_GET_SIZE(data.get());
            PyObject* entry = n > 0 ? PyList_GET_ITEM(data.get(), n - 1) : nullptr;
            if (entry && PyWeakref_CheckRef(entry) &&
                vo::is_weakcall_of(vo::compat::weakref_callback(entry), self, state.remove))
                callback = Ref::borrow(vo::compat::weakref_callback(entry));
        }
    }
    if (!callback && !(callback = vo::weakcall_new(self, state.remove))) return nullptr;
    state.last_callback.set(callback);
    return callback;
}

// `a == b` for two live referents, as the weakref type compares them (its
// comparison has no identity shortcut at this level).  `a` and `b` may be
// borrowed: both are pinned before the comparison, which can run Python code.
[[gnu::noinline]] int referents_compare(PyObject* a, PyObject* b) noexcept {
    Ref pin_a = Ref::borrow(a), pin_b = Ref::borrow(b);
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

}  // namespace

Ref make_ref(PyObject* element, PyObject* callback) noexcept {
    if (VO_LIKELY(state.weakref_names.holds())) return Ref::steal(PyWeakref_NewRef(element, callback));
    Ref factory = weakref_attribute(state.ref);
    if (!factory) return nullptr;
    if (callback) return Ref::steal(PyObject_CallFunctionObjArgs(factory.get(), element, callback, nullptr));
    return Ref::steal(PyObject_CallOneArg(factory.get(), element));
}

int is_reference(PyObject* item) noexcept {
    if (VO_LIKELY(state.weakref_names.holds())) {
        if (PyWeakref_CheckRef(item)) return 1;
        return PyObject_IsInstance(item, state.reference_type.get());
    }
    Ref type = weakref_attribute(state.reference_type_name);
    if (!type) return -1;
    return PyObject_IsInstance(item, type.get());
}

bool is_dead_reference(PyObject* item) noexcept {
    return PyWeakref_CheckRef(item) && !vo::compat::weakref_referent_borrowed(item);
}

// An entry that is not a plain reference is called as it is (pinned, as it
// may be borrowed from `data`, which the call can change).
Ref call_other_entry(PyObject* entry) noexcept {
    Ref pin = Ref::borrow(entry);
    return Ref::steal(PyObject_CallNoArgs(entry));
}

// --- making references ------------------------------------------------------------------------

[[gnu::always_inline]] inline Ref Wrapper::wrap_element(PyObject* element) noexcept {
    if (VO_UNLIKELY(!callback_) && !(callback_ = callback_for(self_, target_))) return nullptr;
    if (VO_LIKELY(state.weakref_names.holds())) return Ref::steal(PyWeakref_NewRef(element, callback_.get()));
    return make_ref(element, callback_.get());
}

Ref Wrapper::wrap(PyObject* element) noexcept { return wrap_element(element); }

Ref Wrapper::wrap_all(PyObject* items) noexcept {
    if (PyList_CheckExact(items) || PyTuple_CheckExact(items)) {
        // Walked by position as its iterator would walk it: the length
        // is read at each step (a collection's finalizers may change a
        // list), each element held while it is wrapped.
        Ref pin = Ref::borrow(items);
        Ref refs = vo::compat::list_with_room(Py_SIZE(items));
        if (!refs) return nullptr;
        for (Py_ssize_t i = 0; i < Py_SIZE(items); ++i) {
            Ref element = Ref::borrow(PySequence_Fast_ITEMS(items)[i]);
            Ref ref = wrap_element(element.get());
            if (!ref || !vo::compat::list_append(refs.get(), std::move(ref))) return nullptr;
        }
        return refs;
    }
    Ref it = Ref::steal(PyObject_GetIter(items));
    if (!it) return nullptr;
    Ref refs = Ref::steal(PyList_New(0));
    if (!refs) return nullptr;
    while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
        Ref ref = wrap_element(element.get());
        if (!ref || !vo::compat::list_append(refs.get(), std::move(ref))) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return refs;
}

Ref Wrapper::wrap_each(const std::vector<Ref>& elements) noexcept {
    Ref refs = vo::compat::list_with_room(static_cast<Py_ssize_t>(elements.size()));
    if (!refs) return nullptr;
    for (const Ref& element : elements) {
        Ref ref = wrap_element(element.get());
        if (!ref || !vo::compat::list_append(refs.get(), std::move(ref))) return nullptr;
    }
    return refs;
}

// --- comparing entries with a probe -----------------------------------------------------------

vo::lists::Equal Probe::known(PyObject* entry) noexcept {
    using vo::lists::Equal;
    if (VO_LIKELY(PyWeakref_CheckRefExact(entry))) {
        if (item_) {
            PyObject* obj = vo::compat::weakref_referent_borrowed(entry);
            if (!obj) return Equal::No;  // a dead reference equals only itself
            if (obj == item_ && !vo::compat::weakref_callback(entry)) return Equal::Yes;  // the probe itself
            if (item_by_identity_ && compares_by_identity(obj)) return obj == item_ ? Equal::Yes : Equal::No;
            return Equal::Ask;
        }
        if (entry == ref_.get()) return Equal::Yes;
        if (ref_exact_) {
            if (!target_) return Equal::No;  // a dead probe equals only itself
            PyObject* obj = vo::compat::weakref_referent_borrowed(entry);
            if (!obj) return Equal::No;
            if (compares_by_identity(obj) && compares_by_identity(target_.get()))
                return obj == target_.get() ? Equal::Yes : Equal::No;
            return Equal::Ask;
        }
    }
    return Equal::Ask;
}

vo::Found Probe::ask(PyObject* entry) noexcept {
    ran_code_ = true;
    if (PyWeakref_CheckRefExact(entry) && (item_ || (ref_exact_ && entry != ref_.get()))) {
        // Live, as `known` found it: nothing ran since.
        PyObject* obj = vo::compat::weakref_referent_borrowed(entry);
        if (!obj) return vo::Found::No;
        if (!item_) return vo::outcome<vo::Found>(referents_compare(obj, target_.get()));
        int equal = referents_compare(obj, item_);
        // The code that ran may have changed the element's class.
        item_by_identity_ = compares_by_identity(item_);
        return vo::outcome<vo::Found>(equal);
    }
    PyObject* probe = reference();
    if (!probe) return vo::Found::Error;
    return vo::outcome<vo::Found>(PyObject_RichCompareBool(entry, probe, Py_EQ));
}

PyObject* Probe::reference_to(PyObject* item) noexcept {
    Ref made = make_ref(item, nullptr);
    if (!made) return nullptr;
    item_ = nullptr;  // from now on compared as the reference it is
    set_reference(std::move(made));
    return ref_.get();
}

void Probe::set_reference(Ref reference) noexcept {
    ref_ = std::move(reference);
    ref_exact_ = PyWeakref_CheckRefExact(ref_.get());
    if (ref_exact_) target_ = vo::compat::weakref_referent(ref_.get());
}

// Re-entrancy: comparisons may run Python code that changes `data` (an
// element dying removes its entry); list_find_if holds the entry compared
// and reads the length anew at each step, so positions are those of the moment.
Search find_first(PyObject* data, Probe& probe, Py_ssize_t& position) noexcept {
    switch (vo::lists::list_find_if(
        data, position, vo::lists::From::Front, [&](PyObject* entry) noexcept { return probe.known(entry); },
        [&](PyObject* entry) noexcept { return probe.ask(entry); })) {
        case vo::Found::Yes:
            return Search::Found;
        case vo::Found::No:
            return Search::Absent;
        case vo::Found::Error:
            break;
    }
    return Search::Error;
}

// --- clean-ups ----------------------------------------------------------------------------------
//
// When the elements of a Vapora die together, each one's callback asks
// `remove` for the first entry equal to its dead reference.  A dead
// reference equals only itself, and a plain reference compares with it
// without running any code; so over a list of plain references, each there
// once, the first equal entry is that reference wherever it stands, and the
// search has no effect on the way.  Searching for it from the front makes the
// clean-up of elements dying from the back (a list frees its items from the
// end) quadratic: 100,000 elements took over half a minute.
//
// So a clean-up that had to search far checks the list whole, once: plain
// references only, each once, all with one callback (KnownEntries).  The
// next clean-ups trust that while the list is the same object with the same
// length and item array, and the callback's reference count has moved only
// as the interpreter moves it between two deaths (it releases the dying
// reference's callback after each): a list written in place between two
// deaths releases the references it replaces, and with them the callback,
// unless Python code keeps them alive elsewhere, which this does not see.
// They find the reference by identity from both ends, which serves elements
// dying from either end in constant time.  Anything else (an entry that is
// no plain reference, whose comparison may run code) makes every clean-up
// search from the front as list.remove does.
//
// The list is not held.  Held, it would outlive the Vapora that lets it go
// (by dying, or by rebinding `data`) and keep the references in it, whose
// callbacks would then run for entries that have left the Vapora's list.
// Its address is compared, never followed.  Once it is freed a new list may
// take that address, but it passes only with the same item array and length
// and the callback's count unmoved, while freeing the old list released its
// references and with them the callback: the same blind spot as above.  A
// reference not found by identity is looked for as list.remove does.  The
// callback is held (its count is read); a WeakCall holds its Vapora weakly.

namespace {

// A clean-up that finds its entry this far from the front checks the list.
constexpr Py_ssize_t kFarEnough = 8;

void forget_known() noexcept {
    state.known.list = nullptr;
    state.known.callback.set(nullptr);
}

// The known callback's reference count, less the hold the module keeps on
// the callback of the last write (which moves with writes to any Vapora,
// and would make up for a reference released by a write in place).
Py_ssize_t callback_refs() noexcept {
    PyObject* callback = state.known.callback.get();
    return vo::compat::ref_count(callback) - (state.last_callback.get() == callback);
}

// Whether `data` is the list checked last and shows no change since.
bool is_known(PyObject* data) noexcept {
    const KnownEntries& known = state.known;
    return known.list == data && PyList_GET_SIZE(data) == known.size && vo::compat::list_items(data) == known.items &&
           known.callback && callback_refs() == known.callback_refs;
}

// Notes the known list as it is after a clean-up: the callback's count the
// next one should find is this one's less the dying reference's callback,
// which the interpreter releases when this clean-up returns.
void note_known(PyObject* data) noexcept {
    KnownEntries& known = state.known;
    known.size = PyList_GET_SIZE(data);
    if (known.size == 0) {
        forget_known();
        return;
    }
    known.items = vo::compat::list_items(data);
    known.callback_refs = callback_refs() - 1;
}

// Whether the `n` items hold no object twice (the caller found one whose
// count does not rule it out).
bool all_distinct(PyObject* const* items, Py_ssize_t n) noexcept {
    std::vector<PyObject*> sorted;
    if (!vo::grown([&] { sorted.assign(items, items + n); })) {
        PyErr_Clear();  // merely not known
        return false;
    }
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

// Checks `data` whole and keeps it as the known list if it holds only plain
// references, each once, all carrying one callback.  Runs no Python code
// (releasing the callback known before frees at most that WeakCall).
void learn(PyObject* data) noexcept {
    Py_ssize_t n = PyList_GET_SIZE(data);
    PyObject* const* items = vo::compat::list_items(data);
    PyObject* callback = nullptr;
    bool single = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = items[i];
        if (!PyWeakref_CheckRefExact(entry)) return;
        PyObject* carried = vo::compat::weakref_callback(entry);
        if (!carried || (callback && carried != callback)) return;
        callback = carried;
        single = single && vo::compat::only_reference(entry);
    }
    if (!callback || (!single && !all_distinct(items, n))) return;
    state.known.list = data;
    state.known.callback.set(Ref::borrow(callback));
    note_known(data);
}

// The position of `reference` in the known list `data`, looked for from both
// ends at once; -1 if it is not there.
Py_ssize_t known_position(PyObject* data, PyObject* reference) noexcept {
    PyObject* const* items = vo::compat::list_items(data);
    for (Py_ssize_t front = 0, back = PyList_GET_SIZE(data) - 1; front <= back; ++front, --back) {
        if (items[back] == reference) return back;
        if (items[front] == reference) return front;
    }
    return -1;
}

}  // namespace

Search remove_first(PyObject* data, Probe& probe, PyObject* reference) noexcept {
    bool clean_up =
        reference && PyWeakref_CheckRefExact(reference) && !vo::compat::weakref_referent_borrowed(reference);
    Py_ssize_t position;
    if (clean_up && is_known(data)) {
        position = known_position(data, reference);
        if (position >= 0) {
            // Releasing the entry runs no code: a dead reference has no callback to call.
            if (PyList_SetSlice(data, position, position + 1, nullptr) < 0) return Search::Error;
            note_known(data);
            return Search::Found;
        }
        // Not there: the search below compares every entry as list.remove
        // would (without effect on a list of plain references).
        forget_known();
    }
    Search found = find_first(data, probe, position);
    if (found != Search::Found) return found;
    if (PyList_SetSlice(data, position, position + 1, nullptr) < 0) return Search::Error;
    if (clean_up && position >= kFarEnough) learn(data);
    return Search::Found;
}

// Re-entrancy as in find_first: the count is that of list.count over the
// list as it stands at each step.  The search never stops at a match: each
// one is counted instead.
Py_ssize_t count_matches(PyObject* data, Probe& probe) noexcept {
    using vo::lists::Equal;
    Py_ssize_t count = 0, at;
    vo::Found found = vo::lists::list_find_if(
        data, at, vo::lists::From::Front,
        [&](PyObject* entry) noexcept {
            Equal known = probe.known(entry);
            count += known == Equal::Yes;
            return known == Equal::Ask ? Equal::Ask : Equal::No;
        },
        [&](PyObject* entry) noexcept {
            vo::Found found = probe.ask(entry);
            count += found == vo::Found::Yes;
            return found == vo::Found::Error ? found : vo::Found::No;
        });
    return found == vo::Found::Error ? -1 : count;
}

// --- walking entries ----------------------------------------------------------------------------

namespace {

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

}  // namespace

template <Walk walk>
Ref read_entries(PyObject* entries) noexcept {
    if (PyList_CheckExact(entries)) return vo::iterator_new(kListEntries<walk>, entries);
    Ref it = Ref::steal(PyObject_GetIter(entries));
    if (!it) return nullptr;
    return vo::iterator_new(kIteratedEntries<walk>, it.get());
}

template Ref read_entries<Walk::Private>(PyObject*) noexcept;
template Ref read_entries<Walk::OfIter>(PyObject*) noexcept;

}  // namespace vapora
