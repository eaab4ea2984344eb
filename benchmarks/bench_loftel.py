"""Class properties against classmethod calls and property reads (the modes: pairs.py).

A read on the class is compared with calling a classmethod that does the
same work, a read on an instance with reading a `property`. The last pairs
time the same descriptor written plainly in Python against ours.

A `property` getter runs inline in the caller's frame, which no other
descriptor can do: the reachable floor of an instance read is a C callable
(`functools.partial`) calling the same function.
"""

from pairs import Pair, main

SETUP = """
from vestri.ondrel.loftel import loftel

class PyLoftel:
    def __init__(self, func):
        self.func = func

    def __get__(self, obj, owner):
        return self.func(owner)

class C:
    @loftel
    def ours(cls):
        return 100

    @classmethod
    def method(cls):
        return 100

    @property
    def prop(self):
        return 100

    @PyLoftel
    def twin(cls):
        return 100

c = C()
# What any descriptor other than `property` costs at the least: a C callable
# calling the same function with the class.
import functools
through_c = functools.partial(C.__dict__['ours'].func, C)
"""

PAIRS = [
    Pair("C.value vs C.method() (classmethod)", "C.ours", "C.method()", 1.2, "within"),
    Pair("c.value vs c.prop (property) on an instance", "c.ours", "c.prop", 2.5, "within"),
    Pair("c.value vs a C callable calling the same function", "c.ours", "through_c()", 1.1, "within"),
    Pair("C.value vs the Python twin", "C.ours", "C.twin", None, "faster"),
    Pair("c.value vs the Python twin", "c.ours", "c.twin", None, "faster"),
]



if __name__ == "__main__":
    main(PAIRS, SETUP)
