"""The files of a project folder, each found by one walk and read at most once.

Nothing outside the project is read: an entry that is a link resolving outside the project
folder, or that is not a regular file (a FIFO, a socket, a device), is a problem and is never
opened.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field
from pathlib import Path

from korvan_models.pipeline.problems import Problem

MODEL_JSON_FILE = "model.json"
OPTIONS_FOLDER = "options"
FIXTURES_FOLDER = "fixtures"
FILES_FOLDER = "files"
STATIC_FOLDER = "static"
CUSTOM_CODE_GROUPS = ("hooks", "modifiers", "properties")


@dataclass
class ProjectFiles:
    """What the walk found: the content of every file a build reads, and the files it only copies."""

    root: Path
    models_dir: Path
    schemas: list[tuple[Path, bytes]] = field(default_factory=list)
    options: list[tuple[Path, bytes]] = field(default_factory=list)
    # model folder -> (group, file, content) in the order the custom code is joined
    code: dict[Path, list[tuple[str, Path, bytes]]] = field(default_factory=dict)
    # model folder -> (record file, content)
    fixtures: dict[Path, list[tuple[Path, bytes]]] = field(default_factory=dict)
    copied: list[Path] = field(default_factory=list)
    problems: list[Problem] = field(default_factory=list)


def _inside(path: str, root: str) -> bool:
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


class Walker:
    """Admits entries of the project: links must stay inside it, files must be regular files."""

    def __init__(self, root: Path, problems: list[Problem]) -> None:
        self.root = root
        self.real_root = os.path.realpath(root)
        self.problems = problems

    def kind(self, path: Path) -> str | None:
        """``"file"`` or ``"dir"`` for an entry that may be used, else None (a problem noted when it is one)."""
        try:
            info = os.lstat(path)
        except OSError:
            return None
        if stat.S_ISLNK(info.st_mode):
            target = os.path.realpath(path)
            if not _inside(target, self.real_root):
                self.problems.append(Problem(path, f"is a link to {target}, outside the project; it was not read"))
                return None
            try:
                info = os.stat(path)
            except OSError:
                self.problems.append(Problem(path, "is a link to nothing"))
                return None
        if stat.S_ISDIR(info.st_mode):
            return "dir"
        if stat.S_ISREG(info.st_mode):
            return "file"
        self.problems.append(Problem(path, "is not a regular file (a FIFO, socket or device); it was not opened"))
        return None

    def read(self, path: Path) -> bytes | None:
        """The content of an admitted file; opened without blocking, checked again once open."""
        try:
            descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
        except OSError as error:
            self.problems.append(Problem(path, f"cannot be read: {error.strerror or error}"))
            return None
        with os.fdopen(descriptor, "rb") as handle:
            if not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):
                self.problems.append(Problem(path, "is not a regular file (a FIFO, socket or device)"))
                return None
            return handle.read()

    def entries(self, folder: Path) -> list[tuple[str, Path, str]]:
        """(name, path, kind) of a folder's admitted entries, by name."""
        try:
            names = sorted(os.listdir(folder))
        except OSError:
            return []
        found = []
        for name in names:
            path = folder / name
            kind = self.kind(path)
            if kind is not None:
                found.append((name, path, kind))
        return found


def walk(root: Path) -> ProjectFiles:
    """Every file of the project at ``root`` that a build reads or copies."""
    models_dir = root / "models"
    files = ProjectFiles(root, models_dir)
    walker = Walker(root, files.problems)
    for name, path, kind in walker.entries(models_dir):
        if kind != "dir":
            continue
        if name == OPTIONS_FOLDER:
            for option_name, option_path, option_kind in walker.entries(path):
                if option_kind == "file" and option_name.lower().endswith(".json"):
                    data = walker.read(option_path)
                    if data is not None:
                        files.options.append((option_path, data))
            continue
        schema_path = path / MODEL_JSON_FILE
        if not os.path.lexists(schema_path):
            continue
        schema_kind = walker.kind(schema_path)
        if schema_kind == "dir":
            files.problems.append(Problem(schema_path, "is a folder, not a schema file"))
        if schema_kind != "file":
            continue
        data = walker.read(schema_path)
        if data is None:
            continue
        files.schemas.append((schema_path, data))
        code = []
        for group in CUSTOM_CODE_GROUPS:
            if walker.kind(path / group) != "dir":
                continue
            for code_name, code_path, code_kind in walker.entries(path / group):
                if code_kind == "file" and code_name.lower().endswith(".py"):
                    content = walker.read(code_path)
                    if content is not None:
                        code.append((group, code_path, content))
        if code:
            files.code[path] = code
        fixtures = path / FIXTURES_FOLDER
        if walker.kind(fixtures) != "dir":
            continue
        records = []
        for fixture_name, fixture_path, fixture_kind in walker.entries(fixtures):
            if fixture_kind == "file" and fixture_name.endswith((".json", ".csv")):
                content = walker.read(fixture_path)
                if content is not None:
                    records.append((fixture_path, content))
            elif fixture_name == FILES_FOLDER and fixture_kind == "dir":
                files.copied += [p for _n, p, k in walker.entries(fixture_path) if k == "file"]
        files.fixtures[path] = records
    static = root / STATIC_FOLDER
    if walker.kind(static) == "dir":
        files.copied += [p for _n, p, k in walker.entries(static) if k == "file"]
    return files
