"""Vapora written plainly in Python: the twin the benchmarks compare with.

The same behaviour as vestri.ondrel.vapora.Vapora, in the most direct
Python: each write wraps the objects in `weakref.ref(obj, self.remove)`,
each lookup makes a probe reference, each read calls the reference.
"""

import collections
import weakref


class Vapora(collections.UserList):
    def __init__(self, items=()):
        super().__init__([weakref.ref(item, self.remove) for item in items])

    def __contains__(self, item):
        return super().__contains__(weakref.ref(item))

    def __getitem__(self, index):
        if isinstance(index, slice):
            return type(self)(ref() for ref in self.data[index])
        return super().__getitem__(index)()

    def __setitem__(self, index, item):
        if isinstance(index, slice):
            super().__setitem__(index, [weakref.ref(x, self.remove) for x in item])
        else:
            super().__setitem__(index, weakref.ref(item, self.remove))

    def __iter__(self):
        for ref in self.data:
            yield ref()

    def __eq__(self, other):
        return [x for x in self] == other

    def __reversed__(self):
        return self[::-1]

    def __add__(self, item):
        if not isinstance(item, Vapora):
            raise TypeError(f'can only concatenante Vapora (not "{type(item).__name__}") to Vapora')
        result = Vapora()
        result.extend(self)
        result.extend(item)
        return result

    def __iadd__(self, items):
        return super().__iadd__([weakref.ref(x, self.remove) for x in items])

    def remove(self, item):
        super().remove(item if isinstance(item, weakref.ReferenceType) else weakref.ref(item))

    def append(self, item):
        super().append(weakref.ref(item, self.remove))

    def index(self, item):
        return super().index(weakref.ref(item))

    def count(self, item):
        return super().count(weakref.ref(item))

    def pop(self, item=-1):
        try:
            position = item.__index__()
        except AttributeError:
            position = super().index(weakref.ref(item))
        return super().pop(position)()

    def insert(self, index, item):
        super().insert(index, weakref.ref(item, self.remove))

    def extend(self, items):
        super().extend([weakref.ref(x, self.remove) for x in items])

    def sort(self, key=None, reverse=False):
        if key is None:
            super().sort(key=lambda ref: ref(), reverse=reverse)
        else:
            super().sort(key=lambda ref: key(ref()), reverse=reverse)

    def __repr__(self):
        return "Vapora([" + ", ".join(repr(x) for x in self) + "])"

    def __str__(self):
        return "Vapora([" + ", ".join(str(x) for x in self) + "])"
