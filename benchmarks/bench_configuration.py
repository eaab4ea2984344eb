"""The configuration store against its baselines (the modes: pairs.py).

- load_cfgs of a generated 5,000-option INI file / the standard library's
  ConfigParser reading the same file and reading back every value;
- copy() of a 10,000-leaf configuration, flat and four levels deep /
  copy.deepcopy of the same data as plain dicts;
- load_yamls of the INI file's data written as YAML / OmegaConf.load of the
  same file (skipped without omegaconf);
- item reads / the same on the NestedPointel that Configuration inherits them from.
"""

import os
import tempfile

import yaml

from pairs import Pair, leaf_text, main

INI_SECTIONS = 100
INI_OPTIONS = 50  # per section: 5,000 options
COPY_SECTIONS = 100
COPY_LEAVES = 100  # per section: 10,000 leaves


def ini_text():
    lines = ["[DEFAULT]", "root = /srv", ""]
    for s in range(INI_SECTIONS):
        lines.append(f"[group{s // 10}.section{s}]")
        for o in range(INI_OPTIONS):
            lines.append(f"option{o} = {leaf_text(s, o)}")
        lines.append("")
    return "\n".join(lines)


def ini_data():
    """The INI file's content as nested dicts (sections split at their dots)."""
    data = {}
    for s in range(INI_SECTIONS):
        section = {f"option{o}": yaml.safe_load(leaf_text(s, o)) for o in range(INI_OPTIONS)}
        section["root"] = "/srv"
        data.setdefault(f"group{s // 10}", {})[f"section{s}"] = section
    return data


def files():
    """The INI and YAML files, in a folder removed when the process exits."""
    folder = tempfile.TemporaryDirectory(prefix="bench-configuration-")
    ini_path, yaml_path = (os.path.join(folder.name, name) for name in ("bench.ini", "bench.yaml"))
    with open(ini_path, "w") as f:
        f.write(ini_text())
    with open(yaml_path, "w") as f:
        yaml.safe_dump(ini_data(), f)
    return folder, ini_path, yaml_path


def read_back(ini_path):
    import configparser

    parser = configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",))
    parser.read(ini_path)
    for name in parser:
        for _key, _value in parser[name].items():
            pass


SETUP = """
import copy
from bench_configuration import files, read_back, COPY_SECTIONS, COPY_LEAVES
from vestri.ondrel.configuration import Configuration
from vestri.ondrel.pointel import NestedPointel
folder, ini_path, yaml_path = files()
plain = {f"section{s}": {f"leaf{o}": Configuration({"v": leaf_text(s, o)})["v"] for o in range(COPY_LEAVES)}
         for s in range(COPY_SECTIONS)}
cfg = Configuration(plain)
# A four-level tree of 10,000 leaves (10 x 10 x 10 x 10), numbers and text.
tree = {f"level{a}": {f"group{b}": {f"item{c}": {f"leaf{e}": a * 1000 + b * 100 + c * 10 + e if e % 2
                                                 else f"text {a}.{b}.{c}.{e}" for e in range(10)}
                                    for c in range(10)} for b in range(10)} for a in range(10)}
deep_cfg = Configuration(tree)
c = Configuration({'k': 1, 'a': {'b': {'c': 1}}})
n = NestedPointel({'k': 1, 'a': {'b': {'c': 1}}})
""".replace("from bench_configuration import", "from pairs import leaf_text\nfrom bench_configuration import")

# The generated document (about 5,600 nodes with its keys) is trusted input
# above OmegaConf's default expansion limit.
OMEGACONF = """
import os
os.environ.setdefault("OMEGACONF_MAX_YAML_EXPANDED_NODES", "1000000")
from omegaconf import OmegaConf
"""

PAIRS = [
    Pair("load_cfgs of 5,000 options vs ConfigParser read + read back", "Configuration().load_cfgs(ini_path)",
         "read_back(ini_path)", 2.0, "within"),
    Pair("copy() of 10,000 leaves vs copy.deepcopy of plain dicts", "cfg.copy()", "copy.deepcopy(plain)", 3.0),
    Pair("copy() of four-level 10,000 leaves vs copy.deepcopy", "deep_cfg.copy()", "copy.deepcopy(tree)", 3.0),
    Pair("load_yamls of 5,000 values vs OmegaConf.load", "Configuration().load_yamls(yaml_path)",
         "OmegaConf.load(yaml_path)", 3.0, setup=OMEGACONF, requires=("omegaconf",)),
    Pair("c['k'] vs NestedPointel n['k']", "c['k']", "n['k']", 1.5, "within"),
    Pair("c['a.b.c'] vs NestedPointel n['a.b.c']", "c['a.b.c']", "n['a.b.c']", None, "within"),
]


if __name__ == "__main__":
    main(PAIRS, SETUP)
