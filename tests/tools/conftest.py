"""The tools' tests share the command tests' helpers and fixtures (a small project, the command in-process)."""

import importlib.util
import sys
from pathlib import Path

CLI_TESTS = Path(__file__).resolve().parents[1] / "cli"
sys.path.insert(0, str(CLI_TESTS))
_spec = importlib.util.spec_from_file_location("cli_test_fixtures", CLI_TESTS / "conftest.py")
_fixtures = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_fixtures)
project, run = _fixtures.project, _fixtures.run
