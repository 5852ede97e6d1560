"""The example library project loads, verifies, generates and validates its own fixtures."""

from __future__ import annotations

import hashlib
import json
from pathlib import Path

import pandas as pd
import pydantic
import pytest
from stand_in_writer import StandInClassWriter

from korvan_models.classes.data_models.dependencies import DependencyModelNames
from korvan_models.classes.model import Model
from korvan_models.schemas.loaders.base import ConfigReaderMixin, JsonOptionsLoader
from korvan_utils.models.data_models.core import DictSchema, LegacyDictSchema, TypeData
from korvan_utils.models.data_models.enums import CoreTypes
from korvan_utils.models.data_models.reference import Reference
from korvan_utils.models.data_models.schema import ObjectSchema
from korvan_utils.models.enums import SchemaTypes

APP_ROOT = Path(__file__).resolve().parents[2] / "examples" / "library"
MODELS_DIR = APP_ROOT / "models"
CORE_TYPE_NAMES = {member.value for member in CoreTypes}


def load_schemas() -> dict[str, tuple[Path, ObjectSchema]]:
    reader = ConfigReaderMixin()
    found = {}
    for folder in sorted(MODELS_DIR.iterdir()):
        schema_file = folder / "model.json"
        if folder.is_dir() and schema_file.exists():
            assert reader.is_schema_file(schema_file), schema_file
            schema = next(reader.read_configs_from_file(schema_file))
            assert schema.title not in found
            found[schema.title] = (folder, schema)
    return found


def read_custom_code(folder: Path) -> str:
    parts = []
    for group in ("hooks", "modifiers", "properties"):
        if (folder / group).exists():
            files = sorted(p for p in (folder / group).iterdir() if p.is_file() and p.suffix.lower() == ".py")
            parts += [p.read_text("utf-8").strip() for p in files if p.read_text("utf-8")]
    return "\n\n".join(parts)


def type_names(schema: ObjectSchema) -> set[str]:
    names = {schema.type}
    for prop in (schema.properties or {}).values():
        names.add(prop.type)
        if isinstance(prop.items, TypeData):
            names.add(prop.items.type)
        elif isinstance(prop.items, DictSchema):
            names |= {prop.items.key.type, prop.items.value.type}
        elif isinstance(prop.items, LegacyDictSchema):
            names |= {prop.items.key_type, prop.items.value_type}
    return names - {schema.title}


def fingerprint(schema: ObjectSchema) -> str:
    return hashlib.sha256(json.dumps(schema.model_dump(), default=str, sort_keys=True).encode()).hexdigest()


def test_schemas_are_consistent():
    schemas = load_schemas()
    assert set(schemas) == {"Author", "Book", "Loan", "Member", "Publisher", "RareBook"}
    for _folder, schema in schemas.values():
        props = schema.properties or {}
        for name in [*schema.required, *schema.indexed, *(n for group in schema.unique for n in group)]:
            assert name in props, (schema.title, name)
        assert type_names(schema) <= CORE_TYPE_NAMES | set(schemas), schema.title
    book = schemas["Book"][1]
    assert isinstance(book.properties["dimensions"].items, DictSchema)
    assert isinstance(schemas["Author"][1].properties["links"].items, LegacyDictSchema)
    assert book.properties["isbn"].field_name == "isbn13" and book.properties["title"].field_name == "title"
    assert book.properties["copies"].default == "3"  # numbers may be written as text


@pytest.fixture
def library_models(models_package):
    schemas = load_schemas()
    option_lists = {item.title: item.values for item in JsonOptionsLoader(MODELS_DIR / "options").iter_options()}
    used = set()
    for _folder, schema in schemas.values():
        for prop in (schema.properties or {}).values():
            if prop.options_list_name:
                prop.options = option_lists[prop.options_list_name]
                used.add(prop.options_list_name)
        schema.custom_code = read_custom_code(_folder) or None
    assert used == set(option_lists)

    validators = models_package.validators()
    names = DependencyModelNames.from_schemas(schema for _f, schema in schemas.values())
    modules = {}
    for _folder, schema in schemas.values():
        writer = StandInClassWriter("models", Model, names)
        writer.register_class(schema.title, extend_type=schema.type)
        writer.add_class_data(SchemaTypes.USER, fingerprint(schema))
        for name, prop in (schema.properties or {}).items():
            writer.add_property(name, prop, is_required=name in schema.required)
        for name, prop in (schema.properties or {}).items():
            checks = []
            if prop.type.lower() == CoreTypes.DICTIONARY:
                checks.append((f"_non_empty_keys_{name.lower()}", validators.validate_non_empty_keys, None))
            if prop.options:
                values = sorted({option.value for option in prop.options})
                checks.append((f"validate_value_in_options_{name.lower()}", validators.validate_options, values))
            for check in sorted(checks, key=lambda c: c[0]):
                writer.add_validator(name, *check)
        if schema.custom_code:
            writer.add_class_custom_code(schema.custom_code)
        modules[names.module_name(schema.title)] = writer.module_source()
    return models_package.write(modules, names)


def load_fixtures(schemas) -> list[tuple[str, dict]]:
    records = []
    for folder, schema in schemas.values():
        fixtures = folder / "fixtures"
        if not fixtures.is_dir():
            continue
        for entry in sorted(fixtures.iterdir()):
            if entry.name.endswith(".csv"):
                data = pd.read_csv(entry).fillna("").to_dict(orient="records")
            elif entry.name.endswith(".json"):
                data = json.loads(entry.read_text("utf-8"))
            else:
                continue
            groups = {schema.title: data} if isinstance(data, list) else data
            for class_name, items in groups.items():
                for item in items:
                    for key in ("_external_id", "_order", "external_id"):
                        item.pop(key, None)
                    records.append((class_name, item))
    return records


def test_fixtures_validate_against_generated_classes(library_models):
    records = load_fixtures(load_schemas())
    assert {name for name, _ in records} == {"Author", "Book", "Loan", "Member", "Publisher"}
    built = [getattr(library_models, name).model_validate(data) for name, data in records]
    by_class = {}
    for record in built:
        by_class.setdefault(type(record).__name__, []).append(record)
    dune = by_class["Book"][0]
    assert dune.isbn == "9780441172719" and dune.shelf_label == "FICTION-DUN"
    assert isinstance(dune.author, Reference) and dune.dimensions == {"height": 17.5, "width": 10.6}
    assert by_class["Author"][0].full_name == "Frank Herbert"
    assert by_class["Loan"][0].status == "open"  # lower-cased before the options check
    assert by_class["Publisher"][2].is_active is False
    assert by_class["Member"][1].preferences == {"newsletter": True}


def test_generated_defaults_hooks_and_checks(library_models):
    Book, RareBook, Loan, Member, Publisher = (
        library_models.Book,
        library_models.RareBook,
        library_models.Loan,
        library_models.Member,
        library_models.Publisher,
    )
    book = Book(title="Poems", isbn="0-14-044926-4")
    assert book.isbn == "0140449264"
    assert (book.copies, book.price, book.available, book.formats, book.tags) == (3, 12.5, True, ["paperback"], [])
    assert book.dimensions == {"height": 21, "width": 13.5}
    assert Member(name="A", email="a@x").preferences == {"newsletter": False, "reminders": True}
    assert Publisher(name="P").contacts == {"email": "info@example.org"}

    rare = RareBook(title="Codex", isbn="9780000000002", vault_shelf="V-1", genre="history")
    assert isinstance(rare, Book) and rare.insured_value == 5000 and rare.shelf_label == "HISTORY-COD"

    loan = Loan(book=book, member={"ref": {"class_name": "Member", "object_id": "m"}})
    loan.extend(50)
    assert (loan.days, loan.extensions) == (64, 1)
    with pytest.raises(ValueError, match="at most 60 days"):
        loan.before_save()

    with pytest.raises(pydantic.ValidationError, match="doesn't match available options"):
        Book(title="x", isbn="0140449264", genre="cooking")
    with pytest.raises(pydantic.ValidationError, match="doesn't match available options"):
        Member(name="A", email="a@x", favourite_genres=["fiction", "gossip"])
    with pytest.raises(pydantic.ValidationError, match="Dictionary keys must be non-empty"):
        Publisher(name="P", contacts={"": "x"})
    with pytest.raises(pydantic.ValidationError, match="Not an ISBN"):
        Book(title="x", isbn="12-34")
    with pytest.raises(pydantic.ValidationError):
        RareBook(title="Codex", isbn="9780000000002")  # vault_shelf is required


def test_static_and_fixture_files_exist():
    assert sorted(p.name for p in (APP_ROOT / "static").iterdir() if p.is_file()) == ["logo.svg", "site.css"]
    assert (MODELS_DIR / "book" / "fixtures" / "files" / "dune.svg").is_file()
