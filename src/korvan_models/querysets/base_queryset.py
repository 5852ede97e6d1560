"""Queries over stored records.

This is the in-process store: records are kept per database alias in memory. Lookups
are keyword filters whose ``__`` separates attribute steps, so ``_address__object_id``
compares ``record._address.object_id``.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from korvan_data.aliases.using import DEFAULT_DB_ALIAS
from korvan_models.classes.model import BaseModelClass


class DoesNotExist(LookupError):
    """No record matches a ``get`` query."""


class MultipleObjectsReturned(LookupError):
    """More than one record matches a ``get`` query."""


_STORE: dict[str, list[BaseModelClass]] = {}


def save_record(record: BaseModelClass, using: str = DEFAULT_DB_ALIAS) -> None:
    """Stores a record under a database alias."""
    _STORE.setdefault(using, []).append(record)


def clear_records(using: str | None = None) -> None:
    """Forgets the records of one alias, or of all."""
    if using is None:
        _STORE.clear()
    else:
        _STORE.pop(using, None)


def _lookup(record: Any, path: str) -> Any:
    value = record
    for step in path.split("__"):
        value = getattr(value, step)
    return value


def _matches(record: Any, filters: dict[str, Any]) -> bool:
    try:
        return all(_lookup(record, path) == expected for path, expected in filters.items())
    except AttributeError:
        return False


class QuerySet:
    """The records of one model class in one database."""

    def __init__(self, model_class: type[BaseModelClass], using: str = DEFAULT_DB_ALIAS) -> None:
        self.model_class = model_class
        self.alias = using

    def using(self, alias: str) -> QuerySet:
        return QuerySet(self.model_class, alias)

    def filter(self, **filters: Any) -> list[BaseModelClass]:
        records: Iterable[BaseModelClass] = _STORE.get(self.alias, [])
        return [r for r in records if isinstance(r, self.model_class) and _matches(r, filters)]

    def get(self, **filters: Any) -> Query:
        return Query(self.model_class, self.alias, filters)


class Query:
    """A query for exactly one record; runs on ``execute``."""

    def __init__(
        self, model_class: type[BaseModelClass], alias: str, filters: dict[str, Any], fields: list[str] | None = None
    ) -> None:
        self.model_class = model_class
        self.alias = alias
        self.filters = filters
        self.fields = fields

    def only(self, fields: list[str]) -> Query:
        return Query(self.model_class, self.alias, self.filters, list(fields))

    def using(self, alias: str) -> Query:
        return Query(self.model_class, alias, self.filters, self.fields)

    def execute(self) -> BaseModelClass:
        found = QuerySet(self.model_class, self.alias).filter(**self.filters)
        if not found:
            raise DoesNotExist(f"No {self.model_class.__name__} matches {self.filters} in {self.alias!r}")
        if len(found) > 1:
            raise MultipleObjectsReturned(f"{len(found)} {self.model_class.__name__} records match {self.filters}")
        record = found[0]
        if self.fields is None:
            return record
        partial = self.model_class.model_construct(
            _fields_set=set(self.fields), **{name: getattr(record, name) for name in self.fields}
        )
        partial._address = record._address
        return partial
