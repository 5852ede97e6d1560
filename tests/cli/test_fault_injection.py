"""Builds killed at random moments, while an application writes to the store, lose nothing.

The seed of a run is printed; set KORVAN_FAULT_SEED to repeat one.
"""

from __future__ import annotations

import json
import os
import random
import signal
import sqlite3
import subprocess
import time

import pytest
from cli_helpers import AUTHOR, KORVAN_MODELS, write_json
from output_trials import (Application, check_database, manifest_matches, processes_naming, wait_for_no_process,
                           workers_of)

TRIALS, MODELS, RECORDS = 30, 60, 10


def write_project(root, trial):
    """The project of one trial: a fifth of the models and every fixture record changed."""
    for number in range(MODELS):
        schema = {**AUTHOR, "title": f"Person{number}", "description": f"version {trial if number % 5 == trial % 5 else 0}"}
        write_json(root / "models" / f"person{number}" / "model.json", schema)
        write_json(root / "models" / f"person{number}" / "fixtures" / "people.json",
                   [{"_external_id": f"p{number}-{n}", "name": f"P{n} of trial {trial}"} for n in range(RECORDS)])


def snapshot(out):
    """The output's files but the databases, with their contents."""
    found = {}
    for folder, dirs, files in os.walk(out):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as handle:
                found[os.path.relpath(path, out)] = handle.read()
    return found


def build(root, out):
    return subprocess.run([KORVAN_MODELS, "build", root, "--out", out, "--jobs", "3", "-q"], capture_output=True,
                          text=True, timeout=300)


@pytest.mark.slow
def test_builds_killed_at_random_moments_lose_nothing(tmp_path):
    seed = int(os.environ.get("KORVAN_FAULT_SEED", time.time_ns() % 1_000_000))
    rng = random.Random(seed)
    root, out = tmp_path / "project", tmp_path / "out"
    write_project(root, 0)
    started = time.monotonic()
    assert build(root, out).returncode == 0
    span = time.monotonic() - started
    application = Application(out, tmp_path)
    lost, killed, workers_killed, replaced = [], 0, 0, 0
    for trial in range(1, TRIALS + 1):
        write_project(root, trial)
        before = snapshot(out)
        child = subprocess.Popen([KORVAN_MODELS, "build", root, "--out", out, "--jobs", "3", "-q"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0.05, span))
        victims = workers_of(child.pid) if rng.random() < 0.4 else []
        victim = rng.choice(victims) if victims else child.pid
        if child.poll() is None:
            os.kill(victim, signal.SIGKILL)
            killed += 1
            workers_killed += victim != child.pid
        child.wait(timeout=300)
        faults = []
        if wait_for_no_process(str(root)):
            faults.append("a process of the build is left")
        after = snapshot(out)
        manifest = json.loads(after[".korvan-build.json"])
        replaced += after != before
        if after != before and not (manifest_matches(out) and set(after) == {*manifest["files"], ".korvan-build.json"}):
            faults.append("the output is neither the old tree nor the new one")
        try:
            check_database(out / "data" / "default.sqlite3", application.committed())
            check_database(out / "data" / "lakehouse.sqlite3", None)
        except (AssertionError, sqlite3.Error) as error:
            faults.append(f"database: {error!r}")
        finished = build(root, out)
        if finished.returncode != 0:
            faults.append(f"the next build failed: {finished.stderr}")
        if faults:
            lost.append((trial, victim == child.pid, faults))
    committed = application.finish()
    check_database(out / "data" / "default.sqlite3", committed)
    with sqlite3.connect(out / "data" / "default.sqlite3") as connection:
        assert connection.execute("select count(*) from Person7 where name like '% of trial 30'").fetchone() == (RECORDS,)
    assert wait_for_no_process(f".{out.name}.korvan-old") == []
    assert processes_naming(str(root)) == []
    print(f"\nseed {seed}: {TRIALS} trials, {killed} killed mid-build ({workers_killed} through a "
          f"worker), {replaced} left the new tree, {TRIALS - len(lost)} survived, {len(lost)} lost")
    assert lost == [], lost
