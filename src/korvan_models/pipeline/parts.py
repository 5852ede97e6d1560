"""The framework pieces a build drives, each found by its dotted name.

A piece that is not installed yet is replaced by a small plain-Python step doing the same job,
so a build always runs; each stand-in sits behind one function here and nowhere else.
"""

from __future__ import annotations

import importlib
import json
import re
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from korvan_models.errors import KorvanValidationError
from korvan_utils.models.data_models.core import DictSchema, LegacyDictSchema, TypeData
from korvan_utils.models.data_models.enums import CoreTypes
from korvan_utils.models.data_models.schema import ObjectSchema

LOADERS = "korvan_models.schemas.loaders"
EXTENDERS = "korvan_models.schemas.extenders"
MIXINS = "korvan_models.schemas.mixins"
MODEL_JSON_FILE = "model.json"


def find(module: str, name: str) -> Any | None:
    """``module.name`` when that module is installed, else ``None``."""
    try:
        return getattr(importlib.import_module(module), name)
    except ModuleNotFoundError as error:
        if error.name and module.startswith(error.name):
            return None
        raise


# --- reading a project -------------------------------------------------------------------------


class _SchemaFiles:
    """Stand-in schema loader: the model.json of each direct sub-folder."""

    def __init__(self, config_dir: Path) -> None:
        from korvan_models.schemas.loaders.base import ConfigReaderMixin

        self._config_dir = config_dir
        self._reader = ConfigReaderMixin()

    def iter_json_files(self) -> Iterator[Path]:
        if self._config_dir.exists():
            for item in self._config_dir.iterdir():
                if item.is_dir() and (item / "model.json").exists():
                    yield item / "model.json"

    def is_schema_file(self, path: Path) -> bool:
        return self._reader.is_schema_file(path)

    def read_configs_from_file(self, path: Path) -> Iterator[ObjectSchema]:
        return self._reader.read_configs_from_file(path)


def schema_loader(models_dir: Path) -> Any:
    """The loader of a project's model schemas."""
    loader = find(f"{LOADERS}.cli_config_reader", "CliConfigLoader")
    return loader(models_dir) if loader else _SchemaFiles(models_dir)


class _CustomCodeFiles:
    """Stand-in custom code loader: the code files of each model folder, by group then name."""

    def __init__(self, schema_dir: Path) -> None:
        self._schema_dir = schema_dir

    def __str__(self) -> str:
        return f"CliCustomCodeReader({self._schema_dir})"

    def iter_custom_code(self) -> Iterator[Any]:
        from korvan_models.schemas.data_models.custom_code import CustomCodeSchema

        files = _SchemaFiles(self._schema_dir)
        for path in files.iter_json_files():
            if not files.is_schema_file(path):
                continue
            schema = next(files.read_configs_from_file(path))
            parts = []
            for group in ("hooks", "modifiers", "properties"):
                folder = path.parent / group
                if folder.exists():
                    texts = sorted(
                        (item.name, item.read_text("utf-8"))
                        for item in folder.iterdir()
                        if item.is_file() and item.suffix.lower() == ".py"
                    )
                    parts += [text.strip() for _name, text in texts if text]
            if parts:
                yield CustomCodeSchema(name=schema.title, code="\n\n".join(parts))


def custom_code_loader(models_dir: Path) -> Any:
    """The loader of the models' custom code."""
    reader = find(f"{LOADERS}.cli_custom_code_reader", "CliCustomCodeReader")
    return reader(models_dir) if reader else _CustomCodeFiles(models_dir)


def options_loader(models_dir: Path) -> Any:
    """The loader of the named option lists under ``models/options``."""
    from korvan_models.schemas.loaders.base import JsonOptionsLoader

    return JsonOptionsLoader(models_dir / "options")


class _FixtureFiles:
    """Stand-in fixtures loader: one merged document of the records of every model."""

    def __init__(self, schema_dir: Path) -> None:
        self.models_with_fixtures = []
        if schema_dir.exists():
            for item in sorted(schema_dir.iterdir()):
                if item.is_dir() and (item / "model.json").exists() and (item / "fixtures").is_dir():
                    schema = ObjectSchema.model_validate_json((item / "model.json").read_text("utf-8"))
                    self.models_with_fixtures.append((item, schema))

    def iter_fixtures(self) -> Iterator[Path]:
        import tempfile

        records = []
        for model_dir, schema in self.models_with_fixtures:
            for entry in sorted((model_dir / "fixtures").iterdir()):
                if entry.name.endswith(".csv"):
                    import pandas as pd

                    data = pd.read_csv(entry).fillna("").to_dict(orient="records")
                elif entry.name.endswith(".json"):
                    data = json.loads(entry.read_text("utf-8"))
                else:
                    continue
                groups = {schema.title: data} if isinstance(data, list) else (data or {})
                for class_name, items in groups.items():
                    for item in items:
                        external_id = item.pop("_external_id", None)
                        if not external_id and "external_id" in item:
                            external_id = item.pop("external_id")
                        order = item.pop("_order", 0)
                        records.append(
                            {"class_name": class_name, "external_id": external_id, "order": order, "data": item}
                        )
        if records:
            with tempfile.TemporaryDirectory() as temp_dir:
                path = Path(temp_dir, "fixtures.json")
                path.write_text(json.dumps(records, indent=4), "utf-8")
                yield path

    def iter_fixture_files(self) -> Iterator[Path]:
        import shutil
        import tempfile

        with tempfile.TemporaryDirectory() as temp_dir:
            root = Path(temp_dir)
            for model_dir, schema in self.models_with_fixtures:
                files_dir = model_dir / "fixtures" / "files"
                if files_dir.is_dir():
                    for item in files_dir.iterdir():
                        if not item.is_dir():
                            (root / schema.title).mkdir(parents=True, exist_ok=True)
                            shutil.copy(item, root / schema.title)
            if any(root.iterdir()):
                yield root


def fixtures_loader(models_dir: Path) -> Any:
    """The loader of the models' fixture records and files."""
    reader = find(f"{LOADERS}.cli_fixtures_reader", "CliFixturesReader")
    return reader(models_dir) if reader else _FixtureFiles(models_dir)


class _StaticFiles:
    """Stand-in statics loader: the files directly in ``static/``."""

    def __init__(self, app_root: Path) -> None:
        self._app_root = app_root

    def iter_static(self) -> Iterator[Path]:
        static = self._app_root / "static"
        if static.is_dir():
            yield from (item for item in static.iterdir() if item.is_file())


def statics_loader(app_root: Path) -> Any:
    """The loader of an application's static files."""
    reader = find(f"{LOADERS}.cli_statics_reader", "CliStaticsReader")
    return reader(app_root) if reader else _StaticFiles(app_root)


# --- extending -----------------------------------------------------------------------------------


class _OptionsBinding:
    """Stand-in options binder."""

    def __init__(self, options_reader: Any) -> None:
        self._options_reader = options_reader
        self._options = {item.title: item for item in options_reader.iter_options()}
        self._used_options: set = set()

    def extend(self, config: ObjectSchema) -> None:
        for prop in (config.properties or {}).values():
            name = getattr(prop, "options_list_name", None)
            if not name:
                continue
            if name not in self._options:
                raise KorvanValidationError(
                    f"Options list name={name} is unknown. Make sure to create corresponding options list "
                    "under models/options folder"
                )
            prop.options = self._options[name].values
            self._used_options.add(name)

    def post_extend(self) -> None:
        unused = set(self._options) - self._used_options
        if unused:
            import logging

            logging.getLogger(f"{EXTENDERS}.options_binder").warning(
                f"Unused options lists: {unused} for {self._options_reader}"
            )


def options_binder(loader: Any) -> Any:
    """The extender that fills named option lists into properties."""
    binder = find(f"{EXTENDERS}.options_binder", "OptionsBinder")
    return (binder or _OptionsBinding)(loader)


class _CustomCodeBinding:
    """Stand-in custom code binder."""

    def __init__(self, custom_code_reader: Any) -> None:
        self._custom_code_reader = custom_code_reader
        self._custom_code_schemas = {item.name: item for item in custom_code_reader.iter_custom_code()}
        self._used_custom_codes: set = set()

    def extend(self, config: ObjectSchema) -> None:
        found = self._custom_code_schemas.get(config.title)
        if found:
            config.custom_code = found.code
            self._used_custom_codes.add(found.name)

    def post_extend(self) -> None:
        unused = self._custom_code_schemas.keys() - self._used_custom_codes
        if unused:
            import logging

            logging.getLogger(f"{EXTENDERS}.custom_code_binder").warning(
                "Unused custom codes: %s for %s", ", ".join(unused), self._custom_code_reader
            )


def custom_code_binder(loader: Any) -> Any:
    """The extender that attaches each model's custom code."""
    binder = find(f"{EXTENDERS}.custom_code_binder", "CustomCodeBinder")
    return (binder or _CustomCodeBinding)(loader)


# --- verifying -----------------------------------------------------------------------------------


class _Verification:
    """Stand-in of the two verification mixins, with their messages."""

    def verify_schemas(self, *groups: list) -> None:
        seen = set()
        for schema in [s for group in groups for s in group]:
            if schema.title in seen:
                raise KorvanValidationError(f"Schema with title '{schema.title}' is duplicated")
            seen.add(schema.title)
        for schema in [s for group in groups for s in group]:
            props = schema.properties or {}
            for field in ("required", "indexed"):
                for name in getattr(schema, field, []):
                    if name not in props:
                        raise KorvanValidationError(
                            f"Property {name} marked as {field} but wasn't found in class schema's properties."
                        )
            for group in getattr(schema, "unique", []):
                for name in group:
                    if name not in props:
                        raise KorvanValidationError(
                            f"Property {name} marked is used in 'unique' but wasn't found in class schema's properties."
                        )

    @staticmethod
    def get_dependency_type_names(schema: ObjectSchema) -> set:
        names = {schema.type}
        for prop in (schema.properties or {}).values():
            names.add(prop.type)
            if prop.type == CoreTypes.ARRAY and isinstance(prop.items, TypeData):
                names.add(prop.items.type)
            elif prop.type == CoreTypes.DICTIONARY:
                if isinstance(prop.items, LegacyDictSchema):
                    names |= {prop.items.key_type, prop.items.value_type}
                elif isinstance(prop.items, DictSchema):
                    names |= {prop.items.key.type, prop.items.value.type}
        names.discard(schema.title)
        return names

    def check_dependencies(self, type_schemas: list, *groups: list) -> None:
        defined = {s.title.lower() for s in type_schemas} | {s.title for group in groups for s in group}
        for schema in [*type_schemas, *(s for group in groups for s in group)]:
            for name in self.get_dependency_type_names(schema):
                if name not in defined:
                    raise KorvanValidationError(
                        f"Class {name} is undefined! This class is set as dependency for {schema.title}"
                    )


def verifier() -> Any:
    """An object offering ``verify_schemas`` and ``check_dependencies`` over the four groups."""
    verification = find(f"{MIXINS}.schema_verification_mixin", "SchemaVerificationMixin")
    dependencies = find(f"{MIXINS}.dependency_check_mixin", "DependencyCheckMixin")
    if verification and dependencies:
        return type("ProjectVerifier", (verification, dependencies), {"__doc__": "Verifies a project."})()
    return _Verification()


def schema_groups() -> tuple[list, list, list]:
    """The type, core and contrib schemas every project is verified with."""
    type_schemas = find("korvan_models.schemas.groups", "type_schemas")
    if type_schemas is not None:
        groups = importlib.import_module("korvan_models.schemas.groups")
        return list(type_schemas()), list(groups.core_schemas()), list(groups.contrib_schemas())
    types = [ObjectSchema(title=member.value.capitalize(), type="object") for member in CoreTypes]
    return types, [], []


# Parsing the framework's verification messages back into their parts.
DUPLICATED = re.compile(r"Schema with title '(?P<title>.*)' is duplicated")
MISSING = re.compile(
    r"Property (?P<name>.*?) marked (?:as (?P<field>required|indexed)|is used in '(?P<unique>unique)') but"
)
UNDEFINED = re.compile(r"Class (?P<name>.*) is undefined! This class is set as dependency for (?P<title>.*)")
UNKNOWN_OPTIONS = re.compile(r"Options list name=(?P<name>.*) is unknown")
