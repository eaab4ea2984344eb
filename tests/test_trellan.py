"""Trellan: nested data as (path, value) pairs, flattened lazily and rebuilt."""

import collections
import collections.abc
import functools
import gc
import operator
import sys
import traceback
import types
import weakref

import pytest
from hypothesis import example, given, strategies as st

import vestri.ondrel.trellan as trellan
from vestri.ondrel.trellan import DictItem, IndexMarker, Trellan

from leakcheck import assert_no_growth
from outcomes import error_of

NOT_A_PAIR = "Trellan only accepts a tuple of path/obj"


def marker_form(path):
    """A path with each marker replaced by (type, index), for comparisons."""
    return tuple((p.type_, p.index) if isinstance(p, IndexMarker) else p for p in path)


def flat(pairs):
    """Pairs with their markers in comparable form; other items as they are."""
    return [(marker_form(p[0]), p[1]) if isinstance(p, tuple) else p for p in pairs]


def python_flatten(indict, path=None):
    """The flattening as a plain generator: levels joined by `yield from`."""
    path = path[:] if path else ()
    if isinstance(indict, collections.abc.MutableMapping):
        steps = indict.items()
    elif isinstance(indict, (list, tuple)):
        steps = ((IndexMarker(indict, i), value) for i, value in enumerate(indict))
    else:
        yield indict
        return
    for step, value in steps:
        if isinstance(value, (collections.abc.MutableMapping, list, tuple)) and value:
            yield from (python_flatten if Trellan.__flatten__ is NATIVE_FLATTEN else Trellan.__flatten__)(
                value, path + (step,))
        else:
            yield DictItem(path + (step,), value)


NATIVE_FLATTEN = Trellan.__flatten__


# --- IndexMarker ------------------------------------------------------------------------


@pytest.mark.parametrize("obj, index, text, stored", [
    (["x"], "3", "list[3]", 3),
    ((), 1.9, "tuple[1]", 1),
    ([], True, "list[1]", 1),
    (type("Row", (list,), {})(), 0, "Row[0]", 0),
])
def test_index_marker_keeps_type_and_int_index(obj, index, text, stored):
    marker = IndexMarker(obj, index)
    assert vars(marker) == {"type_": type(obj), "index": stored}
    assert type(marker.index) is int and repr(marker) == str(marker) == text
    assert marker != IndexMarker(obj, index) and marker == marker  # compared by identity
    with pytest.raises(ValueError):  # type_ is set before the index is converted
        marker.__init__((), "x")
    assert vars(marker) == {"type_": tuple, "index": stored}


def test_markers_made_by_flattening_are_ordinary_instances():
    # Their attributes are written straight into the instance's values: the
    # instance must be what IndexMarker(seq, i) makes, order of attributes included.
    rows = type("Rows", (list,), {})
    pairs = Trellan({"a": [1, ("x", rows([2]))]})
    markers = [element for path, _ in pairs for element in path if isinstance(element, IndexMarker)]
    assert all(gc.is_tracked(m) for m in markers) and markers[0] in gc.get_referrers(list)
    assert [list(vars(m).items()) for m in markers] == [
        [("type_", list), ("index", 0)], [("type_", list), ("index", 1)], [("type_", tuple), ("index", 0)],
        [("type_", list), ("index", 1)], [("type_", tuple), ("index", 1)], [("type_", rows), ("index", 0)]]
    # Pairs below one element share the marker of their common prefix.
    assert markers[1] is markers[3] and markers[1] is not markers[0]
    marker = markers[0]
    marker.extra = marker
    del marker.type_
    marker.type_, marker.index = tuple, 7  # repr reads the attributes now
    assert list(vars(marker)) == ["index", "extra", "type_"] and repr(marker) == "tuple[7]"
    probe = weakref.ref(marker)
    del marker, markers, pairs
    gc.collect()
    assert probe() is None

# --- constructor ------------------------------------------------------------------------


@pytest.mark.parametrize("args, expected", [
    ((), []),
    (([(("a",), 1)],), [(("a",), 1)]),
    (([(("a",), 1), (("b",), 2), (("c",), 3)],), [(("a",), 1), (("b",), 2), (("c",), 3)]),
    ((iter([(("a",), 1), ["b", 2]]),), [(("a",), 1), ["b", 2]]),
    ((["ab", "cd"],), ["ab", "cd"]),
])
def test_non_mapping_input_is_stored_unchanged(args, expected):
    t = Trellan(*args)
    assert t == expected and all(type(p) is not DictItem for p in t)


def test_constructor_replaces_the_previous_content():
    assert error_of(lambda: Trellan([], [])) == (TypeError, "list expected at most 1 argument, got 2")
    t = Trellan({"a": 1})
    t.__init__({"b": 2})
    assert flat(t) == [(("b",), 2)]


# --- __flatten__ ------------------------------------------------------------------------


def test_flatten_is_a_lazy_generator_that_refuses_reentry():
    calls = []

    class Loud(dict):
        def items(self):
            calls.append("items")
            return super().items()

    gen = Trellan.__flatten__(Loud(a=1))
    assert calls == [] and isinstance(gen, collections.abc.Generator)
    assert iter(gen) is gen
    assert next(gen) == (("a",), 1) and calls == ["items"]
    assert list(gen) == [] and list(gen) == []
    assert Trellan().__flatten__({"a": 1}, path=None).send(None) == (("a",), 1)
    assert repr(gen).startswith("<generator object Trellan.__flatten__ at ")
    inner = Truth([1])
    gen = Trellan.__flatten__({"a": inner})
    inner.action = lambda: next(gen)
    with pytest.raises(ValueError, match="generator already executing"):
        list(gen)


@pytest.mark.parametrize("args, expected", [
    (({"a": {"b": 1, "c": [10, {"d": 2}]}, "e": {}},),
     [(("a", "b"), 1), (("a", "c", (list, 0)), 10), (("a", "c", (list, 1), "d"), 2), (("e",), {})]),
    (({},), []),
    (({"a": {}},), [(("a",), {})]),
    (({"a": "xy"},), [(("a",), "xy")]),
    (({"a": b"xy", "b": None, "c": frozenset()},), [(("a",), b"xy"), (("b",), None), (("c",), frozenset())]),
    (({"a": (1, 2)},), [(("a", (tuple, 0)), 1), (("a", (tuple, 1)), 2)]),
    (({"a": types.MappingProxyType({"x": 1})},), [(("a",), types.MappingProxyType({"x": 1}))]),
    (({"a": 1}, ("root",)), [(("root", "a"), 1)]),
    (([5, 6],), [(((list, 0),), 5), (((list, 1),), 6)]),
    ((7,), [7]),
    (({"a": 1}, ()), [(("a",), 1)]),
    (({"a": 1}, 0), [(("a",), 1)]),
    *((({"a": 1}, path), TypeError) for path in (["x"], "x", 5.5)),  # a path must be a tuple, seen when started
])
def test_flatten_enters_mappings_lists_and_tuples(args, expected):
    gen = Trellan.__flatten__(*args)
    if expected is TypeError:
        with pytest.raises(TypeError):
            next(gen)
        return
    assert flat(gen) == expected
    if len(args) == 1 and isinstance(args[0], dict):  # the constructor stores the same, as DictItems
        data = repr(args[0])
        t = Trellan(args[0])
        assert flat(t) == expected and all(type(p) is DictItem for p in t) and repr(args[0]) == data


LEVEL_NAMES = ("python_flatten", "vestri.ondrel.trellan.Trellan.__flatten__")


def outcome(call):
    """What a call gives, or its exception with its cause and the number of
    flattening levels each of them left."""
    def levels(exc):
        return sum(e.name in LEVEL_NAMES for e in traceback.extract_tb(exc.__traceback__))

    try:
        return "ok", call()
    except BaseException as exc:  # noqa: BLE001 - GeneratorExit and StopIteration are outcomes too
        cause = exc.__cause__
        return type(exc), str(exc), levels(exc), cause and (type(cause), levels(cause))


def delegate_catching(indict, path=None):
    for key, value in indict.items():
        try:
            sent = yield DictItem((path or ()) + (key,), value)
            if sent is not None:
                yield "sent", sent
        except KeyError as exc:
            yield "caught", str(exc)


def delegate_plain(indict, path=None):
    """An iterator without send, throw or close."""
    return iter([DictItem((path or ()) + (k,), v) for k, v in indict.items()])


class DelegateRich:
    def __init__(self, indict, path=None):
        self.items = delegate_plain(indict, path)

    def __iter__(self):
        return self

    def __next__(self):
        return next(self.items)

    def throw(self, *args):
        return "thrown", len(args)

    def close(self):
        raise ValueError("close failed")

    def send(self, value):
        raise StopIteration


PROTOCOL_CALLS = [
    lambda g: g.throw(StopIteration), lambda g: g.throw(StopIteration("x")), lambda g: g.throw(KeyError("k")),
    lambda g: g.throw(KeyError, "k", None), lambda g: g.throw(GeneratorExit), lambda g: g.throw(5),
    lambda g: g.close(), lambda g: g.send(None), lambda g: g.send(1),
]


@pytest.mark.filterwarnings("ignore:the \\(type, exc, tb\\) signature:DeprecationWarning")
@pytest.mark.parametrize("delegate", [None, delegate_catching, delegate_plain, DelegateRich])
def test_generator_protocol_is_a_python_generators(monkeypatch, delegate):
    # Nested levels, each left by throw() and close() as nested generators
    # are; with `Trellan.__flatten__` replaced, the innermost level delegates
    # to what the replacement returns, and throw/close/send reach it first.
    if delegate:
        monkeypatch.setattr(Trellan, "__flatten__", staticmethod(delegate))
    data = {"a": {"b": 1, "c": {"e": 2, "f": 3}}, "d": 4}
    for steps in range(6):  # not started, inside each level, exhausted
        for call in PROTOCOL_CALLS:
            got = []
            for flatten in (NATIVE_FLATTEN, python_flatten):
                gen = flatten(data)
                got.append([outcome(lambda: next(gen)) for _ in range(steps)] + [outcome(lambda: call(gen))] +
                           [outcome(lambda: next(gen)) for _ in range(3)])
            assert got[0] == got[1]


class Bad(dict):
    def __init__(self, exc):
        super().__init__(x=1)
        self.exc = exc

    def items(self):
        raise self.exc


class Truth(list):
    """A list whose truth test runs `action`."""

    def __bool__(self):
        return self.action()


def failing_value(exc):
    value = Truth([1])
    value.action = Bad(exc).items
    return {"v": value}


@pytest.mark.parametrize("exc", [KeyError, StopIteration])
@pytest.mark.parametrize("depth", [0, 1, 3])
@pytest.mark.parametrize("make", [Bad, failing_value], ids=["items", "truth"])
def test_an_error_names_every_level_it_leaves(make, exc, depth):
    # A StopIteration leaves as the RuntimeError a generator makes of it.
    node = make(exc)
    for _ in range(depth):
        node = {"k": node}
    native, python = outcome(lambda: list(Trellan.__flatten__(node))), outcome(lambda: list(python_flatten(node)))
    assert native == python and native[2] + (native[3][1] if native[3] else 0) == depth + 1
    assert outcome(lambda: Trellan(node))[1:] == native[1:]


@pytest.mark.parametrize("change", [lambda d: d.update(c=3), lambda d: (d.pop("a"), d.update(c=3))], ids=["size", "keys"])
def test_changing_a_dict_while_flattening_raises_the_dicts_error(change):
    def walk(keys):
        data = {"a": 1, "b": 2}
        it = keys(data)
        seen = [next(it)]
        change(data)
        try:
            seen.extend(it)
        except RuntimeError as exc:
            seen.append(str(exc))
        return seen

    flattened = walk(lambda d: (item[0][0] for item in Trellan.__flatten__(d)))
    assert flattened == walk(lambda d: (key for key, _ in d.items()))
    assert flattened[-1].startswith("dictionary ")


@pytest.mark.parametrize("name", ["DictItem", "IndexMarker", "MutableMapping", "Trellan"])
def test_rebound_module_names_are_honoured(monkeypatch, request, name):
    # Deleting and restoring a name would move it to the end of the namespace.
    namespace = dict(vars(trellan))
    request.addfinalizer(lambda: (vars(trellan).clear(), vars(trellan).update(namespace)))
    calls = []
    real = getattr(trellan, name)
    target = real.__flatten__ if name == "Trellan" else real

    def wrapper(*args, **kwargs):
        calls.append(args)
        return target(*args, **kwargs)

    if name == "MutableMapping":
        class Spy(type(real)):
            def __instancecheck__(cls, obj):
                calls.append(obj)
                return isinstance(obj, real)
        replacement = Spy("MM", (), {})
    elif name == "Trellan":
        replacement = types.SimpleNamespace(__flatten__=wrapper)
    else:
        replacement = wrapper
    monkeypatch.setattr(trellan, name, replacement)
    t = Trellan({"a": [{"b": 1}]})
    assert flat(t) == [(("a", (list, 0), "b"), 1)]
    assert calls
    monkeypatch.delattr(trellan, name)
    with pytest.raises(NameError):
        Trellan({"a": [{"b": 1}]})


def test_a_registered_builtin_is_taken_as_a_mapping():
    Seq = type("Seq", (list,), {})
    collections.abc.MutableMapping.register(Seq)
    with pytest.raises(AttributeError):  # entered as a mapping: items() is called
        Trellan({"a": Seq([1])})


# --- adding pairs -------------------------------------------------------------------------


def test_setitem_stores_a_plain_tuple_the_others_dict_items():
    t = Trellan({"a": 1})
    t[0] = DictItem(("z",), 2)
    assert type(t[0]) is tuple and t[0] == (("z",), 2)
    t[0] = iter([("y",), 3])  # taken once, stored whole
    assert t[0] == (("y",), 3)
    t[0:1] = [("w",), 4]
    assert t == [("w",), 4]
    t.__setitem__(index=0, item=["v", 5])
    assert t[0] == ("v", 5)
    with pytest.raises(IndexError):
        t[9] = (("x",), 1)
    del t[0]
    assert t == [4]
    t = Trellan()
    t.append((("x", "y"), 1))
    t.insert(0, (("a",), 0))
    t.extend([(("b",), 2), ["c", 3]])
    t.extend(iter([(("d",), 4)]))
    t.append("ab")
    assert all(type(p) is DictItem for p in t)
    assert [tuple(p) for p in t] == [(("a",), 0), (("x", "y"), 1), (("b",), 2), ("c", 3), (("d",), 4), ("a", "b")]
    assert error_of(lambda: t.insert("x", (("a",), 1)))[0] is TypeError


@pytest.mark.parametrize("operation", [
    # The constructor, given anything but a mapping, checks its elements alike.
    *(lambda t, arg=arg: t.__init__(arg) for arg in ([1, 2], 5, [(1, 2, 3)], [()], iter([(1, 2), 5]))),
    lambda t: t.__setitem__(0, 5),
    lambda t: t.append(5),
    lambda t: t.append((1, 2, 3)),
    lambda t: t.insert(0, [1]),
    lambda t: t.extend([(("a",), 1), 5]),
    lambda t: t.extend(5),
])
def test_mutators_refuse_non_pairs_and_leave_the_list_unchanged(operation):
    t = Trellan({"a": 1})
    before = list(t)
    with pytest.raises(ValueError, match=NOT_A_PAIR) as exc:
        operation(t)
    assert isinstance(exc.value.__context__, (TypeError, ValueError))
    assert t == before


# --- reconstruct ------------------------------------------------------------------------


M = IndexMarker


@pytest.mark.parametrize("pairs, expected", [
    ([("ab", 1)], {"a": {"b": 1}}),
    ([(("a", M([], 5)), 1)], {"a": [1]}),
    ([(("a",), 1), (("a",), 2)], {"a": 2}),
    ([(("a", M((), 0)), 1), (("a", M((), 0)), 2)], {"a": (1, 2)}),
    ([(("a", M([], 0)), 1), (("a", M([], 0)), 2)], {"a": [2]}),
    ([(("a", M([], 0)), 1), (("a", M([], 3)), 2)], {"a": [1, 2]}),
    ([(("a", M([], 0)), 1), (("a", M((), 0)), 2)], {"a": (2,)}),
    ([(("a",), 1), (("a", M([], 0)), 2)], {"a": [2]}),
    ([(("a",), {"x": 1}), (("a", "b"), 2)], {"a": {"x": 1, "b": 2}}),
    ([(("a",), (1,)), (("a", M((), 1)), 2)], {"a": (1, 2)}),
    ([(("a",), (1,)), (("a", "b"), 2)], {"a": (1, {"b": 2})}),
    ([(("a", M(type("Row", (list,), {})(), 0)), 1)], {"a": [1]}),
])
def test_reconstruct_rules(pairs, expected):
    assert Trellan(pairs).reconstruct() == expected


def test_reconstruct_stores_values_by_reference_and_makes_a_new_dict_each_time():
    value, inner = object(), []
    out = Trellan([(("a",), value), (("b",), inner), (("b", M([], 0)), 1)]).reconstruct()
    assert out["a"] is value and out["b"] is inner and inner == [1]  # a list extended in place
    for t in (Trellan({}), Trellan({"a": {"b": 1}})):
        assert t.reconstruct() == t.reconstruct() and t.reconstruct() is not t.reconstruct()
    assert list(t) == Trellan({"a": {"b": 1}})


@pytest.mark.parametrize("pairs, error, text", [
    ([((), 1)], ValueError, "path is empty"),
    ([(("a",), 1), ((M([], 0),), 2)], ValueError, "begins with an IndexMarker"),
    ([(5, 1)], TypeError, "not iterable"),
    ([(("a", "b", "c"), 1, 2)], ValueError, "too many values"),
    ([(("a",), 1), (("a", "b"), 2)], TypeError, None),
])
def test_reconstruct_errors(pairs, error, text):
    t = Trellan()
    list.extend(t, pairs)
    with pytest.raises(error) as exc:
        t.reconstruct()
    assert text is None or text in str(exc.value)


def test_reconstruct_lands_every_pair_after_a_collector_callback_replaced_a_level():
    # Whenever the callback runs, the pairs placed after it walk from the result again and land in the new level.
    pairs = [(("SENT",), 0)] + [(("a", "b", f"k{i}", "z"), i) for i in range(200)]
    seen = []

    def callback(phase, info):
        if phase != "start" or seen:
            return
        for o in gc.get_objects():
            if type(o) is dict and "SENT" in o and len(o.get("a", {}).get("b", {})) >= 5:
                seen.append(len(o["a"]["b"]))
                o["a"] = {"b": {"fresh": True}}
                return

    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        r = Trellan(pairs).reconstruct()
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)
    assert seen and len(r["a"]["b"]) == 1 + 200 - seen[0] and r["a"]["b"]["fresh"] is True


leaves = st.one_of(st.integers(), st.text(max_size=3), st.none(), st.booleans(), st.floats(allow_nan=False))
keys = st.one_of(st.text(max_size=3), st.integers(-3, 3))
nestings = st.recursive(
    leaves,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(tuple),
                            st.dictionaries(keys, inner, max_size=4)),
    max_leaves=30)


@given(st.dictionaries(keys, nestings, max_size=5))
def test_round_trip_keeps_paths_leaves_and_structure(data):
    t, expected = Trellan(data), list(python_flatten(data))
    assert flat(t) == flat(expected) and all(p.value is e.value for p, e in zip(t, expected))
    assert t.reconstruct() == data


MARKERS = [IndexMarker(seq, i) for seq in ([], ()) for i in (0, 1, 5, -1)]
elements = st.one_of(st.sampled_from(["a", "b", 0]), st.sampled_from(MARKERS))
paths = st.builds(lambda first, rest: (first,) + tuple(rest), st.sampled_from(["a", "b"]),
                  st.lists(elements, max_size=4))


class Reversed(Trellan):
    """Rebuilt through its own iteration (backwards): the walk trusts nothing it read before."""

    def __iter__(self):
        return reversed(list(list.__iter__(self)))


@example([(("a",), 1), (("a",), 2)])
@given(st.lists(st.tuples(paths, st.integers(0, 3)), max_size=12).map(lambda pairs: pairs * 2))
def test_reconstruct_of_any_pairs_is_that_of_the_cautious_walk(pairs):
    # Consecutive pairs share prefixes and markers (the same objects), as
    # flattened ones do, and also repeat and skip positions.
    assert outcome(lambda: repr(Trellan(pairs[::-1]).reconstruct())) == outcome(
        lambda: repr(Reversed(pairs).reconstruct()))


# --- robustness ---------------------------------------------------------------------------


Keep = type("Keep", (list,), {})  # a list the hostile callbacks below leave alone: the caller's own


def clear_referrers(obj, kinds):
    """Empties every plain list (or dict) that refers to `obj`, as user code
    can reach the package's own scratch storage through the collector."""
    for referrer in gc.get_referrers(obj):
        if type(referrer) in kinds:
            referrer.clear()
    gc.collect()


class ClearingPair:
    """A pair whose iteration empties the lists holding it."""

    def __iter__(self):
        clear_referrers(self, (list,))
        return iter((("a",), 1))


def clearing_key(kinds):
    class Key(str):
        def __hash__(self):
            clear_referrers(self, kinds)
            return str.__hash__(self)

        __eq__ = str.__eq__

    return Key


def rebind_while_a_marker_is_read():
    """Pairs whose second marker has, in its instance dict, a key that hashes
    like `type_`: reading the attribute runs its __eq__, which puts a new
    list under "a" in the dict being rebuilt."""
    armed, first = [], object()  # the first value, found in no other dict

    class Key(str):
        def __hash__(self):
            return hash("type_")

        def __eq__(self, other):
            if armed:
                armed.clear()
                for obj in gc.get_objects():
                    if type(obj) is dict and obj.get("a") == [first]:
                        obj["a"] = [{}]
            return False

    marker = IndexMarker.__new__(IndexMarker)
    vars(marker)[Key("zz")] = None  # first, so that the lookups meet it
    marker.__init__([], 0)
    t = Trellan([(("a", IndexMarker([], 0)), first), (("a", marker), 2)])
    armed.append(True)
    return t.reconstruct()


@pytest.mark.parametrize("call, expected", [
    # The elements the pair check walks, emptied by a pair's iteration.
    (lambda: (lambda items: Trellan(items) == items)(Keep([ClearingPair(), (("b",), 2)] * 30)), True),
    (lambda: (lambda t: t.extend(Keep([ClearingPair(), (("b",), 2)] * 30)) or t[-2:])(Trellan()),
     [(("a",), 1), (("b",), 2)]),
    # The path's copy that the rebuild walks, emptied by a key's __hash__.
    (lambda: Trellan([(Keep(["a", clearing_key((list,))("b"), "c"]), 1), (("a", "x"), 2)]).reconstruct(),
     {"a": {"b": {"c": 1}, "x": 2}}),
    # The level holding the key, emptied by its __hash__: `ptr[k]` is read
    # again after `ptr[k] = ptr.get(k, {})`, as written.
    (lambda: Trellan([(("a", clearing_key((dict,))("b"), "c"), 1)]).reconstruct(), KeyError("b")),
    (lambda: Trellan([(("a", "b", clearing_key((dict,))("c")), 1)]).reconstruct(), KeyError("c")),
    # The list the walk stands in, replaced while a marker is read: the
    # value goes where "a" leads now.
    (rebind_while_a_marker_is_read, {"a": [2]}),
])
def test_user_code_reaching_what_the_package_holds(call, expected):
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as exc:
            call()
        assert exc.value.args == expected.args
    else:
        assert call() == expected


def test_marker_arguments_are_held_while_its_attributes_are_set():
    # The keyword dicts of the call (operator.methodcaller's own, and what
    # the call hands to __init__) emptied by a subclass's __setattr__ before
    # `index` is converted; the number's memory is then given to others.
    class Marker(IndexMarker):
        def __setattr__(self, name, value):
            for obj in gc.get_objects():
                if type(obj) is dict and type(obj.get("index")) is Number:
                    obj.clear()
            gc.collect()
            reused.extend(Number(1000 + i) for i in range(100))
            super().__setattr__(name, value)

    class Number(int):
        pass

    reused = []
    marker = Marker.__new__(Marker)
    kwargs = {"obj": type("Row", (list,), {})(), "index": Number(7)}
    if sys.version_info < (3, 13):
        operator.methodcaller("__init__", **kwargs)(marker)
    else:  # 3.13's methodcaller keeps borrowed pointers into its own dict
        functools.partial(marker.__init__, **kwargs)()
    assert marker.type_.__name__ == "Row" and marker.index == 7 and type(marker.index) is int


def test_a_static_method_given_another_function_is_honoured():
    method = vars(Trellan)["__flatten__"]
    native = method.__func__

    def replacement(indict, path=None):
        yield from native(indict, path)
        yield "replaced", path

    method.__init__(replacement)
    try:
        assert Trellan({"a": {"b": 1}})[-2:] == [("replaced", ("a",)), ("replaced", None)]
    finally:
        method.__init__(native)
    assert Trellan({"a": {"b": 1}}) == [(("a", "b"), 1)]


@pytest.mark.parametrize("make", [lambda n: {"k": n}, lambda n: [n], lambda n: (n,)])
@pytest.mark.parametrize("rewrapped", [False, True])  # every level then delegates to a walker of its own
def test_deep_nesting_is_refused_with_recursion_error(make, rewrapped, monkeypatch):
    if rewrapped:
        monkeypatch.setattr(Trellan, "__flatten__", staticmethod(Trellan.__flatten__))
    data = {"top": functools.reduce(lambda node, _: make(node), range(100_000), 1)}
    with pytest.raises(RecursionError):
        Trellan(data)
    with pytest.raises(RecursionError):
        list(Trellan.__flatten__(data))


def test_a_long_path_is_rebuilt():
    path = tuple(x for i in range(50_000) for x in (f"k{i}", M([], 0)))
    out = Trellan([(path, 1)]).reconstruct()
    for _ in range(50_000):
        (out,) = out.values()
        (out,) = out
    assert out == 1


def test_a_generator_in_a_cycle_through_its_input_is_collected():
    class Box(dict):
        pass

    data = Box(a=1)
    data["gen"] = Trellan.__flatten__(data)
    next(data["gen"])
    ref = weakref.ref(data)
    del data
    gc.collect()
    assert ref() is None


def with_delegate(delegate, operation):
    """`operation` on a flattening whose nested levels delegate to `delegate`."""
    original = vars(Trellan)["__flatten__"]
    Trellan.__flatten__ = staticmethod(delegate)
    try:
        operation(NATIVE_FLATTEN({"a": {"b": 1, "c": 2}, "d": 3}))
    finally:
        Trellan.__flatten__ = original  # the class's own object, as the other tests expect it


TREE = {"a": [{"b": (1, 2)}, [3, {"c": "x"}]], "d": {"e": {}}}
PAIRS = Trellan(TREE)


@pytest.mark.parametrize("operation", [
    lambda: Trellan(TREE),
    lambda: PAIRS.reconstruct(),
    lambda: Trellan([(("a",), 1), (("a", "b"), 2)]).reconstruct(),
    lambda: Trellan([(("a",), (1,)), (("a", M([], 0), "x"), 2)]).reconstruct(),
    lambda: Trellan.__flatten__(TREE).throw(KeyError),
    lambda: (lambda g: (next(g), g.close()))(Trellan.__flatten__(TREE)),
    lambda: Trellan([(("a",), 1), ["b", 2]]).extend(iter([(("c",), 3)])),
    lambda: Trellan([((1.5, "a", None), 1), ([2, M((), 0)], {}), ((2, M((), 0)), "x")]).reconstruct(),
    lambda: Trellan.__flatten__(TREE).throw(StopIteration),
    lambda: (lambda g: (next(g), g.throw(5)))(Trellan.__flatten__(TREE)),
    lambda: Trellan({"a": {"b": Bad(StopIteration)}}),
    lambda: with_delegate(DelegateRich, lambda g: (next(g), g.throw(KeyError), g.send(1), g.close())),
    lambda: with_delegate(delegate_catching, lambda g: (next(g), g.throw(KeyError), g.send(1), g.close())),
])
def test_repeated_operations_do_not_grow_memory(operation):
    assert_no_growth(operation, repeat=2_000)
