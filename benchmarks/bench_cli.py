"""The ``ondrel`` command against its loaders and a bare start-up.

    python benchmarks/bench_cli.py [--repeat N] [--scale F]

Each pair is a whole process against another (the command is a process; so
is its baseline), timed by pairs.py's interleaved runner: ours and the
baseline alternating, one run each per round, the median of N rounds:

- ``ondrel show`` of a generated 160,000-option INI file / a process that
  only calls ``Configuration().load_cfgs`` on it (target: within 1.5x);
- ``ondrel show`` of a generated 12 MB YAML file / a process that only calls
  ``Configuration().load_yamls`` on it (target: within 1.3x);
- start-up: ``ondrel show`` of a small INI file / ``python -c "import yaml,
  configparser"`` (target: within 2x).

The inputs are written to a temporary directory, removed when the run
ends; ``--scale`` shrinks them for a quick look (the targets are for scale 1).
"""

import argparse

from pairs import Pair, leaf_text, run_interleaved

COMMAND = "import sys; from vestri.ondrel.cli import main; sys.exit(main(prog='ondrel'))"
LOAD = "import sys; from vestri.ondrel.configuration import Configuration; Configuration().{}(sys.argv[1])"


def write_ini(path, options):
    sections = max(1, options // 100)
    with open(path, "w") as out:
        out.write("[DEFAULT]\nroot = /srv\n\n")
        for s in range(sections):
            out.write(f"[group{s // 10}.section{s}]\n")
            out.writelines(f"option{o} = {leaf_text(s, o)}\n" for o in range(options // sections))
            out.write("\n")


def write_yaml(path, size):
    with open(path, "w") as out:
        s = 0
        while out.tell() < size:
            out.write(f"section{s}:\n  name: section {s}\n  hosts:\n")
            out.writelines(f"  - {{host: host{h}.internal, port: {8000 + h}, weight: {h / 4}}}\n" for h in range(5))
            out.write("  options:\n")
            out.writelines(f"    option{o}: {leaf_text(s, o)}\n" for o in range(20))
            s += 1


SETUP = """
import os, subprocess, sys, tempfile
from bench_cli import COMMAND, LOAD, write_ini, write_yaml
folder = tempfile.TemporaryDirectory()
ini, yml, small = (os.path.join(folder.name, name) for name in ("big.ini", "big.yaml", "small.ini"))
write_ini(ini, int(160_000 * SCALE))
write_yaml(yml, int(12_000_000 * SCALE))
with open(small, "w") as out:
    out.write("[server]\\nhost = localhost\\nport = 8080\\n")
# Compiled modules kept, as an installed package has them.
env = dict(os.environ, PYTHONPYCACHEPREFIX=os.path.join(folder.name, "pycache"))
env.pop("PYTHONDONTWRITEBYTECODE", None)

def run(*argv):
    subprocess.run([sys.executable, *argv], stdout=subprocess.DEVNULL, check=True, env=env)
"""

PAIRS = [
    Pair("`ondrel show` of a 160,000-option INI file vs `load_cfgs` of it", "run('-c', COMMAND, 'show', ini)",
         "run('-c', LOAD.format('load_cfgs'), ini)", 1.5, "within"),
    Pair("`ondrel show` of a 12 MB YAML file vs `load_yamls` of it", "run('-c', COMMAND, 'show', yml)",
         "run('-c', LOAD.format('load_yamls'), yml)", 1.3, "within"),
    Pair("start-up: `ondrel show` of a 3-line INI file vs `python -c \"import yaml, configparser\"`",
         "run('-c', COMMAND, 'show', small)", "run('-c', 'import yaml, configparser')", 2.0, "within"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args()
    run_interleaved(PAIRS, f"SCALE = {args.scale}\n" + SETUP, rounds=args.repeat, budget=0,
                    note=f"whole processes, interleaved, wall time, scale {args.scale}")


if __name__ == "__main__":
    main()
