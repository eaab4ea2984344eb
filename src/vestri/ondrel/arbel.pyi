"""A named node with children that prints as a tree."""

from typing import Any

class Arbel:
    name: str
    # Children are usually Arbel nodes; any object is drawn by its str().
    children: list[Any]
    def __init__(self, name: str, children: list[Any] | None = None) -> None: ...
    def add_child(self, item: object) -> None: ...
