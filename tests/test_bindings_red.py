"""A module's classes reached by code that runs while the module's own body runs."""

import textwrap

import pytest

from outcomes import run_python

# A stand-in for a standard module the body reads an attribute of after it has
# made its classes: reading that attribute reaches the classes (through the
# collector) and uses them before the body is done.
EARLY_USE = """
    import gc, importlib, sys, types
    real = importlib.import_module({stand_in!r})

    class Early(types.ModuleType):
        def __getattr__(self, name):
            if name == {attribute!r}:
                for cls in [o for o in gc.get_objects() if isinstance(o, type) and o.__name__ == {cls!r}]:
                    try:
                        {use}
                    except Exception:
                        pass
            return getattr(real, name)

    sys.modules[{stand_in!r}] = Early({stand_in!r})
    try:
        import vestri.ondrel.{module}
    finally:
        sys.modules[{stand_in!r}] = real
    print("imported")
"""


@pytest.mark.parametrize("module, stand_in, attribute, cls, use", [
    ("logic", "re", "Pattern", "And", "cls(cls(callable))('v')"),
    ("pointel", "itertools", "chain", "NestedPointel", "cls.update(cls.__new__(cls), {'a': 1}, b=2)"),
    ("trellan", "collections.abc", "Generator", "Trellan", "cls({'a': {'b': 1}})"),
    ("vapora", "weakref", "ReferenceType", "Vapora", "cls([cls])"),
])
def test_classes_used_while_their_module_body_runs(module, stand_in, attribute, cls, use):
    code = textwrap.dedent(EARLY_USE).format(module=module, stand_in=stand_in, attribute=attribute, cls=cls,
                                              use=use)
    result = run_python(code)
    assert result.returncode == 0 and result.stdout == "imported\n", result.stderr[-2000:]
