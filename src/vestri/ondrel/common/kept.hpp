// Strong references kept for the rest of the process.
//
// A fast path that recognises an object by its address (our method
// descriptor in a class's namespace, the real `collections.abc.Mapping`)
// must own what it compares against: once the object is freed, a new one
// can be allocated at the same address and pass the identity check.  A
// `Kept` owns its reference and never gives it back.  It sits in static
// storage, whose destructors run after the interpreter has shut down, when
// releasing a reference would touch freed memory; so it has no destructor
// that releases, and the object lives until the process ends.
#pragma once

#include "ref.hpp"

namespace vo {

class Kept {
public:
    constexpr Kept() noexcept = default;
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;

    // Takes over `ref` (which may be empty after a failed call); false if it is.
    // A reference held before is released; a caller that replaces one while
    // the old object may still be compared against keeps it alive itself.
    bool set(Ref ref) noexcept {
        PyObject* old = p_;
        p_ = ref.release();
        Py_XDECREF(old);
        return p_ != nullptr;
    }
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool operator==(const PyObject* other) const noexcept { return p_ == other; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace vo
