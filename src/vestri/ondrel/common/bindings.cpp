#include "bindings.hpp"

namespace vo {

namespace {
// -2: not registered yet; -1: no watcher slot was free, so every check looks
// the names up again.
int g_watcher = -2;

int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++Binding::epoch_;
    return 0;
}
}  // namespace

bool Binding::init(std::initializer_list<Bound> names) noexcept {
    if (g_watcher == -2) {
        g_watcher = PyDict_AddWatcher(on_change);
        if (g_watcher < 0) PyErr_Clear();
    }
    count_ = 0;
    for (const Bound& bound : names) {
        if (count_ == 4) {
            PyErr_SetString(PyExc_SystemError, "too many names for one binding");
            return false;
        }
        names_[count_++] = bound;
        if (g_watcher >= 0 && PyDict_Watch(g_watcher, bound.dict) < 0) return false;
    }
    checked_at_ = 0;
    return true;
}

bool Binding::recheck() noexcept {
    holds_ = true;
    for (int i = 0; i < count_; ++i) {
        PyObject* value = PyDict_GetItemWithError(names_[i].dict, names_[i].name);
        if (value != names_[i].expected) {
            holds_ = false;
            break;
        }
    }
    PyErr_Clear();  // a failed lookup just means "not the real one"
    // Without a watcher nothing tells us of changes: look again next time.
    checked_at_ = g_watcher >= 0 ? epoch_ : 0;
    return holds_;
}

}  // namespace vo
