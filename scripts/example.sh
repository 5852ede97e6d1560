#!/usr/bin/env bash
# Set-up, then the main job: build a project folder (the example project by default) into an
# output folder: model classes, settings, stored fixtures and static files.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/korvan-models build "${1:-examples/library}" --out "${2:-out}"
