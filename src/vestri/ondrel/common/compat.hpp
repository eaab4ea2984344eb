// Every use of the interpreter's private or unstable API, in one place.
//
// The package is built against CPython 3.12 and 3.13.  What the stable,
// public API lacks (a type's MRO lookup without an exception, type version
// tags, the calling frame's code, dict lookups returning strong references
// on 3.12) is reached through these wrappers only, so that porting to a new
// CPython means reading and fixing this one file.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vo::compat {

// `name` looked up along the MRO of `type`, as attribute lookup does, without
// raising (borrowed, NULL if no class has it).  The result is valid only
// until Python code can run: hold it in a Ref before calling anything.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept { return _PyType_Lookup(type, name); }

// The same as a strong reference (3.13 has a lookup that returns one).
inline Ref type_lookup_ref(PyTypeObject* type, PyObject* name) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(_PyType_LookupRef(type, name));
#else
    return Ref::borrow(_PyType_Lookup(type, name));
#endif
}

// A tag that changes whenever `type` or any of its bases is modified; 0 when
// the interpreter could not assign one (then nothing may be cached for it).
inline unsigned int type_version(PyTypeObject* type) noexcept {
    return PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
}
// The tag as it stands, without assigning one.
inline unsigned int current_type_version(PyTypeObject* type) noexcept { return type->tp_version_tag; }

// `dict[key]` as a strong reference: 1 found, 0 absent, -1 error.
inline int dict_get_ref(PyObject* dict, PyObject* key, Ref& out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    int rc = PyDict_GetItemRef(dict, key, &value);
    out = Ref::steal(value);
    return rc;
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);
    out = Ref::borrow(value);
    if (value) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// The code object the innermost Python frame of this thread runs (new
// reference), or NULL without an exception when no Python frame runs.
inline Ref current_code() noexcept {
    PyThreadState* tstate = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030D0000
    struct _PyInterpreterFrame* frame = tstate->current_frame;
#else
    struct _PyInterpreterFrame* frame = tstate->cframe ? tstate->cframe->current_frame : nullptr;
#endif
    if (!frame) return nullptr;
    return Ref::steal(PyUnstable_InterpreterFrame_GetCode(frame));
}

}  // namespace vo::compat

namespace vo::compat {

// The instance dictionary of a type with Py_TPFLAGS_MANAGED_DICT, visited and
// cleared (public from 3.13 on, underscored before).
inline int visit_managed_dict(PyObject* obj, visitproc visit, void* arg) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_VisitManagedDict(obj, visit, arg);
#else
    return _PyObject_VisitManagedDict(obj, visit, arg);
#endif
}
// Whether nothing hangs in that dictionary's place (no dict, no values):
// the word three pointers before the object, on 3.12 and 3.13, unless the
// type keeps its values inline after the object (3.13).
inline bool managed_dict_empty(PyObject* obj) noexcept {
    VO_ASSERT(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT);
#if PY_VERSION_HEX >= 0x030D0000
    if (Py_TYPE(obj)->tp_flags & Py_TPFLAGS_INLINE_VALUES) return false;
#endif
    return reinterpret_cast<void* const*>(obj)[-3] == nullptr;
}
inline void clear_managed_dict(PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject_ClearManagedDict(obj);
#else
    _PyObject_ClearManagedDict(obj);
#endif
}

}  // namespace vo::compat

namespace vo::compat {

// How many more Python-level calls the interpreter allows this thread before
// RecursionError.
inline int recursion_remaining() noexcept { return PyThreadState_Get()->py_recursion_remaining; }

// Sets the `name` and `obj` fields of an AttributeError made without its
// __init__ (they feed the interpreter's "Did you mean" hints).
inline void set_attribute_error_fields(PyObject* exc, PyObject* name, PyObject* obj) noexcept {
    auto* error = reinterpret_cast<PyAttributeErrorObject*>(exc);
    Py_XSETREF(error->name, Py_NewRef(name));
    Py_XSETREF(error->obj, Py_NewRef(obj));
}

// The head of an object's weak-reference list (borrowed, NULL when empty):
// the interpreter keeps it at tp_weaklistoffset, which is negative when it
// manages the list itself.  The type must support weak references.
inline PyObject* weakref_list_head(PyObject* self) noexcept {
    VO_ASSERT(Py_TYPE(self)->tp_weaklistoffset != 0);
    Py_ssize_t offset = Py_TYPE(self)->tp_weaklistoffset;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

// The parts of a slot wrapper (`type.__dict__['__call__']` of a type with a
// tp_call slot): the interpreter's table entry for the slot and the C
// function it wraps.  NULL if `descr` is no slot wrapper.
struct SlotWrapperParts {
    const struct wrapperbase* base;
    void* wrapped;
};
inline SlotWrapperParts slot_wrapper_parts(PyObject* descr) noexcept {
    if (!descr || !Py_IS_TYPE(descr, &PyWrapperDescr_Type)) return {nullptr, nullptr};
    auto* wrapper = reinterpret_cast<PyWrapperDescrObject*>(descr);
    return {wrapper->d_base, wrapper->d_wrapped};
}

}  // namespace vo::compat

namespace vo::compat {

// The item array of `list`, its own storage: valid until the list is
// resized, for rearranging items in place without a call.
inline PyObject** list_items(PyObject* list) noexcept {
    VO_ASSERT(PyList_Check(list));
    return reinterpret_cast<PyListObject*>(list)->ob_item;
}

// Whether `list` is in the middle of `list.sort()`: the interpreter empties
// the list while it sorts and marks it by setting `allocated` to -1.
inline bool list_being_sorted(PyObject* list) noexcept {
    return reinterpret_cast<PyListObject*>(list)->allocated == -1;
}

// An empty new list with room for `n` items, to be filled by appending.
// Code run while it is filled can reach it through the collector
// (`gc.get_objects()`, `gc.get_referrers()`): it shows only the items put
// in so far, each held, never an empty slot; and whatever that code does to
// it, the next append looks at the list as it is then.
inline Ref list_with_room(Py_ssize_t n) noexcept {
    Ref list = Ref::steal(PyList_New(n));
    if (list) Py_SET_SIZE(list.get(), 0);
    return list;
}

// `list.append(item)`, taking over `item`; without a call while the list has
// room (the list's own layout: its size and the slots it has allocated).
inline bool list_append(PyObject* list, Ref item) noexcept {
    VO_ASSERT(PyList_Check(list) && item);
    auto* l = reinterpret_cast<PyListObject*>(list);
    Py_ssize_t n = Py_SIZE(l);
    if (VO_LIKELY(n < l->allocated)) {
        l->ob_item[n] = item.release();
        Py_SET_SIZE(l, n + 1);
        return true;
    }
    return PyList_Append(list, item.get()) == 0;
}

}  // namespace vo::compat

namespace vo::compat {

// Whether looking the exact str `key` up in the exact dict `dict` can run
// Python code.  A dict whose keys are all exact str keeps a key table of its
// own kind ("unicode" or "split", against "general"): there a str lookup
// compares strings in place, while a general table compares through `==`,
// which runs the `__eq__` of a stored key of a user class with an equal hash.
// Knowing that none can run lets a caller keep what it read before the
// lookup.  The leading fields of the key table (`struct _dictkeysobject`) are
// the same in 3.11 to 3.13; on any other build the answer is "unsure" (false).
struct DictKeyTableHead {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;  // 0 general, 1 unicode, 2 split
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    // then the index table (2 ** log2_index_bytes bytes) and the entries
};
static_assert(sizeof(DictKeyTableHead) == 4 * sizeof(Py_ssize_t));
// Whether every key of the exact dict `dict` is an exact str (the table's
// kind switches to general when a key of any other type comes in); false
// when unsure.
inline bool dict_keys_exact_str(PyObject* dict) noexcept {
    VO_ASSERT(PyDict_Check(dict));
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    auto* table = reinterpret_cast<const DictKeyTableHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    return table->kind != 0;
#else
    (void)dict;
    return false;
#endif
}
inline bool str_lookup_runs_no_code(PyObject* dict, PyObject* key) noexcept {
    return PyUnicode_CheckExact(key) && dict_keys_exact_str(dict);
}

// Whether looking an exact str name up along the MRO of `type` surely runs
// no Python code: every namespace of a heap class holds exact str keys only
// (a key of another type, a str subclass included, may have an `__eq__` the
// lookup runs).  Namespaces of built-in types hold exact str keys and cannot
// change.  Only then does a miss mean "no class has the name": the lookup
// also answers NULL when comparing a key raised (it swallows the error), and
// the next lookup may find the name.  A linear walk of a namespace only where
// its table does not already say "exact str keys": for learning, not for
// every lookup.
inline bool mro_lookup_runs_no_code(PyTypeObject* type) noexcept {
    PyObject* mro = type->tp_mro;
    if (!mro) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* ns = base->tp_dict;
        if (!ns) return false;
        if (dict_keys_exact_str(ns)) continue;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(ns, &pos, &key, &value))
            if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

}  // namespace vo::compat

namespace vo::compat {

// The function a `staticmethod` object wraps (borrowed), read from the
// object's layout: `sm.__init__(f)` can swap it at any time, so a fast path
// compares it on every use, and a call through the descriptor protocol would
// cost more than the rest of such a check.
struct StaticMethodLayout {
    PyObject_HEAD PyObject* callable;
};
inline PyObject* staticmethod_callable(PyObject* sm) noexcept {
    VO_ASSERT(PyObject_TypeCheck(sm, &PyStaticMethod_Type));
    return reinterpret_cast<StaticMethodLayout*>(sm)->callable;
}

// The materialized instance dictionary of an object whose class has a
// managed `__dict__` (borrowed), or NULL while its attributes are stored
// inline: the word three pointers before the object, a tagged pointer to the
// inline values on 3.12 and a plain dict pointer on 3.13.  Elsewhere one dict
// visited through the managed dict: the materialized one, or a lone inline
// value that is a dict (merely conservative for a caller that then looks at
// that dict's keys).
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
inline PyObject* materialized_dict(PyObject* obj) noexcept {
    VO_ASSERT(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_MANAGED_DICT);
    uintptr_t word = reinterpret_cast<const uintptr_t*>(obj)[-3];
#if PY_VERSION_HEX < 0x030D0000
    if (word & 1) return nullptr;  // a tagged pointer to the inline values
#endif
    return reinterpret_cast<PyObject*>(word);
}
#else
inline PyObject* materialized_dict(PyObject* obj) noexcept {
    PyObject* dict = nullptr;
    visit_managed_dict(
        obj,
        [](PyObject* o, void* arg) noexcept -> int {
            auto* found = static_cast<PyObject**>(arg);
            *found = *found == nullptr && PyDict_CheckExact(o) ? o : Py_None;
            return 0;
        },
        &dict);
    return dict == Py_None ? nullptr : dict;
}
#endif

}  // namespace vo::compat

namespace vo::compat {

// Replaces the C-level docstring of a heap type (what `__text_signature__`
// is read from; `__doc__` lives in the namespace and stays).  A heap type
// owns its tp_doc, allocated with PyObject_Malloc and freed with the type.
inline bool set_heap_type_doc(PyTypeObject* type, const char* doc, size_t length) noexcept {
    char* copy = static_cast<char*>(PyObject_Malloc(length + 1));
    if (!copy) {
        PyErr_NoMemory();
        return false;
    }
    std::memcpy(copy, doc, length);
    copy[length] = '\0';
    PyObject_Free(const_cast<char*>(type->tp_doc));
    type->tp_doc = copy;
    return true;
}

}  // namespace vo::compat

namespace vo::compat {

// The callback a weak reference carries (borrowed; NULL when it has none):
// no public call reads it.  `ref` must pass PyWeakref_CheckRef.
inline PyObject* weakref_callback(PyObject* ref) noexcept {
    VO_ASSERT(PyWeakref_CheckRef(ref));
    return reinterpret_cast<PyWeakReference*>(ref)->wr_callback;
}

// The referent of the weak reference `ref` (PyWeakref_Check passes),
// borrowed; NULL once the referent is dead or being finalized (its count is
// zero while a long chain of deallocations has not yet cleared the
// reference).  Valid only until Python code can run.  This is what
// PyWeakref_GET_OBJECT reads on 3.12, without that macro's deprecation on
// 3.13 (which has no borrowing replacement); never raises.
inline PyObject* weakref_referent_borrowed(PyObject* ref) noexcept {
    VO_ASSERT(PyWeakref_Check(ref));
    PyObject* obj = reinterpret_cast<PyWeakReference*>(ref)->wr_object;
    return obj != Py_None && Py_REFCNT(obj) > 0 ? obj : nullptr;
}

// The same as a strong reference (empty once the referent is dead); never
// raises.  PyWeakref_GetRef (3.13) fails only for what is no weak reference.
inline Ref weakref_referent(PyObject* ref) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    [[maybe_unused]] int found = PyWeakref_GetRef(ref, &obj);
    VO_ASSERT(found >= 0);
    return Ref::steal(obj);
#else
    return Ref::borrow(weakref_referent_borrowed(ref));
#endif
}

// Whether the caller's strong reference is the only one to `obj`, so that
// releasing it frees the object (and runs whatever its deallocation runs).
// Sound because the modules run with the GIL held: every strong reference
// is counted in the one reference count and no other thread can take or
// drop one in between (an immortal object's count is never 1).  A
// free-threaded build splits the count between threads, where this would
// not hold; such builds are not supported.
inline bool only_reference(PyObject* obj) noexcept { return Py_REFCNT(obj) == 1; }

// The reference count of `obj`, for code that recognises a change by it (a
// count that moves only when a reference is made or dropped).  Sound under
// the GIL for the reasons above.
inline Py_ssize_t ref_count(PyObject* obj) noexcept { return Py_REFCNT(obj); }

// Whether `func` is the built-in method the method descriptor `descr` (say
// `dict.items`) makes when bound to `self`: the same C definition, the same
// `__self__`.  Compared without calling anything.
inline bool is_bound_method_of(PyObject* func, PyObject* descr, PyObject* self) noexcept {
    VO_ASSERT(Py_IS_TYPE(descr, &PyMethodDescr_Type));
    return PyCFunction_Check(func) &&
           reinterpret_cast<PyCFunctionObject*>(func)->m_ml ==
               reinterpret_cast<PyMethodDescrObject*>(descr)->d_method &&
           PyCFunction_GET_SELF(func) == self;
}

// Sets a heap type's C-level name (tp_name) to the UTF-8 of its `__name__`,
// as a class statement and an assignment to `__name__` leave it (the type
// made from a PyType_Spec has the dotted "module.Class" name there).  The text is
// owned by `__name__`, which the type holds.
inline bool use_short_type_name(PyTypeObject* type) noexcept {
    const char* name = PyUnicode_AsUTF8(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name);
    if (!name) return false;
    type->tp_name = name;
    return true;
}

}  // namespace vo::compat

namespace vo::compat {

// What InlineAttr and FreshValues share: where an instance of a heap class
// with a managed dict keeps its values, and where the class keeps the keys.
namespace values_layout {

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
inline constexpr bool kKnown = true;
#else
inline constexpr bool kKnown = false;
#endif

// The word three pointers before an object whose class manages its dict.
inline uintptr_t dict_word(PyObject* obj) noexcept { return reinterpret_cast<const uintptr_t*>(obj)[-3]; }

#if PY_VERSION_HEX >= 0x030D0000
// 3.13: the values right after the object header.
struct Inline {
    std::uint8_t capacity, size, embedded, valid;
    PyObject* values[1];
};
inline Inline* inline_of(PyObject* obj) noexcept {
    return reinterpret_cast<Inline*>(reinterpret_cast<char*>(obj) + sizeof(PyObject));
}
#endif

// Whether `type` keeps its instances' values where this file reads them
// (a heap class with a managed dict, whose instances have no fields of their
// own on 3.13) and looks attributes up, or stores them, the generic way.
inline bool plain_class(PyTypeObject* type, bool for_store) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    constexpr unsigned long kInline = Py_TPFLAGS_INLINE_VALUES;
    if (type->tp_basicsize != sizeof(PyObject)) return false;
#else
    constexpr unsigned long kInline = Py_TPFLAGS_MANAGED_DICT;
#endif
    constexpr unsigned long kNeeded = kInline | Py_TPFLAGS_HEAPTYPE;
    if ((type->tp_flags & kNeeded) != kNeeded) return false;
    return for_store ? type->tp_setattro == PyObject_GenericSetAttr : type->tp_getattro == PyObject_GenericGetAttr;
}

// The index of `name` among the keys the heap type `type` shares with its
// instances, or -1.  Identity first (the names are interned on both sides),
// then equality: a key stored through `obj.__dict__` need not be interned.
// Comparing two exact str runs no Python code.
inline Py_ssize_t shared_key_index(PyTypeObject* type, PyObject* name) noexcept {
    auto* keys = reinterpret_cast<const DictKeyTableHead*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    if (!keys || keys->kind != 2) return -1;
    struct Entry {
        PyObject* key;
        PyObject* value;
    };
    auto* entries = reinterpret_cast<const Entry*>(reinterpret_cast<const char*>(keys) + sizeof(DictKeyTableHead) +
                                                   (size_t{1} << keys->log2_index_bytes));
    for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
        if (entries[i].key == name) return i;
    }
    for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
        PyObject* key = entries[i].key;
        if (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0) return i;
    }
    return -1;
}

}  // namespace values_layout

// A fast read of an ordinary instance attribute, as the interpreter's own
// specialized attribute load does it.  An instance of a class made by a
// class statement keeps its attributes in an array of values laid out by
// keys the class shares among its instances; a key keeps its index in that
// array for the life of the class.  So the index can be remembered with the
// class's version tag (which changes whenever the class or a base is
// modified, and is never given to another class), and a read that finds the
// same tag is one load: the answer `PyObject_GetAttr` would give, as long as
// - the class reads attributes the generic way (no `__getattribute__` or
//   `__getattr__` of its own),
// - no class along the MRO has an attribute of that name (a descriptor would
//   take part in the lookup; a plain value would answer when the instance has
//   none),
// - the instance still keeps its values inline (not when its dict was
//   materialized and left them: then an exact-str lookup in that dict), and
//   the value is there (a deleted attribute takes the generic path, which
//   raises the AttributeError).
// Anything else takes the generic path.  Keep one per call site and name (a
// site that sees several classes in turn re-learns on each change: still
// correct).  No type pointer is kept, only the tag.
//
// Layouts: on 3.12 the word three pointers before the object holds either a
// dict or (tagged with the low bit) a pointer to the values; on 3.13 a class
// flagged Py_TPFLAGS_INLINE_VALUES has them right after the object header,
// with a flag saying whether they are still valid, and the word before the
// object holds a dict once one is materialized.
class InlineAttr {
public:
    constexpr InlineAttr() noexcept = default;
    // `name`: an exact str interned for the life of the process.
    explicit constexpr InlineAttr(PyObject* name) noexcept : name_(name) {}
    PyObject* name() const noexcept { return name_; }

    // `getattr(obj, name)`: a new reference, or NULL with an exception set.
    Ref get(PyObject* obj) noexcept {
        bool ran_code = false;
        return get(obj, ran_code);
    }
    // The same; sets `ran_code` when the read may have run Python code (the
    // generic path, or learning a new class, whose MRO lookup may compare
    // keys), and leaves it alone otherwise.
    Ref get(PyObject* obj, bool& ran_code) noexcept {
        if (PyObject** slot = value_slot(obj)) {
            if (PyObject* value = *slot) return Ref::borrow(value);
        }
        return get_slow(obj, ran_code);
    }

    // `setattr(obj, name, value)`; false with an exception set.  Replacing a
    // value that is there is one store (and the old value's release, after the
    // store, so whatever that release runs sees the new value); any other case
    // takes the generic path.
    bool set(PyObject* obj, PyObject* value) noexcept {
        if (PyObject** slot = writable_slot(obj)) {
            if (PyObject* old = *slot) {
                *slot = Py_NewRef(value);
                Py_DECREF(old);
                return true;
            }
        }
        return set_slow(obj, value);
    }

private:
    static constexpr bool kLayoutKnown = values_layout::kKnown;
    static uintptr_t dict_word(PyObject* obj) noexcept { return values_layout::dict_word(obj); }

    // The start of obj's inline values, or NULL when it has none (any more).
    // The class must be one `learn` accepted.
    static PyObject** inline_values(PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        auto* values = values_layout::inline_of(obj);
        return values->valid ? values->values : nullptr;
#else
        uintptr_t word = dict_word(obj);
        return word & 1 ? reinterpret_cast<PyObject**>(word + 1) : nullptr;
#endif
    }

    bool current(PyObject* obj) const noexcept {
        unsigned int tag = Py_TYPE(obj)->tp_version_tag;
        return kLayoutKnown && tag == version_ && tag != 0;
    }
    PyObject** value_slot(PyObject* obj) const noexcept {
        if (!current(obj)) return nullptr;
        PyObject** values = inline_values(obj);
        return values ? values + index_ : nullptr;
    }
    // As the interpreter's own store: only while no dict is materialized (on
    // 3.13 a dict can share the inline values, and its watchers and version
    // would have to hear of the change).
    PyObject** writable_slot(PyObject* obj) const noexcept {
        if (!writable_) return nullptr;
        PyObject** slot = value_slot(obj);
#if PY_VERSION_HEX >= 0x030D0000
        if (slot && dict_word(obj) != 0) return nullptr;
#endif
        return slot;
    }

    // Remembers where obj's class keeps `name`, if the class qualifies.
    [[gnu::noinline]] bool learn(PyObject* obj) noexcept {
        VO_ASSERT(name_ && PyUnicode_CheckExact(name_) && PyUnicode_CHECK_INTERNED(name_));
        if constexpr (!kLayoutKnown) return false;
        PyTypeObject* type = Py_TYPE(obj);
        if (!values_layout::plain_class(type, false)) return false;
        unsigned int tag = type_version(type);
        if (!tag) return false;
        // A miss counts only from a lookup that ran no code: a key's failing
        // __eq__ also makes it miss, and the next lookup may find the name.
        if (!mro_lookup_runs_no_code(type)) return false;
        Ref pin = Ref::borrow(type);
        if (type_lookup(type, name_) || type->tp_version_tag != tag) return false;
        Py_ssize_t index = values_layout::shared_key_index(type, name_);
        if (index < 0) return false;
        version_ = tag;
        index_ = index;
        writable_ = values_layout::plain_class(type, true);
        return true;
    }

    [[gnu::noinline]] Ref get_slow(PyObject* obj, bool& ran_code) noexcept {
        if (!current(obj)) {
            ran_code = true;
            learn(obj);
        }
        if (current(obj)) {
            if (PyObject** values = inline_values(obj)) {
                if (PyObject* value = values[index_]) return Ref::borrow(value);
            } else if (PyObject* dict = materialized_dict(obj); dict && str_lookup_runs_no_code(dict, name_)) {
                // No class attribute of the name: the dict's entry is the answer.
                if (PyObject* value = PyDict_GetItemWithError(dict, name_)) return Ref::borrow(value);
                if (PyErr_Occurred()) return nullptr;
            }
        }
        ran_code = true;
        return Ref::steal(PyObject_GetAttr(obj, name_));
    }

    [[gnu::noinline]] bool set_slow(PyObject* obj, PyObject* value) noexcept {
        if (!current(obj) && learn(obj)) {
            if (PyObject** slot = writable_slot(obj)) {
                if (PyObject* old = *slot) {
                    *slot = Py_NewRef(value);
                    Py_DECREF(old);
                    return true;
                }
            }
        }
        return PyObject_SetAttr(obj, name_, value) == 0;
    }

    PyObject* name_ = nullptr;  // interned (borrowed for the process)
    unsigned int version_ = 0;  // the tag of the class last learnt; 0 none
    bool writable_ = false;     // that class also stores attributes the generic way
    Py_ssize_t index_ = 0;      // the name's index among its shared keys
};
static_assert(std::is_trivially_destructible_v<InlineAttr>);

// The first attribute values of a new instance, written as the interpreter's
// own store writes them.  An instance of a class with a managed `__dict__`
// starts with an array of empty values laid out by the keys its class shares
// among its instances; a generic store of a name those keys hold puts the
// value at the name's index and appends the index to the array's insertion
// order (what `vars(obj)` lists).  For a class that stores the generic way
// and has no class attribute of either name, writing both values directly
// gives the same instance, for about a tenth of the two stores.  The class is
// learnt once per version tag; anything unexpected (the names not yet among
// the shared keys, a materialized dict, values already there) leaves the
// object untouched for the generic stores.
class FreshValues {
public:
    // `first` and `second`: exact str interned for the life of the process.
    void init(PyObject* first, PyObject* second) noexcept {
        names_[0] = first;
        names_[1] = second;
    }

    // Stores `a` under the first name, then `b` under the second, into `obj`
    // fresh from its class's `tp_new`; false (nothing written, no exception)
    // where the generic stores must do it.
    bool store(PyObject* obj, PyObject* a, PyObject* b) noexcept {
        if constexpr (!kLayoutKnown) return false;
        PyTypeObject* type = Py_TYPE(obj);
        if (VO_UNLIKELY(type->tp_version_tag != version_ || version_ == 0) && !learn(type)) return false;
        if (!ok_) return false;
        Py_ssize_t i = index_[0], j = index_[1];
#if PY_VERSION_HEX >= 0x030D0000
        auto* values = values_layout::inline_of(obj);
        if (dict_word(obj) != 0 || !values->valid || values->size != 0 || values->capacity <= (i > j ? i : j))
            return false;
        if (values->values[i] || values->values[j]) return false;
        auto* order = reinterpret_cast<std::uint8_t*>(&values->values[values->capacity]);
        values->values[i] = Py_NewRef(a);
        values->values[j] = Py_NewRef(b);
        order[0] = static_cast<std::uint8_t>(i);
        order[1] = static_cast<std::uint8_t>(j);
        values->size = 2;
#else
        // A tagged pointer to the values, whose bytes before them hold the
        // prefix size ([-1]), the count of values set ([-2]) and the
        // insertion order ([-3], [-4], ...).  The array has room for every
        // key the class shared when the instance was made.
        std::uintptr_t word = dict_word(obj);
        if (!(word & 1)) return false;
        auto** values = reinterpret_cast<PyObject**>(word + 1);
        auto* bytes = reinterpret_cast<std::uint8_t*>(values);
        if (bytes[-2] != 0 || bytes[-1] < 4 || values[i] || values[j]) return false;
        values[i] = Py_NewRef(a);
        values[j] = Py_NewRef(b);
        bytes[-3] = static_cast<std::uint8_t>(i);
        bytes[-4] = static_cast<std::uint8_t>(j);
        bytes[-2] = 2;
#endif
        return true;
    }

private:
    static constexpr bool kLayoutKnown = values_layout::kKnown;
    static uintptr_t dict_word(PyObject* obj) noexcept { return values_layout::dict_word(obj); }

    [[gnu::noinline]] bool learn(PyTypeObject* type) noexcept {
        if (!values_layout::plain_class(type, true)) return false;
        unsigned int tag = type_version(type);
        if (!tag) return false;
        // Misses count only from lookups that ran no code (a key's failing
        // __eq__ also makes one miss); otherwise the class does not qualify.
        Ref pin = Ref::borrow(type);
        bool plain = mro_lookup_runs_no_code(type) && !type_lookup(type, names_[0]) && !type_lookup(type, names_[1]);
        if (type->tp_version_tag != tag) return false;
        Py_ssize_t i = plain ? values_layout::shared_key_index(type, names_[0]) : -1;
        Py_ssize_t j = plain ? values_layout::shared_key_index(type, names_[1]) : -1;
        // Until the names are among the shared keys (the first instance's
        // generic stores put them there), nothing is remembered.
        if (plain && (i < 0 || j < 0)) return false;
        version_ = tag;
        ok_ = plain;
        index_[0] = i;
        index_[1] = j;
        return true;
    }

    PyObject* names_[2] = {nullptr, nullptr};  // interned (borrowed for the process)
    unsigned int version_ = 0;                 // the tag of the class last learnt; 0 none
    bool ok_ = false;                          // that class qualifies
    Py_ssize_t index_[2] = {0, 0};             // the names' indices among its shared keys
};
static_assert(std::is_trivially_destructible_v<FreshValues>);

}  // namespace vo::compat
