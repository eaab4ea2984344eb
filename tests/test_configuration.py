"""Behaviour of vestri.ondrel.configuration: the store, expansion and loaders."""

import configparser
import gc
import logging
import pathlib
import re
import sys
import traceback
import types

import pytest
import yaml
from hypothesis import example, given, strategies as st

import vestri.ondrel.configuration as cfgmod
from hostile import ActingKey
from leakcheck import assert_no_growth
from outcomes import error_of, in_small_thread, run_python
from vestri.ondrel.configuration import Configuration
from vestri.ondrel.pointel import NestedPointel
from vestri.utils.import_utils import get_entry_points
from vestri.utils.strings import typecast_str

LOGGER = "vestri.ondrel.configuration"
PATTERN = r"\$(?:([A-Za-z_][A-Za-z0-9_]*)|\{([^}]+)\})"


@pytest.fixture
def env(monkeypatch):
    monkeypatch.setenv("HOME", "/h")
    monkeypatch.setenv("EMPTY", "")
    monkeypatch.setenv("NESTED", "$HOME")
    for name in ("NOPE", "UNSET_VAR", "HOME_DIR", "A", "B", "A:-b"):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.fixture
def calls(monkeypatch):
    """Every value typecast_str receives, in order, through the module's name."""
    seen = []

    def counting(value):
        seen.append(value)
        return typecast_str(value)

    monkeypatch.setattr(cfgmod, "typecast_str", counting)
    return seen


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def entry_names(excinfo):
    return [frame.name for frame in traceback.extract_tb(excinfo.tb)]


# --- module and class ----------------------------------------------------------------


def test_module_namespace_and_class_shape():
    assert cfgmod.logger is logging.getLogger(LOGGER)
    assert Configuration._ENV_VAR_PATTERN.pattern == PATTERN and Configuration._ENV_VAR_PATTERN.flags == re.UNICODE


def test_a_failing_outside_import_keeps_the_module_from_loading():
    code = ("import sys; sys.modules['vestri.utils.import_utils'] = None\n"
            "try:\n import vestri.ondrel.configuration\nexcept ImportError: print('refused')")
    out = run_python(code)
    assert (out.returncode, out.stdout.strip()) == (0, "refused")


# --- expansion -------------------------------------------------------------------------


@pytest.mark.parametrize("value, expected, warned", [
    ("$HOME/${HOME}/$NOPE", "/h//h/", "NOPE"),
    ("cost: $5 and 100%", "cost: $5 and 100%", None),
    ("$$HOME", "$/h", None),
    ("${} $ x trailing $", "${} $ x trailing $", None),
    ("$HOME_DIR/x", "/x", "HOME_DIR"),
    ("${A:-b}", "", "A:-b"),
    ("[$EMPTY]", "[]", None),
    ("$NESTED", "$HOME", None),
    ("$A ${B} $A $B", "   ", "A, B"),
    ("${HOME${x}", "", "HOME${x"),
    ("$HOMEé", "/hé", None),
])
def test_expanding_one_value(env, caplog, value, expected, warned):
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert Configuration._expand_cfg_value(value, section="s", key="k") == expected
    records = [r for r in caplog.records if r.name == LOGGER]
    if warned is None:
        assert records == []
    else:
        (record,) = records
        assert record.levelno == logging.WARNING
        assert record.msg == ("Environment variable(s) %s referenced by [%s] %s are not set; "
                              "substituting an empty string.")
        assert record.args == (warned, "s", "k")


@given(st.text(alphabet="${}_aZ9.é", max_size=30))
def test_expansion_agrees_with_the_pattern(text):
    environ = {"a": "<a>", "Z9": "", "_": "$a", "a}": "x"}

    def reference(value):
        names = [m.group(1) or m.group(2) for m in re.finditer(PATTERN, value)]
        return (list(dict.fromkeys(n for n in names if n not in environ)),
                re.sub(PATTERN, lambda m: environ.get(m.group(1) or m.group(2), ""), value))

    fake_os = types.SimpleNamespace(environ=environ)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(cfgmod, "os", fake_os)
        mp.setattr(cfgmod, "logger", logging.getLogger("vestri.test.silent"))
        got = (Configuration._missing_env_vars(text), Configuration._expand_cfg_value(text, section="s", key="k"))
    assert got == reference(text)


def test_a_subclass_pattern_is_used(env):
    class AtSigns(Configuration):
        _ENV_VAR_PATTERN = re.compile(r"@(\w+)|@\((\w+)\)")

    assert AtSigns._missing_env_vars("@HOME @(NOPE) $NOPE") == ["NOPE"]
    assert AtSigns._expand_cfg_value("@HOME-@(HOME)-$HOME", section="s", key="k") == "/h-/h-$HOME"


def _raising_environ(monkeypatch):
    class Environ(dict):
        def __contains__(self, name):
            raise LookupError(name)

    monkeypatch.setattr(cfgmod, "os", types.SimpleNamespace(environ=Environ()))


NOT_TEXT = (TypeError, "expected string or bytes-like object, got 'int'")  # the interpreter's own messages


@pytest.mark.parametrize("call, error, entries", [
    (lambda tmp: Configuration._missing_env_vars(b"$HOME"),
     (TypeError, "cannot use a string pattern on a bytes-like object"), ["_missing_env_vars"]),
    (lambda tmp: Configuration._expand_cfg_value(5, section="s", key="k"), NOT_TEXT,
     ["_expand_cfg_value", "_missing_env_vars"]),
    (lambda tmp: Configuration._expand_cfg_env_vars(types.SimpleNamespace(defaults=lambda: {"k": 5}, _sections={})),
     NOT_TEXT, ["_expand_cfg_env_vars", "_expand_cfg_value", "_missing_env_vars"]),
    (lambda tmp: Configuration().load_cfgs(write(tmp, "configuration-trace.ini", "[s]\nk = $HOME\n")),
     (LookupError, "HOME"), ["load_cfgs", "_expand_cfg_env_vars", "_expand_cfg_value", "_missing_env_vars"]),
])
def test_a_failure_inside_a_nested_method_names_each_method(tmp_path, monkeypatch, call, error, entries):
    _raising_environ(monkeypatch)
    with pytest.raises(error[0]) as excinfo:
        call(tmp_path)
    assert str(excinfo.value) == error[1]
    assert [n for n in entry_names(excinfo) if n.startswith(LOGGER)] == [f"{LOGGER}.Configuration.{e}" for e in entries]


def clear_lists_holding(obj):
    for referrer in gc.get_referrers(obj):
        if isinstance(referrer, list):
            referrer.clear()


def test_expansion_keeps_its_pieces_from_the_environments_code(monkeypatch):
    given_out = []

    class Environ(dict):
        def get(self, name, default=None):
            for piece in given_out:
                clear_lists_holding(piece)
            given_out.append(type("Text", (str,), {})(name.lower()))
            return given_out[-1]

    monkeypatch.setattr(cfgmod, "os", types.SimpleNamespace(environ=Environ(A=1, B=1, C=1)))
    assert Configuration._expand_cfg_value("<$A|$B|${C}>", section="s", key="k") == "<a|b|c>"


# --- the store ------------------------------------------------------------------------------


def test_every_store_path_converts(calls):
    cfg = Configuration()
    cfg["a.b"] = "1"
    assert cfg == {"a": {"b": 1}} and type(cfg.a) is Configuration
    # the value once per level (converted again below), and the new level itself
    assert calls[0] == "1" and calls[1] is cfg.a and calls[2:] == [1]
    calls.clear()
    cfg = Configuration({"a": {"b": "2"}}, c="true")
    cfg.setdefault("d.e", "null")
    cfg.update([("f", "1.5")])
    assert cfg == {"a": {"b": 2}, "c": True, "d": {"e": None}, "f": 1.5}
    cfg.x = "1"  # attribute writes bypass item assignment
    assert cfg["x"] == "1" and "1" not in calls


def test_store_errors_pass_through_unchanged(monkeypatch):
    cfg = Configuration(a=1)
    with pytest.raises(KeyError) as excinfo:
        cfg["a.b"] = 2
    assert excinfo.value.args == ('target key "a" is a value, cannot update value against another Configuration',)
    monkeypatch.setattr(cfgmod, "typecast_str", int)
    with pytest.raises(ValueError, match="invalid literal") as excinfo:
        cfg["k"] = "x"
    assert "vestri.ondrel.configuration.Configuration.__setitem__" in entry_names(excinfo)


def test_an_interrupt_while_finding_the_next_setitem_propagates():
    def interrupt():
        raise KeyboardInterrupt

    colliding = ActingKey("other", hash_as="__setitem__")

    class Mixed(Configuration, type("Other", (NestedPointel,), {colliding: 1})):
        pass

    cfg = Mixed()
    colliding.action = interrupt  # super() meets the key in Other's namespace
    with pytest.raises(KeyboardInterrupt):
        cfg["k"] = "1"
    cfg["k"] = "1"
    assert cfg == {"k": 1}


def test_a_value_claiming_to_be_a_str_is_asked_once(monkeypatch):
    asked = []

    class Claiming:
        @property
        def __class__(self):
            asked.append(self)
            monkeypatch.setattr(cfgmod, "typecast_str", lambda value: "replaced too late")
            return str

    with pytest.raises(TypeError, match="not subscriptable"):  # typecast_str reads it as a str
        Configuration()["x"] = Claiming()
    assert len(asked) == 1


def test_storing_goes_through_the_next_class_in_the_mro():
    stored = []

    class Recording(NestedPointel):
        def __setitem__(self, key, value):
            stored.append((key, value))
            super().__setitem__(key, value)

    class Mixed(Configuration, Recording):
        pass

    cfg = Mixed()
    cfg["n"] = "7"
    assert stored == [("n", 7)] and cfg == {"n": 7}


def test_copy_makes_new_levels_of_its_class_and_shares_other_leaves(calls):
    leaf = [1, 2]
    cfg = Configuration({"a": {"b": {"c": "x"}}, "l": leaf})
    calls.clear()
    dup = cfg.copy()
    assert type(dup) is Configuration and dup == cfg
    assert dup.a is not cfg.a and dup.a.b is not cfg.a.b and dup.l is leaf
    assert calls.count("x") == 1 and leaf in calls  # every leaf is stored again
    dup.a.b.c = "changed"
    assert cfg.a.b.c == "x"
    dup = type("Sub", (Configuration,), {})({"a": {"b": 1}}).copy()
    assert type(dup).__name__ == "Sub" and type(dup.a) is type(dup)


# --- load_cfgs ----------------------------------------------------------------------------------


@pytest.mark.parametrize("text, start, expected, warned", [
    # sections, defaults, names: the store's own DEFAULT level goes with the file's
    ("[DEFAULT]\na = 1\n\n[s]\nb = 2\nPort = 80\nurl = http://x:8080/#top\ntext = first\n  second\n# a comment\n"
     "[net.proxy]\nport.number = 80\n", {"DEFAULT": {"gone": 1}, "keep": 1},
     {"keep": 1, "s": {"b": 2, "port": 80, "url": "http://x:8080/#top", "text": "first\nsecond", "a": 1},
      "net": {"proxy": {"port": {"number": 80}, "a": 1}}}, []),
    # the environment first, then interpolation
    ("[s]\nx = $HOME/data\ny = ${UNSET_VAR}\nz = %(x)s/more\np = 100%%\nq = %(home)s\nhome = $HOME\n", {},
     {"s": {"x": "/h/data", "y": "", "z": "/h/data/more", "p": "100%", "q": "/h", "home": "/h"}},
     [("UNSET_VAR", "s", "y")]),
])
def test_ini_files_load(tmp_path, env, caplog, text, start, expected, warned):
    path = write(tmp_path, "configuration-basic.ini", text)
    cfg = Configuration(start)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert cfg.load_cfgs(path) == [path]
    assert cfg == expected
    assert [r.args for r in caplog.records if r.name == LOGGER] == warned


def test_later_files_win_and_unreadable_files_are_skipped(tmp_path):
    first = write(tmp_path, "configuration-first.ini", "[s]\nk = 1\nonly = a\n")
    second = tmp_path / "configuration-second.ini"
    second.write_text("[s]\nk = 2\n")
    cfg = Configuration(DEFAULT={"x": 1}, s={"old": 0})
    assert cfg.load_cfgs(first, str(tmp_path / "missing.ini"), second) == [first, str(second)]
    assert cfg == {"s": {"old": 0, "k": 2, "only": "a"}}
    assert Configuration(x=1).load_cfgs() == []


@pytest.mark.parametrize("text, error, merged", [
    # malformed: the store is unchanged
    ("k = 1\n[s]\n", configparser.MissingSectionHeaderError, {}),
    ("[s]\nno delimiter\n", configparser.ParsingError, {}),
    ("[s]\nk: v\n", configparser.ParsingError, {}),
    ("[s]\n; note\n", configparser.ParsingError, {}),
    ("[s]\n[s]\n", configparser.DuplicateSectionError, {}),
    ("[s]\nk = 1\nK = 2\n", configparser.DuplicateOptionError, {}),
    ("[s]\nk = 100%\n", ValueError, {}),
    ("[DEFAULT]\nk = $HOME%\n", ValueError, {}),
    # raised while merging: what was merged before stays
    ("[a]\nk = 1\n[b]\nk = %(missing)s\n", configparser.InterpolationMissingOptionError,
     {"DEFAULT": {}, "a": {"k": 1}, "b": {}}),
    ("[a]\nk = 1\n[value]\nk = 1\n", AttributeError, {"DEFAULT": {}, "a": {"k": 1}}),
])
def test_ini_errors_propagate_from_load_cfgs(tmp_path, env, text, error, merged):
    cfg = Configuration(keep={"a": 1}, value=5)
    with pytest.raises(error) as excinfo:
        cfg.load_cfgs(write(tmp_path, "configuration-bad.ini", text))
    assert cfg == {"keep": {"a": 1}, "value": 5, **merged}
    assert "vestri.ondrel.configuration.Configuration.load_cfgs" in entry_names(excinfo)


def test_load_cfgs_honours_overrides_on_the_object_and_the_module(tmp_path, env, monkeypatch):
    seen = []

    class Sub(Configuration):
        @classmethod
        def _expand_cfg_value(cls, value, *, section, key):
            seen.append((cls.__name__, section, key))
            return value.upper()

    monkeypatch.setattr(cfgmod, "Configuration", Sub)  # expansion goes through the module's name
    path = write(tmp_path, "configuration-override.ini", "[DEFAULT]\nd = v\n[s]\nk = $home\n")
    cfg = Configuration()
    cfg.load_cfgs(path)
    assert cfg.s == {"k": "$HOME", "d": "V"}
    assert seen == [("Sub", "DEFAULT", "d"), ("Sub", "s", "k")]

    class NoExpansion(Configuration):
        _expand_cfg_env_vars = staticmethod(lambda config: None)

    other = NoExpansion()
    other.load_cfgs(path)
    assert other.s.k == "$home"


# --- load_yamls ------------------------------------------------------------------------------------


YAML_DOC = """
a: {b: 1, list: [1, 2.5, "x", null, true], when: 2024-01-02}
text: $HOME
quoted: "42"
multi: |
  line one
  line two
anchors: {base: &b {k: 1}, alias: *b}
"""


def test_yaml_merges_into_existing_levels_and_skips_non_files(tmp_path, env):
    path = write(tmp_path, "configuration-a.yaml", YAML_DOC)
    cfg = Configuration({"a": {"c": "2"}})
    assert cfg.load_yamls(path, str(tmp_path / "nope.yaml"), str(tmp_path)) == (path,)
    assert cfg.a.c == 2 and cfg.a.b == 1 and cfg.text == "$HOME" and cfg.quoted == 42
    assert cfg["anchors.alias.k"] == 1 and cfg.anchors.alias is not cfg.anchors.base


@pytest.mark.parametrize("text, error", [
    ("", TypeError),
    ("just text", TypeError),
    ("a: [1,\n", yaml.YAMLError),
    (b"a: \xff\n", UnicodeDecodeError),
])
def test_bad_yaml_documents_keep_earlier_files_and_close_every_file(tmp_path, monkeypatch, text, error):
    good = write(tmp_path, "configuration-good.yaml", "g: 1\n")
    bad = tmp_path / "configuration-bad.yaml"
    bad.write_bytes(text if isinstance(text, bytes) else text.encode())
    opened = []
    monkeypatch.setattr(cfgmod, "open", lambda *a, **k: opened.append(open(*a, **k)) or opened[-1], raising=False)
    cfg = Configuration()
    with pytest.raises(error):
        cfg.load_yamls(good, str(bad))
    assert cfg == {"g": 1}
    assert len(opened) == 2 and all(f.closed for f in opened)


def outcome(path):
    """Loading `path` into a store: the error raised (type and text, or None) and the store then."""
    cfg = Configuration({"kept": 1})
    return error_of(lambda: cfg.load_yamls(path)), repr(cfg)


def native_and_plain(path):
    """The outcome through the native loader and through a stand-in `yaml` that has safe_load only."""
    native = outcome(path)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(cfgmod, "yaml", types.SimpleNamespace(safe_load=yaml.safe_load))
        return native, outcome(path)


def upper(loader, node):
    return loader.construct_scalar(node).upper()


@pytest.mark.parametrize("text", [
    "port: 80\t\n", "a: !\n", "a: ! x\n", "a: b\x07\n", "a:\n\tb: 1\n", "k: [1, 2]\t\n", "\ufeffa: 1\n",
    "a: \x85b\n", "a: b\u2028c\n", "u: !upper x\n", "[" * 1500 + "]" * 1500, "{a: " * 1000 + "1" + "}" * 1000,
    "".join("  " * i + f"k{i}:\n" for i in range(600)) + "  " * 600 + "v: 1\n",
    "a: [1,\n", "a: 'x\n", "a: 1\n  b: 2\n", "ok: {x: [1, 2], y: 2024-01-02, z: 1.5e3}\n", YAML_DOC,
])
@pytest.mark.parametrize("registered", [False, True], ids=["shipped", "user-constructor"])
def test_yaml_documents_load_as_safe_load_loads_them(tmp_path, monkeypatch, text, registered):
    if registered:
        monkeypatch.setattr(yaml.SafeLoader, "yaml_constructors", {**yaml.SafeLoader.yaml_constructors, "!upper": upper})
    path = tmp_path / "configuration-differential.yaml"
    path.write_text(text, encoding="utf-8")
    native, plain = native_and_plain(str(path))
    assert native == plain


@pytest.mark.skipif(not hasattr(yaml, "CSafeLoader"), reason="PyYAML without its C loader")
@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError, RecursionError, ValueError])
def test_an_error_inside_the_native_yaml_load_propagates_at_once(tmp_path, monkeypatch, error):
    loaders = []

    def interrupted(loader, node, deep=False):
        loaders.append(type(loader))
        raise error("stop")

    monkeypatch.setattr(yaml.constructor.SafeConstructor, "construct_mapping", interrupted)
    cfg = Configuration(kept=1)
    with pytest.raises(error, match="stop"):
        cfg.load_yamls(write(tmp_path, "configuration-stop.yaml", "a: 1\n"))
    assert loaders == [yaml.CSafeLoader] and cfg == {"kept": 1}  # parsed once, natively


def test_the_names_loaded_are_kept_from_the_code_that_runs_between(tmp_path):
    first, second = (write(tmp_path, f"configuration-{n}.yaml", "a: 1\n") for n in ("one", "two"))

    class Hostile(Configuration):
        def update(self, *args, **kwargs):
            clear_lists_holding(first)
            return super().update(*args, **kwargs)

    assert Hostile().load_yamls(first, str(tmp_path / "missing.yaml"), second) == (first, second)


scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False),
                    st.text(max_size=8), st.lists(st.integers(), max_size=3))
documents = st.recursive(scalars, lambda inner: st.dictionaries(st.text(min_size=1, max_size=5), inner, max_size=4),
                         max_leaves=15).filter(lambda d: isinstance(d, dict))


@given(documents, st.sampled_from(["block", "flow"]))
@example({"0": None, "0.": None}, "block")  # a dotted key into a value: both raise the same KeyError
def test_the_native_yaml_loader_agrees_on_any_document(tmp_path_factory, document, style):
    path = tmp_path_factory.mktemp("yaml") / "configuration-random.yaml"
    path.write_text(yaml.safe_dump(document, default_flow_style=(style == "flow"), allow_unicode=True))
    native, plain = native_and_plain(str(path))
    assert native == plain


@given(st.lists(st.sampled_from(["[s]", "[t.u]", "[DEFAULT]", "k = 1", "K = $HOME", "v = ${X}%%", "w = %(k)s",
                                 "  more", "# c", "; c", "x: y", "=", "[", "p = 5%", "q = $", ""]), max_size=8))
def test_any_ini_text_loads_or_raises(tmp_path_factory, lines):
    path = tmp_path_factory.mktemp("ini") / "configuration-random.ini"
    path.write_text("\n".join(lines))
    cfg = Configuration(keep=1)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(cfgmod, "logger", logging.getLogger("vestri.test.silent"))
        try:
            cfg.load_cfgs(str(path))
        except configparser.InterpolationError:
            assert cfg["keep"] == 1  # raised while merging: what came before stays
        except (configparser.Error, ValueError):
            assert cfg == {"keep": 1}
        else:
            assert "DEFAULT" not in cfg and cfg["keep"] == 1


# --- load_entrypoint ------------------------------------------------------------------------------------


@pytest.fixture
def plugins(install_distribution):
    install_distribution(
        "vestri-cfg-plugins",
        "[vestri.test.configuration]\nbroken = vestri_cfg_plugin:broken\ngood = vestri_cfg_plugin:GOOD\n"
        "[vestri.test.interrupt]\nstop = vestri_cfg_plugin:stop\n",
        "vestri_cfg_plugin",
        "GOOD = {'plugin': {'port': '8080'}}\n"
        "def __getattr__(name):\n"
        "    if name == 'broken': raise RuntimeError('cannot load')\n"
        "    if name == 'stop': raise KeyboardInterrupt\n"
        "    raise AttributeError(name)\n")


def test_entry_points_load_and_failures_are_logged(plugins, caplog, monkeypatch):
    listed = []

    def listing(group):
        listed[:] = get_entry_points(group)
        return iter(listed)

    monkeypatch.setattr(cfgmod, "get_entry_points", listing)
    cfg = Configuration()
    with caplog.at_level(logging.ERROR, logger=LOGGER):
        loaded = cfg.load_entrypoint("vestri.test.configuration")
    assert [ep.name for ep in listed] == ["broken", "good"] and loaded == listed[1:]
    assert cfg == {"plugin": {"port": 8080}}
    (record,) = [r for r in caplog.records if r.name == LOGGER]
    assert record.levelno == logging.ERROR and record.exc_info[0] is RuntimeError
    assert record.getMessage() == "Failed to load configuration from entrypoint: " + str(listed[0].dist)
    assert cfg.load_entrypoint("vestri.test.nothing") == []


def test_entry_point_failures(plugins, monkeypatch, caplog):
    with pytest.raises(KeyboardInterrupt):  # not an Exception: never swallowed
        Configuration().load_entrypoint("vestri.test.interrupt")
    half = types.SimpleNamespace(load=lambda: [("a", 1), ("b", 2, 3)], dist="half")
    monkeypatch.setattr(cfgmod, "get_entry_points", lambda group: iter([half]))
    cfg = Configuration()
    assert cfg.load_entrypoint("g") == [] and cfg == {"a": 1}  # what it merged stays
    assert caplog.records[-1].getMessage() == "Failed to load configuration from entrypoint: half"
    monkeypatch.setattr(cfgmod, "get_entry_points", lambda group: 1 / 0)
    with pytest.raises(ZeroDivisionError) as excinfo:
        Configuration().load_entrypoint(group="g")
    assert "vestri.ondrel.configuration.Configuration.load_entrypoint" in entry_names(excinfo)


# --- argument errors and robustness -----------------------------------------------------------------------


def test_deep_inputs_raise_recursion_error():
    with pytest.raises(RecursionError):
        Configuration()[".".join(["k"] * 10_000)] = 1
    deep = Configuration()
    level = deep
    for _ in range(100_000):
        dict.__setitem__(level, "k", Configuration())
        level = dict.__getitem__(level, "k")
    with pytest.raises(RecursionError):
        deep.copy()


# The plain calls of every method, failing ones included, are repeated in test_common.py.
@pytest.mark.parametrize("name", ["store", "expand", "cfgs", "yamls", "entrypoint"])
def test_no_leak(name, tmp_path, env, monkeypatch):
    monkeypatch.setattr(cfgmod, "logger", logging.getLogger("vestri.test.silent"))
    logging.getLogger("vestri.test.silent").disabled = True
    ini = write(tmp_path, "configuration-leak.ini", "[DEFAULT]\nd = $HOME\n[s.t]\nk = ${NOPE}x\n")
    bad_ini = write(tmp_path, "configuration-leak-bad.ini", "[s]\nk = 100%\n")
    good_yaml = write(tmp_path, "configuration-leak.yaml", "a: {b: [1, 2]}\n")
    bad_yaml = write(tmp_path, "configuration-leak-bad.yaml", "")

    def broken():
        raise RuntimeError("broken")

    monkeypatch.setattr(cfgmod, "get_entry_points", lambda group: [
        types.SimpleNamespace(load=lambda: {"x": {"y": "1"}}, dist="d"), types.SimpleNamespace(load=broken, dist="d")])
    cfg = Configuration({"a": {"b": "1"}, "l": [1]})
    operations = {
        "store": lambda: (cfg.__setitem__("p.q", "1"), cfg.__setitem__("a.b.c", 1)),
        "expand": lambda: (Configuration._expand_cfg_value("$HOME ${NOPE} $5", section="s", key="k"),
                           Configuration._expand_cfg_value(1, section="s", key="k")),
        "cfgs": lambda: (Configuration().load_cfgs(ini), Configuration().load_cfgs(bad_ini)),
        "yamls": lambda: (Configuration().load_yamls(good_yaml), Configuration().load_yamls(bad_yaml)),
        "entrypoint": lambda: Configuration().load_entrypoint("g"),
    }
    heavy = name in ("cfgs", "yamls")
    assert_no_growth(operations[name], repeat=300 if heavy else 3000, slack=200)


@pytest.mark.parametrize("kib", [64, 128, 256])
def test_small_thread_stacks_copy_shallow_stores_and_stop_deep_ones(kib):
    deep = {}
    for _ in range(100_000):
        deep = {"k": deep}

    def work():
        shallow = Configuration({"a": {"b": "1"}}).copy()["a.b"]
        with pytest.raises(RecursionError):
            Configuration(deep)
        return shallow

    assert in_small_thread(kib, work) == {"result": 1}


# --- typecast_str done natively while it is the framework's own ------------------------------------


class Claims:
    """An object whose __class__ says str: isinstance() believes it."""

    __class__ = str


@given(st.one_of(st.text(alphabet="-+0123456789.eE_ xtrueFalsnNol٣", max_size=8), st.integers(), st.none(),
                 st.floats(allow_nan=False), st.builds(Claims)))
def test_stored_values_are_what_typecast_str_makes_of_them(value):
    cfg = Configuration()
    try:
        expected = ("value", typecast_str(value))
    except Exception as exc:  # noqa: BLE001 - the exception is the result
        expected = ("error", type(exc))
    try:
        cfg["x"] = value
        got = ("value", cfg["x"])
    except Exception as exc:  # noqa: BLE001
        got = ("error", type(exc))
    assert got == expected and type(got[1]) is type(expected[1])


class ShownAs(float):
    def __repr__(self):
        return "1.5"


@pytest.mark.parametrize("change, text, expected", [
    (lambda mp, s: mp.setitem(s._CONSTANTS, "yes", True), "yes", True),
    (lambda mp, s: mp.setattr(s, "_INT", re.compile(r"[0-9]+")), "007", 7),
    (lambda mp, s: mp.setattr(s, "int", lambda text: "shadowed", raising=False), "5", "shadowed"),
    (lambda mp, s: mp.setattr(__import__("builtins"), "float", lambda text: ShownAs(9)), "1.5", 9.0),
    (lambda mp, s: mp.setattr(s, "repr", lambda number: "1.50", raising=False), "1.50", 1.5),
    (lambda mp, s: mp.setattr(__import__("builtins"), "repr", lambda o, r=repr: "3.10" if o == 3.1 else r(o)),
     "3.10", 3.1),
    (lambda mp, s: mp.setattr(s.typecast_str, "__code__", (lambda value: "new code").__code__), "x", "new code"),
], ids=["table entry", "pattern", "module shadows int", "builtins float", "module shadows repr", "builtins repr",
        "function code"])  # the module's own name: the `calls` fixture
def test_typecast_follows_what_its_names_are_bound_to(monkeypatch, change, text, expected):
    import vestri.utils.strings as strings

    change(monkeypatch, strings)
    cfg = Configuration()
    cfg["x"] = text
    assert cfg["x"] == expected


@pytest.mark.parametrize("text, expected", [
    # versions, postcodes and other identifiers stay text
    ("3.10", "3.10"), ("1.50", "1.50"), ("2.0.1", "2.0.1"), ("0.10", "0.10"), ("007", "007"), ("01234", "01234"),
    ("1e5", "1e5"), ("2.5E+10", "2.5E+10"), ("1e999", "1e999"), ("1_000", "1_000"), ("+5", "+5"), ("1.", "1."),
    (".5", ".5"), ("inf", "inf"), ("-inf", "-inf"), ("nan", "nan"), (" 1", " 1"),
    # exactly as Python prints the number
    ("42", 42), ("-7", -7), ("0", 0), ("3.1", 3.1), ("1.0", 1.0), ("-0.0", -0.0), ("0.001", 0.001),
    ("1e+16", 1e16), ("1e-05", 1e-05), ("-2.5e-07", -2.5e-07),
])
def test_only_the_way_python_prints_a_number_makes_one(tmp_path, text, expected):
    stored = Configuration(x=text)["x"]
    for got in (typecast_str(text), stored):
        assert type(got) is type(expected) and repr(got) == repr(expected)
    cfg = Configuration()
    cfg.load_yamls(write(tmp_path, "configuration-versions.yaml", f"python: '{text}'\nlist: ['{text}']\n"))
    assert repr(cfg.python) == repr(expected) and cfg.list == [text]


def test_the_conversion_runs_natively_while_typecast_str_is_the_frameworks():
    import vestri.utils.strings as strings

    called = []
    cfg = Configuration()
    sys.setprofile(lambda frame, event, arg: called.append(frame.f_code) if event == "call" else None)
    try:
        for text in ("3.10", "1.5", "7", "true", "x", None, [1]):
            cfg["k"] = text
    finally:
        sys.setprofile(None)
    assert strings.typecast_str.__code__ not in called and cfg["k"] == [1]


# --- fast paths follow the class --------------------------------------------------------------------


def churn():
    # A freed descriptor's address may now hold something else.
    gc.collect()
    return [tuple(range(i % 7)) + (object(),) for i in range(20_000)]


def refuse(*args):
    raise LookupError("replaced")


REFUSED = (LookupError, "replaced")


WATCHED_CHANGES = [  # (owner, name, replacement, check)
    # deleted: what the class inherits, or nothing, is what runs
    (Configuration, "_missing_env_vars", None,
     lambda: error_of(lambda: Configuration._expand_cfg_value("$X", section="s", key="k"))[0] is AttributeError),
    (Configuration, "_expand_cfg_value", None,
     lambda: error_of(lambda: Configuration._expand_cfg_env_vars(configparser.ConfigParser(defaults={"a": "1"})))[0]
     is AttributeError),
    (Configuration, "__setitem__", None, lambda: Configuration(a="1")["a"] == "1"),  # no longer converted
    (NestedPointel, "__setitem__", None, lambda: _stored(Configuration(), "a.b", "1") == ["a.b"]),
    # replaced: the replacement runs
    (Configuration, "_missing_env_vars", classmethod(refuse),
     lambda: error_of(lambda: Configuration._expand_cfg_value("$X", section="s", key="k")) == REFUSED),
    (Configuration, "__setitem__", refuse, lambda: error_of(lambda: _stored(Configuration(), "a", 1)) == REFUSED),
    (NestedPointel, "__setitem__", refuse, lambda: error_of(lambda: _stored(Configuration(), "a", 1)) == REFUSED),
]


def follow_watched(row):
    owner, name, replacement, check = WATCHED_CHANGES[row]
    saved = vars(owner)[name]
    if replacement is None:
        delattr(owner, name)
    else:
        setattr(owner, name, replacement)
    try:
        junk = churn()
        assert check()
        del junk
    finally:
        setattr(owner, name, saved)
    assert Configuration({"a": {"b": "1"}})["a.b"] == 1


# In a child process: a deleted method comes back last in the class's namespace,
# and the classes made from it keep the interpreter's generic slots.
@pytest.mark.parametrize("row", range(len(WATCHED_CHANGES)))
def test_deleting_or_replacing_a_watched_method_is_followed(row):
    here = pathlib.Path(__file__).parent
    code = f"import sys\nsys.path.insert(0, {str(here)!r})\nimport test_configuration\ntest_configuration.follow_watched({row})"
    result = run_python(code)
    assert result.returncode == 0, result.stderr[-3000:]


def _stored(cfg, key, value):
    cfg[key] = value
    return list(cfg)
