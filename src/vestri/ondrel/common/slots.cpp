#include "slots.hpp"
#include "compat.hpp"
#include "errors.hpp"

namespace vo {

namespace {
void** slot_pointer(PyTypeObject* type, SlotId id) noexcept {
    switch (id) {
        case SlotId::Subscript:
            return type->tp_as_mapping ? reinterpret_cast<void**>(&type->tp_as_mapping->mp_subscript) : nullptr;
        case SlotId::AssignSubscript:
            return type->tp_as_mapping ? reinterpret_cast<void**>(&type->tp_as_mapping->mp_ass_subscript) : nullptr;
        case SlotId::Contains:
            return type->tp_as_sequence ? reinterpret_cast<void**>(&type->tp_as_sequence->sq_contains) : nullptr;
    }
    return nullptr;
}
}  // namespace

void* NativeSlot::slot_of(PyTypeObject* type) const noexcept {
    void** slot = slot_pointer(type, id_);
    return slot ? *slot : nullptr;
}

bool NativeSlot::install(PyTypeObject* owner, SlotId id, void* native,
                         std::initializer_list<const char*> names) noexcept {
    if (names.size() > 2 || !PyType_HasFeature(owner, Py_TPFLAGS_HEAPTYPE)) {
        PyErr_SetString(PyExc_SystemError, "a native slot needs a heap type and at most two names");
        return false;
    }
    id_ = id;
    native_ = native;
    count_ = 0;
    for (const char* text : names) {
        PyObject* name = PyUnicode_InternFromString(text);  // kept for the process
        if (!name) return false;
        names_[count_] = name;
        PyObject* found = compat::type_lookup(owner, name);
        if (!found) {
            PyErr_Format(PyExc_SystemError, "%s resolves no %s", owner->tp_name, text);
            return false;
        }
        descrs_[count_++].set(Ref::borrow(found));
    }
    void** slot = slot_pointer(owner, id);
    if (!slot) {
        PyErr_SetString(PyExc_SystemError, "the class has no such slot");
        return false;
    }
    generic_ = *slot;
    *slot = native;
    // Caches keyed by the class's version may hold what the slot did before.
    PyType_Modified(owner);
    return true;
}

void NativeSlot::adopt_slow(PyTypeObject* type) noexcept {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return;
    // Looking the names up can run Python code, which may change the class
    // (it is held) and leave another exception pending (kept as it was).
    // A change made while a later name is looked up can undo what an earlier
    // lookup found, so the answers count only if the class's version tag (a
    // new one after every change, never handed out twice) is the same after
    // the lookups as before them; otherwise a later call tries again.
    Ref hold = Ref::borrow(type);
    unsigned int version = compat::type_version(type);
    if (version == 0) return;
    bool ours = true;
    {
        ErrorAside pending;
        for (int i = 0; i < count_ && ours; ++i) ours = compat::type_lookup(type, names_[i]) == descrs_[i].get();
        if (PyErr_Occurred()) ours = false;
    }
    void** slot = slot_pointer(type, id_);
    if (ours && compat::current_type_version(type) == version && slot && *slot == generic_) {
        *slot = native_;
        PyType_Modified(type);
    }
}

}  // namespace vo
