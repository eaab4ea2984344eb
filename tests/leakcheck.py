"""Repeat an operation and fail if the interpreter's allocated blocks grow.

Used on every class: a reference leaked per call shows up as steady growth of
``sys.getallocatedblocks()`` over many repetitions, failing calls included.
Under ``PYTHONMALLOC=malloc`` (the sanitizer run) the interpreter does not
count blocks, and the check has nothing to measure; AddressSanitizer watches
memory there instead.
"""

import gc
import sys


def _blocks():
    gc.collect()
    return sys.getallocatedblocks()


def assert_no_growth(operation, *, repeat=20_000, rounds=3, slack=None):
    """Run ``operation()`` ``repeat`` times per round and compare rounds.

    Exceptions raised by ``operation`` are swallowed, so that failing paths
    are checked as well.  The first round warms caches; a leak of one block
    per call grows every later round by about ``repeat`` blocks, far above
    the ``slack`` allowed for caches and free lists.
    """
    if slack is None:
        slack = max(200, repeat // 100)

    def run():
        for _ in range(repeat):
            try:
                operation()
            except Exception:
                pass

    def growth():
        before = _blocks()
        for _ in range(rounds):
            run()
        return _blocks() - before

    run()
    # A leak grows every measurement alike; a cache that some other code
    # (the test's own machinery, a library) fills once grows only one, so a
    # first measurement over the slack is taken again before it counts.
    grown = growth()
    if grown > slack:
        grown = growth()
    assert grown <= slack, f"{grown} blocks more after {rounds * repeat} calls, twice"
