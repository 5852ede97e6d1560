"""Records to rows and back, and the saving of new versions.

Saving a record writes a new version of its object to the lakehouse (every version ever saved)
and makes it the object's row in the default database (the latest version), in one transaction
per database. A record without an object id gets a new unique one; its version is one above the
highest the lakehouse holds for that object.
"""

from __future__ import annotations

import uuid
from collections.abc import Iterable, Iterator, Sequence
from contextlib import ExitStack, contextmanager
from typing import Any

import sqlalchemy as sa
from pydantic import BaseModel

from korvan_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from korvan_models.classes.model import BaseModelClass
from korvan_models.storage.engines import WRITE_OPTION, database_url, engine_for_url, is_postgresql
from korvan_models.storage.tables import (
    CLASS_VERSION,
    EXTRA,
    OBJECT_ID,
    OBJECT_VERSION,
    FieldColumns,
    stored_table,
)
from korvan_utils.models.data_models.address import Address
from korvan_utils.models.enums import Versions

DEFAULT_CLASS_VERSION = 1
# Bound parameters per statement when looking objects up by id (SQLite allows 32766).
_IDS_PER_QUERY = 500

_bindings: dict[tuple[type, int], FieldColumns] = {}


class MissingTableError(LookupError):
    """A model has no table in a database: its tables were never created there."""


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


def table_of(model_class: type[BaseModelClass], alias: str, url: str | None = None) -> sa.Table:
    """The stored table of a model class in a database alias (whose URL the caller may know)."""
    url = url or database_url(alias)
    table = stored_table(url, model_class.__name__)
    if table is None:
        raise MissingTableError(
            f"Model {model_class.__name__} has no table in the {alias!r} database ({engine_for_url(url).url!r}); "
            "build the project so that its tables are created"
        )
    return table


def binding(model_class: type[BaseModelClass], table: sa.Table) -> FieldColumns:
    """The field-to-column pairing of a model class in a table, kept while the table object lives."""
    key = (model_class, id(table))
    found = _bindings.get(key)
    if found is None or found.table is not table:
        found = _bindings[key] = FieldColumns(model_class, table)
    return found


def class_version_of(record: BaseModelClass) -> int:
    address = record._address
    if address is not None and address.class_version not in ("", None) and not is_latest(address.class_version):
        return concrete_version(address.class_version, f"Class version of {type(record).__name__}")
    return int(getattr(type(record), "class_version", DEFAULT_CLASS_VERSION))


def record_values(record: BaseModelClass, fields: FieldColumns) -> dict[str, Any]:
    """Column name to value for a record's fields (not the address columns)."""
    values = record.__dict__
    row = {column: values.get(field) for field, column in fields.pairs.items()}
    if fields.extra:
        row[EXTRA] = record.model_dump(mode="json", include=set(fields.extra))
    else:
        row[EXTRA] = None
    return row


def record_from_row(model_class: type[BaseModelClass], fields: FieldColumns, row: sa.Row, alias: str,
                    only: Sequence[str] | None = None) -> BaseModelClass:
    """A validated instance of the model class from a stored row; with ``only``, just those fields."""
    mapping = row._mapping
    data: dict[str, Any] = {}
    wanted = fields.pairs if only is None else {f: fields.pairs[f] for f in only if f in fields.pairs}
    for field, column in wanted.items():
        value = mapping[column]
        if value is not None:
            data[field] = value
    extra = mapping.get(EXTRA) if only is None or any(f in fields.extra for f in only) else None
    if extra:
        data.update({k: v for k, v in extra.items() if only is None or k in only})
    if only is None:
        record = model_class.model_validate(data)
    else:
        record = model_class.model_construct()
        for field in only:
            if data.get(field) is None:
                record.__dict__[field] = None
            else:
                setattr(record, field, data[field])  # validated on assignment
        record.__pydantic_fields_set__ = set(only)
    # The address values come from typed columns of our own; no need to validate them again.
    record._address = Address.model_construct(
        resource=alias,
        class_name=model_class.__name__,
        class_version=mapping[CLASS_VERSION],
        object_id=mapping[OBJECT_ID],
        object_version=mapping[OBJECT_VERSION],
    )
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
        query = (
            sa.select(id_column, sa.func.max(version_column))
            .where(id_column.in_(chunk))
            .group_by(id_column)
        )
        found.update({object_id: version for object_id, version in connection.execute(query)})
    return found


def _lock_table(connection: sa.Connection, table: sa.Table) -> None:
    # SQLite's writing transaction already holds the database's write lock; PostgreSQL writers of
    # one table take a lock on its name until they commit, so versions are counted one at a time.
    if is_postgresql(connection):
        connection.execute(sa.select(sa.func.pg_advisory_xact_lock(sa.func.hashtext(sa.bindparam("n", table.name)))))


def _upsert_latest(connection: sa.Connection, table: sa.Table, rows: list[dict[str, Any]], known: set[str]) -> None:
    """Makes each row its object's row in the default database, unless a later version is there."""
    new_rows = [row for row in rows if row[OBJECT_ID] not in known]
    old_rows = [row for row in rows if row[OBJECT_ID] in known]
    if new_rows:
        connection.execute(table.insert(), new_rows)
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

    def _tables(self, model_class: type[BaseModelClass]) -> tuple[sa.Table, sa.Table]:
        history = table_of(model_class, LAKEHOUSE_DB_ALIAS)
        latest = table_of(model_class, DEFAULT_DB_ALIAS)
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
        for record in records:
            if not isinstance(record, model_class):
                raise TypeError(f"Cannot save a {type(record).__name__} as a {model_class.__name__} record")
            before_save = getattr(record, "before_save", None) if run_hooks else None
            if callable(before_save):
                before_save()
        history_fields, latest_fields = binding(model_class, history), binding(model_class, latest)
        ids: list[str] = []
        given: list[str] = []
        for record in records:
            address = record._address
            if address is not None and address.object_id:
                ids.append(str(address.object_id))
                given.append(ids[-1])
            else:
                ids.append(uuid.uuid4().hex)
        versions = highest_versions(self.lakehouse, history, given) if given else {}
        known = set(versions)
        history_rows, latest_rows, addresses = [], [], []
        for record, object_id in zip(records, ids):
            version = versions.get(object_id, 0) + 1
            versions[object_id] = version
            class_version = class_version_of(record)
            address_values = {OBJECT_ID: object_id, OBJECT_VERSION: version, CLASS_VERSION: class_version}
            history_rows.append({**record_values(record, history_fields), **address_values})
            latest_row = history_rows[-1] if latest_fields.pairs == history_fields.pairs else {
                **record_values(record, latest_fields), **address_values}
            latest_rows.append(latest_row)
            addresses.append(
                Address(
                    resource=DEFAULT_DB_ALIAS,
                    class_name=model_class.__name__,
                    class_version=class_version,
                    object_id=object_id,
                    object_version=version,
                )
            )
        self.lakehouse.execute(history.insert(), history_rows)
        _upsert_latest(self.default, latest, _last_per_object(latest_rows), known)
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
        lakehouse = stack.enter_context(engine_for_url(database_url(LAKEHOUSE_DB_ALIAS)).connect().execution_options(**{WRITE_OPTION: True}))
        default = stack.enter_context(engine_for_url(database_url(DEFAULT_DB_ALIAS)).connect().execution_options(**{WRITE_OPTION: True}))
        lakehouse_transaction = lakehouse.begin()
        default_transaction = default.begin()
        active = Writer(lakehouse, default)
        try:
            yield active
        except BaseException:
            default_transaction.rollback()
            lakehouse_transaction.rollback()
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
        if not isinstance(record, BaseModel) or not isinstance(record, BaseModelClass):
            raise TypeError(f"Cannot save {type(record).__name__!r}: not a model record")
        groups.setdefault(type(record), []).append(position)
    addresses: list[Address | None] = [None] * len(records)
    with writer() as w:
        for model_class in sorted(groups, key=lambda cls: cls.__name__):
            positions = groups[model_class]
            for position, address in zip(positions, w.save(model_class, [records[p] for p in positions])):
                addresses[position] = address
    return addresses  # type: ignore[return-value]
