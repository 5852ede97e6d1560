"""The watching build in a child process: it follows edits, survives mistakes and ends on a signal."""

from __future__ import annotations

import copy
import signal
import subprocess
import threading
import time

import pytest
from cli_helpers import BOOK, KORVAN_MODELS, sources, write_json

pytestmark = pytest.mark.slow


def wait_for(lines: list[str], start: str, seen: int, timeout: float = 60) -> int:
    """How many lines there are once one after the first ``seen`` starts with ``start``."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = next((i for i in range(seen, len(lines)) if lines[i].startswith(start)), None)
        if found is not None:
            return found + 1
        time.sleep(0.05)
    raise AssertionError(f"no line starting {start!r} in {lines[seen:]}")


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=["Ctrl-C", "terminate"])
def test_the_watch_follows_edits_survives_mistakes_and_stops_cleanly(project, tmp_path, stop):
    out, path, book = tmp_path / "out", project / "models" / "book" / "model.json", copy.deepcopy(BOOK)
    child = subprocess.Popen([KORVAN_MODELS, "build", project, "--out", out, "--watch"], text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    lines: list[str] = []
    threading.Thread(target=lambda: lines.extend(line.rstrip("\n") for line in child.stdout), daemon=True).start()
    try:
        seen = wait_for(lines, "watching", wait_for(lines, "built in", 0))
        assert lines[seen - 2].endswith("generated 2, reused 0")
        book["properties"]["pages"] = {"type": "number"}
        write_json(path, book)
        seen = wait_for(lines, "rebuilt", seen)
        assert "models/book/model.json" in lines[seen - 1] and lines[seen - 1].endswith("generated 1, reused 1")
        assert "pages: Optional[float]" in (out / "models" / "book.py").read_text("utf-8")

        good = sources(out)
        book["properties"]["pages"]["type"] = "numbr"
        write_json(path, book)
        failed = wait_for(lines, "rebuild failed", seen)
        assert any("Book.pages: type 'numbr'" in line for line in lines[seen:failed]) and sources(out) == good

        # A fix rebuilds; saves in quick succession and a file the build does not read make one rebuild.
        book["properties"]["pages"]["type"] = "number"
        for number in range(5):
            book["properties"] = {**book["properties"], f"note_{number}": {"type": "string"}}
            write_json(path, book)
            time.sleep(0.03)
        path.with_name("model.json.swp").write_text("x", "utf-8")
        seen = wait_for(lines, "rebuilt", failed)
        time.sleep(3)
        assert "note_4: Optional[str]" in (out / "models" / "book.py").read_text("utf-8")
        assert not [line for line in lines[seen:] if line.startswith("rebuil")]

        child.send_signal(stop)
        assert child.wait(timeout=30) == 0
        wait_for(lines, "stopped watching", seen, timeout=5)
        assert not any("Traceback" in line for line in lines)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
