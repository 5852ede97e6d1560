#!/usr/bin/env bash
# Set-up, then the whole test suite against the installed package (run from outside the source tree).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
repo=$(pwd)
cd "$(mktemp -d)"
exec "$repo/.venv/bin/python" -m pytest "$repo/tests" -p no:cacheprovider -q "$@"
