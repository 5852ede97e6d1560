"""Queries over stored records.

A ``QuerySet`` reads the records of one model class from one database alias: the default
database holds the latest version of every object, the lakehouse every version ever saved.
Filters are keywords: a field name compares that field, and ``_address__class_version``,
``_address__object_id`` and ``_address__object_version`` compare the record's address. A version
filter given as ``Versions.LATEST`` (or the text "LATEST") matches the highest version stored among
the records that the other filters select. Values are always bound as parameters.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any

import sqlalchemy as sa

from korvan_data.aliases.using import DEFAULT_DB_ALIAS
from korvan_models.classes.model import BaseModelClass
from korvan_models.storage.engines import database_url, engine_for_url
from korvan_models.storage.records import (
    binding,
    concrete_version,
    is_latest,
    record_from_row,
    save_records,
    table_of,
)
from korvan_models.storage.tables import CLASS_VERSION, OBJECT_ID, OBJECT_VERSION, BoundedCache
from korvan_utils.models.data_models.address import Address

_ADDRESS_FILTERS = {
    "_address__class_version": CLASS_VERSION,
    "_address__object_id": OBJECT_ID,
    "_address__object_version": OBJECT_VERSION,
}
_VERSION_COLUMNS = (CLASS_VERSION, OBJECT_VERSION)


class DoesNotExist(LookupError):
    """No record matches a ``get`` query."""


class MultipleObjectsReturned(LookupError):
    """More than one record matches a ``get`` query."""


def _describe(filters: dict[str, Any]) -> str:
    return ", ".join(f"{key.removeprefix('_address__')}={value!r}" for key, value in filters.items()) or "no filters"


class _Selection:
    """The rows of one model class in one alias that a set of filters selects.

    Statements are built once per shape (table, filter names, which values are "latest" or
    ``None``, fields loaded) and reused with new bound values.
    """

    _statements: BoundedCache[tuple[Any, ...], sa.Select[Any]] = BoundedCache(2048)

    def __init__(self, model_class: type[BaseModelClass], alias: str, filters: dict[str, Any]) -> None:
        self.model_class = model_class
        self.alias = alias
        self.filters = filters
        self.url = database_url(alias)
        self.table = table_of(self.model_class, self.alias, self.url)
        self.fields = binding(self.model_class, self.table)

    def _bound(self) -> tuple[tuple[tuple[str, str], ...], dict[str, Any]]:
        """The shape of the filters, and the values to bind: ``v0``, ``v1``... in filter order."""
        shape, values = [], {}
        for position, (key, value) in enumerate(self.filters.items()):
            if key in _ADDRESS_FILTERS:
                column = _ADDRESS_FILTERS[key]
                if column in _VERSION_COLUMNS:
                    if is_latest(value):
                        shape.append((key, "latest"))
                        continue
                    value = concrete_version(value, f"{self.model_class.__name__} filter {key}")
                elif value is not None:
                    value = str(value)
            elif self.fields.column(key) is None:
                raise ValueError(f"Model {self.model_class.__name__} has no stored field {key!r} to filter on")
            shape.append((key, "none" if value is None else "value"))
            values[f"v{position}"] = value
        return tuple(shape), values

    def _conditions(self, shape: tuple[tuple[str, str], ...]) -> list[sa.ColumnElement[bool]]:
        """The WHERE conditions; each "latest" version is the highest among the rows selected before it.

        The default database holds one row per object, its latest version: there "latest" selects
        every row.
        """
        table = self.table
        conditions: list[sa.ColumnElement[bool]] = []
        latest: list[sa.Column[Any]] = []
        for position, (key, kind) in enumerate(shape):
            column = table.c[_ADDRESS_FILTERS[key]] if key in _ADDRESS_FILTERS else self.fields.column(key)
            if kind == "latest":
                latest.append(column)
            elif kind == "none":
                conditions.append(column.is_(None))
            else:
                conditions.append(column == sa.bindparam(f"v{position}", type_=column.type))
        if self.alias != DEFAULT_DB_ALIAS:
            for column in sorted(latest, key=lambda c: _VERSION_COLUMNS.index(c.name)):
                highest = sa.select(sa.func.max(column)).where(*conditions).scalar_subquery()
                conditions.append(column == highest)
        return conditions

    def _statement(
        self, what: str, only: Sequence[str] | None, limit: int | None
    ) -> tuple[sa.Select[Any], dict[str, Any]]:
        shape, values = self._bound()
        key = (self.table, self.alias == DEFAULT_DB_ALIAS, what, shape, None if only is None else tuple(only), limit)
        statement = self._statements.get(key)
        if statement is None:
            if what == "count":
                statement = sa.select(sa.func.count()).select_from(self.table)
            elif only is None:
                statement = sa.select(self.table)
            else:
                wanted = {self.fields.pairs[name] for name in only if name in self.fields.pairs}
                statement = sa.select(*[c for c in self.table.columns if c.name in wanted or c.name.startswith("_")])
            statement = statement.where(*self._conditions(shape))
            if limit is not None:
                statement = statement.limit(limit)
            self._statements.put(key, statement)
        return statement, values

    def fetch(self, only: Sequence[str] | None = None, limit: int | None = None) -> list[BaseModelClass]:
        statement, values = self._statement("rows", only, limit)
        with engine_for_url(self.url).connect() as connection:
            rows = connection.execute(statement, values).fetchall()
        return [record_from_row(self.model_class, self.fields, row, self.alias, only) for row in rows]

    def count(self) -> int:
        statement, values = self._statement("count", None, None)
        with engine_for_url(self.url).connect() as connection:
            return connection.execute(statement, values).scalar_one()


class QuerySet:
    """The records of one model class in one database."""

    def __init__(self, model_class: type[BaseModelClass], using: str = DEFAULT_DB_ALIAS) -> None:
        self.model_class = model_class
        self.alias = using

    def __repr__(self) -> str:
        return f"QuerySet({self.model_class.__name__}, using={self.alias!r})"

    def using(self, alias: str) -> QuerySet:
        """The same records in another database alias."""
        return QuerySet(self.model_class, alias)

    def filter(self, **filters: Any) -> list[BaseModelClass]:
        """Every record that matches the filters, validated."""
        return _Selection(self.model_class, self.alias, filters).fetch()

    def count(self, **filters: Any) -> int:
        """How many records match the filters."""
        return _Selection(self.model_class, self.alias, filters).count()

    def get(self, **filters: Any) -> Query:
        """A query for the one record that matches the filters; it runs on ``execute``."""
        return Query(self.model_class, self.alias, filters)

    def save(self, record: BaseModelClass) -> Address:
        """Stores a record as a new version: in the lakehouse, and as the latest in the default database."""
        self._check(record)
        return save_records([record])[0]

    def save_many(self, records: Iterable[BaseModelClass]) -> list[Address]:
        """Stores records as new versions, all in one transaction per database."""
        records = list(records)
        for record in records:
            self._check(record)
        return save_records(records)

    def _check(self, record: Any) -> None:
        if not isinstance(record, self.model_class):
            raise TypeError(f"{self!r} cannot save a {type(record).__name__!r} record")


class Query:
    """A query for exactly one record; runs on ``execute``."""

    def __init__(
        self, model_class: type[BaseModelClass], alias: str, filters: dict[str, Any], fields: list[str] | None = None
    ) -> None:
        self.model_class = model_class
        self.alias = alias
        self.filters = filters
        self.fields = fields

    def only(self, fields: Iterable[str]) -> Query:
        """The same query, loading just these fields (all of them when none are named)."""
        fields = list(fields)
        unknown = [name for name in fields if name not in self.model_class.model_fields]
        if unknown:
            raise ValueError(f"Model {self.model_class.__name__} has no field {', '.join(map(repr, unknown))}")
        return Query(self.model_class, self.alias, self.filters, fields or None)

    def using(self, alias: str) -> Query:
        """The same query in another database alias."""
        return Query(self.model_class, alias, self.filters, self.fields)

    def execute(self) -> BaseModelClass:
        """The one matching record: ``DoesNotExist`` when none matches, ``MultipleObjectsReturned`` for several."""
        found = _Selection(self.model_class, self.alias, self.filters).fetch(self.fields, limit=2)
        if not found:
            raise DoesNotExist(
                f"No {self.model_class.__name__} record at {_describe(self.filters)} in the {self.alias!r} database"
            )
        if len(found) > 1:
            raise MultipleObjectsReturned(
                f"Several {self.model_class.__name__} records match {_describe(self.filters)} in the {self.alias!r} database"
            )
        return found[0]
