#!/usr/bin/env bash
# Build the extension modules and run the test suite.
#
#   bash scripts/test.sh [STAGE...]
#
# Stages (default: all four, in this order):
#   3.12   the suite on CPython 3.12                   (.venv/3.12, build/3.12)
#   3.13   the suite on CPython 3.13                   (.venv/3.13, build/3.13)
#   asan   the suite on CPython 3.12 with the modules built with
#          AddressSanitizer and UndefinedBehaviorSanitizer (.venv/asan, build/asan)
#   wheel  the package as users install it, on CPython 3.12: `pip wheel .`,
#          installed into a new .venv/wheel; the suite and the examples run
#          from a copy outside the source tree; mypy's stubtest checks the type
#          stubs against the built modules and `mypy --strict` the examples and
#          tests/typed/; the sdist is built and installed into a new .venv/sdist
#
# The first three stages create their virtual environment if needed, install
# the package with `pip install -e ".[test]"` (an incremental CMake build in its
# own build directory) and run `python -m pytest -q`; extra pytest arguments can
# be passed after `--`, e.g. `bash scripts/test.sh 3.12 -- -k nested` (the wheel
# stage passes them to its run of the suite).  Compiler warnings are errors
# (VESTRI_WERROR=ON) unless VESTRI_WERROR=OFF is set in the environment.
# Every stage runs; the script exits non-zero if any stage failed, including a
# run that collected no tests.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/_env.sh

stages=()
pytest_args=()
while (($#)); do
    case $1 in
        3.12 | 3.13 | asan | wheel) stages+=("$1") ;;
        all) stages+=(3.12 3.13 asan wheel) ;;
        --) shift; pytest_args=("$@"); break ;;
        -h | --help) sed -n '2,28s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) echo "unknown stage '$1' (expected 3.12, 3.13, asan, wheel or all)" >&2; exit 2 ;;
    esac
    shift
done
((${#stages[@]})) || stages=(3.12 3.13 asan wheel)

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

# The extension modules that are built: the stem of every .so next to the
# installed package (run with the interpreter of the environment to look into).
built_modules() {
    "$1" -c '
import pathlib, vestri.ondrel
for path in sorted(pathlib.Path(vestri.ondrel.__file__).parent.glob("*.so")):
    print(path.name.split(".")[0])'
}

stage_wheel() {
    local python root venv=.venv/wheel dist=build/dist work module sdist_modules
    local -a modules=()
    python=$(find_python 3.12)
    root=$PWD
    export VESTRI_WERROR=${VESTRI_WERROR:-ON}
    rm -rf "$dist"
    log "creating a new $venv from $python"
    "$python" -m venv --clear "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip build
    log "building the wheel with pip wheel (VESTRI_WERROR=$VESTRI_WERROR)"
    "$venv/bin/python" -m pip wheel -q --no-deps --wheel-dir "$dist" .
    local wheels=("$dist"/*.whl)
    log "installing ${wheels[0]##*/} with the extras test and typing"
    "$venv/bin/python" -m pip install -q "${wheels[0]}[test,typing]"

    # Everything below runs in a copy of the tests and examples outside the
    # source tree, so that only the installed wheel can be imported.
    work=$(mktemp -d)
    # Expanded now: the trap runs when the stage's subshell ends, after this
    # function's locals are gone.
    trap "rm -rf '$work'" EXIT
    cp -r tests examples "$work/"
    cd "$work"
    unset PYTHONPATH
    "$root/$venv/bin/python" -c '
import sys, vestri.ondrel, vestri.utils
for package in (vestri.ondrel, vestri.utils):
    if "site-packages" not in package.__file__:
        sys.exit(f"{package.__name__} comes from {package.__file__}, not from the installed wheel")'
    log "running the tests against the installed wheel"
    local rc=0
    "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider ${pytest_args[@]+"${pytest_args[@]}"} || rc=$?
    if ((rc == 5)); then
        echo "error: pytest collected no tests" >&2
    fi
    ((rc == 0)) || return "$rc"
    mapfile -t modules < <(built_modules "$root/$venv/bin/python")
    # The command draws on trellan, logic and arbel; until those are built it
    # is not run (its tests skip likewise).
    local command_ready=1
    for module in trellan logic arbel; do
        [[ " ${modules[*]} " == *" $module "* ]] || command_ready=0
    done
    log "running the examples against the installed wheel"
    if ((command_ready)); then
        ONDREL="$root/$venv/bin/ondrel" bash examples/ondrel.sh >/dev/null
    else
        log "examples/ondrel.sh skipped: the modules trellan, logic and arbel are not all built"
    fi
    "$root/$venv/bin/python" examples/demo.py >/dev/null

    local package
    package=$("$root/$venv/bin/python" -c 'import os, vestri.ondrel; print(os.path.dirname(vestri.ondrel.__file__))')
    for module in "${modules[@]}"; do
        if [[ ! -f $package/$module.pyi ]]; then
            echo "error: the wheel has no type stub for the module $module (src/vestri/ondrel/$module.pyi)" >&2
            return 1
        fi
    done
    log "checking the type stubs of ${modules[*]} against the built modules (stubtest)"
    # Modules are named one by one: naming a package would take in the stubs
    # of modules not built yet.
    "$root/$venv/bin/python" -m mypy.stubtest --mypy-config-file "$root/pyproject.toml" \
        vestri.ondrel.cli vestri.utils.strings vestri.utils.import_utils "${modules[@]/#/vestri.ondrel.}"
    log "type-checking the package, the examples and tests/typed with mypy --strict"
    "$root/$venv/bin/python" -m mypy --config-file "$root/pyproject.toml" \
        -p vestri.ondrel -p vestri.utils
    "$root/$venv/bin/python" -m mypy --config-file "$root/pyproject.toml" examples/*.py tests/typed/*.py
    cd "$root"

    log "building the sdist and installing it into a new .venv/sdist"
    "$venv/bin/python" -m build --sdist --outdir "$dist" . >/dev/null
    local sdists=("$dist"/*.tar.gz)
    "$python" -m venv --clear .venv/sdist
    .venv/sdist/bin/python -m pip install -q --upgrade pip
    .venv/sdist/bin/python -m pip install -q "${sdists[0]}"
    cd "$work"
    # The sdist builds the same extension modules as the wheel holds.
    sdist_modules=$(built_modules "$root/.venv/sdist/bin/python" | tr '\n' ' ')
    if [[ $sdist_modules != "${modules[*]} " ]]; then
        echo "error: the sdist built the modules ($sdist_modules), the wheel (${modules[*]})" >&2
        return 1
    fi
    if ((command_ready)); then
        ONDREL="$root/.venv/sdist/bin/ondrel" bash examples/ondrel.sh >/dev/null
    fi
    "$root/.venv/sdist/bin/python" examples/demo.py >/dev/null
    cd "$root"
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
        case $stage in
            asan) stage_asan ;;
            wheel) stage_wheel ;;
            *) stage_plain "$stage" ;;
        esac
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
