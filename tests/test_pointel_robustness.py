"""Deep structures, small stacks and leaks: each works or raises, none crashes.

In the small-stack thread the deep structures are only built and used; they
are released by the main thread, because on 3.13 the interpreter's own
deallocation of a 100,000-deep chain of plain dicts overflows a 512 KiB stack.
"""

import itertools
import pickle
import textwrap
import types

import pytest

from leakcheck import assert_no_growth
from outcomes import run_python
from test_pointel import SubNested
import vestri.ondrel.pointel as pointel
from vestri.ondrel.pointel import NestedPointel, Pointel

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
        print("finished")
    """).format(body=body, threaded=stack != "main thread")
    result = run_python(code)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() == "finished"


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

OPERATIONS = {
    "pointel construct and repr": lambda: repr(Pointel({"a": 1}, b=2)),
    "pointel attributes": lambda: (setattr(p := Pointel(), "x", 1), p.x, delattr(p, "x")),
    "pointel missing attribute": lambda: Pointel().nope,
    "pointel missing attribute delete": lambda: delattr(Pointel(), "nope"),
    "pointel bad constructor": lambda: Pointel(1, 2),
    "pointel bad repr": lambda: repr(Pointel(x=BadRepr())),
    "nested construct": lambda: NestedPointel({"a": {"b": {"c": 1}}}, d=2, e=[1]),
    "subclass construct and write": lambda: SubNested({"a": {"b": 1}}).__setitem__("a.c.d", 2),
    "dotted read": lambda: NESTED["a.b"],
    "dotted read of a long key": lambda: LONG_TREE[LONG],
    "dotted missing read": lambda: NESTED["a.x"],
    "dotted read through a value": lambda: NESTED["v.x"],
    "dotted membership": lambda: ("a.b" in NESTED, "s.y" in NESTED, "q.r" in NESTED),
    "dotted delete of a missing key": lambda: NESTED.__delitem__("a.zz"),
    "dotted write": lambda: NestedPointel().__setitem__("x.y.z", 1),
    "target key error": lambda: NESTED.__setitem__("v.x", 1),
    "get pop setdefault": lambda: (NESTED.get("a.x"), NESTED.pop("a.x", 0), NestedPointel().setdefault("m.n", 1)),
    "missing key pop": lambda: NESTED.pop("a.x"),
    "update bad item": lambda: NestedPointel().update([("a", 1), (1, 2, 3)]),
    "update item without length": lambda: NestedPointel().update([("a", {"b": 1}), 5]),
    "update arity": lambda: NESTED.update(1, 2),
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

OPERATIONS.update({
    "delegating construct": lambda: Delegating({"a": {"b": {"c": 1}}}, d=2),
    "delegating dotted read": lambda: (DELEGATING["a.b"], DELEGATING.get("a.x")),
    "delegating dotted write": lambda: Delegating().__setitem__("x.y.z", 1),
    "delegating target key error": lambda: DELEGATING.__setitem__("v.x", 1),
    "delegating update error": lambda: Delegating(v=1).update({"v": {"b": 1}}),
})


@pytest.mark.parametrize("name", ["nested construct", "update from a generator", "update bad item", "dotted write"])
def test_no_leak_with_rebound_module_names(name, monkeypatch):
    monkeypatch.setattr(pointel, "itertools", types.SimpleNamespace(chain=itertools.chain))
    assert_no_growth(OPERATIONS[name], repeat=3000)


class BadRepr:
    def __repr__(self):
        raise ValueError("no repr")


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_no_leak(name):
    assert_no_growth(OPERATIONS[name], repeat=3000)
