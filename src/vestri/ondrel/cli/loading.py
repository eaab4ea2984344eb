"""Merging the sources into one `Configuration`, and where each value came from.

Every source is parsed once (see `sources`) and merged with the store's own
`update`, as its loader merges it:

- Consecutive INI files form one run, merged as one `load_cfgs` call merges
  them: read into one parser of the loader's dialect, expanded with
  `Configuration._expand_cfg_env_vars`, merged, and the default section's
  level dropped.  A ``[DEFAULT]`` section or a ``%(name)s`` reference in one
  file reaches the sections of the next.  Each file is parsed alone first
  (the files are then joined as the parser would join them), so every
  option's file is known without a second reading.
- YAML, JSON and TOML documents, environment layers and ``--set`` values are
  merged with `update`; entry-point groups with `load_entrypoint`.
- With origins asked for, each source's leaves are those it builds in an
  empty store; they take over the origins of earlier sources at the same
  paths.
"""

from __future__ import annotations

import configparser
import contextlib
import logging
import os
from collections.abc import Callable, Iterator, Mapping

from vestri.ondrel.cli import sources as src
from vestri.ondrel.cli.errors import CommandError, MissingKey, Reporter, one_line
from vestri.ondrel.cli.paths import Position, dotted, key_path
from vestri.ondrel.configuration import Configuration

# Names for the type checker only: `typing` is not imported when the command runs.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from vestri.ondrel.cli.paths import Path

SET_LABEL = "--set"


class Entry:
    """One layer's say on a key (for --history)."""

    def __init__(self, label: str, value: Any, wins: bool = False) -> None:
        self.label = label
        self.value = value
        self.wins = wins


class Merged:
    def __init__(self, config: Configuration, origins: dict[Path, str] | None = None) -> None:
        self.config = config
        self.origins = origins  # None unless asked for
        self.layers: list[Callable[[Path], list[Entry]]] = []  # for --history


class _LoaderLog(logging.Handler):
    """Turns the configuration loaders' records into one-line messages:
    warnings go to the reporter, errors are kept for the caller to report."""

    def __init__(self, attribute: Callable[[logging.LogRecord], str], reporter: Reporter) -> None:
        super().__init__(logging.WARNING)
        self.attribute = attribute
        self.reporter = reporter
        self.errors: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        text = f"{self.attribute(record)}: {record.getMessage()}"
        if record.exc_info and record.exc_info[1] is not None:
            exc = record.exc_info[1]
            text += f" ({type(exc).__name__}: {one_line(exc)})"
        if record.levelno >= logging.ERROR:
            self.errors.append(text)
        else:
            self.reporter.warn(text)


@contextlib.contextmanager
def loader_log(attribute: Callable[[logging.LogRecord], str], reporter: Reporter) -> Iterator[_LoaderLog]:
    logger = logging.getLogger("vestri.ondrel.configuration")
    handler = _LoaderLog(attribute, reporter)
    propagate = logger.propagate
    logger.addHandler(handler)
    logger.propagate = False
    try:
        yield handler
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate


def _split(key: Any) -> tuple[Any, ...]:
    # A text key with dots makes levels of a Configuration, as `update` makes them.
    return tuple(key.split(".")) if type(key) is str else (key,)


def leaf_paths(data: Any, prefix: Path = ()) -> Iterator[Path]:
    """The leaves that merging the mapping `data` sets, in order (lists are
    values here: a level cannot clash with a position)."""
    for key, value in data.items():
        path = prefix + _split(key)
        if isinstance(value, Mapping) and value:
            yield from leaf_paths(value, path)
        else:
            yield path


def _value_at_plain(data: Any, path: Path) -> Any:
    """The value at `path` of a document not yet merged (dotted text keys not yet split)."""
    value = data
    at = 0
    while at < len(path) and isinstance(value, Mapping):
        for key, item in value.items():
            parts = _split(key)
            if path[at:at + len(parts)] == parts:
                value, at = item, at + len(parts)
                break
        else:
            return None
    return value


def _value_at(root: Any, path: Path) -> tuple[bool, Any]:
    value = root
    for segment in path:
        try:
            if type(segment) is Position:
                if not isinstance(value, (list, tuple)):
                    return False, None
                value = value[segment.index]
            elif isinstance(value, Mapping) and segment in (value.keys() if not isinstance(value, dict)
                                                            else dict.keys(value)):
                value = dict.__getitem__(value, segment) if isinstance(value, dict) else value[segment]
            else:
                return False, None
        except (IndexError, KeyError, TypeError):
            return False, None
    return True, value


def alone(data: Any) -> Configuration:
    config = Configuration()
    config.update(data)
    return config


class Loader:
    """Merges sources, in order, into one Configuration."""

    def __init__(self, reporter: Reporter, origins: bool = False, history: bool = False,
                 max_values: int = src.DEFAULT_MAX_VALUES, strict: bool = False) -> None:
        self.reporter = reporter
        self.origins = origins
        self.history = history
        self.max_values = max_values
        self.strict = strict

    def load(self, sources: list[src.Source]) -> Merged:
        merged = Merged(Configuration(), {} if self.origins else None)
        index = 0
        while index < len(sources):
            source = sources[index]
            if source.kind == "ini":
                end = index + 1
                while end < len(sources) and sources[end].kind == "ini":
                    end += 1
                IniRun(self, sources[index:end]).merge(merged, sources[:index])
                index = end
                continue
            if source.kind == "entrypoint":
                self.merge_group(merged, source)
            else:
                self.merge_document(merged, source, sources[:index])
            index += 1
        return merged

    # --- documents: YAML, JSON, TOML, the environment ---------------------------------------

    def merge_document(self, merged: Merged, source: src.Source, before: list[src.Source]) -> None:
        names: dict[tuple[str, ...], str] = {}
        root = None
        if source.kind == "yaml":
            document = src.read_yaml(source, self.max_values)
            data, root = document.data, document.root
        elif source.kind == "json":
            data = src.read_json(source)
        elif source.kind == "toml":
            data = src.read_toml(source)
        else:
            data, names = src.read_env(source)
        if not data:
            if self.strict:
                raise CommandError(f"{source.name}: an empty layer (--strict)")
            return  # an empty document is an empty layer, as an empty INI file is
        self.update(merged, data, source.name, before)
        if merged.origins is not None or self.history:
            def label(path: Path) -> str:
                if source.kind == "env":
                    return f"{source.text} ({names.get(path, '?')})"
                return source.name

            self.note(merged, alone(data), label, root, source)

    def update(self, merged: Merged, data: Any, name: str, before: list[Any]) -> None:
        try:
            merged.config.update(data)
        except CommandError:
            raise
        except (TypeError, AttributeError, KeyError, ValueError) as exc:
            leaves = ((path, name, _value_at_plain(data, path)) for path in leaf_paths(data))
            raise self.clash(merged, leaves, before) or merge_error(name, exc) from None

    def clash(self, merged: Merged, leaves: Iterator[tuple[Path, str, Any]],
              before: list[Any]) -> CommandError | None:
        """The error of a layer that needs a level where a value stands,
        naming the key and both sources; `leaves` are the layer's (path,
        where it is written, value)."""
        own: dict[Path, tuple[str, Any]] = {}
        for path, where, value in leaves:
            for depth in range(1, len(path)):
                prefix = path[:depth]
                if prefix in own:
                    other, stands = own[prefix]
                    return CommandError(f"{where} makes {dotted(prefix)} a level, but {other} sets it "
                                        f"to the value {stands!r}")
                found, stands = _value_at(merged.config, prefix)
                if found and not isinstance(stands, Mapping):
                    # Which source set it: the earlier ones merged again, with origins.
                    quiet = Loader(Reporter(self.reporter.prog), origins=True, max_values=self.max_values)
                    try:
                        origins = quiet.load(before).origins or {}
                    except CommandError:
                        origins = {}
                    return CommandError(f"{where} makes {dotted(prefix)} a level, but "
                                        f"{origins.get(prefix, 'an earlier source')} sets it to the value "
                                        f"{stands!r}")
            own[path] = (where, value)
        return None

    def note(self, merged: Merged, config: Configuration, label: Callable[[Path], str],
             root: Any = None, source: src.Source | None = None) -> None:
        from vestri.ondrel.cli.rendering import collector_paused, flatten

        if merged.origins is not None:
            with collector_paused():
                for leaf in flatten(config):
                    merged.origins[leaf.path] = label(leaf.path)
        if self.history:
            def say(path: Path) -> list[Entry]:
                found, value = _value_at(config, path)
                if not found:
                    return []
                text = label(path)
                line = yaml_line(root, path) if root is not None else None
                return [Entry(f"{text}, line {line}" if line else text, value)]

            merged.layers.append(say)

    # --- entry points -----------------------------------------------------------------------

    def merge_group(self, merged: Merged, source: src.Source) -> None:
        def load_into(config: Configuration) -> list[Any]:
            with loader_log(lambda record: source.text, self.reporter) as log:
                try:
                    loaded = config.load_entrypoint(source.target)
                except CommandError:
                    raise
                except Exception as exc:
                    raise merge_error(source.text, exc) from None
            if log.errors:
                more = f" (and {len(log.errors) - 1} more)" if len(log.errors) > 1 else ""
                raise CommandError(log.errors[0] + more)
            return loaded

        if not load_into(merged.config) and self.strict:
            raise CommandError(f"{source.text}: an empty layer (--strict)")
        if merged.origins is not None or self.history:
            config = Configuration()
            try:
                load_into(config)
            except CommandError:
                return  # it merged into the others but cannot stand alone: no origins
            self.note(merged, config, lambda path: source.text)

    # --- command-line values ----------------------------------------------------------------

    def merge_sets(self, merged: Merged, assignments: list[str]) -> None:
        from vestri.ondrel.cli.paths import set_path
        from vestri.utils.strings import typecast_str

        for text in assignments:
            key, value = split_assignment(text)
            path = set_path(merged.config, key, typecast_str(value), Configuration)
            if merged.origins is not None:
                for known in [known for known in merged.origins if known[:len(path)] == path]:
                    del merged.origins[known]
                merged.origins[path] = SET_LABEL
            if self.history:
                merged.layers.append(self._set_say(path, _value_at(merged.config, path)[1]))

    @staticmethod
    def _set_say(path: Path, stored: Any) -> Callable[[Path], list[Entry]]:
        return lambda asked: [Entry(SET_LABEL, stored)] if asked == path else []


def split_assignment(text: str) -> tuple[str, str]:
    """KEY=VALUE, where KEY may hold an '=' inside a quoted name."""
    quoted = False
    for at, char in enumerate(text):
        if char == '"' and (at == 0 or text[at - 1] != "\\"):
            quoted = not quoted
        elif char == "=" and not quoted:
            if at == 0:
                break
            return text[:at], text[at + 1:]
    raise CommandError(f"--set {text}: expected KEY=VALUE, e.g. --set server.port=9999")


def merge_error(name: str, exc: Exception) -> CommandError:
    return CommandError(f"{name}: cannot be merged into the configuration: {type(exc).__name__}: {one_line(exc)}")


def yaml_line(root: Any, path: Path) -> int | None:
    """The line of the YAML node at `path` in the document under `root`."""
    import yaml

    node = root
    for segment in path:
        if isinstance(node, yaml.SequenceNode) and type(segment) is Position:
            if segment.index >= len(node.value):
                return None
            node = node.value[segment.index]
        elif isinstance(node, yaml.MappingNode):
            for key_node, value_node in node.value:
                if isinstance(key_node, yaml.ScalarNode) and key_node.value == str(segment):
                    node = value_node
                    break
            else:
                return None
        else:
            return None
    return int(node.start_mark.line) + 1


class IniRun:
    """Consecutive INI files, merged as one `load_cfgs` call merges them."""

    def __init__(self, loader: Loader, sources: list[src.Source]) -> None:
        self.loader = loader
        self.sources = sources
        self.files = [(source, src.read_ini(source)) for source in sources]
        if len(self.files) == 1:
            self.parser = self.files[0][1]
        else:
            # The files joined as `read` joins them: sections in the order
            # first met, later options overriding earlier ones in place.
            self.parser = src.new_parser()
            for _, alone_parser in self.files:
                self.parser._defaults.update(alone_parser._defaults)  # type: ignore[attr-defined]
                for section in alone_parser.sections():
                    if not self.parser.has_section(section):
                        self.parser.add_section(section)
                    self.parser._sections[section].update(  # type: ignore[attr-defined]
                        alone_parser._sections[section])  # type: ignore[attr-defined]

    @property
    def name(self) -> str:
        return " + ".join(source.name for source in self.sources)

    def file_of(self, section: str, option: str) -> tuple[str, str]:
        """The file that gave `option` of `section` its value, and the section it was written in."""
        if section != configparser.DEFAULTSECT:
            for source, parser in reversed(self.files):
                if option in parser._sections.get(section, ()):  # type: ignore[attr-defined]
                    return source.name, section
        for source, parser in reversed(self.files):
            if option in parser._defaults:  # type: ignore[attr-defined]
                return source.name, configparser.DEFAULTSECT
        return self.name, section

    def label(self, section: str, option: str) -> str:
        name, written = self.file_of(section, option)
        return f"{name} [{written}]"

    def merge(self, merged: Merged, before: list[src.Source]) -> None:
        loader = self.loader
        if loader.strict:
            for source, parser in self.files:
                if not parser.sections() and not parser.defaults():
                    raise CommandError(f"{source.name}: an empty layer (--strict)")

        def attribute(record: logging.LogRecord) -> str:
            args = record.args if isinstance(record.args, tuple) else ()
            if len(args) == 3:  # names, section, option
                return self.file_of(str(args[1]), str(args[2]))[0]
            return self.name

        with loader_log(attribute, loader.reporter):
            try:
                Configuration._expand_cfg_env_vars(self.parser)
            except CommandError:
                raise
            except ValueError as exc:
                raise self.percent_sign(exc) from None
            try:
                merged.config.update(self.parser)
            except CommandError:
                raise
            except configparser.InterpolationError as exc:
                raise CommandError(f"{self.file_of(exc.section, exc.option)[0]}: {one_line(exc)}") from None
            except (TypeError, AttributeError, KeyError, ValueError) as exc:
                raise self.clash(merged, before) or merge_error(self.name, exc) from None
            merged.config.pop(configparser.DEFAULTSECT, None)
        if merged.origins is not None:
            merged.origins.update(self.origins())
        if loader.history:
            merged.layers.append(self.say)

    def options(self) -> Iterator[tuple[Path, str, str]]:
        """Every (path, section, option) the run sets, in the order merged."""
        defaults = self.parser.defaults()
        for section in self.parser.sections():
            head = tuple(section.split("."))
            own = self.parser._sections[section]  # type: ignore[attr-defined]
            for option in own:
                yield head + tuple(option.split(".")), section, option
            for option in defaults:
                if option not in own:
                    yield head + tuple(option.split(".")), section, option

    def origins(self) -> dict[Path, str]:
        return {path: self.label(section, option) for path, section, option in self.options()}

    def clash(self, merged: Merged, before: list[src.Source]) -> CommandError | None:
        leaves = ((path, self.label(section, option), self.parser.get(section, option, raw=True))
                  for path, section, option in self.options())
        return self.loader.clash(merged, leaves, before)

    def percent_sign(self, exc: ValueError) -> CommandError:
        """The error of the value whose '%' the parser refused, named with its file and section."""
        checker = configparser.BasicInterpolation()
        pattern = Configuration._ENV_VAR_PATTERN

        def expanded(raw: str) -> str:
            return pattern.sub(lambda m: os.environ.get(m.group(1) or m.group(2), ""), raw)

        values = [(configparser.DEFAULTSECT, option, raw) for option, raw in self.parser.defaults().items()]
        values += [(section, option, raw) for section in self.parser.sections()
                   for option, raw in self.parser._sections[section].items()]  # type: ignore[attr-defined]
        for section, option, raw in values:
            try:
                checker.before_set(self.parser, section, option, expanded(raw))
            except ValueError as found:
                return CommandError(f"{self.file_of(section, option)[0]}: [{section}] {option}: {one_line(found)} "
                                    "(write %% for a literal percent sign)")
        return CommandError(f"{self.name}: {one_line(exc)}")

    def say(self, path: Path) -> list[Entry]:
        """What each file of the run says about `path`, for --history."""
        from vestri.utils.strings import typecast_str

        entries: list[Entry] = []
        for depth in range(1, len(path)):
            section, option = ".".join(map(str, path[:depth])), ".".join(map(str, path[depth:]))
            if not self.parser.has_section(section):
                continue
            winner = self.file_of(section, option)
            for source, parser in self.files:
                said = []
                for written, values in ((section, parser._sections.get(section, {})),  # type: ignore[attr-defined]
                                        (configparser.DEFAULTSECT, parser._defaults)):  # type: ignore[attr-defined]
                    if option in values:
                        line = src.ini_line(source, written, option)
                        where = f"{source.name} [{written}]" + (f", line {line}" if line else "")
                        said.append((line or 0, Entry(where, typecast_str(values[option]),
                                                      wins=(source.name, written) == winner)))
                entries += [entry for _, entry in sorted(said, key=lambda pair: pair[0])]
        return entries


def history(merged: Merged, key: str) -> tuple[Path, list[Entry]]:
    """Every layer's say on `key`, in order; the entry whose value was kept is marked."""
    path, value = key_path(merged.config, key)
    if isinstance(value, Mapping) and value:
        # The layers merge into a level key by key: its history is its values'.
        raise CommandError(f"--history {key}: a level, not a value (ask for one of the keys under it)")
    entries: list[Entry] = []
    last: list[Entry] = []
    for say in merged.layers:
        found = say(path)
        if found:
            entries += found
            last = found
    # The last layer that has a say wins; within an INI run, the file and
    # section the parser took the value from.
    kept = set(map(id, last))
    for entry in entries:
        if id(entry) not in kept:
            entry.wins = False
    if last and not any(entry.wins for entry in last):
        last[-1].wins = True
    if not entries:
        raise MissingKey(key)
    return path, entries
