// Shared between the files of vestri.ondrel.trellan.
//
// What the module keeps lives in one `State`, made once by the module body
// and never freed (the module is never unloaded, and freeing it at process
// exit would decref objects after the interpreter is gone).
#pragma once

#include "common/bindings.hpp"
#include "common/compat.hpp"
#include "common/ref.hpp"

namespace trellan {

// A type whose instances the module builds itself, bypassing a call, for as
// long as the class is unchanged.  The interpreter gives a class a new
// version tag on every change to it or its bases; the first use after a
// change checks the class again with `verify`.  The class is held here, so
// that the tag and the checks always describe the object they were taken
// from.
struct TypeCheck {
    vo::Ref type;
    bool (*verify)(PyTypeObject*) = nullptr;
    unsigned int tag = 0;

    bool holds() noexcept {
        if (VO_LIKELY(tag != 0 && vo::compat::current_type_version(type.type_ptr()) == tag)) return true;
        return recheck();
    }
    bool recheck() noexcept;
};

struct State {
    // Interned names.
    PyObject *s_type_, *s_index, *s_items, *s_get, *s_flatten, *s_name, *s_new, *s_init, *s_mutable_mapping,
        *s_dict_item, *s_index_marker, *s_trellan;

    // The objects the module body bound, as it bound them.
    vo::Ref mutable_mapping;  // collections.abc.MutableMapping
    vo::Ref dict_item;        // DictItem
    vo::Ref index_marker;     // IndexMarker
    vo::Ref trellan;          // Trellan
    vo::Ref flatten;          // the static method object in Trellan's namespace
    vo::Ref flatten_target;   // ... and what it gives when read (the built-in function)
    vo::Ref flattener_type;   // the type of what `__flatten__` returns

    // What the fast paths compare against.
    vo::Ref dict_item_new;  // DictItem.__new__ as namedtuple made it
    vo::Ref object_init;    // object.__init__
    vo::Ref list_insert;    // list.insert
    vo::Ref cache_token;    // abc.get_cache_token
    vo::Ref full_slice;     // slice(None, None, None)
    vo::Ref minus_one;      // -1
    vo::Ref empty_tuple;    // ()
    vo::Ref dict_items;     // dict.items, the method descriptor

    // The token of the ABC caches under which the built-in scalar and
    // sequence types were seen not to be MutableMappings.
    vo::Ref plain_token;

    vo::Binding names;  // MutableMapping, DictItem, IndexMarker, Trellan
    TypeCheck dict_item_check;
    TypeCheck trellan_check;       // Trellan.__flatten__ is ours
    TypeCheck index_marker_check;  // reading a marker's attributes runs no user code
};

extern State* g;

// Whether user code since the last check may have registered a built-in type
// with an ABC: the fast classification of built-ins is re-validated after it.
struct Env {
    bool verified = false;
    bool plain = false;
    unsigned long epoch = 0;  // advanced whenever user code may have run
    void user_code() noexcept {
        verified = false;
        ++epoch;
    }
    // 1: built-in scalars, lists and tuples are no MutableMappings; 0: some
    // may be (registered), ask the ABC; -1: error.
    int builtins_plain() noexcept {
        if (VO_LIKELY(verified)) return plain;
        return recheck_builtins();
    }
    int recheck_builtins() noexcept;
};

// Built-in types whose instances cannot claim another class through
// `__class__`, and which are no MutableMappings unless registered as such.
inline bool is_plain_builtin(PyTypeObject* t) noexcept {
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == Py_TYPE(Py_None) || t == &PyBytes_Type || t == &PyList_Type || t == &PyTuple_Type;
}

// An object that cannot take part in a reference cycle now or later: not
// collected at all, or a tuple the collector has found it need not track.
// A tuple or pair holding only such objects needs no tracking either, by
// the rule the interpreter's collector applies to tuples.
inline bool is_atomic(PyObject* obj) noexcept {
    return !PyObject_IS_GC(obj) || (PyTuple_CheckExact(obj) && !PyObject_GC_IsTracked(obj));
}

// isinstance(obj, MutableMapping) with the module's name as bound now: 1, 0 or -1.
int is_mutable_mapping(PyObject* obj, Env& env) noexcept;
// isinstance(obj, IndexMarker), likewise.
int is_index_marker(PyObject* obj, Env& env) noexcept;

// IndexMarker(seq, index) with the name as bound now.
vo::Ref make_index_marker(PyObject* seq, Py_ssize_t index, Env& env) noexcept;
// DictItem(path, value) with the name as bound now.
vo::Ref make_dict_item(PyObject* path, PyObject* value, Env& env) noexcept;
// A DictItem built directly; only while `names` and `dict_item_check` hold.
vo::Ref new_dict_item(PyObject* path, PyObject* value) noexcept;

// Raises ValueError("Trellan only accepts a tuple of path/obj") with the
// pending exception as its context.
void raise_not_a_pair() noexcept;

// `first, second = item`, with the unpacking statement's errors.
bool unpack(PyObject* item, vo::Ref& first, vo::Ref& second) noexcept;

// --- flattening (flatten.cpp) -----------------------------------------------------

// The generator-like type that `Trellan.__flatten__` returns.
vo::Ref make_flattener_type(PyObject* module) noexcept;
// `Trellan.__flatten__(indict, path)`: a new flattener, which has done nothing yet.
PyObject* new_flattener(PyObject* indict, PyObject* path) noexcept;
// Appends to `list` every pair of the flattening of `indict`, as
// `list.extend(Trellan.__flatten__(indict))` would while the class's
// `__flatten__` is ours.  False with an exception set.
bool flatten_into(PyObject* list, PyObject* indict) noexcept;
// What reading `__flatten__` from the class gives now (the function its
// static method wraps), without looking it up; NULL with an exception.
vo::Ref read_flatten() noexcept;
// flatten_is_ours() for a class attribute that is no static method.
bool flatten_target_is_ours() noexcept;

// `Trellan.__flatten__` as the module's class holds it now is ours.
inline bool flatten_is_ours() noexcept {
    if (!g->trellan_check.holds()) return false;
    // The class still holds the object it was made with; what that object
    // gives when read may have changed.
    PyObject* descr = g->flatten.get();
    if (VO_LIKELY(Py_IS_TYPE(descr, &PyStaticMethod_Type)))
        return vo::compat::staticmethod_callable(descr) == g->flatten_target.get();
    return flatten_target_is_ours();
}

// --- rebuilding (rebuild.cpp) -----------------------------------------------------

PyObject* reconstruct(PyObject* self) noexcept;

}  // namespace trellan
