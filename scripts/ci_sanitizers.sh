#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer (build folder build/asan,
# virtualenv build/venv-asan, both apart from the ordinary ones) and runs the whole test suite under
# them, from outside the source tree. Any sanitizer finding fails the run; an address report does so
# even when a child process wrote it and no test looks at its exit status. Safe to run again; extra
# arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
venv=$repo/build/venv-asan

source scripts/python_venv.sh

compiler=${CXX:-g++}
libasan=$("$compiler" -print-file-name=libasan.so)
libstdcxx=$("$compiler" -print-file-name=libstdc++.so)
for library in "$libasan" "$libstdcxx"; do
    if [ ! -e "$library" ]; then
        echo "$compiler has no $(basename "$library"): install the compiler's sanitizer runtime" >&2
        exit 1
    fi
done

# Compile and link flags, for the package and for the test-only probe module the frame tests build.
# KV_CHECKED turns on the frame's invariant checks.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -DKV_CHECKED"

prepare_venv "$venv"
"$venv/bin/python" -m pip install --quiet --no-build-isolation -Cbuild-dir=build/asan \
    -Ccmake.build-type=RelWithDebInfo -Ccmake.define.CMAKE_CXX_FLAGS="$sanitize" ".[test]"

source scripts/run_folder.sh
enter_run_folder
reports=$run_folder/reports
mkdir "$reports"

# The interpreter is not built with the sanitizers: their runtime is preloaded, with the C++ library
# so that exceptions thrown across the modules are seen by it. Python objects come from malloc so
# that a use after free is caught; leak detection would report the interpreter's own allocations; a
# quarantine would read as memory growth in the tests that measure it.
export LD_PRELOAD="$libasan:$libstdcxx"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=0:allocator_may_return_null=1:detect_odr_violation=0:abort_on_error=0:exitcode=99:log_path=$reports/asan"
# An undefined-behaviour finding ends its process (exit status 99): the run fails through pytest
# itself or through the test that watches the child. This runtime writes its reports to the error
# output whatever log_path says, so only the address reports are collected as files.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=99"
export CXXFLAGS="$sanitize"
export KORVAN_SANITIZED=1

status=0
"$venv/bin/python" -m pytest "$repo/tests" "$basetemp" -p no:cacheprovider -q -m "not slow" "$@" || status=$?

if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    for report in "$reports"/*; do
        echo "== $report" >&2
        cat "$report" >&2
    done
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
