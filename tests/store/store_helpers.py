"""Helpers of the store tests and benchmark: a settings file, table descriptions, the example build."""

from __future__ import annotations

import importlib
import json
import sys
from pathlib import Path

from korvan_models.classes.model import MODEL_REGISTRY, Model
from korvan_utils.config.manager import SETTINGS_FILE_ENV
from korvan_utils.models.data_models.address import Address
from korvan_utils.models.data_models.schema import ObjectSchema
from korvan_utils.models.data_models.table_schema import TableColumnSchema, TableSchema

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "library"
_TYPES = {"number": float, "boolean": bool, "string": str, "array": list, "dictionary": dict, "binary": bytes}


def table_schema(schema: ObjectSchema) -> TableSchema:
    """The table description of a schema, through the table layout module when it is built."""
    try:
        from korvan_models.schemas.utils.table_layout import object_schema_to_table_schema
    except ImportError:
        pass
    else:
        return object_schema_to_table_schema(schema)
    columns = [
        TableColumnSchema(
            name=prop.field_name,
            field_id=prop.field_id,
            is_deleted=prop.is_deleted,
            type=_TYPES.get(prop.type, Model if prop.type[:1].isupper() or prop.type == "object" else str),
            default=prop.default,
            nullable=key not in schema.required,
        )
        for key, prop in (schema.properties or {}).items()
    ]
    return TableSchema(address=Address(resource="default", class_name=schema.title, class_version="1"), columns=columns)


def write_settings(folder: Path, environ, **settings) -> Path:
    """A settings file in ``folder`` (data in ``folder/data`` unless given), named in ``environ``."""
    path = folder / "korvan.json"
    path.write_text(json.dumps({"data_dir": "data", **settings}), "utf-8")
    environ[SETTINGS_FILE_ENV] = str(path)
    return path


def build_example(out: Path) -> list[ObjectSchema]:
    """Generates the example project's model classes into ``out/models`` and imports them."""
    from korvan_models import cli

    schemas = cli.load_project(EXAMPLE)
    import io

    cli.generate(schemas, out, out=io.StringIO())
    forget_models()
    sys.path.insert(0, str(out))
    importlib.invalidate_caches()
    importlib.import_module("models")
    return schemas


def forget_models() -> None:
    for name in [n for n in sys.modules if n == "models" or n.startswith("models.")]:
        del sys.modules[name]
    MODEL_REGISTRY.forget("models")


def fixtures_document(folder: Path, elements: list[dict]) -> Path:
    path = folder / "fixtures.json"
    path.write_text(json.dumps(elements, indent=4), "utf-8")
    return path


def example_fixtures(folder: Path) -> Path:
    """The example project's fixtures as one merged document (the layout the fixtures reader writes)."""
    import pandas as pd

    elements = []
    for model_dir in sorted(p for p in (EXAMPLE / "models").iterdir() if (p / "fixtures").is_dir()):
        title = json.loads((model_dir / "model.json").read_text("utf-8"))["title"]
        for item in sorted((model_dir / "fixtures").iterdir()):
            if item.name.endswith(".csv"):
                frame = pd.read_csv(item)
                data = frame.astype(object).where(frame.notna(), "").to_dict(orient="records")
            elif item.name.endswith(".json"):
                data = json.loads(item.read_text("utf-8"))
            else:
                continue
            groups = [(title, data)] if isinstance(data, list) else list(data.items())
            for class_name, records in groups:
                for record in records:
                    external_id = record.pop("_external_id", None)
                    if not external_id and "external_id" in record:
                        external_id = record.pop("external_id")
                    order = record.pop("_order", 0)
                    elements.append(
                        {"class_name": class_name, "external_id": external_id, "order": order, "data": record}
                    )
    return fixtures_document(folder, elements)
