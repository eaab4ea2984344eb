"""Benchmarks of the ``ondrel`` command, each against its baseline.

    python benchmarks/bench_cli.py [--repeat N] [--scale F]

Each pair is timed side by side in one run, as whole processes (the command
is a process; so is its baseline), alternating ours and the baseline and
keeping the best of N runs of each:

- ``ondrel show`` of a generated 160,000-option INI file / a process that
  only calls ``Configuration().load_cfgs`` on it (target: within 1.5x);
- ``ondrel show`` of a generated 12 MB YAML file / a process that only calls
  ``Configuration().load_yamls`` on it (target: within 1.3x);
- start-up: ``ondrel show`` of a small INI file / ``python -c "import yaml,
  configparser"`` (target: within 2x).

The inputs are written to a temporary directory and removed afterwards;
``--scale`` shrinks them for a quick look (the targets are for scale 1).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from pairs import leaf_text

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


ENV = dict(os.environ)


def best(argv, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, check=True, env=ENV)
        times.append(time.perf_counter() - start)
    return min(times)


def pair(name, ours, baseline, target, repeat):
    ours_times, base_times = [], []
    for _ in range(repeat):  # alternating, so that both see the same machine
        ours_times.append(best(ours, 1))
        base_times.append(best(baseline, 1))
    a, b = min(ours_times), min(base_times)
    ratio = a / b
    verdict = "met" if ratio <= target else "missed"
    print(f"| {name} | {a * 1000:,.0f} ms | {b * 1000:,.0f} ms | {ratio:.2f}x | within {target}x: {verdict} |",
          flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--scale", type=float, default=1.0)
    args = parser.parse_args()
    python = sys.executable
    with tempfile.TemporaryDirectory() as folder:
        # Compiled modules kept, as an installed package has them.
        ENV.pop("PYTHONDONTWRITEBYTECODE", None)
        ENV["PYTHONPYCACHEPREFIX"] = os.path.join(folder, "pycache")
        ini, yml, small = (os.path.join(folder, name) for name in ("big.ini", "big.yaml", "small.ini"))
        write_ini(ini, int(160_000 * args.scale))
        write_yaml(yml, int(12_000_000 * args.scale))
        with open(small, "w") as out:
            out.write("[server]\nhost = localhost\nport = 8080\n")
        subprocess.run([python, "-c", COMMAND, "show", small], stdout=subprocess.DEVNULL, check=True, env=ENV)
        print("| benchmark | ours | baseline | ratio | target |\n|---|---|---|---|---|", flush=True)
        pair("`ondrel show` of a 160,000-option INI file vs `load_cfgs` of it",
             [python, "-c", COMMAND, "show", ini], [python, "-c", LOAD.format("load_cfgs"), ini], 1.5, args.repeat)
        pair(f"`ondrel show` of a {os.path.getsize(yml) / 1e6:.0f} MB YAML file vs `load_yamls` of it",
             [python, "-c", COMMAND, "show", yml], [python, "-c", LOAD.format("load_yamls"), yml], 1.3, args.repeat)
        pair("start-up: `ondrel show` of a 3-line INI file vs `python -c \"import yaml, configparser\"`",
             [python, "-c", COMMAND, "show", small], [python, "-c", "import yaml, configparser"], 2, args.repeat * 3)


if __name__ == "__main__":
    main()
