"""Tables of model records: created from table descriptions, read back from the database.

A model's table is named by its title and holds one column per property (named by the
property's ``field_name``) and the address columns below. The default database holds one row
per object (its latest version); the lakehouse one row per saved version. Names come only from
model titles and property names that are identifiers; SQLAlchemy quotes them where needed.
"""

from __future__ import annotations

import threading
from collections.abc import Iterable
from typing import Any

import sqlalchemy as sa

from korvan_data.aliases.using import ALL_DB_ALIASES, LAKEHOUSE_DB_ALIAS
from korvan_models.classes.model import BaseModelClass
from korvan_models.storage.engines import database_url, engine_for_url, writing
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

_tables: dict[tuple[str, str], sa.Table | None] = {}
_tables_lock = threading.Lock()


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


def column_type(python_type: Any) -> sa.types.TypeEngine:
    """Storage type of a column's value type: native for scalars, JSON for lists, dicts and models."""
    for native, sql_type in _NATIVE_TYPES.items():
        if python_type is native:
            return sql_type()
    return sa.JSON()


def _data_column(column: TableColumnSchema, table_name: str) -> sa.Column:
    name = check_name(column.name, f"Column of {table_name}")
    return sa.Column(name, column_type(column.type), nullable=True if column.is_deleted else column.nullable)


def build_table(table_schema: TableSchema, alias: str, metadata: sa.MetaData | None = None) -> sa.Table:
    """The table of a description in one database alias (not created)."""
    name = check_name(table_schema.address.class_name, "Model title")
    history = alias == LAKEHOUSE_DB_ALIAS
    seen: set[str] = set()
    columns = []
    for column in table_schema.columns:
        if column.name in seen:
            raise ValueError(f"Model {name}: two properties are stored in the column {column.name!r}")
        seen.add(column.name)
        columns.append(_data_column(column, name))
    return sa.Table(
        name,
        metadata if metadata is not None else sa.MetaData(),
        sa.Column(OBJECT_ID, sa.String(255), primary_key=True),
        sa.Column(OBJECT_VERSION, sa.Integer, primary_key=history, nullable=False),
        sa.Column(CLASS_VERSION, sa.Integer, nullable=False),
        *columns,
        sa.Column(EXTRA, sa.JSON, nullable=True),
    )


def _add_missing_columns(connection: sa.Connection, wanted: sa.Table, existing: set[str]) -> None:
    preparer = connection.dialect.identifier_preparer
    for column in wanted.columns:
        if column.name in existing:
            continue
        # Added columns are nullable: the rows already stored have no value for them.
        ddl = f"ALTER TABLE {preparer.format_table(wanted)} ADD COLUMN {preparer.format_column(column)} {column.type.compile(connection.dialect)}"
        connection.execute(sa.text(ddl))
        existing.add(column.name)


_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def _table_key(connection: sa.Connection, name: str) -> str:
    """What the database tells table names apart by: SQLite folds ASCII letters, others keep names as given."""
    return name.translate(_ASCII_LOWER) if connection.dialect.name == "sqlite" else name


def _stored_columns(connection: sa.Connection, names: set[str]) -> dict[str, set[str]]:
    """The column names of those tables of ``names`` that the database holds, by table key; one look at the database."""
    inspector = sa.inspect(connection)
    wanted = {_table_key(connection, name) for name in names}
    present = [name for name in inspector.get_table_names() if _table_key(connection, name) in wanted]
    if not present:
        return {}
    found = inspector.get_multi_columns(filter_names=present)
    return {_table_key(connection, name): {column["name"] for column in columns} for (_schema, name), columns in found.items()}


def _create_or_grow(connection: sa.Connection, wanted: list[sa.Table]) -> None:
    """Creates the tables the database lacks and adds the missing columns to the others."""
    stored = _stored_columns(connection, {table.name for table in wanted})
    for table in wanted:
        # One description may follow another of the same table: the columns known so far count.
        existing = stored.get(_table_key(connection, table.name))
        if existing is None:
            table.create(connection)
            stored[_table_key(connection, table.name)] = {column.name for column in table.columns}
        else:
            _add_missing_columns(connection, table, existing)


def ensure_tables(table_schemas: Iterable[TableSchema]) -> None:
    """Creates the tables of the descriptions in every database alias; existing tables gain new columns.

    Nothing is dropped: a column that a description no longer has, or marks deleted, is kept.
    """
    schemas = list(table_schemas)
    for alias in ALL_DB_ALIASES:
        url = database_url(alias)
        engine = engine_for_url(url)
        wanted = [build_table(schema, alias) for schema in schemas]
        with writing(engine) as connection:
            _create_or_grow(connection, wanted)
        with _tables_lock:
            for table in wanted:
                _tables.pop((url, table.name), None)


def stored_table(url: str, name: str) -> sa.Table | None:
    """The table ``name`` as the database at ``url`` holds it, or ``None`` when there is none."""
    key = (url, name)
    table = _tables.get(key)
    if table is None:
        engine = engine_for_url(url)
        with engine.connect() as connection:
            if not sa.inspect(connection).has_table(name):
                return None
            table = sa.Table(name, sa.MetaData(), autoload_with=connection)
        with _tables_lock:
            _tables[key] = table
    return table


def forget_tables() -> None:
    with _tables_lock:
        _tables.clear()


class FieldColumns:
    """Which column stores which field of a model class, in one table.

    A field is stored in the column of its own name. The columns left over are those of renamed
    properties (a ``field_name`` other than the property name); they take the fields left over in
    order, since both follow the schema's property order. Fields with no column at all (inherited
    from a model whose properties this table does not have) are kept together in the extra column.
    """

    def __init__(self, model_class: type[BaseModelClass], table: sa.Table) -> None:
        fields = list(model_class.model_fields)
        data_columns = [c.name for c in table.columns if c.name not in ADDRESS_COLUMNS and c.name != EXTRA]
        pairs = {name: name for name in fields if name in data_columns}
        spare_fields = [name for name in fields if name not in pairs]
        spare_columns = [name for name in data_columns if name not in pairs.values()]
        pairs.update(zip(spare_fields, spare_columns))
        self.pairs: dict[str, str] = {field: pairs[field] for field in fields if field in pairs}
        self.extra: tuple[str, ...] = tuple(field for field in fields if field not in pairs)
        self.table = table

    def column(self, field: str) -> sa.Column | None:
        name = self.pairs.get(field)
        return None if name is None else self.table.columns[name]
