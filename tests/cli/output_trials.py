"""Whole-process helpers of the output tests: an application writing to the store, and processes left."""

from __future__ import annotations

import sqlite3
import subprocess
import sys
import time
from pathlib import Path

# Holds the default database open in WAL mode and commits one row at a time, printing each number
# once committed, until the stop file appears.
APPLICATION = """if True:
    import os, sqlite3, sys, time
    connection = sqlite3.connect(sys.argv[1], timeout=60, isolation_level=None)
    connection.execute("pragma journal_mode = wal")
    connection.execute("create table if not exists app_rows (n integer primary key)")
    print("ready", flush=True)
    number = 0
    while not os.path.exists(sys.argv[2]):
        number += 1
        connection.execute("insert into app_rows values (?)", (number,))
        print(number, flush=True)
        time.sleep(0.003)
"""


class Application:
    def __init__(self, out: Path) -> None:
        self.stop, self.log = out.parent / "app.stop", out.parent / "app.log"
        with open(self.log, "w") as log:
            self.process = subprocess.Popen([sys.executable, "-c", APPLICATION, out / "data" / "default.sqlite3",
                                             self.stop], stdout=log)
        while "ready" not in self.log.read_text():
            time.sleep(0.01)

    def committed(self) -> int:
        return max([int(line) for line in self.log.read_text().split() if line.isdigit()], default=0)

    def finish(self) -> int:
        self.stop.touch()
        assert self.process.wait(timeout=60) == 0
        return self.committed()


def check_database(path: Path, committed: int | None = None) -> None:
    """The database is sound and holds every row the application committed (where it wrote)."""
    with sqlite3.connect(path) as connection:
        assert connection.execute("pragma integrity_check").fetchall() == [("ok",)]
        if committed is not None:
            assert connection.execute("select count(*) from app_rows where n <= ?", (committed,)).fetchone()[0] == committed


def processes_naming(text: str, seconds: float = 20) -> list[int]:
    """Processes whose command line names ``text`` (a build's workers share their parent's), once
    ``seconds`` have passed or none is left."""
    deadline = time.monotonic() + seconds
    while True:
        found = []
        for entry in Path("/proc").glob("[0-9]*"):
            try:
                if text.encode() in (entry / "cmdline").read_bytes() and ") Z " not in (entry / "stat").read_text():
                    found.append(int(entry.name))
            except OSError:
                continue
        if not found or time.monotonic() > deadline:
            return found
        time.sleep(0.05)


def workers_of(pid: int) -> list[int]:
    try:
        return [int(child) for child in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except OSError:
        return []
