"""The files of a project folder, each found by one walk and read at most once.

Nothing outside the project is read: an entry that is a link resolving outside the project
folder, or that is not a regular file (a FIFO, a socket, a device), is a problem and is never
opened.
"""

from __future__ import annotations

import os
import stat
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

from korvan_models.build_state import RACY_NS
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


class KnownBytes:
    """The bytes of project files an earlier walk in this process read (the watching build walks
    the project on every build), each with the state the file had when it was read: its size,
    change times and inode. A file whose state is the same now is not read again, but only when
    it had last changed well before it was read: a write since would have moved its change time
    (which no one can set back). A file changed just before it was read may change again within
    the same tick of a coarse file clock, keeping its times: it is read again each time."""

    # Larger files (fixture records, say) are read each time: the memory is not worth it.
    LARGEST = 1 << 18

    def __init__(self) -> None:
        self._known: dict[str, tuple[tuple[int, int, int, int], bytes]] = {}
        self._seen: set[str] = set()
        self.reused = 0

    @staticmethod
    def _state(info: os.stat_result) -> tuple[int, int, int, int]:
        return info.st_size, info.st_mtime_ns, info.st_ctime_ns, info.st_ino

    def get(self, path: str) -> bytes | None:
        """The bytes of a regular file as last read, when its state shows it unchanged since."""
        # By the absolute path: a build handed over to the watcher may spell the project's path otherwise.
        path = os.path.abspath(path)
        self._seen.add(path)
        kept = self._known.get(path)
        if kept is None:
            return None
        try:
            info = os.lstat(path)
        except OSError:
            return None
        if not stat.S_ISREG(info.st_mode) or self._state(info) != kept[0]:
            return None
        self.reused += 1
        return kept[1]

    def put(self, path: str, info: os.stat_result, began: int, data: bytes) -> None:
        """Keeps the bytes of a file read after ``began`` (nanoseconds), whose state ``info`` was
        taken on the open file before it was read."""
        path = os.path.abspath(path)
        if info.st_ctime_ns < began - RACY_NS and len(data) <= self.LARGEST:
            self._known[path] = (self._state(info), data)
        else:
            self._known.pop(path, None)

    def begin(self) -> None:
        self._seen.clear()
        self.reused = 0

    def end(self) -> None:
        """Lets go of the files this walk did not read."""
        for path in [path for path in self._known if path not in self._seen]:
            del self._known[path]


def _inside(path: str, root: str) -> bool:
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


class Walker:
    """Admits entries of the project: links must stay inside it, files must be regular files."""

    def __init__(self, root: Path, problems: list[Problem], known: KnownBytes | None = None) -> None:
        self.root = root
        self.real_root = os.path.realpath(root)
        self.problems = problems
        self.known = known

    def kind(self, path: Path, entry: os.DirEntry | None = None) -> str | None:
        """``"file"`` or ``"dir"`` for an entry that may be used, else None (a problem noted when it is one)."""
        if entry is not None and not entry.is_symlink():
            # The folder listing knows the kind of most entries without asking the file system again.
            if entry.is_dir(follow_symlinks=False):
                return "dir"
            if entry.is_file(follow_symlinks=False):
                return "file"
        try:
            info = os.lstat(entry.path if entry is not None else path)
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
        if self.known is not None:
            data = self.known.get(str(path))
            if data is not None:
                return data
            began = time.time_ns()
        try:
            descriptor = os.open(str(path), os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
        except OSError as error:
            self.problems.append(Problem(path, f"cannot be read: {error.strerror or error}"))
            return None
        try:
            info = os.fstat(descriptor)
            if not stat.S_ISREG(info.st_mode):
                self.problems.append(Problem(path, "is not a regular file (a FIFO, socket or device)"))
                return None
            # Read to the end, whatever the size said: the file may grow meanwhile.
            chunks = [os.read(descriptor, info.st_size + 1)]
            while chunks[-1]:
                chunks.append(os.read(descriptor, 1 << 16))
            data = b"".join(chunks)
            if self.known is not None:
                self.known.put(str(path), info, began, data)
            return data
        except OSError as error:
            self.problems.append(Problem(path, f"cannot be read: {error.strerror or error}"))
            return None
        finally:
            os.close(descriptor)

    def listing(self, folder: Path) -> dict[str, os.DirEntry]:
        """A folder's entries by name (nothing for a folder that cannot be listed)."""
        try:
            with os.scandir(folder) as found:
                return {entry.name: entry for entry in found}
        except OSError:
            return {}

    def entries(self, folder: Path, wanted: Callable[[str], bool] = lambda _name: True) -> list[tuple[str, Path, str]]:
        """(name, path, kind) of a folder's admitted entries that a build uses (``wanted``), by name."""
        listing = self.listing(folder)
        admitted = []
        for name in sorted(filter(wanted, listing)):
            path = folder / name
            kind = self.kind(path, listing[name])
            if kind is not None:
                admitted.append((name, path, kind))
        return admitted


def walk(root: Path, known: KnownBytes | None = None) -> ProjectFiles:
    """Every file of the project at ``root`` that a build reads or copies (``known``: the bytes an
    earlier walk of this process read, see ``KnownBytes``)."""
    models_dir = root / "models"
    files = ProjectFiles(root, models_dir)
    if known is not None:
        known.begin()
    walker = Walker(root, files.problems, known)
    for name, path, kind in walker.entries(models_dir):
        if kind != "dir":
            continue
        if name == OPTIONS_FOLDER:
            for _name, option_path, option_kind in walker.entries(path, lambda n: n.lower().endswith(".json")):
                if option_kind == "file":
                    data = walker.read(option_path)
                    if data is not None:
                        files.options.append((option_path, data))
            continue
        _walk_model(walker, files, path)
    static = root / STATIC_FOLDER
    if walker.kind(static) == "dir":
        files.copied += [p for _n, p, k in walker.entries(static) if k == "file"]
    if known is not None:
        known.end()
    return files


def _fixture_entry(name: str) -> bool:
    return name.endswith((".json", ".csv")) or name == FILES_FOLDER


def _walk_model(walker: Walker, files: ProjectFiles, folder: Path) -> None:
    """One model folder: its schema, custom code, fixture records and accompanying files."""
    listing = walker.listing(folder)
    if MODEL_JSON_FILE not in listing:
        return
    schema_path = folder / MODEL_JSON_FILE
    schema_kind = walker.kind(schema_path, listing[MODEL_JSON_FILE])
    if schema_kind == "dir":
        files.problems.append(Problem(schema_path, "is a folder, not a schema file"))
    data = walker.read(schema_path) if schema_kind == "file" else None
    if data is None:
        return
    files.schemas.append((schema_path, data))
    code = []
    for group in CUSTOM_CODE_GROUPS:
        if group not in listing or walker.kind(folder / group, listing[group]) != "dir":
            continue
        for _name, code_path, code_kind in walker.entries(folder / group, lambda n: n.lower().endswith(".py")):
            if code_kind == "file":
                content = walker.read(code_path)
                if content is not None:
                    code.append((group, code_path, content))
    if code:
        files.code[folder] = code
    if FIXTURES_FOLDER not in listing or walker.kind(folder / FIXTURES_FOLDER, listing[FIXTURES_FOLDER]) != "dir":
        return
    records = []
    for fixture_name, fixture_path, fixture_kind in walker.entries(folder / FIXTURES_FOLDER, _fixture_entry):
        if fixture_kind == "file" and fixture_name.endswith((".json", ".csv")):
            content = walker.read(fixture_path)
            if content is not None:
                records.append((fixture_path, content))
        elif fixture_name == FILES_FOLDER and fixture_kind == "dir":
            files.copied += [p for _n, p, k in walker.entries(fixture_path) if k == "file"]
    files.fixtures[folder] = records
