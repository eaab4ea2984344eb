#include "module.hpp"

#include "vector.hpp"

#include <cstring>
#include <vector>

namespace vo {

namespace {
PyObject* g_module = nullptr;   // strong; set once the body has run
PyObject* g_globals = nullptr;  // borrowed from g_module (or from the module being executed)

struct Interned {
    const char* text;
    PyObject* str;
};
std::vector<Interned>& interned_table() {
    static std::vector<Interned> table;
    return table;
}
}  // namespace

PyObject* module_globals() noexcept { return g_globals; }

PyObject* intern(const char* text) noexcept {
    auto& table = interned_table();
    for (const Interned& entry : table)
        if (entry.text == text || std::strcmp(entry.text, text) == 0) return entry.str;
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) return nullptr;
    if (!push(table, Interned{text, s})) return nullptr;  // kept for the life of the process
    return s;
}

bool intern_all(std::initializer_list<InternedName> names) noexcept {
    for (const InternedName& name : names)
        if (!(*name.slot = intern(name.text))) return false;
    return true;
}

Ref global(PyObject* name) noexcept {
    VO_ASSERT(g_globals);  // called only once the module body runs
    PyObject* value = PyDict_GetItemWithError(g_globals, name);
    if (VO_LIKELY(value != nullptr)) return Ref::borrow(value);
    if (PyErr_Occurred()) return nullptr;
    // As a Python function resolves a global name: the module, then the
    // builtins the module sees.
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) return nullptr;
    if ((value = PyDict_GetItemWithError(builtins, name))) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

bool body_bind(PyObject* module, const char* name, Ref value) noexcept {
    if (!value) return false;
    return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

bool body_import(PyObject* module, const char* name) noexcept {
    Ref imported = Ref::steal(PyImport_ImportModule(name));
    if (!imported) return false;
    const char* dot = std::strchr(name, '.');
    if (!dot) return body_bind(module, name, imported);
    // `import a.b` binds `a`.
    Ref top = Ref::steal(PyUnicode_FromStringAndSize(name, dot - name));
    if (!top) return false;
    Ref package = Ref::steal(PyImport_GetModule(top.get()));
    if (!package) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "no module named %R", top.get());
        return false;
    }
    return PyObject_SetAttr(module, top.get(), package.get()) == 0;
}

bool body_import_from(PyObject* module, const char* source, std::initializer_list<const char*> names,
                      int level) noexcept {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return false;
    for (const char* name : names) {
        Ref s = Ref::steal(PyUnicode_FromString(name));
        if (!s || PyList_Append(fromlist.get(), s.get()) < 0) return false;
    }
    Ref source_name = Ref::steal(PyUnicode_FromString(source));
    if (!source_name) return false;
    Ref imported = Ref::steal(
        PyImport_ImportModuleLevelObject(source_name.get(), PyModule_GetDict(module), nullptr, fromlist.get(), level));
    if (!imported) return false;
    for (const char* name : names) {
        Ref value = Ref::steal(PyObject_GetAttrString(imported.get(), name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, source);
            }
            return false;
        }
        if (!body_bind(module, name, std::move(value))) return false;
    }
    return true;
}

PyObject* module_create(PyObject* spec, PyModuleDef* def) noexcept {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_Format(PyExc_ImportError, "module %s does not support loading in subinterpreters", def->m_name);
        return nullptr;
    }
    // Loaded before in this process: the module is the one already built.
    if (g_module) return Py_NewRef(g_module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject* module, bool (*body)(PyObject*)) noexcept {
    if (module == g_module) return 0;
    g_globals = PyModule_GetDict(module);
    if (!g_globals) return -1;
    if (!body(module)) {
        g_globals = nullptr;
        return -1;
    }
    g_module = Py_NewRef(module);
    return 0;
}

}  // namespace vo
