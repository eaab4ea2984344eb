#include "guard.hpp"

#include <pthread.h>

#include <cstdint>

namespace vo {

namespace {
// Stop before the end of the stack: what runs after the check (the
// interpreter raising the error, the caller's handler, a deallocation chain
// cut short by the trashcan) needs room too.  A fixed reserve would leave a
// small thread (128 KiB is the default on musl) no room for any guarded
// call at all, so it is a quarter of the thread's stack, at most 256 KiB
// (plenty in the main thread's 8 MiB) and at least 16 KiB (the room raising
// and reporting the error was measured to need, with margin).
constexpr std::uintptr_t kMaxReserve = 256 * 1024;
constexpr std::uintptr_t kMinReserve = 16 * 1024;

std::uintptr_t reserve_for(std::uintptr_t size) noexcept {
    std::uintptr_t reserve = size / 4;
    if (reserve > kMaxReserve) return kMaxReserve;
    if (reserve < kMinReserve) return kMinReserve;
    return reserve;
}

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
    floor = base ? reinterpret_cast<std::uintptr_t>(base) + reserve_for(size) : 1;
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
