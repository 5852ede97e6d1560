"""The editor schema agrees with the check: what the check accepts validates, and each mistake that a
JSON Schema can express is refused by both."""

from __future__ import annotations

import copy
import json

import jsonschema
import pytest
from cli_helpers import BOOK, EXAMPLE, GENRES, write_json

from korvan_models.classes.builder.ast_generator.helpers.make_field_statement import cast_property_value
from korvan_models.pipeline import ProjectError, check_project
from korvan_models.tools import editor_schema
from korvan_utils.models.data_models.schema import ObjectSchema

DOCS = EXAMPLE.parents[1] / "docs" / "model-json.md"


def validators(root):
    schemas = editor_schema.project_schemas(root)
    for schema in schemas:
        jsonschema.Draft202012Validator.check_schema(schema)
    return [jsonschema.Draft202012Validator(schema) for schema in schemas]


@pytest.mark.parametrize("root", [EXAMPLE, None], ids=["example", "test project"])
def test_every_accepted_file_validates_against_a_valid_schema(root, project):
    root = root or project
    models, options = validators(root)
    for pattern, schema in (("models/*/model.json", models), ("models/options/*.json", options)):
        files = sorted(root.glob(pattern))
        assert files and all(schema.is_valid(json.loads(p.read_text("utf-8"))) for p in files)


def set_in(path: tuple, value):
    def change(data):
        for key in path[:-1]:
            data = data[key]
        data[path[-1]] = value

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
    ("property name that is a keyword", set_in(("properties", "class"), {"type": "string"})),
    ("property name that is not a name", set_in(("properties", "page-count"), {"type": "number"})),
    ("number default that is no number", set_in(("properties", "pages"), {"type": "number", "default": "long ago"})),
    ("unknown option list", set_in(("properties", "genre", "options_list_name"), "genre")),
    ("option without a value", set_in(("properties", "genre", "options"), [{"label": "Fiction"}])),
    ("unique of plain names", set_in(("unique",), ["title"])),
    ("dictionary items in both forms", set_in(("properties", "links"), {
        "type": "dictionary", "items": {"key": {"type": "string"}, "value_type": "string"}})),
]


@pytest.mark.parametrize("change", [c for _name, c in MISTAKES], ids=[name for name, _c in MISTAKES])
def test_a_mistake_is_refused_by_the_schema_and_the_check(project, change):
    models, _options = validators(project)
    book = copy.deepcopy(BOOK)
    change(book)
    write_json(project / "models" / "book" / "model.json", book)
    assert not models.is_valid(book)
    with pytest.raises(ProjectError):
        check_project(project)


def accepted_by_the_check(book: dict) -> bool:
    """Whether the check's reading and default conversion take the schema."""
    try:
        schema = ObjectSchema.model_validate(book)
        for prop in (schema.properties or {}).values():
            cast_property_value(prop, prop.default)
        return True
    except (ValueError, TypeError):
        return False


# Values the check converts rather than refuses; the schema must take exactly the same ones.
LAX_VALUES = [
    (("version",), ["2", " 2 ", "2.0", "+3", "1_000", 2.0, True, "2.5", "x", None, 2.5, "1e3"]),
    (("properties", "title", "is_deleted"), ["yes", "Off", "T", "1", 0, 1.0, 2, " true", "nope", None]),
    (("properties", "title", "field_id"), ["7", 7, None, "seven", 7.5, []]),
    (("properties", "title", "options"), [None, [], [{"value": 1.5, "label": None}], [{"value": None}]]),
    (("properties", "pages"), [{"type": "number", "default": v} for v in
                               ["3", " 3 ", "12.5", ".5", "5.", "1.5e3", "1e3", "4,5", ".", "+2", 4, True, [], {}]]),
    (("description",), [None, "text", 3, ["a"]]),
]


@pytest.mark.parametrize("path, values", LAX_VALUES, ids=[".".join(p) for p, _v in LAX_VALUES])
def test_the_schema_takes_the_values_the_check_takes(project, path, values):
    models, _options = validators(project)
    for value in values:
        book = copy.deepcopy(BOOK)
        set_in(path, value)(book)
        assert models.is_valid(book) == accepted_by_the_check(book), (path, value)


def test_an_option_list_file_must_have_values_and_no_other_keys(project):
    _models, options = validators(project)
    for broken in ({"title": "genres"}, {**GENRES, "valuse": []}, {**GENRES, "values": [{"value": "a", "x": 1}]}):
        assert not options.is_valid(broken)


def test_the_descriptions_are_those_of_the_documentation():
    lines = DOCS.read_text("utf-8").splitlines()
    tables = []
    for start in [i for i, line in enumerate(lines) if line == "| Key | Type | Default | Meaning |"]:
        rows = [[c.strip() for c in row.strip("|").split("|")] for row in lines[start + 2:]]
        tables.append({r[0].strip("`"): r[-1] for r in rows[:next(i for i, r in enumerate(rows) if len(r) < 4)]})
    assert tables == [editor_schema.SCHEMA_KEYS, editor_schema.PROPERTY_KEYS]


@pytest.mark.parametrize("settings, merged", [
    ('{"editor.tabSize": 4, "json.schemas": [{"fileMatch": ["x.json"], "url": "./x"}]}', True),
    ('{\n  // mine\n  "editor.tabSize": 4\n}\n', False),  # comments: not plain JSON, left alone
], ids=["plain JSON", "with comments"])
def test_the_command_maps_the_schemas_keeping_the_settings(project, run, settings, merged):
    path = project / ".vscode" / "settings.json"
    path.parent.mkdir()
    path.write_text(settings, "utf-8")
    for _ in range(2):  # a second run replaces its own entries rather than adding them again
        result = run("schema", project)
    assert result.status == 0 and (project / ".vscode" / "model.schema.json").is_file()
    if not merged:
        assert path.read_text("utf-8") == settings and "left as it was" in result.out
        return
    written = json.loads(path.read_text("utf-8"))
    assert written["editor.tabSize"] == 4
    assert [e["fileMatch"] for e in written["json.schemas"]] == [["x.json"], ["models/*/model.json"],
                                                                 ["models/options/*.json"]]
    assert all((project / e["url"]).is_file() for e in written["json.schemas"][1:])


def test_the_example_project_ships_its_current_schemas():
    folder = EXAMPLE / ".vscode"
    written = [json.loads((folder / name).read_text("utf-8")) for name in ("model.schema.json", "options.schema.json")]
    assert written == list(editor_schema.project_schemas(EXAMPLE)), "run: korvan-models schema examples/library"
    assert json.loads((folder / "settings.json").read_text("utf-8")) == editor_schema.editor_mapping(
        EXAMPLE, folder / "model.schema.json")



def test_a_reader_that_stops_early_gets_no_error_line():
    import os
    import subprocess
    import sys

    read_end, write_end = os.pipe()
    os.close(read_end)  # the reader is gone before the first line is written, as `| head` may be
    try:
        writer = subprocess.run([sys.executable, "-m", "korvan_models", "schema", str(EXAMPLE), "--out", "-"],
                                stdout=write_end, stderr=subprocess.PIPE, text=True, timeout=60)
    finally:
        os.close(write_end)
    assert writer.stderr == ""
