#include "classdef.hpp"
#include "initmethod.hpp"

#include <cstddef>
#include <string>

namespace vo {

namespace {

struct InitMethod {
    PyObject_HEAD PyObject* descr;  // the interpreter's method descriptor, strong
    vectorcallfunc vectorcall;
};

PyTypeObject* g_type = nullptr;  // this module's InitMethod type, strong for the process

InitMethod* as_init(PyObject* self) noexcept { return reinterpret_cast<InitMethod*>(self); }

// The caller holds `self`, and so the descriptor, for the call.
PyObject* init_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(as_init(self)->descr, args, nargsf, kwnames);
}

PyObject* init_descr_get(PyObject* self, PyObject* obj, PyObject* type) {
    if (!obj) return Py_NewRef(self);
    PyObject* descr = as_init(self)->descr;
    // A class that is no instance: bound as a function binds, for inspect.
    if (PyType_Check(obj) && !PyObject_TypeCheck(obj, PyDescr_TYPE(descr))) return PyMethod_New(self, obj);
    return Py_TYPE(descr)->tp_descr_get(descr, obj, type);
}

PyObject* init_repr(PyObject* self) { return PyObject_Repr(as_init(self)->descr); }

// The descriptor's own attribute named by `closure`.
PyObject* init_forward(PyObject* self, void* closure) {
    return PyObject_GetAttrString(as_init(self)->descr, static_cast<const char*>(closure));
}

PyObject* init_reduce(PyObject* self, PyObject*) {
    return PyObject_CallMethod(as_init(self)->descr, "__reduce__", nullptr);
}

int init_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_init(self)->descr);
    return 0;
}

void init_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_init(self)->descr);
    type->tp_free(self);
    Py_DECREF(type);
}

char k_name[] = "__name__", k_qualname[] = "__qualname__", k_doc[] = "__doc__",
     k_text_signature[] = "__text_signature__", k_objclass[] = "__objclass__";

PyGetSetDef init_getsets[] = {{k_name, init_forward, nullptr, nullptr, k_name},
                              {k_qualname, init_forward, nullptr, nullptr, k_qualname},
                              {k_doc, init_forward, nullptr, nullptr, k_doc},
                              {k_text_signature, init_forward, nullptr, nullptr, k_text_signature},
                              {k_objclass, init_forward, nullptr, nullptr, k_objclass},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef init_methods[] = {{"__reduce__", init_reduce, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};

PyMemberDef init_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(InitMethod, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot init_slots[] = {vo::slot(Py_tp_call, PyVectorcall_Call),
                            vo::slot(Py_tp_descr_get, init_descr_get),
                            vo::slot(Py_tp_repr, init_repr),
                            vo::slot(Py_tp_traverse, init_traverse),
                            vo::slot(Py_tp_dealloc, init_dealloc),
                            vo::slot(Py_tp_getset, init_getsets),
                            vo::slot(Py_tp_methods, init_methods),
                            vo::slot(Py_tp_members, init_members),
                            {0, nullptr}};

bool init_type_ready(PyObject* module) noexcept {
    if (g_type) return true;
    const char* module_name = PyModule_GetName(module);
    if (!module_name) return false;
    static std::string name;  // the PyType_Spec's name must outlive the type
    name = std::string(module_name) + ".init_method";
    static PyType_Spec spec = {
        .name = nullptr,
        .basicsize = sizeof(InitMethod),
        .itemsize = 0,
        // No tp_clear, as for the interpreter's own descriptors: the class
        // that holds one clears its namespace, which ends any cycle.
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        .slots = init_slots,
    };
    spec.name = name.c_str();
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
    return g_type != nullptr;
}

}  // namespace

Ref init_method_new(PyObject* module, PyObject* descr) noexcept {
    if (!PyObject_TypeCheck(descr, &PyMethodDescr_Type)) {
        PyErr_SetString(PyExc_SystemError, "an init method stands in for a method descriptor only");
        return nullptr;
    }
    if (!init_type_ready(module)) return nullptr;
    InitMethod* init = PyObject_GC_New(InitMethod, g_type);
    if (!init) return nullptr;
    init->descr = Py_NewRef(descr);
    init->vectorcall = init_vectorcall;
    PyObject_GC_Track(init);
    return Ref::steal(reinterpret_cast<PyObject*>(init));
}

}  // namespace vo
