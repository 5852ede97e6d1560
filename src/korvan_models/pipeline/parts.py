"""The framework pieces a build drives, each found by its dotted name.

A piece that is not installed yet is replaced by a small plain-Python step doing the same job,
so a build always runs; each stand-in sits behind one function here and nowhere else.
"""

from __future__ import annotations

import importlib
import re
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


def schema_loader(models_dir: Path) -> Any:
    """The loader of a project's model schemas."""
    from korvan_models.schemas.loaders.cli_config_reader import CliConfigLoader

    return CliConfigLoader(models_dir)


def custom_code_loader(models_dir: Path) -> Any:
    """The loader of the models' custom code."""
    from korvan_models.schemas.loaders.cli_custom_code_reader import CliCustomCodeReader

    return CliCustomCodeReader(models_dir)


def options_loader(models_dir: Path) -> Any:
    """The loader of the named option lists under ``models/options``."""
    from korvan_models.schemas.loaders.base import JsonOptionsLoader

    return JsonOptionsLoader(models_dir / "options")


def fixtures_loader(models_dir: Path) -> Any:
    """The loader of the models' fixture records and files."""
    from korvan_models.schemas.loaders.cli_fixtures_reader import CliFixturesReader

    return CliFixturesReader(models_dir)


def statics_loader(app_root: Path) -> Any:
    """The loader of an application's static files."""
    from korvan_models.schemas.loaders.cli_statics_reader import CliStaticsReader

    return CliStaticsReader(app_root)


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
