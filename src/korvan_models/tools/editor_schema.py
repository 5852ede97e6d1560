"""JSON Schemas (draft 2020-12) of a project's ``model.json`` and option list files, for editors.

The schemas follow what the check accepts: the same keys, the same value types (including the
texts that the check converts, such as ``"2"`` for a version), the core type names and the
project's own model titles as ``type`` values, and the project's option list names. What a
JSON Schema cannot say (names in ``required`` that must be properties of the same file, titles
unique across files, models extending each other in a circle, custom code and fixtures) is left
to the check.

The schemas are made from the project as it is on disk, read leniently: a project with mistakes
still gets a schema, built from the titles and list names that could be read.
"""

from __future__ import annotations

import json
import keyword
import re
from collections.abc import Callable
from pathlib import Path

DRAFT = "https://json-schema.org/draft/2020-12/schema"
CORE_TYPES = ("number", "string", "boolean", "binary", "array", "dictionary", "object")
MODEL_FILE_GLOB = "models/*/model.json"
OPTIONS_FILE_GLOB = "models/options/*.json"

# The meanings of the keys, as docs/model-json.md gives them (a test keeps the two the same).
SCHEMA_KEYS = {
    "title": "The model's name: the generated class name, the key other schemas refer to it by, and the name of "
    "its records' class. Use a class name in capitalised words (`BookLoan`).",
    "type": '`"object"` for a model built on the framework\'s base class; otherwise the title of the model this '
    "one extends (see *Inheritance*).",
    "description": "Free text.",
    "version": "The schema's version.",
    "properties": "Property name to property description, in the order the fields are generated.",
    "required": "Properties that must be given; all others are optional (`None` when absent).",
    "indexed": "Properties the storage layer indexes.",
    "unique": "Each inner list is one uniqueness constraint over those properties together.",
}
PROPERTY_KEYS = {
    "type": "A core type name (below) or the title of another model.",
    "items": "Element type of an `array`; key and value types of a `dictionary`.",
    "default": "The field's default value, converted by the property's type.",
    "description": "Free text.",
    "options": "The allowed values, `{\"value\": ..., \"label\": ...}` each (`label` optional).",
    "options_list_name": "Name of an option list under `models/options`; its values become `options`.",
    "field_name": "Column name in storage.",
    "field_id": "Stable column id in storage, kept across renames.",
    "is_deleted": "The column is kept in storage but marked deleted.",
}

# Texts the check converts: whole numbers ("2", " +3 ", "1_000", "2.0") and truth values.
INTEGER_TEXT = r"^\s*[+-]?[0-9](_?[0-9])*(\.0*)?\s*$"
BOOLEAN_TEXTS = ["0", "1", "f", "n", "no", "off", "false", "t", "y", "on", "yes", "true"]
# A number default written as text: a whole number, or a decimal when it holds a point.
DIGITS = "[0-9](_?[0-9])*"
NUMBER_TEXT = rf"^\s*[+-]?({DIGITS}|({DIGITS}\.({DIGITS})?|\.{DIGITS})([eE][+-]?{DIGITS})?)\s*$"
# A Python name; letters beyond ASCII are let through and left to the check.
PYTHON_NAME = r"^[A-Za-z_\u0080-\uffff][A-Za-z0-9_\u0080-\uffff]*$"


def _integer() -> dict:
    return {"anyOf": [{"type": "integer"}, {"type": "boolean"}, {"type": "string", "pattern": INTEGER_TEXT}]}


def _case_free(words: list[str]) -> str:
    return "".join(f"[{c.lower()}{c.upper()}]" if c.isalpha() else re.escape(c) for c in words)


def _truth_texts() -> dict:
    # ECMA-262 patterns have no inline flags; spell each letter in both cases.
    return {"type": "string", "pattern": "^(" + "|".join(_case_free(list(w)) for w in BOOLEAN_TEXTS) + ")$"}


def _nullable(schema: dict) -> dict:
    return {"anyOf": [schema, {"type": "null"}]}


def _text(description: str | None = None) -> dict:
    return {"type": "string", **({"description": description} if description else {})}


def read_names(root: Path) -> tuple[list[str], list[str]]:
    """The model titles and option list names found in the project's files, each once, in file order."""
    titles: list[str] = []
    for path in sorted(root.glob(MODEL_FILE_GLOB)):
        data = _load(path)
        for item in data if isinstance(data, list) else [data]:
            if isinstance(item, dict) and isinstance(item.get("title"), str) and item["title"] not in titles:
                titles.append(item["title"])
    lists: list[str] = []
    for path in sorted(root.glob(OPTIONS_FILE_GLOB)):
        data = _load(path)
        if isinstance(data, dict) and isinstance(data.get("title"), str) and data["title"] not in lists:
            lists.append(data["title"])
    return titles, lists


def _load(path: Path) -> object:
    try:
        return json.loads(path.read_text("utf-8"))
    except (OSError, UnicodeDecodeError, ValueError):
        return None


def model_schema(titles: list[str], option_lists: list[str], name: str = "project") -> dict:
    """The JSON Schema of a ``model.json`` file of a project with these model titles and option lists."""
    type_names = [*CORE_TYPES, *(t for t in titles if t not in CORE_TYPES)]
    type_name = {"type": "string", "enum": type_names, "description": "A core type name or a model title."}
    option_value = {"type": ["string", "number", "boolean"]}
    number_default = {"anyOf": [{"type": ["number", "boolean", "null"]}, {"type": "string", "pattern": NUMBER_TEXT}]}
    names_list = {"type": "array", "items": {"type": "string"}}
    defs = {
        "typeName": type_name,
        "typeDescription": {
            "type": "object",
            "description": "A type name, with the description of its elements for arrays and dictionaries.",
            "properties": {"type": {"$ref": "#/$defs/typeName"}, "items": {"$ref": "#/$defs/items"}},
            "required": ["type"],
            "additionalProperties": False,
        },
        "items": {
            "description": PROPERTY_KEYS["items"],
            "anyOf": [
                {"type": "null"},
                {"$ref": "#/$defs/typeDescription"},
                {
                    "type": "object",
                    "description": "Key and value types of a dictionary.",
                    "properties": {"key": {"$ref": "#/$defs/typeDescription"},
                                   "value": {"$ref": "#/$defs/typeDescription"}},
                    "required": ["key", "value"],
                    "additionalProperties": False,
                },
                {
                    "type": "object",
                    "description": "Key and value type names of a dictionary, in the older flat form.",
                    "properties": {"key_type": {"$ref": "#/$defs/typeName"},
                                   "value_type": {"$ref": "#/$defs/typeName"}},
                    "required": ["key_type", "value_type"],
                    "additionalProperties": False,
                },
            ],
        },
        "option": {
            "type": "object",
            "description": "One allowed value, with an optional label.",
            "properties": {"value": option_value, "label": _nullable(_text())},
            "required": ["value"],
            "additionalProperties": False,
        },
        "property": {
            "type": "object",
            "properties": {
                "type": {"$ref": "#/$defs/typeName", "description": PROPERTY_KEYS["type"]},
                "items": {"$ref": "#/$defs/items"},
                "default": {"description": PROPERTY_KEYS["default"]},
                "description": _nullable(_text(PROPERTY_KEYS["description"])),
                "options": _nullable({"type": "array", "items": {"$ref": "#/$defs/option"},
                                      "description": PROPERTY_KEYS["options"]}),
                "options_list_name": _nullable({"type": "string", "enum": option_lists,
                                                "description": PROPERTY_KEYS["options_list_name"]}),
                "field_name": _nullable(_text(PROPERTY_KEYS["field_name"])),
                "field_id": {"anyOf": [_integer(), {"type": "null"}], "description": PROPERTY_KEYS["field_id"]},
                "is_deleted": {**_boolean_schema(), "description": PROPERTY_KEYS["is_deleted"]},
            },
            "required": ["type"],
            "additionalProperties": False,
            "if": {"properties": {"type": {"const": "number"}}, "required": ["type"]},
            "then": {"properties": {"default": number_default}},
        },
        "model": {
            "type": "object",
            "properties": {
                "title": {"type": "string", "pattern": PYTHON_NAME, "description": SCHEMA_KEYS["title"]},
                "type": {"type": "string", "enum": ["object", *(t for t in titles if t != "object")],
                         "description": SCHEMA_KEYS["type"]},
                "description": _nullable(_text(SCHEMA_KEYS["description"])),
                "version": {**_integer(), "description": SCHEMA_KEYS["version"]},
                "properties": _nullable({
                    "type": "object",
                    "description": SCHEMA_KEYS["properties"],
                    "propertyNames": {"pattern": PYTHON_NAME, "not": {"enum": keyword.kwlist}},
                    "additionalProperties": {"$ref": "#/$defs/property"},
                }),
                "required": {**names_list, "description": SCHEMA_KEYS["required"]},
                "indexed": {**names_list, "description": SCHEMA_KEYS["indexed"]},
                "unique": {"type": "array", "items": names_list, "description": SCHEMA_KEYS["unique"]},
            },
            "required": ["title", "type"],
            "additionalProperties": False,
        },
    }
    return {
        "$schema": DRAFT,
        "title": f"model.json of {name}",
        "description": "One model's schema, or a list of them. Regenerate with `korvan-models schema` after adding "
        "a model or an option list.",
        "anyOf": [{"$ref": "#/$defs/model"}, {"type": "array", "items": {"$ref": "#/$defs/model"}}],
        "$defs": defs,
    }


def _boolean_schema() -> dict:
    return {"anyOf": [{"type": "boolean"}, {"enum": [0, 1]}, _truth_texts()]}


def options_schema(name: str = "project") -> dict:
    """The JSON Schema of an option list file under ``models/options``."""
    return {
        "$schema": DRAFT,
        "title": f"option list of {name}",
        "type": "object",
        "properties": {
            "title": {"type": "string", "description": "The list's name, as properties give it in `options_list_name`."},
            "description": _nullable(_text("Free text.")),
            "values": {
                "type": "array",
                "description": "The allowed values, `{\"value\": ..., \"label\": ...}` each (`label` optional).",
                "items": {
                    "type": "object",
                    "properties": {"value": {"type": ["string", "number", "boolean"]}, "label": _nullable(_text())},
                    "required": ["value"],
                    "additionalProperties": False,
                },
            },
        },
        "required": ["title", "values"],
        "additionalProperties": False,
    }


def project_schemas(root: Path) -> tuple[dict, dict]:
    """The ``model.json`` schema and the option list schema of the project at ``root``."""
    titles, lists = read_names(root)
    name = Path(root).resolve().name
    return model_schema(titles, lists, name), options_schema(name)


def options_path(out: Path) -> Path:
    """Where the option list schema goes beside the model schema ``out`` (``model.schema.json`` ->
    ``options.schema.json``; ``x.json`` -> ``x.options.json``)."""
    if out.name.startswith("model."):
        return out.with_name("options." + out.name.removeprefix("model."))
    return out.with_name(f"{out.stem}.options{out.suffix or '.json'}")


def _write_text(path: Path, text: str) -> None:
    """Writes ``text`` whole or not at all."""
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = path.with_name(f".{path.name}.tmp")
    try:
        temporary.write_text(text, "utf-8")
        temporary.replace(path)
    finally:
        temporary.unlink(missing_ok=True)


def write_schemas(root: Path, out: Path) -> tuple[Path, Path]:
    """Writes the model schema to ``out`` and the option list schema beside it."""
    model, options = project_schemas(root)
    out = Path(out)
    written = (out, options_path(out))
    for path, data in zip(written, (model, options)):
        _write_text(path, json.dumps(data, indent=2, ensure_ascii=False) + "\n")
    return written


def editor_mapping(root: Path, out: Path) -> dict:
    """The ``json.schemas`` entries that map the project's files to the written schemas."""
    def url(path: Path) -> str:
        try:
            return "./" + Path(path).resolve().relative_to(Path(root).resolve()).as_posix()
        except ValueError:
            return Path(path).resolve().as_uri()

    return {"json.schemas": [
        {"fileMatch": [MODEL_FILE_GLOB], "url": url(out)},
        {"fileMatch": [OPTIONS_FILE_GLOB], "url": url(options_path(Path(out)))},
    ]}


def update_editor_settings(root: Path, out: Path) -> str:
    """Adds the mapping to ``.vscode/settings.json``, keeping its other settings; says what it did.

    A settings file that is not plain JSON (the editor allows comments) is left alone."""
    settings_path = Path(root) / ".vscode" / "settings.json"
    mapping = editor_mapping(root, out)["json.schemas"]
    if settings_path.exists():
        try:
            settings = json.loads(settings_path.read_text("utf-8"))
        except (UnicodeDecodeError, ValueError):
            settings = None
        if not isinstance(settings, dict) or not isinstance(settings.get("json.schemas", []), list):
            line = json.dumps({"json.schemas": mapping})
            return f"{settings_path} left as it was (not plain JSON); add: {line}"
    else:
        settings = {}
    ours = {tuple(entry["fileMatch"]) for entry in mapping}
    kept = [e for e in settings.get("json.schemas", []) if not (isinstance(e, dict) and tuple(e.get("fileMatch", ())) in ours)]
    settings["json.schemas"] = kept + mapping
    _write_text(settings_path, json.dumps(settings, indent=4) + "\n")
    return f"mapped {MODEL_FILE_GLOB} and {OPTIONS_FILE_GLOB} to the schemas in {settings_path}"


def schema_command(project: Path, out: Path | None, say: Callable[[str], None]) -> int:
    """The ``schema`` command: writes the schemas, and maps them in the project's editor settings by default."""
    from korvan_models.pipeline import Problem, ProjectError

    if not (project / "models").is_dir():
        raise ProjectError([Problem(project, "no 'models' folder: a project keeps one folder per model under models/")])
    if out is not None and str(out) == "-":
        print(json.dumps(project_schemas(project)[0], indent=2, ensure_ascii=False))
        return 0
    target = out if out is not None else project / ".vscode" / "model.schema.json"
    written = write_schemas(project, target)
    say(f"wrote {written[0]} and {written[1]}")
    if out is None:
        say(update_editor_settings(project, target))
    else:
        say(f"to map them in an editor, put in .vscode/settings.json: {json.dumps(editor_mapping(project, target))}")
    return 0
