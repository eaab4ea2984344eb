"""What every benchmark script shares: the `Pair` a figure is made of, and
the one runner that times pairs and prints their table.

A script lists its figures as data and hands them over:

    SETUP = "...statements that make what the pairs use..."
    PAIRS = [
        Pair("m[k] vs OrderedDict", "m['key500']", "od['key500']", 2.0, "within"),
        ...
    ]
    if __name__ == "__main__":
        pairs.main(PAIRS, SETUP)

and is then run as

    python benchmarks/bench_x.py -o x.json     # pyperf, one worker process per run (its options apply)
    python benchmarks/bench_x.py --ratios x.json
    python benchmarks/bench_x.py --interleaved # in one process, ours and baseline alternating
    python benchmarks/bench_x.py --cpu         # the same by process CPU time, for a busy machine
    python benchmarks/bench_x.py --quick       # every statement a few times: does it run?

The in-process modes take a text after the option: only the pairs whose
name contains it run (`--quick 'all 1,000'`).

The statistic is the median everywhere: of pyperf's values (each the
average of enough loops to last 0.1 s or more) and of the interleaved
rounds.  On a machine shared with other work, load arrives in bursts that
lengthen a few values a lot, and the mean follows them; the minimum picks
the value in which nothing else ran, which also drops the collector's
older-generation passes that a program does pay.  The median keeps what
happens in most values and drops the bursts.

The cycle collector is on for every figure, as in the programs that use
the package: pyperf leaves it on (the standard `timeit` turns it off unless
told), the setup switches it on explicitly, and the in-process modes run
the statements in an ordinary loop.
"""

import dataclasses
import importlib.util
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Run before every script's SETUP: the twins and the scripts import from here.
PRELUDE = f"import gc, sys\ngc.enable()\nsys.path.insert(0, {HERE!r})\n"

KINDS = ("within", "faster")


@dataclasses.dataclass(frozen=True)
class Pair:
    """One figure: `ours` and `baseline` are statements timed in the same run
    after the script's SETUP and this pair's own `setup`.

    `kind` "within" asks that ours take at most `target` times the
    baseline's time; "faster" that it be at least `target` times faster
    (`target` None: no goal, the ratio only).  `per`, two expressions
    evaluated after the setup, divides each side's time by a size (time per
    output character, say).  The pair is skipped unless every module in
    `requires` (a peer library) is installed.
    """

    name: str
    ours: str
    baseline: str
    target: float | None
    kind: str = "faster"
    setup: str = ""
    requires: tuple[str, ...] = ()
    per: tuple[str, str] | None = None

    def available(self):
        return all(importlib.util.find_spec(name) for name in self.requires)


def full_setup(pair, setup):
    return PRELUDE + setup + "\n" + pair.setup


def leaf_text(s, o):
    """A mix of what configuration files hold: numbers, flags, names, paths."""
    kind = o % 5
    if kind == 0:
        return str(s * 1000 + o)
    if kind == 1:
        return f"{o / 8}"
    if kind == 2:
        return "true" if o % 2 else "false"
    if kind == 3:
        return f"/srv/data/section{s}/file{o}.dat"
    return f"value number {o} of section {s}"


def fmt(seconds):
    """A time in the unit that suits it: "12.3 ns", "4.5 ms"."""
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.1f} {unit}"
    return f"{seconds / 1e-9:.2f} ns"


def verdict(pair, mine, base, sizes=(1, 1)):
    """The ratio and goal columns of a pair, as the README tables write them."""
    mine, base = mine / sizes[0], base / sizes[1]
    if pair.kind == "within":
        ratio = mine / base
        shown, met, goal = f"{ratio:.2f}x", ratio <= (pair.target or 0), "within {:g}x"
    else:
        ratio = base / mine
        shown, met, goal = f"{ratio:.2f}x faster", ratio >= (pair.target or 0), "{:g}x"
    if pair.target is None:
        return shown, "-"
    return shown, f"{goal.format(pair.target)}: {'met' if met else 'MISSED'}"


def print_table(pairs, times, setup, note):
    """`times` maps a pair's name to (ours, baseline) in seconds."""
    print(f"\n{note}; median; cycle collector on\n")
    print("| benchmark | ours | baseline | ratio | target |\n|---|---|---|---|---|")
    for pair in pairs:
        if pair.name not in times:
            continue
        mine, base = times[pair.name]
        sizes = (1, 1)
        if pair.per:
            namespace = {}
            exec(full_setup(pair, setup), namespace)
            sizes = tuple(eval(expression, namespace) for expression in pair.per)
        ratio, goal = verdict(pair, mine, base, sizes)
        print(f"| {pair.name} | {fmt(mine)} | {fmt(base)} | {ratio} | {goal} |", flush=True)


def timed(pairs, setup):
    for pair in pairs:
        if pair.available():
            yield pair
        else:
            print(f"skipped (needs {', '.join(pair.requires)}): {pair.name}", file=sys.stderr)


def run_pyperf(pairs, setup):
    import pyperf

    runner = pyperf.Runner()
    for pair in timed(pairs, setup):
        for side, stmt in (("ours", pair.ours), ("baseline", pair.baseline)):
            runner.timeit(f"{pair.name} [{side}]", stmt, setup=full_setup(pair, setup))


def read_pyperf(pairs, setup, path):
    import pyperf

    results = {bench.get_name(): bench.median() for bench in pyperf.BenchmarkSuite.load(path)}
    times = {}
    for pair in pairs:
        sides = results.get(f"{pair.name} [ours]"), results.get(f"{pair.name} [baseline]")
        if None not in sides:
            times[pair.name] = sides
    print_table(pairs, times, setup, f"pyperf, {path}")


def run_interleaved(pairs, setup, clock=time.perf_counter, rounds=21, budget=0.02, note="interleaved, wall time"):
    """Each pair in this process, ours and the baseline in alternating rounds
    of about `budget` seconds each: slow changes of the machine's load then
    hit both sides alike."""
    times = {}
    for pair in timed(pairs, setup):
        namespace = {}
        exec(full_setup(pair, setup), namespace)
        loops, samples = [], ([], [])
        for stmt in (pair.ours, pair.baseline):
            once = compile(stmt, pair.name, "exec")
            start = clock()
            exec(once, namespace)
            took = max(clock() - start, 1e-7)
            loops.append(max(1, int(budget / took)))
        codes = [compile(f"for _ in range({n}):\n    {stmt}", pair.name, "exec")
                 for n, stmt in zip(loops, (pair.ours, pair.baseline))]
        for _ in range(rounds):
            for side in (0, 1):
                start = clock()
                exec(codes[side], namespace)
                samples[side].append((clock() - start) / loops[side])
        times[pair.name] = tuple(statistics.median(s) for s in samples)
    print_table(pairs, times, setup, f"{note}, {rounds} rounds")


def main(pairs, setup="", modes=None):
    """Runs the mode the command line names (see the module's docstring);
    `modes` maps a script's own options to functions of no arguments."""
    args = sys.argv[1:]
    if args[:1] in (["--interleaved"], ["--cpu"], ["--quick"]) and len(args) == 2:
        pairs = [pair for pair in pairs if args[1] in pair.name]
        args = args[:1]
    if modes and args and args[0] in modes:
        modes[args[0]]()
    elif args[:1] == ["--ratios"] and len(args) == 2:
        read_pyperf(pairs, setup, args[1])
    elif args == ["--interleaved"]:
        run_interleaved(pairs, setup)
    elif args == ["--cpu"]:
        run_interleaved(pairs, setup, clock=time.process_time, rounds=7, budget=0.1, note="interleaved, CPU time")
    elif args == ["--quick"]:
        run_interleaved(pairs, setup, rounds=3, budget=0.001, note="quick look, wall time (not a measurement)")
    else:
        run_pyperf(pairs, setup)
