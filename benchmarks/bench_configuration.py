"""Benchmarks of vestri.ondrel.configuration, each against its baseline.

    python benchmarks/bench_configuration.py [pyperf options, e.g. --fast]

Pairs (ours / baseline, measured in the same run):
- load_cfgs of a generated 5,000-option INI file / the standard library's
  ConfigParser reading the same file and reading back every value;
- copy() of a 10,000-leaf configuration / copy.deepcopy of the same data as
  plain dicts;
- load_yamls of the INI file's data written as YAML / OmegaConf.load of the
  same file.
"""

import copy
import configparser
import os
import tempfile

import pyperf
import yaml

from pairs import leaf_text
from vestri.ondrel.configuration import Configuration

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


def copy_data():
    return {
        f"section{s}": {f"leaf{o}": (Configuration({"v": leaf_text(s, o)})["v"]) for o in range(COPY_LEAVES)}
        for s in range(COPY_SECTIONS)
    }


def main():
    runner = pyperf.Runner()
    runner.metadata["description"] = "vestri.ondrel.configuration against its baselines"
    workdir = tempfile.mkdtemp(prefix="bench-configuration-")
    ini_path = os.path.join(workdir, "bench-configuration.ini")
    yaml_path = os.path.join(workdir, "bench-configuration.yaml")
    with open(ini_path, "w") as f:
        f.write(ini_text())
    with open(yaml_path, "w") as f:
        yaml.safe_dump(ini_data(), f)

    def ours_ini():
        Configuration().load_cfgs(ini_path)

    def baseline_ini():
        parser = configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",))
        parser.read(ini_path)
        for name in parser:
            for _key, _value in parser[name].items():
                pass

    plain = copy_data()
    cfg = Configuration(plain)

    def ours_copy():
        cfg.copy()

    def baseline_copy():
        copy.deepcopy(plain)

    def ours_yaml():
        Configuration().load_yamls(yaml_path)

    pairs = [
        ("load_cfgs 5,000 options", ours_ini, "ConfigParser read + read back", baseline_ini),
        ("copy 10,000 leaves", ours_copy, "copy.deepcopy of plain dicts", baseline_copy),
    ]
    # The generated document (about 5,600 nodes with its keys) is trusted input
    # above OmegaConf's default expansion limit.
    os.environ.setdefault("OMEGACONF_MAX_YAML_EXPANDED_NODES", "1000000")
    try:
        from omegaconf import OmegaConf

        def baseline_yaml():
            OmegaConf.load(yaml_path)

        pairs.append(("load_yamls 5,000 values", ours_yaml, "OmegaConf.load", baseline_yaml))
    except ImportError:
        print("omegaconf is not installed: the YAML pair is skipped")

    # A four-level tree of 10,000 leaves (10 x 10 x 10 x 10), numbers and text.
    tree = {f"level{a}": {f"group{b}": {f"item{c}": {f"leaf{e}": (a * 1000 + b * 100 + c * 10 + e if e % 2 else
                                                                   f"text {a}.{b}.{c}.{e}")
                                                      for e in range(10)} for c in range(10)} for b in range(10)}
            for a in range(10)}
    deep_cfg = Configuration(tree)

    def ours_deep_copy():
        deep_cfg.copy()

    def baseline_deep_copy():
        copy.deepcopy(tree)

    pairs.append(("copy four-level 10,000 leaves", ours_deep_copy, "copy.deepcopy of the four-level dicts",
                  baseline_deep_copy))

    results = []
    # Item reads, Configuration against the NestedPointel it inherits them from.
    item_setup = ("from vestri.ondrel.configuration import Configuration\n"
                  "from vestri.ondrel.pointel import NestedPointel\n"
                  "c = Configuration({'k': 1, 'a': {'b': {'c': 1}}}); n = NestedPointel({'k': 1, 'a': {'b': {'c': 1}}})")
    for ours_name, ours, base_name, base in [("c['k']", "c['k']", "n['k']", "n['k']"),
                                             ("c['a.b.c']", "c['a.b.c']", "n['a.b.c']", "n['a.b.c']")]:
        a = runner.timeit(f"Configuration {ours_name}", ours, setup=item_setup)
        b = runner.timeit(f"NestedPointel {base_name}", base, setup=item_setup)
        results.append((f"Configuration {ours_name}", a, f"NestedPointel {base_name}", b))
    for ours_name, ours, base_name, base in pairs:
        a = runner.bench_func(ours_name, ours)
        b = runner.bench_func(base_name, base)
        results.append((ours_name, a, base_name, b))

    if runner.args.worker:
        return
    print()
    for ours_name, a, base_name, b in results:
        if a is None or b is None:
            continue
        ratio = a.mean() / b.mean()
        print(f"{ours_name}: {a.mean() * 1e3:.5f} ms; {base_name}: {b.mean() * 1e3:.5f} ms; "
              f"ours / baseline = {ratio:.2f} (speed-up {1 / ratio:.2f}x)")


if __name__ == "__main__":
    main()
