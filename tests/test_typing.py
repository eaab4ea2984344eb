"""The type stubs: one per module, shipped with the marker, and the typed
usage samples in tests/typed/ hold at run time (mypy checks them in CI)."""

import importlib
import pathlib
import runpy

import pytest

import vestri.ondrel
import vestri.utils

MODULES = ["pointel", "configuration", "trellan", "sequara", "logic", "vapora", "arbel", "factory", "loftel"]
PACKAGE_DIR = pathlib.Path(vestri.ondrel.__file__).parent
SAMPLES = pathlib.Path(__file__).parent / "typed"


@pytest.mark.parametrize("package", [vestri.ondrel, vestri.utils])
def test_packages_are_marked_typed(package):
    assert (pathlib.Path(package.__file__).parent / "py.typed").is_file()


@pytest.mark.parametrize("name", MODULES)
def test_every_module_has_a_stub(name):
    assert (PACKAGE_DIR / f"{name}.pyi").is_file()


@pytest.mark.parametrize("name", MODULES)
def test_typed_usage_sample_runs(name):
    runpy.run_path(str(SAMPLES / f"usage_{name}.py"), run_name="__sample__")


def test_stubbed_names_exist_at_run_time():
    # stubtest checks signatures in CI; this catches a stub naming a class
    # that its module does not define, on every stage.
    import ast

    for name in MODULES:
        module = importlib.import_module(f"vestri.ondrel.{name}")
        tree = ast.parse((PACKAGE_DIR / f"{name}.pyi").read_text())
        classes = [node.name for node in tree.body if isinstance(node, ast.ClassDef)]
        assert [c for c in classes if not hasattr(module, c)] == [], name
