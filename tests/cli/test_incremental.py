"""Incremental and parallel builds give the same output, byte for byte, as a plain build."""

from __future__ import annotations

import gc
import json
import shutil
import subprocess

import pytest
from cli_helpers import AUTHOR, KORVAN_MODELS, sources, write_json


def people(root, count):
    for number in range(count):
        properties = {**AUTHOR["properties"], "friend": {"type": f"Person{(number + 1) % count}"}}
        write_json(root / "models" / f"person{number}" / "model.json",
                   {**AUTHOR, "title": f"Person{number}", "properties": properties})


def test_a_rebuild_regenerates_only_what_changed(project, tmp_path, run):
    out, fresh = tmp_path / "out", tmp_path / "fresh"
    assert "generated 2 models, reused 0" in run("build", project, "--out", out).out
    assert "generated 0 models, reused 2" in run("build", project, "--out", out).out

    schema_file = project / "models" / "author" / "model.json"
    schema = json.loads(schema_file.read_text("utf-8"))
    schema["properties"]["died"] = {"type": "number"}
    write_json(schema_file, schema)
    assert "generated 1 model, reused 1" in run("build", project, "--out", out).out

    (project / "models" / "book" / "hooks" / "shout.py").write_text("def shout(self):\n    return 'x'\n", "utf-8")
    assert "generated 1 model, reused 1" in run("build", project, "--out", out).out

    # A hand edit of the same size is still an edit: the build names the file and leaves it be.
    module = out / "models" / "author.py"
    edited = module.read_bytes().replace(b"name: str", b"name: int")
    module.write_bytes(edited)
    refused = run("build", project, "--out", out)
    assert refused.status == 2 and f"{module}: was changed since the last build wrote it" in refused.err
    assert module.read_bytes() == edited
    module.unlink()
    assert "generated 1 model, reused 1" in run("build", project, "--out", out).out

    assert run("build", project, "--out", fresh).status == 0
    assert sources(out) == sources(fresh)


def test_parallel_generation_matches_a_plain_build(tmp_path, run):
    root = tmp_path / "project"
    people(root, 12)
    plain = run("build", root, "--out", tmp_path / "plain", "--jobs", "1")
    parallel = run("build", root, "--out", tmp_path / "parallel", "--jobs", "3")
    assert plain.status == parallel.status == 0
    assert "over 3 processes" in parallel.out and "processes" not in plain.out
    assert sources(tmp_path / "plain") == sources(tmp_path / "parallel")


def columns(out, table):
    import sqlite3

    with sqlite3.connect(out / "data" / "default.sqlite3") as connection:
        return [row[1] for row in connection.execute(f"pragma table_info({table})")]


def test_a_rebuild_adds_the_changed_models_columns_and_keeps_the_stored_records(project, tmp_path, run):
    import sqlite3

    out = tmp_path / "out"
    assert "1 created" in run("build", project, "--out", out).out
    schema_file = project / "models" / "author" / "model.json"
    schema = json.loads(schema_file.read_text("utf-8"))
    schema["properties"]["died"] = {"type": "number"}
    write_json(schema_file, schema)
    result = run("build", project, "--out", out)
    assert "generated 1 model, reused 1" in result.out and "1 unchanged" in result.out
    assert "died" in columns(out, "Author") and "title" in columns(out, "Book")
    with sqlite3.connect(out / "data" / "default.sqlite3") as connection:
        assert connection.execute("select name from Author").fetchall() == [("Ann",)]


def child(title, parent):
    return {"title": title, "type": parent, "properties": {"note": {"type": "string"}}}


def lone(title):
    return {"title": title, "type": "object", "properties": {"code": {"type": "string"}}}


@pytest.mark.parametrize(
    "change, generated",
    [
        ("add a model nothing names", "generated 1 model, reused 4"),
        ("add a model that extends another", "generated 1 model, reused 4"),
        ("add a model named like a property of another", "generated 1 model, reused 4"),
        ("remove a model nothing names", "generated 0 models, reused 3"),
        ("remove a model that extends another", "generated 0 models, reused 3"),
    ],
)
def test_adding_or_removing_a_model_regenerates_only_that_model(project, tmp_path, run, change, generated):
    models = project / "models"
    write_json(models / "kept" / "model.json", lone("Kept"))
    write_json(models / "editor" / "model.json", child("Editor", "Author"))
    out = tmp_path / "out"
    assert run("build", project, "--out", out).status == 0
    if change.startswith("add"):
        schema = {"nothing": lone("Extra"), "extends": child("Extra", "Author"), "property": lone("Tags")}
        schema = next(value for word, value in schema.items() if word in change)
        write_json(models / schema["title"].lower() / "model.json", schema)
    else:
        shutil.rmtree(models / ("kept" if "nothing" in change else "editor"))
    result = run("build", project, "--out", out)
    assert generated in result.out
    assert run("build", project, "--out", tmp_path / "fresh").status == 0
    assert sources(out) == sources(tmp_path / "fresh")


def test_the_output_does_not_depend_on_the_working_folder(project, tmp_path):
    """Folders named like the packages the generated modules import do not move those imports."""
    busy = tmp_path / "busy"
    for name in ("pydantic", "korvan_utils", "typing_extensions"):
        (busy / name).mkdir(parents=True)
        (busy / name / "__init__.py").write_text("", "utf-8")
    (busy / "datetime.py").write_text("", "utf-8")
    for folder, jobs in ((tmp_path, "1"), (busy, "3")):
        out = tmp_path / f"out-{folder.name}-{jobs}"
        result = subprocess.run([str(KORVAN_MODELS), "build", str(project), "--out", str(out), "--jobs", jobs],
                                cwd=folder, capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
    plain = sources(tmp_path / f"out-{tmp_path.name}-1")
    assert "from pydantic import" in plain["models/book.py"].decode()
    assert sources(tmp_path / "out-busy-3") == plain


def test_generation_leaves_the_collector_as_it_found_it(project):
    """Generation freezes the collector's objects before forking; the results are those of one
    process, the caller's collector settings come back afterwards and no assembler stays alive."""
    from korvan_models.classes.builder.class_source_assembler import ClassSourceAssembler
    from korvan_models.pipeline import check_project
    from korvan_models.pipeline.generate import generate

    checked = check_project(project)
    threshold = gc.get_threshold()
    plain = generate(checked.schemas, checked.names, "models", jobs=1)
    parallel = generate(checked.schemas, checked.names, "models", jobs=2)
    assert gc.get_threshold() == threshold and gc.get_freeze_count() == 0
    assert plain.texts == parallel.texts and not plain.failures
    # Nothing keeps the assemblers (and their syntax trees) alive once their texts are read.
    gc.collect()
    assert not [item for item in gc.get_objects() if isinstance(item, ClassSourceAssembler)]
