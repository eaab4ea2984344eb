"""The flattener written plainly in Python, for measuring what the C++ buys.

The same behaviour as vestri.ondrel.trellan for nestings of dicts, lists and
tuples of plain values: a generator per level, paths built by tuple
concatenation, pairs as a namedtuple, positions as IndexMarker objects, and
the rebuild walking each path from the top.  Tuples are rebuilt one value at
a time, which suffices for tuples of plain values.
"""

from collections import namedtuple
from collections.abc import MutableMapping

DictItem = namedtuple("DictItem", ("path", "value"))


class IndexMarker:
    def __init__(self, obj, index):
        self.type_ = type(obj)
        self.index = int(index)

    def __repr__(self):
        return "{type_}[{index}]".format(type_=self.type_.__name__, index=self.index)


class Trellan(list):
    def __init__(self, *args):
        if len(args) == 1 and isinstance(args[0], MutableMapping):
            super().__init__(Trellan.__flatten__(args[0]))
        else:
            super().__init__(*args)

    @staticmethod
    def __flatten__(indict, path=None):
        path = path[:] if path else ()
        if isinstance(indict, MutableMapping):
            for key, value in indict.items():
                if isinstance(value, (MutableMapping, list, tuple)) and value:
                    yield from Trellan.__flatten__(value, path + (key,))
                else:
                    yield DictItem(path + (key,), value)
        elif isinstance(indict, (list, tuple)):
            for index, value in enumerate(indict):
                if isinstance(value, (MutableMapping, list, tuple)) and value:
                    yield from Trellan.__flatten__(value, path + (IndexMarker(indict, index),))
                else:
                    yield DictItem(path + (IndexMarker(indict, index),), value)
        else:
            yield indict

    def reconstruct(self):
        ret = {}
        prev_ptr = prev_k = tuple_ptr = tuple_k = k = None
        for path, obj in self:
            ptr = ret
            path = list(path)
            while path:
                k = path.pop(0)
                if isinstance(k, IndexMarker):
                    if k.type_ is not type(ptr):
                        prev_ptr[prev_k] = k.type_(({},))
                    else:
                        try:
                            ptr[k.index]
                        except IndexError:
                            ptr += k.type_(({},))
                    if k.type_ is tuple:
                        tuple_ptr, tuple_k = prev_ptr, prev_k
                    prev_ptr = prev_ptr[prev_k]
                    prev_k = -1
                    ptr = prev_ptr[prev_k]
                else:
                    if isinstance(ptr, MutableMapping):
                        ptr[k] = ptr.get(k, {})
                    else:
                        ptr += type(ptr)(({k: {}},))
                        ptr = ptr[-1]
                    prev_ptr, prev_k = ptr, k
                    ptr = ptr[k]
            if isinstance(k, IndexMarker) and k.type_ is tuple:
                if tuple_ptr[tuple_k] == ({},):
                    tuple_ptr[tuple_k] = (obj,)
                else:
                    prev_ptr = prev_ptr + (obj,)
                    tuple_ptr[tuple_k] = prev_ptr
            else:
                prev_ptr[prev_k] = obj
        return ret
