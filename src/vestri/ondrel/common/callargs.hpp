// A call's arguments with the object put in front, in vectorcall form.
//
// A method written as `def m(self, *args, **kwargs)` that forwards the call to
// another method of `self` (`self.update(*args, **kwargs)`) hands
// PyObject_VectorcallMethod an array that starts with `self`; a fastcall
// method receives its arguments without it, and a tp_init / tp_new slot as a
// tuple and a dict.  SelfFirst builds the array either way, on the stack
// while the arguments are few.
//
// Neither form of arguments is safe to borrow across code that runs Python:
//  - a vectorcall array belongs to the caller, which may lend it from storage
//    that user code can replace (`functools.partial` passes the items of its
//    own `args` tuple, which `partial.__setstate__` frees), so the fastcall
//    form takes every item as a strong reference, into an array of its own;
//  - the keyword dict of a slot may be shared: `operator.methodcaller` hands
//    its own dict to the class it calls (and gives it away through
//    `__reduce__`), and any dict is reachable through the collector, so the
//    code the call runs may empty it.  The slot form takes every value and
//    key as a strong reference before anything can run, and keeps them until
//    the call is over.
#pragma once

#include <memory>
#include <new>

#include "ref.hpp"

namespace vo {

class SelfFirst {
public:
    // From a fastcall method: `args` holds the positional arguments, then the keyword values.
    SelfFirst(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
        : nargs_(nargs), kwnames_(kwnames) {
        Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
        if (!reserve(self, total)) return;
        for (; held_ < total; ++held_) data_[held_ + 1] = Py_NewRef(args[held_]);
    }

    // From a tp_init / tp_new slot: a tuple and a dict (or NULL).
    SelfFirst(PyObject* self, PyObject* args, PyObject* kwds) noexcept : nargs_(PyTuple_GET_SIZE(args)) {
        Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
        // The keys wait behind the values until their tuple exists.
        if (!reserve(self, nargs_ + 2 * nkw)) return;
        // Up to the tuple's creation nothing runs Python code: the dict
        // cannot change under the walk.
        for (; held_ < nargs_; ++held_) data_[held_ + 1] = Py_NewRef(PyTuple_GET_ITEM(args, held_));
        keys_ = data_ + 1 + nargs_ + nkw;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (waiting_keys_ < nkw && PyDict_Next(kwds, &pos, &key, &value)) {
            keys_[waiting_keys_++] = Py_NewRef(key);
            data_[++held_] = Py_NewRef(value);
        }
        if (nkw == 0) return;
        // The allocation may run the collector, and with it any code.
        owned_kwnames_ = Ref::steal(PyTuple_New(waiting_keys_));
        if (!owned_kwnames_) {
            ok_ = false;
            return;
        }
        for (Py_ssize_t i = 0; i < waiting_keys_; ++i) PyTuple_SET_ITEM(owned_kwnames_.get(), i, keys_[i]);
        waiting_keys_ = 0;
        kwnames_ = owned_kwnames_.get();
    }

    ~SelfFirst() {
        for (Py_ssize_t i = 0; i < waiting_keys_; ++i) Py_DECREF(keys_[i]);
        for (Py_ssize_t i = held_; i > 0; --i) Py_DECREF(data_[i]);
    }

    SelfFirst(const SelfFirst&) = delete;
    SelfFirst& operator=(const SelfFirst&) = delete;

    // False with MemoryError set when the array could not be made.
    bool ok() const noexcept { return ok_; }
    // `self`, the positional arguments, the keyword values.
    PyObject* const* args() const noexcept { return data_; }
    // The positional arguments, `self` not counted.
    Py_ssize_t nargs() const noexcept { return nargs_; }
    PyObject* kwnames() const noexcept { return kwnames_; }

private:
    bool reserve(PyObject* self, Py_ssize_t count) noexcept {
        if (count + 1 > kSmall) {
            heap_.reset(new (std::nothrow) PyObject*[static_cast<size_t>(count + 1)]);
            if (!heap_) {
                data_ = small_;
                ok_ = false;
                PyErr_NoMemory();
                return false;
            }
            data_ = heap_.get();
        }
        data_[0] = self;
        return true;
    }

    static constexpr Py_ssize_t kSmall = 8;
    PyObject* small_[kSmall];
    std::unique_ptr<PyObject*[]> heap_;
    PyObject** data_ = small_;
    bool ok_ = true;
    Py_ssize_t nargs_;
    PyObject* kwnames_ = nullptr;
    Ref owned_kwnames_;
    // Strong references: data_[1..held_] (the values,
    // in the order of the array), and the keys that wait behind them for the tuple.
    Py_ssize_t held_ = 0;
    PyObject** keys_ = nullptr;
    Py_ssize_t waiting_keys_ = 0;
};

// A vectorcall's arguments (`count` items: the positional ones, then the
// keyword values) held strongly for the call, in an array of their own: the
// caller's array may be lent from storage that the code the call runs can
// free.  Taking them runs no Python code (the storage for many comes from
// the C++ heap, out of the collector's sight).
class HeldArgs {
public:
    HeldArgs(PyObject* const* args, Py_ssize_t count) noexcept : count_(count) {
        if (VO_UNLIKELY(count > kSmall)) {
            data_ = new (std::nothrow) PyObject*[static_cast<size_t>(count)];
            if (!data_) {
                count_ = 0;
                PyErr_NoMemory();
                return;
            }
        }
        for (Py_ssize_t i = 0; i < count; ++i) data_[i] = Py_NewRef(args[i]);
    }
    ~HeldArgs() {
        for (Py_ssize_t i = count_; i > 0; --i) Py_DECREF(data_[i - 1]);
        if (VO_UNLIKELY(data_ != small_)) delete[] data_;
    }
    HeldArgs(const HeldArgs&) = delete;
    HeldArgs& operator=(const HeldArgs&) = delete;

    // False with MemoryError set when the array could not be made.
    bool ok() const noexcept { return data_ != nullptr; }
    PyObject* const* get() const noexcept { return data_; }

private:
    static constexpr Py_ssize_t kSmall = 8;
    PyObject* small_[kSmall];
    PyObject** data_ = small_;
    Py_ssize_t count_;
};

}  // namespace vo
