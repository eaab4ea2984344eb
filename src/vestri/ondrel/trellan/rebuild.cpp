// Rebuilding a nesting from its pairs: Trellan.reconstruct.
//
// The pairs are applied in list order to a new dict.  A key descends into a
// mapping, creating an empty level where the key is missing; a marker
// descends into a list or tuple, creating it where something of another type
// stands, or growing it by one placeholder where its position is missing,
// and always continues in the last element.  Lists grow in place, also lists
// that are values of earlier pairs.
//
// Tuples cannot grow in place.  While the rebuild runs, each tuple is a
// *builder*: a private list that grows like any list, remembered with the
// container and key (or position) it sits under and the type its marker
// recorded.  When every pair is applied (or one has failed), each builder
// still in its place becomes a tuple of that type, innermost first.  So
// tuples of mappings, sequences inside tuples and a tuple whose first
// element is an empty dict come back as they went in.  A leaf stored
// directly at a tuple position adds one element, unless this pair's marker
// has just made a placeholder for it.
//
// While the pairs hold plain data only (text and int keys, scalar or empty
// leaves, exact markers, tuple paths) and no user code has run, nothing but
// the walk touches the new nesting, and it trusts what it stored or read a
// step earlier.  Once anything else is met, user code may run where the
// walk cannot see it (a key's `__hash__`/`__eq__` in any lookup of a level
// holding it, a finalizer when a value is replaced, a callback reaching the
// levels through the collector), so from then on every step reads again,
// as the plain definition does, what it relies on.  The collector's own
// callbacks cannot run unseen before that: an allocation only schedules a
// collection, which runs where the interpreter next executes Python code
// (or checks for signals, which nothing here does), so a collection the
// walk's allocations call for runs once the rebuild returns, or inside the
// first user code, which taints the rebuild anyway.
#include <new>
#include <unordered_map>
#include <vector>

#include "common/vector.hpp"
#include "common/compat.hpp"
#include "common/errors.hpp"
#include "trellan.hpp"

namespace trellan {
namespace {

using vo::Ref;

struct Builder {
    Ref list;    // the elements so far
    Ref target;  // the tuple type to make of them
    Ref parent;  // the container that holds the builder
    Ref slot;    // ... and the key or position under which it holds it
};

class Rebuild {
public:
    bool start() noexcept {
        ret_ = Ref::steal(PyDict_New());
        return bool(ret_);
    }
    bool place(PyObject* item) noexcept;
    // The caller ran user code (the pairs' iteration).
    void user_code() noexcept { env_.user_code(); }
    // Turns the builders into tuples; `ok` false: an exception is pending
    // and stays the one raised.
    bool finish(bool ok) noexcept;
    PyObject* result() noexcept { return ret_.release(); }

private:
    // `leaf` is the pair's value when `k` is the last element of the path:
    // where nothing can observe the difference, it is stored at once
    // (`stored`) instead of after a placeholder that it would replace.
    bool apply_key(PyObject* k, PyObject* leaf, bool& stored) noexcept;
    bool apply_marker(PyObject* k, PyObject* leaf, bool& stored, bool& fresh, bool& to_tuple) noexcept;
    Py_ssize_t builder_of(PyObject* obj) const noexcept {
        if (builders_.empty() || !PyList_CheckExact(obj)) return -1;
        auto found = index_.find(obj);
        return found == index_.end() ? -1 : static_cast<Py_ssize_t>(found->second);
    }
    Ref new_builder(PyObject* target, Ref elements) noexcept;
    Ref adopt_tuple(PyObject* tuple) noexcept;
    Ref new_sequence(PyObject* type) noexcept;
    Ref slot_of(PyObject* parent, PyObject* key) noexcept;

    // `k.type_` and `k.index` of the marker read last: pairs below one
    // element share its marker.  Valid while no user code has run since.
    bool marker_fields(PyObject* k, Ref& type, Ref& index) noexcept;

    // No user code has run and none can have run unseen: see the top of the file.
    bool pristine() const noexcept { return env_.epoch == 0; }
    // Something was met that may run user code unseen, now or later.
    void taint() noexcept { env_.user_code(); }
    // What was read or stored in epoch `at` is still what the containers hold.
    bool known(unsigned long at) const noexcept { return at == 0 && pristine(); }

    Env env_;
    Ref ret_;
    Ref ptr_, prev_ptr_, prev_k_;
    // `ptr_` is the object that `prev_ptr_[prev_k_]` holds, read or stored
    // by the walk in epoch `held_at_` of an exact dict or list: reading it
    // again would give the same object.
    unsigned long held_at_ = ~0UL;
    // Where the walk stood after each element of the previous pair's path
    // but the last, for the next pair that begins with the same elements
    // (the same objects): consecutive pairs from a flattening share most of
    // their paths.  Taken only while the rebuild is pristine and no leaf is
    // a container (so that every container on the way is one the walk made,
    // held by one parent), where applying such an element again would read
    // what the walk stored and change nothing: a key found in an exact dict,
    // a marker whose position exists in an exact list.  The one write that
    // can replace a container standing on the way, a step replacing the
    // container it stands on, updates the record of that container.
    struct Reached {
        Ref ptr, prev_ptr, prev_k;
        unsigned long held_at = ~0UL;
        bool again_changes_nothing = false;
    };
    std::vector<Reached> reached_;
    Py_ssize_t reached_valid_ = 0;       // records of the previous pair still describing the nesting
    Ref reached_path_;                   // that pair's path (holds the elements compared)
    bool leaf_containers_ = false;       // a pair's value was a container: no reuse from then on
    bool step_changes_nothing_ = false;  // what the step just applied would do a second time
    Py_ssize_t depth_ = 0;               // the element being applied
    // The step at `depth_` replaced the container it stood on with `now`.
    void replaced_on_the_way(PyObject* now) noexcept {
        if (depth_ > 0 && depth_ - 1 < reached_valid_) reached_[depth_ - 1].ptr = Ref::borrow(now);
    }
    bool reuse_allowed() const noexcept { return pristine() && !leaf_containers_; }
    Py_ssize_t resume(PyObject* path, Py_ssize_t n) noexcept;
    bool remember(Py_ssize_t i) noexcept;

    Ref cached_marker_, cached_type_, cached_index_;
    unsigned long cached_at_ = ~0UL;
    bool cached_plain_ = false;
    std::vector<Builder> builders_;
    std::unordered_map<PyObject*, size_t> index_;
};

// Hashing, comparing and releasing it runs no Python code, and it holds
// nothing that could.
[[gnu::noinline]] bool is_other_plain_key(PyObject* obj) noexcept {
    PyTypeObject* t = Py_TYPE(obj);
    return t == &PyFloat_Type || t == &PyBool_Type || obj == Py_None || t == &PyBytes_Type;
}
inline bool is_plain_key(PyObject* obj) noexcept {
    PyTypeObject* t = Py_TYPE(obj);
    if (VO_LIKELY(t == &PyUnicode_Type) || t == &PyLong_Type) return true;
    return is_other_plain_key(obj);
}

// The same for a leaf, which may also be an empty dict, list or tuple: a
// later pair may descend into it, and finds nothing there but what the walk
// puts in.
[[gnu::noinline]] bool is_plain_container(PyObject* obj) noexcept {
    if (PyDict_CheckExact(obj)) return PyDict_GET_SIZE(obj) == 0;
    if (PyList_CheckExact(obj)) return PyList_GET_SIZE(obj) == 0;
    return (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == 0) || is_other_plain_key(obj);
}
inline bool is_plain_leaf(PyObject* obj) noexcept {
    PyTypeObject* t = Py_TYPE(obj);
    if (VO_LIKELY(t == &PyUnicode_Type) || t == &PyLong_Type) return true;
    return is_plain_container(obj);
}

// Whether reading an attribute of an IndexMarker (whose class is unchanged)
// runs no user code: its attributes are stored inline, or in a dictionary
// whose keys are all exact strings.  A key of another class that hashes
// like `type_` would have its `__eq__` run by the lookup.
bool marker_attributes_plain(PyObject* marker) noexcept {
    if (!PyType_HasFeature(Py_TYPE(marker), Py_TPFLAGS_MANAGED_DICT)) return false;
    PyObject* dict = vo::compat::materialized_dict(marker);
    if (!dict) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

Ref getitem(PyObject* obj, PyObject* key) noexcept {
    if (PyDict_CheckExact(obj)) {
        if (PyObject* value = PyDict_GetItemWithError(obj, key)) return Ref::borrow(value);
        if (PyErr_Occurred()) return nullptr;
    } else if (PyList_CheckExact(obj) && key == state.minus_one.get() && PyList_GET_SIZE(obj) > 0) {
        return Ref::borrow(PyList_GET_ITEM(obj, PyList_GET_SIZE(obj) - 1));
    }
    return Ref::steal(PyObject_GetItem(obj, key));
}

bool setitem(PyObject* obj, PyObject* key, PyObject* value) noexcept {
    if (PyDict_CheckExact(obj)) return PyDict_SetItem(obj, key, value) == 0;
    if (PyList_CheckExact(obj) && key == state.minus_one.get() && PyList_GET_SIZE(obj) > 0)
        return PyList_SetItem(obj, PyList_GET_SIZE(obj) - 1, Py_NewRef(value)) == 0;
    return PyObject_SetItem(obj, key, value) == 0;
}

// {} or {k: {}}
Ref new_level(PyObject* k = nullptr) noexcept {
    Ref level = Ref::steal(PyDict_New());
    if (!level || !k) return level;
    Ref inner = Ref::steal(PyDict_New());
    if (!inner || PyDict_SetItem(level.get(), k, inner.get()) < 0) return nullptr;
    return level;
}

// A list whose one element is `element`.
Ref single_list(PyObject* element) noexcept {
    Ref list = Ref::steal(PyList_New(1));
    if (!list) return nullptr;
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(element));
    return list;
}

// `tuple[index]` exists, by tuple's own indexing rules: 1, 0 or -1.
int tuple_position_exists(PyObject* list, PyObject* index) noexcept {
    if (PyIndex_Check(index)) {
        bool exact = PyLong_CheckExact(index);
        Py_ssize_t i = exact ? PyLong_AsSsize_t(index) : PyNumber_AsSsize_t(index, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) {
            // An int too large for a position: the sequence's IndexError.
            if (exact) {
                PyErr_Clear();
                return 0;
            }
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) return -1;
            PyErr_Clear();
            return 0;
        }
        if (i < 0) i += PyList_GET_SIZE(list);
        return i >= 0 && i < PyList_GET_SIZE(list);
    }
    if (PySlice_Check(index)) return 1;
    PyErr_Format(PyExc_TypeError, "tuple indices must be integers or slices, not %.200s", Py_TYPE(index)->tp_name);
    return -1;
}

// Where a builder placed at `parent[key]` sits: a list's last position is
// recorded as its index, which later growth does not move.
Ref Rebuild::slot_of(PyObject* parent, PyObject* key) noexcept {
    if (key == state.minus_one.get() && PyList_Check(parent) && PyList_GET_SIZE(parent) > 0)
        return Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(parent) - 1));
    return Ref::borrow(key);
}

Ref Rebuild::new_builder(PyObject* target, Ref elements) noexcept {
    Ref slot = slot_of(prev_ptr_.get(), prev_k_.get());
    if (!slot) return nullptr;
    if (!vo::grown([&] {
            index_.emplace(elements.get(), builders_.size());
            builders_.push_back({elements, Ref::borrow(target), prev_ptr_, slot});
        }))
        return nullptr;
    return elements;
}

// A real tuple met on the path (a value of an earlier pair) continues as a
// builder seeded with its elements, put in its place.
Ref Rebuild::adopt_tuple(PyObject* tuple) noexcept {
    Ref elements = Ref::steal(PySequence_List(tuple));
    if (!elements) return nullptr;
    Ref builder = new_builder(reinterpret_cast<PyObject*>(Py_TYPE(tuple)), std::move(elements));
    if (!builder || !setitem(prev_ptr_.get(), prev_k_.get(), builder.get())) return nullptr;
    replaced_on_the_way(builder.get());
    return builder;
}

// `type(({},))`
Ref Rebuild::new_sequence(PyObject* type) noexcept {
    Ref level = new_level();
    if (!level) return nullptr;
    if (type == reinterpret_cast<PyObject*>(&PyList_Type)) return single_list(level.get());
    Ref arg = Ref::steal(PyTuple_Pack(1, level.get()));
    if (!arg) return nullptr;
    Ref made = Ref::steal(PyObject_CallOneArg(type, arg.get()));
    env_.user_code();
    return made;
}

bool Rebuild::marker_fields(PyObject* k, Ref& type, Ref& index) noexcept {
    // A plain marker's attributes are read from its instance dictionary,
    // which runs no user code.
    if (k != cached_marker_.get() || !known(cached_at_)) {
        cached_plain_ = Py_IS_TYPE(k, state.index_marker_type()) && index_marker_holds() && marker_attributes_plain(k);
        Ref t = cached_plain_ ? state.type_attr.get(k) : Ref::steal(PyObject_GetAttr(k, state.s_type_));
        if (!cached_plain_) taint();
        if (!t) return false;
        cached_marker_ = Ref::borrow(k);
        cached_type_ = std::move(t);
        cached_index_.reset();
        cached_at_ = env_.epoch;
    }
    type = cached_type_;
    if (index && !cached_index_) {
        // `index` is read only where the marker's type matches.
        Ref i = cached_plain_ ? state.index_attr.get(k) : Ref::steal(PyObject_GetAttr(k, state.s_index));
        if (!cached_plain_) taint();
        if (!i) return false;
        cached_index_ = std::move(i);
        cached_at_ = env_.epoch;
    }
    return true;
}

// Re-entrancy (apply_key, apply_marker): a mapping's get/__setitem__, a
// key's __hash__/__eq__, a marker's attributes and a sequence type's
// constructor or += may run user code, which may change any container on the
// path.  `ptr_`, `prev_ptr_` and `prev_k_` are strong references, so the walk
// holds what it stands on; every such call advances `env_.epoch`, after which
// nothing read before it is trusted without reading it again.
bool Rebuild::apply_key(PyObject* k, PyObject* leaf, bool& stored) noexcept {
    // Its __hash__ and __eq__ run in every lookup of a level holding it.
    if (!is_plain_key(k)) taint();
    PyObject* ptr = ptr_.get();
    Py_ssize_t b = PyDict_CheckExact(ptr) ? -1 : builder_of(ptr);
    int mapping = b >= 0 ? 0 : (PyDict_CheckExact(ptr) && state.names.holds()) ? 1 : is_mutable_mapping(ptr, env_);
    if (mapping < 0) return false;
    if (mapping) {
        if (PyDict_CheckExact(ptr) && pristine()) {
            // `ptr[k] = ptr.get(k, {})`: only a missing key changes a dict;
            // then `ptr[k]` is what was found or stored.
            if (leaf) {
                stored = true;
                return PyDict_SetItem(ptr, k, leaf) == 0;
            }
            Ref next = Ref::borrow(PyDict_GetItemWithError(ptr, k));
            if (!next) {
                if (PyErr_Occurred()) return false;
                next = new_level();
                if (!next || PyDict_SetItem(ptr, k, next.get()) < 0) return false;
            }
            prev_ptr_ = std::move(ptr_);
            prev_k_ = Ref::borrow(k);
            ptr_ = std::move(next);
            held_at_ = 0;
            step_changes_nothing_ = true;
            return true;
        } else if (PyDict_CheckExact(ptr)) {
            // The three steps as written, each a lookup that may run the
            // `__eq__` of a key in the level; `ptr[k]` is read again below.
            Ref value;
            int found = vo::compat::dict_get_ref(ptr, k, value);
            if (found < 0) return false;
            if (!found) value = new_level();
            if (!value || PyDict_SetItem(ptr, k, value.get()) < 0) return false;
        } else {
            Ref level = new_level();
            if (!level) return false;
            Ref value = Ref::steal(PyObject_CallMethodObjArgs(ptr, state.s_get, k, level.get(), nullptr));
            env_.user_code();
            if (!value || PyObject_SetItem(ptr, k, value.get()) < 0) return false;
        }
    } else {
        // `ptr += type(ptr)(({k: {}},))`, continuing in that new level.
        if (b < 0 && PyTuple_Check(ptr)) {
            ptr_ = adopt_tuple(ptr);
            if (!ptr_) return false;
            ptr = ptr_.get();
            b = 0;
        }
        Ref level = new_level(k);
        if (!level) return false;
        if (b >= 0 || PyList_CheckExact(ptr)) {
            if (PyList_Append(ptr, level.get()) < 0) return false;
            ptr_ = std::move(level);
        } else {
            Ref arg = Ref::steal(PyTuple_Pack(1, level.get()));
            if (!arg) return false;
            Ref more = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(ptr)), arg.get()));
            env_.user_code();
            if (!more) return false;
            Ref grown = Ref::steal(PyNumber_InPlaceAdd(ptr, more.get()));
            env_.user_code();
            if (!grown) return false;
            ptr_ = getitem(grown.get(), state.minus_one.get());
            if (!ptr_) return false;
        }
    }
    prev_ptr_ = ptr_;
    prev_k_ = Ref::borrow(k);
    held_at_ = ~0UL;
    ptr_ = getitem(prev_ptr_.get(), k);
    return bool(ptr_);
}

bool Rebuild::apply_marker(PyObject* k, PyObject* leaf, bool& stored, bool& fresh, bool& to_tuple) noexcept {
    Ref type, index;
    if (!marker_fields(k, type, index)) return false;
    // What the parent holds once this step is done, when known without asking it.
    Ref placed;
    bool exact_parent = PyDict_CheckExact(prev_ptr_.get()) || PyList_CheckExact(prev_ptr_.get());
    to_tuple = PyType_Check(type.get()) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.get()), &PyTuple_Type);
    Py_ssize_t b = builder_of(ptr_.get());
    PyObject* current = b >= 0 ? builders_[b].target.get() : reinterpret_cast<PyObject*>(Py_TYPE(ptr_.get()));
    bool matched = type.get() == current;
    if (!matched) {
        // Whatever stands here (a leaf, a level, a sequence of another
        // type) is replaced by a new one-element sequence of the marker's type.
        Ref sequence;
        bool direct =
            leaf && exact_parent && pristine() && (to_tuple || type.get() == reinterpret_cast<PyObject*>(&PyList_Type));
        if (direct) {
            Ref elements = single_list(leaf);
            if (!elements) return false;
            sequence = to_tuple ? new_builder(type.get(), std::move(elements)) : std::move(elements);
            stored = true;
            if (!sequence || !setitem(prev_ptr_.get(), prev_k_.get(), sequence.get())) return false;
            replaced_on_the_way(sequence.get());
            return true;
        }
        if (to_tuple) {
            Ref level = new_level();
            Ref elements = level ? single_list(level.get()) : Ref();
            if (!elements) return false;
            sequence = new_builder(type.get(), std::move(elements));
        } else {
            sequence = new_sequence(type.get());
        }
        unsigned long epoch = env_.epoch;
        if (!sequence || !setitem(prev_ptr_.get(), prev_k_.get(), sequence.get())) return false;
        replaced_on_the_way(sequence.get());
        if (exact_parent && known(epoch)) placed = sequence;
        fresh = true;
    } else {
        if (b < 0 && PyTuple_Check(ptr_.get())) {
            ptr_ = adopt_tuple(ptr_.get());
            if (!ptr_) return false;
            held_at_ = exact_parent ? env_.epoch : ~0UL;
            b = 0;
        }
        index = Ref::borrow(Py_None);  // asks marker_fields for the index too
        if (!marker_fields(k, type, index)) return false;
        index = cached_index_;
        if (!PyLong_CheckExact(index.get())) env_.user_code();  // its __index__
        if (b >= 0) {
            int exists = tuple_position_exists(ptr_.get(), index.get());
            if (exists < 0) return false;
            fresh = !exists;
            if (leaf && known(held_at_)) {
                // A leaf at a tuple position adds one element either way.
                stored = true;
                return PyList_Append(ptr_.get(), leaf) == 0;
            }
            if (fresh) {
                Ref level = new_level();
                if (!level || PyList_Append(ptr_.get(), level.get()) < 0) return false;
            }
        } else if (PyList_CheckExact(ptr_.get()) && PyLong_CheckExact(index.get()) &&
                   type.get() == reinterpret_cast<PyObject*>(&PyList_Type)) {
            // The position test of a list, without raising its IndexError.
            int exists = tuple_position_exists(ptr_.get(), index.get());
            if (exists < 0) return false;
            fresh = !exists;
            if (leaf && known(held_at_)) {
                stored = true;
                if (fresh) return PyList_Append(ptr_.get(), leaf) == 0;
                return PyList_SetItem(ptr_.get(), PyList_GET_SIZE(ptr_.get()) - 1, Py_NewRef(leaf)) == 0;
            }
            if (fresh) {
                Ref level = new_level();
                if (!level || PyList_Append(ptr_.get(), level.get()) < 0) return false;
            }
        } else {
            // The marker's index only decides whether one element is added.
            Ref found = Ref::steal(PyObject_GetItem(ptr_.get(), index.get()));
            if (!PyList_CheckExact(ptr_.get())) env_.user_code();
            fresh = !found;
            if (fresh) {
                if (!PyErr_ExceptionMatches(PyExc_IndexError)) return false;
                PyErr_Clear();
                if (PyList_CheckExact(ptr_.get()) && type.get() == reinterpret_cast<PyObject*>(&PyList_Type)) {
                    Ref level = new_level();
                    if (!level || PyList_Append(ptr_.get(), level.get()) < 0) return false;
                } else {
                    // `ptr += k.type_(({},))`, which rebinds only the local name.
                    Ref more = new_sequence(type.get());
                    if (!more) return false;
                    Ref grown = Ref::steal(PyNumber_InPlaceAdd(ptr_.get(), more.get()));
                    env_.user_code();
                    if (!grown) return false;
                    ptr_ = std::move(grown);
                }
            }
        }
        if (known(held_at_)) placed = ptr_;
    }
    // The walk continues in the last element of the sequence as the parent holds it now.
    Ref sequence = placed ? std::move(placed) : getitem(prev_ptr_.get(), prev_k_.get());
    if (!sequence) return false;
    prev_ptr_ = std::move(sequence);
    prev_k_ = Ref::borrow(state.minus_one.get());
    held_at_ = PyList_CheckExact(prev_ptr_.get()) ? env_.epoch : ~0UL;
    // Applied again, a marker whose type now matches finds its position.
    if (matched && pristine() && PyList_CheckExact(prev_ptr_.get()) && cached_index_ &&
        PyLong_CheckExact(cached_index_.get()))
        step_changes_nothing_ = tuple_position_exists(prev_ptr_.get(), cached_index_.get()) == 1;
    ptr_ = getitem(prev_ptr_.get(), prev_k_.get());
    return bool(ptr_);
}

// Where to start the walk of a path of `n` elements: after the longest
// prefix it shares with the previous pair's path whose steps would change
// nothing when applied again, never after the last element (which stores
// the value).  The walk's state is set to what it was there.
Py_ssize_t Rebuild::resume(PyObject* path, Py_ssize_t n) noexcept {
    Py_ssize_t p = 0;
    if (reuse_allowed() && reached_path_) {
        PyObject* before = reached_path_.get();
        Py_ssize_t limit = reached_valid_ < n - 1 ? reached_valid_ : n - 1;
        while (p < limit && PyTuple_GET_ITEM(path, p) == PyTuple_GET_ITEM(before, p) &&
               reached_[p].again_changes_nothing)
            ++p;
    }
    reached_valid_ = p;
    if (p == 0) {
        ptr_ = ret_;
        return 0;
    }
    const Reached& r = reached_[p - 1];
    ptr_ = r.ptr;
    prev_ptr_ = r.prev_ptr;
    prev_k_ = r.prev_k;
    held_at_ = r.held_at;
    return p;
}

// Records where the walk stands after element `i` (not the last).
bool Rebuild::remember(Py_ssize_t i) noexcept {
    if (!reuse_allowed()) {
        reached_valid_ = 0;
        return true;
    }
    try {
        if (reached_.size() <= static_cast<size_t>(i)) reached_.resize(i + 1);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    reached_[i] = {ptr_, prev_ptr_, prev_k_, held_at_, step_changes_nothing_};
    reached_valid_ = i + 1;
    return true;
}

bool Rebuild::place(PyObject* item) noexcept {
    // A tuple (a DictItem included) or an exact list unpacks without running code.
    bool quiet = (PyTuple_Check(item) && Py_TYPE(item)->tp_iter == PyTuple_Type.tp_iter) || PyList_CheckExact(item);
    Ref path, obj;
    if (!unpack(item, path, obj)) return false;
    if (!quiet) taint();
    if (!is_plain_leaf(obj.get())) taint();
    // The path's elements stay held while keys' `__hash__`/`__eq__` and
    // markers' attributes run.  Any path that is not a tuple is taken as
    // `list(path)` takes it, and made a tuple at once: a list of ours would
    // be reachable from a key (`gc.get_referrers`) and could be emptied
    // under the walk, while a tuple cannot change.  (`tuple(path)` itself
    // would expose a tuple with empty slots to the collector while `path`
    // is iterated.)
    Ref elements = path;
    if (!PyTuple_CheckExact(path.get())) {
        if (!PyList_CheckExact(path.get()) && !PyUnicode_CheckExact(path.get())) taint();  // its iteration
        Ref list = Ref::steal(PySequence_List(path.get()));
        if (!list) return false;
        elements = Ref::steal(PyList_AsTuple(list.get()));
        if (!elements) return false;
    }
    PyObject* tuple = elements.get();
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "Trellan cannot rebuild a pair whose path is empty");
        return false;
    }
    int marker = is_index_marker(PyTuple_GET_ITEM(tuple, 0), env_);
    if (marker) {
        if (marker > 0)
            PyErr_SetString(PyExc_ValueError, "Trellan cannot rebuild a pair whose path begins with an IndexMarker");
        return false;
    }
    if (!is_plain_key(obj.get())) leaf_containers_ = true;
    bool fresh = false, to_tuple = false, stored = false;
    for (Py_ssize_t i = resume(tuple, n); i < n; ++i) {
        depth_ = i;
        step_changes_nothing_ = false;
        PyObject* k = PyTuple_GET_ITEM(tuple, i);  // held by `elements`
        PyObject* leaf = i == n - 1 ? obj.get() : nullptr;
        // While the module's name is the real class, a text key is no
        // marker and an exact IndexMarker is one.
        if (i == 0) {
            marker = 0;
        } else if (PyTypeObject* t = Py_TYPE(k);
                   (t == &PyUnicode_Type || t == state.index_marker_type()) && state.names.holds()) {
            marker = t != &PyUnicode_Type;
        } else {
            marker = is_index_marker(k, env_);
        }
        if (marker < 0) return false;
        if (marker) {
            if (!apply_marker(k, leaf, stored, fresh, to_tuple)) return false;
        } else {
            to_tuple = false;
            if (!apply_key(k, leaf, stored)) return false;
        }
        if (!leaf && !remember(i)) return false;
    }
    reached_path_ = std::move(elements);
    if (stored) return true;
    if (to_tuple && builder_of(prev_ptr_.get()) >= 0) {
        PyObject* list = prev_ptr_.get();
        Py_ssize_t size = PyList_GET_SIZE(list);
        if (fresh && size > 0) return PyList_SetItem(list, size - 1, Py_NewRef(obj.get())) == 0;
        return PyList_Append(list, obj.get()) == 0;
    }
    return setitem(prev_ptr_.get(), prev_k_.get(), obj.get());
}

bool Rebuild::finish(bool ok) noexcept {
    PyObject* pending = ok ? nullptr : PyErr_GetRaisedException();
    ptr_.reset();
    prev_ptr_.reset();
    prev_k_.reset();
    // Innermost first: a builder's parent always exists before it.
    for (size_t j = builders_.size(); j-- > 0;) {
        Builder& b = builders_[j];
        Ref current = getitem(b.parent.get(), b.slot.get());
        bool placed = current && current.get() == b.list.get();
        if (!current) {
            if (ok && !PyErr_ExceptionMatches(PyExc_LookupError)) return false;
            PyErr_Clear();
        }
        if (!placed && PyList_Check(b.parent.get())) {
            // Someone moved it within its list: find it.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(b.parent.get()); ++i) {
                if (PyList_GET_ITEM(b.parent.get(), i) == b.list.get()) {
                    b.slot = Ref::steal(PyLong_FromSsize_t(i));
                    placed = bool(b.slot);
                    break;
                }
            }
        }
        if (!placed) continue;  // replaced by a later pair
        Ref tuple = Ref::steal(PyList_AsTuple(b.list.get()));
        if (tuple && b.target.get() != reinterpret_cast<PyObject*>(&PyTuple_Type))
            tuple = Ref::steal(PyObject_CallOneArg(b.target.get(), tuple.get()));
        if (!tuple || !setitem(b.parent.get(), b.slot.get(), tuple.get())) {
            if (ok) return false;
            PyErr_Clear();
        }
    }
    if (pending) PyErr_SetRaisedException(pending);
    return ok;
}

}  // namespace

PyObject* reconstruct(PyObject* self) noexcept {
    VO_METHOD("Trellan.reconstruct");
    Rebuild rebuild;
    if (!rebuild.start()) return VO_FAIL();
    bool ok = true;
    if (Py_TYPE(self)->tp_iter == PyList_Type.tp_iter) {
        // As the list's iterator walks it: the size is read at every step.
        for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(self); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(self, i));
            ok = rebuild.place(item.get());
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(self));
        ok = bool(it);
        while (ok) {
            Ref item = Ref::steal(PyIter_Next(it.get()));
            rebuild.user_code();
            if (!item) {
                ok = !PyErr_Occurred();
                break;
            }
            ok = rebuild.place(item.get());
        }
    }
    if (!rebuild.finish(ok)) return VO_FAIL();
    return rebuild.result();
}

}  // namespace trellan
