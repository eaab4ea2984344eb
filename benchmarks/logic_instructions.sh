#!/usr/bin/env bash
# Instructions per call of each logic benchmark (needs valgrind).
#   bash benchmarks/logic_instructions.sh [PYTHON]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
python=${1:-python}
export PYTHONHASHSEED=0
count() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$python" logic_instructions.py "$1" "$2" 2>&1 |
        sed -n 's/.*Collected : //p' | tr -d ,
}
for case in ab_ours ab_base ab_twin nested_ours nested_base nested_twin text_ours text_base text_twin; do
    n=20000
    [[ $case == text_* ]] && n=1000
    base=$(count "$case" 0)
    total=$(count "$case" "$n")
    printf '%-12s %8d instructions per call\n' "$case" $(((total - base) / n))
done
