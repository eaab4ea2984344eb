// Cheap checks that module-level names are still bound to the real objects.
//
// A fast path may replace what a name does (`isinstance(x, Mapping)` for an
// exact dict, `itertools.chain(a, b)` by walking a and b) only while the name
// is bound to the object the fast path was written for.  Looking the names up
// on every use costs a dictionary lookup each; instead, the dictionaries that
// hold them (module namespaces) are watched, and any change to one of them
// makes every Binding check its names again on next use.  Between changes a
// check is one comparison.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace vo {

struct Bound {
    PyObject* dict;      // a namespace (borrowed; must outlive the process's use)
    PyObject* name;      // interned
    PyObject* expected;  // the object the fast path was written for
};

class Binding {
public:
    // Watches the dictionaries; false with an exception set on failure.
    bool init(std::initializer_list<Bound> names) noexcept;

    // True while every name is bound to its expected object.
    bool holds() noexcept {
        if (VO_LIKELY(checked_at_ == epoch_)) return holds_;
        return recheck();
    }

    // Changes to watched dictionaries advance the epoch.
    static inline unsigned long epoch_ = 1;

private:
    bool recheck() noexcept;
    Bound names_[4] = {};
    int count_ = 0;
    unsigned long checked_at_ = 0;
    bool holds_ = false;
};

}  // namespace vo
