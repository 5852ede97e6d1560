#!/usr/bin/env bash
# Creates .venv with CPython 3.12 and installs the package (compiling every extension module) and
# its test tools. Safe to run again: the build directory keeps compiled objects between runs.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/python_venv.sh
prepare_venv .venv
.venv/bin/python -m pip install --quiet --no-build-isolation -Cbuild-dir=build/release ".[test]"
