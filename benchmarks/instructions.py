"""Instruction counts of a benchmark's pairs, for a machine too busy for wall time.

    python benchmarks/instructions.py bench_loftel        # needs valgrind
    python benchmarks/instructions.py bench_factory 50000 # statements per count

Runs every statement of the module's PAIRS (same SETUP) under callgrind,
once with the statement repeated N times and once with it not run at all;
the difference divided by N, minus the same for `pass`, is what one
execution costs in machine instructions. The ratios are those of the
pyperf table, counted instead of timed: they do not move with the load of
the machine, but they leave out cache and branch effects.
"""

import importlib
import os
import re
import subprocess
import sys

DRIVER = """
import sys
ns = {}
exec(sys.argv[1], ns)
exec(compile("for _ in range(%s):\\n    " + sys.argv[2], "<bench>", "exec"), ns)
"""


def count(setup, stmt, n):
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c",
         DRIVER % n, setup, stmt],
        capture_output=True, text=True, check=True, env={**os.environ, "PYTHONHASHSEED": "0"}).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


def per_execution(setup, stmt, n):
    return (count(setup, stmt, n) - count(setup, stmt, 0)) / n


def main(module_name, n=20_000):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    bench = importlib.import_module(module_name)
    loop = per_execution(bench.SETUP, "pass", n)
    print(f"{'benchmark':58} {'ours':>8} {'baseline':>8} {'ratio':>7}  (instructions per execution)")
    for name, ours, baseline, target, kind in bench.PAIRS:
        mine = per_execution(bench.SETUP, ours, n) - loop
        base = per_execution(bench.SETUP, baseline, n) - loop
        ratio = mine / base if kind == "within" else base / mine
        goal = f"target {target}x" if target else ""
        print(f"{name:58} {mine:8.0f} {base:8.0f} {ratio:6.2f}x  {goal}")


if __name__ == "__main__":
    main(sys.argv[1], *(int(a) for a in sys.argv[2:3]))
