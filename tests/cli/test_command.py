"""The installed command: version, help, exit statuses, and the example project end to end."""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
import textwrap
from importlib import metadata

import pytest
from cli_helpers import EXAMPLE, run_process

import korvan_models.pipeline.generate as generation


@pytest.mark.parametrize(
    "args, status, expected",
    [
        (["--version"], 0, f"korvan-models {metadata.version('korvan-models')}"),
        (["--help"], 0, "korvan-models build examples/library --out out"),
        (["build", "--help"], 0, "exit status: 0 done, 2 mistakes in the project"),
        (["build"], 2, "the following arguments are required: project"),
        (["build", "x", "--jobs", "0"], 2, "expected a whole number of at least 1"),
        (["frobnicate"], 2, "invalid choice"),
    ],
)
def test_command_line(args, status, expected):
    for command in ([], [sys.executable, "-m", "korvan_models"]):
        result = run_process(*args) if not command else subprocess.run(
            [*command, *args], capture_output=True, text=True, timeout=60
        )
        assert result.returncode == status
        assert expected in result.stdout + result.stderr


def test_a_failure_of_the_tool_exits_1_and_points_to_debug(project, tmp_path, run, monkeypatch):
    def broken(*_args):
        raise RuntimeError("the generator fell over")

    monkeypatch.setattr(generation, "render_model", broken)
    result = run("build", project, "--out", tmp_path / "out", "--jobs", "1")
    assert result.status == 1 and "Traceback" not in result.err
    assert "internal error" in result.err and "re-run with --debug" in result.err
    result = run("--debug", "build", project, "--out", tmp_path / "out", "--jobs", "1")
    assert result.status == 1 and "Traceback" in result.err and "the generator fell over" in result.err
    assert not (tmp_path / "out").exists()


def test_warnings_of_the_extenders_are_one_line_each(project, run):
    (project / "models" / "options" / "colours.json").write_text('{"title": "colours", "values": []}', "utf-8")
    result = run("check", project)
    assert result.status == 0
    assert [line for line in result.lines if line.startswith("warning: ")] == [
        f"warning: {project / 'models' / 'options'}: option list 'colours' is not used by any property"
    ]


def test_the_example_project_builds_and_its_records_resolve_in_a_fresh_process(tmp_path):
    out = tmp_path / "out"
    result = run_process("build", EXAMPLE, "--out", out)
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in (out / "models").glob("*.py")) == [
        "__init__.py", "author.py", "book.py", "loan.py", "member.py", "publisher.py", "rare_book.py"
    ]
    assert (out / "static" / "site.css").is_file() and (out / "files" / "Book" / "dune.svg").is_file()
    script = textwrap.dedent(
        """
        import models
        print(models.RareBook.__mro__[1].__name__)
        """
    )
    if importlib.util.find_spec("korvan_models.storage") and importlib.util.find_spec(
        "korvan_models.classes.helpers.reference_fetcher"
    ):
        script += textwrap.dedent(
            """
            from korvan_models.classes.helpers.reference_fetcher import ReferenceFetcher
            from korvan_utils.models.data_models.reference import Reference
            ref = Reference(ref={"class_name": "Book", "object_id": "book-dune"})
            print(ReferenceFetcher(ref).load_reference().title)
            """
        )
    env = {**os.environ, "KORVAN_SETTINGS_FILE": str(out / "settings.json"), "PYTHONPATH": str(out)}
    fresh = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, cwd=tmp_path,
                           timeout=120)
    assert fresh.returncode == 0, fresh.stderr
    assert fresh.stdout.split()[0] == "Book"
    if len(fresh.stdout.split()) > 1:
        assert fresh.stdout.split()[1] == "Dune"
