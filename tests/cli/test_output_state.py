"""The output folder against the world around it: an application holding the databases open,
leftovers of other builds and other programs, a second build, signals, and faults of the machine."""

from __future__ import annotations

import fcntl
import os
import resource
import signal
import sqlite3
import subprocess
import time

import pytest
from cli_helpers import KORVAN_MODELS, tree, write_json
from output_trials import Application, check_database, people, wait_for_no_process, workers_of


def test_databases_stay_in_place_while_an_application_writes(project, tmp_path, run):
    out = tmp_path / "out"
    assert run("build", project, "--out", out, "-q").status == 0
    application = Application(out, tmp_path)
    for round_ in range(20):
        write_json(project / "models" / "author" / "fixtures" / "authors.json",
                   [{"_external_id": "a-1", "name": f"Ann{round_}"}])
        result = run("build", project, "--out", out, "-q")
        assert result.status == 0, result.err
    committed = application.finish()
    assert committed > 0 and os.path.islink(out / "data")
    check_database(out / "data" / "default.sqlite3", committed)
    with sqlite3.connect(out / "data" / "default.sqlite3") as connection:
        assert connection.execute("select name from Author").fetchall() == [("Ann19",)]
    with sqlite3.connect(out / "data" / "lakehouse.sqlite3") as connection:
        assert connection.execute("select count(*) from Author").fetchone() == (21,)


def test_an_output_with_a_data_folder_has_it_moved_beside_once(project, tmp_path, run):
    out = tmp_path / "out"
    (out / "data").mkdir(parents=True)
    with sqlite3.connect(out / "data" / "default.sqlite3") as connection:
        connection.execute("create table mine (n)")
        connection.execute("insert into mine values (7)")
    (out / "data" / "notes.txt").write_text("mine", "utf-8")
    assert run("build", project, "--out", out, "-q").status == 0
    assert os.readlink(out / "data") == "../.out.korvan-data"
    assert (tmp_path / ".out.korvan-data" / "notes.txt").read_text("utf-8") == "mine"
    with sqlite3.connect(out / "data" / "default.sqlite3") as connection:
        assert connection.execute("select n from mine").fetchall() == [(7,)]


def _plant(kind, tmp_path):
    """A folder beside the output that a build did not make (or did), by kind."""
    names = {
        "huge number": ".out.korvan-tmp-99999999999999999999999-abc",
        "no manifest": ".out.korvan-tmp-1-abc",
        "foreign manifest": ".out.korvan-old-1-abc",
        "unparsed name": ".out.korvan-tmp-x",
        "dead build": ".out.korvan-tmp-1-def",
    }
    folder = tmp_path / names[kind]
    folder.mkdir()
    (folder / "precious.txt").write_text("keep", "utf-8")
    if kind == "foreign manifest":
        write_json(folder / ".korvan-build.json", {"version": 1, "files": {"../precious.txt": "0" * 64}, "models": {}})
    if kind == "dead build":
        write_json(folder / ".korvan-build.json", {"version": 2, "files": {}, "models": {}})
    return folder


@pytest.mark.parametrize("kind", ["huge number", "no manifest", "foreign manifest", "unparsed name", "dead build"])
def test_recovery_deletes_only_what_a_build_made(project, tmp_path, run, kind):
    out = tmp_path / "out"
    folder = _plant(kind, tmp_path)
    result = run("build", project, "--out", out, "-q")
    assert result.status == 0, result.err
    if kind == "dead build":
        assert not folder.exists()
    else:
        assert (folder / "precious.txt").read_text("utf-8") == "keep"
        named = [line for line in result.lines if str(folder) in line]
        assert len(named) == 1 and named[0].startswith(f"warning: {folder}: left in place: ")


@pytest.mark.parametrize("text", ['{"version": 1, "files": {"/etc/passwd": "x"}, "models": {}}', "not json", '{"version": 9}'])
def test_a_foreign_manifest_in_the_output_refuses_the_build(project, tmp_path, run, text):
    out = tmp_path / "out"
    (out / "models").mkdir(parents=True)
    (out / "models" / "mine.py").write_text("# mine", "utf-8")
    (out / ".korvan-build.json").write_text(text, "utf-8")
    before = tree(out)
    result = run("build", project, "--out", out)
    assert result.status == 2 and "is not a manifest this build writes" in result.lines[0]
    assert tree(out) == before


def test_links_in_the_output_stay_links(project, tmp_path, run):
    out, elsewhere = tmp_path / "out", tmp_path / "elsewhere"
    (elsewhere / "inner").mkdir(parents=True)
    (elsewhere / "inner" / "big.bin").write_bytes(b"\0" * 100)
    out.mkdir()
    os.symlink(elsewhere, out / "folder-link")
    os.symlink("folder-link/inner/big.bin", out / "file-link")
    os.symlink("nowhere", out / "dangling")
    for _ in range(2):
        result = run("build", project, "--out", out)
        assert result.status == 0, result.err
        assert {os.readlink(out / name) for name in ("folder-link", "file-link", "dangling")} == {
            str(elsewhere), "folder-link/inner/big.bin", "nowhere"}
    assert (elsewhere / "inner" / "big.bin").read_bytes() == b"\0" * 100
    # An output named through a link is built where the link points; the link stays.
    os.symlink(out, tmp_path / "out-link")
    assert run("build", project, "--out", tmp_path / "out-link", "-q").status == 0
    assert os.readlink(tmp_path / "out-link") == str(out) and (out / "folder-link").is_symlink()


def test_a_second_build_waits_for_the_first_or_fails_at_once(project, tmp_path):
    out = tmp_path / "out"
    lock = os.open(tmp_path / ".out.korvan-lock", os.O_RDWR | os.O_CREAT)
    fcntl.flock(lock, fcntl.LOCK_EX)
    os.pwrite(lock, b"4242\n", 0)
    refused = subprocess.run([KORVAN_MODELS, "build", project, "--out", out, "--no-wait"], capture_output=True, text=True)
    assert refused.returncode == 1 and not out.exists()
    assert refused.stderr.splitlines() == [f"korvan-models: {out}: another build (process 4242) is writing this output "
                                           "folder; try again when it has finished"]
    waiting = subprocess.Popen([KORVAN_MODELS, "build", project, "--out", out], stdout=subprocess.PIPE, text=True)
    assert waiting.stdout.readline().startswith("checked 2 models")
    assert waiting.stdout.readline() == f"waiting for another build (process 4242) of {out} to finish\n"
    time.sleep(0.3)
    assert waiting.poll() is None and not out.exists()
    os.close(lock)
    assert waiting.wait(timeout=120) == 0 and (out / "models" / "author.py").exists()


def _generating(child):
    """Waits until a build child has started its worker processes."""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and child.poll() is None:
        if workers_of(child.pid):
            return True
        time.sleep(0.002)
    return False


@pytest.mark.slow
@pytest.mark.parametrize("number, status", [(signal.SIGTERM, 143), (signal.SIGINT, 130), (signal.SIGKILL, -9)])
def test_a_signal_ends_the_build_and_its_workers_with_the_output_as_it_was(tmp_path, run, number, status):
    root, out = tmp_path / "project", tmp_path / "out"
    people(root, 4)
    assert run("build", root, "--out", out, "-q").status == 0
    before = tree(out)
    people(root, 60, records=50, tag="x")
    child = subprocess.Popen([KORVAN_MODELS, "build", root, "--out", out, "--jobs", "3"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert _generating(child)
    child.send_signal(number)
    _, err = child.communicate(timeout=120)
    assert child.returncode == status
    if number != signal.SIGKILL:
        assert err.splitlines()[-1] == f"interrupted; {out} was left as it was"
    assert wait_for_no_process(str(out)) == []
    assert tree(out) == before
    assert run("build", root, "--out", out, "-q").status == 0


def _limited(limit):
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


@pytest.mark.parametrize("what, written", [
    ("fixtures", "the temporary fixtures document"),
    ("static", "{out}/static/big.bin"),
])
def test_a_file_size_limit_is_a_fault_of_the_machine(project, tmp_path, run, what, written):
    out = tmp_path / "out"
    assert run("build", project, "--out", out, "-q").status == 0
    before = tree(out)
    if what == "fixtures":
        write_json(project / "models" / "author" / "fixtures" / "authors.json",
                   [{"_external_id": f"a-{n}", "name": "A" * 200} for n in range(2000)])
    else:
        (project / "static").mkdir()
        (project / "static" / "big.bin").write_bytes(os.urandom(300_000))
    child = subprocess.run([KORVAN_MODELS, "build", project, "--out", out, "-q"], capture_output=True, text=True,
                           preexec_fn=_limited(200_000))
    assert child.returncode == 1, child.stderr
    assert child.stderr.splitlines() == [f"korvan-models: cannot write {written.format(out=out)}: File too large"]
    assert tree(out) == before
    assert [p for p in tmp_path.iterdir() if ".korvan-tmp-" in p.name] == []


def test_a_read_only_output_is_refused(project, tmp_path, run):
    out = tmp_path / "out"
    assert run("build", project, "--out", out, "-q").status == 0
    os.chmod(out, 0o555)
    try:
        result = run("build", project, "--out", out)
        assert result.status == 2 and result.lines[0] == (f"{out}: the output folder is read-only; "
                                                          "make it writable (chmod u+w) or use another --out")
        assert [p for p in tmp_path.iterdir() if ".korvan-tmp-" in p.name] == []
    finally:
        os.chmod(out, 0o755)


def test_a_file_saved_in_the_output_during_the_build_is_kept(tmp_path):
    from korvan_models.pipeline.output import Output

    out = tmp_path / "out"
    (out / "notes").mkdir(parents=True)
    output = Output(out)
    output.open()
    output.write("models/a.py", "x = 1\n")
    assert output.prepare({}) == ["notes/"]
    (out / "notes" / "late.txt").write_text("saved meanwhile", "utf-8")
    output.commit()
    assert (out / "notes" / "late.txt").read_text("utf-8") == "saved meanwhile"
    assert (out / "models" / "a.py").read_text("utf-8") == "x = 1\n"
