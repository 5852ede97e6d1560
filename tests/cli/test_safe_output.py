"""The output folder changes only when a build completes: a killed build leaves it as it was,
files the build did not write are kept, and files it wrote before are replaced or removed."""

from __future__ import annotations

import os
import signal
import subprocess
import time

from cli_helpers import AUTHOR, KORVAN_MODELS, tree, write_json

from korvan_models.pipeline.output import Output


def many_models(root, count, records=20):
    for number in range(count):
        schema = {**AUTHOR, "title": f"Person{number}"}
        write_json(root / "models" / f"person{number}" / "model.json", schema)
        write_json(root / "models" / f"person{number}" / "fixtures" / "people.json",
                   [{"_external_id": f"p{number}-{n}", "name": f"P{n}"} for n in range(records)])


def test_a_build_killed_half_way_leaves_the_previous_output(tmp_path, run):
    root, out = tmp_path / "project", tmp_path / "out"
    many_models(root, 3)
    assert run("build", root, "--out", out, "-q").status == 0
    before = tree(out)
    many_models(root, 12, records=300)
    staged = None
    for _attempt in range(3):
        child = subprocess.Popen([*_command(), "build", str(root), "--out", str(out), "--jobs", "1", "-q"])
        while child.poll() is None and staged is None:
            staged = next((p for p in tmp_path.iterdir() if ".korvan-tmp-" in p.name), None)
            time.sleep(0.002)
        if staged is not None:
            os.kill(child.pid, signal.SIGKILL)
        child.wait()
        if staged is not None:
            break
        # The build finished before it could be caught half-way: start from the old output again.
        assert run("build", root / "none", "--out", out).status == 2
        many_models(root, 3)
    assert staged is not None and child.returncode == -signal.SIGKILL
    assert tree(out) == before
    assert run("build", root, "--out", out, "-q").status == 0
    assert not staged.exists()
    assert len(list((out / "models").glob("person*.py"))) == 12


def _command():
    return [str(KORVAN_MODELS)]


def test_files_the_build_did_not_write_are_kept_and_mentioned(project, tmp_path, run):
    out = tmp_path / "out"
    (out / "models").mkdir(parents=True)
    (out / "notes.txt").write_text("mine", "utf-8")
    (out / "models" / "extra.py").write_text("# mine", "utf-8")
    (out / "empty").mkdir()
    result = run("build", project, "--out", out)
    assert result.status == 0, result.err
    assert "kept 3 file(s)" in result.out and "notes.txt" in result.out and "models/extra.py" in result.out
    assert (out / "notes.txt").read_text("utf-8") == "mine" and (out / "empty").is_dir()
    assert (out / "models" / "extra.py").read_text("utf-8") == "# mine"
    # A model that leaves the project takes its module along; the user's files stay.
    (project / "models" / "book" / "model.json").unlink()
    assert run("build", project, "--out", out).status == 0
    assert not (out / "models" / "book.py").exists() and (out / "models" / "author.py").exists()
    assert (out / "notes.txt").exists() and (out / "models" / "extra.py").exists()


def test_a_file_in_the_way_of_a_generated_one_is_not_overwritten(project, tmp_path, run):
    out = tmp_path / "out"
    (out / "models").mkdir(parents=True)
    (out / "models" / "book.py").write_text("# my own book", "utf-8")
    result = run("build", project, "--out", out)
    assert result.status == 2 and "models/book.py: exists and was not written by a build" in result.err
    assert (out / "models" / "book.py").read_text("utf-8") == "# my own book"


def test_an_output_moved_aside_by_a_killed_build_is_put_back(tmp_path):
    out = tmp_path / "out"
    child = subprocess.Popen(["true"])
    child.wait()
    aside = tmp_path / f".out.korvan-old-{child.pid}-0"
    aside.mkdir()
    (aside / "kept.txt").write_text("previous", "utf-8")
    Output(out)
    assert (out / "kept.txt").read_text("utf-8") == "previous" and not aside.exists()


def test_an_old_tree_emptied_by_its_removal_is_not_mistaken_for_a_stranger(tmp_path):
    """The removal of a finished build's old tree takes its manifest last: a build starting before
    the folder itself is gone finds an empty folder, and removes it without a word."""
    (tmp_path / "out").mkdir()
    emptied, stranger = tmp_path / ".out.korvan-old-12-ab", tmp_path / ".out.korvan-old-13-cd"
    emptied.mkdir()
    stranger.mkdir()
    (stranger / "notes.txt").write_text("mine", "utf-8")
    warnings = Output(tmp_path / "out").warnings
    assert not emptied.exists() and stranger.exists()
    assert warnings == [f"{stranger}: left in place: it holds no build manifest"]
