"""A plain build next to a running watcher of the same project and output: handed over and run by
the watcher with the same lines, exit status and output as a build of its own; refused and built
by the command itself when anything that decides a build differs; never hung on a dead watcher's
socket or another user's."""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest
from cli_helpers import AUTHOR, BOOK, GENRES, KORVAN_MODELS, sources, write_json

from korvan_models.tools import watch_link

def make_project(root):
    models = root / "project" / "models"
    write_json(models / "author" / "model.json", AUTHOR)
    write_json(models / "book" / "model.json", BOOK)
    write_json(models / "options" / "genres.json", GENRES)
    write_json(models / "author" / "fixtures" / "authors.json", [{"_external_id": "a-1", "name": "Ann"}])


def build(cwd, *extra, env=None):
    return subprocess.run([str(KORVAN_MODELS), "build", "project", "--out", "out", *extra], cwd=cwd, text=True,
                          capture_output=True, env={**os.environ, **(env or {})}, timeout=300)


class Watcher:
    def __init__(self, cwd, *extra: str) -> None:
        command = [str(KORVAN_MODELS), "build", "project", "--out", "out", "--watch", *extra]
        self.child = subprocess.Popen(command, cwd=cwd, text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.lines: list[str] = []
        threading.Thread(target=lambda: self.lines.extend(line.rstrip("\n") for line in self.child.stdout),
                         daemon=True).start()
        self.wait_for("watching")

    def wait_for(self, start: str, seen: int = 0, timeout: float = 60) -> int:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = next((i for i in range(seen, len(self.lines)) if self.lines[i].startswith(start)), None)
            if found is not None:
                return found + 1
            time.sleep(0.02)
        raise AssertionError(f"no line starting {start!r} in {self.lines[seen:]}")

    def stop(self) -> None:
        if self.child.poll() is None:
            self.child.send_signal(signal.SIGTERM)
            self.child.wait(timeout=30)


@pytest.fixture(scope="module")
def twins(tmp_path_factory):
    """Two copies of one project, each built once: the first with a watcher running on it."""
    watched, plain = tmp_path_factory.mktemp("watched"), tmp_path_factory.mktemp("plain")
    for root in (watched, plain):
        make_project(root)
    assert build(plain).returncode == 0
    watcher = Watcher(watched)
    yield watched, plain, watcher
    watcher.stop()
    assert not (watched / ".out.korvan-watch").exists()


def edit_book(root, change: str, number: int) -> None:
    path = root / "project" / "models" / "book" / "model.json"
    book = json.loads(path.read_text("utf-8"))
    if change == "mistake":
        book["properties"]["title"]["type"] = f"nope{number}"
    else:
        book["properties"]["title"]["type"] = "string"
        book["description"] = f"edit {number}"
    write_json(path, book)


CASES = [
    # change, extra arguments, environment, served
    ("description", (), {}, True),
    ("description", ("--quiet",), {}, True),
    ("mistake", (), {}, True),
    ("description", ("--database", "default=sqlite:///other.db"), {}, False),
    ("description", (), {"KORVAN_EXTRA": "1"}, False),
]


@pytest.mark.slow
@pytest.mark.parametrize("change, extra, env, served", CASES,
                         ids=["served", "served quietly", "mistake relayed", "other database", "other variable"])
def test_a_plain_build_beside_a_watcher_is_handed_over_when_nothing_that_decides_it_differs(
        twins, change, extra, env, served):
    watched, plain, watcher = twins
    for attempt in range(3):
        number = time.monotonic_ns()
        seen = len(watcher.lines)
        for root in (watched, plain):
            edit_book(root, change, number)
        mine, expected = build(watched, *extra, env=env), build(plain, *extra, env=env)
        time.sleep(0.5)  # the watcher's own rebuild, if it comes, is logged by now
        log = watcher.lines[seen:]
        if not served or not any(line.startswith("rebuil") for line in log):
            break  # else the watcher saw the edit and rebuilt before the command asked: again
    if served:
        assert (mine.returncode, mine.stdout, mine.stderr) == (expected.returncode, expected.stdout, expected.stderr)
    else:
        # Built here, side by side with the watcher's own rebuild (which may take the lock first).
        assert mine.stdout.endswith("built 2 models into out\n")
        time.sleep(1.5)
    assert mine.returncode == (2 if change == "mistake" else 0)
    assert any(line.startswith(("served a build", "served (failed)")) for line in log) == served, log
    assert sources(watched / "out") == sources(plain / "out")
    if served and mine.returncode == 0:
        # The output is a build's in every respect: a build now stops early, and agrees.
        assert build(watched).stdout == build(plain).stdout


@pytest.mark.slow
def test_a_dead_watchers_socket_is_ignored_and_replaced(tmp_path):
    make_project(tmp_path)
    first = Watcher(tmp_path)
    path = tmp_path / ".out.korvan-watch"
    assert stat.S_IMODE(os.lstat(path).st_mode) == 0o600
    first.child.kill()
    first.child.wait()
    assert stat.S_ISSOCK(os.lstat(path).st_mode)  # left behind
    edit_book(tmp_path, "description", 1)
    result = build(tmp_path)
    assert result.returncode == 0 and "built 2 models into out" in result.stdout
    second = Watcher(tmp_path)
    try:
        alive = watch_link._connect(path)
        assert alive is not None
        alive.close()
    finally:
        second.stop()
    assert not path.exists()


@pytest.mark.skipif(os.getuid() != 0, reason="making another user's socket takes root")
def test_another_users_socket_or_process_is_not_trusted(tmp_path):
    make_project(tmp_path)
    # A live socket of another user's at the path: the command does not even connect.
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(str(watch_link.socket_path(tmp_path / "out")))
    listener.listen(1)
    os.chown(watch_link.socket_path(tmp_path / "out"), 65534, -1)
    assert watch_link._connect(watch_link.socket_path(tmp_path / "out")) is None
    listener.close()
    # A watcher tells nothing to a process of another user that reaches its socket.
    place = Path(tempfile.mkdtemp())
    try:
        os.chmod(place, 0o755)
        server = watch_link.Server(tmp_path / "project", place / "out", [], None)
        assert server.start()
        path = server.path
        os.chmod(path, 0o666)
        reader, writer = os.pipe()
        child = os.fork()
        if child == 0:
            try:
                os.setuid(65534)
                other = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                other.settimeout(10)
                other.connect(str(path))
                try:  # the watcher may have closed the connection already
                    other.sendall(json.dumps({"argv": ["build"], "cwd": "/", "settings": server.mine}).encode()
                                  + b"\n")
                    answer = other.recv(100)
                except (BrokenPipeError, ConnectionResetError):
                    answer = b""
                os.write(writer, answer or b"nothing")
            except BaseException as error:
                os.write(writer, repr(error).encode())
            finally:
                os._exit(0)
        os.close(writer)
        os.waitpid(child, 0)
        assert os.read(reader, 200) == b"nothing" and server.next() is None
        os.close(reader)
        server.stop()
    finally:
        shutil.rmtree(place)


@pytest.mark.parametrize("change, why", [
    (lambda request: None, None),
    (lambda request: request["settings"].update(jobs=3), "different jobs"),
    (lambda request: request["settings"].update(databases=[["default", "sqlite:///x.db"]]), "different databases"),
    (lambda request: request["settings"]["environment"].append(["KORVAN_EXTRA", "1"]), "different environment"),
    (lambda request: request["settings"].update(installation="0" * 64, umask=0), "different installation, umask"),
    (lambda request: request["settings"].update(project="/elsewhere"), "different project"),
    (lambda request: request.update(argv=["check", "project"]), "not a build"),
    (lambda request: request.update(cwd="/no/such/folder"), "no working folder"),
    (lambda request: request["argv"].append("--no-wait"), "busy"),
], ids=["same", "jobs", "database", "variable", "installation", "project", "check", "cwd", "busy, no wait"])
def test_the_watcher_serves_only_a_build_decided_as_its_own(tmp_path, change, why):
    make_project(tmp_path)
    server = watch_link.Server(tmp_path / "project", tmp_path / "out", [], None)
    server.busy = True
    request = {"argv": ["build", "project", "--out", "out"], "cwd": str(tmp_path),
               "settings": json.loads(json.dumps(server.mine))}
    change(request)
    assert server.refusal(request) == why


@pytest.mark.slow
def test_the_watcher_builds_into_the_databases_it_was_given(tmp_path):
    make_project(tmp_path)
    watcher = Watcher(tmp_path, "--database", "default=sqlite:///given.db")
    watcher.stop()
    assert (tmp_path / "given.db").is_file()
    assert "given.db" in (tmp_path / "out" / "settings.json").read_text("utf-8")


@pytest.mark.slow
def test_after_the_watchers_own_builds_a_plain_build_stops_early_as_after_a_build_of_its_own(tmp_path):
    watched, plain = tmp_path / "watched", tmp_path / "plain"
    for root in (watched, plain):
        make_project(root)
    watcher = Watcher(watched)
    try:
        for number in range(3):
            if number:  # the watcher's rebuild after an edit; at first, its first build
                seen = len(watcher.lines)
                for root in (watched, plain):
                    edit_book(root, "description", number)
                watcher.wait_for("rebuilt", seen)
            assert build(plain).returncode == 0
            expected, mine = build(plain), build(watched)
            assert "nothing changed since the last build" in expected.stdout
            assert (mine.returncode, mine.stdout, mine.stderr) == (expected.returncode, expected.stdout, expected.stderr)
            assert sources(watched / "out") == sources(plain / "out")
        assert not any(line.startswith("served") for line in watcher.lines)
    finally:
        watcher.stop()
