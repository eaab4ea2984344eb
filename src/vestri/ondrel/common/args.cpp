#include "args.hpp"
#include "callargs.hpp"

#include "errors.hpp"
#include "vector.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace vo {

static bool intern_names(SignatureData& sig) noexcept {
    if (sig.count == 0 || sig.names[0]) return true;
    for (int i = 0; i < sig.count; ++i) {
        sig.names[i] = PyUnicode_InternFromString(sig.params[i].name);  // kept for the process
        if (!sig.names[i]) return false;
    }
    return true;
}

static int find_keyword(const SignatureData& sig, PyObject* key) noexcept {
    for (int i = 0; i < sig.count; ++i)
        if (sig.names[i] == key) return i;
    for (int i = 0; i < sig.count; ++i)
        if (PyUnicode_Check(key) && PyUnicode_Compare(sig.names[i], key) == 0) return i;
    return -1;
}

bool parse_arguments(SignatureData& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) noexcept {
    int positional = 0;
    while (positional < sig.count && !sig.params[positional].keyword_only) ++positional;
    if (nargs > positional) goto bad;
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        if (!intern_names(sig)) return false;
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            int i = find_keyword(sig, PyTuple_GET_ITEM(kwnames, k));
            if (i < 0 || out[i]) goto bad;
            out[i] = args[nargs + k];
        }
    }
    for (int i = 0; i < sig.count; ++i)
        if (!out[i] && !sig.params[i].optional) goto bad;
    return true;
bad:
    raise_bad_call(sig, args, nargs, kwnames);
    return false;
}

bool parse_tuple_and_dict(SignatureData& sig, PyObject* args, PyObject* kwds, Ref* out) noexcept {
    constexpr int kMaxParams = 16;
    if (sig.count > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a tuple and dict signature");
        return false;
    }
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    PyObject* parsed[kMaxParams];
    // `parsed` borrows from the tuple (which the caller holds and nobody can
    // change) or from `stack`, which lives until the values are held.
    auto hold = [&]() noexcept {
        for (int i = 0; i < sig.count; ++i) out[i] = Ref::borrow(parsed[i]);
        return true;
    };
    if (!kwds || PyDict_GET_SIZE(kwds) == 0) return parse_arguments(sig, positional, nargs, nullptr, parsed) && hold();
    // The keywords are held first, in C++ storage: allocating the vectorcall
    // layout below may run the collector, whose finalizers may change the dict.
    std::vector<Ref> keywords;  // name, value, name, value...
    if (!reserve(keywords, static_cast<size_t>(2 * PyDict_GET_SIZE(kwds)))) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        keywords.push_back(Ref::borrow(key));  // within the capacity reserved: no allocation
        keywords.push_back(Ref::borrow(value));
    }
    // The vectorcall layout: positional arguments, then the keyword values,
    // with their names in a tuple.
    Py_ssize_t nkw = static_cast<Py_ssize_t>(keywords.size() / 2);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    Ref stack = Ref::steal(PyTuple_New(nargs + nkw));
    if (!kwnames || !stack) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(stack.get(), i, Py_NewRef(positional[i]));
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyTuple_SET_ITEM(kwnames.get(), k, keywords[2 * k].release());
        PyTuple_SET_ITEM(stack.get(), nargs + k, keywords[2 * k + 1].release());
    }
    return parse_arguments(sig, &PyTuple_GET_ITEM(stack.get(), 0), nargs, kwnames.get(), parsed) && hold();
}

bool check_at_most(Py_ssize_t nargs, Py_ssize_t max) noexcept {
    if (VO_LIKELY(nargs <= max)) return true;
    Ref count = Ref::steal(Py_BuildValue("(nn)", max, nargs));
    if (count) raise_percent(PyExc_TypeError, "expected at most %d arguments, got %d", count.get());
    return false;
}

// def <name>(self, a, b=None, *, c): pass  -- with the right __qualname__.
// The method's name in its qualified name.
static std::string short_name(const SignatureData& sig) {
    const char* dot = std::strrchr(sig.qualname, '.');
    return dot ? dot + 1 : sig.qualname;
}

// The parameters as a def spells them, after `first` (if not empty):
// "self, key, *, default=None".
static std::string parameter_list(const SignatureData& sig, std::string first) {
    std::string out = std::move(first);
    auto add = [&](const char* p) {
        if (!out.empty()) out += ", ";
        out += p;
    };
    bool star = false;
    for (int i = 0; i < sig.count; ++i) {
        const Param& param = sig.params[i];
        if (param.keyword_only && !star) {
            add("*");
            star = true;
        }
        add(param.name);
        if (param.optional) (out += '=') += param.default_text;
    }
    return out;
}

std::string method_doc(const SignatureData& sig, const char* body) {
    std::string first = sig.bound ? std::string("$") + sig.bound : std::strchr(sig.qualname, '.') ? "" : "$module";
    return short_name(sig) + "(" + parameter_list(sig, std::move(first)) + ")\n--\n\n" + body;
}

static PyObject* compile_shadow(const SignatureData& sig) noexcept {
    std::string name = short_name(sig);
    std::string src = "def " + name + "(" + parameter_list(sig, sig.bound ? sig.bound : "") + "): pass\n";
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return nullptr;
    Ref builtins = Ref::borrow(PyEval_GetBuiltins());
    if (PyDict_SetItemString(ns.get(), "__builtins__", builtins.get()) < 0) return nullptr;
    Ref result = Ref::steal(PyRun_String(src.c_str(), Py_file_input, ns.get(), ns.get()));
    if (!result) return nullptr;
    Ref func = Ref::borrow(PyDict_GetItemString(ns.get(), name.c_str()));
    Ref qualname = Ref::steal(PyUnicode_FromString(sig.qualname));
    if (!func || !qualname) return nullptr;
    // The messages name the code object's qualified name.
    Ref code = Ref::steal(PyObject_GetAttrString(func.get(), "__code__"));
    if (!code) return nullptr;
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref kwargs = Ref::steal(PyDict_New());
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!replace || !kwargs || !empty || PyDict_SetItemString(kwargs.get(), "co_qualname", qualname.get()) < 0)
        return nullptr;
    Ref new_code = Ref::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
    if (!new_code || PyObject_SetAttrString(func.get(), "__code__", new_code.get()) < 0 ||
        PyObject_SetAttrString(func.get(), "__qualname__", qualname.get()) < 0)
        return nullptr;
    return func.release();
}

void raise_bad_call(SignatureData& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    // Compiling the twin and making its arguments may run the collector.
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    HeldArgs held(args, nargs + nkw);
    if (!held.ok()) return;
    args = held.get();
    if (!sig.shadow) {
        sig.shadow = compile_shadow(sig);  // kept for the process
        if (!sig.shadow) return;
    }
    // The twin takes `self` (or `cls`) as an ordinary first argument.
    Py_ssize_t total = nargs + nkw + (sig.bound ? 1 : 0);
    Ref argv = Ref::steal(PyTuple_New(total));
    if (!argv) return;
    Py_ssize_t j = 0;
    if (sig.bound) PyTuple_SET_ITEM(argv.get(), j++, Py_NewRef(Py_None));
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) PyTuple_SET_ITEM(argv.get(), j++, Py_NewRef(args[i]));
    PyObject* const* items = &PyTuple_GET_ITEM(argv.get(), 0);
    Ref result = Ref::steal(PyObject_Vectorcall(sig.shadow, items, static_cast<size_t>(total - nkw), kwnames));
    if (result) PyErr_Format(PyExc_TypeError, "%s() received invalid arguments", sig.qualname);
}

bool reject_self_keyword(const char* qualname, PyObject* kwnames) noexcept {
    if (!kwnames) return true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, i), "self") == 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'self'", qualname);
            return false;
        }
    }
    return true;
}

namespace {
bool reject_keyword(const char* qualname, PyObject* first) noexcept {
    if (PyUnicode_CompareWithASCIIString(first, "self") == 0)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'self'", qualname);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", qualname, first);
    return false;
}
}  // namespace

bool reject_keywords(const char* qualname, PyObject* kwnames) noexcept {
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) return true;
    return reject_keyword(qualname, PyTuple_GET_ITEM(kwnames, 0));
}

bool reject_keyword_dict(const char* qualname, PyObject* kwds) noexcept {
    if (!kwds || PyDict_GET_SIZE(kwds) == 0) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyDict_Next(kwds, &pos, &key, &value);
    return reject_keyword(qualname, Ref::borrow(key).get());
}

bool unpack_pair(PyObject* item, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyIter_Check(item) && !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    Ref parts[3];
    int got = 0;
    for (; got < 3; ++got) {
        parts[got] = Ref::steal(PyIter_Next(it.get()));
        if (!parts[got]) break;
    }
    if (PyErr_Occurred()) return false;
    if (got < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
        return false;
    }
    if (got > 2) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    first = std::move(parts[0]);
    second = std::move(parts[1]);
    return true;
}

}  // namespace vo
