"""Model schema records: the content of a model folder's ``model.json``."""

from __future__ import annotations

from typing import Any

from pydantic import ConfigDict, Field, model_validator

from korvan_utils.models.data_models.core import (
    DictSchema,
    LegacyDictSchema,
    SharedFieldsRecord,
    TypeData,
    share_fields_sets,
)


class OptionItem(SharedFieldsRecord):
    """One allowed value of a property, with an optional human-readable label."""

    model_config = ConfigDict(extra="forbid")

    value: str | int | float | bool
    label: str | None = None


class PropertyData(SharedFieldsRecord):
    """One property of a model schema.

    ``type`` is a core type name (``number``, ``string``, ``boolean``, ``binary``,
    ``array``, ``dictionary``) or the title of another model. ``options`` may be written
    inline or filled later from the option list named by ``options_list_name``.
    ``field_name`` is the storage column name; when the schema file leaves it out, the
    owning ``ObjectSchema`` sets it to the property's key.
    """

    model_config = ConfigDict(extra="forbid")

    type: str
    items: TypeData | DictSchema | LegacyDictSchema | None = None
    default: Any = None
    description: str | None = None
    options: list[OptionItem] | None = None
    options_list_name: str | None = None
    field_name: str | None = None
    field_id: int | None = None
    is_deleted: bool = False


class ObjectSchema(SharedFieldsRecord):
    """The schema of one model.

    ``type`` is ``"object"`` for a model built directly on the framework's base class,
    or the title of the model it extends. ``custom_code`` is not written in the file:
    the custom code binder fills it from the model folder's code files.
    """

    model_config = ConfigDict(extra="forbid")

    title: str
    type: str
    description: str | None = None
    version: int = 1
    properties: dict[str, PropertyData] | None = None
    required: list[str] = Field(default_factory=list)
    indexed: list[str] = Field(default_factory=list)
    unique: list[list[str]] = Field(default_factory=list)
    custom_code: str | None = None

    @model_validator(mode="after")
    def _default_field_names(self) -> ObjectSchema:
        for name, prop in (self.properties or {}).items():
            if prop.field_name is None:
                prop.field_name = name
        # A project holds every schema from its check to the end of its build.
        share_fields_sets(self)
        return self
