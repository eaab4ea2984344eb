"""The tree printer against its baselines, each pair measured in one run.

    python benchmarks/bench_arbel.py -o arbel.json       # add --fast for a quick look
    python benchmarks/bench_arbel.py --ratios arbel.json # the table of ratios

`str()` of an 11,000-node tree against anytree's `RenderTree(...).by_attr()`
text of the same tree (rows skipped without anytree) and against the same
class written plainly in Python (`PlainArbel` below).  The last row checks
that the cost is linear in the size of the output: per character, a chain
450 nodes deep (long indented lines) against a bushy tree of 10,000 nodes.
"""

import sys

import pyperf

TWIN = '''
class PlainArbel:
    def __init__(self, name, children=None):
        if not children:
            children = []
        self.name = name
        self.children = children

    def add_child(self, item):
        self.children.append(item)

    def __str__(self):
        text = self.name
        if not self.children:
            return text
        for child in self.children[:-1]:
            lines = str(child).split("\\n")
            text += "\\n" + "|-- " + lines[0]
            for line in lines[1:]:
                text += "\\n" + "|   " + line
        lines = str(self.children[-1]).split("\\n")
        text += "\\n" + "`-- " + lines[0]
        for line in lines[1:]:
            text += "\\n" + "    " + line
        return text
'''

# A complete ten-way tree: node k has the children 10k+1 .. 10k+10.
SETUP = TWIN + '''
from vestri.ondrel.arbel import Arbel

def complete(cls, count):
    nodes = [cls(f"node{k}") for k in range(count)]
    for k in range(1, count):
        nodes[(k - 1) // 10].add_child(nodes[k])
    return nodes[0]

def chain(cls, depth):
    node = cls("leaf")
    for k in range(depth):
        node = cls(f"node{k}", [node])
    return node

tree = complete(Arbel, 11_000)
plain = complete(PlainArbel, 11_000)
assert str(tree) == str(plain)
bushy = complete(Arbel, 10_000)
deep = chain(Arbel, 450)
'''

SETUP_ANYTREE = SETUP + '''
from anytree import Node, RenderTree
from anytree.render import AsciiStyle
anodes = [Node(f"node{k}") for k in range(11_000)]
for k in range(1, 11_000):
    anodes[k].parent = anodes[(k - 1) // 10]
rendering = RenderTree(anodes[0], style=AsciiStyle())
assert len(rendering.by_attr().splitlines()) == 11_000
'''


def _sizes():
    ns = {}
    exec(SETUP, ns)
    return len(str(ns["deep"])), len(str(ns["bushy"]))


# (name, ours, baseline, setup, target, kind): "faster" means baseline/ours
# must reach target; "per character" compares the time per output character
# (ours/baseline) and must stay below it.
PAIRS = [
    ("str() of 11,000 nodes vs plain Python twin", "str(tree)", "str(plain)", SETUP, 10.0, "faster"),
    ("str() per character, 450-deep chain vs 10,000-node tree", "str(deep)", "str(bushy)", SETUP, 1.25,
     "per character"),
]
try:
    import anytree  # noqa: F401
except ImportError:
    pass
else:
    PAIRS.insert(0, ("str() of 11,000 nodes vs anytree RenderTree text", "str(tree)", "rendering.by_attr()",
                     SETUP_ANYTREE, 10.0, "faster"))


def main():
    runner = pyperf.Runner()
    for name, ours, baseline, setup, _, _ in PAIRS:
        runner.timeit(f"{name} [ours]", ours, setup=setup)
        runner.timeit(f"{name} [baseline]", baseline, setup=setup)


def ratios(path):
    results = {bench.get_name(): bench.mean() for bench in pyperf.BenchmarkSuite.load(path)}
    deep_chars, bushy_chars = _sizes()
    print(f"{'benchmark':58} {'ours':>10} {'baseline':>10} {'ratio':>8}  target")
    for name, _, _, _, target, kind in PAIRS:
        mine, base = results.get(f"{name} [ours]"), results.get(f"{name} [baseline]")
        if mine is None or base is None:
            continue
        if kind == "faster":
            ratio, ok = base / mine, base / mine >= target
            goal = f">= {target}x faster"
        else:
            ratio = (mine / deep_chars) / (base / bushy_chars)
            ok = ratio <= target
            goal = f"<= {target}x the baseline's time per character ({deep_chars:,} vs {bushy_chars:,} chars)"
        print(f"{name:58} {fmt(mine):>10} {fmt(base):>10} {ratio:7.2f}x  {goal}: {'met' if ok else 'MISSED'}")


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
