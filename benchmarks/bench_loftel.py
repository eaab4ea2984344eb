"""Class properties against classmethod calls and property reads, each pair measured in one run.

    python benchmarks/bench_loftel.py -o loftel.json       # add --fast for a quick look
    python benchmarks/bench_loftel.py --ratios loftel.json # the table of ratios

A read on the class is compared with calling a classmethod that does the
same work, a read on an instance with reading a `property`. The last pairs
time the same descriptor written plainly in Python against ours.
"""

import sys

import pyperf

from bench_factory import ratios as print_ratios

SETUP = """
from vestri.ondrel.loftel import loftel

class PyLoftel:
    def __init__(self, func):
        self.func = func

    def __get__(self, obj, owner):
        return self.func(owner)

class C:
    @loftel
    def ours(cls):
        return 100

    @classmethod
    def method(cls):
        return 100

    @property
    def prop(self):
        return 100

    @PyLoftel
    def twin(cls):
        return 100

c = C()
"""

PAIRS = [
    ("C.value vs C.method() (classmethod)", "C.ours", "C.method()", 1.2, "within"),
    ("c.value vs c.prop (property) on an instance", "c.ours", "c.prop", 2.5, "within"),
    ("C.value vs the Python twin", "C.ours", "C.twin", None, "faster"),
    ("c.value vs the Python twin", "c.ours", "c.twin", None, "faster"),
]


def main():
    runner = pyperf.Runner()
    for name, ours, baseline, _, _ in PAIRS:
        runner.timeit(f"{name} [ours]", ours, setup=SETUP)
        runner.timeit(f"{name} [baseline]", baseline, setup=SETUP)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--ratios":
        print_ratios(sys.argv[2], PAIRS)
    else:
        main()
