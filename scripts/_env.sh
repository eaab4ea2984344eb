# Shared by scripts/test.sh and scripts/example.sh; sourced, not run.
#
# find_python VERSION       prints the absolute path of a CPython VERSION (e.g. 3.12)
# ensure_venv NAME PYTHON   creates or reuses .venv/NAME from interpreter PYTHON
# install_package NAME [SANITIZE]
#                           pip install -e ".[test]" into .venv/NAME, CMake build in
#                           build/NAME; SANITIZE (ON/OFF, default OFF) sets VESTRI_SANITIZE
#                           and VESTRI_DEBUG (-O0 -g, VO_ASSERT checked).
#                           Compiler warnings are errors (VESTRI_WERROR=ON) unless
#                           VESTRI_WERROR is set otherwise in the environment.

# Preferred pyenv versions per minor version; any other installed patch release
# of that minor version is tried next, then the plain interpreter on PATH.
declare -A VESTRI_PYENV_PREFERRED=([3.12]=3.12.1 [3.13]=3.13.0)

log() { printf '==> %s\n' "$*" >&2; }

# Prints sys.executable of the interpreter if it runs and is CPython VERSION.
_probe_python() {
    local version=$1
    shift
    "$@" -c "
import sys, platform
assert platform.python_implementation() == 'CPython'
assert '%d.%d' % sys.version_info[:2] == '$version'
print(sys.executable)" 2>/dev/null
}

find_python() {
    local version=$1 candidate exe
    local -a pyenv_versions=()
    if [[ -n ${VESTRI_PYENV_PREFERRED[$version]:-} ]]; then
        pyenv_versions+=("${VESTRI_PYENV_PREFERRED[$version]}")
    fi
    if command -v pyenv >/dev/null 2>&1; then
        while read -r candidate; do
            pyenv_versions+=("$candidate")
        done < <(pyenv versions --bare 2>/dev/null | grep -E "^${version//./\\.}\.[0-9]+$" | sort -t. -k3,3nr)
    fi
    for candidate in "${pyenv_versions[@]}"; do
        if exe=$(_probe_python "$version" env PYENV_VERSION="$candidate" "python$version"); then
            printf '%s\n' "$exe"
            return 0
        fi
    done
    if exe=$(_probe_python "$version" "python$version"); then
        printf '%s\n' "$exe"
        return 0
    fi
    echo "error: no CPython $version found (tried pyenv and python$version on PATH)" >&2
    return 1
}

ensure_venv() {
    local name=$1 python=$2 venv=".venv/$1" base
    if [[ -x $venv/bin/python ]]; then
        # Reuse only if it still runs and was made from the same interpreter.
        base=$("$venv/bin/python" -c 'import sys; print(sys._base_executable)' 2>/dev/null || true)
        if [[ $base == "$python" ]] || [[ $(readlink -f "$base" 2>/dev/null) == "$(readlink -f "$python")" ]]; then
            return 0
        fi
        log "recreating $venv (interpreter changed or broken)"
    else
        log "creating $venv from $python"
    fi
    "$python" -m venv --clear "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
}

install_package() {
    local name=$1 sanitize=${2:-OFF}
    local werror=${VESTRI_WERROR:-ON}
    log "building and installing vestri.ondrel into .venv/$name (CMake build dir build/$name, VESTRI_SANITIZE=$sanitize, VESTRI_DEBUG=$sanitize, VESTRI_WERROR=$werror)"
    VESTRI_SANITIZE=$sanitize VESTRI_DEBUG=$sanitize VESTRI_WERROR=$werror ".venv/$name/bin/python" -m pip install -q -e ".[test]" \
        --config-settings=build-dir="build/$name"
}
