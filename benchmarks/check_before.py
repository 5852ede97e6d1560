"""The check as it was before the one-pass diagnosis, kept only to be timed against it.

It re-reads schema files when a loader fails, re-runs the verification mixins on edited deep
copies and reads their messages back with regular expressions.
"""
# ruff: noqa
from __future__ import annotations

import difflib
import json
import re
from collections.abc import Iterable
from dataclasses import dataclass

import pydantic


@dataclass(frozen=True)
class Problem:
    """One mistake in a project: where it is (file, line, model, property) and what is wrong."""

    path: Path | None
    message: str
    model: str | None = None
    prop: str | None = None
    line: int | None = None
    column: int | None = None

    def __str__(self) -> str:
        parts = []
        if self.path is not None:
            place = str(self.path)
            if self.line is not None:
                place += f":{self.line}" + (f":{self.column}" if self.column is not None else "")
            parts.append(place)
        if self.model:
            parts.append(self.model + (f".{self.prop}" if self.prop else ""))
        parts.append(self.message)
        return ": ".join(parts)


class ProjectError(Exception):
    """The project has mistakes; ``problems`` lists every one that was found."""

    def __init__(self, problems: Iterable[Problem]) -> None:
        self.problems = list(problems)
        super().__init__("\n".join(str(p) for p in self.problems))


def did_you_mean(word: str, choices: Iterable[str]) -> str:
    """`` (did you mean 'x'?)`` for a close spelling among ``choices``, else nothing."""
    close = difflib.get_close_matches(str(word), [str(c) for c in choices], n=1, cutoff=0.6)
    return f" (did you mean {close[0]!r}?)" if close else ""


def line_and_column(text: str, position: int) -> tuple[int, int]:
    """1-based line and column of a character position in ``text``."""
    line = text.count("\n", 0, position) + 1
    return line, position - (text.rfind("\n", 0, position) + 1) + 1


def read_json_text(path: Path) -> tuple[object | None, list[Problem]]:
    """The parsed content of a JSON file, or the problems (not UTF-8, invalid JSON) that stop it."""
    data = path.read_bytes()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line, column = line_and_column(data[: error.start].decode("utf-8", "replace"), error.start)
        return None, [Problem(path, f"not UTF-8 text (byte 0x{data[error.start]:02x})", line=line, column=column)]
    try:
        return json.loads(text), []
    except json.JSONDecodeError as error:
        return None, [Problem(path, f"invalid JSON: {error.msg}", line=error.lineno, column=error.colno)]


# What a key of a schema file may be, for suggestions on a misspelt key.
SCHEMA_KEYS = ("title", "type", "description", "version", "properties", "required", "indexed", "unique")
PROPERTY_KEYS = (
    "type", "items", "default", "description", "options", "options_list_name",
    "field_name", "field_id", "is_deleted",
)
ITEMS_KEYS = ("type", "items", "key", "value", "key_type", "value_type")


def validation_problems(path: Path, model: str | None, error: pydantic.ValidationError) -> list[Problem]:
    """One problem per error of a schema file's validation, placed at its model and property."""
    problems = []
    seen = set()
    for item in error.errors():
        loc = [str(part) for part in item["loc"]]
        prop = None
        if len(loc) >= 2 and loc[0] == "properties":
            prop, rest = loc[1], loc[2:]
        else:
            rest = loc
        # A union of item descriptions reports each alternative; the key is what matters.
        rest = [part for part in rest if part not in ("TypeData", "DictSchema", "LegacyDictSchema")]
        if item["type"] == "extra_forbidden":
            key = rest[-1] if rest else "?"
            known = PROPERTY_KEYS if prop and len(rest) == 1 else ITEMS_KEYS if prop else SCHEMA_KEYS
            message = f"unknown key {key!r}{did_you_mean(key, known)}"
            where = ".".join(rest[:-1])
        elif item["type"] == "missing":
            message = f"missing key {rest[-1]!r}" if rest else "missing value"
            where = ".".join(rest[:-1])
        else:
            message = item["msg"]
            where = ".".join(rest)
        if where:
            message = f"{where}: {message}"
        key = (prop, message)
        if key not in seen:
            seen.add(key)
            problems.append(Problem(path, message, model=model or "?", prop=prop))
    return problems


# Parsing the framework's verification messages back into their parts.
MISSING = re.compile(
    r"Property (?P<name>.*?) marked (?:as (?P<field>required|indexed)|is used in '(?P<unique>unique)') but"
)
UNDEFINED = re.compile(r"Class (?P<name>.*) is undefined! This class is set as dependency for (?P<title>.*)")
UNKNOWN_OPTIONS = re.compile(r"Options list name=(?P<name>.*) is unknown")



import keyword
import logging
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path

import pydantic

from korvan_models.pipeline import parts
from korvan_models.classes.data_models.dependencies import DependencyModelNames, model_module_name
from korvan_models.errors import KorvanValidationError
from korvan_utils.models.data_models.core import DictSchema, LegacyDictSchema, TypeData
from korvan_utils.models.data_models.enums import CoreTypes
from korvan_utils.models.data_models.schema import ObjectSchema

CUSTOM_CODE_GROUPS = ("hooks", "modifiers", "properties")
CORE_TYPE_NAMES = tuple(member.value for member in CoreTypes)
# Each stage looks for more mistakes after the first; this bounds a hopeless project.
MAX_PROBLEMS = 200


@dataclass
class Project:
    """A checked project: its schemas (each with its file) and what the check had to say."""

    root: Path
    models_dir: Path
    entries: list[tuple[Path, ObjectSchema]]
    names: DependencyModelNames
    warnings: list[str] = field(default_factory=list)

    @property
    def schemas(self) -> list[ObjectSchema]:
        """The schemas alone, in file order."""
        return [schema for _path, schema in self.entries]


# --- schema files ---------------------------------------------------------------------------------


def diagnose_schema_file(path: Path, error: BaseException | None) -> list[Problem]:
    """Why the schema file at ``path`` could not be read, as precisely as the file allows."""
    if getattr(error, "line", None) is not None:  # the loader placed it in the text already
        return [Problem(Path(error.path), error.message, line=error.line, column=getattr(error, "column", None))]
    if path.is_dir():
        return [Problem(path, "is a folder, not a schema file")]
    data, problems = read_json_text(path)
    if problems:
        return problems
    items = data if isinstance(data, list) else [data]
    for item in items:
        title = item.get("title") if isinstance(item, dict) and isinstance(item.get("title"), str) else None
        try:
            ObjectSchema.model_validate(item)
        except pydantic.ValidationError as invalid:
            problems += validation_problems(path, title or path.parent.name, invalid)
    if problems:
        return problems
    if error is not None:
        field = getattr(error, "field", None)
        message = getattr(error, "message", None) or str(error)
        return [Problem(path, f"{field}: {message}" if field else message)]
    return [Problem(path, "not a model schema: expected a JSON object with a text 'title' and 'type'")]


def read_schemas(models_dir: Path) -> tuple[list[tuple[Path, ObjectSchema]], list[Problem]]:
    """Every schema of the project's model folders, each with its file; and the files that failed."""
    loader = parts.schema_loader(models_dir)
    entries, problems = [], []
    for path in sorted(loader.iter_json_files()):
        try:
            accepted = loader.is_schema_file(path)
            records = list(loader.read_configs_from_file(path)) if accepted else []
        except Exception as error:  # each file's own mistake, reported with its name
            problems += diagnose_schema_file(path, error)
            continue
        if not accepted:
            problems += diagnose_schema_file(path, None)
        entries += [(path, record) for record in records]
    return entries, problems


def custom_code_problems(model_dir: Path, title: str) -> list[Problem]:
    """Syntax errors in a model's custom code files, at each file's own line."""
    problems = []
    for group in CUSTOM_CODE_GROUPS:
        folder = model_dir / group
        if not folder.is_dir():
            continue
        for item in sorted(folder.iterdir()):
            if not (item.is_file() and item.suffix.lower() == ".py"):
                continue
            data = item.read_bytes()
            try:
                text = data.decode("utf-8")
            except UnicodeDecodeError as error:
                line, column = line_and_column(data[: error.start].decode("utf-8", "replace"), error.start)
                problems.append(Problem(item, "not UTF-8 text", model=title, line=line, column=column))
                continue
            try:
                compile(text, str(item), "exec", dont_inherit=True)
            except SyntaxError as error:
                problems.append(
                    Problem(item, f"syntax error: {error.msg}", model=title, line=error.lineno, column=error.offset)
                )
    return problems


def options_file_problems(options_dir: Path) -> list[Problem]:
    """The option list files that cannot be read."""
    from korvan_models.schemas.data_models.options import OptionsListSchema

    problems = []
    for path in sorted(options_dir.glob("*.json")) if options_dir.is_dir() else []:
        data, found = read_json_text(path)
        if not found:
            try:
                OptionsListSchema.model_validate(data)
            except pydantic.ValidationError as invalid:
                found = [Problem(path, f"{'.'.join(map(str, e['loc']))}: {e['msg']}") for e in invalid.errors()]
        problems += found
    return problems


def fixture_files(models_dir: Path) -> list[Path]:
    """The record files of every model's fixtures folder."""
    return sorted(
        entry
        for entry in models_dir.glob("*/fixtures/*")
        if entry.is_file() and entry.name.endswith((".json", ".csv"))
    )


def _fixture_shape(data: object) -> bool:
    """Whether fixture data is an array of records, or an object of such arrays."""
    groups = [data] if isinstance(data, list) else list(data.values()) if isinstance(data, dict) else None
    return groups is not None and all(
        isinstance(group, list) and all(isinstance(record, dict) for record in group) for group in groups
    )


def broken_fixture_files(models_dir: Path) -> list[Problem]:
    """The fixture files that cannot be read, each with what is wrong."""
    problems = []
    for path in fixture_files(models_dir):
        if path.name.endswith(".json"):
            data, found = read_json_text(path)
            if not found and not _fixture_shape(data):
                found = [Problem(path, "fixtures must be a JSON array of records (objects), or an object of such arrays")]
            problems += found
            continue
        import pandas as pd

        try:
            pd.read_csv(path)
        except Exception as error:  # pandas' own parse errors
            problems.append(Problem(path, f"invalid CSV: {error}"))
    return problems


# --- extending ---------------------------------------------------------------------------------


class _Collect(logging.Handler):
    def __init__(self, into: list[str]) -> None:
        super().__init__(logging.WARNING)
        self.into = into

    def emit(self, record: logging.LogRecord) -> None:
        self.into.append(record.getMessage())


@contextmanager
def captured_warnings(into: list[str]) -> Iterator[None]:
    """Collects the extenders' warnings instead of letting them reach the root logger."""
    logger = logging.getLogger(parts.EXTENDERS)
    handler = _Collect(into)
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)


def extend_schemas(models_dir: Path, entries: list[tuple[Path, ObjectSchema]]) -> list[Problem]:
    """Fills option lists and custom code into every schema; unknown option lists are problems."""
    options_loader = parts.options_loader(models_dir)
    try:
        options = parts.options_binder(options_loader)
    except Exception as error:
        return options_file_problems(models_dir / "options") or [Problem(models_dir / "options", str(error))]
    custom_code = parts.custom_code_binder(parts.custom_code_loader(models_dir))
    list_names = [item.title for item in options_loader.iter_options()]
    problems = []
    for path, schema in entries:
        try:
            options.extend(schema)
        except KorvanValidationError as error:
            match = UNKNOWN_OPTIONS.search(str(error))
            name = match["name"] if match else "?"
            prop = next(
                (key for key, value in (schema.properties or {}).items() if value.options_list_name == name), None
            )
            problems.append(
                Problem(path, f"unknown option list {name!r}{did_you_mean(name, list_names)}", schema.title, prop)
            )
        custom_code.extend(schema)
    options.post_extend()
    custom_code.post_extend()
    return problems


# --- verification -----------------------------------------------------------------------------


def _uses(schema: ObjectSchema, name: str) -> list[str]:
    """The properties of ``schema`` whose type description names ``name``."""
    found = []
    for key, prop in (schema.properties or {}).items():
        names = {prop.type}
        items = prop.items
        if isinstance(items, TypeData):
            names.add(items.type)
        elif isinstance(items, DictSchema):
            names |= {items.key.type, items.value.type}
        elif isinstance(items, LegacyDictSchema):
            names |= {items.key_type, items.value_type}
        if name in names:
            found.append(key)
    return found


def _property_problems(verifier, path: Path, schema: ObjectSchema) -> list[Problem]:
    """Names in ``required``, ``indexed`` and ``unique`` that are not properties; cleans ``schema``."""
    problems = []
    known = list(schema.properties or {})
    while len(problems) < MAX_PROBLEMS:
        try:
            verifier.verify_schemas([], [], [], [schema])
            return problems
        except KorvanValidationError as error:
            match = MISSING.search(str(error))
            if match is None:
                return problems + [Problem(path, str(error), schema.title)]
            name, key = match["name"], match["field"] or "unique"
            problems.append(
                Problem(path, f"{key!r} names {name!r}, which is not one of its properties{did_you_mean(name, known)}",
                        schema.title)
            )
            if key == "unique":
                schema.unique = [[n for n in group if n != name] for group in schema.unique]
            else:
                setattr(schema, key, [n for n in getattr(schema, key) if n != name])
    return problems


def _duplicate_problems(groups: tuple[list, list, list], work: list) -> tuple[list[Problem], list]:
    """Titles used twice, at the later file; and the schemas left with one of each title."""
    first_file = {schema.title: "the framework" for group in groups for schema in group}
    problems, unique = [], []
    for path, schema in work:
        if schema.title in first_file:
            problems.append(Problem(path, f"title {schema.title!r} is already used by {first_file[schema.title]}",
                                    schema.title))
        else:
            first_file[schema.title] = str(path)
            unique.append((path, schema))
    return problems, unique


def _dependency_problems(verifier, groups: tuple[list, list, list], unique: list) -> list[Problem]:
    """Every type named but not defined; each reported use is taken out of its (copied) schema."""
    known = [*CORE_TYPE_NAMES, *(schema.title for _path, schema in unique)]
    by_title = {schema.title: (path, schema) for path, schema in unique}
    problems = []
    while len(problems) < MAX_PROBLEMS:
        try:
            verifier.check_dependencies(*groups, [schema for _path, schema in unique])
            return problems
        except KorvanValidationError as error:
            match = UNDEFINED.search(str(error))
            if match is None or match["title"] not in by_title:
                return problems + [Problem(None, str(error))]
            name = match["name"]
            path, schema = by_title[match["title"]]
            hint = did_you_mean(name, known)
            found = []
            if schema.type == name:
                found.append(Problem(path, f"extends {name!r}, which is not a model of the project{hint}", schema.title))
                schema.type = "object"
            for prop in _uses(schema, name):
                found.append(Problem(path, f"type {name!r} is neither a core type nor a model{hint}", schema.title, prop))
                del schema.properties[prop]
            if not found:
                return problems + [Problem(path, str(error), schema.title)]
            problems += found
    return problems


def verify(entries: list[tuple[Path, ObjectSchema]]) -> list[Problem]:
    """Duplicated titles, missing properties and undefined types, each reported once."""
    verifier = parts.ProjectVerifier()
    groups = parts.schema_groups()
    user = [schema for _path, schema in entries]
    try:
        verifier.verify_schemas(*groups, user)
        verifier.check_dependencies(*groups, user)
        return []
    except KorvanValidationError:
        pass  # look again, on copies, for every mistake rather than the first
    work = [(path, schema.model_copy(deep=True)) for path, schema in entries]
    problems = []
    for path, schema in work:
        problems += _property_problems(verifier, path, schema)
    duplicates, unique = _duplicate_problems(groups, work)
    verifier.verify_schemas(*groups, [schema for _path, schema in unique])
    return problems + duplicates + _dependency_problems(verifier, groups, unique)


def name_problems(entries: list[tuple[Path, ObjectSchema]]) -> list[Problem]:
    """Titles that cannot name a class and module, and property names that cannot name a field."""
    problems = []
    for path, schema in entries:
        try:
            model_module_name(schema.title)
        except ValueError as error:
            problems.append(Problem(path, str(error), schema.title))
        for name in schema.properties or {}:
            if not name.isidentifier() or keyword.iskeyword(name):
                why = "a Python keyword" if keyword.iskeyword(name) else "not a Python name"
                problems.append(Problem(path, f"property name {name!r} cannot name a field ({why})", schema.title))
    return problems


def naming_problems(entries: list[tuple[Path, ObjectSchema]]) -> list[Problem]:
    """Two titles sharing one module, and models that extend each other in a circle."""
    try:
        DependencyModelNames.from_schemas(schema for _p, schema in entries).ordered_titles()
    except ValueError as error:
        text = str(error)
        where = next(((path, schema.title) for path, schema in entries if f"{schema.title!r}" in text
                      or f"{schema.title} ->" in text), (None, None))
        return [Problem(where[0], text, where[1])]
    return []


def default_problems(entries: list[tuple[Path, ObjectSchema]]) -> list[Problem]:
    """Defaults that the property's type cannot take, converted as the generated class will."""
    from korvan_models.classes.builder.ast_generator.helpers.make_field_statement import cast_property_value as cast

    problems = []
    for path, schema in entries:
        for key, prop in (schema.properties or {}).items():
            if prop.default is None:
                continue
            try:
                cast(prop, prop.default)
            except (ValueError, TypeError) as error:
                problems.append(
                    Problem(path, f"default {prop.default!r} does not fit type {prop.type!r}: {error}",
                            schema.title, key)
                )
    return problems


def check_project(root: Path) -> Project:
    """Reads, extends and verifies the project at ``root``; raises ``ProjectError`` listing its mistakes."""
    models_dir = root / "models"
    if not models_dir.is_dir():
        raise ProjectError([Problem(root, "no 'models' folder: a project keeps one folder per model under models/")])
    entries, problems = read_schemas(models_dir)
    titles = {path.parent: schema.title for path, schema in entries}
    for model_dir in sorted(path.parent for path in models_dir.glob(f"*/{parts.MODEL_JSON_FILE}")):
        problems += custom_code_problems(model_dir, titles.get(model_dir, model_dir.name))
    problems += broken_fixture_files(models_dir)
    if problems:
        raise ProjectError(problems)
    if not entries:
        raise ProjectError([Problem(models_dir, "no model schemas (models/<name>/model.json)")])
    warnings: list[str] = []
    with captured_warnings(warnings):
        problems = extend_schemas(models_dir, entries)
    for stage in (lambda found: name_problems(found) + verify(found), naming_problems, default_problems):
        problems = problems or stage(entries)
    if problems:
        raise ProjectError(problems)
    names = DependencyModelNames.from_schemas(schema for _path, schema in entries)
    return Project(root, models_dir, entries, names, warnings)
