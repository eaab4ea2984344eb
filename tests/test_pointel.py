"""Pointel and NestedPointel: attribute dictionaries and dotted nested levels.

Sections: the module and its classes; Pointel's one storage; NestedPointel
against its plain Python definition (random trees and operations, subclasses
that override its methods, str subclasses as keys); dotted keys and update
by example; subclasses; pickle, copy and weak references; traceback entries;
class assignment; CPython's mapping-protocol suite; Python code run in the
middle of an operation; fast paths that follow the class; deep structures,
small stacks and leaks.

Scenarios that once crashed the interpreter run in a child process: a
regression kills the child, not the test run (and under AddressSanitizer the
child reports the bad access).
"""

import abc
import collections.abc
import copy
import gc
import itertools
import operator
import pathlib
import pickle
import textwrap
import traceback
import types
import warnings
import weakref

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from test import mapping_tests

import vestri.ondrel.pointel as pointel
from hostile import ActingKey, FailingOnceKey
from vestri.ondrel.pointel import NestedPointel, Pointel

from leakcheck import assert_no_growth
from outcomes import error_of, in_small_thread, run_python

TARGET = 'target key "{}" is a value, cannot update value against another {}'


class SubPointel(Pointel):
    pass


class SubNested(NestedPointel):
    pass


class Name(str):
    pass


class PairLike:
    """An item whose length and iteration are chosen by the test."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        return self.length

    def __iter__(self):
        return iter(self.items)


def run_child(code):
    """Runs `code` in a child interpreter, which must finish cleanly."""
    result = run_python(code + "\nprint('finished')\n")
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() == "finished"


# --- the module and its classes (names, bases, members: test_common.py) ------------------------


def test_docstrings():
    assert "obj.key" in pointel.__doc__ and "obj['key']" in pointel.__doc__
    for text in ("['first']", ".first", "Pointel(", "Known Limitations"):
        assert text in Pointel.__doc__
    init_doc = Pointel.__init__.__doc__
    assert init_doc.splitlines()[0] == "Pointel object init"
    for text in ("__dict__", "Special Note", "2.7.3", "3.2.3"):
        assert text in init_doc


def test_get_pop_setdefault_are_the_mixins_own():
    # Every other method comes from dict: NestedPointel's own names are checked in test_common.py.
    for name in ("get", "pop", "setdefault"):
        assert vars(NestedPointel)[name] is getattr(collections.abc.MutableMapping, name)


# --- Pointel: one storage for keys and attributes -------------------------------------


def test_pointel_keys_and_attributes_are_one_storage():
    obj = Pointel({"a": 1}, b=2)
    assert (obj.a, obj["b"], obj.b) == (1, 2, 2)
    obj.x = 5
    obj["y"] = 6
    assert (obj["x"], obj.y) == (5, 6)
    del obj.x
    assert "x" not in obj
    assert obj.__dict__ is obj and vars(obj) is obj
    obj.__dict__ = obj  # what an initialiser of the textbook form does
    assert obj.__dict__ is obj and obj == {"a": 1, "b": 2, "y": 6}
    assert getattr(Pointel({"a-b": 1}), "a-b") == 1
    assert repr(Pointel()) == "Pointel({})"
    plain = Pointel({"a": {"b": 1}})
    assert type(plain.a) is dict
    with pytest.raises(AttributeError):
        plain.a.b


def test_class_attributes_win_over_keys_and_a_getattr_hook_answers_the_rest():
    seen = []

    class WithAttr(Pointel):
        shade = "class"
        prop = property(lambda self: "got", lambda self, value: seen.append(value))

    class Fallback(Pointel):
        def __getattr__(self, name):
            return f"fallback {name}"

    obj = WithAttr(items=1, shade="key")
    assert obj["items"] == 1 and callable(obj.items)
    assert obj.shade == "class"
    obj.shade = "written"
    assert obj["shade"] == "written" and obj.shade == "class"
    obj.prop = 7
    assert seen == [7] and "prop" not in obj and obj.prop == "got"
    hooked = Fallback(x=1)
    assert hooked.x == 1 and hooked.y == "fallback y" and callable(hooked.keys)


@pytest.mark.parametrize("base", [Pointel, NestedPointel])
def test_a_class_attribute_added_after_reads_wins_from_then_on(base):
    class Mid(base):
        pass

    class Leaf(Mid):
        pass

    names = [f"n{i}" for i in range(40)]  # more names than a lookup remembers
    obj = Leaf(k="key", **dict(zip(names, names)))
    for _ in range(2):
        assert obj.k == "key" and [getattr(obj, name) for name in names] == names
    Mid.k = "class"
    assert obj.k == "class"
    del Mid.k
    assert obj.k == "key"
    obj.w = 1
    obj.w = 2
    seen = []
    Mid.w = property(lambda self: "got", lambda self, value: seen.append(value))
    obj.w = 3
    assert seen == [3] and obj["w"] == 2 and obj.w == "got"
    # A class made where a freed one was is a class of its own.
    for _ in range(20):
        gone = type("Gone", (base,), {})
        assert gone(k=1).k == 1
        del gone
        gc.collect()
        assert type("Back", (base,), {"k": "class"})(k=1).k == "class"


@pytest.mark.parametrize("cls", [Pointel, SubPointel, NestedPointel, SubNested])
def test_missing_attribute_read_and_delete_raise_the_standard_error(cls):
    obj = cls()
    with pytest.raises(AttributeError) as read:
        obj.nope
    assert str(read.value) == f"'{cls.__name__}' object has no attribute 'nope'"
    assert read.value.name == "nope" and read.value.obj is obj
    with pytest.raises(AttributeError) as delete:
        del obj.nope
    assert str(delete.value) == f"'{cls.__name__}' object has no attribute 'nope'"
    with pytest.raises(KeyError):
        obj["nope"]


@pytest.mark.parametrize("args, kwargs", [
    ((1, 2), {}), ((5,), {}), ((None,), {}), (([1],), {}), (([(1, 2, 3)],), {}), ((["abc"],), {}),
    (([("k", 1)],), {"k": 2}), ((), {}), (({"b": 1, "a": 2},), {"a": 3, "c": 4}), ((collections.UserDict(a=1),), {}),
    ((Pointel(a=1),), {}), ((), {Name("k"): 1, "j": 2}), ((), {"self": 1}),
])
def test_pointel_constructor_behaves_as_dict(args, kwargs):
    assert error_of(lambda: Pointel(*args, **kwargs)) == error_of(lambda: dict(*args, **kwargs))
    if error_of(lambda: dict(*args, **kwargs)) is None:
        made = Pointel(*args, **kwargs)
        assert type(made) is Pointel and list(made.items()) == list(dict(*args, **kwargs).items())


@pytest.mark.parametrize("cls", [Pointel, NestedPointel, SubNested])
def test_repr_names_the_runtime_class_at_every_level(cls):
    obj = cls({"a": {"b": 1}})
    obj["me"] = obj
    name = cls.__name__
    level = f"{name}({{'b': 1}})" if cls is not Pointel else "{'b': 1}"
    assert repr(obj) == f"{name}({{'a': {level}, 'me': {name}({{...}})}})"


def test_repr_uses_the_next_repr_in_the_mro():
    class Shown(dict):
        def __repr__(self):
            return "<shown>"

    class Mixed(Pointel, Shown):
        pass

    assert repr(Mixed(a=1)) == "Mixed(<shown>)"


# --- NestedPointel against its plain Python definition ---------------------------------------


class PlainNested(Pointel, collections.abc.MutableMapping):
    """NestedPointel written plainly: each level and each update is a call of its own,
    and each key splits itself (through its own `__contains__` and `split`)."""

    get, pop, setdefault = (collections.abc.MutableMapping.get, collections.abc.MutableMapping.pop,
                            collections.abc.MutableMapping.setdefault)

    def __init__(self, *args, **kwargs):
        Pointel.__init__(self)
        self.update(*args, **kwargs)

    def __getitem__(self, key):
        if isinstance(key, str) and "." in key:
            key, rest = key.split(".", 1)
            return dict.__getitem__(self, key)[rest]
        return dict.__getitem__(self, key)

    def __setitem__(self, key, value):
        if isinstance(key, str) and "." in key:
            key, rest = key.split(".", 1)
            level = self.setdefault(key, type(self)())
            if not isinstance(level, type(self)):
                raise KeyError(TARGET.format(key, type(self).__name__))
            level[rest] = value
        else:
            dict.__setitem__(self, key, value)

    def __contains__(self, key):
        if isinstance(key, str) and "." in key:
            key, rest = key.split(".", 1)
            return dict.__contains__(self, key) and rest in dict.__getitem__(self, key)
        return dict.__contains__(self, key)

    def __delitem__(self, key):
        if isinstance(key, str) and "." in key:
            key, rest = key.split(".", 1)
            del dict.__getitem__(self, key)[rest]
        else:
            dict.__delitem__(self, key)

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError(f"expected at most 1 arguments, got {len(args)}")
        iterable = args[0] if args else ()
        if isinstance(iterable, collections.abc.Mapping):
            iterable = iterable.items()
        for item in itertools.chain(iterable, kwargs.items()):
            if len(item) != 2:
                raise TypeError("cannot convert dictionary update sequence element #%s to a sequence"
                                % iterable.index(item))
            key, value = item
            if isinstance(value, collections.abc.Mapping):
                self.setdefault(key, type(self)()).update(value)
            else:
                self[key] = value


class ColonKey(str):
    """Splits at colons, and says so when asked for a dot."""

    def __contains__(self, part):
        return ":" in self if part == "." else str.__contains__(self, part)

    def split(self, sep=None, maxsplit=-1):
        head, _, rest = str.partition(self, ":")
        return [head, ColonKey(rest)]


class NeverDotted(str):
    def __contains__(self, part):
        return False


class Lonely(str):
    def split(self, sep=None, maxsplit=-1):
        return [str(self)]


def snapshot(value, cls=None):
    """A value with its levels shown alike, whichever class made them (a level of
    another class than `cls` apart); keys with their types, in order."""
    if not isinstance(value, dict):
        return value
    if isinstance(value, (NestedPointel, PlainNested)):
        kind = "level" if cls is None or type(value) is cls else "stray level"
    else:
        kind = type(value).__name__
    return kind, [(type(k), k, snapshot(v, cls)) for k, v in dict.items(value)]


def variant(base, overrides):
    """`base`, or a subclass of it whose methods named in `overrides` log their calls
    and then do what `base` does: the class and its log."""
    if overrides is None:
        return base, []
    log = []

    def logged(name):
        def method(self, *args, **kwargs):
            log.append((name, [snapshot(a) for a in args], [(k, snapshot(v)) for k, v in kwargs.items()]))
            return getattr(base, name)(self, *args, **kwargs)
        return method

    namespace = {name: logged(name) for name in overrides if name not in ("__missing__", "metaclass")}
    if "__missing__" in overrides:
        namespace["__missing__"] = lambda self, key: log.append(("__missing__", key)) or "default"
    meta = type(base)
    if "metaclass" in overrides:
        meta = type("Meta", (meta,), {"__call__": lambda cls, *a, **k: log.append(("call", a, k))
                                      or type(base).__call__(cls, *a, **k)})
    return meta("Sub", (base,), namespace), log


ALL_METHODS = ("__init__", "__getitem__", "__setitem__", "__contains__", "__delitem__", "setdefault", "update")
VARIANTS = {"as is": None, "subclass": (), **{name: (name,) for name in ALL_METHODS},
            "__missing__": ("__missing__",), "metaclass": ("metaclass",), "all": ALL_METHODS}

STEPS = {
    "getitem": operator.getitem, "contains": operator.contains, "delitem": operator.delitem,
    "setitem": operator.setitem, "get": lambda obj, key: obj.get(key, "default"),
    "pop": lambda obj, *args: obj.pop(*args), "setdefault": lambda obj, key, value: obj.setdefault(key, value),
    "update": lambda obj, source, kwargs: obj.update(source, **kwargs),
    "init": lambda obj, source, kwargs: obj.__init__(source, **kwargs),
}


def failure(exc):
    """An exception as both classes show it: type, text, and the methods whose traceback
    entries it carries (ours are named after the package's methods, the plain ones are frames here)."""
    entries = [e.name.rsplit(".", 1)[-1] for e in traceback.extract_tb(exc.__traceback__)
               if e.name.startswith("vestri.ondrel.pointel.NestedPointel.")
               or (e.filename == __file__ and e.name in vars(PlainNested))]
    return type(exc), str(exc).replace("PlainNested", "NestedPointel"), entries


def replay(cls, log, tree, steps):
    """What `cls(tree)` and then each step do: each outcome (result or error), the
    content afterwards and the calls logged meanwhile."""
    try:
        obj = cls(copy.deepcopy(tree))
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return [(failure(exc), log[:])]
    seen = [(snapshot(obj, cls), log[:])]
    for name, *args in copy.deepcopy(steps):
        log.clear()
        try:
            outcome = snapshot(STEPS[name](obj, *args), cls)
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome
            outcome = failure(exc)
        seen.append((outcome, snapshot(obj, cls), log[:]))
    return seen


segments = st.lists(st.sampled_from(["a", "b", ""]), min_size=1, max_size=4).map(".".join)
odd_keys = st.sampled_from([("a.b",), 1.5, 3, Name("a.b"), Name("b"), ColonKey("a:b"), ColonKey("a.b:c"),
                            NeverDotted("a.b"), Lonely("a.b")])
keys = st.one_of(segments, segments, odd_keys)
leaves = st.one_of(st.integers(0, 2), st.sampled_from(["xy", "a.b", None, [1]]))
values = st.recursive(leaves, lambda inner: st.dictionaries(segments, inner, max_size=3), max_leaves=8)
trees = st.dictionaries(segments, values, max_size=4)
items = st.one_of(st.tuples(segments, values), st.sampled_from(["ab", "abc", ("a", 1, 2), 5]))
step_lists = st.lists(st.one_of(
    st.tuples(st.sampled_from(["getitem", "contains", "delitem", "get", "pop"]), keys),
    st.tuples(st.sampled_from(["setitem", "setdefault", "pop"]), keys, values),
    st.tuples(st.sampled_from(["update", "init"]), st.one_of(trees, st.lists(items, max_size=3)),
              st.dictionaries(segments, values, max_size=2)),
), max_size=6)


@pytest.mark.parametrize("overrides", list(VARIANTS.values()), ids=list(VARIANTS))
@settings(max_examples=60)
@given(trees, step_lists)
# Levels from mappings, dotted keys in the source, reads through every level.
@example({"a": {"b": {"c": 1}}, "d.e": 2}, [("getitem", "a.b.c"), ("contains", "a.b.c"), ("get", "a.b.c"),
                                            ("getitem", "d"), ("delitem", "a.b.c"), ("contains", "d.e.f")])
# Errors deep down, each with an entry per nested call.
@example({"a": {"b": {"c": 1}, "s": "text"}}, [
    ("setitem", "a.b.c.d", 1), ("setitem", "a.b.c.d.e", 1), ("getitem", "a.b.x"), ("getitem", "a.s.x"),
    ("contains", "a.b.c.d"), ("delitem", "a.b.x"), ("setdefault", "a.b.c.d", 1), ("update", {"a.b.c.d": 2}, {}),
    ("update", {"a": {"b": {"c": {"d": 2}}}}, {}), ("update", {"a": {"b.c.d": 2}}, {})])
@example({"a.b": 1, "a.b.c": 2}, [])
@example({"a": {"b": {"c": 1}}, "a.b.c.d": {"e": 1}}, [])
# Empty segments are keys; keys that are not strings are never split.
@example({}, [("setitem", "a..b", 1), ("getitem", "a..b"), ("contains", "a..b"), ("pop", "a..b"),
              ("contains", "a..b"), ("setitem", "a.", 1), ("setitem", ".a", 1), ("setitem", "..", 1),
              ("setitem", ("a.b",), 1), ("setitem", 1.5, 2), ("setitem", frozenset({"a.b"}), 3),
              ("getitem", ("a.b",)), ("contains", 1.5), ("delitem", ("a.b",)), ("getitem", (1, 2))])
# get, pop and setdefault through dotted keys; missing heads and leaves.
@example({"a": {"b": 1}, "e": {}}, [("get", "a.b"), ("get", "a.x"), ("get", "x.y"), ("pop", "a.b"),
                                     ("pop", "a.b", "gone"), ("pop", "a.b"), ("setdefault", "m.n", 3),
                                     ("setdefault", "m.n", 4), ("getitem", "x.b"), ("getitem", "e.b"),
                                     ("delitem", "x.b"), ("contains", "x.b")])
# Dotted access through values: numbers, strings, plain dicts.
@example({"a": 1, "s": "xyz", "n": {"v": 2}}, [
    ("contains", "s.y"), ("contains", "s.q"), ("getitem", "a.b"), ("contains", "a.b"), ("get", "a.b"),
    ("delitem", "a.b"), ("setitem", "a.b", 2), ("setitem", "n.v.w", 2), ("setitem", "p", {"q": 1, "r.s": 2}),
    ("getitem", "p.q"), ("getitem", "p.r.s"), ("delitem", "p.q"), ("setitem", "p.q", 2),
    ("update", {"p": {"r": {"s": 1}}}, {}), ("update", {"a": {"b": 2}}, {}), ("update", {"a.b": {"c": 2}}, {}),
    ("update", {"a.b": 2}, {}), ("update", {"a": 5}, {})])
# Deep merges, values replacing levels, keywords after the source, items of the wrong length.
@example({"a": {"b": 1, "c": 2}}, [
    ("update", {"a": {"c": 3, "d": {"e": 4}}}, {}), ("update", {"a.d": {"f": 5}}, {"a.g": 6}),
    ("init", {"a": {"h": 1}}, {}), ("update", {}, {"a": 7}), ("update", [("k", 1)], {"k": 2}),
    ("update", ["xy", ("z", {"q": 1})], {}), ("update", [("a", 1), ("b", 2, 3)], {}), ("update", ["a1", 5], {})])
# Levels made, written and merged by dotted writes and update.
@example({}, [("setitem", "a.b.c", 1), ("setitem", "a.b.d", 2), ("update", {"x": 1, "y": {"z": 2}}, {"w": 3}),
              ("update", {"m.n": {"o": 1}, "a": {"d": 2}}, {}), ("getitem", "m.n.o"), ("setitem", "plain", 5)])
# __missing__ answers reads, not membership.
@example({"a": {}}, [("getitem", "x"), ("getitem", "a.y"), ("get", "z"), ("contains", "x"), ("setdefault", "q", 1),
                     ("contains", "q"), ("setitem", "q.r", 1)])
# str subclasses split as their own methods say.
@example({}, [("setitem", Name("a.b"), 1), ("setitem", Name("c"), 2), ("getitem", Name("a.b")),
              ("contains", Name("a.b")), ("setitem", ColonKey("a:b:c"), 1), ("getitem", ColonKey("a:b:c")),
              ("get", ColonKey("a.b:c")), ("setitem", ColonKey("a.b:c"), 1), ("contains", ColonKey("a.b:c")),
              ("pop", ColonKey("a.b:c")), ("setitem", NeverDotted("a.b"), 1), ("getitem", NeverDotted("a.b")),
              ("pop", NeverDotted("a.b")), ("getitem", Lonely("a.b")), ("setitem", Lonely("a.b"), 1)])
def test_nested_pointel_does_what_its_plain_definition_does(overrides, tree, steps):
    ours, model = (replay(*variant(base, overrides), tree, steps) for base in (NestedPointel, PlainNested))
    assert ours == model


# --- dotted keys and update by example -------------------------------------------------------


def test_a_level_of_a_base_class_is_a_value_for_a_subclass():
    obj = SubNested()
    dict.__setitem__(obj, "a", NestedPointel())
    with pytest.raises(KeyError) as exc:
        obj["a.b"] = 1
    assert exc.value.args == (TARGET.format("a", "SubNested"),)


def test_attribute_write_bypasses_dotted_handling():
    class Sub(NestedPointel):
        def __setitem__(self, key, value):
            raise AssertionError("item assignment called")

    obj = Sub()
    setattr(obj, "a.b", 1)
    obj.c = {"d": 1}
    assert list(obj) == ["a.b", "c"] and type(obj.c) is dict
    with pytest.raises(KeyError):
        obj["a.b"]


def test_dict_operations_never_split_dotted_keys():
    obj = NestedPointel({"a": {"b": 1}})
    merged = obj | {"x.y": 1}
    assert type(merged) is dict and "x.y" in merged
    obj |= {"x.y": 2}
    assert list(obj) == ["a", "x.y"] and obj.copy() == {"a": {"b": 1}, "x.y": 2}
    assert type(obj.copy()) is dict and obj.copy()["a"] is obj["a"]


def test_update_merges_into_the_level_it_finds():
    obj = NestedPointel({"a": {"b": 1}}, c=1)
    level = obj["a"]
    obj.update({"a": {"d": 2}})
    assert obj["a"] is level and obj.__init__({"a": {"e": 3}}) is None and obj["a"] is level
    obj.update(obj)
    assert obj == {"a": {"b": 1, "d": 2, "e": 3}, "c": 1}


@pytest.mark.parametrize("source, expected", [
    ([("k", 1)], {"k": 2}),
    ((pair for pair in [("k", 1), ("j", 1)]), {"k": 2, "j": 1}),
    (iter([["k", 1]]), {"k": 2}),
    (["xy", ("z", {"q": 1})], {"x": "y", "z": {"q": 1}, "k": 2}),
    (types.MappingProxyType({"k": 1, "m": {"n": 1}}), {"k": 2, "m": {"n": 1}}),
    (collections.UserDict(k=1), {"k": 2}),
    ([PairLike(2, ["m", {"n": 1}])], {"m": {"n": 1}, "k": 2}),
])
def test_update_takes_any_pair_source_then_keywords(source, expected):
    obj = NestedPointel()
    obj.update(source, k=2)
    assert obj == expected and list(obj) == list(expected)
    assert all(type(obj[key]) is NestedPointel for key in obj if isinstance(obj[key], dict))


def unpack_error(item):
    def unpack():
        key, value = item
    return error_of(unpack)


@pytest.mark.parametrize("source, error", [
    ([("a", 1), ("b", 2, 3)], (TypeError, "cannot convert dictionary update sequence element #1 to a sequence")),
    ((p for p in [("a", 1), "abc"]), (TypeError, "cannot convert dictionary update sequence element #1 to a sequence")),
    ([("a", 1), PairLike(3, "xy")], (TypeError, "cannot convert dictionary update sequence element #1 to a sequence")),
    ([("a", 1), PairLike(2, "xyz")], unpack_error(iter("xyz"))),
    ([("a", 1), PairLike(2, "x")], unpack_error(iter("x"))),
    ([("a", 1), 5], (TypeError, "object of type 'int' has no len()")),
    ([("a", 1), PairLike(-1, "")], error_of(lambda: len(PairLike(-1, "")))),
])
def test_update_failure_keeps_earlier_items(source, error):
    obj = NestedPointel()
    assert error_of(lambda: obj.update(source)) == error
    assert obj == {"a": 1}


@pytest.mark.parametrize("call, error", [
    (lambda obj: obj.update(1, 2), (TypeError, "expected at most 1 arguments, got 2")),
    (lambda obj: NestedPointel({}, {}, {}), (TypeError, "expected at most 1 arguments, got 3")),
    (lambda obj: obj.update(None), (TypeError, "'NoneType' object is not iterable")),
])
def test_update_errors(call, error):
    obj = NestedPointel(v=1)
    assert error_of(lambda: call(obj)) == error
    assert obj == {"v": 1}


def test_update_source_changed_during_iteration_fails_as_dict_iteration_does():
    def mutate(source):
        del source["a"]
        source["c"] = 3

    def reference():
        source = {"a": 1, "b": 2}
        for key, value in source.items():
            if key == "a":
                mutate(source)

    class Mutating(NestedPointel):
        def __setitem__(self, key, value):
            super().__setitem__(key, value)
            if key == "a":
                mutate(source)

    source = {"a": 1, "b": 2}
    obj = Mutating()
    expected = error_of(reference)
    assert expected is not None
    assert error_of(lambda: obj.update(source)) == expected
    assert obj == {"a": 1, "b": 2}


def test_methods_accept_their_arguments_by_keyword():
    obj = NestedPointel()
    obj.__setitem__(key="a.b", value=1)
    assert obj.__getitem__(key="a.b") == 1 and obj.__contains__(key="a.b")
    obj.__delitem__(key="a.b")
    assert obj == {"a": {}}
    obj.update(args=1, kwargs=2)
    assert obj == {"a": {}, "args": 1, "kwargs": 2}


# --- subclasses (those that override the item methods: the plain definition above) -------------


def test_init_runs_the_next_initialiser_without_arguments():
    calls = []

    class Mixin(Pointel):
        def __init__(self, *args, **kwargs):
            calls.append((args, kwargs))
            super().__init__(*args, **kwargs)

    class Sub(NestedPointel, Mixin):
        pass

    obj = Sub({"a": {"b": 1}}, c=2)
    assert obj == {"a": {"b": 1}, "c": 2} and type(obj["a"]) is Sub
    assert calls == [((), {}), ((), {})]  # the object, then its level


def test_methods_assigned_to_a_class_after_use_are_honoured():
    calls = []

    class Sub(NestedPointel):
        pass

    obj = Sub({"a": {"b": 1}})
    assert obj["a.b"] == 1 and "a.b" in obj
    Sub.__getitem__ = lambda self, key: calls.append(key) or NestedPointel.__getitem__(self, key)
    Sub.__contains__ = lambda self, key: calls.append(key) or NestedPointel.__contains__(self, key)
    assert obj["a.b"] == 1 and "a.b" in obj
    assert calls == ["a.b", "b", "a.b", "b"]
    del Sub.__getitem__, Sub.__contains__
    calls.clear()
    assert obj["a.b"] == 1 and "a.b" in obj and calls == []
    # A Python subclass takes NestedPointel's C item slots once used: a method
    # replaced on a base afterwards is still followed.
    obj["c.d"] = 2
    NestedPointel.__contains__, saved = (lambda self, key: "yes"), vars(NestedPointel)["__contains__"]
    try:
        assert ("zz" in obj) is True
    finally:
        NestedPointel.__contains__ = saved
    assert ("zz" in obj) is False and ("c.d" in obj) is True


def test_subclass_that_needs_constructor_arguments():
    class Required(NestedPointel):
        def __init__(self, needed):
            super().__init__()

    obj = Required(1)
    obj["plain"] = {}
    obj.update({"v": 1})
    dict.__setitem__(obj, "a", Required(2))
    for call in (lambda: obj.__setitem__("a.b", 1), lambda: obj.__setitem__("n.b", 1),
                 lambda: obj.update({"m": {}})):
        with pytest.raises(TypeError):
            call()
    assert obj == {"plain": {}, "v": 1, "a": {}}


def test_update_follows_a_rebound_mapping_name(monkeypatch):
    class Branch(abc.ABC):
        pass

    class Leaf:
        def items(self):
            return [("k", 1)]

    Branch.register(Leaf)
    monkeypatch.setattr(pointel, "Mapping", Branch)
    obj = NestedPointel(x=Leaf(), y={"a": 1})
    assert obj == {"x": {"k": 1}, "y": {"a": 1}}
    assert type(obj["x"]) is NestedPointel and type(obj["y"]) is dict
    with pytest.raises(TypeError, match="element #1"):
        NestedPointel({"ab": 1, "c": 2})
    assert NestedPointel({"ab": 1}) == {"a": "b"}


@pytest.mark.parametrize("name", ["Mapping", "itertools"])
def test_module_names_are_looked_up_for_every_item(name, monkeypatch):
    calls = []

    def chain(*iterables):
        calls.append(iterables)
        return itertools.chain(*iterables)

    replacement = type("Branch", (abc.ABC,), {}) if name == "Mapping" else types.SimpleNamespace(chain=chain)

    class Rebinding(NestedPointel):
        def __setitem__(self, key, value):
            super().__setitem__(key, value)
            monkeypatch.setattr(pointel, name, replacement)

    obj = Rebinding()
    obj.update([("first", 1), ("second", {"b": 1})])
    if name == "Mapping":
        assert type(obj["second"]) is dict
    else:
        assert len(calls) == 2 and type(obj["second"]) is Rebinding  # the fresh level's __init__, then its update


def test_update_chains_through_the_module_itertools(monkeypatch):
    calls = []

    def chain(*iterables):
        iterables = [list(items) for items in iterables]
        calls.append(iterables)
        return itertools.chain(*iterables)

    monkeypatch.setattr(pointel, "itertools", types.SimpleNamespace(chain=chain))
    obj = NestedPointel({"a": {"b": 1}}, c=2)
    assert calls == [[[("a", {"b": 1})], [("c", 2)]], [[], []], [[("b", 1)], []]]
    calls.clear()
    obj["a.d"] = 3
    obj["x.y"] = 4
    assert calls == [[[], []], [[], []]]


def test_registered_mapping_merges_as_a_branch():
    class Custom:
        def __init__(self, data):
            self.data = data

        def items(self):
            return self.data.items()

    collections.abc.Mapping.register(Custom)
    obj = NestedPointel(Custom({"a": Custom({"b": 1})}), c=Custom({}))
    assert obj == {"a": {"b": 1}, "c": {}} and type(obj["a"]) is NestedPointel
    obj.update({"a": Custom({"d": 2})})
    assert obj["a"] == {"b": 1, "d": 2}


# --- pickle, copy, weak references -----------------------------------------------------------


@pytest.mark.parametrize("cls", [Pointel, SubPointel, NestedPointel, SubNested])
def test_pickle_copy_and_weak_references(cls):
    obj = cls({"a": {"b": 1}}, c=[1, 2])
    obj.e = "attr"
    shallow, deep = copy.copy(obj), copy.deepcopy(obj)
    for dup in [pickle.loads(pickle.dumps(obj, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)] + [deep]:
        assert type(dup) is cls and dup == obj and dup.e == "attr" and dup.__dict__ is dup and dup is not obj
        assert type(dup["a"]) is type(obj["a"]) and dup["a"] is not obj["a"]
    assert type(shallow) is cls and shallow is not obj and shallow == obj and shallow.e == "attr"
    assert shallow["a"] is obj["a"]
    obj["me"] = obj
    deep = copy.deepcopy(obj)
    assert deep["me"] is deep
    ref = weakref.ref(obj)
    assert ref() is obj
    del obj, deep
    gc.collect()
    assert ref() is None


# --- class assignment --------------------------------------------------------------------------


def _configuration():
    from vestri.ondrel.configuration import Configuration
    return Configuration


@pytest.mark.parametrize("base", [lambda: Pointel, lambda: NestedPointel, _configuration],
                         ids=["Pointel", "NestedPointel", "Configuration"])
def test_instances_move_between_a_class_and_its_python_subclasses(base):
    base = base()

    class Richer(base):
        def total(self):
            return sum(self.values())

    loaded = base(a=1, b=2)
    loaded.__class__ = Richer  # cast to the richer class
    assert loaded.total() == 3 and loaded.a == 1 and loaded.__dict__ is loaded
    loaded.__class__ = base
    assert type(loaded) is base and loaded == {"a": 1, "b": 2}
    made = Richer(c=3)
    made.__class__ = base
    assert type(made) is base and made.c == 3
    made.__class__ = Richer
    assert made.total() == 3


# --- CPython's mapping-protocol suite --------------------------------------------------------


class TestPointelMappingProtocol(mapping_tests.TestHashMappingProtocol):
    type2test = Pointel

    def test_copy(self):
        # copy() is dict's own and returns a plain dict.
        d = self._full_mapping({1: 1, 2: 2, 3: 3})
        self.assertEqual(d.copy(), {1: 1, 2: 2, 3: 3})
        self.assertIs(type(d.copy()), dict)
        self.assertRaises(TypeError, d.copy, None)

    def test_repr(self):
        # The suite expects dict's bare form; a Pointel wraps it in its class name.
        d = self._empty_mapping()
        self.assertEqual(repr(d), "Pointel({})")
        d[1] = 2
        self.assertEqual(repr(d), "Pointel({1: 2})")
        d = self._empty_mapping()
        d[1] = d
        self.assertEqual(repr(d), "Pointel({1: Pointel({...})})")

        class Exc(Exception):
            pass

        class BadRepr:
            def __repr__(self):
                raise Exc()

        self.assertRaises(Exc, repr, self._full_mapping({1: BadRepr()}))


# --- Python code run in the middle of an operation ---------------------------------------------


CRASHES = {
    "__missing__ swaps the class during a dotted write": """
        class Other(NestedPointel): pass
        def make():
            class T(NestedPointel):
                def __missing__(self, k):
                    self.__class__ = Other; gc.collect(); raise KeyError(k)
            return T()
        try:
            make()['a.b'] = 1
        except KeyError as exc:
            assert exc.args[0].endswith('against another Other'), exc
        else:
            raise AssertionError('no KeyError')
    """,
    "a colliding key swaps the class during update": """
        class Other(NestedPointel): pass
        class Key:
            def __init__(self, target): self.target = target
            def __hash__(self): return hash('a')
            def __eq__(self, other):
                target, self.target = self.target, None
                if target is not None:
                    target.__class__ = Other; gc.collect()
                return False
        def make():
            class T(NestedPointel): pass
            return T(a=1)
        obj = make()
        obj.update({Key(obj): {'b': 1}})
        assert type(obj) is Other and len(obj) == 2
    """,
    "a colliding key in a class namespace drops the value a dotted membership test looks at": """
        class Evil:
            armed = False
            def __hash__(self): return hash('__contains__')
            def __eq__(self, other):
                if Evil.armed:
                    Evil.armed = False
                    obj.pop('a', None); gc.collect()
                return False
        def make():
            return type(NestedPointel)('X', (NestedPointel,), {Evil(): 1})()
        obj = NestedPointel()
        obj['a'] = make()
        type(obj['a']).touched = True  # a new version: the lookups are not answered from a cache
        gc.collect()
        Evil.armed = True
        assert ('a.b' in obj) is False and 'a' not in obj
    """,
    "a colliding key in a class namespace swaps the class of a level being read": """
        class Other(NestedPointel): pass
        class Evil:
            armed = False
            def __hash__(self): return hash('__getitem__')
            def __eq__(self, other):
                if Evil.armed:
                    Evil.armed = False
                    level.__class__ = Other; gc.collect()
                    fired.append(1)
                return False
        level = type(NestedPointel)('X', (NestedPointel,), {Evil(): 1})(b=2)
        obj = NestedPointel()
        dict.__setitem__(obj, 'a', level)
        type(level).touched = True
        gc.collect()
        Evil.armed = True
        fired = []
        assert obj['a.b'] == 2 and type(level) is Other and fired
    """,
    "a descriptor's __get__ lookup frees the class of the object being read": """
        from vestri.ondrel.pointel import Pointel
        class Evil(str):
            armed = False
            def __hash__(self): return hash('__get__')
            def __eq__(self, other):
                if Evil.armed:
                    Evil.armed = False
                    victim.__class__ = Other; gc.collect()
                return False
        Descr = type('Descr', (), {Evil('zz'): 1, '__get__': lambda self, obj, cls: cls.__name__})
        class Other(Pointel): pass
        def make():
            class Sub(Pointel):
                attr = Descr()
            return Sub()
        victim = make()
        gc.collect()
        Evil.armed = True
        assert victim.attr == 'Sub' and type(victim) is Other
    """,
}


@pytest.mark.parametrize("name", list(CRASHES))
def test_python_code_mid_operation_never_crashes(name):
    run_child("import gc\nfrom vestri.ondrel.pointel import NestedPointel\n" + textwrap.dedent(CRASHES[name]))


def test_a_failing_dotted_merge_keeps_its_error_whatever_the_class():
    # A class whose construction runs code, and a value met on the way whose
    # class takes over its entry in the classes' cache while the item read fails.
    run_child(textwrap.dedent("""
        from vestri.ondrel.pointel import NestedPointel
        slot = lambda cls: (id(cls) >> 5) & 31
        Sub = type(NestedPointel)("Sub", (NestedPointel,), {"__init__": lambda self: NestedPointel.__init__(self)})
        made = [type("Value", (), {"__getitem__": lambda self, key: 1 / 0}) for _ in range(200)]
        obj = Sub()
        obj["a"] = next((cls for cls in made if slot(cls) == slot(Sub)), made[0])()
        try:
            obj.update({"a.b": {"c": 2}})
        except ZeroDivisionError:
            pass
        else:
            raise AssertionError("no ZeroDivisionError")
    """))


def test_dotted_write_names_the_class_as_it_is_after_setdefault():
    class Other(NestedPointel):
        pass

    class Swapping(NestedPointel):
        def setdefault(self, key, default=None):
            self.__class__ = Other
            return 5

    obj = Swapping()
    assert error_of(lambda: obj.__setitem__("a.b", 1)) == (
        KeyError, repr('target key "a" is a value, cannot update value against another Other'))


def test_update_is_looked_up_after_the_next_initialiser_has_run():
    calls = []

    class Mid(Pointel):
        def __init__(self):
            super().__init__()
            type(self).update = lambda self, *args, **kwargs: calls.append(args)

    class Sub(NestedPointel, Mid):
        pass

    obj = Sub({"a": 1})
    assert calls == [({"a": 1},)] and dict(obj) == {}


def test_a_level_read_after_its_constructor_changed_the_class_uses_the_new_method():
    armed = []

    class Sub(NestedPointel):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            if armed:
                armed.clear()
                type(self).__getitem__ = lambda self, key: "given"

    obj = Sub()
    armed.append(True)
    # setdefault reads self['a'] after type(self)() has run, so it finds "given", a value.
    assert error_of(lambda: obj.__setitem__("a.b", 1)) == (
        KeyError, repr('target key "a" is a value, cannot update value against another Sub'))


def test_the_split_of_a_dotted_key_is_out_of_the_collectors_sight():
    key = "".join(["split-probe.", "y"])  # a string of its own, never used as a key before
    obj = NestedPointel()
    obj[key] = 1
    assert obj[key] == 1
    # No Python code can then find the cached split (gc.get_objects) and put something else under the key.
    assert not [r for r in gc.get_objects() if type(r) is dict and key in r]


def test_a_class_lookup_that_a_failing_key_comparison_ended_is_asked_again():
    # The interpreter's class lookup swallows the error and answers "nothing": no miss to remember.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a key of another type in a class namespace
        P = type("P", (Pointel,), {FailingOnceKey("foo", armed=True): "class attribute"})
    obj = P(foo="key")
    P.bar = 1  # a version tag for the reads below
    assert obj.bar == 1
    assert [obj.foo, obj.foo, obj.foo] == ["key", "class attribute", "class attribute"]


def test_a_class_changed_while_its_item_slot_is_adopted_keeps_its_own_method():
    calls = []
    evil = ActingKey("zz", hash_as="__delitem__")
    Mixin = type("Mixin", (dict,), {evil: 1})

    class Sub(Mixin, NestedPointel):
        pass

    obj = Sub()
    Sub.touched = True  # a new version: the lookups are not answered from a cache
    evil.action = lambda: setattr(Sub, "__setitem__", lambda self, key, value: calls.append(key))
    obj.__setitem__("a", 1)  # the method takes the class's item slot, looking up __delitem__ on the way
    obj["b"] = 2
    assert calls == ["b"] and dict(obj) == {"a": 1}


def test_a_module_name_rebound_while_the_names_are_checked_is_followed():
    calls = []

    class Fake:
        @staticmethod
        def chain(*iterables):
            calls.append(len(iterables))
            return itertools.chain(*iterables)

    namespace, chain, evil = vars(itertools), itertools.chain, ActingKey("zz", hash_as="chain")
    # Met before the real name on the way to it, so the lookup of `chain` compares with it.
    del namespace["chain"]
    namespace[evil] = 1
    namespace["chain"] = chain
    try:
        evil.action = lambda: setattr(pointel, "itertools", Fake)
        obj = NestedPointel()  # checks the names, and rebinds `itertools` while doing so
        obj.update(a=1)
    finally:
        pointel.itertools = itertools
        del namespace[evil]
    assert calls == [2] and obj == {"a": 1}




# --- fast paths follow the class -----------------------------------------------------------------


def churn():
    # Freed objects' addresses get reused: a fast path that compared against
    # a freed descriptor would now see something else at that address.
    gc.collect()
    return [tuple(range(i % 7)) + (object(),) for i in range(20_000)]


class Recorder:
    def __init__(self):
        self.calls = []

    def method(self, result=None):
        def record(*args, **kwargs):
            self.calls.append(args[1:])
            return result
        return record


def replaced(cls, name, value):
    saved = vars(cls)[name]
    if value is None:
        delattr(cls, name)
    else:
        setattr(cls, name, value)
    return saved


# name: (a call that reaches it, or None; what the class does without it, checked after deleting it)
WATCHED = {
    "__getitem__": (lambda obj: obj["a.b"],
                    lambda: error_of(lambda: NestedPointel(a={"b": 1})["a.b"]) == (KeyError, "'a.b'")),
    "__setitem__": (lambda obj: obj.__setitem__("a.b", 2), lambda: list(_set(NestedPointel(), "a.b", 1)) == ["a.b"]),
    "__delitem__": (lambda obj: obj.__delitem__("a.b"),
                    lambda: error_of(lambda: _del(NestedPointel(a={"b": 1}), "a.b")) == (KeyError, "'a.b'")),
    "__contains__": (lambda obj: "a.b" in obj, lambda: ("a.b" in NestedPointel(a={"b": 1})) is False),
    "update": (lambda obj: obj.update(x={"y": 1}), lambda: type(NestedPointel({"a": {"b": 1}})["a"]) is dict),
    "__init__": (None, lambda: type(NestedPointel({"a": {"b": 1}})["a"]) is dict),
    "setdefault": (lambda obj: obj.__setitem__("x.y", 1), lambda: NestedPointel().setdefault("a.b", 1) == 1),
}


def _set(obj, key, value):
    obj[key] = value
    return obj


def _del(obj, key):
    del obj[key]


def follow_watched(name):
    call, without = WATCHED[name]
    saved = replaced(NestedPointel, name, None)
    try:
        junk = churn()
        assert without()
        del junk
        setattr(NestedPointel, name, saved)
        if call:
            obj = NestedPointel(a={"b": 1})
            recorder = Recorder()
            replaced(NestedPointel, name, recorder.method(obj))
            call(obj)
            assert recorder.calls
    finally:
        setattr(NestedPointel, name, saved)
    assert NestedPointel({"a": {"b": 1}})["a.b"] == 1 and "a.b" in NestedPointel({"a": {"b": 1}})


# In a child process: a deleted method comes back last in the class's namespace,
# and the classes made from it keep the interpreter's generic slots.
@pytest.mark.parametrize("name", list(WATCHED))
def test_deleting_or_replacing_a_watched_method_is_followed(name):
    here = pathlib.Path(__file__).parent
    run_child(f"import sys\nsys.path.insert(0, {str(here)!r})\nimport test_pointel\ntest_pointel.follow_watched({name!r})")


def test_replacing_pointel_new_or_init_is_followed_by_its_call():
    # In a child process: a class keeps the interpreter's generic slot once its __new__ was replaced.
    code = textwrap.dedent("""
        from vestri.ondrel.pointel import NestedPointel, Pointel
        calls = []
        saved = vars(Pointel)['__init__']
        Pointel.__init__ = lambda self, *args, **kwargs: calls.append((args, kwargs))
        assert Pointel(1, k=2) == {} and Pointel({'a': 1}) == {} and calls == [((1,), {'k': 2}), (({'a': 1},), {})]
        NestedPointel(a=1)
        assert calls[-1] == ((), {})
        Pointel.__init__ = saved
        assert Pointel({'a': 1}, k=2) == {'a': 1, 'k': 2}
        Pointel.__new__ = staticmethod(lambda cls, *args, **kwargs: ('made', args, kwargs))
        assert Pointel(1, k=2) == ('made', (1,), {'k': 2})
    """)
    run_child(code)


# --- deep structures, small stacks and leaks: each works or raises, none crashes ------------------
#
# In the small-stack thread the deep structures are only built and used; they
# are released by the main thread, because on 3.13 the interpreter's own
# deallocation of a 100,000-deep chain of plain dicts overflows a 512 KiB stack.


LONG_KEY = "'.'.join(['k'] * 100_000)"

SCENARIOS = {
    "dotted key of 100000 segments": f"""
        key = {LONG_KEY}
        obj = NestedPointel()
        obj[key] = 1
        assert obj[key] == 1 and key in obj and obj.get(key) == 1
        del obj[key]
        assert key not in obj and obj.get(key, 0) == 0
        obj[key] = 2
        keep.append(obj)
    """,
    "constructor given a 100000-deep mapping": """
        deep = {}
        for _ in range(100_000):
            deep = {'k': deep}
        keep.append(deep)
        for build in (lambda: NestedPointel(deep), lambda: NestedPointel().update(deep), lambda: Pointel(deep)):
            try:
                build()
            except RecursionError:
                pass
    """,
    "levels that delegate through Python methods": f"""
        class Sub(NestedPointel):
            def __getitem__(self, key):
                return super().__getitem__(key)
            def __setitem__(self, key, value):
                super().__setitem__(key, value)
            def __contains__(self, key):
                return super().__contains__(key)
            def __delitem__(self, key):
                super().__delitem__(key)
        key = '.'.join(['k'] * 5_000)  # each delegation re-splits the rest: keep it short
        sys.setrecursionlimit(1_000_000)
        obj = Sub()
        for op in (lambda: obj.__setitem__(key, 1), lambda: obj[key], lambda: key in obj, lambda: obj.__delitem__(key)):
            try:
                op()
            except (RecursionError, KeyError):  # a write cut short leaves a shorter chain
                pass
        deep = {{}}
        for _ in range(100_000):
            deep = {{'k': deep}}
        keep.extend([obj, deep])
        try:
            Sub(deep)
        except RecursionError:
            pass
    """,
    "self-containing objects and deep chains": """
        for cls in (Pointel, NestedPointel):
            obj = cls()
            obj['me'] = obj
            repr(obj)
            chain = cls()
            for _ in range(100_000):
                chain, inner = cls(), chain
                dict.__setitem__(chain, 'k', inner)
            for op in (lambda: repr(chain), lambda: copy.deepcopy(chain)):
                try:
                    op()
                except RecursionError:
                    pass
            keep.append(chain)
    """,
}


@pytest.mark.parametrize("stack", ["main thread", "512 KiB thread"])
@pytest.mark.parametrize("name", list(SCENARIOS))
def test_deep_structures_never_crash(name, stack):
    body = textwrap.indent(textwrap.dedent(SCENARIOS[name]), "    ")
    code = textwrap.dedent("""
        import copy, pickle, sys, threading
        from vestri.ondrel.pointel import NestedPointel, Pointel

        keep = []  # deep structures, released by the main thread

        def scenario():
        {body}

        if {threaded}:
            threading.stack_size(512 * 1024)
            failures = []
            def target():
                try:
                    scenario()
                except BaseException as exc:
                    failures.append(exc)
            worker = threading.Thread(target=target)
            worker.start()
            worker.join()
            if failures:
                raise failures[0]
        else:
            scenario()
        keep.clear()
    """).format(body=body, threaded=stack != "main thread")
    run_child(code)


@pytest.mark.parametrize("kib", [64, 128, 256])
def test_small_thread_stacks_do_shallow_work_and_stop_deep_input(kib):
    deep = {}
    for _ in range(100_000):
        deep = {"k": deep}

    def work():
        shallow = (NestedPointel({"a": {"b": 1}})["a.b"], repr(Pointel(a=1)))
        with pytest.raises(RecursionError):
            NestedPointel(deep)
        return shallow

    assert in_small_thread(kib, work) == {"result": (1, "Pointel({'a': 1})")}


def test_registering_a_builtin_as_a_mapping_is_seen_by_later_updates():
    code = textwrap.dedent("""
        from collections.abc import Mapping
        from vestri.ondrel.pointel import NestedPointel
        obj = NestedPointel({'a': {'b': 1}}, n=1, s='x', t=(1, 2))
        Mapping.register(int)
        try:
            obj.update({'m': 5})
        except AttributeError as exc:
            print(exc)
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "'int' object has no attribute 'items'"


NESTED = NestedPointel({"a": {"b": 1}}, s="xyz", v=1)
LONG = ".".join(["k"] * 200)
LONG_TREE = NestedPointel({LONG: 1})

LEAK_CHECKED = {
    "pointel construct and repr": lambda: repr(Pointel({"a": 1}, b=2)),
    "pointel attributes": lambda: (setattr(p := Pointel(), "x", 1), p.x, delattr(p, "x")),
    "pointel missing attribute": lambda: Pointel().nope,
    "pointel missing attribute delete": lambda: delattr(Pointel(), "nope"),
    "pointel bad constructor": lambda: Pointel(1, 2),
    "nested construct": lambda: NestedPointel({"a": {"b": {"c": 1}}}, d=2, e=[1]),
    "subclass construct and write": lambda: SubNested({"a": {"b": 1}}).__setitem__("a.c.d", 2),
    "dotted read of a long key": lambda: LONG_TREE[LONG],
    "dotted read through a value": lambda: NESTED["v.x"],
    "dotted membership": lambda: ("a.b" in NESTED, "s.y" in NESTED, "q.r" in NESTED),
    "dotted write": lambda: NestedPointel().__setitem__("x.y.z", 1),
    "get pop setdefault": lambda: (NESTED.get("a.x"), NESTED.pop("a.x", 0), NestedPointel().setdefault("m.n", 1)),
    "missing key pop": lambda: NESTED.pop("a.x"),
    "update bad item": lambda: NestedPointel().update([("a", 1), (1, 2, 3)]),
    "update item without length": lambda: NestedPointel().update([("a", {"b": 1}), 5]),
    "update mapping over a value": lambda: NestedPointel(v=1).update({"v": {"b": 1}}),
    "update from a generator": lambda: NestedPointel().update((p for p in [("a", {"b": 1}), ("c", 2)]), d=3),
    "wrong arguments": lambda: NESTED.__getitem__(),
    "wrong keyword": lambda: NESTED.__setitem__(key=1, vale=2),
    "self as keyword": lambda: NestedPointel(self=1),
    "pickle round trip": lambda: pickle.loads(pickle.dumps(NESTED)),
}


class Delegating(NestedPointel):
    def __getitem__(self, key):
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        super().__setitem__(key, value)

    def setdefault(self, key, default=None):
        return super().setdefault(key, default)

    def update(self, *args, **kwargs):
        super().update(*args, **kwargs)


DELEGATING = Delegating({"a": {"b": 1}}, v=1)

LEAK_CHECKED.update({
    "delegating construct": lambda: Delegating({"a": {"b": {"c": 1}}}, d=2),
    "delegating dotted read": lambda: (DELEGATING["a.b"], DELEGATING.get("a.x")),
    "delegating dotted write": lambda: Delegating().__setitem__("x.y.z", 1),
    "delegating target key error": lambda: DELEGATING.__setitem__("v.x", 1),
    "delegating update error": lambda: Delegating(v=1).update({"v": {"b": 1}}),
})


@pytest.mark.parametrize("name", ["nested construct", "update from a generator", "update bad item", "dotted write"])
def test_no_leak_with_rebound_module_names(name, monkeypatch):
    monkeypatch.setattr(pointel, "itertools", types.SimpleNamespace(chain=itertools.chain))
    assert_no_growth(LEAK_CHECKED[name], repeat=3000)


@pytest.mark.parametrize("name", list(LEAK_CHECKED))
def test_no_leak(name):
    assert_no_growth(LEAK_CHECKED[name], repeat=3000)

