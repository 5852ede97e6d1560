"""The example library project, generated with the class source assembler, imported as a package
and used as a user of the generated models would."""

from __future__ import annotations

import re

import pydantic
import pytest

from generation_helpers import forget_models_package, load_example_schemas, write_models_package
from korvan_models.classes.builder.class_source_assembler import ClassSourceAssembler
from korvan_models.classes.data_models.dependencies import DependencyModelNames
from korvan_models.classes.model import LegacyModel, Model
from korvan_models.schemas.utils.schema_digest import calculate_schema_digest
from korvan_utils.models.data_models.reference import Reference
from korvan_utils.models.enums import SchemaTypes


def generate_library():
    schemas = load_example_schemas()
    names = DependencyModelNames.from_schemas(schemas)
    texts = {}
    for schema in schemas:
        assembler = ClassSourceAssembler(
            models_module_name="models", schema=schema, schema_type=SchemaTypes.USER, base_class=Model, model_names=names
        )
        texts[schema.title] = (assembler.dependencies_source, assembler.model_class_source)
    return schemas, names, texts


@pytest.fixture(scope="module")
def generated():
    return generate_library()


@pytest.fixture
def models(generated, tmp_path, monkeypatch):
    _schemas, names, texts = generated
    monkeypatch.syspath_prepend(str(tmp_path))
    modules = {title: imports + "\n\n" + text for title, (imports, text) in texts.items()}
    yield write_models_package(tmp_path, modules, names)
    forget_models_package()


def ref(class_name, object_id):
    return {"ref": {"class_name": class_name, "object_id": object_id}}


def test_texts_of_every_model(generated):
    schemas, _names, texts = generated
    assert sorted(texts) == ["Author", "Book", "Loan", "Member", "Publisher", "RareBook"]
    for schema in schemas:
        imports, text = texts[schema.title]
        base = "Model" if schema.type == "object" else schema.type
        assert text.startswith(f"class {schema.title}({base}):\n")
        assert f"class_fingerprint: ClassVar[str] = '{calculate_schema_digest(schema)}'" in text
        assert "schema_type: ClassVar[SchemaTypes] = SchemaTypes.USER" in text
        assert not re.search(r"^\s*(import|from) ", text, re.M), schema.title
        import_lines = [line.strip() for line in imports.splitlines() if re.match(r"\s*(from|import) ", line)]
        assert all("," not in line and " import (" not in line for line in import_lines)
        assert f"import {schema.title}\n" not in imports
    # the parent is a real import in the first-party section; other models only for type checkers
    rare_imports = texts["RareBook"][0]
    assert rare_imports.rstrip().endswith("\n\nfrom models.book import Book")
    assert "if TYPE_CHECKING:\n    from models.author import Author" in texts["Book"][0]
    # custom code imports reach the import block, once, beside the validator's
    assert texts["Book"][0].count("from pydantic import field_validator\n") == 1
    assert "from typing import ClassVar\n" in texts["Loan"][0]
    union = "author: Optional[Union[Reference, 'Author', LegacyModel]] = Field(None, union_mode='left_to_right')"
    assert union in texts["Book"][1]
    assert "book: Union[Reference, 'Book', LegacyModel] = Field(union_mode='left_to_right')" in texts["Loan"][1]


def test_book_fields_defaults_and_custom_code(models):
    Book, RareBook = models.Book, models.RareBook
    book = Book(title="Dune", isbn="978-0-441-17271-9", genre="fiction")
    assert book.isbn == "9780441172719"  # modifier runs before the type check
    assert (book.formats, book.tags, book.copies, book.price) == (["paperback"], [], 3, 12.5)
    assert book.available is True and book.dimensions == {"height": 21, "width": 13.5}
    assert book.author is None and book.cover is None and book.retired is None
    assert book.shelf_label == "FICTION-DUN"
    assert Book.schema_type is SchemaTypes.USER and Book.model_fields["title"].is_required()

    book.copies = 0
    book.before_save()
    assert book.available is False
    book.copies = -1
    with pytest.raises(ValueError, match="negative number of copies"):
        book.before_save()
    with pytest.raises(pydantic.ValidationError, match="Not an ISBN"):
        Book(title="Dune", isbn="12-34")
    with pytest.raises(pydantic.ValidationError):
        Book(isbn="9780441172719")  # title is required

    rare = RareBook(title="Folio", isbn="0123456789", vault_shelf="V1")
    assert isinstance(rare, Book) and rare.insured_value == 5000 and rare.shelf_label == "GENERAL-FOL"
    with pytest.raises(pydantic.ValidationError):
        RareBook(title="Folio", isbn="0123456789")


def test_references_accept_reference_instance_and_legacy(models):
    Author, Book, Loan, Member = models.Author, models.Book, models.Loan, models.Member
    herbert = Author(first_name="Frank", last_name="Herbert")
    assert herbert.full_name == "Frank Herbert"

    by_instance = Book(title="Dune", isbn="9780441172719", author=herbert)
    assert by_instance.author is herbert
    by_reference = Book(title="Dune", isbn="9780441172719", author=ref("Author", "a-1"))
    assert isinstance(by_reference.author, Reference) and by_reference.author.ref.object_id == "a-1"
    legacy = LegacyModel(name="Herbert", shelf=3)
    assert Book(title="Dune", isbn="9780441172719", author=legacy).author is legacy
    with pytest.raises(pydantic.ValidationError):
        Book(title="Dune", isbn="9780441172719", author=42)

    # two models that refer to each other, in both directions
    member = Member(name="Ada", email="ada@example.org")
    loan = Loan(book=by_instance, member=member)
    member.loans = [loan, ref("Loan", "l-2")]
    assert member.loans[0] is loan and isinstance(member.loans[1], Reference)
    assert loan.member is member and loan.book is by_instance
    herbert.books = [by_instance]
    assert herbert.books[0] is by_instance
    with pytest.raises(pydantic.ValidationError):
        Loan(member=member)  # book is a required reference


def test_options_and_keys_are_checked(models):
    Book, Loan, Member, Publisher = models.Book, models.Loan, models.Member, models.Publisher
    expected = "Value=['scroll'] doesn't match available options: ['ebook', 'hardcover', 'paperback']."
    with pytest.raises(pydantic.ValidationError, match=re.escape(expected)):
        Book(title="Dune", isbn="9780441172719", formats=["scroll"])
    with pytest.raises(pydantic.ValidationError, match="Value=cooking doesn't match available options"):
        Book(title="Dune", isbn="9780441172719", genre="cooking")
    with pytest.raises(pydantic.ValidationError, match="Value=XX doesn't match available options"):
        Publisher(name="P", country="XX")
    assert Publisher(name="P", country="FR").contacts == {"email": "info@example.org"}
    with pytest.raises(pydantic.ValidationError, match="Dictionary keys must be non-empty"):
        Book(title="Dune", isbn="9780441172719", dimensions={"": 1})
    with pytest.raises(pydantic.ValidationError, match="Dictionary keys must be non-empty"):
        Member(name="Ada", email="a@b", preferences={"": True})
    with pytest.raises(pydantic.ValidationError, match="Value=gold doesn't match"):
        Member(name="Ada", email="a@b", level="gold")

    member = Member(name="Ada", email="a@b", favourite_genres=["poetry", "history"])
    with pytest.raises(pydantic.ValidationError, match="doesn't match available options"):
        member.favourite_genres = ["poetry", "cooking"]  # checked on assignment too


def test_loan_hooks_and_modifiers(models):
    Book, Loan, Member = models.Book, models.Loan, models.Member
    loan = Loan(book=ref("Book", "b-1"), member=Member(name="Ada", email="a@b"), status="RETURNED")
    assert loan.status == "returned" and loan.days == 14 and loan.extensions == 0
    assert Loan.MAX_DAYS == 60 and "MAX_DAYS" not in Loan.model_fields
    loan.extend()
    loan.extend(40)
    assert (loan.days, loan.extensions) == (61, 2)
    with pytest.raises(ValueError, match="at most 60 days"):
        loan.before_save()
    with pytest.raises(pydantic.ValidationError, match="Value=borrowed doesn't match"):
        Loan(book=ref("Book", "b-1"), member=ref("Member", "m-1"), status="Borrowed")
    assert isinstance(Loan(book=Book(title="T", isbn="0123456789"), member=ref("Member", "m")).member, Reference)
