"""Settings shared by every test module.

Hypothesis' timing checks (the per-example deadline and the too-slow health
check) are switched off: the suite runs on busy two-core machines and, in
one stage of scripts/test.sh, under the sanitizers, where the time an example
takes says nothing about its correctness.  Everything else keeps the active
profile's values (under CI=true that is Hypothesis' derandomized "ci"
profile).  `pytest --hypothesis-profile=NAME` still overrides this.

A test that deletes a module-level name of the package and puts it back
(monkeypatch does) leaves it last in the namespace: the body order is put
back after each test, for the checks of that order.

The `install_distribution` fixture installs a distribution with entry points
for the test that asks for it.
"""

import importlib
import os
import sys

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "vestri",
    parent=settings.default,
    deadline=None,
    suppress_health_check=[*settings.default.suppress_health_check, HealthCheck.too_slow],
)
settings.load_profile("vestri")


@pytest.fixture
def install_distribution(tmp_path, monkeypatch):
    """`install_distribution(name, entry_points, module, source)` writes an
    installed distribution `name` 1.0 with the given entry_points.txt text and
    its module, puts it first on sys.path for this test, and returns the
    environment (PYTHONPATH) under which a child process finds it too."""
    modules = []

    def install(name, entry_points, module, source):
        info = tmp_path / f"{name.replace('-', '_')}-1.0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n")
        (info / "entry_points.txt").write_text(entry_points)
        (tmp_path / f"{module}.py").write_text(source)
        modules.append(module)
        monkeypatch.syspath_prepend(str(tmp_path))
        importlib.invalidate_caches()
        return {"PYTHONPATH": os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))}

    yield install
    for module in modules:
        sys.modules.pop(module, None)


@pytest.fixture(autouse=True)
def _package_namespaces_keep_their_order():
    namespaces = [(vars(m), list(vars(m))) for name, m in list(sys.modules.items()) if name.startswith("vestri.")]
    yield
    for namespace, order in namespaces:
        keys = list(namespace)
        if keys != order and sorted(keys) == sorted(order):
            items = {key: namespace[key] for key in order}
            namespace.clear()
            namespace.update(items)
