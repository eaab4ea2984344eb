"""loftel: read-only properties computed from the class."""

import gc
import inspect
import subprocess
import sys
import textwrap
import traceback
import weakref

import pytest
from hypothesis import given, strategies as st

import vestri.ondrel.loftel as loftel_module
from vestri.ondrel.loftel import LoftelDescriptor, loftel

from leakcheck import assert_no_growth
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

    class Child(Base):
        pass

    class Grandchild(Child):
        pass

    return seen, (Base, Child, Grandchild)


# --- the module and the class -------------------------------------------------------------


def test_module_binds_the_class_and_its_alias():
    assert [n for n in vars(loftel_module) if not n.startswith("__")] == ["LoftelDescriptor", "loftel"]
    assert loftel is LoftelDescriptor
    assert not hasattr(loftel_module, "__all__")
    assert LoftelDescriptor.__bases__ == (object,) and type(LoftelDescriptor) is type
    assert (LoftelDescriptor.__module__, LoftelDescriptor.__qualname__) == ("vestri.ondrel.loftel", "LoftelDescriptor")
    assert list(vars(LoftelDescriptor)) == ["__module__", "__doc__", "__init__", "__get__", "__dict__", "__weakref__"]
    assert not hasattr(LoftelDescriptor, "__set__") and not hasattr(LoftelDescriptor, "__delete__")
    assert str(inspect.signature(LoftelDescriptor.__get__)) == "(self, /, obj, owner)"
    assert "properties" in LoftelDescriptor.__doc__


def test_func_is_kept_unchanged_in_the_instance_dict():
    def func(cls):
        return 1

    descr = loftel(func)
    assert vars(descr) == {"func": func} and descr.__dict__["func"] is func
    assert weakref.ref(descr)() is descr
    assert loftel(42).func == 42  # no check that it is callable


# --- reads ------------------------------------------------------------------------------


def test_reads_on_class_and_instance_call_the_function_with_the_class():
    seen, (Base, Child, _) = hierarchy(loftel)
    assert (Base.prop, Base().prop) == ("Base", "Base")
    assert (Child.prop, Child().prop) == ("Child", "Child")
    assert seen == [Base, Base, Child, Child]


def test_the_function_runs_on_every_read():
    count = [0]

    class Counted:
        @loftel
        def value(cls):
            count[0] += 1
            return 100

    obj = Counted()
    values = [Counted.value, obj.value, Counted.value, obj.value]
    assert values == [100] * 4 and count == [4]


def test_rebinding_func_takes_effect_on_the_next_read():
    _, (Base, _, _) = hierarchy(loftel)
    descr = vars(Base)["prop"]
    changes = [
        lambda: setattr(descr, "func", lambda cls: "attribute"),
        lambda: vars(descr).__setitem__("func", lambda cls: "dict item"),
        lambda: vars(descr).update(func=lambda cls: "dict update"),
        lambda: setattr(descr, "__dict__", {"func": lambda cls: "new dict"}),
        lambda: descr.__init__(lambda cls: "init again"),
    ]
    for change in changes:
        before = (Base.prop, Base().prop)
        change()
        after = Base.prop
        assert after != before[0] and Base().prop == after


def test_rebinding_in_a_hot_loop_is_seen_every_time():
    """Warm enough for the interpreter to specialise the attribute stores."""
    descr = loftel(None)

    class Holder:
        prop = descr

    obj = Holder()
    for i in range(300):
        descr.func = lambda cls, i=i: i
        assert (Holder.prop, obj.prop) == (i, i)
        vars(descr)["func"] = lambda cls, i=i: -i
        assert obj.prop == -i


def test_a_replaced_dict_no_longer_matters():
    descr = loftel(lambda cls: "first")

    class Holder:
        prop = descr

    assert Holder.prop == "first"
    old = vars(descr)
    descr.__dict__ = {"func": lambda cls: "second"}
    assert Holder.prop == "second"
    old["func"] = lambda cls: "old"
    assert Holder.prop == "second"


def test_removing_func_makes_reads_fail():
    _, (Base, _, _) = hierarchy(loftel)
    descr = vars(Base)["prop"]
    assert Base.prop == "Base"
    del descr.func
    assert error_of(lambda: Base.prop) == (AttributeError, "'LoftelDescriptor' object has no attribute 'func'")
    descr.func = len
    vars(descr).clear()
    assert error_of(lambda: Base().prop)[0] is AttributeError


def test_an_old_function_is_not_kept_alive():
    def first(cls):
        return 1

    descr = loftel(first)

    class Holder:
        prop = descr

    assert Holder.prop == 1
    ref = weakref.ref(first)
    descr.func = len
    del first
    gc.collect()
    assert ref() is None


def test_class_side_changes_after_reads_are_honoured():
    class Sub(LoftelDescriptor):
        pass

    class Holder:
        @Sub
        def prop(cls):
            return "function"

    assert Holder.prop == "function"
    Sub.func = property(lambda self: lambda cls: "class property")
    assert Holder.prop == "class property"
    del Sub.func
    assert Holder.prop == "function"
    Sub.__getattribute__ = lambda self, name: (lambda cls: "getattribute")
    assert Holder.prop == "getattribute"
    del Sub.__getattribute__

    class Other(LoftelDescriptor):
        func = property(lambda self: lambda cls: "other class")

    vars(Holder)["prop"].__class__ = Other
    assert Holder.prop == "other class"


@pytest.mark.parametrize("func, error", [
    (lambda cls: 1 / 0, ZeroDivisionError),
    (42, TypeError),
    (lambda: 1, TypeError),
])
def test_errors_of_the_function_pass_through(func, error):
    class Holder:
        prop = loftel(func)

    expected = error_of(lambda: PyLoftel(func).__get__(None, Holder))
    for read in (lambda: Holder.prop, lambda: Holder().prop):
        assert error_of(read) == expected and expected[0] is error
        with pytest.raises(error) as exc:
            read()
        names = [e.name for e in traceback.extract_tb(exc.value.__traceback__)]
        assert names.count("vestri.ondrel.loftel.LoftelDescriptor.__get__") == 1


def test_attribute_error_of_the_function_falls_back_to_getattr_as_for_any_descriptor():
    class Holder:
        prop = loftel(lambda cls: cls.missing)

        def __getattr__(self, name):
            return "fallback:" + name

    assert Holder().prop == "fallback:prop"
    assert error_of(lambda: Holder.prop)[0] is AttributeError


# --- calling the methods directly (argument errors: test_common.py) ----------------------------------------------------------


def test_methods_take_their_parameters_by_keyword():
    descr = LoftelDescriptor(func=lambda cls: ("got", cls))
    assert descr.__get__(obj=None, owner=int) == ("got", int)
    assert descr.__get__(None, None) == ("got", None)


# --- subclasses -----------------------------------------------------------------------------


def test_subclass_overriding_get_is_honoured_and_reaches_the_base_through_super():
    class Doubled(LoftelDescriptor):
        def __get__(self, obj, owner):
            return super().__get__(obj, owner) * 2

    class Holder:
        @Doubled
        def prop(cls):
            return cls.__name__

    assert (Holder.prop, Holder().prop) == ("HolderHolder", "HolderHolder")


def test_subclass_can_make_func_a_property():
    class Wrapped(LoftelDescriptor):
        @property
        def func(self):
            return lambda cls: ("wrapped", self.__dict__["kept"](cls))

        @func.setter
        def func(self, value):
            self.__dict__["kept"] = value

    class Holder:
        prop = Wrapped(lambda cls: cls.__name__)

    assert Holder.prop == ("wrapped", "Holder")


def test_plain_subclass_behaves_as_the_base():
    class Sub(LoftelDescriptor):
        pass

    seen, (Base, Child, _) = hierarchy(Sub)
    assert (Base.prop, Child().prop, seen) == ("Base", "Child", [Base, Child])


# --- against the plain Python descriptor ---------------------------------------------------


operations = st.lists(st.tuples(
    st.sampled_from(["read", "set", "delete", "rebind"]),
    st.sampled_from(["class", "instance", "dict", "new dict"]),
    st.integers(0, 2)), max_size=12)


@given(operations)
def test_behaves_as_the_python_descriptor(ops):
    """Reads, assignments and deletions on classes and instances of a three-level
    hierarchy, and rebinding the function, give the same results and errors as
    the descriptor written in Python."""
    worlds = []
    for descriptor in (loftel, PyLoftel):
        seen, classes = hierarchy(descriptor)
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
                def func(cls, step=step):
                    seen.append(cls)
                    return (step, cls.__name__)
                if where == "dict":
                    vars(descr)["func"] = func
                elif where == "new dict":
                    descr.__dict__ = {"func": func}
                else:
                    descr.func = func
            out.append([cls.__name__ for cls in seen])
    assert outcomes[0] == outcomes[1]


# --- memory --------------------------------------------------------------------------------


def test_a_descriptor_in_a_cycle_is_collected():
    descr = loftel(None)
    descr.func = lambda cls, d=descr: d
    ref = weakref.ref(descr)
    del descr
    gc.collect()
    assert ref() is None


def test_no_leaks():
    _, (Base, Child, _) = hierarchy(loftel)
    obj = Child()
    failing = type("Failing", (), {"prop": loftel(lambda cls: 1 / 0)})
    for call in [lambda: Base.prop, lambda: obj.prop, lambda: failing.prop, lambda: failing().prop,
                 lambda: loftel(len), lambda: LoftelDescriptor(), lambda: loftel(len).__get__(None),
                 lambda: loftel(id).__get__(obj=None, owner=1)]:
        assert_no_growth(call, repeat=5_000)


def test_unbounded_recursion_through_reads_ends_in_recursion_error():
    # With the recursion limit far above what the C stack could take.
    script = textwrap.dedent("""
        import sys
        sys.setrecursionlimit(1_000_000)
        from vestri.ondrel.loftel import loftel
        class Holder:
            @loftel
            def prop(cls):
                return cls().prop
        try:
            Holder.prop
        except RecursionError:
            print('RecursionError')
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out == "RecursionError\n"
