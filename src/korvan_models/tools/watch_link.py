"""A plain build hands its work to a watching build of the same project and output.

The watching build listens on a Unix socket beside the output (``.OUT.korvan-watch``, mode 0600).
A ``build`` that has something to do (its early stop found a change) connects before it loads
anything heavy and sends what decides a build: the real paths of project and output, its
command line and working folder, the databases it was given, ``--jobs``, the ``KORVAN_*``
environment, the file mode mask, the interpreter, its import path and the installed package.
The watcher serves only when all of that is what it builds with itself; it then runs the very
build the command would have run, in its own process with its warm caches, and relays every
line the command would print and its exit status. Both sides make sure the other runs as the
same user. Anything amiss before the build started (no watcher, a stale socket, a refusal, a
lost connection) and the command builds itself as if no watcher were there.

The conversation is one JSON object per line. The client sends its request; the watcher answers
``{"serve": true}`` or ``{"serve": false, "why": ...}``, then, once the build begins (after any
rebuild in progress), ``{"started": true}``, the output as ``{"out": text}`` and ``{"err": text}``,
and last ``{"exit": status}``.

Only the standard library is loaded here.
"""

from __future__ import annotations

import json
import os
import socket
import stat
import struct
import sys
from collections.abc import Callable
from pathlib import Path

from korvan_models import build_state

LINK_VERSION = 1
# The longest path a Unix socket address holds (Linux: 108 bytes with the closing zero).
MAX_ADDRESS = 107
CONNECT_TIMEOUT = 1.0
# How long the watcher waits for a client's request once it connected (seconds).
REQUEST_TIMEOUT = 2.0
MAX_REQUEST = 1 << 20
DATABASE_ENV = "KORVAN_DATABASE_"


def socket_path(out: Path) -> Path:
    """Where the watching build of output ``out`` listens."""
    target = build_state.output_path(out)
    return target.parent / f".{target.name}.korvan-watch"


def _peer(connection: socket.socket) -> tuple[int, int] | None:
    """The process id and user id at the other end of a Unix socket (Linux), ``None`` if unknown."""
    option = getattr(socket, "SO_PEERCRED", None)
    if option is None:
        return None
    try:
        data = connection.getsockopt(socket.SOL_SOCKET, option, struct.calcsize("3i"))
    except OSError:
        return None
    pid, uid, _gid = struct.unpack("3i", data)
    return pid, uid


def peer_uid(connection: socket.socket) -> int | None:
    """The user id of the process at the other end of a Unix socket, ``None`` if unknown."""
    peer = _peer(connection)
    return peer[1] if peer else None


def peer_pid(connection: socket.socket) -> int | None:
    peer = _peer(connection)
    return peer[0] if peer else None


def trusted(connection: socket.socket) -> bool:
    """Whether the other end runs as this process's user."""
    return peer_uid(connection) == os.getuid()


def settings(project: Path, out: Path, databases: list, jobs: int | None, cwd: str | None = None) -> dict:
    """What decides a build besides the project's files, as both sides compare it."""
    environment = sorted([key, value] for key, value in os.environ.items() if key.startswith(build_state.ENV_PREFIX))
    # A relative database path is taken from the working folder: then the folder decides too.
    relative = bool(databases) or any(key.startswith(DATABASE_ENV) for key, _value in environment)
    return {
        "version": LINK_VERSION,
        "project": os.path.realpath(project),
        "out": os.path.realpath(build_state.output_path(out)),
        "databases": sorted([alias, url] for alias, url in databases),
        "jobs": jobs,
        "environment": environment,
        "umask": build_state.current_umask(),
        "executable": sys.executable,
        "path": list(sys.path),
        "installation": build_state.installation(),
        "cwd": (cwd or os.getcwd()) if relative else None,
    }


# -- the command's side ---------------------------------------------------------------------------


class _Lost(Exception):
    """The watcher went away."""


class _Unwritable(Exception):
    """This process's own output cannot be written (``| head`` stopped reading): as for a build of its own."""

    def __init__(self, error: OSError) -> None:
        self.error = error


def _show(stream, text: object) -> None:
    try:
        stream.write(str(text))
        stream.flush()
    except OSError as error:
        raise _Unwritable(error) from error


def _connect(path: Path) -> socket.socket | None:
    """A connection to the watcher listening at ``path``, when one runs as this user."""
    if len(os.fsencode(path)) > MAX_ADDRESS:
        return None
    try:
        info = os.lstat(path)
    except OSError:
        return None
    if not stat.S_ISSOCK(info.st_mode) or info.st_uid != os.getuid():
        return None  # another user's socket is never trusted
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        connection.settimeout(CONNECT_TIMEOUT)
        connection.connect(os.fspath(path))
        if not trusted(connection):
            raise OSError("the watcher runs as another user")
    except OSError:  # a stale socket of a killed watcher refuses: it is ignored
        connection.close()
        return None
    return connection


def _messages(connection: socket.socket):
    """The watcher's messages, one JSON object per line."""
    reader = connection.makefile("rb")
    while True:
        try:
            line = reader.readline()
        except OSError as error:
            raise _Lost() from error
        if not line.endswith(b"\n"):
            raise _Lost()
        try:
            message = json.loads(line)
        except ValueError as error:
            raise _Lost() from error
        if not isinstance(message, dict):
            raise _Lost()
        yield message


def ask(argv: list[str], project: Path, out: Path, databases: list, jobs: int | None, quiet: bool,
        inputs: build_state.Inputs | None = None) -> int | None:
    """Has a watching build of the same project and output run this build: its exit status, after
    its output was printed here; ``None`` when the command is to build itself. ``inputs``, as the
    early stop read them, are those the build's state is recorded with."""
    connection = _connect(socket_path(out))
    if connection is None:
        return None
    pid = peer_pid(connection)
    started = False
    try:
        request = {"argv": argv, "cwd": os.getcwd(), "settings": settings(project, out, databases, jobs),
                   "inputs": inputs._asdict() if inputs is not None else None}
        connection.sendall(json.dumps(request).encode() + b"\n")
        messages = _messages(connection)
        answer = next(messages)
        if answer.get("serve") is not True:
            return None
        # The watcher may finish a rebuild first: the build starts when it says so.
        connection.settimeout(None)
        for message in messages:
            if "started" in message:
                started = True
            elif "out" in message and started:
                if not quiet:
                    _show(sys.stdout, message["out"])
            elif "err" in message and started:
                _show(sys.stderr, message["err"])
            elif "exit" in message and started and isinstance(message["exit"], int):
                return message["exit"]
    except _Unwritable as unwritable:
        raise unwritable.error from None
    except (_Lost, OSError, StopIteration, ValueError):
        pass
    except KeyboardInterrupt as error:
        if not started:
            raise
        # The watcher goes on with the build: it is not this process's to abandon.
        print(f"interrupted; the watching build (process {pid}) goes on with this build of {out}, "
              "which is in place once it is done", file=sys.stderr)
        return 143 if type(error).__name__ == "Terminated" else 130
    finally:
        connection.close()
    if not started:
        return None
    print(f"korvan-models: the watching build (process {pid}) stopped before this build of {out} finished; "
          f"{out} holds the previous build or the finished one, whole", file=sys.stderr)
    return 1


# -- the watcher's side ---------------------------------------------------------------------------


class _Relay:
    """A text stream whose writes go to the client as messages of one kind; a client that went
    away is no longer written to (the build goes on)."""

    def __init__(self, link: Served, kind: str) -> None:
        self.link, self.kind = link, kind

    def write(self, text: str) -> int:
        if text:
            self.link.send({self.kind: text})
        return len(text)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False

    @property
    def encoding(self) -> str:
        return "utf-8"


class Served:
    """A build a client asked for and the watcher agreed to run."""

    def __init__(self, connection: socket.socket, request: dict) -> None:
        self.connection, self.request = connection, request
        self.pid = peer_pid(connection)
        self.gone = False

    def send(self, message: dict) -> None:
        if self.gone:
            return
        try:
            self.connection.sendall(json.dumps(message).encode() + b"\n")
        except OSError:
            self.gone = True

    def still_there(self) -> bool:
        """Whether the client still waits (it did not close its end)."""
        try:
            self.connection.setblocking(False)
            try:
                return self.connection.recv(1, socket.MSG_PEEK) != b""
            except BlockingIOError:
                return True
            finally:
                self.connection.setblocking(True)
        except OSError:
            return False

    def streams(self) -> tuple[_Relay, _Relay]:
        return _Relay(self, "out"), _Relay(self, "err")

    def close(self) -> None:
        try:
            self.connection.close()
        except OSError:
            pass


class Server:
    """The watcher's socket: a thread takes each client's request and answers whether it will be
    served; the requests served wait in ``pending`` for the watcher's loop, which runs them one
    at a time between its own rebuilds."""

    def __init__(self, root: Path, out: Path, databases: list, jobs: int | None,
                 wake: Callable[[], None] | None = None) -> None:
        """``wake`` is called for each request that is to be served (the watcher's loop waits on it)."""
        import queue

        self.path = socket_path(out)
        self.mine = settings(root, out, databases, jobs)
        self.pending: queue.SimpleQueue[Served] = queue.SimpleQueue()
        self.listener: socket.socket | None = None
        self.inode: int | None = None
        self.thread = None
        self.stopping = False
        # Set by the watcher while it rebuilds on its own: a command that will not wait is not served then.
        self.busy = False
        self.wake = wake

    def start(self) -> bool:
        """Listens at the socket path; ``False`` (and no socket) when it cannot: the path is too
        long, taken by something else, or another watcher of this output is listening."""
        import secrets
        import threading

        if len(os.fsencode(self.path)) > MAX_ADDRESS:
            return False
        try:
            info = os.lstat(self.path)
        except FileNotFoundError:
            info = None
        except OSError:
            return False
        if info is not None:
            if not stat.S_ISSOCK(info.st_mode) or info.st_uid != os.getuid():
                return False
            probe = _connect(self.path)
            if probe is not None:  # a live watcher of this output: it serves
                probe.close()
                return False
        # Made under another name and renamed over the path, so the path never names a half-made
        # socket; the mask makes it the user's alone from the start.
        temporary = self.path.with_name(f".korvan-watch-{os.getpid()}-{secrets.token_hex(4)}")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        mask = os.umask(0o177)
        try:
            listener.bind(os.fspath(temporary))
        except OSError:
            listener.close()
            return False
        finally:
            os.umask(mask)
        try:
            os.chmod(temporary, 0o600)
            listener.listen(8)
            listener.settimeout(0.2)
            self.inode = os.lstat(temporary).st_ino
            os.rename(temporary, self.path)
        except OSError:
            listener.close()
            try:
                os.unlink(temporary)
            except OSError:
                pass
            return False
        self.listener = listener
        self.thread = threading.Thread(target=self._accept, name="korvan-watch-link", daemon=True)
        self.thread.start()
        return True

    def _accept(self) -> None:
        while not self.stopping:
            try:
                connection, _address = self.listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            try:
                self._answer(connection)
            except Exception:  # a client that misbehaves is let go; the watcher goes on
                connection.close()

    def _answer(self, connection: socket.socket) -> None:
        connection.settimeout(REQUEST_TIMEOUT)
        if not trusted(connection):
            connection.close()
            return
        data = b""
        while not data.endswith(b"\n"):
            chunk = connection.recv(65536)
            if not chunk or len(data) > MAX_REQUEST:
                connection.close()
                return
            data += chunk
        request = json.loads(data)
        why = self.refusal(request)
        connection.settimeout(None)
        served = Served(connection, request)
        if why is not None:
            served.send({"serve": False, "why": why})
            served.close()
            return
        served.send({"serve": True})
        self.pending.put(served)
        if self.wake is not None:
            self.wake()

    def refusal(self, request: object) -> str | None:
        """Why a request is not served here (``None``: it is)."""
        if not isinstance(request, dict) or not isinstance(request.get("settings"), dict):
            return "not a request"
        argv, cwd = request.get("argv"), request.get("cwd")
        if not isinstance(argv, list) or not all(isinstance(item, str) for item in argv) or "build" not in argv:
            return "not a build"
        if not isinstance(cwd, str) or not os.path.isdir(cwd):
            return "no working folder"
        if self.busy and "--no-wait" in argv:
            return "busy"
        theirs = request["settings"]
        if theirs.get("cwd") is not None or self.mine["cwd"] is not None:
            # Relative database paths: the folders must be the same.
            if os.path.realpath(theirs.get("cwd") or "") != os.path.realpath(self.mine["cwd"] or cwd):
                return "another working folder"
        different = sorted(key for key in set(self.mine) | set(theirs)
                           if key != "cwd" and self.mine.get(key) != theirs.get(key))
        return f"different {', '.join(different)}" if different else None

    def next(self) -> Served | None:
        """A request waiting to be served, if any."""
        import queue

        try:
            return self.pending.get_nowait()
        except queue.Empty:
            return None

    def stop(self) -> None:
        """Stops listening and removes the socket (when it is still this watcher's)."""
        self.stopping = True
        if self.listener is not None:
            try:
                if os.lstat(self.path).st_ino == self.inode:
                    os.unlink(self.path)
            except OSError:
                pass
            self.listener.close()
            self.listener = None
        while (served := self.next()) is not None:
            served.close()
