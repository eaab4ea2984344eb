#include "guard.hpp"

#include <pthread.h>

#include <cstdint>

namespace vo {

namespace {
// Stop well before the end of the stack: what runs after the check (the
// interpreter raising the error, a deallocation chain) needs room too.
constexpr std::uintptr_t kStackReserve = 256 * 1024;

std::uintptr_t stack_floor() noexcept {
    // initial-exec: a plain offset from the thread pointer instead of a call
    // into the dynamic linker on every check; one word of static TLS.
    static thread_local std::uintptr_t floor __attribute__((tls_model("initial-exec"))) = 0;
    if (floor) return floor;
    pthread_attr_t attr;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        if (pthread_attr_getstack(&attr, &base, &size) != 0) base = nullptr;
        pthread_attr_destroy(&attr);
    }
    // The stack grows down from base + size towards base.
    floor = base ? reinterpret_cast<std::uintptr_t>(base) + kStackReserve : 1;
    return floor;
}
}  // namespace

bool enter_recursion(const char* where) noexcept {
    char probe;
    if (VO_UNLIKELY(reinterpret_cast<std::uintptr_t>(&probe) < stack_floor())) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    return Py_EnterRecursiveCall(where) == 0;
}

}  // namespace vo
