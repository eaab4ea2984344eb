"""The flattener against its baselines, each pair measured in one run.

    python benchmarks/bench_trellan.py -o trellan.json        # add --fast for a quick look
    python benchmarks/bench_trellan.py --ratios trellan.json  # the table of ratios
    python benchmarks/bench_trellan.py --cpu                  # CPU-time ratios, for a busy machine

The tree holds 12,000 leaves in dicts, lists and tuples, six levels deep:
20 sections x 10 groups x 15 items, each item a dict with a name, a value
and a tuple of two tags.  Baselines: flatten-dict (`flatten` with lists and
tuples enumerated, `unflatten`), a hand-written Python generator that
yields only (path, value) tuples, and trellan_twin.py, the same behaviour
written plainly in Python.  Without flatten-dict its rows are skipped.
"""

import importlib.util
import sys

import pyperf

SETUP = """
import sys
sys.path.insert(0, {here!r})
from vestri.ondrel.trellan import Trellan
import trellan_twin
tree = {{f'section{{a}}': {{f'group{{b}}': {{'items': [{{'name': f'item{{c}}', 'value': a * 1000 + b * 100 + c,
                                                    'tags': ('t' + str(c % 3), 't' + str(c % 5))}}
                                                   for c in range(15)]}}
                          for b in range(10)}}
        for a in range(20)}}
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

# (name, ours, baseline, extra setup, target): ours must be `target` times faster.
PAIRS = [
    ("Trellan(tree) vs list(generator by hand)", "Trellan(tree)", "list(by_hand(tree))", "", 2.0),
    ("Trellan(tree) vs plain-Python twin", "Trellan(tree)", "trellan_twin.Trellan(tree)", "", 8.0),
    ("reconstruct() vs plain-Python twin", "pairs.reconstruct()", "twin_pairs.reconstruct()", "", 8.0),
]

if importlib.util.find_spec("flatten_dict"):
    PAIRS += [
        ("Trellan(tree) vs flatten-dict flatten", "Trellan(tree)", "flatten(tree, enumerate_types=(list, tuple))",
         FLATTEN_DICT, 5.0),
        ("reconstruct() vs flatten-dict unflatten", "pairs.reconstruct()", "unflatten(flat)", FLATTEN_DICT, 5.0),
    ]


def main():
    here = sys.path[0]
    runner = pyperf.Runner()
    for name, ours, baseline, extra, _ in PAIRS:
        setup = SETUP.format(here=here) + extra
        runner.timeit(f"{name} [ours]", ours, setup=setup)
        runner.timeit(f"{name} [baseline]", baseline, setup=setup)


def ratios(path):
    results = {bench.get_name(): bench.mean() for bench in pyperf.BenchmarkSuite.load(path)}
    print(f"{'benchmark':44} {'ours':>10} {'baseline':>10} {'ratio':>8}  target")
    for name, _, _, _, target in PAIRS:
        mine, base = results.get(f"{name} [ours]"), results.get(f"{name} [baseline]")
        if mine is None or base is None:
            continue
        ratio = base / mine
        verdict = "met" if ratio >= target else "MISSED"
        print(f"{name:44} {fmt(mine):>10} {fmt(base):>10} {ratio:7.1f}x  >= {target}x faster: {verdict}")


def cpu_ratios(rounds=7, calls=10):
    """The same pairs timed in this process by CPU time (time.process_time),
    ours and baseline alternating, best round of each: on a machine shared
    with other work, wall-clock figures mostly measure the other work."""
    import time

    env = {}
    exec(SETUP.format(here=sys.path[0]) + (FLATTEN_DICT if importlib.util.find_spec("flatten_dict") else ""), env)
    print(f"{'benchmark':44} {'ours':>10} {'baseline':>10} {'ratio':>8}  target (CPU time)")
    for name, ours, baseline, _, target in PAIRS:
        best = {}
        for _ in range(rounds):
            for stmt in (ours, baseline):
                code = compile(f"for _ in range({calls}):\n    {stmt}", name, "exec")
                start = time.process_time()
                exec(code, env)
                took = (time.process_time() - start) / calls
                best[stmt] = min(best.get(stmt, took), took)
        ratio = best[baseline] / best[ours]
        verdict = "met" if ratio >= target else "MISSED"
        print(f"{name:44} {fmt(best[ours]):>10} {fmt(best[baseline]):>10} {ratio:7.1f}x  >= {target}x faster: {verdict}")


def fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.2f} {unit}"
    return f"{seconds / 1e-9:.2f} ns"


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--ratios":
        ratios(sys.argv[2])
    elif len(sys.argv) == 2 and sys.argv[1] == "--cpu":
        cpu_ratios()
    else:
        main()
