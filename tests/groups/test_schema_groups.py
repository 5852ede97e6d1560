"""The type, core and contrib schema groups, and the verification rules they must satisfy."""

from __future__ import annotations

import importlib
import importlib.util
from pathlib import Path

import pytest

from korvan_models.errors import KorvanValidationError
from korvan_models.schemas import groups
from korvan_models.schemas.groups import contrib_schemas, core_schemas, type_schemas
from korvan_models.schemas.loaders.base import ConfigReaderMixin
from korvan_utils.models.data_models.core import DictSchema, LegacyDictSchema, TypeData
from korvan_utils.models.data_models.enums import CoreTypes
from korvan_utils.models.data_models.schema import ObjectSchema

TYPE_TITLES = ["Number", "String", "Boolean", "Binary", "Array", "Dictionary", "Object"]
SHIPPED = Path(groups.__file__).with_name("type_schemas")


# --- the verification rules, rendered in plain Python -------------------------------------------

def dependency_type_names(schema: ObjectSchema) -> set[str]:
    names = {schema.type}
    for prop in (schema.properties or {}).values():
        names.add(prop.type)
        if prop.type == CoreTypes.ARRAY and isinstance(prop.items, TypeData):
            names.add(prop.items.type)
        elif prop.type == CoreTypes.DICTIONARY and isinstance(prop.items, LegacyDictSchema):
            names.update((prop.items.key_type, prop.items.value_type))
        elif prop.type == CoreTypes.DICTIONARY and isinstance(prop.items, DictSchema):
            names.update((prop.items.key.type, prop.items.value.type))
    names.discard(schema.title)
    return names


def undefined_dependency(type_group, core, contrib, user) -> tuple[str, str] | None:
    """(dependency, schema title) of the first type that no schema defines, or None."""
    defined = {schema.title.lower() for schema in type_group}
    defined |= {schema.title for schema in core + contrib + user}
    for schema in type_group + core + contrib + user:
        for name in sorted(dependency_type_names(schema)):
            if name not in defined:
                return name, schema.title
    return None


def schema(title: str, properties: dict | None = None, type_: str = "object") -> ObjectSchema:
    return ObjectSchema.model_validate({"title": title, "type": type_, "properties": properties})


EVERY_CORE_TYPE = {
    "pages": {"type": "number"},
    "name": {"type": "string"},
    "lent": {"type": "boolean"},
    "scan": {"type": "binary"},
    "tags": {"type": "array", "items": {"type": "string"}},
    "ratings": {"type": "dictionary", "items": {"key": {"type": "string"}, "value": {"type": "number"}}},
    "flags": {"type": "dictionary", "items": {"key_type": "string", "value_type": "boolean"}},
}

# (user schemas, the undefined dependency and the schema that names it, or None)
DEPENDENCY_CASES = {
    "every core type": ([schema("Book", EVERY_CORE_TYPE)], None),
    "another model": ([schema("Book", {"author": {"type": "Author"}}), schema("Author")], None),
    "a model extending another": ([schema("Novel", type_="Book"), schema("Book")], None),
    "own title": ([schema("Node", {"parent": {"type": "Node"}})], None),
    "capitalised core type": ([schema("Book", {"pages": {"type": "Number"}})], ("Number", "Book")),
    "missing model": ([schema("Book", {"author": {"type": "Author"}})], ("Author", "Book")),
    "model in other case": ([schema("Book", {"author": {"type": "author"}}), schema("Author")], ("author", "Book")),
    "array of missing model": ([schema("Book", {"genres": {"type": "array", "items": {"type": "Genre"}}})],
                               ("Genre", "Book")),
    "legacy dictionary key": ([schema("Book", {"by": {"type": "dictionary", "items": {
        "key_type": "Reader", "value_type": "string"}}})], ("Reader", "Book")),
    "unknown base": ([schema("Novel", type_="Book")], ("Book", "Novel")),
}


def native_mixin(module: str, name: str):
    if importlib.util.find_spec(f"korvan_models.schemas.mixins.{module}") is None:
        return None
    return getattr(importlib.import_module(f"korvan_models.schemas.mixins.{module}"), name)


# --- the groups ---------------------------------------------------------------------------------

def test_type_schemas_are_the_core_types():
    found = type_schemas()
    assert sorted(s.title for s in found) == sorted(TYPE_TITLES)
    assert {s.title.lower() for s in found} == {member.value for member in CoreTypes}
    assert all(s.type == "object" and not s.properties and not s.required for s in found)


@pytest.mark.parametrize("group", [type_schemas, core_schemas, contrib_schemas])
def test_each_call_gives_new_lists_of_new_records(group):
    first, second = group(), group()
    assert first is not second and first == second and (group is type_schemas or first == [])
    first.append(schema("Extra"))
    for record in first[:-1]:
        record.custom_code = "x = 1"
    assert group() == second and all(record.custom_code is None for record in group())


def test_shipped_files_read_with_the_project_loaders():
    reader, by_title = ConfigReaderMixin(), {s.title: s for s in type_schemas()}
    paths = sorted(SHIPPED.glob("*/model.json"))
    assert len(paths) == len(TYPE_TITLES)
    for path in paths:
        assert reader.is_schema_file(path), path
        (record,) = reader.read_configs_from_file(path)
        assert record == by_title[record.title]
    if importlib.util.find_spec("korvan_models.schemas.loaders.cli_config_reader") is not None:
        from korvan_models.schemas.loaders.cli_config_reader import CliConfigLoader

        assert sorted(s.title for s in CliConfigLoader(SHIPPED).iter_configs()) == sorted(TYPE_TITLES)


def test_a_broken_schema_file_is_named(tmp_path, monkeypatch):
    (tmp_path / "type_schemas" / "number").mkdir(parents=True)
    broken = tmp_path / "type_schemas" / "number" / "model.json"
    broken.write_text('{"title": "Number", "type": "object",}', "utf-8")
    monkeypatch.setattr(groups, "files", lambda package: tmp_path)
    with pytest.raises(ValueError) as caught:
        type_schemas()
    assert str(broken) in "\n".join(getattr(caught.value, "__notes__", []))


# --- the verification rules hold with these groups ----------------------------------------------

@pytest.mark.parametrize("user, expected", DEPENDENCY_CASES.values(), ids=DEPENDENCY_CASES.keys())
def test_dependency_rule_over_the_groups(user, expected):
    groups_ = (type_schemas(), core_schemas(), contrib_schemas(), user)
    assert undefined_dependency(*groups_) == expected
    mixin = native_mixin("dependency_check_mixin", "DependencyCheckMixin")
    if mixin is None:
        return  # the native mixin is checked against the same table once it is installed
    if expected is None:
        mixin().check_dependencies(*groups_)
    else:
        with pytest.raises(KorvanValidationError) as caught:
            mixin().check_dependencies(*groups_)
        dependency, title = expected
        assert str(caught.value) == f"Class {dependency} is undefined! This class is set as dependency for {title}"


def test_type_schemas_depend_only_on_each_other():
    assert undefined_dependency(type_schemas(), [], [], []) is None
