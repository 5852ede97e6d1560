#!/usr/bin/env bash
# The store tests against a real PostgreSQL server: installs Debian's postgresql and the driver,
# runs a throwaway cluster in a temporary folder (as an unprivileged user, listening only on a Unix
# socket in that folder), runs tests/store with its URL, and stops and removes the cluster on every
# exit path. Tests that find no server fail here instead of being skipped. Among them, the example
# project is built into the server through `--database` and every fixture reference is then resolved
# in a fresh process (test_a_build_into_named_databases_resolves_every_reference_in_a_fresh_process).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

find_initdb() {
    ls -d /usr/lib/postgresql/*/bin/initdb 2>/dev/null | sort -V | tail -n 1
}

if [ -z "$(find_initdb)" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "PostgreSQL is not installed and installing it needs root (apt-get install postgresql)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q postgresql >/dev/null
fi
bin=$(dirname "$(find_initdb)")

bash scripts/setup.sh
# The extra's driver only, against the package just installed: nothing is compiled again.
.venv/bin/python -m pip install --quiet "korvan-models[postgres]"

# The server refuses to run as root: root runs it as the "postgres" user the package created.
run_as=()
owner=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
    owner=postgres
    id -u "$owner" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$owner"
    run_as=(runuser -u "$owner" --)
fi

cluster=$(mktemp -d /tmp/korvan-pg.XXXXXX)
chown "$owner" "$cluster"
chmod 700 "$cluster"
stop_cluster() {
    status=$?
    if [ -f "$cluster/data/postmaster.pid" ]; then
        "${run_as[@]}" "$bin/pg_ctl" -D "$cluster/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$cluster"
    exit "$status"
}
trap stop_cluster EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"${run_as[@]}" "$bin/initdb" -D "$cluster/data" -U korvan --auth=trust -E UTF8 >/dev/null
"${run_as[@]}" "$bin/pg_ctl" -D "$cluster/data" -l "$cluster/server.log" -w start \
    -o "-c listen_addresses='' -c unix_socket_directories='$cluster' -c fsync=off -c max_connections=50" >/dev/null

export KORVAN_TEST_POSTGRES_URL="postgresql+psycopg://korvan@/postgres?host=$cluster"
export KORVAN_REQUIRE_POSTGRES=1
# The tests' temporary files go with the cluster's folder.
mkdir "$cluster/tmp"
export TMPDIR="$cluster/tmp"
cd "$cluster"
"$repo/.venv/bin/python" -m pytest "$repo/tests/store" --basetemp="$cluster/t" -p no:cacheprovider -q -W ignore::DeprecationWarning "$@"
