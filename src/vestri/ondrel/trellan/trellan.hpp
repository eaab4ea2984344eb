// Shared between the files of vestri.ondrel.trellan: the module's state.
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
#include "common/lookup.hpp"
#include "common/ref.hpp"
#include "common/typecache.hpp"

#include <type_traits>

namespace trellan {

struct TrellanState {
    // Interned names (borrowed: interned for the process).
    PyObject *s_type_, *s_index, *s_items, *s_get, *s_flatten, *s_name, *s_new, *s_init, *s_mutable_mapping,
        *s_dict_item, *s_index_marker, *s_trellan;

    // The objects the module body bound, as it bound them (strong).
    vo::Kept mutable_mapping;  // collections.abc.MutableMapping
    vo::Kept dict_item;        // DictItem
    vo::Kept index_marker;     // IndexMarker
    vo::Kept trellan;          // Trellan
    vo::Kept flatten;          // the static method object in Trellan's namespace
    vo::Kept flatten_target;   // ... and what it gives when read (the built-in function)
    vo::Kept flattener_type;   // the type of what `__flatten__` returns
    PyTypeObject* dict_item_type() const noexcept { return reinterpret_cast<PyTypeObject*>(dict_item.get()); }
    PyTypeObject* index_marker_type() const noexcept { return reinterpret_cast<PyTypeObject*>(index_marker.get()); }
    PyTypeObject* trellan_type() const noexcept { return reinterpret_cast<PyTypeObject*>(trellan.get()); }

    // What the fast paths compare against (strong).
    vo::Kept dict_item_new;  // DictItem.__new__ as namedtuple made it
    vo::Kept object_init;    // object.__init__
    vo::Kept list_insert;    // list.insert
    vo::Kept full_slice;     // slice(None, None, None)
    vo::Kept minus_one;      // -1
    vo::Kept empty_tuple;    // ()
    vo::Kept dict_items;     // dict.items, the method descriptor

    vo::Binding names;                       // MutableMapping, DictItem, IndexMarker, Trellan
    vo::MappingCheck mutable_mapping_check;  // isinstance(x, MutableMapping), the name as bound now
    // Per class and version: whether the class is still the one the fast path was written for.
    vo::TypeCache<bool, 1> dict_item_plain;        // DictItem(path, value) is tuple.__new__ and no __init__
    vo::TypeCache<bool, 1> trellan_plain;          // Trellan.__flatten__ is ours
    vo::TypeCache<bool, 1> index_marker_plain;     // reading a marker's attributes runs no user code
    vo::compat::InlineAttr type_attr, index_attr;  // a marker's `type_` and `index`, read
    vo::compat::FreshValues marker_values;         // ... and written into a new one
};
static_assert(std::is_trivially_destructible_v<TrellanState>);

// Hidden, so that the other files reach it at a fixed offset rather than
// through the global offset table.
extern TrellanState state __attribute__((visibility("hidden")));

// What the class checks ask of each class (trellan.cpp).
bool verify_dict_item(PyTypeObject* type) noexcept;
bool verify_trellan(PyTypeObject* type) noexcept;
bool verify_index_marker(PyTypeObject* type) noexcept;

// The module's classes as the fast paths were written for them, worked out
// again only when a class changes.
inline bool dict_item_holds() noexcept {
    return state.dict_item_plain.get(state.dict_item_type(),
                                     [](PyTypeObject* t, bool& ok) noexcept { ok = verify_dict_item(t); });
}
inline bool trellan_holds() noexcept {
    return state.trellan_plain.get(state.trellan_type(),
                                   [](PyTypeObject* t, bool& ok) noexcept { ok = verify_trellan(t); });
}
inline bool index_marker_holds() noexcept {
    return state.index_marker_plain.get(state.index_marker_type(),
                                        [](PyTypeObject* t, bool& ok) noexcept { ok = verify_index_marker(t); });
}

// What one operation knows about the code that may have run during it.
struct Env {
    vo::MappingCheck::Memo memo;  // what the ABC said about built-ins since user code last ran
    unsigned long epoch = 0;      // advanced whenever user code may have run
    void user_code() noexcept {
        memo = {};
        ++epoch;
    }
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
    if (!trellan_holds()) return false;
    // The class still holds the object it was made with; what that object
    // gives when read may have changed.
    PyObject* descr = state.flatten.get();
    if (VO_LIKELY(Py_IS_TYPE(descr, &PyStaticMethod_Type)))
        return vo::compat::staticmethod_callable(descr) == state.flatten_target.get();
    return flatten_target_is_ours();
}

// --- rebuilding (rebuild.cpp) -----------------------------------------------------

PyObject* reconstruct(PyObject* self) noexcept;

}  // namespace trellan
