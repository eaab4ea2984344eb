"""Comparing what calls do, results and failures alike."""

import subprocess
import sys
import threading


def error_of(call):
    """The type and text of the exception `call()` raises, or None."""
    try:
        call()
    except Exception as exc:  # noqa: BLE001 - the exception is the result
        return type(exc), str(exc)
    return None


def twin(qualname, params):
    """A Python function with the given parameters and qualified name, whose
    argument errors are the interpreter's own texts for such a function."""
    name = qualname.rsplit(".", 1)[-1]
    ns = {}
    exec(f"def {name}({params}): pass", ns)
    func = ns[name]
    func.__code__ = func.__code__.replace(co_qualname=qualname)
    func.__qualname__ = qualname
    return func


def in_small_thread(kib, work):
    """Runs `work()` in a thread whose stack is `kib` KiB: its result, or
    the exception it raised (BaseException included), as the outcome."""
    outcome = {}

    def run():
        try:
            outcome["result"] = work()
        except BaseException as exc:  # reported to the caller's thread
            outcome["error"] = exc

    previous = threading.stack_size(kib * 1024)
    try:
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    return outcome


def run_python(code, timeout=300):
    """Runs `code` in a child interpreter (so that a crash shows as one): the
    completed process, output captured as text."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)
