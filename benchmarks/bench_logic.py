"""Logic expressions against their baselines (the modes: pairs.py).

Each case is measured against two others: a baseline (the same test as a
Python function over precompiled patterns, or the built-in eval of the same
text), which ours must not be slower than, and the twin (the same classes
written plainly in Python, benchmarks/logic_twin.py), which ours must beat
3x.
"""

from pairs import Pair, main

SETUP = r"""
import re
import logic_twin as twin
from vestri.ondrel import logic
from vestri.ondrel.logic import And, Or, Not, logic_str
pa, pb, pc, pd = (re.compile(p) for p in 'abcd')

def and_ab(value):
    return pa.search(value) is not None and pb.search(value) is not None

def nested(value):
    return pa.search(value) is not None and (
        pb.search(value) is not None or not (pc.search(value) is not None or pd.search(value) is not None))

ours_ab, twin_ab = And('a', 'b'), twin.And('a', 'b')
ours_nested = And('a', Or('b', Not('c', 'd')))
twin_nested = twin.And('a', twin.Or('b', twin.Not('c', 'd')))
value = 'a quiet morning'   # reaches every level of the nested expression

# 20 nodes: 8 logic objects, 12 patterns.
TEXT = (r"Or(And('^src/', Not('test', 'bench')), And(r'\.py$', Or('core', 'utils', 'io')), "
        r"Not(And('tmp', 'cache')), Or('docs', Not('draft')))")
namespace = vars(logic)
"""

CASES = [
    ("And('a', 'b')(value)", "ours_ab('ab')", "and_ab('ab')", "twin_ab('ab')"),
    ("3-level And('a', Or('b', Not('c', 'd')))(value)", "ours_nested(value)", "nested(value)", "twin_nested(value)"),
    ("logic_str of a 20-node text", "logic_str(TEXT)", "eval(TEXT, namespace, {'string': TEXT})",
     "twin.logic_str(TEXT)"),
]
PAIRS = [pair for name, ours, baseline, twin in CASES
         for pair in (Pair(f"{name} vs the baseline", ours, baseline, 1.0, "within"),
                      Pair(f"{name} vs the twin", ours, twin, 3.0, "faster"))]


if __name__ == "__main__":
    main(PAIRS, SETUP)
