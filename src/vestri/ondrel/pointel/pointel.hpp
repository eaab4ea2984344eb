// What the two files of vestri.ondrel.pointel share: the module's state.
//
// The state is one static object, set while the module body runs and kept
// for the rest of the process.  It is trivially destructible on purpose:
// static destructors run after the interpreter has finalized, when releasing
// a reference would touch freed memory, so strong references are `vo::Kept`,
// which never releases, and borrowed ones plain `PyObject*`.
#pragma once

#include "common/bindings.hpp"
#include "common/kept.hpp"
#include "common/lookup.hpp"
#include "common/slots.hpp"
#include "common/typecache.hpp"

#include <cstdint>
#include <type_traits>

namespace pointel {

// What a class does with its instances: whether each operation is still
// NestedPointel's own, so that a fast path may stand in for it.
struct Traits {
    bool getitem = false;     // NestedPointel's item read
    bool setitem = false;     // ... item write
    bool delitem = false;     // ... item deletion
    bool contains = false;    // ... membership
    bool update = false;      // `obj.update` is NestedPointel's
    bool setdefault = false;  // `obj.setdefault` is MutableMapping's over our item read
    bool init_next = false;   // the __init__ after NestedPointel's in the MRO is Pointel's
    bool construct = false;   // `cls()` makes an empty instance and does nothing else
};

// The last AttributeError text built for a missing attribute, shared by the
// next probe of the same name on a class of the same name.
struct LastMissing {
    vo::Kept type_name;  // compared by identity
    vo::Kept name;
    vo::Kept args;  // (text,)
};

// Names recently found absent from a class, so that reading a key as an
// attribute (`obj.key`) skips the lookup on the class.  An entry holds only
// while the class's version tag is the one it was found absent under: the
// interpreter gives a class a new tag whenever it or a base changes, and
// never hands a tag out twice, so the class pointer is compared only, never
// followed.  The name is held, so that its address cannot be reused.
struct AbsentNames {
    static constexpr int kEntries = 16;
    struct Entry {
        PyTypeObject* type;  // compared only, with `version`
        unsigned int version;
        vo::Kept name;  // an exact str
    };
    Entry entries[kEntries];
    static int slot(PyTypeObject* type, PyObject* name) noexcept {
        return static_cast<int>(((reinterpret_cast<uintptr_t>(name) >> 4) ^ (reinterpret_cast<uintptr_t>(type) >> 6)) &
                                (kEntries - 1));
    }
};

struct PointelState {
    // Interned names (borrowed: interned for the process).
    PyObject *dict, *class_, *name, *repr, *quote, *no_attr;
    PyObject *getitem, *setitem, *delitem, *contains, *init, *update, *setdefault, *items, *missing, *mapping,
        *itertools, *chain, *split, *dot;

    // The classes; the module namespace binds them too, but a caller may delete those names.
    vo::Kept pointel;         // Pointel
    vo::Kept nested_pointel;  // NestedPointel
    PyTypeObject* pointel_type() const noexcept { return reinterpret_cast<PyTypeObject*>(pointel.get()); }
    PyTypeObject* nested_type() const noexcept { return reinterpret_cast<PyTypeObject*>(nested_pointel.get()); }

    PyObject* dict_repr;  // dict.__repr__ (borrowed: dict's own namespace holds it), the usual next __repr__
    LastMissing last_missing;
    AbsentNames absent;

    // What NestedPointel's fast paths compare against.
    vo::Kept d_getitem, d_setitem, d_delitem, d_contains, d_update, d_init;  // our descriptors
    vo::Kept d_pointel_init;                                                 // Pointel.__init__
    vo::Kept mm_setdefault;            // MutableMapping.setdefault, as NestedPointel holds it
    vo::Kept dict_items;               // dict.items
    vo::Kept str_contains, str_split;  // str.__contains__, str.split
    vo::Kept real_itertools, real_chain;
    vo::Kept catchers[2];        // code of Mapping.get and MutableMapping.setdefault
    PyObject* catcher_codes[2];  // borrowed from `catchers`, as vo::called_from wants them

    // Cached objects.
    vo::Kept split_cache;      // dotted key -> tuple of its segments
    vo::Kept empty_tuple;      // ()
    vo::Kept split_once_args;  // (".", 1)

    vo::TypeCache<Traits> traits;    // per class and version
    vo::MappingCheck mapping_check;  // the module's `Mapping`, consulted for every item of update()
    vo::Binding update_names;        // the other names update() consults: itertools.chain
    // NestedPointel's C functions in the item slots of the classes that keep its methods.
    vo::NativeSlot subscript_slot, assign_slot, contains_slot;
};
static_assert(std::is_trivially_destructible_v<PointelState>);

// Hidden, so that the other files reach it at a fixed offset rather than
// through the global offset table.
extern PointelState state __attribute__((visibility("hidden")));

// Pointel's attribute read, which NestedPointel's subclasses must keep for some fast paths.
PyObject* pointel_getattro(PyObject* self, PyObject* name);

// Builds NestedPointel over Pointel and MutableMapping.
vo::Ref make_nested_pointel(PyObject* module) noexcept;

}  // namespace pointel
