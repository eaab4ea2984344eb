"""Arbel: the tree printer, byte for byte against a plain Python twin."""

import copy
import gc
import inspect
import pathlib
import pickle
import subprocess
import sys
import textwrap
import traceback
import weakref
from collections.abc import Sequence

import pytest
from hypothesis import given, strategies as st

import vestri.ondrel.arbel as arbel_module
from leakcheck import assert_no_growth
from outcomes import error_of, twin
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
    """A tree of `cls` nodes from nested (name, [children]) pairs; any other
    child is used as it is."""
    if isinstance(shape, tuple):
        name, children = shape
        return cls(name, [build(cls, child) for child in children])
    return shape


def same_text(a, b):
    # Equal text in the same (narrowest) storage: a wider form would compare unequal.
    assert type(a) is type(b) is str
    assert a == b and len(a) == len(b) and hash(a) == hash(b)


def outcome_of(call):
    try:
        return "ok", call()
    except Exception as exc:  # noqa: BLE001
        return type(exc), str(exc)


# --- the module and the class -----------------------------------------------------------------


def test_module_holds_only_the_class():
    public = {name for name in vars(arbel_module) if not name.startswith("__")}
    assert public == {"Arbel"}
    assert arbel_module.__doc__ is None


def test_class_is_a_plain_python_class():
    assert Arbel.__bases__ == (object,) and type(Arbel) is type
    assert Arbel.__module__ == "vestri.ondrel.arbel" and Arbel.__qualname__ == "Arbel"
    own = set(vars(Arbel)) - {"__module__", "__doc__", "__dict__", "__weakref__"}
    assert own == {"__init__", "add_child", "__str__"}


def test_instances_keep_name_and_children_as_plain_attributes():
    node = Arbel("x", ["y"])
    assert vars(node) == {"name": "x", "children": ["y"]}
    node.name, node.children, node.extra = "z", [], 1
    assert str(node) == "z" and node.extra == 1
    assert weakref.ref(node)() is node


@pytest.mark.parametrize("method, params", [
    ("__init__", "self, name, children=None"), ("add_child", "self, item"), ("__str__", "self, /"),
])
def test_methods_show_their_parameters(method, params):
    # As for every built-in method, `self` is positional-only on the class.
    reference = twin(f"Arbel.{method}", params)
    assert str(inspect.signature(getattr(Arbel("n"), method))) == str(inspect.signature(reference.__get__(1)))
    assert list(inspect.signature(getattr(Arbel, method)).parameters) == list(inspect.signature(reference).parameters)


@pytest.mark.parametrize("method, gist", [
    ("__init__", "class __init__"), ("add_child", "Add children"), ("__str__", "String formatter"),
])
def test_method_docstrings(method, gist):
    doc = inspect.getdoc(getattr(Arbel, method))
    assert gist in doc.splitlines()[0]


def test_docstring_example_prints_the_output_it_shows():
    doc = inspect.getdoc(Arbel)
    assert doc.splitlines()[:3] == ["Tree Tree Class", "", "A class to mimic the printing behavior of linux "
                                                            "tree command."]
    code = doc.split("```python\n", 1)[1].split("```", 1)[0]
    output = doc.split("Output:\n", 1)[1].split("```\n", 1)[1].split("```", 1)[0]
    printed = []
    exec(inspect.cleandoc(code), {"Arbel": Arbel, "print": printed.append})
    expected = inspect.cleandoc(output)
    assert printed == [expected]
    lines = expected.splitlines()
    assert lines[:2] == ["grandmother", "|-- daughter"] and "`-- son" in lines
    assert all(line.startswith("    ") for line in lines[lines.index("`-- son") + 1:])
    assert max(len(line) - len(line.lstrip("|`- ")) for line in lines) == 12  # four levels


# --- constructor and add_child ----------------------------------------------------------------


@pytest.mark.parametrize("children", [None, [], (), "", {}, 0])
def test_empty_children_become_a_new_list(children):
    node, other = Arbel("x", children), Arbel("y", children)
    assert node.children == [] and type(node.children) is list
    assert node.children is not other.children and node.children is not children


def test_non_empty_children_are_kept_by_reference():
    kids = [Arbel("a")]
    node = Arbel("x", kids)
    node.add_child(Arbel("b"))
    assert node.children is kids and len(kids) == 2
    kids.append("c")
    assert str(node) == "x\n|-- a\n|-- b\n`-- c"


def test_arguments_by_keyword():
    node = Arbel(children=["c"], name="x")
    node.add_child(item="d")
    assert str(node) == "x\n|-- c\n`-- d"


def test_a_tuple_of_children_renders_but_cannot_grow():
    node = Arbel("x", ("a", "b"))
    assert str(node) == "x\n|-- a\n`-- b"
    assert error_of(lambda: node.add_child("c")) == (AttributeError, "'tuple' object has no attribute 'append'")


def test_add_child_uses_the_append_of_whatever_children_holds():
    seen = []
    recorder = type("Recorder", (), {"append": lambda self, item: seen.append(item)})()
    Arbel("x", recorder).add_child(5)
    assert seen == [5]


def test_a_failing_truth_test_of_children_fails_the_constructor():
    class NoTruth:
        def __bool__(self):
            raise ValueError("no truth")

    assert error_of(lambda: Arbel("x", NoTruth())) == (ValueError, "no truth")


BAD_CALLS = [
    ("__init__", "self, name, children=None", (), {}),
    ("__init__", "self, name, children=None", ("a", [], 3), {}),
    ("__init__", "self, name, children=None", ("a",), {"name": "b"}),
    ("__init__", "self, name, children=None", ("a",), {"kids": []}),
    ("__init__", "self, name, children=None", ("a",), {"self": 1}),
    ("add_child", "self, item", (), {}),
    ("add_child", "self, item", (1, 2), {}),
    ("add_child", "self, item", (), {"child": 1}),
]


@pytest.mark.parametrize("method, params, args, kwargs", BAD_CALLS)
def test_wrong_arguments_raise_the_interpreter_error(method, params, args, kwargs):
    node = Arbel("n")
    reference = twin(f"Arbel.{method}", params)
    expected = error_of(lambda: reference(node, *args, **kwargs))
    assert expected[0] is TypeError
    assert error_of(lambda: getattr(node, method)(*args, **kwargs)) == expected


# --- rendering ---------------------------------------------------------------------------------


@pytest.mark.parametrize("shape, lines", [
    (("x", []), ["x"]),
    (("x", [("y", [])]), ["x", "`-- y"]),
    (("x", [("y", []), ("z", [])]), ["x", "|-- y", "`-- z"]),
    (("x", ["p\nq"]), ["x", "`-- p", "    q"]),
    (("x", ["p\nq", "r"]), ["x", "|-- p", "|   q", "`-- r"]),
    (("x", ["p\n", "r"]), ["x", "|-- p", "|   ", "`-- r"]),
    (("x", ["r", "p\n"]), ["x", "|-- r", "`-- p", "    "]),
    (("x", ["", ""]), ["x", "|-- ", "`-- "]),
    (("", [("", [])]), ["", "`-- "]),
    (("a", [("b", [("c", []), ("d", [])]), ("e", [("f", [])])]),
     ["a", "|-- b", "|   |-- c", "|   `-- d", "`-- e", "    `-- f"]),
    (("x\ny", [("m\nn", ["p"]), "q"]), ["x", "y", "|-- m", "|   n", "|   `-- p", "`-- q"]),
])
def test_rendering(shape, lines):
    assert str(build(Arbel, shape)) == "\n".join(lines)
    assert str(build(Twin, shape)) == "\n".join(lines)


def test_a_node_without_children_renders_as_its_name_object():
    name = "leaf"
    assert Arbel.__str__(Arbel(name)) is name


names = st.text(st.characters(codec="utf-8"), max_size=6) | st.sampled_from(["\n", "a\n", "\nb", "é\nx", "x\n😀"])
leaves = names | st.integers() | st.builds(lambda s: s.encode("utf-8", "surrogatepass"), names)
trees = st.recursive(
    st.tuples(names, st.just([])),
    lambda inner: st.tuples(names, st.lists(inner | leaves, max_size=4)),
    max_leaves=40,
)


@given(trees)
def test_rendering_matches_the_plain_definition_for_any_text(shape):
    same_text(str(build(Arbel, shape)), str(build(Twin, shape)))


@given(trees)
def test_arbel_and_plain_nodes_mix(shape):
    # The twin's nodes are foreign to Arbel and rendered through their own str().
    def mixed(shape, depth=0):
        if not isinstance(shape, tuple):
            return shape
        cls = Arbel if depth % 2 == 0 else Twin
        return cls(shape[0], [mixed(child, depth + 1) for child in shape[1]])

    same_text(str(mixed(shape)), str(build(Twin, shape)))


@pytest.mark.parametrize("name", ["plain", "é latin", "Ω greek", "😀 astral", "a\né", "é\na", "Ω\nb", "😀\nΩ\né\na"])
def test_output_is_stored_in_its_narrowest_form(name):
    # Slices of a wide name can be narrow; the result must still compare equal.
    for shape in [(name, ["x"]), ("r", [(name, ["x"])]), ("r", [name, "ascii"]), ("r", ["ascii", name])]:
        same_text(str(build(Arbel, shape)), str(build(Twin, shape)))


def test_a_long_output_widens_when_a_late_name_needs_it():
    for name in ("é", "Ω", "😀"):
        deep, plain = chain(450), chain(450, Twin)
        for tree in (deep, plain):
            while tree.children:
                tree = tree.children[0]
            tree.name = name
        same_text(str(deep), str(plain))


def test_missing_attributes_raise_attribute_error():
    class Bare(Arbel):
        def __init__(self):
            pass

    assert error_of(lambda: str(Bare())) == (AttributeError, "'Bare' object has no attribute 'name'")
    node = Bare()
    node.name = "x"
    assert error_of(lambda: str(Arbel("r", [node]))) == (AttributeError, "'Bare' object has no attribute 'children'")
    assert error_of(lambda: node.add_child(1)) == (AttributeError, "'Bare' object has no attribute 'children'")


def test_a_str_subclass_name_renders_its_text():
    class Label(str):
        pass

    assert str(Arbel(Label("a\nb"), ["c"])) == "a\nb\n`-- c"
    assert str(Arbel("r", [Arbel(Label("a\nb"))])) == "r\n`-- a\n    b"


def test_rendering_is_afresh_on_every_call():
    node = Arbel("x", ["a"])
    assert str(node) == "x\n`-- a"
    node.name, node.children[0] = "y", "b"
    assert str(node) == "y\n`-- b"


# --- names that are not text ----------------------------------------------------------------------


@pytest.mark.parametrize("name", [5, None, b"bytes", (1,), 1.5, {}])
def test_non_text_names_fail_with_the_interpreter_errors(name):
    for shape in [(name, []), (name, ["c"]), ("r", [(name, ["c"])]), ("r", [(name, [])])]:
        assert error_of(lambda: str(build(Arbel, shape))) == error_of(lambda: str(build(Twin, shape)))
    assert error_of(lambda: str(Arbel(5))) == (TypeError, "__str__ returned non-string (type int)")


def test_a_list_name_is_refused_and_left_unchanged():
    # Appending text to a list would extend it in place.
    name = ["l", "i", "s", "t"]
    for node in (Arbel(name, ["c"]), Arbel("r", [Arbel(name, ["c"])])):
        assert error_of(lambda: str(node)) == (TypeError, "unsupported operand type(s) for +=: 'list' and 'str'")
    assert name == ["l", "i", "s", "t"]


# --- children that are not Arbel nodes ------------------------------------------------------------


class Shown:
    def __init__(self, text):
        self.text = text
        self.calls = 0

    def __str__(self):
        self.calls += 1
        return self.text


def test_other_children_render_through_their_own_str_once_each():
    a, b = Shown("a\nb"), Shown("c")
    assert str(Arbel("x", [a, 7, b])) == "x\n|-- a\n|   b\n|-- 7\n`-- c"
    assert (a.calls, b.calls) == (1, 1)


def test_a_failing_child_str_propagates_with_a_traceback_entry():
    class Broken:
        def __str__(self):
            raise KeyError("broken")

    node = Arbel("x", [Arbel("y", ["ok", Broken()])])
    for _ in range(2):
        with pytest.raises(KeyError) as exc:
            str(node)
        entries = [e for e in traceback.extract_tb(exc.value.__traceback__)
                   if e.name == "vestri.ondrel.arbel.Arbel.__str__"]
        assert len(entries) == 1
        source = pathlib.Path(__file__).parents[1] / entries[0].filename
        if source.is_file():
            assert "VO_FAIL" in source.read_text().splitlines()[entries[0].lineno - 1]
        traceback.clear_frames(exc.value.__traceback__)


class Seq(Sequence):
    """Children held in a sequence that is neither a list nor a tuple."""

    def __init__(self, *items):
        self.items = list(items)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return Seq(*self.items[index])
        return self.items[index]

    def __len__(self):
        return len(self.items)


def test_any_sequence_can_hold_the_children():
    shape_kids = [Arbel("a", Seq(Arbel("b"), "c\nd")), "e"]
    node = Arbel("x", Seq(*shape_kids))
    reference = Twin("x", Seq(Twin("a", Seq(Twin("b"), "c\nd")), "e"))
    same_text(str(node), str(reference))
    assert str(Arbel("x", Seq())) == "x"


# --- subclasses ----------------------------------------------------------------------------------


class Plain(Arbel):
    pass


class Boxed(Arbel):
    def __str__(self):
        return "[" + super().__str__() + "]"


class Labelled(Arbel):
    def __init__(self, name, children=None, *, label="L"):
        super().__init__(name, children)
        self.label = label

    @property
    def name(self):
        return f"{self.label}:{self._name}"

    @name.setter
    def name(self, value):
        self._name = value


class Computed(Arbel):
    def __getattribute__(self, attr):
        if attr == "children":
            return [Arbel(c) for c in object.__getattribute__(self, "kids")]
        return object.__getattribute__(self, attr)

    def __init__(self, name, kids):
        super().__init__(name)
        self.kids = kids


def test_subclasses_that_keep_str_render_inline():
    tree = Plain("r", [Plain("a", ["b"]), Arbel("c")])
    assert str(tree) == "r\n|-- a\n|   `-- b\n`-- c"


def test_subclasses_that_override_str_are_rendered_through_it():
    tree = Arbel("r", [Boxed("a", ["b"]), "c"])
    assert str(tree) == "r\n|-- [a\n|   `-- b]\n`-- c"
    assert str(Boxed("solo")) == "[solo]"


def test_subclass_attributes_are_read_as_python_reads_them():
    tree = Labelled("r", [Labelled("a", label="M"), Computed("c", ["d", "e"])])
    assert str(tree) == "L:r\n|-- M:a\n`-- c\n    |-- d\n    `-- e"
    assert vars(Labelled("x")) == {"_name": "x", "children": [], "label": "L"}


def test_str_assigned_on_the_class_later_is_honoured():
    class Late(Arbel):
        pass

    node = Arbel("r", [Late("a", ["b"])])
    assert str(node) == "r\n`-- a\n    `-- b"
    Late.__str__ = lambda self: "late"
    assert str(node) == "r\n`-- late"
    del Late.__str__
    assert str(node) == "r\n`-- a\n    `-- b"


def test_subclass_instances_pickle_and_copy():
    tree = Plain("r", [Plain("a", ["b"]), "c"])
    for clone in (pickle.loads(pickle.dumps(tree)), copy.deepcopy(tree), copy.copy(tree)):
        assert type(clone) is Plain and str(clone) == str(tree)


# --- the tree changing while it is rendered -----------------------------------------------------


class Meddler:
    """A child whose str() changes the tree: `action(node)` runs first."""

    def __init__(self, text, action):
        self.text, self.action = text, action

    def __str__(self):
        action, self.action = self.action, lambda node: None  # once
        action(self)
        return self.text


def append_to_parent(cls):
    kids = []
    kids += [Meddler("m", lambda _: kids.append(cls("late"))), cls("a"), cls("b")]
    return cls("r", kids)


def clear_parent(cls):
    kids = []
    kids += [Meddler("m", lambda _: kids.clear()), cls("a"), cls("b")]
    return cls("r", kids)


def rebind_parent_children(cls):
    node = cls("r", [])
    node.children = [Meddler("m", lambda _: setattr(node, "children", [cls("new")])), cls("a"), cls("b")]
    return node


def change_grandparent(cls):
    top = []
    deep = cls("p", [Meddler("m", lambda _: (top.insert(0, cls("front")), top.pop())), cls("q")])
    top += [deep, cls("s"), cls("t")]
    return cls("r", top)


def rename_ancestors(cls):
    root, mid = cls("r", []), cls("mid", [])
    mid.children += [Meddler("m", lambda _: (setattr(root, "name", "R"), setattr(mid, "name", "M"))), cls("x")]
    root.children += [mid, cls("y")]
    return root


@pytest.mark.parametrize("make", [append_to_parent, clear_parent, rebind_parent_children, change_grandparent,
                                  rename_ancestors])
def test_changes_made_while_rendering_act_as_in_the_plain_definition(make):
    # The children before the last are those the node had when it started;
    # the last one is read when they are done.
    ours, plain = make(Arbel), make(Twin)
    assert outcome_of(lambda: str(ours)) == outcome_of(lambda: str(plain))


def test_a_child_that_drops_the_tree_does_not_crash():
    holder = {}

    def drop(_):
        holder.clear()
        gc.collect()

    holder["tree"] = Arbel("r", [Arbel("a", [Meddler("m", drop), Arbel("b", ["c", "d"])]), "e"])
    text = str(holder["tree"])
    assert text == "r\n|-- a\n|   |-- m\n|   `-- b\n|       |-- c\n|       `-- d\n`-- e"


# --- depth ---------------------------------------------------------------------------------------


def chain(depth, cls=Arbel):
    node = cls("leaf")
    for i in range(depth):
        node = cls(f"n{i}", [node])
    return node


def test_a_chain_450_deep_renders_exactly():
    same_text(str(chain(450)), str(chain(450, Twin)))


def test_a_chain_100000_deep_raises_recursion_error():
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


# --- leaks ---------------------------------------------------------------------------------------


def test_no_leaks():
    tree = build(Arbel, ("r", [("a", ["b\nc", 5]), ("Ω", [("😀", [])]), "é"]))
    assert_no_growth(lambda: str(tree), repeat=2_000)
    assert_no_growth(lambda: Arbel("x", [1]).add_child(2), repeat=5_000)


def test_no_leaks_on_failures():
    class Broken:
        def __str__(self):
            raise ValueError

    failing = [
        Arbel("r", [Arbel("a", [Broken(), "b"])]),
        Arbel(5, ["c"]),
        Arbel("r", [Arbel(5)]),
        Arbel("r", Seq(Arbel("a", [Broken()]), "b")),
    ]
    cyclic = Arbel("c")
    cyclic.add_child(cyclic)
    assert_no_growth(lambda: [str(node) for node in failing], repeat=2_000)
    assert_no_growth(lambda: str(cyclic), repeat=20)
    assert_no_growth(lambda: Arbel(), repeat=5_000)
    assert_no_growth(lambda: Arbel("x", ("t",)).add_child(1), repeat=5_000)
    cyclic.children.clear()


def test_deep_recursion_through_python_str_overrides_ends_in_recursion_error():
    # Each level goes through a Python __str__ and back into Arbel's: real
    # recursion, in a child process so that a crash would show as one.
    code = textwrap.dedent("""
        import sys
        from vestri.ondrel.arbel import Arbel
        class Boxed(Arbel):
            def __str__(self):
                return "[" + super().__str__() + "]"
        node = Boxed("leaf")
        for i in range(100_000):
            node = Boxed(str(i), [node])
        sys.setrecursionlimit(1_000_000)
        try:
            str(node)
        except RecursionError:
            print("RecursionError")
        else:
            print("rendered")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() in {"RecursionError", "rendered"}
