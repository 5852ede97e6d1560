"""Schema records, model names, loader bases, settings and class lookup."""

from __future__ import annotations

import json
from pathlib import Path

import pytest
from pydantic import ValidationError

from korvan_models.classes.constants import BASE_OBJECT_TYPE, BASIC_TYPES_MAP
from korvan_models.classes.data_models.dependencies import DependencyModelNames, model_module_name
from korvan_models.classes.manager import ClassManager
from korvan_models.classes.model import MODEL_REGISTRY, Model, TypeModel
from korvan_models.errors import SchemaFileError
from korvan_models.schemas.loaders.base import ConfigLoaderBase, ConfigReaderMixin, JsonOptionsLoader
from korvan_utils.config.manager import SETTINGS_FILE_ENV, KorvanConfigManager
from korvan_utils.models.data_models.core import DictSchema, LegacyDictSchema, TypeData
from korvan_utils.models.data_models.enums import CoreTypes
from korvan_utils.models.data_models.reference import Reference
from korvan_utils.models.data_models.schema import ObjectSchema, PropertyData
from korvan_utils.models.enums import SchemaTypes, Versions


def test_core_types():
    assert CoreTypes.NUMBER == "number" and CoreTypes("dictionary") is CoreTypes.DICTIONARY
    with pytest.raises(ValueError):
        CoreTypes("Number")
    assert BASIC_TYPES_MAP[CoreTypes("string")] is str and CoreTypes.ARRAY not in BASIC_TYPES_MAP
    assert BASE_OBJECT_TYPE == "object"


def test_items_are_parsed_into_the_matching_record():
    schema = ObjectSchema.model_validate_json(
        json.dumps(
            {
                "title": "T",
                "type": "object",
                "properties": {
                    "grid": {"type": "array", "items": {"type": "array", "items": {"type": "number"}}},
                    "new": {
                        "type": "dictionary",
                        "items": {"key": {"type": "string"}, "value": {"type": "array", "items": {"type": "string"}}},
                    },
                    "old": {"type": "dictionary", "items": {"key_type": "string", "value_type": "number"}},
                },
            }
        )
    )
    grid, new, old = schema.properties.values()
    assert isinstance(grid.items, TypeData) and isinstance(grid.items.items, TypeData)
    assert isinstance(new.items, DictSchema) and isinstance(new.items.value.items, TypeData)
    assert isinstance(old.items, LegacyDictSchema) and old.items.value_type == "number"
    with pytest.raises(ValidationError):
        PropertyData(type="dictionary", items={"key": {"type": "string"}})


def test_schema_record_defaults_and_writable_fields():
    first = ObjectSchema.model_validate_json(
        '{"title": "A", "type": "object", "properties": {"x": {"type": "string"}}}'
    )
    second = ObjectSchema(title="B", type="A")
    assert first.required == first.indexed == first.unique == [] and first.required is not second.required
    assert first.properties["x"].field_name == "x" and second.properties is None
    options = [{"value": "a"}]
    first.custom_code, first.properties["x"].options = "X = 1", options
    assert first.properties["x"].options is options  # assigned as is, not copied
    assert type(PropertyData(type=CoreTypes.STRING).type) is str
    with pytest.raises(ValidationError):
        ObjectSchema.model_validate_json('{"title": "A", "type": "object", "requried": []}')


def test_reference_versions_default_to_latest():
    ref = Reference.model_validate({"ref": {"class_name": "Book", "object_id": "b1", "object_version": "LATEST"}})
    assert ref.ref.class_version is Versions.LATEST and ref.ref.object_version == Versions.LATEST


@pytest.mark.parametrize(
    "title, module",
    [
        ("Book", "book"),
        ("BookLoan", "book_loan"),
        ("ISBNRecord", "isbn_record"),
        ("Book2Go", "book2_go"),
        ("Class", "class_"),
    ],
)
def test_model_module_name(title, module):
    assert model_module_name(title) == module


def test_dependency_names_from_schemas():
    schemas = [
        ObjectSchema(title=t, type=k) for t, k in [("Student", "Person"), ("Person", "object"), ("Email", "string")]
    ]
    names = DependencyModelNames.from_schemas(schemas)
    assert names.parents == {"Student": "Person"} and names.module_name("Student") == "student"
    assert names.ordered_titles() == ["Email", "Person", "Student"]
    with pytest.raises(ValueError):
        DependencyModelNames.from_schemas(
            [ObjectSchema(title="BookLoan", type="object"), ObjectSchema(title="Book_Loan", type="object")]
        )
    with pytest.raises(ValueError):
        DependencyModelNames(modules={"A": "a", "B": "b"}, parents={"A": "B", "B": "A"}).ordered_titles()
    with pytest.raises(ValueError):
        model_module_name("not-a-name")


def test_schema_files(tmp_path: Path):
    reader = ConfigReaderMixin()
    files = {
        "one.json": '{"title": "A", "type": "object"}',
        "many.json": '[{"title": "A", "type": "object"}, {"title": "B", "type": "A"}]',
        "broken.json": '{"title": ',
        "other.json": '{"name": "A"}',
        "empty.json": "[]",
    }
    for name, text in files.items():
        (tmp_path / name).write_text(text, "utf-8")
    (tmp_path / "folder.json").mkdir()
    accepted = {name for name in [*files, "folder.json"] if reader.is_schema_file(tmp_path / name)}
    # Invalid JSON is accepted so that reading it reports the file instead of skipping the model.
    assert accepted == {"one.json", "many.json", "broken.json"}
    with pytest.raises(SchemaFileError, match="broken.json:1:11: invalid JSON"):
        list(reader.read_configs_from_file(tmp_path / "broken.json"))
    records = reader.read_configs_from_file(tmp_path / "many.json")
    assert next(records).title == "A" and [r.title for r in records] == ["B"]


def test_loader_bases_need_no_constructor(tmp_path: Path):
    class Loader(ConfigReaderMixin, ConfigLoaderBase):
        def __init__(self, folder):
            self.folder = folder

        def iter_configs(self):
            yield from self.read_configs_from_file(self.folder / "model.json")

    (tmp_path / "model.json").write_text('{"title": "A", "type": "object"}', "utf-8")
    assert [s.title for s in Loader(tmp_path).iter_configs()] == ["A"]
    with pytest.raises(TypeError):
        ConfigLoaderBase()
    (tmp_path / "options").mkdir()
    (tmp_path / "options" / "b.json").write_text('{"title": "b", "values": [{"value": 1}]}', "utf-8")
    assert [o.title for o in JsonOptionsLoader(tmp_path / "options").iter_options()] == ["b"]
    assert list(JsonOptionsLoader(tmp_path / "missing").iter_options()) == []


def test_settings(tmp_path: Path, monkeypatch: pytest.MonkeyPatch):
    monkeypatch.delenv(SETTINGS_FILE_ENV, raising=False)
    assert KorvanConfigManager().get_connection_name_by_model_name("Book") == "default"
    settings_file = tmp_path / "settings.json"
    settings_file.write_text('{"default_connection": "main", "model_connections": {"Audit": "lakehouse"}}', "utf-8")
    monkeypatch.setenv(SETTINGS_FILE_ENV, str(settings_file))
    manager = KorvanConfigManager()
    assert manager.get_connection_name_by_model_name("Audit") == "lakehouse"
    assert manager.get_connection_name_by_model_name("Book") == "main"
    with pytest.raises(TypeError):
        manager.settings.model_connections["Book"] = "x"


def test_class_lookup():
    class Shelf(Model):
        code: str

    class Colour(TypeModel):
        hex: str

    # Stored queries of these classes are tested on a real database in tests/store.
    package = MODEL_REGISTRY.package_of(Shelf)
    try:
        manager = ClassManager(package)
        assert manager.resolve_schema_type("Colour") is SchemaTypes.TYPE
        assert manager.import_model_class("Shelf", SchemaTypes.USER) is Shelf
        with pytest.raises(LookupError):
            manager.import_model_class("Shelf", SchemaTypes.TYPE)
        with pytest.raises(LookupError, match="'Nowhere'"):
            manager.import_model_class("Nowhere")
    finally:
        MODEL_REGISTRY.forget(package)
