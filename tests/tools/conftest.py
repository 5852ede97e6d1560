"""Fixtures of the tools' tests: the command's small test project, and the command run in this process."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "cli"))

from cli_helpers import AUTHOR, BOOK, GENRES, Run, write_json  # noqa: E402

from korvan_models import cli  # noqa: E402


@pytest.fixture
def project(tmp_path: Path) -> Path:
    """A two-model project with an option list and fixtures."""
    root = tmp_path / "project"
    models = root / "models"
    write_json(models / "author" / "model.json", AUTHOR)
    write_json(models / "book" / "model.json", BOOK)
    write_json(models / "options" / "genres.json", GENRES)
    write_json(models / "author" / "fixtures" / "authors.json", [{"_external_id": "a-1", "name": "Ann"}])
    return root


@pytest.fixture
def run(capsys):
    """Runs the command in this process; returns its status, output and error output."""

    def invoke(*args: object) -> Run:
        status = cli.main([str(a) for a in args])
        captured = capsys.readouterr()
        return Run(status, captured.out, captured.err)

    return invoke
