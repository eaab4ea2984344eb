// Looking things up as Python code would, with the fast paths that keep it cheap.
//
//  - special methods, found on the class and bound to the instance, as the
//    interpreter finds `__enter__` or `__exit__` for a `with` statement;
//  - a scope that makes an exception "the one being handled", as inside an
//    `except` block, for code that reports an error it has caught;
//  - `isinstance(value, Mapping)` with `Mapping` as the module binds it now,
//    answered without asking the ABC for dicts and built-in scalars while
//    the name is the real `collections.abc.Mapping`.
#pragma once

#include "bindings.hpp"
#include "kept.hpp"

namespace vo {

enum class Is { Error = -1, No = 0, Yes = 1 };

// `type(obj).<name>` bound to `obj`.  Found::No (no exception) when the
// class has no such attribute; the instance's own attributes are not consulted.
Found special_method(PyObject* obj, PyObject* name, Ref& bound) noexcept;

// Within the scope, `error` is the exception being handled (what
// `sys.exception()` answers and what an exception raised meanwhile is
// chained to); the one handled before comes back when the scope ends.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* error) noexcept : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(error);
    }
    ~HandlingScope() { PyErr_SetHandledException(previous_.get()); }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    Ref previous_;
};

// `isinstance(value, Mapping)`, `Mapping` being a module-level name.
class MappingCheck {
public:
    // `name` (interned) in `globals` (a module namespace that lives for the
    // process) is bound to the real `collections.abc.Mapping` now.
    bool init(PyObject* globals, PyObject* name) noexcept;

    // What one operation has learnt: built-in scalars are no Mappings unless
    // someone registered one with the ABC, which changes the ABC cache token;
    // the token is asked once per operation, when a scalar is first met.
    struct Memo {
        int scalars = -1;       // -1: not asked yet; 1: scalars are no Mappings; 0: they may be
        bool ran_code = false;  // a check may have run Python code (the ABC's hooks, __instancecheck__)
    };

    Is check(PyObject* value, Memo& memo) noexcept {
        if (VO_LIKELY(binding_.holds())) {
            if (PyDict_Check(value)) return Is::Yes;
            if (is_scalar(value)) {
                if (memo.scalars < 0) {
                    memo.ran_code = true;
                    if ((memo.scalars = scalars_are_no_mappings()) < 0) return Is::Error;
                }
                if (memo.scalars) return Is::No;
            }
            memo.ran_code = true;
            return outcome<Is>(PyObject_IsInstance(value, real_.get()));
        }
        memo.ran_code = true;
        return check_as_bound(value);
    }

    // Whether the name is still bound to the real class.
    bool real() noexcept { return binding_.holds(); }
    PyObject* real_mapping() const noexcept { return real_.get(); }

private:
    static bool is_scalar(PyObject* value) noexcept {
        PyTypeObject* t = Py_TYPE(value);
        return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
               value == Py_None || t == &PyList_Type || t == &PyTuple_Type || t == &PyBytes_Type;
    }
    int scalars_are_no_mappings() noexcept;
    Is check_as_bound(PyObject* value) noexcept;

    Binding binding_;
    PyObject* name_ = nullptr;  // interned
    Kept real_;
    Kept get_cache_token_;  // abc.get_cache_token
    Kept scalar_token_;     // the token under which the scalars were seen to be no Mappings
};

}  // namespace vo
