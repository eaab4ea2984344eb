"""Instructions per call of the logic benchmarks, where wall time is too noisy.

    bash benchmarks/logic_instructions.sh    # every case, through valgrind's callgrind

Runs one case of bench_logic.py's set-up N times (after one warm-up call):
    python benchmarks/logic_instructions.py CASE N
with CASE one of ab_ours, ab_base, ab_twin, nested_ours, nested_base,
nested_twin, text_ours, text_base, text_twin.  The shell script counts the
instructions of N = 0 and N = many under callgrind and prints the difference
per call, which does not depend on what else the machine is doing.
"""

import sys

import bench_logic

namespace = {}
exec(bench_logic.setup(), namespace)
CASES = {}
for name, ours, baseline, twin, _ in bench_logic.TRIPLES:
    key = {"And(": "ab", "3-le": "nested", "logi": "text"}[name[:4]]
    for kind, stmt in (("ours", ours), ("base", baseline), ("twin", twin)):
        CASES[f"{key}_{kind}"] = eval(f"lambda: {stmt}", namespace)

case = CASES[sys.argv[1]]
case()
for _ in range(int(sys.argv[2])):
    case()
