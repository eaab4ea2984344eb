"""The ondrel command, run as a user runs it: a process with arguments, its
standard output, standard error and exit status."""

import contextlib
import importlib.metadata
import io
import json
import os
import pathlib
import subprocess
import sys
import textwrap

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


def ondrel(*args, cwd=None, env=None, script=True):
    command = [str(SCRIPT)] if script else [sys.executable, "-m", "vestri.ondrel"]
    environ = {**os.environ, **(env or {})}
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True, cwd=cwd, env=environ)


def lines(text):
    return textwrap.dedent(text).strip("\n").split("\n")


def write(folder, name, text):
    path = folder / name
    path.write_text(textwrap.dedent(text))
    return path


@pytest.fixture
def layered(tmp_path, monkeypatch):
    """Two INI files read by one parser, then a YAML file, as the user gives them."""
    monkeypatch.chdir(tmp_path)
    write(tmp_path, "base.ini", "[DEFAULT]\nhome = /srv\n[server]\nport = 8080\nlog = %(home)s/log\n"
                                "[db]\nhost = localhost\npassword = secret\n")
    write(tmp_path, "site.ini", "[db]\nhost = db.internal\n")
    write(tmp_path, "prod.yaml", "server:\n  port: 9090\ndb:\n  replicas: [r1, {host: r2}]\n")
    return ["base.ini", "site.ini", "prod.yaml"]


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


def test_version_and_metadata():
    assert vestri.ondrel.__version__ == importlib.metadata.version("vestri.ondrel")
    assert importlib.metadata.metadata("vestri.ondrel")["Summary"]
    result = ondrel("--version", script=True)
    assert (result.returncode, result.stdout, result.stderr) == (0, f"ondrel {vestri.ondrel.__version__}\n", "")


@pytest.mark.parametrize("args", [["--help"], ["show", "--help"], ["diff", "--help"]])
def test_help(args):
    result = ondrel(*args, script=False)
    assert result.returncode == 0 and result.stdout.startswith("usage: python -m vestri.ondrel")
    assert result.stderr == ""


ORIGINS = ["prod.yaml", "base.ini [server]", "base.ini [DEFAULT]", "site.ini [db]", "base.ini [db]",
           "base.ini [DEFAULT]", "prod.yaml", "prod.yaml"]  # of the lines of FLAT


@pytest.mark.parametrize("args, expected", [
    ([], lines(TREE)), (["--flat"], lines(FLAT)),
    (["--flat", "--origin"], [f"{line}  # {origin}" for line, origin in zip(lines(FLAT), ORIGINS)]),
])
def test_show_draws_the_merged_tree_flat_or_with_origins(layered, args, expected):
    result = ondrel("show", *args, *layered)
    assert (result.returncode, result.stdout.splitlines(), result.stderr) == (0, expected, "")


def test_origin_names_file_and_section(layered):
    tree = ondrel("show", "--origin", *layered).stdout.splitlines()
    assert "    |-- host = 'db.internal'  # site.ini [db]" in tree
    assert ondrel("show", "--get", "db.host", "--origin", *layered).stdout == "db.internal  # site.ini [db]\n"


@pytest.mark.parametrize("key, expected", [
    ("server.port", "9090"),
    ("db.host", "db.internal"),  # text as it is, for shell scripts
    ("db.replicas[0]", "r1"),
    ("db.replicas[1].host", "r2"),
])
def test_get_prints_a_value(layered, key, expected):
    result = ondrel("show", "--get", key, *layered)
    assert (result.returncode, result.stdout, result.stderr) == (0, expected + "\n", "")


def test_get_prints_a_level_as_a_tree(layered):
    assert ondrel("show", "--get", "db.replicas", *layered).stdout.splitlines() == [
        "db.replicas", "|-- [0] = 'r1'", "`-- [1]", "    `-- host = 'r2'"]
    assert ondrel("show", "--get", "server", "--flat", *layered).stdout.splitlines() == lines(FLAT)[:3]
    assert json.loads(ondrel("show", "--get", "db.replicas", "--format", "json", *layered).stdout) == [
        "r1", {"host": "r2"}]


@pytest.mark.parametrize("key", ["db.user", "server.port.number", "db.replicas[2]", "db.replicas[x]", "nope", "",
                                 ".db", "db..host", "db.[0]", "\"db\\q\"", "db.replicas[0"])
def test_get_of_a_missing_key_exits_1(layered, key):
    result = ondrel("show", "--get", key, *layered)
    assert (result.returncode, result.stdout, result.stderr) == (1, "", f"ondrel: no such key: {key}\n")


def test_match_keeps_the_leaves_whose_path_satisfies_it(layered):
    logic = r"And('^db\.', Not('password'))"
    flat = ondrel("show", "--flat", "--match", logic, *layered)
    assert (flat.returncode, flat.stderr) == (0, "")
    assert flat.stdout.splitlines() == [line for line in lines(FLAT) if line.startswith("db.") and "password" not in line]
    tree = ondrel("show", "--match", "Or('port', 'replicas\\[1\\]')", *layered).stdout
    assert tree.splitlines() == [".", "|-- server", "|   `-- port = 9090", "`-- db", "    `-- replicas",
                                 "        `-- [1]", "            `-- host = 'r2'"]
    hidden = ondrel("show", "--get", "db.password", "--match", logic, *layered)
    assert (hidden.returncode, hidden.stdout) == (0, "")
    as_yaml = ondrel("show", "--format", "yaml", "--match", "Not('server', 'home', 'replicas')", *layered).stdout
    assert yaml.safe_load(as_yaml) == {"db": {"host": "db.internal", "password": "secret"}}


@pytest.mark.parametrize("form, parse", [("json", json.loads), ("yaml", yaml.safe_load)])
def test_format_writes_the_merged_configuration(layered, form, parse):
    result = ondrel("show", "--format", form, *layered)
    assert parse(result.stdout) == {
        "server": {"port": 9090, "log": "/srv/log", "home": "/srv"},
        "db": {"host": "db.internal", "password": "secret", "home": "/srv", "replicas": ["r1", {"host": "r2"}]},
    }
    assert ondrel("show", "--get", "server.port", "--format", form, *layered).stdout.split("\n")[0] == "9090"


# Random configurations: mappings of lists and scalars, as YAML files hold them.
SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-10**6, 10**6),
                    st.floats(allow_nan=False, allow_infinity=False, width=32), st.text(max_size=8))
KEYS = st.text(st.characters(codec="ascii", categories=["L", "N"]), min_size=1, max_size=6)
VALUES = st.recursive(SCALARS, lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                        st.dictionaries(KEYS, inner, max_size=3)), max_leaves=12)


def in_process(*args):
    """main() in this process (many runs): its exit status, output and error output."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(list(map(str, args)), prog="ondrel")
    return status, out.getvalue(), err.getvalue()


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


@pytest.mark.parametrize("args, expected", [([], ".\n"), (["--flat"], ""), (["--format", "json"], "{}\n")])
def test_an_empty_configuration(tmp_path, args, expected):
    write(tmp_path, "empty.yaml", "{}\n")
    assert ondrel("show", *args, tmp_path / "empty.yaml").stdout == expected


def test_diff_lists_removed_changed_and_added_leaves(layered):
    same = ondrel("diff", "base.ini+site.ini", "base.ini+site.ini")
    assert (same.returncode, same.stdout, same.stderr) == (0, "", "")
    result = ondrel("diff", "base.ini", "base.ini+site.ini+prod.yaml")
    assert (result.returncode, result.stderr) == (1, "")
    assert result.stdout.splitlines() == [
        "~ server.port = 8080 -> 9090",
        "~ db.host = 'localhost' -> 'db.internal'",
        "+ db.replicas[0] = 'r1'",
        "+ db.replicas[1].host = 'r2'",
    ]
    backwards = ondrel("diff", "prod.yaml", "base.ini", "--match", "And('port')")
    assert backwards.stdout.splitlines() == ["~ server.port = 9090 -> 8080"] and backwards.returncode == 1


def test_diff_tells_values_of_different_types_apart(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write(tmp_path, "a.yaml", "x: 1\ny: 1\n")
    write(tmp_path, "b.yaml", "x: true\ny: 1.0\n")
    assert ondrel("diff", "a.yaml", "b.yaml").stdout.splitlines() == ["~ x = 1 -> True", "~ y = 1 -> 1.0"]


def test_unset_environment_variable_is_a_warning_naming_the_file(layered, tmp_path):
    write(tmp_path, "env.ini", "[paths]\ndata = ${ONDREL_TEST_UNSET}/data\n")
    env = {k: v for k, v in os.environ.items() if k != "ONDREL_TEST_UNSET"}
    result = subprocess.run([str(SCRIPT), "show", "--get", "paths.data", "env.ini"],
                            capture_output=True, text=True, env=env)
    assert (result.returncode, result.stdout) == (0, "/data\n")
    assert result.stderr == ("ondrel: warning: env.ini: Environment variable(s) ONDREL_TEST_UNSET referenced by "
                             "[paths] data are not set; substituting an empty string.\n")
    assert ondrel("show", "--get", "paths.data", "env.ini", env={"ONDREL_TEST_UNSET": "/x"}).stdout == "/x/data\n"


@pytest.fixture
def plugins(install_distribution):
    """An installed distribution with entry points in two groups, one of which fails."""
    return install_distribution(
        "vestri-cli-plugins",
        "[vestri.cli.good]\ndefaults = vestri_cli_plugin:SETTINGS\n[vestri.cli.bad]\nbroken = vestri_cli_plugin:missing\n",
        "vestri_cli_plugin", "SETTINGS = {'cache': {'ttl': '60'}, 'server': {'port': 1}}\n")


def test_entry_point_group_is_a_source(layered, plugins):
    result = ondrel("show", "--flat", "--origin", *layered, "entrypoint:vestri.cli.good", env=plugins)
    assert result.returncode == 0
    assert "cache.ttl = 60  # entrypoint:vestri.cli.good" in result.stdout.splitlines()
    assert "server.port = 1  # entrypoint:vestri.cli.good" in result.stdout.splitlines()


def test_failing_entry_point_names_its_distribution(plugins):
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
    ({"a.yaml": "a: [1\n"}, ["show", "a.yaml"], "a.yaml, line 2, column 1: "),
    ({"a.yml": "a: b: c\n"}, ["show", "a.yml"], "a.yml, line 1, column 5: mapping values are not allowed"),
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
    for name, text in files.items():
        (tmp_path / name).write_bytes(text if isinstance(text, bytes) else text.encode())
    result = ondrel(*args, cwd=tmp_path, env={"PYTHONUTF8": "1"})
    assert (result.returncode, result.stdout) == (2, "")
    if "invalid choice" in message:  # whether argparse quotes the choices depends on its release
        assert result.stderr.replace("'", "") == f"ondrel: error: {message}\n".replace("'", "")
    elif message.startswith(("a.yaml, line", "a.yml, line")):
        assert result.stderr.startswith(f"ondrel: error: {message}") and result.stderr.count("\n") == 1
    else:
        assert result.stderr == f"ondrel: error: {message}\n"


# The aliases add 16 values: four copies of a list of three (the anchor
# written in block style, and straight after a flow mapping's ':').
@pytest.mark.parametrize("text", ["a: &a [1, 2, 3]\nb: [*a, *a, *a, *a]\n",
                                  '{"a":&a [1, 2, 3], b: [*a, *a, *a, *a]}'])
def test_the_bound_on_alias_expansion_can_be_raised(tmp_path, monkeypatch, text):
    path = write(tmp_path, "aliases.yaml", text)
    monkeypatch.setenv("ONDREL_MAX_VALUES", "15")
    assert in_process("show", "--get", "b[3][2]", str(path))[:2] == (2, "")
    assert in_process("show", "--get", "b[3][2]", "--max-values", "16", str(path))[:2] == (0, "3\n")
    monkeypatch.setenv("ONDREL_MAX_VALUES", "16")
    assert in_process("diff", str(path), str(path))[:2] == (0, "")


@pytest.mark.parametrize("logic", ["And(", "'text'", "And(5)", "__import__('os')"])
def test_malformed_logic_string(layered, logic):
    result = ondrel("show", "--match", logic, *layered)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("ondrel: error: --match: ") and result.stderr.count("\n") == 1
    assert "Traceback" not in result.stderr


def test_writes_nothing_but_its_output(layered, tmp_path):
    before = sorted(tmp_path.rglob("*"))
    ondrel("show", "--origin", *layered, cwd=tmp_path)
    ondrel("show", "broken.yaml", cwd=tmp_path)
    assert sorted(tmp_path.rglob("*")) == before


@pytest.mark.parametrize("command", [["show", "--flat"], ["diff", "small.yaml"]])
def test_a_reader_that_goes_away_is_no_error(tmp_path, command):
    # As `ondrel diff ... | head`: quiet, with the status of a writer stopped by SIGPIPE.
    (tmp_path / "big.yaml").write_text(yaml.safe_dump({f"key{i}": {"value": "x" * 40} for i in range(5000)}))
    (tmp_path / "small.yaml").write_text("x: 1\n")
    process = subprocess.Popen([str(SCRIPT), *command, "big.yaml"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.readline()
    process.stdout.close()
    assert process.wait() == 141 and process.stderr.read() == b""
    process.stderr.close()


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
