"""Records to rows and back, and the saving of new versions.

Saving a record writes a new version of its object to the lakehouse (every version ever saved)
and makes it the object's row in the default database (the latest version), in one transaction
per database. A record without an object id gets a new unique one; its version is one above the
highest the lakehouse holds for that object.
"""

from __future__ import annotations

import base64
import operator
import uuid
from collections.abc import Iterable, Iterator, Sequence
from contextlib import ExitStack, contextmanager
from typing import Any

import sqlalchemy as sa
from pydantic import ValidationError
from pydantic_core import to_jsonable_python

from korvan_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from korvan_models.classes.model import BaseModelClass
from korvan_models.storage.engines import WRITE_OPTION, database_url, engine_for_url, is_postgresql
from korvan_models.storage.tables import (
    CLASS_VERSION,
    EXTRA,
    OBJECT_ID,
    OBJECT_VERSION,
    BoundedCache,
    FieldColumns,
    PreparedTables,
    ensure_tables,
    forget_tables,
    stored_table,
)
from korvan_utils.models.data_models.address import Address
from korvan_utils.models.data_models.table_schema import TableSchema
from korvan_utils.models.enums import Versions

DEFAULT_CLASS_VERSION = 1
# Bound parameters per statement when looking objects up by id (SQLite allows 32766).
_IDS_PER_QUERY = 500

_bindings: BoundedCache[tuple[type, sa.Table], FieldColumns] = BoundedCache(4096)


class MissingTableError(LookupError):
    """A model has no table in a database: its tables were never created there."""


_ADDRESS_FIELDS = frozenset(Address.model_fields)


def known_address(resource: str, class_name: str, class_version: int, object_id: str, object_version: int) -> Address:
    """An address of values the store made or read from its own typed columns: not validated again.

    This is what ``Address.model_construct`` does, without its per-call bookkeeping (a batch of
    saved records makes one address per record).
    """
    address = Address.__new__(Address)
    object.__setattr__(
        address,
        "__dict__",
        {
            "resource": resource,
            "class_name": class_name,
            "class_version": class_version,
            "object_id": object_id,
            "object_version": object_version,
        },
    )
    object.__setattr__(address, "__pydantic_fields_set__", set(_ADDRESS_FIELDS))
    object.__setattr__(address, "__pydantic_extra__", None)
    object.__setattr__(address, "__pydantic_private__", None)
    return address


def stored_address(record: BaseModelClass) -> Address | None:
    """The record's address (read without the model's attribute lookup, which is slow for private ones)."""
    private = record.__pydantic_private__
    return private.get("_address") if private else None


def concrete_version(value: Any, what: str) -> int:
    """A stored version number from an int or its text."""
    if isinstance(value, bool):
        raise ValueError(f"{what} {value!r} is not a version number")
    if isinstance(value, int):
        return value
    if isinstance(value, str) and value.strip().isdigit():
        return int(value)
    raise ValueError(f"{what} {value!r} is neither a version number nor {Versions.LATEST.value!r}")


def is_latest(value: Any) -> bool:
    return value == Versions.LATEST


def table_of(
    model_class: type[BaseModelClass], alias: str, url: str | None = None, connection: sa.Connection | None = None
) -> sa.Table:
    """The stored table of a model class in a database alias (whose URL the caller may know), read
    through ``connection`` when given."""
    url = url or database_url(alias)
    table = stored_table(url, model_class.__name__, connection)
    if table is None:
        raise MissingTableError(
            f"Model {model_class.__name__} has no table in the {alias!r} database ({engine_for_url(url).url!r}); "
            "build the project so that its tables are created"
        )
    return table


def binding(model_class: type[BaseModelClass], table: sa.Table) -> FieldColumns:
    """The field-to-column pairing of a model class in a table, kept while the table object lives."""
    key = (model_class, table)
    found = _bindings.get(key)
    if found is None:
        found = _bindings.put(key, FieldColumns(model_class, table))
    return found


def class_version_of(record: BaseModelClass, address: Address | None) -> int:
    if address is not None and address.class_version not in ("", None) and not is_latest(address.class_version):
        return concrete_version(address.class_version, f"Class version of {type(record).__name__}")
    return int(getattr(type(record), "class_version", DEFAULT_CLASS_VERSION))


def record_values(record: BaseModelClass, fields: FieldColumns) -> dict[str, Any]:
    """Column name to value for a record's fields (not the address columns)."""
    values = record.__dict__
    row = {column: values.get(field) for field, column in fields.pairs.items()}
    if fields.extra:
        row[EXTRA] = extra_json(record, fields)
    return row


BASE64_KEY = "base64"


def extra_json(record: BaseModelClass, fields: FieldColumns) -> dict[str, Any]:
    """The fields of a record that its table has no column for, as one JSON object.

    Bytes of a binary field are kept as ``{"base64": ...}`` (JSON holds text only); bytes deeper
    in a value are written in base64 as well.
    """
    values = record.model_dump(include=set(fields.extra))
    for name in fields.binary_extra:
        if isinstance(values.get(name), bytes):
            values[name] = {BASE64_KEY: base64.b64encode(values[name]).decode("ascii")}
    return to_jsonable_python(values, bytes_mode="base64")


def _from_extra(fields: FieldColumns, name: str, value: Any) -> Any:
    if name in fields.binary_extra and isinstance(value, dict) and set(value) == {BASE64_KEY}:
        return base64.b64decode(value[BASE64_KEY])
    return value


def record_from_row(
    model_class: type[BaseModelClass], fields: FieldColumns, row: sa.Row, alias: str, only: Sequence[str] | None = None
) -> BaseModelClass:
    """A validated instance of the model class from a stored row; with ``only``, just those fields."""
    mapping = row._mapping
    data: dict[str, Any] = {}
    wanted = fields.pairs if only is None else {f: fields.pairs[f] for f in only if f in fields.pairs}
    # A stored NULL is the record's None, not "absent": a field whose default is not None keeps None.
    for field, column in wanted.items():
        data[field] = mapping[column]
    extra = mapping.get(EXTRA) if only is None or any(f in fields.extra for f in only) else None
    if extra:
        data.update({k: _from_extra(fields, k, v) for k, v in extra.items() if only is None or k in only})
    if only is None:
        try:
            record = model_class.model_validate(data)
        except ValidationError:
            # Stored under an earlier form of the model (a property since made required, or of
            # another type): the fields that still fit, as a partial record.
            record = partial_record(model_class, data, list(data), lenient=True)
    else:
        record = partial_record(model_class, data, only)
    record._address = known_address(
        alias, model_class.__name__, mapping[CLASS_VERSION], mapping[OBJECT_ID], mapping[OBJECT_VERSION]
    )
    return record


def partial_record(
    model_class: type[BaseModelClass], data: dict[str, Any], fields: Sequence[str], lenient: bool = False
) -> BaseModelClass:
    """A record holding only ``fields`` of ``data``, each validated on assignment.

    With ``lenient``, a value that its field refuses is left out (the field stays unset) instead of
    raising.
    """
    record = model_class.model_construct()
    present = set()
    for field in fields:
        if data.get(field) is None:
            record.__dict__[field] = None
        else:
            try:
                setattr(record, field, data[field])  # validated on assignment
            except (ValidationError, ValueError, TypeError, AttributeError):
                if not lenient:
                    raise
                record.__dict__.pop(field, None)
                continue
        present.add(field)
    if lenient:
        # A required field read as NULL is absent, not None.
        for field, info in model_class.model_fields.items():
            if info.is_required() and record.__dict__.get(field, None) is None:
                record.__dict__.pop(field, None)
                present.discard(field)
    record.__pydantic_fields_set__ = present
    return record


def _chunks(items: Sequence[Any], size: int) -> Iterator[Sequence[Any]]:
    for start in range(0, len(items), size):
        yield items[start : start + size]


def highest_versions(connection: sa.Connection, table: sa.Table, object_ids: Sequence[str]) -> dict[str, int]:
    """The highest stored version of each of the objects that the table holds."""
    found: dict[str, int] = {}
    id_column, version_column = table.c[OBJECT_ID], table.c[OBJECT_VERSION]
    unique_ids = list(dict.fromkeys(object_ids))
    for chunk in _chunks(unique_ids, _IDS_PER_QUERY):
        query = sa.select(id_column, sa.func.max(version_column)).where(id_column.in_(chunk)).group_by(id_column)
        found.update({object_id: version for object_id, version in connection.execute(query)})
    return found


def _lock_table(connection: sa.Connection, table: sa.Table) -> None:
    # SQLite's writing transaction already holds the database's write lock; PostgreSQL writers of
    # one table take a lock on its name until they commit, so versions are counted one at a time.
    if is_postgresql(connection):
        connection.execute(sa.select(sa.func.pg_advisory_xact_lock(sa.func.hashtext(sa.bindparam("n", table.name)))))


class PreparedInsert:
    """An INSERT of many rows whose values are turned into the driver's form once, in this process.

    The statement text comes from SQLAlchemy's compiler for the connection's dialect; each value goes
    through its column type's bind processor, as SQLAlchemy would do on every execution. The same
    prepared values serve another table of the same shape (the lakehouse row is also the default
    database's row), so a batch is processed once and written twice.
    """

    def __init__(self, dialect: sa.Dialect, table: sa.Table, keys: Sequence[str]) -> None:
        compiled = table.insert().compile(dialect=dialect, column_keys=list(keys))
        self.sql = compiled.string
        self.table_name = table.name
        self.dialect_name = dialect.name
        self.shape = tuple((key, type(table.c[key].type)) for key in keys)
        names = list(compiled.positiontup) if compiled.positional else list(compiled.binds)
        if sorted(names) != sorted(keys):
            raise ValueError(f"Cannot prepare rows of {table.name}: bound names {names} differ from its columns")
        self.names = names
        self.positional = compiled.positional
        self.processors = [(name, table.c[name].type.dialect_impl(dialect).bind_processor(dialect)) for name in names]

    def serves(self, connection: sa.Connection, table: sa.Table) -> bool:
        """Whether these values can go into ``table`` through ``connection`` too."""
        return connection.dialect.name == self.dialect_name and all(
            key in table.c and type(table.c[key].type) is kind for key, kind in self.shape
        )

    def values(self, rows: Sequence[dict[str, Any]]) -> list[Any]:
        pick = operator.itemgetter(*self.names)
        processed = [
            (position, process) for position, (_, process) in enumerate(self.processors) if process is not None
        ]
        values = []
        for row in rows:
            picked = pick(row)
            if len(self.names) == 1:
                picked = (picked,)
            if processed:
                picked = list(picked)
                for position, process in processed:
                    if picked[position] is not None:
                        try:
                            picked[position] = process(picked[position])
                        except (TypeError, ValueError) as err:
                            column = self.names[position]
                            raise ValueError(f"Cannot store column {column!r} of {self.table_name}: {err}") from err
            values.append(tuple(picked) if self.positional else dict(zip(self.names, picked)))
        return values

    def run(self, connection: sa.Connection, values: list[Any]) -> None:
        if values:
            try:
                connection.exec_driver_sql(self.sql, values)
            except (TypeError, ValueError) as err:
                # Raised while the driver turns a value into its database form (some drivers write
                # JSON themselves); database errors are SQLAlchemy's own classes and pass unchanged.
                raise ValueError(f"Cannot store a record of {self.table_name}: {err}") from err


def _insert_rows(
    connection: sa.Connection, table: sa.Table, rows: list[dict[str, Any]]
) -> tuple[PreparedInsert, list[Any]] | None:
    """Inserts rows that all have the same keys; returns the prepared statement and values for reuse."""
    if not rows:
        return None
    prepared = PreparedInsert(connection.dialect, table, list(rows[0]))
    values = prepared.values(rows)
    prepared.run(connection, values)
    return prepared, values


def _upsert_latest(
    connection: sa.Connection,
    table: sa.Table,
    rows: list[dict[str, Any]],
    known: set[str],
    history_insert: tuple[PreparedInsert, list[Any]] | None,
) -> None:
    """Makes each row its object's row in the default database, unless a later version is there."""
    new_positions = [position for position, row in enumerate(rows) if row[OBJECT_ID] not in known]
    old_rows = [row for row in rows if row[OBJECT_ID] in known]
    if len(new_positions) == len(rows) and history_insert is not None and history_insert[0].serves(connection, table):
        history_insert[0].run(connection, history_insert[1])
    else:
        _insert_rows(connection, table, [rows[position] for position in new_positions])
    if not old_rows:
        return
    dialect = connection.dialect.name
    if dialect in ("sqlite", "postgresql"):
        if dialect == "sqlite":
            from sqlalchemy.dialects.sqlite import insert
        else:
            from sqlalchemy.dialects.postgresql import insert
        statement = insert(table)
        updates = {c.name: statement.excluded[c.name] for c in table.columns if c.name != OBJECT_ID}
        statement = statement.on_conflict_do_update(
            index_elements=[table.c[OBJECT_ID]],
            set_=updates,
            where=table.c[OBJECT_VERSION] < statement.excluded[OBJECT_VERSION],
        )
        connection.execute(statement, old_rows)
        return
    for row in old_rows:
        connection.execute(
            table.delete().where(table.c[OBJECT_ID] == row[OBJECT_ID], table.c[OBJECT_VERSION] < row[OBJECT_VERSION])
        )
        stored = connection.execute(sa.select(table.c[OBJECT_ID]).where(table.c[OBJECT_ID] == row[OBJECT_ID])).first()
        if stored is None:
            connection.execute(table.insert(), [row])


class Writer:
    """Open writing transactions on the lakehouse and the default database, committed together at the end.

    The lakehouse transaction begins first and commits first; every writer does so in the same
    order, so two writers never wait for each other in a circle.
    """

    def __init__(self, lakehouse: sa.Connection, default: sa.Connection) -> None:
        self.lakehouse = lakehouse
        self.default = default
        self._locked: set[str] = set()
        self.saved: list[tuple[BaseModelClass, Address]] = []

    def ensure_tables(self, table_schemas: Iterable[TableSchema] | PreparedTables) -> list[str]:
        """Creates or completes tables inside this writer's transactions (see ``ensure_tables``)."""
        return ensure_tables(table_schemas, {LAKEHOUSE_DB_ALIAS: self.lakehouse, DEFAULT_DB_ALIAS: self.default})

    def _tables(self, model_class: type[BaseModelClass]) -> tuple[sa.Table, sa.Table]:
        history = table_of(model_class, LAKEHOUSE_DB_ALIAS, connection=self.lakehouse)
        latest = table_of(model_class, DEFAULT_DB_ALIAS, connection=self.default)
        if history.name not in self._locked:
            _lock_table(self.lakehouse, history)
            self._locked.add(history.name)
        return history, latest

    def latest_rows(self, model_class: type[BaseModelClass], object_ids: Sequence[str]) -> dict[str, BaseModelClass]:
        """The stored latest versions of some objects, as records, by object id."""
        _, latest = self._tables(model_class)
        fields = binding(model_class, latest)
        found: dict[str, BaseModelClass] = {}
        for chunk in _chunks(list(dict.fromkeys(object_ids)), _IDS_PER_QUERY):
            for row in self.default.execute(sa.select(latest).where(latest.c[OBJECT_ID].in_(chunk))):
                found[row._mapping[OBJECT_ID]] = record_from_row(model_class, fields, row, DEFAULT_DB_ALIAS)
        return found

    def save(
        self, model_class: type[BaseModelClass], records: Sequence[BaseModelClass], run_hooks: bool = True
    ) -> list[Address]:
        """Writes one new version of each record (all of ``model_class``); returns their addresses.

        Each record's ``before_save`` hook, when it has one, runs first (unless the caller ran them).
        """
        history, latest = self._tables(model_class)
        hook = run_hooks and callable(getattr(model_class, "before_save", None))
        for record in records:
            if not isinstance(record, model_class):
                raise TypeError(f"Cannot save a {type(record).__name__} as a {model_class.__name__} record")
            if hook:
                record.before_save()
        history_fields, latest_fields = binding(model_class, history), binding(model_class, latest)
        addresses_given = [stored_address(record) for record in records]
        given = [str(a.object_id) for a in addresses_given if a is not None and a.object_id]
        versions = highest_versions(self.lakehouse, history, given) if given else {}
        # An object the default database holds but the lakehouse does not (a lakehouse made anew,
        # or pointed elsewhere) continues from its latest version there: it is updated, not added
        # again, and its versions keep rising.
        unseen = [object_id for object_id in given if object_id not in versions]
        if unseen:
            versions.update(highest_versions(self.default, latest, unseen))
        known = set(versions)
        # New objects: ids unique across processes (a random prefix) and cheap to make (a counter).
        prefix = uuid.uuid4().hex[:24]
        default_class_version = int(getattr(model_class, "class_version", DEFAULT_CLASS_VERSION))
        same_columns = latest_fields.pairs == history_fields.pairs
        class_name = model_class.__name__
        history_rows, latest_rows, addresses = [], [], []
        for number, (record, address) in enumerate(zip(records, addresses_given)):
            if address is not None and address.object_id:
                object_id = str(address.object_id)
                class_version = class_version_of(record, address)
                version = versions[object_id] = versions.get(object_id, 0) + 1
            else:
                object_id = f"{prefix}{number:08x}"
                class_version = default_class_version
                version = 1
            row = record_values(record, history_fields)
            row[OBJECT_ID], row[OBJECT_VERSION], row[CLASS_VERSION] = object_id, version, class_version
            history_rows.append(row)
            if not same_columns:
                latest_row = record_values(record, latest_fields)
                latest_row[OBJECT_ID], latest_row[OBJECT_VERSION], latest_row[CLASS_VERSION] = (
                    object_id,
                    version,
                    class_version,
                )
                latest_rows.append(latest_row)
            addresses.append(known_address(DEFAULT_DB_ALIAS, class_name, class_version, object_id, version))
        history_insert = _insert_rows(self.lakehouse, history, history_rows)
        latest_rows = _last_per_object(history_rows if same_columns else latest_rows)
        reusable = history_insert if latest_rows is history_rows and same_columns else None
        _upsert_latest(self.default, latest, latest_rows, known, reusable)
        self.saved.extend(zip(records, addresses))
        return addresses


def _last_per_object(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """One row per object, its highest version (a batch may save one object several times)."""
    last: dict[str, dict[str, Any]] = {}
    for row in rows:
        last[row[OBJECT_ID]] = row
    return list(last.values()) if len(last) != len(rows) else rows


@contextmanager
def writer() -> Iterator[Writer]:
    """A ``Writer`` whose two transactions commit when the block ends without error, else roll back.

    The saved records learn their new addresses only once both have committed.
    """
    with ExitStack() as stack:
        lakehouse = stack.enter_context(
            engine_for_url(database_url(LAKEHOUSE_DB_ALIAS)).connect().execution_options(**{WRITE_OPTION: True})
        )
        default = stack.enter_context(
            engine_for_url(database_url(DEFAULT_DB_ALIAS)).connect().execution_options(**{WRITE_OPTION: True})
        )
        lakehouse_transaction = lakehouse.begin()
        default_transaction = default.begin()
        active = Writer(lakehouse, default)
        try:
            yield active
        except BaseException:
            default_transaction.rollback()
            lakehouse_transaction.rollback()
            # Tables read inside the transactions may not exist any more.
            forget_tables()
            raise
        lakehouse_transaction.commit()
        default_transaction.commit()
        for record, address in active.saved:
            record._address = address


def save_records(records: Iterable[BaseModelClass]) -> list[Address]:
    """Saves records of any model classes in one transaction per database; addresses in record order."""
    records = list(records)
    groups: dict[type[BaseModelClass], list[int]] = {}
    for position, record in enumerate(records):
        if not isinstance(record, BaseModelClass):
            raise TypeError(f"Cannot save {type(record).__name__!r}: not a model record")
        groups.setdefault(type(record), []).append(position)
    addresses: list[Address | None] = [None] * len(records)
    with writer() as w:
        for model_class in sorted(groups, key=lambda cls: cls.__name__):
            positions = groups[model_class]
            for position, address in zip(positions, w.save(model_class, [records[p] for p in positions])):
                addresses[position] = address
    return addresses  # type: ignore[return-value]


def stored_object_ids(alias: str, class_name: str, object_ids: Iterable[str]) -> set[str]:
    """Those of ``object_ids`` that the model's table in a database holds (none when it has no table)."""
    url = database_url(alias)
    table = stored_table(url, class_name)
    wanted = list(dict.fromkeys(object_ids))
    if table is None or not wanted:
        return set()
    found: set[str] = set()
    with engine_for_url(url).connect() as connection:
        for chunk in _chunks(wanted, _IDS_PER_QUERY):
            query = sa.select(table.c[OBJECT_ID]).where(table.c[OBJECT_ID].in_(chunk))
            found.update(connection.execute(query).scalars())
    return found


def lacking_required(alias: str, class_name: str, required: Sequence[str]) -> tuple[int, list[str]]:
    """How many stored records of a model have no value for a required column, and which columns lack one.

    A required column the table does not have at all is lacking in every record.
    """
    url = database_url(alias)
    table = stored_table(url, class_name)
    if table is None or not required:
        return 0, []
    present = [name for name in required if name in table.c]
    with engine_for_url(url).connect() as connection:
        if len(present) < len(required):
            total = connection.execute(sa.select(sa.func.count()).select_from(table)).scalar_one()
            return total, list(required) if total else []
        lacking = [sa.func.count(sa.case((table.c[name].is_(None), 1))) for name in present]
        anyone = sa.func.count(sa.case((sa.or_(*[table.c[name].is_(None) for name in present]), 1)))
        row = connection.execute(sa.select(anyone, *lacking).select_from(table)).one()
    return row[0], [name for name, count in zip(present, row[1:]) if count]
