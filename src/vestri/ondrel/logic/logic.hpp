// Shared between the logic classes and the reader of their written form.
#pragma once

#include "common/ref.hpp"

namespace logic {

// Builds the logic object that `text` (a str, surrounding white space already
// removed) spells, reading it as a Python expression of the one shape the
// printed form has: calls of logic classes bound in `globals` (subclasses of
// `base`), with string literals and further such calls as positional
// arguments.  Nothing else is evaluated.  NULL with an exception set when the
// text is not of that shape (SyntaxError saying why) or a constructor fails.
vo::Ref read_logic(PyObject* text, PyObject* globals, PyTypeObject* base) noexcept;

}  // namespace logic
