// Vapora.sort: the base sort of `data`, with keys read from the entries.
//
// What a reader would not guess:
//  - While list.sort runs, the list looks empty (the interpreter takes its
//    items out and marks it with an allocation of -1).  An element that dies
//    meanwhile (inside a key function, or in a collection) cannot have its
//    entry removed: `remove` finds nothing.  Such clean-ups are handed to the
//    sort in progress over that list, which takes those entries out when
//    list.sort is over, also after a failed sort.
//  - The sort keys are functions of their own, with a traceback entry under
//    the name Python gives a lambda inside `sort`.
#include "vapora/vapora.hpp"

#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/vector.hpp"

namespace vapora {

// A Vapora.sort call in progress, with the clean-ups that could not be done
// while its list looked empty.  It lives on the C stack of the call; the
// calls in progress are chained from the innermost (`state.sorts`).
struct SortInProgress {
    PyObject* data;             // the list being sorted (held by the sort call)
    std::vector<Ref> deferred;  // dead references whose entries must go
    SortInProgress* outer;      // the call this one runs inside, or NULL
};

namespace {

// The outermost sort in progress over `data`, if Vapora.sort is sorting it.
SortInProgress* sort_of(PyObject* data) noexcept {
    if (!vo::compat::list_being_sorted(data)) return nullptr;
    SortInProgress* found = nullptr;
    for (SortInProgress* sort = state.sorts; sort; sort = sort->outer)
        if (sort->data == data) found = sort;
    return found;
}

// Sort keys: the referent itself, or the caller's key applied to it.
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
            Ref done = Ref::steal(PyObject_CallMethodOneArg(data, state.remove, ref.get()));
            if (!done && !PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_WriteUnraisable(ref.get());
            PyErr_Clear();
            continue;
        }
        Probe probe;
        probe.for_reference(ref.get());
        switch (remove_first(data, probe, ref.get())) {
            case Search::Found:
                break;
            case Search::Absent:
                break;  // taken out meanwhile
            case Search::Error:
                PyErr_WriteUnraisable(ref.get());
                break;
        }
    }
}

}  // namespace

vo::Found defer_to_sort(PyObject* data, PyObject* ref) noexcept {
    SortInProgress* sort = sort_of(data);
    if (!sort) return vo::Found::No;
    return vo::push(sort->deferred, Ref::borrow(ref)) ? vo::Found::Yes : vo::Found::Error;
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
    SortInProgress sort{watched.get(), {}, state.sorts};
    if (watched) state.sorts = &sort;
    Ref done;
    if (data) {
        PyObject* args[] = {data.get(), sort_key.get(), reverse_arg};
        done = Ref::steal(PyObject_VectorcallMethod(state.sort, args, 1, state.sort_kwnames.get()));
    } else {
        done = call_base(self, kSort, {sort_key.get(), reverse_arg}, state.sort_kwnames.get());
    }
    if (watched) {
        state.sorts = sort.outer;
        // Also after a failed sort: the list is back, and so are its entries.
        vo::ErrorAside aside;
        finish_clean_up(watched.get(), sort.deferred);
    }
    if (!done) return VO_FAIL();
    Py_RETURN_NONE;
}

}  // namespace vapora
