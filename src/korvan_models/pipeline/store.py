"""The runtime side of a build: settings, tables, fixtures, fixture files and static files."""

from __future__ import annotations

import importlib
import json
import os
import re
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import pydantic

from korvan_models.pipeline import parts
from korvan_models.pipeline.output import Output
from korvan_models.pipeline.problems import Problem, ProjectError, read_json_text
from korvan_models.pipeline.project import Project

SETTINGS_FILE = "settings.json"
DATA_DIR = "data"


def settings_text(models_module_name: str) -> str:
    """The framework settings of the built application, as far as the settings record knows them."""
    from korvan_utils.config.manager import KorvanSettings

    settings = {"models_module_name": models_module_name}
    if "data_dir" in KorvanSettings.model_fields:
        settings["data_dir"] = DATA_DIR
    return json.dumps(settings, indent=4) + "\n"


@contextmanager
def built_application(staging: Path, models_module_name: str) -> Iterator[object]:
    """The generated package imported from ``staging``, with its settings in force."""
    from korvan_models.classes.model import MODEL_REGISTRY
    from korvan_utils.config.manager import SETTINGS_FILE_ENV

    def forget() -> None:
        for name in [n for n in sys.modules if n == models_module_name or n.startswith(models_module_name + ".")]:
            del sys.modules[name]
        MODEL_REGISTRY.forget(models_module_name)

    saved = os.environ.get(SETTINGS_FILE_ENV)
    os.environ[SETTINGS_FILE_ENV] = str(staging / SETTINGS_FILE)
    sys.path.insert(0, str(staging))
    forget()
    try:
        yield importlib.import_module(models_module_name)
    finally:
        sys.path.remove(str(staging))
        forget()
        if saved is None:
            os.environ.pop(SETTINGS_FILE_ENV, None)
        else:
            os.environ[SETTINGS_FILE_ENV] = saved


def fixture_files(models_dir: Path) -> list[Path]:
    """The record files of every model's fixtures folder."""
    return sorted(
        entry
        for entry in models_dir.glob("*/fixtures/*")
        if entry.is_file() and entry.name.endswith((".json", ".csv"))
    )


def broken_fixture_files(models_dir: Path) -> list[Problem]:
    """The fixture files that cannot be read, each with what is wrong."""
    import pandas as pd

    problems = []
    for path in fixture_files(models_dir):
        if path.name.endswith(".json"):
            data, found = read_json_text(path)
            if not found and not isinstance(data, (list, dict)):
                found = [Problem(path, "fixtures must be a JSON array of records, or an object of such arrays")]
            problems += found
        else:
            try:
                pd.read_csv(path)
            except Exception as error:  # pandas' own parse errors
                problems.append(Problem(path, f"invalid CSV: {error}"))
    return problems


def locate_record(models_dir: Path, class_name: str, external_id: object) -> Path | None:
    """The fixture file that holds the record of ``external_id``, else the first of that model's folder."""
    files = fixture_files(models_dir)
    if external_id not in (None, ""):
        token = str(external_id)
        for path in files:
            text = path.read_text("utf-8", errors="replace")
            if path.name.endswith(".json") and json.dumps(token) in text:
                return path
            if path.name.endswith(".csv") and re.search(rf"(^|,){re.escape(token)}(,|$)", text, re.MULTILINE):
                return path
    return next((path for path in files if path.parent.parent.name.replace("_", "") == class_name.lower()), None)


def _validate_records(package: object, document: Path, models_dir: Path) -> list[Problem]:
    """Checks each fixture record against its generated class (used when no store is installed)."""
    problems = []
    for record in json.loads(document.read_text("utf-8")):
        class_name, data = record["class_name"], record["data"]
        where = locate_record(models_dir, class_name, record.get("external_id"))
        model_class = getattr(package, class_name, None)
        if model_class is None:
            problems.append(Problem(where, f"record of unknown model {class_name!r}", class_name))
            continue
        try:
            model_class.model_validate(data)
        except pydantic.ValidationError as invalid:
            for error in invalid.errors():
                field = ".".join(str(part) for part in error["loc"]) or None
                label = f"record {record.get('external_id')!r}: " if record.get("external_id") else ""
                problems.append(Problem(where, label + error["msg"], class_name, field))
    return problems


def store(project: Project, output: Output, models_module_name: str) -> list[str]:
    """Creates the tables, loads the fixtures and copies fixture and static files into the staging folder."""
    staging = output.staging
    notes = []
    output.write(SETTINGS_FILE, settings_text(models_module_name))
    storage = parts.find("korvan_models", "storage") if parts.find("korvan_models.storage", "load_fixtures") else None
    try:
        reader = parts.fixtures_loader(project.models_dir)
    except Exception:
        raise ProjectError(broken_fixture_files(project.models_dir) or [Problem(project.models_dir, "fixtures")])
    with built_application(staging, models_module_name) as package:
        if storage is not None:
            notes += _store_records(project, output, reader, storage)
        else:
            try:
                for document in reader.iter_fixtures():
                    problems = _validate_records(package, document, project.models_dir)
                    if problems:
                        raise ProjectError(problems)
            except ProjectError:
                raise
            except Exception:
                raise ProjectError(broken_fixture_files(project.models_dir) or [Problem(project.models_dir, "fixtures")])
            notes.append("fixtures checked against the generated classes (no store installed)")
    for folder in reader.iter_fixture_files():
        for path in sorted(folder.rglob("*")):
            if path.is_file():
                output.copy(f"files/{path.relative_to(folder).as_posix()}", path)
    for path in parts.statics_loader(project.root).iter_static():
        output.copy(f"static/{path.name}", path)
    return notes


def _store_records(project: Project, output: Output, reader: object, storage: object) -> list[str]:
    """Tables and fixtures through the installed store, into the staging folder's database files."""
    from korvan_models.errors import FixtureRecordError

    to_table = parts.find("korvan_models.schemas.utils.table_layout", "object_schema_to_table_schema")
    data_dir = output.staging / DATA_DIR
    data_dir.mkdir(exist_ok=True)
    for relative in output.manifest.get("files", {}):
        previous = output.previous_file(relative)
        if relative.startswith(DATA_DIR + "/") and previous is not None:
            output.copy(relative, previous)
    storage.ensure_tables([to_table(schema) for schema in project.schemas])
    created = updated = unchanged = 0
    try:
        for document in reader.iter_fixtures():
            report = storage.load_fixtures(document)
            created += getattr(report, "created", 0)
            updated += getattr(report, "updated", 0)
            unchanged += getattr(report, "unchanged", 0)
    except FixtureRecordError as error:
        where = locate_record(project.models_dir, error.class_name, error.external_id)
        raise ProjectError([Problem(where, f"record {error.external_id!r}: {error.message}", error.class_name,
                                    error.field)]) from error
    except (ValueError, OSError) as error:
        raise ProjectError(broken_fixture_files(project.models_dir) or [Problem(project.models_dir, str(error))])
    finally:
        dispose = getattr(storage, "dispose", None)
        if dispose:
            dispose()
    for path in sorted(data_dir.rglob("*")):
        if path.is_file():
            output.adopt(path.relative_to(output.staging).as_posix())
    return [f"fixtures stored: {created} created, {updated} updated, {unchanged} unchanged"]
