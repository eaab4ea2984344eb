"""loftel: read-only properties computed from the class (the registered calls: test_common.py)."""

import copy
import functools
import gc
import operator
import pickle
import sys
import traceback
import weakref

import pytest
from hypothesis import example, given, strategies as st

from vestri.ondrel.loftel import LoftelDescriptor, loftel
from vestri.ondrel.trellan import IndexMarker

from hostile import ActingKey as Key
from outcomes import error_of


class PyLoftel:
    """The same descriptor written plainly in Python, the model of the tests."""

    def __init__(self, func):
        self.func = func

    def __get__(self, obj, owner):
        return self.func(owner)


def hierarchy(descriptor):
    """A base with a class property, a subclass and a grandchild."""
    seen = []

    class Base:
        @descriptor
        def prop(cls):
            seen.append(cls)
            return cls.__name__

    child = type("Child", (Base,), {})
    return seen, (Base, child, type("Grandchild", (child,), {}))


def holder(descr, name="Holder", **namespace):
    """A class that holds `descr` as its attribute `prop`."""
    return type(name, (), {"prop": descr, **namespace})


def test_func_is_kept_unchanged_in_the_instance_dict_and_methods_take_keywords():
    func = lambda cls: ("got", cls)  # noqa: E731
    descr = LoftelDescriptor(func=func)
    assert vars(descr) == {"func": func} and weakref.ref(descr)() is descr and loftel(42).func == 42  # uncalled
    assert descr.__get__(obj=None, owner=int) == ("got", int) and descr.__get__(None, None) == ("got", None)


REBIND = {  # every way to give the descriptor another function
    "class": lambda descr, func: setattr(descr, "func", func),
    "instance": lambda descr, func: descr.__init__(func),
    "dict": lambda descr, func: vars(descr).__setitem__("func", func),
    "update": lambda descr, func: vars(descr).update(func=func),
    "new dict": lambda descr, func: setattr(descr, "__dict__", {"func": func}),
}
operations = st.lists(st.tuples(st.sampled_from(["read", "set", "delete", "rebind"]), st.sampled_from(list(REBIND)),
                                st.integers(0, 2)), max_size=12)
Sub = type("Sub", (LoftelDescriptor,), {})
READS = [("read", where, level) for level in (0, 1, 0) for where in ("class", "instance")]


@given(st.sampled_from([loftel, Sub]), operations)
@example(loftel, READS)
@example(Sub, READS)
def test_behaves_as_the_python_descriptor(descriptor, ops):
    """Reads, assignments and deletions on classes and instances of a three-level
    hierarchy, and rebinding the function, give the same results and errors as
    the descriptor written in Python: the function runs on every read, with the
    class read through."""
    worlds = []
    for kind in (descriptor, PyLoftel):
        seen, classes = hierarchy(kind)
        worlds.append((seen, classes, [cls() for cls in classes], vars(classes[0])["prop"]))
    outcomes = [[], []]
    for step, (action, where, level) in enumerate(ops):
        for (seen, classes, instances, descr), out in zip(worlds, outcomes):
            target = instances[level] if where == "instance" else classes[level]
            if action == "read":
                out.append(error_of(lambda: target.prop) or target.prop)
            elif action == "set":
                setattr(target, "prop", f"set {where} {level}")
            elif action == "delete":
                out.append(error_of(lambda: delattr(target, "prop")))
            else:
                REBIND[where](descr, lambda cls, step=step, seen=seen: seen.append(cls) or (step, cls.__name__))
            out.append([cls.__name__ for cls in seen])
    assert outcomes[0] == outcomes[1]


def test_rebinding_in_a_hot_loop_is_seen_every_time():
    """Warm enough for the interpreter to specialise the attribute stores."""
    descr = loftel(None)
    cls = holder(descr)
    obj = cls()
    for i in range(300):
        descr.func = lambda cls, i=i: i
        assert (cls.prop, obj.prop) == (i, i)
        vars(descr)["func"] = lambda cls, i=i: -i
        assert obj.prop == -i


@pytest.mark.parametrize("other", [None, IndexMarker, type("Plain", (), {})], ids=["own", "IndexMarker", "Python"])
def test_a_replaced_dict_no_longer_matters_and_a_removed_func_fails_reads(other):
    # Replaced through the class's own __dict__ descriptor, or through another base's.
    descr = (type("Mixed", (LoftelDescriptor, other), {}) if other else LoftelDescriptor)(lambda cls: "first")
    cls, old = holder(descr), vars(descr)
    assert cls.prop == "first"
    vars(other or LoftelDescriptor)["__dict__"].__set__(descr, {"func": lambda cls: "second"})
    assert cls.prop == "second" and old["func"](None) == "first"
    old["func"] = lambda cls: "old"
    assert (cls.prop, cls().prop) == ("second", "second")
    del descr.func
    assert error_of(lambda: cls.prop) == (AttributeError, f"'{type(descr).__name__}' object has no attribute 'func'")
    descr.func = repr
    assert cls().prop == repr(cls)
    vars(descr).clear()
    assert error_of(lambda: cls().prop)[0] is AttributeError


def test_a_function_given_by_keyword_is_held_before_anything_runs():
    # operator.methodcaller hands its own keyword dict to the class call (on 3.13,
    # where it keeps borrowed pointers into it, functools.partial stands in);
    # storing `func` looks the name up in the class, where a key's __eq__ empties it.
    key = Key("zz", hash_as="func")
    sub = type("Sub", (LoftelDescriptor,), {key: None})
    if sys.version_info < (3, 13):
        call = operator.methodcaller("__call__", func=lambda cls: ("kept", cls))
        key.action = lambda: call.__reduce__()[0].keywords.clear()
    else:
        call = functools.partial(sub, func=lambda cls: ("kept", cls))
        key.action = call.keywords.clear
    sub.zz = None  # a changed class: its lookups are no longer cached
    assert (call(sub) if sys.version_info < (3, 13) else call()).func(int) == ("kept", int)


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy] + [
    lambda obj, protocol=protocol: pickle.loads(pickle.dumps(obj, protocol)) for protocol in range(2, 6)
], ids=["copy", "deepcopy"] + [f"pickle {p}" for p in range(2, 6)])
def test_copies_and_pickles_keep_the_function(clone):
    descr = loftel(operator.attrgetter("__name__"))
    assert holder(descr).prop == "Holder"  # what is remembered is no state
    twin = clone(descr)
    assert type(twin) is LoftelDescriptor and list(vars(twin)) == ["func"] and holder(twin, "Again").prop == "Again"
    assert vars(clone(LoftelDescriptor.__new__(LoftelDescriptor))) == {}


def test_an_old_function_is_not_kept_alive_and_a_cycle_is_collected():
    first = lambda cls: 1  # noqa: E731
    descr = loftel(first)
    cls = holder(descr)
    assert cls.prop == 1
    refs = [weakref.ref(first), weakref.ref(descr)]
    descr.func = lambda cls, d=descr: d
    del first, descr, cls
    gc.collect()
    assert [ref() for ref in refs] == [None, None]


def test_class_side_changes_after_reads_are_honoured():
    sub = type("Sub", (LoftelDescriptor,), {})
    cls = holder(sub(lambda cls: "function"))
    assert cls.prop == "function"
    sub.func = property(lambda self: lambda cls: "class property")
    assert cls.prop == "class property"
    del sub.func
    assert cls.prop == "function"
    sub.__getattribute__ = lambda self, name: (lambda cls: "getattribute")
    assert cls.prop == "getattribute"
    del sub.__getattribute__
    vars(cls)["prop"].__class__ = type("Other", (LoftelDescriptor,), {
        "func": property(lambda self: lambda cls: "other class")})
    assert cls.prop == "other class"


@pytest.mark.parametrize("func, error", [(lambda cls: 1 / 0, ZeroDivisionError), (42, TypeError), (lambda: 1, TypeError)])
def test_errors_of_the_function_pass_through_reads_with_one_traceback_entry(func, error):
    cls = holder(loftel(func))
    expected = error_of(lambda: PyLoftel(func).__get__(None, cls))
    for read in (lambda: cls.prop, lambda: cls().prop):
        with pytest.raises(error) as exc:
            read()
        assert (type(exc.value), str(exc.value)) == expected
        names = [e.name for e in traceback.extract_tb(exc.value.__traceback__)]
        assert names.count("vestri.ondrel.loftel.LoftelDescriptor.__get__") == 1


def test_attribute_error_of_the_function_falls_back_to_getattr_as_for_any_descriptor():
    cls = holder(loftel(lambda cls: cls.missing), __getattr__=lambda self, name: "fallback:" + name)
    assert cls().prop == "fallback:prop" and error_of(lambda: cls.prop)[0] is AttributeError


def test_subclass_overrides_reach_the_base_through_super():
    class Doubled(LoftelDescriptor):
        def __get__(self, obj, owner):
            return super().__get__(obj, owner) * 2

    class Wrapped(LoftelDescriptor):
        func = property(lambda self: lambda cls: ("wrapped", self.__dict__["kept"](cls)),
                        lambda self, value: self.__dict__.__setitem__("kept", value))

    cls = type("Holder", (), {"doubled": Doubled(lambda c: c.__name__), "wrapped": Wrapped(lambda c: c.__name__)})
    assert (cls.doubled, cls().doubled, cls.wrapped) == ("HolderHolder", "HolderHolder", ("wrapped", "Holder"))
    stored = []  # the function is stored by attribute assignment
    type("Recorded", (LoftelDescriptor,), {"__setattr__": lambda self, name, value: stored.append((name, value))})(len)
    assert stored == [("func", len)]
