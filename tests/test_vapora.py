"""Vapora: a UserList that holds weak references and reads as the objects."""

import collections
import copy
import gc
import itertools
import random
import sys
import traceback
import types
import weakref

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import hostile
from leakcheck import assert_no_growth
import vestri.ondrel.vapora as vapora
from vestri.ondrel.vapora import Vapora


class Obj:
    """A weakly referenceable element, equal only to itself, ordered by name."""

    def __init__(self, name=""):
        self.name = name

    __repr__ = lambda self: f"Obj({self.name!r})"  # noqa: E731
    __str__ = lambda self: f"<{self.name}>"  # noqa: E731
    __lt__ = lambda self, other: self.name < other.name  # noqa: E731
    __le__ = lambda self, other: self.name <= other.name  # noqa: E731


class Val:
    """A weakly referenceable element compared by value, unordered."""

    def __init__(self, value):
        self.value = value

    __eq__ = lambda self, other: isinstance(other, Val) and self.value == other.value  # noqa: E731
    __hash__ = None


class Meddling(Val):
    """Equal by value; meddles before each comparison."""

    def __init__(self, value, meddle):
        super().__init__(value)
        self.meddle = meddle

    __eq__ = lambda self, other: (self.meddle(), Val.__eq__(self, other))[1]  # noqa: E731
    __hash__ = None


class Cyclic(Obj):
    """Lives until the cycle collector frees it."""

    def __init__(self, name=""):
        super().__init__(name)
        self.me = self


VaporaSub = type("VaporaSub", (Vapora,), {})
ListSub = type("ListSub", (list,), {})


@pytest.fixture
def no_automatic_gc():
    enabled = gc.isenabled()
    gc.disable()
    yield
    if enabled:
        gc.enable()


def iter_then_fail(a):
    yield a
    raise KeyError("stop")


# --- the module and the class -----------------------------------------------------------------


def test_instances_keep_only_data_are_freed_without_the_cycle_collector_and_traverse_iterators(no_automatic_gc):
    a, b = Obj(), Obj()
    v = Vapora([a, b])
    assert list(vars(v)) == ["data"]
    assert all(type(r) is weakref.ReferenceType for r in v.data)
    assert [r() for r in v.data] == [a, b]
    ref, gone = v.data[0], weakref.ref(v)
    del v
    assert gone() is None
    del a  # the clean-up callback of a dead Vapora does nothing
    assert ref() is None
    # An iterator kept by an element of its own Vapora is collected with it.
    v = Vapora()
    holder = Obj()
    holder.it, holder.v = iter(v), v
    v.append(holder)
    gone = weakref.ref(holder)
    del v, holder
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("cls", [Vapora, VaporaSub])
def test_repr_and_str_have_the_fixed_prefix_and_a_placeholder_for_a_vapora_within_itself(cls):
    a, b = Obj("a"), Obj("b")
    assert repr(cls()) == str(cls()) == "Vapora([])"
    assert repr(cls([a, b])) == "Vapora([Obj('a'), Obj('b')])"
    assert str(cls([a, b])) == "Vapora([<a>, <b>])"
    v = cls()
    v.append(v)
    w = cls([v])
    v.append(w)
    assert repr(v) == "Vapora([Vapora([...]), Vapora([Vapora([...])])])"
    assert str(w) == "Vapora([Vapora([Vapora([...]), Vapora([...])])])"


def test_deeply_nested_repr_raises_recursion_error():
    keep = [Vapora()]
    for _ in range(100_000):
        keep.append(Vapora([keep[-1]]))
    with pytest.raises(RecursionError):
        repr(keep[-1])


# --- automatic clean-up (the model at the end kills elements at random) --------------------------


def test_clean_up_calls_the_subclass_remove_whose_failure_leaves_a_dead_reference_read_as_none(monkeypatch):
    seen, reports = [], []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)

    class Watching(Vapora):
        def remove(self, item):
            seen.append(type(item))
            if self.refuse:
                raise RuntimeError("refused")
            super().remove(item)

    a = Obj()
    v, Watching.refuse = Watching([a, a]), False
    del a
    assert seen == [weakref.ReferenceType] * 2 and len(v) == 0 and reports == []
    a, b, Watching.refuse = Obj(), Obj("b"), True
    v = Watching([b, a, b])
    del a  # the failure goes to the unraisable hook
    assert [type(r.exc_value) for r in reports] == [RuntimeError] and "remove" in repr(reports[0].object)
    assert len(v) == 3 and v[1] is None and list(v) == [b, None, b] and v == [b, None, b]
    assert repr(v) == "Vapora([Obj('b'), None, Obj('b')])" and str(v) == "Vapora([<b>, None, <b>])"
    dead, Watching.refuse = v.data[1], False
    v.remove(dead)  # that entry, as a dead reference equals only itself
    assert v == [b, b]
    v.data.append(dead)
    assert v.pop() is None and v == [b, b]


class PlainVapora(collections.UserList):
    """The clean-up as a plain reading of its definition: list.remove of the dead reference."""

    def __init__(self, items=()):
        super().__init__(weakref.ref(x, self.remove) for x in items)

    def append(self, item):
        self.data.append(weakref.ref(item, self.remove))

    def __setitem__(self, index, item):
        self.data[index] = weakref.ref(item, self.remove)

    def remove(self, item):
        self.data.remove(item)


class Junk:
    """An entry that is no weak reference, whose comparisons are seen."""

    def __init__(self, log, name, equal=False):
        self.log, self.name, self.equal = log, name, equal

    def __eq__(self, other):
        self.log.append(self.name)
        return self.equal

    __hash__ = None


def die_together(cls, order, layout):
    """Entries of 40 elements die at once, as their only holder is freed."""
    log, kept = [], []
    v = None

    class Element(Obj):
        def __del__(self):
            if layout.startswith("replaced while dying") and self.name == "fifth":
                if layout.endswith("kept"):
                    kept.append(v.data[0])
                v.data[0] = Junk(log, "late")  # the entry it replaces is freed, unless kept

    names = [str(i) for i in range(40)]
    names[-5 if order == "back" else 4] = "fifth"  # to die
    if order == "random":
        random.Random(7).shuffle(names)
    elements = [Element(n) for n in names]
    v = cls(elements + elements[::3] if layout == "some twice" else elements)
    if layout == "junk":
        for at, name in [(0, "front"), (20, "middle"), (len(v.data), "end")]:
            v.data.insert(at, Junk(log, name))
        v.data.insert(30, Junk(log, "greedy", equal=True))  # takes a dead reference's place
    if layout == "a dead reference":
        v.data.insert(5, weakref.ref(Obj()))
    survivors = elements[1::4] if layout == "survivors" else []
    holder = elements if order == "back" else {e.name: e for e in elements}
    del elements
    holder = None
    shape = [e.name if isinstance(e, Junk) else getattr(e(), "name", None) for e in v.data]
    return shape, log, [e.name for e in survivors]


@pytest.mark.parametrize("layout", ["plain", "some twice", "survivors", "junk", "a dead reference",
                                    "replaced while dying"])
@pytest.mark.parametrize("order", ["back", "front", "random"])
def test_elements_dying_together_leave_as_the_first_equal_entry_would(order, layout):
    shape, log, survivors = die_together(Vapora, order, layout)
    assert (shape, log) == die_together(PlainVapora, order, layout)[:2]
    assert [name for name in shape if name is not None] == survivors or layout in ("junk", "replaced while dying")


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # the kept reference's own death
@pytest.mark.xfail(strict=True, reason="a write into data in place while elements die that keeps the callback's count "
                                      "(replaced references kept alive, or new ones sharing the callback) is not seen: "
                                      "later clean-ups skip the new entry's comparisons")
def test_a_write_in_place_while_elements_die_that_keeps_the_replaced_reference():
    shape, log, _ = die_together(Vapora, "back", "replaced while dying, kept")
    assert (shape, log) == die_together(PlainVapora, "back", "replaced while dying, kept")[:2]


def test_clean_ups_keep_no_list_the_vapora_has_let_go(monkeypatch):
    # A clean-up that finds its entry far from the front checks the list for
    # the next ones; a list kept after rebinding would keep the references
    # taken out of the new one, whose clean-ups then fail.
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    objs = [Obj(str(i)) for i in range(12)]
    v = Vapora(objs)
    del objs[-2]
    v.data = list(v.data)
    v.remove(objs[0])
    del objs[0]
    data = v.data
    del objs[-1], v
    assert reports == [] and sys.getrefcount(data) == 2  # here and in the call only


def test_an_element_dying_inside_a_comparison_keeps_the_lookup_sound():
    keep = {"a": Obj(), "b": Obj()}
    k = Meddling(1, keep.clear)
    v = Vapora([keep["a"], k, keep["b"], Val(2)])
    keep["v2"] = Val(2)
    v.append(keep["v2"])
    assert v.count(Val(1)) == 1
    assert len(v) == 1 and v[0] is k


def test_a_key_failing_while_elements_die_leaves_them_out_after_the_sort(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    keep = {n: Obj(n) for n in "cdef"}
    v = Vapora(keep.values())

    def failing(o):
        del keep["f"]
        raise KeyError(o.name)

    with pytest.raises(KeyError):
        v.sort(key=failing)
    assert [o.name for o in v] == list("cde") and reports == []


def test_equality_and_lookups_compare_the_referents():
    a, b, c = Val(1), Val(2), Val(1)
    v = Vapora([a, b, c])
    assert v == [Val(1), Val(2), Val(1)] and not v != [a, b, c]
    assert v != (a, b, c) and v != [b, a, c] and v != [a, b]
    assert v == Vapora([Val(1), Val(2), c]) and VaporaSub([a, b, c]) == v
    assert Val(1) in v and Val(3) not in v
    assert v.count(Val(1)) == 2 and v.index(Val(2)) == 1 and v.index(c) == 0
    assert v.pop(Val(1)) is a and len(v) == 2
    v.remove(Val(1))
    assert list(v) == [b]
    v.append(a)
    v.remove(v.data[1])  # a reference is removed as itself
    assert list(v) == [b]
    # An element unequal to itself is found only through its plain reference.
    n = type("Never", (), {"__eq__": lambda self, other: False})()
    v = Vapora([n])
    assert n not in v and v.count(n) == 0
    v.data.append(weakref.ref(n))  # the basic reference: the probe is that very object
    assert n in v and v.count(n) == 1 and v.index(n) == 1
    # Ordering compares the elements too.
    a, b = Obj("a"), Obj("b")
    assert Vapora([a]) < Vapora([b]) and Vapora([a]) <= [b] and [a] < Vapora([b])
    assert Vapora([b]) > Vapora([a]) and Vapora([b, a]) >= Vapora([b]) and not Vapora([a]) > [b]


@pytest.mark.parametrize("call, exc, text", [
    (lambda v: v[3], IndexError, r"^list index out of range$"),
    (lambda v: v[-4], IndexError, r"^list index out of range$"),
    (lambda v: v[2**70], IndexError, r"^cannot fit 'int' into an index-sized integer$"),
    (lambda v: v["0"], TypeError, r"^list indices must be integers or slices, not str$"),
    (lambda v: Vapora().pop(), IndexError, r"^pop from empty list$"),
    (lambda v: Vapora().pop(0), IndexError, r"^pop from empty list$"),
    (lambda v: Vapora([v]).pop(5), IndexError, r"^pop index out of range$"),
    (lambda v: v.pop(Val(7)), ValueError, r"^Vapora\.pop\(x\): x not in list$"),
    (lambda v: v.remove(Val(7)), ValueError, r"^list\.remove\(x\): x not in list$"),
    (lambda v: v.remove(weakref.ref(Obj())), ValueError, r"not in list"),
    (lambda v: v.index(Obj()), ValueError, r"^<weakref at .*; to '(test_vapora\.)?Obj' at .*> is not in list$"),
    (lambda v: v + [1], TypeError, r'^can only concatenante Vapora \(not "list"\) to Vapora$'),
    (lambda v: v + None, TypeError, r'^can only concatenante Vapora \(not "NoneType"\) to Vapora$'),
    (lambda v: v + Obj(), TypeError, r'^can only concatenante Vapora \(not "Obj"\) to Vapora$'),
    (lambda v: v * "2", TypeError, r"can't multiply sequence by non-int"),
    (lambda v: 1 + v, TypeError, r"not iterable"),
    (lambda v: v < 1, TypeError, r"not supported"),
    (lambda v: (lambda vals: Vapora(vals).sort())([Val(2), Val(1)]), TypeError, r"'<' not supported"),
    *[(lookup, TypeError, r"^cannot create weak reference to '(int|str|NoneType|tuple|list)' object$") for lookup in (
        lambda v: 1 in v, lambda v: v.count("x"), lambda v: v.index(None), lambda v: v.remove(()), lambda v: v.pop([]))],
])
def test_errors(call, exc, text):
    keep = [Obj("a"), Obj("b"), Obj("c")]
    for v in (Vapora(keep), Vapora()):  # the same error, empty or not
        with pytest.raises(exc, match=text):
            call(v)


# --- writes and operators ----------------------------------------------------------------------


@pytest.mark.parametrize("write", [
    lambda v, a: Vapora([a, 1]),
    lambda v, a: v.extend([a, 1]),
    lambda v, a: v.__iadd__([a, 1]),
    lambda v, a: v.__setitem__(slice(0, 0), [a, 1]),
    lambda v, a: v.extend(iter_then_fail(a)),
    lambda v, a: v.append(1),
    lambda v, a: v.insert(0, "x"),
    lambda v, a: v.insert("0", a),
    lambda v, a: v.__setitem__(0, None),
])
def test_a_failing_write_stores_nothing(write):
    a, b = Obj(), Obj()
    v = Vapora([b])
    with pytest.raises((TypeError, KeyError)):
        write(v, a)
    assert list(v) == [b] and len(v.data) == 1


def test_add_makes_the_class_the_module_names_and_copy_keeps_the_attributes(monkeypatch):
    a = Obj()
    v = VaporaSub([a])
    v.note = "kept"
    c = copy.copy(v)
    assert type(c) is VaporaSub and c.note == "kept" and list(c) == [a] and c.data is not v.data
    Other = type("Other", (Vapora,), {})
    monkeypatch.setattr(vapora, "Vapora", Other)
    assert type(Vapora() + Other()) is Other
    with pytest.raises(TypeError):
        Vapora() + Vapora()


# --- subclasses, rebound names, replaced data ------------------------------------------------------


def test_base_methods_found_after_vapora_are_called_as_written():
    calls = []

    def recording(name):
        def method(self, item):
            calls.append((name, type(item)))
            return getattr(collections.UserList, name)(self, item)
        return method

    # Between Vapora and UserList in the MRO.
    Recording = type("Recording", (collections.UserList,), {n: recording(n) for n in ("append", "remove", "count")})
    Mixed = type("Mixed", (Vapora, Recording), {})
    a = Obj()
    v = Mixed()
    v.append(a)
    assert v.count(a) == 1
    v.remove(a)
    assert calls == [("append", weakref.ReferenceType), ("count", weakref.ReferenceType),
                     ("remove", weakref.ReferenceType)]


def test_a_rebound_weakref_module_is_honoured(monkeypatch):
    made = []
    spy = types.SimpleNamespace(ReferenceType=weakref.ReferenceType,
                                ref=lambda obj, *callback: made.append(len(callback)) or weakref.ref(obj, *callback))
    monkeypatch.setattr(vapora, "weakref", spy)
    a = Obj()
    v = Vapora([a])
    assert a in v and v.index(a) == 0
    assert made == [1, 0, 0]
    monkeypatch.undo()
    made.clear()
    assert a in v and made == []


# --- user code that meddles in the middle of an operation ------------------------------------------


class Entry:
    """An entry of `data` that is no reference: called, it meddles, then reads as `result`."""

    def __init__(self, result, meddle):
        self.result, self.meddle = result, meddle

    def __call__(self):
        self.meddle(self)
        return self.result


def clear_the_lists_holding(entry):
    for holder in gc.get_referrers(entry):
        if type(holder) is list:
            holder.clear()


def copy_every_list(entry):
    for o in gc.get_objects():
        if type(o) is list:
            o[:]


@pytest.mark.parametrize("cls", [Vapora, VaporaSub])
@pytest.mark.parametrize("meddle, expected", [
    # The slice is walked as a generator walks the copy: it ends where the copy was cleared.
    (clear_the_lists_holding, "a"),
    (copy_every_list, "aabc"),
])
def test_a_slice_over_entries_that_meddle_with_the_copies(cls, meddle, expected):
    keep = {n: Obj(n) for n in "abc"}
    v = cls(keep.values())
    v.data.insert(0, Entry(keep["a"], meddle))
    assert [x.name for x in v[0:4]] == list(expected)


@pytest.mark.parametrize("attack", [
    lambda v, entry: hostile.clear_referrers(entry),
    lambda v, entry: v.__init__(KEEP[:2]),
    lambda v, entry: v.data.clear(),
])
@pytest.mark.parametrize("operation", [
    lambda v: v * 2, lambda v: v.__imul__(2), lambda v: [] + v, copy.copy, reversed, lambda v: v < [],
    lambda v: v.sort(), lambda v: v.sort(key=id), lambda v: v.pop(KEEP[3]), lambda v: v.extend(v),
])
def test_operations_over_an_entry_that_meddles_end_in_an_error_or_a_result(operation, attack):
    v = Vapora(KEEP)
    meddle = [lambda entry: attack(v, entry)]  # once
    v.data.insert(2, Entry(KEEP[0], lambda entry: meddle and meddle.pop()(entry)))
    try:
        operation(v)
    except Exception:  # noqa: BLE001 - an error is a defined outcome; a crash is not
        pass
    assert all(x is None or x in KEEP for x in v)


class Named:
    """Keeps object's own comparison: compared by identity."""

    def __init__(self, name):
        self.name = name


AlwaysEqual = type("AlwaysEqual", (Named,), {"__eq__": lambda self, other: True, "__hash__": None})


# Outcomes as index-then-pop, list.remove and friends give them on the list as it stands.
@pytest.mark.parametrize("meddle, lookup, outcome, after", [
    ("clear", lambda v, x: v.pop(x), IndexError, ""),
    ("clear", lambda v, x: v.remove(x), None, ""),
    ("clear", lambda v, x: v.count(x), 1, ""),
    ("rebind", lambda v, x: v.pop(x).name, "c", "d"),  # the position, popped from the data held then
    ("rebind", lambda v, x: v.remove(x), None, "cd"),  # list.remove acts on the list it was called on
    # The probe's class changes mid-walk: the next comparison uses the new class's ==.
    ("reclass", lambda v, x: v.pop(x).name, "z", "?"),
    ("reclass", lambda v, x: (x in v, v.count(x), v.index(x)), (True, 1, 1), "?z"),
])
def test_lookups_whose_comparisons_meddle(meddle, lookup, outcome, after):
    c, d, z = Named("c"), Named("d"), Named("z")
    item = Named("i") if meddle == "reclass" else Val(1)
    v = Vapora()
    m = Meddling(1, {"clear": lambda: v.data.clear(), "rebind": lambda: v.__init__([c, d]),
                     "reclass": lambda: setattr(item, "__class__", AlwaysEqual)}[meddle])
    m.name = "?"
    v.extend([m, z])
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            lookup(v, item)
    else:
        assert lookup(v, item) == outcome
    assert "".join(x.name for x in v) == after


def with_entry(v, entry):
    v.data.append(entry)
    return v


def sharing(sub, v):
    sub.data = v.data
    return sub


def _raise(_):
    raise KeyError("entry")


# An error inside one of the class's methods that another runs carries both entries, outermost first.
@pytest.mark.parametrize("call, entries", [
    (lambda v: repr(v), ["__repr__", "__iter__"]),
    (lambda v: str(v), ["__str__", "__iter__"]),
    (lambda v: v == [], ["__eq__", "__iter__"]),
    (lambda v: list(v), ["__iter__"]),
    (lambda v: v * 2, ["__mul__", "__iter__"]),
    (lambda v: v.sort(), ["sort", "sort.<locals>.<lambda>"]),
    (lambda v: v.sort(key=_raise), ["sort", "sort.<locals>.<lambda>"]),
    (lambda v: v[0:3], ["__getitem__", "__init__"]),
    (lambda v: sharing(VaporaSub(), v)[0:3], ["__getitem__", "__init__"]),
    (lambda v: reversed(v), ["__reversed__", "__getitem__", "__init__"]),
])
def test_nested_methods_add_an_entry_each(call, entries):
    a = Obj("a")
    v = Vapora([a])
    v.data.append(Entry(None, _raise))
    with pytest.raises(KeyError) as excinfo:
        call(v)
    names = [e.name for e in traceback.extract_tb(excinfo.value.__traceback__)]
    ours = [n.removeprefix("vestri.ondrel.vapora.Vapora.") for n in names if n.startswith("vestri.ondrel.vapora.")]
    assert ours == entries


# --- no leaks (test_common repeats each method's registered calls) -----------------------------------


KEEP = [Obj(str(i)) for i in range(4)]
CHURNED = Vapora(KEEP)


@pytest.mark.parametrize("operation", [
    lambda: Vapora(KEEP).index(Obj()),
    lambda: Vapora(KEEP).pop(Obj()),
    lambda: Vapora([Obj(), Cyclic()]),
    lambda: Vapora(KEEP).extend(iter_then_fail(KEEP[0])),
    lambda: with_entry(Vapora(KEEP), Entry(None, _raise))[1:],
    lambda: (CHURNED.extend([Obj(), Obj()]), CHURNED.append(Cyclic())),  # elements die in place
])
def test_no_leaks(operation):
    assert_no_growth(operation, repeat=3_000)
    assert list(CHURNED) == KEEP


def test_collections_during_a_write_may_change_its_input(no_automatic_gc):
    # With a threshold of 1, a collection runs whenever Python code runs (the
    # generator's steps); its finalizers shorten the input list, copy every
    # young list the collector shows (a list with empty slots would crash)
    # and leave a new finalizer for the next collection.
    objs = [Obj(str(i)) for i in range(20)]
    items = list(objs)
    finalized = []

    class Shrinker:
        def __init__(self):
            self.me = self

        def __del__(self):
            if items:
                items.pop()
            for o in gc.get_objects(generation=0) + gc.get_objects(generation=1):
                if type(o) is list:
                    o[:]
            finalized.append(1)
            if len(finalized) < 60:
                Shrinker()

    old = gc.get_threshold()
    gc.enable()
    try:
        gc.set_threshold(1)
        Shrinker()
        v = Vapora(items)
        v.extend(x for x in items)
    finally:
        gc.set_threshold(*old)
    assert finalized and {id(x) for x in v} <= {id(x) for x in objs} and len(v) <= 2 * len(objs)


# --- model-based: a Vapora against the list of its live objects -------------------------------------


class VaporaMachine(RuleBasedStateMachine):
    """Objects are made, stored and killed at random; cyclic ones die only at a collection.

    The model lists the names of the objects that should be in the Vapora (a
    subclass: copies keep it); `alive` holds the only strong references, so a
    write that stored no reference of its own with a clean-up callback leaves
    entries of killed objects.  The automatic collector is off, so that cyclic
    objects die exactly at `collect`; older objects are frozen to keep it cheap.
    A clean-up that fails (its entry gone already) is reported unraisable: none may be.
    """

    def __init__(self):
        super().__init__()
        self.unraisable, self.hook = [], sys.unraisablehook
        sys.unraisablehook = lambda report: self.unraisable.append(f"{report.exc_type.__name__}: {report.exc_value}")
        self.gc_was_enabled = gc.isenabled()
        gc.disable()
        gc.freeze()
        self.v = VaporaSub()
        self.model = []
        self.alive = {}      # name -> object
        self.doomed = set()  # cyclic objects killed, waiting for a collection
        self.counter = 0

    def teardown(self):
        sys.unraisablehook = self.hook
        gc.unfreeze()
        if self.gc_was_enabled:
            gc.enable()

    def new(self, cyclic):
        self.counter += 1
        name = f"o{self.counter}"
        self.alive[name] = (Cyclic if cyclic else Obj)(name)
        return name

    def pick(self, data, names=None):
        return data.draw(st.sampled_from(sorted(self.alive if names is None else names)))

    def kill(self, name):
        """Drops the last strong reference: a plain object's entries go at once."""
        if isinstance(self.alive.pop(name), Cyclic):
            self.doomed.add(name)
        else:
            self.model[:] = [n for n in self.model if n != name]

    def names(self, copy, cls=VaporaSub):
        """The names in a copy, which holds new references of its own, each with a clean-up callback."""
        refs = {id(r) for r in copy.data if r.__callback__}
        assert type(copy) is cls and len(refs) == len(copy.data) and not refs & {id(r) for r in self.v.data}
        return [x.name for x in copy]

    @rule(how=st.sampled_from([copy.copy, VaporaSub.copy, lambda v: v[:], lambda v: 1 * v, lambda v: () + v]))
    def go_on_with_a_copy(self, how):
        # The original dies with live references, whose callbacks must then do nothing.
        self.v = how(self.v)
        assert type(self.v) is VaporaSub

    @rule(cyclic=st.booleans(), count=st.integers(1, 3), how=st.sampled_from(["extend", "iadd", "append"]))
    def add_new(self, cyclic, count, how):
        names = [self.new(cyclic) for _ in range(count)]
        objs = (self.alive[n] for n in names)
        if how == "extend":
            assert self.v.extend(objs) is None
        elif how == "iadd":
            v = self.v
            v += objs
            assert v is self.v
        else:
            for x in objs:
                self.v.append(x)
        self.model.extend(names)

    @precondition(lambda self: len(self.model) <= 8)
    @rule(n=st.integers(1, 2), by_extend=st.booleans())
    def grow_from_itself(self, n, by_extend):
        v = self.v
        if by_extend:
            v.extend(v)
        else:
            v *= n
        assert v is self.v
        self.model *= 2 if by_extend else n

    @rule(data=st.data(), op=st.sampled_from(["insert", "set", "pop"]))
    def at_position(self, data, op):
        n = len(self.model)
        if op == "insert" and self.alive:
            position, name = data.draw(st.integers(-n - 2, n + 2)), self.pick(data)
            self.v.insert(position, self.alive[name])
            self.model.insert(position, name)
        elif n and (op == "pop" or self.alive):
            position = data.draw(st.integers(-n, n - 1))
            if op == "pop":
                assert self.v.pop(position).name == self.model.pop(position)
            else:
                self.model[position] = self.pick(data)
                self.v[position] = self.alive[self.model[position]]

    @rule(kind=st.sampled_from([list, ListSub]))
    def data_rebound(self, kind):
        # A data that is not an exact list is used through its own operations;
        # the list let go must take its references with it (no clean-up after).
        self.v.data = kind(self.v.data)

    @precondition(lambda self: self.alive)
    @rule(data=st.data())
    def kill_one(self, data):
        self.kill(self.pick(data))

    @rule()
    def collect(self):
        gc.collect()
        self.model[:] = [n for n in self.model if n not in self.doomed]
        self.doomed.clear()

    @precondition(lambda self: set(self.model) & set(self.alive))
    @rule(data=st.data(), by_pop=st.booleans())
    def remove_or_pop_element(self, data, by_pop):
        name = self.pick(data, set(self.model) & set(self.alive))
        if by_pop:
            assert self.v.pop(self.alive[name]).name == name
        else:
            self.v.remove(self.alive[name])
        self.model.remove(name)

    @rule(data=st.data(), start=st.integers(0, 5), stop=st.integers(0, 5), step=st.sampled_from([None, 2, -1]))
    def assign_slice(self, data, start, stop, step):
        names = [self.pick(data) for _ in range(data.draw(st.integers(0, 2 if self.alive else 0)))]
        index = slice(start, stop, step)
        try:
            self.model[index] = names
        except ValueError:
            with pytest.raises(ValueError, match="extended slice"):
                self.v[index] = [self.alive[n] for n in names]
        else:
            self.v[index] = [self.alive[n] for n in names]

    @rule(data=st.data(), by_name=st.booleans(), reverse=st.booleans(), collect=st.booleans())
    def sort(self, data, by_name, reverse, collect):
        # Without a key the objects themselves are compared (Obj orders by name).
        # A list (of a subclass too) looks empty while it is sorted; the entries
        # of elements that the key kills meanwhile leave when the sort is over.
        kind, calls = type(self.v.data), 0
        victim = None if by_name or not self.alive else self.pick(data)
        at = data.draw(st.integers(1, max(1, len(self.model))))

        def key(obj):
            nonlocal calls
            calls += 1
            if calls == at and victim:
                self.kill(victim)
                if collect:
                    gc.collect()
            return -1 if obj is None else int(obj.name[1:])

        self.v.sort(key=None if by_name else key, reverse=reverse)
        if collect:
            self.collect()
        self.model.sort(key=None if by_name else lambda n: int(n[1:]), reverse=reverse)
        assert type(self.v.data) is kind

    @precondition(lambda self: self.model and self.alive)
    @rule(data=st.data())
    def iterate_while_killing(self, data):
        victim = self.pick(data)
        at = data.draw(st.integers(1, len(self.model)))
        # The iteration goes on by position over the list as it stands; once
        # exhausted, it stays so.
        rest = self.model if isinstance(self.alive[victim], Cyclic) else [n for n in self.model if n != victim]
        expected, seen, it = self.model[:at] + rest[at:], [], iter(self.v)
        exact = type(self.v.data) is list
        assert it.__length_hint__() == (len(self.model) if exact else 0)
        for x in itertools.islice(it, 1_000):  # bounded: a fault could loop
            seen.append(x.name)
            del x
            assert len(seen) > at or it.__length_hint__() == (len(self.model) - len(seen) if exact else 0)
            if len(seen) == at:
                self.kill(victim)
        self.add_new(cyclic=False, count=1, how="append")
        assert seen == expected and list(it) == [] and it.__length_hint__() == 0

    @invariant()
    def same_elements(self):
        assert self.unraisable == []
        assert len(self.v) == len(self.model) and [x.name for x in self.v] == self.model
        assert [self.v[i].name for i in range(-len(self.model), 0)] == self.model
        for index in (slice(None, None, -1), slice(1, None, 2), slice(-2, 0, -1), slice(9, 10)):
            assert self.names(self.v[index]) == self.model[index]
        assert self.names(reversed(self.v)) == self.model[::-1]
        assert self.names(self.v + Vapora(), Vapora) == self.model == self.names(Vapora() + self.v, Vapora)
        for n in (0, 2):
            assert self.names(self.v * n) == self.names(n * self.v) == self.model * n
        assert self.names(tuple(self.v) + self.v) == self.names(collections.UserList(list(self.v)) + self.v) == self.model * 2
        for name, obj in self.alive.items():
            assert (obj in self.v) == (name in self.model)
            assert self.v.count(obj) == self.model.count(name)
            if name in self.model:
                assert self.v.index(obj) == self.model.index(name)


VaporaMachine.TestCase.settings = settings(max_examples=200, stateful_step_count=30)
test_vapora_against_a_list_of_live_objects = VaporaMachine.TestCase


# --- writes in place between two clean-ups ----------------------------------------------------


class Anything:
    """An entry that is no weak reference and equals anything."""

    __eq__ = lambda self, other: True  # noqa: E731
    __hash__ = None


def shape(v, objs):
    return [type(entry).__name__ if not isinstance(entry, weakref.ref) else objs.index(entry()) if entry() else None
            for entry in v.data]


def entry_after_a_write_of_its_own(cls):
    """Between two clean-ups the list takes a write of its own and an entry in
    place that equals anything; the last write before was another list's."""
    objs = [Obj() for _ in range(12)]
    v = cls(objs)
    other = cls([Obj()])  # noqa: F841
    del objs[-1]  # far from the front
    objs.append(Obj())
    v[3] = objs[-1]
    v.data[0] = Anything()  # the entry it replaces is freed
    del objs[7]
    return shape(v, objs)


def test_a_write_in_place_after_a_write_of_the_lists_own():
    # The first equal entry goes: the one written in front, not the dead reference.
    assert entry_after_a_write_of_its_own(Vapora) == entry_after_a_write_of_its_own(PlainVapora)


def entry_before_a_second_clean_up(cls):
    """An element stored twice dies; between its two clean-ups a callback of
    its own writes an entry in place that equals anything, keeping nothing."""
    objs = [Obj() for _ in range(12)]
    v = cls(objs)
    twice = objs[5]
    meddler = weakref.ref(twice, lambda _: v.data.__setitem__(0, Anything()))  # noqa: F841
    v.append(twice)  # its callback runs before the meddler's, the first entry's after
    v.append(Obj())  # dies at once, far from the front
    del objs[5], twice
    return shape(v, objs)


@pytest.mark.xfail(strict=True, reason="the callback's count still held for the pending second clean-up hides the "
                                      "reference the write released")
def test_a_write_in_place_between_two_clean_ups_of_one_death():
    assert entry_before_a_second_clean_up(Vapora) == entry_before_a_second_clean_up(PlainVapora)
