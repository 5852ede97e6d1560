"""A build that follows the project: build once, then again whenever a project file changes.

A rebuild reuses the previous build's unchanged models, so a save costs about one model's work.
A mistake in the project is printed in the usual one-line form and leaves the output as it was;
watching goes on until Ctrl-C.
"""

from __future__ import annotations

import os
import signal
import sys
import time
from collections.abc import Callable, Iterable
from pathlib import Path

from korvan_models.errors import on_interrupt

# Files that editors and tools write beside the real ones; none of them changes a build.
IGNORED_SUFFIXES = (".swp", ".swx", ".tmp", "~", ".pyc")
IGNORED_PARTS = ("__pycache__", ".git", ".vscode", ".idea")
PROJECT_FOLDERS = ("models", "static")
# Changes closer together than this make one rebuild (milliseconds).
QUIET_MS = 300
# How often the file watch looks at whether it is to stop (milliseconds).
STEP_MS = 25


def project_file_filter(root: Path, out: Path) -> Callable[[object, str], bool]:
    """Whether a changed path is a project file: under models/ or static/, not in the output, not an editor's."""
    root = Path(os.path.realpath(root))
    out = Path(os.path.realpath(out))
    folders = [root / name for name in PROJECT_FOLDERS]

    def accept(_change: object, name: str) -> bool:
        path = Path(name)
        if path.name.endswith(IGNORED_SUFFIXES) or path.name.startswith((".#", "#")):
            return False
        if any(part in IGNORED_PARTS for part in path.parts):
            return False
        real = Path(os.path.realpath(path.parent)) / path.name
        if real == out or out in real.parents or real.parent == out.parent and real.name.startswith(f".{out.name}"):
            return False
        return any(real == folder or folder in real.parents for folder in folders)

    return accept


def describe(root: Path, paths: Iterable[str], shown: int = 3) -> str:
    """The changed files, relative to the project, the first few by name."""
    real_root = Path(os.path.realpath(root))
    names = []
    for name in sorted(set(paths)):
        path = Path(name)
        try:
            names.append((Path(os.path.realpath(path.parent)) / path.name).relative_to(real_root).as_posix())
        except ValueError:
            names.append(str(path))
    text = ", ".join(names[:shown])
    return text + (f" and {len(names) - shown} more" if len(names) > shown else "")


def build_once(root: Path, out: Path, jobs: int | None, memo=None,
               databases: dict[str, str] | None = None, record: bool = False,
               given: list | None = None) -> tuple[bool, str]:
    """One build; a summary on success, or the problems (printed) and a count on a project mistake.
    ``memo`` (a ``CheckMemo``) carries what the check found over to the next build. With ``record``
    the build leaves the state that lets a plain build with the same inputs stop early, as a
    build of the command's own does (``given``: the databases named on the command line)."""
    from korvan_models.cli import BuildState
    from korvan_models.pipeline import ProjectError, build_project

    finished = BuildState(root, given or [], databases or {}, out=out).record if record else None
    try:
        report = build_project(root, out, jobs, databases=databases, memo=memo, finished=finished)
    except ProjectError as error:
        for problem in error.problems:
            print(problem, file=sys.stderr, flush=True)
        count = len(error.problems)
        return False, f"{count} problem{'s' if count != 1 else ''} found; the output was left as it was"
    except (KeyboardInterrupt, SystemExit):
        raise
    except Exception as error:  # a failure of the tool: reported, and watching goes on
        return False, f"internal error: {type(error).__name__}: {error} (the output was left as it was)"
    for warning in report.project.warnings:
        print(f"warning: {warning}", file=sys.stderr, flush=True)
    return True, (f"{len(report.project.entries)} models: generated {report.generated}, reused {report.reused}")


def warm_up() -> None:
    """Loads what a rebuild needs and runs the generator once on a small model of its own (the
    formatters make their tables on first use), so that the first rebuild after a start that found
    nothing to generate costs what later ones do. Nothing is written."""
    try:
        from korvan_models.classes.data_models.dependencies import DependencyModelNames
        from korvan_models.pipeline import store
        from korvan_models.pipeline.generate import neutral_folder, render_model
        from korvan_utils.models.data_models.schema import ObjectSchema

        store.load_storage()
        import sqlite3  # noqa: F401  (the default databases' driver)
        schema = ObjectSchema.model_validate({"title": "WarmUp", "type": "object", "required": ["name"],
                                              "properties": {"name": {"type": "string", "default": "x"},
                                                             "tags": {"type": "array", "items": {"type": "string"}}}})
        with neutral_folder():
            render_model("models", schema, DependencyModelNames.from_schemas([schema]))
    except Exception:  # only time is at stake: the rebuild loads what is missing itself
        pass


def snapshot(root: Path, accept: Callable[[object, str], bool]) -> dict[str, tuple[int, int]]:
    """Size and modification time of every project file."""
    found = {}
    for name in PROJECT_FOLDERS:
        for path in (root / name).rglob("*") if (root / name).is_dir() else ():
            try:
                stat = path.stat()
            except OSError:
                continue
            if path.is_file() and accept(None, str(path)):
                found[str(path)] = (stat.st_size, stat.st_mtime_ns)
    return found


def serve(served, memo, home: str) -> int | None:
    """Runs the build a plain command handed over (see ``watch_link``), as the command would run it,
    with its output and exit status sent back; one line here says what was done. Returns the exit
    status (``None``: the command had given up, nothing was run)."""
    import contextlib

    from korvan_models import cli

    if not served.still_there():  # the command gave up waiting
        served.close()
        return None
    began = time.perf_counter()
    served.send({"started": True})
    out, err = served.streams()
    status = 1
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            try:
                os.chdir(served.request["cwd"])
                inputs = served.request.get("inputs")
                status = cli.served_build(served.request["argv"], memo, inputs if isinstance(inputs, dict) else None)
            except SystemExit as end:
                if isinstance(end.code, str):
                    print(end.code, file=sys.stderr)
                status = end.code if isinstance(end.code, int) else 1
            except OSError as error:  # the command's working folder is gone
                print(f"korvan-models: {error}", file=sys.stderr)
            except Exception as error:  # a failure of the tool: the command is told, and watching goes on
                print(f"korvan-models: internal error: {type(error).__name__}: {error}", file=sys.stderr)
            except KeyboardInterrupt as error:
                # This watcher is being stopped: the command is told, then watching ends.
                whole = "holds the new build" if getattr(error, "output_replaced", False) else "was left as it was"
                print(f"korvan-models: the watching build that ran this build was stopped; the output {whole}",
                      file=sys.stderr)
                raise
    finally:
        os.chdir(home)
        served.send({"exit": status})
        served.close()
    took = time.perf_counter() - began
    print(f"{'served' if status == 0 else 'served (failed)'} a build in {took:.2f} s for process {served.pid}: "
          f"exit status {status}", flush=True)
    return status


class _Follower:
    """The project's changes, taken by ``watchfiles`` in a thread of its own, so that the watcher's
    loop wakes at once for a build handed over to it (not at the next step of the file watch).
    ``woken`` is set for each batch of changes, for each handed-over build and when the thread ends."""

    def __init__(self, folders: list[Path], accept: Callable[[object, str], bool], stop_event=None) -> None:
        import queue
        import threading

        self.folders, self.accept, self.stop_event = folders, accept, stop_event
        self.woken = threading.Event()
        self.running = threading.Event()
        self.ended = threading.Event()
        self.changes: queue.SimpleQueue[set] = queue.SimpleQueue()
        self.failure: BaseException | None = None
        self._stopping = False
        self._thread = threading.Thread(target=self._follow, name="korvan-watch-files", daemon=True)

    def is_set(self) -> bool:
        """The stop ``watchfiles`` looks at: this watcher's own, or the caller's."""
        return self._stopping or (self.stop_event is not None and self.stop_event.is_set())

    def start(self) -> None:
        self._thread.start()

    def _follow(self) -> None:
        import watchfiles

        try:
            # It wakes every STEP_MS to look at the stop; saves closer together than QUIET_MS (for at most
            # four times that) come as one batch. A timeout with no change says it is running.
            for changes in watchfiles.watch(*self.folders, watch_filter=self.accept, debounce=QUIET_MS * 4,
                                            step=STEP_MS, rust_timeout=STEP_MS, yield_on_timeout=True,
                                            stop_event=self, raise_interrupt=False):
                if changes:
                    self.changes.put(changes)
                elif self.running.is_set():
                    continue
                self.running.set()
                self.woken.set()
        except BaseException as error:  # told to the watcher's loop, which ends on it
            self.failure = error
        finally:
            self.ended.set()
            self.woken.set()

    def taken(self) -> list[set]:
        """The batches of changes that came since last asked."""
        import queue

        batches = []
        while True:
            try:
                batches.append(self.changes.get_nowait())
            except queue.Empty:
                return batches

    def stop(self) -> None:
        self._stopping = True
        if self._thread.is_alive():
            self._thread.join(timeout=5)


def watch(root: Path, out: Path, jobs: int | None = None, say: Callable[[str], None] = print,
          stop_event=None, databases: dict[str, str] | None = None, given: list | None = None) -> int:
    """Builds ``root`` into ``out``, then rebuilds on every change until interrupted; returns the exit status.

    ``databases`` are the databases to build with (by alias), ``given`` those the command line named.
    Meanwhile a plain build of the same project and output may hand its work over (``watch_link``)."""
    from korvan_models.pipeline import CheckMemo
    from korvan_models.tools.watch_link import Server

    root, out = Path(root), Path(out)
    accept = project_file_filter(root, out)
    memo = CheckMemo()
    follower = _Follower([root / name for name in PROJECT_FOLDERS if (root / name).is_dir()] or [root], accept,
                         stop_event)
    server = Server(root, out, list(given or []), jobs, wake=follower.woken.set)
    home = os.getcwd()

    def rebuild(changed: str) -> None:
        started = time.perf_counter()
        server.busy = True
        try:
            ok, summary = build_once(root, out, jobs, memo, databases, True, given)
        finally:
            server.busy = False
        took = time.perf_counter() - started
        print(f"{'rebuilt' if ok else 'rebuild failed'} in {took:.2f} s after {changed}: {summary}", flush=True)

    # A stop asked by another process ends it like Ctrl-C: a build in progress is abandoned whole.
    previous = signal.signal(signal.SIGTERM, on_interrupt)
    try:
        before = snapshot(root, accept)
        started = time.perf_counter()
        ok, summary = build_once(root, out, jobs, memo, databases, True, given)
        print(f"{'built' if ok else 'build failed'} in {time.perf_counter() - started:.2f} s: {summary}", flush=True)
        server.start()
        warm_up()
        follower.start()
        ready = False
        # Changes seen and not yet built, and when the first and the last of them were seen.
        changed: set[str] = set()
        first = last = 0.0
        while True:
            if changed:  # woken for the next change, a handed-over build, or when the changes are quiet
                due = min(last + QUIET_MS / 1000, first + 4 * QUIET_MS / 1000)
                follower.woken.wait(max(0.0, due - time.monotonic()))
            else:
                follower.woken.wait()
            follower.woken.clear()
            if follower.ended.is_set():
                if follower.failure is not None:
                    raise follower.failure
                break
            if not ready:
                if not follower.running.is_set():
                    continue
                ready = True
                after = snapshot(root, accept)
                say(f"watching {root} for changes (Ctrl-C ends)")
                if after != before:  # saved while the first build ran
                    keys = {name for name in before.keys() | after.keys() if before.get(name) != after.get(name)}
                    rebuild(describe(root, keys))
            now = time.monotonic()
            for changes in follower.taken():
                first = first if changed else now
                last = now
                changed.update(name for _change, name in changes)
            while (served := server.next()) is not None:
                server.busy = True
                try:
                    status = serve(served, memo, home)
                finally:
                    server.busy = False
                if status in (0, 2):
                    # The handed-over build read the project after the changes taken so far: it built
                    # them, or found the mistake a rebuild here would find. Those that came meanwhile
                    # are still waiting to be taken.
                    changed.clear()
            now = time.monotonic()
            if changed and (now - last >= QUIET_MS / 1000 or now - first >= 4 * QUIET_MS / 1000):
                rebuild(describe(root, changed))
                changed.clear()
    except KeyboardInterrupt:
        print("stopped watching; the output holds the last good build", file=sys.stderr, flush=True)
    finally:
        follower.stop()
        server.stop()
        signal.signal(signal.SIGTERM, previous)
    return 0
