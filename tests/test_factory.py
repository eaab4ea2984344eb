"""MetaClassFactory: a call picks the subclass to instantiate with `class` (the registered calls: test_common.py)."""

import abc
import gc
import traceback
import weakref

import pytest
from hypothesis import given, strategies as st

import vestri.ondrel.factory as factory
from vestri.ondrel.factory import MetaClassFactory

from outcomes import error_of, twin


class MyClass(metaclass=MetaClassFactory):
    def __init__(self, a, b=2, *, c=3, **rest):
        self.seen = (a, b, c, rest)


SubClass = type("SubClass", (MyClass,), {})
Plain = type("Plain", (), {"__init__": MyClass.__init__})  # the same class made by type


class Tracing(type):
    calls = []

    def __call__(cls, *args, **kwargs):
        Tracing.calls.append(cls.__name__)
        return super().__call__(*args, **kwargs)


@given(st.lists(st.integers(), max_size=3),
       st.dictionaries(st.sampled_from(["a", "b", "c", "z", "self"]), st.integers(), max_size=3),
       st.sampled_from([None, MyClass, SubClass]))
def test_class_keyword_picks_the_subclass_and_the_rest_behaves_as_a_plain_call(args, kwargs, chosen):
    """Results and argument errors equal those of the same call of a plain class;
    `class` is not passed on; a class is its own subclass."""
    called = kwargs if chosen is None else dict(kwargs, **{"class": chosen})
    plain = error_of(lambda: Plain(*args, **kwargs))
    if plain is None:
        obj = MyClass(*args, **called)
        assert type(obj) is (chosen or MyClass) and obj.seen == Plain(*args, **kwargs).seen
    else:
        assert error_of(lambda: MyClass(*args, **called)) == plain


Named = type("Named", (MetaClassFactory,), {"__str__": lambda cls: "<" + cls.__name__ + ">"})


@pytest.mark.parametrize("called, chosen", [
    (SubClass, MyClass), (MyClass, int), (Named("A", (), {}), Named("B", (), {})),  # named by their str()
    (MyClass, "SubClass"), (MyClass, 1), (MyClass, None), (MyClass, (SubClass,)),  # refused by issubclass
])
def test_a_class_that_is_no_subclass_is_refused(called, chosen):
    expected = error_of(lambda: issubclass(chosen, called)) or (TypeError, f"{chosen} is not a subclass of {called}")
    assert error_of(lambda: called(1, **{"class": chosen})) == expected


def test_subclasscheck_of_the_metaclass_decides():
    def check(cls, sub):
        if sub is KeyError:
            raise LookupError("asked about KeyError")
        return True

    lenient = type("Lenient", (MetaClassFactory,), {"__subclasscheck__": check})
    base, unrelated = lenient("Base", (), {}), lenient("Unrelated", (), {})
    assert type(base(**{"class": unrelated})) is unrelated
    assert error_of(lambda: base(**{"class": KeyError})) == (LookupError, "asked about KeyError")
    for chosen in ["text", 5, base()]:  # accepted although no class at all: super() refuses it
        assert error_of(lambda: base(**{"class": chosen})) == error_of(lambda: super(MetaClassFactory, chosen))


@pytest.mark.parametrize("kwargs, message", [
    ({"cls": 1}, "MetaClassFactory.__call__() got multiple values for argument 'cls'"),
    ({1: 2}, "keywords must be strings"),
])
def test_a_cls_keyword_or_one_not_text_fails_as_for_the_python_twin(kwargs, message):
    expected = error_of(lambda: twin("MetaClassFactory.__call__", "cls, *args, **kwargs")(MyClass, **kwargs))
    assert expected == (TypeError, message)
    for call in (lambda: MyClass(**kwargs), lambda: MyClass(1, **kwargs, **{"class": SubClass}),
                 lambda: MetaClassFactory.__call__(MyClass, 1, **kwargs)):
        assert error_of(call) == expected


def test_errors_of_new_and_init_pass_through_with_one_traceback_entry():
    failing = type("Failing", (MyClass,), {"__init__": lambda self, a: {}[a]})
    with pytest.raises(KeyError) as exc:
        MyClass(5, **{"class": failing})
    names = [e.name for e in traceback.extract_tb(exc.value.__traceback__)]
    assert exc.value.args == (5,) and names.count("vestri.ondrel.factory.MetaClassFactory.__call__") == 1
    assert error_of(type("Refusing", (MyClass,), {"__new__": lambda cls, *args: {}[0]})) == (KeyError, "0")


def test_derived_metaclass_call_runs_and_reaches_the_factory_through_super():
    calls = []
    logged = type("Logged", (MetaClassFactory,), {
        "__call__": lambda cls, *a, **k: calls.append(cls.__name__) or super(logged, cls).__call__(*a, **k)})
    a = logged("A", (), {"__init__": lambda self, x=0: setattr(self, "x", x)})
    obj = a(x=3, **{"class": type("B", (a,), {})})
    assert (type(obj).__name__, obj.x) == ("B", 3)
    assert calls == ["A"]  # not run again for the substituted class


def test_call_goes_to_the_next_call_in_the_mro_of_the_chosen_metaclass():
    a = MetaClassFactory("A", (), {})  # made as type makes classes
    assert type(a) is MetaClassFactory and a.__mro__ == (a, object)
    b = type("Mixed", (MetaClassFactory, Tracing), {})("B", (a,), {})
    Tracing.calls.clear()
    assert type(a(**{"class": b})) is b and Tracing.calls == ["B"]
    assert type(a()) is a and Tracing.calls == ["B"]
    assert type(b()) is b and Tracing.calls == ["B", "B"]
    meta = MetaClassFactory("Meta", (MetaClassFactory,), {})  # a metaclass: super() walks its own MRO
    assert error_of(lambda: meta("X", (), {})) == error_of(lambda: super(MetaClassFactory, meta).__call__("X", (), {}))


def test_combines_with_abcmeta():
    class Shape(metaclass=type("Meta", (abc.ABCMeta, MetaClassFactory), {})):
        area = abc.abstractmethod(lambda self: None)

    square = type("Square", (Shape,), {"__init__": lambda self, s: setattr(self, "s", s),
                                       "area": lambda self: self.s ** 2})
    assert Shape(3, **{"class": square}).area() == 9
    kind, message = error_of(lambda: Shape(**{"class": Shape}))
    assert kind is TypeError and "abstract" in message
    Shape.register(int)  # a virtual subclass passes the check; super() then refuses it
    assert error_of(lambda: Shape(**{"class": int})) == error_of(lambda: super(MetaClassFactory, int))


def test_metaclass_changes_after_calls_are_honoured():
    meta = type("Meta", (MetaClassFactory,), {})
    a = meta("A", (), {})
    b = type("B", (a,), {})
    assert type(a(**{"class": b})) is b and error_of(lambda: a(**{"class": int}))
    meta.__subclasscheck__ = lambda cls, sub: True
    # issubclass now says yes; super() then refuses a class of another metaclass.
    assert error_of(lambda: a(**{"class": int})) == error_of(lambda: super(MetaClassFactory, int))
    del meta.__subclasscheck__
    meta.__bases__ = (MetaClassFactory, Tracing)
    Tracing.calls.clear()
    assert type(a(**{"class": b})) is b and Tracing.calls == ["B"]


def test_module_name_is_looked_up_when_the_call_happens(monkeypatch):
    monkeypatch.setattr(factory, "MetaClassFactory", type)
    # super(type, cls) skips past type.__call__: object has none.
    assert error_of(lambda: MyClass(1)) == (AttributeError, "'super' object has no attribute '__call__'")
    monkeypatch.delattr(factory, "MetaClassFactory")
    assert error_of(lambda: MyClass(1)) == (NameError, "name 'MetaClassFactory' is not defined")
    monkeypatch.undo()
    assert type(MyClass(1, **{"class": SubClass})) is SubClass


def test_classes_of_the_metaclass_are_freed():
    temporary = type("Temporary", (MyClass,), {})
    temporary(1, **{"class": temporary})
    ref = weakref.ref(temporary)
    del temporary
    gc.collect()
    assert ref() is None
