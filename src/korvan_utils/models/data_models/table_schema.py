"""Table descriptions handed to the storage layer for migrations."""

from typing import Any

from pydantic import BaseModel, ConfigDict, Field

from korvan_utils.models.data_models.address import Address


class TableColumnSchema(BaseModel):
    """One column: its name, stable id, value type (a Python type or a model class) and default."""

    model_config = ConfigDict(extra="forbid", arbitrary_types_allowed=True)

    name: str | None
    field_id: int | None = None
    is_deleted: bool = False
    type: type[Any]
    default: Any = None
    nullable: bool = True


class TableSchema(BaseModel):
    """A table: its address, its columns and its index and uniqueness constraints."""

    model_config = ConfigDict(extra="forbid")

    address: Address
    columns: list[TableColumnSchema] = Field(default_factory=list)
    indexed: list[str] = Field(default_factory=list)
    unique_columns: list[list[str]] = Field(default_factory=list)
