#!/usr/bin/env bash
# Build the package into .venv/3.12 (CPython 3.12, the same environment as
# `scripts/test.sh 3.12`), run the `ondrel` command on the layered
# configuration in examples/layered (examples/ondrel.sh), then the tour of the
# classes in examples/demo.py.  The command stays in .venv/3.12/bin/ondrel
# (`. .venv/3.12/bin/activate` puts it on PATH).
#
#   bash scripts/example.sh
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/_env.sh

python=$(find_python 3.12)
ensure_venv 3.12 "$python"
install_package 3.12
# The command draws on trellan, logic and arbel.
if .venv/3.12/bin/python -c 'import vestri.ondrel.trellan, vestri.ondrel.logic, vestri.ondrel.arbel' 2>/dev/null; then
    log "running examples/ondrel.sh"
    ONDREL="$PWD/.venv/3.12/bin/ondrel" bash examples/ondrel.sh
else
    log "examples/ondrel.sh skipped: the modules trellan, logic and arbel are not all built"
fi
log "running examples/demo.py"
.venv/3.12/bin/python examples/demo.py
log "the command is .venv/3.12/bin/ondrel; '. .venv/3.12/bin/activate' puts it on PATH"
