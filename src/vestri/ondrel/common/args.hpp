// Argument parsing for METH_FASTCALL | METH_KEYWORDS functions.
//
// Parameters are positional-or-keyword or keyword-only, with or without a
// default.  The common call (all arguments in range, keywords known) is
// parsed without allocating.  Any malformed call is handed to a Python
// function of the same signature and qualified name, compiled once on first
// need, so that the TypeError is the interpreter's own, word for word, on
// every interpreter version.
#pragma once

#include "ref.hpp"

namespace vo {

struct Param {
    const char* name;
    bool keyword_only = false;
    bool optional = false;  // has a default; the parsed slot is NULL when omitted
};

struct SignatureData {
    const char* qualname;  // as the error texts show it: "Class.method"
    const char* bound;     // "self" or "cls", received apart from the arguments; NULL for a static method
    const Param* params;
    int count;
    PyObject** names;      // interned parameter names, filled on first use
    PyObject* shadow;      // the Python twin, compiled on first error
};

bool parse_arguments(SignatureData& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) noexcept;

// Raises the interpreter's TypeError for a call with the wrong arguments.
void raise_bad_call(SignatureData& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// For `def f(self, *args, **kwargs)`: a keyword named `self` collides with
// the bound object ("got multiple values for argument 'self'").
bool reject_self_keyword(const char* qualname, PyObject* kwnames) noexcept;

// For `def f(self, *args)`: no keyword is accepted, with the interpreter's texts.
bool reject_keywords(const char* qualname, PyObject* kwnames) noexcept;

// `first, second = item`, with the errors of the unpacking statement.
bool unpack_pair(PyObject* item, Ref& first, Ref& second) noexcept;

template <int N>
struct Signature {
    Signature(const char* qualname, const char* bound, const Param (&params)[N]) noexcept
        : data{qualname, bound, params_, N, names_, nullptr} {
        for (int i = 0; i < N; ++i) params_[i] = params[i];
    }
    // Fills `out` with borrowed references; false with TypeError set.
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* (&out)[N]) noexcept {
        return parse_arguments(data, args, nargs, kwnames, out);
    }
    Param params_[N];
    PyObject* names_[N] = {};
    SignatureData data;
};

}  // namespace vo
