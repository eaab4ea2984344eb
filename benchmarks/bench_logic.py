"""Logic expressions against their baselines, each figure measured in one run.

    python benchmarks/bench_logic.py -o logic.json        # add --fast for a quick look
    python benchmarks/bench_logic.py --ratios logic.json  # the table of ratios

Every benchmark has three figures from the same pyperf run: ours, a baseline
(the same test as a Python function over precompiled patterns, or the
built-in eval of the same text) and the twin (the same classes written
plainly in Python, benchmarks/logic_twin.py).  `--ratios` prints ours against
both, each with its target.
"""

import sys

import pyperf

SETUP = r"""
import re, sys
sys.path.insert(0, {here!r})
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

# (name, ours, baseline, twin, baseline target): ours must take at most
# `target` times the baseline's time, and be at least 3x faster than the twin.
TRIPLES = [
    ("And('a', 'b')(value)", "ours_ab('ab')", "and_ab('ab')", "twin_ab('ab')", 1.0),
    ("3-level And('a', Or('b', Not('c', 'd')))(value)", "ours_nested(value)", "nested(value)",
     "twin_nested(value)", 1.0),
    ("logic_str of a 20-node text", "logic_str(TEXT)", "eval(TEXT, namespace, {'string': TEXT})",
     "twin.logic_str(TEXT)", 1.0),
]
TWIN_TARGET = 3.0


def setup():
    import os
    return SETUP.format(here=os.path.dirname(os.path.abspath(__file__)))


def main():
    runner = pyperf.Runner()
    for name, ours, baseline, twin, _ in TRIPLES:
        runner.timeit(f"{name} [ours]", ours, setup=setup())
        runner.timeit(f"{name} [baseline]", baseline, setup=setup())
        runner.timeit(f"{name} [twin]", twin, setup=setup())


def ratios(path):
    results = {bench.get_name(): bench.mean() for bench in pyperf.BenchmarkSuite.load(path)}
    print(f"{'benchmark':50} {'ours':>9} {'baseline':>9} {'twin':>9}  ratios")
    for name, _, _, _, target in TRIPLES:
        mine, base, twin = (results.get(f"{name} [{k}]") for k in ("ours", "baseline", "twin"))
        if None in (mine, base, twin):
            continue
        vs_base, vs_twin = mine / base, twin / mine
        print(f"{name:50} {fmt(mine):>9} {fmt(base):>9} {fmt(twin):>9}  "
              f"{vs_base:.2f}x the baseline's time (<= {target}x: {'met' if vs_base <= target else 'MISSED'}); "
              f"{vs_twin:.1f}x faster than the twin (>= {TWIN_TARGET}x: {'met' if vs_twin >= TWIN_TARGET else 'MISSED'})")


def fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.1f} {unit}"
    return f"{seconds / 1e-9:.2f} ns"


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--ratios":
        ratios(sys.argv[2])
    else:
        main()
