"""The ondrel command, run as a user runs it: a process with arguments, its
standard output, standard error and exit status.  Most runs are rows of one
table (RUNS, BAD_INPUT, MACHINE_READABLE); the rest need a process of their
own (signals, a reader that goes away) or a look inside one."""

import collections
import contextlib
import gc
import importlib.metadata
import io
import json
import os
import pathlib
import shlex
import signal
import subprocess
import sys
import textwrap
import time

import pytest
import yaml
from hypothesis import assume, given, settings, strategies as st

import vestri.ondrel
# The modules the command draws on: one that fails to import fails these tests.
import vestri.ondrel.arbel  # noqa: F401
import vestri.ondrel.logic  # noqa: F401
import vestri.ondrel.trellan  # noqa: F401
from vestri.ondrel import cli
from vestri.utils.import_utils import get_entry_points

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "layered"
SCRIPT = pathlib.Path(sys.executable).parent / "ondrel"


def ondrel(*args, cwd=None, env=None, script=True, stdin=None):
    command = [str(SCRIPT)] if script else [sys.executable, "-m", "vestri.ondrel"]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, cwd=cwd,
                          env={**os.environ, **(env or {})}, input=stdin)


def in_process(*args):
    """main() in this process (many runs): its exit status, output and error output."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(list(map(str, args)), prog="ondrel")
    return status, out.getvalue(), err.getvalue()


def write(folder, files):
    for name, text in files.items():
        (folder / name).write_bytes(text if isinstance(text, bytes) else text.encode())


def lines(text):
    return textwrap.dedent(text).strip("\n").split("\n")


# The files every run of the tables finds in its working directory.  The first
# three are layered as the user gives them: two INI files read by one parser,
# then a YAML file (LAYERED); the web.* pair and the extra.* files are further layers.
FILES = {
    "base.ini": "[DEFAULT]\nhome = /srv\n[server]\nport = 8080\nlog = %(home)s/log\n[db]\nhost = localhost\n"
                "password = secret\n",
    "site.ini": "[db]\nhost = db.internal\n",
    "prod.yaml": "server:\n  port: 9090\ndb:\n  replicas: [r1, {host: r2}]\n",
    "web.ini": "[DEFAULT]\nhome = /srv\n[server]\nport = 8080\nlog = %(home)s/log\n",
    "web.yaml": "server:\n  port: 9090\ndb:\n  replicas:\n  - host: r1\n",
    "extra.json": '{"db": {"pool": 5}}',
    "extra.toml": "[cache]\nttl = 60\n",
    "empty.yaml": "{}\n",
}
LAYERED = "base.ini site.ini prod.yaml"


@pytest.fixture
def folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write(tmp_path, FILES)
    return tmp_path


TREE = """\
    .
    |-- server
    |   |-- port = 9090
    |   |-- log = '/srv/log'
    |   `-- home = '/srv'
    `-- db
        |-- host = 'db.internal'
        |-- password = 'secret'
        |-- home = '/srv'
        `-- replicas
            |-- [0] = 'r1'
            `-- [1]
                `-- host = 'r2'
    """

FLAT = """\
    server.port = 9090
    server.log = '/srv/log'
    server.home = '/srv'
    db.host = 'db.internal'
    db.password = 'secret'
    db.home = '/srv'
    db.replicas[0] = 'r1'
    db.replicas[1].host = 'r2'
    """

ORIGINS = ["prod.yaml", "base.ini [server]", "base.ini [DEFAULT]", "site.ini [db]", "base.ini [db]",
           "base.ini [DEFAULT]", "prod.yaml", "prod.yaml"]  # of the values of TREE and FLAT, in order


def with_origins(shown):
    """TREE or FLAT lines as --origin writes them."""
    origins = iter(ORIGINS)
    return [f"{line}  # {next(origins)}" if " = " in line else line for line in shown]


def unset_warning(name, section, key):
    return (f"ondrel: warning: {name}: Environment variable(s) ONDREL_TEST_UNSET referenced by [{section}] {key} "
            "are not set; substituting an empty string.\n")


# A run in a folder holding FILES (and `files`): its arguments as a shell line,
# standard output as lines, exit status and standard error.
Run = collections.namedtuple("Run", "args out status err files env stdin", defaults=(0, "", {}, None, None))
MATCH = r'''"And('^db\.', Not('password'))"'''  # as a shell line quotes it
SET = "s: !!set {pear, apple, fig, kiwi, plum}\n"
SHOP = {"SHOP_SERVER__PORT": "1", "SHOP_SERVER__LOG": "/l", "SHOP_CACHE__TTL": "5", "SHOPPING": "no"}

RUNS = [
    Run("--version", [f"ondrel {vestri.ondrel.__version__}"]),
    Run(f"show {LAYERED}", lines(TREE)),
    Run(f"show --flat {LAYERED}", lines(FLAT)),
    Run(f"show --origin {LAYERED}", with_origins(lines(TREE))),
    Run(f"show --flat --origin {LAYERED}", with_origins(lines(FLAT))),
    # --get: a value as text, for shell scripts; a level as a tree or lines
    Run(f"show --get server.port {LAYERED}", ["9090"]),
    Run(f"show --get db.host {LAYERED}", ["db.internal"]),
    Run(f"show --get db.replicas[0] {LAYERED}", ["r1"]),
    Run(f"show --get db.replicas[1].host {LAYERED}", ["r2"]),
    Run(f"show --get db.host --origin {LAYERED}", ["db.internal  # site.ini [db]"]),
    Run(f"show --get db.replicas {LAYERED}", ["db.replicas", "|-- [0] = 'r1'", "`-- [1]", "    `-- host = 'r2'"]),
    Run(f"show --get server --flat {LAYERED}", lines(FLAT)[:3]),
    # --match keeps the leaves whose path satisfies it
    Run(f"show --flat --match {MATCH} {LAYERED}",
        [line for line in lines(FLAT) if line.startswith("db.") and "password" not in line]),
    Run(f"show --match \"Or('port', 'replicas\\[1\\]')\" {LAYERED}",
        [".", "|-- server", "|   `-- port = 9090", "`-- db", "    `-- replicas", "        `-- [1]",
         "            `-- host = 'r2'"]),
    Run(f"show --get db.password --match {MATCH} {LAYERED}", []),
    Run("show empty.yaml", ["."]),
    Run("show --flat empty.yaml", []),
    Run("show --format json empty.yaml", ["{}"]),
    # diff: removed, changed and added leaves, exit status 1 when there are any
    Run("diff base.ini+site.ini base.ini+site.ini", []),
    Run("diff base.ini base.ini+site.ini+prod.yaml", ["~ server.port = 8080 -> 9090",
                                                     "~ db.host = 'localhost' -> 'db.internal'",
                                                     "+ db.replicas[0] = 'r1'", "+ db.replicas[1].host = 'r2'"], 1),
    Run("diff prod.yaml base.ini --match \"And('port')\"", ["~ server.port = 9090 -> 8080"], 1),
    Run("diff a.yaml b.yaml", ["~ x = 1 -> True", "~ y = 1 -> 1.0"], 1,
        files={"a.yaml": "x: 1\ny: 1\n", "b.yaml": "x: true\ny: 1.0\n"}),
    # An unset variable is a warning naming the file, once per run.
    Run("show --get paths.data env.ini", ["/data"], err=unset_warning("env.ini", "paths", "data"),
        files={"env.ini": "[paths]\ndata = ${ONDREL_TEST_UNSET}/data\n"}),
    Run("show --get paths.data env.ini", ["/x/data"], env={"ONDREL_TEST_UNSET": "/x"},
        files={"env.ini": "[paths]\ndata = ${ONDREL_TEST_UNSET}/data\n"}),
    Run("diff a.ini a.ini+b.yaml", ["~ s.k = 'x' -> 'y'"], 1, err=unset_warning("a.ini", "s", "k"),
        files={"a.ini": "[s]\nk = ${ONDREL_TEST_UNSET}x\n", "b.yaml": "s: {k: y}\n"}),
    # Layers read as the loaders read them.  An empty YAML file is an empty
    # layer, as an empty INI file is.
    Run("show --flat e.yaml a.ini e.ini", ["s.k = 1"], files={"e.yaml": "", "a.ini": "[s]\nk = 1\n", "e.ini": ""}),
    # A UTF-8 byte-order mark is no part of the first line.
    Run("show --flat b.ini", ["s.k = 'v'"], files={"b.ini": b"\xef\xbb\xbf[s]\nk = v\n"}),
    Run("show --flat b.json", ["s.k = 'v'"], files={"b.json": b'\xef\xbb\xbf{"s": {"k": "v"}}'}),
    # The defaults reach an empty section, and its origin names them.
    Run("show --flat --origin d.ini e.ini", ["empty.home = '/srv'  # d.ini [DEFAULT]"],
        files={"d.ini": "[DEFAULT]\nhome = /srv\n", "e.ini": "[empty]\n"}),
    # Windows line ends.
    Run("show --flat w.ini", ["s.k = 'a\\nb'"], files={"w.ini": b"[s]\r\nk = a\r\n  b\r\n"}),
    # --set: values converted as the store converts text, positions allowed,
    # origin '--set'; written anywhere, applied after all sources.
    Run("show --flat web.ini --set server.port=9999 web.yaml --set db.replicas[0].host=x --set new.flag=true "
        "--origin", ["server.port = 9999  # --set", "server.log = '/srv/log'  # web.ini [server]",
                     "server.home = '/srv'  # web.ini [DEFAULT]", "db.replicas[0].host = 'x'  # --set",
                     "new.flag = True  # --set"]),
    # env:PREFIX merged where it stands: after web.ini, before web.yaml.
    Run("show --flat web.ini env:SHOP web.yaml --origin",
        ["server.port = 9090  # web.yaml", "server.log = '/l'  # env:SHOP (SHOP_SERVER__LOG)",
         "server.home = '/srv'  # web.ini [DEFAULT]", "cache.ttl = 5  # env:SHOP (SHOP_CACHE__TTL)",
         "db.replicas[0].host = 'r1'  # web.yaml"], env=SHOP),
    # JSON and TOML files; --type reads a file whatever its suffix.
    Run("show --flat extra.json extra.toml --origin", ["db.pool = 5  # extra.json", "cache.ttl = 60  # extra.toml"]),
    Run("show --flat --type json data.txt", ["a[0] = 1", "a[1] = 2"], files={"data.txt": '{"a": [1, 2]}'}),
    Run("show --flat -- -data.json", ["a[0] = 1", "a[1] = 2"], files={"-data.json": '{"a": [1, 2]}'}),
    # --strict and --require pass when all is there.
    Run("show --flat --strict --require server.log --require db.replicas[0].host web.ini web.yaml --get server",
        ["server.port = 9090", "server.log = '/srv/log'", "server.home = '/srv'"]),
    # Standard input is a source.
    Run("show --flat web.ini -", ["server.port = 1", "server.log = '/srv/log'", "server.home = '/srv'"],
        stdin="server: {port: 1}\n"),
    Run("show --flat --type ini -", ["s.k = 'v'"], stdin="[s]\nk = v\n"),
    Run("show --flat --type toml -", ["k = 2"], stdin="k = 2\n"),
    # --history lists every layer and marks the winner; within INI files a
    # section's own option beats a later [DEFAULT].
    Run("show --history server.port web.ini over.ini web.yaml env:SHOP",
        ["server.port", "  web.ini [server], line 4: 8080", "  over.ini [DEFAULT], line 2: 1",
         "  over.ini [server], line 5: 8081", "  web.yaml, line 2: 9090", "* env:SHOP (SHOP_SERVER__PORT): 7"],
        files={"over.ini": "[DEFAULT]\nport = 1\n\n[server]\nport = 8081\n"}, env={"SHOP_SERVER__PORT": "7"}),
    Run("show --history server.home web.ini over.ini", ["server.home", "* web.ini [DEFAULT], line 2: '/srv'"],
        files={"over.ini": "[DEFAULT]\nport = 1\n\n[server]\nport = 8081\n"}),
    Run("show --history server.port web.ini d.ini",
        ["server.port", "* web.ini [server], line 4: 8080", "  d.ini [DEFAULT], line 2: 1"],
        files={"d.ini": "[DEFAULT]\nport = 1\n"}),
    # Sets print in one order, whatever the hash seed.
    *[Run("show --flat s.yaml", ["s = {'apple', 'fig', 'kiwi', 'pear', 'plum'}"], files={"s.yaml": SET},
          env={"PYTHONHASHSEED": str(seed)}) for seed in range(4)],
    *[Run("show --format yaml s.yaml", ["s: !!set", "  apple: null", "  fig: null", "  kiwi: null", "  pear: null",
                                        "  plum: null"], files={"s.yaml": SET}, env={"PYTHONHASHSEED": str(seed)})
      for seed in range(3)],
]


@pytest.mark.parametrize("run", RUNS, ids=lambda run: run.args)
def test_output_and_exit_status(folder, run):
    write(folder, run.files)
    result = ondrel(*shlex.split(run.args), env=run.env, stdin=run.stdin)
    out = "".join(line + "\n" for line in run.out)
    assert (result.returncode, result.stdout, result.stderr) == (run.status, out, run.err)


def test_version_and_metadata():
    assert vestri.ondrel.__version__ == importlib.metadata.version("vestri.ondrel")
    assert importlib.metadata.metadata("vestri.ondrel")["Summary"]


@pytest.mark.parametrize("args", [["--help"], ["show", "--help"], ["diff", "--help"]])
def test_help(args):
    result = ondrel(*args, script=False)
    assert result.returncode == 0 and result.stdout.startswith("usage: python -m vestri.ondrel")
    assert result.stderr == ""


@pytest.mark.parametrize("args", [
    *(["--get", key] for key in ["db.user", "server.port.number", "db.replicas[2]", "db.replicas[x]", "nope", "",
                                 ".db", "db..host", "db.[0]", "\"db\\q\"", "db.replicas[0"]),
    ["--history", "nope"],
])
def test_a_missing_key_exits_1(folder, args):
    result = ondrel("show", *args, *shlex.split(LAYERED))
    assert (result.returncode, result.stdout, result.stderr) == (1, "", f"ondrel: no such key: {args[1]}\n")


MERGED = {"server": {"port": 9090, "log": "/srv/log", "home": "/srv"},
          "db": {"host": "db.internal", "password": "secret", "home": "/srv", "replicas": ["r1", {"host": "r2"}]}}

MACHINE_READABLE = [  # (arguments, what the output loads as)
    (f"show {LAYERED}", MERGED),
    (f"show --get server.port {LAYERED}", 9090),
    (f"show --get db.replicas {LAYERED}", ["r1", {"host": "r2"}]),
    (f"show --match \"Not('server', 'home', 'replicas')\" {LAYERED}",
     {"db": {"host": "db.internal", "password": "secret"}}),
    ("show --origin web.ini web.yaml",
     {"values": {"server": {"port": 9090, "log": "/srv/log", "home": "/srv"}, "db": {"replicas": [{"host": "r1"}]}},
      "origins": {"server": {"port": "web.yaml", "log": "web.ini [server]", "home": "web.ini [DEFAULT]"},
                  "db": {"replicas": [{"host": "web.yaml"}]}}}),
    ("show --origin --get server.log web.ini", {"value": "/srv/log", "origin": "web.ini [server]"}),
]


@pytest.mark.parametrize("form, parse", [("json", json.loads), ("yaml", yaml.safe_load)])
@pytest.mark.parametrize("args, expected", MACHINE_READABLE)
def test_machine_readable_output(folder, form, parse, args, expected):
    result = ondrel(*shlex.split(args), "--format", form)
    assert (result.returncode, result.stderr) == (0, "")
    # Compared with the types: 9090 is not 9090.0, nor True 1.
    assert json.dumps(parse(result.stdout), sort_keys=True) == json.dumps(expected, sort_keys=True)


# Random configurations: mappings of lists and scalars, as YAML files hold them.
SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-10**6, 10**6),
                    st.floats(allow_nan=False, allow_infinity=False, width=32), st.text(max_size=8))
KEYS = st.text(st.characters(codec="ascii", categories=["L", "N"]), min_size=1, max_size=6)
VALUES = st.recursive(SCALARS, lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                        st.dictionaries(KEYS, inner, max_size=3)), max_leaves=12)


@settings(max_examples=40)
@given(first=st.dictionaries(KEYS, VALUES, min_size=1, max_size=4), second=st.dictionaries(KEYS, VALUES, max_size=4))
def test_yaml_output_loads_back_to_the_same_tree(tmp_path_factory, first, second):
    folder = tmp_path_factory.mktemp("round")
    for name, data in (("a.yaml", first), ("b.yaml", second or {"x": 1})):
        (folder / name).write_text(yaml.safe_dump(data))
    sources = [str(folder / "a.yaml"), str(folder / "b.yaml")]
    status, tree, _ = in_process("show", *sources)
    assume(status == 0)  # a level given where the first file holds a value is an error, tested elsewhere
    status, merged, _ = in_process("show", "--format", "yaml", *sources)
    (folder / "merged.yaml").write_text(merged)
    assert in_process("show", str(folder / "merged.yaml"))[:2] == (0, tree)
    assert in_process("diff", "+".join(sources), str(folder / "merged.yaml"))[:2] == (0, "")


# Keys that are not plain text, as YAML gives them.
ODD_KEYS = {
    "numbers": "k: {0: zero, 2.5: half, -1: minus, 1e+20: big}\n",
    "constants": "k: {false: no, null: nothing, true: yes}\n",
    "text beside a number": "k: {1: int, '1': text, '2.5': t, 2.5: f}\n",
    "dots and brackets": "l: [{'a.b': 1, 'c[0]': 2, 'say \"hi\"': 3, 'x=y': 4, '': 5}]\n",
    "dates": "k: {2024-01-02: day, 2024-01-02 03:04:05: moment}\n",
}


@pytest.mark.parametrize("text", ODD_KEYS.values(), ids=ODD_KEYS.keys())
def test_get_reads_back_every_path_flat_prints(tmp_path, text):
    write(tmp_path, {"odd.yaml": text})
    status, flat, _ = in_process("show", "--flat", tmp_path / "odd.yaml")
    assert status == 0 and flat
    for line in flat.splitlines():
        path = line.split(" = ")[0]
        assert in_process("show", "--flat", "--get", path, tmp_path / "odd.yaml") == (0, line + "\n", "")


@pytest.fixture
def plugins(install_distribution):
    """An installed distribution with entry points in two groups, one of which fails."""
    return install_distribution(
        "vestri-cli-plugins",
        "[vestri.cli.good]\ndefaults = vestri_cli_plugin:SETTINGS\n[vestri.cli.bad]\nbroken = vestri_cli_plugin:missing\n",
        "vestri_cli_plugin", "SETTINGS = {'cache': {'ttl': '60'}, 'server': {'port': 1}}\n")


def test_an_entry_point_group_is_a_source_and_a_failing_one_names_its_distribution(folder, plugins):
    result = ondrel("show", "--flat", "--origin", *shlex.split(LAYERED), "entrypoint:vestri.cli.good", env=plugins)
    assert result.returncode == 0
    assert {"cache.ttl = 60  # entrypoint:vestri.cli.good",
            "server.port = 1  # entrypoint:vestri.cli.good"} <= set(result.stdout.splitlines())
    (ep,) = get_entry_points("vestri.cli.bad")
    assert str(ep.dist) == "vestri-cli-plugins 1.0" and ep.dist.version == "1.0"
    result = ondrel("show", "entrypoint:vestri.cli.bad", env=plugins)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == ("ondrel: error: entrypoint:vestri.cli.bad: Failed to load configuration from "
                             "entrypoint: vestri-cli-plugins 1.0 (AttributeError: module 'vestri_cli_plugin' "
                             "has no attribute 'missing')\n")


# Nine levels of nine aliases: 496 bytes that stand for 387 million values.
NESTED_ALIASES = "a0: &a0 x\n" + "".join(f"a{i}: &a{i} [{', '.join([f'*a{i - 1}'] * 9)}]\n" for i in range(1, 10))
NESTED_MERGES = "m0: &m0 {k: 1}\n" + "".join(f"m{i}: &m{i} {{<<: [{', '.join([f'*m{i - 1}'] * 9)}]}}\n"
                                             for i in range(1, 10))


class Prefix(str):
    """A message of which only the start is fixed: what follows is another library's text."""


BAD_INPUT = [
    # (files to write, arguments, message after "ondrel: error: ")
    ({}, ["show", "absent.yaml"], "absent.yaml: no such file"),
    ({}, ["show", "loop.ini"], "loop.ini: a loop of symbolic links"),
    ({}, ["show", "."], ".: is a directory"),
    ({}, ["show", "/dev/null"], "/dev/null: not a regular file"),
    ({"notes.txt": "a = 1\n"}, ["show", "notes.txt"], "notes.txt: unknown type of file (expected .ini, .cfg, "
     ".conf, .yaml, .yml, .json or .toml, or give one with --type)"),
    ({"a.ini": "[s]\nk = 1\nk: v\n"}, ["show", "a.ini"],
     "a.ini, line 3: cannot parse 'k: v': expected 'name = value', a [section] header or a '#' comment"),
    ({"a.cfg": "k = 1\n"}, ["show", "a.cfg"], "a.cfg, line 1: 'k = 1' comes before any [section] header"),
    ({"a.conf": "[s]\nk = 1\nk = 2\n"}, ["show", "a.conf"], "a.conf, line 3: option 'k' of section [s] is set twice"),
    ({"a.ini": "[s]\n[s]\n"}, ["show", "a.ini"], "a.ini, line 2: section [s] appears twice"),
    ({"a.ini": "[s]\nk = %(nope)s\n"}, ["show", "a.ini"],
     "a.ini: Bad value substitution: option 'k' in section 's' contains an interpolation key 'nope' which is "
     "not a valid option name. Raw value: '%(nope)s'"),
    ({"a.ini": "[s]\nk = 1\n", "b.ini": "[t]\nshare = 100%\n"}, ["show", "a.ini", "b.ini"],
     "b.ini: [t] share: invalid interpolation syntax in '100%' at position 3 (write %% for a literal percent sign)"),
    # What follows the position is PyYAML's text, which differs between its
    # native parser and the Python one.
    ({"a.yaml": "a: [1\n"}, ["show", "a.yaml"], Prefix("a.yaml, line 2, column 1: ")),
    ({"a.yml": "a: b: c\n"}, ["show", "a.yml"], Prefix("a.yml, line 1, column 5: mapping values are not allowed")),
    ({"a.yaml": "- [a, 1]\n"}, ["show", "a.yaml"], "a.yaml: the top level is a list; a mapping of settings was expected"),
    ({"a.yaml": "# nothing\n"}, ["show", "--strict", "a.yaml"], "a.yaml: an empty layer (--strict)"),
    ({"a.yaml": b"a: \xff\n"}, ["show", "a.yaml"], "a.yaml: cannot be read as utf-8 text (byte 3: invalid start byte)"),
    ({"laughs.yaml": NESTED_ALIASES}, ["show", "laughs.yaml"], "laughs.yaml: its aliases expand the document by more "
     "than 200,000 values (raise the bound with --max-values or ONDREL_MAX_VALUES)"),
    ({"merges.yml": NESTED_MERGES}, ["diff", "merges.yml", "merges.yml"], "merges.yml: its aliases expand the "
     "document by more than 200,000 values (raise the bound with --max-values or ONDREL_MAX_VALUES)"),
    ({"loop.yaml": "a: &a {b: [1, *a]}\n"}, ["show", "loop.yaml"],
     "loop.yaml: an alias refers to a node that contains it, so the configuration would never end"),
    ({"a.yaml": "a: 1\n"}, ["show", "--max-values", "0", "a.yaml"], "argument --max-values: expected a positive "
     "whole number, got '0' (see 'ondrel show --help')"),
    ({}, ["show", "entrypoint:vestri.cli.none"],
     "entrypoint:vestri.cli.none: no entry points are installed in the group 'vestri.cli.none'"),
    ({}, ["show", "entrypoint:"], "entrypoint:: no entry-point group named (write entrypoint:GROUP)"),
    ({}, [], "a command is required: show or diff (see 'ondrel --help')"),
    ({}, ["show"], "the following arguments are required: SOURCE (see 'ondrel show --help')"),
    ({}, ["show", "--flat", "--format", "json", "a.yaml"],
     "argument --format: not allowed with argument --flat (see 'ondrel show --help')"),
    ({}, ["show", "--format", "toml", "a.yaml"], "argument --format: invalid choice: 'toml' (choose from json, yaml) "
     "(see 'ondrel show --help')"),
    ({}, ["diff", "a.yaml"], "the following arguments are required: B (see 'ondrel diff --help')"),
    ({"a.yaml": "a: 1\n"}, ["diff", "a.yaml", "a.yaml+gone.ini"], "gone.ini: no such file"),
    ({}, ["frobnicate"], "argument COMMAND: invalid choice: 'frobnicate' (choose from show, diff) "
     "(see 'ondrel --help')"),
    # A value a tag's constructor refuses names the file, line and column.
    ({"a.yaml": "day: 2024-02-30\n"}, ["show", "a.yaml"],
     "a.yaml, line 1, column 6: cannot read '2024-02-30' as timestamp: day is out of range for month"),
    ({"a.yaml": "a: [!!int x]\n"}, ["show", "a.yaml"],
     "a.yaml, line 1, column 5: cannot read 'x' as int: invalid literal for int() with base 10: 'x'"),
    ({"a.yaml": "a:\n  b: !!float x\n"}, ["show", "a.yaml"],
     "a.yaml, line 2, column 6: cannot read 'x' as float: could not convert string to float: 'x'"),
    ({"a.yaml": "n: " + "7" * 5000 + "\n"}, ["show", "a.yaml"], "a.yaml, line 1, column 4: cannot read "
     "'7777777777777777777777777777777777777777' as int: Exceeds the limit (4300 digits) for integer string "
     "conversion: value has 5000 digits; use sys.set_int_max_str_digits() to increase the limit"),
    # A level where a value stands names the key and both places.
    ({"setup.cfg": "[options]\npackages = find:\n[options.packages.find]\nwhere = src\n"}, ["show", "setup.cfg"],
     "setup.cfg [options.packages.find] makes options.packages a level, but setup.cfg [options] sets it to "
     "the value 'find:'"),
    ({"a.yaml": "a: 1\n", "b.ini": "[a]\nb = 2\n"}, ["show", "a.yaml", "b.ini"],
     "b.ini [a] makes a a level, but a.yaml sets it to the value 1"),
    ({"a.ini": "[s]\nk = 1\n", "b.yaml": "s:\n  k: {x: 1}\n"}, ["diff", "a.ini", "a.ini+b.yaml"],
     "b.yaml makes s.k a level, but a.ini [s] sets it to the value 1"),
    ({"a.yaml": "a: 1\n"}, ["show", "--match", "And('[')", "a.yaml"],
     "--match: the regular expression '[' is malformed: unterminated character set at position 0"),
    # Malformed logic: the parser's own text follows.
    *(({"a.yaml": "a: 1\n"}, ["show", "--match", logic, "a.yaml"], Prefix("--match: "))
      for logic in ["And(", "'text'", "And(5)", "__import__('os')"]),
    ({"a.yaml": "a: .nan\n"}, ["show", "--format", "json", "a.yaml"], "--format json: a = nan: JSON has no such number"),
    ({"a.yaml": "k: {1: int, '1': text}\n"}, ["show", "--format", "json", "a.yaml"],
     "--format json: k has two keys written \"1\" in JSON (1 and '1')"),
    ({"a.json": '{"a": [1,\n x]}'}, ["show", "a.json"], "a.json, line 2, column 2: Expecting value"),
    ({"a.toml": "a = 1\nb = \n"}, ["show", "a.toml"], "a.toml, line 2, column 5: Invalid value"),
    ({"a.txt": "- 1\n"}, ["show", "--type", "yaml", "a.txt"],
     "a.txt: the top level is a list; a mapping of settings was expected"),
    ({"a.ini": "[s]\nk = ${ONDREL_TEST_UNSET}\n"}, ["show", "--strict", "a.ini"],
     "a.ini: Environment variable(s) ONDREL_TEST_UNSET referenced by [s] k are not set; substituting an empty "
     "string. (--strict)"),
    ({"a.ini": ""}, ["show", "--strict", "a.ini"], "a.ini: an empty layer (--strict)"),
    ({}, ["show", "--strict", "env:ONDREL_TEST_NOTHING"], "env:ONDREL_TEST_NOTHING: an empty layer (--strict)"),
    ({"a.yaml": "a: 1\n"}, ["show", "a.yaml", "--require", "a", "--require", "b.c"], "--require b.c: no such key"),
    ({"a.yaml": "a: 1\n"}, ["show", "a.yaml", "--set", "a.b=2"], "--set a.b: a is the value 1, not a level"),
    ({"a.yaml": "a: [1]\n"}, ["show", "a.yaml", "--set", "a[3]=2"], "--set a[3]: a has no position 3"),
    ({"a.yaml": "a: 1\n"}, ["show", "a.yaml", "--set", "a"], "--set a: expected KEY=VALUE, e.g. --set server.port=9999"),
    ({"a.yaml": "a: {b: 1}\n"}, ["show", "--history", "a", "a.yaml"],
     "--history a: a level, not a value (ask for one of the keys under it)"),
]


@pytest.mark.parametrize("files, args, message", BAD_INPUT)
def test_bad_input_is_one_line_and_exit_status_2(tmp_path, files, args, message):
    (tmp_path / "loop.ini").symlink_to("loop.ini")
    write(tmp_path, files)
    result = ondrel(*args, cwd=tmp_path, env={"PYTHONUTF8": "1"})
    assert (result.returncode, result.stdout) == (2, "")
    if isinstance(message, Prefix):
        assert result.stderr.startswith(f"ondrel: error: {message}") and result.stderr.count("\n") == 1
    elif "invalid choice" in message:  # whether argparse quotes the choices depends on its release
        assert result.stderr.replace("'", "") == f"ondrel: error: {message}\n".replace("'", "")
    else:
        assert result.stderr == f"ondrel: error: {message}\n"


# The aliases add 16 values: four copies of a list of three (the anchor
# written in block style, and straight after a flow mapping's ':').
@pytest.mark.parametrize("text", ["a: &a [1, 2, 3]\nb: [*a, *a, *a, *a]\n",
                                  '{"a":&a [1, 2, 3], b: [*a, *a, *a, *a]}'])
def test_the_bound_on_alias_expansion_can_be_raised(tmp_path, monkeypatch, text):
    write(tmp_path, {"aliases.yaml": text})
    path = tmp_path / "aliases.yaml"
    monkeypatch.setenv("ONDREL_MAX_VALUES", "15")
    assert in_process("show", "--get", "b[3][2]", path)[:2] == (2, "")
    assert in_process("show", "--get", "b[3][2]", "--max-values", "16", path)[:2] == (0, "3\n")
    monkeypatch.setenv("ONDREL_MAX_VALUES", "16")
    assert in_process("diff", path, path)[:2] == (0, "")


def test_writes_nothing_but_its_output(folder):
    before = sorted(folder.rglob("*"))
    ondrel("show", "--origin", *shlex.split(LAYERED))
    ondrel("show", "broken.yaml")
    assert sorted(folder.rglob("*")) == before


@pytest.mark.parametrize("command", [["show", "--flat"], ["diff", "small.yaml"]])
def test_a_reader_that_goes_away_is_no_error(tmp_path, command):
    # As `ondrel diff ... | head`: quiet, with the status of a writer stopped by SIGPIPE.
    write(tmp_path, {"big.yaml": yaml.safe_dump({f"key{i}": {"value": "x" * 40} for i in range(5000)}),
                     "small.yaml": "x: 1\n"})
    process = subprocess.Popen([str(SCRIPT), *command, "big.yaml"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.readline()
    process.stdout.close()
    assert process.wait() == 141 and process.stderr.read() == b""
    process.stderr.close()


def test_an_interrupt_exits_130_without_a_traceback(folder, monkeypatch):
    from vestri.ondrel.cli import rendering

    class Interrupting(rendering.Leaf):
        @property
        def raw_path(self):
            raise KeyboardInterrupt

        @raw_path.setter
        def raw_path(self, value):
            pass

    real = rendering.flatten
    monkeypatch.setattr(rendering, "flatten",
                        lambda config: [Interrupting(leaf.path, (), leaf.value) for leaf in real(config)])
    assert in_process("show", "--format", "json", "prod.yaml") == (130, "", "")
    assert gc.isenabled()  # paused while the output was built, and back on


def test_ctrl_c_while_reading_exits_130_without_a_traceback():
    # A shell's background job starts with SIGINT ignored; the user's shell does not.
    process = subprocess.Popen([str(SCRIPT), "show", "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    time.sleep(0.5)  # reading standard input, which stays open
    process.send_signal(signal.SIGINT)
    out, err = process.communicate()
    assert (process.returncode, out, err) == (130, "", "")


def test_errors_name_the_program_as_invoked_and_tracebacks_on_request(folder, monkeypatch, capsys):
    result = ondrel("show", "absent.yaml", script=False)
    assert result.stderr == "python -m vestri.ondrel: error: absent.yaml: no such file\n"
    from vestri.ondrel.cli import commands

    def broken(args, reporter):
        raise RuntimeError("a fault")

    monkeypatch.setattr(commands, "show", broken)  # the parser, built for each run, takes it
    monkeypatch.delenv("ONDREL_TRACEBACK", raising=False)
    assert cli.main(["show", "prod.yaml"], prog="ondrel") == 2
    assert capsys.readouterr().err == "ondrel: error: unexpected RuntimeError: a fault\n"
    monkeypatch.setenv("ONDREL_TRACEBACK", "1")
    assert cli.main(["show", "prod.yaml"], prog="ondrel") == 2
    err = capsys.readouterr().err
    assert err.startswith("Traceback") and err.endswith("ondrel: error: unexpected RuntimeError: a fault\n")


def test_start_up_leaves_entry_point_machinery_alone(folder):
    code = ("import sys; from vestri.ondrel.cli import main; main(['show', 'base.ini']); "
            "print('importlib.metadata' in sys.modules)")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.stdout.splitlines()[-1] == "False"


def test_the_shipped_example(monkeypatch):
    monkeypatch.chdir(EXAMPLE)
    sources = ["base.ini", "site.ini", "production.yaml"]
    env = {"SHOP_HOME": "/srv/shop", "SHOP_DB_PASSWORD": "s3cret"}
    origin = ondrel("show", "--origin", "--flat", *sources, env=env)
    assert (origin.returncode, origin.stderr) == (0, "")
    assert {"db.password = 's3cret'  # site.ini [db]", "logging.file = '/srv/shop/log/shop.log'  # base.ini [logging]",
            "logging.level = 'WARNING'  # production.yaml", "server.home = '/srv/shop'  # base.ini [DEFAULT]",
            } <= set(origin.stdout.splitlines())
    selected = ondrel("show", "--flat", "--match", r"And('^db\.', Not('password'))", *sources, env=env).stdout
    assert selected.startswith("db.host = 'db.internal'\n") and "password" not in selected
    assert ondrel("show", "--get", "db.replicas[1].host", *sources, env=env).stdout == "replica-2.internal\n"
