// vestri.ondrel.logic: logic expressions over regular expressions and callables.
//
// `And`, `Or` and `Not` test values against their expressions: compiled
// patterns (searched in the string form of each value), callables (called
// with each value, every value even after a true result) and nested logic
// objects (called with all values at once).  They print in the notation they
// are written in, and `logic_str` reads that notation back without
// evaluating anything (reader.cpp).
//
// The four classes are types made from specs over `object`, so their call,
// str and comparison live in C slots; the methods are also installed as
// documented method descriptors (METH_COEXIST keeps the slots).  Instances
// keep `expressions` in their own `__dict__`, as instances of a Python class
// would, so that pickling, copying, `vars()` and reassigning the attribute
// behave as usual.  Their only C field is the entry point of the call
// protocol, which spares every call an argument tuple; a class that
// overrides __call__ is still reached through its slot.
//
// Testing a nested expression looks the module's `BaseLogic` up when it runs;
// while the name is the real class, a nested And, Or or Not whose call is
// still ours is tested directly, without a call, and a compiled pattern is
// searched through the entry point of `re.Pattern.search` itself.
#include "logic.hpp"

#include "common/args.hpp"
#include "common/bindings.hpp"
#include "common/callargs.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/guard.hpp"
#include "common/kept.hpp"
#include "common/lifecycle.hpp"
#include "common/module.hpp"
#include "common/repr.hpp"
#include "common/text.hpp"
#include "common/vector.hpp"

#include <cstddef>
#include <type_traits>
#include <vector>

namespace logic {
namespace {

using vo::Ref;

// What the module keeps, in static storage and never released: a release
// after the interpreter has finalized would touch freed memory.
struct LogicState {
    // Interned names (borrowed: interned for the process).
    PyObject *expressions, *base_logic, *re, *compile, *search, *pattern, *name, *decode_cli_string, *append,
        *quoted;                           // and the format "'%s'"
    vo::Kept base;                         // BaseLogic (strong)
    vo::Kept pattern_type;                 // re.Pattern, which cannot be subclassed or patched (strong)
    vo::Kept pattern_search;               // re.Pattern.search (strong)
    vectorcallfunc search_call = nullptr;  // its entry point, called as the interpreter's CALL calls it
    vo::Kept strip;                        // str.strip (strong)
    vo::Binding base_bound;                // the module's BaseLogic is `base`
    // `self.expressions` read where the instance keeps it: by the test, one
    // per rule (so that nested And, Or and Not objects each keep their
    // class's layout), and by the printed form.
    vo::compat::InlineAttr tested_expressions[3], printed_expressions;
};
static_assert(std::is_trivially_destructible_v<LogicState>);
LogicState state;

PyTypeObject* base_type() noexcept { return reinterpret_cast<PyTypeObject*>(state.base.get()); }

enum class Truth { Error = -1, False = 0, True = 1 };

// The instance: a managed __dict__ (which holds `expressions`), weak
// references, and the entry point of the call protocol.  The entry point
// is set by __init__ or the first call; until then calls take the slot.
struct LogicObject {
    PyObject_HEAD vectorcallfunc vectorcall;
};

PyObject* logic_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

void enable_vectorcall(PyObject* self) noexcept { reinterpret_cast<LogicObject*>(self)->vectorcall = logic_vectorcall; }

// Nothing but a managed __dict__ and weak references to look after.
using Lifecycle = vo::lifecycle::Object<vo::lifecycle::NoFields>;

// --- construction -----------------------------------------------------------------------

// self.expressions = []; then self.expressions.append(re.compile(e) if str
// else e) for each argument, in order, so a failure leaves the expressions
// before it.
// Re-entrancy: `re.compile` and a subclass's __setattr__ or __getattribute__
// run Python code, which may rebind `expressions`; every append goes to what
// the attribute holds when it is made, as in the definition.  Nothing is
// held across a call but the entry itself; the caller holds `args`.
int init_expressions(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Ref list = Ref::steal(PyList_New(0));
    if (!list || PyObject_SetAttr(self, state.expressions, list.get()) < 0) return -1;
    list.reset();
    Ref current;  // self.expressions as last read; empty once Python code may have run
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyObject* argument = args[i];
        Ref entry;
        if (PyUnicode_Check(argument)) {
            current.reset();
            Ref re = vo::global(state.re);
            if (!re) return -1;
            Ref compile = Ref::steal(PyObject_GetAttr(re.get(), state.compile));
            if (!compile) return -1;
            entry = Ref::steal(PyObject_CallOneArg(compile.get(), argument));
            if (!entry) return -1;
        } else if (PyCallable_Check(argument)) {
            entry = Ref::borrow(argument);
        } else {
            vo::raise_concat(PyExc_TypeError, {"Expression only accepts str and callable. Got: ", argument, " (",
                                               reinterpret_cast<PyObject*>(Py_TYPE(argument)), ")"});
            return -1;
        }
        if (!current) {
            current = Ref::steal(PyObject_GetAttr(self, state.expressions));
            if (!current) return -1;
        }
        // A list's append cannot be overridden and runs no Python code, so
        // the list read stays what the attribute holds; anything else is
        // asked by name, and the attribute read again after it.
        if (PyList_CheckExact(current.get())) {
            if (PyList_Append(current.get(), entry.get()) < 0) return -1;
        } else {
            Ref done = Ref::steal(PyObject_CallMethodOneArg(current.get(), state.append, entry.get()));
            if (!done) return -1;
            current.reset();
        }
    }
    return 0;
}

int baselogic_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    VO_METHOD("BaseLogic.__init__");
    enable_vectorcall(self);
    if (!vo::reject_keyword_dict("BaseLogic.__init__", kwargs)) return VO_FAIL_INT();
    if (init_expressions(self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args)) < 0) return VO_FAIL_INT();
    return 0;
}

PyObject* baselogic_init_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("BaseLogic.__init__");
    enable_vectorcall(self);
    if (!vo::reject_keywords("BaseLogic.__init__", kwnames)) return VO_FAIL();
    // `re.compile` and the attribute's methods run Python code, which may
    // free a lent array.
    vo::HeldArgs held(args, nargs);
    if (!held.ok() || init_expressions(self, held.get(), nargs) < 0) return VO_FAIL();
    Py_RETURN_NONE;
}

// --- the test ------------------------------------------------------------------------------

enum class Rule { And, Or, Not };

PyObject* run_rule(Rule rule, PyObject* self, PyObject* const* items, Py_ssize_t n) noexcept;
Truth nested_rule(Rule rule, PyObject* self, PyObject* const* items, Py_ssize_t n) noexcept;
PyObject* and_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* or_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* not_call(PyObject* self, PyObject* args, PyObject* kwargs);

// any(pattern.search(str(item)) for every item), every item searched.
Truth search_all(PyObject* pattern, PyObject* const* items, Py_ssize_t n) noexcept {
    bool found = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref text = PyUnicode_CheckExact(items[i]) ? Ref::borrow(items[i]) : Ref::steal(PyObject_Str(items[i]));
        if (!text) return Truth::Error;
        PyObject* argv[2] = {pattern, text.get()};
        Ref match = Ref::steal(state.search_call(state.pattern_search.get(), argv, 2, nullptr));
        if (!match) return Truth::Error;
        found = found || match.get() != Py_None;
    }
    return found ? Truth::True : Truth::False;
}

// any([call(item) for item in items]): every call is made before any result
// is tested, and the results are tested in order up to the first true one.
// The results are held in C++ storage, out of reach of the code that the
// calls and the truth tests run.
template <class Call>
Truth any_of_all(Py_ssize_t n, Call call) noexcept {
    constexpr Py_ssize_t kOnStack = 8;
    Ref on_stack[kOnStack];
    std::vector<Ref> on_heap;
    Ref* results = on_stack;
    if (n > kOnStack) {
        if (!vo::resize(on_heap, static_cast<size_t>(n))) return Truth::Error;
        results = on_heap.data();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        results[i] = call(i);
        if (!results[i]) return Truth::Error;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Truth t = vo::outcome<Truth>(PyObject_IsTrue(results[i].get()));
        if (t != Truth::False) return t;
    }
    return Truth::False;
}

// The test of one expression against all values.
// Re-entrancy: user callables, a nested object's own __call__, __str__ of a
// value and `__class__` lookups may run any code, including code that
// changes the expressions list; `expression` is held by the caller.
Truth test_expression(PyObject* expression, PyObject* const* items, Py_ssize_t n) noexcept {
    bool real_base = state.base_bound.holds();
    if (real_base) {
        if (Py_IS_TYPE(expression, reinterpret_cast<PyTypeObject*>(state.pattern_type.get())))
            return search_all(expression, items, n);
        // Only the package's classes and their subclasses carry these
        // slots, and every one of them is a BaseLogic.
        ternaryfunc call = Py_TYPE(expression)->tp_call;
        if (call == and_call) return nested_rule(Rule::And, expression, items, n);
        if (call == or_call) return nested_rule(Rule::Or, expression, items, n);
        if (call == not_call) return nested_rule(Rule::Not, expression, items, n);
    }
    int is_logic;
    if (real_base) {
        is_logic = PyObject_IsInstance(expression, state.base.get());
    } else {
        Ref base = vo::global(state.base_logic);
        if (!base) return Truth::Error;
        is_logic = PyObject_IsInstance(expression, base.get());
    }
    if (is_logic < 0) return Truth::Error;
    if (is_logic) {
        vo::count_general_path(state.base_bound.shared(), vo::GeneralPath::LogicCall);
        Ref result = Ref::steal(PyObject_Vectorcall(expression, items, static_cast<size_t>(n), nullptr));
        if (!result) return Truth::Error;
        return vo::outcome<Truth>(PyObject_IsTrue(result.get()));
    }
    if (PyCallable_Check(expression))
        return any_of_all(n, [&](Py_ssize_t i) { return Ref::steal(PyObject_CallOneArg(expression, items[i])); });
    if (Py_IS_TYPE(expression, reinterpret_cast<PyTypeObject*>(state.pattern_type.get())))
        return search_all(expression, items, n);
    // Anything else put into the list: its own `search`, as written.
    return any_of_all(n, [&](Py_ssize_t i) {
        Ref text = Ref::steal(PyObject_Str(items[i]));
        if (!text) return Ref();
        return Ref::steal(PyObject_CallMethodOneArg(expression, state.search, text.get()));
    });
}

// Walks the expressions in order and stops at the first decisive one.
// Re-entrancy: the tests run user code that may change or replace
// `self.expressions`; the list is read as a list iterator would read it
// (index against the current size), and each entry is held while tested.
Truth walk(Rule rule, PyObject* self, PyObject* const* items, Py_ssize_t n) noexcept {
    Ref expressions = state.tested_expressions[static_cast<int>(rule)].get(self);
    if (!expressions) return Truth::Error;
    // Stops on a false test for And, on a true one for Or and Not.
    Truth decisive = rule == Rule::And ? Truth::False : Truth::True;
    Truth decided = rule == Rule::Or ? Truth::True : Truth::False;
    Truth otherwise = rule == Rule::Or ? Truth::False : Truth::True;
    if (PyList_CheckExact(expressions.get())) {
        PyObject* list = expressions.get();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            Ref expression = Ref::borrow(PyList_GET_ITEM(list, i));
            Truth t = test_expression(expression.get(), items, n);
            if (t == Truth::Error) return t;
            if (t == decisive) return decided;
        }
        return otherwise;
    }
    Ref it = Ref::steal(PyObject_GetIter(expressions.get()));
    if (!it) return Truth::Error;
    while (Ref expression = Ref::steal(PyIter_Next(it.get()))) {
        Truth t = test_expression(expression.get(), items, n);
        if (t == Truth::Error) return t;
        if (t == decisive) return decided;
    }
    return PyErr_Occurred() ? Truth::Error : otherwise;
}

// NULL, with the traceback entry of the class whose __call__ failed.
PyObject* call_failed(Rule rule) noexcept {
    switch (rule) {
        case Rule::And: {
            VO_METHOD("And.__call__");
            return VO_FAIL();
        }
        case Rule::Or: {
            VO_METHOD("Or.__call__");
            return VO_FAIL();
        }
        case Rule::Not: {
            VO_METHOD("Not.__call__");
            return VO_FAIL();
        }
    }
    return nullptr;
}

Truth guarded_walk(Rule rule, PyObject* self, PyObject* const* items, Py_ssize_t n) noexcept {
    vo::RecursionGuard guard(" while testing a logic expression");
    if (!guard.ok()) return Truth::Error;
    return walk(rule, self, items, n);
}

// A nested object whose call is the package's own, tested without the call.
Truth nested_rule(Rule rule, PyObject* self, PyObject* const* items, Py_ssize_t n) noexcept {
    Truth t = guarded_walk(rule, self, items, n);
    if (t == Truth::Error) call_failed(rule);
    return t;
}

PyObject* run_rule(Rule rule, PyObject* self, PyObject* const* items, Py_ssize_t n) noexcept {
    switch (guarded_walk(rule, self, items, n)) {
        case Truth::True:
            Py_RETURN_TRUE;
        case Truth::False:
            Py_RETURN_FALSE;
        case Truth::Error:
            break;
    }
    // Each nested level adds its entry, as a Python __call__ would.
    return call_failed(rule);
}

// The same for a caller's array, which may be lent from storage that an
// expression can free (the items of a functools.partial's `args`), where a
// Python `__call__(self, *items)` would get its own tuple: held for the test.
PyObject* run_rule_lent(Rule rule, PyObject* self, PyObject* const* items, Py_ssize_t n) noexcept {
    vo::HeldArgs held(items, n);
    if (!held.ok()) return call_failed(rule);
    return run_rule(rule, self, held.get(), n);
}

template <Rule R>
PyObject* rule_call(PyObject* self, PyObject* args, PyObject* kwargs, const char* qualname) noexcept {
    enable_vectorcall(self);
    if (!vo::reject_keyword_dict(qualname, kwargs)) return call_failed(R);
    return run_rule(R, self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args));
}

PyObject* and_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return rule_call<Rule::And>(self, args, kwargs, "And.__call__");
}
PyObject* or_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return rule_call<Rule::Or>(self, args, kwargs, "Or.__call__");
}
PyObject* not_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return rule_call<Rule::Not>(self, args, kwargs, "Not.__call__");
}

PyObject* and_call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("And.__call__");
    if (!vo::reject_keywords("And.__call__", kwnames)) return VO_FAIL();
    return run_rule_lent(Rule::And, self, args, nargs);
}
PyObject* or_call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("Or.__call__");
    if (!vo::reject_keywords("Or.__call__", kwnames)) return VO_FAIL();
    return run_rule_lent(Rule::Or, self, args, nargs);
}
PyObject* not_call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("Not.__call__");
    if (!vo::reject_keywords("Not.__call__", kwnames)) return VO_FAIL();
    return run_rule_lent(Rule::Not, self, args, nargs);
}

// BaseLogic itself tests nothing.
vo::Signature<0> sig_base_call("BaseLogic.__call__", "self");

PyObject* baselogic_call_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("BaseLogic.__call__");
    if (sig_base_call.parse(args, nargs, kwnames)) PyErr_SetNone(PyExc_NotImplementedError);
    return VO_FAIL();
}

PyObject* baselogic_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs == 0 && (!kwargs || PyDict_GET_SIZE(kwargs) == 0))
        return baselogic_call_method(self, nullptr, 0, nullptr);
    // Wrong arguments: laid out flat, for the interpreter's own message,
    // which names keywords but no values (the keyword values stay in the
    // caller's dict, which may be shared).
    Ref keys = Ref::steal(kwargs ? PyDict_Keys(kwargs) : PyList_New(0));
    if (!keys) return nullptr;
    Ref kwnames = Ref::steal(PyList_AsTuple(keys.get()));
    if (!kwnames) return nullptr;
    std::vector<PyObject*> flat;
    if (!vo::grown([&] { flat.assign(static_cast<size_t>(nargs + PyTuple_GET_SIZE(kwnames.get())), Py_None); }))
        return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) flat[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
    return baselogic_call_method(self, flat.data(), nargs, PyTuple_GET_SIZE(kwnames.get()) ? kwnames.get() : nullptr);
}

// The call protocol's entry point for every instance: the rule that the
// instance's class calls in its slot, or, when a class overrides __call__,
// that slot with the arguments packed as it expects them.
PyObject* logic_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    ternaryfunc call = Py_TYPE(self)->tp_call;
    Rule rule;
    const char* qualname;
    if (call == and_call) {
        rule = Rule::And, qualname = "And.__call__";
    } else if (call == or_call) {
        rule = Rule::Or, qualname = "Or.__call__";
    } else if (call == not_call) {
        rule = Rule::Not, qualname = "Not.__call__";
    } else if (call == baselogic_call) {
        return baselogic_call_method(self, args, nargs, kwnames);
    } else {
        // Nothing runs Python code before every argument is in the tuple
        // or the dict but an allocation, and with it the collector.
        vo::HeldArgs held(args, nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
        if (!held.ok()) return nullptr;
        args = held.get();
        Ref tuple = Ref::steal(PyTuple_New(nargs));
        Ref kwargs = Ref::steal(kwnames ? PyDict_New() : nullptr);
        if (!tuple || (kwnames && !kwargs)) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        for (Py_ssize_t i = 0; kwnames && i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
        // A key's __hash__ may have run: the slot is read as the call is made.
        call = Py_TYPE(self)->tp_call;
        if (!call) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(self)->tp_name);
            return nullptr;
        }
        if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
        PyObject* result = call(self, tuple.get(), kwargs.get());
        Py_LeaveRecursiveCall();
        return result;
    }
    if (!vo::reject_keywords(qualname, kwnames)) return call_failed(rule);
    return run_rule_lent(rule, self, args, nargs);
}

// --- printed form -------------------------------------------------------------------

// type(self).__name__, read as the definition reads it: through the
// metaclass's lookup, which may run code when the metaclass is not `type`.
Ref class_name(PyObject* self) noexcept {
    Ref type = Ref::borrow(Py_TYPE(self));
    if (Py_IS_TYPE(type.get(), &PyType_Type)) return Ref::steal(PyType_GetName(type.type_ptr()));
    return Ref::steal(PyObject_GetAttr(type.get(), state.name));
}

// The printed form, written once into one builder:
// type(self).__name__ + "(" + ", ".join(parts) + ")".  The definition reads
// the class name last; a class whose metaclass is `type` gives it without
// running code, so it is written first, and replaced at the end if the
// entries' code renamed or re-classed the object meanwhile.
class Printed {
public:
    // Writes the name when reading it runs no code.
    bool open(PyObject* self) noexcept {
        if (!Py_IS_TYPE(Py_TYPE(self), &PyType_Type)) return out_.append_ascii("(", 1);
        name_ = class_name(self);
        if (!name_) return false;
        // A name that is no text fails at the end, as in the definition.
        if (PyUnicode_Check(name_.get()) && !out_.append(name_.get())) return false;
        name_length_ = out_.length();
        return out_.append_ascii("(", 1);
    }
    bool separate(bool first) noexcept { return first || out_.append_ascii(", ", 2); }
    bool write(PyObject* text) noexcept { return out_.append(text); }
    bool write_ascii(const char* text, Py_ssize_t n) noexcept { return out_.append_ascii(text, n); }

    Ref finish(PyObject* self) noexcept {
        if (!out_.append_ascii(")", 1)) return nullptr;
        Ref name = class_name(self);
        if (!name) return nullptr;
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                         Py_TYPE(name.get())->tp_name);
            return nullptr;
        }
        Ref text = out_.finish();
        if (!text || name.get() == name_.get()) return text;
        Ref rest = Ref::steal(PyUnicode_Substring(text.get(), name_length_, PyUnicode_GET_LENGTH(text.get())));
        if (!rest) return nullptr;
        return Ref::steal(PyUnicode_Concat(name.get(), rest.get()));
    }

private:
    vo::TextBuilder out_;
    Ref name_;  // the name written first (empty when none was)
    Py_ssize_t name_length_ = 0;
};

// An entry prints as its repr when callable, else as its pattern text in
// single quotes, unescaped ("'%s'" % entry.pattern).
bool write_entry(Printed& out, PyObject* entry) noexcept {
    if (PyCallable_Check(entry)) {
        Ref text = Ref::steal(PyObject_Repr(entry));
        return text && out.write(text.get());
    }
    Ref pattern = Ref::steal(PyObject_GetAttr(entry, state.pattern));
    if (!pattern) return false;
    // `%` formats an exact str as itself; anything else (a tuple is a tuple
    // of arguments, a mapping a mapping of them) through `%` itself.
    if (PyUnicode_CheckExact(pattern.get()))
        return out.write_ascii("'", 1) && out.write(pattern.get()) && out.write_ascii("'", 1);
    Ref text = Ref::steal(PyUnicode_Format(state.quoted, pattern.get()));
    return text && out.write(text.get());
}

// Re-entrancy: the repr of a callable entry and `__class__` or `__name__`
// lookups may run any code and change the list; it is walked by its
// iterator (for a list: by index against its current size), each entry held
// while it is printed.  The text is the builder's own until it is finished.
Ref str_impl(PyObject* self) noexcept {
    vo::RecursionGuard guard(" while getting the str of a logic expression");
    if (!guard.ok()) return nullptr;
    Printed out;
    // An object that contains itself prints the inner occurrence as "Name(...)".
    vo::ReprGuard scope(self);
    if (scope.entry() == vo::ReprEntry::Error) return nullptr;
    if (!out.open(self)) return nullptr;
    if (scope.entry() == vo::ReprEntry::AlreadyInside) {
        if (!out.write_ascii("...", 3)) return nullptr;
        return out.finish(self);
    }
    Ref expressions = state.printed_expressions.get(self);
    if (!expressions) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(expressions.get()));
    if (!it) return nullptr;
    bool first = true;
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        if (!out.separate(first) || !write_entry(out, entry.get())) return nullptr;
        first = false;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.finish(self);
}

PyObject* baselogic_str(PyObject* self) {
    VO_METHOD("BaseLogic.__str__");
    Ref text = str_impl(self);
    if (!text) return VO_FAIL();
    return text.release();
}

PyObject* baselogic_repr(PyObject* self) {
    VO_METHOD("BaseLogic.__repr__");
    PyObject* text = PyObject_Str(self);
    if (!text) return VO_FAIL();
    return text;
}

vo::Signature<0> sig_str("BaseLogic.__str__", "self");
vo::Signature<0> sig_repr("BaseLogic.__repr__", "self");

// --- equality -------------------------------------------------------------------------

// False unless type(other) is exactly type(self); else whatever
// `self.expressions == other.expressions` gives.
PyObject* eq_impl(PyObject* self, PyObject* other) noexcept {
    if (Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_FALSE;
    vo::RecursionGuard guard(" in comparison");
    if (!guard.ok()) return nullptr;
    Ref mine = Ref::steal(PyObject_GetAttr(self, state.expressions));
    if (!mine) return nullptr;
    Ref theirs = Ref::steal(PyObject_GetAttr(other, state.expressions));
    if (!theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ);
}

// __eq__ as defined, __ne__ as object's default derives it, no ordering.
PyObject* baselogic_richcompare(PyObject* self, PyObject* other, int op) {
    VO_METHOD("BaseLogic.__eq__");
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    Ref equal = Ref::steal(eq_impl(self, other));
    if (!equal) return VO_FAIL();
    if (op == Py_EQ) return equal.release();
    int truth = PyObject_IsTrue(equal.get());
    if (truth < 0) return nullptr;
    return PyBool_FromLong(!truth);
}

vo::Signature<1> sig_eq("BaseLogic.__eq__", "self", {{"other"}});

PyObject* baselogic_eq(PyObject* self, PyObject* other) noexcept {
    VO_METHOD("BaseLogic.__eq__");
    PyObject* result = eq_impl(self, other);
    if (!result) return VO_FAIL();
    return result;
}

// --- pickling ----------------------------------------------------------------------------

// object.__getstate__ without its refusal of instances larger than a plain
// object: the call-protocol entry point is no state, and the state is the
// instance dictionary, as for any instance of a Python class.
PyObject* baselogic_getstate(PyObject* self) noexcept {
    VO_METHOD("BaseLogic.__getstate__");
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return VO_FAIL();
    if (PyDict_GET_SIZE(dict.get()) == 0) Py_RETURN_NONE;
    return dict.release();
}

vo::Signature<0> sig_getstate("BaseLogic.__getstate__", "self");

// --- the classes -------------------------------------------------------------------------

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;
// Beside the C slots, documented methods under the same names.
constexpr int kSlotMethod = kFast | METH_COEXIST;

PyMethodDef baselogic_methods[] = {
    {"__init__", VO_CFUNC(baselogic_init_method), kSlotMethod,
     "__init__($self, *expressions)\n--\n\n"
     "Collect the expressions: string expressions are compiled into\n"
     "regular-expression searches; callables (functions, methods, other\n"
     "logic objects) are kept as they are."},
    {"__call__", VO_CFUNC(baselogic_call_method), kSlotMethod,
     "__call__($self)\n--\n\n"
     "Evaluate the logic against the values given.\n"
     "\n"
     "Implemented by the subclasses: values are cast to their string form\n"
     "for regular expressions, and with several values one matching value\n"
     "is enough for an expression to hold.  BaseLogic itself raises\n"
     "NotImplementedError."},
    {"__str__", VO_CFUNC((vo::method<sig_str, baselogic_str>)), kSlotMethod,
     sig_str.doc("Return the string form of the logic.")},
    {"__repr__", VO_CFUNC((vo::method<sig_repr, baselogic_repr>)), kSlotMethod, sig_repr.doc("ditto.")},
    {"__eq__", VO_CFUNC((vo::method<sig_eq, baselogic_eq>)), kSlotMethod,
     sig_eq.doc("Expressions are equal when their types and their contained\n"
                "expressions are equal.")},
    {"__getstate__", VO_CFUNC((vo::method<sig_getstate, baselogic_getstate>)), kFast,
     sig_getstate.doc("Helper for pickle.")},
    {nullptr, nullptr, 0, nullptr}};

// A type made from a spec must name these itself when it declares GC support.
// The instance attribute dictionary, as a class statement provides it.
PyMemberDef logic_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(LogicObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef baselogic_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, "dictionary for instance variables", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot baselogic_slots[] = {vo::slot(Py_tp_doc,
                                          "Base class of the logic classes.\n"
                                          "\n"
                                          "It only shares code between And, Or and Not and performs no\n"
                                          "meaningful test by itself."),
                                 vo::slot(Py_tp_init, baselogic_init),
                                 vo::slot(Py_tp_call, baselogic_call),
                                 vo::slot(Py_tp_str, baselogic_str),
                                 vo::slot(Py_tp_repr, baselogic_repr),
                                 vo::slot(Py_tp_richcompare, baselogic_richcompare),
                                 VO_LIFECYCLE_SLOTS(Lifecycle),
                                 vo::slot(Py_tp_methods, baselogic_methods),
                                 vo::slot(Py_tp_getset, baselogic_getset),
                                 vo::slot(Py_tp_members, logic_members),
                                 {0, nullptr}};

PyType_Spec baselogic_spec = {
    .name = "vestri.ondrel.logic.BaseLogic",
    .basicsize = sizeof(LogicObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT |
             Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_HAVE_VECTORCALL,
    .slots = baselogic_slots,
};

#define RULE_CALL_DOC(name, rule)     \
    "__call__($self, *items)\n--\n\n" \
    "Test the values: " rule

PyMethodDef and_methods[] = {
    {"__call__", VO_CFUNC(and_call_method), kSlotMethod,
     RULE_CALL_DOC("And", "true when every expression holds for at least one\nof the values.")},
    {nullptr, nullptr, 0, nullptr}};
PyMethodDef or_methods[] = {{"__call__", VO_CFUNC(or_call_method), kSlotMethod,
                             RULE_CALL_DOC("Or", "true when one or more expressions hold for one of\nthe values.")},
                            {nullptr, nullptr, 0, nullptr}};
PyMethodDef not_methods[] = {{"__call__", VO_CFUNC(not_call_method), kSlotMethod,
                              RULE_CALL_DOC("Not", "true only when no expression holds for any of the\nvalues.")},
                             {nullptr, nullptr, 0, nullptr}};

constexpr char and_doc[] =
    "Logical AND of expressions.\n"
    "\n"
    "True when all expressions are satisfied; against several values,\n"
    "each expression must hold for at least one of them.\n"
    "\n"
    "    >>> And('a', 'b')('ab')\n"
    "    True\n"
    "    >>> And('a', 'b')('a', 'b')\n"
    "    True";
constexpr char or_doc[] =
    "Logical OR of expressions.\n"
    "\n"
    "True when one or more expressions are satisfied by one of the values.\n"
    "\n"
    "    >>> Or('^x$', 'y')('xy')\n"
    "    True";
constexpr char not_doc[] =
    "Logical NOT of expressions.\n"
    "\n"
    "True only when no expression is satisfied by any of the values.\n"
    "\n"
    "    >>> Not('a')('b', 'c')\n"
    "    True";

// And, Or and Not differ in their docstring, call and documented __call__.
// clang-format off
#define RULE_SLOTS(doc, call, methods)                   \
    {vo::slot(Py_tp_doc, doc),                           \
     vo::slot(Py_tp_call, call),                         \
     vo::slot(Py_tp_members, logic_members),             \
     vo::slot(Py_tp_methods, methods),                   \
     VO_LIFECYCLE_SLOTS(Lifecycle),                      \
     {0, nullptr}}
// clang-format on
PyType_Slot and_slots[] = RULE_SLOTS(and_doc, and_call, and_methods);
PyType_Slot or_slots[] = RULE_SLOTS(or_doc, or_call, or_methods);
PyType_Slot not_slots[] = RULE_SLOTS(not_doc, not_call, not_methods);
#undef RULE_SLOTS

// A type made from a spec inherits BaseLogic's slots but not these flags.
constexpr unsigned int kRuleFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                                    Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_HAVE_VECTORCALL;
PyType_Spec and_spec = {
    .name = "vestri.ondrel.logic.And", .basicsize = 0, .itemsize = 0, .flags = kRuleFlags, .slots = and_slots};
PyType_Spec or_spec = {
    .name = "vestri.ondrel.logic.Or", .basicsize = 0, .itemsize = 0, .flags = kRuleFlags, .slots = or_slots};
PyType_Spec not_spec = {
    .name = "vestri.ondrel.logic.Not", .basicsize = 0, .itemsize = 0, .flags = kRuleFlags, .slots = not_slots};

// The comparison slot brings wrappers for all six operators into the class
// namespace; a class that defines only __eq__ has only that one.
bool drop_order_wrappers(PyObject* cls) noexcept {
    PyObject* ns = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    for (const char* name : {"__lt__", "__le__", "__ne__", "__gt__", "__ge__"})
        if (PyDict_DelItemString(ns, name) < 0) return false;
    PyType_Modified(reinterpret_cast<PyTypeObject*>(cls));
    return true;
}

// --- logic_str ---------------------------------------------------------------------------

vo::Signature<1> sig_logic_str("logic_str", nullptr, {{"string"}});

// Replaces the pending exception, if it derives from Exception, by the
// ValueError that names the text; the caught one becomes its context.
void refuse(PyObject* text) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    vo::raise_percent(PyExc_ValueError, "Not a properly formatted logic string: %s", text);
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (raised) PyException_SetContext(raised.get(), caught.release());
    PyErr_SetRaisedException(raised.release());
}

Ref read_text(PyObject* text) noexcept {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "a logic string must be str, not %.200s", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    Ref stripped = Ref::steal(PyObject_CallOneArg(state.strip.get(), text));
    if (!stripped) return nullptr;
    Ref result = read_logic(stripped.get(), vo::module_globals(), base_type());
    if (!result) return nullptr;
    if (!PyObject_TypeCheck(result.get(), base_type())) {
        PyErr_Format(PyExc_TypeError, "the expression gave a %.200s, not a logic object",
                     Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return result;
}

PyObject* logic_str(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("logic_str");
    PyObject* a[1];
    if (!sig_logic_str.parse(args, nargs, kwnames, a)) return VO_FAIL();
    Ref decode = vo::global(state.decode_cli_string);
    if (!decode) return VO_FAIL();
    Ref text = Ref::steal(PyObject_CallOneArg(decode.get(), a[0]));
    if (!text) return VO_FAIL();
    Ref result = read_text(text.get());
    if (!result) {
        refuse(text.get());
        return VO_FAIL();
    }
    return result.release();
}

PyMethodDef module_functions[] = {
    {"logic_str", VO_CFUNC(logic_str), kFast,
     sig_logic_str.doc("Logic String Conversion\n"
                       "\n"
                       "Converts a logic form string to objects; mostly used for command-line\n"
                       "parsing of arguments.  The text is read as the printed form of logic\n"
                       "objects: calls of the logic classes of this module with string\n"
                       "literals or further such calls as arguments.  Nothing in the text is\n"
                       "evaluated; any other text raises ValueError.\n"
                       "\n"
                       "Example:\n"
                       "    >>> logic = logic_str(\"And('a', 'b')\")\n"
                       "    >>> logic('ab')\n"
                       "    True")},
    {nullptr, nullptr, 0, nullptr}};

// --- module body ------------------------------------------------------------------------

Ref make_class(PyObject* module, PyType_Spec* spec, PyObject* base) noexcept {
    Ref bases = Ref::steal(base ? PyTuple_Pack(1, base) : nullptr);
    if (base && !bases) return nullptr;
    return vo::type_from_spec(module, spec, bases.get());
}

bool module_body(PyObject* module) {
    if (!vo::intern_all({{&state.expressions, "expressions"},
                         {&state.base_logic, "BaseLogic"},
                         {&state.re, "re"},
                         {&state.compile, "compile"},
                         {&state.search, "search"},
                         {&state.pattern, "pattern"},
                         {&state.name, "__name__"},
                         {&state.decode_cli_string, "decode_cli_string"},
                         {&state.append, "append"},
                         {&state.quoted, "'%s'"}}))
        return false;
    for (vo::compat::InlineAttr& read : state.tested_expressions) read = vo::compat::InlineAttr(state.expressions);
    state.printed_expressions = vo::compat::InlineAttr(state.expressions);
    if (!vo::body_import(module, "re") || !vo::body_import(module, "logging")) return false;
    if (!vo::body_import_from(module, "vestri.utils.strings", {"decode_cli_string"})) return false;

    Ref all = Ref::steal(Py_BuildValue("[sss]", "And", "Or", "Not"));
    if (!vo::body_bind(module, "__all__", std::move(all))) return false;
    Ref logging = vo::global(vo::intern("logging"));
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!logging || !module_name) return false;
    Ref logger = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "O", module_name.get()));
    if (!vo::body_bind(module, "logger", std::move(logger))) return false;

    // What the fast paths compare against is read before the classes exist:
    // reading it may run code (the modules imported may be anyone's) that
    // could reach them through the collector and use them half set up.
    Ref re = vo::global(state.re);
    if (!re) return false;
    if (!state.pattern_type.set(Ref::steal(PyObject_GetAttrString(re.get(), "Pattern")))) return false;
    if (!PyType_Check(state.pattern_type.get())) {
        PyErr_SetString(PyExc_SystemError, "re.Pattern is no class");
        return false;
    }
    if (!state.pattern_search.set(Ref::steal(PyObject_GetAttr(state.pattern_type.get(), state.search))) ||
        !state.strip.set(Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "strip"))))
        return false;
    // A method descriptor always has an entry point of its own.
    state.search_call = PyVectorcall_Function(state.pattern_search.get());
    if (!state.search_call) {
        PyErr_SetString(PyExc_SystemError, "re.Pattern.search has no vectorcall entry point");
        return false;
    }

    Ref base = make_class(module, &baselogic_spec, nullptr);
    if (!base || !drop_order_wrappers(base.get())) return false;
    state.base.set(base);
    if (!vo::body_bind(module, "BaseLogic", base)) return false;
    if (!vo::body_bind(module, "And", make_class(module, &and_spec, base.get())) ||
        !vo::body_bind(module, "Or", make_class(module, &or_spec, base.get())) ||
        !vo::body_bind(module, "Not", make_class(module, &not_spec, base.get())))
        return false;
    if (PyModule_AddFunctions(module, module_functions) < 0) return false;

    return state.base_bound.init({{vo::module_globals(), state.base_logic, state.base.get()}});
}

constexpr char module_doc[] =
    "Logic expressions\n"
    "\n"
    "And, Or and Not test one or more values against regular expressions,\n"
    "callables and nested logic objects; logic_str reads their printed form\n"
    "back, as typed on a command line.";

}  // namespace
}  // namespace logic

VO_DEFINE_MODULE(logic, logic::module_doc, logic::module_body)
