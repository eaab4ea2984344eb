// Printing structures that may contain themselves.
//
// `Py_ReprEnter(obj)` marks `obj` as being printed on this thread and tells
// whether it already was (a cycle: print a placeholder such as "[...]");
// `Py_ReprLeave(obj)` must follow on every path out.  The holder pairs them,
// so no early return can forget the leave.  Combine it with RecursionGuard
// for depth: this one only catches an object met again inside itself.
#pragma once

#include "ref.hpp"

namespace vo {

enum class ReprEntry { Entered, AlreadyInside, Error };

class ReprGuard {
public:
    explicit ReprGuard(PyObject* obj) noexcept : obj_(obj) {
        int rc = Py_ReprEnter(obj);
        entry_ = rc == 0 ? ReprEntry::Entered : rc > 0 ? ReprEntry::AlreadyInside : ReprEntry::Error;
    }
    ~ReprGuard() {
        if (entry_ == ReprEntry::Entered) Py_ReprLeave(obj_);
    }
    ReprGuard(const ReprGuard&) = delete;
    ReprGuard& operator=(const ReprGuard&) = delete;

    // Entered: print it; AlreadyInside: it contains itself, print the
    // placeholder; Error: an exception is set.
    ReprEntry entry() const noexcept { return entry_; }

private:
    PyObject* obj_;
    ReprEntry entry_;
};

}  // namespace vo
