// Flattening: what `Trellan.__flatten__` returns, and the walk behind it.
//
// The flattening is defined level by level: each level is a generator that
// yields its leaves and re-yields every item of the generator that
// `Trellan.__flatten__` makes for a nested level.  Here one object walks the
// whole nesting with an explicit stack of levels instead: a pair is handed
// over once, not once per level above it, and no level costs a generator.
// The order of effects is the level-by-level one: a level's path check, then
// its kind, then per child its kind, its truth, and its path.  Each descent
// checks that the module's `Trellan.__flatten__` is still this one; where it
// is not, the object that the replacement returns is iterated in place of
// the level the walk would have made.
//
// Depth is bounded by the interpreter's recursion limit, as the nested
// generators would be.  A path of depth d costs O(d) to build, so a walk
// through a 100,000-deep nesting would otherwise take quadratic time and
// memory before producing its one pair.
#include <new>
#include <vector>

#include "common/compat.hpp"
#include "common/dictwalk.hpp"
#include "common/errors.hpp"
#include "common/lifecycle.hpp"
#include "common/module.hpp"
#include "common/generator.hpp"
#include "common/guard.hpp"
#include "common/vector.hpp"
#include "trellan.hpp"

namespace trellan {
namespace {

using vo::Ref;

enum class Level : unsigned char {
    Start,       // nothing done yet: the path and the kind are checked first
    DictItems,   // a dict whose items() is dict's own, walked in place
    ItemsIter,   // any other mapping: the iterator of its items()
    ListItems,   // an exact list, by position
    TupleItems,  // an exact tuple, by position
    SeqIter,     // any other list or tuple: its iterator
    Delegate,    // what a replaced Trellan.__flatten__ returned
    Yielded,     // no container: the input was the level's one item
};

struct Frame {
    Level level = Level::Start;
    bool tuple_path = false;  // `path` is an exact tuple: children's paths are built directly
    Ref container;            // the level's input (before Start: `indict` as given)
    Ref path;                 // the level's path (before Start: `path` as given, NULL for None)
    Ref iter;                 // ItemsIter, SeqIter, Delegate
    // DictItems: the walk over `container`.  The walk holds the dict as the
    // dict's iterator would and drops it at its end or when the keys changed;
    // `container` holds it as the level's own input until the level goes, so
    // the walk's release never frees the dict mid-walk.
    vo::DictWalk items;
    Py_ssize_t pos = 0;  // sequences: the next index
};

enum class Shape { Error, Other, Mapping, Sequence };

bool is_mapping_level(Level level) noexcept { return level == Level::DictItems || level == Level::ItemsIter; }

// The truth of a value already known to be a mapping, list or tuple.
int truth(PyObject* value, Env& env) noexcept {
    if (PyDict_CheckExact(value)) return PyDict_GET_SIZE(value) != 0;
    if (PyList_CheckExact(value)) return PyList_GET_SIZE(value) != 0;
    if (PyTuple_CheckExact(value)) return PyTuple_GET_SIZE(value) != 0;
    int r = PyObject_IsTrue(value);
    env.user_code();
    return r;
}

Shape classify(PyObject* value, Env& env) noexcept {
    int r = is_mutable_mapping(value, env);
    if (r) return r < 0 ? Shape::Error : Shape::Mapping;
    if (PyList_Check(value) || PyTuple_Check(value)) return Shape::Sequence;
    if (is_plain_builtin(Py_TYPE(value))) return Shape::Other;
    // isinstance() also believes a `__class__` that claims list or tuple.
    r = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyList_Type));
    if (!r) r = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyTuple_Type));
    env.user_code();
    if (r) return r < 0 ? Shape::Error : Shape::Sequence;
    return Shape::Other;
}

class Walker {
public:
    bool start(PyObject* indict, PyObject* path) noexcept {
        Frame frame;
        frame.container = Ref::borrow(indict);
        if (path != Py_None) frame.path = Ref::borrow(path);
        return push(std::move(frame));
    }

    // The next item (new reference), or NULL: exhausted, or failed with an exception set.
    PyObject* next() noexcept;

    int visit(visitproc visit, void* arg) noexcept {
        for (Frame& frame : frames_) {
            Py_VISIT(frame.container.get());
            Py_VISIT(frame.path.get());
            Py_VISIT(frame.iter.get());
            if (int r = frame.items.visit(visit, arg)) return r;
        }
        return 0;
    }

    // The levels are moved out before they are released: releasing them can
    // run finalizers, which may look at this walker again (or the collector
    // may traverse it) and must find it empty, not half destroyed.
    void clear() noexcept {
        std::vector<Frame> old;
        old.swap(frames_);
    }

    // The levels the walk stands in, as nested generators would: a level
    // that delegates is the one around the iterator it delegates to.
    int levels() const noexcept {
        int n = 0;
        for (const Frame& frame : frames_) n += frame.level != Level::Delegate;
        return n > 0 ? n : 1;
    }
    // The iterator the innermost level delegates to (borrowed), or NULL.
    PyObject* delegate() const noexcept {
        return !frames_.empty() && frames_.back().level == Level::Delegate ? frames_.back().iter.get() : nullptr;
    }
    void end_delegation() noexcept {
        if (delegate()) pop();
    }

    Env env;

private:
    bool push(Frame&& frame) noexcept { return vo::push(frames_, std::move(frame)); }
    void pop() noexcept {
        Frame done = std::move(frames_.back());
        frames_.pop_back();
    }

    int begin(size_t i) noexcept;
    int advance(size_t i, Ref& key, Ref& value, Py_ssize_t& index) noexcept;
    int child(size_t i, PyObject* key, Py_ssize_t index, PyObject* value, PyObject*& out) noexcept;
    Ref path_element(size_t i, PyObject* key, Py_ssize_t index) noexcept;
    Ref child_path(size_t i, PyObject* element) noexcept;

    std::vector<Frame> frames_;
};

// Step 1 and the level's kind.  1: the input is no container and is itself
// the item; 0: the level is set up; -1: error.
int Walker::begin(size_t i) noexcept {
    Frame& frame = frames_[i];
    PyObject* path = frame.path.get();
    if (!path || PyTuple_CheckExact(path)) {
        // None and () both become (); a non-empty tuple's [:] is itself.
        if (!path) frame.path = Ref::steal(PyTuple_New(0));
        if (!frame.path) return -1;
        frame.tuple_path = true;
    } else {
        Ref hold = frame.path;
        int t = PyObject_IsTrue(path);
        env.user_code();
        if (t < 0) return -1;
        Ref replaced = t ? Ref::steal(PyObject_GetItem(path, state.full_slice.get())) : Ref::steal(PyTuple_New(0));
        if (!replaced) return -1;
        frames_[i].tuple_path = PyTuple_CheckExact(replaced.get());
        frames_[i].path = std::move(replaced);
    }

    Ref container = frames_[i].container;
    PyObject* c = container.get();
    switch (classify(c, env)) {
        case Shape::Error:
            return -1;
        case Shape::Other:
            return 1;
        case Shape::Mapping: {
            bool own_items = PyDict_CheckExact(c);
            Ref items;
            if (!own_items) {
                items = Ref::steal(PyObject_GetAttr(c, state.s_items));
                env.user_code();
                if (!items) return -1;
                // dict.items itself, bound to `c`: the method's definition
                // is that of the descriptor the state holds.
                own_items = PyDict_Check(c) && vo::compat::is_bound_method_of(items.get(), state.dict_items.get(), c);
            }
            if (own_items) {
                frames_[i].level = Level::DictItems;
                frames_[i].items.start(c);
                return 0;
            }
            Ref view = Ref::steal(PyObject_CallNoArgs(items.get()));
            if (!view) return -1;
            Ref it = Ref::steal(PyObject_GetIter(view.get()));
            env.user_code();
            if (!it) return -1;
            frames_[i].iter = std::move(it);
            frames_[i].level = Level::ItemsIter;
            return 0;
        }
        case Shape::Sequence:
            if (PyList_CheckExact(c)) {
                frames_[i].level = Level::ListItems;
            } else if (PyTuple_CheckExact(c)) {
                frames_[i].level = Level::TupleItems;
            } else {
                Ref it = Ref::steal(PyObject_GetIter(c));
                env.user_code();
                if (!it) return -1;
                frames_[i].iter = std::move(it);
                frames_[i].level = Level::SeqIter;
            }
            return 0;
    }
    return -1;
}

// The level's next child.  1: got one; 0: the level is done; -1: error.
int Walker::advance(size_t i, Ref& key, Ref& value, Py_ssize_t& index) noexcept {
    Frame& frame = frames_[i];
    PyObject* c = frame.container.get();
    switch (frame.level) {
        case Level::DictItems:
            // An error ends the flattening, so the walk is not stepped past
            // its first error or its end.
            switch (frame.items.next(key, value)) {
                case vo::Step::Item:
                    return 1;
                case vo::Step::End:
                    return 0;
                case vo::Step::Error:
                    return -1;
            }
            break;
        case Level::ItemsIter: {
            Ref item = Ref::steal(PyIter_Next(frame.iter.get()));
            env.user_code();
            if (!item) return PyErr_Occurred() ? -1 : 0;
            // Unpacked into locals: `key` and `value` stay unseen by calls
            // the compiler cannot look into, so it knows them empty on the
            // dict level's path, the hot one.
            Ref k, v;
            bool ok = unpack(item.get(), k, v);
            key = std::move(k);
            value = std::move(v);
            return ok ? 1 : -1;
        }
        case Level::ListItems:
            // Read the size each time, as the list's iterator does.
            if (frame.pos >= PyList_GET_SIZE(c)) return 0;
            value = Ref::borrow(PyList_GET_ITEM(c, frame.pos));
            index = frame.pos++;
            return 1;
        case Level::TupleItems:
            if (frame.pos >= PyTuple_GET_SIZE(c)) return 0;
            value = Ref::borrow(PyTuple_GET_ITEM(c, frame.pos));
            index = frame.pos++;
            return 1;
        case Level::SeqIter: {
            Ref hold = frame.iter;
            value = Ref::steal(PyIter_Next(hold.get()));
            env.user_code();
            if (!value) return PyErr_Occurred() ? -1 : 0;
            index = frames_[i].pos++;
            return 1;
        }
        case Level::Yielded:
            return 0;
        case Level::Start:
        case Level::Delegate:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "flattening level in an unexpected state");
    return -1;
}

// The key of a mapping level, or a new IndexMarker for a sequence level.
Ref Walker::path_element(size_t i, PyObject* key, Py_ssize_t index) noexcept {
    if (is_mapping_level(frames_[i].level)) return Ref::borrow(key);
    Ref container = frames_[i].container;
    return make_index_marker(container.get(), index, env);
}

// `path + (element,)`.
Ref Walker::child_path(size_t i, PyObject* element) noexcept {
    Frame& frame = frames_[i];
    if (VO_LIKELY(frame.tuple_path)) {
        PyObject* path = frame.path.get();
        Py_ssize_t n = PyTuple_GET_SIZE(path);
        Ref result = Ref::steal(PyTuple_New(n + 1));
        if (!result) return nullptr;
        for (Py_ssize_t j = 0; j < n; ++j) PyTuple_SET_ITEM(result.get(), j, Py_NewRef(PyTuple_GET_ITEM(path, j)));
        PyTuple_SET_ITEM(result.get(), n, Py_NewRef(element));
        // What the collector would find at its first look (a path of keys
        // holds no container), spared the look.
        if (!PyObject_GC_IsTracked(path) && is_atomic(element)) PyObject_GC_UnTrack(result.get());
        return result;
    }
    Ref path = frame.path;
    Ref single = Ref::steal(PyTuple_Pack(1, element));
    if (!single) return nullptr;
    Ref result = Ref::steal(PyNumber_Add(path.get(), single.get()));
    env.user_code();
    return result;
}

// One child: a nested level is pushed (0), a leaf becomes the item (1), or -1.
//
// Re-entrancy: classifying the value, its truth, the marker and the path can
// run user code, which may change the container (the next advance reports
// it, as the container's iterator would) but cannot touch the stack: a
// re-entrant next() is refused while the walk runs.  `value` and `key` are
// held by the caller.
int Walker::child(size_t i, PyObject* key, Py_ssize_t index, PyObject* value, PyObject*& out) noexcept {
    Shape shape = classify(value, env);
    if (shape == Shape::Error) return -1;
    bool nested = false;
    if (shape != Shape::Other) {
        int t = truth(value, env);
        if (t < 0) return -1;
        nested = t;
    }
    if (nested) {
        if (frames_.size() >= static_cast<size_t>(Py_GetRecursionLimit())) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while flattening");
            return -1;
        }
        Frame frame;
        if (state.names.holds() && flatten_is_ours()) {
            Ref element = path_element(i, key, index);
            if (!element) return -1;
            frame.path = child_path(i, element.get());
            if (!frame.path) return -1;
            frame.container = Ref::borrow(value);
        } else {
            // `Trellan.__flatten__(value, path + (element,))`, as the module holds it now.
            Ref cls = vo::global(state.s_trellan);
            if (!cls) return -1;
            Ref flatten = Ref::steal(PyObject_GetAttr(cls.get(), state.s_flatten));
            env.user_code();
            if (!flatten) return -1;
            Ref element = path_element(i, key, index);
            if (!element) return -1;
            Ref path = child_path(i, element.get());
            if (!path) return -1;
            PyObject* args[] = {value, path.get()};
            Ref result = Ref::steal(PyObject_Vectorcall(flatten.get(), args, 2, nullptr));
            if (!result) return -1;
            frame.iter = Ref::steal(PyObject_GetIter(result.get()));
            env.user_code();
            if (!frame.iter) return -1;
            frame.level = Level::Delegate;
        }
        return push(std::move(frame)) ? 0 : -1;
    }
    if (state.names.holds() && dict_item_holds()) {
        Ref element = path_element(i, key, index);
        if (!element) return -1;
        Ref path = child_path(i, element.get());
        if (!path) return -1;
        out = new_dict_item(path.get(), value).release();
        return out ? 1 : -1;
    }
    // `DictItem(path + (element,), value)`: the name is looked up first.
    Ref cls = vo::global(state.s_dict_item);
    if (!cls) return -1;
    Ref element = path_element(i, key, index);
    if (!element) return -1;
    Ref path = child_path(i, element.get());
    if (!path) return -1;
    PyObject* args[] = {path.get(), value};
    out = PyObject_Vectorcall(cls.get(), args, 2, nullptr);
    env.user_code();
    return out ? 1 : -1;
}

PyObject* Walker::next() noexcept {
    while (!frames_.empty()) {
        size_t i = frames_.size() - 1;
        switch (frames_[i].level) {
            case Level::Start: {
                int r = begin(i);
                if (r < 0) return nullptr;
                if (r > 0) {
                    // Not a container: the input itself is the one item.
                    frames_[i].level = Level::Yielded;
                    return Ref(frames_[i].container).release();
                }
                break;
            }
            case Level::Delegate: {
                Ref it = frames_[i].iter;
                PyObject* item;
                {
                    // A step of the delegate may be another walker's, whose own
                    // delegate is stepped from inside it: one C call per level,
                    // counted as nested generators' frames would be.
                    vo::RecursionGuard guard(" while flattening");
                    if (!guard.ok()) return nullptr;
                    item = PyIter_Next(it.get());
                }
                env.user_code();
                if (item) return item;
                if (PyErr_Occurred()) return nullptr;
                pop();
                break;
            }
            default: {
                Ref key, value;
                Py_ssize_t index = 0;
                int r = advance(i, key, value, index);
                if (r < 0) return nullptr;
                if (r == 0) {
                    pop();
                    break;
                }
                PyObject* out = nullptr;
                r = child(i, key.get(), index, value.get(), out);
                if (r < 0) return nullptr;
                if (r > 0) return out;
                break;
            }
        }
    }
    return nullptr;
}

// --- the flattener object -----------------------------------------------------------

struct FlattenerObject {
    PyObject_HEAD vo::gen::GenState state;
    Walker walker;
};

FlattenerObject* as_flattener(PyObject* self) noexcept { return reinterpret_cast<FlattenerObject*>(self); }

struct FlattenerImpl {
    static vo::gen::GenState& state(PyObject* self) noexcept { return as_flattener(self)->state; }
    static PyObject* step(PyObject* self) noexcept {
        Walker& walker = as_flattener(self)->walker;
        walker.env.user_code();  // the caller ran code since the last item
        return walker.next();
    }
    static void finish(PyObject* self) noexcept { as_flattener(self)->walker.clear(); }
    static int levels(PyObject* self) noexcept { return as_flattener(self)->walker.levels(); }
    static PyObject* delegate(PyObject* self) noexcept { return as_flattener(self)->walker.delegate(); }
    static void end_delegation(PyObject* self) noexcept { as_flattener(self)->walker.end_delegation(); }
    static void trace() noexcept { VO_TRACE_AS("Trellan.__flatten__"); }
    static constexpr const char* qualname = "Trellan.__flatten__";
};

using Protocol = vo::gen::Protocol<FlattenerImpl>;

struct FlattenerFields {
    static int visit(PyObject* self, visitproc visit, void* arg) noexcept {
        return as_flattener(self)->walker.visit(visit, arg);
    }
    static void clear(PyObject* self) noexcept { as_flattener(self)->walker.clear(); }
};

using Lifecycle = vo::lifecycle::Object<FlattenerFields>;

PyType_Slot flattener_slots[] = {VO_LIFECYCLE_SLOTS(Lifecycle),
                                 vo::slot(Py_tp_iter, PyObject_SelfIter),
                                 vo::slot(Py_tp_iternext, Protocol::iternext),
                                 vo::slot(Py_tp_repr, Protocol::repr),
                                 vo::slot(Py_tp_methods, Protocol::methods),
                                 vo::slot(Py_tp_getset, Protocol::getsets),
                                 {0, nullptr}};

PyType_Spec flattener_spec = {
    .name = "vestri.ondrel.trellan.flatten_generator",
    .basicsize = sizeof(FlattenerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = flattener_slots,
};

}  // namespace

vo::Ref make_flattener_type(PyObject* module) noexcept {
    return Ref::steal(PyType_FromModuleAndSpec(module, &flattener_spec, nullptr));
}

PyObject* new_flattener(PyObject* indict, PyObject* path) noexcept {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(state.flattener_type.get());
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    FlattenerObject* obj = as_flattener(self);
    obj->state = vo::gen::GenState::Created;
    new (&obj->walker) Walker();
    if (!obj->walker.start(indict, path)) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

bool flatten_into(PyObject* list, PyObject* indict) noexcept {
    Walker walker;
    if (!walker.start(indict, Py_None)) return false;
    bool ok = true;
    while (PyObject* item = walker.next()) {
        int rc = PyList_Append(list, item);
        Py_DECREF(item);
        if (rc < 0) {
            ok = false;
            break;
        }
    }
    if (ok && !PyErr_Occurred()) return true;
    int levels = walker.levels();
    {
        vo::ErrorAside aside;
        walker.clear();
    }
    // The error left the flattening itself, as it would leave its generators.
    if (ok) Protocol::leave(levels);
    return false;
}

vo::Ref read_flatten() noexcept {
    PyObject* descr = state.flatten.get();
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    if (!get) return Ref::borrow(descr);
    return Ref::steal(get(descr, nullptr, state.trellan.get()));
}

bool flatten_target_is_ours() noexcept {
    Ref target = read_flatten();
    if (!target) {
        // Not ours; reading the attribute on the slow path raises the error.
        PyErr_Clear();
        return false;
    }
    return target.get() == state.flatten_target.get();
}

}  // namespace trellan
