"""The editor schema agrees with the check: what the check accepts validates, and each mistake that a
JSON Schema can express is refused by both."""

from __future__ import annotations

import copy
import json
import re
from pathlib import Path

import jsonschema
import pytest
from cli_helpers import BOOK, EXAMPLE, GENRES, write_json

from korvan_models.pipeline import ProjectError, check_project
from korvan_models.tools import editor_schema
from korvan_utils.models.data_models.schema import ObjectSchema

DOCS = EXAMPLE.parents[1] / "docs" / "model-json.md"


def validator(root: Path, which: int = 0) -> jsonschema.Draft202012Validator:
    schema = editor_schema.project_schemas(root)[which]
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


@pytest.mark.parametrize("root", [EXAMPLE, None], ids=["example", "test project"])
def test_every_accepted_file_validates_against_a_valid_schema(root, project):
    root = root or project
    models, options = validator(root, 0), validator(root, 1)
    files = sorted(root.glob("models/*/model.json"))
    assert files
    for path in files:
        assert list(models.iter_errors(json.loads(path.read_text("utf-8")))) == [], path
    for path in sorted(root.glob("models/options/*.json")):
        assert list(options.iter_errors(json.loads(path.read_text("utf-8")))) == [], path


def set_in(path: tuple, value):
    def change(data):
        *outer, last = path
        for key in outer:
            data = data[key]
        data[last] = value

    return change


# Each mistake is made in Book's schema; the check must refuse it too, or the row proves nothing.
MISTAKES = [
    ("misspelt schema key", lambda d: d.update(requird=[])),
    ("misspelt property key", set_in(("properties", "title"), {"tpye": "string"})),
    ("misspelt items key", set_in(("properties", "tags", "items"), {"typ": "string"})),
    ("unknown property type", set_in(("properties", "title", "type"), "strng")),
    ("core type in capitals", set_in(("properties", "title", "type"), "String")),
    ("reference to a missing model", set_in(("properties", "author", "type"), "Autor")),
    ("unknown element type", set_in(("properties", "tags", "items", "type"), "Tag")),
    ("extension of a missing model", set_in(("type",), "Novel")),
    ("title that cannot name a class", set_in(("title",), "Old Book")),
    ("title that is not text", set_in(("title",), 7)),
    ("property name that is a keyword", set_in(("properties", "class"), {"type": "string"})),
    ("property name that is not a name", set_in(("properties", "page-count"), {"type": "number"})),
    ("number default that is no number", set_in(("properties", "pages"), {"type": "number", "default": "long ago"})),
    ("number default with a comma", set_in(("properties", "pages"), {"type": "number", "default": "4,5"})),
    ("unknown option list", set_in(("properties", "genre", "options_list_name"), "genre")),
    ("option without a value", set_in(("properties", "genre", "options"), [{"label": "Fiction"}])),
    ("version that is no whole number", set_in(("version",), "2.5")),
    ("required that is not a list", set_in(("required",), "title")),
    ("unique of plain names", set_in(("unique",), ["title"])),
    ("is_deleted that is no truth value", set_in(("properties", "title", "is_deleted"), "maybe")),
    ("dictionary items in both forms", set_in(("properties", "links"), {
        "type": "dictionary", "items": {"key": {"type": "string"}, "value_type": "string"}})),
]


@pytest.mark.parametrize("change", [c for _name, c in MISTAKES], ids=[name for name, _c in MISTAKES])
def test_a_mistake_is_refused_by_the_schema_and_the_check(project, change):
    schema = validator(project)
    path = project / "models" / "book" / "model.json"
    book = copy.deepcopy(BOOK)
    change(book)
    write_json(path, book)
    assert not schema.is_valid(book)
    with pytest.raises(ProjectError):
        check_project(project)


# Values the check converts rather than refuses; the schema must take exactly the same ones.
LAX_VALUES = [
    (("version",), ["2", " 2 ", "2.0", "+3", "1_000", 2.0, True, "2.5", "x", None, 2.5, "1e3"]),
    (("properties", "title", "is_deleted"), ["yes", "Off", "T", "1", 0, 1.0, 2, " true", "nope", None]),
    (("properties", "title", "field_id"), ["7", 7, None, "seven", 7.5, []]),
    (("properties", "title", "options"), [None, [], [{"value": 1.5, "label": None}], [{"value": None}]]),
    (("description",), [None, "text", 3, ["a"]]),
]


@pytest.mark.parametrize("path, values", LAX_VALUES, ids=[".".join(p) for p, _v in LAX_VALUES])
def test_the_schema_takes_the_values_the_check_takes(project, path, values):
    schema = validator(project)
    for value in values:
        book = copy.deepcopy(BOOK)
        set_in(path, value)(book)
        try:
            ObjectSchema.model_validate(book)
            accepted = True
        except ValueError:
            accepted = False
        assert schema.is_valid(book) == accepted, (path, value)


def test_an_option_list_file_must_have_values_and_no_other_keys(project):
    options = validator(project, 1)
    assert options.is_valid(GENRES)
    for broken in ({"title": "genres"}, {**GENRES, "valuse": []}, {**GENRES, "values": [{"value": "a", "x": 1}]}):
        assert not options.is_valid(broken)


def doc_tables() -> list[dict[str, str]]:
    """Key -> meaning of each key table in the format's documentation."""
    lines = DOCS.read_text("utf-8").splitlines()
    tables = []
    for index, line in enumerate(lines):
        if line != "| Key | Type | Default | Meaning |":
            continue
        table = {}
        for row in lines[index + 2:]:
            if not row.startswith("|"):
                break
            cells = [cell.strip() for cell in row.strip("|").split("|")]
            table[cells[0].strip("`")] = cells[-1]
        tables.append(table)
    return tables


def test_the_descriptions_are_those_of_the_documentation():
    assert doc_tables() == [editor_schema.SCHEMA_KEYS, editor_schema.PROPERTY_KEYS]


def test_the_command_writes_the_schemas_and_maps_them_keeping_other_settings(project, run):
    settings = project / ".vscode" / "settings.json"
    write_json(settings, {"editor.tabSize": 4, "json.schemas": [{"fileMatch": ["x.json"], "url": "./x"}]})
    for _ in range(2):  # a second run replaces its own entries rather than adding them again
        assert run("schema", project).status == 0
    written = json.loads(settings.read_text("utf-8"))
    assert written["editor.tabSize"] == 4
    assert [entry["fileMatch"] for entry in written["json.schemas"]] == [["x.json"], ["models/*/model.json"],
                                                                        ["models/options/*.json"]]
    for entry in written["json.schemas"][1:]:
        schema = json.loads((project / entry["url"]).read_text("utf-8"))
        assert schema["$schema"] == editor_schema.DRAFT
    assert "Author" in json.dumps(json.loads((project / ".vscode" / "model.schema.json").read_text("utf-8")))


def test_settings_with_comments_are_left_alone_and_the_mapping_printed(project, run):
    settings = project / ".vscode" / "settings.json"
    settings.parent.mkdir()
    settings.write_text('{\n  // mine\n  "editor.tabSize": 2\n}\n', "utf-8")
    result = run("schema", project)
    assert result.status == 0 and "left as it was" in result.out
    assert settings.read_text("utf-8").startswith('{\n  // mine')


def test_a_folder_without_models_is_one_problem_line(tmp_path, run):
    result = run("schema", tmp_path, "--out", tmp_path / "s.json")
    assert result.status == 2 and re.match(r".*no 'models' folder", result.lines[0])
    assert not (tmp_path / "s.json").exists()


def test_the_example_project_ships_its_current_schemas():
    folder = EXAMPLE / ".vscode"
    written = [json.loads((folder / name).read_text("utf-8")) for name in ("model.schema.json", "options.schema.json")]
    assert written == list(editor_schema.project_schemas(EXAMPLE)), "run: korvan-models schema examples/library"
    assert json.loads((folder / "settings.json").read_text("utf-8")) == editor_schema.editor_mapping(
        EXAMPLE, folder / "model.schema.json")
