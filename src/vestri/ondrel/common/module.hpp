// Module definition and the module body's building blocks.
//
// Each extension module uses multi-phase initialisation.  Its body runs once
// per process, in the main interpreter only: importing it again (after it
// was removed from sys.modules) hands back the same module object, and an
// import in a subinterpreter fails with ImportError.  That makes the static
// pointers below (the module namespace, interned names, cached objects) safe.
//
// Methods look module-level names up in the namespace when they run
// (`vo::global`), so that rebinding a name in the module is honoured.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace vo {

// The namespace of the module this shared library defines (borrowed; it
// lives for the rest of the process once the body has run).
PyObject* module_globals() noexcept;

// A process-lifetime interned string (borrowed).
PyObject* intern(const char* text) noexcept;

// Fills each slot with the interned string of its text; false on failure.
struct InternedName {
    PyObject** slot;
    const char* text;
};
bool intern_all(std::initializer_list<InternedName> names) noexcept;

// Looks a module-level name up now as a Python function of the module would:
// in the module namespace, then in the builtins; NameError if unbound.
Ref global(PyObject* name) noexcept;

// --- module body --------------------------------------------------------------

// `import name` (binds the top-level package, as the statement does).
bool body_import(PyObject* module, const char* name) noexcept;
// `from source import a, b, ...` (`level` > 0 for a relative import).
bool body_import_from(PyObject* module, const char* source, std::initializer_list<const char*> names,
                      int level = 0) noexcept;
// Binds `value` (a new reference, may be NULL after a failed call) under `name`.
bool body_bind(PyObject* module, const char* name, Ref value) noexcept;

// Runs a module body; used by VO_DEFINE_MODULE.
PyObject* module_create(PyObject* spec, PyModuleDef* def) noexcept;
int module_exec(PyObject* module, bool (*body)(PyObject*)) noexcept;

}  // namespace vo

// Defines the module's PyModuleDef and its PyInit_<name> entry point.
// `body` is `bool body(PyObject* module)` and returns false with an
// exception set on failure.
// No Py_mod_gil slot, deliberately: the modules rely on the GIL (borrowed
// reads of lists, dicts and weak references, tests of reference counts,
// static state), so a free-threaded interpreter turns the GIL back on when
// it imports one.  Free-threaded builds are not supported.
#define VO_DEFINE_MODULE(shortname, doc, body)                                      \
    static int vo_module_exec_(PyObject* m) { return ::vo::module_exec(m, body); }  \
    static PyModuleDef_Slot vo_module_slots_[] = {                                  \
        {Py_mod_create, reinterpret_cast<void*>(::vo::module_create)},              \
        {Py_mod_exec, reinterpret_cast<void*>(vo_module_exec_)},                    \
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}, \
        {0, nullptr}};                                                              \
    static PyModuleDef vo_module_def_ = {.m_base = PyModuleDef_HEAD_INIT,           \
                                         .m_name = VO_MODULE_NAME,                  \
                                         .m_doc = doc,                              \
                                         .m_size = 0,                               \
                                         .m_methods = nullptr,                      \
                                         .m_slots = vo_module_slots_,               \
                                         .m_traverse = nullptr,                     \
                                         .m_clear = nullptr,                        \
                                         .m_free = nullptr};                        \
    PyMODINIT_FUNC PyInit_##shortname(void) { return PyModuleDef_Init(&vo_module_def_); }
