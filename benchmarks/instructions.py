"""Instruction counts of a benchmark's pairs, for a machine too busy for wall time.

    python benchmarks/instructions.py bench_loftel              # needs valgrind
    python benchmarks/instructions.py bench_logic 1000 logic_str # statements per count, pairs named so

Runs every statement of the script's PAIRS (after its setup) under
callgrind, once repeated N times and once not run at all; the difference
divided by N, minus the same for `pass`, is what one execution costs in
machine instructions.  The ratios are those of the timed table, counted
instead of timed: they do not move with the load of the machine, but they
leave out cache and branch effects.
"""

import importlib
import os
import re
import subprocess
import sys

from pairs import full_setup

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


def main(module_name, n=20_000, only=""):
    bench = importlib.import_module(module_name)
    print("| benchmark | ours | baseline | ratio (instructions) | target |\n|---|---|---|---|---|")
    for pair in bench.PAIRS:
        if only not in pair.name or not pair.available():
            continue
        setup = full_setup(pair, bench.SETUP)
        loop = per_execution(setup, "pass", n)
        mine = per_execution(setup, pair.ours, n) - loop
        base = per_execution(setup, pair.baseline, n) - loop
        ratio = f"{mine / base:.2f}x" if pair.kind == "within" else f"{base / mine:.2f}x fewer"
        print(f"| {pair.name} | {mine:,.0f} | {base:,.0f} | {ratio} | {pair.target or '-'} |", flush=True)


if __name__ == "__main__":
    main(sys.argv[1], *(int(a) for a in sys.argv[2:3]), *sys.argv[3:4])
