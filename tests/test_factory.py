"""MetaClassFactory: a call picks the subclass to instantiate with `class`."""

import abc
import gc
import inspect
import subprocess
import sys
import textwrap
import traceback
import weakref

import pytest
from hypothesis import given, strategies as st

import vestri.ondrel.factory as factory
from vestri.ondrel.factory import MetaClassFactory

from leakcheck import assert_no_growth
from outcomes import error_of, twin


class MyClass(metaclass=MetaClassFactory):
    def __init__(self, a, b=2, *, c=3, **rest):
        self.seen = (a, b, c, rest)


class SubClass(MyClass):
    pass


class Other:
    pass


class Plain:
    def __init__(self, a, b=2, *, c=3, **rest):
        self.seen = (a, b, c, rest)


def entry_names(exc):
    return [e.name for e in traceback.extract_tb(exc.__traceback__)]


# --- the module and the metaclass ------------------------------------------------------


def test_module_defines_only_the_metaclass():
    assert [n for n in vars(factory) if not n.startswith("__")] == ["MetaClassFactory"]
    assert not hasattr(factory, "__all__")
    assert MetaClassFactory.__bases__ == (type,)
    assert (MetaClassFactory.__module__, MetaClassFactory.__qualname__) == ("vestri.ondrel.factory", "MetaClassFactory")
    assert list(vars(MetaClassFactory)) == ["__module__", "__doc__", "__call__"]
    assert MetaClassFactory.__doc__.splitlines()[0] == "MetaClassFactory Metaclass"
    assert str(inspect.signature(MetaClassFactory.__call__)) == "(cls, /, *args, **kwargs)"


def test_classes_are_made_as_by_type():
    made = MetaClassFactory("Made", (MyClass,), {"x": 1})
    assert type(made) is MetaClassFactory and made.__mro__ == (made, MyClass, object)
    assert isinstance(made(**{"class": made, "a": 0}), made)


# --- switching ------------------------------------------------------------------------


@pytest.mark.parametrize("args, kwargs", [
    ((1,), {}), ((1, 5), {"c": 7}), ((), {"a": 1, "z": 9}), ((1,), {"b": 4, "extra": None}),
])
def test_class_keyword_picks_the_subclass_and_is_not_passed_on(args, kwargs):
    mapping = {**kwargs, "class": SubClass}
    obj = MyClass(*args, **mapping)
    assert type(obj) is SubClass
    assert obj.seen == Plain(*args, **kwargs).seen
    assert mapping == {**kwargs, "class": SubClass}  # the caller's mapping is left alone


def test_a_class_is_its_own_subclass():
    assert type(MyClass(1, **{"class": MyClass})) is MyClass


@pytest.mark.parametrize("called, chosen", [(SubClass, MyClass), (MyClass, Other), (MyClass, int)])
def test_a_class_that_is_no_subclass_is_refused(called, chosen):
    with pytest.raises(TypeError) as exc:
        called(1, **{"class": chosen})
    assert str(exc.value) == f"{chosen} is not a subclass of {called}"
    assert "vestri.ondrel.factory.MetaClassFactory.__call__" in entry_names(exc.value)


def test_the_message_uses_str_of_both_classes():
    class Named(MetaClassFactory):
        def __str__(cls):
            return "<" + cls.__name__ + ">"

    class A(metaclass=Named):
        pass

    class B(metaclass=Named):
        pass

    assert error_of(lambda: A(**{"class": B})) == (TypeError, "<B> is not a subclass of <A>")


@pytest.mark.parametrize("chosen", ["SubClass", 1, None, (SubClass,)])
def test_issubclass_errors_pass_through(chosen):
    expected = error_of(lambda: issubclass(chosen, MyClass))
    assert expected is not None
    assert error_of(lambda: MyClass(1, **{"class": chosen})) == expected


def test_subclasscheck_of_the_metaclass_decides():
    class Lenient(MetaClassFactory):
        def __subclasscheck__(cls, sub):
            if sub is KeyError:
                raise LookupError("asked about KeyError")
            return True

    class Base(metaclass=Lenient):
        pass

    class Unrelated(metaclass=Lenient):
        pass

    assert type(Base(**{"class": Unrelated})) is Unrelated
    with pytest.raises(LookupError, match="asked about KeyError"):
        Base(**{"class": KeyError})
    # Accepted although no class at all: super() refuses it.
    for chosen in ["text", 5, Base()]:
        assert error_of(lambda: Base(**{"class": chosen})) == error_of(lambda: super(MetaClassFactory, chosen))


@given(st.lists(st.integers(), max_size=3),
       st.dictionaries(st.sampled_from(["a", "b", "c", "z", "self"]), st.integers(), max_size=3),
       st.booleans())
def test_calls_behave_as_calls_of_a_plain_class(args, kwargs, switch):
    """Results and argument errors equal those of the same call of a plain class."""
    called = dict(kwargs, **{"class": SubClass}) if switch else kwargs
    ours = error_of(lambda: MyClass(*args, **called))
    plain = error_of(lambda: Plain(*args, **kwargs))
    if plain is None:
        assert ours is None
        assert MyClass(*args, **called).seen == Plain(*args, **kwargs).seen
    else:
        assert ours == (plain[0], plain[1].replace("Plain", "MyClass"))


def test_a_keyword_named_cls_collides_with_the_bound_class():
    expected = error_of(lambda: twin("MetaClassFactory.__call__", "cls, *args, **kwargs")(MyClass, cls=1))
    assert expected == (TypeError, "MetaClassFactory.__call__() got multiple values for argument 'cls'")
    assert error_of(lambda: MyClass(1, cls=1)) == expected
    assert error_of(lambda: MyClass(1, **{"cls": 1, "class": SubClass})) == expected
    assert error_of(lambda: MetaClassFactory.__call__(MyClass, 1, cls=1)) == expected


def test_errors_of_new_and_init_pass_through():
    class Failing(MyClass):
        def __init__(self, a):
            raise ValueError(a)

    class Refusing(MyClass):
        def __new__(cls, *args):
            raise KeyError("no")

    with pytest.raises(ValueError) as exc:
        MyClass(5, **{"class": Failing})
    assert exc.value.args == (5,)
    assert entry_names(exc.value).count("vestri.ondrel.factory.MetaClassFactory.__call__") == 1
    with pytest.raises(KeyError):
        Refusing()


# --- the next __call__ and derived metaclasses ---------------------------------------------


def test_derived_metaclass_call_runs_and_reaches_the_factory_through_super():
    calls = []

    class Logged(MetaClassFactory):
        def __call__(cls, *args, **kwargs):
            calls.append(cls.__name__)
            return super().__call__(*args, **kwargs)

    class A(metaclass=Logged):
        def __init__(self, x=0):
            self.x = x

    class B(A):
        pass

    obj = A(x=3, **{"class": B})
    assert (type(obj), obj.x) == (B, 3)
    assert calls == ["A"]  # not run again for the substituted class


def test_call_goes_to_the_next_call_in_the_mro_of_the_chosen_metaclass():
    calls = []

    class Tracing(type):
        def __call__(cls, *args, **kwargs):
            calls.append(cls.__name__)
            return super().__call__(*args, **kwargs)

    class Mixed(MetaClassFactory, Tracing):
        pass

    class A(metaclass=MetaClassFactory):
        pass

    class B(A, metaclass=Mixed):
        pass

    assert type(A(**{"class": B})) is B and calls == ["B"]
    assert type(A()) is A and calls == ["B"]
    assert type(B()) is B and calls == ["B", "B"]


def test_combines_with_abcmeta():
    class Meta(abc.ABCMeta, MetaClassFactory):
        pass

    class Shape(metaclass=Meta):
        @abc.abstractmethod
        def area(self):
            ...

    class Square(Shape):
        def __init__(self, side):
            self.side = side

        def area(self):
            return self.side ** 2

    assert Shape(3, **{"class": Square}).area() == 9
    with pytest.raises(TypeError, match="abstract"):
        Shape(**{"class": Shape})
    Shape.register(int)  # a virtual subclass passes the check; super() then refuses it
    assert error_of(lambda: Shape(**{"class": int})) == error_of(lambda: super(MetaClassFactory, int))


def test_metaclass_changes_after_calls_are_honoured():
    calls = []

    class Tracing(type):
        def __call__(cls, *args, **kwargs):
            calls.append(cls.__name__)
            return super().__call__(*args, **kwargs)

    class Meta(MetaClassFactory):
        pass

    class A(metaclass=Meta):
        pass

    class B(A):
        pass

    assert type(A(**{"class": B})) is B and error_of(lambda: A(**{"class": int}))
    Meta.__subclasscheck__ = lambda cls, sub: True
    # issubclass now says yes; super() then refuses a class of another metaclass.
    assert error_of(lambda: A(**{"class": int})) == error_of(lambda: super(MetaClassFactory, int))
    del Meta.__subclasscheck__
    Meta.__bases__ = (MetaClassFactory, Tracing)
    assert type(A(**{"class": B})) is B and calls == ["B"]


def test_module_name_is_looked_up_when_the_call_happens(monkeypatch):
    monkeypatch.setattr(factory, "MetaClassFactory", type)
    # super(type, cls) skips past type.__call__: object has none.
    assert error_of(lambda: MyClass(1)) == (AttributeError, "'super' object has no attribute '__call__'")
    monkeypatch.delattr(factory, "MetaClassFactory")
    assert error_of(lambda: MyClass(1)) == (NameError, "name 'MetaClassFactory' is not defined")
    monkeypatch.undo()
    assert type(MyClass(1, **{"class": SubClass})) is SubClass


def test_keywords_must_be_strings():
    expected = error_of(lambda: twin("MetaClassFactory.__call__", "cls, *args, **kwargs")(MyClass, **{1: 2}))
    assert expected == (TypeError, "keywords must be strings")
    assert error_of(lambda: MyClass(**{1: 2})) == expected
    assert error_of(lambda: MyClass(**{1: 2, "class": SubClass})) == expected


# --- memory --------------------------------------------------------------------------------


def test_classes_of_the_metaclass_are_freed():
    class Temporary(MyClass):
        pass

    ref = weakref.ref(Temporary)
    Temporary(1, **{"class": Temporary})
    del Temporary
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("call", [
    lambda: MyClass(1, c=2, **{"class": SubClass}),
    lambda: MyClass(1, **{"class": SubClass}),
    lambda: MyClass(1),
    lambda: SubClass(**{"class": MyClass}),
    lambda: MyClass(**{"class": "x"}),
    lambda: MyClass(cls=1),
    lambda: MyClass(),
    lambda: MetaClassFactory.__call__(MyClass, 1, z=1, **{"class": SubClass}),
])
def test_no_leaks(call):
    assert_no_growth(call, repeat=5_000)


def test_unbounded_recursion_through_the_call_ends_in_recursion_error():
    # With the recursion limit far above what the C stack could take.
    script = textwrap.dedent("""
        import sys
        sys.setrecursionlimit(1_000_000)
        from vestri.ondrel.factory import MetaClassFactory
        class Deep(metaclass=MetaClassFactory):
            def __init__(self, n):
                Deep(n + 1, **{'class': Deep})
        try:
            Deep(0)
        except RecursionError:
            print('RecursionError')
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out == "RecursionError\n"
