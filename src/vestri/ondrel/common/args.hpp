// Argument parsing for METH_FASTCALL | METH_KEYWORDS functions.
//
// Parameters are positional-or-keyword or keyword-only, with or without a
// default.  The common call (all arguments in range, keywords known) is
// parsed without allocating.  Any malformed call is handed to a Python
// function of the same signature and qualified name, compiled once on first
// need, so that the TypeError is the interpreter's own, word for word, on
// every interpreter version.
#pragma once

#include "errors.hpp"
#include "ref.hpp"

#include <source_location>
#include <string>
#include <utility>

namespace vo {

struct Param {
    const char* name;
    bool keyword_only = false;
    bool optional = false;              // has a default; the parsed slot is NULL when omitted
    const char* default_text = "None";  // that default as the text signature shows it ("()", "-1")
};

struct SignatureData {
    const char* qualname;  // as the error texts show it: "Class.method"
    const char* bound;     // "self" or "cls", received apart from the arguments; NULL for a static method
    const Param* params;
    int count;
    PyObject** names;  // interned parameter names, filled on first use
    PyObject* shadow;  // the Python twin, compiled on first error
};

bool parse_arguments(SignatureData& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) noexcept;

// The same for `tp_new` / `tp_init`, which receive a tuple and a dict (or
// NULL).  The parsed slots hold their values: the dict may be shared with
// other code (`operator.methodcaller` hands the class call its own keyword
// dict), which can empty it as soon as any Python code runs.
bool parse_tuple_and_dict(SignatureData& sig, PyObject* args, PyObject* kwds, Ref* out) noexcept;

// The docstring of the method `sig` describes: its text signature, the line
// `inspect.signature` reads ("pop($self, item=-1)\n--\n\n"; `$cls` for a
// class method, `$module` for a module's function, nothing for a static
// method), then `body`.
std::string method_doc(const SignatureData& sig, const char* body);

// Raises the interpreter's TypeError for a call with the wrong arguments.
void raise_bad_call(SignatureData& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// For `def f(self, *args, **kwargs)`: a keyword named `self` collides with
// the bound object ("got multiple values for argument 'self'").
bool reject_self_keyword(const char* qualname, PyObject* kwnames) noexcept;

// For `def f(self, *args)`: no keyword is accepted, with the interpreter's
// texts, the first keyword named.  `kwnames` a vectorcall's tuple of names
// (or NULL); `reject_keyword_dict` takes the dict of a tp_init/tp_call slot.
bool reject_keywords(const char* qualname, PyObject* kwnames) noexcept;
bool reject_keyword_dict(const char* qualname, PyObject* kwds) noexcept;

// `first, second = item`, with the errors of the unpacking statement.
bool unpack_pair(PyObject* item, Ref& first, Ref& second) noexcept;

// For `def f(self, *args, **kwargs)` that accepts at most `max` positional
// arguments, as MutableMapping.update does: "expected at most 1 arguments, got 2".
bool check_at_most(Py_ssize_t nargs, Py_ssize_t max) noexcept;

// A method's signature: `vo::Signature<2> sig("Class.method", "self", {{"key"}, {"value"}})`.
// It also names the traceback entry that a bad call gets in `vo::method`.
template <int N>
struct Signature {
    Signature(const char* qualname, const char* bound, const Param (&params)[N],
              std::source_location where = std::source_location::current()) noexcept
        : data{qualname, bound, params_, N, names_, nullptr},
          full_name_(std::string(VO_MODULE_NAME ".") + qualname),
          site{full_name_.c_str(), where.file_name(), static_cast<int>(where.line())} {
        for (int i = 0; i < N; ++i) params_[i] = params[i];
    }
    // The method's docstring, its text signature made from the parameters,
    // then `body`: `{"pop", ..., sig_pop.doc()}` in a PyMethodDef table
    // defined after the signature (the text lives as long as the signature).
    const char* doc(const char* body = "") {
        doc_ = method_doc(data, body);
        return doc_.c_str();
    }
    // Fills `out` with borrowed references; false with TypeError set.
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* (&out)[N]) noexcept {
        return parse_arguments(data, args, nargs, kwnames, out);
    }
    // For `tp_new` / `tp_init`: fills `out` with strong references.
    bool parse(PyObject* args, PyObject* kwds, Ref (&out)[N]) noexcept {
        return parse_tuple_and_dict(data, args, kwds, out);
    }
    Param params_[N];
    PyObject* names_[N] = {};
    SignatureData data;
    std::string full_name_;
    std::string doc_;
    TraceSite site;
};

// A method without parameters besides `self` / `cls`.
template <>
struct Signature<0> {
    Signature(const char* qualname, const char* bound,
              std::source_location where = std::source_location::current()) noexcept
        : data{qualname, bound, nullptr, 0, nullptr, nullptr},
          full_name_(std::string(VO_MODULE_NAME ".") + qualname),
          site{full_name_.c_str(), where.file_name(), static_cast<int>(where.line())} {}
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* (&)[1] = dummy_) noexcept {
        if (VO_LIKELY(nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0))) return true;
        raise_bad_call(data, args, nargs, kwnames);
        return false;
    }
    const char* doc(const char* body = "") {
        doc_ = method_doc(data, body);
        return doc_.c_str();
    }
    SignatureData data;
    std::string full_name_;
    std::string doc_;
    TraceSite site;
    static inline PyObject* dummy_[1] = {};
};

namespace detail {
template <auto& sig, auto impl, std::size_t... I>
PyObject* call_parsed(PyObject* self, PyObject* const* parsed, std::index_sequence<I...>) noexcept {
    return impl(self, parsed[I]...);
}
template <class S>
constexpr int signature_size = 0;
template <int N>
constexpr int signature_size<Signature<N>> = N;
}  // namespace detail

// One METH_FASTCALL | METH_KEYWORDS method: parses the call with `sig` and
// hands the arguments to `impl(self, a0, a1, ...)` (an omitted optional one
// is NULL), held strongly by the wrapper for the whole call, as a Python
// frame holds its arguments: the caller's array may be lent from storage
// that code run by `impl` can free (`functools.partial` lends the items of
// its `args` tuple, which `partial.__setstate__` replaces).  A bad call raises the interpreter's TypeError with
// the traceback entry of the method; `impl` adds its own entries.
//     {"get", VO_CFUNC((vo::method<sig_get, thing_get>)), METH_FASTCALL | METH_KEYWORDS, doc}
template <auto& sig, auto impl>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    constexpr int n = detail::signature_size<std::remove_cvref_t<decltype(sig)>>;
    if constexpr (n == 0) {
        if (VO_UNLIKELY(!sig.parse(args, nargs, kwnames))) {
            sig.site.add();
            return nullptr;
        }
        return impl(self);
    } else {
        PyObject* parsed[n];
        if (VO_UNLIKELY(!sig.parse(args, nargs, kwnames, parsed))) {
            sig.site.add();
            return nullptr;
        }
        // Parsing runs no Python code; the references are taken before `impl` can.
        Ref held[n];
        for (int i = 0; i < n; ++i) held[i] = Ref::borrow(parsed[i]);
        return detail::call_parsed<sig, impl>(self, parsed, std::make_index_sequence<n>{});
    }
}

}  // namespace vo
