"""Building a project: check it, generate its model classes, store its fixtures, write the output.

``check_project`` reads and verifies a project folder without writing anything; ``build_project``
does the whole job into an output folder, which changes only when the build succeeds.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

from korvan_models.errors import raise_received
from korvan_models.pipeline.generate import (
    Generated,
    GenerationError,
    ShelvedSchema,
    Written,
    free_cores,
    machine_cores,
    watch_cores,
)
from korvan_models.pipeline.generate import generate as generate_classes
from korvan_models.pipeline.output import (
    Output,
    OutputBusy,
    OutputLock,
    WriteFault,
    earlier_texts,
    output_path,
)
from korvan_models.pipeline.problems import Problem, ProjectError
from korvan_models.pipeline.project import CheckMemo, Project, check_project, project_model_keys, shelved
from korvan_models.pipeline.typing_aids import RUFF_CONFIG, stub_text

__all__ = ["BuildReport", "CheckMemo", "OutputBusy", "Problem", "Project", "ProjectError", "WriteFault", "build_project",
           "check_project", "free_cores", "machine_cores"]

MODELS_PACKAGE = "models"


@dataclass
class BuildReport:
    """What a build did. Past the check, the project's schemas are shelved (``ShelvedSchema``:
    the title, and ``load()`` for the schema itself)."""

    project: Project
    output: Path
    generated: int = 0
    reused: int = 0
    workers: int = 1
    kept: list[str] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


def _inside(path: Path, folder: Path) -> bool:
    path, folder = Path(os.path.realpath(path)), Path(os.path.realpath(folder))
    return path == folder or folder in path.parents


def counted(number: int, noun: str) -> str:
    """``1 model``, ``2 models``."""
    return f"{number} {noun}{'' if number == 1 else 's'}"


def output_problems(root: Path, out: Path) -> list[Problem]:
    """Why ``out`` cannot hold a build of the project at ``root``."""
    if _inside(out, root / "models"):
        return [Problem(out, f"the output folder must not be inside the project's models folder ({root / 'models'})")]
    if _inside(root, out):
        return [Problem(out, "the output folder must not contain the project")]
    if out.exists() and not out.is_dir():
        return [Problem(out, "the output exists and is not a folder")]
    return []


def shelve_schemas(project: Project) -> None:
    """Keeps the project's schemas as their pickled bytes from here on (see ``ShelvedSchema``)."""
    project.entries = [(path, shelved(project, schema)) for path, schema in project.entries]


def module_file(project: Project, title: str) -> str:
    """The generated module of a model, relative to the output."""
    return f"{MODELS_PACKAGE}/{project.names.module_name(title)}.py"


def write_module(output: Output, relative: str, text: str) -> None:
    """Writes a generated module and its stub twin for type checkers."""
    output.write(relative, text)
    output.write(relative.removesuffix(".py") + ".pyi", stub_text(text))


def module_writer(project: Project, output: Output) -> Callable[[str, str], dict[str, str] | None]:
    """The ``sink`` of the generation: each process writes the modules it generated into the staging
    folder at once (the writing is shared out with the generating) and hands back their digests. A
    module it cannot write is handed back as text, for the build's own process to write or say why not."""

    def write(title: str, text: str) -> dict[str, str] | None:
        relative = module_file(project, title)
        try:
            write_module(output, relative, text)
        except Exception:  # written again below, where the failure is reported
            return None
        return output.written(relative, relative.removesuffix(".py") + ".pyi")

    return write


def generate_models(project: Project, output: Output, jobs: int, keys: dict[str, str] | None = None,
                    meanwhile: Callable[[], object] | None = None,
                    sink: Callable[[str, str], object] | None = None, share: bool = False) -> Generated:
    """Every model's module text, reusing the previous build's where nothing changed (``meanwhile``
    and ``sink``: see ``generate``)."""
    # The check's trial generated some models already, as this build does (a key names the package).
    generated = generate_classes(project.schemas, project.names, MODELS_PACKAGE, output.previous_texts(), jobs, keys,
                                 project.texts, meanwhile, sink, share)
    tool_failures = [failure for failure in generated.failures if not failure.is_project_mistake]
    if tool_failures:
        raise GenerationError(tool_failures[0])
    if generated.failures:
        paths = {schema.title: path for path, schema in project.entries}
        raise ProjectError([Problem(paths[f.title], f.message, f.title) for f in generated.failures])
    return generated


def build_project(
    root: Path,
    out: Path,
    jobs: int | None = None,
    say: Callable[[str], None] = lambda _text: None,
    databases: dict[str, str] | None = None,
    wait: bool = True,
    finished: Callable[[Path, BuildReport], None] | None = None,
    memo: CheckMemo | None = None,
) -> BuildReport:
    """Builds the project at ``root`` into ``out``; raises ``ProjectError`` and leaves ``out`` as it was on a mistake.

    ``databases`` maps database aliases to SQLAlchemy URLs that the tables and fixtures go to
    (instead of SQLite files beside the output), written without passwords into the output's settings.
    One build at a time works on an output folder: a second one waits for the lock beside it
    (or raises ``OutputBusy`` at once when ``wait`` is false). An interrupt that ends the build
    carries ``output_replaced``: whether the new build was already in place. ``finished`` is called
    with the output folder and the report once the build is in place, while the lock is still held.
    ``memo`` keeps the check's findings for the next build of the same project in this process.
    """
    problems = output_problems(root, out)
    if problems:
        raise ProjectError(problems)
    # The free cores are counted over the check's time, not in a wait of their own before generating.
    watch_cores()
    # The trial of the check takes the texts an earlier build made where their models are unchanged.
    project = check_project(root, lambda: earlier_texts(out), memo)
    say(f"checked {counted(len(project.entries), 'model')} in {root}")
    lock = OutputLock(output_path(out), wait, say)
    output = None
    try:
        output = Output(out)
        project.warnings += output.warnings
        output.warnings = project.warnings
        try:
            output.open()
        except OSError as error:
            raise WriteFault(f"beside the output folder ({output.target.parent})", error) from error
        report = BuildReport(project, output.target)
        # Without --jobs the generation counts the free cores itself, once it knows there is much to do.
        report.kept = write_build(project, output, jobs or 0, report, say, databases or {})
        if finished is not None:
            finished(output.target, report)
    except BaseException as error:
        if isinstance(error, KeyboardInterrupt):
            error.output_replaced = output is not None and output.replaced
        raise
    finally:
        if output is not None:
            output.discard()
        lock.release()
    return report


def write_build(
    project: Project,
    output: Output,
    jobs: int,
    report: BuildReport,
    say: Callable[[str], None],
    databases: dict[str, str] | None = None,
) -> list:
    """Fills the staging folder, stores the fixtures in the databases (the tables made with them, in
    one transaction per database), and puts the staging folder in place of the output.

    Everything that can refuse the build (a file of the user's in the way, a hand-edited file, a
    full disk) is settled before the first record is written."""
    from korvan_models.pipeline import store

    # The settings file's edits are the user's to make: its databases and added keys are kept.
    output.merged.add(store.SETTINGS_FILE)
    databases, kept = store.database_settings(output.target, databases or {}, MODELS_PACKAGE)
    output.write(store.SETTINGS_FILE, store.settings_text(MODELS_PACKAGE, databases, kept))
    with store.databases_in_force(databases):
        return _write_build(project, output, jobs, report, say)


def _write_build(project: Project, output: Output, jobs: int, report: BuildReport, say: Callable[[str], None]) -> list:
    from korvan_models.classes.data_models.dependencies import render_models_init
    from korvan_models.pipeline import store

    keys = project_model_keys(project, MODELS_PACKAGE)
    # The steps below take each schema off the shelf when they need it, one at a time.
    shelve_schemas(project)
    output.check([store.SETTINGS_FILE, f"{MODELS_PACKAGE}/__init__.py"]
                 + [f"{MODELS_PACKAGE}/{project.names.module_name(title)}.py" for title in keys])
    try:
        with store.settings_in_force(output.staging):
            # A table is known to be as its model wants only in the databases it was made in. The
            # tables are planned and prepared while worker processes generate (or after, without them).
            step = store.TableStep(project, output, store.keys_for_databases(keys))
            generated = generate_models(project, output, jobs, keys, step.ahead, module_writer(project, output),
                                        not store.storage_loaded())
            tables, changed, prepared, stored = step.planned()
        report.generated, report.reused = len(generated.texts) - generated.reused, generated.reused
        report.workers = generated.workers
        say(f"generated {counted(report.generated, 'model')}, reused {report.reused}"
            + (f", over {report.workers} processes" if report.workers > 1 else ""))
        models = {}
        # The modules the generating processes wrote are counted in; the others (reused ones) are written
        # here, each with its stub twin, and their texts let go of as they are.
        texts = generated.texts
        for title in list(texts):
            text = texts.pop(title)
            relative = module_file(project, title)
            if isinstance(text, Written):
                output.adopt(text.token)
            else:
                write_module(output, relative, text)
            models[title] = {"key": generated.keys[title], "file": relative, "table": tables[title]}
        output.write(f"{MODELS_PACKAGE}/__init__.py", render_models_init(project.names, MODELS_PACKAGE))
        output.write(f"{MODELS_PACKAGE}/ruff.toml", RUFF_CONFIG)
        # The fixtures are stored again only where they, a model or its tables changed (see fixtures_digest).
        storing = bool(changed) or stored is None or output.manifest.get("stored") != stored
        reader = store.copy_files(project, output, storing)
        output.stored = stored
        kept = output.prepare(models)
        # Tables are made in the transaction that stores the fixtures: a build that fails after the
        # store step began leaves every database as it was.
        store.defer_tables(changed)
        store.defer_prepared(prepared)
        try:
            raise_received()
            if storing:
                report.notes += store.store(project, output, reader, MODELS_PACKAGE)
            elif project.records:
                report.notes.append("fixtures unchanged since the last build: not stored again")
            with store.settings_in_force(output.staging):
                report.notes += store.create_deferred_tables()
                report.notes += store.stored_record_notes(changed)
        finally:
            store.defer_tables([])
    finally:
        store.forget_prepared()
    raise_received()
    output.commit()
    return kept
