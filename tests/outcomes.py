"""Comparing what calls do, results and failures alike."""


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
