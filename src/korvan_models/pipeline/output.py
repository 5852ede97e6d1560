"""Safe output: a build is written beside the output folder and exchanged with it when complete.

The output folder holds a manifest of the files the build wrote, with their SHA-256. A later
build replaces or removes only those, and only while they are still as written; every other
file, link and folder in the output is carried over unchanged and reported as kept.

The databases are state, not build output: they live in a folder beside the output
(``.OUT.korvan-data``) that no build copies, moves or exchanges, and every tree holds ``data``
as a relative link to it. A lock file beside the output (``.OUT.korvan-lock``) lets one build
at a time work on it.
"""

from __future__ import annotations

import ctypes
import errno
import fcntl
import hashlib
import json
import os
import re
import secrets
import shutil
import stat
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

from korvan_models.build_state import (
    DATA_LINK,
    MANIFEST,
    current_umask,
    file_digest,
    valid_manifest,
)
from korvan_models.errors import signals_held
from korvan_models.pipeline.problems import Problem, ProjectError

MANIFEST_VERSION = 2
# The highest process id a leftover's name may hold (Linux's own limit is 2**22).
_PID_MAX = 2**31 - 1


class WriteFault(Exception):
    """A fault of the machine (a full disk, a file-size limit, a permission) while writing: not a
    mistake of the project. The message names what was being written and the system's error."""

    def __init__(self, what: object, error: OSError) -> None:
        super().__init__(f"cannot write {what}: {error.strerror or error}")
        self.error = error


class OutputBusy(Exception):
    """Another build holds the output's lock and the caller chose not to wait."""


def digest(data: bytes) -> str:
    """The SHA-256 of some bytes, in hexadecimal."""
    return hashlib.sha256(data).hexdigest()


# -- exchanging two folders -------------------------------------------------------------------------

_RENAME_EXCHANGE = 2
_AT_FDCWD = -100
_renameat2 = None
if sys.platform.startswith("linux"):
    try:
        _renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
        _renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
        _renameat2.restype = ctypes.c_int
    except AttributeError:  # a C library older than the call
        _renameat2 = None


def exchange(first: Path, second: Path) -> bool:
    """Swaps two paths atomically: each name then holds what the other did, with no moment in between.

    Returns ``False`` where the system cannot do that (not Linux, or a file system without the
    operation); the caller then falls back to two renames.
    """
    if _renameat2 is None:
        return False
    if _renameat2(_AT_FDCWD, os.fsencode(first), _AT_FDCWD, os.fsencode(second), _RENAME_EXCHANGE) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.ENOTSUP):
        return False
    raise OSError(code, os.strerror(code), str(first), None, str(second))


# -- one build at a time ----------------------------------------------------------------------------


def output_path(target: Path) -> Path:
    """The absolute path of an output folder; a link to a folder stands for the folder it names
    (the link stays, and the build goes where it points)."""
    path = Path(os.path.abspath(target))
    return Path(os.path.realpath(path)) if path.is_symlink() else path


class OutputLock:
    """An exclusive lock on a file beside the output folder, held for the whole build.

    The lock file stays (removing it would let two builds lock two different files); it holds
    the process id of the build that last took it.
    """

    def __init__(self, target: Path, wait: bool = True, say: Callable[[str], None] = lambda _text: None) -> None:
        self.path = target.parent / f".{target.name}.korvan-lock"
        target.parent.mkdir(parents=True, exist_ok=True)
        try:
            self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        except OSError as error:
            raise WriteFault(self.path, error) from error
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = self._holder()
            if not wait:
                os.close(self.fd)
                raise OutputBusy(f"{target}: another build{holder} is writing this output folder; "
                                 "try again when it has finished") from None
            say(f"waiting for another build{holder} of {target} to finish")
            try:
                fcntl.flock(self.fd, fcntl.LOCK_EX)
            except BaseException:
                os.close(self.fd)
                raise
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, f"{os.getpid()}\n".encode(), 0)

    def _holder(self) -> str:
        try:
            text = os.pread(self.fd, 32, 0).decode("ascii").strip()
        except (OSError, UnicodeDecodeError):
            return ""
        return f" (process {text})" if text.isdigit() else ""

    def release(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


# -- the output folder ------------------------------------------------------------------------------


def _read_manifest_file(path: Path) -> tuple[dict | None, bool]:
    """A folder's manifest and whether the file is there at all."""
    try:
        text = path.read_bytes()
    except FileNotFoundError:
        return None, False
    except OSError:
        return None, True
    try:
        manifest = json.loads(text)
    except ValueError:
        return None, True
    return (manifest if valid_manifest(manifest) else None), True


def _texts_as_written(folder: Path, manifest: dict) -> dict[str, str]:
    """The model module texts of ``folder`` by key, each read once and taken only where its bytes
    are those the manifest records for it: a text is never paired with another model's key, even
    while another build exchanges the folder."""
    texts = {}
    files = manifest.get("files", {})
    root = os.fspath(folder)
    for entry in manifest.get("models", {}).values():
        if not isinstance(entry, dict) or "key" not in entry or not isinstance(entry.get("file"), str):
            continue
        path = os.path.join(root, entry["file"])
        try:
            if not stat.S_ISREG(os.lstat(path).st_mode):
                continue
            with open(path, "rb") as handle:
                data = handle.read()
            if files.get(entry["file"]) == digest(data):
                texts[entry["key"]] = data.decode("utf-8")
        except (OSError, UnicodeDecodeError):
            continue
    return texts


def earlier_texts(target: Path) -> dict[str, str]:
    """The model module texts an earlier build left in ``target``, by key (read without its lock:
    each text is checked against the manifest read with it)."""
    folder = output_path(target)
    manifest, _present = _read_manifest_file(folder / MANIFEST)
    return _texts_as_written(folder, manifest) if manifest is not None else {}


def _folder_prefix(folder: str, root: str) -> str:
    """A folder of a walk of ``root``, relative to it with a slash after it ("" for ``root`` itself)."""
    return "" if folder == root else os.path.relpath(folder, root).replace(os.sep, "/") + "/"


class Output:
    """The output folder of a build and the staging folder beside it."""

    def __init__(self, target: Path) -> None:
        self.target = output_path(target)
        # The same paths as text, for the loops over every file of a build.
        self._root = os.fspath(self.target)
        self.staging: Path | None = None
        self._staging_root = ""
        self.warnings: list[str] = []
        self.replaced = False
        # Files whose edits the build reads back and keeps (or refuses itself), not hand edits to refuse.
        self.merged: set[str] = set()
        self._written: dict[str, str] = {}
        # The digest of the fixtures this build stored (or found stored), recorded in the manifest.
        self.stored: str | None = None
        self._digests: dict[str, str | None] = {}
        # Folders made in the staging folder so far (relative), each made once.
        self._folders: set[str] = set()
        self._recover()
        self.manifest = self._read_manifest()

    @property
    def data_home(self) -> Path:
        """Where the databases live: beside the output, never inside a tree the build exchanges."""
        return self.target.parent / f".{self.target.name}.korvan-data"

    # -- what the previous build left -------------------------------------------------------------

    def _recover(self) -> None:
        """Puts back an output folder an older, killed build had moved aside, and removes the staging
        and old folders of builds that are gone; a folder it cannot tell for its own stays, named."""
        parent = self.target.parent
        if not parent.is_dir():
            return
        prefix = f".{self.target.name}.korvan-"
        ours = re.compile(re.escape(prefix) + r"(tmp|old)-([0-9]{1,10})-[0-9A-Za-z_]{1,64}")
        for entry in sorted(parent.iterdir()):
            if not entry.name.startswith(prefix) or entry.name in (self.data_home.name, f"{prefix}lock",
                                                                   f"{prefix}state", f"{prefix}watch"):
                continue
            match = ours.fullmatch(entry.name)
            if match is None or int(match[2]) > _PID_MAX or not entry.is_dir() or entry.is_symlink():
                self.warnings.append(f"{entry}: left in place: not a folder a build of {self.target} made")
                continue
            # Under the lock no other build of this output runs: whatever process id the name holds,
            # the folder is a finished or dead build's.
            manifest, present = _read_manifest_file(entry / MANIFEST)
            if match[1] == "old" and not self.target.exists() and (manifest is not None or not present):
                # An older build moved the output aside and died before putting the new one in place.
                entry.rename(self.target)
                continue
            if manifest is None and not present and _emptied(entry):
                # The last step of a finished build's removal, under way in a process of its own.
                try:
                    entry.rmdir()
                except OSError:
                    pass
                continue
            if manifest is None:
                what = "a manifest no build writes" if present else "no build manifest"
                self.warnings.append(f"{entry}: left in place: it holds {what}")
                continue
            _remove_tree(entry)

    def _read_manifest(self) -> dict:
        manifest, present = _read_manifest_file(self.target / MANIFEST)
        if manifest is None:
            if present:
                raise ProjectError([Problem(self.target / MANIFEST,
                                            "is not a manifest this build writes; move it away or use another --out")])
            return {"version": MANIFEST_VERSION, "files": {}, "models": {}}
        # Databases are no longer build output: earlier manifests listed them.
        manifest["files"] = {name: value for name, value in manifest["files"].items()
                             if not name.startswith(DATA_LINK + "/")}
        return manifest

    def _current_digest(self, relative: str) -> str | None:
        if relative not in self._digests:
            self._digests[relative] = file_digest(os.path.join(self._root, relative))
        return self._digests[relative]

    def _unchanged(self, relative: str) -> bool:
        """Whether a file the previous build wrote is still byte for byte as written."""
        recorded = self.manifest["files"].get(relative)
        return recorded is not None and self._current_digest(relative) == recorded

    def previous_texts(self) -> dict[str, str]:
        """Texts of the previous build's model modules by key, where the file is still as written."""
        return _texts_as_written(self.target, self.manifest)

    # -- writing ------------------------------------------------------------------------------------

    def open(self) -> Path:
        """Creates the staging folder beside the output folder, with its link to the databases."""
        self.target.parent.mkdir(parents=True, exist_ok=True)
        if self.target.is_dir() and not os.stat(self.target).st_mode & stat.S_IWUSR:
            raise ProjectError([Problem(self.target, "the output folder is read-only; make it writable "
                                        "(chmod u+w) or use another --out")])
        prefix = f".{self.target.name}.korvan-tmp-{os.getpid()}-"
        self.staging = Path(tempfile.mkdtemp(prefix=prefix, dir=self.target.parent))
        self._staging_root = os.fspath(self.staging)
        self._folders.clear()
        self._write_manifest(self.staging, {})
        os.symlink(self._data_link(), self.staging / DATA_LINK)
        return self.staging

    def _data_link(self) -> str:
        """What the trees' ``data`` link points to; an output whose ``data`` is a real folder has that
        folder moved beside it once (by exchange, so its path never names nothing)."""
        current = self.target / DATA_LINK
        home = os.path.join("..", self.data_home.name)
        if current.is_symlink():
            link = os.readlink(current)
            if link == home:
                self.data_home.mkdir(exist_ok=True)
            return link
        if not current.is_dir():
            self.data_home.mkdir(exist_ok=True)
            return home
        if self.data_home.exists():
            raise ProjectError([Problem(current, f"is a folder and {self.data_home} exists as well; "
                                        "keep the databases of one of them and remove the other")])
        placeholder = self.target / f".korvan-data-link-{secrets.token_hex(4)}"
        os.symlink(home, placeholder)
        try:
            if exchange(current, placeholder):
                try:
                    placeholder.rename(self.data_home)
                except OSError:
                    exchange(current, placeholder)  # the folder goes back where it was
                    raise
            else:
                current.rename(self.data_home)
                placeholder.rename(current)
        finally:
            if placeholder.is_symlink():
                placeholder.unlink()
        return home

    def _staged(self, relative: str) -> str:
        path = os.path.join(self._staging_root, relative)
        folder = os.path.dirname(relative)
        if folder not in self._folders:
            try:
                os.makedirs(os.path.dirname(path), exist_ok=True)
            except OSError as error:
                raise WriteFault(self.target / relative, error) from error
            self._folders.add(folder)
        return path

    def write(self, relative: str, data: str | bytes) -> None:
        """Writes one file of the build into the staging folder (linked from the output if unchanged)."""
        raw = data.encode("utf-8") if isinstance(data, str) else data
        path = self._staged(relative)
        self._written[relative] = digest(raw)
        if self.manifest["files"].get(relative) == self._written[relative] and self._unchanged(relative):
            try:
                os.link(os.path.join(self._root, relative), path, follow_symlinks=False)
                return
            except OSError:
                pass
        try:
            with open(path, "wb") as handle:
                handle.write(raw)
        except OSError as error:
            raise WriteFault(self.target / relative, error) from error

    def written(self, *relatives: str) -> dict[str, str]:
        """What ``adopt`` takes: the files of ``relatives`` this object wrote, with their digests."""
        return {relative: self._written[relative] for relative in relatives}

    def adopt(self, written: dict[str, str]) -> None:
        """Counts as written the files that a process of this build forked from this one wrote into
        the staging folder (``written`` there gave them)."""
        self._written.update(written)

    def copy(self, relative: str, source: Path) -> None:
        """Copies a file into the staging folder as one file of the build."""
        path = self._staged(relative)
        with open(source, "rb") as reading:
            try:
                with open(path, "wb") as writing:
                    shutil.copyfileobj(reading, writing, 1 << 20)
            except OSError as error:
                raise WriteFault(self.target / relative, error) from error
        self._written[relative] = file_digest(path)

    def _others(self) -> list[str]:
        """Files, links and empty folders in the output folder that no build wrote."""
        ours = set(self.manifest.get("files", {})) | {MANIFEST}
        others = []
        if not self.target.is_dir():
            return others
        root = self._root
        for folder, dirs, files in os.walk(root):
            prefix = _folder_prefix(folder, root)
            if not prefix:
                for name in (DATA_LINK,):
                    if name in dirs:
                        dirs.remove(name)
                    if name in files:
                        files.remove(name)
            links = [name for name in dirs if os.path.islink(os.path.join(folder, name))]
            dirs[:] = [name for name in dirs if name not in links]
            for name in files + links:
                relative = prefix + name
                if relative not in ours:
                    others.append(relative)
            if not dirs and not files and not links and prefix:
                others.append(prefix)
        return sorted(others)

    def _edited(self) -> list[str]:
        """Files the previous build wrote that were changed since, and that this build would replace or remove."""
        edited = []
        for relative, recorded in self.manifest.get("files", {}).items():
            if relative in self.merged:
                continue
            current = self._current_digest(relative)
            if current is None and not os.path.lexists(os.path.join(self._root, relative)):
                continue
            if current != recorded:
                edited.append(relative)
        return edited

    def _refusals(self, names, others: list[str]) -> list[Problem]:
        problems = [Problem(self.target / name, "was changed since the last build wrote it; move your copy "
                            "away (the build writes it again) or undo the change")
                    for name in self._edited()]
        problems += [Problem(self.target / name, "exists and was not written by a build; move it away or use another --out")
                     for name in sorted(set(others).intersection(names))]
        return problems

    def check(self, names: list[str]) -> None:
        """Refuses the build early, before any database is touched, where the files it will write
        (those of ``names`` known so far) would replace files of the user's."""
        problems = self._refusals(names, self._others())
        if problems:
            raise ProjectError(problems)

    def prepare(self, models: dict[str, dict]) -> list[str]:
        """Carries the output's other files into the staging folder and writes the manifest; returns
        the files kept. Refuses, writing nothing, where a file of the user's would be replaced."""
        if self.target.exists() and not self.target.is_dir():
            raise ProjectError([Problem(self.target, "the output exists and is not a folder")])
        kept = self._others()
        problems = self._refusals(self._written, kept)
        if problems:
            raise ProjectError(problems)
        for relative in kept:
            self._carry(relative)
        self._write_manifest(self.staging, models)
        os.chmod(self.staging, 0o777 & ~current_umask())
        return kept

    def _carry(self, relative: str) -> None:
        source, destination = self.target / relative, self.staging / relative.rstrip("/")
        try:
            if relative.endswith("/"):
                destination.mkdir(parents=True, exist_ok=True)
                return
            destination.parent.mkdir(parents=True, exist_ok=True)
            if source.is_symlink():
                os.symlink(os.readlink(source), destination)
                return
            try:
                os.link(source, destination, follow_symlinks=False)
            except OSError:
                shutil.copy2(source, destination, follow_symlinks=False)
        except OSError as error:
            raise WriteFault(destination, error) from error

    def _write_manifest(self, folder: Path, models: dict[str, dict]) -> None:
        manifest = {"version": MANIFEST_VERSION, "files": dict(sorted(self._written.items())), "models": models}
        if models and self.stored is not None:
            manifest["stored"] = self.stored
        try:
            (folder / MANIFEST).write_text(json.dumps(manifest, indent=1) + "\n", "utf-8")
        except OSError as error:
            raise WriteFault(self.target / MANIFEST, error) from error

    def commit(self) -> None:
        """Puts the prepared build in place of the output folder: the two are exchanged in one step."""
        try:
            self._commit()
        except OSError as error:
            raise WriteFault(self.target, error) from error

    def _commit(self) -> None:
        staging = self.staging
        if not self.target.exists():
            with signals_held():
                staging.rename(self.target)
                self.staging, self.replaced = None, True
            return
        aside = self.target.parent / f".{self.target.name}.korvan-old-{os.getpid()}-{secrets.token_hex(4)}"
        with signals_held():
            if exchange(self.target, staging):
                self.staging, self.replaced = None, True
                try:
                    staging.rename(aside)
                except OSError:
                    aside = staging
            else:
                # Without an atomic exchange there is a moment between these renames without the
                # output; a build that dies there finds the old folder and puts it back.
                self.target.rename(aside)
                staging.rename(self.target)
                self.staging, self.replaced = None, True
        self._rescue(aside)
        if not (aside / MANIFEST).exists():
            # The output was the user's folder before the first build: mark the old tree as the
            # build's own, so that a later build may remove it should this one not finish that.
            try:
                self._write_manifest(aside, {})
            except WriteFault:
                pass
        remove_later(aside)

    def _rescue(self, aside: Path) -> None:
        """Moves into the new output what appeared in the old one after its files were carried over
        (a file saved there meanwhile), so that removing the old tree takes only what a build wrote."""
        ours = set(self.manifest.get("files", {})) | {MANIFEST, DATA_LINK}
        root = os.fspath(aside)
        for folder, dirs, files in os.walk(root):
            prefix = _folder_prefix(folder, root)
            for name in files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
                relative = prefix + name
                if relative in ours or os.path.lexists(os.path.join(self._root, relative)):
                    continue
                try:
                    (self.target / relative).parent.mkdir(parents=True, exist_ok=True)
                    os.rename(os.path.join(folder, name), self.target / relative)
                except OSError:
                    self.warnings.append(f"{aside / relative}: saved in the output during the build; left there")
            dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(folder, d))]

    def discard(self) -> None:
        """Removes the staging folder; the output folder stays as it was."""
        if self.staging is not None:
            _remove_tree(self.staging)
            self.staging = None


_REMOVE_SCRIPT = """
import os, shutil, sys

def again(function, path, _error):
    # A read-only folder of the tree is made writable, then the entry is removed again.
    try:
        os.chmod(os.path.dirname(path), 0o700)
        function(path)
    except OSError:
        pass

root = sys.argv[1]
manifest = os.path.join(root, %r)
# The manifest goes last: until the tree is empty it says the tree is a build's own, which a
# build starting meanwhile removes too instead of warning about it.
for entry in os.scandir(root):
    if entry.path == manifest:
        continue
    if entry.is_dir(follow_symlinks=False):
        shutil.rmtree(entry.path, onexc=again)
    else:
        try:
            os.unlink(entry.path)
        except OSError:
            pass
try:
    os.unlink(manifest)
except OSError:
    pass
shutil.rmtree(root, onexc=again)
""" % MANIFEST


def _emptied(folder: Path) -> bool:
    """Whether a folder is empty or gone."""
    try:
        with os.scandir(folder) as entries:
            return next(entries, None) is None
    except FileNotFoundError:
        return True
    except OSError:
        return False


def _remove_tree(folder: Path) -> None:
    """Removes a tree the build made; read-only folders in it are made writable first (as the
    script above does in a process of its own)."""

    def again(function, path, _error):
        try:
            os.chmod(os.path.dirname(path), 0o700)
            function(path)
        except OSError:
            pass

    shutil.rmtree(folder, onexc=again)


def remove_later(folder: Path) -> None:
    """Removes a folder in a process of its own, so the build need not wait for it.

    Should that process not finish, the next build removes the folder (it holds a manifest).
    """
    try:
        subprocess.Popen(
            [sys.executable, "-c", _REMOVE_SCRIPT, str(folder)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
        )
    except OSError:
        _remove_tree(folder)


