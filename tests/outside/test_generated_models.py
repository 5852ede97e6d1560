"""Generated model modules, written as the class writer emits them, import and validate."""

from __future__ import annotations

from typing import Optional, Union

import pydantic
import pytest
from pydantic import Field
from stand_in_writer import StandInClassWriter

from korvan_models.classes.data_models.dependencies import DependencyModelNames
from korvan_models.classes.model import LegacyModel, Model, TypeModel
from korvan_utils.models.data_models.reference import Reference
from korvan_utils.models.enums import SchemaTypes

FINGERPRINT = "0" * 64
UNION_DEPS = (Union, Reference, LegacyModel, Field)


def build_library_modules(validators, model_names: DependencyModelNames) -> dict[str, str]:
    """Book <-> Person refer to each other; Student extends Person and Person refers to Student."""
    book = StandInClassWriter("models", Model, model_names)
    book.register_class("Book", extend_type="object")
    book.add_class_data(SchemaTypes.USER, FINGERPRINT)
    book.add_field_source("title: str", (str,))
    book.add_field_source("pages: Optional[float] = None", (Optional, float))
    book.add_field_source(
        "author: Union[Reference, 'Person', LegacyModel] = Field(union_mode='left_to_right')", UNION_DEPS, ("Person",)
    )
    book.add_field_source("tags: Optional[list[str]] = None", (Optional, str))
    book.add_field_source("meta: Optional[dict[str, Optional[str]]] = None", (Optional, str))
    book.add_validator("meta", "_non_empty_keys_meta", validators.validate_non_empty_keys, None)
    book.add_validator("tags", "validate_value_in_options_tags", validators.validate_options, ["classic", "poetry"])
    book.add_class_custom_code(
        "import math\n\n" "@property\n" "def sheets(self) -> int:\n" "    return math.ceil((self.pages or 0) / 2)\n"
    )

    person = StandInClassWriter("models", Model, model_names)
    person.register_class("Person", extend_type="object")
    person.add_class_data(SchemaTypes.USER, FINGERPRINT)
    person.add_field_source("name: str", (str,))
    person.add_field_source(
        "books: Optional[list[Union[Reference, 'Book', LegacyModel]]] = None", (Optional,) + UNION_DEPS[:3], ("Book",)
    )
    person.add_field_source(
        "mentor: Optional[Union[Reference, 'Student', LegacyModel]] = Field(None, union_mode='left_to_right')",
        (Optional,) + UNION_DEPS,
        ("Student",),
    )

    student = StandInClassWriter("models", Model, model_names)
    student.register_class("Student", extend_type="Person")
    student.add_class_data(SchemaTypes.USER, FINGERPRINT)
    student.add_field_source("year: float = 1", (float,))
    student.add_field_source(
        "favourite: Optional[Union[Reference, 'Book', LegacyModel]] = Field(None, union_mode='left_to_right')",
        (Optional,) + UNION_DEPS,
        ("Book",),
    )
    return {"book": book.module_source(), "person": person.module_source(), "student": student.module_source()}


NAMES = DependencyModelNames(
    modules={"Book": "book", "Person": "person", "Student": "student"}, parents={"Student": "Person"}
)


@pytest.fixture
def library(models_package):
    modules = build_library_modules(models_package.validators(), NAMES)
    return models_package.write(modules, NAMES), modules


def test_imports_of_generated_modules(library):
    _models, modules = library
    book, student = modules["book"], modules["student"]
    assert "from models.person import Person" not in book.partition("if TYPE_CHECKING:")[0]
    assert "if TYPE_CHECKING:\n    from models.person import Person" in book
    assert "from korvan_models.classes.model import Model" in book
    assert "import Book" not in book.replace("from models.book", "")  # never imports itself
    # the parent is a real import, the sibling reference is for type checkers only
    assert student.index("from models.person import Person") < student.index("if TYPE_CHECKING:")
    assert "from stand_in_validators import validate_options" in book
    assert "import math" in book and "class Book(Model):" in book


def test_mutually_referring_models_validate(library):
    models, _ = library
    Book, Person, Student = models.Book, models.Person, models.Student
    assert issubclass(Student, Person) and Student.schema_type is SchemaTypes.USER
    assert Book.class_fingerprint == FINGERPRINT

    ada = Person(name="Ada")
    by_instance = Book(title="Notes", author=ada, pages="3", tags=["classic"], meta={"lang": "en"})
    assert by_instance.author is ada and by_instance.pages == 3.0 and by_instance.sheets == 2

    ref = {"ref": {"class_name": "Person", "object_id": "p-1"}}
    by_reference = Book(title="Notes", author=ref)
    assert isinstance(by_reference.author, Reference) and by_reference.author.ref.object_id == "p-1"

    legacy = LegacyModel(name="Old", shelf=4)
    assert Book(title="Notes", author=legacy).author is legacy

    ada.books = [by_instance, ref]
    assert ada.books[0] is by_instance and isinstance(ada.books[1], Reference)

    bob = Student(name="Bob", favourite=by_instance, mentor=None)
    ada.mentor = bob
    assert ada.mentor is bob and bob.year == 1


def test_option_and_key_validators_reject_bad_values(library):
    models, _ = library
    Book, Person = models.Book, models.Person
    author = Person(name="Ada")
    with pytest.raises(pydantic.ValidationError, match=r"Value=\['classic', 'prose'\] doesn't match available options"):
        Book(title="x", author=author, tags=["classic", "prose"])
    with pytest.raises(pydantic.ValidationError, match="Dictionary keys must be non-empty"):
        Book(title="x", author=author, meta={"": "v"})
    book = Book(title="x", author=author, tags=None, meta=None)
    with pytest.raises(pydantic.ValidationError, match="doesn't match available options"):
        book.tags = ["sci-fi"]  # checked on assignment too
    with pytest.raises(pydantic.ValidationError):
        Book(title="x", author=42)


def test_validator_with_leading_underscore_stays_a_validator(library):
    models, _ = library
    decorators = models.Book.__pydantic_decorators__.field_validators
    assert {"_non_empty_keys_meta", "validate_value_in_options_tags"} <= set(decorators)
    assert "_non_empty_keys_meta" not in models.Book.__private_attributes__


def test_importing_one_module_first_still_resolves(models_package):
    modules = build_library_modules(models_package.validators(), NAMES)
    models_package.write(modules, NAMES)
    import importlib

    student_module = importlib.import_module("models.student")  # package init runs first
    Student = student_module.Student
    assert (
        Student(name="S", favourite={"ref": {"class_name": "Book", "object_id": "b"}}).favourite.ref.class_name
        == "Book"
    )


def test_type_model_named_in_lower_case(models_package):
    names = DependencyModelNames(modules={"Email": "email", "Contact": "contact"})
    email = StandInClassWriter("models", TypeModel, names)
    email.register_class("Email", extend_type="object")
    email.add_class_data(SchemaTypes.TYPE, FINGERPRINT)
    email.add_field_source("address: str", (str,))
    contact = StandInClassWriter("models", Model, names)
    contact.register_class("Contact", extend_type="object")
    contact.add_class_data(SchemaTypes.USER, FINGERPRINT)
    contact.add_field_source(
        "email: Optional[Union[Reference, 'email', LegacyModel]] = Field(None, union_mode='left_to_right')",
        (Optional,) + UNION_DEPS,
        ("email",),
    )
    modules = {"email": email.module_source(), "contact": contact.module_source()}
    assert "    from models.email import Email as email" in modules["contact"]
    models = models_package.write(modules, names)
    assert models.Contact(email={"address": "a@example.org"}).email == models.Email(address="a@example.org")
