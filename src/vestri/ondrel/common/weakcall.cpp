#include "classdef.hpp"
#include "weakcall.hpp"

#include "callargs.hpp"
#include "compat.hpp"

#include <cstddef>
#include <string>

namespace vo {

namespace {

// Not tracked by the cycle collector: its two fields are a weak reference
// made without a callback and a string, and neither can lead back to it.
struct WeakCall {
    PyObject_HEAD PyObject* target;  // weakref.ref(container), strong
    PyObject* method;                // the method's name, strong
    vectorcallfunc vectorcall;
};

PyTypeObject* g_type = nullptr;  // this module's WeakCall type, strong for the process

WeakCall* as_weakcall(PyObject* self) noexcept { return reinterpret_cast<WeakCall*>(self); }

// Re-entrancy: the method is user code and may do anything, including drop
// the last reference to this WeakCall (by clearing the container's
// references); `self` is pinned for the duration, the container by `container`.
PyObject* weakcall_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Ref pin = Ref::borrow(self);
    WeakCall* call = as_weakcall(self);
    Ref container = compat::weakref_referent(call->target);
    if (!container) Py_RETURN_NONE;
    // The container goes first, as `self` of the method.
    SelfFirst argv(container.get(), args, PyVectorcall_NARGS(nargsf), kwnames);
    Ref result;
    if (argv.ok())
        result = Ref::steal(
            PyObject_VectorcallMethod(call->method, argv.args(), static_cast<size_t>(argv.nargs() + 1), kwnames));
    if (!result) {
        PyErr_WriteUnraisable(self);
        Py_RETURN_NONE;
    }
    return result.release();
}

PyObject* weakcall_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return PyVectorcall_Call(self, args, kwargs);
}

// Names the method and the container's class only: a repr of the container
// itself could run user code inside the unraisable hook.
PyObject* weakcall_repr(PyObject* self) {
    WeakCall* call = as_weakcall(self);
    Ref container = compat::weakref_referent(call->target);
    if (!container) return PyUnicode_FromFormat("<weak method %R of a dead object>", call->method);
    return PyUnicode_FromFormat("<weak method %R of %s object at %p>", call->method, Py_TYPE(container.get())->tp_name,
                                static_cast<void*>(container.get()));
}

void weakcall_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    WeakCall* call = as_weakcall(self);
    Py_CLEAR(call->target);
    Py_CLEAR(call->method);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef weakcall_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(WeakCall, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot weakcall_slots[] = {vo::slot(Py_tp_call, weakcall_call),
                                vo::slot(Py_tp_repr, weakcall_repr),
                                vo::slot(Py_tp_dealloc, weakcall_dealloc),
                                vo::slot(Py_tp_members, weakcall_members),
                                {0, nullptr}};

}  // namespace

bool weakcall_ready(PyObject* module) noexcept {
    if (g_type) return true;
    const char* module_name = PyModule_GetName(module);
    if (!module_name) return false;
    // The PyType_Spec's name must outlive the type.
    static std::string name;
    name = std::string(module_name) + ".weakcall";
    static PyType_Spec spec = {
        .name = nullptr,
        .basicsize = sizeof(WeakCall),
        .itemsize = 0,
        // Not subclassable and not instantiable from Python: made only here.
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                 Py_TPFLAGS_IMMUTABLETYPE,
        .slots = weakcall_slots,
    };
    spec.name = name.c_str();
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
    return g_type != nullptr;
}

Ref weakcall_new(PyObject* container, PyObject* method) noexcept {
    Ref target = Ref::steal(PyWeakref_NewRef(container, nullptr));
    if (!target) return nullptr;
    VO_ASSERT(g_type);  // weakcall_ready ran in the module body
    WeakCall* call = PyObject_New(WeakCall, g_type);
    if (!call) return nullptr;
    call->target = target.release();
    call->method = Py_NewRef(method);
    call->vectorcall = weakcall_vectorcall;
    return Ref::steal(reinterpret_cast<PyObject*>(call));
}

bool is_weakcall_of(PyObject* callback, PyObject* container, PyObject* method) noexcept {
    if (!callback || Py_TYPE(callback) != g_type) return false;
    WeakCall* call = as_weakcall(callback);
    if (call->method != method) return false;
    return compat::weakref_referent_borrowed(call->target) == container;
}

}  // namespace vo
