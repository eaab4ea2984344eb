#include "bindings.hpp"

namespace vo {

namespace {
// The key names the layout: a state of another layout (left by another copy
// of the package in the process) is never joined.
constexpr unsigned int kSharedStateVersion = 2;
constexpr const char kSharedStateKey[] = "vestri.ondrel._shared_v2";

SharedState* g_shared = nullptr;  // this module's pointer to the process's state
bool g_joined = false;

// Registered once per process by the module that made the state; modules
// are never unloaded, so the callback outlives every dictionary it watches.
int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++g_shared->epoch;
    return 0;
}

}  // namespace

SharedState* shared_state() noexcept {
    if (g_shared) return g_shared;
    PyObject* interp_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!interp_dict) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no state dictionary");
        return nullptr;
    }
    Ref key = Ref::steal(PyUnicode_FromString(kSharedStateKey));
    if (!key) return nullptr;
    PyObject* capsule = PyDict_GetItemWithError(interp_dict, key.get());
    if (capsule) {
        auto* state = static_cast<SharedState*>(PyCapsule_GetPointer(capsule, kSharedStateKey));
        if (!state) return nullptr;
        g_shared = state;
        return g_shared;
    }
    if (PyErr_Occurred()) return nullptr;
    auto* state = static_cast<SharedState*>(PyMem_RawCalloc(1, sizeof(SharedState)));
    if (!state) {
        PyErr_NoMemory();
        return nullptr;
    }
    *state = SharedState{kSharedStateVersion, -1, 1, 0, {}};
    // The capsule has no destructor: every module keeps a raw pointer to the
    // state, and a late finalizer may still check a binding after the
    // interpreter's state dictionary is cleared, so the few bytes stay
    // allocated until the process ends.
    Ref owner = Ref::steal(PyCapsule_New(state, kSharedStateKey, nullptr));
    if (!owner) {
        PyMem_RawFree(state);
        return nullptr;
    }
    if (PyDict_SetItem(interp_dict, key.get(), owner.get()) < 0) return nullptr;
    g_shared = state;
    // Without a free slot the fast paths look their names up on every use:
    // slower, never wrong.
    state->watcher = PyDict_AddWatcher(on_change);
    if (state->watcher < 0) PyErr_Clear();
    return g_shared;
}

bool Binding::init(std::initializer_list<Bound> names) noexcept {
    if (!(shared_ = shared_state())) return false;
    if (!g_joined) {
        g_joined = true;
        ++shared_->modules;
    }
    count_ = 0;
    for (const Bound& bound : names) {
        if (count_ == 4) {
            PyErr_SetString(PyExc_SystemError, "too many names for one binding");
            return false;
        }
        names_[count_++] = bound;
        if (shared_->watcher >= 0 && PyDict_Watch(shared_->watcher, bound.dict) < 0) return false;
    }
    checked_at_ = 0;
    return true;
}

bool Binding::recheck() noexcept {
    if (shared_ == &unjoined) return false;  // before init: never the real names
    VO_ASSERT(!PyErr_Occurred());            // a failed lookup is cleared below
    // A lookup can run Python code (a key in the namespace whose `__eq__`
    // collides with a name), which may rebind a name checked before, or
    // check this binding again: the answer stands for this use, but is kept
    // only under the epoch seen before the lookups, so that a change made
    // meanwhile is looked at next time.  The value found is compared, never
    // followed: the expected object is alive, so equal addresses mean it.
    unsigned long epoch = shared_->epoch;
    bool holds = true;
    for (int i = 0; i < count_ && holds; ++i)
        holds = PyDict_GetItemWithError(names_[i].dict, names_[i].name) == names_[i].expected;
    PyErr_Clear();  // a failed lookup just means "not the real one"
    holds_ = holds;
    // Without a watcher nothing tells us of changes: look again next time.
    checked_at_ = shared_->watcher >= 0 ? epoch : 0;
    return holds;
}

}  // namespace vo
