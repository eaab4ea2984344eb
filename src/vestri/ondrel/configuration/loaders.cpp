// The loaders: INI files, YAML files and entry points, each merged into the
// store with its own `update`, so that every source deep-merges into what is
// there and every scalar passes through Configuration.__setitem__.
//
// The expensive parts are the standard library's INI parser and the YAML
// parser.  For YAML the C loader of PyYAML builds the same objects as
// `yaml.safe_load` with the same safe constructor, only the parsing is
// native, under conditions: the module's `yaml` is the real module with its
// own `safe_load`, `load` and `SafeLoader`; the constructors and resolvers of
// `SafeLoader` and of the C loader are still those PyYAML registered (a
// user's `!tag` constructor lives on `SafeLoader` only); and the text avoids
// what the two parsers read differently (tabs, the bare `!` tag, control
// characters, a byte-order mark, nesting deep enough for the Python parser
// to run out of recursion).  When the C loader finds the text malformed, the
// file is parsed again with `yaml.safe_load`, so that the error is the one it
// raises; every other exception (an interrupt above all) propagates at once,
// as it would from `safe_load`.  A caller who rebinds `yaml` gets exactly
// `yaml.safe_load(f)`.
#include "common/args.hpp"
#include "common/callargs.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/kept.hpp"
#include "common/lookup.hpp"
#include "common/module.hpp"
#include "common/vector.hpp"
#include "configuration.hpp"

#include <utility>
#include <vector>

namespace configuration {
namespace {

using vo::Is;
using vo::Ref;

// The caller's array may be lent from storage that the collector, run by
// the tuple's allocation, can free: held until the tuple holds them.
Ref files_tuple(PyObject* const* args, Py_ssize_t nargs) noexcept {
    vo::HeldArgs held(args, nargs);
    if (!held.ok()) return nullptr;
    Ref files = Ref::steal(PyTuple_New(nargs));
    if (!files) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(files.get(), i, Py_NewRef(held.get()[i]));
    return files;
}

// --- load_cfgs ----------------------------------------------------------------------

// configparser.ConfigParser(delimiters=('=',), comment_prefixes=('#',))
Ref new_parser() noexcept {
    Ref configparser = vo::global(state.configparser);
    if (!configparser) return nullptr;
    Ref parser_class = Ref::steal(PyObject_GetAttr(configparser.get(), state.config_parser));
    if (!parser_class) return nullptr;
    PyObject* kwvalues[] = {PyTuple_GET_ITEM(state.parser_kwvalues.get(), 0),
                            PyTuple_GET_ITEM(state.parser_kwvalues.get(), 1)};
    return Ref::steal(PyObject_Vectorcall(parser_class.get(), kwvalues, 0, state.parser_kwnames.get()));
}

bool call_method(PyObject* self, PyObject* name, PyObject* arg) noexcept {
    Ref result = Ref::steal(PyObject_CallMethodOneArg(self, name, arg));
    return static_cast<bool>(result);
}

PyObject* cfg_load_cfgs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("Configuration.load_cfgs");
    if (!vo::reject_keywords("Configuration.load_cfgs", kwnames)) return VO_FAIL();
    Ref files = files_tuple(args, nargs);
    if (!files) return VO_FAIL();
    Ref config = new_parser();
    if (!config) return VO_FAIL();
    // Files that cannot be opened are skipped by the parser; the list names the others.
    Ref loaded = Ref::steal(PyObject_CallMethodOneArg(config.get(), state.read, files.get()));
    if (!loaded) return VO_FAIL();
    // Expansion rewrites the raw values before anything is merged, so a
    // value the parser rejects leaves the store untouched.
    if (!call_method(self, state.expand_cfg_env_vars, config.get())) return VO_FAIL();
    // The parser is a mapping of section views, the default section first;
    // values are interpolated as the views are read.
    if (!call_method(self, state.update, config.get())) return VO_FAIL();
    // Every section has inherited the defaults; their own level goes:
    // self.pop(configparser.DEFAULTSECT), the method found first.
    Ref pop = Ref::steal(PyObject_GetAttr(self, state.pop));
    if (!pop) return VO_FAIL();
    Ref configparser = vo::global(state.configparser);
    if (!configparser) return VO_FAIL();
    Ref default_section = Ref::steal(PyObject_GetAttr(configparser.get(), state.defaultsect));
    if (!default_section) return VO_FAIL();
    Ref popped = Ref::steal(PyObject_CallOneArg(pop.get(), default_section.get()));
    if (!popped) return VO_FAIL();
    return loaded.release();
}

// --- load_yamls ---------------------------------------------------------------------------

// Clears the pending exception if it only says that an object could not
// answer a question the plain definition never asks (a registry that cannot
// be compared, a name that is missing): then the plain call is made and
// meets the problem itself, if there is one.  An interrupt, an exit,
// MemoryError or RecursionError says something about the process and stays
// pending; false then.
bool clear_if_ordinary() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
        PyErr_ExceptionMatches(PyExc_RecursionError))
        return false;
    PyErr_Clear();
    return true;
}

// Whether the C loader's registries (constructors, resolvers) are those of
// SafeLoader, and both as they were when the module was loaded.  Comparing
// runs the `__eq__` of whatever a user registered.
Is registries_as_shipped() noexcept {
    if (!state.registry_names) return Is::No;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(state.registry_names.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(state.registry_names.get(), i);
        PyObject* copy = PyTuple_GET_ITEM(state.registry_copies.get(), i);
        for (PyObject* loader : {state.real_safe_loader.get(), state.c_safe_loader.get()}) {
            Ref now = Ref::steal(PyObject_GetAttr(loader, name));
            int same = now ? PyObject_RichCompareBool(now.get(), copy, Py_EQ) : -1;
            if (same == 0) return Is::No;
            if (same < 0) return clear_if_ordinary() ? Is::No : Is::Error;
        }
    }
    return Is::Yes;
}

Is use_c_loader(PyObject* yaml, PyObject* file) noexcept {
    // A file of another type (from a rebound `open`) may not read back from the start.
    if (yaml != state.real_yaml.get() || !state.c_safe_loader ||
        !Py_IS_TYPE(file, reinterpret_cast<PyTypeObject*>(state.text_file_type.get())))
        return Is::No;
    for (auto [name, real] :
         {std::pair{state.safe_load, state.real_safe_load.get()}, std::pair{state.load, state.real_load.get()},
          std::pair{state.safe_loader, state.real_safe_loader.get()}}) {
        Ref now = Ref::steal(PyObject_GetAttr(yaml, name));
        if (!now) return clear_if_ordinary() ? Is::No : Is::Error;  // safe_load reports a missing name itself
        if (now.get() != real) return Is::No;
    }
    return registries_as_shipped();
}

// Whether both parsers read `text` alike: no tab, no `!` (the bare tag reads
// as '' natively and as None in Python), no control character, byte-order
// mark or line separator, and nesting shallow enough for the Python parser,
// which recurses about three frames a level.  The nesting is bounded from
// above: a level takes a deeper indentation, a bracket, or one of "-:?" on
// its line.
bool parsers_agree_on(PyObject* text) noexcept {
    if (!PyUnicode_Check(text)) return false;
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t indent = 0, marks = 0, flow = 0, deepest = 0;
    bool leading = true;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\n') {
            indent = marks = 0;
            leading = true;
            continue;
        }
        if (c < 0x20 || c == '!' || c == 0x7f || (c >= 0x80 && c < 0xa0) || c == 0x2028 || c == 0x2029 || c == 0xfeff ||
            (c >= 0xd800 && c < 0xe000) || c >= 0xfffe)
            return false;
        if (c == ' ' && leading) {
            ++indent;
            continue;
        }
        leading = false;
        if (c == '[' || c == '{') ++flow;
        if (c == ']' || c == '}') --flow;
        if (c == '-' || c == ':' || c == '?') ++marks;
        Py_ssize_t depth = indent + marks + (flow > 0 ? flow : 0);
        if (depth > deepest) deepest = depth;
    }
    return deepest * 4 + 50 < vo::compat::recursion_remaining();
}

// What the C loader made of a file.
enum class Native {
    Loaded,    // the document
    Declined,  // safe_load reads the file again: the text is one the parsers may read differently, or
               // the C loader found it malformed and safe_load words the error its own way
    Failed,    // an exception that safe_load would let through as it is (an interrupt, MemoryError,
               // RecursionError, an error of a constructor): raised now, the file is not read again
};

// Only what describes the text is worth a second reading: a YAML error, or
// text that cannot be decoded (safe_load reads in pieces and may stop at a
// syntax error before the bad bytes).  Anything else propagates at once.
Native decline_if_about_the_text(PyObject* text_error) noexcept {
    if (!PyErr_ExceptionMatches(text_error)) return Native::Failed;
    PyErr_Clear();
    return Native::Declined;
}

Native load_natively(PyObject* file, Ref& document) noexcept {
    Ref text = Ref::steal(PyObject_CallMethodNoArgs(file, state.read));
    if (!text) return decline_if_about_the_text(PyExc_UnicodeDecodeError);
    if (!parsers_agree_on(text.get())) return Native::Declined;
    Ref loader = Ref::steal(PyObject_CallOneArg(state.c_safe_loader.get(), text.get()));
    if (!loader) return Native::Failed;
    // yaml.load(): try: return loader.get_single_data() finally: loader.dispose()
    document = Ref::steal(PyObject_CallMethodNoArgs(loader.get(), state.get_single_data));
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref disposed = Ref::steal(PyObject_CallMethodNoArgs(loader.get(), state.dispose));
    if (!disposed) {
        // As from a `finally` block: the new error, with the first as its context.
        if (error) {
            Ref raised = Ref::steal(PyErr_GetRaisedException());
            PyException_SetContext(raised.get(), error.release());
            PyErr_SetRaisedException(raised.release());
        }
        document.reset();
        return Native::Failed;
    }
    if (!error) return Native::Loaded;
    PyErr_SetRaisedException(error.release());
    return decline_if_about_the_text(state.yaml_error.get());
}

// self.update(yaml.safe_load(f))
bool merge_yaml(PyObject* self, PyObject* file) noexcept {
    Ref update = Ref::steal(PyObject_GetAttr(self, state.update));
    if (!update) return false;
    Ref yaml = vo::global(state.yaml);
    if (!yaml) return false;
    Ref document;
    Native native = Native::Declined;
    Is native_possible = use_c_loader(yaml.get(), file);
    if (native_possible == Is::Error) return false;
    if (native_possible == Is::Yes) {
        native = load_natively(file, document);
        if (native == Native::Failed) return false;
        // Read again from the start, by safe_load itself.
        if (native == Native::Declined) {
            Ref at = Ref::steal(PyObject_CallMethodOneArg(file, state.seek, state.zero.get()));
            if (!at) return false;
        }
    }
    if (native == Native::Declined) document = Ref::steal(PyObject_CallMethodOneArg(yaml.get(), state.safe_load, file));
    if (!document) return false;
    Ref result = Ref::steal(PyObject_CallOneArg(update.get(), document.get()));
    return static_cast<bool>(result);
}

// with open(name, 'r') as f: self.update(yaml.safe_load(f))
bool load_yaml_file(PyObject* self, PyObject* name) noexcept {
    Ref open = vo::global(state.open);
    if (!open) return false;
    PyObject* argv[] = {name, state.read_mode};
    Ref manager = Ref::steal(PyObject_Vectorcall(open.get(), argv, 2, nullptr));
    if (!manager) return false;
    Ref enter, exit;
    vo::Found has_enter = vo::special_method(manager.get(), state.enter, enter);
    if (has_enter != vo::Found::Yes) {
        if (has_enter == vo::Found::No)
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                         Py_TYPE(manager.get())->tp_name);
        return false;
    }
    vo::Found has_exit = vo::special_method(manager.get(), state.exit, exit);
    if (has_exit != vo::Found::Yes) {
        if (has_exit == vo::Found::No)
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                         Py_TYPE(manager.get())->tp_name);
        return false;
    }
    Ref file = Ref::steal(PyObject_CallNoArgs(enter.get()));
    if (!file) return false;
    if (merge_yaml(self, file.get())) {
        PyObject* argv_none[] = {Py_None, Py_None, Py_None};
        Ref done = Ref::steal(PyObject_Vectorcall(exit.get(), argv_none, 3, nullptr));
        return static_cast<bool>(done);
    }
    // The file is closed on the way out; __exit__ sees the exception as the
    // one being handled, so an error of its own is chained to it.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref traceback = Ref::steal(PyException_GetTraceback(error.get()));
    Ref suppress;
    {
        vo::HandlingScope handling(error.get());
        PyObject* argv_exc[] = {reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get(),
                                traceback ? traceback.get() : Py_None};
        suppress = Ref::steal(PyObject_Vectorcall(exit.get(), argv_exc, 3, nullptr));
    }
    if (!suppress) return false;
    int truth = PyObject_IsTrue(suppress.get());
    if (truth < 0) return false;
    if (truth) return true;
    PyErr_SetRaisedException(error.release());
    return false;
}

PyObject* cfg_load_yamls(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VO_METHOD("Configuration.load_yamls");
    if (!vo::reject_keywords("Configuration.load_yamls", kwnames)) return VO_FAIL();
    Ref files = files_tuple(args, nargs);
    if (!files) return VO_FAIL();
    // Which names were loaded: kept here, where the code that runs between
    // (open, update, the YAML constructors) cannot reach it.
    std::vector<PyObject*> loaded;  // borrowed from `files`, which only this function sees
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyObject* name = PyTuple_GET_ITEM(files.get(), i);
        Ref os = vo::global(state.os);
        if (!os) return VO_FAIL();
        Ref path = Ref::steal(PyObject_GetAttr(os.get(), state.path));
        if (!path) return VO_FAIL();
        Ref exists = Ref::steal(PyObject_CallMethodOneArg(path.get(), state.isfile, name));
        if (!exists) return VO_FAIL();
        int is_file = PyObject_IsTrue(exists.get());
        if (is_file < 0) return VO_FAIL();
        if (!is_file) continue;  // not a regular file: skipped without a word
        // Files merged before a failing one stay merged.
        if (!load_yaml_file(self, name)) return VO_FAIL();
        if (!vo::push(loaded, name)) return VO_FAIL();
    }
    if (static_cast<Py_ssize_t>(loaded.size()) == nargs) return files.release();
    PyObject* result = PyTuple_New(static_cast<Py_ssize_t>(loaded.size()));
    if (!result) return VO_FAIL();
    for (size_t i = 0; i < loaded.size(); ++i)
        PyTuple_SET_ITEM(result, static_cast<Py_ssize_t>(i), Py_NewRef(loaded[i]));
    return result;
}

// --- load_entrypoint ----------------------------------------------------------------------

// self.update(ep.load())
bool merge_entry_point(PyObject* self, PyObject* ep) noexcept {
    Ref update = Ref::steal(PyObject_GetAttr(self, state.update));
    if (!update) return false;
    Ref loaded = Ref::steal(PyObject_CallMethodNoArgs(ep, state.load));
    if (!loaded) return false;
    Ref result = Ref::steal(PyObject_CallOneArg(update.get(), loaded.get()));
    return static_cast<bool>(result);
}

// logger.exception(...) for the pending exception, which is handled here.
bool log_entry_point_failure(PyObject* ep) noexcept {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    // As inside an `except` block: the record carries this traceback, and an
    // error raised while logging is chained to it.
    vo::HandlingScope handling(error.get());
    // logger.exception(... + str(ep.dist)): the method is found before the message is made.
    Ref logger = vo::global(state.logger);
    if (!logger) return false;
    Ref log = Ref::steal(PyObject_GetAttr(logger.get(), state.exception));
    if (!log) return false;
    Ref dist = Ref::steal(PyObject_GetAttr(ep, state.dist));
    if (!dist) return false;
    Ref text = Ref::steal(PyObject_Str(dist.get()));
    if (!text) return false;
    Ref message = Ref::steal(PyUnicode_Concat(state.entry_failed, text.get()));
    if (!message) return false;
    Ref logged = Ref::steal(PyObject_CallOneArg(log.get(), message.get()));
    return static_cast<bool>(logged);
}

vo::Signature<1> sig_load_entrypoint("Configuration.load_entrypoint", "self", {{"group"}});

PyObject* cfg_load_entrypoint(PyObject* self, PyObject* group) noexcept {
    VO_METHOD("Configuration.load_entrypoint");
    Ref loaded = Ref::steal(PyList_New(0));
    if (!loaded) return VO_FAIL();
    Ref get_entry_points = vo::global(state.get_entry_points);
    if (!get_entry_points) return VO_FAIL();
    Ref eps = Ref::steal(PyObject_CallOneArg(get_entry_points.get(), group));
    if (!eps) return VO_FAIL();
    Ref it = Ref::steal(PyObject_GetIter(eps.get()));
    if (!it) return VO_FAIL();
    while (Ref ep = Ref::steal(PyIter_Next(it.get()))) {
        if (merge_entry_point(self, ep.get())) {
            if (PyList_Append(loaded.get(), ep.get()) < 0) return VO_FAIL();
            continue;
        }
        // One broken plug-in must not keep the others out; interrupts and
        // exits are not its to swallow.  Whatever it merged stays merged.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return VO_FAIL();
        if (!log_entry_point_failure(ep.get())) return VO_FAIL();
    }
    if (PyErr_Occurred()) return VO_FAIL();
    return loaded.release();
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef loader_methods[] = {
    {"load_cfgs", VO_CFUNC(cfg_load_cfgs), kFast,
     "load_cfgs($self, *files)\n--\n\n"
     "Load one or more INI configuration files into this object.\n"
     "\n"
     "Files that cannot be opened are skipped.  Environment variable\n"
     "references ($NAME, ${NAME}) in the values are expanded before the\n"
     "sections are merged.  Returns the list of the files that were read."},
    {"load_yamls", VO_CFUNC(cfg_load_yamls), kFast,
     "load_yamls($self, *files)\n--\n\n"
     "Load one or more YAML configuration files into this object.\n"
     "\n"
     "Names that are not existing regular files are skipped.  Returns the\n"
     "tuple of the files that were loaded."},
    {"load_entrypoint", VO_CFUNC((vo::method<sig_load_entrypoint, cfg_load_entrypoint>)), kFast,
     sig_load_entrypoint.doc("Populate this configuration by loading the entry points of a group.\n"
                             "\n"
                             "This design allows configuration to be scattered over different\n"
                             "packages and to be loaded when needed and if installed.  Each entry\n"
                             "point must load a dictionary-like or Configuration-like object.\n"
                             "Module owners with a lot of configuration are advised to keep a local\n"
                             "INI file and to load it from their entry-point module.\n"
                             "\n"
                             "Returns the list of the entry points that were loaded.")},
    {nullptr, nullptr, 0, nullptr},
};

// Copies of the registries, taken while SafeLoader and the C loader agree on
// them.  Gathered in C++ storage: the lookups, comparisons and copies run
// code (and the collector), which must never meet a tuple with empty slots.
static bool snapshot_registries() noexcept {
    const char* attributes[] = {"yaml_constructors", "yaml_multi_constructors", "yaml_implicit_resolvers",
                                "yaml_path_resolvers"};
    Ref names[4], copies[4];
    Ref copy_module = Ref::steal(PyImport_ImportModule("copy"));
    if (!copy_module) return false;
    for (int i = 0; i < 4; ++i) {
        Ref name = Ref::steal(PyUnicode_InternFromString(attributes[i]));
        if (!name) return false;
        Ref python = Ref::steal(PyObject_GetAttr(state.real_safe_loader.get(), name.get()));
        Ref native = Ref::steal(PyObject_GetAttr(state.c_safe_loader.get(), name.get()));
        if (!python || !native) return false;
        int same = PyObject_RichCompareBool(python.get(), native.get(), Py_EQ);
        if (same < 0) return false;
        if (!same) return true;  // someone registered on one of them already: never the C loader
        // The resolver lists are appended to in place: the copy goes deep.
        copies[i] = Ref::steal(PyObject_CallMethod(copy_module.get(), "deepcopy", "O", python.get()));
        if (!copies[i]) return false;
        names[i] = std::move(name);
    }
    return state.registry_names.set(
               Ref::steal(PyTuple_Pack(4, names[0].get(), names[1].get(), names[2].get(), names[3].get()))) &&
           state.registry_copies.set(
               Ref::steal(PyTuple_Pack(4, copies[0].get(), copies[1].get(), copies[2].get(), copies[3].get())));
}

bool init_loaders() noexcept {
    if (!vo::intern_all({{&state.config_parser, "ConfigParser"},
                         {&state.read, "read"},
                         {&state.pop, "pop"},
                         {&state.path, "path"},
                         {&state.isfile, "isfile"},
                         {&state.open, "open"},
                         {&state.read_mode, "r"},
                         {&state.enter, "__enter__"},
                         {&state.exit, "__exit__"},
                         {&state.safe_load, "safe_load"},
                         {&state.safe_loader, "SafeLoader"},
                         {&state.load, "load"},
                         {&state.dist, "dist"},
                         {&state.exception, "exception"},
                         {&state.entry_failed, "Failed to load configuration from entrypoint: "},
                         {&state.seek, "seek"},
                         {&state.get_single_data, "get_single_data"},
                         {&state.dispose, "dispose"}}))
        return false;
    if (!state.parser_kwnames.set(Ref::steal(Py_BuildValue("(ss)", "delimiters", "comment_prefixes"))) ||
        !state.parser_kwvalues.set(Ref::steal(Py_BuildValue("((s)(s))", "=", "#"))) ||
        !state.zero.set(Ref::steal(PyLong_FromLong(0))))
        return false;
    if (!state.real_yaml.set(vo::global(state.yaml))) return false;
    PyObject* yaml = state.real_yaml.get();
    if (!state.real_safe_load.set(Ref::steal(PyObject_GetAttr(yaml, state.safe_load))) ||
        !state.real_load.set(Ref::steal(PyObject_GetAttr(yaml, state.load))) ||
        !state.real_safe_loader.set(Ref::steal(PyObject_GetAttr(yaml, state.safe_loader))) ||
        !state.yaml_error.set(Ref::steal(PyObject_GetAttrString(yaml, "YAMLError"))))
        return false;
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io || !state.text_file_type.set(Ref::steal(PyObject_GetAttrString(io.get(), "TextIOWrapper")))) return false;
    // PyYAML built without libyaml has no C loader: then safe_load is always used.
    if (!state.c_safe_loader.set(Ref::steal(PyObject_GetAttrString(yaml, "CSafeLoader")))) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    return snapshot_registries();
}

}  // namespace configuration
