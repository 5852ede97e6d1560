"""Errors raised by the model-building core."""

import signal
from collections.abc import Iterator
from contextlib import contextmanager

INTERRUPTS = {signal.SIGINT, signal.SIGTERM}


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised where the command is, so that it unwinds as after Ctrl-C."""


# The interrupts (SIGINT, SIGTERM) the command received, in order. Each is raised where the command
# is at that moment; but code on the way may swallow it (a library that reports an exception raised
# in a callback and carries on), so ``raise_received`` raises it again before a build's results are
# stored or put in place.
received: list[int] = []


def on_interrupt(number: int, _frame: object) -> None:
    """The command's handler of SIGINT and SIGTERM."""
    received.append(number)
    raise Terminated() if number == signal.SIGTERM else KeyboardInterrupt()


@contextmanager
def signals_held() -> Iterator[None]:
    """Holds back SIGINT and SIGTERM for a step that must not be cut in two (they arrive after it)."""
    saved = signal.pthread_sigmask(signal.SIG_BLOCK, INTERRUPTS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, saved)


def raise_received() -> None:
    """Raises again an interrupt that was received but did not stop the command."""
    if received:
        raise Terminated() if received[-1] == signal.SIGTERM else KeyboardInterrupt()


class KorvanValidationError(Exception):
    """A set of model schemas is invalid; the one argument is the message."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class SchemaFileError(ValueError):
    """A schema or option-list file that cannot be read as one.

    Names the file (``path``) and, where known, the place: ``line`` and ``column`` (1-based) of a
    position in the text, or ``field``, the dotted path of a value inside the document (list items
    as ``[index]``). ``str()`` is one line, ``path:line:column: message`` or ``path: field: message``.
    """

    def __init__(
        self,
        path: object,
        message: str,
        *,
        line: int | None = None,
        column: int | None = None,
        field: str | None = None,
    ) -> None:
        super().__init__(path, message)
        self.path = path
        self.message = message
        self.line = line
        self.column = column
        self.field = field

    def __str__(self) -> str:
        where = f"{self.path}:{self.line}:{self.column}" if self.line is not None else f"{self.path}"
        return f"{where}: {self.field}: {self.message}" if self.field else f"{where}: {self.message}"

    def __reduce__(self):
        keywords = {"line": self.line, "column": self.column, "field": self.field}
        return (_rebuild_schema_file_error, (type(self), self.path, self.message, keywords))


def _rebuild_schema_file_error(cls, path, message, keywords):
    return cls(path, message, **keywords)


class FixtureRecordError(ValueError):
    """A fixture record that its model class refuses; nothing of the load it belongs to is stored."""

    def __init__(self, class_name: str, external_id: str | None, field: str | None, message: str) -> None:
        self.class_name = class_name
        self.external_id = external_id
        self.field = field
        self.message = message
        record = f"{class_name} fixture {external_id!r}" if external_id else f"{class_name} fixture"
        super().__init__(f"{record}, field {field!r}: {message}" if field else f"{record}: {message}")
