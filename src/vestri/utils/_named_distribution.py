"""A distribution that reads as its name and version (see `import_utils`).

Kept apart so that `importlib.metadata` is imported only when entry points
are asked for.
"""

import importlib.metadata
import os
from typing import Any


class _NamedDistribution(importlib.metadata.Distribution):
    """A distribution that reads as its name and version.

    It answers everything through the distribution it wraps; only its text
    differs, so that a log line naming it says "acme-plugins 1.2" rather than
    the address of a distribution object.
    """

    def __init__(self, dist: importlib.metadata.Distribution) -> None:
        self._dist = dist

    def read_text(self, filename: str) -> str | None:
        return self._dist.read_text(filename)

    def locate_file(self, path: str | os.PathLike[str]) -> Any:
        return self._dist.locate_file(path)

    def __getattr__(self, name: str) -> Any:
        # Attributes particular to the wrapped kind of distribution (such as
        # a path distribution's `_path`) stay reachable.
        return getattr(self._dist, name)

    def __str__(self) -> str:
        try:
            metadata = self._dist.metadata
            name, version = metadata.get("Name"), metadata.get("Version")
        except Exception:  # unreadable metadata: fall back to the object's own text
            name = version = None
        if not name:
            return str(self._dist)
        return f"{name} {version}" if version else name

    def __repr__(self) -> str:
        return f"<distribution {self}>"
