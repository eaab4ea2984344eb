// A native object that behaves as a Python generator.
//
// Generic (not tied to this module): a type whose instances produce items
// one at a time from a C++ step function gets `__next__`, `send`, `throw`
// and `close` with the interpreter's own generator protocol, word for word:
// "generator already executing" on re-entry, "can't send non-None value to
// a just-started generator", throw()'s argument forms (with the deprecation
// warning for the three-argument one), a StopIteration escaping the body
// turned into RuntimeError, and an exception that leaves the body finishing
// the generator.  Register the type with `collections.abc.Generator` to make
// it one for `isinstance`.
//
// The body cannot catch anything thrown into it: `throw` and `close` end the
// walk at once, as they end a Python generator whose body has no `try`.
//
// `Impl` supplies, as static members:
//     GenState& state(PyObject* self);
//     PyObject* step(PyObject* self);  // next item (new reference), or NULL:
//                                      // with an exception set on failure,
//                                      // without one when exhausted
//     void finish(PyObject* self);     // drops what the walk holds
//     vo::TraceSite& site();           // entry added to exceptions leaving the body
//     const char* qualname;            // for the repr: "Class.method"
#pragma once

#include "common/classdef.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"

namespace vo::gen {

enum class GenState : unsigned char { Created, Suspended, Running, Finished };

// The pending exception is leaving a generator's body: a StopIteration there
// would read as the end of the iteration, so it becomes RuntimeError, caused
// by it, as the interpreter does for generators.
inline void raise_from_body() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc && PyErr_GivenExceptionMatches(exc, PyExc_StopIteration)) {
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject* converted = PyErr_GetRaisedException();
        PyException_SetCause(converted, Py_NewRef(exc));
        PyException_SetContext(converted, exc);
        exc = converted;
    }
    PyErr_SetRaisedException(exc);
}

template <class Impl>
struct Protocol {
    // The body ran into an exception, or came to its end.
    static PyObject* end(PyObject* self) noexcept {
        Impl::state(self) = GenState::Finished;
        // Dropping the walk can run finalizers; the exception waits aside.
        PyObject* exc = PyErr_GetRaisedException();
        Impl::finish(self);
        if (!exc) return nullptr;
        PyErr_SetRaisedException(exc);
        raise_from_body();
        Impl::site().add();
        return nullptr;
    }

    static PyObject* resume(PyObject* self) noexcept {
        Impl::state(self) = GenState::Running;
        if (PyObject* item = Impl::step(self)) {
            Impl::state(self) = GenState::Suspended;
            return item;
        }
        return end(self);
    }

    static bool refuse_running(PyObject* self) noexcept {
        if (VO_LIKELY(Impl::state(self) != GenState::Running)) return false;
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return true;
    }

    static PyObject* iternext(PyObject* self) noexcept {
        if (refuse_running(self)) return nullptr;
        if (Impl::state(self) == GenState::Finished) return nullptr;
        return resume(self);
    }

    static PyObject* send(PyObject* self, PyObject* value) noexcept {
        if (refuse_running(self)) return nullptr;
        GenState state = Impl::state(self);
        if (state == GenState::Created && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
            return nullptr;
        }
        PyObject* item = state == GenState::Finished ? nullptr : resume(self);
        if (!item && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        return item;
    }

    // The exception that throw(typ[, val[, tb]]) raises, as the interpreter builds it.
    static PyObject* thrown(PyObject* typ, PyObject* val, PyObject* tb) noexcept {
        if (tb == Py_None) tb = nullptr;
        if (tb && !PyTraceBack_Check(tb)) {
            PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
            return nullptr;
        }
        Ref exc;
        if (PyExceptionClass_Check(typ)) {
            if (val && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ)))
                exc = Ref::borrow(val);
            else if (!val || val == Py_None)
                exc = Ref::steal(PyObject_CallNoArgs(typ));
            else if (PyTuple_Check(val))
                exc = Ref::steal(PyObject_Call(typ, val, nullptr));
            else
                exc = Ref::steal(PyObject_CallOneArg(typ, val));
            if (!exc) return nullptr;
            if (!PyExceptionInstance_Check(exc.get())) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of BaseException, not %s", typ,
                             Py_TYPE(exc.get())->tp_name);
                return nullptr;
            }
        } else if (PyExceptionInstance_Check(typ)) {
            if (val && val != Py_None) {
                PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
                return nullptr;
            }
            exc = Ref::borrow(typ);
        } else {
            PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                         Py_TYPE(typ)->tp_name);
            return nullptr;
        }
        if (tb && PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
        return exc.release();
    }

    static PyObject* throw_(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
        if (nargs < 1 || nargs > 3) {
            if (nargs < 1)
                PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
            else
                PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
            return nullptr;
        }
        if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                      "the (type, exc, tb) signature of throw() is deprecated, "
                                      "use the single-arg signature instead.",
                                      1) < 0)
            return nullptr;
        PyObject* exc = thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
        if (!exc) return nullptr;
        if (refuse_running(self)) {
            Py_DECREF(exc);
            return nullptr;
        }
        PyErr_SetRaisedException(exc);
        // A finished generator hands the exception straight back; otherwise
        // it is raised where the body stands, which nothing there catches.
        if (Impl::state(self) == GenState::Finished) return nullptr;
        return end(self);
    }

    static PyObject* close(PyObject* self, PyObject*) noexcept {
        if (refuse_running(self)) return nullptr;
        if (Impl::state(self) != GenState::Finished) {
            Impl::state(self) = GenState::Finished;
            Impl::finish(self);
        }
        Py_RETURN_NONE;
    }

    static PyObject* repr(PyObject* self) noexcept {
        return PyUnicode_FromFormat("<generator object %s at %p>", Impl::qualname, self);
    }

    static PyObject* get_running(PyObject* self, void*) noexcept {
        return PyBool_FromLong(Impl::state(self) == GenState::Running);
    }
    static PyObject* get_suspended(PyObject* self, void*) noexcept {
        return PyBool_FromLong(Impl::state(self) == GenState::Suspended);
    }

    static inline PyMethodDef methods[] = {
        {"send", VO_CFUNC(send), METH_O,
         "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
        {"throw", VO_CFUNC(throw_), METH_FASTCALL,
         "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or "
         "raise\nStopIteration."},
        {"close", VO_CFUNC(close), METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
        {nullptr, nullptr, 0, nullptr}};

    static inline PyGetSetDef getsets[] = {
        {"gi_running", get_running, nullptr, nullptr, nullptr},
        {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
};

}  // namespace vo::gen
