"""Import helpers of the framework.

`importlib.metadata` is imported when entry points are first asked for, not
with this module: it is the largest part of the start-up of a program that
never asks (the ``ondrel`` command without an ``entrypoint:`` source).
"""

from __future__ import annotations

# Names for the type checker only: `typing` is not imported either.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import importlib.metadata
    from typing import Any

__all__ = ["get_entry_points"]

_named_distribution: Any = None  # the class, made when first needed


def _named(dist: importlib.metadata.Distribution) -> importlib.metadata.Distribution:
    """`dist` wrapped so that it reads as its name and version."""
    global _named_distribution
    if _named_distribution is None:
        _named_distribution = _define_named_distribution()
    named: importlib.metadata.Distribution = _named_distribution(dist)
    return named


def _define_named_distribution() -> Any:
    from vestri.utils._named_distribution import _NamedDistribution

    return _NamedDistribution


def get_entry_points(group: str) -> list[importlib.metadata.EntryPoint]:
    """Return the entry points installed under ``group``, as a list.

    Each element has ``load()``, which imports and returns the object the
    entry point names, and ``dist``, the distribution that declares it, whose
    text is the distribution's name and version (``"acme-plugins 1.2"``).
    Entry points are found through ``importlib.metadata`` on ``sys.path`` as
    it is at the moment of the call.
    """
    import importlib.metadata

    found = []
    for ep in importlib.metadata.entry_points(group=group):
        if ep.dist is not None:
            named = importlib.metadata.EntryPoint(ep.name, ep.value, ep.group)
            # Entry points are immutable; this is how importlib.metadata itself
            # ties one to its distribution.
            vars(named).update(dist=_named(ep.dist))
            ep = named
        found.append(ep)
    return found
