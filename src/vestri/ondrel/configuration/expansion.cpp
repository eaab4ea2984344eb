// Environment-variable references in INI values: `$NAME` and `${NAME}`.
//
// The class attribute _ENV_VAR_PATTERN decides what a reference is.  While a
// lookup of it still finds the pattern the module body compiled, and the
// value is a str, references are found by a small scanner that accepts
// exactly that pattern's language: the usual value has no "$" at all and then
// costs one memchr, and no match object is built per reference.  A pattern
// that was replaced (on the class or on a subclass) is used through its own
// `finditer` and `sub`, the latter with a replacement function written here.
//
// Every environment read goes through the module's `os` as bound when the
// reference is met, so a caller's substitute for `os` sees every lookup.
#include "common/args.hpp"
#include "common/classdef.hpp"
#include "common/errors.hpp"
#include "common/kept.hpp"
#include "common/lookup.hpp"
#include "common/module.hpp"
#include "common/vector.hpp"
#include "configuration.hpp"

#include <utility>
#include <vector>

namespace configuration {
namespace {

using vo::Found;
using vo::Is;
using vo::Ref;

// --- the scanner ------------------------------------------------------------------

struct Reference {
    Py_ssize_t start, end;            // the whole reference
    Py_ssize_t name_start, name_end;  // the variable name inside it
};

bool identifier_start(Py_UCS4 c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool identifier_char(Py_UCS4 c) noexcept { return identifier_start(c) || (c >= '0' && c <= '9'); }

// The leftmost reference at or after `pos`.  A "$" that starts none (`$5`,
// `${}`, a "{" without a closing brace) is passed over, and the search goes
// on from the next character, as the regular-expression search does.
Found next_reference(PyObject* text, Py_ssize_t pos, Reference& ref) noexcept {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    while (pos < length) {
        Py_ssize_t at = PyUnicode_FindChar(text, '$', pos, length, 1);
        if (at < 0) return at == -1 ? Found::No : Found::Error;
        Py_UCS4 next = at + 1 < length ? PyUnicode_READ(kind, data, at + 1) : 0;
        if (identifier_start(next)) {
            Py_ssize_t end = at + 2;
            while (end < length && identifier_char(PyUnicode_READ(kind, data, end))) ++end;
            ref = {at, end, at + 1, end};
            return Found::Yes;
        }
        // `${` needs at least one character other than "}" before the first "}".
        if (next == '{' && at + 2 < length && PyUnicode_READ(kind, data, at + 2) != '}') {
            Py_ssize_t close = PyUnicode_FindChar(text, '}', at + 3, length, 1);
            if (close == -2) return Found::Error;
            if (close >= 0) {
                ref = {at, close + 1, at + 2, close};
                return Found::Yes;
            }
        }
        pos = at + 1;
    }
    return Found::No;
}

bool scans_natively(PyObject* pattern, PyObject* value) noexcept {
    return pattern == state.real_pattern.get() && PyUnicode_Check(value);
}

// --- the environment, through the module's `os` ------------------------------------

Ref environ_now() noexcept {
    Ref os = vo::global(state.os);
    if (!os) return nullptr;
    return Ref::steal(PyObject_GetAttr(os.get(), state.environ));
}

// `name in os.environ`
Is environ_has(PyObject* name) noexcept {
    Ref environ = environ_now();
    if (!environ) return Is::Error;
    return vo::outcome<Is>(PySequence_Contains(environ.get(), name));
}

// `os.environ.get(name, '')`
Ref environ_get(PyObject* name) noexcept {
    Ref environ = environ_now();
    if (!environ) return nullptr;
    PyObject* argv[] = {environ.get(), name, state.empty_text};
    return Ref::steal(PyObject_VectorcallMethod(state.get, argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `match.group(1) or match.group(2)`
Ref match_name(PyObject* match) noexcept {
    Ref first = Ref::steal(PyObject_CallMethodOneArg(match, state.group, state.one.get()));
    if (!first) return nullptr;
    int truth = PyObject_IsTrue(first.get());
    if (truth < 0) return nullptr;
    if (truth) return first;
    return Ref::steal(PyObject_CallMethodOneArg(match, state.group, state.two.get()));
}

PyObject* replace_reference(PyObject*, PyObject* match) {
    Ref name = match_name(match);
    if (!name) return nullptr;
    return environ_get(name.get()).release();
}

PyMethodDef replace_def = {"replace_reference", VO_CFUNC(replace_reference), METH_O, nullptr};

// --- the three methods -------------------------------------------------------------------

// cls._missing_env_vars(value)
Ref missing_env_vars(PyObject* cls, PyObject* value) noexcept {
    Ref pattern = Ref::steal(PyObject_GetAttr(cls, state.pattern));
    if (!pattern) return nullptr;
    Ref missing = Ref::steal(PyList_New(0));
    if (!missing) return nullptr;
    // Unset and not listed yet: names in order of first reference, once each.
    auto consider = [&](PyObject* name) noexcept {
        Is present = environ_has(name);
        if (present != Is::No) return present == Is::Yes;
        Is listed = vo::outcome<Is>(PySequence_Contains(missing.get(), name));
        if (listed != Is::No) return listed == Is::Yes;
        return PyList_Append(missing.get(), name) == 0;
    };
    if (scans_natively(pattern.get(), value)) {
        Reference ref;
        Py_ssize_t pos = 0;
        for (;;) {
            Found found = next_reference(value, pos, ref);
            if (found == Found::Error) return nullptr;
            if (found == Found::No) break;
            Ref name = Ref::steal(PyUnicode_Substring(value, ref.name_start, ref.name_end));
            if (!name || !consider(name.get())) return nullptr;
            pos = ref.end;
        }
        return missing;
    }
    Ref matches = Ref::steal(PyObject_CallMethodOneArg(pattern.get(), state.finditer, value));
    if (!matches) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(matches.get()));
    if (!it) return nullptr;
    while (Ref match = Ref::steal(PyIter_Next(it.get()))) {
        Ref name = match_name(match.get());
        if (!name || !consider(name.get())) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return missing;
}

// Every reference replaced by the variable's value, or by "" when it is unset.
// A replaced `os.environ` runs code for each reference: the pieces are kept
// here, where that code cannot reach them, and joined at the end.
Ref substitute(PyObject* value) noexcept {
    Py_ssize_t length = PyUnicode_GET_LENGTH(value), pos = 0;
    std::vector<Ref> pieces;
    Reference ref;
    for (;;) {
        Found found = next_reference(value, pos, ref);
        if (found == Found::Error) return nullptr;
        if (found == Found::No) break;
        if (ref.start > pos) {
            Ref before = Ref::steal(PyUnicode_Substring(value, pos, ref.start));
            if (!before) return nullptr;
            if (!vo::push(pieces, std::move(before))) return nullptr;
        }
        Ref name = Ref::steal(PyUnicode_Substring(value, ref.name_start, ref.name_end));
        if (!name) return nullptr;
        Ref replacement = environ_get(name.get());
        if (!replacement) return nullptr;
        // A replacement function's None stands for nothing, as in `sub`.
        if (replacement.get() != Py_None && !vo::push(pieces, std::move(replacement))) return nullptr;
        pos = ref.end;
    }
    if (pos < length || pieces.empty()) {
        // No reference: the value itself (a str subclass comes back as a plain str).
        Ref after = Ref::steal(PyUnicode_Substring(value, pos, length));
        if (!after) return nullptr;
        if (pos == 0) return after;
        if (!vo::push(pieces, std::move(after))) return nullptr;
    }
    // Filled before anything else can run: the collector never sees an empty slot.
    Ref joined = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!joined) return nullptr;
    for (size_t i = 0; i < pieces.size(); ++i)
        PyTuple_SET_ITEM(joined.get(), static_cast<Py_ssize_t>(i), pieces[i].release());
    return Ref::steal(PyUnicode_Join(state.empty_text, joined.get()));
}

// cls._expand_cfg_value(value, section=section, key=key)
Ref expand_value(PyObject* cls, PyObject* value, PyObject* section, PyObject* key) noexcept {
    Ref missing;
    if (class_attr_is(cls, state.missing_env_vars, state.d_missing.get())) {
        // The method run in place: its entry is added here, as its own call would.
        missing = missing_env_vars(cls, value);
        if (!missing) VO_TRACE_AS("Configuration._missing_env_vars");
    } else {
        missing = Ref::steal(PyObject_CallMethodOneArg(cls, state.missing_env_vars, value));
    }
    if (!missing) return nullptr;
    int any = PyObject_IsTrue(missing.get());
    if (any < 0) return nullptr;
    if (any) {
        Ref logger = vo::global(state.logger);
        if (!logger) return nullptr;
        Ref joined = Ref::steal(PyUnicode_Join(state.list_separator, missing.get()));
        if (!joined) return nullptr;
        // The logging module formats the message, and only if a handler wants it.
        PyObject* argv[] = {logger.get(), state.warning_format, joined.get(), section, key};
        Ref logged =
            Ref::steal(PyObject_VectorcallMethod(state.warning, argv, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!logged) return nullptr;
    }
    Ref pattern = Ref::steal(PyObject_GetAttr(cls, state.pattern));
    if (!pattern) return nullptr;
    if (scans_natively(pattern.get(), value)) return substitute(value);
    return Ref::steal(
        PyObject_CallMethodObjArgs(pattern.get(), state.sub, state.replace_function.get(), value, nullptr));
}

// The module's `Configuration._expand_cfg_value(value, section=..., key=...)`.
Ref expand_through_class(PyObject* value, PyObject* section, PyObject* key) noexcept {
    Ref cls = vo::global(state.configuration);
    if (!cls) return nullptr;
    if (class_attr_is(cls.get(), state.expand_cfg_value, state.d_expand_value.get())) {
        Ref result = expand_value(cls.get(), value, section, key);
        if (!result) VO_TRACE_AS("Configuration._expand_cfg_value");
        return result;
    }
    Ref method = Ref::steal(PyObject_GetAttr(cls.get(), state.expand_cfg_value));
    if (!method) return nullptr;
    PyObject* argv[] = {value, section, key};
    return Ref::steal(PyObject_Vectorcall(method.get(), argv, 1, state.section_key_kwnames.get()));
}

// The module's `configparser.DEFAULTSECT`, as bound now.
Ref default_section() noexcept {
    Ref configparser = vo::global(state.configparser);
    if (!configparser) return nullptr;
    return Ref::steal(PyObject_GetAttr(configparser.get(), state.defaultsect));
}

// Calls `each(key, value)` for every pair of `mapping.items()`.
template <class F>
bool for_each_item(PyObject* mapping, F each) noexcept {
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(mapping, state.items));
    if (!items) return false;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref key, value;
        if (!vo::unpack_pair(item.get(), key, value) || !each(key.get(), value.get())) return false;
    }
    return !PyErr_Occurred();
}

bool expand_parser(PyObject* config) noexcept {
    // The default section first: its values are written back through the
    // section view, the other sections' through the parser's `set`.  Either
    // way the parser checks the interpolation syntax of the new value.
    Ref defaults = Ref::steal(PyObject_CallMethodNoArgs(config, state.defaults));
    if (!defaults) return false;
    bool ok = for_each_item(defaults.get(), [&](PyObject* key, PyObject* value) noexcept {
        Ref section = default_section();
        if (!section) return false;
        Ref result = expand_through_class(value, section.get(), key);
        if (!result) return false;
        Ref target = default_section();
        if (!target) return false;
        Ref view = Ref::steal(PyObject_GetItem(config, target.get()));
        return view && PyObject_SetItem(view.get(), key, result.get()) == 0;
    });
    if (!ok) return false;
    // The raw sections hold each section's own options only, not the defaults.
    Ref sections = Ref::steal(PyObject_GetAttr(config, state.sections));
    if (!sections) return false;
    return for_each_item(sections.get(), [&](PyObject* section, PyObject* options) noexcept {
        return for_each_item(options, [&](PyObject* key, PyObject* value) noexcept {
            Ref result = expand_through_class(value, section, key);
            if (!result) return false;
            PyObject* argv[] = {config, section, key, result.get()};
            Ref done =
                Ref::steal(PyObject_VectorcallMethod(state.set, argv, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            return static_cast<bool>(done);
        });
    });
}

vo::Signature<1> sig_missing("Configuration._missing_env_vars", "cls", {{"value"}});
vo::Signature<3> sig_expand_value("Configuration._expand_cfg_value", "cls",
                                  {{"value"}, {"section", true}, {"key", true}});
vo::Signature<1> sig_expand_parser("Configuration._expand_cfg_env_vars", nullptr, {{"config"}});

PyObject* cfg_missing_env_vars(PyObject* cls, PyObject* value) noexcept {
    VO_METHOD("Configuration._missing_env_vars");
    Ref missing = missing_env_vars(cls, value);
    if (!missing) return VO_FAIL();
    return missing.release();
}

PyObject* cfg_expand_cfg_value(PyObject* cls, PyObject* value, PyObject* section, PyObject* key) noexcept {
    VO_METHOD("Configuration._expand_cfg_value");
    Ref result = expand_value(cls, value, section, key);
    if (!result) return VO_FAIL();
    return result.release();
}

PyObject* cfg_expand_cfg_env_vars(PyObject*, PyObject* config) noexcept {
    VO_METHOD("Configuration._expand_cfg_env_vars");
    if (!expand_parser(config)) return VO_FAIL();
    Py_RETURN_NONE;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef expansion_methods[] = {
    {"_missing_env_vars", VO_CFUNC((vo::method<sig_missing, cfg_missing_env_vars>)), kFast | METH_CLASS,
     sig_missing.doc("Return env var references from a string that are not set.")},
    {"_expand_cfg_value", VO_CFUNC((vo::method<sig_expand_value, cfg_expand_cfg_value>)), kFast | METH_CLASS,
     sig_expand_value.doc("Expand env vars in one INI value and warn about missing references.")},
    {"_expand_cfg_env_vars", VO_CFUNC((vo::method<sig_expand_parser, cfg_expand_cfg_env_vars>)), kFast | METH_STATIC,
     sig_expand_parser.doc("Expand environment variable references in loaded INI values.")},
    {nullptr, nullptr, 0, nullptr},
};

bool init_expansion(PyObject* module, PyObject* cls, PyObject* pattern) noexcept {
    if (!vo::intern_all(
            {{&state.finditer, "finditer"},
             {&state.sub, "sub"},
             {&state.group, "group"},
             {&state.warning, "warning"},
             {&state.defaults, "defaults"},
             {&state.sections, "_sections"},
             {&state.set, "set"},
             {&state.missing_env_vars, "_missing_env_vars"},
             {&state.expand_cfg_value, "_expand_cfg_value"},
             {&state.empty_text, ""},
             {&state.list_separator, ", "},
             {&state.warning_format,
              "Environment variable(s) %s referenced by [%s] %s are not set; substituting an empty string."}}))
        return false;
    if (!state.real_pattern.set(Ref::borrow(pattern))) return false;
    if (!state.d_missing.set(vo::own_attribute(cls, "_missing_env_vars")) ||
        !state.d_expand_value.set(vo::own_attribute(cls, "_expand_cfg_value")))
        return false;
    if (!state.section_key_kwnames.set(Ref::steal(Py_BuildValue("(ss)", "section", "key")))) return false;
    if (!state.one.set(Ref::steal(PyLong_FromLong(1))) || !state.two.set(Ref::steal(PyLong_FromLong(2)))) return false;
    return state.replace_function.set(Ref::steal(PyCMethod_New(&replace_def, nullptr, module, nullptr)));
}

}  // namespace configuration
