"""Model class generation: one module text per model, reused when nothing it depends on changed,
and spread over worker processes when there is much to do."""

from __future__ import annotations

import hashlib
import json
import multiprocessing
import os
import signal
import sys
import traceback
from collections.abc import Iterator
from concurrent.futures import ProcessPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path

from korvan_models.classes.data_models.dependencies import DependencyModelNames
from korvan_utils.models.data_models.schema import ObjectSchema

# Fewer models than this are not worth starting a worker process for.
PARALLEL_THRESHOLD = 4
_generator_version: str | None = None


def generator_version() -> str:
    """A digest of the installed generator: the package version and the code that writes classes."""
    global _generator_version
    if _generator_version is None:
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


def names_digest(names: DependencyModelNames, models_module_name: str) -> str:
    """What every class's imports depend on: the package name, the models' modules and parents."""
    text = json.dumps([models_module_name, names.modules, names.parents], sort_keys=True)
    return hashlib.sha256(text.encode()).hexdigest()


def model_key(schema: ObjectSchema, shared: str) -> str:
    """The key under which a model's text is reused: fingerprint, custom code, generator, names."""
    from korvan_models.schemas.utils.schema_digest import calculate_schema_digest

    text = "\0".join([generator_version(), shared, calculate_schema_digest(schema), schema.custom_code or ""])
    return hashlib.sha256(text.encode()).hexdigest()


def render_model(models_module_name: str, schema: ObjectSchema, names: DependencyModelNames) -> str:
    """The module text of one model: its import block, then its class."""
    from korvan_models.classes.builder.class_source_assembler import ClassSourceAssembler
    from korvan_models.classes.model import Model
    from korvan_utils.models.enums import SchemaTypes

    assembler = ClassSourceAssembler(models_module_name, schema, SchemaTypes.USER, Model, names)
    return assembler.dependencies_source + "\n\n" + assembler.model_class_source


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


def _render_all(models_module_name: str, schemas: list[ObjectSchema], names: DependencyModelNames) -> list:
    results = []
    for schema in schemas:
        try:
            results.append((schema.title, render_model(models_module_name, schema, names)))
        except Exception as error:  # reported per model by the caller
            results.append(
                (schema.title, Failure(schema.title, type(error).__name__, str(error), traceback.format_exc()))
            )
    return results


_INTERRUPTS = {signal.SIGINT, signal.SIGTERM}


@contextmanager
def _signals_held() -> Iterator[None]:
    saved = signal.pthread_sigmask(signal.SIG_BLOCK, _INTERRUPTS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, saved)


def _end_workers(pool: ProcessPoolExecutor) -> None:
    """Kills the pool's workers at once (the build is ending) instead of waiting for their work."""
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        process.kill()
    pool.shutdown(wait=False, cancel_futures=True)


def die_with_parent(parent: int) -> None:
    """Run first in each worker: the worker is killed when the build's process ends, however it ends
    (Linux; elsewhere workers notice the closed pipe when they next wait for work)."""
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _INTERRUPTS)
    if sys.platform.startswith("linux"):
        import ctypes

        pr_set_pdeathsig = 1
        ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != parent:  # the build ended before the line above took effect
        os._exit(1)


@dataclass
class Generated:
    """Texts by title, the models that failed, and how many texts were reused."""

    texts: dict[str, str]
    keys: dict[str, str]
    failures: list[Failure]
    reused: int
    workers: int


def model_keys(schemas: list[ObjectSchema], names: DependencyModelNames, models_module_name: str) -> dict[str, str]:
    """The reuse key of every model, by title."""
    shared = names_digest(names, models_module_name)
    return {schema.title: model_key(schema, shared) for schema in schemas}


def generate(
    schemas: list[ObjectSchema],
    names: DependencyModelNames,
    models_module_name: str,
    previous: dict[str, str] | None = None,
    jobs: int = 1,
    beside: tuple | None = None,
) -> Generated:
    """Generates every model's text, reusing ``previous`` texts (by key) and using up to ``jobs`` processes.

    ``beside``, a function and its arguments, runs in a process of its own meanwhile when ``jobs``
    allows more than one process, else after the generation; its failure is raised.
    """
    previous = previous or {}
    keys = model_keys(schemas, names, models_module_name)
    texts = {title: previous[key] for title, key in keys.items() if key in previous}
    todo = [schema for schema in schemas if schema.title not in texts]
    reused = len(texts)
    workers = max(1, min(jobs, len(todo) // PARALLEL_THRESHOLD or 1))
    helpers = workers - 1 + (beside is not None and jobs > 1)
    if helpers == 0:
        results = _render_all(models_module_name, todo, names)
        if beside is not None:
            beside[0](*beside[1:])
    else:
        if workers > 1:
            # Load the generator before forking so every worker shares it instead of importing it again.
            import korvan_models.classes.builder.class_source_assembler  # noqa: F401

        chunks = [todo[number::workers] for number in range(workers)]
        context = multiprocessing.get_context("fork")
        with ProcessPoolExecutor(max_workers=helpers, mp_context=context, initializer=die_with_parent,
                                 initargs=(os.getpid(),)) as pool:
            try:
                # The workers are forked in the first submit; an interrupt during a fork would be
                # lost in the fork handlers, so it waits until they have started.
                with _signals_held():
                    # With no other worker, the side process starts at once and the generator loads meanwhile.
                    side = pool.submit(*beside) if beside is not None else None
                    futures = [pool.submit(_render_all, models_module_name, chunk, names) for chunk in chunks[1:]]
                results = _render_all(models_module_name, chunks[0], names)
                for future in futures:
                    results += future.result()
                if side is not None:
                    side.result()
            except BaseException:
                _end_workers(pool)
                raise
    failures = []
    for title, result in results:
        if isinstance(result, Failure):
            failures.append(result)
        else:
            texts[title] = result
    ordered = {schema.title: texts[schema.title] for schema in schemas if schema.title in texts}
    return Generated(ordered, keys, failures, reused, workers)
