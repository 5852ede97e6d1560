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

from korvan_models.schemas.data_models.options import OptionsListSchema
from korvan_utils.models.data_models.schema import ObjectSchema


def _looks_like_schema(data: Any) -> bool:
    return isinstance(data, dict) and isinstance(data.get("title"), str) and isinstance(data.get("type"), str)


class ConfigReaderMixin:
    """Reads model schema files.

    A schema file holds one schema object, or a JSON array of schema objects.
    """

    def is_schema_file(self, path: Path) -> bool:
        """Tells whether ``path`` is a readable JSON file holding model schema(s)."""
        try:
            if not path.is_file():
                return False
            data = json.loads(path.read_text("utf-8"))
        except (OSError, UnicodeDecodeError, ValueError):
            return False
        if isinstance(data, list):
            return bool(data) and all(_looks_like_schema(item) for item in data)
        return _looks_like_schema(data)

    def read_configs_from_file(self, path: Path) -> Iterator[ObjectSchema]:
        """Yields the schema records of a schema file, in file order."""
        text = path.read_text("utf-8")
        if text.lstrip().startswith("["):
            for item in json.loads(text):
                yield ObjectSchema.model_validate(item)
        else:
            yield ObjectSchema.model_validate_json(text)


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
        if not self._options_dir.is_dir():
            return
        for path in sorted(self._options_dir.iterdir()):
            if path.is_file() and path.suffix.lower() == ".json":
                yield OptionsListSchema.model_validate_json(path.read_text("utf-8"))
