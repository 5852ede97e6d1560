"""Errors raised by the model-building core."""


class KorvanValidationError(Exception):
    """A set of model schemas is invalid; the one argument is the message."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message
