#include "iterator.hpp"

#include "lifecycle.hpp"

#include <string>

namespace vo {

namespace {

struct Iterator {
    PyObject_HEAD PyObject* source;  // strong; NULL once the walk is over
    const IterKind* kind;
    Py_ssize_t position;
    Py_ssize_t start_size;  // the source's size when the walk began (guarded kinds only)
    bool changed;           // the guard has fired; it keeps firing
};

PyTypeObject* g_type = nullptr;  // this module's iterator type, strong for the process

Iterator* as_iterator(PyObject* self) noexcept { return reinterpret_cast<Iterator*>(self); }

struct Fields {
    static int visit(PyObject* self, visitproc visit, void* arg) noexcept {
        Py_VISIT(as_iterator(self)->source);
        return 0;
    }
    static void clear(PyObject* self) noexcept { Py_CLEAR(as_iterator(self)->source); }
};
using Life = lifecycle::Object<Fields>;

bool raise_changed(Iterator* it) noexcept {
    it->changed = true;
    PyErr_SetString(PyExc_RuntimeError, it->kind->changed ? it->kind->changed : "container changed during iteration");
    return false;
}

// Re-entrancy: the kind's step may run Python code that drops the last
// reference to the source or steps this very iterator; the source is pinned
// for the step, and an iterator cleared meanwhile ends.
Step step(Iterator* it, Ref& item) noexcept {
    PyObject* source = it->source;
    if (!source) return Step::End;
    if (VO_UNLIKELY(it->changed)) return raise_changed(it), Step::Error;
    const IterKind* kind = it->kind;
    Py_INCREF(source);  // pinned for the step
    if (kind->size) {
        Py_ssize_t size = kind->size(source);
        if (size != it->start_size) {
            Py_DECREF(source);
            if (size < 0) return Step::Error;
            return raise_changed(it), Step::Error;
        }
    }
    Step outcome = kind->step(source, it->position, item);
    // A walk that ended lets go of its source, unless the step (through
    // Python code) cleared it meanwhile.
    if (outcome == Step::End && it->source == source) {
        it->source = nullptr;
        Py_DECREF(source);
    }
    Py_DECREF(source);
    return outcome;
}

PyObject* iterator_iternext(PyObject* self) {
    Ref item;
    switch (step(as_iterator(self), item)) {
        case Step::Item:
            return item.release();
        case Step::End:
        case Step::Error:
            break;
    }
    return nullptr;  // no exception at the end: the interpreter's protocol for tp_iternext
}

PyObject* iterator_length_hint(PyObject* self, PyObject*) {
    Iterator* it = as_iterator(self);
    Py_ssize_t left = 0;
    if (it->source && !it->changed && it->kind->remaining) {
        Ref source = Ref::borrow(it->source);
        left = it->kind->remaining(source.get(), it->position);
        if (left < 0) {
            if (PyErr_Occurred()) return nullptr;
            left = 0;
        }
    }
    return PyLong_FromSsize_t(left);
}

PyMethodDef iterator_methods[] = {
    {"__length_hint__", iterator_length_hint, METH_NOARGS, "Private method returning an estimate of len(list(it))."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot iterator_slots[] = {vo::slot(Py_tp_iter, PyObject_SelfIter),
                                vo::slot(Py_tp_iternext, iterator_iternext),
                                VO_LIFECYCLE_SLOTS(Life),
                                vo::slot(Py_tp_methods, iterator_methods),
                                {0, nullptr}};

}  // namespace

bool iterator_ready(PyObject* module, const char* name) noexcept {
    if (g_type) return true;
    const char* module_name = PyModule_GetName(module);
    if (!module_name) return false;
    static std::string full_name;  // the PyType_Spec's name must outlive the type
    full_name = std::string(module_name) + "." + name;
    static PyType_Spec spec = {
        .name = nullptr,
        .basicsize = sizeof(Iterator),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        .slots = iterator_slots,
    };
    spec.name = full_name.c_str();
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
    return g_type != nullptr;
}

Ref iterator_new(const IterKind& kind, PyObject* source, Py_ssize_t position) noexcept {
    Py_ssize_t start_size = 0;
    if (kind.size) {
        start_size = kind.size(source);
        if (start_size < 0) return nullptr;
    }
    VO_ASSERT(g_type);  // iterator_ready ran in the module body
    Iterator* it = PyObject_GC_New(Iterator, g_type);
    if (!it) return nullptr;
    it->source = Py_NewRef(source);
    it->kind = &kind;
    it->position = position;
    it->start_size = start_size;
    it->changed = false;
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject*>(it));
}

Step iterator_step(PyObject* iterator, Ref& item) noexcept { return step(as_iterator(iterator), item); }

bool is_iterator_of(PyObject* obj, const IterKind& kind) noexcept {
    return Py_TYPE(obj) == g_type && as_iterator(obj)->kind == &kind;
}

}  // namespace vo
