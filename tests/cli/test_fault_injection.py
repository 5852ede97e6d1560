"""Builds killed at random moments while an application writes to the store lose nothing.
The seed of a run is printed; KORVAN_FAULT_SEED repeats one."""

from __future__ import annotations

import hashlib
import json
import os
import random
import signal
import subprocess
import time

import pytest
from cli_helpers import AUTHOR, KORVAN_MODELS, tree, write_json
from output_trials import Application, check_database, processes_naming, workers_of

TRIALS, MODELS = 30, 60


def write_project(root, trial):
    """A fifth of the models and every fixture record changed from one trial to the next."""
    for number in range(MODELS):
        description = f"version {trial if number % 5 == trial % 5 else 0}"
        write_json(root / "models" / f"p{number}" / "model.json", {**AUTHOR, "title": f"P{number}", "description": description})
        write_json(root / "models" / f"p{number}" / "fixtures" / "p.json",
                   [{"_external_id": f"p{number}-{n}", "name": f"trial {trial}"} for n in range(10)])


@pytest.mark.slow
def test_builds_killed_at_random_moments_lose_nothing(tmp_path, monkeypatch):
    seed = int(os.environ.get("KORVAN_FAULT_SEED", time.time_ns() % 10**6))
    rng, root, out = random.Random(seed), tmp_path / "project", tmp_path / "out"
    command = [KORVAN_MODELS, "build", root, "--out", out, "--jobs", "3", "-q"]
    # A build killed outright cannot remove its temporary folders: they go with the test's own.
    (tmp_path / "tmp").mkdir()
    monkeypatch.setenv("TMPDIR", str(tmp_path / "tmp"))
    write_project(root, 0)
    started = time.monotonic()
    assert subprocess.run(command).returncode == 0
    span, application = time.monotonic() - started, Application(out)
    lost, killed, replaced = [], 0, 0
    for trial in range(1, TRIALS + 1):
        write_project(root, trial)
        before = {name: data for name, data in tree(out).items() if not name.startswith(("data/", ".korvan-build"))}
        child = subprocess.Popen(command, stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0.05, span))
        workers = workers_of(child.pid) if rng.random() < 0.4 else []
        if child.poll() is None:
            os.kill(rng.choice(workers) if workers else child.pid, signal.SIGKILL)
            killed += 1
        child.wait(timeout=300)
        after = {name: data for name, data in tree(out).items() if not name.startswith("data/")}
        manifest = json.loads(after.pop(".korvan-build.json"))
        replaced += after != before
        faults = ["a process is left"] * bool(processes_naming(str(root)))
        if after != before and after.keys() != manifest["files"].keys() or any(
                hashlib.sha256(after.get(name, b"-")).hexdigest() != value for name, value in manifest["files"].items()):
            faults.append("neither the old tree nor the new one")
        try:
            check_database(out / "data" / "default.sqlite3", application.committed())
            check_database(out / "data" / "lakehouse.sqlite3")
        except Exception as error:
            faults.append(repr(error))
        if subprocess.run(command).returncode != 0:
            faults.append("the next build failed")
        lost += [(trial, faults)] if faults else []
    check_database(out / "data" / "default.sqlite3", application.finish())
    assert processes_naming(f".{out.name}.korvan-") == []
    print(f"\nseed {seed}: {TRIALS} trials, {killed} killed mid-build, {replaced} left the new tree, "
          f"{TRIALS - len(lost)} survived, {len(lost)} lost")
    assert lost == []
