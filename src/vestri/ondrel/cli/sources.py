"""Sources: what each one names, reading it, and its mistakes as one line.

A source is a file (INI, YAML, JSON or TOML, by its suffix or ``--type``),
standard input (``-``), an entry-point group (``entrypoint:GROUP``) or the
environment variables under a prefix (``env:PREFIX``).  Every file is read
and parsed once here; what is merged into the configuration is what was
parsed, so a mistake is named with its file, line and column, which the
loaders' own exceptions do not always do.
"""

from __future__ import annotations

import configparser
import contextlib
import errno
import json
import os
import re
import sys
from collections.abc import Iterator
from vestri.ondrel.cli.errors import CommandError, one_line

# Names for the type checker only: `typing` is not imported when the command runs.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

ENTRYPOINT_PREFIX = "entrypoint:"
ENV_PREFIX = "env:"
STDIN = "-"
SUFFIXES = {".ini": "ini", ".cfg": "ini", ".conf": "ini", ".yaml": "yaml", ".yml": "yaml",
            ".json": "json", ".toml": "toml"}
TYPES = ("ini", "yaml", "json", "toml")

MAX_VALUES_VARIABLE = "ONDREL_MAX_VALUES"
DEFAULT_MAX_VALUES = 200_000
_MERGE_TAG = "tag:yaml.org,2002:merge"
_BOM = b"\xef\xbb\xbf"


class Source:
    def __init__(self, text: str, kind: str, target: str) -> None:
        self.text = text  # as given on the command line
        self.kind = kind  # "ini", "yaml", "json", "toml", "entrypoint" or "env"
        self.target = target  # the file name ("-" for standard input), the entry-point group or the prefix

    @property
    def name(self) -> str:
        """The source as messages name it."""
        return "<stdin>" if self.target == STDIN and self.kind in TYPES else self.text


def parse_source(text: str, forced_type: str | None = None) -> Source:
    if text.startswith(ENTRYPOINT_PREFIX):
        group = text[len(ENTRYPOINT_PREFIX):]
        if not group:
            raise CommandError(f"{text}: no entry-point group named (write entrypoint:GROUP)")
        from vestri.utils.import_utils import get_entry_points

        if not get_entry_points(group):
            raise CommandError(f"{text}: no entry points are installed in the group {group!r}")
        return Source(text, "entrypoint", group)
    if text.startswith(ENV_PREFIX):
        prefix = text[len(ENV_PREFIX):]
        if not prefix:
            raise CommandError(f"{text}: no prefix named (write env:PREFIX, e.g. env:SHOP for SHOP_SERVER__PORT)")
        return Source(text, "env", prefix)
    if text == STDIN:
        return Source(text, forced_type or "yaml", STDIN)
    try:
        os.stat(text)
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            raise CommandError(f"{text}: a loop of symbolic links") from None
        if os.path.lexists(text) and exc.errno == errno.ENOENT:
            raise CommandError(f"{text}: broken symbolic link") from None
        if exc.errno == errno.ENOENT:
            raise CommandError(f"{text}: no such file") from None
        raise CommandError(f"{text}: {exc.strerror or one_line(exc)}") from None
    if os.path.isdir(text):
        raise CommandError(f"{text}: is a directory")
    if not os.path.isfile(text):
        raise CommandError(f"{text}: not a regular file")
    kind = forced_type or SUFFIXES.get(os.path.splitext(text)[1].lower())
    if kind is None:
        raise CommandError(f"{text}: unknown type of file (expected .ini, .cfg, .conf, .yaml, .yml, .json "
                           "or .toml, or give one with --type)")
    return Source(text, kind, text)


def parse_side(text: str, forced_type: str | None = None) -> list[Source]:
    """One side of `diff`: a source, or several joined with '+' (a file whose
    own name holds a '+' is taken whole)."""
    if "+" in text and not os.path.isfile(text):
        return [parse_source(part, forced_type) for part in text.split("+")]
    return [parse_source(text, forced_type)]


@contextlib.contextmanager
def reading(name: str) -> Iterator[None]:
    """Turns the errors of opening, reading and decoding `name` into one line."""
    try:
        yield
    except UnicodeDecodeError as exc:
        raise CommandError(f"{name}: cannot be read as {exc.encoding} text (byte {exc.start}: {exc.reason})") from None
    except OSError as exc:
        raise CommandError(f"{name}: {exc.strerror or one_line(exc)}") from None


_stdin_bytes: bytes | None = None


def read_bytes(source: Source) -> bytes:
    global _stdin_bytes
    with reading(source.name):
        if source.target == STDIN:
            if _stdin_bytes is None:
                _stdin_bytes = sys.stdin.buffer.read()
            return _stdin_bytes
        with open(source.target, "rb") as stream:
            return stream.read()


def read_text(source: Source) -> str:
    """The text of a file, decoded as the loaders decode it (the locale's
    encoding); a file that begins with a UTF-8 byte-order mark is UTF-8."""
    data = read_bytes(source)
    with reading(source.name):
        if data.startswith(_BOM):
            text = data[len(_BOM):].decode("utf-8")
        else:
            import locale

            text = data.decode(locale.getpreferredencoding(False))
    # As a file opened in text mode reads: every line ends in '\n'.
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return text


# --- INI -----------------------------------------------------------------------------------------

_dialect: dict[str, Any] | None = None


class _RecordingParser(configparser.ConfigParser):
    """A parser that notes the keyword arguments it is made with."""

    seen: dict[str, Any] = {}

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        _RecordingParser.seen = dict(kwargs)
        super().__init__(*args, **kwargs)


class _ConfigparserProbe:
    """Stands in for the `configparser` module of the configuration module."""

    DEFAULTSECT = configparser.DEFAULTSECT
    ConfigParser = _RecordingParser


def ini_dialect() -> dict[str, Any]:
    """The keyword arguments with which `Configuration.load_cfgs` makes its
    parser, as it makes it: asked of the loader itself by standing in for
    the `configparser` module of the configuration module for one call
    without files."""
    global _dialect
    if _dialect is None:
        from vestri.ondrel import configuration as module

        real = module.configparser
        module.configparser = _ConfigparserProbe  # type: ignore[assignment]
        try:
            module.Configuration().load_cfgs()
        finally:
            module.configparser = real
        _dialect = _RecordingParser.seen
    return _dialect


def new_parser() -> configparser.ConfigParser:
    return configparser.ConfigParser(**ini_dialect())


def read_ini(source: Source) -> configparser.ConfigParser:
    """The file parsed alone, with the loader's dialect."""
    parser = new_parser()
    text = read_text(source)
    try:
        parser.read_string(text, source=source.name)
    except configparser.Error as exc:
        raise CommandError(ini_error_text(source.name, exc)) from None
    return parser


def ini_error_text(name: str, exc: configparser.Error) -> str:
    if isinstance(exc, configparser.MissingSectionHeaderError):
        return f"{name}, line {exc.lineno}: {exc.line.strip()!r} comes before any [section] header"
    if isinstance(exc, configparser.ParsingError):
        lineno, line = exc.errors[0]
        if sys.version_info < (3, 13):  # older parsers keep the repr of the line
            import ast

            line = ast.literal_eval(line)
        more = f" (and {len(exc.errors) - 1} more such lines)" if len(exc.errors) > 1 else ""
        return (f"{name}, line {lineno}: cannot parse {line.strip()!r}: expected 'name = value', "
                f"a [section] header or a '#' comment{more}")
    if isinstance(exc, configparser.DuplicateOptionError):
        return f"{name}, line {exc.lineno}: option {exc.option!r} of section [{exc.section}] is set twice"
    if isinstance(exc, configparser.DuplicateSectionError):
        return f"{name}, line {exc.lineno}: section [{exc.section}] appears twice"
    return f"{name}: {one_line(exc)}"


def ini_line(source: Source, section: str, option: str) -> int | None:
    """The line of `file` that sets `option` in `section` (for --history)."""
    current = None
    for number, line in enumerate(read_text(source).splitlines(), 1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#") or line[:1].isspace():
            continue
        if stripped.startswith("[") and "]" in stripped:
            current = stripped[1:stripped.index("]")]
        elif current == section and "=" in line and line.split("=", 1)[0].strip().lower() == option:
            return number
    return None


# --- YAML ----------------------------------------------------------------------------------------

# Text that PyYAML's native parser reads otherwise than its Python parser,
# which `yaml.safe_load` is: control characters, the bare tag '!', a
# byte-order mark, line separators, characters outside the basic plane.
_NOT_NATIVE = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f!\x7f-\x9f\u2028\u2029\ufeff\ud800-\udfff\ufffe-\U0010ffff]")


def _may_have_anchor(text: str) -> bool:
    """Whether an anchor (&name) may begin somewhere in `text`: at the start,
    after white space, or after a flow indicator ('[', '{', ',', and ':' in a
    flow mapping).  Text without one has no alias, and is no larger composed
    than written; an '&' inside a value ("a=1&b=2") is not one.  (A search
    for the '&' signs themselves: a regular expression that looks behind each
    character costs a hundred times more.)"""
    at = text.find("&")
    while at >= 0:
        if at == 0 or text[at - 1].isspace() or text[at - 1] in "[{,:\ufeff":
            return True
        at = text.find("&", at + 1)
    return False


def yaml_error_text(name: str, exc: Exception) -> str:
    import yaml

    if isinstance(exc, yaml.MarkedYAMLError) and exc.problem_mark is not None:
        mark = exc.problem_mark
        context = f" ({exc.context})" if exc.context else ""
        return f"{name}, line {mark.line + 1}, column {mark.column + 1}: {exc.problem}{context}"
    return f"{name}: {one_line(exc)}"


def alias_expansion(name: str, root: Any) -> int:
    """How many values the aliases (and merge keys) of the document under
    `root` add once expanded: the values of the expanded tree (keys, scalars,
    lists and mappings) less those written out.  Each node is visited once,
    so the count costs what the document costs to compose, however far its
    aliases would expand."""
    import yaml

    scalar, sequence = yaml.ScalarNode, yaml.SequenceNode
    if isinstance(root, scalar):
        return 0
    sizes: dict[Any, int] = {}  # a list or mapping: the values of its expanded tree
    written = 0
    open_nodes: set[Any] = set()  # the lists and mappings being counted: the path to the root
    stack: list[Any] = [root]  # nodes to count, and (node,) once its children are counted
    while stack:
        node = stack.pop()
        if type(node) is not tuple:
            if node in sizes:
                continue
            if node in open_nodes:
                raise CommandError(f"{name}: an alias refers to a node that contains it, "
                                   "so the configuration would never end")
            open_nodes.add(node)
            stack.append((node,))
            children = node.value if isinstance(node, sequence) else [item for pair in node.value for item in pair]
            stack.extend(child for child in children if not isinstance(child, scalar))
            continue
        (node,) = node
        open_nodes.discard(node)
        size = own = 1
        if isinstance(node, sequence):
            for item in node.value:
                if isinstance(item, scalar):
                    own += 1
                else:
                    size += sizes[item]
        else:
            for key_node, value_node in node.value:
                if key_node.tag == _MERGE_TAG:  # the entries of every mapping merged in
                    merged = value_node.value if isinstance(value_node, sequence) else [value_node]
                    size += sum(sizes[item] - 1 for item in merged if not isinstance(item, scalar))
                    continue
                for item in (key_node, value_node):
                    if isinstance(item, scalar):
                        own += 1
                    else:
                        size += sizes[item]
        sizes[node] = size + own - 1
        written += own
    return sizes[root] - written


def _bad_scalar(loader: Any, root: Any) -> Any:
    """The first scalar under `root` that its constructor refuses, if any."""
    import yaml

    seen: set[int] = set()
    stack = [root]
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        if isinstance(node, yaml.ScalarNode):
            try:
                loader.construct_object(node, deep=True)
            except Exception:
                return node
        elif isinstance(node, yaml.SequenceNode):
            stack.extend(reversed(node.value))
        else:
            stack.extend(item for pair in reversed(node.value) for item in reversed(pair))
    return None


class YamlDocument:
    def __init__(self, data: Any, root: Any) -> None:
        self.data = data  # None for an empty document
        self.root = root  # the composed node graph, for --history


def read_yaml(source: Source, max_values: int) -> YamlDocument:
    """The document as `yaml.safe_load` builds it, parsed once; refused when
    its aliases expand it by more than `max_values` values."""
    import yaml

    text = read_text(source)
    name = source.name
    native = getattr(yaml, "CSafeLoader", None)
    loader_class = native if native is not None and not _NOT_NATIVE.search(text) else yaml.SafeLoader
    loader = loader_class(text)
    try:
        try:
            node = loader.get_single_node()
        except yaml.YAMLError as exc:
            raise CommandError(yaml_error_text(name, exc)) from None
        if node is not None and _may_have_anchor(text) and alias_expansion(name, node) > max_values:
            raise CommandError(f"{name}: its aliases expand the document by more than {max_values:,} "
                               f"values (raise the bound with --max-values or {MAX_VALUES_VARIABLE})")
        try:
            data = loader.construct_document(node) if node is not None else None
        except yaml.YAMLError as exc:
            raise CommandError(yaml_error_text(name, exc)) from None
        except (ValueError, OverflowError, TypeError) as exc:
            # A scalar that its tag's constructor refuses (2024-02-30, !!int x).
            bad = _bad_scalar(loader_class(""), node)
            if bad is None:
                raise CommandError(f"{name}: {one_line(exc)}") from None
            mark = bad.start_mark
            raise CommandError(f"{name}, line {mark.line + 1}, column {mark.column + 1}: cannot read "
                               f"{bad.value[:40]!r} as {bad.tag.rpartition(':')[2]}: {one_line(exc)}") from None
    finally:
        loader.dispose()
    if data is not None and not isinstance(data, dict):
        raise CommandError(f"{name}: the top level is a {type(data).__name__}; a mapping of settings was expected")
    return YamlDocument(data, node)


# --- JSON and TOML ------------------------------------------------------------------------------


def read_json(source: Source) -> Any:
    text = read_text(source)
    if not text.strip():
        return None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise CommandError(f"{source.name}, line {exc.lineno}, column {exc.colno}: {exc.msg}") from None
    except RecursionError:
        raise CommandError(f"{source.name}: nested too deeply") from None
    return _top_mapping(source, data)


_TOML_POSITION = re.compile(r"(.*) \(at line (\d+), column (\d+)\)$")


def read_toml(source: Source) -> Any:
    import tomllib

    text = read_text(source)
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        message = one_line(exc)
        where = _TOML_POSITION.match(message)
        if where:
            raise CommandError(f"{source.name}, line {where[2]}, column {where[3]}: {where[1]}") from None
        raise CommandError(f"{source.name}: {message}") from None
    return data or None


def _top_mapping(source: Source, data: Any) -> Any:
    if not isinstance(data, dict):
        raise CommandError(f"{source.name}: the top level is a {type(data).__name__}; "
                           "a mapping of settings was expected")
    return data


# --- the environment ----------------------------------------------------------------------------


def read_env(source: Source) -> tuple[dict[str, Any], dict[tuple[str, ...], str]]:
    """The variables PREFIX_A__B=... as {'a': {'b': ...}}, and for each path
    the variable that gave it."""
    start = source.target + "_"
    data: dict[str, Any] = {}
    names: dict[tuple[str, ...], str] = {}
    for variable in sorted(os.environ):
        if not variable.startswith(start) or len(variable) == len(start):
            continue
        path = tuple(variable[len(start):].lower().split("__"))
        if "" in path:
            raise CommandError(f"{source.text}: {variable}: an empty level name (a '__' at the start or end, "
                               "or '____')")
        level = data
        for depth, key in enumerate(path[:-1]):
            child = level.setdefault(key, {})
            if not isinstance(child, dict):
                raise CommandError(f"{source.text}: {variable} needs {start}{'__'.join(path[:depth + 1]).upper()} "
                                   "to be a level, but it is set to a value")
            level = child
        if isinstance(level.get(path[-1]), dict):
            raise CommandError(f"{source.text}: {variable} sets a value where other variables make a level")
        level[path[-1]] = os.environ[variable]
        names[path] = variable
    return data, names
