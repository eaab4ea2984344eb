// The items of a dict, read in place as the dict's own iterator reads them.
//
// Merging a dict into something runs code for every item (hashes, `__eq__`,
// item assignment of subclasses) that may change the dict being read.  The
// walk holds the dict, hands out each key and value as strong references,
// and ends with the RuntimeError of dict iteration when the size or the keys
// changed between steps, so results and errors are those of
// `for k, v in d.items()`.
#pragma once

#include "iterator.hpp"
#include "ref.hpp"

namespace vo {

class DictWalk {
public:
    explicit DictWalk(PyObject* dict) noexcept
        : dict_(Ref::borrow(dict)), size_(PyDict_GET_SIZE(dict)), remaining_(size_) {}

    // Step::Item with `key` and `value` set, Step::End, or Step::Error.
    Step next(Ref& key, Ref& value) noexcept {
        if (PyDict_GET_SIZE(dict_.get()) != size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return Step::Error;
        }
        PyObject *k, *v;
        if (!PyDict_Next(dict_.get(), &pos_, &k, &v)) return Step::End;
        if (remaining_-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return Step::Error;
        }
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return Step::Item;
    }

private:
    Ref dict_;
    Py_ssize_t size_, remaining_, pos_ = 0;
};

}  // namespace vo
