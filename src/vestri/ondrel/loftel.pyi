"""Read-only properties computed from the class."""

from collections.abc import Callable
from typing import Any, Generic, TypeVar

_T = TypeVar("_T")

class LoftelDescriptor(Generic[_T]):
    func: Callable[[Any], _T]
    def __init__(self, func: Callable[[Any], _T]) -> None: ...
    # Called with the class the attribute is read through, on the class and
    # on its instances alike.
    def __get__(self, obj: object, owner: type[Any]) -> _T: ...

loftel = LoftelDescriptor
