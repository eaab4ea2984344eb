// Owning references.
//
// Every new reference the package receives from the C API goes straight into
// a `Ref`, which releases it when it leaves scope; borrowed references stay
// plain `PyObject*`.  `release()` appears only where ownership is handed back
// to the interpreter (a return value, a stolen argument).
//
// THE RULE: no borrowed reference lives across a call that can run Python
// code; hold it in a `Ref` first.  Python code runs in far more places than
// calls to user methods: `__eq__` and `__hash__` of a key during any dict
// lookup (a class namespace included, so an MRO lookup qualifies), a
// decref that frees an object with `__del__` or a weak-reference callback,
// the cycle collector on any allocation, `__instancecheck__`, `__index__`,
// `__len__`...  Any of them can drop the last reference to what a borrowed
// pointer names: the value under a key, a class (`obj.__class__ = Other`
// frees a class nobody else holds), the MRO tuple of a class whose
// `__bases__` is reassigned.  `Py_TYPE(obj)` is borrowed too.  When in doubt,
// `Ref::borrow` it: an incref is cheaper than the crash.
//
// The rule covers four things that look safe and are not:
// - Objects the package created itself.  A list, tuple or dict made here is
//   reachable from Python through the collector (`gc.get_referrers`,
//   `gc.get_objects`) as soon as it is tracked, and user code run in between
//   may clear it.  Scratch storage is C++ (`std::vector<vo::Ref>`), or every
//   item is taken as a strong reference and the length read again after each
//   call that can run Python.  A list whose slots are still NULL is never
//   made visible to the collector.
// - Call arguments.  The argument tuple and keyword dict handed to `tp_new`,
//   `tp_init` or a method may be shared with other code (`operator.
//   methodcaller` hands its own keyword dict to the call, and gives it away
//   through `__reduce__`): what is taken from them is held strongly before
//   any user code runs.
// - Attributes read before a call.  `_data`, `_order`, `data`, `children`,
//   `expressions` read before a key's `__hash__`/`__eq__`, an element's
//   callback or an iterator's `__next__` may be rebound when it returns; the
//   write goes to what the object holds after the call, as the plain Python
//   definition would.
// - Type pointers kept as an identity.  A remembered `PyTypeObject*` (or a
//   function pointer read from a type) is compared only while the type is
//   held strongly (`vo::Kept`), never as a bare address: a class freed and a
//   new one allocated at the same address would pass the check.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <type_traits>
#include <utility>

#if defined(__GNUC__)
#define VO_LIKELY(x) __builtin_expect(!!(x), 1)
#define VO_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define VO_LIKELY(x) (x)
#define VO_UNLIKELY(x) (x)
#endif

// A precondition the code relies on but the caller guarantees, checked only
// in a build with VESTRI_DEBUG defined (a failure aborts the process with the
// condition and its place); otherwise the condition is not evaluated.
#if defined(VESTRI_DEBUG)
#define VO_ASSERT(cond) \
    (VO_LIKELY(cond) ? static_cast<void>(0) : Py_FatalError("assertion failed: " #cond " (" __FILE__ ")"))
#else
#define VO_ASSERT(cond) static_cast<void>(sizeof(!(cond)))
#endif

namespace vo {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference (which may be NULL after a failed call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    template <class T>
    static Ref steal(T* p) noexcept {
        return Ref(reinterpret_cast<PyObject*>(p));
    }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    template <class T>
    static Ref borrow(T* p) noexcept {
        return borrow(reinterpret_cast<PyObject*>(p));
    }

    PyObject* get() const noexcept { return p_; }
    PyTypeObject* type_ptr() const noexcept { return reinterpret_cast<PyTypeObject*>(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool operator!() const noexcept { return p_ == nullptr; }

    // Hands the reference over; the holder is left empty.
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Tri-state outcome of a lookup, where "absent" is not an error.
enum class Found { Error = -1, No = 0, Yes = 1 };

// A C API answer to a yes-or-no question (negative with an exception set, 0,
// or positive) as an outcome: `E` is an enum whose error, no and yes values
// are -1, 0 and 1 (Found, Is, a module's own).
template <class E>
constexpr E outcome(int answer) noexcept {
    static_assert(std::is_enum_v<E> && std::is_same_v<std::underlying_type_t<E>, int>);
    return static_cast<E>(answer < 0 ? -1 : answer > 0);
}

}  // namespace vo
