#!/usr/bin/env bash
# Set-up, then the main job: generate and import the model classes of a project folder
# (the example project by default) and print a summary per model.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python -m korvan_models.cli "${1:-examples/library}" "${2:-out}"
