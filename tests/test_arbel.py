"""Arbel: the tree printer, byte for byte against a plain Python twin (the registered calls: test_common.py)."""

import copy
import gc
import inspect
import pickle
import sys
import traceback
import weakref
from collections.abc import Sequence

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
            lines = str(child).split("\n")
            text += "\n" + "|-- " + lines[0]
            for line in lines[1:]:
                text += "\n" + "|   " + line
        lines = str(self.children[-1]).split("\n")
        text += "\n" + "`-- " + lines[0]
        for line in lines[1:]:
            text += "\n" + "    " + line
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


def outcome_of(call):
    try:
        return "ok", call()
    except Exception as exc:  # noqa: BLE001
        return type(exc), str(exc)


class Seq(Sequence):
    """Children held in a sequence that is neither a list nor a tuple."""

    def __init__(self, *items):
        self.items = list(items)

    def __getitem__(self, index):
        return Seq(*self.items[index]) if isinstance(index, slice) else self.items[index]

    def __len__(self):
        return len(self.items)


class Boxed(Arbel):
    def __str__(self):
        return "[" + super().__str__() + "]"


class Broken:
    def __str__(self):
        raise KeyError("broken")


def test_module_holds_only_a_plain_python_class():
    node = Arbel("x", ["y"])
    assert vars(node) == {"name": "x", "children": ["y"]} and weakref.ref(node)() is node
    node.name, node.children, node.extra = "z", [], 1
    assert str(node) == "z" and node.extra == 1


def test_docstring_example_prints_the_output_it_shows():
    doc = inspect.getdoc(Arbel)
    assert doc.splitlines()[:3] == ["Tree Tree Class", "", "A class to mimic the printing behavior of linux "
                                                            "tree command."]
    code = doc.split("```python\n", 1)[1].split("```", 1)[0]
    output = doc.split("Output:\n", 1)[1].split("```\n", 1)[1].split("```", 1)[0]
    printed = []
    exec(inspect.cleandoc(code), {"Arbel": Arbel, "print": printed.append})
    assert printed == [inspect.cleandoc(output)]
    lines = printed[0].splitlines()
    assert lines[:2] == ["grandmother", "|-- daughter"] and "`-- son" in lines
    assert max(len(line) - len(line.lstrip("|`- ")) for line in lines) == 12  # four levels


@pytest.mark.parametrize("children", [None, [], (), "", {}, 0])
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
    assert seen == [5]
    node = Arbel("x", ("a", "b"))
    assert str(node) == "x\n|-- a\n`-- b"
    assert error_of(lambda: node.add_child("c")) == (AttributeError, "'tuple' object has no attribute 'append'")


def test_a_failing_truth_test_of_children_fails_the_constructor():
    no_truth = type("NoTruth", (), {"__bool__": lambda self: 1 / 0})()
    assert error_of(lambda: Arbel("x", no_truth)) == (ZeroDivisionError, "division by zero")


@pytest.mark.parametrize("shape, lines", [
    (("x", []), ["x"]),
    (("x", ["p\n", "r"]), ["x", "|-- p", "|   ", "`-- r"]),
    (("x", ["r", "p\n"]), ["x", "|-- r", "`-- p", "    "]),
    (("", [("", []), ""]), ["", "|-- ", "`-- "]),
    (("a", [("b", [("c", []), ("d", [])]), ("e", [("f", [])])]),
     ["a", "|-- b", "|   |-- c", "|   `-- d", "`-- e", "    `-- f"]),
    (("x\ny", [("m\nn", ["p"]), "q"]), ["x", "y", "|-- m", "|   n", "|   `-- p", "`-- q"]),
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
    assert str(Arbel("x", Seq())) == "x"


def test_a_childless_node_renders_as_its_name_object_afresh_on_every_call():
    name = "leaf"
    assert Arbel.__str__(Arbel(name)) is name
    node = Arbel("x", ["a"])
    assert str(node) == "x\n`-- a"
    node.name, node.children[0] = "y", "b"
    assert str(node) == "y\n`-- b"


def test_a_str_subclass_name_renders_its_text():
    label = type("Label", (str,), {})("a\nb")
    assert str(Arbel(label, ["c"])) == "a\nb\n`-- c" and str(Arbel("r", [Arbel(label)])) == "r\n`-- a\n    b"


def test_missing_attributes_raise_attribute_error():
    node = Bare()
    assert error_of(lambda: str(node)) == (AttributeError, "'Bare' object has no attribute 'name'")
    node.name = "x"
    for call in (lambda: str(Arbel("r", [node])), lambda: node.add_child(1)):
        assert error_of(call) == (AttributeError, "'Bare' object has no attribute 'children'")


@pytest.mark.parametrize("name", [5, None, b"bytes", (1,), 1.5, {}])
def test_non_text_names_fail_with_the_interpreter_errors(name):
    for shape in [(name, []), (name, ["c"]), ("r", [(name, ["c"])]), ("r", [(name, [])]), (name, [Broken(), "c"])]:
        assert error_of(lambda: str(build(Arbel, shape))) == error_of(lambda: str(build(Twin, shape)))
    assert error_of(lambda: str(Arbel(5))) == (TypeError, "__str__ returned non-string (type int)")


def test_a_list_name_is_refused_and_left_unchanged():
    # Appending text to a list would extend it in place.
    name = ["l", "i", "s", "t"]
    for node in (Arbel(name, ["c"]), Arbel("r", [Arbel(name, ["c"])])):
        assert error_of(lambda: str(node)) == (TypeError, "unsupported operand type(s) for +=: 'list' and 'str'")
    assert name == ["l", "i", "s", "t"]


def test_other_children_render_through_their_own_str_once_each():
    calls = []
    shown = type("Shown", (), {"__init__": lambda self, t: setattr(self, "t", t),
                               "__str__": lambda self: calls.append(self.t) or self.t})
    assert str(Arbel("x", [shown("a\nb"), 7, shown("c")])) == "x\n|-- a\n|   b\n|-- 7\n`-- c"
    assert calls == ["a\nb", "c"]


def str_calls_in_traceback(node):
    """How many __str__ calls the traceback of str(node) shows."""
    with pytest.raises(Exception) as exc:
        str(node)
    tb, count = exc.value.__traceback__, 0
    while tb:
        count += tb.tb_frame.f_code.co_name in ("__str__", "vestri.ondrel.arbel.Arbel.__str__")
        tb = tb.tb_next
    traceback.clear_frames(exc.value.__traceback__)
    return count


class Bare(Arbel):
    def __init__(self):
        pass


@pytest.mark.parametrize("shape", [
    ("x", [("y", ["ok", Broken()])]),
    ("x", [("y", [(5, ["c"])])]),
    ("x", [("y", [(5, [])]), "z"]),
    ("x", ["a", ("y", [("z", [Bare()])])]),
    (None, [Bare()]),
])
def test_a_failure_inside_nested_nodes_shows_each_str_call_in_the_traceback(shape):
    assert str_calls_in_traceback(build(Arbel, shape)) == str_calls_in_traceback(build(Twin, shape))


class Labelled(Arbel):
    name = property(lambda self: "L:" + self.__dict__["n"], lambda self, value: vars(self).__setitem__("n", value))


class Computed(Arbel):
    def __getattribute__(self, attr):
        value = object.__getattribute__(self, attr)
        return [Arbel(c) for c in value] if attr == "children" else value


Plain = type("Plain", (Arbel,), {})


@pytest.mark.parametrize("make, text", [
    (lambda: Plain("r", [Plain("a", ["b"]), Arbel("c")]), "r\n|-- a\n|   `-- b\n`-- c"),
    (lambda: Arbel("r", [Boxed("a", ["b"]), "c"]), "r\n|-- [a\n|   `-- b]\n`-- c"),
    (lambda: Boxed("solo"), "[solo]"),
    (lambda: Labelled("r", [Labelled("a"), Computed("c", ["d", "e"])]), "L:r\n|-- L:a\n`-- c\n    |-- d\n    `-- e"),
])
def test_subclasses_render_inline_or_through_their_own_str_and_attributes(make, text):
    assert str(make()) == text


def test_str_assigned_on_the_class_later_is_honoured():
    late = type("Late", (Arbel,), {})
    node = Arbel("r", [late("a", ["b"])])
    assert str(node) == "r\n`-- a\n    `-- b"
    late.__str__ = lambda self: "late"
    assert str(node) == "r\n`-- late"
    del late.__str__
    assert str(node) == "r\n`-- a\n    `-- b"


def test_subclass_instances_pickle_and_copy():
    tree = Plain("r", [Plain("a", ["b"]), "c"])
    for clone in (pickle.loads(pickle.dumps(tree)), copy.deepcopy(tree), copy.copy(tree)):
        assert type(clone) is Plain and str(clone) == str(tree)


class Meddler:
    """A child whose str() changes the tree: `action()` runs first, once."""

    def __init__(self, text, action):
        self.text, self.action = text, action

    def __str__(self):
        action, self.action = self.action, lambda: None
        action()
        return self.text


def meddler(cls, via, action):
    """A child "m" that runs `action` once while it is rendered."""
    if via == "str of a foreign child":
        return Meddler("m", action), None
    if via == "name key of a child's dict":
        node = cls("m")
        key = Key("name")
        vars(node)[key] = vars(node).pop("name")
    else:  # a key of its class's namespace, which a lookup of `children` compares with
        key = Key("zz", hash_as="children")
        node = type("Odd", (cls,), {key: None})("m")
    return node, key


def meddled(cls, kind, via):
    kids, root, mid = [], cls("r", []), cls("mid", [])
    actions = {
        "append": lambda: kids.append(cls("late")),
        "clear": kids.clear,
        "rebind": lambda: setattr(root, "children", [cls("new")]),
        "grandparent": lambda: (kids.insert(0, cls("front")), kids.pop()),
        "front": lambda: kids.insert(0, kids[0]),
        "rename": lambda: (setattr(root, "name", "R"), setattr(mid, "name", "M")),
    }
    m, key = meddler(cls, via, actions[kind])
    if kind in ("grandparent", "rename"):
        mid.children += [m, cls("q")]
        kids += [mid, cls("s"), cls("t")]
    else:
        kids += [m, cls("a"), cls("b")]
    root.children = kids
    if key is not None:
        key.action = actions[kind]
        type(m).zz = None  # a changed class: its lookups are no longer cached
        del type(m).zz  # (and no name left behind on Arbel itself)
    return root


@pytest.mark.parametrize("kind, via", [
    (kind, via) for kind in ["append", "clear", "rebind", "grandparent", "front", "rename"]
    for via in ["str of a foreign child", "name key of a child's dict", "key of a child's class"]
    if (kind, via) != ("rename", "key of a child's class")  # the class is asked before the name is read
])
def test_changes_made_while_rendering_act_as_in_the_plain_definition(kind, via):
    # The children before the last are those the node had when it started;
    # the last one is read when they are done.  Reading a child's attributes
    # runs Python code here too.
    assert outcome_of(lambda: str(meddled(Arbel, kind, via))) == outcome_of(lambda: str(meddled(Twin, kind, via)))


def test_a_class_freed_while_rendering_is_never_taken_for_a_new_one():
    # The walk remembers the class of the child it drew last; a new class at
    # the same address, with its own __str__, must not be drawn as the old one.
    state = {}

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

    old = type("Old", (Arbel,), {})
    a, b = old("a"), Arbel("b")
    key = Key("name")
    vars(a)[key] = vars(a).pop("name")
    state.update(a=a, b=b, address=id(old))
    root = Arbel("r", [a, b, Arbel("c")])
    del old, a
    key.action = swap
    text = str(root)
    assert text == "r\n|-- a\n|-- " + str(b) + "\n`-- c"


def test_a_child_that_drops_the_tree_does_not_crash():
    holder = {}
    holder["tree"] = Arbel("r", [Arbel("a", [Meddler("m", lambda: (holder.clear(), gc.collect())),
                                             Arbel("b", ["c", "d"])]), "e"])
    assert str(holder["tree"]) == "r\n|-- a\n|   |-- m\n|   `-- b\n|       |-- c\n|       `-- d\n`-- e"


def test_a_chain_450_deep_renders_and_one_100000_deep_raises_recursion_error():
    for leaf in ("leaf", "é", "Ω", "😀"):  # a late wide name widens a long output
        same_text(str(chain(450, Arbel, leaf)), str(chain(450, Twin, leaf)))
    with pytest.raises(RecursionError):
        str(chain(100_000))


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


def test_the_depth_follows_the_recursion_limit():
    limit = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(400)
        assert str(chain(300)).count("\n") == 300
        with pytest.raises(RecursionError):
            str(chain(500))
    finally:
        sys.setrecursionlimit(limit)


def test_no_leaks_of_wide_text_failures_sequences_and_cycles():
    tree = build(Arbel, ("r", [("a", ["b\nc", 5]), ("Ω", [("😀", [])]), "é"]))
    failing = [Arbel("r", [Arbel("a", [Broken(), "b"])]), Arbel("r", [Arbel(5)]),
               Arbel("r", Seq(Arbel("a", [Broken()]), "b"))]
    cyclic = Arbel("c")
    cyclic.add_child(cyclic)
    assert_no_growth(lambda: (str(tree), [error_of(lambda: str(node)) for node in failing]), repeat=2_000)
    assert_no_growth(lambda: error_of(lambda: str(cyclic)), repeat=20)
    assert_no_growth(lambda: (error_of(Arbel), Arbel("x", [1]).add_child(2)), repeat=5_000)
    cyclic.children.clear()
