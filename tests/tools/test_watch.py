"""The watching build in a child process: it follows edits, survives mistakes and ends on Ctrl-C."""

from __future__ import annotations

import copy
import os
import queue
import signal
import subprocess
import threading
import time

import pytest
from cli_helpers import BOOK, KORVAN_MODELS, sources, write_json

pytestmark = pytest.mark.slow


class Watcher:
    """The command as a child process, its merged output read line by line on a thread."""

    def __init__(self, *args: object) -> None:
        self.process = subprocess.Popen(
            [str(KORVAN_MODELS), *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            env={**os.environ, "PYTHONUNBUFFERED": "1"},
        )
        self.lines: queue.Queue[str] = queue.Queue()
        self.seen: list[str] = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_for(self, start: str, timeout: float = 60) -> list[str]:
        """The lines printed up to and including the first that starts with ``start``."""
        got, deadline = [], time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError(f"no line starting {start!r} after {got + self.seen}") from None
            got.append(line)
            if line.startswith(start):
                self.seen += got
                return got

    def quiet_for(self, seconds: float) -> list[str]:
        """The lines printed within ``seconds``."""
        time.sleep(seconds)
        got = []
        while not self.lines.empty():
            got.append(self.lines.get())
        return got


def save(project, book) -> None:
    write_json(project / "models" / "book" / "model.json", book)


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=["Ctrl-C", "terminate"])
def test_the_watch_follows_edits_survives_mistakes_and_stops_cleanly(project, tmp_path, stop):
    out = tmp_path / "out"
    watcher = Watcher("build", project, "--out", out, "--watch")
    try:
        assert watcher.wait_for("built in")[-1].endswith("generated 2, reused 0")
        watcher.wait_for("watching")
        book = copy.deepcopy(BOOK)
        book["properties"]["pages"] = {"type": "number"}
        save(project, book)
        line = watcher.wait_for("rebuilt")[-1]
        assert "models/book/model.json" in line and line.endswith("generated 1, reused 1")
        assert "pages" in (out / "models" / "book.py").read_text("utf-8")

        good = sources(out)
        book["properties"]["pages"]["type"] = "numbr"
        save(project, book)
        lines = watcher.wait_for("rebuild failed")
        assert any("Book.pages: type 'numbr'" in line for line in lines), lines
        assert sources(out) == good

        book["properties"]["pages"]["type"] = "string"
        save(project, book)
        watcher.wait_for("rebuilt")
        assert "pages: Optional[str]" in (out / "models" / "book.py").read_text("utf-8")

        # Saves in quick succession, and a file the build does not read, make one rebuild.
        for number in range(5):
            book["properties"] = {**book["properties"], f"note_{number}": {"type": "string"}}
            save(project, book)
            time.sleep(0.03)
        (project / "models" / "book" / "model.json.swp").write_text("x", "utf-8")
        watcher.wait_for("rebuilt")
        assert not [line for line in watcher.quiet_for(3) if line.startswith("rebuil")]
        assert "note_4: Optional[str]" in (out / "models" / "book.py").read_text("utf-8")

        watcher.process.send_signal(stop)
        assert watcher.process.wait(timeout=30) == 0
        rest = watcher.quiet_for(0.5)
        assert any(line.startswith("stopped watching") for line in rest)
        assert not any("Traceback" in line for line in watcher.seen + rest)
    finally:
        if watcher.process.poll() is None:
            watcher.process.kill()
            watcher.process.wait()
