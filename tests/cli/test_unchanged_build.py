"""A rebuild that finds nothing changed stops early; everything a build depends on must make it a full one."""

from __future__ import annotations

import json
import os
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest
from cli_helpers import sources, write_json

UNCHANGED = "nothing changed since the last build"


def _names(database: Path) -> list[str]:
    with sqlite3.connect(database) as connection:
        return [row[0] for row in connection.execute('SELECT name FROM "Author"')]


def _finished_removing(folder: Path) -> None:
    """Waits for the processes that remove earlier builds' trees (a full build warns about one half gone)."""
    for _ in range(200):
        if not list(folder.glob(".out.korvan-old-*")):
            return
        time.sleep(0.05)


def _edit_generated(project, out, monkeypatch):
    with open(out / "models" / "author.py", "a", encoding="utf-8") as handle:
        handle.write("# mine\n")


def _remove_database(project, out, monkeypatch):
    os.unlink(out / "data" / "default.sqlite3")


def _remove_data_folder(project, out, monkeypatch):
    for path in (out / "data").iterdir():
        path.unlink()
    os.rmdir(os.path.realpath(out / "data"))


def _database_variable(project, out, monkeypatch):
    monkeypatch.setenv("KORVAN_DATABASE_DEFAULT", f"sqlite:///{out.parent / 'history.sqlite3'}")


def _database_option(project, out, monkeypatch):
    return ["--database", f"default=sqlite:///{out.parent / 'history2.sqlite3'}"]


def _import_path(project, out, monkeypatch):
    monkeypatch.syspath_prepend(str(out.parent / "elsewhere"))


def _same_bytes_touched(project, out, monkeypatch):
    path = project / "models" / "author" / "model.json"
    os.utime(path, ns=(path.stat().st_atime_ns, path.stat().st_mtime_ns + 10**9))


def _schema_changed(project, out, monkeypatch):
    path = project / "models" / "author" / "model.json"
    schema = json.loads(path.read_text("utf-8"))
    schema["properties"]["nickname"] = {"type": "string"}
    write_json(path, schema)


def _fixture_changed(project, out, monkeypatch):
    write_json(project / "models" / "author" / "fixtures" / "authors.json", [{"_external_id": "a-1", "name": "Bo"}])


def _static_added(project, out, monkeypatch):
    (project / "static").mkdir()
    (project / "static" / "logo.txt").write_text("logo", "utf-8")


def _generated_removed(project, out, monkeypatch):
    os.unlink(out / "models" / "book.py")


def _settings_edited(project, out, monkeypatch):
    settings = json.loads((out / "settings.json").read_text("utf-8"))
    write_json(out / "settings.json", {**settings, "model_connections": {"Author": "default"}})


def _file_saved_in_output(project, out, monkeypatch):
    (out / "notes.txt").write_text("mine", "utf-8")


def _leftover_beside(project, out, monkeypatch):
    (out.parent / ".out.korvan-tmp-x").mkdir()


def _link_in_project(project, out, monkeypatch):
    os.symlink("model.json", project / "models" / "author" / "copy.json")


# (case, change, early stop, status, what the rebuild then shows)
CASES = [
    ("nothing changed", None, True, 0, lambda r, out: _names(out / "data" / "default.sqlite3") == ["Zed"]),
    ("a generated file edited by hand", _edit_generated, False, 2,
     lambda r, out: "was changed since the last build wrote it" in r.err),
    ("a generated file removed", _generated_removed, False, 0, lambda r, out: (out / "models" / "book.py").is_file()),
    ("the database file removed", _remove_database, False, 0,
     lambda r, out: "fixtures stored" in r.out and _names(out / "data" / "default.sqlite3") == ["Ann"]),
    ("the databases' folder removed", _remove_data_folder, False, 0,
     lambda r, out: _names(out / "data" / "default.sqlite3") == ["Ann"]),
    ("a variable names another database", _database_variable, False, 0,
     lambda r, out: (out.parent / "history.sqlite3").is_file()),
    ("an option names another database", _database_option, False, 0,
     lambda r, out: (out.parent / "history2.sqlite3").is_file()),
    ("another import path", _import_path, False, 0, lambda r, out: "generated 0 models, reused 2" in r.out),
    ("a schema touched, same bytes", _same_bytes_touched, True, 0, lambda r, out: "generated 0 models" in r.out),
    ("a schema changed", _schema_changed, False, 0, lambda r, out: "generated 1 model, reused 1" in r.out),
    ("a fixture changed", _fixture_changed, False, 0, lambda r, out: _names(out / "data" / "default.sqlite3") == ["Bo"]),
    ("a static file added", _static_added, False, 0, lambda r, out: (out / "static" / "logo.txt").is_file()),
    ("the settings edited", _settings_edited, False, 0,
     lambda r, out: "Author" in json.loads((out / "settings.json").read_text("utf-8"))["model_connections"]),
    ("a file saved in the output", _file_saved_in_output, False, 0, lambda r, out: "notes.txt" in r.out),
    ("a leftover beside the output", _leftover_beside, False, 0,
     lambda r, out: "left in place" in r.err and not os.rmdir(out.parent / ".out.korvan-tmp-x")),
    # A link is followed by the build's own walk only: no state is kept for such a project.
    ("a link in the project", _link_in_project, False, 0, lambda r, out: not (out.parent / ".out.korvan-state").exists()),
]


@pytest.mark.parametrize("case, change, early, status, shows", CASES, ids=[case[0] for case in CASES])
def test_a_rebuild_stops_early_only_when_nothing_it_depends_on_changed(project, tmp_path, run, monkeypatch, case,
                                                                        change, early, status, shows):
    out = tmp_path / "out"
    first = run("build", project, "--out", out)
    assert first.status == 0 and UNCHANGED not in first.out
    with sqlite3.connect(out / "data" / "default.sqlite3") as connection:  # the application renames Ann
        connection.execute('UPDATE "Author" SET name = \'Zed\'')
    extra = (change(project, out, monkeypatch) if change is not None else None) or []
    again = run("build", project, "--out", out, *extra)
    assert (again.status, UNCHANGED in again.out) == (status, early), again.out + again.err
    assert shows(again, out), again.out + again.err
    if status != 0 or change in (_link_in_project, _leftover_beside):
        return  # no state is kept after a build that warned about a leftover or read a link
    # The build just made is recorded: the next one with the same inputs stops early, says the
    # same as a full build would, and leaves the output as it was.
    before = sources(out)
    third = run("build", project, "--out", out, *extra)
    assert third.status == 0 and UNCHANGED in third.out, third.out + third.err
    assert sources(out) == before
    os.unlink(tmp_path / ".out.korvan-state")
    _finished_removing(tmp_path)
    full = run("build", project, "--out", out, *extra)
    assert full.status == 0 and UNCHANGED not in full.out
    assert (third.out.splitlines()[1:], third.err) == (full.out.splitlines()[1:], full.err)
    assert sources(out) == before


def test_an_early_stop_loads_neither_the_check_nor_the_generator_nor_the_database_toolkit(project, tmp_path):
    command = [sys.executable, "-m", "korvan_models", "build", str(project), "--out", str(tmp_path / "out")]
    assert subprocess.run(command, check=False, capture_output=True, cwd=tmp_path, timeout=300).returncode == 0
    again = subprocess.run(command, check=False, capture_output=True, text=True, cwd=tmp_path, timeout=300,
                           env={**os.environ, "PYTHONPROFILEIMPORTTIME": "1"})
    assert again.returncode == 0 and UNCHANGED in again.stdout, again.stderr
    imported = {line.rsplit("|", 1)[-1].strip() for line in again.stderr.splitlines() if line.startswith("import time:")}
    assert "korvan_models.build_state" in imported
    assert not imported & {"pydantic", "sqlalchemy", "black", "isort", "astor", "korvan_models.pipeline"}


@pytest.mark.parametrize("racy", [False, True], ids=["put back with its times", "changed just before"])
def test_a_project_edited_during_the_build_leaves_no_early_stop(project, tmp_path, run, monkeypatch, racy):
    from korvan_models import build_state

    out = tmp_path / "out"
    assert run("build", project, "--out", out, "-q").status == 0
    os.unlink(tmp_path / ".out.korvan-state")  # the build runs in full
    schema = project / "models" / "author" / "model.json"
    original = schema.read_bytes()
    read = build_state.read_inputs
    stat = schema.stat()

    def edited_meanwhile(root, target, given):
        found = read(root, target, given)
        # Read by the build after this, then put back with its bytes and times; the change time
        # still tells (when the state was taken long enough after the last change).
        schema.write_bytes(original.replace(b'"born"', b'"died"'))
        schema.write_bytes(original)
        os.utime(schema, ns=(stat.st_atime_ns, stat.st_mtime_ns))
        return found

    if not racy:
        monkeypatch.setattr(build_state, "RACY_NS", -10**12)  # the state was taken long after
    monkeypatch.setattr(build_state, "read_inputs", edited_meanwhile)
    assert run("build", project, "--out", out, "-q").status == 0
    assert not (tmp_path / ".out.korvan-state").exists()


def _schema_edit(folder: str, edit):
    def change(project: Path) -> None:
        path = project / "models" / folder / "model.json"
        schema = json.loads(path.read_text("utf-8"))
        edit(schema)
        write_json(path, schema)

    return change


def _hooks_edit(project: Path) -> None:
    (project / "models" / "book" / "hooks" / "shout.py").write_text(
        "def shout(self):\n    return self.title.lower()\n", "utf-8")


@pytest.mark.parametrize("change, tables, column", [
    (None, [], None),
    (_schema_edit("author", lambda s: s.update(description="Writers.")), [], None),
    (_hooks_edit, [], None),
    (_schema_edit("book", lambda s: s["properties"]["tags"].update(default=["new"])), ["Book"], None),
    (_schema_edit("author", lambda s: s["properties"].update(nickname={"type": "string"})), ["Author"], "nickname"),
    (_schema_edit("author", lambda s: s["properties"]["born"].update(field_name="birth")), ["Author"], "birth"),
    (_schema_edit("author", lambda s: s.update(required=["name", "born"])), ["Author"], None),
    (lambda project: os.unlink(project.parent / "out" / "data" / "default.sqlite3"), ["Author", "Book"], None),
], ids=["nothing", "a description", "custom code", "a default", "a new property", "a column name", "required",
        "a database file removed"])
def test_only_a_change_of_its_layout_changes_a_table(project, tmp_path, run, monkeypatch, change, tables, column):
    from korvan_models.pipeline import store

    out = tmp_path / "out"
    assert run("build", project, "--out", out, "-q").status == 0
    os.unlink(tmp_path / ".out.korvan-state")  # every case runs the full build
    if change is not None:
        change(project)
    deferred = []
    defer = store.defer_tables
    monkeypatch.setattr(store, "defer_tables", lambda schemas: (deferred.append([s.title for s in schemas]),
                                                                defer(schemas)))
    again = run("build", project, "--out", out)
    assert again.status == 0, again.err
    assert deferred[0] == tables
    with sqlite3.connect(out / "data" / "default.sqlite3") as connection:
        columns = {row[1] for row in connection.execute('PRAGMA table_info("Author")')}
        assert connection.execute('SELECT count(*) FROM "Author"').fetchone() == (1,)
    assert column is None or column in columns


@pytest.mark.parametrize("change", [
    lambda project: None,
    _schema_edit("author", lambda schema: schema["properties"].update(nickname={"type": "string"})),
    _hooks_edit,
    lambda project: os.unlink(project / "models" / "book" / "model.json"),
], ids=["nothing", "a schema edited", "custom code added", "a schema removed"])
def test_the_inputs_the_early_stop_reads_are_those_a_full_read_gives(project, tmp_path, run, change):
    """The early stop reads the files' bytes only when their states changed, in the same pass;
    the build records its state with those inputs, so they must be exactly a full read's."""
    from korvan_models import build_state

    out = tmp_path / "out"
    assert run("build", project, "--out", out, "-q").status == 0
    change(project)
    _said, inputs = build_state.unchanged(project, out, [])
    assert inputs == build_state.read_inputs(project, build_state.output_path(out), [])


class _CoarseClock:
    """``os`` for build_state, with one file's times frozen as first seen: a rewrite then keeps its
    state, as one within the same tick of a coarse file clock does."""

    def __init__(self, frozen: Path) -> None:
        self.frozen, self.seen = str(frozen), None

    def lstat(self, path):
        info = os.lstat(path)
        if os.fspath(path) != self.frozen:
            return info
        if self.seen is None:
            self.seen = (info.st_mtime_ns, info.st_ctime_ns, info.st_ino)
        mtime, ctime, inode = self.seen
        return type("State", (), {"st_mode": info.st_mode, "st_size": info.st_size, "st_mtime_ns": mtime,
                                  "st_ctime_ns": ctime, "st_ino": inode})()

    def __getattr__(self, name):
        return getattr(os, name)


@pytest.mark.parametrize("racy", [True, False], ids=["just written", "long unchanged"])
@pytest.mark.parametrize("edit, same", [
    (lambda data: data, True),
    (lambda data: data.replace(b'"born"', b'"died"'), False),
    (lambda data: data + b" ", False),
], ids=["rewritten as it was", "same size, other bytes", "grown"])
def test_a_project_is_still_as_read_only_while_every_racy_file_has_its_bytes(project, tmp_path, monkeypatch,
                                                                              racy, edit, same):
    """After a build the project is looked at again: by the files' states, and by the bytes of only
    those files that changed too recently for their states to vouch for them."""
    from korvan_models import build_state

    schema = project / "models" / "author" / "model.json"
    monkeypatch.setattr(build_state, "os", _CoarseClock(schema))
    if not racy:
        monkeypatch.setattr(build_state, "RACY_NS", -10**12)
    target = build_state.output_path(tmp_path / "out")
    before = build_state.read_inputs(project, target, [])
    assert before.racy == racy and ("models/author/model.json" in before.fresh) == racy
    schema.write_bytes(edit(schema.read_bytes()))
    opened = []

    def counted_open(path, *args):
        opened.append(path)
        return open(path, *args)  # noqa: SIM115  (the caller closes it)

    monkeypatch.setattr(build_state, "open", counted_open, raising=False)
    # Without the digests of the racy files' bytes, every file is read again: the same answer.
    found = [build_state.still(project, before), build_state.still(project, before._replace(fresh=None))]
    grown = edit(b"") != b""
    assert found == [same or (not racy and not grown)] * 2
    assert racy or not opened
    if racy and not grown:
        assert str(schema) in map(str, opened)
