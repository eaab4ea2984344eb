"""Read-only properties computed from the class."""

from collections.abc import Callable
from typing import Any, Generic, TypeVar

from typing_extensions import disjoint_base

_T = TypeVar("_T")

# An instance layout of its own: no class can derive from it and from
# another such class at once.
@disjoint_base
class LoftelDescriptor(Generic[_T]):
    func: Callable[[Any], _T]
    def __init__(self, func: Callable[[Any], _T]) -> None: ...
    # Called with the class the attribute is read through, on the class and
    # on its instances alike.
    def __get__(self, obj: object, owner: type[Any]) -> _T: ...

loftel = LoftelDescriptor
