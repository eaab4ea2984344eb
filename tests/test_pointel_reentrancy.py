"""Python code running in the middle of an operation, and fast paths that must follow the class.

The crash scenarios run in a child process: a regression kills the child,
not the test run (and under AddressSanitizer the child reports the bad access).
"""

import gc
import textwrap

import pytest

from vestri.ondrel.pointel import NestedPointel, Pointel

from outcomes import error_of, in_small_thread, run_python
from test_pointel import PlainNested

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
    code = "import gc\nfrom vestri.ondrel.pointel import NestedPointel\n" + textwrap.dedent(CRASHES[name])
    result = run_python(code + "\nprint('finished')\n", timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() == "finished"


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


def test_a_class_changed_while_its_item_slot_is_adopted_keeps_its_own_method():
    class Evil(str):
        armed = False

        def __hash__(self):
            return hash("__delitem__")

        def __eq__(self, other):
            if Evil.armed:
                Evil.armed = False
                Sub.__setitem__ = lambda self, key, value: calls.append(key)
            return False

    calls = []
    Mixin = type("Mixin", (dict,), {Evil("zz"): 1})

    class Sub(Mixin, NestedPointel):
        pass

    obj = Sub()
    Sub.touched = True  # a new version: the lookups are not answered from a cache
    Evil.armed = True
    obj.__setitem__("a", 1)  # the method takes the class's item slot, looking up __delitem__ on the way
    obj["b"] = 2
    assert calls == ["b"] and dict(obj) == {"a": 1}


def test_a_module_name_rebound_while_the_names_are_checked_is_followed():
    import itertools

    import vestri.ondrel.pointel as module

    calls = []

    class Fake:
        @staticmethod
        def chain(*iterables):
            calls.append(len(iterables))
            return itertools.chain(*iterables)

    class Evil(str):
        armed = False

        def __hash__(self):
            return hash("chain")

        def __eq__(self, other):
            if Evil.armed:
                Evil.armed = False
                module.itertools = Fake
            return False

    namespace, chain, evil = vars(itertools), itertools.chain, Evil("zz")
    # Met before the real name on the way to it, so the lookup of `chain` compares with it.
    del namespace["chain"]
    namespace[evil] = 1
    namespace["chain"] = chain
    try:
        Evil.armed = True
        obj = NestedPointel()  # checks the names, and rebinds `itertools` while doing so
        obj.update(a=1)
    finally:
        module.itertools = itertools
        del namespace[evil]
    assert calls == [2] and obj == {"a": 1}


# --- str subclasses as keys -------------------------------------------------------------------


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


class PlainStr(str):
    pass


def as_plain(obj):
    return {k: as_plain(v) if isinstance(v, dict) else v for k, v in obj.items()}


@pytest.mark.parametrize("key", [ColonKey("a:b:c"), ColonKey("a.b:c"), NeverDotted("a.b"), PlainStr("a.b.c")],
                         ids=["colon", "dot-and-colon", "never-dotted", "plain-subclass"])
def test_str_subclass_keys_split_as_their_own_methods_say(key):
    ours, twin = NestedPointel(), PlainNested()
    for obj in (ours, twin):
        obj[key] = 1
    assert as_plain(ours) == as_plain(twin)
    for op in (lambda obj: obj[key], lambda obj: key in obj, lambda obj: obj.get(key, 0), lambda obj: obj.pop(key)):
        assert outcome(op, ours) == outcome(op, twin)
        assert as_plain(ours) == as_plain(twin)


def outcome(op, obj):
    try:
        return op(obj)
    except Exception as exc:  # noqa: BLE001 - the exception is the result
        return type(exc), exc.args


def test_a_split_that_gives_no_pair_fails_as_unpacking_does():
    class Lonely(str):
        def split(self, sep=None, maxsplit=-1):
            return [str(self)]

    assert error_of(lambda: NestedPointel()[Lonely("a.b")]) == (
        ValueError, "not enough values to unpack (expected 2, got 1)")


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


WATCHED = {
    # name: (what the class does without the method, checked after deleting it)
    "__getitem__": lambda: error_of(lambda: NestedPointel(a={"b": 1})["a.b"]) == (KeyError, "'a.b'"),
    "__setitem__": lambda: list(_set(NestedPointel(), "a.b", 1)) == ["a.b"],
    "__delitem__": lambda: error_of(lambda: _del(NestedPointel(a={"b": 1}), "a.b")) == (KeyError, "'a.b'"),
    "__contains__": lambda: ("a.b" in NestedPointel(a={"b": 1})) is False,
    "update": lambda: type(NestedPointel({"a": {"b": 1}})["a"]) is dict,
    "__init__": lambda: type(NestedPointel({"a": {"b": 1}})["a"]) is dict,
    "setdefault": lambda: NestedPointel().setdefault("a.b", 1) == 1,
}


def _set(obj, key, value):
    obj[key] = value
    return obj


def _del(obj, key):
    del obj[key]


@pytest.mark.parametrize("name", list(WATCHED))
def test_deleting_a_watched_method_is_followed(name):
    saved = replaced(NestedPointel, name, None)
    try:
        junk = churn()
        assert WATCHED[name]()
        del junk
    finally:
        setattr(NestedPointel, name, saved)
    assert NestedPointel({"a": {"b": 1}})["a.b"] == 1 and "a.b" in NestedPointel({"a": {"b": 1}})


@pytest.mark.parametrize("name, call", [
    ("__getitem__", lambda obj: obj["a.b"]),
    ("__setitem__", lambda obj: obj.__setitem__("a.b", 2)),
    ("__delitem__", lambda obj: obj.__delitem__("a.b")),
    ("__contains__", lambda obj: "a.b" in obj),
    ("update", lambda obj: obj.update(x={"y": 1})),
    ("setdefault", lambda obj: obj.__setitem__("x.y", 1)),
])
def test_replacing_a_watched_method_is_followed(name, call):
    obj = NestedPointel(a={"b": 1})
    recorder = Recorder()
    saved = replaced(NestedPointel, name, recorder.method(obj))
    try:
        call(obj)
        assert recorder.calls
    finally:
        setattr(NestedPointel, name, saved)


def test_replacing_pointel_init_is_followed_by_nested_pointel():
    recorder = Recorder()
    saved = replaced(Pointel, "__init__", recorder.method())
    try:
        NestedPointel(a=1)
        assert recorder.calls == [()]
    finally:
        setattr(Pointel, "__init__", saved)


# --- Python subclasses keep the C item slots ---------------------------------------------------


def test_subclass_item_access_follows_later_changes_to_the_class():
    class Settings(NestedPointel):
        pass

    obj = Settings(a={"b": 1})
    assert obj["a.b"] == 1 and "a.b" in obj  # the subclass takes NestedPointel's slots from here on
    obj["c.d"] = 2
    Settings.__getitem__ = lambda self, key: "mine"
    assert obj["a.b"] == "mine"
    del Settings.__getitem__
    assert obj["a.b"] == 1
    NestedPointel.__contains__, saved = (lambda self, key: "yes"), vars(NestedPointel)["__contains__"]
    try:
        assert ("zz" in obj) is True
    finally:
        NestedPointel.__contains__ = saved
    assert ("zz" in obj) is False and ("a.b" in obj) is True


# --- small thread stacks ---------------------------------------------------------------------


def deep_mapping(depth):
    deep = {}
    for _ in range(depth):
        deep = {"k": deep}
    return deep


@pytest.mark.parametrize("kib", [64, 128, 256])
def test_small_thread_stacks_do_shallow_work_and_stop_deep_input(kib):
    deep = deep_mapping(100_000)

    def work():
        shallow = (NestedPointel({"a": {"b": 1}})["a.b"], repr(Pointel(a=1)))
        with pytest.raises(RecursionError):
            NestedPointel(deep)
        return shallow

    assert in_small_thread(kib, work) == {"result": (1, "Pointel({'a': 1})")}
