# Sourced by the scripts that build the package: finds CPython 3.12 and prepares a virtualenv of it
# with the build tools.

is_python_312() {
    "$1" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null
}

find_python() {
    for candidate in "${PYTHON:-}" python3.12 \
        "$(command -v pyenv >/dev/null 2>&1 && pyenv root)"/versions/3.12*/bin/python3.12 \
        "$HOME"/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12; do
        [ -n "$candidate" ] || continue
        if command -v "$candidate" >/dev/null 2>&1 && is_python_312 "$candidate"; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "CPython 3.12 not found; set PYTHON=/path/to/python3.12" >&2
    return 1
}

# prepare_venv DIR: a CPython 3.12 virtualenv in DIR (made again when missing or of another
# version) with pip up to date and the build tools installed.
prepare_venv() {
    if [ ! -x "$1/bin/python" ] || ! is_python_312 "$1/bin/python"; then
        rm -rf "$1"
        "$(find_python)" -m venv "$1"
    fi
    "$1/bin/python" -m pip install --quiet --upgrade pip
    "$1/bin/python" -m pip install --quiet scikit-build-core cmake ninja
}
