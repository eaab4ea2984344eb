// A call's arguments with the object put in front, in vectorcall form.
//
// Generic (nothing here knows about Sequara); a candidate for common/.  A
// method written as `def m(self, *args, **kwargs)` that forwards the call to
// another method of `self` (`self.update(*args, **kwargs)`) hands
// PyObject_VectorcallMethod an array that starts with `self`; a fastcall
// method receives its arguments without it, and a tp_init / tp_new slot as a
// tuple and a dict.  SelfFirst builds the array either way, on the stack
// while the arguments are few.  Everything in it stays borrowed: the caller
// of the method or slot holds the arguments for the whole call.
#pragma once

#include <memory>
#include <new>

#include "common/ref.hpp"

namespace vo {

class SelfFirst {
public:
    // From a fastcall method: `args` holds the positional arguments, then the keyword values.
    SelfFirst(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
        : nargs_(nargs), kwnames_(kwnames) {
        Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
        if (!reserve(self, total)) return;
        for (Py_ssize_t i = 0; i < total; ++i) data_[i + 1] = args[i];
    }

    // From a tp_init / tp_new slot: a tuple and a dict (or NULL).
    SelfFirst(PyObject* self, PyObject* args, PyObject* kwds) noexcept : nargs_(PyTuple_GET_SIZE(args)) {
        Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
        if (!reserve(self, nargs_ + nkw)) return;
        for (Py_ssize_t i = 0; i < nargs_; ++i) data_[i + 1] = PyTuple_GET_ITEM(args, i);
        if (nkw == 0) return;
        owned_kwnames_ = Ref::steal(PyTuple_New(nkw));
        if (!owned_kwnames_) {
            data_ = nullptr;
            return;
        }
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            PyTuple_SET_ITEM(owned_kwnames_.get(), i, Py_NewRef(key));
            data_[1 + nargs_ + i++] = value;
        }
        kwnames_ = owned_kwnames_.get();
    }

    SelfFirst(const SelfFirst&) = delete;
    SelfFirst& operator=(const SelfFirst&) = delete;

    // False with MemoryError set when the array could not be made.
    bool ok() const noexcept { return data_ != nullptr; }
    // `self`, the positional arguments, the keyword values.
    PyObject* const* args() const noexcept { return data_; }
    // The positional arguments, `self` not counted.
    Py_ssize_t nargs() const noexcept { return nargs_; }
    PyObject* kwnames() const noexcept { return kwnames_; }

private:
    bool reserve(PyObject* self, Py_ssize_t count) noexcept {
        if (count + 1 > kSmall) {
            heap_.reset(new (std::nothrow) PyObject*[static_cast<size_t>(count + 1)]);
            data_ = heap_.get();
            if (!data_) {
                PyErr_NoMemory();
                return false;
            }
        }
        data_[0] = self;
        return true;
    }

    static constexpr Py_ssize_t kSmall = 8;
    PyObject* small_[kSmall];
    std::unique_ptr<PyObject*[]> heap_;
    PyObject** data_ = small_;
    Py_ssize_t nargs_;
    PyObject* kwnames_ = nullptr;
    Ref owned_kwnames_;
};

}  // namespace vo
