// Growing a std::vector without exceptions.
//
// The package's functions are noexcept: an allocation failure inside
// std::vector would throw std::bad_alloc into one of them and end the
// process.  Every growth goes through these instead, which turn the failure
// into the interpreter's MemoryError and a false result, like any C API
// call that fails.  (Shrinking, clear() and element access cannot throw.)
#pragma once

#include "ref.hpp"

#include <utility>
#include <vector>

namespace vo {

// Runs `grow()`, a growth of a vector; false with MemoryError set if it
// throws (std::bad_alloc, or std::length_error past max_size()).
template <class Grow>
[[nodiscard]] bool grown(Grow grow) noexcept {
    try {
        grow();
        return true;
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
}

// `vec.emplace_back(args...)`, `vec.reserve(n)`, `vec.resize(n)`; false with
// MemoryError set.
template <class T, class... Args>
[[nodiscard]] bool push(std::vector<T>& vec, Args&&... args) noexcept {
    return grown([&] { vec.emplace_back(std::forward<Args>(args)...); });
}
template <class T>
[[nodiscard]] bool reserve(std::vector<T>& vec, size_t n) noexcept {
    return grown([&] { vec.reserve(n); });
}
template <class T>
[[nodiscard]] bool resize(std::vector<T>& vec, size_t n) noexcept {
    return grown([&] { vec.resize(n); });
}

}  // namespace vo
