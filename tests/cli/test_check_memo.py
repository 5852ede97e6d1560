"""A check that remembers the last one (the watching build's) finds exactly what a fresh check finds,
whatever was edited between the two, in the edited file or in another."""

from __future__ import annotations

import json
import os
import shutil
import time

import pytest
from cli_helpers import write_json
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from korvan_models.pipeline import CheckMemo, ProjectError, check_project
from korvan_models.pipeline.project import project_model_keys, shelved
from korvan_models.tools.watch import build_once

# Models without custom code or fixtures (their schemas are the ones a memo hands out again),
# referring to each other and to the fixture project's models.
PLAIN = {
    "shelf": {"title": "Shelf", "type": "object", "properties": {
        "label": {"type": "string"}, "book": {"type": "Book"}, "room": {"type": "Room"}}},
    "room": {"title": "Room", "type": "object", "properties": {
        "name": {"type": "string", "default": "hall"}, "shelves": {"type": "array", "items": {"type": "Shelf"}}},
             "required": ["name"]},
    "label": {"title": "Label", "type": "Shelf", "properties": {"colour": {"type": "string"}}},
}
MODELS = sorted(PLAIN)
EDITS = st.one_of(
    st.tuples(st.just("type"), st.sampled_from(MODELS),
              st.sampled_from(["string", "number", "Book", "Room", "Shelf", "Label", "Author", "Nope", "array"])),
    st.tuples(st.just("remove"), st.sampled_from(MODELS + ["author"]), st.none()),
    st.tuples(st.just("restore"), st.sampled_from(MODELS), st.none()),
    st.tuples(st.just("parent"), st.sampled_from(MODELS),
              st.sampled_from(["object", "Shelf", "Label", "Book", "Nope"])),
    st.tuples(st.just("options"), st.sampled_from(MODELS), st.sampled_from(["genres", "nope", ""])),
    st.tuples(st.just("code"), st.sampled_from(MODELS),
              st.sampled_from(["def shout(self):\n    return 1\n", "def label(self):\n    return 1\n", "x = (\n",
                               None])),
    st.tuples(st.just("title"), st.sampled_from(MODELS), st.sampled_from(["Shelf", "Room", "Cabinet", "book"])),
    st.tuples(st.just("genres"), st.none(), st.sampled_from([None, "fiction", "drama"])),
)


def edit(root, kind: str, folder: str | None, value) -> None:
    models = root / "models"
    path = models / "options" / "genres.json" if kind == "genres" else models / str(folder) / "model.json"
    if kind == "remove" or (kind == "genres" and value is None):
        shutil.rmtree(path.parent, ignore_errors=True) if kind == "remove" else path.unlink(missing_ok=True)
    elif kind == "genres":
        write_json(path, {"title": "genres", "values": [{"value": value}, {"value": "poetry"}]})
    elif kind == "code":
        code = models / folder / "properties" / "extra.py"
        code.parent.mkdir(parents=True, exist_ok=True)
        code.write_text(value, "utf-8") if value is not None else code.unlink(missing_ok=True)
    elif kind == "restore" or not path.exists():
        write_json(path, PLAIN.get(folder, PLAIN["shelf"]))
    else:
        schema = json.loads(path.read_text("utf-8"))
        first = next(iter(schema["properties"]))
        if kind == "type":
            schema["properties"][first] = {"type": value, **({"items": {"type": "string"}} if value == "array" else {})}
        elif kind == "options":
            schema["properties"][first] = {"type": "string", "options_list_name": value}
        else:
            schema["type" if kind == "parent" else "title"] = value
        write_json(path, schema)


def outcome(root, memo: CheckMemo | None):
    """What a check of ``root`` finds, with everything the build then takes from it."""
    try:
        project = check_project(root, memo=memo)
    except ProjectError as error:
        return "problems", [str(problem) for problem in error.problems]
    keys = project_model_keys(project, "models")
    schemas = [shelved(project, schema).load().model_dump() for schema in project.schemas]
    return "ok", keys, schemas, project.warnings


@settings(max_examples=25, deadline=None, suppress_health_check=list(HealthCheck))
@given(edits=st.lists(EDITS, min_size=1, max_size=4))
@example(edits=[("code", "shelf", "def shout(self):\n    return 1\n"), ("code", "shelf", None)])
@example(edits=[("options", "room", "genres"), ("genres", None, "drama"), ("genres", None, None)])
def test_a_remembering_check_finds_what_a_fresh_one_does(tmp_path_factory, project_files, edits):
    root = tmp_path_factory.mktemp("memo") / "project"
    shutil.copytree(project_files, root)
    memo = CheckMemo()
    assert outcome(root, memo) == outcome(root, None)
    assert outcome(root, memo) == outcome(root, None) and memo.reused == len(PLAIN)
    for kind, folder, value in edits:
        edit(root, kind, folder, value)
        assert outcome(root, memo) == outcome(root, None), (kind, folder, value)
    assert outcome(root, memo) == outcome(root, None)


@pytest.fixture
def project_files(project):
    """The fixture project of the command's tests with the plain models added."""
    for folder, schema in PLAIN.items():
        write_json(project / "models" / folder / "model.json", schema)
    return project


@pytest.mark.parametrize("kind, folder, value, expected", [
    ("remove", "room", None, "type 'Room' is neither a core type nor a model"),
    ("title", "room", "Hall", "type 'Room' is neither a core type nor a model"),
    ("genres", None, None, "unknown option list 'genres'"),
    ("remove", "shelf", None, "extends 'Shelf', which is not a model of the project"),
], ids=["referenced model removed", "referenced model renamed", "option list removed", "parent removed"])
def test_a_warm_rebuild_reports_a_mistake_an_edit_makes_in_an_unchanged_file(project_files, tmp_path, capsys,
                                                                               kind, folder, value, expected):
    root, out = project_files, tmp_path / "out"
    memo = CheckMemo()
    assert build_once(root, out, 1, memo)[0]
    before = sorted(path.read_bytes() for path in (out / "models").glob("*.py"))
    capsys.readouterr()
    edit(root, kind, folder, value)
    ok, summary = build_once(root, out, 1, memo)
    problems = capsys.readouterr().err
    assert not ok and expected in problems and "the output was left as it was" in summary
    assert sorted(path.read_bytes() for path in (out / "models").glob("*.py")) == before
    with pytest.raises(ProjectError) as fresh:
        check_project(root)
    assert problems.splitlines() == [str(problem) for problem in fresh.value.problems]


def _same_size_times_put_back(path):
    info = path.stat()
    path.write_bytes(path.read_bytes().replace(b'"label"', b'"lapel"'))
    os.utime(path, ns=(info.st_atime_ns, info.st_mtime_ns))


def _replaced_by_rename(path):
    other = path.with_name("model.json.new")
    other.write_bytes(path.read_bytes().replace(b'"label"', b'"lapel"'))
    os.replace(other, path)


@pytest.mark.parametrize("change", [
    lambda path: None,
    lambda path: path.write_bytes(path.read_bytes()),
    _same_size_times_put_back,
    _replaced_by_rename,
    lambda path: shutil.rmtree(path.parent),
], ids=["untouched", "same bytes written", "same size, times put back", "replaced by a rename", "removed"])
def test_a_remembering_check_reads_again_every_file_written_since(project_files, change):
    """The walk keeps the bytes of files that had not changed for a while when read; a file written
    since, by any means, is read again (its change time moved)."""
    memo = CheckMemo()
    time.sleep(0.15)  # the files are old enough to be kept
    assert outcome(project_files, memo) == outcome(project_files, None)
    assert outcome(project_files, memo) == outcome(project_files, None)
    kept = memo.known.reused
    assert kept >= len(PLAIN)
    change(project_files / "models" / "shelf" / "model.json")
    assert outcome(project_files, memo) == outcome(project_files, None)
    assert memo.known.reused >= kept - 1
