"""Whether a build would change anything, found out before the check, the generator or the
databases' toolkit is loaded.

A successful build leaves a state file beside its output (``.OUT.korvan-state``) recording:

- one digest of every input the build depends on: each entry under the project's ``models/``
  and ``static/`` folders (name, size, modification time and bytes), the project and output
  paths, the working folder, the ``KORVAN_*`` environment, the databases given on the command
  line, the file mode mask, the interpreter and its import path, and the installed distributions (this package by
  the hashes of its installed files, every other one by name and version);
- the digest of the output's manifest and a listing of the output tree;
- the SQLite files of the databases the build used;
- what the build said that a rebuild would say again (warnings, kept files, model count).

The next build with the same inputs, the same manifest, every file the manifest lists still as
it records, the same output tree and every SQLite file still there would generate the same
texts, write the same bytes and store nothing: it stops at that. Anything unexpected (a link
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


def _hash_tree(content, states, folder: str, relative: str) -> None:
    """Feeds every entry under ``folder``, sorted by name, into ``states`` (its kind, size, times and
    inode) and, unless ``content`` is ``None``, into ``content`` (its bytes: each file's state is
    taken before it is read). Links and special files raise ``NotSimple`` (the build's own walk
    judges them, and the full build runs)."""
    try:
        with os.scandir(folder) as found:
            entries = sorted(found, key=lambda entry: entry.name)
    except FileNotFoundError:
        states.update(f"absent {relative}\0".encode())
        return
    except OSError as error:
        raise NotSimple(f"{folder}: {error}") from error
    states.update(f"dir {relative}\0".encode())
    for entry in entries:
        name = f"{relative}/{entry.name}"
        info = os.lstat(entry.path)
        if stat.S_ISDIR(info.st_mode):
            _hash_tree(content, states, entry.path, name)
        elif stat.S_ISREG(info.st_mode):
            states.update(f"file {name} {info.st_size} {info.st_mtime_ns} {info.st_ctime_ns} {info.st_ino}\0".encode())
            if content is None:
                continue
            try:
                with open(entry.path, "rb") as handle:
                    data = handle.read()
            except OSError as error:
                raise NotSimple(f"{entry.path}: {error}") from error
            content.update(f"file {name} {len(data)}\0".encode())
            content.update(hashlib.sha256(data).digest())
        else:
            raise NotSimple(f"{entry.path}: not a regular file or folder")


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


def _settings(root: Path, target: Path, given: list[tuple[str, str]]) -> bytes:
    environment = sorted((key, value) for key, value in os.environ.items() if key.startswith(ENV_PREFIX))
    mask = os.umask(0o022)
    os.umask(mask)
    return json.dumps([STATE_VERSION, os.path.abspath(root), str(target), os.getcwd(), environment,
                       sorted(given), mask]).encode()


def inputs_digest(root: Path, target: Path, given: list[tuple[str, str]]) -> tuple[str, str]:
    """The digest of everything a build of ``root`` into ``target`` depends on (see the module's
    text), and ``inputs_state`` as it was when the files were read."""
    content, states = hashlib.sha256(_settings(root, target, given)), hashlib.sha256()
    _installation(content)
    root_text = os.path.abspath(root)
    for folder in PROJECT_FOLDERS:
        _hash_tree(content, states, os.path.join(root_text, folder), folder)
    return content.hexdigest(), states.hexdigest()


def inputs_state(root: Path) -> str:
    """A digest of the project files' names, sizes, times and inodes: a file written since the
    last call, even with the bytes it had, changes it (its change time moves)."""
    states = hashlib.sha256()
    root_text = os.path.abspath(root)
    for folder in PROJECT_FOLDERS:
        _hash_tree(None, states, os.path.join(root_text, folder), folder)
    return states.hexdigest()


# -- the output ---------------------------------------------------------------------------------


def _file_sha256(path: str) -> str | None:
    try:
        if not stat.S_ISREG(os.lstat(path).st_mode):
            return None
        with open(path, "rb") as handle:
            return hashlib.file_digest(handle, "sha256").hexdigest()
    except OSError:
        return None


def output_listing(target: Path) -> list[str]:
    """Every entry of the output tree: folders, files, and links with what they name (not followed)."""
    listing = []
    base = str(target)
    for folder, dirs, files in os.walk(base):
        relative = os.path.relpath(folder, base)
        for name in sorted(dirs + files):
            path = os.path.join(folder, name)
            entry = os.path.normpath(os.path.join(relative, name))
            if os.path.islink(path):
                listing.append(f"link {entry} {os.readlink(path)}")
            elif name in dirs:
                listing.append(f"dir {entry}")
            else:
                listing.append(f"file {entry}")
        dirs[:] = [name for name in dirs if not os.path.islink(os.path.join(folder, name))]
    return sorted(listing)


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
    own = {f"{prefix}data", f"{prefix}lock", f"{prefix}state"}
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


def record(target: Path, inputs: str, sqlite_files: list[str], said: dict) -> None:
    """Writes the state of the build just put in place (under the output's lock, before it is released)."""
    found = _manifest(target)
    path = state_path(target)
    if found is None:
        forget(target)
        return
    data, _manifest_read = found
    state = {"version": STATE_VERSION, "inputs": inputs, "manifest": hashlib.sha256(data).hexdigest(),
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


def unchanged(root: Path, out: Path, given: list[tuple[str, str]]) -> dict | None:
    """What the last build said, when a build of ``root`` into ``out`` now would change nothing;
    ``None`` when the full build must run (it may well find nothing to do either)."""
    target = output_path(out)
    try:
        with open(state_path(target), "rb") as handle:
            state = json.loads(handle.read())
    except (OSError, ValueError):
        return None
    if not isinstance(state, dict) or state.get("version") != STATE_VERSION:
        return None
    fd = _try_lock(target)
    if fd is None:
        return None
    try:
        return _unchanged(root, target, given, state)
    except (NotSimple, OSError, ValueError, TypeError, KeyError):
        return None
    finally:
        os.close(fd)


def _unchanged(root: Path, target: Path, given: list[tuple[str, str]], state: dict) -> dict | None:
    if _leftovers(target) or not os.stat(target).st_mode & stat.S_IWUSR:
        return None  # the full build warns about the one and refuses the other
    home = target.parent / f".{target.name}.korvan-data"
    if os.path.islink(target / DATA_LINK) and os.readlink(target / DATA_LINK) == os.path.join("..", home.name) \
            and not home.is_dir():
        return None  # the full build makes the databases' folder again
    found = _manifest(target)
    if found is None or hashlib.sha256(found[0]).hexdigest() != state["manifest"]:
        return None
    manifest = found[1]
    if manifest.get("models") and "stored" not in manifest:
        return None  # the fixtures could not be fingerprinted: the full build stores them again
    if any(not os.path.isfile(name) for name in state["sqlite"]):
        return None  # a database is gone: the tables and fixtures are made again
    if output_listing(target) != state["listing"]:
        return None
    for relative, recorded in manifest["files"].items():
        if _file_sha256(os.path.join(target, relative)) != recorded:
            return None  # a hand edit, refused by the full build
    if inputs_digest(root, target, given)[0] != state["inputs"]:
        return None
    return state["said"]
