// vestri.ondrel.vapora: a list that holds weak references to its elements.
//
// Vapora is made by abc.ABCMeta over collections.UserList, as a class
// statement would make it, and its methods are installed afterwards.  Its
// state is the base's ordinary instance attribute `data`: a list with one
// entry per element (entries.cpp makes, reads and compares them).  This file
// holds the class, its methods but `sort` (sort.cpp), and the module body.
//
// What a reader would not guess:
//  - Each "base operation" is done on `data` directly while the method that
//    super() finds after Vapora is UserList's own and `data` is an exact
//    list; otherwise that method is called as written.  Likewise
//    `weakref.ref` is called directly only while the module's `weakref` and
//    its `ref` and `ReferenceType` are the real ones.
//  - An element may die in the middle of any operation (inside a user
//    `__eq__`, a key function, or a collection triggered by an allocation);
//    its callback then removes its entry from `data`.  Iteration goes on by
//    position over the shortened list.
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
#include "vapora/vapora.hpp"

#include "common/args.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/guard.hpp"
#include "common/iterator.hpp"
#include "common/module.hpp"
#include "common/repr.hpp"
#include "common/vector.hpp"
#include "common/weakcall.hpp"

#include <vector>

namespace vapora {

VaporaState state;

// --- what a class does with `data` ----------------------------------------------------------

void compute_traits(PyTypeObject* type, Traits& t) noexcept {
    for (unsigned b = 0; b < kBaseCount; ++b) {
        Ref found = vo::super_lookup(type, state.cls.get(), state.base_names[b]);
        if (found.get() == state.base_originals[b].get()) t.bits |= 1u << b;
    }
    if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_setattro == PyObject_GenericSetAttr &&
        !vo::compat::type_lookup(type, state.data))
        t.bits |= kPlainData;
    if (PyErr_Occurred()) PyErr_Clear();  // a failed check just means "not ours"
}

Ref get_data(PyObject* self) noexcept { return Ref::steal(PyObject_GetAttr(self, state.data)); }

Ref call_base(PyObject* self, Base b, std::initializer_list<PyObject*> args, PyObject* kwnames) noexcept {
    Ref method = vo::super_attribute(self, state.cls.get(), state.base_names[b]);
    if (!method) return nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref::steal(PyObject_Vectorcall(method.get(), args.begin(), static_cast<size_t>(args.size()) - nkw, kwnames));
}

namespace {

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
    if (direct(traits_of(self), kInit)) return PyObject_SetAttr(self, state.data, refs) == 0;
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
    PyObject* result = PyObject_GetItem(self, state.reverse_slice.get());
    if (!result) return VO_FAIL();
    return result;
}

PyObject* vapora_add(PyObject* self, PyObject* item) {
    VO_METHOD("Vapora.__add__");
    Ref cls = vo::global(state.vapora);
    if (!cls) return VO_FAIL();
    int ok = PyObject_IsInstance(item, cls.get());
    if (ok < 0) return VO_FAIL();
    if (!ok) {
        Ref type_name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(item)), state.name));
        if (type_name)
            vo::raise_concat(PyExc_TypeError,
                             {"can only concatenante Vapora (not \"", type_name.get(), "\") to Vapora"});
        return VO_FAIL();
    }
    Ref result = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!result) return VO_FAIL();
    for (PyObject* part : {self, item}) {
        Ref done = Ref::steal(PyObject_CallMethodOneArg(result.get(), state.extend, part));
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
        switch (remove_first(data.get(), probe, is_ref ? item : nullptr)) {
            case Search::Found:
                Py_RETURN_NONE;
            case Search::Absent:
                // The clean-up of an element that died while Vapora.sort sorts
                // `data`: the entry is there but hidden; the sort takes it out after.
                if (is_ref && is_dead_reference(item)) {
                    vo::Found deferred = defer_to_sort(data.get(), item);
                    if (deferred == vo::Found::Error) return VO_FAIL();
                    if (deferred == vo::Found::Yes) Py_RETURN_NONE;
                }
                PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
                return VO_FAIL();
            case Search::Error:
                return VO_FAIL();
        }
    }
    // A data of a list subclass, sorted by Vapora.sort: its clean-up waits
    // for the end of the sort as well.
    if (is_ref && is_dead_reference(item)) {
        Ref data = get_data(self);
        if (!data) PyErr_Clear();
        if (data && PyList_Check(data.get())) {
            vo::Found deferred = defer_to_sort(data.get(), item);
            if (deferred == vo::Found::Error) return VO_FAIL();
            if (deferred == vo::Found::Yes) Py_RETURN_NONE;
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
        Py_ssize_t count = count_matches(data.get(), probe);
        if (count < 0) return VO_FAIL();
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
        return Ref::steal(PyObject_VectorcallMethod(state.pop, args, item ? 2 : 1, nullptr));
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
        done = Ref::steal(PyObject_VectorcallMethod(state.insert, args, 3, nullptr));
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
    Ref copy = Ref::steal(PyObject_CallMethodOneArg(cls.get(), state.new_, cls.get()));
    if (!copy) return VO_FAIL();
    Ref own = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    Ref target = own ? Ref::steal(PyObject_GenericGetDict(copy.get(), nullptr)) : nullptr;
    if (!target || PyDict_Update(target.get(), own.get()) < 0) return VO_FAIL();
    // The update compares keys, which can run Python code; from here on each
    // dictionary is the one its object holds at the time.
    own = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    Ref data;
    if (!own || vo::compat::dict_get_ref(own.get(), state.data, data) < 0) return VO_FAIL();
    if (!data) {
        vo::raise_key_error(state.data);
        return VO_FAIL();
    }
    Ref elements = read_entries(data.get());
    if (!elements) return VO_FAIL();
    Ref refs = Wrapper(copy.get(), Target::New).wrap_all(elements.get());
    if (!refs) return VO_FAIL();
    target = Ref::steal(PyObject_GenericGetDict(copy.get(), nullptr));
    if (!target || PyDict_SetItem(target.get(), state.data, refs.get()) < 0) return VO_FAIL();
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
    if (!vo::intern_all({{&state.data, "data"},
                         {&state.new_, "__new__"},
                         {&state.remove, "remove"},
                         {&state.weakref, "weakref"},
                         {&state.ref, "ref"},
                         {&state.reference_type_name, "ReferenceType"},
                         {&state.vapora, "Vapora"},
                         {&state.extend, "extend"},
                         {&state.sort, "sort"},
                         {&state.pop, "pop"},
                         {&state.insert, "insert"},
                         {&state.name, "__name__"}}))
        return false;
    for (unsigned b = 0; b < kBaseCount; ++b)
        if (!(state.base_names[b] = vo::intern(kBaseNames[b]))) return false;
    return true;
}

bool module_body(PyObject* module) {
    if (!intern_names()) return false;
    state.data_attr = vo::compat::InlineAttr(state.data);
    state.object_compare = PyBaseObject_Type.tp_richcompare;
    if (!vo::iterator_ready(module, "vapora_iterator") || !vo::weakcall_ready(module)) return false;
    if (!vo::body_import(module, "weakref") || !vo::body_import(module, "collections")) return false;

    // What the methods check `weakref` against is set up before the class
    // exists: reading it may run code (the module imported may be anyone's)
    // that could reach the class through the collector and use it.
    Ref weakref_module = vo::global(state.weakref);
    if (!weakref_module) return false;
    state.weakref_module.set(std::move(weakref_module));
    if (!state.reference_type.set(Ref::steal(PyObject_GetAttr(state.weakref_module.get(), state.reference_type_name))))
        return false;
    PyObject* weakref_dict = PyModule_GetDict(state.weakref_module.get());
    if (!weakref_dict) return false;  // no module
    if (!state.weakref_names.init({{vo::module_globals(), state.weakref, state.weakref_module.get()},
                                   {weakref_dict, state.ref, state.reference_type.get()},
                                   {weakref_dict, state.reference_type_name, state.reference_type.get()}}))
        return false;

    Ref collections = vo::global(vo::intern("collections"));
    if (!collections) return false;
    Ref user_list = Ref::steal(PyObject_GetAttrString(collections.get(), "UserList"));
    if (!user_list) return false;
    Ref bases = Ref::steal(PyTuple_Pack(1, user_list.get()));
    if (!bases) return false;
    Ref cls = vo::class_from_metaclass(module, "Vapora", bases.get(), vapora_doc);
    if (!cls || !vo::install_methods(module, cls.get(), vapora_methods)) return false;
    // A class statement that defines __eq__ and no __hash__ sets __hash__ to None.
    if (!vo::set_class_attribute(cls.get(), "__hash__", Py_None)) return false;

    state.cls.set(cls);
    for (unsigned b = 0; b < kBaseCount; ++b) {
        Ref original = vo::super_lookup(vapora_type(), state.cls.get(), state.base_names[b]);
        if (!original) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "UserList has no method %U", state.base_names[b]);
            return false;
        }
        state.base_originals[b].set(std::move(original));
    }
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    if (!minus_one || !state.reverse_slice.set(Ref::steal(PySlice_New(nullptr, nullptr, minus_one.get()))))
        return false;
    if (!state.sort_kwnames.set(Ref::steal(PyTuple_Pack(2, vo::intern("key"), vo::intern("reverse"))))) return false;

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
