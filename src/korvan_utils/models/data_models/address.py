"""Where a class (and optionally one object of it) lives in storage."""

from pydantic import BaseModel, ConfigDict

from korvan_utils.models.enums import Versions


class Address(BaseModel):
    """Storage address: the connection (``resource``), the class and the object."""

    model_config = ConfigDict(extra="forbid")

    resource: str
    class_name: str
    class_version: Versions | int | str
    object_id: str = ""
    object_version: Versions | int | str = ""
