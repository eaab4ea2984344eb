// `typecast_str(value)` in C, while the module's name is the framework's own function.
//
// Every value a Configuration stores passes through `typecast_str`, a Python
// function: a copy of a 10,000-leaf store makes 11,110 calls.  While the
// module's `typecast_str` is the function the module body imported, with its
// own code, and every name that function reads (`_CONSTANTS`, `_INT`,
// `_FLOAT`, `_NUMBER_START`, and `isinstance`, `str`, `int`, `float`, `repr`,
// which its module does not shadow) is still bound to what it was, the same
// conversion is done here:
//  - a value that is not a str is returned as it is, when its class answers
//    `__class__` with object's own descriptor through a lookup that runs no
//    code of its own; anything else (a `__class__` property that may claim
//    str) goes to the function, which asks it once, as it always would;
//  - an exact str is looked up in `_CONSTANTS` (the real dict, so that a
//    change to its entries is seen) unless it starts with a sign or a digit;
//  - otherwise the two compiled patterns (immutable, so recognised by
//    identity) are matched by hand: `-?(?:0|[1-9][0-9]*)` makes an int; the
//    same followed by a fraction and/or an exponent is a float only if the
//    float's repr() is the text again ("3.10" and "1e5" stay text).
// str subclasses go to the function: their `__hash__`, `__eq__` or `__getitem__`
// may differ.  The patterns are recognised by their text as well: if the
// function's module ever spells them differently, the function is called.
#include "common/bindings.hpp"
#include "common/compat.hpp"
#include "common/kept.hpp"
#include "common/module.hpp"
#include "configuration.hpp"

#include <cstring>

namespace configuration {
namespace {

using vo::Ref;

bool digit(Py_UCS4 c) noexcept { return c >= '0' && c <= '9'; }

enum class Number { None, Int, Float };

// Which of the two patterns `text` fully matches.
Number match_number(PyObject* text) noexcept {
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text), i = 0;
    auto at = [&](Py_ssize_t k) noexcept { return k < n ? PyUnicode_READ(kind, data, k) : Py_UCS4(0); };
    if (at(i) == '-') ++i;
    if (at(i) == '0') {
        ++i;
    } else if (digit(at(i))) {
        while (digit(at(i))) ++i;
    } else {
        return Number::None;
    }
    if (i == n) return Number::Int;
    auto exponent = [&]() noexcept {  // [eE][+-]?[0-9]+ up to the end
        if (at(i) != 'e' && at(i) != 'E') return false;
        ++i;
        if (at(i) == '+' || at(i) == '-') ++i;
        if (!digit(at(i))) return false;
        while (digit(at(i))) ++i;
        return i == n;
    };
    if (at(i) == '.') {
        ++i;
        if (!digit(at(i))) return Number::None;
        while (digit(at(i))) ++i;
        if (i == n) return Number::Float;
        return exponent() ? Number::Float : Number::None;
    }
    return exponent() ? Number::Float : Number::None;
}

// `float(text)` if `repr()` of that float spells `text`, else `text` itself;
// NULL with an exception on failure.  `text` matched the float pattern, so
// it is ASCII and its UTF-8 form is its own data.
Ref canonical_float(PyObject* text) noexcept {
    Py_ssize_t size = 0;
    const char* digits = PyUnicode_AsUTF8AndSize(text, &size);
    if (!digits) return nullptr;
    // As float() parses it: an overflow gives an infinity, whose repr differs.
    double number = PyOS_string_to_double(digits, nullptr, nullptr);
    if (number == -1.0 && PyErr_Occurred()) return nullptr;
    char* shown = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!shown) return nullptr;
    bool same = std::strlen(shown) == static_cast<size_t>(size) && std::memcmp(shown, digits, size) == 0;
    PyMem_Free(shown);
    if (!same) return Ref::borrow(text);
    return Ref::steal(PyFloat_FromDouble(number));
}

// Whether `isinstance(value, str)` is false for every instance of `type`
// that is not a str by layout, without asking the instance.
bool answers_own_class(PyTypeObject* type) noexcept {
    getattrofunc get = type->tp_getattro;
    if (get != PyObject_GenericGetAttr && (get != state.level_getattro || !get)) return false;
    return vo::compat::type_lookup(type, state.dunder_class) == state.object_class.get();
}

}  // namespace

bool init_typecast(PyObject* module) noexcept {
    if (!(state.dunder_class = vo::intern("__class__"))) return false;
    Ref object_dict = Ref::steal(PyType_GetDict(&PyBaseObject_Type));
    if (!object_dict ||
        !state.object_class.set(Ref::borrow(PyDict_GetItemWithError(object_dict.get(), state.dunder_class))))
        return false;
    PyObject* globals = PyModule_GetDict(module);
    Ref func = vo::global(state.typecast_str);
    if (!func) return false;
    if (!PyFunction_Check(func.get())) return true;  // not the framework's function: always called
    PyObject* func_globals = PyFunction_GET_GLOBALS(func.get());
    PyObject* builtins = PyEval_GetBuiltins();
    Ref constants = Ref::borrow(PyDict_GetItemString(func_globals, "_CONSTANTS"));
    Ref int_pattern = Ref::borrow(PyDict_GetItemString(func_globals, "_INT"));
    Ref float_pattern = Ref::borrow(PyDict_GetItemString(func_globals, "_FLOAT"));
    Ref number_start = Ref::borrow(PyDict_GetItemString(func_globals, "_NUMBER_START"));
    if (!builtins || !constants || !int_pattern || !float_pattern || !number_start ||
        !PyDict_CheckExact(constants.get()))
        return true;
    // The patterns and the first characters this file matches by hand.
    Ref int_text = Ref::steal(PyObject_GetAttrString(int_pattern.get(), "pattern"));
    Ref float_text = Ref::steal(PyObject_GetAttrString(float_pattern.get(), "pattern"));
    Ref expected_start = Ref::steal(PyFrozenSet_New(nullptr));
    if (!int_text || !float_text || !expected_start) return false;
    for (const char* c = "-0123456789"; *c; ++c) {
        Ref ch = Ref::steal(PyUnicode_FromStringAndSize(c, 1));
        if (!ch || PySet_Add(expected_start.get(), ch.get()) < 0) return false;
    }
    int same_start = PyObject_RichCompareBool(number_start.get(), expected_start.get(), Py_EQ);
    if (same_start < 0) return false;
    if (!same_start || !PyFrozenSet_CheckExact(number_start.get()) ||
        PyUnicode_CompareWithASCIIString(int_text.get(), "-?(?:0|[1-9][0-9]*)") != 0 ||
        PyUnicode_CompareWithASCIIString(float_text.get(),
                                         "-?(?:0|[1-9][0-9]*)(?:\\.[0-9]+(?:[eE][+-]?[0-9]+)?|[eE][+-]?[0-9]+)") != 0)
        return true;
    PyObject* interned[8];
    const char* texts[8] = {"_CONSTANTS", "_INT", "_FLOAT", "_NUMBER_START", "isinstance", "str", "int", "float"};
    for (int i = 0; i < 8; ++i)
        if (!(interned[i] = vo::intern(texts[i]))) return false;
    PyObject* repr_name = vo::intern("repr");
    if (!repr_name) return false;
    PyObject* real_builtins[5];  // live as long as builtins
    for (int i = 0; i < 5; ++i) {
        real_builtins[i] = PyDict_GetItemWithError(builtins, i < 4 ? interned[4 + i] : repr_name);
        if (!real_builtins[i]) return PyErr_Occurred() ? false : true;
    }
    state.real_typecast.set(func);
    state.real_code.set(Ref::borrow(PyFunction_GET_CODE(func.get())));
    state.real_constants.set(constants);
    state.real_int_pattern.set(int_pattern);
    state.real_float_pattern.set(float_pattern);
    return state.typecast_bound.init({{globals, state.typecast_str, state.real_typecast.get()},
                                      {func_globals, interned[0], state.real_constants.get()},
                                      {func_globals, interned[1], state.real_int_pattern.get()},
                                      {func_globals, interned[2], state.real_float_pattern.get()}}) &&
           state.unshadowed.init({{func_globals, interned[4], nullptr},
                                  {func_globals, interned[5], nullptr},
                                  {func_globals, interned[6], nullptr},
                                  {func_globals, interned[7], nullptr}}) &&
           state.builtins_bound.init({{builtins, interned[4], real_builtins[0]},
                                      {builtins, interned[5], real_builtins[1]},
                                      {builtins, interned[6], real_builtins[2]},
                                      {builtins, interned[7], real_builtins[3]}}) &&
           state.repr_bound.init({{func_globals, repr_name, nullptr}, {builtins, repr_name, real_builtins[4]}});
}

Ref typecast(PyObject* value) noexcept {
    if (state.real_typecast && state.typecast_bound.holds() && state.unshadowed.holds() &&
        state.builtins_bound.holds() && state.repr_bound.holds() &&
        PyFunction_GET_CODE(state.real_typecast.get()) == state.real_code.get()) {
        if (!PyUnicode_Check(value)) {
            // The lookup may meet a colliding key's `__eq__`, which may reassign `value.__class__`.
            Ref type = Ref::borrow(Py_TYPE(value));
            if (answers_own_class(type.type_ptr())) return Ref::borrow(value);
        } else if (PyUnicode_CheckExact(value)) {
            Py_UCS4 first = PyUnicode_GET_LENGTH(value) ? PyUnicode_READ_CHAR(value, 0) : 0;
            if (first != '-' && !digit(first)) {
                PyObject* found = PyDict_GetItemWithError(state.real_constants.get(), value);
                if (found) return Ref::borrow(found);
                if (PyErr_Occurred()) return nullptr;
                return Ref::borrow(value);
            }
            switch (match_number(value)) {
                case Number::Int:
                    return Ref::steal(PyLong_FromUnicodeObject(value, 10));
                case Number::Float:
                    return canonical_float(value);
                case Number::None:
                    return Ref::borrow(value);
            }
        }
    }
    Ref func = vo::global(state.typecast_str);
    if (!func) return nullptr;
    return Ref::steal(PyObject_CallOneArg(func.get(), value));
}

}  // namespace configuration
