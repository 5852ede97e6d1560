"""Schema and option-list files a user meant as such but got wrong end in an error naming the file."""

from __future__ import annotations

import pickle
from pathlib import Path

import pytest
from loader_helpers import write_model

from korvan_models.errors import SchemaFileError
from korvan_models.schemas.loaders.base import ConfigReaderMixin, JsonOptionsLoader
from korvan_models.schemas.loaders.cli_config_reader import CliConfigLoader
from korvan_models.schemas.loaders.cli_custom_code_reader import CliCustomCodeReader

BAD_SCHEMAS = [
    ('{"title": "A",\n  "type": "object",}', 2, 20, None, "invalid JSON: Expecting property name enclosed in double quotes"),
    (b'{"title": "Gr\xc3\xbc\xdfe", "type": "object"}', 1, 15, None, "not UTF-8 text (byte 0xdf)"),
    ('{"title": "A", "type": "object", "requried": ["x"]}', None, None, None, "unknown key 'requried'"),
    ('{"type": "object", "properties": {}}', None, None, None, "missing key 'title'"),
    ('{"title": "A", "type": "object", "properties": {"age": {"type": 5}}}', None, None, "properties.age.type",
     "Input should be a valid string"),
    ('{"title": "A", "type": "object", "properties": {"age": {"typ": "number"}}}', None, None, "properties.age",
     "missing key 'type'; properties.age: unknown key 'typ'"),
    ('[{"title": "A", "type": "object"}, {"title": "B"}]', None, None, "[1]", "missing key 'type'"),
    ('[{"title": "A", "type": "object"}, 7]', None, None, "[1]", "Input should be a valid dictionary"),
    ('{"title": 5, "type": "object"}', None, None, "title", "Input should be a valid string"),
]


@pytest.mark.parametrize("content, line, column, field, message", BAD_SCHEMAS)
def test_bad_schema_file_is_accepted_then_reported(tmp_path: Path, content, line, column, field, message):
    path = tmp_path / "model.json"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    reader = ConfigReaderMixin()
    assert reader.is_schema_file(path)
    with pytest.raises(SchemaFileError) as raised:
        list(reader.read_configs_from_file(path))
    error = raised.value
    assert (error.path, error.line, error.column, error.field) == (path, line, column, field)
    assert error.message.startswith(message) and isinstance(error, ValueError)
    where = f"{path}:{line}:{column}" if line else f"{path}"
    assert str(error) == (f"{where}: {field}: {error.message}" if field else f"{where}: {error.message}")
    copy = pickle.loads(pickle.dumps(error))
    assert (str(copy), copy.field, copy.line) == (str(error), field, line)


@pytest.mark.parametrize(
    "content", ['{"name": "options"}', "[]", '[1, "two"]', '"text"', "5", "null", '{"values": [{"value": 1}]}']
)
def test_documents_of_another_kind_are_refused(tmp_path: Path, content):
    path = tmp_path / "model.json"
    path.write_text(content, "utf-8")
    assert not ConfigReaderMixin().is_schema_file(path)
    assert not ConfigReaderMixin().is_schema_file(tmp_path)


@pytest.mark.parametrize("loader", [CliConfigLoader, CliCustomCodeReader])
def test_a_typo_in_one_model_stops_the_walk_naming_the_file(tmp_path: Path, loader):
    write_model(tmp_path, "good", files={"hooks/h.py": "x = 1"})
    bad = write_model(tmp_path, "bad", '{"title": "Bad", "type": "object",\n "required": [}', {"hooks/h.py": "x"})
    walk = loader(tmp_path).iter_configs() if loader is CliConfigLoader else loader(tmp_path).iter_custom_code()
    with pytest.raises(SchemaFileError, match=f"^{bad / 'model.json'}:2:15: invalid JSON"):
        list(walk)


@pytest.mark.parametrize(
    "content, expected",
    [
        ('{"title": "genres", "values": [{"value": "a"}],}', ":1:48: invalid JSON"),
        (b'{"title": "\xff"}', ":1:12: not UTF-8 text"),
        ('{"title": "genres", "values": [{"valu": "a"}]}', ": values[0]: missing key 'value'"),
    ],
)
def test_a_broken_option_list_names_its_file(tmp_path: Path, content, expected):
    path = tmp_path / "options" / "genres.json"
    path.parent.mkdir()
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    with pytest.raises(SchemaFileError) as raised:
        list(JsonOptionsLoader(tmp_path / "options").iter_options())
    assert str(raised.value).startswith(f"{path}{expected}")
