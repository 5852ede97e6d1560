"""Whether a build would change anything, found out before the check, the generator or the
databases' toolkit is loaded.

A successful build leaves a state file beside its output (``.OUT.korvan-state``) recording:

- digests of every input the build depends on: each entry under the project's ``models/``
  and ``static/`` folders (by name and bytes, and by size, times and inode), the project and output
  paths, the working folder, the ``KORVAN_*`` environment, the databases given on the command
  line, the file mode mask, the interpreter and its import path, and the installed distributions (this package by
  the hashes of its installed files, every other one by name and version);
- the digest of the output's manifest and a listing of the output tree;
- the SQLite files of the databases the build used;
- what the build said that a rebuild would say again (warnings, kept files, model count).

The next build with the same inputs, the same manifest, every file the manifest lists still as
it records, the same output tree and every SQLite file still there would generate the same
texts, write the same bytes and store nothing: it stops at that. The project files are compared
by their states (a write moves a file's change time, which no one can set back) unless a file
had changed so recently when they were taken that a second write could share its times; then,
and whenever a state differs, by their bytes. Anything unexpected (a link
or a special file in the project, a leftover folder beside the output, another build holding
the lock, a manifest without stored fixtures) sends the command down the full build.

This module loads nothing but the standard library.
"""

from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import os
import re
import stat
import sys
import time
from collections import namedtuple
from pathlib import Path

STATE_VERSION = 1
MANIFEST = ".korvan-build.json"
DATA_LINK = "data"
PROJECT_FOLDERS = ("models", "static")
ENV_PREFIX = "KORVAN_"
PACKAGE = "korvan_models"


class NotSimple(Exception):
    """The inputs hold something whose effect on the build the state does not record."""


def output_path(target: Path) -> Path:
    """The absolute path of an output folder; a link stands for the folder it names."""
    path = Path(os.path.abspath(target))
    return Path(os.path.realpath(path)) if path.is_symlink() else path


def state_path(target: Path) -> Path:
    """Where the state of the build in ``target`` (an ``output_path``) is kept."""
    return target.parent / f".{target.name}.korvan-state"


def lock_path(target: Path) -> Path:
    return target.parent / f".{target.name}.korvan-lock"


# -- the inputs ---------------------------------------------------------------------------------


class _Walk:
    """One pass over the project files: the digest of their states (kind, size, times, inode),
    optionally of their bytes (each file's state is taken before it is read), and the latest
    change time seen."""

    def __init__(self, contents: bool, since: int) -> None:
        self.states = hashlib.sha256()
        self.content = hashlib.sha256() if contents else None
        self.latest = 0
        # Files changed at ``since`` or later are racy (see ``RACY_NS``): the digests of their bytes, by name.
        self.since = since
        self.fresh: dict[str, str] = {}
        # Without the bytes: the files seen, in order, should their bytes be wanted after all.
        self.files: list[tuple[str, str]] = []

    def tree(self, folder: str, relative: str) -> None:
        """Every entry under ``folder``, sorted by name; links and special files raise ``NotSimple``
        (the build's own walk judges them, and the full build runs)."""
        try:
            with os.scandir(folder) as found:
                entries = sorted(found, key=lambda entry: entry.name)
        except FileNotFoundError:
            self.states.update(f"absent {relative}\0".encode())
            return
        except OSError as error:
            raise NotSimple(f"{folder}: {error}") from error
        self.states.update(f"dir {relative}\0".encode())
        for entry in entries:
            name = f"{relative}/{entry.name}"
            info = os.lstat(entry.path)
            if stat.S_ISDIR(info.st_mode):
                self.tree(entry.path, name)
            elif stat.S_ISREG(info.st_mode):
                self.states.update(f"file {name} {info.st_size} {info.st_mtime_ns} {info.st_ctime_ns} "
                                   f"{info.st_ino}\0".encode())
                self.latest = max(self.latest, info.st_ctime_ns)
                if info.st_ctime_ns >= self.since:
                    self.fresh[name] = ""
                if self.content is not None:
                    self._read(entry.path, name)
                else:
                    self.files.append((entry.path, name))
            else:
                raise NotSimple(f"{entry.path}: not a regular file or folder")

    def read_contents(self) -> str:
        """The digest of the bytes of the files a pass without them saw (read now, after their
        states were taken), as a pass with them would have given it."""
        self.content = hashlib.sha256()
        for path, name in self.files:
            self._read(path, name)
        return self.content.hexdigest()

    def _read(self, path: str, name: str) -> None:
        try:
            with open(path, "rb") as handle:
                data = handle.read()
        except OSError as error:
            raise NotSimple(f"{path}: {error}") from error
        digest = hashlib.sha256(data).digest()
        self.content.update(f"file {name} {len(data)}\0".encode())
        self.content.update(digest)
        if name in self.fresh:
            self.fresh[name] = digest.hex()


_installed: dict[tuple, str] = {}


def installation() -> str:
    """The digest of the interpreter, its import path and the installed distributions, taken once
    per import path in a process (the command asks twice; a watcher describes the code it runs)."""
    key = (sys.executable, tuple(sys.path))
    if key not in _installed:
        digest = hashlib.sha256()
        _installation(digest)
        _installed[key] = digest.hexdigest()
    return _installed[key]


def _installation(digest) -> None:
    """The interpreter, its import path and the installed distributions."""
    digest.update(f"{sys.version}\0{sys.executable}\0{sys.implementation.cache_tag}\0".encode())
    digest.update(json.dumps(sys.path).encode())
    here = Path(__file__).resolve().parent
    site = here.parent
    record = None
    names = []
    try:
        with os.scandir(site) as found:
            for entry in found:
                if entry.name.endswith(".dist-info"):
                    names.append(entry.name)
                    if entry.name.startswith(PACKAGE + "-"):
                        record = Path(entry.path) / "RECORD"
    except OSError as error:
        raise NotSimple(f"{site}: {error}") from error
    if record is None:
        # Not an installed copy (a source tree on the path): its build cannot be told apart.
        raise NotSimple("the package is not installed")
    digest.update("\0".join(sorted(names)).encode())
    try:
        digest.update(record.read_bytes())
    except OSError as error:
        raise NotSimple(f"{record}: {error}") from error


def current_umask() -> int:
    """The process's file mode mask (read by setting it, and set back at once)."""
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _settings(root: Path, target: Path, given: list[tuple[str, str]]) -> bytes:
    environment = sorted((key, value) for key, value in os.environ.items() if key.startswith(ENV_PREFIX))
    mask = current_umask()
    return json.dumps([STATE_VERSION, os.path.abspath(root), str(target), os.getcwd(), environment,
                       sorted(given), mask]).encode()


# A file changed this close to a pass over the project (or later) may change again with the same
# times (file times advance with a coarse clock): its state alone cannot vouch for its bytes.
RACY_NS = 100_000_000


class Inputs(namedtuple("Inputs", ("setup", "content", "states", "racy", "fresh"), defaults=(None,))):
    """What a build depends on: ``setup`` (paths, environment, installation), ``content`` (every
    project file by its bytes) and ``states`` (their sizes, times and inodes, taken before they
    were read); ``racy`` when a file changed so recently that its state cannot vouch for its bytes,
    and then ``fresh``: the digest of each such file's bytes by its name (``None``: not known).
    (A named tuple: the command's start does not pay for loading the dataclass machinery.)"""

    __slots__ = ()


def setup_digest(root: Path, target: Path, given: list[tuple[str, str]]) -> str:
    """The digest of the paths, the environment, the options and the installation a build runs with."""
    digest = hashlib.sha256(_settings(root, target, given))
    digest.update(installation().encode())
    return digest.hexdigest()


def _project(root: Path, contents: bool) -> tuple[_Walk, bool]:
    began = time.time_ns()
    walk = _Walk(contents, began - RACY_NS)
    root_text = os.path.abspath(root)
    for folder in PROJECT_FOLDERS:
        walk.tree(os.path.join(root_text, folder), folder)
    return walk, walk.latest >= began - RACY_NS


def read_inputs(root: Path, target: Path, given: list[tuple[str, str]]) -> Inputs:
    """Everything a build of ``root`` into ``target`` depends on (see the module's text), read now."""
    walk, racy = _project(root, True)
    return Inputs(setup_digest(root, target, given), walk.content.hexdigest(), walk.states.hexdigest(), racy,
                  walk.fresh)


def still(root: Path, before: Inputs) -> bool:
    """Whether the project files are as ``before`` read them: by their states, and the bytes of those
    whose states could not vouch for them. A file that was not racy then and has the same state now
    was not written since its bytes were read: a write would have moved its change time."""
    walk, _racy = _project(root, False)
    if walk.states.hexdigest() != before.states:
        return False
    if not before.racy:
        return True
    if not isinstance(before.fresh, dict):
        return walk.read_contents() == before.content
    paths = {name: path for path, name in walk.files}
    for name, recorded in before.fresh.items():
        if name not in paths:
            return False
        try:
            with open(paths[name], "rb") as handle:
                data = handle.read()
        except OSError as error:
            raise NotSimple(f"{paths[name]}: {error}") from error
        if hashlib.sha256(data).hexdigest() != recorded:
            return False
    return True


# -- the output ---------------------------------------------------------------------------------


def file_digest(path: str | os.PathLike[str]) -> str | None:
    """The SHA-256 of a regular file's content; ``None`` for anything else (a link, a folder, nothing)."""
    try:
        if not stat.S_ISREG(os.lstat(path).st_mode):
            return None
        with open(path, "rb") as handle:
            return hashlib.file_digest(handle, "sha256").hexdigest()
    except OSError:
        return None


def output_listing(target: Path) -> list[str]:
    """Every entry of the output tree: folders, files, and links with what they name (not followed)."""
    listing: list[str] = []
    _list_folder(str(target), "", listing)
    return sorted(listing)


def _list_folder(folder: str, prefix: str, listing: list[str]) -> None:
    """The entries of one folder of the output and of the folders in it (a folder that cannot be
    listed adds nothing of its own); the folder listing tells links and folders apart."""
    try:
        with os.scandir(folder) as found:
            entries = list(found)
    except OSError:
        return
    for entry in entries:
        name = prefix + entry.name
        if entry.is_symlink():
            listing.append(f"link {name} {os.readlink(entry.path)}")
        elif entry.is_dir():
            listing.append(f"dir {name}")
            _list_folder(entry.path, name + "/", listing)
        else:
            listing.append(f"file {name}")


_HEX64 = re.compile(r"[0-9a-f]{64}")
READABLE_VERSIONS = (1, 2)


def valid_manifest(manifest: object) -> bool:
    """Whether a manifest is one a build writes: a known version, files with digests, models."""
    if not isinstance(manifest, dict) or manifest.get("version") not in READABLE_VERSIONS:
        return False
    files, models = manifest.get("files"), manifest.get("models")
    if not isinstance(files, dict) or not isinstance(models, dict):
        return False
    for name, value in files.items():
        parts = name.split("/")
        if not isinstance(value, str) or not _HEX64.fullmatch(value) or name.startswith("/") or ".." in parts:
            return False
    return all(isinstance(entry, dict) and isinstance(entry.get("file"), str) for entry in models.values())


def _leftovers(target: Path) -> bool:
    """Whether something beside the output is one the full build would warn about. The staging and
    old trees of finished builds (a process of their own may still be removing them) are not: they
    are never part of the output, and the next full build removes what is left of them."""
    prefix = f".{target.name}.korvan-"
    own = {f"{prefix}data", f"{prefix}lock", f"{prefix}state", f"{prefix}watch"}
    finished = re.compile(re.escape(prefix) + r"(tmp|old)-[0-9]{1,10}-[0-9A-Za-z_]{1,64}")
    try:
        names = os.listdir(target.parent)
    except OSError:
        return True
    for name in names:
        if not name.startswith(prefix) or name in own:
            continue
        path = target.parent / name
        if not finished.fullmatch(name) or path.is_symlink() or _manifest(path) is None:
            return True
    return False


def _manifest(folder: Path) -> tuple[bytes, dict] | None:
    """The bytes and content of a folder's manifest, when it is one a build writes."""
    try:
        data = (folder / MANIFEST).read_bytes()
        manifest = json.loads(data)
    except (OSError, ValueError):
        return None
    return (data, manifest) if valid_manifest(manifest) else None


# -- recording and reading the state ------------------------------------------------------------


def record(target: Path, inputs: Inputs, sqlite_files: list[str], said: dict) -> None:
    """Writes the state of the build just put in place (under the output's lock, before it is released)."""
    found = _manifest(target)
    path = state_path(target)
    if found is None:
        forget(target)
        return
    data, _manifest_read = found
    state = {"version": STATE_VERSION, "setup": inputs.setup, "content": inputs.content, "states": inputs.states,
             "racy": inputs.racy, "manifest": hashlib.sha256(data).hexdigest(),
             "listing": output_listing(target), "sqlite": sorted(sqlite_files), "said": said}
    temporary = path.with_name(path.name + f".{os.getpid()}")
    try:
        temporary.write_text(json.dumps(state), "utf-8")
        os.replace(temporary, path)
    except OSError:
        # Without a state the next build is a full one: nothing is lost.
        try:
            os.unlink(temporary)
        except OSError:
            pass
        forget(target)


def forget(target: Path) -> None:
    try:
        os.unlink(state_path(target))
    except OSError:
        pass


def _try_lock(target: Path) -> int | None:
    """The output's lock, when no other build holds it (the full build waits or refuses otherwise)."""
    try:
        fd = os.open(lock_path(target), os.O_RDWR | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        os.close(fd)
        if error.errno not in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
            raise
        return None
    return fd


def unchanged(root: Path, out: Path, given: list[tuple[str, str]]) -> tuple[dict | None, Inputs | None]:
    """What the last build said, when a build of ``root`` into ``out`` now would change nothing
    (``None`` when the full build must run; it may well find nothing to do either), and the inputs
    as read on the way, when they were (the full build takes them as read before it began)."""
    target = output_path(out)
    try:
        with open(state_path(target), "rb") as handle:
            state = json.loads(handle.read())
    except (OSError, ValueError):
        return None, None
    if not isinstance(state, dict) or state.get("version") != STATE_VERSION:
        return None, None
    fd = _try_lock(target)
    if fd is None:
        return None, None
    try:
        return _unchanged(root, target, given, state)
    except (NotSimple, OSError, ValueError, TypeError, KeyError):
        return None, None
    finally:
        os.close(fd)


def _unchanged(root: Path, target: Path, given: list[tuple[str, str]], state: dict) -> tuple[dict | None, Inputs | None]:
    # The inputs first: they are what changes most often.
    setup = setup_digest(root, target, given)
    walk, racy = _project(root, False)
    if not racy and not state["racy"] and walk.states.hexdigest() == state["states"]:
        inputs = Inputs(setup, state["content"], state["states"], False)
    else:
        # The bytes of the files this pass saw: no second pass, no second digest of the setup.
        inputs = Inputs(setup, walk.read_contents(), walk.states.hexdigest(), racy, walk.fresh)
    if inputs.setup != state["setup"] or inputs.content != state["content"]:
        return None, inputs
    return (state["said"] if _output_unchanged(target, state) else None), inputs


def _output_unchanged(target: Path, state: dict) -> bool:
    """Whether the output, the databases' files and what lies beside the output are as the last build left them."""
    if _leftovers(target) or not os.stat(target).st_mode & stat.S_IWUSR:
        return False  # the full build warns about the one and refuses the other
    home = target.parent / f".{target.name}.korvan-data"
    if os.path.islink(target / DATA_LINK) and os.readlink(target / DATA_LINK) == os.path.join("..", home.name) \
            and not home.is_dir():
        return False  # the full build makes the databases' folder again
    found = _manifest(target)
    if found is None or hashlib.sha256(found[0]).hexdigest() != state["manifest"]:
        return False
    manifest = found[1]
    if manifest.get("models") and "stored" not in manifest:
        return False  # the fixtures could not be fingerprinted: the full build stores them again
    if any(not os.path.isfile(name) for name in state["sqlite"]):
        return False  # a database is gone: the tables and fixtures are made again
    if output_listing(target) != state["listing"]:
        return False
    # Last, each file the build wrote, by its bytes: a hand edit is refused by the full build.
    return all(file_digest(os.path.join(target, relative)) == recorded
               for relative, recorded in manifest["files"].items())
