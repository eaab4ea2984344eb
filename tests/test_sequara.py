"""Sequara: an orderable mapping over MutableMapping."""

import collections.abc
import contextlib
import functools
import gc
import operator
import sys
import traceback
from test import mapping_tests

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from leakcheck import assert_no_growth
from outcomes import error_of
from vestri.ondrel.sequara import Sequara


def abc3():
    return Sequara([("a", 1), ("b", 2), ("c", 3)])


def edited(edit):
    """abc3() with its order list edited behind its back."""
    m = abc3()
    edit(m._order)
    return m


def entries(exc):
    """Sequara's entries, and the frames of the inherited mixins as mixin.<name>."""
    names = [("mixin." + e.name if e.filename == collections.abc.Mapping.get.__code__.co_filename else e.name)
             for e in traceback.extract_tb(exc.__traceback__)]
    return [n.removeprefix("vestri.ondrel.sequara.") for n in names if n.startswith(("vestri.ondrel.", "mixin."))]


LOG = []


class Loud:
    """A key that logs its hashing and comparisons."""

    def __init__(self, v):
        self.v = v

    def __hash__(self):
        LOG.append(("hash", self.v))
        return hash(self.v)

    def __eq__(self, other):
        LOG.append(("eq", self.v))
        return isinstance(other, Loud) and other.v == self.v

    def __repr__(self):
        return f"Loud({self.v!r})"


class PairsOfOne(Sequara):
    def items(self):
        return [(1,)]


def test_a_sequara_inside_itself_prints_as_an_ellipsis():
    m = Sequara()
    m["me"] = m
    assert repr(m) == "Sequara([('me', ...)])"


# (a call, given abc3(); the exception's type and text; the traceback entries: Sequara's, and the
# inherited mixins' as mixin.<name>, one per method that the failure passed through)
@pytest.mark.parametrize("call, exc, text, where", [
    (lambda m: m.insert("a", 9, 0), KeyError, "'a already exist in Report'", ["insert"]),
    (lambda m: Sequara({(1, 2): 0}).insert((1, 2), 9, 0), KeyError, "'(1, 2) already exist in Report'", ["insert"]),
    (lambda m: m.move("x", 0), KeyError, "'x'", ["move"]),
    (lambda m: m["x"], KeyError, "'x'", ["__getitem__"]),
    (lambda m: m.__delitem__("x"), KeyError, "'x'", ["__delitem__"]),
    (lambda m: Sequara([("a", 1), ("b", 2, 3)]), ValueError, "update sequence element #1 has length 3; 2 is required",
     ["__init__", "update"]),
    (lambda m: Sequara(["ab", "c"]), ValueError, "update sequence element #1 has length 1; 2 is required",
     ["__init__", "update"]),
    (lambda m: PairsOfOne().copy(), ValueError, "update sequence element #0 has length 1; 2 is required",
     ["copy", "__init__", "update"]),
    (lambda m: Sequara([], []), TypeError, "expected at most 1 arguments, got 2", ["__init__", "update"]),
    (lambda m: Sequara([], *range(9), **{f"k{i}": i for i in range(9)}), TypeError,
     "expected at most 1 arguments, got 10", ["__init__", "update"]),
    (lambda m: m.update(1, 2, 3), TypeError, "expected at most 1 arguments, got 3", ["update"]),
    (lambda m: Sequara([1]), TypeError, "object of type 'int' has no len()", ["__init__", "update"]),
    (lambda m: Sequara().popitem(), KeyError, "", ["mixin.popitem"]),
    # A bad position fails before the key is looked at.
    (lambda m: m.insert("d", 4, "1"), TypeError, "'str' object cannot be interpreted as an integer", ["insert"]),
    (lambda m: m.insert("d", 4, None), TypeError, "'NoneType' object cannot be interpreted as an integer", ["insert"]),
    (lambda m: m.insert("a", 4, 1.0), TypeError, "'float' object cannot be interpreted as an integer", ["insert"]),
    (lambda m: m.move("a", "0"), TypeError, "'str' object cannot be interpreted as an integer", ["move"]),
    (lambda m: m.move("x", []), TypeError, "'list' object cannot be interpreted as an integer", ["move"]),
    (lambda m: m.move("a", 10**30), OverflowError, "Python int too large to convert to C ssize_t", ["move"]),
    (lambda m: m.insert("d", 4, 2**70), OverflowError, "Python int too large to convert to C ssize_t", ["insert"]),
    (lambda m: m.__setitem__(["unhashable"], 1), TypeError, "unhashable type: 'list'", ["__setitem__"]),
    (lambda m: m.insert(["unhashable"], 1, 0), TypeError, "unhashable type: 'list'", ["insert"]),
    (lambda m: Sequara([([], 1)]), TypeError, "unhashable type: 'list'", ["__init__", "update", "__setitem__"]),
    (lambda m: Sequara.fromkeys([[]]), TypeError, "unhashable type: 'list'", ["fromkeys", "__setitem__"]),
    (lambda m: m.pop("x"), KeyError, "'x'", ["mixin.pop", "__getitem__"]),
    (lambda m: m.get([]), TypeError, "unhashable type: 'list'", ["mixin.get", "__getitem__"]),
    (lambda m: [] in m, TypeError, "unhashable type: 'list'", ["mixin.__contains__", "__getitem__"]),
    (lambda m: m.setdefault([]), TypeError, "unhashable type: 'list'", ["mixin.setdefault", "__getitem__"]),
    (lambda m: Sequara.__new__(Sequara).__contains__("a"), AttributeError, "'Sequara' object has no attribute '_data'",
     ["mixin.__contains__", "__getitem__"]),
    (lambda m: "a" in Sequara.__new__(Sequara), AttributeError, "'Sequara' object has no attribute '_data'",
     ["mixin.__contains__", "__getitem__"]),
    (lambda m: Sequara.__new__(Sequara).values(), AttributeError, "'Sequara' object has no attribute '_order'",
     ["values", "__iter__"]),
    (lambda m: edited(lambda o: o.remove("b")).copy(), ValueError, "'b' is not in list",
     ["copy", "items", "items.<locals>.<lambda>"]),
    (lambda m: repr(edited(lambda o: o.remove("b"))), ValueError, "'b' is not in list",
     ["__repr__", "items", "items.<locals>.<lambda>"]),
    (lambda m: edited(lambda o: o.append("x")).values(), KeyError, "'x'", ["values", "__getitem__"]),
    (lambda m: Sequara().update(edited(lambda o: o.append("x"))), KeyError, "'x'", ["update", "__getitem__"]),
])
def test_errors_name_the_methods_and_leave_the_mapping_unchanged(call, exc, text, where):
    m = abc3()
    with pytest.raises(Exception) as info:
        call(m)
    assert (type(info.value), str(info.value)) == (exc, text)
    assert entries(info.value) == [w if w.startswith("mixin.") else "Sequara." + w for w in where]
    assert vars(m) == {"_data": {"a": 1, "b": 2, "c": 3}, "_order": ["a", "b", "c"]}


def test_pairs_are_any_two_item_iterables_and_keywords_any_number():
    # Pairs from lists and mappings, keywords, and stops at a bad pair: the state machine below.
    assert Sequara(["ab", b"cd"]).items() == [("a", "b"), (99, 100)]
    names = [f"k{i}" for i in range(30, 0, -1)]
    assert Sequara([("a", 0)], **dict.fromkeys(names, 1)).keys() == ["a", *names]


def test_key_search_compares_as_the_list_does():
    m = Sequara([(1, 0), (2.5, 0), (None, 0), ("\u00e9t\u00e9", 0), (Loud("x"), 0), ("".join(["k", "ey"]), 0)])
    LOG.clear()
    m.move("key", 0)  # equal to the stored key, not the same object; `in`, then index() searches again
    assert LOG == [("eq", "x")] * 2
    del m["\u00e9t\u00e9"]
    m.move(2.5, -1)
    assert LOG == [("eq", "x")] * 2
    assert repr(m.keys()) == "['key', 1, None, 2.5, Loud('x')]"


def test_equality_returns_the_falsy_comparison_result_and_lets_interrupts_through():
    class Falsy:
        def __eq__(self, other):
            return 0

    class Interrupting:
        def __eq__(self, other):
            raise KeyboardInterrupt

    a, b = Sequara(), Sequara()
    a._data = Falsy()
    assert (a == b) == 0 and type(a.__eq__(b)) is int
    a._data = Interrupting()
    with pytest.raises(KeyboardInterrupt):
        a == b  # noqa: B015


def test_subclass_overrides_are_called():
    # The runtime class in repr(), copy() and fromkeys(): the state machine below, on a subclass.
    calls = []

    class Sub(Sequara):
        def __setitem__(self, key, value):
            calls.append(key)
            super().__setitem__(key, value * 10)

        def update(self, *args, **kwargs):
            calls.append("update")
            super().update(*args, **kwargs)

        def __getitem__(self, key):
            return super().__getitem__(key) + 1

        def items(self):
            return [("fake", 0)]

    m = Sub([("a", 1)], b=2)
    assert calls == ["update", "a", "b"]
    assert m._data == {"a": 10, "b": 20} and m.values() == [11, 21]
    assert repr(m) == "Sub([('fake', 0)])" and m.copy()._data == {"fake": 0}
    Sub.fromkeys("c", 1)
    assert calls[-1] == "c"

    class Shifty(Sequara):
        def items(self):
            self.__class__ = Sequara
            return Sequara.items(self)

    assert type(Shifty(a=1).copy()) is Shifty  # type(self) is evaluated before self.items()


def test_replaced_containers_are_used_through_their_own_methods():
    log = []

    def logged(base, name, entry):
        """base.<name>, logging entry(*args) first."""
        return lambda self, *args: log.append(entry(*args)) or getattr(base, name)(self, *args)

    Data = type("Data", (dict,), {"__getitem__": logged(dict, "__getitem__", lambda k: "get"),
                                  "__setitem__": logged(dict, "__setitem__", lambda k, v: "set")})
    Order = type("Order", (list,), {"__contains__": logged(list, "__contains__", lambda k: "in"),
                                    "insert": logged(list, "insert", lambda i, k: ("insert", i))})
    m = Sequara()
    m._data, m._order = Data(), Order()
    m["a"] = 1
    m.insert("b", 2, 0)
    m.move("a", 0)
    assert m["a"] == 1
    assert log == ["in", "set", "in", "set", ("insert", 0), "in", ("insert", 0), "get"]
    assert m.items() == [("a", 1), ("b", 2)]


@pytest.mark.parametrize("edit", [
    lambda o: o.__setitem__(1, "a"),  # "a" twice, "b" missing: the counts still agree
    lambda o: o.__setitem__(0, "b"),  # "b" twice, "a" missing, and ahead of both
    lambda o: o.__setitem__(slice(None), ["a", "a", "a"]),
    lambda o: o.remove("b"),
    lambda o: o.append("ghost"),
    lambda o: o.reverse(),
    lambda o: o.insert(0, o.pop()),
    lambda o: o.__setitem__(2, 3.0),  # equal to the stored key 3, not it: the pair shows the stored key
    lambda o: o.__setitem__(slice(None), [3.0, "b", "a"]),
    lambda o: o.__setitem__(slice(None), ["b", "".join(["a"])]),
])
def test_items_are_the_dict_pairs_sorted_by_their_position_in_the_order(edit):
    m = Sequara([("a", 1), ("b", 2), (3, 3)])
    edit(m._order)
    written = lambda: sorted(m._data.items(), key=lambda k: m._order.index(k[0]))  # noqa: E731
    error = error_of(written)
    if error:
        assert [error_of(call) for call in (m.items, lambda: repr(m), m.copy)] == [error] * 3
    else:  # compared by repr: 1 and 1.0 are equal, but only the stored key is right
        assert repr(m.items()) == repr(m.copy().items()) == repr(written())
        assert repr(m) == f"Sequara({written()!r})"


def _set_as_written(m, key):
    if key not in m._order:
        m._order.append(key)
    m._data[key] = 9


def _insert_as_written(m, key):
    if key in m._order:
        raise KeyError("%s already exist in Report" % key)
    m._data[key] = 9
    m._order.insert(0, key)


def _del_as_written(m, key):
    del m._data[key]
    m._order.remove(key)


_EDITS = {
    "remove b": lambda o: o.remove("b"),
    "append ghost": lambda o: o.append("ghost"),
    "append c": lambda o: o.append("c"),
    "insert c": lambda o: o.insert(0, "c"),
    "clear": lambda o: o.clear(),
    "b to ghost": lambda o: o.__setitem__(1, "ghost"),
    "a to c": lambda o: o.__setitem__(0, "c"),  # "c" twice, "a" missing
}
# Deleting takes the first equal key out (a str key is searched for from the end only while the
# order holds the dict's keys).
_OPS = {
    "set": (lambda m, k: m.__setitem__(k, 9), _set_as_written),
    "insert": (lambda m, k: m.insert(k, 9, 0), _insert_as_written),
    "del": (lambda m, k: m.__delitem__(k), _del_as_written),
    "pop": (lambda m, k: m.pop(k), _del_as_written),
}
_SAME_LENGTH = pytest.mark.xfail(strict=True, reason="an edit of keys() that keeps its length is not seen: "
                                 "writes follow the dict")
_UNSEEN = {("b to ghost", "set"), ("b to ghost", "insert"), *(("a to c", op) for op in _OPS)}


@pytest.mark.parametrize("edit, op", [pytest.param(e, o, marks=[_SAME_LENGTH] * ((e, o) in _UNSEEN), id=f"{e}-{o}")
                                      for e in _EDITS for o in _OPS])
def test_writes_search_an_order_edited_through_keys_as_written(edit, op):
    ours, written = _OPS[op]
    for key in ("a", "b", "c", "ghost"):
        m, twin = abc3(), abc3()
        _EDITS[edit](m.keys())
        _EDITS[edit](twin.keys())
        assert error_of(lambda: ours(m, key)) == error_of(lambda: written(twin, key))
        assert (m._data, m._order) == (twin._data, twin._order)


def test_a_large_mapping_reads_its_items_in_linear_time():
    n = 100_000
    m = Sequara((i, i) for i in range(n))
    m.move(0, n)
    m.insert(-1, -1, 0)
    items = m.items()
    assert len(items) == n + 1 and items[0] == (-1, -1) and items[-1] == (0, 0)


# --- robustness ----------------------------------------------------------------------


# What a meddling key does to the mapping it is in, from its hash and comparisons.
MEDDLING = {
    "empty": lambda m, key: (m._order.clear(), m._data.clear()),
    "init": lambda m, key: m.__init__(),
    # lists and dicts the package made included
    "referrers": lambda m, key: [r.clear() for r in gc.get_referrers(key) if isinstance(r, (list, dict))],
    # every slot of every young list, as a debugger or the collector's user would
    "read": lambda m, key: [sum(1 for _ in o) for o in gc.get_objects(generation=0) if type(o) is list],
}


class Meddler:
    """A key that meddles with the mapping it is in, once `victim` is set."""

    def __init__(self, name, victim=None, how="empty"):
        self.name, self.victim, self.how = name, victim, how

    def __hash__(self):
        if self.victim is not None:
            MEDDLING[self.how](self.victim, self)
        return 1

    def __eq__(self, other):
        self.__hash__()
        return isinstance(other, Meddler) and other.name == self.name


@pytest.mark.parametrize("how", list(MEDDLING))
@pytest.mark.parametrize("operation", [
    lambda m, k: m.move(k, 0),
    lambda m, k: m.insert(k, 1, 0),
    lambda m, k: m.__setitem__(k, 1),
    lambda m, k: m.__delitem__(k),
    lambda m, k: m.items(),
    lambda m, k: (m.keys().reverse(), m.items()),
    lambda m, k: m.values(),
    lambda m, k: m.update({k: 1}),
    lambda m, k: m.update([(k, 1)], x=2),
    lambda m, k: m.copy(),
    lambda m, k: m.pop(k),
    lambda m, k: m == m.copy(),
    lambda m, k: repr(m),
])
def test_keys_that_meddle_with_the_mapping_do_not_crash_it(operation, how):
    m = Sequara()
    keys = [Meddler(i) for i in range(5)]
    for k in keys:
        m[k] = k
    for k in keys:
        k.victim, k.how = m, how
    try:
        operation(m, Meddler(2, m, how))
    except (KeyError, ValueError, IndexError, RuntimeError, AttributeError):
        pass
    m.items() if len(m._data) == len(m._order) else None


class Acting(str):
    """A str key whose next hash or comparison runs `act`, once."""

    act = None

    def run(self):
        act, self.act = self.act, None
        if act is not None:
            act()

    def __hash__(self):
        self.run()
        return str.__hash__(self)

    def __eq__(self, other):
        self.run()
        return str.__eq__(self, other)


@pytest.mark.parametrize("call, before", [
    (lambda kw: Sequara(**kw), []),
    (lambda kw: Sequara([("z", 0)], **kw), ["z"]),
    # A methodcaller passes its own keyword dict to the class it calls (3.13's
    # keeps borrowed pointers into it, so clearing it breaks the interpreter
    # itself there; functools.partial passes its own dict too).
    (lambda kw: operator.methodcaller("__call__", **kw)(Sequara) if sys.version_info < (3, 13)
     else functools.partial(Sequara, **kw)(), []),
    (lambda kw: type("Sub", (Sequara,), {})(**kw), []),
    (lambda kw: [m := Sequara(), m.update(**kw)][0], []),
])
def test_keyword_values_stay_held_when_the_keyword_dict_is_emptied(call, before):
    key = Acting("a")
    kw = {key: object(), "b": object(), "c": object()}  # held by the keyword dicts alone
    key.act = lambda: [r.clear() for r in gc.get_referrers(key) if isinstance(r, dict)]
    m = call(kw)
    assert key.act is None and m.keys() == [*before, "a", "b", "c"]
    assert all(type(v) is object for v in m.values()[len(before):])


# (the acting key is the one passed, or the stored "b" that the lookup meets; the key's text; the operation)
@pytest.mark.parametrize("stored, text, operation", [
    (False, "b", lambda m, k: m.__setitem__(k, 9)),
    (False, "n", lambda m, k: m.__setitem__(k, 9)),
    (False, "n", lambda m, k: m.update([(k, 9)], z=0)),
    (False, "n", lambda m, k: m.insert(k, 9, 1)),
    (False, "c", lambda m, k: m.move(k, 0)),
    (False, "a", lambda m, k: m.move(k, -1)),
    (True, "b", lambda m, k: m.__setitem__(k, 9)),
    (True, "b", lambda m, k: m.update([(k, 9)])),
    (True, "b", lambda m, k: m.move(k, 0)),
    (True, "c", lambda m, k: m.move(k, 0)),
])
def test_a_key_that_replaces_the_containers_with_equal_copies_changes_no_result(stored, text, operation):
    """The writes go to the containers the mapping holds after the key's code ran."""
    def run(arm):
        b = Acting("b")
        m = Sequara([("a", 1), (b if stored else "b", 2), ("c", 3)])
        key = text if stored else Acting(text)
        fired = []
        if arm:  # rebinds both attributes at once
            (b if stored else key).act = lambda: fired.append(vars(m).update(_data=dict(m._data), _order=list(m._order)))
        return error_of(lambda: operation(m, key)), vars(m), bool(fired) == arm

    assert run(arm=True) == run(arm=False)


def test_a_key_whose_hash_reinitialises_the_mapping_is_stored_in_the_new_containers():
    m = abc3()
    key = Acting("k")
    key.act = m.__init__
    m[key] = 9
    assert vars(m) == {"_data": {"k": 9}, "_order": ["k"]}


def test_deep_nesting_ends_in_recursion_error():
    m = Sequara()
    for _ in range(100_000):
        m = Sequara([("x", m)])
    with pytest.raises(RecursionError):
        repr(m)


# test_common repeats every method's registered calls; these are the paths between them.
@pytest.mark.parametrize("operation", [
    lambda: repr(Sequara(a=[1], b=Sequara(c=2))),
    lambda: abc3().insert("z", 1, "x"),
    lambda: Sequara([("a", 1), ("b",)]),
    lambda: abc3() == 1,
    lambda: (lambda m: m.__setitem__("me", m))(Sequara()),  # a cycle, freed by the collector
    lambda: Sequara([("z", 0)], a=1, b=[2]),  # keyword values held by the slot
    lambda: (lambda m: (m.move("c", 0), m.items(), m.move("a", 9)))(abc3()),
    lambda: (lambda m: (m.keys().__setitem__(1, "a"), m.items()))(abc3()),
    lambda: (lambda m: (m.__setitem__(1, 1), m.insert(2, 2, 0), m.move(1, 0)))(Sequara()),
    lambda: (lambda m: (m.move(Acting("c"), 0)))(abc3()),
    # the inherited mixins over the item access, ours and a subclass's
    lambda: [(m.get("x"), "x" in m, m.setdefault("x", [1]), m.pop("a"), m.pop("y", 0), error_of(lambda: m.pop("y")),
              error_of(lambda: m.setdefault(HashedOnce())), m.copy(), repr(m), m.values())
             for m in (abc3(), OVERRIDES_GETITEM([("a", 1)]))],
])
def test_no_leaks(operation):
    assert_no_growth(operation, repeat=3_000)


class TestSequaraMappingProtocol(mapping_tests.BasicTestMappingProtocol):
    type2test = Sequara

    def test_update(self):
        # Objects that only have keys() and __getitem__ are no Mappings: they are iterated as pairs (dict.update
        # would call keys()), so the suite's keys()-based cases give way to that; updates from mappings and
        # pairs are the state machine's below.
        keys_only = type("KeysOnly", (), {"keys": lambda self: ["a"], "__getitem__": lambda self, key: key})()
        for bad, exc in ((42, TypeError), (keys_only, TypeError), ([(1, 2, 3)], ValueError)):
            self.assertRaises(exc, self._empty_mapping().update, bad)


# --- against a model of ordered pairs -----------------------------------------------------

class Position:
    """Not an int, but taken as one (as are bools)."""

    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i


Sub = type("Sub", (Sequara,), {})
KEYS = st.sampled_from(["a", "b", "c", "d", 1, True, 2.5, (1, 2)])
VALUES = st.integers().map(lambda i: [i])  # lists, so that a copy is seen to share them
PAIRS = st.lists(st.tuples(KEYS, VALUES), max_size=4)
KWARGS = st.dictionaries(st.sampled_from(["a", "b", "z", "q"]), VALUES, max_size=3)
POSITIONS = st.integers(-7, 7) | st.booleans() | st.integers(-7, 7).map(Position)
# How update() is given its pairs: a mapping (a dict or any other) is iterated as one, anything else as pairs.
SOURCES = {"pairs": list, "dict": dict, "sequara": Sequara, "chainmap": lambda p: collections.ChainMap(dict(p))}


class SequaraMachine(RuleBasedStateMachine):
    """Builds, sets, deletes, inserts, moves and updates at random, Sequara or a subclass, against a list of pairs."""

    def __init__(self):
        super().__init__()
        self.m = Sequara()
        self.model = []  # [key, value] in order

    def find(self, key):
        return next((i for i, (k, _) in enumerate(self.model) if k == key), None)

    def store(self, key, value):
        i = self.find(key)
        if i is None:
            self.model.append([key, value])
        else:
            self.model[i][1] = value

    @initialize(cls=st.sampled_from([Sequara, Sub]), pairs=PAIRS, kwargs=KWARGS, source=st.sampled_from(list(SOURCES)))
    def build(self, cls, pairs, kwargs, source):
        given = SOURCES[source](pairs)
        self.m = cls(given, **kwargs)
        for key, value in [*(pairs if source == "pairs" else given.items()), *kwargs.items()]:  # keywords last
            self.store(key, value)

    @rule(key=KEYS, value=VALUES, by_setdefault=st.booleans())
    def set(self, key, value, by_setdefault):
        if by_setdefault:  # the inherited mixin, through the methods
            i = self.find(key)
            value = value if i is None else self.model[i][1]
            assert self.m.setdefault(key, value) is value
        else:
            self.m[key] = value
        self.store(key, value)

    @rule(key=KEYS, by_pop=st.booleans())
    def delete(self, key, by_pop):
        i = self.find(key)
        with pytest.raises(KeyError) if i is None else contextlib.nullcontext():
            if by_pop:
                assert self.m.pop(key) is self.model[i][1]
            else:
                del self.m[key]
            del self.model[i]

    @rule(key=KEYS, value=VALUES, position=POSITIONS)
    def insert(self, key, value, position):
        with pytest.raises(KeyError) if self.find(key) is not None else contextlib.nullcontext():
            self.m.insert(key, value, position)
            self.model.insert(position, [key, value])

    @rule(key=KEYS, position=POSITIONS)
    def move(self, key, position):
        i = self.find(key)
        with pytest.raises(KeyError) if i is None else contextlib.nullcontext():
            self.m.move(key, position)
            self.model.insert(position, self.model.pop(i))

    @rule(pairs=PAIRS, kwargs=KWARGS, source=st.sampled_from(list(SOURCES)), bad_at=st.none() | st.integers(0, 4))
    def update(self, pairs, kwargs, source, bad_at):
        given = SOURCES[source](pairs)
        pairs = pairs if source == "pairs" else list(given.items())
        if source == "pairs" and bad_at is not None:  # the pairs before a bad one stay stored, the rest is not
            bad_at = min(bad_at, len(pairs))
            with pytest.raises(ValueError, match=f"^update sequence element #{bad_at} has length 1; 2 is required$"):
                self.m.update([*pairs[:bad_at], ("x",), *pairs[bad_at:]], **kwargs)
            pairs, kwargs = pairs[:bad_at], {}
        else:
            self.m.update(given, **kwargs)
        for key, value in [*pairs, *kwargs.items()]:
            self.store(key, value)

    @rule(keys=st.lists(KEYS, max_size=4), value=st.none() | VALUES)
    def fromkeys(self, keys, value):
        cls = type(self.m)
        self.m = cls.fromkeys(keys) if value is None else cls.fromkeys(keys, value)
        assert type(self.m) is cls and all(v is value for v in self.m.values())  # one value object for all
        self.model = []
        for key in keys:
            self.store(key, value)

    @precondition(lambda self: self.model)
    @rule()
    def popitem(self):
        assert self.m.popitem() == tuple(self.model.pop(0))

    @rule()
    def reverse_keys(self):
        self.m.keys().reverse()
        self.model.reverse()

    @rule()
    def copy(self):
        old, self.m = self.m, self.m.copy()
        assert type(self.m) is type(old) and self.m._data is not old._data and self.m._order is not old._order
        assert all(new is was for new, was in zip(self.m.values(), old.values()))  # values shared, not copied

    @rule()
    def clear(self):
        self.m.clear()
        self.model.clear()

    @invariant()
    def agrees(self):
        pairs = [tuple(p) for p in self.model]
        assert self.m.items() == pairs
        assert list(self.m) == [k for k, _ in pairs] and len(self.m) == len(pairs)
        assert self.m.values() == [v for _, v in pairs]
        assert all(k in self.m and self.m.get(k) is v for k, v in pairs) and self.m.get("absent", 5) == 5
        assert repr(self.m) == f"{type(self.m).__name__}({pairs!r})"
        assert self.m.keys() is self.m._order  # edits through keys() reorder the mapping
        # Equality is order-sensitive and false for other kinds of mappings.
        assert self.m == Sequara(pairs) and not self.m != Sequara(pairs)
        assert (self.m == Sequara(pairs[::-1])) is (len(pairs) < 2)
        assert (self.m == dict(pairs)) is False and (dict(pairs) == self.m) is False


TestSequaraMachine = SequaraMachine.TestCase


# --- `in` and the inherited mixins against a class where `in` runs the mixin in Python --------

class HashRaisesKeyError:
    def __hash__(self):
        raise KeyError("from hash")


# `in` through a Python method of the twin's own, so that it runs the mixin whatever the C slot does
MIXINS = {"__contains__": lambda self, key: collections.abc.Mapping.__contains__(self, key)}


def _family(base, **namespace):
    """The class and three subclasses, each overriding one method that the mixins or `in` reach."""
    root = type("S", (base,), dict(namespace))

    def logged(name):
        def method(self, *args):
            LOG.append(name)
            return getattr(super(type(self), self), name)(*args)
        return method

    return [root] + [type("S", (root,), {name: logged(name)}) for name in ("__getitem__", "__contains__", "__iter__")]


OVERRIDES_GETITEM = _family(Sequara)[1]

OPS = [
    lambda m, k, v: k in m,
    lambda m, k, v: m.get(k),
    lambda m, k, v: m.get(k, v),
    lambda m, k, v: m.setdefault(k),
    lambda m, k, v: m.setdefault(k, v),
    lambda m, k, v: m.pop(k),
    lambda m, k, v: m.pop(k, v),
    lambda m, k, v: m.__setitem__(k, v),
    lambda m, k, v: m.__delitem__(k),
    lambda m, k, v: m.keys().reverse(),
    lambda m, k, v: (type(c := m.copy()).__name__, c._data, c._order),
    lambda m, k, v: (repr(m), m.values(), m.items(), list(m)),
]
TWIN_KEYS = ["a", "b", "c", 1, 2.5, (1, "a"), Loud("a"), Loud("z"), HashRaisesKeyError(), []]


def _outcome(call):
    try:
        return "ok", repr(call())
    except Exception as exc:  # noqa: BLE001 - the exception is the result
        ctx = exc.__context__
        return type(exc), repr(exc.args), type(ctx), repr(getattr(ctx, "args", None))


@given(script=st.lists(st.tuples(st.integers(0, len(OPS) - 1), st.integers(0, len(TWIN_KEYS) - 1), st.integers()),
                      max_size=12))
@settings(max_examples=60, suppress_health_check=[HealthCheck.too_slow])
def test_in_and_the_mixins_do_what_the_mixins_do_over_the_item_access(script):
    for ours, twin_cls in zip(_family(Sequara), _family(Sequara, **MIXINS)):
        runs = []
        for cls in (ours, twin_cls):
            m = cls([("a", 1), ("c", 3), (Loud("z"), 26)])
            LOG.clear()
            steps = [(_outcome(lambda: OPS[op](m, TWIN_KEYS[key], value)), list(LOG))
                     for op, key, value in script if not LOG.clear()]
            runs.append((steps, repr(vars(m))))
        assert runs[0] == runs[1]


class HashedOnce:
    """Hashes once; the second hash (the store after a miss) fails."""

    def __init__(self):
        self.hashed = False

    def __hash__(self):
        if self.hashed:
            raise ValueError("hashed twice")
        self.hashed = True
        return 1


def test_an_error_storing_the_default_is_chained_to_the_key_error_the_mixin_handles():
    cls = Sequara

    def chain():
        try:
            raise OSError("outer")
        except OSError:
            try:
                cls().setdefault(HashedOnce())
            except ValueError as exc:
                yield [type(e) for e in (exc, exc.__context__, exc.__context__.__context__)]
            yield type(sys.exception())

    steps = chain()
    assert next(steps) == [ValueError, KeyError, OSError]
    assert next(steps) is OSError  # the generator's own handled exception is left as it was


def _in(m):
    return [k in m for k in ("a", "x", 1, Loud("z"))]


def test_in_follows_the_contains_and_item_read_the_class_resolves_now():
    sub = type("Sub", (Sequara,), {})
    m, s = Sequara(a=1), sub(a=1)
    s["a"], "a" in s  # the subclass takes the C functions
    for target, obj in ((Sequara, m), (sub, s), (sub, sub(a=1))):
        target.__contains__ = lambda self, key: key == 1
        try:
            assert _in(obj) == [False, False, True, False]
            obj["a"]  # reached through a generic slot, the item read adopts nothing back
            assert _in(obj) == [False, False, True, False]
        finally:
            del target.__contains__
        assert _in(obj) == [True, False, False, False]
        own = vars(target).get("__getitem__")
        target.__getitem__ = lambda self, key: key
        try:
            assert _in(obj) == [True, True, True, True]
        finally:
            if own:
                target.__getitem__ = own  # in place: the class keeps its order of names
            else:
                del target.__getitem__
        assert _in(obj) == [True, False, False, False]

