"""The schema groups that are verified together with a project's own (user) schemas.

A build hands four groups, in the order type, core, contrib, user, to ``verify_schemas`` and
``check_dependencies``. The first three come from here:

- type schemas: one per core type (``Number``, ``String``, ``Boolean``, ``Binary``, ``Array``,
  ``Dictionary``, ``Object``), shipped in the package as schema files under ``type_schemas/``,
  one folder per type holding its ``model.json``, the layout that the project loaders read;
- core schemas: the framework's own models; there are none yet, so the group is empty;
- contrib schemas: models contributed beside the framework; there are none yet, so the group is
  empty.

Each function returns a new list of new records, so a caller may extend or change what it gets.
"""

from __future__ import annotations

from importlib.resources import files
from importlib.resources.abc import Traversable

from korvan_utils.models.data_models.schema import ObjectSchema

MODEL_JSON_FILE = "model.json"
TYPE_SCHEMAS_FOLDER = "type_schemas"


def _type_schema_files() -> list[Traversable]:
    folder = files(__package__).joinpath(TYPE_SCHEMAS_FOLDER)
    found = (entry.joinpath(MODEL_JSON_FILE) for entry in folder.iterdir() if entry.is_dir())
    return sorted((path for path in found if path.is_file()), key=lambda path: str(path))


def _read_schema(path: Traversable) -> ObjectSchema:
    try:
        return ObjectSchema.model_validate_json(path.read_text("utf-8"))
    except ValueError as err:
        err.add_note(f"in the schema file {path}")
        raise


def type_schemas() -> list[ObjectSchema]:
    """Returns the schemas of the core types, read from the schema files shipped in the package."""
    return [_read_schema(path) for path in _type_schema_files()]


def core_schemas() -> list[ObjectSchema]:
    """Returns the framework's core model schemas: none yet, so a new empty list."""
    return []


def contrib_schemas() -> list[ObjectSchema]:
    """Returns the contributed model schemas: none yet, so a new empty list."""
    return []
