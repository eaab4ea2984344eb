"""The ondrel command: paths that read back, stable output, interrupts, and
the layers and views beyond the basic show (--set, env:, --history, JSON,
TOML, standard input, --strict)."""

import gc
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
import yaml

from vestri.ondrel import cli

from test_cli import SCRIPT, in_process, ondrel


def write(folder, files):
    for name, text in files.items():
        (folder / name).write_bytes(text if isinstance(text, bytes) else textwrap.dedent(text).encode())


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


def test_sets_print_in_a_stable_order(tmp_path):
    write(tmp_path, {"s.yaml": "s: !!set {pear, apple, fig, kiwi, plum}\n"})
    outputs = {ondrel("show", "--flat", "s.yaml", cwd=tmp_path, env={"PYTHONHASHSEED": str(seed)}).stdout
               for seed in range(4)}
    assert outputs == {"s = {'apple', 'fig', 'kiwi', 'pear', 'plum'}\n"}
    as_yaml = {ondrel("show", "--format", "yaml", "s.yaml", cwd=tmp_path, env={"PYTHONHASHSEED": str(seed)}).stdout
               for seed in range(3)}
    assert len(as_yaml) == 1 and as_yaml.pop().split("\n")[1:3] == ["  apple: null", "  fig: null"]


@pytest.mark.parametrize("files, args, expected", [
    # An empty YAML file is an empty layer, as an empty INI file is.
    ({"e.yaml": "", "a.ini": "[s]\nk = 1\n", "e.ini": ""}, ["e.yaml", "a.ini", "e.ini"], "s.k = 1\n"),
    # A UTF-8 byte-order mark is no part of the first line.
    ({"b.ini": b"\xef\xbb\xbf[s]\nk = v\n"}, ["b.ini"], "s.k = 'v'\n"),
    ({"b.json": b'\xef\xbb\xbf{"s": {"k": "v"}}'}, ["b.json"], "s.k = 'v'\n"),
    # The defaults reach an empty section, and its origin names them.
    ({"d.ini": "[DEFAULT]\nhome = /srv\n", "e.ini": "[empty]\n"}, ["--origin", "d.ini", "e.ini"],
     "empty.home = '/srv'  # d.ini [DEFAULT]\n"),
    # Windows line ends read as the loaders read them.
    ({"w.ini": b"[s]\r\nk = a\r\n  b\r\n"}, ["w.ini"], "s.k = 'a\\nb'\n"),
])
def test_layers_read_as_the_loaders_read_them(tmp_path, files, args, expected):
    write(tmp_path, files)
    result = ondrel("show", "--flat", *args, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, expected, "")


def test_diff_warns_of_an_unset_variable_once(tmp_path):
    write(tmp_path, {"a.ini": "[s]\nk = ${ONDREL_TEST_UNSET}x\n", "b.yaml": "s: {k: y}\n"})
    result = ondrel("diff", "a.ini", "a.ini+b.yaml", cwd=tmp_path)
    assert result.returncode == 1 and result.stdout == "~ s.k = 'x' -> 'y'\n"
    assert result.stderr.count("\n") == 1 and "ONDREL_TEST_UNSET" in result.stderr


def test_an_interrupt_exits_130_without_a_traceback(tmp_path, monkeypatch):
    from vestri.ondrel.cli import rendering

    write(tmp_path, {"a.yaml": "a: [1, 2]\nb: 3\n"})

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
    assert in_process("show", "--format", "json", tmp_path / "a.yaml") == (130, "", "")
    assert gc.isenabled()  # paused while the output was built, and back on


def test_ctrl_c_while_reading_exits_130_without_a_traceback(tmp_path):
    # A shell's background job starts with SIGINT ignored; the user's shell does not.
    process = subprocess.Popen([str(SCRIPT), "show", "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    time.sleep(0.5)  # reading standard input, which stays open
    process.send_signal(signal.SIGINT)
    out, err = process.communicate()
    assert (process.returncode, out, err) == (130, "", "")


def test_errors_name_the_program_as_invoked_and_tracebacks_on_request(tmp_path, monkeypatch, capsys):
    result = subprocess.run([sys.executable, "-m", "vestri.ondrel", "show", "absent.yaml"], cwd=tmp_path,
                            capture_output=True, text=True)
    assert result.stderr == "python -m vestri.ondrel: error: absent.yaml: no such file\n"
    from vestri.ondrel.cli import commands

    def broken(args, reporter):
        raise RuntimeError("a fault")

    write(tmp_path, {"a.yaml": "a: 1\n"})
    monkeypatch.setattr(commands, "show", broken)
    monkeypatch.setattr(commands.build_parser("x")._subparsers._group_actions[0].choices["show"],
                        "_defaults", {}, raising=False)
    monkeypatch.setattr(commands, "build_parser", _parser_running(commands.build_parser, broken))
    assert cli.main(["show", str(tmp_path / "a.yaml")], prog="ondrel") == 2
    assert capsys.readouterr().err == "ondrel: error: unexpected RuntimeError: a fault\n"
    monkeypatch.setenv("ONDREL_TRACEBACK", "1")
    assert cli.main(["show", str(tmp_path / "a.yaml")], prog="ondrel") == 2
    err = capsys.readouterr().err
    assert err.startswith("Traceback") and err.endswith("ondrel: error: unexpected RuntimeError: a fault\n")


def _parser_running(build, function):
    def built(prog):
        parser = build(prog)
        parser._subparsers._group_actions[0].choices["show"].set_defaults(run=function)
        return parser
    return built


def test_start_up_leaves_entry_point_machinery_alone(tmp_path):
    write(tmp_path, {"a.ini": "[s]\nk = 1\n"})
    code = ("import sys; from vestri.ondrel.cli import main; main(['show', 'a.ini']); "
            "print('importlib.metadata' in sys.modules)")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert result.stdout.splitlines()[-1] == "False"


# --- the layers and views beyond the basic show ------------------------------------------------------

LAYERS = {
    "base.ini": "[DEFAULT]\nhome = /srv\n[server]\nport = 8080\nlog = %(home)s/log\n",
    "prod.yaml": "server:\n  port: 9090\ndb:\n  replicas:\n  - host: r1\n",
    "extra.json": '{"db": {"pool": 5}}',
    "extra.toml": "[cache]\nttl = 60\n",
}


@pytest.mark.parametrize("args, env, expected", [
    # --set: values converted as the store converts text, positions allowed, origin '--set';
    # written anywhere, applied after all sources.
    (["base.ini", "--set", "server.port=9999", "prod.yaml", "--set", "db.replicas[0].host=x",
      "--set", "new.flag=true", "--origin"], {},
     ["server.port = 9999  # --set", "server.home = '/srv'  # base.ini [DEFAULT]",
      "server.log = '/srv/log'  # base.ini [server]", "db.replicas[0].host = 'x'  # --set",
      "new.flag = True  # --set"]),
    # env:PREFIX merged where it stands: after base.ini, before prod.yaml.
    (["base.ini", "env:SHOP", "prod.yaml", "--origin"], {"SHOP_SERVER__PORT": "1", "SHOP_SERVER__LOG": "/l",
                                                       "SHOP_CACHE__TTL": "5", "SHOPPING": "no"},
     ["cache.ttl = 5  # env:SHOP (SHOP_CACHE__TTL)", "server.port = 9090  # prod.yaml",
      "server.log = '/l'  # env:SHOP (SHOP_SERVER__LOG)", "server.home = '/srv'  # base.ini [DEFAULT]",
      "db.replicas[0].host = 'r1'  # prod.yaml"]),
    # JSON and TOML files; --type reads a file whatever its suffix.
    (["extra.json", "extra.toml", "--origin"], {},
     ["db.pool = 5  # extra.json", "cache.ttl = 60  # extra.toml"]),
    (["--type", "json", "data.txt"], {}, ["a[0] = 1", "a[1] = 2"]),
    (["--", "-data.json"], {}, ["a[0] = 1", "a[1] = 2"]),
    # --strict and --require pass when all is there.
    (["--strict", "--require", "server.log", "--require", "db.replicas[0].host", "base.ini", "prod.yaml",
      "--get", "server"], {},
     ["server.port = 9090", "server.log = '/srv/log'", "server.home = '/srv'"]),
])
def test_layers_and_overrides(tmp_path, args, env, expected):
    write(tmp_path, {**LAYERS, "data.txt": '{"a": [1, 2]}', "-data.json": '{"a": [1, 2]}'})
    result = ondrel("show", "--flat", *args, cwd=tmp_path, env=env)
    assert (result.returncode, result.stderr) == (0, "")
    assert sorted(result.stdout.splitlines()) == sorted(expected)


def test_standard_input_is_a_source(tmp_path):
    write(tmp_path, LAYERS)
    run = lambda *args, text: subprocess.run([str(SCRIPT), "show", "--flat", *args], input=text, cwd=tmp_path,
                                             capture_output=True, text=True)
    assert run("base.ini", "-", text="server: {port: 1}\n").stdout.splitlines()[0] == "server.port = 1"
    assert run("--type", "ini", "-", text="[s]\nk = v\n").stdout == "s.k = 'v'\n"
    assert run("--type", "toml", "-", text="k = 2\n").stdout == "k = 2\n"


def test_history_lists_every_layer_and_marks_the_winner(tmp_path):
    write(tmp_path, {**LAYERS, "site.ini": "[DEFAULT]\nport = 1\n\n[server]\nport = 8081\n"})
    result = ondrel("show", "--history", "server.port", "base.ini", "site.ini", "prod.yaml", "env:SHOP",
                    cwd=tmp_path, env={"SHOP_SERVER__PORT": "7"})
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines() == [
        "server.port",
        "  base.ini [server], line 4: 8080",
        "  site.ini [DEFAULT], line 2: 1",
        "  site.ini [server], line 5: 8081",
        "  prod.yaml, line 2: 9090",
        "* env:SHOP (SHOP_SERVER__PORT): 7",
    ]
    # Within INI files a section's own option beats a later [DEFAULT].
    inherited = ondrel("show", "--history", "server.home", "base.ini", "site.ini", cwd=tmp_path).stdout
    assert inherited.splitlines() == ["server.home", "* base.ini [DEFAULT], line 2: '/srv'"]
    assert ondrel("show", "--history", "nope", "base.ini", cwd=tmp_path).returncode == 1


@pytest.mark.parametrize("form, parse", [("json", json.loads), ("yaml", yaml.safe_load)])
def test_origins_in_machine_readable_output(tmp_path, form, parse):
    write(tmp_path, LAYERS)
    result = ondrel("show", "--origin", "--format", form, "base.ini", "prod.yaml", cwd=tmp_path)
    assert parse(result.stdout) == {
        "values": {"server": {"port": 9090, "log": "/srv/log", "home": "/srv"}, "db": {"replicas": [{"host": "r1"}]}},
        "origins": {"server": {"port": "prod.yaml", "log": "base.ini [server]", "home": "base.ini [DEFAULT]"},
                    "db": {"replicas": [{"host": "prod.yaml"}]}},
    }
    one = ondrel("show", "--origin", "--format", form, "--get", "server.log", "base.ini", cwd=tmp_path)
    assert parse(one.stdout) == {"value": "/srv/log", "origin": "base.ini [server]"}
