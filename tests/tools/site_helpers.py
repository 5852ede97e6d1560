"""Helpers of the site's tests: a project whose texts hold markup, and
the tools the site needs, skipped when absent (failed instead when KORVAN_REQUIRE_BROWSER is set)."""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path

import pytest
from cli_helpers import EXAMPLE, write_json

MARKUP = '<script>document.title = "taken"</script><b>bold</b> & <img src=x onerror="alert(1)">'


def require(*programs: str) -> list[str]:
    """The paths of ``programs``; a skip (or a failure where the browser is required) when one is missing."""
    paths = [shutil.which(program) for program in programs]
    if None in paths:
        missing = f"{', '.join(p for p, path in zip(programs, paths) if path is None)} not installed"
        (pytest.fail if os.environ.get("KORVAN_REQUIRE_BROWSER") else pytest.skip)(missing)
    return paths


def example_with_markup(folder: Path) -> Path:
    """The example project with markup in a model's description, a property's and a fixture record's text."""
    root = folder / "library"
    shutil.copytree(EXAMPLE, root)
    path, records = root / "models" / "author" / "model.json", root / "models" / "author" / "fixtures" / "authors.json"
    author, data = json.loads(path.read_text("utf-8")), json.loads(records.read_text("utf-8"))
    author["description"] = author["properties"]["born"]["description"] = data[0]["last_name"] = MARKUP
    write_json(path, author)
    write_json(records, data)
    return root
