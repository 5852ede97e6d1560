"""Table descriptions built from real schema records and a real settings file, against a plain-Python twin."""

import enum
import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvan_models.classes.model import Model
from korvan_models.schemas.utils import table_layout
from korvan_models.schemas.utils.table_layout import (
    _process_properties, _process_property_type, object_schema_to_table_schema)
from korvan_utils.config.manager import KorvanConfigManager
from korvan_utils.models.data_models.address import Address
from korvan_utils.models.data_models.enums import CoreTypes
from korvan_utils.models.data_models.schema import ObjectSchema, PropertyData
from korvan_utils.models.data_models.table_schema import TableColumnSchema, TableSchema


def reference_property_type(property_type):
    for member, result in ((CoreTypes.NUMBER, float), (CoreTypes.BOOLEAN, bool), (CoreTypes.STRING, str),
                           (CoreTypes.ARRAY, list), (CoreTypes.DICTIONARY, dict), (CoreTypes.BINARY, bytes)):
        if property_type == member:
            return result
    if property_type.capitalize() == property_type or property_type == CoreTypes.OBJECT:
        return Model
    return str


def reference_table(object_schema):
    class_name = object_schema.title
    connection = KorvanConfigManager().get_connection_name_by_model_name(class_name)
    address = Address(resource=connection, class_name=class_name, class_version="1", object_id="", object_version="")
    columns = [
        TableColumnSchema(name=data.field_name, field_id=data.field_id, is_deleted=data.is_deleted,
                          type=reference_property_type(data.type), default=data.default,
                          nullable=name not in object_schema.required)
        for name, data in (object_schema.properties or {}).items()
    ]
    return TableSchema(address=address, columns=columns, indexed=[], unique_columns=[])


@pytest.mark.parametrize("property_type, expected", [
    ("number", float), ("boolean", bool), ("string", str), ("array", list), ("dictionary", dict), ("binary", bytes),
    ("object", Model), ("Book", Model), ("", Model), ("9lives", Model), ("Été", Model),
    ("OrderLine", str), ("date", str), ("Number", Model), ("ß", str), ("éTé", str),
])
def test_property_type_table(property_type, expected):
    assert _process_property_type(property_type) is expected


@given(st.text(max_size=8) | st.sampled_from([m.value for m in CoreTypes]))
def test_property_type_matches_plain_twin(property_type):
    assert _process_property_type(property_type) is reference_property_type(property_type)


def settings_file(tmp_path, monkeypatch):
    path = tmp_path / "settings.json"
    path.write_text(json.dumps({"default_connection": "main", "model_connections": {"Book": "archive"}}), "utf-8")
    monkeypatch.setenv("KORVAN_SETTINGS_FILE", str(path))


SCHEMAS = [
    {"title": "Book", "type": "object", "properties": None},
    {"title": "Shelf", "type": "object", "properties": {}, "required": ["ghost"]},
    {"title": "Book", "type": "object", "required": ["title", "author"], "properties": {
        "title": {"type": "string", "field_name": "book_title", "field_id": 3, "default": "Untitled"},
        "author": {"type": "Author"},
        "pages": {"type": "number", "is_deleted": True},
        "line": {"type": "OrderLine"},
        "cover": {"type": "binary"},
    }},
]


@pytest.mark.parametrize("data", SCHEMAS)
def test_table_matches_plain_twin(data, tmp_path, monkeypatch):
    settings_file(tmp_path, monkeypatch)
    object_schema = ObjectSchema.model_validate(data)
    table = object_schema_to_table_schema(object_schema)
    assert table == reference_table(object_schema)
    assert table.address.resource == ("archive" if data["title"] == "Book" else "main")
    assert (table.address.class_version, table.address.object_id, table.address.object_version) == ("1", "", "")
    assert table.indexed == [] and table.unique_columns == []
    assert [(c.name, c.nullable) for c in table.columns] == [
        (p.field_name, name not in object_schema.required) for name, p in (object_schema.properties or {}).items()]


class ShortTypes(enum.StrEnum):
    NUMBER, BOOLEAN, STRING, ARRAY, DICTIONARY, BINARY, OBJECT = "num", "bool", "str", "arr", "dict", "bin", "obj"


@pytest.mark.parametrize("name, value, property_type, expected", [
    ("CoreTypes", ShortTypes, "num", float), ("CoreTypes", ShortTypes, "number", str),
    ("CoreTypes", ShortTypes, "obj", "model"), ("Model", "model", "Book", "model"),
])
def test_module_names_are_looked_up_when_the_body_runs(monkeypatch, name, value, property_type, expected):
    monkeypatch.setattr(table_layout, "Model", "model")
    monkeypatch.setattr(table_layout, name, value)
    assert _process_property_type(property_type) == expected


class TextSub(str):
    pass


def incorrect(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize("call, text", [
    (lambda: _process_property_type(None), incorrect("property_type", "str", "NoneType")),
    (lambda: _process_property_type(TextSub("number")), incorrect("property_type", "str", "TextSub")),
    (lambda: _process_property_type(CoreTypes.NUMBER), incorrect("property_type", "str", "CoreTypes")),
    (lambda: _process_properties({}, None), incorrect("required", "list", "NoneType")),
    (lambda: _process_properties(None, ("a",)), incorrect("required", "list", "tuple")),
    (lambda: _process_properties({"p": PropertyData.model_construct(type=CoreTypes.STRING, field_name="p")}, []),
     incorrect("property_type", "str", "CoreTypes")),
])
def test_arguments_of_the_wrong_type_are_refused(call, text):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == text


def test_module_names_and_signatures():
    assert [name for name in vars(table_layout) if not name.startswith("__")] == [
        "KorvanConfigManager", "Address", "CoreTypes", "ObjectSchema", "PropertyData", "TableColumnSchema",
        "TableSchema", "Model", "object_schema_to_table_schema", "_process_properties", "_process_property_type"]
    assert object_schema_to_table_schema.__annotations__ == {"object_schema": "ObjectSchema", "return": "TableSchema"}
    assert _process_properties.__annotations__ == {
        "properties": "dict[str, PropertyData] | None", "required": "list[str]", "return": "list[TableColumnSchema]"}
    assert _process_property_type.__annotations__ == {"property_type": "str", "return": "type | Model"}
