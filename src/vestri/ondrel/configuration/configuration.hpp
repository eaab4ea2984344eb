// Shared between the files of vestri.ondrel.configuration.
#pragma once

#include "common/ref.hpp"

namespace configuration {

// Set while the module body runs; live for the rest of the process.
extern PyObject* g_class;  // Configuration

// Interned names used by more than one file.
struct Names {
    PyObject *os, *environ, *get, *logger, *configparser, *defaultsect, *configuration, *update, *items,
        *setitem, *typecast_str, *yaml, *get_entry_points, *expand_cfg_env_vars, *pattern;
};
extern Names names;

// Whether `cls.<name>` finds exactly `expected` in the class's own MRO, so
// that the native implementation may be called without the lookup.  The
// metaclass must neither override attribute lookup nor define the name.
bool class_attr_is(PyObject* cls, PyObject* name, PyObject* expected) noexcept;

// The methods of each file, in class-body order.
extern PyMethodDef expansion_methods[];  // _missing_env_vars, _expand_cfg_value, _expand_cfg_env_vars
extern PyMethodDef loader_methods[];     // load_cfgs, load_yamls, load_entrypoint

// `typecast_str(value)` with the module's name as bound now; in C while it is
// the framework's own function (typecast.cpp).
vo::Ref typecast(PyObject* value) noexcept;
bool init_typecast(PyObject* module) noexcept;

// Caches what the fast paths compare against, once the class exists.
bool init_expansion(PyObject* module, PyObject* cls, PyObject* pattern) noexcept;
bool init_loaders() noexcept;

}  // namespace configuration
