"""The runtime side of a build: settings, tables, fixtures, fixture files and static files."""

from __future__ import annotations

import hashlib
import importlib
import importlib.util
import json
import os
import re
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path

from korvan_models.pipeline import parts
from korvan_models.pipeline.files import FILES_FOLDER
from korvan_models.pipeline.fixture_checks import fixture_elements, reference_problems
from korvan_models.pipeline.output import Output, WriteFault
from korvan_models.pipeline.problems import Problem, ProjectError
from korvan_models.pipeline.project import Project, broken_fixture_files

SETTINGS_FILE = "settings.json"
DATA_DIR = "data"
FILES_DIR = "files"


def settings_text(models_module_name: str, databases: dict[str, str] | None = None, kept: dict | None = None) -> str:
    """The framework settings of the built application: its models package, its databases' folder,
    the URLs of databases elsewhere (never with a password) and the settings a user added."""
    settings = {**(kept or {}), "models_module_name": models_module_name, "data_dir": DATA_DIR}
    if databases:
        settings["databases"] = {alias: url_without_password(url) for alias, url in sorted(databases.items())}
    return json.dumps(settings, indent=4) + "\n"


# A SQLite file URL whose path holds only these characters reads and renders back unchanged, with
# no user part or query to clean: such URLs (every database beside the output) are taken as they
# are, without loading SQLAlchemy for them.
_PLAIN_SQLITE = re.compile(r"sqlite:///([A-Za-z0-9_./-]+)")


def plain_sqlite_file(url: str) -> str | None:
    """The file of a plain SQLite file URL (see ``_PLAIN_SQLITE``); ``None`` for any other URL."""
    match = _PLAIN_SQLITE.fullmatch(url)
    return match[1] if match else None


def url_without_password(url: str) -> str:
    """A database URL as it may be written to disk: no password, in the user part or the query."""
    if plain_sqlite_file(url) is not None:
        return url
    import sqlalchemy as sa

    parsed = sa.make_url(url)
    query = {key: value for key, value in parsed.query.items() if key.lower() != "password"}
    # URL.set() takes None as "leave as it is": the password is replaced on the tuple itself.
    return parsed.set(query=query)._replace(password=None).render_as_string(hide_password=False)


# Settings keys the build writes itself; an output's settings file may add the others.
BUILD_SETTINGS = ("models_module_name", "data_dir")


def database_settings(out: Path, given: dict[str, str], models_module_name: str) -> tuple[dict[str, str], dict]:
    """The databases of a build into ``out`` and the settings it keeps from the settings file there.

    A ``databases`` entry that the output's settings file holds (written by an earlier build or by
    the user) is honoured; ``given`` (``--database``, ``KORVAN_DATABASE_<ALIAS>``) overrides it per
    alias. A settings file that cannot be kept as it is refuses the build with one line.
    """
    from korvan_data.aliases.using import ALL_DB_ALIASES
    from korvan_utils.config.manager import KorvanSettings

    path = out / SETTINGS_FILE
    fix = "fix it, or remove it to have the build write a new one"
    kept: dict = {}
    if path.is_file() or path.is_symlink():
        try:
            kept = json.loads(path.read_text("utf-8"))
            if not isinstance(kept, dict):
                raise ValueError("not a JSON object")
            KorvanSettings.model_validate(kept)
        except (OSError, ValueError) as error:
            reason = str(error).splitlines()[0] if str(error) else type(error).__name__
            raise ProjectError([Problem(path, f"not readable as settings ({reason}); {fix}")]) from None
        for key, wanted in (("models_module_name", models_module_name), ("data_dir", DATA_DIR)):
            if key in kept and kept[key] != wanted:
                raise ProjectError([Problem(path, f"{key} was changed to {kept[key]!r} but the build writes {wanted!r}; {fix}")])
    databases = {alias: url for alias, url in dict(kept.pop("databases", None) or {}).items() if url}
    unknown = sorted(set(databases) - set(ALL_DB_ALIASES))
    if unknown:
        raise ProjectError([Problem(path, f"databases names unknown alias {unknown[0]!r} (known: {', '.join(ALL_DB_ALIASES)}); {fix}")])
    databases.update(given)
    for key in BUILD_SETTINGS:
        kept.pop(key, None)
    return databases, kept


@contextmanager
def databases_in_force(databases: dict[str, str]) -> Iterator[None]:
    """The build's database URLs (passwords included) in the environment, for this process and its workers."""
    from korvan_utils.config.manager import database_env

    saved = {alias: os.environ.get(database_env(alias)) for alias in databases}
    os.environ.update({database_env(alias): url for alias, url in databases.items()})
    try:
        yield
    finally:
        for alias, value in saved.items():
            if value is None:
                os.environ.pop(database_env(alias), None)
            else:
                os.environ[database_env(alias)] = value


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


def locate_record(project: Project, class_name: str, external_id: object) -> tuple[Path | None, int | None]:
    """The fixture file and line of a record, as the check read them; else the model's own file."""
    for record in project.records:
        if record.class_name == class_name and (external_id in (None, "") or record.external_id == external_id):
            return record.path, record.line
    return next((path for path, schema in project.entries if schema.title == class_name), None), None


def fixtures_digest(project: Project, tables: dict[str, str]) -> str | None:
    """What storing the fixtures depends on: every file under the models' fixtures folders (name and
    bytes) and every model's table key, which holds the model's own key, the store's version and
    the databases in force. ``None`` when a file cannot be read (the store step then runs and says why).

    A build whose digest equals the one its output recorded skips the store step: the earlier build
    stored these very records into these very tables. Records are versioned, and the fixtures are a
    project's initial records, not a state each build enforces: a record an application changed or
    removed since stays as the application left it until its fixture changes. A missing database
    file makes every table "changed", and the step runs again.
    """
    digest = hashlib.sha256(json.dumps(sorted(tables.items())).encode())
    for folder in project.fixture_folders():
        for path in sorted(folder.rglob("*")):
            if path.is_dir():
                continue
            try:
                data = path.read_bytes()
            except OSError:
                return None
            name = path.relative_to(project.models_dir).as_posix()
            digest.update(f"{len(name)}:{name}".encode() + hashlib.sha256(data).digest())
    return digest.hexdigest()


def copy_files(project: Project, output: Output, storing: bool = True) -> object | None:
    """Copies the fixtures' files and the static files into the staging folder; returns the fixtures
    reader, or ``None`` when no model has fixtures (or, without ``storing``, none has files)."""
    reader = None
    folders = project.fixture_folders()
    if storing and folders or any(folder.is_dir() and os.path.lexists(folder / FILES_FOLDER) for folder in folders):
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


def plan_tables(project: Project, output: Output, keys: dict[str, str],
                described: Callable[[str, object], None] | None = None) -> tuple[dict[str, str], list]:
    """Every model's table key and the schemas whose tables must be created or changed: all of them
    when a database file of the settings in force is missing (databases are used in place, never
    copied; a database named by URL is known by its key).

    A table key is ``LAYOUT:MODEL``: the digest of the table's layout (its columns, constraints and
    address, the databases and the store's version) and that of the model's key (with the same
    databases and version). A table changes only when its layout does: a model whose description,
    options or custom code changed keeps its table as it is. The layout is worked out only for a
    model whose key changed; the whole key still decides whether the fixtures are stored again.
    ``described(title, table_schema)`` is given the table description of each changed schema whose
    layout was worked out on the way."""
    version = store_version()
    previous = {title: entry.get("table") for title, entry in output.manifest.get("models", {}).items()}
    tables, changed = {}, []
    carried = _database_files_present()
    for schema in project.schemas:
        title = schema.title
        _model_key, _sep, where = keys[title].partition("\0")
        model = hashlib.sha256(f"{keys[title]}\0{version}".encode()).hexdigest()
        before = previous.get(title)
        layout, _sep, before_model = before.partition(":") if isinstance(before, str) else ("", "", "")
        if before_model != model:
            from korvan_models.pipeline.generate import loaded
            from korvan_models.schemas.utils.table_layout import object_schema_to_table_schema

            table_schema = object_schema_to_table_schema(loaded(schema))
            layout_now = hashlib.sha256(f"{table_schema!r}\0{where}\0{version}".encode()).hexdigest()
            moved, layout = layout_now != layout, layout_now
        else:
            table_schema, moved = None, False
        if moved or not carried:
            changed.append(schema)
            if described is not None and table_schema is not None:
                described(title, table_schema)
        tables[title] = f"{layout}:{model}"
    return tables, changed


def _database_files_present() -> bool:
    """Whether every SQLite database of the settings in force is there as a file."""
    from korvan_data.aliases.using import ALL_DB_ALIASES
    from korvan_utils.config.manager import KorvanConfigManager

    manager = KorvanConfigManager()
    for alias in ALL_DB_ALIASES:
        text = manager.get_database_url(alias)
        plain = plain_sqlite_file(text)
        if plain is not None:
            if not Path(plain).is_file():
                return False
            continue
        import sqlalchemy as sa

        url = sa.make_url(text)
        if url.get_backend_name() == "sqlite" and not (url.database and Path(url.database).is_file()):
            return False
    return True


def storage_loaded() -> bool:
    """Whether this process has loaded the store (a watching build has, after its first build)."""
    return "korvan_models.storage" in sys.modules


def load_storage() -> None:
    """Loads the store and SQLAlchemy (a large part of the table step's time), ahead of their use."""
    import sqlalchemy.dialects.sqlite  # noqa: F401

    import korvan_models.schemas.utils.table_layout  # noqa: F401
    import korvan_models.storage  # noqa: F401


class TableStep:
    """The planning of a build's table step (``plan_tables``), the part of making the tables that
    takes no database's write lock (``prepare_tables``: their forms, and what each SQLite database
    holds of them) and the fixtures' digest: done while worker processes generate the models
    (``ahead``, the generation's ``meanwhile``), where this process is mostly waiting; or, without
    workers, after the generation (``planned``). The tables themselves are made in the store
    step's transaction."""

    def __init__(self, project: Project, output: Output, keys: dict[str, str]) -> None:
        self.project = project
        self.output = output
        self.keys = keys
        self.result: tuple[dict[str, str], list, object, str | None] | None = None

    def ahead(self) -> None:
        try:
            self.result = self._plan(read=True)
        except Exception:  # worked out again after the generation, where a fault is reported as ever
            self.result = None

    def planned(self) -> tuple[dict[str, str], list, object, str | None]:
        """Every model's table key, the schemas whose tables change, their prepared tables, and the
        fixtures' digest (``fixtures_digest``)."""
        if self.result is None:
            self.result = self._plan(read=False)
        return self.result

    def _plan(self, read: bool) -> tuple[dict[str, str], list, object, str | None]:
        # The descriptions worked out for the plan are kept as their table columns, in less room.
        described: dict = {}

        def describe(title: str, table_schema: object) -> None:
            if not described:
                load_storage()
            from korvan_models.storage.tables import table_columns

            described[title] = table_columns(table_schema)

        tables, changed = plan_tables(self.project, self.output, self.keys, describe)
        stored = fixtures_digest(self.project, tables)
        if not changed:
            return tables, changed, None, stored
        load_storage()
        from korvan_models.pipeline.generate import loaded
        from korvan_models.schemas.utils.table_layout import object_schema_to_table_schema
        from korvan_models.storage.tables import prepare_tables

        table_schemas = (described.pop(schema.title, None) or object_schema_to_table_schema(loaded(schema))
                         for schema in changed)
        return tables, changed, prepare_tables(table_schemas, read), stored


def forget_prepared() -> None:
    """Lets go of the prepared tables and of the connections opened to prepare them."""
    _prepared[0] = None
    if "korvan_models.storage" in sys.modules:
        sys.modules["korvan_models.storage"].dispose_engines()


# Schemas whose tables the store step creates or completes, in the transaction that stores the
# fixtures (set by ``defer_tables``; emptied once they are made), and their tables as prepared
# ahead (``defer_prepared``), where they were.
_deferred: list = []
_prepared: list = [None]


def defer_tables(schemas: list) -> None:
    """Has the store step create or complete the tables of ``schemas`` together with the fixtures
    (and forgets which tables an earlier build of this process created)."""
    _deferred[:] = schemas
    _prepared[0] = None
    tables = sys.modules.get("korvan_models.storage.tables")
    if tables is not None:
        tables.created_tables.clear()


def defer_prepared(prepared: object) -> None:
    """The tables of the deferred schemas, prepared ahead (``TableStep``)."""
    _prepared[0] = prepared


def _take_deferred() -> object:
    """The tables of the deferred schemas as prepared ahead; else their descriptions, each made only
    when it is read (the store reads them once, one at a time)."""
    from korvan_models.pipeline.generate import loaded
    from korvan_models.schemas.utils.table_layout import object_schema_to_table_schema

    schemas, _deferred[:] = list(_deferred), []
    prepared, _prepared[0] = _prepared[0], None
    if prepared is not None:
        return prepared
    return (object_schema_to_table_schema(loaded(schema)) for schema in schemas)


def create_deferred_tables() -> list[str]:
    """Creates the deferred tables that no fixture load made (one transaction per database); returns notes."""
    if not _deferred:
        return []
    from korvan_models.storage import dispose_engines
    from korvan_models.storage import load_fixtures as store_fixtures

    try:
        report = store_fixtures(None, table_schemas=_take_deferred())
    finally:
        dispose_engines()
    return list(report.table_notes)


def store_records(project: Project, document: Path, files_dir: Path) -> str:
    """Loads the fixtures document into the store, with the deferred tables; a refused record is a
    problem at its fixture file."""
    from korvan_models.errors import FixtureRecordError
    from korvan_models.storage import load_fixtures

    problems = fixture_reference_problems(project, fixture_elements(document), stored=True)
    if problems:
        raise ProjectError(problems)
    try:
        report = load_fixtures(
            document, files_dir=files_dir if files_dir.is_dir() else None, table_schemas=_take_deferred()
        )
    except FixtureRecordError as error:
        where, line = locate_record(project, error.class_name, error.external_id)
        label = f"record {error.external_id!r}: " if error.external_id else ""
        raise ProjectError([Problem(where, label + error.message, error.class_name, error.field, line)]) from error
    counts = [f"{getattr(report, kind, 0)} {kind}" for kind in ("created", "updated", "unchanged")]
    return "\n".join(["fixtures stored: " + ", ".join(counts), *report.table_notes])


def known_classes(project: Project) -> set[str]:
    """The model titles a fixture reference may name: the project's and the framework's."""
    titles = {schema.title for schema in project.schemas}
    for group in parts.schema_groups():
        titles.update(schema.title for schema in group)
    return titles


def fixture_reference_problems(project: Project, elements: list, stored: bool = False) -> list[Problem]:
    """The project's fixture references that name no model or no record; with ``stored``, records
    that the default database of the settings in force holds count too."""
    lookup = None
    if stored:
        from korvan_data.aliases.using import DEFAULT_DB_ALIAS
        from korvan_models.storage.records import stored_object_ids

        def lookup(class_name: str, object_ids: list[str]) -> set[str]:
            return stored_object_ids(DEFAULT_DB_ALIAS, class_name, object_ids)

    return reference_problems(
        elements, known_classes(project), lambda name, external_id: locate_record(project, name, external_id)[0], lookup
    )


def project_reference_problems(project: Project, out: Path | None = None) -> list[Problem]:
    """The fixture references of a project that name no model or no fixture record.

    Records that the default database of the build output ``out`` already holds count too, where
    that output and its database exist (nothing is created to find out); without them a reference
    to a record only a database holds is reported."""
    if not any(project.models_dir.glob("*/fixtures")):
        return []
    try:
        fixtures = parts.fixtures_loader(project.models_dir).iter_fixtures()
    except Exception:
        return broken_fixture_files(project.models_dir) or [Problem(project.models_dir, "fixtures")]
    try:
        try:
            document = next(fixtures, None)
        except Exception:
            return broken_fixture_files(project.models_dir) or [Problem(project.models_dir, "fixtures")]
        if document is None:
            return []
        elements = fixture_elements(document)
    finally:
        fixtures.close()
    problems = fixture_reference_problems(project, elements)
    if problems and out is not None and (Path(out) / SETTINGS_FILE).is_file():
        with settings_in_force(Path(out)):
            if _default_database_exists():
                try:
                    problems = fixture_reference_problems(project, elements, stored=True)
                finally:
                    sys.modules["korvan_models.storage"].dispose_engines()
    return problems


def _default_database_exists() -> bool:
    """Whether the default database of the settings in force is there to be read (a SQLite file
    that does not exist is not made by asking)."""
    import sqlalchemy as sa

    from korvan_data.aliases.using import DEFAULT_DB_ALIAS
    from korvan_models.storage.engines import database_url

    url = sa.make_url(database_url(DEFAULT_DB_ALIAS))
    if url.get_backend_name() != "sqlite":
        return True
    return bool(url.database) and url.database != ":memory:" and Path(url.database).is_file()


def stored_record_notes(schemas: list) -> list[str]:
    """One line per model of ``schemas`` (those whose tables changed) whose stored records lack a
    property the model now requires."""
    notes: list[str] = []
    if not schemas:
        return notes
    from korvan_data.aliases.using import DEFAULT_DB_ALIAS
    from korvan_models.pipeline.generate import loaded
    from korvan_models.storage import dispose_engines
    from korvan_models.storage.engines import database_url
    from korvan_models.storage.records import lacking_required
    from korvan_models.storage.tables import created_tables

    # A table this build created held no records before, and its fixtures hold every required value.
    new = created_tables.get(database_url(DEFAULT_DB_ALIAS), set())
    try:
        for schema in schemas:
            if schema.title in new:
                continue
            schema = loaded(schema)
            properties = schema.properties or {}
            required = [properties[name].field_name or name for name in schema.required or [] if name in properties]
            count, lacking = lacking_required(DEFAULT_DB_ALIAS, schema.title, required)
            if count:
                names = dict(zip(required, [n for n in schema.required or [] if n in properties]))
                plural = "record lacks" if count == 1 else "records lack"
                notes.append(f"{count} stored {schema.title} {plural} the required {', '.join(names[n] for n in lacking)}")
    finally:
        dispose_engines()
    return notes


def keys_for_databases(keys: dict[str, str]) -> dict[str, str]:
    """Models' table keys bound to the databases of the settings in force (passwords left out)."""
    from korvan_data.aliases.using import ALL_DB_ALIASES
    from korvan_utils.config.manager import KorvanConfigManager

    manager = KorvanConfigManager()
    where = "\0".join(url_without_password(manager.get_database_url(alias)) for alias in ALL_DB_ALIASES)
    # The output's own SQLite files move with it: their folder is not part of the key.
    where = where.replace(manager.data_dir.as_posix(), "<data>")
    return {title: f"{key}\0{where}" for title, key in keys.items()}
