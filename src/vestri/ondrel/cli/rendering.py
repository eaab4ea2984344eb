"""The merged configuration as text: a tree, ``path = value`` lines, JSON or YAML.

A leaf is a leaf of the flattened form (`Trellan`): list and tuple positions
are levels, so ``--match`` selects the same leaves in every output form.
Values are written as Python writes them, but for sets, whose members are
written in a stable order.
"""

from __future__ import annotations

import datetime
import json
import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

from vestri.ondrel.cli.errors import CommandError, one_line
from vestri.ondrel.cli.paths import Path, Position, dotted, key_text

ROOT_LABEL = "."


@dataclass
class Leaf:
    path: Path  # keys and `Position`s
    raw_path: tuple[Any, ...]  # the same path as the flattener gave it (IndexMarkers)
    value: Any


def flatten(config: Any) -> list[Leaf]:
    """The leaves of `config`, in depth-first order."""
    from vestri.ondrel.trellan import IndexMarker, Trellan

    leaves = []
    for path, value in Trellan(config):
        for key in path:
            if type(key) is IndexMarker:
                leaves.append(Leaf(tuple(Position(k.index) if type(k) is IndexMarker else k for k in path),
                                   path, value))
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


def value_text(value: Any) -> str:
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
    levels: dict[Path, Any] = {(): top}
    for leaf in leaves:
        path = leaf.path[skip:]
        parent = top
        for depth in range(1, len(path)):
            node = levels.get(path[:depth])
            if node is None:
                node = levels[path[:depth]] = Arbel(segment_text(leaf.path, skip + depth - 1, root))
                parent.add_child(node)
            parent = node
        parent.add_child(f"{segment_text(leaf.path, len(leaf.path) - 1, root)} = {describe(leaf)}")
    return str(top)


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


def _yaml_dumper() -> Any:
    import yaml

    class Dumper(yaml.SafeDumper):
        pass

    def sorted_set(dumper: Any, value: Any) -> Any:
        return dumper.represent_mapping("tag:yaml.org,2002:set",
                                        {item: None for item in sorted(value, key=value_text)})

    Dumper.add_representer(set, sorted_set)
    Dumper.add_representer(frozenset, sorted_set)
    return Dumper


def dump(value: Any, form: str) -> str:
    data = plain(value, form)
    try:
        if form == "json":
            return json.dumps(data, indent=2, ensure_ascii=False, allow_nan=False, default=_json_default)
        import yaml

        dumper = _yaml_dumper()
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
