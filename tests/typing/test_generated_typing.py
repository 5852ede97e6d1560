"""What a build writes passes the tools a user runs over it: mypy with its default settings on the
generated package and a script importing it, and ruff (every rule) on a folder holding the output."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from korvan_models import cli

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "library"

SCRIPT = """\
import models
from models.book import Book
from models.loan import Loan
from korvan_utils.models.data_models.reference import Reference, ReferenceAddress

book = Book(title="Dune", isbn="9780441172719")
shelf: str = book.shelf_label
loan = Loan(book=Reference(ref=ReferenceAddress(class_name="Book", object_id="book-dune")),
            member=Reference(ref=ReferenceAddress(class_name="Member", object_id="member-1")))
copies: float | None = book.copies
print(shelf, copies, loan.status, models.Author)
"""


# The tools read files and never load the native modules: they run without a preloaded sanitizer runtime.
TOOL_ENV = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


@pytest.fixture(scope="module")
def output(tmp_path_factory) -> Path:
    repository = tmp_path_factory.mktemp("repository")
    assert cli.main(["build", str(EXAMPLE), "--out", str(repository / "out"), "--quiet"]) == 0
    (repository / "out" / "use_models.py").write_text(SCRIPT, "utf-8")
    return repository / "out"


def test_mypy_accepts_the_generated_package_and_a_script_using_it(output):
    result = subprocess.run([sys.executable, "-m", "mypy", "models", "use_models.py"], cwd=output, env=TOOL_ENV,
                            capture_output=True, text=True, timeout=600, check=False)
    assert result.returncode == 0, result.stdout + result.stderr
    run = subprocess.run([sys.executable, "use_models.py"], cwd=output, capture_output=True, text=True, timeout=120,
                         check=False)
    assert run.returncode == 0, run.stderr


def test_ruff_on_a_repository_holding_the_output_reports_none_of_the_generated_modules(output):
    ruff = shutil.which("ruff", path=str(Path(sys.executable).parent))
    assert ruff is not None, "ruff is one of the test tools"
    repository = output.parent
    (repository / "ruff.toml").write_text('[lint]\nselect = ["ALL"]\n', "utf-8")
    (repository / "app.py").write_text("import os\n", "utf-8")
    result = subprocess.run([ruff, "check", "--output-format", "concise", "."], cwd=repository, env=TOOL_ENV,
                            capture_output=True, text=True, timeout=120, check=False)
    flagged = {line.split(":")[0] for line in result.stdout.splitlines() if line.count(":") >= 3}
    assert "app.py" in flagged  # the linter did run, on the user's own file
    assert not [name for name in flagged if name.startswith("out/models/")], result.stdout
