#!/usr/bin/env bash
# Set-up, then the main job: build a project folder (the example project by default) into an
# output folder: model classes, settings, stored fixtures and static files. Paths given are
# taken relative to the folder the script is called from; the defaults are the repository's.
set -euo pipefail
caller=$(pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)
absolute() {
    case "$1" in
        /*) printf '%s\n' "$1" ;;
        *) printf '%s\n' "$caller/$1" ;;
    esac
}
project=$(absolute "${1:-$repo/examples/library}")
out=$(absolute "${2:-$repo/out}")
cd "$repo"
bash scripts/setup.sh
exec .venv/bin/korvan-models build "$project" --out "$out"
