// vestri.ondrel.configuration: the framework's configuration store.
//
// Configuration is a NestedPointel whose every stored value, at every level,
// first goes through the framework's `typecast_str`.  Only __setitem__ is
// overridden for that: NestedPointel's own update, setdefault and dotted
// writes all store through the object's item assignment, and its levels are
// made with the runtime class, so they convert as well.  The converted value
// is handed to the next __setitem__ in the MRO of the object's class, exactly
// as `super()` would find it, so classes mixed in between keep working.
//
// Every module-level name (`typecast_str`, `os`, `logger`, `configparser`,
// `yaml`, `get_entry_points`, `Configuration`) is read from the module
// namespace when a method runs: callers rebind them to substitute or observe
// the framework.  Native short cuts are taken only while the name is still
// bound to the object the module body found.
//
// The class is made by abc.ABCMeta, the metaclass NestedPointel implies;
// the methods are installed on it afterwards, in class-body order.
#include "configuration.hpp"

#include "common/args.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/guard.hpp"
#include "common/kept.hpp"
#include "common/slots.hpp"
#include "common/typecache.hpp"
#include "common/module.hpp"

namespace configuration {

ConfigurationState state;

namespace {

using vo::Ref;

constexpr char kEnvVarPattern[] = R"re(\$(?:([A-Za-z_][A-Za-z0-9_]*)|\{([^}]+)\}))re";

// --- the store -----------------------------------------------------------------------

// What super() finds as __setitem__ after Configuration in the MRO of `type`
// (NestedPointel's, as a rule).  Looking it up walks class namespaces,
// where a colliding key's `__eq__` may run and raise (an interrupt too): that
// error is the caller's, as it would be from super(), and the lookup is not
// repeated for it.
Ref find_next_setitem(PyTypeObject* type) noexcept {
    Ref found, error;
    bool looked_up = false;
    auto look_up = [&](PyTypeObject* t, NextSetitem& facts) noexcept {
        found = vo::super_lookup(t, state.configuration_class.get(), state.setitem);
        looked_up = true;
        facts.base = found.get() == state.base_setitem.get();
        // Set aside while the table is updated; a failed lookup records "not ours".
        if (!found) error = Ref::steal(PyErr_GetRaisedException());
    };
    if (state.next_setitem.get(type, look_up).base) return Ref::borrow(state.base_setitem.get());
    if (error) {
        PyErr_SetRaisedException(error.release());
        return nullptr;
    }
    if (!looked_up) found = vo::super_lookup(type, state.configuration_class.get(), state.setitem);
    if (!found && !PyErr_Occurred())
        PyErr_SetString(PyExc_AttributeError, "'super' object has no attribute '__setitem__'");
    return found;
}

// The next class's __setitem__ after Configuration, called as super() would:
// functions and method descriptors take `self` first, anything else is bound.
bool next_setitem(PyObject* self, PyObject* key, PyObject* value) noexcept {
    Ref type = Ref::borrow(Py_TYPE(self));
    Ref method = find_next_setitem(type.type_ptr());
    if (!method) return false;
    PyObject* found = method.get();
    // NestedPointel's own instances reach its C function through the slot;
    // so can we, while that slot is not the generic one.
    objobjargproc base_slot = state.nested_type()->tp_as_mapping->mp_ass_subscript;
    if (found == state.base_setitem.get() && base_slot != state.assign_slot.generic())
        return base_slot(self, key, value) == 0;
    Ref result;
    if (Py_IS_TYPE(found, &PyMethodDescr_Type) || PyFunction_Check(found)) {
        PyObject* argv[] = {self, key, value};
        result = Ref::steal(PyObject_Vectorcall(found, argv, 3, nullptr));
    } else {
        Ref bound = vo::bind(found, self);
        if (!bound) return false;
        PyObject* argv[] = {key, value};
        result = Ref::steal(PyObject_Vectorcall(bound.get(), argv, 2, nullptr));
    }
    return static_cast<bool>(result);
}

// typecast_str(value), then the next class's __setitem__.
int store(PyObject* self, PyObject* key, PyObject* value) noexcept {
    VO_METHOD("Configuration.__setitem__");
    // A dotted key comes back here once per level it passes, each time
    // through NestedPointel's write, which guards that recursion.
    Ref converted = typecast(value);
    if (!converted) return VO_FAIL_INT();
    if (!next_setitem(self, key, converted.get())) return VO_FAIL_INT();
    return 0;
}

vo::Signature<2> sig_setitem("Configuration.__setitem__", "self", {{"key"}, {"value"}});

PyObject* cfg_setitem(PyObject* self, PyObject* key, PyObject* value) noexcept {
    state.assign_slot.adopt(Py_TYPE(self));
    if (store(self, key, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Item assignment goes straight to `store`, without the interpreter looking
// the method up and calling it; deletion keeps the interpreter's generic
// slot, which calls NestedPointel's __delitem__.
int cfg_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) return reinterpret_cast<objobjargproc>(state.assign_slot.generic())(self, key, value);
    return store(self, key, value);
}

PyObject* cfg_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("Configuration.copy");
    if (!vo::reject_keywords("Configuration.copy", kwnames)) return VO_FAIL();
    if (nargs) {
        PyErr_Format(PyExc_TypeError, "Configuration.copy() takes 1 positional argument but %zd were given", nargs + 1);
        return VO_FAIL();
    }
    (void)args;
    // The constructor merges `self` with update(): every level becomes a new
    // level of the copy and every leaf is stored (and converted) again;
    // leaves that are not mappings are shared, not copied.
    // type(self)(self): the class is held while its constructor runs, which
    // may assign `self.__class__`.
    Ref type = Ref::borrow(Py_TYPE(self));
    PyObject* copy = PyObject_CallOneArg(type.get(), self);
    if (!copy) return VO_FAIL();
    return copy;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef store_methods[] = {
    {"copy", VO_CFUNC(cfg_copy), kFast,
     "copy($self)\n--\n\n"
     "Return a copy of this configuration, of the same class.\n"
     "\n"
     "This differs slightly from the standard mapping copy(): it always takes\n"
     "a nested object copy when it meets another Configuration block\n"
     "underneath, so that a subcomponent that copies the configuration and\n"
     "updates the copy for its own use cannot corrupt the configuration it\n"
     "copied.  Leaf values that are not mappings are shared."},
    {"__setitem__", VO_CFUNC((vo::method<sig_setitem, cfg_setitem>)), kFast,
     sig_setitem.doc("Store INI-derived values after applying string type coercion.")},
    {nullptr, nullptr, 0, nullptr},
};

// --- the module body ----------------------------------------------------------------------

bool intern_names() noexcept {
    if (!vo::intern_all({{&state.os, "os"},
                         {&state.environ, "environ"},
                         {&state.get, "get"},
                         {&state.logger, "logger"},
                         {&state.configparser, "configparser"},
                         {&state.defaultsect, "DEFAULTSECT"},
                         {&state.configuration, "Configuration"},
                         {&state.update, "update"},
                         {&state.items, "items"},
                         {&state.setitem, "__setitem__"},
                         {&state.typecast_str, "typecast_str"},
                         {&state.yaml, "yaml"},
                         {&state.get_entry_points, "get_entry_points"},
                         {&state.expand_cfg_env_vars, "_expand_cfg_env_vars"},
                         {&state.pattern, "_ENV_VAR_PATTERN"}}))
        return false;
    return true;
}

// logger = logging.getLogger(__name__)
Ref module_logger(PyObject* module) noexcept {
    Ref logging = vo::global(vo::intern("logging"));
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!logging || !name) return nullptr;
    return Ref::steal(PyObject_CallMethodOneArg(logging.get(), vo::intern("getLogger"), name.get()));
}

// re.compile(<pattern>) with the module's `re`.
Ref compile_pattern() noexcept {
    Ref re = vo::global(vo::intern("re"));
    if (!re) return nullptr;
    Ref text = Ref::steal(PyUnicode_FromString(kEnvVarPattern));
    if (!text) return nullptr;
    return Ref::steal(PyObject_CallMethodOneArg(re.get(), vo::intern("compile"), text.get()));
}

// NestedPointel's attribute lookup, while it is the C function of Pointel
// that its `__getattribute__` wraps (no Python hook): like the generic one,
// it finds `__class__` on the class first.
bool init_level_getattro() noexcept {
    PyTypeObject* nested = state.nested_type();
    PyObject* getattr_name = vo::intern("__getattr__");
    PyObject* getattribute_name = vo::intern("__getattribute__");
    if (!getattr_name || !getattribute_name) return false;
    Ref getattribute = vo::compat::type_lookup_ref(nested, getattribute_name);
    if (vo::compat::slot_wrapper_parts(getattribute.get()).wrapped == reinterpret_cast<void*>(nested->tp_getattro) &&
        !vo::compat::type_lookup(nested, getattr_name))
        state.level_getattro = nested->tp_getattro;
    return true;
}

Ref make_configuration(PyObject* module) noexcept {
    Ref base = vo::global(vo::intern("NestedPointel"));
    if (!base) return nullptr;
    // The class body's pattern, and what the loaders compare against, are
    // read before the class exists: reading them may run code (the modules
    // imported may be anyone's) that could reach the class through the
    // collector and use it half set up.
    Ref pattern = compile_pattern();
    if (!pattern || !init_loaders()) return nullptr;
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return nullptr;
    Ref cls = vo::class_from_metaclass(module, "Configuration", bases.get(), nullptr, vo::InstanceLayout::NoSlots);
    if (!cls || !vo::set_class_attribute(cls.get(), state.pattern, pattern.get())) return nullptr;
    if (!vo::install_methods(module, cls.get(), expansion_methods) ||
        !vo::install_methods(module, cls.get(), store_methods) ||
        !vo::install_methods(module, cls.get(), loader_methods))
        return nullptr;
    if (!init_expansion(module, cls.get(), pattern.get())) return nullptr;
    if (!state.nested_pointel.set(base)) return nullptr;
    if (!state.base_setitem.set(vo::own_attribute(base.get(), "__setitem__"))) return nullptr;
    if (!init_level_getattro()) return nullptr;
    if (!state.assign_slot.install(cls.type_ptr(), vo::SlotId::AssignSubscript,
                                   reinterpret_cast<void*>(cfg_ass_subscript), {"__setitem__", "__delitem__"}))
        return nullptr;
    return cls;
}

bool module_body(PyObject* module) {
    if (!intern_names()) return false;
    for (const char* name : {"os", "re", "yaml", "logging", "configparser"})
        if (!vo::body_import(module, name)) return false;
    if (!vo::body_import_from(module, "collections.abc", {"Mapping"})) return false;
    if (!vo::body_import_from(module, "pointel", {"NestedPointel"}, 1)) return false;
    if (!vo::body_import_from(module, "vestri.utils.strings", {"typecast_str"})) return false;
    if (!vo::body_import_from(module, "vestri.utils.import_utils", {"get_entry_points"})) return false;
    if (!vo::body_bind(module, "logger", module_logger(module))) return false;
    if (!init_typecast(module)) return false;
    Ref cls = make_configuration(module);
    if (!cls) return false;
    if (!state.configuration_class.set(cls)) return false;
    return vo::body_bind(module, "Configuration", std::move(cls));
}

constexpr char module_doc[] =
    "Configuration store\n"
    "\n"
    "A nested attribute dictionary that converts every stored value with the\n"
    "framework's string type conversion, and that loads INI files (with\n"
    "environment variable expansion), YAML files and entry points.";

}  // namespace

// --- helpers shared by the files ------------------------------------------------------------

bool class_attr_is(PyObject* cls, PyObject* name, PyObject* expected) noexcept {
    if (!PyType_Check(cls) || Py_TYPE(cls)->tp_getattro != PyType_Type.tp_getattro) return false;
    if (vo::compat::type_lookup(Py_TYPE(cls), name)) return false;
    return vo::compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls), name) == expected;
}

}  // namespace configuration

VO_DEFINE_MODULE(configuration, configuration::module_doc, configuration::module_body)
