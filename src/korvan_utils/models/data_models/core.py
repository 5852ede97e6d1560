"""Type descriptions used by schema properties.

A property of type ``array`` describes its elements with a ``TypeData`` in ``items``;
a property of type ``dictionary`` describes its keys and values with a ``DictSchema``
(``{"key": {...}, "value": {...}}``) or with the older flat ``LegacyDictSchema``
(``{"key_type": "...", "value_type": "..."}``). The records forbid unknown keys, which
is what lets a JSON ``items`` object be matched to exactly one of them.
"""

from __future__ import annotations

from pydantic import BaseModel, ConfigDict


class TypeData(BaseModel):
    """A type name, with the description of its elements for arrays and dictionaries."""

    model_config = ConfigDict(extra="forbid")

    type: str
    items: TypeData | DictSchema | LegacyDictSchema | None = None


class DictSchema(BaseModel):
    """Key and value types of a dictionary."""

    model_config = ConfigDict(extra="forbid")

    key: TypeData
    value: TypeData


class LegacyDictSchema(BaseModel):
    """Key and value type names of a dictionary, in the older flat form."""

    model_config = ConfigDict(extra="forbid")

    key_type: str
    value_type: str


TypeData.model_rebuild()
DictSchema.model_rebuild()
