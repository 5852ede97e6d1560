"""Base classes of the project loaders.

Concrete loaders set their own attributes in ``__init__`` and never call a base
constructor, so nothing here may rely on one having run. The bases share one
metaclass (``ABCMeta``), so a loader may combine ``ConfigReaderMixin`` with any of them.
"""

from __future__ import annotations

import json
from abc import ABC, abstractmethod
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any

from pydantic import BaseModel, ValidationError

from korvan_models.errors import SchemaFileError
from korvan_models.schemas.data_models.options import OptionsListSchema
from korvan_utils.models.data_models.schema import ObjectSchema

# A JSON object with none of these keys is a document of another kind, not a schema gone wrong.
_SCHEMA_KEYS = frozenset({"title", "type", "properties"})


def _meant_as_schema(data: Any) -> bool:
    return isinstance(data, dict) and not _SCHEMA_KEYS.isdisjoint(data)


def _read_json(path: Path) -> tuple[str, Any]:
    """The text of a UTF-8 JSON file and its parsed value; a bad file raises SchemaFileError."""
    raw = path.read_bytes()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        line_start = raw.rfind(b"\n", 0, error.start) + 1
        column = len(raw[line_start : error.start].decode("utf-8")) + 1
        line = raw.count(b"\n", 0, error.start) + 1
        message = f"not UTF-8 text (byte 0x{raw[error.start]:02x})"
        raise SchemaFileError(path, message, line=line, column=column) from error
    try:
        return text, json.loads(text)
    except json.JSONDecodeError as error:
        message = f"invalid JSON: {error.msg}"
        raise SchemaFileError(path, message, line=error.lineno, column=error.colno) from error


def _field_name(location: tuple) -> str:
    name = ""
    for part in location:
        name += f"[{part}]" if isinstance(part, int) else (f".{part}" if name else f"{part}")
    return name


def _describe(problem: dict, prefix: tuple) -> tuple[str, str]:
    location = prefix + tuple(problem["loc"])
    if problem["type"] == "extra_forbidden":
        return _field_name(location[:-1]), f"unknown key {location[-1]!r}"
    if problem["type"] == "missing":
        return _field_name(location[:-1]), f"missing key {location[-1]!r}"
    return _field_name(location), problem["msg"]


def _invalid(path: Path, error: ValidationError, prefix: tuple = ()) -> SchemaFileError:
    """One error for every problem pydantic found: the first names the field, the rest follow it."""
    problems = [_describe(problem, prefix) for problem in error.errors()]
    field, message = problems[0]
    for other_field, other_message in problems[1:]:
        message += f"; {other_field}: {other_message}" if other_field else f"; {other_message}"
    return SchemaFileError(path, message, field=field or None)


def _validated_json(path: Path, model: type[BaseModel], text: str, prefix: tuple = ()) -> Any:
    try:
        return model.model_validate_json(text)
    except ValidationError as error:
        raise _invalid(path, error, prefix) from error


def _validated(path: Path, model: type[BaseModel], data: Any, prefix: tuple = ()) -> Any:
    try:
        return model.model_validate(data)
    except ValidationError as error:
        raise _invalid(path, error, prefix) from error


class ConfigReaderMixin:
    """Reads model schema files.

    A schema file holds one schema object, or a JSON array of schema objects. A file meant as a
    schema that cannot be read as one raises SchemaFileError naming the file and the place.
    """

    def is_schema_file(self, path: Path) -> bool:
        """Tells whether ``path`` is a file meant as model schema(s).

        Only what is plainly not a schema file is refused: a folder, or a JSON document of another
        kind (an object without "title", "type" and "properties", an array without such an
        object). A file that is not UTF-8 or not JSON is accepted, so that reading it reports why.
        """
        if not path.is_file():
            return False
        try:
            data = json.loads(path.read_bytes().decode("utf-8"))
        except (OSError, ValueError):
            return True
        if isinstance(data, list):
            return any(_meant_as_schema(item) for item in data)
        return _meant_as_schema(data)

    def read_configs_from_file(self, path: Path) -> Iterator[ObjectSchema]:
        """Yields the schema records of a schema file, in file order."""
        text, data = _read_json(path)
        if isinstance(data, list):
            for index, item in enumerate(data):
                yield _validated(path, ObjectSchema, item, (index,))
        else:
            yield _validated_json(path, ObjectSchema, text)


class ConfigLoaderBase(ABC):
    """A source of model schemas."""

    @abstractmethod
    def iter_configs(self) -> Iterator[ObjectSchema]:
        """Yields every model schema of the source."""


class CustomCodeLoaderBase(ABC):
    """A source of models' custom code (hooks, modifiers, properties)."""

    @abstractmethod
    def iter_custom_code(self) -> Iterable[Any]:
        """Yields one ``CustomCodeSchema`` per model that has custom code."""


class FixturesLoaderBase(ABC):
    """A source of fixture records and the files they refer to."""

    @abstractmethod
    def iter_fixtures(self) -> Iterator[Path]:
        """Yields the path of a document holding all fixture records."""

    @abstractmethod
    def iter_fixture_files(self) -> Iterator[Path]:
        """Yields the path of a folder holding the fixtures' files, one sub-folder per model."""


class StaticsLoaderBase(ABC):
    """A source of an application's static files."""

    @abstractmethod
    def iter_static(self) -> Iterator[Path]:
        """Yields the path of every static file."""


class OptionsLoaderBase(ABC):
    """A source of named option lists."""

    @abstractmethod
    def iter_options(self) -> Iterable[Any]:
        """Yields option list records, each with a ``title`` and ``values``."""


class JsonOptionsLoader(OptionsLoaderBase):
    """Reads option lists from the ``*.json`` files of a folder (a project's ``models/options``)."""

    def __init__(self, options_dir: Path) -> None:
        self._options_dir = options_dir

    def __str__(self) -> str:
        return f"{self.__class__.__name__}({self._options_dir})"

    def iter_options(self) -> Iterator[OptionsListSchema]:
        """Yields the option list of every ``.json`` file, in file-name order."""
        if not self._options_dir.is_dir():
            return
        for path in sorted(self._options_dir.iterdir()):
            if path.is_file() and path.suffix.lower() == ".json":
                text, _ = _read_json(path)
                yield _validated_json(path, OptionsListSchema, text)
