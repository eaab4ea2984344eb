// The items of a dict, read in place as the dict's own iterator reads them.
//
// Merging a dict into something runs code for every item (hashes, `__eq__`,
// item assignment of subclasses) that may change the dict being read.  The
// walk holds the dict, hands out each key and value as strong references,
// and ends with the RuntimeError of dict iteration when the size or the keys
// changed between steps, so results and errors are those of
// `for k, v in d.items()`: a changed size keeps failing at every later
// step, a walk that ended (or found its keys changed) stays ended.  It can
// sit in a movable frame (default-constructed, then `start`), whose owner
// reports the dict it holds to the collector with `visit`.
#pragma once

#include "iterator.hpp"
#include "ref.hpp"

namespace vo {

class DictWalk {
public:
    DictWalk() noexcept = default;
    explicit DictWalk(PyObject* dict) noexcept { start(dict); }

    // Starts over on `dict` (an exact dict or a subclass, read as a dict).
    void start(PyObject* dict) noexcept {
        dict_ = Ref::borrow(dict);
        size_ = remaining_ = PyDict_GET_SIZE(dict);
        pos_ = 0;
    }

    // Step::Item with `key` and `value` set, Step::End, or Step::Error.
    Step next(Ref& key, Ref& value) noexcept {
        if (!dict_) return Step::End;
        if (PyDict_GET_SIZE(dict_.get()) != size_) {
            size_ = -1;  // as the dict's own iterator, every later step fails alike
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return Step::Error;
        }
        PyObject *k, *v;
        if (!PyDict_Next(dict_.get(), &pos_, &k, &v)) {
            dict_.reset();
            return Step::End;
        }
        if (remaining_-- == 0) {
            dict_.reset();
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return Step::Error;
        }
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return Step::Item;
    }

    // For the owner's tp_traverse: the dict the walk holds.
    int visit(visitproc visit, void* arg) const noexcept {
        Py_VISIT(dict_.get());
        return 0;
    }

private:
    Ref dict_;
    Py_ssize_t size_ = 0, remaining_ = 0, pos_ = 0;
};

}  // namespace vo
