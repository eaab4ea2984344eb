// A native iterator for the package's containers.
//
// One type per module (made by `iterator_ready`); each instance walks a
// source object as its IterKind says: a table of plain functions, the main
// one a step with three outcomes (an item, the end, an error).  The iterator
// holds its source strongly and a position.  It takes part in cycle
// collection (an iterator stored inside the container it walks is a cycle),
// and it drops the source at the end, so that an exhausted iterator stays
// exhausted and keeps nothing alive, as the interpreter's own iterators do.
//
// A kind may guard against a source changed during the walk: it gives the
// source's size, and when that differs from the size at the start the step
// raises RuntimeError with the kind's text (the interpreter's own, such as
// "dictionary changed size during iteration", where one applies).  As with
// dict iterators, the error sticks: every later step raises it again.
#pragma once

#include "ref.hpp"

namespace vo {

enum class Step { Item, End, Error };

struct IterKind {
    // Produces the item at `position` of `source` into `item` and advances
    // `position`, or tells that the walk is over.  May run Python code.
    Step (*step)(PyObject* source, Py_ssize_t& position, Ref& item) noexcept;
    // Optional: the source's current size, for the guard (-1 with an
    // exception set on failure).
    Py_ssize_t (*size)(PyObject* source) noexcept = nullptr;
    // The RuntimeError text when the size has changed.
    const char* changed = nullptr;
    // Optional: how many items are left, for `__length_hint__`.
    Py_ssize_t (*remaining)(PyObject* source, Py_ssize_t position) noexcept = nullptr;
};

// Makes this module's iterator type, named `<module>.<name>`; call once from
// the module body.
bool iterator_ready(PyObject* module, const char* name) noexcept;

// A new iterator over `source`, starting at `position`.  `kind` must live as
// long as the process (a static).
Ref iterator_new(const IterKind& kind, PyObject* source, Py_ssize_t position = 0) noexcept;

// One step of `iterator` (made by iterator_new), as `next()` takes it but
// without the StopIteration: for code that drives an iterator it made.
Step iterator_step(PyObject* iterator, Ref& item) noexcept;

// Whether `obj` is an iterator of this module's type walking with `kind`.
bool is_iterator_of(PyObject* obj, const IterKind& kind) noexcept;

}  // namespace vo
