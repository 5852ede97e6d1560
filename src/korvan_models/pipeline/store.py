"""The runtime side of a build: settings, tables, fixtures, fixture files and static files."""

from __future__ import annotations

import hashlib
import importlib
import importlib.util
import json
import os
import re
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from korvan_models.pipeline import parts
from korvan_models.pipeline.output import Output, WriteFault
from korvan_models.pipeline.problems import Problem, ProjectError
from korvan_models.pipeline.project import Project, broken_fixture_files, fixture_files

SETTINGS_FILE = "settings.json"
DATA_DIR = "data"
FILES_DIR = "files"


def settings_text(models_module_name: str) -> str:
    """The framework settings of the built application: its models package and its databases' folder."""
    settings = {"models_module_name": models_module_name, "data_dir": DATA_DIR}
    return json.dumps(settings, indent=4) + "\n"


@contextmanager
def settings_in_force(staging: Path) -> Iterator[None]:
    """The built application's settings file named in the environment, as the application will see it."""
    from korvan_utils.config.manager import SETTINGS_FILE_ENV

    saved = os.environ.get(SETTINGS_FILE_ENV)
    os.environ[SETTINGS_FILE_ENV] = str(staging / SETTINGS_FILE)
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop(SETTINGS_FILE_ENV, None)
        else:
            os.environ[SETTINGS_FILE_ENV] = saved


@contextmanager
def generated_package(staging: Path, models_module_name: str) -> Iterator[object]:
    """The generated package imported afresh from ``staging``; forgotten again afterwards."""
    from korvan_models.classes.model import MODEL_REGISTRY

    def forget() -> None:
        for name in [n for n in sys.modules if n == models_module_name or n.startswith(models_module_name + ".")]:
            del sys.modules[name]
        MODEL_REGISTRY.forget(models_module_name)

    sys.path.insert(0, str(staging))
    forget()
    try:
        yield importlib.import_module(models_module_name)
    finally:
        sys.path.remove(str(staging))
        forget()


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


def copy_files(project: Project, output: Output) -> object | None:
    """Copies the fixtures' files and the static files into the staging folder; returns the fixtures
    reader, or ``None`` when no model has fixtures."""
    reader = None
    if any(project.models_dir.glob("*/fixtures")):
        try:
            reader = parts.fixtures_loader(project.models_dir)
        except Exception:
            raise ProjectError(broken_fixture_files(project.models_dir) or [Problem(project.models_dir, "fixtures")])
        for folder in reader.iter_fixture_files():
            for path in sorted(folder.rglob("*")):
                if path.is_file():
                    output.copy(f"{FILES_DIR}/{path.relative_to(folder).as_posix()}", path)
    for path in parts.statics_loader(project.root).iter_static():
        output.copy(f"static/{path.name}", path)
    return reader


def store(project: Project, output: Output, reader: object | None, models_module_name: str) -> list[str]:
    """Loads the fixtures into the databases, in place (one transaction per database); returns notes
    for the user."""
    if reader is None:
        return []
    with settings_in_force(output.staging):
        try:
            notes = [load_fixtures(project, output, reader, models_module_name)]
        finally:
            if "korvan_models.storage" in sys.modules:
                sys.modules["korvan_models.storage"].dispose_engines()
    return [note for note in notes if note]


def load_fixtures(project: Project, output: Output, reader: object, models_module_name: str) -> str | None:
    """Loads the merged fixtures document into the store through the generated classes."""
    fixtures = reader.iter_fixtures()
    try:
        try:
            document = next(fixtures, None)
        except OSError as error:
            if error.filename is not None and Path(os.path.abspath(error.filename)).is_relative_to(project.root.absolute()):
                raise ProjectError([Problem(Path(error.filename), f"cannot read: {error.strerror or error}")]) from error
            raise WriteFault("the temporary fixtures document", error) from error
        except Exception:
            raise ProjectError(broken_fixture_files(project.models_dir) or [Problem(project.models_dir, "fixtures")])
        if document is None:
            return None
        with generated_package(output.staging, models_module_name):
            return store_records(project, document, output.staging / FILES_DIR)
    finally:
        fixtures.close()


def store_version() -> str:
    """A digest of the installed store and table conversion, whose change may change every table."""
    folders = [importlib.util.find_spec(name).submodule_search_locations[0]
               for name in ("korvan_models.storage", "korvan_models.schemas.utils")]
    digest = hashlib.sha256()
    for folder, pattern in ((Path(folders[0]), "*.py"), (Path(folders[1]), "table_layout*")):
        for path in sorted(folder.glob(pattern)):
            digest.update(path.name.encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()


def plan_tables(project: Project, output: Output, keys: dict[str, str]) -> tuple[dict[str, str], list]:
    """Every model's table key and the schemas whose tables must be created or changed: all of them
    unless both databases of the data folder are there (they are used in place, never copied)."""
    from korvan_data import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS

    data = output.staging / DATA_DIR
    carried = all((data / f"{alias}.sqlite3").is_file() for alias in (DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS))
    version = store_version()
    tables = {title: hashlib.sha256(f"{key}\0{version}".encode()).hexdigest() for title, key in keys.items()}
    previous = {title: entry.get("table") for title, entry in output.manifest.get("models", {}).items()}
    changed = [schema for schema in project.schemas if not carried or previous.get(schema.title) != tables[schema.title]]
    return tables, changed


def create_tables(schemas: list) -> None:
    """Creates or completes the tables of ``schemas`` in every database of the settings in force."""
    from korvan_models.schemas.utils.table_layout import object_schema_to_table_schema
    from korvan_models.storage import dispose_engines, ensure_tables

    try:
        ensure_tables([object_schema_to_table_schema(schema) for schema in schemas])
    finally:
        dispose_engines()


def store_records(project: Project, document: Path, files_dir: Path) -> str:
    """Loads the fixtures document into the store; a refused record is a problem at its fixture file."""
    from korvan_models.errors import FixtureRecordError
    from korvan_models.storage import load_fixtures

    try:
        report = load_fixtures(document, files_dir=files_dir if files_dir.is_dir() else None)
    except FixtureRecordError as error:
        where = locate_record(project.models_dir, error.class_name, error.external_id)
        label = f"record {error.external_id!r}: " if error.external_id else ""
        raise ProjectError([Problem(where, label + error.message, error.class_name, error.field)]) from error
    counts = [f"{getattr(report, kind, 0)} {kind}" for kind in ("created", "updated", "unchanged")]
    return "fixtures stored: " + ", ".join(counts)
