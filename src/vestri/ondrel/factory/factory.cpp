// vestri.ondrel.factory: a metaclass that lets a call pick a subclass.
//
// `MyClass(*args, **{'class': SubClass, ...})` checks that SubClass is a
// subclass of MyClass, drops the keyword and instantiates SubClass through
// `super(MetaClassFactory, SubClass).__call__`, normally `type.__call__`.
//
// The metaclass is a spec type over `type` whose tp_call is the whole
// algorithm, so the classes it makes are called without any Python-level
// dispatch, and metaclasses derived from it inherit the slot unless they
// define `__call__` themselves.  No vectorcall entry is given to the
// classes: the keyword can only arrive through `**mapping`, which the
// interpreter passes as a tuple and a dict, exactly what tp_call takes and
// what `type.__call__` needs; a plain call without it costs what calling an
// ordinary class costs.  `MetaClassFactory.__call__` is the slot's own
// wrapper with the method's docstring, not a separate method: a derived
// metaclass (with abc.ABCMeta, say) then inherits the C slot itself.
//
// Two checks are short-cut while they cannot be told apart from the general
// path: `issubclass` when the class's metaclass keeps type's own
// `__subclasscheck__`, and the `super()` lookup when the module name
// `MetaClassFactory` is still this metaclass and `type` follows it in the
// MRO that super() would walk.  Anything else takes the general path.
#include "common/bindings.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/kept.hpp"
#include "common/module.hpp"
#include "common/spectype.hpp"
#include "common/typecache.hpp"

#include <type_traits>

namespace factory {
namespace {

using vo::Ref;

// What a metaclass does, per metaclass and version (the answers stay right
// while the metaclass and its bases are unchanged).
struct MetaFacts {
    bool plain_subclasscheck = false;  // it keeps type.__subclasscheck__
    bool type_follows = false;         // `type` comes right after MetaClassFactory in its MRO
};

struct FactoryState {
    // Interned names (borrowed: interned for the process).
    PyObject* s_class;          // "class"
    PyObject* s_cls;            // "cls"
    PyObject* s_call;           // "__call__"
    PyObject* s_factory;        // "MetaClassFactory"
    PyObject* s_subclasscheck;  // "__subclasscheck__"
    // MetaClassFactory (strong), so that it stays valid even when the module name is deleted.
    vo::Kept factory;
    PyTypeObject* factory_type() const noexcept { return reinterpret_cast<PyTypeObject*>(factory.get()); }
    vo::Kept type_subclasscheck;              // type.__dict__['__subclasscheck__']
    vo::Binding factory_bound;                // the module name MetaClassFactory is still the metaclass
    vo::TypeCache<MetaFacts, 8> metaclasses;  // per metaclass and version
};
static_assert(std::is_trivially_destructible_v<FactoryState>);
FactoryState state;

constexpr char kQualname[] = "MetaClassFactory.__call__";

bool is_name(PyObject* key, PyObject* interned, Py_ssize_t length) noexcept {
    if (key == interned) return true;
    return PyUnicode_GET_LENGTH(key) == length && PyUnicode_Compare(key, interned) == 0;
}

// What the keywords of one call hold.
struct Keywords {
    PyObject* chosen = nullptr;     // the value under "class" (borrowed from the caller), or NULL
    PyObject* class_key = nullptr;  // its key object (borrowed)
    bool has_cls = false;           // a keyword "cls", which collides with the bound class
};

// Scans the keyword dict of a call as binding `(cls, *args, **kwargs)` would:
// keys must be strings, then "cls" collides.  False with TypeError set.
bool scan_keywords(PyObject* kwargs, Keywords& kw) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (VO_UNLIKELY(!PyUnicode_Check(key))) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return false;
        }
        if (is_name(key, state.s_class, 5)) {
            kw.chosen = value;
            kw.class_key = key;
        } else if (is_name(key, state.s_cls, 3)) {
            kw.has_cls = true;
        }
    }
    if (kw.has_cls) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'cls'", kQualname);
        return false;
    }
    return true;
}

void compute_facts(PyTypeObject* meta, MetaFacts& facts) noexcept {
    // The lookup may run a key's `__eq__`; the cache holds the metaclass meanwhile.
    facts.plain_subclasscheck = vo::compat::type_lookup(meta, state.s_subclasscheck) == state.type_subclasscheck.get();
    PyObject* mro = meta->tp_mro;
    if (!mro) return;
    Py_ssize_t n = PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
        if (PyTuple_GET_ITEM(mro, i) != state.factory.get()) continue;
        facts.type_follows = PyTuple_GET_ITEM(mro, i + 1) == reinterpret_cast<PyObject*>(&PyType_Type);
        return;
    }
}

MetaFacts facts_of(PyTypeObject* meta) noexcept { return state.metaclasses.get(meta, compute_facts); }

// `issubclass(chosen, cls)`.
vo::Found is_subclass(PyObject* chosen, PyObject* cls) noexcept {
    // type.__subclasscheck__ decides for two classes by their MROs alone
    // (while the class's metaclass is still the one asked).
    PyTypeObject* meta = Py_TYPE(cls);
    if (PyType_Check(chosen) && facts_of(meta).plain_subclasscheck && Py_IS_TYPE(cls, meta))
        return PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(chosen), reinterpret_cast<PyTypeObject*>(cls))
                   ? vo::Found::Yes
                   : vo::Found::No;
    vo::count_general_path(state.factory_bound.shared(), vo::GeneralPath::FactorySubclass);
    return vo::outcome<vo::Found>(PyObject_IsSubclass(chosen, cls));
}

// Whether `super(MetaClassFactory, chosen).__call__` is `type.__call__`,
// with the module name MetaClassFactory bound as it is now.
bool next_call_is_type(PyObject* chosen) noexcept {
    if (!state.factory_bound.holds()) return false;
    // A __subclasscheck__ may have accepted something that is no class.
    if (!PyType_Check(chosen)) return false;
    // super() walks the MRO of chosen itself when chosen is a subclass of
    // the metaclass (a metaclass itself), else that of its metaclass.
    auto* chosen_type = reinterpret_cast<PyTypeObject*>(chosen);
    if (PyType_FastSubclass(chosen_type, Py_TPFLAGS_TYPE_SUBCLASS) &&
        PyType_IsSubtype(chosen_type, state.factory_type()))
        return false;
    return facts_of(Py_TYPE(chosen)).type_follows;
}

// `super(MetaClassFactory, chosen).__call__(*args, **kwargs)`; `kwargs` may be NULL.
PyObject* call_next(PyObject* chosen, PyObject* args, PyObject* kwargs) noexcept {
    if (VO_LIKELY(next_call_is_type(chosen))) return PyType_Type.tp_call(chosen, args, kwargs);
    vo::count_general_path(state.factory_bound.shared(), vo::GeneralPath::FactorySuper);
    Ref named = vo::global(state.s_factory);
    if (!named) return nullptr;
    Ref proxy = Ref::steal(
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), named.get(), chosen, nullptr));
    if (!proxy) return nullptr;
    Ref next = Ref::steal(PyObject_GetAttr(proxy.get(), state.s_call));
    if (!next) return nullptr;
    return PyObject_Call(next.get(), args, kwargs);
}

// The call with `class` already taken out of the keywords (`rest`, NULL
// when none are left).
// Re-entrancy: issubclass() and str() may run user code, which may change
// the caller's keyword dict; `chosen` is held here, and `rest` belongs to
// this call alone.
PyObject* switch_and_call(PyObject* cls, PyObject* chosen_borrowed, PyObject* args, PyObject* rest) noexcept {
    Ref chosen = Ref::borrow(chosen_borrowed);
    vo::Found sub = is_subclass(chosen.get(), cls);
    if (sub == vo::Found::Error) return nullptr;
    if (sub == vo::Found::No) {
        vo::raise_concat(PyExc_TypeError, {chosen.get(), " is not a subclass of ", cls});
        return nullptr;
    }
    return call_next(chosen.get(), args, rest);
}

// tp_call of every class made by MetaClassFactory.
PyObject* factory_call(PyObject* cls, PyObject* args, PyObject* kwargs) {
    VO_METHOD("MetaClassFactory.__call__");
    PyObject* result;
    Keywords kw;
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
        result = call_next(cls, args, nullptr);
    } else if (!scan_keywords(kwargs, kw)) {
        return VO_FAIL();
    } else if (!kw.chosen) {
        // The caller's dict goes on as the interpreter would pass it to type.__call__.
        result = call_next(cls, args, kwargs);
    } else {
        // The caller's dict is left as it was; the copy loses the very key
        // object the scan found.
        Ref chosen = Ref::borrow(kw.chosen);
        Ref class_key = Ref::borrow(kw.class_key);
        Ref rest;
        if (PyDict_GET_SIZE(kwargs) > 1) {
            rest = Ref::steal(PyDict_Copy(kwargs));
            if (!rest || PyDict_DelItem(rest.get(), class_key.get()) < 0) return VO_FAIL();
        }
        result = switch_and_call(cls, chosen.get(), args, rest.get());
    }
    if (!result) return VO_FAIL();
    return result;
}

constexpr char factory_doc[] =
    "MetaClassFactory Metaclass\n"
    "\n"
    "A class created with this metaclass can be told, when it is called, to\n"
    "produce an instance of one of its subclasses instead: pass the subclass\n"
    "under the keyword argument `class`. This serves dynamic class loading from\n"
    "YAML or similar data files, where the class to instantiate is named by\n"
    "the data: classes are replaced at run time without hand-written if/else\n"
    "code. It is meant for the loading layer rather than for user scripts.\n"
    "\n"
    "Notes:\n"
    "    - The provided class must be a subclass of the class being called.\n"
    "    - The `class` argument is removed and not passed down to the actual\n"
    "      class object.\n"
    "    - It must be given through kwargs, since `class` is a reserved\n"
    "      keyword; that is desired behaviour, as it keeps the feature out of\n"
    "      ordinary calls.\n"
    "\n"
    "Example:\n"
    "    >>> class MyClass(metaclass=MetaClassFactory):\n"
    "    ...     def __init__(self, value):\n"
    "    ...         self.value = value\n"
    "    >>> class SubClass(MyClass):\n"
    "    ...     pass\n"
    "    >>> obj = MyClass(1, **{'class': SubClass})\n"
    "    >>> type(obj).__name__, obj.value\n"
    "    ('SubClass', 1)";

constexpr char factory_call_doc[] =
    "__call__($cls, /, *args, **kwargs)\n--\n\n"
    "Take over instantiation before __new__ is called: when the keyword\n"
    "argument `class` is given, the class is replaced with that subclass,\n"
    "which is then instantiated with the remaining arguments.";

PyType_Slot factory_slots[] = {
    vo::slot(Py_tp_doc, factory_doc),
    vo::slot(Py_tp_call, factory_call),
    {0, nullptr},
};

PyType_Spec factory_spec = {
    .name = "vestri.ondrel.factory.MetaClassFactory",
    .basicsize = 0,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = factory_slots,
};

bool module_body(PyObject* module) {
    if (!vo::intern_all({{&state.s_class, "class"},
                         {&state.s_cls, "cls"},
                         {&state.s_call, "__call__"},
                         {&state.s_factory, "MetaClassFactory"},
                         {&state.s_subclasscheck, "__subclasscheck__"}}))
        return false;
    if (!state.type_subclasscheck.set(vo::compat::type_lookup_ref(&PyType_Type, state.s_subclasscheck))) {
        PyErr_SetString(PyExc_SystemError, "type has no __subclasscheck__");
        return false;
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyType_Type)));
    if (!bases) return false;
    Ref type = vo::type_from_spec(module, &factory_spec, bases.get());
    if (!type || !vo::document_slot(type.type_ptr(), "__call__", factory_call_doc) ||
        !vo::arrange_namespace(type.type_ptr(), {"__module__", "__doc__", "__call__"}))
        return false;
    state.factory.set(type);
    if (!vo::body_bind(module, "MetaClassFactory", type)) return false;
    return state.factory_bound.init({{PyModule_GetDict(module), state.s_factory, type.get()}});
}

constexpr char module_doc[] =
    "Class-switching metaclass\n"
    "\n"
    "MetaClassFactory lets a call to a class produce an instance of one of its\n"
    "subclasses, named by the keyword argument `class`.";

}  // namespace
}  // namespace factory

VO_DEFINE_MODULE(factory, factory::module_doc, factory::module_body)
