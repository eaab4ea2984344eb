"""``ondrel show`` and ``ondrel diff``: the command line, and what each prints."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Iterable, Mapping, Sequence
from vestri.ondrel import __version__
from vestri.ondrel.cli import sources as src
from vestri.ondrel.cli.errors import (EXIT_BROKEN_PIPE, EXIT_DIFFERENT, EXIT_ERROR, EXIT_MISSING_KEY, EXIT_OK,
                                     CommandError, MissingKey, Reporter, one_line)
from vestri.ondrel.cli.paths import dotted, key_path

# Names for the type checker only: `typing` is not imported when the command runs.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, NoReturn

    from vestri.ondrel.cli.paths import Path

TRACEBACK_VARIABLE = "ONDREL_TRACEBACK"


def compile_match(text: str) -> Callable[..., Any]:
    """The logic expression written in `text` (`--match`)."""
    import warnings

    from vestri.ondrel.logic import logic_str

    try:
        # Written on a shell line, '\.' is meant for the regular expression;
        # the interpreter's warning about the escape would only be noise.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", SyntaxWarning)
            return logic_str(text)
    except Exception as exc:
        raise CommandError(f"--match: {bad_pattern(text) or one_line(exc)}") from None


def bad_pattern(text: str) -> str | None:
    """What is wrong with the first regular expression of `text` that does not compile, if any."""
    import ast
    import re
    import warnings

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", SyntaxWarning)
            tree = ast.parse(text, mode="eval")
    except SyntaxError:
        return None
    for node in ast.walk(tree):
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            try:
                re.compile(node.value)
            except re.error as exc:
                return f"the regular expression {node.value!r} is malformed: {exc}"
    return None


def select(leaves: list[Any], match: Callable[..., Any] | None, root: Any) -> list[Any]:
    if match is None:
        return leaves
    try:
        return [leaf for leaf in leaves if match(dotted(leaf.path, root))]
    except Exception as exc:
        raise CommandError(f"--match: {type(exc).__name__}: {one_line(exc)}") from None


def max_values(option: int | None) -> int:
    """The bound on the values of one YAML document: the option, else the
    environment variable, else the default."""
    if option is not None:
        return option
    text = os.environ.get(src.MAX_VALUES_VARIABLE, "")
    if not text.strip():
        return src.DEFAULT_MAX_VALUES
    try:
        return positive_count(text)
    except argparse.ArgumentTypeError as exc:
        raise CommandError(f"{src.MAX_VALUES_VARIABLE}: {exc}") from None


def positive_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return count


def loader(args: argparse.Namespace, reporter: Reporter, origins: bool = False, history: bool = False) -> Any:
    from vestri.ondrel.cli.loading import Loader

    return Loader(reporter, origins=origins, history=history, max_values=max_values(args.max_values),
                  strict=args.strict)


def show(args: argparse.Namespace, reporter: Reporter) -> int:
    from vestri.ondrel.cli.rendering import collector_paused

    match = compile_match(args.match) if args.match is not None else None
    sources = [src.parse_source(text, args.type) for text in args.sources]
    load = loader(args, reporter, origins=args.origin, history=args.history is not None)
    merged = load.load(sources)
    load.merge_sets(merged, args.set or [])
    config = merged.config
    for key in args.require or []:
        try:
            key_path(config, key)
        except MissingKey:
            raise CommandError(f"--require {key}: no such key") from None
    with collector_paused():
        return print_config(args, merged, match)


def print_config(args: argparse.Namespace, merged: Any, match: Callable[..., Any] | None) -> int:
    """What `show` prints of the merged configuration."""
    from vestri.ondrel.cli import rendering
    from vestri.ondrel.cli.loading import history

    config = merged.config
    origins = merged.origins or {}
    if args.history is not None:
        where, entries = history(merged, args.history)
        print(dotted(where, config))
        for entry in entries:
            print(f"{'*' if entry.wins else ' '} {entry.label}: {rendering.value_text(entry.value)}")
        return EXIT_OK

    def describe(leaf: Any) -> str:
        text = rendering.value_text(leaf.value)
        if args.origin:
            text += f"  # {origins.get(leaf.path, '?')}"
        return text

    path: Path = ()
    value: Any = config
    if args.get is not None:
        path, value = key_path(config, args.get)
    if path and not (isinstance(value, (Mapping, list, tuple)) and value):  # a single value
        leaf = rendering.Leaf(path, (), value)
        if not select([leaf], match, config):
            return EXIT_OK  # as a level none of whose leaves is kept: nothing to show
        if args.format:
            document = {"value": value, "origin": origins.get(path, "?")} if args.origin else value
            print(rendering.dump(document, args.format))
        elif args.flat:
            print(f"{dotted(path, config)} = {describe(leaf)}")
        else:
            text = value if isinstance(value, str) else rendering.value_text(value)
            print(f"{text}  # {origins.get(path, '?')}" if args.origin else text)
        return EXIT_OK
    leaves = rendering.flatten(config)
    if path:
        leaves = [leaf for leaf in leaves if leaf.path[:len(path)] == path]
    leaves = select(leaves, match, config)
    if args.format:
        empty: Any = {} if isinstance(value, Mapping) else []
        document = rendering.rebuild(leaves, len(path)) if leaves else empty
        if args.origin:
            parallel = [rendering.Leaf(leaf.path, leaf.raw_path, origins.get(leaf.path, "?")) for leaf in leaves]
            document = {"values": document,
                        "origins": rendering.rebuild(parallel, len(path)) if parallel else empty}
        print(rendering.dump(document, args.format))
    elif args.flat:
        print("\n".join(f"{dotted(leaf.path, config)} = {describe(leaf)}" for leaf in leaves) if leaves else "",
              end="\n" if leaves else "")
    else:
        print(rendering.render_tree(args.get if args.get is not None else rendering.ROOT_LABEL, leaves, len(path),
                                    describe, config))
    return EXIT_OK


def same(a: Any, b: Any) -> bool:
    if type(a) is not type(b):
        return False
    try:
        return bool(a == b) or repr(a) == repr(b)
    except Exception:
        return repr(a) == repr(b)


def diff(args: argparse.Namespace, reporter: Reporter) -> int:
    from vestri.ondrel.cli.rendering import collector_paused

    match = compile_match(args.match) if args.match is not None else None
    load = loader(args, reporter)
    left_sources, right_sources = src.parse_side(args.left, args.type), src.parse_side(args.right, args.type)
    left_config = load.load(left_sources).config
    right_config = load.load(right_sources).config
    with collector_paused():
        lines = differences(left_config, right_config, match)
    if lines:
        print("\n".join(lines))
    return EXIT_DIFFERENT if lines else EXIT_OK


def differences(left_config: Any, right_config: Any, match: Callable[..., Any] | None) -> list[str]:
    """One line per leaf removed (-), changed (~) or added (+) from `left_config` to `right_config`."""
    from vestri.ondrel.cli.rendering import flatten, value_text

    left = {leaf.path: leaf for leaf in select(flatten(left_config), match, left_config)}
    right = {leaf.path: leaf for leaf in select(flatten(right_config), match, right_config)}
    lines = []
    for path, leaf in left.items():
        if path not in right:
            lines.append(f"- {dotted(path, left_config)} = {value_text(leaf.value)}")
        elif not same(leaf.value, right[path].value):
            lines.append(f"~ {dotted(path, left_config)} = {value_text(leaf.value)} -> "
                         f"{value_text(right[path].value)}")
    lines += [f"+ {dotted(path, right_config)} = {value_text(leaf.value)}"
              for path, leaf in right.items() if path not in left]
    return lines


# --- the command line ------------------------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise CommandError(f"{message} (see '{self.prog} --help')")


class _CommandParser(_Parser):
    """The parser of one command, whose options may stand before, between or
    after its sources (``show a.ini --set k=v b.yaml``): argparse's
    intermixed parsing, which reads the options first and then the
    positionals, and which itself parses twice through `parse_known_args`.

    With a ``--`` (sources that begin with '-') the parsing is argparse's
    usual one: the intermixed one loses a ``--`` that no source precedes."""

    _intermixing = False

    def parse_known_args(self, args: Iterable[str] | None = None, namespace: Any = None) -> tuple[Any, list[str]]:
        args = None if args is None else list(args)
        if self._intermixing or (args is not None and "--" in args):
            return super().parse_known_args(args, namespace)
        self._intermixing = True
        try:
            return self.parse_known_intermixed_args(args, namespace)
        finally:
            self._intermixing = False


def add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--type", choices=src.TYPES,
                        help="read every file (and - for standard input) as this type, whatever its suffix")
    parser.add_argument("--strict", action="store_true",
                        help="make unset environment variables and empty layers errors (exit status 2)")
    parser.add_argument("--max-values", metavar="N", type=positive_count,
                        help=f"refuse a YAML file whose aliases (*name) and merge keys add more than N values "
                             f"to it when expanded (default: ${src.MAX_VALUES_VARIABLE}, "
                             f"else {src.DEFAULT_MAX_VALUES:,})")


SOURCE_HELP = ("an INI (.ini, .cfg, .conf), YAML (.yaml, .yml), JSON (.json) or TOML (.toml) file, - for "
               "standard input (YAML unless --type says otherwise), entrypoint:GROUP, or env:PREFIX for the "
               "environment variables PREFIX_A__B=... as a.b")


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = _Parser(
        prog=prog,
        description="Show and compare layered configuration: INI, YAML, JSON and TOML files, entry-point "
                    "groups and environment variables, merged level by level in the order given.",
        epilog="Exit status: 0 on success, 1 when --get finds no key or diff finds differences, "
               "2 on bad input. ONDREL_TRACEBACK=1 shows the traceback of an unexpected error.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    # With its prog given, argparse need not measure the terminal to make it.
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", prog=prog, parser_class=_CommandParser)

    show_parser = commands.add_parser(
        "show", help="print the merged configuration",
        description="Merge the sources in the order given and print the result, by default as a tree "
                    "with 'key = value' leaves (values as Python writes them).")
    show_parser.add_argument("sources", nargs="+", metavar="SOURCE", help=SOURCE_HELP)
    form = show_parser.add_mutually_exclusive_group()
    form.add_argument("--flat", action="store_true", help="one 'dotted.path = value' line per leaf")
    form.add_argument("--format", choices=("json", "yaml"), help="print the merged configuration as JSON or YAML")
    form.add_argument("--history", metavar="KEY",
                      help="every layer's value for KEY in order, with file, INI section and line; "
                           "the one kept is marked '*'")
    show_parser.add_argument("--get", metavar="KEY",
                             help="only the value under KEY, a path as --flat writes it, such as db.primary.url "
                                  "or servers[0].host; exit status 1 if there is none")
    show_parser.add_argument("--match", metavar="LOGIC",
                             help="keep the leaves whose dotted path satisfies the logic expression, "
                                  "e.g. \"And('^db\\.', Not('password'))\"")
    show_parser.add_argument("--origin", action="store_true",
                             help="name the source (and INI section) that set each value last; with --format, "
                                  "a mapping of the values and a parallel one of their origins")
    show_parser.add_argument("--set", metavar="KEY=VALUE", action="append",
                             help="set KEY once all sources are merged (wherever it is written), the value "
                                  "converted as the store converts text (repeatable)")
    show_parser.add_argument("--require", metavar="KEY", action="append",
                             help="fail (exit status 2) when the merged configuration has no KEY (repeatable)")
    add_common(show_parser)
    show_parser.set_defaults(run=show)

    diff_parser = commands.add_parser(
        "diff", help="list the leaves that differ between two merged configurations",
        description="Compare two configurations and print one line per leaf that was removed (-), "
                    "added (+) or changed (~). Exit status 0 when they are equal, 1 when they differ.")
    diff_parser.add_argument("left", metavar="A", help="a source, or several joined with '+'")
    diff_parser.add_argument("right", metavar="B", help="a source, or several joined with '+'")
    diff_parser.add_argument("--match", metavar="LOGIC", help="compare only the leaves whose dotted path satisfies it")
    add_common(diff_parser)
    diff_parser.set_defaults(run=diff)
    return parser


def run(argv: Sequence[str] | None, prog: str) -> int:
    """The command with `argv`; returns the exit status (interrupts propagate)."""
    import io

    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        args = build_parser(prog).parse_args(argv)
        if args.command is None:
            raise CommandError(f"a command is required: show or diff (see '{prog} --help')")
        if args.command == "show" and args.origin and args.history is not None:
            raise CommandError("--history names the sources itself; leave out --origin")
        status: int = args.run(args, Reporter(prog, getattr(args, "strict", False)))
        sys.stdout.flush()
        return status
    except CommandError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return EXIT_ERROR
    except MissingKey as exc:
        print(f"{prog}: no such key: {exc}", file=sys.stderr)
        return EXIT_MISSING_KEY
    except BrokenPipeError:
        # The reader went away (`ondrel diff ... | head`): stop quietly, with
        # the status of a writer stopped by SIGPIPE.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except RecursionError:
        print(f"{prog}: error: the configuration is nested too deeply", file=sys.stderr)
        return EXIT_ERROR
    except Exception as exc:  # a fault of this program: still one line, unless asked for the traceback
        if os.environ.get(TRACEBACK_VARIABLE, "") not in ("", "0"):
            import traceback

            traceback.print_exc()
        print(f"{prog}: error: unexpected {type(exc).__name__}: {one_line(exc)}", file=sys.stderr)
        return EXIT_ERROR
