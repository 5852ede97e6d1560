"""Errors raised by the model-building core."""


class KorvanValidationError(Exception):
    """A set of model schemas is invalid; the one argument is the message."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class FixtureRecordError(ValueError):
    """A fixture record that its model class refuses; nothing of the load it belongs to is stored."""

    def __init__(self, class_name: str, external_id: str | None, field: str | None, message: str) -> None:
        self.class_name = class_name
        self.external_id = external_id
        self.field = field
        self.message = message
        record = f"{class_name} fixture {external_id!r}" if external_id else f"{class_name} fixture"
        super().__init__(f"{record}, field {field!r}: {message}" if field else f"{record}: {message}")
