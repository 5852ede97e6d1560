"""Names of the core types a schema property can have."""

from enum import StrEnum


class CoreTypes(StrEnum):
    """Core type names, as written (lower case) in model schemas.

    Members are texts: ``CoreTypes.NUMBER == "number"``. Lookup by value is exact,
    so ``CoreTypes("Number")`` raises ``ValueError``; lower-case a name first.
    """

    NUMBER = "number"
    STRING = "string"
    BOOLEAN = "boolean"
    BINARY = "binary"
    ARRAY = "array"
    DICTIONARY = "dictionary"
    OBJECT = "object"
