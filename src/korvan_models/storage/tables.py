"""Tables of model records: created from table descriptions, read back from the database.

A model's table is named by its title and holds one column per property (named by the
property's ``field_name``) and the address columns below. The default database holds one row
per object (its latest version); the lakehouse one row per saved version. Names come only from
model titles and property names that are identifiers; SQLAlchemy quotes them where needed.
"""

from __future__ import annotations

import threading
import typing
from collections import OrderedDict
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any, Generic, TypeVar

import sqlalchemy as sa

from korvan_data.aliases.using import ALL_DB_ALIASES, LAKEHOUSE_DB_ALIAS
from korvan_models.classes.model import BaseModelClass
from korvan_models.storage.engines import at_once, database_url, engine_for_url, writing
from korvan_utils.models.data_models.table_schema import TableColumnSchema, TableSchema

CLASS_VERSION = "_class_version"
OBJECT_ID = "_object_id"
OBJECT_VERSION = "_object_version"
EXTRA = "_extra"
ADDRESS_COLUMNS = (CLASS_VERSION, OBJECT_ID, OBJECT_VERSION)

# Identifiers of the largest databases this layer supports (PostgreSQL cuts names at 63 bytes).
MAX_NAME_BYTES = 63

_NATIVE_TYPES: dict[type, type[sa.types.TypeEngine]] = {
    float: sa.Double,
    bool: sa.Boolean,
    str: sa.Text,
    bytes: sa.LargeBinary,
}

K = TypeVar("K")
V = TypeVar("V")


class BoundedCache(Generic[K, V]):
    """A thread-safe cache of at most ``size`` entries, the least recently used dropped first.

    Every such cache is emptied with the tables (``forget_tables``): entries keyed by table
    objects would otherwise outlive them.
    """

    instances: list[BoundedCache[Any, Any]] = []

    def __init__(self, size: int) -> None:
        self.size = size
        self._items: OrderedDict[K, V] = OrderedDict()
        self._lock = threading.Lock()
        BoundedCache.instances.append(self)

    def get(self, key: K) -> V | None:
        with self._lock:
            value = self._items.get(key)
            if value is not None:
                self._items.move_to_end(key)
            return value

    def put(self, key: K, value: V) -> V:
        with self._lock:
            self._items[key] = value
            self._items.move_to_end(key)
            while len(self._items) > self.size:
                self._items.popitem(last=False)
        return value

    def pop(self, key: K) -> None:
        with self._lock:
            self._items.pop(key, None)

    def clear(self) -> None:
        with self._lock:
            self._items.clear()

    def __len__(self) -> int:
        return len(self._items)


# Tables read back from the databases, by (URL, name); enough for every model of a large project.
_tables: BoundedCache[tuple[str, str], sa.Table] = BoundedCache(4096)


def check_name(name: Any, what: str) -> str:
    """``name`` if it can name a table or column: an identifier not starting with "_"."""
    if (
        not isinstance(name, str)
        or not name.isidentifier()
        or name.startswith("_")
        or len(name.encode("utf-8")) > MAX_NAME_BYTES
    ):
        raise ValueError(
            f"{what} {name!r} cannot name a stored table or column: use an identifier of at most {MAX_NAME_BYTES} bytes not starting with '_'"
        )
    return name


_JSON = sa.JSON()
_NATIVE_INSTANCES = {native: sql_type() for native, sql_type in _NATIVE_TYPES.items()}


def column_type(python_type: Any) -> sa.types.TypeEngine:
    """Storage type of a column's value type: native for scalars, JSON for lists, dicts and models."""
    found = _NATIVE_INSTANCES.get(python_type) if isinstance(python_type, type) else None
    return found if found is not None else _JSON


class FormColumn:
    """A column of a table as its model wants it."""

    __slots__ = ("name", "type", "nullable", "primary_key")

    def __init__(self, name: str, type_: sa.types.TypeEngine, nullable: bool, primary_key: bool = False) -> None:
        self.name = name
        self.type = type_
        self.nullable = nullable
        self.primary_key = primary_key


class TableForm:
    """A table as its model wants it: its name and columns (``c`` by name), written as DDL directly.

    Lighter than a SQLAlchemy ``Table``, which a build of hundreds of models would otherwise make
    (and compile) once per model and database.
    """

    __slots__ = ("name", "columns")

    def __init__(self, name: str, columns: list[FormColumn]) -> None:
        self.name = name
        self.columns = columns

    @property
    def c(self) -> dict[str, FormColumn]:
        """The columns by name (made when asked: only a table that exists already needs them)."""
        return {column.name: column for column in self.columns}

    def create_sql(self, dialect: sa.Dialect) -> str:
        quote = dialect.identifier_preparer.quote
        lines = [
            f"{quote(c.name)} {type_words(c.type, dialect)}{'' if c.nullable and not c.primary_key else ' NOT NULL'}"
            for c in self.columns
        ]
        keys = ", ".join(quote(c.name) for c in self.columns if c.primary_key)
        return f"CREATE TABLE {quote(self.name)} ({', '.join(lines)}, PRIMARY KEY ({keys}))"


def _data_column(column: TableColumnSchema, table_name: str) -> FormColumn:
    name = check_name(column.name, f"Column of {table_name}")
    return FormColumn(name, column_type(column.type), True if column.is_deleted else column.nullable)


_ADDRESS_TYPES = (sa.String(255), sa.Integer(), sa.Integer())
# The columns every table has, the same for all tables of a database (forms are never changed);
# the version is part of the key where every version is kept.
_ADDRESS_FORMS = {
    history: (
        FormColumn(OBJECT_ID, _ADDRESS_TYPES[0], False, True),
        FormColumn(OBJECT_VERSION, _ADDRESS_TYPES[1], False, history),
        FormColumn(CLASS_VERSION, _ADDRESS_TYPES[2], False),
    )
    for history in (False, True)
}
_EXTRA_FORM = FormColumn(EXTRA, _JSON, True)


def build_table(table_schema: TableSchema, alias: str) -> TableForm:
    """The table of a description in one database alias (not created)."""
    name, data = table_columns(table_schema)
    return TableForm(name, [*_ADDRESS_FORMS[alias == LAKEHOUSE_DB_ALIAS], *data, _EXTRA_FORM])


def table_columns(table_schema: TableSchema) -> tuple[str, list[FormColumn]]:
    """The table name and data columns of a description, the same in every database alias: all that
    ``prepare_tables`` needs of it, in much less room than the description."""
    name = check_name(table_schema.address.class_name, "Model title")
    seen: set[str] = set()
    columns = []
    for column in table_schema.columns:
        if column.name in seen:
            raise ValueError(f"Model {name}: two properties are stored in the column {column.name!r}")
        seen.add(column.name)
        columns.append(_data_column(column, name))
    return name, columns


_type_words_cache: dict[tuple[Any, ...], str] = {}


def type_words(sql_type: sa.types.TypeEngine, dialect: sa.Dialect) -> str:
    """A column type in the dialect's DDL words."""
    key = (
        dialect.name,
        type(sql_type),
        getattr(sql_type, "length", None),
        getattr(sql_type, "precision", None),
        getattr(sql_type, "scale", None),
        getattr(sql_type, "timezone", None),
    )
    words = _type_words_cache.get(key)
    if words is None:
        try:
            words = sql_type.compile(dialect=dialect)
        except sa.exc.CompileError:
            words = str(sql_type)
        _type_words_cache[key] = words
    return words


def _add_missing_columns(connection: sa.Connection, wanted: TableForm, existing: dict[str, Any]) -> None:
    quote = connection.dialect.identifier_preparer.quote
    for column in wanted.columns:
        if column.name in existing:
            continue
        # Added columns are nullable: the rows already stored have no value for them.
        ddl = f"ALTER TABLE {quote(wanted.name)} ADD COLUMN {quote(column.name)} {type_words(column.type, connection.dialect)}"
        connection.exec_driver_sql(ddl)
        existing[column.name] = None


_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def _table_key(connection: sa.Connection, name: str) -> str:
    """What the database tells table names apart by: SQLite folds ASCII letters, others keep names as given."""
    return name.translate(_ASCII_LOWER) if connection.dialect.name == "sqlite" else name


class StoredColumn:
    """A column as the database holds it: its type in the dialect's words, and whether it takes NULL."""

    __slots__ = ("type", "nullable")

    def __init__(self, type_: str, nullable: bool) -> None:
        self.type = type_
        self.nullable = nullable


def _stored_columns(connection: sa.Connection, names: set[str]) -> dict[str, tuple[str, dict[str, StoredColumn]]]:
    """The stored name and columns of those tables of ``names`` that the database holds, by table key;
    one look at the database."""
    inspector = sa.inspect(connection)
    wanted = {_table_key(connection, name) for name in names}
    present = [name for name in inspector.get_table_names() if _table_key(connection, name) in wanted]
    if not present:
        return {}
    found = inspector.get_multi_columns(filter_names=present)
    dialect = connection.dialect
    return {
        _table_key(connection, name): (
            name,
            {c["name"]: StoredColumn(type_words(c["type"], dialect), bool(c["nullable"])) for c in columns},
        )
        for (_schema, name), columns in found.items()
    }


def _reshape(
    connection: sa.Connection, wanted: TableForm, stored_name: str, stored: dict[str, StoredColumn], notes: list[str]
) -> set[str]:
    """Makes an existing table take the records of its model as it is now, keeping every row and column.

    A column the model no longer requires (or no longer has) stops refusing NULL; a column whose
    property changed type takes the new type where its stored values convert: PostgreSQL converts
    them in place (``USING``) or, when one does not convert, keeps the column as it was and says
    so; SQLite, whose columns take any value, copies the table into the new form. Returns the
    columns that keep a type the model no longer gives them.
    """
    dialect = connection.dialect
    loosen = [
        name
        for name, column in stored.items()
        if not column.nullable
        and name not in ADDRESS_COLUMNS
        and (name not in wanted.c or wanted.c[name].nullable)
    ]
    retype = {
        name: type_words(wanted.c[name].type, dialect)
        for name, column in stored.items()
        if name in wanted.c and name not in ADDRESS_COLUMNS and type_words(wanted.c[name].type, dialect) != column.type
    }
    if not loosen and not retype:
        return set()
    kept: set[str] = set()
    preparer = dialect.identifier_preparer
    quoted = preparer.quote(stored_name)
    if dialect.name == "postgresql":
        for name in loosen:
            connection.execute(sa.text(f"ALTER TABLE {quoted} ALTER COLUMN {preparer.quote(name)} DROP NOT NULL"))
        for name, words in retype.items():
            column = preparer.quote(name)
            using = f"to_json({column})" if words == "JSON" else f"{column}::{words}"
            savepoint = connection.begin_nested()
            try:
                connection.execute(sa.text(f"ALTER TABLE {quoted} ALTER COLUMN {column} TYPE {words} USING {using}"))
            except sa.exc.DBAPIError:
                savepoint.rollback()
                kept.add(name)
                notes.append(
                    f"{wanted.name}.{name}: stored values do not convert to {words}; the column keeps its type {stored[name].type}"
                )
            else:
                savepoint.commit()
        return kept
    if dialect.name != "sqlite":
        # Other databases: columns are only added; what no longer fits is said, not changed.
        for name, words in retype.items():
            notes.append(f"{wanted.name}.{name}: the column keeps its type {stored[name].type} ({words} wanted)")
        return set(retype)
    _copy_into_new_form(connection, wanted, stored_name, set(loosen), retype)
    return kept


def _copy_into_new_form(
    connection: sa.Connection, wanted: TableForm, stored_name: str, loosen: set[str], retype: dict[str, str]
) -> None:
    """SQLite's way to change a column: a new table of the new form, every row copied, then renamed."""
    old = sa.Table(stored_name, sa.MetaData(), autoload_with=connection)
    columns = []
    for column in old.columns:
        kind = wanted.c[column.name].type if column.name in retype else column.type
        columns.append(
            sa.Column(
                column.name,
                kind,
                primary_key=column.primary_key,
                nullable=True if column.name in loosen else column.nullable,
            )
        )
    spare = f"_{stored_name}_reshaped"
    new = sa.Table(spare, sa.MetaData(), *columns)
    new.create(connection)
    names = ", ".join(connection.dialect.identifier_preparer.quote(c.name) for c in old.columns)
    quoted_old = connection.dialect.identifier_preparer.quote(stored_name)
    quoted_new = connection.dialect.identifier_preparer.quote(spare)
    connection.execute(sa.text(f"INSERT INTO {quoted_new} ({names}) SELECT {names} FROM {quoted_old}"))
    counted = [connection.execute(sa.text(f"SELECT count(*) FROM {q}")).scalar_one() for q in (quoted_old, quoted_new)]
    if counted[0] != counted[1]:
        raise RuntimeError(f"Copying table {stored_name} gave {counted[1]} rows of {counted[0]}; nothing was changed")
    connection.execute(sa.text(f"DROP TABLE {quoted_old}"))
    connection.execute(sa.text(f"ALTER TABLE {quoted_new} RENAME TO {quoted_old}"))


# Tables this process created, by database URL: they held no records before it stored any.
created_tables: dict[str, set[str]] = {}


def _create_or_grow(
    connection: sa.Connection, wanted: list[TableForm], created: set[str] | None = None, reading: _Reading | None = None
) -> list[str]:
    """Creates the tables the database lacks and adds the missing columns to the others; returns notes
    on columns that keep a form the model no longer has. The names of the tables made go to ``created``.

    ``reading``: what the database held when it was read ahead of this transaction, used in place of
    reading it again (the caller has made sure that its schema has not changed since)."""
    if reading is None:
        stored = _stored_columns(connection, {table.name for table in wanted})
    else:
        stored = reading.stored
    notes: list[str] = []
    # The columns the descriptions give each table that existed before (a table made here has no
    # other columns), and the tables made here, by key.
    wanted_columns: dict[str, set[str] | None] = {}
    made: dict[str, TableForm] = {}
    # New tables' statements, sent together where the driver takes several at once.
    creating: list[str] = []
    for table in wanted:
        key = _table_key(connection, table.name)
        found = stored.get(key)
        if found is None and key in made:
            # One description may follow another of the same table: the columns known so far count.
            _send(connection, creating)
            first = made.pop(key)
            found = stored[key] = (first.name, {c.name: StoredColumn(type_words(c.type, connection.dialect), c.nullable)
                                                 for c in first.columns})
            wanted_columns[key] = {c.name for c in first.columns}
        if found is None:
            creating.append(table.create_sql(connection.dialect))
            if created is not None:
                created.add(table.name)
            made[key] = table
            wanted_columns[key] = None
        else:
            _send(connection, creating)
            wanted_columns[key] = (wanted_columns.get(key) or set()) | {c.name for c in table.columns}
            stored_name, columns = found
            kept = _reshape(connection, table, stored_name, columns, notes)
            _add_missing_columns(connection, table, columns)
            # As the table is now, for a later description of the same table.
            for column in table.columns:
                if column.name not in ADDRESS_COLUMNS and column.name not in kept:
                    columns[column.name] = StoredColumn(type_words(column.type, connection.dialect), True)
            for name, column in columns.items():
                if name not in ADDRESS_COLUMNS:
                    column.nullable = True
    _send(connection, creating)
    retired = [
        (key, name) for key, names in wanted_columns.items() if names is not None
        for name in stored[key][1] if name not in names
    ]
    _record_retired(connection, list(wanted_columns), retired, None if reading is None else reading.retired_table)
    return notes


# Statements of DDL sent to PostgreSQL in one round trip.
DDL_BATCH = 100


def _send(connection: sa.Connection, statements: list[str]) -> None:
    """Runs the statements in order and empties the list. The SQLite driver takes one statement per
    call; PostgreSQL takes a batch of them, without parameters, in one round trip."""
    if not statements:
        return
    if connection.dialect.name == "postgresql":
        plain = connection.execution_options(no_parameters=True)
        for start in range(0, len(statements), DDL_BATCH):
            plain.exec_driver_sql(";\n".join(statements[start : start + DDL_BATCH]))
    else:
        for statement in statements:
            connection.exec_driver_sql(statement)
    statements.clear()


# Columns that a model no longer has, by table: kept with their values, never paired with a field.
RETIRED_TABLE = "_korvan_retired_columns"


def _record_retired(
    connection: sa.Connection, keys: list[str], retired: list[tuple[str, str]], present: bool | None = None
) -> None:
    """Records the retired columns of the tables of ``keys`` (the list is made only once one is needed).
    ``present``: whether the database holds the list, when known already."""
    if not retired and not (sa.inspect(connection).has_table(RETIRED_TABLE) if present is None else present):
        return
    quote = connection.dialect.identifier_preparer.quote
    connection.exec_driver_sql(
        f"CREATE TABLE IF NOT EXISTS {quote(RETIRED_TABLE)} (table_key VARCHAR(255) NOT NULL, "
        "column_name VARCHAR(255) NOT NULL, PRIMARY KEY (table_key, column_name))"
    )
    table = sa.table(RETIRED_TABLE, sa.column("table_key"), sa.column("column_name"))
    for start in range(0, len(keys), 500):
        connection.execute(table.delete().where(table.c.table_key.in_(keys[start : start + 500])))
    if retired:
        connection.execute(table.insert(), [{"table_key": key, "column_name": name} for key, name in retired])


def _retired_columns(connection: sa.Connection, name: str) -> frozenset[str]:
    if not sa.inspect(connection).has_table(RETIRED_TABLE):
        return frozenset()
    table = sa.table(RETIRED_TABLE, sa.column("table_key"), sa.column("column_name"))
    query = sa.select(table.c.column_name).where(table.c.table_key == _table_key(connection, name))
    return frozenset(connection.execute(query).scalars())


class _Reading:
    """What one database held of some tables when it was read ahead of the transaction that changes
    them, with the token of its schema then (see ``_schema_token``)."""

    __slots__ = ("url", "token", "stored", "retired_table")

    def __init__(self, url: str, token: int, stored: dict, retired_table: bool) -> None:
        self.url = url
        self.token = token
        self.stored = stored
        self.retired_table = retired_table


def _schema_token(connection: sa.Connection) -> int:
    """SQLite's schema cookie, which every change of any table's definition moves on."""
    return int(connection.exec_driver_sql("PRAGMA schema_version").scalar_one())


class PreparedTables:
    """The tables of some descriptions in every database alias, worked out ahead of the transaction
    that makes them (``prepare_tables``): their forms, and for a SQLite database what it held of
    them then. ``ensure_tables`` takes it in place of the descriptions."""

    def __init__(self, forms: dict[str, list[TableForm]], readings: dict[str, _Reading]) -> None:
        self.forms = forms
        self.readings = readings


def _table_forms(table_schemas: Iterable[TableSchema | tuple[str, list[FormColumn]]]) -> dict[str, list[TableForm]]:
    forms: dict[str, list[TableForm]] = {alias: [] for alias in ALL_DB_ALIASES}
    for schema in table_schemas:
        # Forms are never changed: the aliases' tables share their data columns.
        name, data = schema if isinstance(schema, tuple) else table_columns(schema)
        for alias, wanted in forms.items():
            wanted.append(TableForm(name, [*_ADDRESS_FORMS[alias == LAKEHOUSE_DB_ALIAS], *data, _EXTRA_FORM]))
    return forms


def prepare_tables(
    table_schemas: Iterable[TableSchema | tuple[str, list[FormColumn]]], read: bool = True
) -> PreparedTables:
    """Works out the tables of ``table_schemas`` (descriptions, or their ``table_columns``) without
    taking any database's write lock: the forms of each alias and, with ``read``, what each SQLite
    database holds of them (one inspection). Nothing is written: a database file that is not there
    is not created. (Their CREATE statements cost less to write than to keep meanwhile.)

    The database may change before the tables are made; ``ensure_tables`` then reads it again in
    its transaction. Other databases are always read again there.
    """
    forms = _table_forms(table_schemas)
    readings: dict[str, _Reading] = {}
    if not forms[ALL_DB_ALIASES[0]]:
        return PreparedTables(forms, readings)
    for alias in ALL_DB_ALIASES:
        url = database_url(alias)
        parsed = sa.make_url(url)
        if parsed.get_backend_name() != "sqlite":
            if read:
                # Connected now, the transaction finds the connection in the engine's pool.
                with engine_for_url(url).connect():
                    pass
            continue
        name = parsed.database
        if not read or not name or name == ":memory:" or name.startswith("file:") or parsed.query.get("uri"):
            continue
        if not Path(name).exists():
            # A new database's schema cookie is 0 until its first table is made.
            readings[alias] = _Reading(url, 0, {}, False)
            continue
        with engine_for_url(url).connect() as connection:
            # The cookie first: a change during the inspection then shows as a moved cookie.
            token = _schema_token(connection)
            stored = _stored_columns(connection, {table.name for table in forms[alias]})
            retired_table = sa.inspect(connection).has_table(RETIRED_TABLE)
        readings[alias] = _Reading(url, token, stored, retired_table)
    return PreparedTables(forms, readings)


def ensure_tables(
    table_schemas: Iterable[TableSchema] | PreparedTables, connections: Mapping[str, sa.Connection] | None = None
) -> list[str]:
    """Creates the tables of the descriptions in every database alias; existing tables gain new columns
    and follow changed ones (see ``_reshape``). Returns notes on columns kept in an earlier form.

    Each database is changed in one transaction: its own, or the open writing transaction of
    ``connections`` (by alias), which then commits the tables together with what it writes.
    Nothing is dropped: a column that a description no longer has, or marks deleted, is kept with
    its values, and so is every row.

    ``table_schemas`` is read once (it may make each description as it is asked for): the tables of
    every alias are drawn from a description before the next one is made, so that the descriptions
    of a large project need not all be held at once. It may be the tables prepared ahead
    (``prepare_tables``): a database's earlier reading is then used where, inside the transaction,
    its schema proves unchanged since; otherwise the database is read again there.
    """
    if isinstance(table_schemas, PreparedTables):
        forms, readings = table_schemas.forms, table_schemas.readings
    else:
        forms, readings = _table_forms(table_schemas), {}
    notes: list[str] = []
    if not forms[ALL_DB_ALIASES[0]]:
        return notes

    def make(alias: str) -> tuple[str, set[str], list[str]]:
        url = database_url(alias)
        made: set[str] = set()
        # A reading is used once: making the tables changes what it describes.
        reading = readings.pop(alias, None)
        if reading is not None and reading.url != url:
            reading = None
        if connections is None:
            with writing(engine_for_url(url)) as connection:
                return url, made, _create_or_grow(connection, forms[alias], made, _still(connection, reading))
        return url, made, _create_or_grow(connections[alias], forms[alias], made, _still(connections[alias], reading))

    # The databases are changed together, each through its own connection.
    for alias, (url, made, changes) in zip(ALL_DB_ALIASES, at_once(make, ALL_DB_ALIASES)):
        # Known only once committed: the caller's transaction commits after this returns.
        created_tables.setdefault(url, set()).update(made)
        notes += [f"{alias} database: {note}" for note in changes]
        for table in forms[alias]:
            _tables.pop((url, table.name))
    return notes


def _still(connection: sa.Connection, reading: _Reading | None) -> _Reading | None:
    """The reading where the database's schema is as it was then (asked in the writing transaction,
    which keeps it so until it ends); ``None`` where it moved on or cannot be asked."""
    if reading is None or connection.dialect.name != "sqlite":
        return None
    return reading if _schema_token(connection) == reading.token else None


def stored_table(url: str, name: str, connection: sa.Connection | None = None) -> sa.Table | None:
    """The table ``name`` as the database at ``url`` holds it, or ``None`` when there is none.

    Read through ``connection`` when given (a transaction sees the tables it made itself).
    """
    key = (url, name)
    table = _tables.get(key)
    if table is None:
        if connection is None:
            with engine_for_url(url).connect() as own:
                table = _reflect(own, name)
        else:
            table = _reflect(connection, name)
        if table is None:
            return None
        _tables.put(key, table)
    return table


def _reflect(connection: sa.Connection, name: str) -> sa.Table | None:
    if not sa.inspect(connection).has_table(name):
        return None
    table = sa.Table(name, sa.MetaData(), autoload_with=connection)
    table.info["retired"] = _retired_columns(connection, name)
    return table


def forget_tables() -> None:
    """Forgets the tables read so far, and whatever was cached about them."""
    for cache in BoundedCache.instances:
        cache.clear()


def is_binary(annotation: Any) -> bool:
    """Whether a field annotation is ``bytes`` or an optional ``bytes``."""
    return annotation is bytes or bytes in typing.get_args(annotation)


class FieldColumns:
    """Which column stores which field of a model class, in one table.

    A field is stored in the column of its own name. The columns left over are those of renamed
    properties (a ``field_name`` other than the property name); they take the fields left over in
    order, since both follow the schema's property order; columns of properties since removed or
    renamed (``RETIRED_TABLE``) come last. Fields with no column at all (inherited
    from a model whose properties this table does not have) are kept together in the extra column.
    """

    def __init__(self, model_class: type[BaseModelClass], table: sa.Table) -> None:
        fields = list(model_class.model_fields)
        retired = table.info.get("retired", ())
        data_columns = [c.name for c in table.columns if c.name not in ADDRESS_COLUMNS and c.name != EXTRA]
        pairs = {name: name for name in fields if name in data_columns}
        spare_fields = [name for name in fields if name not in pairs]
        spare_columns = [name for name in data_columns if name not in pairs.values()]
        # Columns of the model's current properties first: a retired column never takes a field
        # that one of those can hold.
        spare_columns.sort(key=lambda name: name in retired)
        pairs.update(zip(spare_fields, spare_columns))
        self.pairs: dict[str, str] = {field: pairs[field] for field in fields if field in pairs}
        self.extra: tuple[str, ...] = tuple(field for field in fields if field not in pairs)
        # Binary fields kept in the extra (JSON) column: their bytes are written as {"base64": ...}.
        self.binary_extra: frozenset[str] = frozenset(
            field for field in self.extra if is_binary(model_class.model_fields[field].annotation)
        )
        self.table = table

    def column(self, field: str) -> sa.Column | None:
        name = self.pairs.get(field)
        return None if name is None else self.table.columns[name]
