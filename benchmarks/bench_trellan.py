"""The flattener against its baselines (the modes: pairs.py).

The tree holds 12,000 leaves in dicts, lists and tuples, six levels deep:
20 sections x 10 groups x 15 items, each item a dict with a name, a value
and a tuple of two tags.  Baselines: flatten-dict (`flatten` with lists and
tuples enumerated, `unflatten`), a hand-written Python generator that
yields only (path, value) tuples, and trellan_twin.py, the same behaviour
written plainly in Python.  Without flatten-dict its rows are skipped.
"""

from pairs import Pair, main

SETUP = """
from vestri.ondrel.trellan import Trellan
import trellan_twin
tree = {f'section{a}': {f'group{b}': {'items': [{'name': f'item{c}', 'value': a * 1000 + b * 100 + c,
                                                 'tags': ('t' + str(c % 3), 't' + str(c % 5))}
                                                for c in range(15)]}
                        for b in range(10)}
        for a in range(20)}
pairs = Trellan(tree)
twin_pairs = trellan_twin.Trellan(tree)
assert len(pairs) == 12000 and pairs.reconstruct() == tree and twin_pairs.reconstruct() == tree

def by_hand(node, path=()):
    if isinstance(node, dict):
        for key, value in node.items():
            if isinstance(value, (dict, list, tuple)) and value:
                yield from by_hand(value, path + (key,))
            else:
                yield path + (key,), value
    else:
        for index, value in enumerate(node):
            if isinstance(value, (dict, list, tuple)) and value:
                yield from by_hand(value, path + (index,))
            else:
                yield path + (index,), value
"""

FLATTEN_DICT = """
from flatten_dict import flatten, unflatten
flat = flatten(tree, enumerate_types=(list, tuple))
"""

PAIRS = [
    Pair("Trellan(tree) vs list(generator by hand)", "Trellan(tree)", "list(by_hand(tree))", 2.0),
    Pair("Trellan(tree) vs plain-Python twin", "Trellan(tree)", "trellan_twin.Trellan(tree)", 8.0),
    Pair("reconstruct() vs plain-Python twin", "pairs.reconstruct()", "twin_pairs.reconstruct()", 8.0),
    Pair("Trellan(tree) vs flatten-dict flatten", "Trellan(tree)", "flatten(tree, enumerate_types=(list, tuple))", 5.0,
         setup=FLATTEN_DICT, requires=("flatten_dict",)),
    Pair("reconstruct() vs flatten-dict unflatten", "pairs.reconstruct()", "unflatten(flat)", 5.0,
         setup=FLATTEN_DICT, requires=("flatten_dict",)),
]


if __name__ == "__main__":
    main(PAIRS, SETUP)
