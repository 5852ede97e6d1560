"""Fixtures of the command's tests: a small real project, and the command run in this process."""

from __future__ import annotations

from pathlib import Path

import pytest
from cli_helpers import AUTHOR, BOOK, GENRES, Run, write_json

from korvan_models import cli


@pytest.fixture
def project(tmp_path: Path) -> Path:
    """A two-model project with an option list, custom code and fixtures."""
    root = tmp_path / "project"
    models = root / "models"
    write_json(models / "author" / "model.json", AUTHOR)
    write_json(models / "book" / "model.json", BOOK)
    write_json(models / "options" / "genres.json", GENRES)
    hooks = models / "book" / "hooks"
    hooks.mkdir()
    (hooks / "shout.py").write_text("def shout(self):\n    return self.title.upper()\n", "utf-8")
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
