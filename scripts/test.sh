#!/usr/bin/env bash
# Build the extension modules and run the test suite.
#
#   bash scripts/test.sh [STAGE...]
#
# Stages (default: all three, in this order):
#   3.12   the suite on CPython 3.12                   (.venv/3.12, build/3.12)
#   3.13   the suite on CPython 3.13                   (.venv/3.13, build/3.13)
#   asan   the suite on CPython 3.12 with the modules built with
#          AddressSanitizer and UndefinedBehaviorSanitizer (.venv/asan, build/asan)
#
# Each stage creates its virtual environment if needed, installs the package
# with `pip install -e ".[test]"` (an incremental CMake build in its own build
# directory) and runs `python -m pytest -q`; extra pytest arguments can be
# passed after `--`, e.g. `bash scripts/test.sh 3.12 -- -k nested`.
# Every stage runs; the script exits non-zero if any stage failed, including a
# run that collected no tests.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/_env.sh

stages=()
pytest_args=()
while (($#)); do
    case $1 in
        3.12 | 3.13 | asan) stages+=("$1") ;;
        all) stages+=(3.12 3.13 asan) ;;
        --) shift; pytest_args=("$@"); break ;;
        -h | --help) sed -n '2,17s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "unknown stage '$1' (expected 3.12, 3.13, asan or all)" >&2; exit 2 ;;
    esac
    shift
done
((${#stages[@]})) || stages=(3.12 3.13 asan)

run_pytest() {
    local rc=0
    "$@" -m pytest -q ${pytest_args[@]+"${pytest_args[@]}"} || rc=$?
    if ((rc == 5)); then
        echo "error: pytest collected no tests" >&2
    fi
    return "$rc"
}

stage_plain() {
    local version=$1 python
    python=$(find_python "$version")
    ensure_venv "$version" "$python"
    install_package "$version"
    log "running the tests on $(".venv/$version/bin/python" -V)"
    run_pytest ".venv/$version/bin/python"
}

stage_asan() {
    local python libasan libubsan
    python=$(find_python 3.12)
    libasan=$(g++ -print-file-name=libasan.so)
    libubsan=$(g++ -print-file-name=libubsan.so)
    if [[ $libasan != /* || ! -e $libasan || $libubsan != /* || ! -e $libubsan ]]; then
        echo "error: the sanitizer runtimes of g++ were not found (libasan.so, libubsan.so)" >&2
        return 1
    fi
    ensure_venv asan "$python"
    install_package asan ON
    log "running the tests under AddressSanitizer and UndefinedBehaviorSanitizer"
    # The sanitizer runtimes must be loaded before anything else in the
    # process; the interpreter's own allocator is switched off so that ASan
    # sees every allocation.  Leak detection stays off: the interpreter keeps
    # memory at exit by design; leaks are caught by tests/leakcheck.py in the
    # other stages.
    run_pytest env LD_PRELOAD="$libasan:$libubsan" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS=detect_leaks=0 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        .venv/asan/bin/python
}

declare -A result seconds
failed=0
for stage in "${stages[@]}"; do
    log "stage $stage"
    start=$SECONDS
    # A subshell per stage, run outside any `||` so that `set -e` holds in it.
    set +e
    (
        set -e
        if [[ $stage == asan ]]; then stage_asan; else stage_plain "$stage"; fi
    )
    rc=$?
    set -e
    seconds[$stage]=$((SECONDS - start))
    if ((rc == 0)); then
        result[$stage]=passed
    else
        result[$stage]="FAILED (exit $rc)"
        failed=1
    fi
done

echo
echo "stage   result           time"
for stage in "${stages[@]}"; do
    printf '%-7s %-16s %4ds\n' "$stage" "${result[$stage]}" "${seconds[$stage]}"
done
exit "$failed"
