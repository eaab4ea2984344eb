"""Arbel: the tree printer, byte for byte against a plain Python twin (the registered calls: test_common.py)."""

import copy
import gc
import inspect
import pickle
import sys
import traceback
import weakref
from collections import UserList

import pytest
from hypothesis import example, given, strategies as st

from leakcheck import assert_no_growth
from hostile import ActingKey as Key
from outcomes import error_of
from vestri.ondrel.arbel import Arbel


class Twin:
    """The same class written plainly: every line re-prefixed at every level."""

    def __init__(self, name, children=None):
        if not children:
            children = []
        self.name = name
        self.children = children

    def add_child(self, item):
        self.children.append(item)

    def __str__(self):
        text = self.name
        if not self.children:
            return text
        for child in self.children[:-1]:
            text += "\n|-- " + "\n|   ".join(str(child).split("\n"))
        text += "\n`-- " + "\n    ".join(str(self.children[-1]).split("\n"))
        return text


def build(cls, shape):
    """A tree of `cls` nodes from nested (name, [children]) pairs; any other child is used as it is."""
    if isinstance(shape, tuple):
        return cls(shape[0], [build(cls, child) for child in shape[1]])
    return shape


def chain(depth, cls=Arbel, leaf="leaf"):
    node = cls(leaf)
    for i in range(depth):
        node = cls(f"n{i}", [node])
    return node


def same_text(a, b):
    # Equal text in the same (narrowest) storage: a wider form would compare unequal.
    assert type(a) is type(b) is str
    assert a == b and len(a) == len(b) and hash(a) == hash(b)


def Seq(*items):
    """Children held in a sequence that is neither a list nor a tuple."""
    return UserList(items)


class Bare(Arbel):
    """A node without children, and without a name unless one is given."""

    def __init__(self, name=None):
        if name is not None:
            self.name = name


Boxed = type("Boxed", (Arbel,), {"__str__": lambda self: "[" + Arbel.__str__(self) + "]"})
Broken = type("Broken", (), {"__str__": lambda self: {}["broken"]})
Plain = type("Plain", (Arbel,), {})
Label = type("Label", (str,), {})


def test_nodes_are_plain_objects_rendered_afresh_from_their_attributes():
    node = Arbel("x", ["y"])
    assert vars(node) == {"name": "x", "children": ["y"]} and weakref.ref(node)() is node
    assert str(node) == "x\n`-- y"
    node.name, node.children[0], node.extra = "z", "b", 1
    assert str(node) == "z\n`-- b" and node.extra == 1
    node.children = Seq()
    assert str(node) == "z"
    name = "leaf"
    assert Arbel.__str__(Arbel(name)) is name
    tree = Plain("r", [Plain("a", ["b"]), "c"])
    for clone in (pickle.loads(pickle.dumps(tree)), copy.deepcopy(tree), copy.copy(tree)):
        assert type(clone) is Plain and str(clone) == str(tree)


def test_docstring_example_prints_the_output_it_shows():
    doc = inspect.getdoc(Arbel)
    code = doc.split("```python\n", 1)[1].split("```", 1)[0]
    output = doc.split("Output:\n", 1)[1].split("```\n", 1)[1].split("```", 1)[0]
    printed = []
    exec(inspect.cleandoc(code), {"Arbel": Arbel, "print": printed.append})
    assert printed == [inspect.cleandoc(output)]
    lines = printed[0].splitlines()
    assert lines[:2] == ["grandmother", "|-- daughter"] and "`-- son" in lines
    assert max(len(line) - len(line.lstrip("|`- ")) for line in lines) == 12  # four levels


@pytest.mark.parametrize("children", [None, [], (), "", {}, 0, Seq()])
def test_empty_children_become_a_new_list(children):
    node, other = Arbel("x", children), Arbel("y", children)
    assert node.children == [] and type(node.children) is list
    assert node.children is not other.children and node.children is not children


def test_children_are_kept_by_reference_and_grown_through_their_append():
    kids = [Arbel("a")]
    node = Arbel(children=kids, name="x")
    node.add_child(item=Arbel("b"))
    kids.append("c")
    assert node.children is kids and str(node) == "x\n|-- a\n|-- b\n`-- c"
    seen = []
    Arbel("x", type("Recorder", (), {"append": lambda self, item: seen.append(item)})()).add_child(5)
    assert seen == [5] and str(Arbel("x", ("a", "b"))) == "x\n|-- a\n`-- b"


@pytest.mark.parametrize("shape, lines", [
    (("x", []), ["x"]),
    (("x", ["p\n", "r"]), ["x", "|-- p", "|   ", "`-- r"]),
    (("x", ["r", "p\n"]), ["x", "|-- r", "`-- p", "    "]),
    (("", [("", []), ""]), ["", "|-- ", "`-- "]),
    (("a", [("b", [("c", []), ("d", [])]), ("e", [("f", [])])]),
     ["a", "|-- b", "|   |-- c", "|   `-- d", "`-- e", "    `-- f"]),
    (("x\ny", [("m\nn", ["p"]), "q"]), ["x", "y", "|-- m", "|   n", "|   `-- p", "`-- q"]),
    ((Label("a\nb"), ["c"]), ["a", "b", "`-- c"]),  # a name of a str subclass renders its text
    (("r", [(Label("a\nb"), [])]), ["r", "`-- a", "    b"]),
])
def test_rendering(shape, lines):
    assert str(build(Arbel, shape)) == str(build(Twin, shape)) == "\n".join(lines)


names = st.text(st.characters(codec="utf-8"), max_size=6) | st.sampled_from(
    ["\n", "a\n", "\nb", "é\nx", "x\n😀", "a\né", "é\na", "Ω\nb", "😀\nΩ\né\na", "😀 astral"])
leaves = names | st.integers() | st.builds(lambda s: s.encode("utf-8", "surrogatepass"), names)
trees = st.recursive(
    st.tuples(names, st.just([])),
    lambda inner: st.tuples(names, st.lists(inner | leaves, max_size=4)),
    max_leaves=40,
)


@given(trees, st.booleans(), st.booleans())
@example(("😀\nΩ\né\na", ["x"]), False, False)
@example(("r", ["ascii", ("a\né", ["x"]), "Ω\nb"]), False, False)
@example(("r", [("é\na", [("x", [])]), "😀 astral"]), False, True)
def test_rendering_matches_the_plain_definition(shape, mixed, seq):
    # Output in its narrowest form for any text; with `mixed`, every other
    # level is a twin node, foreign to Arbel; with `seq`, children are held
    # in a sequence that is neither a list nor a tuple.
    def make(shape, depth=0):
        if not isinstance(shape, tuple):
            return shape
        cls = Twin if mixed and depth % 2 else Arbel
        kids = [make(child, depth + 1) for child in shape[1]]
        return cls(shape[0], Seq(*kids) if seq else kids)

    same_text(str(make(shape)), str(build(Twin, shape)))


LIST_NAME = list("list")  # appending text to a list would extend it in place
LIST_REFUSED = (TypeError, "unsupported operand type(s) for +=: 'list' and 'str'")
NO_TRUTH = type("NoTruth", (), {"__bool__": lambda self: 1 / 0})()


@pytest.mark.parametrize("call, error", [
    (lambda: str(Bare()), (AttributeError, "'Bare' object has no attribute 'name'")),
    (lambda: str(Arbel("r", [Bare("x")])), (AttributeError, "'Bare' object has no attribute 'children'")),
    (lambda: Bare("x").add_child(1), (AttributeError, "'Bare' object has no attribute 'children'")),
    (lambda: Arbel("x", ("a", "b")).add_child("c"), (AttributeError, "'tuple' object has no attribute 'append'")),
    (lambda: Arbel("x", NO_TRUTH), (ZeroDivisionError, "division by zero")),
    (lambda: str(Arbel(5)), (TypeError, "__str__ returned non-string (type int)")),
    (lambda: str(Arbel(LIST_NAME, ["c"])), LIST_REFUSED),
    (lambda: str(Arbel("r", [Arbel(LIST_NAME, ["c"])])), LIST_REFUSED),
])
def test_failing_calls_raise_these_exact_errors(call, error):
    assert error_of(call) == error and LIST_NAME == list("list")


def test_other_children_render_through_their_own_str_once_each():
    calls = []
    shown = type("Shown", (), {"__init__": lambda self, t: setattr(self, "t", t),
                               "__str__": lambda self: calls.append(self.t) or self.t})
    assert str(Arbel("x", [shown("a\nb"), 7, shown("c")])) == "x\n|-- a\n|   b\n|-- 7\n`-- c"
    assert calls == ["a\nb", "c"]


def failure_of(node):
    """The error str(node) raises, and how many __str__ calls its traceback shows."""
    with pytest.raises(Exception) as exc:
        str(node)
    tb, count = exc.value.__traceback__, 0
    while tb:
        count += tb.tb_frame.f_code.co_name in ("__str__", "vestri.ondrel.arbel.Arbel.__str__")
        tb = tb.tb_next
    traceback.clear_frames(exc.value.__traceback__)
    return type(exc.value), str(exc.value), count


@pytest.mark.parametrize("shape", [
    ("x", [("y", ["ok", Broken()])]),
    ("x", [("y", [(5, ["c"])])]),
    ("x", [("y", [(5, [])]), "z"]),
    ("x", ["a", ("y", [("z", [Bare()])])]),
    (None, [Bare()]),
    *[shape for name in [5, None, b"bytes", (1,), 1.5, {}]  # names that are no text
      for shape in [(name, []), (name, ["c"]), ("r", [(name, ["c"])]), ("r", [(name, [])]), (name, [Broken(), "c"])]],
])
def test_failures_match_the_plain_definition_down_to_each_str_call_in_the_traceback(shape):
    assert failure_of(build(Arbel, shape)) == failure_of(build(Twin, shape))


class Labelled(Arbel):
    name = property(lambda self: "L:" + self.__dict__["n"], lambda self, value: vars(self).__setitem__("n", value))


class Computed(Arbel):
    def __getattribute__(self, attr):
        value = object.__getattribute__(self, attr)
        return [Arbel(c) for c in value] if attr == "children" else value


@pytest.mark.parametrize("make, text", [
    (lambda: Plain("r", [Plain("a", ["b"]), Arbel("c")]), "r\n|-- a\n|   `-- b\n`-- c"),
    (lambda: Arbel("r", [Boxed("a", ["b"]), "c"]), "r\n|-- [a\n|   `-- b]\n`-- c"),
    (lambda: Boxed("solo"), "[solo]"),
    (lambda: Labelled("r", [Labelled("a"), Computed("c", ["d", "e"])]), "L:r\n|-- L:a\n`-- c\n    |-- d\n    `-- e"),
])
def test_subclasses_render_inline_or_through_their_own_str_and_attributes(make, text):
    assert str(make()) == text


@pytest.mark.parametrize("change, text", [
    (lambda node: setattr(node, "__dict__", {"children": node.children, "name": "d"}), "r\n`-- d\n    `-- b"),
    (lambda node: vars(node).__setitem__("name", "v"), "r\n`-- v\n    `-- b"),
    (lambda node: (delattr(node, "name"), setattr(node, "extra", 1), setattr(node, "name", "n")),
     "r\n`-- n\n    `-- b"),
    (lambda node: setattr(type(node), "children", property(lambda self: ["p"])), "r\n`-- a\n    `-- p"),
    (lambda node: setattr(type(node), "__str__", lambda self: "late"), "r\n`-- late"),
    (lambda node: delattr(node, "children"), AttributeError),
], ids=["new dict", "dict looked at", "deleted and set", "class property", "class __str__", "deleted"])
def test_attributes_and_str_are_read_wherever_they_are_held_now(change, text):
    cls = type("Sub", (Arbel,), {})
    child = cls("a", ["b"])
    node = Arbel("r", [child])
    assert str(node) == "r\n`-- a\n    `-- b"  # the class's layout learnt
    change(child)
    if text is AttributeError:
        assert error_of(lambda: str(node)) == (AttributeError, "'Sub' object has no attribute 'children'")
    else:
        assert str(node) == text


def test_a_class_changed_while_rendering_is_drawn_as_it_is_then():
    cls, key = type("Sub", (Arbel,), {}), Key("name")
    first = cls("a")
    vars(first)[key] = vars(first).pop("name")  # reading the name gives the class a __str__
    key.action = lambda: setattr(cls, "__str__", lambda self: "late")
    assert str(Arbel("r", [first, cls("c", ["d"])])) == "r\n|-- a\n`-- late"


class Meddler:
    """A child whose str() changes the tree: `action()` runs first, once."""

    def __init__(self, text, action):
        self.text, self.action = text, action

    def __str__(self):
        action, self.action = self.action, lambda: None
        action()
        return self.text


def meddled(cls, kind, via):
    """A tree whose child "m" runs the action `kind` once while it is rendered, through `via`."""
    kids, root, mid = [], cls("r", []), cls("mid", [])
    action = {
        "append": lambda: kids.append(cls("late")),
        "clear": kids.clear,
        "rebind": lambda: setattr(root, "children", [cls("new")]),
        "grandparent": lambda: (kids.insert(0, cls("front")), kids.pop()),
        "front": lambda: kids.insert(0, kids[0]),
        "rename": lambda: (setattr(root, "name", "R"), setattr(mid, "name", "M")),
    }[kind]
    key = None
    if via == "str":  # of a foreign child
        m = Meddler("m", action)
    elif via == "dict key":  # the name key of a child's dict
        m, key = cls("m"), Key("name")
        vars(m)[key] = vars(m).pop("name")
    else:  # a key of its class's namespace, which a lookup of `children` compares with
        key = Key("zz", hash_as="children")
        m = type("Odd", (cls,), {key: None})("m")
    if kind in ("grandparent", "rename"):
        mid.children += [m, cls("q")]
        kids += [mid, cls("s"), cls("t")]
    else:
        kids += [m, cls("a"), cls("b")]
    root.children = kids
    if key is not None:
        key.action = action
        type(m).zz = None  # a changed class: its lookups are no longer cached
        del type(m).zz  # (and no name left behind on Arbel itself)
    return root


@pytest.mark.parametrize("kind, via", [
    (kind, via) for kind in ["append", "clear", "rebind", "grandparent", "front", "rename"]
    for via in ["str", "dict key", "class key"]
    if (kind, via) != ("rename", "class key")  # the class is asked before the name is read
])
def test_changes_made_while_rendering_act_as_in_the_plain_definition(kind, via):
    # The children before the last are those the node had when it started;
    # the last one is read when they are done.  Reading a child's attributes
    # runs Python code here too.
    def outcome(cls):
        return error_of(lambda: str(meddled(cls, kind, via))) or str(meddled(cls, kind, via))

    assert outcome(Arbel) == outcome(Twin)


def test_a_class_freed_while_rendering_is_never_taken_for_a_new_one():
    # The walk remembers the class of the child it drew last; a new class at
    # the same address, with its own __str__, must not be drawn as the old one.
    old = type("Old", (Arbel,), {})
    a, b, key = old("a"), Arbel("b"), Key("name")
    vars(a)[key] = vars(a).pop("name")
    root, state = Arbel("r", [a, b, Arbel("c")]), {"a": a, "b": b, "address": id(old)}
    del old, a

    def swap():
        a, b = state.pop("a"), state.pop("b")
        a.__class__ = Arbel
        gc.collect()
        kept = []
        for _ in range(2_000):
            fresh = type("Fresh", (Arbel,), {"__str__": lambda self: "fresh"})
            if id(fresh) == state["address"]:
                b.__class__ = fresh
                break
            kept.append(fresh)

    key.action = swap
    assert str(root) == "r\n|-- a\n|-- " + str(b) + "\n`-- c"


def test_a_child_that_drops_the_tree_does_not_crash():
    holder = {}
    holder["tree"] = Arbel("r", [Arbel("a", [Meddler("m", lambda: (holder.clear(), gc.collect())),
                                             Arbel("b", ["c", "d"])]), "e"])
    assert str(holder["tree"]) == "r\n|-- a\n|   |-- m\n|   `-- b\n|       |-- c\n|       `-- d\n`-- e"


def test_a_chain_450_deep_renders_and_the_depth_follows_the_recursion_limit():
    for leaf in ("leaf", "é", "Ω", "😀"):  # a late wide name widens a long output
        same_text(str(chain(450, Arbel, leaf)), str(chain(450, Twin, leaf)))
    with pytest.raises(RecursionError):
        str(chain(100_000))
    limit = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(400)
        assert str(chain(300)).count("\n") == 300
        with pytest.raises(RecursionError):
            str(chain(500))
    finally:
        sys.setrecursionlimit(limit)


@pytest.mark.parametrize("make_cycle", [
    lambda a, b: a.add_child(a),
    lambda a, b: (a.add_child(b), b.add_child("x"), b.add_child(a)),
    lambda a, b: (a.add_child(Boxed("w", [a]))),
])
def test_a_node_among_its_own_descendants_raises_recursion_error(make_cycle):
    a, b = Arbel("a"), Arbel("b")
    make_cycle(a, b)
    with pytest.raises(RecursionError):
        str(a)
    a.children.clear()  # break the cycle


def test_no_leaks_of_wide_text_failures_sequences_and_cycles():
    tree = build(Arbel, ("r", [("a", ["b\nc", 5]), ("Ω", [("😀", [])]), "é"]))
    failing = [Arbel("r", [Arbel("a", [Broken(), "b"])]), Arbel("r", [Arbel(5)]),
               Arbel("r", Seq(Arbel("a", [Broken()]), "b"))]
    cyclic = Arbel("c")
    cyclic.add_child(cyclic)
    assert_no_growth(lambda: (str(tree), [error_of(lambda: str(node)) for node in failing]), repeat=2_000)
    assert_no_growth(lambda: error_of(lambda: str(cyclic)), repeat=20)
    cyclic.children.clear()
