// What a class does, remembered per class and version.
//
// A fast path may stand in for a method only while the class of the object
// still resolves that method to ours ("is `type(obj).__getitem__` still
// NestedPointel's?").  The answers for a class are worked out once and kept
// in a small direct-mapped table keyed by the class and its version tag.  The
// interpreter gives a class a new tag whenever the class or one of its bases
// is modified (a method assigned or deleted, `__bases__` reassigned), and
// never hands a tag out twice, so a stale entry, even one whose class was
// freed and whose address was reused, cannot match.
//
// Working the answers out looks names up in class namespaces, which can run
// Python code (a key in a namespace whose `__eq__` collides): the class is
// held while that runs, and answers worked out while the class changed under
// them are used once and not kept.
#pragma once

#include "compat.hpp"

#include <cstdint>

namespace vo {

// `Facts` is a plain struct of answers, default-constructed for "nothing is ours".
template <class Facts, int Entries = 32>
class TypeCache {
    static_assert((Entries & (Entries - 1)) == 0, "a power of two");

public:
    // The facts about `type`; `compute(type, facts)` works them out when the
    // table holds none for this version.  A failed lookup inside `compute`
    // just means "not ours": it must leave no exception set.
    template <class Compute>
    Facts get(PyTypeObject* type, Compute compute) noexcept {
        Entry& e = table_[(reinterpret_cast<std::uintptr_t>(type) >> 5) & (Entries - 1)];
        if (VO_LIKELY(e.type == type && e.version != 0 && e.version == compat::current_type_version(type)))
            return e.facts;
        Ref hold = Ref::borrow(type);
        unsigned int version = compat::type_version(type);
        Facts facts{};
        // `compute` may clear what its checks raise: never called with an error pending.
        VO_ASSERT(!PyErr_Occurred());
        compute(type, facts);
        // Modified while the answers were worked out: they may be half old.
        if (version != 0 && compat::current_type_version(type) == version) e = Entry{type, version, facts};
        return facts;
    }

private:
    struct Entry {
        PyTypeObject* type = nullptr;  // compared only, never followed
        unsigned int version = 0;
        Facts facts{};
    };
    Entry table_[Entries];
};

}  // namespace vo
