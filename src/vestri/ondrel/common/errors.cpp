#include "errors.hpp"

#include "compat.hpp"
#include "module.hpp"
#include "text.hpp"

#include <frameobject.h>

namespace vo {

void TraceSite::add() noexcept {
    PyObject* globals = module_globals();
    if (!globals) return;
    if (!frame) {
        // The exception is put aside while the frame is built: creating
        // objects with an exception pending is not allowed.
        {
            ErrorAside exc;
            if (!exc) return;
            Ref code = Ref::steal(PyCode_NewEmpty(file, qualname, line));
            if (code)
                frame = reinterpret_cast<PyObject*>(
                    PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr));
            // Out of memory while decorating an error: the original error
            // matters more (the holder puts it back in place of this one).
        }
        if (!frame) return;
    }
    // On failure the interpreter keeps the original error, chained to the new one.
    (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
}

void raise_percent(PyObject* exc_type, const char* format, PyObject* args) noexcept {
    Ref fmt = Ref::steal(PyUnicode_FromString(format));
    if (!fmt) return;
    Ref text = Ref::steal(PyUnicode_Format(fmt.get(), args));
    if (text) PyErr_SetObject(exc_type, text.get());
}

void raise_concat(PyObject* exc_type, std::initializer_list<Piece> pieces) noexcept {
    // `str()` of a piece runs its `__str__`; the text so far is a builder's,
    // which no Python code can reach, not a list the collector would show it.
    TextBuilder text;
    for (const Piece& piece : pieces) {
        Ref s = Ref::steal(piece.text ? PyUnicode_FromString(piece.text) : PyObject_Str(piece.obj));
        if (!s || !text.append(s.get())) return;
    }
    Ref message = text.finish();
    if (message) PyErr_SetObject(exc_type, message.get());
}

void raise_key_error(PyObject* key) noexcept {
    // PyErr_SetObject would unpack a tuple key into several arguments.
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, key));
    if (exc) PyErr_SetObject(PyExc_KeyError, exc.get());
}

void raise_missing_attribute(PyObject* obj, PyObject* name) noexcept {
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (!type_name) return;
    PyErr_Format(PyExc_AttributeError, "'%.100U' object has no attribute '%U'", type_name.get(), name);
    PyObject* exc = PyErr_GetRaisedException();
    // `name` and `obj` feed the interpreter's "Did you mean" hints.
    if (PyObject_SetAttrString(exc, "name", name) < 0 || PyObject_SetAttrString(exc, "obj", obj) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

bool called_from(PyObject* const* codes, int count) noexcept {
    Ref code = compat::current_code();
    if (!code) return false;
    for (int i = 0; i < count; ++i)
        if (code.get() == codes[i]) return true;
    return false;
}

bool clear_key_error() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace vo
