"""Behaviour every public method and class of the package shares.

One registry lists each public method (module, qualified name, parameters,
a call that succeeds and a call that fails inside the method); the checks
below run once for all of them:
  - a call with wrong arguments raises the interpreter's own TypeError, the
    same as a Python function with those parameters and qualified name;
  - bound, the method shows the parameters of such a function;
  - an exception leaving the method carries one traceback entry
    "vestri.ondrel.<module>.<Class>.<method>", naming a C++ source line;
  - repeating the calls, failing ones included, grows no memory.
Tables of the same kind hold what each module binds (NAMESPACES) and how
each class is made (SHAPES: bases, members, docstrings, its native slots).
The native fast paths are checked on in the default state: C slots read from
the type objects, the Python functions a fallback would run watched, and the
shared state's counts of general paths that run no Python code read.
A new module adds its rows to METHODS, NAMESPACES and SHAPES.
"""

import collections
import contextlib
import ctypes
import dataclasses
import functools
import gc
import importlib
import inspect
import logging
import operator
import pathlib
import subprocess
import sys
import textwrap
import traceback
from typing import Any, Callable, Optional

import pytest

import hostile
from leakcheck import assert_no_growth
from outcomes import error_of, run_python, twin


@dataclasses.dataclass
class Method:
    module: str                     # "pointel"
    qualname: str                   # "NestedPointel.__getitem__"
    params: str                     # as the Python twin spells them: "self, key"
    target: Callable[[], Any]       # the object whose attribute is called (an instance or the class)
    good: Callable[[Any], Any]      # a call that succeeds
    bad: Optional[Callable[[Any], Any]] = None  # a call that fails inside the method
    slot: bool = False  # reached through a C slot, whose arguments the interpreter checks
    repeat: int = 2000  # calls per round of the leak check (fewer for slow calls)
    slack: Optional[int] = None  # blocks a round may add for caches (the check's default if None)
    entries: int = 1  # entries of the method in the bad call's traceback (one per nested call of it)
    leaks: tuple = ()  # further calls on the target that the leak check repeats: the paths in between

    @property
    def bound(self):
        """Whether the method receives its object (self or cls) first."""
        return self.params.split(",")[0].strip() in ("self", "cls")

    def reference(self, target):
        """The Python twin, as the method is called on `target`."""
        func = twin(self.qualname, self.params)
        return func.__get__(target) if self.bound else func

    @property
    def name(self):
        return self.qualname.rsplit(".", 1)[-1]

    def __str__(self):
        return f"{self.module}.{self.qualname}"


def _pointel():
    from vestri.ondrel.pointel import NestedPointel, Pointel
    return Pointel, NestedPointel


def _configuration():
    from vestri.ondrel.configuration import Configuration
    return Configuration


def _arbel():
    from vestri.ondrel.arbel import Arbel
    return Arbel


class _NoTruth:
    def __bool__(self):
        raise ValueError("no truth")


class _BadRepr:
    def __repr__(self):
        raise ValueError("no repr")


@functools.cache
def _factory():
    from vestri.ondrel.factory import MetaClassFactory

    class Made(metaclass=MetaClassFactory):
        def __init__(self, a=0, **rest):
            self.a = a

    Made.Sub = type("Sub", (Made,), {})
    return Made


def _loftel():
    from vestri.ondrel.loftel import LoftelDescriptor
    return LoftelDescriptor(lambda cls: cls.__name__)
def _logic():
    from vestri.ondrel import logic
    return logic


def _logic_parts():
    """A callable whose repr fails, and two callables whose comparison fails."""
    class Part:
        def __call__(self, value):
            return True

        def __repr__(self):
            raise ValueError("no repr")

        def __eq__(self, other):
            raise ValueError("no comparison")

    return Part(), Part()


def np():
    return _pointel()[1]({"a": {"b": 1}})


def _sequara():
    from vestri.ondrel.sequara import Sequara
    return Sequara


def sq():
    return _sequara()([("a", 1), ("b", 2)])


def sq_bare():
    """A Sequara whose __init__ never ran: no _data, no _order."""
    return _sequara().__new__(_sequara())


def sq_unpaired():
    """A Sequara whose order names a key its data lacks, and the reverse."""
    o = sq()
    o._order[0] = "ghost"
    return o


def cfg():
    return _configuration()({"a": {"b": 1}})


def _trellan():
    import vestri.ondrel.trellan as module
    return module


def tr():
    return _trellan().Trellan({"a": [1, (2, {"b": 3})]})
def _vapora():
    from vestri.ondrel.vapora import Vapora
    return Vapora


class _Element:
    """Weakly referenceable and unordered."""


# Kept alive for the whole run: a Vapora holds its elements weakly.
_ELEMENTS = [_Element() for _ in range(3)]
_E = _ELEMENTS[0]
_BAD_ELEMENT = _BadRepr()


def vp():
    return _vapora()(_ELEMENTS)


def vp_bare():
    """A Vapora whose __init__ never ran: no data."""
    return _vapora().__new__(_vapora())


METHODS = [
    # Every form dict() takes, a keyword named self included.
    Method("pointel", "Pointel.__init__", "self, /, *args, **kwargs", lambda: _pointel()[0](),
           lambda o: o.__init__(a=1), lambda o: o.__init__(1)),
    Method("pointel", "NestedPointel.__init__", "self, *args, **kwargs", np,
           lambda o: o.__init__({"a": {"c": 2}}), lambda o: o.__init__([1])),
    Method("pointel", "NestedPointel.__getitem__", "self, key", np,
           lambda o: o.__getitem__("a.b"), lambda o: o.__getitem__("a.x"), entries=2),
    Method("pointel", "NestedPointel.__setitem__", "self, key, value", np,
           lambda o: o.__setitem__("a.c", 1), lambda o: o.__setitem__("a.b.c", 1), entries=2),
    Method("pointel", "NestedPointel.__delitem__", "self, key", np,
           lambda o: o.__delitem__("a.b"), lambda o: o.__delitem__("a.x"), entries=2),
    Method("pointel", "NestedPointel.__contains__", "self, key", np,
           lambda o: o.__contains__("a.b"), lambda o: o.__contains__("a.b.c"), entries=2),
    Method("pointel", "NestedPointel.update", "self, *args, **kwargs", np,
           lambda o: o.update({"a": {"c": 1}}, d=2), lambda o: o.update(1, 2)),
    Method("pointel", "Pointel.__repr__", "self", lambda: _pointel()[0](a=1),
           lambda o: repr(o), lambda o: repr(type(o)(x=_BadRepr())), slot=True),
    Method("sequara", "Sequara.__init__", "self, *args, **kwargs", sq,
           lambda o: o.__init__([("a", 1)], b=2), lambda o: o.__init__([1])),
    Method("sequara", "Sequara.__getitem__", "self, name", sq,
           lambda o: o.__getitem__("a"), lambda o: o.__getitem__("x")),
    Method("sequara", "Sequara.__setitem__", "self, name, value", sq,
           lambda o: o.__setitem__("c", 3), lambda o: o.__setitem__(["unhashable"], 1)),
    Method("sequara", "Sequara.__delitem__", "self, name", sq,
           lambda o: o.__delitem__("a"), lambda o: o.__delitem__("x")),
    Method("sequara", "Sequara.__iter__", "self", sq, lambda o: o.__iter__(), lambda o: sq_bare().__iter__()),
    Method("sequara", "Sequara.items", "self", sq, lambda o: o.items(), lambda o: sq_unpaired().items()),
    Method("sequara", "Sequara.clear", "self", sq, lambda o: o.clear()),
    Method("sequara", "Sequara.copy", "self", sq, lambda o: o.copy(), lambda o: sq_unpaired().copy()),
    Method("sequara", "Sequara.insert", "self, key, value, position", sq,
           lambda o: o.insert("c", 3, 0), lambda o: o.insert("a", 3, 0)),
    Method("sequara", "Sequara.move", "self, key, position", sq,
           lambda o: o.move("a", -1), lambda o: o.move("x", 0)),
    Method("sequara", "Sequara.keys", "self", sq, lambda o: o.keys(), lambda o: sq_bare().keys()),
    Method("sequara", "Sequara.values", "self", sq, lambda o: o.values(), lambda o: sq_unpaired().values()),
    Method("sequara", "Sequara.update", "self, *args, **kwargs", sq,
           lambda o: o.update({"c": 3}, d=4), lambda o: o.update(1, 2)),
    Method("sequara", "Sequara.__repr__", "self", sq, lambda o: o.__repr__(), lambda o: sq_unpaired().__repr__()),
    Method("sequara", "Sequara.__len__", "self", sq, lambda o: o.__len__(), lambda o: sq_bare().__len__()),
    Method("sequara", "Sequara.__eq__", "self, other", sq, lambda o: o.__eq__(sq())),
    Method("sequara", "Sequara.fromkeys", "cls, keys, value=None", lambda: _sequara(),
           lambda c: c.fromkeys("ab"), lambda c: c.fromkeys(1)),
    Method("trellan", "Trellan.__init__", "self, *args", tr,
           lambda o: o.__init__({"a": 1}), lambda o: o.__init__([5])),
    Method("trellan", "Trellan.__flatten__", "indict, path=None", lambda: _trellan().Trellan,
           lambda c: list(c.__flatten__({"a": [1]})), lambda c: next(c.__flatten__({"a": 1}, ["x"]))),
    Method("trellan", "Trellan.__setitem__", "self, index, item", tr,
           lambda o: o.__setitem__(0, (("b",), 2)), lambda o: o.__setitem__(0, 5)),
    Method("trellan", "Trellan.append", "self, item", tr, lambda o: o.append((("b",), 2)), lambda o: o.append(5)),
    Method("trellan", "Trellan.extend", "self, items", tr,
           lambda o: o.extend([(("b",), 2)]), lambda o: o.extend([(("b",), 2), 5])),
    Method("trellan", "Trellan.insert", "self, index, item", tr,
           lambda o: o.insert(0, (("b",), 2)), lambda o: o.insert("x", (("b",), 2))),
    Method("trellan", "Trellan.reconstruct", "self", tr,
           lambda o: o.reconstruct(), lambda o: _trellan().Trellan([((), 1)]).reconstruct()),
    Method("trellan", "IndexMarker.__init__", "self, obj, index", lambda: _trellan().IndexMarker([], 0),
           lambda o: o.__init__((), 1), lambda o: o.__init__([], "x")),
    Method("trellan", "IndexMarker.__repr__", "self", lambda: _trellan().IndexMarker([], 0),
           lambda o: repr(o), lambda o: (setattr(o, "type_", 5), repr(o)), slot=True),
    Method("vapora", "Vapora.__init__", "self, items=()", vp, lambda o: o.__init__(_ELEMENTS), lambda o: o.__init__([1])),
    Method("vapora", "Vapora.__contains__", "self, item", vp, lambda o: o.__contains__(_E), lambda o: o.__contains__(1)),
    Method("vapora", "Vapora.__getitem__", "self, index", vp,
           lambda o: o.__getitem__(slice(1, None)), lambda o: o.__getitem__(9)),
    Method("vapora", "Vapora.__setitem__", "self, index, item", vp,
           lambda o: o.__setitem__(0, _E), lambda o: o.__setitem__(0, 1)),
    Method("vapora", "Vapora.__iter__", "self", vp, lambda o: list(o.__iter__()), lambda o: vp_bare().__iter__()),
    Method("vapora", "Vapora.__eq__", "self, other", vp, lambda o: o.__eq__(_ELEMENTS), lambda o: vp_bare().__eq__([])),
    Method("vapora", "Vapora.__reversed__", "self", vp, lambda o: o.__reversed__(), lambda o: vp_bare().__reversed__()),
    Method("vapora", "Vapora.__add__", "self, item", vp, lambda o: o.__add__(o), lambda o: o.__add__([1])),
    Method("vapora", "Vapora.__iadd__", "self, items", vp, lambda o: o.__iadd__(()), lambda o: o.__iadd__([1])),
    Method("vapora", "Vapora.remove", "self, item", vp,
           lambda o: (o.append(_E), o.remove(_E)), lambda o: o.remove(_Element())),
    Method("vapora", "Vapora.append", "self, item", vp, lambda o: (o.append(_E), o.pop()), lambda o: o.append(1)),
    Method("vapora", "Vapora.index", "self, item", vp, lambda o: o.index(_E), lambda o: o.index(1)),
    Method("vapora", "Vapora.count", "self, item", vp, lambda o: o.count(_E), lambda o: o.count(1)),
    Method("vapora", "Vapora.pop", "self, item=-1", vp, lambda o: (o.append(_E), o.pop(_E)), lambda o: o.pop(9)),
    Method("vapora", "Vapora.insert", "self, index, item", vp,
           lambda o: (o.insert(0, _E), o.pop(0)), lambda o: o.insert(0, 1)),
    Method("vapora", "Vapora.extend", "self, items", vp, lambda o: o.extend([]), lambda o: o.extend([_E, 1])),
    Method("vapora", "Vapora.sort", "self, key=None, reverse=False", vp, lambda o: o.sort(key=id), lambda o: o.sort()),
    Method("vapora", "Vapora.__repr__", "self", vp,
           lambda o: o.__repr__(), lambda o: _vapora()([_BAD_ELEMENT]).__repr__()),
    Method("vapora", "Vapora.__str__", "self", vp,
           lambda o: o.__str__(), lambda o: _vapora()([_BAD_ELEMENT]).__str__()),
    Method("vapora", "Vapora.__mul__", "self, n", vp, lambda o: o.__mul__(2), lambda o: o.__mul__("x")),
    Method("vapora", "Vapora.__rmul__", "self, n", vp, lambda o: o.__rmul__(2), lambda o: o.__rmul__("x")),
    Method("vapora", "Vapora.__imul__", "self, n", vp, lambda o: o.__imul__(1), lambda o: o.__imul__("x")),
    Method("vapora", "Vapora.__radd__", "self, other", vp, lambda o: o.__radd__(_ELEMENTS), lambda o: o.__radd__(1)),
    Method("vapora", "Vapora.__copy__", "self", vp, lambda o: o.__copy__(), lambda o: vp_bare().__copy__()),
    Method("vapora", "Vapora.__lt__", "self, other", vp, lambda o: o.__lt__([]), lambda o: o.__lt__(1)),
    Method("vapora", "Vapora.__le__", "self, other", vp, lambda o: o.__le__([]), lambda o: o.__le__(1)),
    Method("vapora", "Vapora.__gt__", "self, other", vp, lambda o: o.__gt__([]), lambda o: o.__gt__(1)),
    Method("vapora", "Vapora.__ge__", "self, other", vp, lambda o: o.__ge__([]), lambda o: o.__ge__(1)),
    Method("configuration", "Configuration.__setitem__", "self, key, value", cfg,
           lambda o: o.__setitem__("a.c", "1"), lambda o: o.__setitem__(["unhashable"], 1)),
    Method("configuration", "Configuration.copy", "self", cfg, lambda o: o.copy()),
    Method("configuration", "Configuration.load_cfgs", "self, *files", cfg, lambda o: o.load_cfgs()),
    Method("configuration", "Configuration.load_yamls", "self, *files", cfg, lambda o: o.load_yamls()),
    Method("configuration", "Configuration._expand_cfg_env_vars", "config", lambda: _configuration(),
           lambda c: c._expand_cfg_env_vars(__import__("configparser").ConfigParser()),
           lambda c: c._expand_cfg_env_vars(1)),
    Method("configuration", "Configuration.load_entrypoint", "self, group", cfg,
           lambda o: o.load_entrypoint("vestri.ondrel.tests.no.such.group"), repeat=300, slack=400),
    Method("configuration", "Configuration._missing_env_vars", "cls, value", lambda: _configuration(),
           lambda c: c._missing_env_vars("$HOME"), lambda c: c._missing_env_vars(b"$HOME")),
    Method("configuration", "Configuration._expand_cfg_value", "cls, value, *, section, key", lambda: _configuration(),
           lambda c: c._expand_cfg_value("x", section="s", key="k"),
           lambda c: c._expand_cfg_value(5, section="s", key="k")),
    Method("arbel", "Arbel.__init__", "self, name, children=None", lambda: _arbel()("n"),
           lambda o: o.__init__("x", ["c"]), lambda o: o.__init__("x", _NoTruth())),
    Method("arbel", "Arbel.add_child", "self, item", lambda: _arbel()("n", ("t",)),
           lambda o: type(o)("n").add_child("c"), lambda o: o.add_child("c")),
    Method("arbel", "Arbel.__str__", "self", lambda: _arbel()(5, ["c"]),
           lambda o: type(o)("r", [type(o)("a", ["b\nc"]), 5]).__str__(), lambda o: o.__str__()),
    Method("factory", "MetaClassFactory.__call__", "cls, *args, **kwargs", _factory,
           lambda c: c.__call__(1, **{"class": c}), lambda c: c.__call__(**{"class": int}),
           leaks=(lambda c: c(1, c=2, **{"class": c.Sub}), lambda c: c(), lambda c: c.Sub(**{"class": c}),
                  lambda c: c(**{"class": "x"}), lambda c: c(cls=1),
                  lambda c: type(c).__call__(c, 1, z=1, **{"class": c.Sub}))),
    Method("loftel", "LoftelDescriptor.__init__", "self, func", _loftel, lambda o: o.__init__(len)),
    Method("loftel", "LoftelDescriptor.__getstate__", "self", _loftel, lambda o: o.__getstate__()),
    Method("loftel", "LoftelDescriptor.__get__", "self, obj, owner", _loftel,
           lambda o: o.__get__(None, int), lambda o: o.__get__(None, 1),
           leaks=(lambda o: o.__get__(5, int), lambda o: type(o)(lambda cls: 1 / 0).__get__(None, int),
                  lambda o: type(o)(lambda cls: 1 / 0).__get__(5, int), lambda o: type(o)(),
                  lambda o: o.__get__(None))),
    Method("logic", "BaseLogic.__init__", "self, *expressions", lambda: _logic().And(),
           lambda o: o.__init__("a", len), lambda o: o.__init__("a", 5), leaks=(lambda o: type(o)("a", 5),)),
    Method("logic", "BaseLogic.__call__", "self", lambda: _logic().BaseLogic(),
           lambda o: o.expressions, lambda o: o.__call__()),
    Method("logic", "BaseLogic.__str__", "self", lambda: _logic().Or("a", _logic().And("b")),
           lambda o: o.__str__(), lambda o: type(o)(_logic_parts()[0]).__str__(),
           leaks=(lambda o: o == _logic().And("a"),)),
    Method("logic", "BaseLogic.__repr__", "self", lambda: _logic().Or("a", _logic().And("b")),
           lambda o: o.__repr__(), lambda o: type(o)(_logic_parts()[0]).__repr__()),
    Method("logic", "BaseLogic.__eq__", "self, other", lambda: _logic().Or("a"),
           lambda o: o.__eq__(_logic().Or("a")),
           lambda o: (lambda a, b: type(o)(a).__eq__(type(o)(b)))(*_logic_parts())),
    Method("logic", "BaseLogic.__getstate__", "self", lambda: _logic().Or("a"), lambda o: o.__getstate__()),
    Method("logic", "And.__call__", "self, *items", lambda: _logic().And(len, "a"),
           lambda o: o.__call__("ab", "c"), lambda o: o.__call__(None),
           leaks=(lambda o: type(o)("a", _logic().Or(lambda v: False, "b"), _logic().Not("c"))("ab", 5),
                  lambda o: _logic().Or(lambda v: 1 / 0)("a"))),
    Method("logic", "Or.__call__", "self, *items", lambda: _logic().Or("^$", len),
           lambda o: o.__call__("ab", "c"), lambda o: o.__call__(None)),
    Method("logic", "Not.__call__", "self, *items", lambda: _logic().Not("x", len),
           lambda o: o.__call__("ab", "c"), lambda o: o.__call__(None)),
    # A module-level function: the target is its module.
    Method("logic", "logic_str", "string", _logic,
           lambda m: m.logic_str("And('a', 'b')"), lambda m: m.logic_str("And(1)"),
           leaks=(lambda m: m.logic_str("And('a', Or(r'\\d', \"b\" 'c'), Not('x'))"),
                  *(lambda m, text=text: m.logic_str(text)
                    for text in ("And('a', Or(5))", "And('a', Or('('))", "And('\\N{nope}')", "x" * 50)))),
]

def _bad_calls(params, bound):
    """Calls that a function with `params` (after self/cls if `bound`) refuses."""
    sig = inspect.signature(twin("f", params))
    rest = list(sig.parameters.values())[1 if bound else 0:]
    kinds = {p.kind for p in rest}
    positional = [p for p in rest if p.kind is p.POSITIONAL_OR_KEYWORD]
    required_kw = {p.name: 0 for p in rest if p.kind is p.KEYWORD_ONLY and p.default is p.empty}
    filled = tuple(range(len(positional)))
    calls = [((), {"self": 1}), ((), {"cls": 1})]
    if positional:
        calls.append(((), {}))
        calls.append(((0,) * len(positional), {positional[0].name: 1}))
    if inspect.Parameter.VAR_POSITIONAL not in kinds:
        calls.append((filled + (0,), required_kw))
    if inspect.Parameter.VAR_KEYWORD not in kinds:
        calls.append((filled, {**required_kw, "zz_unknown": 1}))
    return calls


def _entries(exc, method):
    full = f"vestri.ondrel.{method.module}.{method.qualname}"
    return [e for e in traceback.extract_tb(exc.__traceback__) if e.name == full]


@pytest.mark.parametrize("method", METHODS, ids=str)
def test_wrong_arguments_raise_the_interpreters_error(method):
    if method.slot:
        pytest.skip("the interpreter checks the arguments of a slot")
    target = method.target()
    reference = method.reference(target)
    for args, kwargs in _bad_calls(method.params, method.bound):
        expected = error_of(lambda: reference(*args, **kwargs))
        if expected is None:
            continue
        got = error_of(lambda: getattr(target, method.name)(*args, **kwargs))
        assert got == expected, (args, kwargs)


@pytest.mark.parametrize("method", METHODS, ids=str)
def test_errors_leaving_a_method_carry_one_entry_of_it(method):
    calls = [] if method.slot else [(lambda t: getattr(t, method.name)(*range(20), zz_unknown=1), 1)]
    if method.bad:
        calls.append((method.bad, method.entries))
    for call, expected in calls:
        for _ in range(2):  # the second exception through a site is marked as well
            target = method.target()
            with pytest.raises(Exception) as excinfo:
                call(target)
            entries = _entries(excinfo.value, method)
            assert len(entries) == expected, traceback.format_tb(excinfo.value.__traceback__)
            entry = entries[0]
            assert entry.filename.endswith(".cpp") and entry.lineno > 0
            source = pathlib.Path(__file__).parents[1] / entry.filename
            if source.is_file():  # a source checkout: the line is a statement of that file
                assert source.read_text().splitlines()[entry.lineno - 1].strip()
            traceback.clear_frames(excinfo.value.__traceback__)


@pytest.mark.parametrize("method", METHODS, ids=str)
def test_repeated_calls_grow_no_memory(method):
    target = method.target()

    def run():
        method.good(method.target())
        if method.bad:
            method.bad(target)
        if not method.slot:
            getattr(target, method.name)(*range(20), zz_unknown=1)
        for call in method.leaks:
            try:
                call(target)
            except Exception:  # noqa: BLE001 - failing paths are repeated too
                pass

    assert_no_growth(run, repeat=method.repeat, slack=method.slack)


@pytest.mark.parametrize("call, message", [
    (lambda: _pointel()[1]().__getitem__(), "NestedPointel.__getitem__() missing 1 required positional argument: 'key'"),
    (lambda: _pointel()[1]().update(self=1), "NestedPointel.update() got multiple values for argument 'self'"),
    (lambda: _configuration()().copy(1), "Configuration.copy() takes 1 positional argument but 2 were given"),
    (lambda: _sequara()().insert("k", 1), "Sequara.insert() missing 1 required positional argument: 'position'"),
    (lambda: _sequara()(self=1), "Sequara.__init__() got multiple values for argument 'self'"),
    (lambda: _vapora()().insert(0), "Vapora.insert() missing 1 required positional argument: 'item'"),
    (lambda: _vapora()([], items=()), "Vapora.__init__() got multiple values for argument 'items'"),
    (lambda: _configuration()._expand_cfg_value("x"),
     "Configuration._expand_cfg_value() missing 2 required keyword-only arguments: 'section' and 'key'"),
])
def test_a_few_literal_argument_errors(call, message):
    assert error_of(call) == (TypeError, message)


# --- what each module binds and how each class is made -----------------------------------------

# module -> (its names in body order, `__all__` included where it has one; what the
# imported names must be; its docstring's first line, or None for no docstring)
NAMESPACES = {
    "pointel": (["itertools", "Mapping", "MutableMapping", "Pointel", "NestedPointel"],
                {"itertools": "itertools", "Mapping": "collections.abc.Mapping",
                 "MutableMapping": "collections.abc.MutableMapping"}, "Attribute Dictionary library"),
    "configuration": (["os", "re", "yaml", "logging", "configparser", "Mapping", "NestedPointel", "typecast_str",
                       "get_entry_points", "logger", "Configuration"],
                      {"os": "os", "re": "re", "yaml": "yaml", "logging": "logging", "configparser": "configparser",
                       "Mapping": "collections.abc.Mapping", "NestedPointel": "vestri.ondrel.pointel.NestedPointel",
                       "typecast_str": "vestri.utils.strings.typecast_str",
                       "get_entry_points": "vestri.utils.import_utils.get_entry_points"}, "Configuration store"),
    "trellan": (["namedtuple", "MutableMapping", "DictItem", "IndexMarker", "Trellan"],
                {"namedtuple": "collections.namedtuple", "MutableMapping": "collections.abc.MutableMapping"}, None),
    "sequara": (["MutableMapping", "Sequara"], {"MutableMapping": "collections.abc.MutableMapping"}, None),
    "logic": (["re", "logging", "decode_cli_string", "__all__", "logger", "BaseLogic", "And", "Or", "Not", "logic_str"],
              {"re": "re", "logging": "logging", "decode_cli_string": "vestri.utils.strings.decode_cli_string",
               "__all__": ["And", "Or", "Not"], "logger": lambda: logging.getLogger("vestri.ondrel.logic")},
              "Logic expressions"),
    "vapora": (["weakref", "collections", "Vapora"], {"weakref": "weakref", "collections": "collections"}, None),
    "arbel": (["Arbel"], {}, None),
    "factory": (["MetaClassFactory"], {}, "Class-switching metaclass"),
    "loftel": (["LoftelDescriptor", "loftel"], {"loftel": "vestri.ondrel.loftel.LoftelDescriptor"}, "Class properties"),
}


def _resolve(dotted):
    """The object a dotted name names: a module, something in one, or a built-in."""
    parts = dotted.split(".")
    for cut in range(len(parts), 0, -1):
        try:
            obj = importlib.import_module(".".join(parts[:cut]))
        except ImportError:
            continue
        return functools.reduce(getattr, parts[cut:], obj)
    return getattr(__import__("builtins"), dotted)


@pytest.mark.parametrize("module", list(NAMESPACES))
def test_each_module_binds_its_names_in_body_order(module):
    names, imported, doc = NAMESPACES[module]
    mod = importlib.import_module(f"vestri.ondrel.{module}")
    assert [n for n in vars(mod) if not n.startswith("__") or n == "__all__"] == names
    for name, expected in imported.items():  # a dotted name or what makes the object: that object; else equal
        value = getattr(mod, name)
        if isinstance(expected, str) or callable(expected):
            assert value is (_resolve(expected) if isinstance(expected, str) else expected()), name
        else:
            assert value == expected, name
    assert (mod.__doc__ or None) == doc if doc is None else mod.__doc__.splitlines()[0] == doc


# What a class statement leaves in every namespace, slots the interpreter
# adds, and what copyreg caches on a class once an instance is pickled.
BOOKKEEPING = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__", "__abstractmethods__", "_abc_impl",
               "__hash__", "__vectorcalloffset__", "__slotnames__"}


@dataclasses.dataclass
class Shape:
    module: str
    name: str
    bases: tuple                # dotted names
    meta: str = "type"
    members: Optional[list] = None  # its own names, bookkeeping aside, in class body order
    ordered: bool = True        # False where the interpreter lists slots in its own order
    # "" (the class) or a member -> a text (or texts) its docstring holds, None: it has none; "*": every member
    docs: dict = dataclasses.field(default_factory=dict)
    hashable: bool = True
    make: Optional[Callable] = None  # for a class made from a C type description: makes an instance
    slots: tuple = ()  # C slots that hold its own functions, never the interpreter's generic ones

    def __str__(self):
        return f"{self.module}.{self.name}"


SHAPES = [
    Shape("pointel", "Pointel", ("dict",), members=["__repr__", "__getattribute__", "__setattr__", "__delattr__",
                                                    "__init__"], ordered=False,
          docs={"": "Known Limitations", "__init__": "Pointel object init"}, hashable=False,
          make=lambda cls: cls(), slots=("tp_init", "tp_repr")),
    Shape("pointel", "NestedPointel", ("vestri.ondrel.pointel.Pointel", "collections.abc.MutableMapping"), "abc.ABCMeta",
          ["__init__", "__getitem__", "__setitem__", "__contains__", "__delitem__", "get", "pop", "setdefault", "update"],
          docs={"*": None, "": None, "get": "D.get(k[,d])", "pop": "D.pop(k[,d])",
                "setdefault": "D.setdefault(k[,d])"}, hashable=False,
          make=lambda cls: cls(), slots=("mp_subscript", "mp_ass_subscript", "sq_contains")),
    Shape("configuration", "Configuration", ("vestri.ondrel.pointel.NestedPointel",), "abc.ABCMeta",
          ["_ENV_VAR_PATTERN", "_missing_env_vars", "_expand_cfg_value", "_expand_cfg_env_vars", "copy", "__setitem__",
           "load_cfgs", "load_yamls", "load_entrypoint"],
          docs={"": None, "__setitem__": "Store INI-derived values after applying"}, hashable=False,
          make=lambda cls: cls(), slots=("mp_ass_subscript",)),
    Shape("trellan", "DictItem", ("tuple",)),
    Shape("trellan", "IndexMarker", ("object",), members=["__repr__", "__init__"], ordered=False,
          docs={"": None, "__init__": "Tracks the index position of elements in list/tuple"},
          make=lambda cls: cls([], 0), slots=("tp_init", "tp_repr")),
    Shape("trellan", "Trellan", ("list",), members=["__init__", "__flatten__", "__setitem__", "append", "extend",
                                                    "insert", "reconstruct"],
          docs={"": "Trellan class (list)", "__setitem__": None, "append": "Appends a new path/value to this list.",
                "__flatten__": "Recursively flattens a nested dictionary"}, hashable=False,
          make=lambda cls: cls(), slots=("tp_init", "mp_subscript")),
    Shape("sequara", "Sequara", ("collections.abc.MutableMapping",), "abc.ABCMeta",
          ["__init__", "__getitem__", "__setitem__", "__delitem__", "__iter__", "items", "clear", "copy", "insert",
           "move", "keys", "values", "update", "__repr__", "__len__", "__eq__", "fromkeys"],
          docs={"": ("A subclass of MutableMapping (similar to dict)",
                     "inefficient implementaion. dictionary keys are duplicated internally")}, hashable=False,
          slots=("tp_init", "tp_repr", "tp_iter", "mp_length", "mp_subscript", "mp_ass_subscript", "sq_contains")),
    Shape("logic", "BaseLogic", ("object",), members=["__repr__", "__call__", "__str__", "__eq__", "__init__",
                                                      "__getstate__"], ordered=False,
          docs={"__repr__": "ditto"}, hashable=False,
          make=lambda cls: cls(), slots=("tp_call", "tp_init", "tp_repr")),
    *(Shape("logic", name, ("vestri.ondrel.logic.BaseLogic",), members=["__call__"], hashable=False,
            make=lambda cls: cls("a"), slots=("tp_call",)) for name in ("And", "Or", "Not")),
    # UserList's versions of the last eleven would expose the references.
    Shape("vapora", "Vapora", ("collections.UserList",), "abc.ABCMeta",
          ["__init__", "__contains__", "__getitem__", "__setitem__", "__iter__", "__eq__", "__reversed__", "__add__",
           "__iadd__", "remove", "append", "index", "count", "pop", "insert", "extend", "sort", "__repr__", "__str__",
           "__mul__", "__rmul__", "__imul__", "__radd__", "__copy__", "__lt__", "__le__", "__gt__", "__ge__"],
          docs={"*": None, "": "Vapora Class\n"}, hashable=False,
          slots=("tp_init", "tp_iter", "mp_subscript", "sq_contains")),
    Shape("arbel", "Arbel", ("object",), members=["__init__", "add_child", "__str__"],
          docs={"__init__": "class __init__", "add_child": "Add children", "__str__": "String formatter"}),
    Shape("factory", "MetaClassFactory", ("type",), members=["__call__"], docs={"": "MetaClassFactory Metaclass"},
          make=lambda cls: cls("Made", (), {}), slots=("tp_call",)),
    Shape("loftel", "LoftelDescriptor", ("object",), members=["__init__", "__get__", "__getstate__"],
          docs={"": "properties"},
          make=lambda cls: cls(len), slots=("tp_init", "tp_descr_get")),
]


@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_each_class_is_made_as_its_class_statement_makes_it(shape):
    cls = getattr(importlib.import_module(f"vestri.ondrel.{shape.module}"), shape.name)
    assert cls.__bases__ == tuple(map(_resolve, shape.bases)) and type(cls) is _resolve(shape.meta)
    assert (cls.__module__, cls.__qualname__, cls.__name__) == (f"vestri.ondrel.{shape.module}", shape.name, shape.name)
    if shape.members is not None:
        own = [n for n in vars(cls) if n not in BOOKKEEPING]
        order = (lambda names: names) if shape.ordered else sorted
        assert order(own) == order(shape.members)
    docs = dict.fromkeys(shape.members, shape.docs["*"]) if "*" in shape.docs else {}
    docs.update((k, v) for k, v in shape.docs.items() if k != "*")
    for member, text in docs.items():
        doc = (getattr(cls, member) if member else cls).__doc__
        assert doc is None if text is None else all(t in doc for t in ((text,) if isinstance(text, str) else text)), (
            member, doc)
    assert (cls.__hash__ is not None) == shape.hashable


@pytest.mark.parametrize("shape", [shape for shape in SHAPES if shape.make], ids=str)
def test_interpreter_messages_name_classes_as_a_class_statement_does(shape):
    name = shape.name
    cls = getattr(importlib.import_module(f"vestri.ondrel.{shape.module}"), name)
    obj = shape.make(cls)
    twin_cls = type(name, (), {})
    mine = error_of(lambda: obj < object())
    theirs = error_of(lambda: twin_cls() < object())
    assert mine == theirs
    assert error_of(lambda: format(obj, "x"))[1] == f"unsupported format string passed to {name}.__format__"
    if cls.__hash__ is None:
        assert error_of(lambda: hash(obj)) == (TypeError, f"unhashable type: '{name}'")


# --- process-wide resources ------------------------------------------------------------------

MODULES = sorted({shape.module for shape in SHAPES} | {m.module for m in METHODS})


class _SharedState(ctypes.Structure):
    """What the package's modules share in one process, as the capsule holds it."""
    _fields_ = [("version", ctypes.c_uint), ("watcher", ctypes.c_int), ("epoch", ctypes.c_ulong),
                ("modules", ctypes.c_int), ("general_paths", ctypes.c_ulong * 8)]


def _shared_state():
    key = "vestri.ondrel._shared_v2"
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    api.PyInterpreterState_GetDict.restype = ctypes.c_void_p  # borrowed: a py_object result would be stolen
    api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    interp_dict = ctypes.cast(api.PyInterpreterState_GetDict(api.PyInterpreterState_Get()), ctypes.py_object).value
    capsule = interp_dict[key]
    return _SharedState.from_address(api.PyCapsule_GetPointer(capsule, key.encode()))


def test_the_package_takes_one_dict_watcher_and_every_module_joins_it():
    script = "import ctypes\n" + "".join(inspect.getsource(f) for f in (_SharedState, _shared_state)) + textwrap.dedent(f"""
        import importlib
        api = ctypes.pythonapi
        CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
        keep = CALLBACK(lambda *a: 0)
        api.PyDict_AddWatcher.argtypes = [CALLBACK]
        api.PyDict_ClearWatcher.argtypes = [ctypes.c_int]

        def free_slots():
            taken = []
            try:  # pythonapi raises the error the interpreter sets when none is free
                while (w := api.PyDict_AddWatcher(keep)) >= 0:
                    taken.append(w)
            except RuntimeError:
                pass
            for w in taken:
                api.PyDict_ClearWatcher(w)
            return len(taken)

        before = free_slots()
        for name in {MODULES!r}:
            importlib.import_module("vestri.ondrel." + name)
        after = free_slots()
        shared = _shared_state()
        print(before - after, shared.watcher, shared.modules)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    taken, watcher, modules = map(int, out.split())
    assert taken == 1 and watcher >= 0
    assert modules >= 1  # every module with a fast path that watches names


# --- classes used before their module body ends ------------------------------------------------
#
# A stand-in for a standard module sits in sys.modules while a module of the
# package is imported; code it runs reaches a class of the module and uses it
# (`use_early`) before the body is done.
EARLY_USE = """
    import gc, importlib, sys, types
    real = importlib.import_module({stand_in!r})

    def use_early(cls):
        try:
            {use}
        except SystemError as exc:  # a broken promise of the C API, not an outcome
            print(repr(exc))
        except Exception:
            pass
    {make}
    sys.modules[{stand_in!r}] = stand_in
    try:
        import vestri.ondrel.{module}
    finally:
        sys.modules[{stand_in!r}] = real
    print("imported")
"""

# Reading `attribute` of the stand-in, which the body does after it has made
# its classes, finds the classes through the collector.
READ = """
    class Early(types.ModuleType):
        def __getattr__(self, name):
            if name == {attribute!r}:
                for cls in [o for o in gc.get_objects() if isinstance(o, type) and o.__name__ == {cls!r}]:
                    use_early(cls)
            return getattr(real, name)

    stand_in = Early({stand_in!r})
"""

# The stand-in's MutableMapping has a metaclass with a `__setattr__` of its
# own, which uses the class made on it while the body still sets the class up
# (a class statement would make no such call).
SETATTR = """
    class Meta(type(real.MutableMapping)):
        def __setattr__(cls, name, value):
            type.__setattr__(cls, name, value)
            if cls.__name__ == {cls!r}:
                use_early(cls)

    stand_in = types.ModuleType("collections.abc")
    vars(stand_in).update(vars(real))
    stand_in.MutableMapping = Meta("MutableMapping", (real.MutableMapping,), {{}})
"""


@pytest.mark.parametrize("module, stand_in, attribute, cls, use, make", [
    ("logic", "re", "Pattern", "And", "cls(cls(callable))('v')", READ),
    ("pointel", "itertools", "chain", "NestedPointel", "cls.update(cls.__new__(cls), {'a': 1}, b=2)", READ),
    ("trellan", "collections.abc", "Generator", "Trellan", "cls({'a': {'b': 1}})", READ),
    ("vapora", "weakref", "ReferenceType", "Vapora", "cls([cls])", READ),
    ("configuration", "yaml", "safe_load", "Configuration", "cls({'a': 1})['b.c'] = 2", READ),
    ("sequara", "collections.abc", None, "Sequara",
     "s = cls(); s['a'] = 1; s.insert(0, 'b', 2); s.move('a', 0); repr(s); s == s; del s['a']", SETATTR),
    ("configuration", "collections.abc", None, "Configuration", "cls({'a': 1})['b.c'] = 2", SETATTR),
])
def test_classes_used_while_their_module_body_runs(module, stand_in, attribute, cls, use, make):
    fields = dict(module=module, stand_in=stand_in, attribute=attribute, cls=cls, use=use)
    code = textwrap.dedent(EARLY_USE).replace("{make}\n", textwrap.dedent(make))
    result = run_python(code.format(**fields))
    assert result.returncode == 0 and result.stdout == "imported\n", result.stderr[-2000:]


# The process's shared state as an earlier layout had it (version,
# watcher, epoch, modules and nothing after), left by another copy of the
# package: what a module does with it must stay inside it.
EARLIER_STATE = """
    import ctypes
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    api.PyInterpreterState_GetDict.restype = ctypes.c_void_p
    api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
    api.PyCapsule_New.restype = ctypes.py_object
    api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

    class Earlier(ctypes.Structure):
        _fields_ = [("version", ctypes.c_uint), ("watcher", ctypes.c_int), ("epoch", ctypes.c_ulong),
                    ("modules", ctypes.c_int), ("after", ctypes.c_ubyte * 96)]

    name = ctypes.c_char_p(b"vestri.ondrel._shared_v1")
    state = Earlier(1, -1, 1, 0)
    interp = ctypes.cast(api.PyInterpreterState_GetDict(api.PyInterpreterState_Get()), ctypes.py_object).value
    interp[name.value.decode()] = api.PyCapsule_New(ctypes.addressof(state), name, None)
    try:
        import vestri.ondrel.logic as logic
        Own = type("Own", (logic.And,), {"__call__": lambda self, *values: logic.And.__call__(self, *values)})
        logic.And(Own(callable))("v")  # a nested object with a call of its own
    except ImportError:
        pass
    print(bytes(state.after) == bytes(96))
"""


def test_a_shared_state_left_by_an_earlier_build_is_not_written_past():
    result = run_python(textwrap.dedent(EARLIER_STATE))
    assert result.returncode == 0 and result.stdout == "True\n", result.stderr[-2000:]


# --- lookups that run Python code ---------------------------------------------------------------


def test_super_lookup_survives_bases_reassigned_during_the_lookup():
    import gc
    Pointel = _pointel()[0]
    calls = []
    armed = False

    class Evil(str):
        # Collides with "__repr__" in a class namespace, so the lookup of the
        # next __repr__ compares with it, and the comparison swaps the bases.
        def __hash__(self):
            return hash("__repr__")

        def __eq__(self, other):
            if armed and not calls:
                calls.append(other)
                Sub.__bases__ = (Pointel, Other)
                gc.collect()
            return False

    Mixin = type("Mixin", (dict,), {Evil("zz"): 1})
    Other = type("Other", (dict,), {})

    class Sub(Pointel, Mixin):
        pass

    obj = Sub(a=1)
    armed = True
    assert repr(obj) == "Sub({'a': 1})"
    assert calls == ["__repr__"] and Sub.__mro__[2] is Other


def test_module_names_fall_back_to_builtins_as_in_a_function():
    # In a process of its own: the module namespace keeps its order elsewhere.
    script = textwrap.dedent("""
        import builtins
        import vestri.ondrel.configuration as cfgmod
        real = cfgmod.typecast_str
        del cfgmod.typecast_str
        builtins.typecast_str = lambda v: ("from builtins", real(v))
        c = cfgmod.Configuration()
        c["k"] = "1"
        print(c["k"])
        del builtins.typecast_str
        try:
            c["k"] = "1"
        except NameError as exc:
            print(exc)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == ["('from builtins', 1)", "name 'typecast_str' is not defined"]


# --- callbacks that attack the object mid-call -------------------------------------------------
#
# Every public method that runs user code is called with objects from
# tests/hostile.py whose callbacks clear what refers to them, run the
# collector, rebind the object's state or empty it.  The call ends in an
# exception or in the defined result (`k.sure` states it where no attack
# could have taken the data away), never in a crash, and nothing it wrote
# goes into state the object no longer holds.


def _hostile_names(node, k):
    """Rewrites the name of every Arbel node as a key that strikes when the
    instance dict compares it with "name"."""
    todo = [node]
    while todo:
        n = todo.pop()
        state = vars(n)
        value = state.pop("name")
        state[k.key("name")] = value
        todo.extend(c for c in n.children if hasattr(c, "children"))


def _made():
    from vestri.ondrel.factory import MetaClassFactory

    class Made(metaclass=MetaClassFactory):
        def __init__(self, a=0, b=0):
            self.a, self.b = a, b

    return Made


def _sq_filled(o, k):
    k.setup(lambda: (o.__setitem__(k.key("z"), k.shown("v")), o.insert(k.key("y"), 2, 0)))
    return o


def _vp_calling(o, k):
    """A Vapora whose data holds, after its references, an entry of the
    kit's: any callable may stand in `data`, and every read calls it."""
    k.setup(lambda: o.data.append(k.call(k.element())))
    return o


def _index(call):
    """An integer operand whose __index__ is `call()`."""
    return type("Index", (), {"__index__": lambda self: call()})()


def _vp_times(o, k):
    """`o *= n` whose n strikes in __index__: the product of the elements read before it, stored in `data` as it is after."""
    expected = 2 * len(_vp_calling(o, k).data)
    o.__imul__(_index(k.call(2)))
    k.sure(lambda: len(o.data) == expected)


def _vp_filled(o, k):
    k.setup(lambda: o.extend(k.mortals(3) + [k.element()]))
    return o


def _shared(func, **kwargs):
    """`func(**kwargs)` called with a keyword dict that other code holds:
    `operator.methodcaller` hands its own to the call on 3.12; 3.13's keeps
    borrowed pointers into it (a clear crashes the interpreter itself), so
    there `functools.partial`, which hands its own on both, stands in."""
    if sys.version_info < (3, 13):
        return operator.methodcaller("__call__", **kwargs)(func)
    return functools.partial(func, **kwargs)()


# qualified method -> (call(o, k), rebind(o) or None, empty(o) or None)
HOSTILE = {
    "pointel.Pointel.__init__": (lambda o, k: (o.__init__([(k.key("a"), 1)], b=2), k.sure(lambda: o["a"] == 1 and o["b"] == 2)),),
    "pointel.NestedPointel.__init__": (lambda o, k: o.__init__({k.key("a"): {k.key("c"): 2}}, d=k.shown("x")),),
    "pointel.NestedPointel.__getitem__": (lambda o, k: o[k.key("a.b")],),
    "pointel.NestedPointel.__setitem__": (lambda o, k: (o.__setitem__(k.key("a.c"), 1), k.sure(lambda: o["a.c"] == 1)),),
    "pointel.NestedPointel.__delitem__": (lambda o, k: o.__delitem__(k.key("a.b")),),
    "pointel.NestedPointel.__contains__": (lambda o, k: k.key("a.b") in o,),
    "pointel.NestedPointel.update": (lambda o, k: (o.update({k.key("a"): {k.key("c"): 1}}, d=2), k.sure(lambda: o["a.c"] == 1)),),
    "pointel.Pointel.__repr__": (lambda o, k: repr(type(o)({k.key("a"): k.shown("x")})),),
    "sequara.Sequara.__init__": (
        lambda o, k: k.sure_of(_shared(type(o), **{k.key("a"): [1], "b": [2], "c": [3]}), lambda r: set(r) == {"a", "b", "c"}),),
    "sequara.Sequara.__getitem__": (lambda o, k: o[k.key("a")],),
    "sequara.Sequara.__setitem__": (lambda o, k: (o.__setitem__(k.key("c"), 3), k.sure(lambda: o._data["c"] == 3 and o._order.count("c") == 1)),),
    "sequara.Sequara.__delitem__": (lambda o, k: (o.__delitem__(k.key("a")), k.sure(lambda: "a" not in o._order)),),
    "sequara.Sequara.__iter__": (lambda o, k: list(_sq_filled(o, k)),),
    "sequara.Sequara.items": (lambda o, k: _sq_filled(o, k).items(),),
    "sequara.Sequara.clear": (lambda o, k: (_sq_filled(o, k).clear(), k.sure(lambda: not o._data and not o._order)),),
    "sequara.Sequara.copy": (lambda o, k: _sq_filled(o, k).copy(),),
    "sequara.Sequara.insert": (lambda o, k: (o.insert(k.key("c"), 3, 0), k.sure(lambda: o._order[0] == "c" and o._data["c"] == 3)),),
    "sequara.Sequara.move": (lambda o, k: (o.move(k.key("b"), 0), k.sure(lambda: o._order[0] == "b")),),
    "sequara.Sequara.keys": (lambda o, k: _sq_filled(o, k).keys(),),
    "sequara.Sequara.values": (lambda o, k: _sq_filled(o, k).values(),),
    "sequara.Sequara.update": (lambda o, k: (o.update({k.key("c"): 3}, d=4), k.sure(lambda: {"c", "d"} <= set(o._order))),),
    "sequara.Sequara.__repr__": (lambda o, k: repr(_sq_filled(o, k)),),
    "sequara.Sequara.__len__": (lambda o, k: len(_sq_filled(o, k)),),
    "sequara.Sequara.__eq__": (lambda o, k: _sq_filled(o, k) == {k.key("a"): 1, k.key("b"): 2},),
    "sequara.Sequara.fromkeys": (lambda c, k: k.sure_of(c.fromkeys(k.iterable([k.key("a"), "b"])), lambda r: list(r) == ["a", "b"]),),
    "trellan.Trellan.__init__": (lambda o, k: o.__init__(k.iterable([k.pair(("b",), 1), k.pair(("c",), 2)])), None, list.clear),
    "trellan.Trellan.__flatten__": (lambda c, k: list(c.__flatten__({k.key("a"): [1, {k.key("b"): k.shown("x")}]})),),
    "trellan.Trellan.__setitem__": (lambda o, k: (o.__setitem__(0, k.pair(("b",), 2)), k.sure(lambda: o[0][0] == ("b",))), None, list.clear),
    "trellan.Trellan.append": (lambda o, k: (o.append(k.pair(("b",), 2)), k.sure(lambda: o[-1][0] == ("b",))), None, list.clear),
    "trellan.Trellan.extend": (lambda o, k: (o.extend(k.iterable([k.pair(("b",), 1), k.pair(("c",), 2)])),
                                             k.sure(lambda: o[-1][0] == ("c",))), None, list.clear),
    "trellan.Trellan.insert": (lambda o, k: (o.insert(0, k.pair(("b",), 2)), k.sure(lambda: o[0][0] == ("b",))), None, list.clear),
    "trellan.Trellan.reconstruct": (lambda o, k: k.sure_of(type(o)(
        [(("a", "b"), 1), (collections.deque([k.key("a"), "c"]), 2)]).reconstruct(), lambda r: r == {"a": {"b": 1, "c": 2}}),
        None, list.clear),
    "vapora.Vapora.__init__": (lambda o, k: (o.__init__(k.iterable([k.element(), k.element()])), k.sure(lambda: len(o) == 2)),),
    "vapora.Vapora.__contains__": (lambda o, k: k.element() in _vp_filled(o, k),),
    "vapora.Vapora.__getitem__": (lambda o, k: _vp_calling(o, k)[0:],),
    "vapora.Vapora.__setitem__": (lambda o, k: (o.__setitem__(slice(0, 1), k.iterable([k.element()])), k.sure(lambda: len(o.data) == (1 if k.attack == "rebind" else 3))),),
    "vapora.Vapora.__iter__": (lambda o, k: list(_vp_calling(o, k)),),
    "vapora.Vapora.__eq__": (lambda o, k: _vp_filled(o, k) == [k.element()],),
    "vapora.Vapora.__iadd__": (lambda o, k: (o.__iadd__(k.iterable([k.element()])), k.sure(lambda: len(o.data) == (1 if k.attack == "rebind" else 4))),),
    "vapora.Vapora.remove": (lambda o, k: _vp_filled(o, k).remove(k.element()),),
    "vapora.Vapora.index": (lambda o, k: _vp_filled(o, k).index(k.element()),),
    "vapora.Vapora.count": (lambda o, k: _vp_filled(o, k).count(k.element()),),
    "vapora.Vapora.pop": (lambda o, k: _vp_filled(o, k).pop(k.element()),),
    "vapora.Vapora.extend": (lambda o, k: (o.extend(k.iterable([k.element(), k.element()])), k.sure(lambda: len(o.data) == (2 if k.attack == "rebind" else 5))),),
    "vapora.Vapora.sort": (lambda o, k: _vp_filled(o, k).sort(key=k.call(0)),),
    "vapora.Vapora.__repr__": (lambda o, k: (k.setup(lambda: o.append(k.shown("x"))), repr(o)),),
    "vapora.Vapora.__str__": (lambda o, k: (k.setup(lambda: o.append(k.shown("x"))), str(o)),),
    "vapora.Vapora.__lt__": (lambda o, k: _vp_filled(o, k) < [k.element()],),
    "vapora.Vapora.__reversed__": (lambda o, k: _vp_calling(o, k).__reversed__(),),
    "vapora.Vapora.__add__": (lambda o, k: _vp_calling(o, k) + _vp_calling(type(o)(), k),),
    "vapora.Vapora.__mul__": (lambda o, k: _vp_calling(o, k) * 2,),
    "vapora.Vapora.__rmul__": (lambda o, k: 2 * _vp_calling(o, k),),
    "vapora.Vapora.__imul__": (_vp_times,),
    "vapora.Vapora.__le__": (lambda o, k: _vp_filled(o, k) <= [k.element()],),
    "vapora.Vapora.__gt__": (lambda o, k: _vp_filled(o, k) > [k.element()],),
    "vapora.Vapora.__ge__": (lambda o, k: _vp_calling(o, k) >= [k.element()],),
    "vapora.Vapora.__radd__": (lambda o, k: o.__radd__(k.iterable([k.element()])),),
    "vapora.Vapora.__copy__": (lambda o, k: _vp_calling(o, k).__copy__(),),
    "configuration.Configuration.__setitem__": (lambda o, k: (o.__setitem__(k.key("a.c"), k.shown("1")), k.sure(lambda: "c" in o["a"])),),
    "configuration.Configuration.copy": (lambda o, k: (k.setup(lambda: o.__setitem__(k.key("z"), k.shown("1"))), o.copy()),),
    "arbel.Arbel.__str__": (lambda o, k: (_hostile_names(o := type(o)("r", [type(o)("a", ["x", type(o)("b")]), "y"]), k),
                                          str(o)), lambda o: o.__init__(o.name), lambda o: o.children.clear()),
    "factory.MetaClassFactory.__call__": (lambda c, k: _shared(_made(), **{k.key("a"): [1], "b": [2], "class": _made()}),),
    "loftel.LoftelDescriptor.__get__": (lambda o, k: (o.__init__(k.call("v")), o.__get__(None, int)), lambda o: o.__init__(len)),
    "logic.BaseLogic.__init__": (lambda o, k: o.__init__(k.call(), k.key("a")),),
    "logic.BaseLogic.__str__": (lambda o, k: str(type(o)(k.shown("x"), type(o)(k.call()))),),
    "logic.BaseLogic.__repr__": (lambda o, k: repr(type(o)(k.shown("x"))),),
    "logic.BaseLogic.__eq__": (lambda o, k: type(o)(k.element(), "a") == type(o)(k.element(), "a"),),
    "logic.And.__call__": (lambda o, k: type(o)(k.call(True), "a")(*["ab"] * 10),),
    "logic.Or.__call__": (lambda o, k: type(o)(k.call(False), "x")(*["ab"] * 10),),
    "logic.Not.__call__": (lambda o, k: type(o)(k.call(False), "x")(*["ab"] * 10),),
}

# Methods that run no user code with the arguments they take (or only the
# interpreter's, on files and the environment): nothing to attack.
CALM = {
    "sequara.Sequara.__getitem__",
    "vapora.Vapora.append", "vapora.Vapora.insert",
    "trellan.IndexMarker.__init__", "trellan.IndexMarker.__repr__",
    "configuration.Configuration.load_cfgs", "configuration.Configuration.load_yamls",
    "configuration.Configuration._expand_cfg_env_vars", "configuration.Configuration.load_entrypoint",
    "configuration.Configuration._missing_env_vars", "configuration.Configuration._expand_cfg_value",
    "arbel.Arbel.__init__", "arbel.Arbel.add_child",
    "loftel.LoftelDescriptor.__init__", "loftel.LoftelDescriptor.__getstate__",
    "logic.BaseLogic.__call__", "logic.BaseLogic.__getstate__", "logic.logic_str",
}


def test_every_method_is_attacked_or_runs_no_user_code():
    names = {str(m) for m in METHODS}
    assert set(HOSTILE) <= names and CALM <= names
    assert names - set(HOSTILE) - CALM == set()


def _attack(method, attack):
    """The method's hostile call, and a maker of its kit for a target."""
    call, *hooks = HOSTILE[str(method)]
    rebind, empty = (hooks + [None, None])[:2]
    return call, lambda target: hostile.Kit(attack, target, rebind=rebind, empty=empty)


@pytest.mark.parametrize("attack", hostile.ATTACKS)
@pytest.mark.parametrize("method", [m for m in METHODS if str(m) in HOSTILE], ids=str)
def test_callbacks_that_attack_the_object_end_in_an_error_or_the_defined_result(method, attack):
    call, kit_of = _attack(method, attack)
    target = method.target()
    kit = kit_of(target)
    try:
        call(target, kit)
    except AssertionError:
        raise
    except Exception:  # noqa: BLE001 - an error is a defined outcome; a crash or a lost write is not
        pass
    del kit
    gc.collect()


@pytest.mark.parametrize("attack", ["rebind", "empty"])
@pytest.mark.parametrize("method", [m for m in METHODS if str(m) in HOSTILE], ids=str)
def test_attacked_calls_grow_no_memory(method, attack):
    call, kit_of = _attack(method, attack)

    def run():
        target = method.target()
        call(target, kit_of(target))

    assert_no_growth(run, repeat=100, slack=60)


# --- signatures of classes and methods ---------------------------------------------------------

SIGNED_CLASSES = sorted({(m.module, m.qualname.split(".")[0]) for m in METHODS if "." in m.qualname}
                        | {(shape.module, shape.name) for shape in SHAPES if shape.make})


def _signature_or_error(obj):
    try:
        return str(inspect.signature(obj))
    except (TypeError, ValueError) as exc:
        return type(exc)


@pytest.mark.parametrize("module, name", SIGNED_CLASSES, ids=lambda v: v)
def test_classes_and_their_methods_show_their_documented_parameters(module, name):
    cls = getattr(importlib.import_module(f"vestri.ondrel.{module}"), name)
    # The reference: a class statement with the documented __init__ of the
    # nearest class that has one; a metaclass without one is refused alike.
    inits = [m for klass in cls.__mro__ for m in METHODS if m.qualname == f"{klass.__name__}.__init__"]
    namespace = {"__init__": twin(inits[0].qualname, inits[0].params)} if inits else {}
    reference = type(name, (type,) if issubclass(cls, type) else (), namespace)
    for ours, theirs in [(cls, reference), (type(cls)("Sub", (cls,), {}), type("Sub", (reference,), {}))]:
        assert _signature_or_error(ours) == _signature_or_error(theirs), ours
    for method in METHODS:
        if method.module == module and (method.qualname.startswith(f"{name}.") or "." not in method.qualname):
            target = method.target()
            assert _signature_or_error(getattr(target, method.name)) == _signature_or_error(
                method.reference(target)), method


# --- static methods ------------------------------------------------------------------------------


@pytest.mark.parametrize("module, qualname", [
    ("trellan", "Trellan.__flatten__"),
    ("configuration", "Configuration._expand_cfg_env_vars"),
])
def test_static_methods_belong_to_their_class(module, qualname):
    import pickle
    full = f"vestri.ondrel.{module}"
    cls_name, name = qualname.split(".")
    func = getattr(getattr(importlib.import_module(full), cls_name), name)
    assert (func.__module__, func.__qualname__, inspect.getmodule(func).__name__) == (full, qualname, full)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func


# --- unbounded recursion through Python code ----------------------------------------------------
#
# Each row recurses through Python code and back into a native method, with the
# recursion limit far above what the C stack could take; it runs in a child
# process, so that a crash shows as one.  The row's `run` is called there and
# its result printed; `ends` lists what the child may print.

DEEP_RECURSION = {
    "arbel: str through Python __str__ overrides": ({"RecursionError", "rendered"}, """
        from vestri.ondrel.arbel import Arbel
        Boxed = type("Boxed", (Arbel,), {"__str__": lambda self: "[" + Arbel.__str__(self) + "]"})
        node = Boxed("leaf")
        for i in range(100_000):
            node = Boxed(str(i), [node])
        run = lambda: str(node) and "rendered"
    """),
    "factory: a class call whose __init__ calls the class": ({"RecursionError"}, """
        from vestri.ondrel.factory import MetaClassFactory
        Deep = MetaClassFactory('Deep', (), {'__init__': lambda self, n: Deep(n + 1, **{'class': Deep})})
        run = lambda: Deep(0)
    """),
    "loftel: a class property that reads itself": ({"RecursionError"}, """
        from vestri.ondrel.loftel import loftel
        Holder = type('Holder', (), {'prop': loftel(lambda cls: cls().prop)})
        run = lambda: Holder.prop
    """),
}


@pytest.mark.parametrize("name", list(DEEP_RECURSION))
def test_unbounded_recursion_through_python_code_ends_in_recursion_error(name):
    ends, setup = DEEP_RECURSION[name]
    code = "import sys\nsys.setrecursionlimit(1_000_000)\n" + textwrap.dedent(setup) + textwrap.dedent("""
        try:
            print(run())
        except RecursionError:
            print("RecursionError")
    """)
    result = run_python(code)
    assert result.returncode == 0 and result.stdout.strip() in ends, result.stderr[-2000:]


# --- native fast paths ---------------------------------------------------------------------------
#
# A fast path that stops applying changes no result, only the speed: these
# check that each is on in the default state, seen from Python without
# changing what the modules' checks compare.  A class's C slot is read from
# its type object (the interpreter's generic slot function there means the
# Python-level method is called), and the Python code a fallback would run
# is watched with sys.monitoring.

_SLOTS = {  # slot -> (offsets through the public type object struct, the method it serves)
    "tp_call": ((128,), "__call__"), "tp_iter": ((216,), "__iter__"), "tp_descr_get": ((272,), "__get__"),
    "tp_init": ((296,), "__init__"), "tp_repr": ((88,), "__repr__"), "mp_length": ((112, 0), "__len__"),
    "mp_subscript": ((112, 8), "__getitem__"), "mp_ass_subscript": ((112, 16), "__setitem__"),
    "sq_contains": ((104, 56), "__contains__"),
}


def _slot(cls, name):
    *path, at = _SLOTS[name][0]
    address = functools.reduce(lambda a, offset: ctypes.c_void_p.from_address(a + offset).value, path, id(cls))
    return ctypes.c_void_p.from_address(address + at).value


def _generic(name):
    return _slot(type("Generic", (), {_SLOTS[name][1]: lambda *args: None}), name)


@pytest.mark.parametrize("shape", [shape for shape in SHAPES if shape.slots], ids=str)
def test_native_methods_sit_in_their_classes_slots(shape):
    assert _slot(type("Inherits", (list,), {}), "tp_iter") == _slot(list, "tp_iter") != _generic("tp_iter")
    cls = getattr(importlib.import_module(f"vestri.ondrel.{shape.module}"), shape.name)
    assert [slot for slot in shape.slots if _slot(cls, slot) == _generic(slot)] == []


# A class that resolves item access to NestedPointel's methods takes its C slots once used.
@pytest.mark.parametrize("make", [lambda base: type("Plain", (base,), {}), lambda base: _configuration()])
def test_classes_using_nested_pointels_item_methods_adopt_its_slots(make):
    base = _pointel()[1]
    cls = make(base)
    obj = cls(k=1)
    obj["k"], "k" in obj
    assert [_slot(cls, slot) == _slot(base, slot) for slot in ("mp_subscript", "sq_contains")] == [True, True]


def test_classes_using_sequaras_item_methods_adopt_its_slots():
    base = _sequara()
    obj = type("Plain", (base,), {})(k=1)
    obj["k"], "k" in obj
    obj["j"] = 2
    slots = ("mp_subscript", "mp_ass_subscript", "sq_contains")
    assert [_slot(type(obj), slot) == _slot(base, slot) for slot in slots] == [True] * 3


@contextlib.contextmanager
def _entered(funcs):
    """Lists the qualified names of the Python functions among `funcs` that start running in the block."""
    monitoring = sys.monitoring
    tool = next(tool for tool in range(6) if monitoring.get_tool(tool) is None)
    monitoring.use_tool_id(tool, "fast path check")
    codes = {func.__code__: func.__qualname__ for func in funcs}
    seen = []
    monitoring.register_callback(tool, monitoring.events.PY_START, lambda code, offset: seen.append(codes[code]))
    try:
        for code in codes:
            monitoring.set_local_events(tool, code, monitoring.events.PY_START)
        yield seen
    finally:
        for code in codes:
            monitoring.set_local_events(tool, code, 0)
        monitoring.free_tool_id(tool)


def _configuration_values(tmp_path):
    cfg = _configuration()({"a": {"b": "1"}})
    cfg["c"], cfg["a.d"] = "2", "3"
    cfg.copy()


def _yaml_file(tmp_path):
    (tmp_path / "fast.yaml").write_text("a: {b: [1, 2]}\n")
    _configuration()().load_yamls(str(tmp_path / "fast.yaml"))


def _sequara_operations(tmp_path):
    for m in (sq(), type("Plain", (_sequara(),), {})([("a", 1)])):
        "a" in m, "x" in m


def _vapora_operations(tmp_path):
    v, (a, b, c) = vp(), _ELEMENTS
    v.append(a), v.insert(0, b), v.extend(_ELEMENTS), v.pop(), v.remove(a), v.index(b), v.count(b)
    v[0] = c
    v[0], c in v
    v += _ELEMENTS
    v.sort(key=id)


# what exercises a fast path -> the Python functions its fallback would run ("module:qualified name")
FALLBACKS = {
    _configuration_values: ["vestri.utils.strings:typecast_str"],
    _yaml_file: ["yaml.scanner:Scanner.check_token", "yaml.reader:Reader.__init__"],  # the C parser's work
    lambda tmp_path: _trellan().Trellan({"a": [1, {"b": (2,)}]}).reconstruct():
        ["vestri.ondrel.trellan:DictItem.__new__"],
    _vapora_operations: [f"collections:UserList.{name}" for name in (
        "__init__", "append", "insert", "extend", "pop", "remove", "index", "count", "__setitem__", "__getitem__",
        "__contains__", "__iadd__", "sort", "__iter__")],
    _sequara_operations: ["_collections_abc:Mapping.__contains__"],
    lambda tmp_path: _pointel_update(False): ["abc:ABCMeta.__instancecheck__"],
}


@pytest.mark.parametrize("exercise", FALLBACKS, ids=["typecast_str", "yaml", "trellan", "vapora", "sequara", "pointel"])
def test_fast_paths_run_no_python_fallback_in_the_default_state(exercise, tmp_path):
    funcs = [functools.reduce(getattr, name.split("."), importlib.import_module(module))
             for module, name in (text.split(":") for text in FALLBACKS[exercise])]
    if exercise is _yaml_file and not importlib.import_module("yaml").__with_libyaml__:
        pytest.skip("PyYAML without its C parser")
    with _entered(funcs) as seen:
        exercise(tmp_path)
    assert seen == []


# Shortcuts whose general path runs no Python code either count the general
# path in the shared state: (what takes the shortcut, what takes the general
# path), per index of SharedState::general_paths.
def _logic_nested(call):
    logic = _logic()
    kind = type("Called", (logic.And,), {"__call__": lambda self, *v: logic.And.__call__(self, *v)}) if call else logic.And
    logic.Or(logic.Not(kind(bool, logic.Or(str))), logic.And(bool))(1, 2)


def _factory_switch(general):
    from vestri.ondrel.factory import MetaClassFactory
    check = {"__subclasscheck__": lambda cls, sub: type.__subclasscheck__(cls, sub)}
    meta = type("Checking", (MetaClassFactory,), check) if general else MetaClassFactory
    base = meta("Base", (), {})
    base(**{"class": type("Sub", (base,), {})})


def _factory_super(general):
    from vestri.ondrel.factory import MetaClassFactory
    meta = type("Between", (MetaClassFactory, type("Other", (type,), {})), {}) if general else MetaClassFactory
    meta("Base", (), {})()


def _pointel_update(general):
    pointel = importlib.import_module("vestri.ondrel.pointel")
    if general:
        pointel.itertools = type(sys)("itertools")
        pointel.itertools.chain = __import__("itertools").chain
    try:
        pointel.NestedPointel(a={"b": 1}).update({"c": {"d": 2}}, e=3)
    finally:
        pointel.itertools = __import__("itertools")


def _loftel_reads(general):
    descriptor = _loftel()
    owner = type("Owner", (), {"name": descriptor})
    for _ in range(3):
        if general:
            descriptor.func = lambda cls: cls.__name__
        owner.name


GENERAL_PATHS = [_logic_nested, _factory_switch, _factory_super, _pointel_update, _loftel_reads]  # by index


@pytest.mark.parametrize("index, exercise", list(enumerate(GENERAL_PATHS)), ids=lambda row: getattr(row, "__name__", None))
def test_shortcuts_that_run_no_python_code_apply_in_the_default_state(index, exercise):
    for module in MODULES:
        importlib.import_module(f"vestri.ondrel.{module}")
    counts = _shared_state().general_paths
    taken = []
    for told in (False, True):
        before = list(counts)
        exercise(told)
        taken.append([after - first for after, first in zip(counts, before)])
    once = 1 if exercise is _loftel_reads else 0  # a descriptor looks its function up on its first read
    assert taken[0] == [once if i == index else 0 for i in range(8)]
    assert taken[1][index] > once and taken[1][:index] + taken[1][index + 1:] == [0] * 7


def test_the_fallback_watch_sees_python_functions_start():
    from vestri.utils import strings
    with _entered([strings.typecast_str]) as seen:
        strings.typecast_str("1")
    assert seen == ["typecast_str"]


# --- benchmarks ----------------------------------------------------------------------------------

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"


@pytest.mark.parametrize("script", sorted(p.stem for p in BENCHMARKS.glob("bench_*.py")))
def test_every_benchmark_script_imports_and_its_pairs_compile(script, monkeypatch):
    monkeypatch.syspath_prepend(str(BENCHMARKS))
    pairs = importlib.import_module("pairs")
    bench = importlib.import_module(script)
    names = [pair.name for pair in bench.PAIRS]
    assert bench.PAIRS and len(set(names)) == len(names)
    for pair in bench.PAIRS:
        assert isinstance(pair, pairs.Pair) and pair.kind in pairs.KINDS, pair
        assert pair.target is None or pair.target > 0, pair
        setup = pairs.full_setup(pair, bench.SETUP)
        for stmt in (pair.ours, pair.baseline, *(pair.per or ())):
            compile(f"{setup}\nfor _ in range(1):\n    {stmt}", pair.name, "exec")


# --- arguments lent by the caller ---------------------------------------------------------
#
# functools.partial calls with the items of its own `args` tuple, which
# `partial.__setstate__` frees; the hostile objects below do that from their
# `__hash__`/`__eq__` (or the rule's expression), in the middle of the call.
# A call must hold its arguments as a Python frame would, and give the same
# outcome as a call with arguments of its own.

_lending = []


def _free_lent_arguments():
    while _lending:
        _lending.pop().__setstate__((print, (), {}, None))
        [_Lent() for _ in range(20)]  # reuses the freed memory


class _Lent:
    """Hashes equal to every other (a dict compares them), equal only to itself."""

    def __hash__(self):
        _free_lent_arguments()
        return 1

    def __eq__(self, other):
        _free_lent_arguments()
        return self is other


def _holed_dict():
    # Keys with equal hashes and a table with holes: merged key by key, comparing.
    d = {_Lent(): i for i in range(3)}
    d.update((str(i), i) for i in range(20))
    for i in range(20):
        del d[str(i)]
    return d


def _lent_sequara():
    from vestri.ondrel.sequara import Sequara
    s = Sequara()
    s["pad"] = 0
    return s


def _lent_vapora(name):
    def setup():
        from vestri.ondrel.vapora import Vapora
        keep = [_Lent(), _Lent()]
        return getattr(Vapora(keep), name), lambda: (_Lent(),), lambda r, keep=keep: r
    return pytest.param(setup, id=f"Vapora.{name}")


def _lent_rule(name):
    def setup():
        from vestri.ondrel import logic
        rule = getattr(logic, name)(lambda item: hash(item) == 1)
        return rule, lambda: tuple(_Lent() for _ in range(6)), lambda r: r
    return pytest.param(setup, id=f"{name}.__call__")


def _sequara_call(name, make_args):
    def setup():
        s = _lent_sequara()
        return getattr(s, name), make_args, lambda r: (r, list(s.values()))
    return pytest.param(setup, id=f"Sequara.{name}")


def _lent_pointel():
    from vestri.ondrel.pointel import Pointel
    return Pointel, lambda: (_holed_dict(),), lambda r: (type(r), sorted(r.values()))


@pytest.mark.parametrize("setup", [
    pytest.param(_lent_pointel, id="Pointel"),
    *[_lent_vapora(name) for name in ("count", "index", "remove", "__contains__")],
    _sequara_call("__setitem__", lambda: (_Lent(), ["value"])),
    _sequara_call("insert", lambda: (_Lent(), ["value"], 0)),
    _sequara_call("__getitem__", lambda: (_Lent(),)),
    *[_lent_rule(name) for name in ("And", "Or", "Not")],
])
def test_arguments_lent_by_the_caller_are_held_for_the_call(setup):
    def outcome(lent):
        func, make_args, observe = setup()
        p = functools.partial(func, *make_args())  # the only holder of the arguments
        if lent:
            _lending.append(p)
        try:
            result = p()
        except Exception as exc:  # noqa: BLE001 - the outcome is compared
            result = type(exc)
        finally:
            _lending.clear()
        return observe(result)

    assert outcome(lent=True) == outcome(lent=False)
