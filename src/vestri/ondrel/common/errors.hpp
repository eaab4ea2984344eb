// Raising exceptions, and traceback entries for the package's public methods.
//
// An exception that leaves a public method or function gets one traceback
// entry named "vestri.ondrel.<module>.<Class>.<method>", pointing at the C++
// source line of the failing statement.  Each site builds its code object and
// frame once, when an exception first leaves through it, and keeps them: the
// frame never executes, so every traceback through the site can share it, and
// a raise costs one traceback object.  Paths that handle an error inside the
// package never reach a site, so they pay nothing for it.
//
//     static PyObject* thing_method(PyObject* self, ...) {
//         VO_METHOD("Thing.method");
//         ...
//         if (!x) return VO_FAIL();          // NULL, entry added
//         if (rc < 0) return VO_FAIL_INT();  // -1, entry added
//     }
#pragma once

#include "ref.hpp"

#include <initializer_list>
#include <utility>

namespace vo {

// Sets the pending exception (or its absence) aside for the holder's
// lifetime, for code that must not run with one pending (making objects,
// dropping references), and makes it pending again at the end, replacing
// whatever that code left.  take() and drop() end the holding early: the
// exception is then not restored, and what is pending stays.
class ErrorAside {
public:
    ErrorAside() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~ErrorAside() {
        if (restore_) PyErr_SetRaisedException(exc_);
    }
    ErrorAside(const ErrorAside&) = delete;
    ErrorAside& operator=(const ErrorAside&) = delete;

    // Whether an exception was pending.
    explicit operator bool() const noexcept { return exc_ != nullptr; }
    // The exception set aside (borrowed), or NULL.
    PyObject* get() const noexcept { return exc_; }
    // The exception set aside (a new reference, or NULL), no longer restored.
    PyObject* take() noexcept {
        restore_ = false;
        return std::exchange(exc_, nullptr);
    }
    // Forgets the exception set aside.
    void drop() noexcept { Py_XDECREF(take()); }

private:
    PyObject* exc_;
    bool restore_ = true;
};

// One place in the source where an exception may leave a public method.
struct TraceSite {
    const char* qualname;  // "vestri.ondrel.pointel.NestedPointel.__getitem__"
    const char* file;
    int line;
    PyObject* frame = nullptr;  // built on first use; lives as long as the process

    // Adds the entry to the traceback of the exception being raised.
    void add() noexcept;
};

// Raises `exc_type` with `format % args` (Python's `%` operator: `args` is a
// tuple or a single object).
void raise_percent(PyObject* exc_type, const char* format, PyObject* args) noexcept;

// Raises `exc_type` with the pieces joined; a piece is either a C string,
// taken as text, or an object, converted with `str()`.
struct Piece {
    Piece(const char* s) noexcept : text(s) {}
    Piece(PyObject* o) noexcept : obj(o) {}
    const char* text = nullptr;
    PyObject* obj = nullptr;
};
void raise_concat(PyObject* exc_type, std::initializer_list<Piece> pieces) noexcept;

// Raises KeyError carrying `key` as its only argument (tuples included).
void raise_key_error(PyObject* key) noexcept;

// Raises the interpreter's standard AttributeError for a missing attribute,
// with `name` and `obj` set on the exception as the interpreter does.
void raise_missing_attribute(PyObject* obj, PyObject* name) noexcept;

// Tells whether the pending exception is a KeyError; clears it if it is.
bool clear_key_error() noexcept;

// Whether the Python function that called into the package right now runs
// one of `codes` (code objects).  A method whose error such a caller always
// catches (MutableMapping.get turns the KeyError of item access into its
// default) can leave the traceback entry out: nobody will see it.
bool called_from(PyObject* const* codes, int count) noexcept;

}  // namespace vo

#ifndef VO_MODULE_NAME
#define VO_MODULE_NAME "vestri.ondrel"
#endif

// Names the public method the following VO_FAIL sites belong to.
#define VO_METHOD(name) static constexpr const char vo_method_name_[] = VO_MODULE_NAME "." name

// Each expansion owns its own cached site (a lambda is a type of its own).
#define VO_TRACE_HERE()                                                       \
    ([]() noexcept {                                                          \
        static ::vo::TraceSite vo_site_{vo_method_name_, __FILE__, __LINE__}; \
        vo_site_.add();                                                       \
    }())

// The entry of a public method that another method of the package runs
// directly (C++ to C++, not through the class): added where the inner call
// fails, so a traceback shows both, as nested Python methods would.
#define VO_TRACE_AS(name)                                                             \
    ([]() noexcept {                                                                  \
        static ::vo::TraceSite vo_site_{VO_MODULE_NAME "." name, __FILE__, __LINE__}; \
        vo_site_.add();                                                               \
    }())

// The entries of `times` nested calls of a public method that a walk made in
// one loop instead (a level of a tree per call), added where the walk failed.
#define VO_TRACE_AS_TIMES(name, times)                                                \
    ([](Py_ssize_t vo_times_) noexcept {                                              \
        static ::vo::TraceSite vo_site_{VO_MODULE_NAME "." name, __FILE__, __LINE__}; \
        while (vo_times_-- > 0) vo_site_.add();                                       \
    }(times))

#define VO_FAIL() (VO_TRACE_HERE(), nullptr)
#define VO_FAIL_INT() (VO_TRACE_HERE(), -1)
