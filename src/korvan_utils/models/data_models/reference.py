"""A pointer from one record to a version of another record."""

from pydantic import BaseModel, ConfigDict

from korvan_utils.models.enums import Versions


class ReferenceAddress(BaseModel):
    """Which object, of which model class, in which versions a reference points at.

    A version is a concrete version (a number or its text) or ``Versions.LATEST``;
    the text ``"LATEST"`` reads as the same marker.
    """

    model_config = ConfigDict(extra="forbid")

    class_name: str
    class_version: Versions | int | str = Versions.LATEST
    object_id: str
    object_version: Versions | int | str = Versions.LATEST


class Reference(BaseModel):
    """A reference to another record, as stored in a model field: ``{"ref": {...}}``."""

    model_config = ConfigDict(extra="forbid")

    ref: ReferenceAddress
