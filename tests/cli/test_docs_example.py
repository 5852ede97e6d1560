"""The query set example of the docs runs against a build of the example project, in a fresh process."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

from cli_helpers import EXAMPLE

from korvan_models import cli

DOCS = Path(__file__).resolve().parents[2] / "docs" / "model-json.md"


def runnable(name: str) -> str:
    text = DOCS.read_text("utf-8")
    match = re.search(rf"<!-- runnable: {re.escape(name)} -->\n```python\n(.*?)```", text, re.DOTALL)
    assert match, f"no runnable {name} in {DOCS}"
    return match.group(1)


def test_the_query_set_example_runs_as_documented(tmp_path):
    out = tmp_path / "out"
    assert cli.main(["build", str(EXAMPLE), "--out", str(out), "--quiet"]) == 0
    script = tmp_path / "query_records.py"
    script.write_text(runnable("query_records.py"), "utf-8")
    env = {**os.environ, "KORVAN_SETTINGS_FILE": str(out / "settings.json"), "PYTHONPATH": str(out)}
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    cover = (EXAMPLE / "models" / "book" / "fixtures" / "files" / "dune.svg").stat().st_size
    assert result.stdout.splitlines()[:4] == [
        f"Dune 4.0 {cover} bytes of cover",
        "2 books: ['Dune', \"L'Étranger\"]",
        "saved book-dune version 2",
        "2 versions kept",
    ]
    assert "No Book record at title='No such book'" in result.stdout
