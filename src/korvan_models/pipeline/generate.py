"""Model class generation: one module text per model, reused when nothing it depends on changed,
and spread over worker processes when there is much to do."""

from __future__ import annotations

import gc
import hashlib
import json
import os
import pickle
import zlib
import signal
import sys
import tempfile
import time
import traceback
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from korvan_models.errors import INTERRUPTS, signals_held

if TYPE_CHECKING:
    from korvan_models.classes.data_models.dependencies import DependencyModelNames
    from korvan_utils.models.data_models.schema import ObjectSchema

# Fewer models than this are not worth starting a worker process for.
PARALLEL_THRESHOLD = 4
# How long the processor's use is watched to count the free cores (seconds).
CORE_SAMPLE = 0.1
_generator_version: str | None = None


def generator_version() -> str:
    """A digest of the installed generator: the package version and the code that writes classes."""
    global _generator_version
    if _generator_version is None:
        from importlib import metadata

        import korvan_models.classes as classes

        digest = hashlib.sha256()
        try:
            digest.update(metadata.version("korvan-models").encode())
        except metadata.PackageNotFoundError:
            pass
        root = Path(classes.__file__).parent
        for path in sorted(root.rglob("*")):
            if path.suffix in (".py", ".so", ".pyd") and "__pycache__" not in path.parts:
                digest.update(str(path.relative_to(root)).encode() + b"\0" + path.read_bytes())
        _generator_version = digest.hexdigest()
    return _generator_version


def machine_cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:
        return os.cpu_count() or 1


def _counters() -> tuple[int, int]:
    """The processor's counters of all cores together: all time, and time idle or waiting for input."""
    with open("/proc/stat", "rb") as stat_file:
        fields = [int(value) for value in stat_file.readline().split()[1:9]]
    return sum(fields), fields[3] + fields[4]


# The counters, this process's own processor time and the clock when watching began (``watch_cores``).
_watch: tuple[int, int, float, float] | None = None
# A watch begun longer ago than this (seconds) says too little about now: a fresh one is taken.
WATCH_LIMIT = 2.0


def watch_cores() -> None:
    """Begins watching the processor's use now, so that counting the free cores later (``free_cores``)
    takes the time in between (the check) instead of waiting for a fresh sample. A watch begun less
    than half of ``WATCH_LIMIT`` ago goes on."""
    global _watch
    if _watch is not None and time.monotonic() - _watch[3] < WATCH_LIMIT / 2:
        return
    try:
        total, idle = _counters()
    except (OSError, ValueError, IndexError):
        _watch = None
        return
    _watch = (total, idle, time.process_time(), time.monotonic())


# The watch begins as the build's code is loaded (this module is the first of it), so that loading
# it counts towards the sample along with the check.
watch_cores()


def _busy_cores(sample: float) -> float | None:
    """How many of the machine's cores other work keeps busy now, watched over at least ``sample``
    seconds (Linux's processor counters, less this process's own use); ``None`` where they cannot
    be read. A watch begun by ``watch_cores`` counts for its time so far, and is used up."""
    global _watch
    started, _watch = _watch, None
    try:
        if started is None or time.monotonic() - started[3] > WATCH_LIMIT:
            total, idle = _counters()
            started = (total, idle, time.process_time(), time.monotonic())
        time.sleep(max(0.0, sample - (time.monotonic() - started[3])))
        total_after, idle_after = _counters()
    except (OSError, ValueError, IndexError):
        return None
    elapsed, wall = total_after - started[0], time.monotonic() - started[3]
    if elapsed <= 0 or wall <= 0:
        return None
    busy = (os.cpu_count() or 1) * (elapsed - (idle_after - started[1])) / elapsed
    return max(0.0, busy - (time.process_time() - started[2]) / wall)


def free_cores(sample: float = CORE_SAMPLE) -> int:
    """The cores this process may run on that other work leaves free, at least one: a core counts
    once less than 0.7 of one is in use elsewhere. The use is watched now, for ``sample`` seconds;
    the last minute's load average, which also counts work that has just ended (an earlier build),
    stands in where the processor's counters cannot be read."""
    cores = machine_cores()
    busy = _busy_cores(sample) if sample > 0 else None
    if busy is None:
        try:
            busy = os.getloadavg()[0]
        except OSError:
            return cores
    return max(1, min(cores, int(cores - busy + 0.7)))


class _Resolver:
    """Which known model a text in a schema stands for, the way the import collector resolves it."""

    def __init__(self, names: DependencyModelNames) -> None:
        self.names = names
        self.by_lower: dict[str, list[str]] = {}
        for title in names.modules:
            self.by_lower.setdefault(title.lower(), []).append(title)

    def resolve(self, text: str) -> str | None:
        if text in self.names.modules:
            return text
        matches = self.by_lower.get(text.lower(), ())
        return matches[0] if len(matches) == 1 else None


def _type_names(description, found: set[str]) -> None:
    """Collects the type names of a property or type description and of the descriptions it holds
    (``type``, ``key_type``, ``value_type``; ``items``, ``key``, ``value``)."""
    fields = vars(description)  # a missing attribute of a pydantic model costs an exception
    for key in ("type", "key_type", "value_type"):
        name = fields.get(key)
        if isinstance(name, str):
            found.add(name)
    for key in ("items", "key", "value"):
        inner = fields.get(key)
        if hasattr(inner, "__dict__"):
            _type_names(inner, found)


def names_used(schema: ObjectSchema, resolver: _Resolver) -> str:
    """What of the other models a model's text can depend on: for its own title, its parent and every
    type its properties name that is a known model, that model's title, module and parent.

    Adding, removing or renaming a model changes only the keys of the models whose schemas name it.
    """
    found = {schema.title, schema.type}
    for prop in (schema.properties or {}).values():
        _type_names(prop, found)
    used = []
    for text in sorted(found):
        title = resolver.resolve(text)
        if title is not None:
            used.append([text, title, resolver.names.modules[title], resolver.names.parents.get(title)])
    return json.dumps(used)


def model_key(schema: ObjectSchema, shared: str, used: str = "") -> str:
    """The key under which a model's text is reused: fingerprint, custom code, generator, names used."""
    from korvan_models.schemas.utils.schema_digest import calculate_schema_digest

    text = "\0".join([generator_version(), shared, calculate_schema_digest(schema), schema.custom_code or "", used])
    return hashlib.sha256(text.encode()).hexdigest()


class ShelvedSchema:
    """A checked schema kept as its pickled bytes, compressed: a build holds every model's schema from
    the check to the end, and the schema objects take several times the room of their bytes (the
    compression halves those again for a few microseconds a model). ``load`` gives
    a fresh copy of the schema as the check left it, for the step that needs one, which lets go of
    it again when done."""

    __slots__ = ("title", "_data")

    def __init__(self, schema: ObjectSchema) -> None:
        self.title = schema.title
        self._data = zlib.compress(pickle.dumps(schema, pickle.HIGHEST_PROTOCOL), 1)

    def load(self) -> ObjectSchema:
        return pickle.loads(zlib.decompress(self._data))

    def __repr__(self) -> str:
        return f"ShelvedSchema({self.title!r})"


def loaded(schema: ObjectSchema | ShelvedSchema) -> ObjectSchema:
    """The schema itself, taken off the shelf where it was shelved."""
    return schema.load() if isinstance(schema, ShelvedSchema) else schema


def render_model(models_module_name: str, schema: ObjectSchema | ShelvedSchema, names: DependencyModelNames) -> str:
    """The module text of one model: its import block, then its class."""
    from korvan_models.classes.builder.class_source_assembler import ClassSourceAssembler
    from korvan_models.classes.model import Model
    from korvan_utils.models.enums import SchemaTypes

    assembler = ClassSourceAssembler(models_module_name, loaded(schema), SchemaTypes.USER, Model, names)
    text = assembler.dependencies_source + "\n\n" + assembler.model_class_source
    # Let go of the assembler (and the syntax trees it holds) as soon as its text is read.
    clear = getattr(ClassSourceAssembler._build_class_source, "cache_clear", None)
    if clear is not None:
        clear()
    return text


@dataclass
class Failure:
    """A model whose class could not be generated."""

    title: str
    error_type: str
    message: str
    details: str

    @property
    def is_project_mistake(self) -> bool:
        """Whether the failure comes from the project (a bad value or code), not from the generator."""
        return self.error_type in ("ValueError", "SyntaxError", "IndentationError", "KorvanValidationError")


class GenerationError(RuntimeError):
    """The generator itself failed on a model; ``details`` holds the traceback of that failure."""

    def __init__(self, failure: Failure) -> None:
        super().__init__(f"generating {failure.title} failed: {failure.error_type}: {failure.message}")
        self.details = failure.details


@dataclass
class Written:
    """A model whose text the process that generated it handed to the ``sink`` of ``generate``:
    what the sink returned for it."""

    token: object


def _render_all(models_module_name: str, schemas: list, names: DependencyModelNames,
                sink: Callable[[str, str], object] | None = None) -> list:
    results = []
    for schema in schemas:
        try:
            text = render_model(models_module_name, schema, names)
        except Exception as error:  # reported per model by the caller
            results.append(
                (schema.title, Failure(schema.title, type(error).__name__, str(error), traceback.format_exc()))
            )
            continue
        token = sink(schema.title, text) if sink is not None else None
        results.append((schema.title, text if token is None else Written(token)))
    return results


@contextmanager
def _inside(folder: str) -> Iterator[None]:
    """Runs the block with ``folder`` as the working folder, then goes back."""
    try:
        previous: str | None = os.getcwd()
    except OSError:
        previous = None
    os.chdir(folder)
    try:
        yield
    finally:
        os.chdir(previous or "/")


@contextmanager
def temporary_folder(prefix: str) -> Iterator[str]:
    """A new temporary folder for the block, removed after it. Ctrl-C and SIGTERM wait while the
    folder is made and while it is removed, so that an interrupt can neither come between making
    it and taking charge of it nor stop its removal halfway."""
    with signals_held():
        holder = tempfile.TemporaryDirectory(prefix=prefix)
    try:
        yield holder.name
    finally:
        with signals_held():
            holder.cleanup()


@contextmanager
def neutral_folder() -> Iterator[str]:
    """Runs the block in an empty working folder, so that the generated text does not depend on
    where the command runs (the import sorter looks for first-party modules in the working folder)."""
    with temporary_folder(NEUTRAL_PREFIX) as folder, _inside(folder):
        yield folder


NEUTRAL_PREFIX = "korvan-generate-"


# The generation in progress: set before the worker processes are forked, so that they inherit the
# schemas instead of receiving them pickled. Every process takes the next models from the shared
# counter until none are left: CHUNK at a time while there are many, fewer towards the end, so
# that the processes finish together.
_job: tuple | None = None
CHUNK = 8


def chunk_size(left: int, processes: int) -> int:
    """How many of the ``left`` models one of ``processes`` processes takes next."""
    return max(1, min(CHUNK, left // (2 * processes)))


def _render_pulled() -> list:
    models_module_name, schemas, names, counter, processes, sink, folder = _job
    results: list = []
    with _inside(folder):
        while True:
            with counter.get_lock():
                start = counter.value
                size = chunk_size(len(schemas) - start, processes)
                counter.value = start + size
            if start >= len(schemas):
                return results
            results += _render_all(models_module_name, schemas[start : start + size], names, sink)


def _end_workers(pool) -> None:
    """Kills the pool's workers at once (the build is ending) instead of waiting for their work."""
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        process.kill()
    pool.shutdown(wait=False, cancel_futures=True)


def die_with_parent(parent: int) -> None:
    """Run first in each worker: the worker is killed when the build's process ends, however it ends
    (Linux; elsewhere workers notice the closed pipe when they next wait for work)."""
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, INTERRUPTS)
    if sys.platform.startswith("linux"):
        import ctypes

        pr_set_pdeathsig = 1
        ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != parent:  # the build ended before the line above took effect
        os._exit(1)


@contextmanager
def _quiet_collector() -> Iterator[None]:
    """Leaves the objects that outlive the generation (the loaded code and the project) out of the
    collector's work, and collects less often meanwhile. Forked workers then also keep sharing those
    objects' memory instead of copying it when the collector would touch them."""
    threshold = gc.get_threshold()
    gc.freeze()
    gc.set_threshold(GC_THRESHOLD, *threshold[1:])
    try:
        yield
    finally:
        gc.set_threshold(*threshold)
        gc.unfreeze()


# Young objects allocated between collections during generation (700 by default).
GC_THRESHOLD = 5_000


@dataclass
class Generated:
    """Texts by title, the models that failed, how many texts were reused, and how many processes
    generated models."""

    texts: dict[str, str]
    keys: dict[str, str]
    failures: list[Failure]
    reused: int
    workers: int


def model_keys(schemas: list, names: DependencyModelNames, models_module_name: str) -> dict[str, str]:
    """The reuse key of every model, by title (schemas or shelved schemas)."""
    resolver = _Resolver(names)
    keys = {}
    for item in schemas:
        schema = loaded(item)
        keys[schema.title] = model_key(schema, models_module_name, names_used(schema, resolver))
    return keys


def generate(
    schemas: list[ObjectSchema | ShelvedSchema],
    names: DependencyModelNames,
    models_module_name: str,
    previous: dict[str, str] | None = None,
    jobs: int = 1,
    keys: dict[str, str] | None = None,
    made: dict[str, str] | None = None,
    meanwhile: Callable[[], object] | None = None,
    sink: Callable[[str, str], object] | None = None,
    share: bool = False,
) -> Generated:
    """Generates every model's text, reusing ``previous`` texts (by key) and using up to ``jobs`` processes
    (``0``: as many as there are free cores, counted only when there is enough to share).

    ``keys`` are the models' reuse keys when the caller has them already; ``made`` holds texts by
    key generated earlier in this run, taken as they are but counted as generated. ``meanwhile``
    runs in this process once the workers have started, before it takes models of its own (the
    workers take more of them meanwhile); it is not run when there are no workers. With ``share``
    (the work meanwhile is long: it loads much), a few models get one worker of their own, which
    loads the generator and generates them all while this process does that work. ``sink(title, text)``
    is called in the process that generated a text, right after: where it returns something other
    than ``None`` (having written the text out, say), the text is not sent back, and ``texts`` holds
    ``Written`` with what it returned instead.
    """
    global _job
    previous = previous or {}
    made = made or {}
    keys = keys or model_keys(schemas, names, models_module_name)
    texts = {title: previous[key] for title, key in keys.items() if key in previous}
    reused = len(texts)
    texts.update({title: made[key] for title, key in keys.items() if key in made and title not in texts})
    todo = [schema for schema in schemas if schema.title not in texts]
    few = len(todo) < 2 * PARALLEL_THRESHOLD
    shared = bool(todo) and few and share and meanwhile is not None
    if jobs <= 0:
        jobs = free_cores() if not few or shared else 1
    workers = max(1, min(jobs, max(len(todo) // PARALLEL_THRESHOLD, 2 if shared else 1)))
    helpers = workers - 1
    with _quiet_collector():
        if helpers == 0:
            with neutral_folder():
                results = _render_all(models_module_name, todo, names, sink)
        else:
            import multiprocessing
            from concurrent.futures import ProcessPoolExecutor

            if not shared:  # loaded before forking, so every worker shares it instead of loading it again
                import korvan_models.classes.builder.class_source_assembler  # noqa: F401

            context = multiprocessing.get_context("fork")
            # One neutral folder for every process, made and removed by this one: the workers only
            # change into it, since a worker may be killed at any moment (``_end_workers``).
            with signals_held():
                folder = tempfile.TemporaryDirectory(prefix=NEUTRAL_PREFIX)
            try:
                _job = (models_module_name, todo, names, context.Value("q", 0), workers, sink, folder.name)
                with ProcessPoolExecutor(max_workers=helpers, mp_context=context, initializer=die_with_parent,
                                         initargs=(os.getpid(),)) as pool:
                    try:
                        # The workers are forked in the first submit; an interrupt during a fork would
                        # be lost in the fork handlers, so it waits until they have started.
                        with signals_held():
                            futures = [pool.submit(_render_pulled) for _ in range(helpers)]
                        if meanwhile is not None:
                            meanwhile()
                        # Shared, the worker generates every model: this process has done its part.
                        results = [] if shared else _render_pulled()
                        for future in futures:
                            results += future.result()
                    except BaseException:
                        _end_workers(pool)
                        raise
            finally:
                _job = None
                with signals_held():
                    folder.cleanup()
    failures = []
    for title, result in results:
        if isinstance(result, Failure):
            failures.append(result)
        else:
            texts[title] = result
    ordered = {schema.title: texts[schema.title] for schema in schemas if schema.title in texts}
    return Generated(ordered, keys, failures, reused, 1 if shared else helpers + 1)
