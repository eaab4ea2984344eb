// A native object that behaves as a Python generator.
//
// A type whose instances produce items one at a time from a C++ step
// function gets `__next__`, `send`, `throw` and `close` with the
// interpreter's own generator protocol, word for word:
// "generator already executing" on re-entry, "can't send non-None value to
// a just-started generator", throw()'s argument forms (with the deprecation
// warning for the three-argument one), a StopIteration escaping the body
// turned into RuntimeError, and an exception that leaves the body finishing
// the generator.  Register the type with `collections.abc.Generator` to make
// it one for `isinstance`.
//
// The body stands for nested generators joined by `yield from`: a stack of
// levels, each of which would be a generator of its own.  An exception that
// leaves the body gets one traceback entry per level it leaves, and a
// StopIteration is turned into RuntimeError by the level it is raised in,
// so the levels around that one see the RuntimeError.  A level cannot catch
// anything thrown into it: `throw` and `close` end the walk at once (an
// exception thrown into a generator that has not started leaves it as it
// is, before the body's first statement).  Only where the innermost level
// delegates to another iterator are `throw`, `close` and a non-None `send`
// handed to that iterator first, as `yield from` hands them.
//
// `Impl` supplies, as static members:
//     GenState& state(PyObject* self);
//     PyObject* step(PyObject* self);  // next item (new reference), or NULL:
//                                      // with an exception set on failure,
//                                      // without one when exhausted
//     void finish(PyObject* self);     // drops what the walk holds
//     int levels(PyObject* self);      // levels the walk stands in, at least 1
//     PyObject* delegate(PyObject* self);    // the iterator the innermost level
//                                            // delegates to (borrowed), or NULL
//     void end_delegation(PyObject* self);   // it is done with: the walk goes on
//                                            // in the level around it
//     void trace();                    // adds one traceback entry of a level
//     const char* qualname;            // for the repr: "Class.method"
#pragma once

#include "common/callargs.hpp"
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
    // The pending exception leaves `levels` levels of the body.
    static void leave(int levels) noexcept {
        if (levels > 0 && PyErr_ExceptionMatches(PyExc_StopIteration)) {
            Impl::trace();
            raise_from_body();
            --levels;
        }
        for (; levels > 0; --levels) Impl::trace();
    }

    // The body ran into an exception, or came to its end.
    static PyObject* end(PyObject* self) noexcept {
        int levels = PyErr_Occurred() ? Impl::levels(self) : 0;
        Impl::state(self) = GenState::Finished;
        {
            // Dropping the walk can run finalizers; the exception waits aside.
            ErrorAside aside;
            Impl::finish(self);
        }
        leave(levels);
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

    // resume() for send() and throw(): the end of the body is StopIteration.
    static PyObject* resume_or_stop(PyObject* self) noexcept {
        PyObject* item = resume(self);
        if (!item && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        return item;
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

    // The delegate answered (`answer`, possibly NULL with an exception) a
    // call handed to it while the generator stood suspended.
    static PyObject* delegate_answered(PyObject* self, PyObject* answer) noexcept {
        Impl::state(self) = GenState::Suspended;
        if (answer) return answer;
        Impl::end_delegation(self);
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            // The delegate is exhausted: its level goes on with the next item.
            PyErr_Clear();
            return resume_or_stop(self);
        }
        // Raised where the delegating level stands.
        return end(self);
    }

    static PyObject* send(PyObject* self, PyObject* value) noexcept {
        if (refuse_running(self)) return nullptr;
        GenState state = Impl::state(self);
        if (state == GenState::Created && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
            return nullptr;
        }
        if (state == GenState::Finished) {
            PyErr_SetNone(PyExc_StopIteration);
            return nullptr;
        }
        if (state == GenState::Suspended && value != Py_None) {
            if (PyObject* delegate = Impl::delegate(self)) {
                Ref held = Ref::borrow(delegate);
                Impl::state(self) = GenState::Running;
                return delegate_answered(self, PyObject_CallMethod(held.get(), "send", "O", value));
            }
        }
        return resume_or_stop(self);
    }

    // Closes an iterator that a level delegates to, as `yield from` does:
    // its `close()` if it has one (an error looking it up only reported).
    // 0, or -1 with the exception its `close()` raised.
    static int close_delegate(PyObject* delegate) noexcept {
        Ref close = Ref::steal(PyObject_GetAttrString(delegate, "close"));
        if (!close) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError))
                PyErr_Clear();
            else
                PyErr_WriteUnraisable(delegate);
            return 0;
        }
        Ref done = Ref::steal(PyObject_CallNoArgs(close.get()));
        return done ? 0 : -1;
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
                PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                             typ, Py_TYPE(exc.get())->tp_name);
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

    // The pending exception is raised in the outermost level alone and
    // leaves it as it is.
    static PyObject* end_outermost(PyObject* self) noexcept {
        Impl::state(self) = GenState::Finished;
        {
            ErrorAside aside;
            Impl::finish(self);
        }
        Impl::trace();
        return nullptr;
    }

    // The arguments of throw() make no exception.  The innermost level
    // refuses them untouched; the level around it, which handed them on,
    // raises the TypeError, which leaves it and the levels around it.
    static PyObject* refused(PyObject* self) noexcept {
        if (Impl::state(self) != GenState::Suspended) return nullptr;
        int levels = Impl::levels(self);
        if (levels < 2) return nullptr;
        Impl::state(self) = GenState::Finished;
        {
            ErrorAside aside;
            Impl::finish(self);
        }
        leave(levels - 1);
        return nullptr;
    }

    // The exception raised where the body stands.
    static PyObject* throw_here(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
        PyObject* exc = thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
        if (!exc) return refused(self);
        if (refuse_running(self)) {
            Py_DECREF(exc);
            return nullptr;
        }
        PyErr_SetRaisedException(exc);
        switch (Impl::state(self)) {
            case GenState::Finished:
                // Handed straight back.
                return nullptr;
            case GenState::Created:
                // Raised before the body's first statement, where nothing
                // turns a StopIteration into RuntimeError.
                return end_outermost(self);
            default:
                // A GeneratorExit closes the inner levels quietly, each
                // level closing the one it delegates to, and is then raised
                // in the outermost one.
                if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) return end_outermost(self);
                return end(self);
        }
    }

    static PyObject* throw_(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
        if (nargs < 1 || nargs > 3) {
            if (nargs < 1)
                PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
            else
                PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
            return nullptr;
        }
        // The warning and the delegate's close() run Python code, which may
        // free the caller's array.
        HeldArgs held_args(args, nargs);
        if (!held_args.ok()) return nullptr;
        args = held_args.get();
        if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                      "the (type, exc, tb) signature of throw() is deprecated, "
                                      "use the single-arg signature instead.",
                                      1) < 0)
            return nullptr;
        PyObject* delegate = Impl::state(self) == GenState::Suspended ? Impl::delegate(self) : nullptr;
        if (!delegate) return throw_here(self, args, nargs);

        // Handed to the iterator the innermost level delegates to, before
        // the arguments are checked, as `yield from` hands them.
        Ref held = Ref::borrow(delegate);
        if (PyErr_GivenExceptionMatches(args[0], PyExc_GeneratorExit)) {
            Impl::state(self) = GenState::Running;
            int closed = close_delegate(held.get());
            Impl::state(self) = GenState::Suspended;
            Impl::end_delegation(self);
            // Its close() failed: that error is raised where the level stands.
            if (closed < 0) return end(self);
            return throw_here(self, args, nargs);
        }
        Ref method = Ref::steal(PyObject_GetAttrString(held.get(), "throw"));
        if (!method) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            // Raised where the level stands, in its `yield from`: arguments
            // that make no exception change nothing, and a StopIteration
            // ends the delegation as the iterator's own end would.
            PyObject* exc = thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
            if (!exc) return refused(self);
            Impl::end_delegation(self);
            if (PyErr_GivenExceptionMatches(exc, PyExc_StopIteration)) {
                Py_DECREF(exc);
                return resume_or_stop(self);
            }
            PyErr_SetRaisedException(exc);
            return end(self);
        }
        Ref single;
        if (PyGen_CheckExact(held.get()) && nargs > 1) {
            // A generator is thrown into directly, without its own warning
            // for the three-argument form: it gets the exception made here.
            single = Ref::steal(thrown(args[0], args[1], nargs > 2 ? args[2] : nullptr));
            if (!single) {
                Impl::end_delegation(self);
                return end(self);
            }
        }
        PyObject* one[] = {single.get()};
        Impl::state(self) = GenState::Running;
        PyObject* answer = PyObject_Vectorcall(method.get(), single ? one : args, single ? 1 : nargs, nullptr);
        return delegate_answered(self, answer);
    }

    static PyObject* close(PyObject* self, PyObject*) noexcept {
        if (refuse_running(self)) return nullptr;
        GenState state = Impl::state(self);
        if (state == GenState::Finished) Py_RETURN_NONE;
        int closed = 0;
        if (state == GenState::Suspended) {
            if (PyObject* delegate = Impl::delegate(self)) {
                Ref held = Ref::borrow(delegate);
                Impl::state(self) = GenState::Running;
                closed = close_delegate(held.get());
                Impl::state(self) = GenState::Suspended;
                Impl::end_delegation(self);
            }
        }
        if (closed == 0) {
            // GeneratorExit would leave every level, and close() swallows it.
            Impl::state(self) = GenState::Finished;
            Impl::finish(self);
            Py_RETURN_NONE;
        }
        // The delegate's close() failed: its error is raised where the level stands.
        end(self);
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
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

    static inline PyGetSetDef getsets[] = {{"gi_running", get_running, nullptr, nullptr, nullptr},
                                           {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
                                           {nullptr, nullptr, nullptr, nullptr, nullptr}};
};

}  // namespace vo::gen
