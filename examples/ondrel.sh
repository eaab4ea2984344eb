#!/usr/bin/env bash
# The `ondrel` command on the layered configuration in examples/layered:
# two INI files (defaults and one machine's changes) and a YAML file of
# production overrides, merged in that order.
#
#   bash examples/ondrel.sh      (with `ondrel` on PATH, or ONDREL=... naming it;
#                                 after scripts/example.sh: . .venv/3.12/bin/activate)
#
# `bash scripts/example.sh` builds the package and runs this first.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/layered"
ondrel=${ONDREL:-ondrel}
# The INI files refer to these two environment variables.
export SHOP_HOME=${SHOP_HOME:-/srv/shop}
export SHOP_DB_PASSWORD=${SHOP_DB_PASSWORD:-s3cret}

# Echo the command as it would be typed, then run it.
run() {
    local arg line='$ ondrel'
    for arg; do
        if [[ $arg =~ ^[A-Za-z0-9_./:+=-]+$ ]]; then
            line+=" $arg"
        elif [[ $arg == *\'* ]]; then
            line+=" \"$arg\""
        else
            line+=" '$arg'"
        fi
    done
    printf '\n%s\n' "$line"
    local status=0
    "$ondrel" "$@" || status=$?
    if ((status != 0)); then
        printf '(exit status %d)\n' "$status"
    fi
    # 1 is an answer (no such key, the sources differ); 2 is an error.
    return $((status > 1))
}

# The merged configuration as a tree, then with the file (and INI section)
# that set each value last.
run show base.ini site.ini production.yaml
run show --origin base.ini site.ini production.yaml
# The database settings but the password, one dotted path per line.
run show --flat --match "And('^db\.', Not('password'))" base.ini site.ini production.yaml
# One value, and one level as YAML.
run show --get 'db.replicas[1].host' base.ini site.ini production.yaml
run show --get server --format yaml base.ini site.ini production.yaml
# Where one value came from: every layer that sets it, the kept one marked.
run show --history db.host base.ini site.ini production.yaml
# An override on the command line and a layer of environment variables
# (SHOP_SERVER__PORT is server.port), merged where they stand.
printf '\n$ export SHOP_SERVER__PORT=9443'
export SHOP_SERVER__PORT=9443
run show --get server base.ini site.ini env:SHOP production.yaml --set server.workers=16 --origin
# What the machine and production files change: exit status 1, as diff's.
run diff base.ini base.ini+site.ini+production.yaml
