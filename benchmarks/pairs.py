"""What every benchmark script shares: reading a pair's verdict, printing
times, and the leaf values the configuration benchmarks write.

Each figure is a pair, ours and a baseline timed in the same run; `verdict`
turns the two means into the ratio, the goal as text and whether it is met.
"""

import sys


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


def verdict(mine, base, target, kind):
    """(ratio, goal, met) of a pair: `kind` "within" asks that ours take at
    most `target` times the baseline's time, "faster" that it be at least
    `target` times faster."""
    if kind == "within":
        ratio = mine / base
        return ratio, f"<= {target}x the baseline's time", ratio <= target
    ratio = base / mine
    return ratio, f">= {target}x faster", ratio >= target


def run(main, ratios):
    """`script.py [pyperf options]` runs the pairs, `script.py --ratios FILE` reads a result file."""
    if len(sys.argv) == 3 and sys.argv[1] == "--ratios":
        ratios(sys.argv[2])
    else:
        main()
