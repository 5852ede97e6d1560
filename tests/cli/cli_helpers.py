"""Helpers of the command's tests: small projects on disk and the installed command as a child process."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "library"
KORVAN_MODELS = Path(sys.executable).with_name("korvan-models")

AUTHOR = {
    "title": "Author",
    "type": "object",
    "properties": {"name": {"type": "string"}, "born": {"type": "number", "default": "1900"}},
    "required": ["name"],
}
BOOK = {
    "title": "Book",
    "type": "object",
    "properties": {
        "title": {"type": "string"},
        "author": {"type": "Author"},
        "genre": {"type": "string", "options_list_name": "genres"},
        "tags": {"type": "array", "items": {"type": "string"}},
    },
    "required": ["title"],
    "indexed": ["author"],
    "unique": [["title", "author"]],
}
GENRES = {"title": "genres", "values": [{"value": "fiction"}, {"value": "poetry"}]}


def write_json(path: Path, data: object) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(data, indent=4) + "\n", "utf-8")
    return path


def tree(folder: Path) -> dict[str, bytes]:
    """Every file under ``folder`` with its content."""
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def sources(folder: Path) -> dict[str, bytes]:
    """The files of a build output that a build writes the same every time: all but the databases."""
    return {name: data for name, data in tree(folder).items() if not name.startswith(("data/", ".korvan-build"))}


class Run:
    def __init__(self, status: int, out: str, err: str) -> None:
        self.status, self.out, self.err = status, out, err

    @property
    def lines(self) -> list[str]:
        return self.err.splitlines()


def run_process(*args: object, env: dict | None = None, cwd: Path | None = None) -> subprocess.CompletedProcess:
    """Runs the installed console script as a child process."""
    return subprocess.run(
        [str(KORVAN_MODELS), *map(str, args)], capture_output=True, text=True, env={**os.environ, **(env or {})},
        cwd=cwd, timeout=300,
    )


