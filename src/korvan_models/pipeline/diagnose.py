"""Finding a project's mistakes where they are: in the bytes already read, the schemas parsed from
them and the custom code, each problem made as data with its file, line, model and property."""

from __future__ import annotations

import ast
import dataclasses
import functools
import importlib.util
import io
import json
import keyword
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pydantic

from korvan_models.classes.data_models.dependencies import model_module_name
from korvan_models.pipeline.problems import Problem, did_you_mean, line_and_column, validation_problems
from korvan_utils.models.data_models.core import DictSchema, LegacyDictSchema, TypeData
from korvan_utils.models.data_models.enums import CoreTypes
from korvan_utils.models.data_models.schema import ObjectSchema, PropertyData

CORE_TYPE_NAMES = tuple(member.value for member in CoreTypes)
OBJECT = CoreTypes.OBJECT.value
REFERENCE_TYPES = (CoreTypes.ARRAY.value, CoreTypes.DICTIONARY.value)
# Names a person reaches for that mean one of the core types.
TYPE_ALIASES = {
    "integer": "number", "int": "number", "float": "number", "decimal": "number", "str": "string",
    "text": "string", "bool": "boolean", "bytes": "binary", "list": "array", "dict": "dictionary",
    "map": "dictionary", "mapping": "dictionary",
}
# Names a generated module imports or defines: a model title must not take one of them.
MODULE_NAMES = frozenset({
    "Model", "LegacyModel", "Reference", "Field", "Optional", "Union", "ClassVar", "TYPE_CHECKING",
    "SchemaTypes", "field_validator", "validate_options", "validate_non_empty_keys", "date", "datetime",
    "resolve_models", "models",
})
# Names a field of a generated class must not take: those its annotations and decorators use.
ANNOTATION_NAMES = frozenset(MODULE_NAMES - {"TYPE_CHECKING", "date", "datetime", "resolve_models", "models"})
# The package the generated modules make up.
GENERATED_PACKAGE = "models"
# The longest name a stored table or column may have, and what it may not start with.
MAX_NAME_BYTES = 63


@functools.cache
def _base_attributes() -> frozenset[str]:
    from korvan_models.classes.model import Model

    return frozenset(name for name in dir(Model) if not name.startswith("__"))


# --- schema files ---------------------------------------------------------------------------


def decode(path: Path, data: bytes) -> tuple[str | None, list[Problem]]:
    """The UTF-8 text of a file, or the problem that stops it."""
    try:
        return data.decode("utf-8"), []
    except UnicodeDecodeError as error:
        line, column = line_and_column(data[: error.start].decode("utf-8", "replace"), error.start)
        return None, [Problem(path, f"not UTF-8 text (byte 0x{data[error.start]:02x})", line=line, column=column)]


def parse_json(path: Path, data: bytes) -> tuple[Any, list[Problem]]:
    """The parsed JSON of a file, or the problems (not UTF-8, invalid JSON) that stop it."""
    text, problems = decode(path, data)
    if text is None:
        return None, problems
    try:
        return json.loads(text), []
    except json.JSONDecodeError as error:
        return None, [Problem(path, f"invalid JSON: {error.msg}", line=error.lineno, column=error.colno)]
    except RecursionError:
        return None, [Problem(path, "invalid JSON: nested too deeply")]


_SCHEMA_MARKS = frozenset({"title", "type", "properties"})


def _members(text: str, position: int, decoder: json.JSONDecoder) -> Iterator[tuple[str, int, int]]:
    """(key, where the key starts, where its value starts) of the JSON object at ``position``."""
    position = _skip(text, position + 1)
    while position < len(text) and text[position] != "}":
        start = position
        key, position = decoder.raw_decode(text, position)
        position = _skip(text, _skip(text, position) + 1)  # past ':'
        yield key, start, position
        _value, position = decoder.raw_decode(text, position)
        position = _skip(text, position)
        if position < len(text) and text[position] == ",":
            position = _skip(text, position + 1)


def property_lines(text: str) -> dict[str, int]:
    """The line of each property's key in a schema file holding one schema object."""
    decoder = json.JSONDecoder()
    position = _skip(text, 0)
    lines: dict[str, int] = {}
    try:
        if text[position] != "{":
            return lines
        for key, _start, value in _members(text, position, decoder):
            if key == "properties" and text[value] == "{":
                for name, start, _value in _members(text, value, decoder):
                    lines.setdefault(name, line_and_column(text, start)[0])
    except (ValueError, IndexError):
        return {}
    return lines


def read_schema_file(path: Path, data: bytes) -> tuple[list[ObjectSchema], list[Problem]]:
    """The schemas of one ``model.json`` (one object, or an array of them)."""
    document, problems = parse_json(path, data)
    if problems:
        return [], problems
    items = document if isinstance(document, list) else [document]
    if not any(isinstance(item, dict) and not _SCHEMA_MARKS.isdisjoint(item) for item in items):
        return [], [Problem(path, "not a model schema: expected a JSON object with a text 'title' and 'type'")]
    schemas = []
    for item in items:
        title = item.get("title") if isinstance(item, dict) and isinstance(item.get("title"), str) else None
        try:
            schemas.append(ObjectSchema.model_validate(item))
        except pydantic.ValidationError as invalid:
            problems += validation_problems(path, title or path.parent.name, invalid)
    return schemas, problems


def read_option_lists(options: list[tuple[Path, bytes]]) -> tuple[dict[str, tuple[Path, Any]], list[Problem]]:
    """The option lists by title, each with its file; and the files that cannot be read."""
    from korvan_models.schemas.data_models.options import OptionsListSchema

    lists: dict[str, tuple[Path, Any]] = {}
    problems = []
    for path, data in options:
        document, found = parse_json(path, data)
        if not found:
            try:
                record = OptionsListSchema.model_validate(document)
            except pydantic.ValidationError as invalid:
                found = [Problem(path, f"{'.'.join(map(str, e['loc']))}: {e['msg']}") for e in invalid.errors()]
            else:
                if record.title in lists:
                    found = [Problem(path, f"option list {record.title!r} is already defined in {lists[record.title][0]}")]
                else:
                    lists[record.title] = (path, record)
        problems += found
    return lists, problems


# --- custom code ----------------------------------------------------------------------------


@dataclass
class CodeFile:
    """One custom code file: its text and what its top level defines and imports."""

    group: str
    path: Path
    text: str
    tree: ast.Module


def read_custom_code(title: str, code: list[tuple[str, Path, bytes]]) -> tuple[list[CodeFile], list[Problem]]:
    """The parsed custom code files of a model, or the problems (not UTF-8, syntax) that stop them."""
    files, problems = [], []
    for group, path, data in code:
        text, found = decode(path, data)
        if text is None:
            problems += [Problem(p.path, p.message, model=title, line=p.line, column=p.column) for p in found]
            continue
        try:
            compile(text, str(path), "exec", dont_inherit=True)
            tree = ast.parse(text, str(path))
        except SyntaxError as error:
            problems.append(
                Problem(path, f"syntax error: {error.msg}", model=title, line=error.lineno, column=error.offset)
            )
            continue
        except (ValueError, RecursionError) as error:
            problems.append(Problem(path, f"cannot be compiled: {error}", model=title))
            continue
        files.append(CodeFile(group, path, text, tree))
    return files, problems


def joined_code(files: list[CodeFile]) -> str:
    """The model's custom code as the class body receives it: hooks, modifiers, properties."""
    return "\n\n".join(file.text.strip() for file in files if file.text)


def _targets(node: ast.AST) -> Iterator[str]:
    if isinstance(node, ast.Name):
        yield node.id
    elif isinstance(node, (ast.Tuple, ast.List)):
        for element in node.elts:
            yield from _targets(element)


def custom_code_problems(title: str, files: list[CodeFile], properties: set[str]) -> list[Problem]:
    """Custom code that the generated class cannot hold: future imports, plain assignments, missing
    modules, names that clash with a field."""
    problems = []

    def problem(file: CodeFile, node: ast.AST, message: str) -> None:
        problems.append(Problem(file.path, message, model=title, line=node.lineno, column=node.col_offset + 1))

    for file in files:
        for node in file.tree.body:
            if isinstance(node, ast.ImportFrom) and node.module == "__future__":
                problem(file, node, "'from __future__ import' would turn the class's annotations into text; remove it")
                continue
            if isinstance(node, ast.ImportFrom) and node.level:
                problem(file, node, "a relative import cannot work in the generated module; import by the full name")
                continue
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                modules = [alias.name for alias in node.names] if isinstance(node, ast.Import) else [node.module or ""]
                for module in modules:
                    if module.split(".")[0] == GENERATED_PACKAGE:
                        problem(file, node, f"imports {module!r}, a generated module, at the top of custom code; "
                                            "models that refer to each other would import each other: import "
                                            "inside the method instead")
                        continue
                    try:
                        found = importlib.util.find_spec(module.split(".")[0]) is not None
                    except (ImportError, ValueError):
                        found = False
                    if not found:
                        problem(file, node, f"imports {module!r}, which is not installed")
                continue
            if isinstance(node, (ast.Assign, ast.AugAssign)):
                problem(file, node, "a class-level assignment without a ClassVar annotation is taken for a field "
                                    "and refused; annotate it (NAME: ClassVar[int] = 1)")
                continue
            names: list[str] = []
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                names = [node.name]
            elif isinstance(node, ast.AnnAssign):
                names = list(_targets(node.target))
            for name in names:
                if name in properties:
                    problem(file, node, f"defines {name!r}, which is also a property of the model")
    return problems


# --- schema checks --------------------------------------------------------------------------


def _type_names(prop: PropertyData | TypeData) -> list[str]:
    """Every type name of a description, its items' (at any depth) included."""
    items = prop.items
    if items is None:
        return [prop.type]
    names = [prop.type]
    if isinstance(items, TypeData):
        names += _type_names(items)
    elif isinstance(items, DictSchema):
        names += _type_names(items.key) + _type_names(items.value)
    elif isinstance(items, LegacyDictSchema):
        names += [items.key_type, items.value_type]
    return names


def _literal(node: Any) -> Any:
    """The value of the literal a default converts to (a node of the generated source)."""
    if isinstance(node, ast.Constant):
        return node.value
    if isinstance(node, ast.AST):
        try:
            return ast.literal_eval(node)
        except ValueError:
            return node
    return node


SCALAR_TYPES: dict[str, type] = {"string": str, "number": float, "boolean": bool, "binary": bytes}


def _python_type(type_name: str, items: Any) -> Any:
    """The field type a core type generates (``Any`` for a reference to a model)."""
    if type_name in SCALAR_TYPES:
        return SCALAR_TYPES[type_name]
    if type_name == CoreTypes.ARRAY.value and isinstance(items, TypeData):
        return list[_python_type(items.type, items.items)]  # type: ignore[misc]
    if type_name == CoreTypes.DICTIONARY.value and isinstance(items, DictSchema):
        key, value = _python_type(items.key.type, items.key.items), _python_type(items.value.type, items.value.items)
        return dict[key, value | None]  # type: ignore[valid-type]
    if type_name == CoreTypes.DICTIONARY.value and isinstance(items, LegacyDictSchema):
        key, value = _python_type(items.key_type, None), _python_type(items.value_type, None)
        return dict[key, value | None]  # type: ignore[valid-type]
    return Any


@functools.lru_cache(maxsize=256)
def _adapter(field_type: Any) -> pydantic.TypeAdapter:
    return pydantic.TypeAdapter(field_type)


def _check_default(prop: PropertyData, value: Any) -> None:
    """Raises when the class's field would refuse its own default on assignment."""
    if isinstance(value, ast.AST):
        return  # not a plain literal: left to the generated class
    if type(value) is SCALAR_TYPES.get(prop.type) or (prop.type == "number" and type(value) is int):
        return
    _adapter(_python_type(prop.type, prop.items)).validate_python(value)


def _first_line(error: BaseException) -> str:
    if isinstance(error, pydantic.ValidationError) and error.errors():
        return error.errors()[0]["msg"]
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def shape_problem(type_name: str, items: Any, where: str = "") -> str | None:
    """What is missing or extra in a type description and, recursively, in its items."""
    if items is None and type_name in SCALAR_TYPES:
        return None
    if type_name == OBJECT:
        return f"{where}type 'object' is for a schema, not a property: name a model or a core type"
    if type_name == CoreTypes.ARRAY.value:
        if not isinstance(items, TypeData):
            return f"{where}an 'array' needs 'items' describing its elements ({{\"type\": ...}})"
        return shape_problem(items.type, items.items, f"{where}items: ")
    if type_name == CoreTypes.DICTIONARY.value:
        if isinstance(items, DictSchema):
            return (shape_problem(items.key.type, items.key.items, f"{where}items.key: ")
                    or shape_problem(items.value.type, items.value.items, f"{where}items.value: "))
        if isinstance(items, LegacyDictSchema):
            return (shape_problem(items.key_type, None, f"{where}items.key_type: ")
                    or shape_problem(items.value_type, None, f"{where}items.value_type: "))
        return (f"{where}a 'dictionary' needs 'items' with its key and value types "
                "({\"key\": {\"type\": ...}, \"value\": {\"type\": ...}})")
    if items is not None:
        return f"{where}'items' is only for an 'array' or a 'dictionary', not for {type_name!r}"
    return None


def storage_name_problem(name: str, what: str) -> str | None:
    """Why ``name`` cannot name a stored table or column, if it cannot."""
    if len(name) <= MAX_NAME_BYTES and name.isascii() and name.isidentifier() and name[0] != "_":
        return None
    if not name.isidentifier() or name.startswith("_") or len(name.encode("utf-8")) > MAX_NAME_BYTES:
        return (f"{what} {name!r} cannot name a stored table or column: use a name of at most "
                f"{MAX_NAME_BYTES} bytes made of letters, digits and '_', not starting with '_'")
    return None


def title_problems(entries: list[tuple[Path, ObjectSchema]], framework_titles: list[str]) -> list[Problem]:
    """Titles that cannot name a class, module and table, or that are taken."""
    problems = []
    first: dict[str, str] = {title: "the framework" for title in framework_titles}
    modules: dict[str, tuple[str, Path]] = {}
    for path, schema in entries:
        title = schema.title
        if title in first:
            problems.append(Problem(path, f"title {title!r} is already used by {first[title]}", title))
            continue
        first[title] = str(path)
        try:
            module = model_module_name(title)
        except ValueError as error:
            problems.append(Problem(path, str(error), title))
            continue
        if keyword.iskeyword(title):
            problems.append(Problem(path, f"title {title!r} is a Python keyword and cannot name a class", title))
        elif title.startswith("_"):
            problems.append(Problem(path, f"title {title!r} cannot start with '_' (a class of that name is private "
                                          "and its module would be taken for a special one)", title))
        elif title in MODULE_NAMES:
            problems.append(Problem(path, f"title {title!r} clashes with a name the generated module imports or "
                                          "defines; choose another", title))
        elif title.lower() in CORE_TYPE_NAMES:
            problems.append(Problem(path, f"title {title!r} is the name of a core type; choose another", title))
        elif module in modules:
            other, other_path = modules[module]
            problems.append(Problem(path, f"title {title!r} gives the module name {module!r}, as does {other!r} "
                                          f"({other_path})", title))
        else:
            why = storage_name_problem(title, "title")
            if why:
                problems.append(Problem(path, why, title))
        modules.setdefault(module, (title, path))
    return problems


def property_problems(path: Path, schema: ObjectSchema, defined: dict[str, str]) -> list[Problem]:
    """The mistakes of one schema's own properties and lists: names, types, defaults, options."""
    from korvan_models.classes.builder.ast_generator.helpers.make_field_statement import cast_property_value

    title = schema.title
    problems: list[Problem] = []

    def problem(message: str, prop: str | None = None) -> None:
        problems.append(Problem(path, message, title, prop))

    reserved = _base_attributes()
    properties = schema.properties or {}
    for name, prop in properties.items():
        if not name.isidentifier() or keyword.iskeyword(name):
            why = "a Python keyword" if keyword.iskeyword(name) else "not a Python name"
            problem(f"property name {name!r} cannot name a field ({why})")
            continue
        if name.startswith("_"):
            problem(f"property name {name!r} cannot start with '_' (the class would keep it private)")
            continue
        if name in reserved or name.startswith("model_"):
            problem(f"property name {name!r} is taken by the generated class's base (pydantic's or the "
                    "framework's own); choose another")
            continue
        if name in ANNOTATION_NAMES:
            problem(f"property name {name!r} would hide a name the generated class uses; choose another")
            continue
        why = storage_name_problem(prop.field_name if prop.field_name is not None else name, "field name")
        if why:
            problem(why, name)
            continue
        unknown = False
        for type_name in _type_names(prop):
            if type_name in defined or type_name == title:
                continue
            unknown = True
            hint = TYPE_ALIASES.get(type_name.lower()) if isinstance(type_name, str) else None
            suggestion = f" (did you mean {hint!r}?)" if hint else did_you_mean(type_name, defined)
            problem(f"type {type_name!r} is neither a core type nor a model{suggestion}", name)
        if unknown:
            continue
        shape = shape_problem(prop.type, prop.items)
        if shape:
            problem(shape, name)
            continue
        values = [option.value for option in prop.options or []]
        if values:
            try:
                sorted(values)
            except TypeError:
                kinds = sorted({type(value).__name__ for value in values})
                problem(f"options mix values that cannot be compared ({', '.join(kinds)}); use one kind", name)
                continue
        if prop.default is None:
            continue
        if prop.type == CoreTypes.ARRAY.value and not isinstance(prop.default, list):
            problem(f"default {prop.default!r} of an 'array' must be a list", name)
            continue
        if prop.type == CoreTypes.DICTIONARY.value and not isinstance(prop.default, dict):
            problem(f"default {prop.default!r} of a 'dictionary' must be an object", name)
            continue
        try:
            value = cast_property_value(prop, prop.default)
            _check_default(prop, _literal(value))
        except Exception as error:  # the conversion's or the field's refusal, for any value a file may hold
            problem(f"default {prop.default!r} does not fit type {prop.type!r}: {_first_line(error)}", name)
            continue
        if values:
            value = _literal(value)
            given = value if isinstance(value, list) else [value]
            outside = [item for item in given if item not in values]
            if outside:
                problem(f"default {outside[0]!r} is not one of the property's options", name)
    known = list(properties)
    for key in ("required", "indexed"):
        for name in getattr(schema, key):
            if name not in properties:
                problem(f"{key!r} names {name!r}, which is not one of its properties{did_you_mean(name, known)}")
    for group in schema.unique:
        for name in group:
            if name not in properties:
                problem(f"'unique' names {name!r}, which is not one of its properties{did_you_mean(name, known)}")
    return problems


def column_problems(entries: list[tuple[Path, ObjectSchema]]) -> list[Problem]:
    """Two properties of one model (its own or inherited) whose columns a database takes for one:
    column names are compared without regard to case."""
    by_title = {schema.title: schema for _path, schema in entries}
    problems = []
    for path, schema in entries:
        seen: dict[str, str] = {}
        chain, current = [], schema
        while current is not None and current.title not in [s.title for s in chain]:
            chain.append(current)
            current = by_title.get(current.type)
        for owner in reversed(chain):
            for name, prop in (owner.properties or {}).items():
                column = (prop.field_name if prop.field_name is not None else name).lower()
                if column in seen and seen[column] != name and owner is schema:
                    problems.append(Problem(path, f"property {name!r} would share its column with {seen[column]!r} "
                                                  "(column names ignore case)", schema.title, name))
                seen.setdefault(column, name)
    return problems


def parent_problems(entries: list[tuple[Path, ObjectSchema]]) -> list[Problem]:
    """Parents that are not models of the project, and models that extend each other in a circle."""
    by_title = {schema.title: (path, schema) for path, schema in entries}
    problems = []
    for path, schema in entries:
        parent = schema.type
        if parent == OBJECT or parent in by_title:
            continue
        if parent.lower() in CORE_TYPE_NAMES:
            problems.append(Problem(path, f"extends the core type {parent!r}; a model extends 'object' or another "
                                          "model", schema.title))
        else:
            problems.append(Problem(path, f"extends {parent!r}, which is not a model of the project"
                                          f"{did_you_mean(parent, list(by_title))}", schema.title))
    if problems:
        return problems
    reported: set[str] = set()
    for path, schema in entries:
        chain, title = [], schema.title
        while title in by_title and title not in chain:
            chain.append(title)
            title = by_title[title][1].type
        if title in chain and title not in reported:
            circle = chain[chain.index(title):]
            reported.update(circle)
            problems.append(Problem(by_title[title][0], "Models extend each other in a circle: "
                                    + " -> ".join(circle + [title]), title))
    return problems


# --- fixtures ------------------------------------------------------------------------------


@dataclass
class Record:
    """One fixture record, where it was written and what it holds."""

    path: Path
    line: int | None
    class_name: str
    external_id: Any
    data: dict


def _skip(text: str, position: int) -> int:
    while position < len(text) and text[position] in " \t\r\n":
        position += 1
    return position


def _array_lines(text: str, position: int, decoder: json.JSONDecoder) -> tuple[list[int], int]:
    """The start position of each element of the JSON array at ``position``, and the position after it."""
    starts = []
    position = _skip(text, position + 1)
    while position < len(text) and text[position] != "]":
        starts.append(position)
        _value, position = decoder.raw_decode(text, position)
        position = _skip(text, position)
        if position < len(text) and text[position] == ",":
            position = _skip(text, position + 1)
    return starts, position + 1


def record_positions(text: str) -> dict[tuple[str | None, int], int]:
    """Where each record of a JSON fixtures document starts: (group key or None, index) -> position."""
    decoder = json.JSONDecoder()
    position = _skip(text, 0)
    if position >= len(text):
        return {}
    if text[position] == "[":
        starts, _end = _array_lines(text, position, decoder)
        return {(None, index): start for index, start in enumerate(starts)}
    found: dict[tuple[str | None, int], int] = {}
    position = _skip(text, position + 1)
    while position < len(text) and text[position] != "}":
        key, position = decoder.raw_decode(text, position)
        position = _skip(text, _skip(text, position) + 1)  # past ':'
        if text[position] == "[":
            starts, position = _array_lines(text, position, decoder)
            found.update({(key, index): start for index, start in enumerate(starts)})
        else:
            _value, position = decoder.raw_decode(text, position)
        position = _skip(text, position)
        if position < len(text) and text[position] == ",":
            position = _skip(text, position + 1)
    return found


def _record(path: Path, line: int | None, class_name: str, element: dict) -> Record:
    data = dict(element)
    external_id = data.pop("_external_id", None)
    if not external_id and "external_id" in data:
        external_id = data.pop("external_id")
    data.pop("_order", None)
    return Record(path, line, class_name, external_id, data)


def read_fixture_file(path: Path, data: bytes, schema: ObjectSchema) -> tuple[list[Record], list[Problem]]:
    """The records of one fixture file, each with its line; or the problems that stop the file."""
    if path.name.endswith(".csv"):
        return _read_csv(path, data, schema)
    document, problems = parse_json(path, data)
    if problems:
        return [], problems
    shape = "fixtures must be a JSON array of records (objects), or an object of such arrays"
    groups = {None: document} if isinstance(document, list) else document if isinstance(document, dict) else None
    if groups is None or not all(
        isinstance(group, list) and all(isinstance(record, dict) for record in group) for group in groups.values()
    ):
        return [], [Problem(path, shape)]
    text = data.decode("utf-8")
    try:
        positions = record_positions(text)
    except (ValueError, IndexError):
        positions = {}
    records = []
    for key, group in groups.items():
        for index, element in enumerate(group):
            start = positions.get((key, index))
            line = line_and_column(text, start)[0] if start is not None else None
            records.append(_record(path, line, key if key is not None else schema.title, element))
    return records, []


def _read_csv(path: Path, data: bytes, schema: ObjectSchema) -> tuple[list[Record], list[Problem]]:
    import pandas as pd

    if not data.strip():
        return [], []
    try:
        frame = pd.read_csv(io.BytesIO(data))
    except Exception as error:  # pandas' own parse errors
        return [], [Problem(path, f"invalid CSV: {str(error).strip().splitlines()[0] if str(error) else error}")]
    properties = schema.properties or {}
    problems = []
    for column in frame.columns:
        prop = properties.get(column)
        if prop is None or (prop.type in CORE_TYPE_NAMES and prop.type not in REFERENCE_TYPES):
            continue
        filled = frame[column].dropna()
        if len(filled):
            row = int(filled.index[0])
            kind = "a list" if prop.type == "array" else "a dictionary" if prop.type == "dictionary" else "a reference"
            problems.append(Problem(path, f"column {column!r} holds {kind}, which a CSV cell cannot hold; write "
                                          "these records in a JSON fixture file", schema.title, column, line=row + 2))
    if problems:
        return [], problems
    rows = frame.astype(object).where(frame.notna(), "").to_dict(orient="records")
    return [_record(path, index + 2, schema.title, row) for index, row in enumerate(rows)], []


def placed(problems: list[Problem], lines: dict[Path, dict[str, int]]) -> list[Problem]:
    """The problems, each about a property of a schema file given the line of that property's key."""
    result = []
    for problem in problems:
        line = lines.get(problem.path, {}).get(problem.prop) if problem.prop and problem.line is None else None
        result.append(dataclasses.replace(problem, line=line) if line is not None else problem)
    return result
