"""The orderable mapping against its baselines (the modes: pairs.py).

The baselines are `collections.OrderedDict`, the plain list operations that
move() and insert() are made of, and `PySequara`, the same class written
plainly in Python (below), which shows what the C++ buys.
"""

from pairs import Pair, main

# The behaviour written plainly in Python: values in a dict, the order in a list.
TWIN = '''
from collections.abc import MutableMapping

class PySequara(MutableMapping):
    def __init__(self, *args, **kwargs):
        self._data = {}
        self._order = []
        self.update(*args, **kwargs)

    def __getitem__(self, name):
        return self._data.__getitem__(name)

    def __setitem__(self, name, value):
        if name not in self._order:
            self._order.append(name)
        self._data.__setitem__(name, value)

    def __delitem__(self, name):
        del self._data[name]
        self._order.remove(name)

    def __iter__(self):
        return iter(self._order)

    def items(self):
        return sorted(self._data.items(), key=lambda k: self._order.index(k[0]))

    def insert(self, key, value, position):
        if key in self._order:
            raise KeyError("%s already exist in Report" % key)
        self._data[key] = value
        self._order.insert(position, key)

    def move(self, key, position):
        if key not in self._order:
            raise KeyError(key)
        self._order.insert(position, self._order.pop(self._order.index(key)))

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError("expected at most 1 arguments, got %d" % len(args))
        if args:
            for i, item in enumerate(args[0]):
                if len(item) != 2:
                    raise ValueError("update sequence element #" + str(i) + " has length "
                                     + str(len(item)) + "; 2 is required")
                key, value = item
                self[key] = value
        for key, value in kwargs.items():
            self[key] = value

    def __repr__(self):
        return self.__class__.__name__ + "(" + repr(list(self.items())) + ")"

    def __len__(self):
        return len(self._order)
'''

SETUP = TWIN + """
from collections import OrderedDict
from vestri.ondrel.sequara import Sequara
pairs = [(f'key{i}', i) for i in range(1000)]
big = [(f'key{i}', i) for i in range(20000)]
m = Sequara(pairs)
od = OrderedDict(pairs)
py = PySequara(pairs)
order = [k for k, _ in pairs]
data = dict(pairs)
"""

PAIRS = [
    Pair("m[k] vs OrderedDict", "m['key500']", "od['key500']", 1.3, "within"),
    Pair("k in m vs OrderedDict", "'key500' in m", "'key500' in od", 1.3, "within"),
    Pair("k in m (missing key) vs OrderedDict", "'absent' in m", "'absent' in od", 1.3, "within"),
    Pair("m.get(k) vs OrderedDict", "m.get('key500')", "od.get('key500')", 1.3, "within"),
    Pair("m.get(missing) vs OrderedDict", "m.get('absent')", "od.get('absent')", 1.3, "within"),
    Pair("m.setdefault(k, v) (existing key) vs OrderedDict", "m.setdefault('key500', 1)",
         "od.setdefault('key500', 1)", None, "within"),
    Pair("m.pop(k); m[k] = v vs OrderedDict, 1,000 keys", "m.pop('key500'); m['key500'] = 500",
         "od.pop('key500'); od['key500'] = 500", None, "within"),
    Pair("m.pop(missing, None) vs OrderedDict", "m.pop('absent', None)", "od.pop('absent', None)", None, "within"),
    Pair("m[k] = v; del m[k] (a new key) vs OrderedDict, 1,000 keys", "m['new'] = 1; del m['new']",
         "od['new'] = 1; del od['new']", None, "within"),
    Pair("m.copy() vs od.copy(), 1,000 keys", "m.copy()", "od.copy()", 1.0, "within"),
    Pair("m.values() vs list(od.values()), 1,000 keys", "m.values()", "list(od.values())", 1.5, "within"),
    Pair("repr(m) vs repr(od), 1,000 keys", "repr(m)", "repr(od)", 1.0, "within"),
    Pair("m[k] = v (existing key) vs OrderedDict", "m['key500'] = 1", "od['key500'] = 1", 2.0, "within"),
    Pair("list(m) vs list(od), 1,000 keys", "list(m)", "list(od)", 2.0, "within"),
    Pair("m.items() vs list(od.items()), 1,000 keys", "m.items()", "list(od.items())", 1.5, "within"),
    Pair("Sequara(pairs) vs OrderedDict(pairs), 20,000 pairs", "Sequara(big)", "OrderedDict(big)", 2.0, "within"),
    Pair("move() vs its list operations, 1,000 keys", "m.move('key500', 0); m.move('key500', 500)",
         "order.insert(0, order.pop(order.index('key500'))); order.insert(500, order.pop(order.index('key500')))",
     2.0, "within"),
    Pair("insert() vs its list operations, 1,000 keys", "m.insert('new', 0, 500); del m['new']",
         "order.insert(500, 'new'); data['new'] = 0; del data['new']; order.remove('new')", 2.0, "within"),
    Pair("m[k] vs the Python twin", "m['key500']", "py['key500']", 5.0, "faster"),
    Pair("m[k] = v (existing key) vs the Python twin", "m['key500'] = 1", "py['key500'] = 1", 5.0, "faster"),
    Pair("Sequara(pairs) vs the Python twin, 1,000 pairs", "Sequara(pairs)", "PySequara(pairs)", 5.0, "faster"),
    Pair("m.items() vs the Python twin, 1,000 keys", "m.items()", "py.items()", 5.0, "faster"),
    Pair("move() vs the Python twin, 1,000 keys", "m.move('key500', 0); m.move('key500', 500)",
         "py.move('key500', 0); py.move('key500', 500)", 5.0, "faster"),
    Pair("repr(m) vs the Python twin, 1,000 keys", "repr(m)", "repr(py)", 5.0, "faster"),
]


if __name__ == "__main__":
    main(PAIRS, SETUP)
