"""MetaClassFactory against calling classes directly, each pair measured in one run.

    python benchmarks/bench_factory.py -o factory.json       # add --fast for a quick look
    python benchmarks/bench_factory.py --ratios factory.json # the table of ratios

A switched call (`Base(1, 2, **choice)` with `choice = {'class': Sub}`) is
compared with calling the subclass of an ordinary class directly, an
unswitched one (`Base(1, 2)`) with calling the ordinary class. The last pair
times the same metaclass written plainly in Python against ours.
"""

import sys

import pyperf

SETUP = """
from vestri.ondrel.factory import MetaClassFactory

class Plain:
    def __init__(self, a, b):
        self.a = a

class PlainSub(Plain):
    pass

class Base(metaclass=MetaClassFactory):
    def __init__(self, a, b):
        self.a = a

class Sub(Base):
    pass

class PyMetaClassFactory(type):
    def __call__(cls, *args, **kwargs):
        if 'class' in kwargs:
            chosen = kwargs['class']
            if not issubclass(chosen, cls):
                raise TypeError(str(chosen) + ' is not a subclass of ' + str(cls))
            del kwargs['class']
            cls = chosen
        return super(PyMetaClassFactory, cls).__call__(*args, **kwargs)

class PyBase(metaclass=PyMetaClassFactory):
    def __init__(self, a, b):
        self.a = a

class PySub(PyBase):
    pass

choice = {'class': Sub}
py_choice = {'class': PySub}
"""

# (name, ours, baseline, target, kind): "within" means ours/baseline must stay
# at or below target; "faster" means baseline/ours must reach it (None: no target).
PAIRS = [
    ("switched Base(1, 2, **{'class': Sub}) vs PlainSub(1, 2)", "Base(1, 2, **choice)", "PlainSub(1, 2)", 1.5,
     "within"),
    ("unswitched Base(1, 2) vs Plain(1, 2)", "Base(1, 2)", "Plain(1, 2)", 1.2, "within"),
    ("switched, vs the Python twin", "Base(1, 2, **choice)", "PyBase(1, 2, **py_choice)", None, "faster"),
    ("unswitched, vs the Python twin", "Base(1, 2)", "PyBase(1, 2)", None, "faster"),
]


def main():
    runner = pyperf.Runner()
    for name, ours, baseline, _, _ in PAIRS:
        runner.timeit(f"{name} [ours]", ours, setup=SETUP)
        runner.timeit(f"{name} [baseline]", baseline, setup=SETUP)


def ratios(path, pairs=PAIRS):
    results = {bench.get_name(): bench.mean() for bench in pyperf.BenchmarkSuite.load(path)}
    print(f"{'benchmark':58} {'ours':>10} {'baseline':>10} {'ratio':>8}  target")
    for name, _, _, target, kind in pairs:
        mine, base = results.get(f"{name} [ours]"), results.get(f"{name} [baseline]")
        if mine is None or base is None:
            continue
        if kind == "within":
            ratio, goal = mine / base, f"<= {target}x the baseline's time: {'met' if mine / base <= target else 'MISSED'}"
        else:
            ratio = base / mine
            goal = f">= {target}x faster: {'met' if ratio >= target else 'MISSED'}" if target else "(faster by)"
        print(f"{name:58} {fmt(mine):>10} {fmt(base):>10} {ratio:7.2f}x  {goal}")


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
