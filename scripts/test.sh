#!/usr/bin/env bash
# Set-up, then the whole test suite against the installed package (run from outside the source tree).
# Test paths among the arguments (relative to the folder the script is called from) run instead of
# the whole suite.
set -euo pipefail
args=()
paths=0
for arg in "$@"; do
    path=${arg%%::*}
    if [[ $arg != -* && ($path == */* || $path == *.py) && -e $path ]]; then
        arg=$(realpath -s "$path")${arg:${#path}}
        paths=1
    fi
    args+=("$arg")
done
cd "$(dirname "$0")/.."
bash scripts/setup.sh
repo=$(pwd)
source scripts/run_folder.sh
enter_run_folder
[ "$paths" -eq 1 ] || args=("$repo/tests" ${args[@]+"${args[@]}"})
status=0
"$repo/.venv/bin/python" -m pytest "$basetemp" -p no:cacheprovider -q ${args[@]+"${args[@]}"} || status=$?
exit "$status"
