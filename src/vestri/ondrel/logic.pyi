"""Logic expressions (And, Or, Not) over regular expressions and callables."""

import logging as logging
import re as re
from collections.abc import Callable
from typing import Any, ClassVar

from typing_extensions import disjoint_base

from vestri.utils.strings import decode_cli_string as decode_cli_string

__all__ = ["And", "Or", "Not"]

logger: logging.Logger

# An instance layout of its own: no class can derive from it and from
# another such class at once.
@disjoint_base
class BaseLogic:
    expressions: list[re.Pattern[str] | Callable[..., Any]]
    # A str is a regular expression searched in the text of each value; a
    # callable is called with each value; a logic object with all of them.
    def __init__(self, *expressions: str | Callable[..., Any]) -> None: ...
    def __call__(self) -> bool: ...  # the base class tests nothing: NotImplementedError
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class And(BaseLogic):
    def __call__(self, *items: object) -> bool: ...

class Or(BaseLogic):
    def __call__(self, *items: object) -> bool: ...

class Not(BaseLogic):
    def __call__(self, *items: object) -> bool: ...

def logic_str(string: str | bytes | bytearray) -> BaseLogic: ...
