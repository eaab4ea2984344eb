// What the files of vestri.ondrel.configuration share: the module's state,
// the method tables of each file, and the hooks the module body calls.
//
// The state is one static object, filled while the module body runs and
// kept for the rest of the process.  It is trivially destructible on
// purpose: static destructors run after the interpreter has finalized, when
// releasing a reference would touch freed memory, so strong references are
// `vo::Kept`, which never releases, and borrowed ones plain `PyObject*`.
#pragma once

#include "common/bindings.hpp"
#include "common/kept.hpp"
#include "common/slots.hpp"
#include "common/typecache.hpp"

#include <type_traits>

namespace configuration {

// Whether super() finds NestedPointel's __setitem__ after Configuration in
// the MRO of a class.
struct NextSetitem {
    bool base = false;
};

struct ConfigurationState {
    // Interned names (borrowed: interned for the process).
    // Read by more than one file:
    PyObject *os, *environ, *get, *logger, *configparser, *defaultsect, *configuration, *update, *items, *setitem,
        *typecast_str, *yaml, *get_entry_points, *expand_cfg_env_vars, *pattern, *dunder_class;
    // Variable expansion (expansion.cpp):
    PyObject *finditer, *sub, *group, *warning, *defaults, *sections, *set, *missing_env_vars, *expand_cfg_value,
        *empty_text, *list_separator, *warning_format;
    // The loaders (loaders.cpp):
    PyObject *config_parser, *read, *pop, *path, *isfile, *open, *read_mode, *enter, *exit, *safe_load, *safe_loader,
        *load, *dist, *exception, *entry_failed, *seek, *get_single_data, *dispose;

    // The classes; the module namespace binds them too, but a caller may rebind those names.
    vo::Kept configuration_class;  // Configuration
    vo::Kept nested_pointel;       // NestedPointel
    PyTypeObject* nested_type() const noexcept { return reinterpret_cast<PyTypeObject*>(nested_pointel.get()); }

    // The store (configuration.cpp).
    vo::TypeCache<NextSetitem> next_setitem;  // per class and version
    vo::Kept base_setitem;                    // NestedPointel.__setitem__
    vo::NativeSlot assign_slot;  // our item assignment in the slot of the classes that keep our __setitem__

    // Variable expansion (expansion.cpp).
    vo::Kept real_pattern;  // the compiled _ENV_VAR_PATTERN
    vo::Kept d_missing;     // the classmethod descriptors as the class holds them
    vo::Kept d_expand_value;
    vo::Kept replace_function;     // the replacement function handed to a replaced pattern's `sub`
    vo::Kept section_key_kwnames;  // ("section", "key")
    vo::Kept one, two;             // 1, 2: the groups of a match

    // The loaders (loaders.cpp).
    vo::Kept parser_kwnames;   // ("delimiters", "comment_prefixes")
    vo::Kept parser_kwvalues;  // (("=",), ("#",))
    vo::Kept zero;             // 0, for `seek`
    vo::Kept real_yaml, real_safe_load, real_load, real_safe_loader;
    vo::Kept yaml_error;      // yaml.YAMLError: what the C loader may word differently
    vo::Kept c_safe_loader;   // empty when PyYAML has no C loader
    vo::Kept text_file_type;  // io.TextIOWrapper, what open(name, 'r') returns
    // The registries both YAML loaders construct and resolve with, as PyYAML
    // left them: (attribute name, copy) pairs; empty when the two loaders
    // differed already when the module was loaded.
    vo::Kept registry_names, registry_copies;

    // `typecast_str` in C (typecast.cpp); all empty when the function is not the framework's.
    vo::Kept real_typecast, real_code, real_constants, real_int_pattern, real_float_pattern;
    vo::Binding typecast_bound;  // our `typecast_str`, and its module's pattern and table names
    vo::Binding unshadowed;      // the built-in names, not shadowed in its module
    vo::Binding builtins_bound;  // the built-in names, as the builtins module binds them
    vo::Binding repr_bound;      // `repr`: not shadowed there, and the builtins module's
    vo::Kept object_class;       // object.__class__, the descriptor
    // NestedPointel's tp_getattro (compared only: the class is held above), or NULL.
    getattrofunc level_getattro;
};
static_assert(std::is_trivially_destructible_v<ConfigurationState>);

// Hidden, so that the other files reach it at a fixed offset rather than
// through the global offset table.
extern ConfigurationState state __attribute__((visibility("hidden")));

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

// Keep what the fast paths compare against, once the class exists.
bool init_expansion(PyObject* module, PyObject* cls, PyObject* pattern) noexcept;
bool init_loaders() noexcept;

}  // namespace configuration
