"""Incremental and parallel builds give the same output, byte for byte, as a plain build."""

from __future__ import annotations

import json

from cli_helpers import AUTHOR, sources, write_json


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
    assert "generated 1 models, reused 1" in run("build", project, "--out", out).out

    (project / "models" / "book" / "hooks" / "shout.py").write_text("def shout(self):\n    return 'x'\n", "utf-8")
    assert "generated 1 models, reused 1" in run("build", project, "--out", out).out

    # A hand edit of the same size is still an edit: the build names the file and leaves it be.
    module = out / "models" / "author.py"
    edited = module.read_bytes().replace(b"name: str", b"name: int")
    module.write_bytes(edited)
    refused = run("build", project, "--out", out)
    assert refused.status == 2 and f"{module}: was changed since the last build wrote it" in refused.err
    assert module.read_bytes() == edited
    module.unlink()
    assert "generated 1 models, reused 1" in run("build", project, "--out", out).out

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
    assert "generated 1 models, reused 1" in result.out and "1 unchanged" in result.out
    assert "died" in columns(out, "Author") and "title" in columns(out, "Book")
    with sqlite3.connect(out / "data" / "default.sqlite3") as connection:
        assert connection.execute("select name from Author").fetchall() == [("Ann",)]
