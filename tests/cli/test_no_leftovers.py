"""Builds and checks that end early (a signal, a killed process, a mistake, a failure) leave no
temporary folder behind and the output as it was. Each run has a fresh, empty TMPDIR; the command
runs under a small driver that wraps one function of the build to act when it is reached."""

from __future__ import annotations

import os
import signal
import subprocess
import sys

import pytest
from cli_helpers import AUTHOR, tree, write_json
from output_trials import processes_naming

# argv: point ("module:function" or "module:Class.method"), action, then the command's. An action
# "[worker-]SIGNAL@target" sends a real signal to the command's process ("main"), to its process
# group as a terminal sends Ctrl-C ("group") or to the process at the point ("self"); with
# "worker-" only a worker sends it, and then stays at work until it is ended; with "swallowed-"
# the command's process sends it from inside a finalizer, where it is reported as ignored and
# dropped (as a library that reports an exception of a callback does). "fail" raises.
DRIVER = """if True:
    import functools, importlib, os, signal, sys, time
    point, action, argv = sys.argv[1], sys.argv[2], sys.argv[3:]
    main, (module_name, _, name) = os.getpid(), point.partition(":")
    owner = importlib.import_module(module_name)
    if "." in name:
        owner, name = getattr(owner, name.split(".")[0]), name.split(".")[1]
    original = getattr(owner, name)
    number, _, target = action.removeprefix("worker-").removeprefix("swallowed-").partition("@")

    class Swallowing:
        def __del__(self):
            os.kill(main, getattr(signal, number))
            for _ in range(10000):
                pass

    @functools.wraps(original)
    def wrapper(*args, **kwargs):
        in_worker = os.getpid() != main
        if action == "fail":
            raise RuntimeError("injected fault")
        if action.startswith("swallowed-"):
            if not in_worker:
                Swallowing()
            return original(*args, **kwargs)
        if in_worker or not action.startswith("worker-"):
            pid = {"main": main, "group": -os.getpgid(main), "self": os.getpid()}[target]
            os.kill(pid, getattr(signal, number))
            while in_worker:  # a signal caught while pydantic builds a class is lost there: told again
                time.sleep(0.5)
                os.kill(pid, getattr(signal, number))
        return original(*args, **kwargs)

    setattr(owner, name, wrapper)
    from korvan_models import cli
    sys.exit(cli.main(argv))
"""

GENERATE = "korvan_models.pipeline.generate:render_model"
PULLED = "korvan_models.pipeline.generate:_render_pulled"
STORE = "korvan_models.pipeline.store:store_records"
CASES = {  # command, point, action, exit status (-9: killed outright)
    "SIGTERM while workers generate": ("build", GENERATE, "worker-SIGTERM@main", 143),
    "Ctrl-C while workers generate": ("build", GENERATE, "worker-SIGINT@group", 130),
    "a worker killed": ("build", PULLED, "worker-SIGKILL@self", 1),
    "the build killed while its workers generate": ("build", GENERATE, "worker-SIGKILL@main", -9),
    "a generation failure": ("build", PULLED, "fail", 1),
    "a project mistake": ("build", STORE, "SIGTERM@main", 2),
    "SIGTERM swallowed on the way": ("build", "korvan_models.pipeline:check_project", "swallowed-SIGTERM@main", 143),  # the check stops it before the store
    "SIGTERM while fixture files are copied": ("build", "korvan_models.pipeline.output:Output.copy", "SIGTERM@main", 143),
    "SIGTERM while records are stored": ("build", STORE, "SIGTERM@main", 143),
    "Ctrl-C in a check's trial import": ("check", "korvan_models.pipeline.project:_import_and_validate",
                                         "SIGINT@group", 130),
    "SIGTERM as a temporary folder is removed": ("build", "shutil:rmtree", "SIGTERM@main", 143),
    # A watching build stops on a signal as asked (status 0), its first build unfinished.
    "watching build, SIGTERM while workers generate": ("watch", GENERATE, "worker-SIGTERM@main", 0),
}
SLOW = {"the build killed while its workers generate", "watching build, SIGTERM while workers generate"}


def write_project(root, version):
    """Twelve models, two with records and files (the check generates those, the build the rest)."""
    for number in range(12):
        folder = root / "models" / f"p{number}"
        write_json(folder / "model.json", {**AUTHOR, "title": f"P{number}", "description": f"v{version}"})
        if number < 2:
            write_json(folder / "fixtures" / "p.json", [{"_external_id": f"p{number}-{n}", "name": "x"} for n in range(20)])
            (folder / "fixtures" / "files").mkdir(exist_ok=True)
            (folder / "fixtures" / "files" / "note.txt").write_text(f"v{version}", "utf-8")


@pytest.mark.parametrize("case", [pytest.param(name, marks=[pytest.mark.slow] * (name in SLOW)) for name in CASES])
def test_an_ended_run_leaves_no_temporary_folder_and_the_output_as_it_was(tmp_path, case):
    command, point, action, status = CASES[case]
    root, out, temporary = tmp_path / "project", tmp_path / "out", tmp_path / "tmp"
    temporary.mkdir()
    env, build = {**os.environ, "TMPDIR": str(temporary)}, ["build", str(root), "--out", str(out), "--jobs", "3"]
    write_project(root, 0)
    subprocess.run([sys.executable, "-m", "korvan_models", *build, "-q"], env=env, check=True, timeout=300)
    before = tree(out)
    write_project(root, 1)
    if case == "a project mistake":
        write_json(root / "models" / "p3" / "model.json", {**AUTHOR, "title": "P3", "properties": {"name": {"type": "strng"}}})
    argv = {"build": build, "check": ["check", str(root)], "watch": [*build, "--watch"]}[command]
    child = subprocess.Popen([sys.executable, "-c", DRIVER, point, action, *argv], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        lines = child.communicate(timeout=120)[0].splitlines()
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
    assert child.returncode == status, lines
    assert command != "check" or not any("left as it was" in line for line in lines), lines  # it writes nothing
    assert processes_naming(str(root)) == [] and tree(out) == before
    # A process killed outright cannot clean up after itself; what its workers made goes with it.
    left = sorted(path.name for path in temporary.iterdir())
    assert left == [] or status == -9 and len(left) == 1 and left[0].startswith("korvan-generate-"), lines
    # A signal caught while pydantic builds a class is reported there as ignored (and told again).
    assert not any("Traceback" in line and not lines[number - 1].startswith("Exception ignored")
                   for number, line in enumerate(lines)), lines
    write_project(root, 2)
    assert subprocess.run([sys.executable, "-m", "korvan_models", *build, "-q"], env=env, timeout=300).returncode == 0
    assert sorted(path.name for path in temporary.iterdir()) == left
