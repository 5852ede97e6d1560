"""Type descriptions used by schema properties.

A property of type ``array`` describes its elements with a ``TypeData`` in ``items``;
a property of type ``dictionary`` describes its keys and values with a ``DictSchema``
(``{"key": {...}, "value": {...}}``) or with the older flat ``LegacyDictSchema``
(``{"key_type": "...", "value_type": "..."}``). The records forbid unknown keys, which
is what lets a JSON ``items`` object be matched to exactly one of them.
"""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, ConfigDict

# One set of field names per distinct shape, shared by the records that have it (see SharedFieldsRecord).
_shared_fields_sets: dict[frozenset[str], set[str]] = {}


class SharedFieldsRecord(BaseModel):
    """A record of which a project holds many alike at once (every property of every schema).

    ``share_fields_set`` lets it hold the one set of given field names that all records given the
    same fields share (``model_fields_set``; a set takes some 200 bytes, a record's values often
    less). Such a set is never changed: an assignment that would add a name gives the record its
    own copy first.
    """

    def share_fields_set(self) -> None:
        fields = self.__pydantic_fields_set__
        shared = _shared_fields_sets.setdefault(frozenset(fields), set(fields))
        if shared is not fields:
            object.__setattr__(self, "__pydantic_fields_set__", shared)

    def __setattr__(self, name: str, value: Any) -> None:
        fields = self.__pydantic_fields_set__
        if name not in fields and _shared_fields_sets.get(frozenset(fields)) is fields:
            object.__setattr__(self, "__pydantic_fields_set__", set(fields))
        super().__setattr__(name, value)


def share_fields_sets(record: object) -> None:
    """Shares the fields sets of ``record`` and of the records it holds (in fields, lists and dicts)."""
    if isinstance(record, SharedFieldsRecord):
        record.share_fields_set()
        for value in record.__dict__.values():
            share_fields_sets(value)
    elif isinstance(record, list):
        for value in record:
            share_fields_sets(value)
    elif isinstance(record, dict):
        for value in record.values():
            share_fields_sets(value)


class TypeData(SharedFieldsRecord):
    """A type name, with the description of its elements for arrays and dictionaries."""

    model_config = ConfigDict(extra="forbid")

    type: str
    items: TypeData | DictSchema | LegacyDictSchema | None = None


class DictSchema(SharedFieldsRecord):
    """Key and value types of a dictionary."""

    model_config = ConfigDict(extra="forbid")

    key: TypeData
    value: TypeData


class LegacyDictSchema(SharedFieldsRecord):
    """Key and value type names of a dictionary, in the older flat form."""

    model_config = ConfigDict(extra="forbid")

    key_type: str
    value_type: str


TypeData.model_rebuild()
DictSchema.model_rebuild()
