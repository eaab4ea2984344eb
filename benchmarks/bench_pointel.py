"""Attribute dictionaries against their baselines, each pair measured in one run.

    python benchmarks/bench_pointel.py -o pointel.json       # add --fast for a quick look
    python benchmarks/bench_pointel.py --ratios pointel.json # the table of ratios

Every figure is a pair: ours and a baseline (a built-in, or a pure-Python
peer library) timed by the same pyperf run; `--ratios` reads the run's
results back and prints each ratio against its target.  The peers (python-box, addict) are needed for the tree benchmarks
only; without them those rows are skipped.
"""

import importlib.util
import sys

import pyperf

SETUP_COMMON = """
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
SETUP_TREE = """
from vestri.ondrel.pointel import NestedPointel
tree = {f'level{a}': {f'group{b}': {f'item{c}': {f'leaf{e}': a * 1000 + b * 100 + c * 10 + e
                                                  for e in range(10)}
                                     for c in range(10)}
                      for b in range(10)}
        for a in range(10)}
paths = [f'level{a}.group{b}.item{c}.leaf{e}' for a in range(0, 10, 3) for b in range(0, 10, 3)
         for c in range(0, 10, 3) for e in range(0, 10, 3)]
"""

# (name, ours, baseline, setup, target, kind): kind "within" means ours/baseline
# must stay below target; "faster" means baseline/ours must reach it.
PAIRS = [
    ("Pointel p['k']", "p['k']", "d['k']", SETUP_COMMON, 1.3, "within"),
    ("Pointel p['k'] = v", "p['k'] = 2", "d['k'] = 2", SETUP_COMMON, 1.3, "within"),
    ("Pointel p.k", "p.k", "o.k", SETUP_COMMON, 2.5, "within"),
    ("Pointel(k=1)", "Pointel(k=1)", "dict(k=1)", SETUP_COMMON, 3.0, "within"),
    ("NestedPointel n['a.b.c']", "n_short['a.b.c']", "short['a']['b']['c']", SETUP_COMMON, 3.0, "within"),
    ("NestedPointel n['alpha.beta.gamma']", "n_long['alpha.beta.gamma']", "long['alpha']['beta']['gamma']",
     SETUP_COMMON, 3.0, "within"),
    ("NestedPointel n['a.b.c'] = v", "n_short['a.b.c'] = 2", "short['a']['b']['c'] = 2", SETUP_COMMON, 4.0,
     "within"),
    ("NestedPointel n['alpha.beta.gamma'] = v", "n_long['alpha.beta.gamma'] = 2",
     "long['alpha']['beta']['gamma'] = 2", SETUP_COMMON, 4.0, "within"),
    ("NestedPointel n['k'] vs Pointel p['k']", "n['k']", "p['k']", SETUP_COMMON, 1.3, "within"),
    ("subclass s['k'] vs NestedPointel n['k']", "s['k']", "n['k']", SETUP_COMMON, 1.1, "within"),
    ("subclass s['k'] = v vs NestedPointel n['k'] = v", "s['k'] = 2", "n['k'] = 2", SETUP_COMMON, 1.1, "within"),
    # A plain object answers the probe without building the AttributeError.
    ("missing attribute getattr(n, 'zz', None) vs a plain object's", "getattr(n, 'zz', None)",
     "getattr(o, 'zz', None)", SETUP_COMMON, 4.0, "within"),
]

if importlib.util.find_spec("box") and importlib.util.find_spec("addict"):
    PAIRS += [
        ("NestedPointel(tree) vs Box(tree, box_dots=True)", "NestedPointel(tree)", "Box(tree, box_dots=True)",
         SETUP_TREE + "from box import Box", 5.0, "faster"),
        ("NestedPointel(tree) vs addict Dict(tree)", "NestedPointel(tree)", "Dict(tree)",
         SETUP_TREE + "from addict import Dict", 5.0, "faster"),
        ("dotted reads vs Box", "for k in paths: n[k]", "for k in paths: b[k]",
         SETUP_TREE + "from box import Box\nn = NestedPointel(tree)\nb = Box(tree, box_dots=True)", 10.0, "faster"),
    ]


def main():
    runner = pyperf.Runner()
    for name, ours, baseline, setup, _, _ in PAIRS:
        runner.timeit(f"{name} [ours]", ours, setup=setup)
        runner.timeit(f"{name} [baseline]", baseline, setup=setup)


def ratios(path):
    results = {bench.get_name(): bench.mean() for bench in pyperf.BenchmarkSuite.load(path)}
    print(f"{'benchmark':48} {'ours':>10} {'baseline':>10} {'ratio':>8}  target")
    for name, _, _, _, target, kind in PAIRS:
        mine, base = results.get(f"{name} [ours]"), results.get(f"{name} [baseline]")
        if mine is None or base is None:
            continue
        if kind == "within":
            ratio, ok = mine / base, mine / base <= target
            goal = f"<= {target}x the baseline's time"
        else:
            ratio, ok = base / mine, base / mine >= target
            goal = f">= {target}x faster"
        print(f"{name:48} {fmt(mine):>10} {fmt(base):>10} {ratio:7.2f}x  {goal}: {'met' if ok else 'MISSED'}")


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
