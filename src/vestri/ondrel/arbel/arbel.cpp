// vestri.ondrel.arbel: a named node that prints its subtree like `tree`.
//
// `str(node)` is defined level by level: a node's text is its name followed,
// line by line, by the text of each child, whose first line is marked "|-- "
// (or "`-- " for the last child) and whose further lines are indented by
// "|   " (or four spaces).  Done literally, every line is copied once more at
// every level above it.  Instead the whole tree is written in one pass into
// one text builder: the walk keeps the indentation of the current depth,
// `head` ("\n" and the ancestors' columns), and writes it once per line, so
// the cost is linear in the size of the output.  The walk is a loop over an
// explicit stack, not C recursion, so deep trees cannot exhaust the C stack;
// still, each open level counts against the interpreter's recursion limits
// as a nested str() call would, so that a tree deeper than they allow (a
// chain of 100,000 nodes, a node among its own descendants) raises
// RecursionError, as the level-by-level definition does.
//
// A child is written inline when its class uses Arbel's own `__str__`; any
// other child (a subclass that overrides `__str__`, a plain object) is
// rendered with its own `str()` and its lines are indented like the rest.
//
// The level-by-level definition reads `self.children[:-1]`, a copy, and then
// `self.children[-1]`.  Copying the children of every node would cost an
// allocation per node, so a frame reads the live list while no Python code
// can run; before anything that could run Python code (see `touch`), every
// open frame takes its copy.  Reading `name` and `children` of a node counts
// as running no Python code only when that is certain (see `kind_of_new`
// and `attribute_lookup_runs_no_code`): a class namespace or an instance dict
// that holds a key of a str subclass runs its `__eq__` during the lookup,
// and a node read under that suspicion is read as the definition reads it,
// `children` once more for the slice and once more for the last child.
//
// A name that is not text fails with the interpreter's TypeError once the
// first child is rendered, where the definition appends to it; nothing is
// ever appended to it (a list used as a name would be extended in place).
// A failure shows one traceback entry per str() call the walk stands for.
//
// The class is made by calling `type` as a class statement would, so
// instances have the ordinary `__dict__` (holding `name` and `children`),
// `__weakref__` and collector support, and pickle and copy like any Python
// object; the methods are installed on it afterwards.
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "common/args.hpp"
#include "common/classdef.hpp"
#include "common/compat.hpp"
#include "common/errors.hpp"
#include "common/guard.hpp"
#include "common/kept.hpp"
#include "common/module.hpp"
#include "common/text.hpp"
#include "common/vector.hpp"

namespace arbel {
namespace {

using vo::Ref;

// What the module keeps, in static storage and never released: a release
// after the interpreter has finalized would touch freed memory.
struct ArbelState {
    // Interned names (borrowed: interned for the process).
    PyObject* name;
    PyObject* children;
    PyObject* str;
    PyObject* append;
    PyObject* newline;
    // Strong: what the walk compares and reads with.
    vo::Kept arbel_str;     // Arbel.__str__ as installed; a class whose lookup finds it renders inline
    vo::Kept all_but_last;  // slice(None, -1)
    vo::Kept minus_one;     // -1
    // Inline nodes' attributes read where the instance keeps them.
    vo::compat::InlineAttr name_attr, children_attr;
};
static_assert(std::is_trivially_destructible_v<ArbelState>);
ArbelState state;

constexpr char kMarkFirst[] = "|-- ";
constexpr char kMarkLast[] = "`-- ";
constexpr char kIndentFirst[] = "|   ";
constexpr char kIndentLast[] = "    ";
constexpr Py_ssize_t kMarkWidth = 4;
constexpr char kWhere[] = " while getting the str of an object";

enum class NodeKind {
    Inline,   // Arbel's __str__, attributes read without running Python code
              // (when the instance's own attributes allow it too)
    Watched,  // Arbel's __str__, but reading name or children may run Python code
    Foreign,  // rendered with its own str()
    Error,    // deciding failed (an exception is set)
};

// What starts a line at the current depth: "\n" and one column of four
// characters per open level, in one buffer that only grows.
class Head {
public:
    static constexpr size_t kWidth = 4;  // one column, as wide as a mark

    Head() noexcept { local_[0] = '\n'; }
    Head(const Head&) = delete;
    Head& operator=(const Head&) = delete;

    const char* data() const noexcept { return data_; }
    Py_ssize_t size() const noexcept { return static_cast<Py_ssize_t>(size_); }
    bool push(const char* columns) noexcept {
        if (VO_UNLIKELY(size_ + kWidth > capacity_) && !grow()) return false;
        std::memcpy(data_ + size_, columns, kWidth);
        size_ += kWidth;
        return true;
    }
    void replace_last(const char* columns) noexcept { std::memcpy(data_ + size_ - kWidth, columns, kWidth); }
    void pop() noexcept { size_ -= kWidth; }

private:
    bool grow() noexcept {
        std::vector<char> bigger;
        if (!vo::resize(bigger, capacity_ * 2)) return false;
        std::memcpy(bigger.data(), data_, size_);
        heap_.swap(bigger);
        data_ = heap_.data();
        capacity_ = heap_.size();
        return true;
    }

    char local_[256];
    std::vector<char> heap_;
    char* data_ = local_;
    size_t capacity_ = sizeof local_;
    size_t size_ = 1;
};

// One node whose children are being written.
struct Frame {
    Ref node;
    Ref children;  // node.children as read when the node was entered
    // The children before the last are read from `items` (a list or tuple)
    // at [next, stop), or, for other sequences, from `iter`.
    Ref items;
    Ref iter;
    Py_ssize_t next = 0;
    Py_ssize_t stop = 0;
    bool live = false;      // items is the node's own list, which Python code could change
    bool touched = false;   // Python code may have run since the node was entered
    bool watched = false;   // reading `children` may run Python code: read it again for the last child
    bool bad_name = false;  // the node's name is no text (bad_names_.back() holds it)
    bool last_done = false;
};

// Re-entrancy: Python code runs in str() of foreign children, attribute
// reads of watched nodes, and truth tests, slicing and iteration of children
// that are neither lists nor tuples.  `touch` runs before each: every open
// frame then holds its own copy of the children it has yet to visit and
// re-reads `children` for the last one.  Releasing a reference can only run a
// finalizer for what such code detached, after the frames were touched.
// Every node, container and child in use is held by a Ref, and indexes into
// live lists are checked, whatever a finalizer run by the collector does.
class Walk {
public:
    Walk() noexcept = default;
    ~Walk();
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;
    Ref render(PyObject* root) noexcept;
    size_t nested_calls() const noexcept;

private:
    enum class Opened { Error, Leaf, Frame };
    struct Node {
        Ref name;
        Ref children;
        int truth = 0;
        bool watched = false;  // read with Python code possibly running
    };
    // The name of a frame's node that is no text; the deepest such frame's
    // is last (a deeper one fails first, so it is always the top one's).
    struct BadName {
        Ref name;
        bool started = false;  // its first child is being written
    };
    // The class kind_of saw last, held so that its address cannot be taken
    // by another class, with its version tag then (any change to the class
    // or its bases changes the tag, so Python code run since cannot make the
    // kind stale).
    struct SeenType {
        Ref type;
        unsigned int tag = 0;
        NodeKind kind = NodeKind::Foreign;
    };

    bool push(Frame&& frame) noexcept;
    void pop() noexcept;
    bool touch() noexcept;
    NodeKind kind_of(PyObject* obj) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        if (VO_LIKELY(seen_.type.get() == reinterpret_cast<PyObject*>(type) &&
                      vo::compat::current_type_version(type) == seen_.tag))
            return seen_.kind;
        return kind_of_new(obj);
    }
    NodeKind kind_of_new(PyObject* obj) noexcept;
    NodeKind kind_of_node(PyObject* obj) noexcept;
    [[gnu::always_inline]] bool read(PyObject* node, NodeKind kind, Node& into) noexcept;
    [[gnu::always_inline]] Opened open(PyObject* node, Node& read, bool root) noexcept;
    [[gnu::noinline]] bool defer_bad_name(Ref name) noexcept;
    bool write_child(PyObject* child, bool last) noexcept;
    bool next_child(Frame& frame, Ref& child) noexcept;
    Ref last_child(Frame& frame) noexcept;
    [[gnu::always_inline]] bool write_lines(PyObject* text) noexcept;
    void outdent() noexcept { head_.pop(); }
    bool write_head() noexcept { return out_.append_ascii(head_.data(), head_.size()); }

    vo::TextBuilder out_;
    Head head_;
    std::vector<Frame> frames_;
    size_t untouched_ = 0;  // frames_[untouched_:] have not been touched
    SeenType seen_;
    std::vector<BadName> bad_names_;
    Py_ssize_t depth_limit_ = 0;
    bool failed_in_child_ = false;  // the error came from inside a child's own __str__
};

// Each open frame counts as one level of recursion against the interpreter's
// own limits as well, as a level of nested str() calls would.
bool Walk::push(Frame&& frame) noexcept {
    if (!vo::enter_recursion(kWhere)) return false;
    if (vo::push(frames_, std::move(frame))) return true;
    Py_LeaveRecursiveCall();
    return false;
}

void Walk::pop() noexcept {
    frames_.pop_back();
    Py_LeaveRecursiveCall();
    if (untouched_ > frames_.size()) untouched_ = frames_.size();
}

Walk::~Walk() {
    while (!frames_.empty()) pop();
}

bool Walk::touch() noexcept {
    for (size_t i = untouched_; i < frames_.size(); ++i) {
        Frame& frame = frames_[i];
        if (frame.live && frame.next < frame.stop) {
            Py_ssize_t size = PyList_GET_SIZE(frame.items.get());
            Ref copy =
                Ref::steal(PyList_GetSlice(frame.items.get(), frame.next, frame.stop < size ? frame.stop : size));
            if (!copy) return false;
            frame.stop = PyList_GET_SIZE(copy.get());
            frame.next = 0;
            frame.items = std::move(copy);
        }
        frame.live = false;
        frame.touched = true;
    }
    untouched_ = frames_.size();
    return true;
}

NodeKind Walk::kind_of_new(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    Ref held = Ref::borrow(type);
    // The tag before the lookups: a change they make shows as a new tag.
    unsigned int tag = vo::compat::type_version(type);
    bool suspicious = !vo::compat::mro_lookup_runs_no_code(type);
    if (suspicious && !touch()) return NodeKind::Error;
    NodeKind kind = NodeKind::Foreign;
    if (vo::compat::type_lookup(type, state.str) == state.arbel_str.get()) {
        bool plain = !suspicious && (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) &&
                     type->tp_getattro == PyObject_GenericGetAttr && !vo::compat::type_lookup(type, state.name) &&
                     !vo::compat::type_lookup(type, state.children);
        kind = plain ? NodeKind::Inline : NodeKind::Watched;
    }
    // Lookups that may have run code decide for this node only; so does a
    // class without a version tag.
    if (suspicious || !tag) return kind;
    // Releasing the class held before may free it (Python code detached it
    // from everything else), which runs code: the frames take their copies.
    if (seen_.type && vo::compat::only_reference(seen_.type.get()) && !touch()) return NodeKind::Error;
    seen_.type = std::move(held);
    seen_.tag = tag;
    seen_.kind = kind;
    return kind;
}

// Whether looking an exact str name up among the attributes of `obj`
// compares exact str keys only, and so runs no Python code: the attributes
// are in the embedded values, or in a dictionary whose keys are all exact
// str (split over the class's shared keys, or a copied or unpickled
// instance's, made by updating an empty one).
inline bool attribute_lookup_runs_no_code(PyObject* obj) noexcept {
    PyObject* dict = vo::compat::materialized_dict(obj);
    return !dict || vo::compat::dict_keys_exact_str(dict);
}

// The kind for reading this very node: an Inline class's instance whose
// attributes may include a key of a str subclass is read as Watched.
inline NodeKind Walk::kind_of_node(PyObject* obj) noexcept {
    NodeKind kind = kind_of(obj);
    if (kind == NodeKind::Inline && !attribute_lookup_runs_no_code(obj)) return NodeKind::Watched;
    return kind;
}

// Reads the two attributes of `node` and tests its children, in the order
// the level-by-level definition does.
inline bool Walk::read(PyObject* node, NodeKind kind, Node& into) noexcept {
    into.watched = kind != NodeKind::Inline;
    if (into.watched && !touch()) return false;
    // An inline node's attributes are read where the instance keeps them.
    if (into.watched) {
        into.name = Ref::steal(PyObject_GetAttr(node, state.name));
        if (!into.name) return false;
        into.children = Ref::steal(PyObject_GetAttr(node, state.children));
    } else {
        into.name = state.name_attr.get(node);
        if (!into.name) return false;
        into.children = state.children_attr.get(node);
    }
    if (!into.children) return false;
    PyObject* kids = into.children.get();
    if (PyList_CheckExact(kids) || PyTuple_CheckExact(kids)) {
        into.truth = Py_SIZE(kids) > 0;
        return true;
    }
    if (!touch()) return false;
    into.truth = PyObject_IsTrue(kids);
    return into.truth >= 0;
}

// `text += "\n" + ...` where the name is no text: the error the definition
// meets once the first child's text is there.
void refuse_name(PyObject* name) noexcept {
    // The interpreter's own error where asking for it changes nothing (a
    // built-in type without in-place addition); a list would take the text
    // in, and a class of the caller's could do anything: those are refused
    // without touching the name.
    PyTypeObject* type = Py_TYPE(name);
    bool in_place = (type->tp_as_number && type->tp_as_number->nb_inplace_add) ||
                    (type->tp_as_sequence && type->tp_as_sequence->sq_inplace_concat);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) && !in_place) {
        Ref sum = Ref::steal(PyNumber_InPlaceAdd(name, state.newline));
        if (!sum) return;
    }
    PyErr_Format(PyExc_TypeError, "unsupported operand type(s) for +=: '%.100s' and 'str'", type->tp_name);
}

// Text is appended to the name once the first child is rendered; a name
// that is no text fails then.  The frame just pushed is the node's.
bool Walk::defer_bad_name(Ref name) noexcept {
    if (!vo::push(bad_names_, std::move(name))) return false;
    frames_.back().bad_name = true;
    return true;
}

// Writes the name of `node`; a node with children gets a frame.
inline Walk::Opened Walk::open(PyObject* node, Node& read, bool root) noexcept {
    bool text = PyUnicode_Check(read.name.get());
    if (VO_LIKELY(text)) {
        // The root's own lines are not indented.
        if (!(root ? out_.append(read.name.get()) : write_lines(read.name.get()))) return Opened::Error;
        // Released before a frame is pushed: code run by the reads may have
        // left this the last reference (the frames are touched already).
        if (VO_UNLIKELY(read.watched)) read.name.reset();
    } else if (!read.truth) {
        // A childless node's str() is its name as it is; the interpreter then
        // refuses anything but text.
        PyErr_Format(PyExc_TypeError, "__str__ returned non-string (type %.200s)", Py_TYPE(read.name.get())->tp_name);
        return Opened::Error;
    }
    if (!read.truth) return Opened::Leaf;

    if (static_cast<Py_ssize_t>(frames_.size()) >= depth_limit_) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kWhere);
        return Opened::Error;
    }
    Frame frame;
    frame.node = Ref::borrow(node);
    // `self.children[:-1]` reads the attribute again; only a read that may
    // run Python code can give anything else than the first one.
    if (VO_UNLIKELY(read.watched)) {
        frame.watched = true;
        read.children = Ref::steal(PyObject_GetAttr(node, state.children));
        if (!read.children) return Opened::Error;
    }
    PyObject* kids = read.children.get();
    if (PyList_CheckExact(kids) || PyTuple_CheckExact(kids)) {
        frame.items = read.children;
        frame.stop = Py_SIZE(kids) - 1;
        frame.live = PyList_CheckExact(kids);
    } else {
        // Python code ran in the truth test; the frame starts touched.
        Ref leading = Ref::steal(PyObject_GetItem(kids, state.all_but_last.get()));
        if (!leading) return Opened::Error;
        frame.iter = Ref::steal(PyObject_GetIter(leading.get()));
        if (!frame.iter) return Opened::Error;
        frame.touched = true;
    }
    frame.children = std::move(read.children);
    if (!push(std::move(frame))) return Opened::Error;
    if (VO_UNLIKELY(!text) && !defer_bad_name(std::move(read.name))) return Opened::Error;
    if (frames_.back().touched && untouched_ == frames_.size() - 1) untouched_ = frames_.size();
    return Opened::Frame;
}

// The next of the children before the last; false with no exception at their end.
bool Walk::next_child(Frame& frame, Ref& child) noexcept {
    if (frame.iter) {
        if (!touch()) return false;
        child = Ref::steal(PyIter_Next(frame.iter.get()));
        return bool(child);
    }
    if (frame.next >= frame.stop) return false;
    PyObject* items = frame.items.get();
    // A live list has not changed since the frame read its length; the check
    // only keeps the index in bounds whatever happens.
    if (PyList_Check(items)) {
        if (frame.next >= PyList_GET_SIZE(items)) return false;
        child = Ref::borrow(PyList_GET_ITEM(items, frame.next));
    } else {
        child = Ref::borrow(PyTuple_GET_ITEM(items, frame.next));
    }
    ++frame.next;
    return true;
}

Ref Walk::last_child(Frame& frame) noexcept {
    PyObject* kids = frame.children.get();
    // Untouched, nothing could have changed node.children or the sequence it
    // holds (the size check only keeps the index in bounds whatever happens).
    if (!frame.touched && !frame.watched && Py_SIZE(kids) > 0)
        return Ref::borrow(PyList_CheckExact(kids) ? PyList_GET_ITEM(kids, Py_SIZE(kids) - 1)
                                                   : PyTuple_GET_ITEM(kids, Py_SIZE(kids) - 1));
    if (!touch()) return nullptr;
    Ref children = Ref::steal(PyObject_GetAttr(frame.node.get(), state.children));
    if (!children) return nullptr;
    return Ref::steal(PyObject_GetItem(children.get(), state.minus_one.get()));
}

// Writes `text`, starting each of its further lines with `head_`.
inline bool Walk::write_lines(PyObject* text) noexcept {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text), start = 0;
    for (;;) {
        Py_ssize_t newline = vo::find_char(text, '\n', start, length);
        if (newline < 0) return out_.append(text, start, length);
        if (!out_.append(text, start, newline) || !write_head()) return false;
        start = newline + 1;
    }
}

// Writes a child of the node on top of the stack, opening a frame for it if
// it is an inline node with children of its own.
bool Walk::write_child(PyObject* child, bool last) noexcept {
    // The head and the child's mark start its first line in one write; the
    // mark then becomes the column that starts its further lines.
    if (!head_.push(last ? kMarkLast : kMarkFirst) || !write_head()) return false;
    head_.replace_last(last ? kIndentLast : kIndentFirst);
    NodeKind kind = kind_of_node(child);
    if (kind == NodeKind::Error) return false;
    if (kind == NodeKind::Foreign) {
        if (!touch()) return false;
        Ref text = Ref::steal(PyObject_Str(child));
        if (!text || !write_lines(text.get())) return false;
        outdent();
        return true;
    }
    // A failure from here on is one inside the child's own __str__, but for
    // a childless node's name that is no text: str() refuses that after the
    // child's __str__ has returned.
    Node node;
    if (!read(child, kind, node)) {
        failed_in_child_ = true;
        return false;
    }
    switch (open(child, node, false)) {
        case Opened::Error:
            failed_in_child_ = node.truth != 0;
            return false;
        case Opened::Leaf:
            outdent();
            return true;
        case Opened::Frame:
            return true;  // outdented when its frame closes
    }
    return false;
}

Ref Walk::render(PyObject* root) noexcept {
    depth_limit_ = Py_GetRecursionLimit();
    // A root whose class overrides __str__ (and calls this one) is read as
    // one whose attributes may run Python code.
    NodeKind kind = kind_of_node(root);
    if (kind == NodeKind::Error) return nullptr;
    Node node;
    if (!read(root, kind == NodeKind::Inline ? kind : NodeKind::Watched, node)) return nullptr;
    // A childless root's str() is its name, whatever it is.
    if (!node.truth) return std::move(node.name);
    if (open(root, node, true) != Opened::Frame) return nullptr;

    while (!frames_.empty()) {
        Frame& frame = frames_.back();
        if (VO_UNLIKELY(frame.bad_name)) {
            // Back at this frame, its first child has been written.
            BadName& bad = bad_names_.back();
            if (bad.started) {
                refuse_name(bad.name.get());
                return nullptr;
            }
            bad.started = true;
        }
        Ref child;
        bool last = false;
        if (!frame.last_done) {
            if (!next_child(frame, child)) {
                if (PyErr_Occurred()) return nullptr;
                frame.last_done = last = true;
                child = last_child(frame);
                if (!child) return nullptr;
            }
        }
        if (!child) {
            pop();
            if (!frames_.empty()) outdent();
            continue;
        }
        // `frame` may move when a frame is pushed for the child.
        if (!write_child(child.get(), last)) return nullptr;
    }
    return out_.finish();
}

// The nested str() calls the walk stands for, open when it failed, below
// the one the caller's entry names: a traceback shows each of them.
size_t Walk::nested_calls() const noexcept {
    return (frames_.empty() ? 0 : frames_.size() - 1) + (failed_in_child_ ? 1 : 0);
}

// --- the class ----------------------------------------------------------------------------

vo::Signature<2> sig_init("Arbel.__init__", "self", {{"name"}, {"children", false, true}});
vo::Signature<1> sig_add_child("Arbel.add_child", "self", {{"item"}});
vo::Signature<0> sig_str("Arbel.__str__", "self");

PyObject* arbel_init(PyObject* self, PyObject* name, PyObject* children_arg) {
    VO_METHOD("Arbel.__init__");
    Ref children = Ref::borrow(children_arg ? children_arg : Py_None);
    // Any empty sequence (or None) becomes a new list of the node's own; a
    // non-empty one is kept as it is, so the caller's list is the node's.
    int truth = children.get() == Py_None ? 0 : PyObject_IsTrue(children.get());
    if (truth < 0) return VO_FAIL();
    if (!truth && !(children = Ref::steal(PyList_New(0)))) return VO_FAIL();
    if (PyObject_SetAttr(self, state.name, name) < 0) return VO_FAIL();
    if (PyObject_SetAttr(self, state.children, children.get()) < 0) return VO_FAIL();
    Py_RETURN_NONE;
}

PyObject* arbel_add_child(PyObject* self, PyObject* item) {
    VO_METHOD("Arbel.add_child");
    Ref children = Ref::steal(PyObject_GetAttr(self, state.children));
    if (!children) return VO_FAIL();
    // A list's append cannot be overridden; anything else is asked by name.
    if (PyList_CheckExact(children.get())) {
        if (PyList_Append(children.get(), item) < 0) return VO_FAIL();
        Py_RETURN_NONE;
    }
    Ref result = Ref::steal(PyObject_CallMethodOneArg(children.get(), state.append, item));
    if (!result) return VO_FAIL();
    Py_RETURN_NONE;
}

PyObject* arbel_str(PyObject* self) {
    VO_METHOD("Arbel.__str__");
    // Subclasses whose __str__ calls this one recurse through the interpreter.
    vo::RecursionGuard guard(kWhere);
    if (!guard.ok()) return VO_FAIL();
    Walk walk;
    Ref text = walk.render(self);
    if (!text) {
        for (size_t i = walk.nested_calls(); i > 0; --i) VO_TRACE_AS("Arbel.__str__");
        return VO_FAIL();
    }
    return text.release();
}

constexpr char arbel_doc[] =
    "Tree Tree Class\n"
    "\n"
    "A class to mimic the printing behavior of linux tree command.\n"
    "\n"
    "Example:\n"
    "    ```python\n"
    "    root = Arbel('grandmother')\n"
    "    daughter = Arbel('daughter', [Arbel('granddaughter_1'), Arbel('grandson_1')])\n"
    "    son = Arbel('son', [Arbel('granddaughter_2'), Arbel('grandson_2')])\n"
    "    son.add_child(Arbel('granddaughter_3', [Arbel('great_granddaughter_1'),\n"
    "                                            Arbel('great_grandson_1')]))\n"
    "    son.add_child(Arbel('grandson_3', [Arbel('great_granddaughter_2'),\n"
    "                                       Arbel('great_grandson_2')]))\n"
    "    root.add_child(daughter)\n"
    "    root.add_child(son)\n"
    "    print(str(root))\n"
    "    ```\n"
    "\n"
    "Output:\n"
    "    ```\n"
    "    grandmother\n"
    "    |-- daughter\n"
    "    |   |-- granddaughter_1\n"
    "    |   `-- grandson_1\n"
    "    `-- son\n"
    "        |-- granddaughter_2\n"
    "        |-- grandson_2\n"
    "        |-- granddaughter_3\n"
    "        |   |-- great_granddaughter_1\n"
    "        |   `-- great_grandson_1\n"
    "        `-- grandson_3\n"
    "            |-- great_granddaughter_2\n"
    "            `-- great_grandson_2\n"
    "    ```";

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef arbel_methods[] = {{"__init__", VO_CFUNC((vo::method<sig_init, arbel_init>)), kFast,
                                sig_init.doc("Arbel class __init__\n"
                                             "\n"
                                             "Args:\n"
                                             "    name (str): name of the node\n"
                                             "    children (list): list of children nodes")},
                               {"add_child", VO_CFUNC((vo::method<sig_add_child, arbel_add_child>)), kFast,
                                sig_add_child.doc("Add children\n"
                                                  "\n"
                                                  "Adds a child node to this Arbel node.\n"
                                                  "\n"
                                                  "Args:\n"
                                                  "    item (Arbel): the child node to add")},
                               {"__str__", VO_CFUNC((vo::method<sig_str, arbel_str>)), kFast,
                                sig_str.doc("String formatter\n"
                                            "\n"
                                            "Returns:\n"
                                            "    str: the Arbel tree formatted as a string")},
                               {nullptr, nullptr, 0, nullptr}};

bool module_body(PyObject* module) {
    ArbelState& st = state;
    if (!vo::intern_all({{&st.name, "name"},
                         {&st.children, "children"},
                         {&st.str, "__str__"},
                         {&st.append, "append"},
                         {&st.newline, "\n"}}))
        return false;
    st.name_attr = vo::compat::InlineAttr(st.name);
    st.children_attr = vo::compat::InlineAttr(st.children);
    if (!st.minus_one.set(Ref::steal(PyLong_FromLong(-1))) ||
        !st.all_but_last.set(Ref::steal(PySlice_New(nullptr, st.minus_one.get(), nullptr))))
        return false;
    // As a class statement makes it: instances get the usual __dict__ and
    // __weakref__ and collector support.
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!bases) return false;
    Ref cls = vo::class_from_metaclass(module, "Arbel", bases.get(), arbel_doc);
    if (!cls || !vo::install_methods(module, cls.get(), arbel_methods)) return false;
    if (!st.arbel_str.set(vo::own_attribute(cls.get(), "__str__"))) return false;
    return vo::body_bind(module, "Arbel", std::move(cls));
}

}  // namespace
}  // namespace arbel

// The module has no docstring of its own.
VO_DEFINE_MODULE(arbel, nullptr, arbel::module_body)
