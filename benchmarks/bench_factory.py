"""MetaClassFactory against calling classes directly (the modes: pairs.py).

A switched call (`Base(1, 2, **choice)` with `choice = {'class': Sub}`) is
compared with calling the subclass of an ordinary class directly, an
unswitched one (`Base(1, 2)`) with calling the ordinary class. The last pair
times the same metaclass written plainly in Python against ours.
"""

from pairs import Pair, main

SETUP = """
from vestri.ondrel.factory import MetaClassFactory

class Plain:
    def __init__(self, a, b):
        self.a = a

class PlainSub(Plain):
    pass

class Base(metaclass=MetaClassFactory):
    def __init__(self, a, b):
        self.a = a

class Sub(Base):
    pass

class PyMetaClassFactory(type):
    def __call__(cls, *args, **kwargs):
        if 'class' in kwargs:
            chosen = kwargs['class']
            if not issubclass(chosen, cls):
                raise TypeError(str(chosen) + ' is not a subclass of ' + str(cls))
            del kwargs['class']
            cls = chosen
        return super(PyMetaClassFactory, cls).__call__(*args, **kwargs)

class PyBase(metaclass=PyMetaClassFactory):
    def __init__(self, a, b):
        self.a = a

class PySub(PyBase):
    pass

choice = {'class': Sub}
py_choice = {'class': PySub}
"""

PAIRS = [
    Pair("switched Base(1, 2, **{'class': Sub}) vs PlainSub(1, 2)", "Base(1, 2, **choice)", "PlainSub(1, 2)", 1.5,
         "within"),
    Pair("unswitched Base(1, 2) vs Plain(1, 2)", "Base(1, 2)", "Plain(1, 2)", 1.2, "within"),
    Pair("switched, vs the Python twin", "Base(1, 2, **choice)", "PyBase(1, 2, **py_choice)", None, "faster"),
    Pair("unswitched, vs the Python twin", "Base(1, 2)", "PyBase(1, 2)", None, "faster"),
]



if __name__ == "__main__":
    main(PAIRS, SETUP)
