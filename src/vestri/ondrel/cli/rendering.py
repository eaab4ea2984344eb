"""The merged configuration as text: a tree, ``path = value`` lines, JSON or YAML.

A leaf is a leaf of the flattened form (`Trellan`): list and tuple positions
are levels, so ``--match`` selects the same leaves in every output form.
Values are written as Python writes them, but for sets, whose members are
written in a stable order.
"""

from __future__ import annotations

import contextlib
import datetime
import gc
import json
import math

import yaml  # loaded with the configuration module in any case
from collections.abc import Callable, Iterator, Mapping
from vestri.ondrel.cli.errors import CommandError, one_line
from vestri.ondrel.cli.paths import Position, dotted, key_text

# Names for the type checker only: `typing` is not imported when the command runs.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from vestri.ondrel.cli.paths import Path

ROOT_LABEL = "."


@contextlib.contextmanager
def collector_paused() -> Iterator[None]:
    """The cyclic garbage collector off while a loaded configuration is
    walked: for the output, and for the origins of a layer.

    Everything made from the configuration on the way to the output (leaves,
    paths, tree nodes, lines) stays reachable until it is printed, and no
    cycle is made, so a collection can free none of it; left on, the
    collector would traverse the growing set of them again and again (on a
    12 MB YAML file, half the time spent after the load).  Reference counting
    frees what becomes garbage as usual; the collector's state is restored on
    the way out, also on an interrupt."""
    if not gc.isenabled():
        yield
        return
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


class Leaf:
    __slots__ = ("path", "raw_path", "value")

    def __init__(self, path: Path, raw_path: tuple[Any, ...], value: Any) -> None:
        self.path = path  # keys and `Position`s
        self.raw_path = raw_path  # the same path as the flattener gave it (IndexMarkers)
        self.value = value


def flatten(config: Any) -> list[Leaf]:
    """The leaves of `config`, in depth-first order."""
    from vestri.ondrel.trellan import IndexMarker, Trellan

    leaves = []
    positions: dict[int, Position] = {}
    for path, value in Trellan(config):
        for key in path:
            if type(key) is IndexMarker:
                keys = []
                for k in path:
                    if type(k) is IndexMarker:
                        k = positions.get(k.index) or positions.setdefault(k.index, Position(k.index))
                    keys.append(k)
                leaves.append(Leaf(tuple(keys), path, value))
                break
        else:
            leaves.append(Leaf(path, path, value))
    return leaves


def rebuild(leaves: list[Leaf], skip: int) -> Any:
    """The nested data that `leaves` describe, below the first `skip`
    elements of their paths (lists and tuples rebuilt)."""
    from vestri.ondrel.trellan import Trellan

    # Every path is given one key on top, so that none begins with a position.
    # The pairs are made before the flattener sees them: an interrupt while
    # they are made stays an interrupt.
    pairs = [(("",) + leaf.raw_path[skip:], leaf.value) for leaf in leaves]
    rebuilt = Trellan()
    rebuilt.extend(pairs)
    return rebuilt.reconstruct()[""]


# Values whose text is their repr, tested by exact type before anything slower.
_REPR_TYPES = frozenset({str, int, float, bool, type(None)})


def value_text(value: Any) -> str:
    if type(value) in _REPR_TYPES:
        return repr(value)
    # An empty level is a Configuration; it reads as the empty mapping it is.
    if isinstance(value, Mapping) and not value:
        return "{}"
    if isinstance(value, (set, frozenset)):
        if not value:
            return repr(value)
        members = ", ".join(sorted(map(value_text, value)))
        return f"{{{members}}}" if type(value) is set else f"{type(value).__name__}({{{members}}})"
    return repr(value)


def render_tree(label: str, leaves: list[Leaf], skip: int, describe: Callable[[Leaf], str], root: Any) -> str:
    """The leaves drawn as a tree under a root named `label`; the first `skip`
    elements of every path lie above the root."""
    from vestri.ondrel.arbel import Arbel

    top = Arbel(label)
    # The leaves come depth first: the levels of one leaf's path are those
    # of the one before, up to where the two paths part.
    stack: list[Any] = [top]  # the nodes of the levels of `previous`
    previous: Path = ()
    texts: dict[Any, str] = {}  # written forms of text keys and positions
    for leaf in leaves:
        full = leaf.path
        path = full[skip:] if skip else full
        last = len(path) - 1
        common = 0
        limit = min(last, len(previous) - 1)
        while common < limit and (path[common] is previous[common] or path[common] == previous[common]):
            common += 1
        if len(stack) > common + 1:
            del stack[common + 1:]
        node = stack[-1]
        for depth in range(common, last):
            child = Arbel(_text(texts, full, skip + depth, root))
            node.add_child(child)
            stack.append(child)
            node = child
        segment = path[last]
        # Most leaves are named by a text key already met.
        text = texts.get(segment) if type(segment) is str else None
        if text is None:
            text = _text(texts, full, skip + last, root)
        node.add_child(f"{text} = {describe(leaf)}")
        previous = path
    return str(top)


def _text(texts: dict[Any, str], path: Path, at: int, root: Any) -> str:
    segment = path[at]
    if type(segment) is str or type(segment) is Position:
        text = texts.get(segment)
        if text is None:
            text = texts[segment] = segment_text(path, at, root)
        return text
    return segment_text(path, at, root)


def segment_text(path: Path, at: int, root: Any) -> str:
    segment = path[at]
    if type(segment) is Position:
        return str(segment)
    if type(segment) is str:
        return key_text(segment, None)
    parent = root
    for key in path[:at]:
        parent = parent[key.index] if type(key) is Position else parent[key]
    return key_text(segment, parent)


# --- JSON and YAML -------------------------------------------------------------------------------


def _json_key(key: Any) -> str:
    if type(key) is str:
        return key
    if isinstance(key, (datetime.date, datetime.time)):
        return key.isoformat()
    if key is None or isinstance(key, (bool, int, float)):
        return json.dumps(key)
    raise TypeError(f"a key of type {type(key).__name__} cannot be written as JSON")


def plain(value: Any, form: str, path: Path = ()) -> Any:
    """`value` with every mapping a dict and every sequence level a list; for
    JSON, keys made text (two keys that would read alike refused) and
    non-finite numbers refused, each with the path it stands at."""
    if isinstance(value, Mapping):
        if form != "json":
            return {key: plain(item, form, path + (key,)) for key, item in value.items()}
        out: dict[str, Any] = {}
        for key, item in value.items():
            try:
                text = _json_key(key)
            except TypeError as exc:
                raise CommandError(f"--format json: {dotted(path + (key,))}: {exc}") from None
            if text in out:
                raise CommandError(f"--format json: {dotted(path) or 'the top level'} has two keys written "
                                   f"{json.dumps(text)} in JSON ({_twin(value, text, key)!r} and {key!r})")
            out[text] = plain(item, form, path + (key,))
        return out
    if isinstance(value, (list, tuple)):
        return [plain(item, form, path + (Position(index),)) for index, item in enumerate(value)]
    if form == "json" and type(value) is float and not math.isfinite(value):
        raise CommandError(f"--format json: {dotted(path)} = {value!r}: JSON has no such number")
    return value


def _twin(mapping: Mapping[Any, Any], text: str, other: Any) -> Any:
    return next(key for key in mapping if key is not other and _json_key(key) == text)


def _json_default(value: Any) -> Any:
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (set, frozenset)):
        return sorted(value, key=value_text)
    raise TypeError(f"a value of type {type(value).__name__} cannot be written as JSON")


class _Dumper(yaml.SafeDumper):
    """PyYAML's safe dumper, writing the members of a set in a stable order."""


def _sorted_set(dumper: yaml.SafeDumper, value: Any) -> yaml.Node:
    return dumper.represent_mapping("tag:yaml.org,2002:set", {item: None for item in sorted(value, key=value_text)})


_Dumper.add_representer(set, _sorted_set)
_Dumper.add_representer(frozenset, _sorted_set)


def dump(value: Any, form: str) -> str:
    data = plain(value, form)
    try:
        if form == "json":
            return json.dumps(data, indent=2, ensure_ascii=False, allow_nan=False, default=_json_default)
        dumper = _Dumper
        text = yaml.dump(data, Dumper=dumper, sort_keys=False, allow_unicode=True, default_flow_style=False)
        # Characters that YAML reads as line breaks (such as U+0085) come back
        # changed when written as they are; such a document is written with
        # escapes instead.
        if any(char in text for char in "\x85\u2028\u2029") and yaml.safe_load(text) != data:
            text = yaml.dump(data, Dumper=dumper, sort_keys=False, default_flow_style=False)
        return text.rstrip("\n")
    except CommandError:
        raise
    except (TypeError, ValueError) as exc:
        raise CommandError(f"--format {form}: {one_line(exc)}") from None
    except Exception as exc:
        raise CommandError(f"--format {form}: {one_line(exc)}") from None
