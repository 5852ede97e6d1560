"""Safe output: a build is written beside the output folder and moved into place when complete.

The output folder holds a manifest of the files the build wrote. A later build deletes only
those; every other file in the folder is carried over unchanged, and reported as kept.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import secrets
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from korvan_models.pipeline.problems import Problem, ProjectError

MANIFEST = ".korvan-build.json"
MANIFEST_VERSION = 1


def digest(data: bytes) -> str:
    """The SHA-256 of some bytes, in hexadecimal."""
    return hashlib.sha256(data).hexdigest()


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


class Output:
    """The output folder of a build and the staging folder beside it."""

    def __init__(self, target: Path) -> None:
        self.target = Path(os.path.abspath(target))
        self.staging: Path | None = None
        self._written: dict[str, str] = {}
        self._recover()
        self.manifest = self._read_manifest()

    # -- what the previous build left -------------------------------------------------------------

    def _leftover(self, kind: str) -> re.Pattern:
        return re.compile(re.escape(f".{self.target.name}.korvan-{kind}-") + r"(\d+)-")

    def _recover(self) -> None:
        """Puts back an output folder a killed build had moved aside, and clears dead builds' folders."""
        parent = self.target.parent
        if not parent.is_dir():
            return
        for entry in parent.iterdir():
            for kind in ("old", "tmp"):
                match = self._leftover(kind).match(entry.name)
                if not match or _pid_alive(int(match[1])):
                    continue
                if kind == "old" and not self.target.exists():
                    entry.rename(self.target)
                else:
                    shutil.rmtree(entry, ignore_errors=True)

    def _read_manifest(self) -> dict:
        try:
            manifest = json.loads((self.target / MANIFEST).read_text("utf-8"))
        except (OSError, ValueError):
            return {"version": MANIFEST_VERSION, "files": {}, "models": {}}
        if not isinstance(manifest, dict) or manifest.get("version") != MANIFEST_VERSION:
            return {"version": MANIFEST_VERSION, "files": {}, "models": {}}
        return manifest

    def previous_texts(self) -> dict[str, str]:
        """Texts of the previous build's model modules by key, where the file is still as written."""
        texts = {}
        for entry in self.manifest.get("models", {}).values():
            path = self.target / entry["file"]
            try:
                data = path.read_bytes()
            except OSError:
                continue
            if digest(data) == self.manifest["files"].get(entry["file"]):
                texts[entry["key"]] = data.decode("utf-8")
        return texts

    def previous_file(self, relative: str) -> Path | None:
        """A file the previous build wrote, if it is still there."""
        path = self.target / relative
        return path if relative in self.manifest.get("files", {}) and path.is_file() else None

    # -- writing ------------------------------------------------------------------------------------

    def open(self) -> Path:
        """Creates the staging folder beside the output folder."""
        self.target.parent.mkdir(parents=True, exist_ok=True)
        prefix = f".{self.target.name}.korvan-tmp-{os.getpid()}-"
        self.staging = Path(tempfile.mkdtemp(prefix=prefix, dir=self.target.parent))
        return self.staging

    def write(self, relative: str, data: str | bytes) -> None:
        """Writes one file of the build into the staging folder (linked from the output if unchanged)."""
        raw = data.encode("utf-8") if isinstance(data, str) else data
        path = self.staging / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        self._written[relative] = digest(raw)
        if self.manifest["files"].get(relative) == self._written[relative]:
            try:
                os.link(self.target / relative, path)
                if path.stat().st_size == len(raw):
                    return
                path.unlink()
            except OSError:
                pass
        path.write_bytes(raw)

    def copy(self, relative: str, source: Path) -> None:
        """Copies a file into the staging folder as one file of the build."""
        path = self.staging / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, path)
        self._written[relative] = digest(path.read_bytes())

    def adopt(self, relative: str) -> None:
        """Counts a file already written into the staging folder (e.g. a database) as the build's."""
        self._written[relative] = digest((self.staging / relative).read_bytes())

    def _others(self) -> list[str]:
        """Files and empty folders in the output folder that no build wrote."""
        ours = set(self.manifest.get("files", {})) | {MANIFEST}
        others = []
        if not self.target.is_dir():
            return others
        for folder, dirs, files in os.walk(self.target):
            relative_folder = Path(folder).relative_to(self.target)
            for name in files:
                relative = (relative_folder / name).as_posix()
                if relative not in ours:
                    others.append(relative)
            if not dirs and not files and relative_folder != Path("."):
                others.append(relative_folder.as_posix() + "/")
        return sorted(others)

    def commit(self, models: dict[str, dict]) -> list[str]:
        """Moves the finished build into place; returns the files kept from the old folder."""
        if self.target.exists() and not self.target.is_dir():
            raise ProjectError([Problem(self.target, "the output exists and is not a folder")])
        kept = self._others()
        clashes = [name for name in kept if name in self._written]
        if clashes:
            raise ProjectError(
                [Problem(self.target / name, "exists and was not written by a build; move it away or use another --out")
                 for name in clashes]
            )
        for relative in kept:
            source, destination = self.target / relative, self.staging / relative
            if relative.endswith("/"):
                destination.mkdir(parents=True, exist_ok=True)
                continue
            destination.parent.mkdir(parents=True, exist_ok=True)
            try:
                os.link(source, destination, follow_symlinks=False)
            except OSError:
                shutil.copy2(source, destination, follow_symlinks=False)
        manifest = {"version": MANIFEST_VERSION, "files": dict(sorted(self._written.items())), "models": models}
        (self.staging / MANIFEST).write_text(json.dumps(manifest, indent=1) + "\n", "utf-8")
        os.chmod(self.staging, 0o777 & ~_umask())
        if self.target.exists():
            aside = self.target.parent / f".{self.target.name}.korvan-old-{os.getpid()}-{secrets.token_hex(4)}"
            self.target.rename(aside)
            self.staging.rename(self.target)
            remove_later(aside)
        else:
            self.staging.rename(self.target)
        self.staging = None
        return kept

    def discard(self) -> None:
        """Removes the staging folder; the output folder stays as it was."""
        if self.staging is not None:
            shutil.rmtree(self.staging, ignore_errors=True)
            self.staging = None


def remove_later(folder: Path) -> None:
    """Removes a folder in a process of its own, so the build need not wait for it.

    Should that process not finish, the next build removes the folder (its name holds this
    process's id, which is then gone).
    """
    try:
        subprocess.Popen(
            [sys.executable, "-c", "import shutil, sys; shutil.rmtree(sys.argv[1], ignore_errors=True)", str(folder)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
        )
    except OSError:
        shutil.rmtree(folder, ignore_errors=True)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
