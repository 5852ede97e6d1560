"""Framework-wide enumerations."""

from enum import StrEnum


class SchemaTypes(StrEnum):
    """Where a model schema comes from; decides which group it is verified and built with."""

    TYPE = "type"
    CORE = "core"
    CONTRIB = "contrib"
    USER = "user"


class Versions(StrEnum):
    """Version markers usable wherever a concrete class or object version is expected."""

    LATEST = "LATEST"
