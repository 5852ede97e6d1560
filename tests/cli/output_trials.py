"""Whole-process helpers of the output tests: an application writing to the store meanwhile, and
the processes a build leaves behind."""

from __future__ import annotations

import json
import os
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

from cli_helpers import AUTHOR, write_json

# An application: holds the default database open in WAL mode and commits one row at a time,
# printing each number once committed, until the stop file appears.
APPLICATION = """
import os, sqlite3, sys, time
database, stop = sys.argv[1], sys.argv[2]
connection = sqlite3.connect(database, timeout=60, isolation_level=None)
connection.execute("pragma journal_mode = wal")
connection.execute("create table if not exists app_rows (n integer primary key)")
number = connection.execute("select coalesce(max(n), 0) from app_rows").fetchone()[0]
print("ready", flush=True)
while not os.path.exists(stop):
    number += 1
    connection.execute("begin immediate")
    connection.execute("insert into app_rows values (?)", (number,))
    connection.execute("commit")
    print(number, flush=True)
    time.sleep(0.003)
"""


class Application:
    """The application process, writing into ``out``'s default database."""

    def __init__(self, out: Path, folder: Path) -> None:
        self.stop, self.log = folder / "app.stop", folder / "app.log"
        self.stop.unlink(missing_ok=True)
        with open(self.log, "w") as log:
            self.process = subprocess.Popen([sys.executable, "-c", APPLICATION, str(out / "data" / "default.sqlite3"),
                                             str(self.stop)], stdout=log)
        deadline = time.monotonic() + 60
        while "ready" not in self.log.read_text() and time.monotonic() < deadline:
            time.sleep(0.01)

    def committed(self) -> int:
        """The last number the application saw committed."""
        numbers = [int(line) for line in self.log.read_text().split() if line.isdigit()]
        return numbers[-1] if numbers else 0

    def finish(self) -> int:
        self.stop.touch()
        assert self.process.wait(timeout=60) == 0
        return self.committed()


def check_database(path: Path, committed: int | None) -> None:
    """The database is sound and holds every row the application committed (if it wrote there)."""
    with sqlite3.connect(path) as connection:
        assert connection.execute("pragma integrity_check").fetchall() == [("ok",)]
        if committed is None:
            return
        stored = {row[0] for row in connection.execute("select n from app_rows")}
    assert set(range(1, committed + 1)) <= stored


def people(root: Path, count: int, records: int = 20, tag: str = "") -> None:
    """A project of ``count`` models with ``records`` fixture records each."""
    for number in range(count):
        write_json(root / "models" / f"person{number}" / "model.json", {**AUTHOR, "title": f"Person{number}"})
        write_json(root / "models" / f"person{number}" / "fixtures" / "people.json",
                   [{"_external_id": f"p{number}-{n}", "name": f"P{n}{tag}"} for n in range(records)])


def processes_naming(text: str) -> list[int]:
    """Processes whose command line names ``text`` (a build's workers share their parent's)."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit() and int(entry.name) != os.getpid():
            try:
                if text.encode() in (entry / "cmdline").read_bytes():
                    if (entry / "stat").read_text().split(")")[-1].split()[0] != "Z":
                        found.append(int(entry.name))
            except OSError:
                continue
    return found


def workers_of(pid: int) -> list[int]:
    """The child processes of a process."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as handle:
            return [int(child) for child in handle.read().split()]
    except OSError:
        return []


def wait_for_no_process(text: str, seconds: float = 20) -> list[int]:
    deadline = time.monotonic() + seconds
    while (left := processes_naming(text)) and time.monotonic() < deadline:
        time.sleep(0.05)
    return left


def manifest_matches(out: Path) -> bool:
    """Every file the output's manifest lists is on disk with the digest it records."""
    import hashlib

    manifest = json.loads((out / ".korvan-build.json").read_text("utf-8"))
    return all(
        (out / name).is_file() and hashlib.sha256((out / name).read_bytes()).hexdigest() == value
        for name, value in manifest["files"].items()
    )
