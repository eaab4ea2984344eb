// Cheap checks that module-level names are still bound to the real objects.
//
// A fast path may replace what a name does (`isinstance(x, Mapping)` for an
// exact dict, `itertools.chain(a, b)` by walking a and b) only while the name
// is bound to the object the fast path was written for.  Looking the names up
// on every use costs a dictionary lookup each; instead, the dictionaries that
// hold them (module namespaces) are watched, and any change to one of them
// makes every Binding check its names again on next use.  Between changes a
// check is one comparison.
//
// Dict watchers are an interpreter-wide resource (8 slots on 3.12, fewer left
// on 3.13, shared with every other library in the process).  The package
// takes one, whichever of its modules comes first: the watcher number and the
// epoch it advances live in a capsule in the interpreter's state dictionary
// under a versioned key, and every module joins that one (`shared_state`).
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace vo {

// What the package's modules share in one process.  The layout only grows
// at the end; a change to existing fields needs a new key version.
struct SharedState {
    unsigned int version;  // kSharedStateVersion of the module that made it
    int watcher;           // the dict watcher, or -1 when no slot was free
    unsigned long epoch;   // advanced by every change of a watched dictionary
    int modules;           // modules that joined (for diagnostics and tests)
    // How often each general path ran where a native shortcut would have
    // run no Python code either: nothing else tells, from Python, that the
    // shortcut still applies (a test reads these through the capsule).
    unsigned long general_paths[8];
};

// The shortcuts counted in SharedState::general_paths, by index.
enum class GeneralPath : int {
    LogicCall,        // a nested logic object tested through its __call__
    FactorySubclass,  // issubclass() for the chosen class
    FactorySuper,     // super(MetaClassFactory, chosen).__call__ looked up
    PointelChain,     // update() through the module's itertools.chain
    LoftelLookup,     // `self.func` looked up, not remembered
};

inline void count_general_path(SharedState* shared, GeneralPath path) noexcept {
    ++shared->general_paths[static_cast<int>(path)];
}

// The process's shared state, made by the first module that asks (borrowed;
// it lives as long as the interpreter).  NULL with an exception on failure.
SharedState* shared_state() noexcept;

struct Bound {
    PyObject* dict;      // a namespace (borrowed; must outlive the process's use)
    PyObject* name;      // interned
    PyObject* expected;  // the object the fast path was written for (kept alive by the caller)
};

// What a Binding reads before `init`: its epoch never matches, and such a
// binding never holds (a class used while its module body still runs).
inline SharedState unjoined{};

class Binding {
public:
    // Watches the dictionaries; false with an exception set on failure.
    bool init(std::initializer_list<Bound> names) noexcept;

    // The process's shared state (once `init` succeeded).
    SharedState* shared() const noexcept { return shared_; }

    // True while every name is bound to its expected object.
    bool holds() noexcept {
        if (VO_LIKELY(checked_at_ == shared_->epoch)) return holds_;
        return recheck();
    }

private:
    bool recheck() noexcept;
    SharedState* shared_ = &unjoined;
    Bound names_[4] = {};
    int count_ = 0;
    unsigned long checked_at_ = 0;
    bool holds_ = false;
};

}  // namespace vo
