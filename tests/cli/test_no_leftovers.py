"""Builds and checks that end early (a signal, a killed process, a mistake, a failure) leave no
temporary folder behind and the output and its databases as they were. Each run has a fresh, empty
TMPDIR; the interruptions come at fixed points of the run, through the command run by a small driver
that wraps one function of the build to send a real signal (or fail) when it is reached."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time

import pytest
from cli_helpers import AUTHOR, tree, write_json
from output_trials import processes_naming

# argv: point ("module:function" or "module:Class.method"), action, title (or "-"), then the command's.
# An action "[worker-]SIGNAL@target" sends a real signal to the command's process ("main"), to its
# process group as a terminal sends Ctrl-C ("group") or to the process reaching the point ("self");
# with "worker-" only a worker process sends it, and stays at work until it is ended. "fail" raises.
DRIVER = """if True:
    import functools, importlib, os, signal, sys, time
    point, action, title, argv = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    main = os.getpid()
    module_name, _, name = point.partition(":") if point != "-" else ("os", "", "getpid")
    owner = importlib.import_module(module_name)
    if "." in name:
        owner, name = getattr(owner, name.split(".")[0]), name.split(".")[1]
    original = getattr(owner, name)
    only_workers = action.startswith("worker-")
    number, _, target = action.removeprefix("worker-").partition("@")

    @functools.wraps(original)
    def wrapper(*args, **kwargs):
        if title == "-" or any(getattr(a, "title", None) == title for a in args):
            in_worker = os.getpid() != main
            if action == "fail":
                raise RuntimeError("injected fault")
            if in_worker or not only_workers:
                number_ = getattr(signal, number)
                if target == "group":
                    os.killpg(os.getpgid(main), number_)
                else:
                    os.kill({"main": main, "self": os.getpid()}[target], number_)
                while in_worker:  # at work until ended; a signal caught while pydantic builds a class
                    time.sleep(0.5)  # is lost there, so the command's process is told again
                    if target == "main":
                        os.kill(main, number_)
        return original(*args, **kwargs)

    if point != "-":
        setattr(owner, name, wrapper)
    from korvan_models import cli
    sys.exit(cli.main(argv))
"""

GENERATE = "korvan_models.pipeline.generate:render_model"
PULLED = "korvan_models.pipeline.generate:_render_pulled"
TRIAL = "korvan_models.pipeline.project:_import_and_validate"
COPY = "korvan_models.pipeline.output:Output.copy"
STORE = "korvan_models.pipeline.store:store_records"
MODELS = 12


def write_project(root, version):
    """Twelve models, two of them with records and files (the check generates those, the build the rest)."""
    for number in range(MODELS):
        folder = root / "models" / f"p{number}"
        write_json(folder / "model.json", {**AUTHOR, "title": f"P{number}", "description": f"v{version}"})
        if number < 2:
            write_json(folder / "fixtures" / "p.json", [{"_external_id": f"p{number}-{n}", "name": f"v{version}"}
                                                       for n in range(20)])
            (folder / "fixtures" / "files").mkdir(exist_ok=True)
            (folder / "fixtures" / "files" / "note.txt").write_text(f"v{version}", "utf-8")


def watched_until_stopped(child, lines):
    """Reads the watching build's output until it ends."""
    for line in child.stdout:
        lines.append(line.rstrip("\n"))


# (command, point, action, model reached, exit status); None: the status of a process killed outright.
CASES = {
    "SIGTERM while workers generate": ("build", GENERATE, "worker-SIGTERM@main", "-", 143),
    "Ctrl-C while workers generate": ("build", GENERATE, "worker-SIGINT@group", "-", 130),
    "SIGTERM to the build as it generates": ("build", GENERATE, "SIGTERM@main", "P9", 143),
    "a worker killed": ("build", PULLED, "worker-SIGKILL@self", "-", 1),
    "the build killed while its workers generate": ("build", GENERATE, "worker-SIGKILL@main", "-", -9),
    "a generation failure": ("build", GENERATE, "fail", "P9", 1),
    "a project mistake": ("build", None, None, None, 2),
    "SIGTERM in the check's trial import": ("build", TRIAL, "SIGTERM@main", "-", 143),
    "SIGTERM while fixture files are copied": ("build", COPY, "SIGTERM@main", "-", 143),
    "Ctrl-C while fixture files are copied": ("build", COPY, "SIGINT@group", "-", 130),
    "SIGTERM while records are stored": ("build", STORE, "SIGTERM@main", "-", 143),
    "Ctrl-C in a check's trial import": ("check", TRIAL, "SIGINT@group", "-", 130),
    "SIGTERM as a temporary folder is removed": ("build", "shutil:rmtree", "SIGTERM@main", "-", 143),
    "Ctrl-C as a check's temporary folder is removed": ("check", "shutil:rmtree", "SIGINT@group", "-", 130),
    # A watching build stops on a signal as it was asked to (status 0), its first build unfinished.
    "watching build, SIGTERM while workers generate": ("watch", GENERATE, "worker-SIGTERM@main", "-", 0),
    "watching build, Ctrl-C while workers generate": ("watch", GENERATE, "worker-SIGINT@group", "-", 0),
}
SLOW = {"the build killed while its workers generate", "watching build, SIGTERM while workers generate",
        "watching build, Ctrl-C while workers generate"}


@pytest.mark.parametrize("case", [pytest.param(name, marks=[pytest.mark.slow] * (name in SLOW)) for name in CASES])
def test_an_ended_run_leaves_no_temporary_folder_and_the_output_as_it_was(tmp_path, case):
    command, point, action, title, status = CASES[case]
    root, out, temporary = tmp_path / "project", tmp_path / "out", tmp_path / "tmp"
    temporary.mkdir()
    env = {**os.environ, "TMPDIR": str(temporary)}
    write_project(root, 0)
    build = [str(root), "--out", str(out), "--jobs", "3"]
    subprocess.run([sys.executable, "-m", "korvan_models", "build", *build, "-q"], env=env, check=True, timeout=300)
    assert sorted(temporary.iterdir()) == []
    before, beside = tree(out), sorted(path.name for path in tmp_path.iterdir())
    write_project(root, 1)
    if action is None:
        write_json(root / "models" / "p3" / "model.json", {**AUTHOR, "title": "P3", "properties": {"name": {"type": "strng"}}})
    argv = {"build": ["build", *build], "check": ["check", str(root)], "watch": ["build", *build, "--watch"]}[command]
    child = subprocess.Popen([sys.executable, "-c", DRIVER, point or "-", action or "-", title or "-", *argv],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             start_new_session=True)
    lines: list[str] = []
    reader = threading.Thread(target=watched_until_stopped, args=(child, lines), daemon=True)
    reader.start()
    try:
        assert child.wait(timeout=60) == status, lines
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
    reader.join(timeout=30)
    # A process killed outright cannot clean up after itself; what its workers made goes with it.
    assert processes_naming(str(root)) == []
    left = sorted(path.name for path in temporary.iterdir())
    if status == -9:
        assert len(left) <= 1 and all(name.startswith("korvan-generate-") for name in left), left
    else:
        assert left == [], lines
    assert tree(out) == before
    # A signal caught while pydantic builds a class is reported there as ignored (and told again).
    assert not any("Traceback" in line and not lines[number - 1].startswith("Exception ignored")
                   for number, line in enumerate(lines)), lines
    # The next build is not hindered.
    write_project(root, 2)
    assert subprocess.run([sys.executable, "-m", "korvan_models", "build", *build, "-q"], env=env,
                          timeout=300).returncode == 0
    assert sorted(path.name for path in temporary.iterdir()) == left
    # No staging folder is left; the replaced tree goes in a process of its own, in its own time.
    deadline = time.monotonic() + 60
    while any(".korvan-old-" in path.name for path in tmp_path.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert sorted(path.name for path in tmp_path.iterdir()) == beside
