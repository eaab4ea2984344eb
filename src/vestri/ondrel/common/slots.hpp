// C functions in the slots of classes whose special methods are descriptors.
//
// A class made by its metaclass (abc.ABCMeta) gets its native methods
// installed afterwards as method descriptors, so that they keep their
// signatures, keyword arguments and error texts.  Setting `__getitem__` that
// way leaves the interpreter's generic slot in `mp_subscript`, which looks
// the method up by name and calls it on every `obj[key]`.  While a class
// resolves every special method that feeds a slot to our descriptors, the C
// function behind them can sit in the slot instead: the effect is the same,
// minus the lookup and the call.
//
// Subclasses.  A subclass written in Python that overrides nothing gets the
// generic slot again when it is created (the interpreter inherits a slot
// directly only from wrapper descriptors), and nothing runs at its creation
// that could change that.  So the method itself adopts the class: reached
// through a generic slot for an instance whose class still resolves the
// methods to ours, it puts the C function in that class's slot, once.  The
// slot stays right afterwards for the same reason it does in the class that
// installed the methods: assigning or deleting any of these methods on the
// class or on a base (and reassigning `__bases__`) makes the interpreter
// recompute the slots of the class and of all its subclasses from what the
// names then resolve to.
#pragma once

#include "kept.hpp"

#include <initializer_list>

namespace vo {

enum class SlotId { Subscript, AssignSubscript, Contains };

class NativeSlot {
public:
    // For `owner`, whose methods `names` (all the special methods that feed
    // the slot) resolve to the descriptors now installed: keeps those
    // descriptors and the generic slot, and puts `native` in `owner`'s slot.
    bool install(PyTypeObject* owner, SlotId id, void* native, std::initializer_list<const char*> names) noexcept;

    // Puts `native` in the slot of `type` if it holds the generic slot and
    // resolves every name to our descriptors.  Cheap when it has nothing to do.
    void adopt(PyTypeObject* type) noexcept {
        if (VO_UNLIKELY(slot_of(type) == generic_) && generic_) adopt_slow(type);
    }

    // The generic slot function the interpreter had put in `owner`'s slot.
    void* generic() const noexcept { return generic_; }

private:
    void* slot_of(PyTypeObject* type) const noexcept;
    void adopt_slow(PyTypeObject* type) noexcept;
    SlotId id_ = SlotId::Subscript;
    void* native_ = nullptr;
    void* generic_ = nullptr;
    PyObject* names_[2] = {};  // interned
    Kept descrs_[2];
    int count_ = 0;
};

}  // namespace vo
