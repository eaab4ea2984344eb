"""Vapora against weakref.WeakSet and its plain-Python twin (the modes:
pairs.py; `--memory` prints the bytes per element).

The twin (benchmarks/vapora_twin.py) is the same class written plainly in
Python.
"""

import gc
import tracemalloc

from pairs import Pair, main

SETUP = """
import weakref
from vestri.ondrel.vapora import Vapora
import vapora_twin
class Obj:
    pass
objs = [Obj() for _ in range(1000)]
small = objs[:10]
x = small[-1]
v, ws, twin = Vapora(objs), weakref.WeakSet(objs), vapora_twin.Vapora(objs)
v10, ws10, twin10 = Vapora(small), weakref.WeakSet(small), vapora_twin.Vapora(small)
"""

PAIRS = [
    Pair("Vapora(objs) vs WeakSet(objs), 1,000 objects", "Vapora(objs)", "weakref.WeakSet(objs)", 2.0, "faster"),
    Pair("list(v) vs list(ws), 1,000 objects", "list(v)", "list(ws)", 3.0, "faster"),
    Pair("x in v vs x in ws, 10 objects", "x in v10", "x in ws10", 2.0, "faster"),
    Pair("Vapora(objs) vs the twin", "Vapora(objs)", "vapora_twin.Vapora(objs)", 5.0, "faster"),
    Pair("list(v) vs the twin", "list(v)", "list(twin)", 5.0, "faster"),
    Pair("x in v vs the twin, 10 objects", "x in v10", "x in twin10", 5.0, "faster"),
    Pair("v.count(x) vs the twin, 10 objects", "v10.count(x)", "twin10.count(x)", 5.0, "faster"),
    Pair("v[5] vs the twin", "v10[5]", "twin10[5]", 5.0, "faster"),
    Pair("v.append(x); v.pop() vs the twin", "v10.append(x); v10.pop()", "twin10.append(x); twin10.pop()", 5.0,
         "faster"),
    Pair("v[2:8] vs the twin", "v10[2:8]", "twin10[2:8]", 5.0, "faster"),
    Pair("v.sort(key=id) vs the twin, 1,000 objects", "v.sort(key=id)", "twin.sort(key=id)", 5.0, "faster"),
]
# Every element dies at once, as when the list holding them is freed (from
# its end): the clean-up must stay linear in the number of elements.
PAIRS += [
    Pair(f"all {n:,} elements die: Vapora vs WeakSet (with making both)",
         f"objs = [Obj() for _ in range({n})]; v = Vapora(objs); del objs",
         f"objs = [Obj() for _ in range({n})]; ws = weakref.WeakSet(objs); del objs", 1.0, "faster")
    for n in (1_000, 10_000, 100_000)
]


def memory(count=100_000):
    """Bytes that holding `count` objects costs each container, per element."""
    import weakref

    import vapora_twin
    from vestri.ondrel.vapora import Vapora

    class Obj:
        pass

    objs = [Obj() for _ in range(count)]
    print(f"{'container':24} bytes per element ({count:,} elements)")
    for name, make in [("Vapora", Vapora), ("weakref.WeakSet", weakref.WeakSet),
                       ("twin (plain Python)", vapora_twin.Vapora), ("list (strong refs)", list)]:
        gc.collect()
        tracemalloc.start()
        container = make(objs)
        size = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        del container
        print(f"{name:24} {size / count:8.1f}")


if __name__ == "__main__":
    main(PAIRS, SETUP, {"--memory": memory})
