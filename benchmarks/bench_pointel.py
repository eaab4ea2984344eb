"""Attribute dictionaries against their baselines (the modes: pairs.py).

The baselines are built-ins, or pure-Python peer libraries (python-box,
addict) for the tree rows, which are skipped without them.
"""

from pairs import Pair, main

SETUP = """
from vestri.ondrel.pointel import Pointel, NestedPointel
class Plain:
    pass
o = Plain(); o.k = 1
d = {'k': 1}
p = Pointel(k=1)
short = {'a': {'b': {'c': 1}}}
long = {'alpha': {'beta': {'gamma': 1}}}
n_short = NestedPointel(short)
n_long = NestedPointel(long)
n = NestedPointel(k=1)
class Settings(NestedPointel):  # a Python subclass that overrides nothing
    pass
s = Settings(k=1)
"""

# A tree four levels deep with 10,000 leaves: 10 x 10 x 10 x 10.
TREE = """
from vestri.ondrel.pointel import NestedPointel
tree = {f'level{a}': {f'group{b}': {f'item{c}': {f'leaf{e}': a * 1000 + b * 100 + c * 10 + e
                                                  for e in range(10)}
                                     for c in range(10)}
                      for b in range(10)}
        for a in range(10)}
paths = [f'level{a}.group{b}.item{c}.leaf{e}' for a in range(0, 10, 3) for b in range(0, 10, 3)
         for c in range(0, 10, 3) for e in range(0, 10, 3)]
"""

PAIRS = [
    Pair("Pointel p['k']", "p['k']", "d['k']", 1.3, "within"),
    Pair("Pointel p['k'] = v", "p['k'] = 2", "d['k'] = 2", 1.3, "within"),
    Pair("Pointel p.k", "p.k", "o.k", 2.5, "within"),
    Pair("Pointel(k=1)", "Pointel(k=1)", "dict(k=1)", 3.0, "within"),
    Pair("NestedPointel n['a.b.c']", "n_short['a.b.c']", "short['a']['b']['c']", 3.0, "within"),
    Pair("NestedPointel n['alpha.beta.gamma']", "n_long['alpha.beta.gamma']", "long['alpha']['beta']['gamma']",
         3.0, "within"),
    Pair("NestedPointel n['a.b.c'] = v", "n_short['a.b.c'] = 2", "short['a']['b']['c'] = 2", 4.0,
         "within"),
    Pair("NestedPointel n['alpha.beta.gamma'] = v", "n_long['alpha.beta.gamma'] = 2",
         "long['alpha']['beta']['gamma'] = 2", 4.0, "within"),
    Pair("NestedPointel n['k'] vs Pointel p['k']", "n['k']", "p['k']", 1.3, "within"),
    Pair("subclass s['k'] vs NestedPointel n['k']", "s['k']", "n['k']", 1.1, "within"),
    Pair("subclass s['k'] = v vs NestedPointel n['k'] = v", "s['k'] = 2", "n['k'] = 2", 1.1, "within"),
    # A plain object answers the probe without building the AttributeError.
    Pair("missing attribute getattr(n, 'zz', None) vs a plain object's", "getattr(n, 'zz', None)",
         "getattr(o, 'zz', None)", 4.0, "within"),
]

PAIRS += [
    Pair("NestedPointel(tree) vs Box(tree, box_dots=True)", "NestedPointel(tree)", "Box(tree, box_dots=True)", 5.0,
         "faster", setup=TREE + "from box import Box", requires=("box",)),
    Pair("NestedPointel(tree) vs addict Dict(tree)", "NestedPointel(tree)", "Dict(tree)", 5.0, "faster",
         setup=TREE + "from addict import Dict", requires=("addict",)),
    Pair("dotted reads vs Box", "for k in paths: n[k]", "for k in paths: b[k]", 10.0, "faster",
         setup=TREE + "from box import Box\nn = NestedPointel(tree)\nb = Box(tree, box_dots=True)",
         requires=("box",)),
]


if __name__ == "__main__":
    main(PAIRS, SETUP)
