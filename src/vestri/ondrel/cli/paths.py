"""Paths to values, and how they are written: ``db.replicas[0].host``.

A path is a tuple of mapping keys and `Position`s (list and tuple indexes).
Written, a text key is given as it is when it holds nothing that would read
as part of the path (``.``, ``[``, ``]``, ``"``, white space or ``=``), and
as a JSON string otherwise (``x."a.b"``).  A key that is not text (a number,
``True``, ``None`` or a date, as YAML may give) is written as its text when
that names it alone among its siblings, and in brackets otherwise
(``prices[2.5]``, ``flags[1]`` beside a text key ``'1'``): in a mapping,
brackets name the key that is not text whose text they hold, in a list a
position.  Every path written reads back to the same value.
"""

from __future__ import annotations

import json
import re
from collections.abc import Mapping, MutableMapping
from vestri.ondrel.cli.errors import CommandError, MissingKey

# Names for the type checker only: `typing` is not imported when the command runs.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    # A path: mapping keys and positions from the root to a leaf.
    Path = tuple[Any, ...]
else:
    Path = tuple

_PLAIN = re.compile(r'[^.\[\]"\s=]+')
_TOKEN = re.compile(r'(\.)?(?:"((?:[^"\\]|\\.)*)"|\[((?:"(?:[^"\\]|\\.)*")|[^\]]*)\]|([^.\[\]"]+))')


class Position:
    """A list or tuple position in a path (an int key of a mapping stays an int)."""

    __slots__ = ("index",)

    def __init__(self, index: int) -> None:
        self.index = index

    def __eq__(self, other: object) -> bool:
        return type(other) is Position and other.index == self.index

    def __hash__(self) -> int:
        return hash((Position, self.index))

    def __repr__(self) -> str:
        return f"Position({self.index})"

    def __str__(self) -> str:
        return f"[{self.index}]"


def key_text(key: Any, parent: Any) -> str:
    """`key` as written after the path of its `parent` mapping."""
    if type(key) is str:
        return key if _PLAIN.fullmatch(key) else json.dumps(key, ensure_ascii=False)
    text = str(key)
    if _PLAIN.fullmatch(text) and not _has_text_key(parent, text):
        return text
    return f"[{text}]" if "]" not in text and not text.startswith('"') else f"[{json.dumps(text)}]"


def _has_text_key(parent: Any, text: str) -> bool:
    try:
        return isinstance(parent, dict) and dict.__contains__(parent, text)
    except Exception:
        return False


def dotted(path: Path, root: Any = None) -> str:
    """The written form of `path`; `root` (what the path starts from) is
    needed only when a key is not text."""
    parts = []
    value = root
    for segment in path:
        if type(segment) is Position:
            parts.append(f"[{segment.index}]")
        elif type(segment) is str and _PLAIN.fullmatch(segment):
            parts.append(("." if parts else "") + segment)
        else:
            text = key_text(segment, value)
            parts.append(text if text.startswith("[") or not parts else "." + text)
        if value is not None:
            value = _child(value, segment)
    return "".join(parts)


def _child(value: Any, segment: Any) -> Any:
    try:
        if type(segment) is Position:
            return value[segment.index] if isinstance(value, (list, tuple)) else None
        return dict.__getitem__(value, segment) if isinstance(value, dict) else value[segment]
    except Exception:
        return None


def parse_key(key: str) -> list[tuple[str, str]]:
    """The segments of a written path: ("name", text), ("quoted", text) or
    ("bracket", text).  Raises MissingKey when `key` is no path."""
    segments: list[tuple[str, str]] = []
    at = 0
    while at < len(key):
        match = _TOKEN.match(key, at)
        if match is None:
            raise MissingKey(key)
        dot, quoted, bracket, name = match.groups()
        # A name follows a dot, but for the first; brackets follow directly.
        if (dot is not None) != (bracket is None and at > 0):
            raise MissingKey(key)
        try:
            if quoted is not None:
                segments.append(("quoted", json.loads(f'"{quoted}"')))
            elif bracket is not None:
                segments.append(("bracket", json.loads(bracket) if bracket.startswith('"') else bracket))
            else:
                segments.append(("name", name))
        except ValueError:  # a quoted name with a broken escape
            raise MissingKey(key) from None
        at = match.end()
    if not segments:
        raise MissingKey(key)
    return segments


def _in_mapping(value: Mapping[Any, Any], key: Any) -> bool:
    # A text key with a dot is a plain key of a dict, not a dotted path.
    if isinstance(value, dict):
        return dict.__contains__(value, key)
    return key in value


def _other_key(value: Mapping[Any, Any], text: str) -> Any:
    """The only key of `value` that is not text and whose text is `text`."""
    matches = [k for k in value if type(k) is not str and str(k) == text]
    if len(matches) != 1:
        raise KeyError(text)
    return matches[0]


def resolve(value: Any, kind: str, text: str) -> Any:
    """The path segment that (`kind`, `text`) names in `value`; KeyError if none."""
    if isinstance(value, (list, tuple)):
        if kind != "bracket" or not text.isdigit() or int(text) >= len(value):
            raise KeyError(text)
        return Position(int(text))
    if not isinstance(value, Mapping):
        raise KeyError(text)
    if kind == "quoted":
        if not _in_mapping(value, text):
            raise KeyError(text)
        return text
    if kind == "name" and _in_mapping(value, text):
        return text
    return _other_key(value, text)


def key_path(root: Any, key: str) -> tuple[Path, Any]:
    """The path and value that the written `key` names; MissingKey if none."""
    path: list[Any] = []
    value = root
    for kind, text in parse_key(key):
        try:
            segment = resolve(value, kind, text)
        except KeyError:
            raise MissingKey(key) from None
        path.append(segment)
        value = _child(value, segment) if type(segment) is Position else _get(value, segment)
    return tuple(path), value


def _get(mapping: Any, key: Any) -> Any:
    return dict.__getitem__(mapping, key) if isinstance(mapping, dict) else mapping[key]


def set_path(root: Any, key: str, value: Any, make_level: Any) -> Path:
    """Store `value` at the written `key` below `root`, making the missing
    levels with `make_level()`; returns the path.  CommandError when a value
    stands where a level is needed."""
    segments = parse_key(key)
    path: list[Any] = []
    here = root
    for depth, (kind, text) in enumerate(segments):
        last = depth == len(segments) - 1
        try:
            segment = resolve(here, kind, text)
        except KeyError:
            if isinstance(here, (list, tuple)):
                raise CommandError(f"--set {key}: {dotted(tuple(path), root) or '.'} has no position {text}") from None
            if not isinstance(here, MutableMapping):
                raise CommandError(f"--set {key}: {dotted(tuple(path), root)} is the value {here!r}, "
                                   "not a level") from None
            segment = text
            if not last:
                here[segment] = make_level()
        path.append(segment)
        if last:
            if isinstance(here, tuple):
                raise CommandError(f"--set {key}: {dotted(tuple(path[:-1]), root)} cannot be changed "
                                   "(a tuple)")
            if type(segment) is Position:
                here[segment.index] = value
            elif isinstance(here, dict) and type(segment) is str and "." in segment:
                dict.__setitem__(here, segment, value)
            else:
                here[segment] = value
        else:
            here = here[segment.index] if type(segment) is Position else _get(here, segment)
    return tuple(path)
