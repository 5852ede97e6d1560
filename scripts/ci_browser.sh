#!/usr/bin/env bash
# The models' site in a real browser: installs Debian's chromium, chromium-driver and graphviz when
# missing, and the test tools, then runs the site's tests with the browser required (a missing
# browser or Graphviz fails here instead of skipping).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

if ! command -v chromium >/dev/null || ! command -v chromedriver >/dev/null || ! command -v dot >/dev/null; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "chromium, chromium-driver and graphviz are needed and installing them needs root" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q chromium chromium-driver graphviz >/dev/null
fi

bash scripts/setup.sh
source scripts/run_folder.sh
enter_run_folder
status=0
KORVAN_REQUIRE_BROWSER=1 "$repo/.venv/bin/python" -m pytest "$basetemp" -p no:cacheprovider -q \
    "$repo/tests/tools/test_site.py" "$repo/tests/tools/test_site_browser.py" "$@" || status=$?
exit "$status"
