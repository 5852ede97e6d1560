"""Reading and checking a project folder, up to and including verification.

One walk reads every project file once (``files``); the schemas, option lists, custom code and
fixture records parsed from those bytes keep the file they came from, and each mistake is made
as a ``Problem`` where it is found (``diagnose``). Each stage reports every mistake it can find
and the check stops after the first stage that found any, since later stages would only repeat
them. The framework's verification then runs once on the whole set as the final gate, and the
classes of the models that have fixture records or custom code are generated into a temporary
folder and imported, so that every record is tried as a build would store it.
"""

from __future__ import annotations

import logging
import os
import re
import sys
import traceback
import warnings as warning_module
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from korvan_models.classes.data_models.dependencies import DependencyModelNames
from korvan_models.errors import KorvanValidationError
from korvan_models.pipeline import diagnose, parts
from korvan_models.pipeline.files import OPTIONS_FOLDER, KnownBytes, ProjectFiles, walk
from korvan_models.pipeline.problems import Problem, ProjectError, did_you_mean
from korvan_models.schemas.loaders.base import CustomCodeLoaderBase, OptionsLoaderBase
from korvan_utils.models.data_models.schema import ObjectSchema

CORE_TYPE_NAMES = diagnose.CORE_TYPE_NAMES
TRIAL_PACKAGE = "models"
_ADDRESS = re.compile(r":\d{6,}(?=\.)")


@dataclass
class Project:
    """A checked project: its schemas (each with its file) and what the check had to say."""

    root: Path
    models_dir: Path
    entries: list[tuple[Path, ObjectSchema]]
    names: DependencyModelNames
    warnings: list[str] = field(default_factory=list)
    records: list[diagnose.Record] = field(default_factory=list)
    files: ProjectFiles | None = None
    code: dict[Path, list[diagnose.CodeFile]] = field(default_factory=dict)
    # Module texts the trial generated or reused, by model key: the build need not make them again.
    texts: dict[str, str] = field(default_factory=dict)
    # What an earlier check of the same project remembers (``CheckMemo``), when one was given.
    memo: CheckMemo | None = None
    _fixture_folders: list[Path] | None = field(default=None, repr=False)

    @property
    def schemas(self) -> list[ObjectSchema]:
        """The schemas alone, in file order."""
        return [schema for _path, schema in self.entries]

    def fixture_folders(self) -> list[Path]:
        """Every ``models/*/fixtures`` entry, sorted; looked up once for the steps of one build."""
        if self._fixture_folders is None:
            self._fixture_folders = sorted(self.models_dir.glob("*/fixtures"))
        return self._fixture_folders


# --- what a process that checks the project again keeps of the last check ------------------------


@dataclass(eq=False)
class _Remembered:
    """One schema file as the last check read it: its bytes and the one schema validated from them.

    The schema object is handed to the next check only while ``reusable``: nothing changed it
    (neither option lists nor custom code were filled into it, and the trial did not generate from
    it). Its property problems (none) hold for the set of known titles ``clean_for``, and its model
    key for the names of ``key_for``."""

    data: bytes
    schema: ObjectSchema
    reusable: bool = True
    clean_for: frozenset | None = None
    key_for: tuple | None = None
    key: str | None = None
    shelf: Any = None


class CheckMemo:
    """Kept by a process that checks one project again and again (the watching build): the schema
    files it read, by path and exact bytes, with the work done on their schemas that depends on
    nothing but those bytes (and, where said, on the set of model titles or the models' names).

    Whatever the project's other files, every check still runs in full over the whole set: the
    titles, parents, columns, option lists, custom code, the framework's verification and the
    trial. Only a file whose bytes are the same as last time skips its parsing and validation,
    and its own property checks while the set of known titles is the same too."""

    def __init__(self) -> None:
        self._files: dict[str, _Remembered] = {}
        self._by_schema: dict[int, _Remembered] = {}
        self._names: tuple | None = None
        self._names_generation = 0
        self.reused = 0
        # The bytes of the project's files as read, for the next walk.
        self.known = KnownBytes()

    def read_schema_file(self, path: Path, data: bytes) -> tuple[list[ObjectSchema], list[Problem]]:
        """``diagnose.read_schema_file``, with the schema of a file whose bytes did not change reused."""
        # By the absolute path: the watcher's own builds and those handed over to it may spell it differently.
        where = os.path.abspath(path)
        kept = self._files.get(where)
        if kept is not None and kept.reusable and kept.data == data:
            self.reused += 1
            self._by_schema[id(kept.schema)] = kept
            return [kept.schema], []
        schemas, problems = diagnose.read_schema_file(path, data)
        if len(schemas) == 1 and not problems:
            kept = _Remembered(bytes(data), schemas[0])
            self._files[where] = kept
            self._by_schema[id(kept.schema)] = kept
        else:
            self._files.pop(where, None)
        return schemas, problems

    def begin(self) -> None:
        """A new check: the schemas handed out are counted afresh."""
        self._by_schema.clear()
        self.reused = 0

    def _of(self, schema: ObjectSchema) -> _Remembered | None:
        kept = self._by_schema.get(id(schema))
        return kept if kept is not None and kept.schema is schema else None

    def changing(self, schema: ObjectSchema) -> None:
        """The schema is about to be changed or handed to code that may change it: the next check
        validates its file again."""
        kept = self._of(schema)
        if kept is not None:
            kept.reusable = False
            kept.clean_for = kept.key_for = kept.key = kept.shelf = None

    def unchanged(self, schema: ObjectSchema) -> _Remembered | None:
        """The remembered file of a schema that is as validated from its bytes."""
        kept = self._of(schema)
        return kept if kept is not None and kept.reusable else None

    def property_problems(self, path: Path, schema: ObjectSchema, defined: dict[str, str],
                          titles: frozenset) -> list[Problem]:
        """``diagnose.property_problems``; a schema found without problems for the same known
        titles is not looked at again."""
        kept = self.unchanged(schema)
        if kept is not None and kept.clean_for == titles:
            return []
        problems = diagnose.property_problems(path, schema, defined)
        if kept is not None:
            kept.clean_for = None if problems else titles
        return problems

    def model_keys(self, schemas: list, names: DependencyModelNames, package: str) -> dict[str, str]:
        """``generate.model_keys``; the key of an unchanged schema is taken as it was while the
        models' names and parents are the same."""
        from korvan_models.pipeline.generate import model_keys

        state = (names.modules, names.parents)
        if self._names != state:
            self._names = (dict(names.modules), dict(names.parents))
            self._names_generation += 1
        stamp = (self._names_generation, package)
        keys, todo = {}, []
        for schema in schemas:
            kept = self.unchanged(schema)
            if kept is not None and kept.key_for == stamp:
                keys[schema.title] = kept.key
            else:
                todo.append(schema)
        made = model_keys(todo, names, package) if todo else {}
        for schema in todo:
            kept = self.unchanged(schema)
            if kept is not None:
                kept.key_for, kept.key = stamp, made[schema.title]
        keys.update(made)
        return {schema.title: keys[schema.title] for schema in schemas}

    def shelf(self, schema: ObjectSchema):
        """The shelved copy of an unchanged schema, made once per version of its file."""
        from korvan_models.pipeline.generate import ShelvedSchema

        kept = self.unchanged(schema)
        if kept is None:
            return ShelvedSchema(schema)
        if kept.shelf is None:
            kept.shelf = ShelvedSchema(schema)
        return kept.shelf

    def forget_absent(self, paths: list[Path]) -> None:
        """Lets go of the files that are no longer part of the project."""
        present = {os.path.abspath(path) for path in paths}
        for where in [where for where in self._files if where not in present]:
            del self._files[where]


def project_model_keys(project: Project, package: str) -> dict[str, str]:
    """The reuse key of every model of a checked project, by title."""
    from korvan_models.pipeline.generate import model_keys

    if project.memo is not None:
        return project.memo.model_keys(project.schemas, project.names, package)
    return model_keys(project.schemas, project.names, package)


def shelved(project: Project, schema: Any) -> Any:
    """A schema of the project as a ``ShelvedSchema``."""
    from korvan_models.pipeline.generate import ShelvedSchema

    if isinstance(schema, ShelvedSchema):
        return schema
    return project.memo.shelf(schema) if project.memo is not None else ShelvedSchema(schema)


# --- the loaders the extenders read from: what the walk already read ------------------------------


class ReadOptions(OptionsLoaderBase):
    """The option lists already read, for the options binder."""

    def __init__(self, lists: dict[str, tuple[Path, Any]]) -> None:
        self._lists = lists

    def iter_options(self) -> Iterator[Any]:
        return iter([record for _path, record in self._lists.values()])


class ReadCustomCode(CustomCodeLoaderBase):
    """The custom code already read and joined, for the custom code binder."""

    def __init__(self, code: dict[str, str]) -> None:
        self._code = code

    def iter_custom_code(self) -> Iterator[Any]:
        from korvan_models.schemas.data_models.custom_code import CustomCodeSchema

        return iter([CustomCodeSchema(name=title, code=text) for title, text in self._code.items() if text])


@contextmanager
def quiet_extenders() -> Iterator[None]:
    """Keeps the extenders' own warnings (worded for their developers) from reaching the root logger."""
    logger = logging.getLogger(parts.EXTENDERS)
    propagate, logger.propagate = logger.propagate, False
    handler = logging.NullHandler()
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate


# --- kept for the store: the fixture record files of a project -------------------------------------


def fixture_files(models_dir: Path) -> list[Path]:
    """The record files of every model's fixtures folder."""
    return sorted(path for paths in walk(models_dir.parent).fixtures.values() for path, _data in paths)


def broken_fixture_files(models_dir: Path) -> list[Problem]:
    """The fixture files that cannot be read, each with what is wrong."""
    files = walk(models_dir.parent)
    problems = list(files.problems)
    schemas = {path.parent: schemas for path, data in files.schemas
               for schemas in [diagnose.read_schema_file(path, data)[0]] if schemas}
    for model_dir, items in files.fixtures.items():
        schema = schemas.get(model_dir, [ObjectSchema(title=model_dir.name, type="object")])[0]
        for path, data in items:
            problems += diagnose.read_fixture_file(path, data, schema)[1]
    return problems


# --- the check ----------------------------------------------------------------------------------


def _read(files: ProjectFiles, memo: CheckMemo | None = None
          ) -> tuple[list, dict, dict, dict, list[diagnose.Record], list[Problem]]:
    """Parses every file the walk read: schemas, option lists, custom code and fixture records."""
    problems = list(files.problems)
    entries: list[tuple[Path, ObjectSchema]] = []
    first: dict[Path, ObjectSchema] = {}
    read_schema_file = memo.read_schema_file if memo is not None else diagnose.read_schema_file
    for path, data in files.schemas:
        schemas, found = read_schema_file(path, data)
        problems += found
        entries += [(path, schema) for schema in schemas]
        if schemas:
            first[path.parent] = schemas[0]
    option_lists, found = diagnose.read_option_lists(files.options)
    problems += found
    code: dict[Path, list[diagnose.CodeFile]] = {}
    for model_dir, items in files.code.items():
        title = first[model_dir].title if model_dir in first else model_dir.name
        code[model_dir], found = diagnose.read_custom_code(title, items)
        problems += found
    records: list[diagnose.Record] = []
    for model_dir, items in files.fixtures.items():
        schema = first.get(model_dir)
        for path, data in items:
            if schema is None:
                continue
            found_records, found = diagnose.read_fixture_file(path, data, schema)
            records += found_records
            problems += found
    return entries, first, option_lists, code, records, problems


def _extend(entries, first, option_lists, code, warnings: list[str], models_dir: Path,
            memo: CheckMemo | None = None) -> list[Problem]:
    """Fills option lists and custom code into every schema; unknown option lists are problems."""
    problems = []
    names = list(option_lists)
    used: set[str] = set()
    for path, schema in entries:
        for key, prop in (schema.properties or {}).items():
            name = prop.options_list_name
            if name and name not in option_lists:
                problems.append(Problem(path, f"unknown option list {name!r}{did_you_mean(name, names)}",
                                        schema.title, key))
            elif name:
                used.add(name)
    if problems:
        return problems
    joined = {first[model_dir].title: diagnose.joined_code(files) for model_dir, files in code.items()
              if model_dir in first}
    if memo is not None:
        for _path, schema in entries:
            if joined.get(schema.title) or any(prop.options_list_name for prop in (schema.properties or {}).values()):
                memo.changing(schema)
    with quiet_extenders():
        options = parts.options_binder(ReadOptions(option_lists))
        custom_code = parts.custom_code_binder(ReadCustomCode(joined))
        for _path, schema in entries:
            options.extend(schema)
            custom_code.extend(schema)
        options.post_extend()
        custom_code.post_extend()
    unused = sorted(set(option_lists) - used)
    if unused:
        folder = models_dir / OPTIONS_FOLDER
        warnings.append(f"{folder}: option list{'s' if len(unused) > 1 else ''} "
                        f"{', '.join(repr(name) for name in unused)} {'are' if len(unused) > 1 else 'is'} "
                        "not used by any property")
    return problems


def _schema_problems(entries, first, code, memo: CheckMemo | None = None) -> list[Problem]:
    """Titles, properties, defaults, options, parents and custom code of the extended schemas."""
    groups = parts.schema_groups()
    framework = [schema.title for group in groups for schema in group]
    problems = diagnose.title_problems(entries, framework)
    defined = {**{schema.title.lower(): "" for schema in groups[0]},
               **{schema.title: "" for group in groups[1:] for schema in group},
               **{schema.title: "" for _path, schema in entries}}
    if memo is not None:
        titles = frozenset(defined)
        for path, schema in entries:
            problems += memo.property_problems(path, schema, defined, titles)
    else:
        for path, schema in entries:
            problems += diagnose.property_problems(path, schema, defined)
    for model_dir, files in code.items():
        schema = first.get(model_dir)
        if schema is not None:
            problems += diagnose.custom_code_problems(schema.title, files, set(schema.properties or {}))
    problems += diagnose.parent_problems(entries)
    return problems or diagnose.column_problems(entries)


def _gate(models_dir: Path, entries) -> list[Problem]:
    """The framework's verification, once, over the whole set; what it refuses is still one line."""
    verifier = parts.ProjectVerifier()
    groups = parts.schema_groups()
    user = [schema for _path, schema in entries]
    try:
        verifier.verify_schemas(*groups, user)
        verifier.check_dependencies(*groups, user)
    except KorvanValidationError as error:
        return [Problem(models_dir, f"verification refused the models: {error.message}")]
    return []


def _placed(problems: list[Problem], files: ProjectFiles) -> list[Problem]:
    """The problems about properties given the line of the property in its schema file (found only now,
    from the bytes already read, since a project without problems never needs them)."""
    wanted = {problem.path for problem in problems if problem.prop and problem.line is None}
    lines = {path: diagnose.property_lines(data.decode("utf-8", "replace"))
             for path, data in files.schemas if path in wanted}
    return diagnose.placed(problems, lines)


def check_project(root: Path, previous: Callable[[], dict[str, str]] | None = None,
                  memo: CheckMemo | None = None) -> Project:
    """Reads, extends and verifies the project at ``root``; raises ``ProjectError`` listing its mistakes.

    ``previous`` gives the module texts of an earlier build by model key (asked only when the trial
    needs a class), which the trial takes instead of generating them again. ``memo`` keeps what
    this check found for the next check of the same project in this process."""
    root = Path(root)
    if not root.is_dir():
        why = "is not a folder" if os.path.lexists(root) else "no such project folder"
        raise ProjectError([Problem(root, why)])
    models_dir = root / "models"
    if not models_dir.is_dir():
        raise ProjectError([Problem(root, "no 'models' folder: a project keeps one folder per model under models/")])
    files = walk(root, memo.known if memo is not None else None)
    if memo is not None:
        memo.begin()
        memo.forget_absent([path for path, _data in files.schemas])
    entries, first, option_lists, code, records, problems = _read(files, memo)
    if problems:
        raise ProjectError(_placed(problems, files))
    if not entries:
        raise ProjectError([Problem(models_dir, "no model schemas (models/<name>/model.json)")])
    warnings: list[str] = []
    problems = _extend(entries, first, option_lists, code, warnings, models_dir, memo)
    problems = problems or _schema_problems(entries, first, code, memo)
    problems = problems or _gate(models_dir, entries)
    if problems:
        raise ProjectError(_placed(problems, files))
    names = DependencyModelNames.from_schemas(schema for _path, schema in entries)
    # The bytes the walk read are not needed past the check (about a kilobyte and a half per model).
    project = Project(root, models_dir, entries, names, warnings, records, None, code, memo=memo)
    problems = trial(project, {first[model_dir].title for model_dir in code if model_dir in first}, previous)
    if problems:
        raise ProjectError(problems)
    return project


# --- the trial: classes generated into a temporary folder, records validated by them -------------


def _needed(project: Project, titles: set[str]) -> list[ObjectSchema]:
    """The schemas of ``titles`` and of every model they extend or refer to."""
    by_title = {schema.title: schema for schema in project.schemas}
    todo, seen = list(titles), set()
    while todo:
        title = todo.pop()
        if title in seen or title not in by_title:
            continue
        seen.add(title)
        schema = by_title[title]
        todo.append(schema.type)
        for prop in (schema.properties or {}).values():
            todo += diagnose._type_names(prop)
    return [schema for schema in project.schemas if schema.title in seen]


def _where(project: Project, error: BaseException, folder: Path) -> tuple[Path | None, int | None, str | None]:
    """The file (the model's custom code where the failing line is its own, else its model.json),
    the line and the model of a failure inside a generated module."""
    models = {project.names.module_name(schema.title): (path, schema.title) for path, schema in project.entries}
    for frame in reversed(traceback.extract_tb(error.__traceback__)):
        candidate = Path(frame.filename)
        if candidate.parent != folder or candidate.stem not in models:
            continue
        path, title = models[candidate.stem]
        failing = (frame.line or "").strip()
        for code_file in project.code.get(path.parent, []) if failing else []:
            for number, line in enumerate(code_file.text.splitlines(), 1):
                if line.strip() == failing:
                    return code_file.path, number, title
        return path, None, title
    return None, None, None


def trial(project: Project, code_titles: set[str], previous: Callable[[], dict[str, str]] | None = None) -> list[Problem]:
    """Generates the classes that custom code or fixture records need into a temporary folder,
    imports them, and validates every record as the store would.

    A class is generated as the build generates it (same package name, in a neutral working
    folder), so its text is kept in ``project.texts`` for the build; a text ``previous`` gives for
    the model's key is taken as it is."""
    from korvan_models.pipeline.generate import (
        Failure,
        GenerationError,
        model_keys,
        neutral_folder,
        render_model,
        temporary_folder,
    )

    titles = {schema.title for schema in project.schemas}
    paths = {schema.title: path for path, schema in project.entries}
    problems = []
    for record in project.records:
        if record.class_name not in titles:
            problems.append(Problem(record.path, f"records of {record.class_name!r}, which is not a model of the "
                                                 f"project{did_you_mean(record.class_name, titles)}", line=record.line))
    if problems:
        return problems
    needed = _needed(project, code_titles | {record.class_name for record in project.records})
    if not needed:
        return []
    if project.memo is not None:
        for schema in needed:
            project.memo.changing(schema)
    earlier = previous() if previous is not None else {}
    keys = model_keys(needed, project.names, TRIAL_PACKAGE)
    texts = {schema.title: earlier[keys[schema.title]] for schema in needed if keys[schema.title] in earlier}
    with neutral_folder():
        for schema in needed:
            if schema.title in texts:
                continue
            try:
                texts[schema.title] = render_model(TRIAL_PACKAGE, schema, project.names)
            except Exception as error:  # sorted into the project's mistakes and the generator's own below
                failure = Failure(schema.title, type(error).__name__, str(error), traceback.format_exc())
                if not failure.is_project_mistake:
                    raise GenerationError(failure) from error
                problems.append(Problem(paths[schema.title], failure.message, schema.title))
    if problems:
        return problems
    project.texts = {keys[title]: text for title, text in texts.items()}
    with temporary_folder("korvan-check-") as place:
        return _import_and_validate(project, Path(place), texts, paths, code_titles)


def _import_and_validate(
    project: Project, place: Path, texts: dict[str, str], paths: dict[str, Path], code_titles: set[str]
) -> list:
    from korvan_models.classes.model import MODEL_REGISTRY
    from korvan_models.pipeline import store

    package = place / TRIAL_PACKAGE
    package.mkdir()
    lines = ['"""Generated model classes, for a check; the check completes each class itself."""', ""]
    for title, text in texts.items():
        module = project.names.module_name(title)
        (package / f"{module}.py").write_text(text, "utf-8")
        lines.append(f"from {TRIAL_PACKAGE}.{module} import {title}  # noqa: F401")
    lines.append("")
    (package / "__init__.py").write_text("\n".join(lines), "utf-8")
    (place / store.SETTINGS_FILE).write_text(store.settings_text(TRIAL_PACKAGE), "utf-8")
    problems = []
    with store.settings_in_force(place), warning_module.catch_warnings(record=True) as caught:
        warning_module.simplefilter("always")
        try:
            with store.generated_package(place, TRIAL_PACKAGE):
                problems += _complete(MODEL_REGISTRY.models(TRIAL_PACKAGE), paths, code_titles, project.names)
                for record in project.records if not problems else []:
                    problem = _validate(MODEL_REGISTRY.get(record.class_name, TRIAL_PACKAGE), record)
                    if problem is not None:
                        problems.append(problem)
        except ProjectError:
            raise
        except Exception as error:  # importing the generated classes ran the project's custom code
            where, line, model = _where(project, error, package)
            problems.append(Problem(where or project.models_dir, "the generated class cannot be imported: "
                                    f"{type(error).__name__}: {_first_line(error)}", model, line=line))
        finally:
            for name in [n for n in sys.modules if n == TRIAL_PACKAGE or n.startswith(TRIAL_PACKAGE + ".")]:
                del sys.modules[name]
    for item in caught:
        text = str(item.message).replace(str(package) + os.sep, "")
        project.warnings.append(f"{project.models_dir}: importing the generated classes: {text}")
    return problems


def _complete(classes: list, paths: dict[str, Path], with_code: set[str], names: DependencyModelNames) -> list[Problem]:
    """Completes each class as the package's import does, so that a refusal names its model.

    A class refers to others, so one broken class breaks those that refer to it too: the classes
    with custom code are completed first, and only the first refusal is reported.
    """
    qualified_names = {cls.__name__: f"{TRIAL_PACKAGE}.{names.module_name(cls.__name__)}.{cls.__name__}."
                       for cls in classes}
    for model_class in sorted(classes, key=lambda cls: cls.__name__ not in with_code):
        try:
            model_class.model_rebuild(raise_errors=True, _types_namespace={})
        except Exception as error:  # the class's own fields, validators or custom code refused
            # Pydantic names a decorator by its class and the id of an object: the id says nothing here.
            message = _ADDRESS.sub("", _first_line(error))
            # Completing a class completes those it refers to: a message naming one of them is that one's.
            title = next((name for name, qualified in qualified_names.items() if qualified in message),
                         model_class.__name__)
            return [Problem(paths.get(title), "the generated class cannot be completed: "
                            f"{type(error).__name__}: {message}", title)]
    return []


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def _validate(model_class: Any, record: diagnose.Record) -> Problem | None:
    """The problem of one fixture record, validated and prepared as the store does before writing."""
    import pydantic

    label = f"record {record.external_id!r}: " if record.external_id else ""
    if model_class is None:
        return Problem(record.path, f"{label}no class for {record.class_name!r}", record.class_name, line=record.line)
    try:
        instance = model_class.model_validate(record.data)
        before_save = getattr(instance, "before_save", None)
        if callable(before_save):
            before_save()
    except pydantic.ValidationError as error:
        first = error.errors()[0] if error.errors() else {"loc": (), "msg": str(error)}
        prop = ".".join(str(step) for step in first["loc"]) or None
        return Problem(record.path, label + first["msg"], record.class_name, prop, line=record.line)
    except Exception as error:  # the model's own code refused the record
        return Problem(record.path, f"{label}{type(error).__name__}: {_first_line(error)}", record.class_name,
                       line=record.line)
    return None
