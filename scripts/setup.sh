#!/usr/bin/env bash
# Creates .venv with CPython 3.12 and installs the package (compiling every extension module) and
# its test tools. Safe to run again: the build directory keeps compiled objects between runs.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
    for candidate in "${PYTHON:-}" python3.12 \
        "$(command -v pyenv >/dev/null 2>&1 && pyenv root)"/versions/3.12*/bin/python3.12 \
        "$HOME"/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12; do
        [ -n "$candidate" ] || continue
        if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "CPython 3.12 not found; set PYTHON=/path/to/python3.12" >&2
    return 1
}

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    rm -rf .venv
    "$(find_python)" -m venv .venv
fi
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet scikit-build-core cmake ninja
.venv/bin/python -m pip install --quiet --no-build-isolation -Cbuild-dir=build/release ".[test]"
