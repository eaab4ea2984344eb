"""The ``ondrel`` command: show and compare layered configuration.

``ondrel show SOURCE...`` merges INI files, YAML files and entry-point groups,
in the order given, into one `Configuration` and prints it as a tree, as
``dotted.path = value`` lines, or as JSON or YAML; ``ondrel diff A B`` lists
the leaves that differ between two such merges.  The walk over the leaves is a
`Trellan`, the tree an `Arbel`, the ``--match`` filter a `logic_str`
expression: the command is built from the package's own classes.

Decisions a reader would not guess:

- The loaders skip missing files silently and report problems as exceptions
  whose text spans several lines, so every source is checked before anything
  is loaded, and INI and YAML files are parsed once more here, with the
  loaders' own dialect, to name the file, line and column of a mistake.  The
  loaders still do the loading; what is printed is what they built.
- Consecutive INI files are read by one `load_cfgs` call, as a program would
  call ``load_cfgs(base, site)``: a ``[DEFAULT]`` section or a ``%(name)s``
  reference in one file reaches the sections of the next.
- A leaf is a leaf of the flattened form: list and tuple positions are
  levels, written ``[i]`` in dotted paths, so ``--match`` selects the same
  leaves in every output form and every path printed can be given to
  ``--get``.
- YAML aliases let a few hundred bytes stand for billions of values, which
  every level of the merge and every line of output would spell out.  A
  document is refused when its aliases add more values than a bound
  (``--max-values``, or the environment variable ``ONDREL_MAX_VALUES``),
  counted on the parsed nodes before anything is built from them.  What a
  file spells out itself is not counted: its size is its own bound, and a
  document without an anchor is not even walked.
- Errors are one line on standard error and exit status 2, never a
  traceback; ``--get`` of a missing key and ``diff`` of differing sources
  exit 1.  The loaders' log records (unset environment variables, failing
  entry points) are shown as one line each as well.
"""

from __future__ import annotations

import argparse
import ast
import configparser
import contextlib
import datetime
import io
import json
import logging
import os
import sys
import warnings
from collections.abc import Callable, Iterator, Mapping, MutableMapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NoReturn

import yaml

from vestri.ondrel import __version__
from vestri.ondrel.configuration import Configuration
from vestri.utils.import_utils import get_entry_points

PROG = "ondrel"
INI_SUFFIXES = (".ini", ".cfg", ".conf")
YAML_SUFFIXES = (".yaml", ".yml")
ENTRYPOINT_PREFIX = "entrypoint:"
ROOT_LABEL = "."

EXIT_OK, EXIT_DIFFERENT, EXIT_ERROR = 0, 1, 2
EXIT_MISSING_KEY = 1

MAX_VALUES_VARIABLE = "ONDREL_MAX_VALUES"
DEFAULT_MAX_VALUES = 200_000
_MERGE_TAG = "tag:yaml.org,2002:merge"

# The loaders' INI dialect, without interpolation (values are checked raw) and
# without a default section, so that [DEFAULT] reads as a section of its own.
_INI_DIALECT: dict[str, Any] = {"delimiters": ("=",), "comment_prefixes": ("#",)}
_NO_DEFAULT_SECTION = "\0no default section"


class CommandError(Exception):
    """A problem with the input, reported as one line and exit status 2."""


class MissingKey(Exception):
    """`--get` named a key that the configuration does not hold (exit status 1)."""


@dataclass(frozen=True)
class Position:
    """A list or tuple position in a path (an int key of a mapping stays an int)."""

    index: int

    def __str__(self) -> str:
        return f"[{self.index}]"


# A path: mapping keys and positions from the root to a leaf.
Path = tuple[Any, ...]


@dataclass
class Leaf:
    path: Path  # keys and `Position`s
    raw_path: tuple[Any, ...]  # the same path as the flattener gave it (IndexMarkers)
    value: Any


@dataclass(frozen=True)
class Source:
    text: str  # as given on the command line
    kind: str  # "ini", "yaml" or "entrypoint"
    target: str  # the file name, or the entry-point group


@dataclass
class Merged:
    config: Configuration
    origins: dict[Path, str] = field(default_factory=dict)


# --- the package's classes: the only places that use them ------------------------------------------


def flatten(config: Configuration) -> list[Leaf]:
    """The leaves of `config`, in depth-first order."""
    from vestri.ondrel.trellan import IndexMarker, Trellan

    return [
        Leaf(tuple(Position(k.index) if isinstance(k, IndexMarker) else k for k in path), tuple(path), value)
        for path, value in Trellan(config)
    ]


def rebuild(leaves: list[Leaf], skip: int) -> Any:
    """The nested data that `leaves` describe, below the first `skip` elements
    of their paths (lists and tuples rebuilt)."""
    from vestri.ondrel.trellan import Trellan

    # Every path is given one key on top, so that none begins with a position.
    pairs = Trellan()
    pairs.extend((("",) + leaf.raw_path[skip:], leaf.value) for leaf in leaves)
    return pairs.reconstruct()[""]


def compile_match(text: str) -> Callable[..., Any]:
    """The logic expression written in `text` (`--match`)."""
    from vestri.ondrel.logic import logic_str

    try:
        # Written on a shell line, '\.' is meant for the regular expression;
        # the interpreter's warning about the escape would only be noise.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", SyntaxWarning)
            return logic_str(text)
    except Exception as exc:
        raise CommandError(f"--match: {one_line(exc)}") from None


def render_tree(label: str, leaves: list[Leaf], skip: int, describe: Callable[[Leaf], str]) -> str:
    """The leaves drawn as a tree under a root named `label`; the first `skip`
    elements of every path lie above the root."""
    from vestri.ondrel.arbel import Arbel

    root = Arbel(label)
    levels: dict[Path, Any] = {(): root}
    for leaf in leaves:
        path = leaf.path[skip:]
        parent = root
        for depth in range(1, len(path)):
            node = levels.get(path[:depth])
            if node is None:
                node = levels[path[:depth]] = Arbel(str(path[depth - 1]))
                parent.add_child(node)
            parent = node
        parent.add_child(f"{path[-1]} = {describe(leaf)}")
    return str(root)


# --- paths and values as text -----------------------------------------------------------------------


def dotted(path: Path) -> str:
    text = ""
    for segment in path:
        if isinstance(segment, Position):
            text += str(segment)
        else:
            text += ("." if text else "") + str(segment)
    return text


def value_text(value: Any) -> str:
    # An empty level is a Configuration; it reads as the empty mapping it is.
    if isinstance(value, Mapping) and not value:
        return "{}"
    return repr(value)


def one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def plain(value: Any) -> Any:
    """`value` with every mapping a dict and every sequence level a list, for JSON and YAML."""
    if isinstance(value, Mapping):
        return {key: plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    return value


def _json_default(value: Any) -> Any:
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, (set, frozenset)):
        return sorted(value, key=repr)
    raise TypeError(f"a value of type {type(value).__name__} cannot be written as JSON")


def dump(value: Any, form: str) -> str:
    try:
        if form == "json":
            return json.dumps(plain(value), indent=2, ensure_ascii=False, default=_json_default)
        data = plain(value)
        text = yaml.safe_dump(data, sort_keys=False, allow_unicode=True, default_flow_style=False)
        # Characters that YAML reads as line breaks (such as U+0085) come back
        # changed when written as they are; such a document is written with
        # escapes instead.
        if yaml.safe_load(text) != data:
            text = yaml.safe_dump(data, sort_keys=False, default_flow_style=False)
        return text.rstrip("\n")
    except (TypeError, ValueError, yaml.YAMLError) as exc:
        raise CommandError(f"--format {form}: {one_line(exc)}") from None


# --- sources ---------------------------------------------------------------------------------------


def parse_source(text: str) -> Source:
    if text.startswith(ENTRYPOINT_PREFIX):
        group = text[len(ENTRYPOINT_PREFIX):]
        if not group:
            raise CommandError(f"{text}: no entry-point group named (write entrypoint:GROUP)")
        if not get_entry_points(group):
            raise CommandError(f"{text}: no entry points are installed in the group {group!r}")
        return Source(text, "entrypoint", group)
    if not os.path.lexists(text):
        raise CommandError(f"{text}: no such file")
    if os.path.isdir(text):
        raise CommandError(f"{text}: is a directory")
    if not os.path.isfile(text):
        raise CommandError(f"{text}: not a regular file" if os.path.exists(text) else f"{text}: broken symbolic link")
    suffix = os.path.splitext(text)[1].lower()
    if suffix in INI_SUFFIXES:
        kind = "ini"
    elif suffix in YAML_SUFFIXES:
        kind = "yaml"
    else:
        raise CommandError(f"{text}: unknown type of file (expected .ini, .cfg, .conf, .yaml or .yml)")
    try:
        with open(text, "rb"):
            pass
    except OSError as exc:
        raise CommandError(f"{text}: {exc.strerror or one_line(exc)}") from None
    return Source(text, kind, text)


def parse_side(text: str) -> list[Source]:
    """One side of `diff`: a source, or several joined with '+' (a file whose
    own name holds a '+' is taken whole)."""
    if "+" in text and not os.path.isfile(text):
        return [parse_source(part) for part in text.split("+")]
    return [parse_source(text)]


def decode_error(name: str, exc: UnicodeDecodeError) -> CommandError:
    return CommandError(f"{name}: cannot be read as {exc.encoding} text (byte {exc.start}: {exc.reason})")


class _LoaderLog(logging.Handler):
    """Turns the configuration loaders' records into one-line messages:
    warnings are printed at once, errors kept for the caller to report."""

    def __init__(self, attribute: Callable[[logging.LogRecord], str]) -> None:
        super().__init__(logging.WARNING)
        self.attribute = attribute
        self.errors: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        text = f"{self.attribute(record)}: {record.getMessage()}"
        if record.exc_info and record.exc_info[1] is not None:
            exc = record.exc_info[1]
            text += f" ({type(exc).__name__}: {one_line(exc)})"
        if record.levelno >= logging.ERROR:
            self.errors.append(text)
        else:
            print(f"{PROG}: warning: {text}", file=sys.stderr)


@contextlib.contextmanager
def loader_log(attribute: Callable[[logging.LogRecord], str]) -> Iterator[_LoaderLog]:
    logger = logging.getLogger("vestri.ondrel.configuration")
    handler = _LoaderLog(attribute)
    propagate = logger.propagate
    logger.addHandler(handler)
    logger.propagate = False
    try:
        yield handler
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate


@dataclass
class IniRun:
    """Consecutive INI files as one parser sees them: for every option, the
    file that set it last and its raw text."""

    files: list[str]
    sections: list[str] = field(default_factory=list)  # in the order first met
    own: dict[tuple[str, str], tuple[str, str]] = field(default_factory=dict)  # (section, option) -> (file, raw)
    defaults: dict[str, tuple[str, str]] = field(default_factory=dict)  # option -> (file, raw)

    def read(self) -> None:
        for name in self.files:
            parser = configparser.RawConfigParser(**_INI_DIALECT, interpolation=None,
                                                  default_section=_NO_DEFAULT_SECTION)
            try:
                with open(name, encoding="locale") as stream:
                    parser.read_file(stream, source=name)
            except UnicodeDecodeError as exc:
                raise decode_error(name, exc) from None
            except OSError as exc:
                raise CommandError(f"{name}: {exc.strerror or one_line(exc)}") from None
            except configparser.Error as exc:
                raise CommandError(ini_error_text(name, exc)) from None
            for section in parser.sections():
                for option, raw in parser.items(section):
                    if section == configparser.DEFAULTSECT:
                        self.defaults[option] = (name, raw)
                    else:
                        self.own[section, option] = (name, raw)
                if section != configparser.DEFAULTSECT and section not in self.sections:
                    self.sections.append(section)

    def file_of(self, section: str, option: str) -> str:
        if section != configparser.DEFAULTSECT and (section, option) in self.own:
            return self.own[section, option][0]
        if option in self.defaults:
            return self.defaults[option][0]
        return " + ".join(self.files)

    def check_percent_signs(self) -> None:
        # The loader writes every value back through the parser after expanding
        # environment references; a stray '%' fails there with no file named.
        def expanded(raw: str) -> str:
            return Configuration._ENV_VAR_PATTERN.sub(
                lambda m: os.environ.get(m.group(1) or m.group(2), ""), raw)

        checker = configparser.BasicInterpolation()
        values = [(name, configparser.DEFAULTSECT, option, raw) for option, (name, raw) in self.defaults.items()]
        values += [(name, section, option, raw) for (section, option), (name, raw) in self.own.items()]
        for name, section, option, raw in values:
            try:
                checker.before_set(configparser.RawConfigParser(), section, option, expanded(raw))
            except ValueError as exc:
                raise CommandError(f"{name}: [{section}] {option}: {one_line(exc)} "
                                   f"(write %% for a literal percent sign)") from None

    def origins(self) -> dict[Path, str]:
        found: dict[Path, str] = {}
        for section in self.sections:
            head = tuple(section.split("."))
            own = [option for (s, option) in self.own if s == section]
            for option in own:
                found[head + tuple(option.split("."))] = f"{self.own[section, option][0]} [{section}]"
            for option, (name, _) in self.defaults.items():
                if option not in own:
                    found[head + tuple(option.split("."))] = f"{name} [{configparser.DEFAULTSECT}]"
        return found


def ini_error_text(name: str, exc: configparser.Error) -> str:
    if isinstance(exc, configparser.MissingSectionHeaderError):
        return f"{name}, line {exc.lineno}: {exc.line.strip()!r} comes before any [section] header"
    if isinstance(exc, configparser.ParsingError):
        lineno, line = exc.errors[0]
        if sys.version_info < (3, 13):  # older parsers keep the repr of the line
            line = ast.literal_eval(line)
        more = f" (and {len(exc.errors) - 1} more such lines)" if len(exc.errors) > 1 else ""
        return (f"{name}, line {lineno}: cannot parse {line.strip()!r}: expected 'name = value', "
                f"a [section] header or a '#' comment{more}")
    if isinstance(exc, configparser.DuplicateOptionError):
        return f"{name}, line {exc.lineno}: option {exc.option!r} of section [{exc.section}] is set twice"
    if isinstance(exc, configparser.DuplicateSectionError):
        return f"{name}, line {exc.lineno}: section [{exc.section}] appears twice"
    return f"{name}: {one_line(exc)}"


def yaml_error_text(name: str, exc: yaml.YAMLError) -> str:
    if isinstance(exc, yaml.MarkedYAMLError) and exc.problem_mark is not None:
        mark = exc.problem_mark
        context = f" ({exc.context})" if exc.context else ""
        return f"{name}, line {mark.line + 1}, column {mark.column + 1}: {exc.problem}{context}"
    return f"{name}: {one_line(exc)}"


def alias_expansion(name: str, root: yaml.Node) -> int:
    """How many values the aliases (and merge keys) of the document under
    `root` add once expanded: the values of the expanded tree (keys, scalars,
    lists and mappings) less those written out.  Each node is visited once,
    so the count costs what the document costs to compose, however far its
    aliases would expand."""
    scalar, sequence = yaml.ScalarNode, yaml.SequenceNode
    if isinstance(root, scalar):
        return 0
    sizes: dict[yaml.Node, int] = {}  # a list or mapping: the values of its expanded tree
    written = 0
    open_nodes: set[yaml.Node] = set()  # the lists and mappings being counted: the path to the root
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


def read_yaml(name: str, max_values: int) -> dict[Any, Any]:
    loader_class = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
    try:
        with open(name, "r") as stream:
            # Without an anchor there is no alias: the document is no larger than the file.
            anchored = "&" in stream.read()
            stream.seek(0)
            loader = loader_class(stream)
            try:
                node = loader.get_single_node()
                if node is not None and anchored and alias_expansion(name, node) > max_values:
                    raise CommandError(f"{name}: its aliases expand the document by more than {max_values:,} "
                                       f"values (raise the bound with --max-values or {MAX_VALUES_VARIABLE})")
                document = loader.construct_document(node) if node is not None else None
            finally:
                loader.dispose()
    except UnicodeDecodeError as exc:
        raise decode_error(name, exc) from None
    except OSError as exc:
        raise CommandError(f"{name}: {exc.strerror or one_line(exc)}") from None
    except yaml.YAMLError as exc:
        raise CommandError(yaml_error_text(name, exc)) from None
    if document is None:
        raise CommandError(f"{name}: the document is empty; a mapping of settings was expected")
    if not isinstance(document, dict):
        raise CommandError(f"{name}: the top level is a {type(document).__name__}; "
                           "a mapping of settings was expected")
    return document


def load(sources: list[Source], origins: bool = False, max_values: int = DEFAULT_MAX_VALUES) -> Merged:
    """Merge the sources, in order, into one Configuration."""
    merged = Merged(Configuration())
    index = 0
    while index < len(sources):
        source = sources[index]
        if source.kind == "ini":
            run = [source.target]
            while index + 1 < len(sources) and sources[index + 1].kind == "ini":
                index += 1
                run.append(sources[index].target)
            load_ini(merged, IniRun(run), origins)
        elif source.kind == "yaml":
            load_yaml(merged, source, origins, max_values)
        else:
            load_group(merged, source, origins)
        index += 1
    return merged


def load_ini(merged: Merged, run: IniRun, origins: bool) -> None:
    run.read()
    run.check_percent_signs()

    def attribute(record: logging.LogRecord) -> str:
        args = record.args if isinstance(record.args, tuple) else ()
        if len(args) == 3:  # names, section, option
            return run.file_of(str(args[1]), str(args[2]))
        return " + ".join(run.files)

    with loader_log(attribute):
        try:
            read = merged.config.load_cfgs(*run.files)
        except configparser.InterpolationError as exc:
            raise CommandError(f"{run.file_of(exc.section, exc.option)}: {one_line(exc)}") from None
        except UnicodeDecodeError as exc:
            raise decode_error(" + ".join(run.files), exc) from None
        except Exception as exc:
            raise merge_error(" + ".join(run.files), exc) from None
    unread = [name for name in run.files if name not in read]
    if unread:
        raise CommandError(f"{unread[0]}: the file could not be read")
    if origins:
        merged.origins.update(run.origins())


def load_yaml(merged: Merged, source: Source, origins: bool, max_values: int) -> None:
    document = read_yaml(source.target, max_values)
    try:
        loaded = merged.config.load_yamls(source.target)
    except yaml.YAMLError as exc:
        raise CommandError(yaml_error_text(source.target, exc)) from None
    except UnicodeDecodeError as exc:
        raise decode_error(source.target, exc) from None
    except Exception as exc:
        raise merge_error(source.target, exc) from None
    if not loaded:
        raise CommandError(f"{source.target}: the file could not be read")
    if origins:
        note_origins(merged, lambda: Configuration(document), source.text)


def load_group(merged: Merged, source: Source, origins: bool) -> None:
    def load_into(config: Configuration) -> None:
        with loader_log(lambda record: source.text) as log:
            try:
                config.load_entrypoint(source.target)
            except Exception as exc:
                raise merge_error(source.text, exc) from None
        if log.errors:
            more = f" (and {len(log.errors) - 1} more)" if len(log.errors) > 1 else ""
            raise CommandError(log.errors[0] + more)

    load_into(merged.config)
    if origins:
        def alone() -> Configuration:
            config = Configuration()
            load_into(config)
            return config

        note_origins(merged, alone, source.text)


def note_origins(merged: Merged, alone: Callable[[], Configuration], label: str) -> None:
    # What one source sets is what it builds in an empty store; its leaves
    # take over those of earlier sources at the same paths.
    try:
        config = alone()
    except CommandError:
        raise
    except Exception:
        return  # it merged into the others but cannot stand alone: no origins
    for leaf in flatten(config):
        merged.origins[leaf.path] = label


def merge_error(name: str, exc: Exception) -> CommandError:
    return CommandError(f"{name}: cannot be merged into the configuration: {type(exc).__name__}: {one_line(exc)}")


# --- show and diff ---------------------------------------------------------------------------------


def key_path(config: Configuration, key: str) -> tuple[Path, Any]:
    """The path and value of `key`: dotted, with `[i]` for list positions, as
    paths are printed."""
    path: list[Any] = []
    value: Any = config
    for part in key.split("."):
        if isinstance(value, Mapping) and part in value:
            value = value[part]
            path.append(part)
            continue
        name, _, rest = part.partition("[")
        if name:
            if not isinstance(value, Mapping):
                raise MissingKey(key)
            if name not in value:
                # A key that is not text (a number in YAML) is written as its text.
                matches = [k for k in value if not isinstance(k, str) and str(k) == name]
                if len(matches) != 1:
                    raise MissingKey(key)
                name = matches[0]
            value = value[name]
            path.append(name)
        if rest:
            for index_text in ("[" + rest)[1:].split("["):
                if not index_text.endswith("]") or not isinstance(value, (list, tuple)):
                    raise MissingKey(key)
                try:
                    index = int(index_text[:-1])
                    if index < 0:
                        raise ValueError
                    value = value[index]
                except (ValueError, IndexError):
                    raise MissingKey(key) from None
                path.append(Position(index))
        elif not name:
            raise MissingKey(key)
    return tuple(path), value


def select(leaves: list[Leaf], match: Callable[..., Any] | None, option: str = "--match") -> list[Leaf]:
    if match is None:
        return leaves
    try:
        return [leaf for leaf in leaves if match(dotted(leaf.path))]
    except Exception as exc:
        raise CommandError(f"{option}: {type(exc).__name__}: {one_line(exc)}") from None


def show(args: argparse.Namespace) -> int:
    match = compile_match(args.match) if args.match is not None else None
    if args.origin and args.format:
        raise CommandError("--origin cannot be combined with --format (JSON and YAML have no place for it)")
    bound = max_values(args.max_values)
    sources = [parse_source(text) for text in args.sources]
    merged = load(sources, origins=args.origin, max_values=bound)

    def describe(leaf: Leaf) -> str:
        text = value_text(leaf.value)
        if args.origin:
            text += f"  # {merged.origins.get(leaf.path, '?')}"
        return text

    path: Path = ()
    value: Any = merged.config
    if args.get is not None:
        path, value = key_path(merged.config, args.get)
    if path and not (isinstance(value, (Mapping, list, tuple)) and value):  # a single value
        leaf = Leaf(path, (), value)
        if not select([leaf], match):
            return EXIT_OK  # as a level none of whose leaves is kept: nothing to show
        if args.format:
            print(dump(value, args.format))
        elif args.flat:
            print(f"{dotted(path)} = {describe(leaf)}")
        else:
            text = value if isinstance(value, str) else value_text(value)
            print(f"{text}  # {merged.origins.get(path, '?')}" if args.origin else text)
        return EXIT_OK
    leaves = select([leaf for leaf in flatten(merged.config) if leaf.path[:len(path)] == path], match)
    if args.format:
        empty: Any = {} if isinstance(value, Mapping) else []
        print(dump(rebuild(leaves, len(path)) if leaves else empty, args.format))
    elif args.flat:
        for leaf in leaves:
            print(f"{dotted(leaf.path)} = {describe(leaf)}")
    else:
        print(render_tree(args.get if args.get is not None else ROOT_LABEL, leaves, len(path), describe))
    return EXIT_OK


def same(a: Any, b: Any) -> bool:
    if type(a) is not type(b):
        return False
    try:
        return bool(a == b) or repr(a) == repr(b)
    except Exception:
        return repr(a) == repr(b)


def diff(args: argparse.Namespace) -> int:
    match = compile_match(args.match) if args.match is not None else None
    bound = max_values(args.max_values)
    left_sources, right_sources = parse_side(args.left), parse_side(args.right)
    left = {leaf.path: leaf for leaf in select(flatten(load(left_sources, max_values=bound).config), match)}
    right = {leaf.path: leaf for leaf in select(flatten(load(right_sources, max_values=bound).config), match)}
    lines = []
    for path, leaf in left.items():
        if path not in right:
            lines.append(f"- {dotted(path)} = {value_text(leaf.value)}")
        elif not same(leaf.value, right[path].value):
            lines.append(f"~ {dotted(path)} = {value_text(leaf.value)} -> {value_text(right[path].value)}")
    lines += [f"+ {dotted(path)} = {value_text(leaf.value)}" for path, leaf in right.items() if path not in left]
    for line in lines:
        print(line)
    return EXIT_DIFFERENT if lines else EXIT_OK


# --- the command line ------------------------------------------------------------------------------


def positive_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return count


def max_values(option: int | None) -> int:
    """The bound on the values of one YAML document: the option, else the
    environment variable, else the default."""
    if option is not None:
        return option
    text = os.environ.get(MAX_VALUES_VARIABLE, "")
    if not text.strip():
        return DEFAULT_MAX_VALUES
    try:
        return positive_count(text)
    except argparse.ArgumentTypeError as exc:
        raise CommandError(f"{MAX_VALUES_VARIABLE}: {exc}") from None


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise CommandError(f"{message} (see '{self.prog} --help')")


def add_max_values(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--max-values", metavar="N", type=positive_count,
                        help=f"refuse a YAML file whose aliases (*name) and merge keys add more than N values "
                             f"to it when expanded (default: ${MAX_VALUES_VARIABLE}, else {DEFAULT_MAX_VALUES:,})")


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    parser = _Parser(
        prog=prog,
        description="Show and compare layered configuration: INI files (.ini, .cfg, .conf), "
                    "YAML files (.yaml, .yml) and entry-point groups (entrypoint:GROUP), "
                    "merged level by level in the order given.",
        epilog="Exit status: 0 on success, 1 when --get finds no key or diff finds differences, "
               "2 on bad input.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    show_parser = commands.add_parser(
        "show", help="print the merged configuration",
        description="Merge the sources in the order given and print the result, by default as a tree "
                    "with 'key = value' leaves (values as Python writes them).")
    show_parser.add_argument("sources", nargs="+", metavar="SOURCE",
                             help="an INI or YAML file, or entrypoint:GROUP")
    form = show_parser.add_mutually_exclusive_group()
    form.add_argument("--flat", action="store_true", help="one 'dotted.path = value' line per leaf")
    form.add_argument("--format", choices=("json", "yaml"), help="print the merged configuration as JSON or YAML")
    show_parser.add_argument("--get", metavar="KEY",
                             help="only the value under KEY, a dotted path such as db.primary.url "
                                  "or servers[0].host; exit status 1 if there is none")
    show_parser.add_argument("--match", metavar="LOGIC",
                             help="keep the leaves whose dotted path satisfies the logic expression, "
                                  "e.g. \"And('^db\\.', Not('password'))\"")
    show_parser.add_argument("--origin", action="store_true",
                             help="name the source (and INI section) that set each value last")
    add_max_values(show_parser)
    show_parser.set_defaults(run=show)

    diff_parser = commands.add_parser(
        "diff", help="list the leaves that differ between two merged configurations",
        description="Compare two configurations and print one line per leaf that was removed (-), "
                    "added (+) or changed (~). Exit status 0 when they are equal, 1 when they differ.")
    diff_parser.add_argument("left", metavar="A", help="a source, or several joined with '+'")
    diff_parser.add_argument("right", metavar="B", help="a source, or several joined with '+'")
    diff_parser.add_argument("--match", metavar="LOGIC", help="compare only the leaves whose dotted path satisfies it")
    add_max_values(diff_parser)
    diff_parser.set_defaults(run=diff)
    return parser


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    """Run the command with `argv` (default: the process arguments); returns the exit status."""
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        args = build_parser(prog).parse_args(argv)
        if args.command is None:
            raise CommandError(f"a command is required: show or diff (see '{prog} --help')")
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except CommandError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_ERROR
    except MissingKey as exc:
        print(f"{PROG}: no such key: {exc}", file=sys.stderr)
        return EXIT_MISSING_KEY
    except BrokenPipeError:
        # The reader went away (`ondrel show ... | head`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERROR
    except KeyboardInterrupt:
        return 130
    except RecursionError:
        print(f"{PROG}: error: the configuration is nested too deeply", file=sys.stderr)
        return EXIT_ERROR
    except Exception as exc:  # a fault of this program: still one line, never a traceback
        print(f"{PROG}: error: unexpected {type(exc).__name__}: {one_line(exc)}", file=sys.stderr)
        return EXIT_ERROR
