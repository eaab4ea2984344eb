"""Import helpers of the framework."""

import importlib.metadata

__all__ = ["get_entry_points"]


def get_entry_points(group):
    """Return the entry points installed under ``group``, as a list.

    Each element has ``load()``, which imports and returns the object the
    entry point names, and ``dist``, the distribution that declares it.
    Entry points are found through ``importlib.metadata`` on ``sys.path`` as
    it is at the moment of the call.
    """
    return list(importlib.metadata.entry_points(group=group))
