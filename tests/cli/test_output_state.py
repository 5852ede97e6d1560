"""The output folder against the world around it: an application holding the databases open,
leftovers of other builds and programs, a second build, signals, and faults of the machine."""

from __future__ import annotations

import fcntl
import os
import resource
import signal
import sqlite3
import subprocess
import time
from contextlib import ExitStack, contextmanager

import pytest
from cli_helpers import AUTHOR, KORVAN_MODELS, tree, write_json
from output_trials import Application, check_database, processes_naming, workers_of

from korvan_models.pipeline.output import Output


def test_databases_stay_in_place_while_an_application_writes(project, tmp_path, run):
    out = tmp_path / "out"
    (out / "data").mkdir(parents=True)  # an output of earlier builds: data is a folder of its own
    (out / "data" / "notes.txt").write_text("mine", "utf-8")
    assert run("build", project, "--out", out, "-q").status == 0
    assert os.readlink(out / "data") == "../.out.korvan-data" and (out / "data" / "notes.txt").exists()
    application = Application(out)
    for round_ in range(20):
        write_json(project / "models" / "author" / "fixtures" / "authors.json", [{"_external_id": "a-1", "name": f"A{round_}"}])
        assert run("build", project, "--out", out, "-q").status == 0
    check_database(out / "data" / "default.sqlite3", application.finish())
    with sqlite3.connect(out / "data" / "default.sqlite3") as connection:
        assert connection.execute("select name from Author").fetchall() == [("A19",)]


@pytest.mark.parametrize("name, manifest, removed", [
    (".out.korvan-tmp-99999999999999999999999-abc", None, False),  # a huge number
    (".out.korvan-tmp-x", None, False),
    (".out.korvan-tmp-1-abc", None, False),
    (".out.korvan-old-1-abc", {"version": 1, "files": {"../precious.txt": "0" * 64}, "models": {}}, False),
    (".out.korvan-tmp-1-def", {"version": 2, "files": {}, "models": {}}, True),  # a dead build's
])
def test_recovery_deletes_only_what_a_build_made(project, tmp_path, run, name, manifest, removed):
    folder = tmp_path / name
    (folder / "precious.txt").parent.mkdir()
    (folder / "precious.txt").write_text("keep", "utf-8")
    if manifest is not None:
        write_json(folder / ".korvan-build.json", manifest)
    result = run("build", project, "--out", tmp_path / "out", "-q")
    assert result.status == 0 and folder.exists() != removed
    assert [line.split(": left in place: ")[0] for line in result.lines] == [] if removed else [f"warning: {folder}"]


@pytest.mark.parametrize("manifest, mode, expected", [
    ('{"version": 1, "files": {"/etc/passwd": "x"}, "models": {}}', 0o755, "is not a manifest this build writes; move it away"
                                                                           " or use another --out"),
    ('{"version": 9}', 0o755, "is not a manifest this build writes; move it away or use another --out"),
    (None, 0o555, "the output folder is read-only; make it writable (chmod u+w) or use another --out"),
])
def test_an_output_the_build_cannot_own_is_refused(project, tmp_path, run, manifest, mode, expected):
    out = tmp_path / "out"
    assert run("build", project, "--out", out, "-q").status == 0
    if manifest is not None:
        (out / ".korvan-build.json").write_text(manifest, "utf-8")
    before = tree(out)
    os.chmod(out, mode)
    result = run("build", project, "--out", out)
    os.chmod(out, 0o755)
    assert result.status == 2 and result.lines[0].endswith(expected) and tree(out) == before
    assert not [p for p in tmp_path.iterdir() if ".korvan-tmp-" in p.name]


def test_links_stay_links_and_a_file_saved_meanwhile_is_kept(project, tmp_path, run):
    out = tmp_path / "out"
    out.mkdir()
    links = {"folder-link": str(tmp_path), "file-link": "folder-link/project/models/author/model.json", "dangling": "x"}
    for name, target in links.items():
        os.symlink(target, out / name)
    os.symlink(out, tmp_path / "out-link")  # an output named through a link is built where it points
    for folder in (out, tmp_path / "out-link"):
        assert run("build", project, "--out", folder, "-q").status == 0
        assert {name: os.readlink(out / name) for name in links} == links and (tmp_path / "out-link").is_symlink()
    output = Output(out)
    output.open()
    output.prepare({})
    (out / "late.txt").write_text("saved meanwhile", "utf-8")
    output.commit()
    assert (out / "late.txt").read_text("utf-8") == "saved meanwhile"


def test_a_second_build_waits_for_the_first_or_fails_at_once(project, tmp_path):
    out, lock = tmp_path / "out", os.open(tmp_path / ".out.korvan-lock", os.O_RDWR | os.O_CREAT)
    fcntl.flock(lock, fcntl.LOCK_EX)
    os.pwrite(lock, b"4242\n", 0)
    refused = subprocess.run([KORVAN_MODELS, "build", project, "--out", out, "--no-wait"], capture_output=True, text=True)
    assert refused.returncode == 1 and not out.exists() and refused.stderr == (
        f"korvan-models: {out}: another build (process 4242) is writing this output folder; try again when it has finished\n")
    waiting = subprocess.Popen([KORVAN_MODELS, "build", project, "--out", out], stdout=subprocess.PIPE, text=True)
    assert [waiting.stdout.readline() for _ in range(2)][1] == f"waiting for another build (process 4242) of {out} to finish\n"
    time.sleep(0.3)
    assert waiting.poll() is None and not out.exists()
    os.close(lock)
    assert waiting.wait(timeout=120) == 0 and (out / "models" / "author.py").exists()


@pytest.mark.slow
@pytest.mark.parametrize("number, status", [(signal.SIGTERM, 143), (signal.SIGINT, 130), (signal.SIGKILL, -9)])
def test_a_signal_ends_the_build_and_its_workers_with_the_output_as_it_was(tmp_path, run, number, status):
    root, out = tmp_path / "project", tmp_path / "out"
    for count in (4, 60):
        for n in range(count):
            write_json(root / "models" / f"p{n}" / "model.json", {**AUTHOR, "title": f"P{n}", "description": str(count)})
        before = tree(out) if count == 60 else run("build", root, "--out", out, "-q")
    (tmp_path / "tmp").mkdir()  # what a build killed outright leaves goes with the test's folder
    child = subprocess.Popen([KORVAN_MODELS, "build", root, "--out", out, "--jobs", "3"], stderr=subprocess.PIPE, text=True,
                             env={**os.environ, "TMPDIR": str(tmp_path / "tmp")})
    while not workers_of(child.pid):
        time.sleep(0.002)
    child.send_signal(number)
    assert child.wait(timeout=120) == status and processes_naming(str(root)) == [] and tree(out) == before
    assert number == signal.SIGKILL or child.stderr.read().splitlines()[-1] == f"interrupted; {out} was left as it was"
    assert run("build", root, "--out", out, "-q").status == 0


@contextmanager
def small_disk(folder):
    """A 4 MB file system at ``folder`` (root only)."""
    folder.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", folder], capture_output=True).returncode:
        pytest.skip("mounting a small file system needs root")
    try:
        yield folder
    finally:
        subprocess.run(["umount", "-l", folder])


def test_a_full_database_disk_is_one_line_and_loses_nothing(project, tmp_path, run):
    with small_disk(tmp_path / "small") as small:
        out, database = tmp_path / "out", f"sqlite:///{small / 'default.sqlite3'}"
        assert run("build", project, "--out", out, "--database", f"default={database}", "-q").status == 0
        before = tree(out)
        write_json(project / "models" / "author" / "fixtures" / "authors.json",
                   [{"_external_id": f"a-{n}", "name": "A" * 2000} for n in range(2500)])
        child = subprocess.run([KORVAN_MODELS, "build", project, "--out", out, "-q"], capture_output=True, text=True)
        assert (child.returncode, child.stderr) == (
            1, f"korvan-models: cannot write the databases: database or disk is full; {out} was left as it was\n")
        assert tree(out) == before


@pytest.mark.parametrize("what, written, error", [
    ("fixtures", "the temporary fixtures document", "File too large"),
    ("static", "{out}/static/big.bin", "File too large"),
    ("disk", "{out}/static/big.bin", "No space left on device"),
])
def test_a_fault_of_the_machine_is_one_line_and_loses_nothing(project, tmp_path, run, what, written, error):
    with ExitStack() as stack:
        out = (stack.enter_context(small_disk(tmp_path / "small")) if what == "disk" else tmp_path) / "out"
        assert run("build", project, "--out", out, "-q").status == 0
        before = tree(out)
        if what == "fixtures":
            write_json(project / "models" / "author" / "fixtures" / "authors.json",
                       [{"_external_id": f"a-{n}", "name": "A" * 200} for n in range(2000)])
        else:
            (project / "static").mkdir()
            (project / "static" / "big.bin").write_bytes(os.urandom(300_000 if what == "static" else 5_000_000))
        limit = resource.RLIM_INFINITY if what == "disk" else 200_000
        child = subprocess.run([KORVAN_MODELS, "build", project, "--out", out, "-q"], capture_output=True, text=True,
                               preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)))
        assert (child.returncode, child.stderr) == (1, f"korvan-models: cannot write {written.format(out=out)}: {error}\n")
        assert tree(out) == before and not [p for p in out.parent.iterdir() if ".korvan-tmp-" in p.name]


def test_an_interrupt_an_earlier_command_of_the_process_dealt_with_does_not_stop_the_next(project, tmp_path, run):
    from korvan_models import errors

    with pytest.raises(KeyboardInterrupt):
        errors.on_interrupt(signal.SIGINT, None)
    assert run("build", project, "--out", tmp_path / "out", "--quiet").status == 0
