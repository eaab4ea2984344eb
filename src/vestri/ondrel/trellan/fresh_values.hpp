// The first attribute values of a new instance, written as the interpreter's
// own store writes them.
//
// This reaches into the interpreter's layout of instance values, as
// `vo::compat::InlineAttr` does for reading and replacing a value, and belongs
// beside it in common/compat.hpp.
//
// An instance of a class with a managed `__dict__` starts with an array of
// empty values laid out by the keys its class shares among its instances; a
// generic attribute store of a name those keys hold puts the value at the
// name's index and appends the index to the array's insertion order (what
// `vars(obj)` lists).  For a class that stores the generic way and has no
// class attribute of either name, writing both values directly gives the
// same instance, for about a tenth of the two stores.  The class is learnt
// once per version tag; anything unexpected (the names not yet among the
// shared keys, a materialized dict, values already there) leaves the object
// untouched for the generic stores.
#pragma once

#include "common/compat.hpp"

#include <cstdint>
#include <type_traits>

namespace trellan {

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
        struct Values {
            std::uint8_t capacity, size, embedded, valid;
            PyObject* values[1];
        };
        auto* values = reinterpret_cast<Values*>(reinterpret_cast<char*>(obj) + sizeof(PyObject));
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
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    static constexpr bool kLayoutKnown = true;
#else
    static constexpr bool kLayoutKnown = false;
#endif

    static std::uintptr_t dict_word(PyObject* obj) noexcept { return reinterpret_cast<const std::uintptr_t*>(obj)[-3]; }

    // The index of `name` among the keys `type` shares with its instances, or -1.
    static Py_ssize_t shared_key_index(PyTypeObject* type, PyObject* name) noexcept {
        auto* keys = reinterpret_cast<const vo::compat::DictKeyTableHead*>(
            reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
        if (!keys || keys->kind != 2) return -1;
        struct Entry {
            PyObject* key;
            PyObject* value;
        };
        auto* entries =
            reinterpret_cast<const Entry*>(reinterpret_cast<const char*>(keys) + sizeof(vo::compat::DictKeyTableHead) +
                                           (std::size_t{1} << keys->log2_index_bytes));
        for (Py_ssize_t k = 0; k < keys->nentries; ++k) {
            PyObject* key = entries[k].key;
            if (key == name || (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) return k;
        }
        return -1;
    }

    [[gnu::noinline]] bool learn(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        constexpr unsigned long kInline = Py_TPFLAGS_INLINE_VALUES;
        if (type->tp_basicsize != sizeof(PyObject)) return false;
#else
        constexpr unsigned long kInline = Py_TPFLAGS_MANAGED_DICT;
#endif
        constexpr unsigned long kNeeded = kInline | Py_TPFLAGS_HEAPTYPE;
        if ((type->tp_flags & kNeeded) != kNeeded || type->tp_setattro != PyObject_GenericSetAttr) return false;
        unsigned int tag = vo::compat::type_version(type);
        if (!tag) return false;
        // The MRO lookups can run a stored key's __eq__, which may modify the class.
        vo::Ref pin = vo::Ref::borrow(type);
        bool plain = !vo::compat::type_lookup(type, names_[0]) && !vo::compat::type_lookup(type, names_[1]);
        if (type->tp_version_tag != tag) return false;
        Py_ssize_t i = plain ? shared_key_index(type, names_[0]) : -1;
        Py_ssize_t j = plain ? shared_key_index(type, names_[1]) : -1;
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

}  // namespace trellan
