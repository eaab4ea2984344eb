// Guard for C-level recursion.
//
// Every recursive path of the package (levels reached through another
// class's item access, deep merges, repr) enters one of these per level.  It
// counts against the interpreter's recursion limit, and it also watches the
// thread's remaining C stack: the interpreter's own limit assumes small C
// frames, and a level of ours takes several, so on interpreters with a high
// C recursion limit the stack could run out first.  Either way the caller
// gets RecursionError instead of a crashed process.  The part of the stack
// kept in reserve is sized from the thread's own stack, so that a thread with
// a small one (128 KiB, 64 KiB) still does shallow work.
#pragma once

#include "ref.hpp"

namespace vo {

bool enter_recursion(const char* where) noexcept;

class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : ok_(enter_recursion(where)) {}
    ~RecursionGuard() {
        if (ok_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    // False with RecursionError set when the limit is reached.
    bool ok() const noexcept { return ok_; }

private:
    bool ok_;
};

}  // namespace vo
