"""AstClassWriter: the class tree it assembles, the imports it registers, and its two texts."""

from __future__ import annotations

import ast
import re
from datetime import date, datetime
from functools import partial
from typing import ClassVar

import pytest
from pydantic import Field

from generation_helpers import RecordingDependencies
from korvan_models.classes.builder.ast_generator import class_writer
from korvan_models.classes.builder.ast_generator.class_writer import AstClassWriter
from korvan_models.classes.builder.validators.choice_checks import validate_options
from korvan_models.classes.builder.validators.mapping_checks import validate_non_empty_keys
from korvan_models.classes.data_models.dependencies import DependencyModelNames
from korvan_models.classes.model import Model, TypeModel
from korvan_utils.models.data_models.schema import PropertyData
from korvan_utils.models.enums import SchemaTypes

NAMES = DependencyModelNames(modules={"Book": "book", "Shelf": "shelf"})


@pytest.fixture
def recorded(monkeypatch):
    """A writer whose dependency generator records the calls it receives."""
    monkeypatch.setattr(class_writer, "AstDependencyGenerator", RecordingDependencies)
    writer = AstClassWriter("models", Model, NAMES)
    return writer, writer._ast_dependency_generator


def body_source(writer):
    return [ast.unparse(node) for node in writer._class_definition.body]


def annotated(source):
    return ast.parse(source).body[0]


def test_new_writer_holds_an_empty_class():
    writer = AstClassWriter("models", TypeModel, NAMES)
    class_def = writer._class_definition
    assert (class_def.name, class_def.bases, class_def.body, class_def.type_params) == ("", [], [], [])
    assert writer._base_class is TypeModel
    assert writer._ast_dependency_generator.models_module_name == "models"
    with pytest.raises(TypeError, match=r"Argument 'models_module_name' has incorrect type \(expected str, got NoneType\)"):
        AstClassWriter(None, Model, NAMES)


def test_register_class_on_the_base_object_or_another_model(recorded, monkeypatch):
    writer, deps = recorded
    writer.register_class("Book", extend_type="object")
    assert ast.unparse(writer._class_definition).startswith("class Book(Model):")
    assert deps.calls == [("add_ignore_type_name", "Book"), ("add_python_type_dependency", Model)]
    assert deps.created_with == ("models", NAMES)

    monkeypatch.setattr(class_writer, "AstDependencyGenerator", RecordingDependencies)
    child = AstClassWriter("models", Model, NAMES)
    child.register_class("RareBook", "Book")
    assert [base.id for base in child._class_definition.bases] == ["Book"]
    assert child._ast_dependency_generator.calls == [
        ("add_ignore_type_name", "RareBook"),
        ("add_model_type_dependency", "Book"),
    ]
    child.register_class("Again", "Shelf")  # nothing is enforced: renamed, one more base
    assert child._class_definition.name == "Again"
    assert [base.id for base in child._class_definition.bases] == ["Book", "Shelf"]
    with pytest.raises(TypeError, match="Argument 'extend_type' has incorrect type"):
        child.register_class("X", extend_type=None)


def test_class_data_constants_and_their_imports(recorded):
    writer, deps = recorded
    writer.add_class_data(SchemaTypes.CONTRIB, "ab" * 32)
    assert body_source(writer) == [
        "schema_type: ClassVar[SchemaTypes] = SchemaTypes.CONTRIB",
        f"class_fingerprint: ClassVar[str] = '{'ab' * 32}'",
    ]
    assert [obj for _, obj in deps.calls] == [SchemaTypes, ClassVar, date, datetime]
    with pytest.raises(TypeError, match="Argument 'class_fingerprint' has incorrect type"):
        writer.add_class_data(SchemaTypes.USER, b"ab")


@pytest.mark.parametrize(
    "source, expected",
    [
        ("a: Union[Reference, 'Book', LegacyModel]", "a: Union[Reference, 'Book', LegacyModel] = Field(union_mode='left_to_right')"),
        ("a: Optional[Union[Reference, 'Book']] = None", "a: Optional[Union[Reference, 'Book']] = Field(None, union_mode='left_to_right')"),
        ("a: Union[list[int], Reference] = x", "a: Union[list[int], Reference] = Field(x, union_mode='left_to_right')"),
    ],
)
def test_union_with_reference_gets_left_to_right_mode(recorded, source, expected):
    writer, deps = recorded
    node = annotated(source)
    assert writer._set_union_mode(node) is None
    assert ast.unparse(node) == expected
    assert deps.calls == [("add_python_type_dependency", Field)]


@pytest.mark.parametrize(
    "source",
    [
        "a: Optional[Reference] = None",  # no union
        "a: Union[list[Reference], int]",  # Reference only inside a nested subscript
        "a: Optional[Optional[Union[Reference, int]]]",  # two levels of Optional
        "a: Union[int, str]",
        "a: Union[Reference]",  # not a tuple
        "a: Reference",
        "a: typing.Union[Reference, int]",
        "a = Union[Reference, int]",
        "pass",
    ],
)
def test_other_statements_stay_unchanged(recorded, source):
    writer, deps = recorded
    node = annotated(source)
    before = ast.dump(node)
    writer._set_union_mode(node)
    assert ast.dump(node) == before and deps.calls == []


def test_add_class_property_builds_field_statements():
    writer = AstClassWriter("models", Model, NAMES)
    writer.register_class("Loan", "object")
    writer.add_class_property("book", PropertyData(type="Book"), is_required=True)
    writer.add_class_property("days", PropertyData(type="number", default="14"), is_required=False)
    writer.add_class_property("shelf", PropertyData(type="Shelf"), is_required=False)
    writer.add_class_property(
        "sizes", PropertyData(type="dictionary", items={"key_type": "string", "value_type": "number"}), is_required=True
    )
    assert body_source(writer) == [
        "book: Union[Reference, 'Book', LegacyModel] = Field(union_mode='left_to_right')",
        "days: Optional[float] = 14",
        "shelf: Optional[Union[Reference, 'Shelf', LegacyModel]] = Field(None, union_mode='left_to_right')",
        "sizes: dict[str, Optional[float]]",
    ]
    with pytest.raises(TypeError, match=r"add_class_property\(\) takes exactly 3 positional arguments \(4 given\)"):
        writer.add_class_property("x", PropertyData(type="string"), True)
    with pytest.raises(TypeError, match=r"add_class_property\(\) needs keyword-only argument is_required"):
        writer.add_class_property("x", PropertyData(type="string"))
    with pytest.raises(TypeError, match="Argument 'property_name' has incorrect type"):
        writer.add_class_property(None, PropertyData(type="string"), is_required=True)
    with pytest.raises(ValueError, match="Unknown dictionary type"):
        writer.add_class_property("bad", PropertyData(type="dictionary"), is_required=True)
    assert len(writer._class_definition.body) == 4  # a failed call appends nothing


class OutOfOrderPicker:
    triples: list = []

    @classmethod
    def process_property(cls, property_name, property_config):
        cls.seen = (property_name, property_config)
        return list(cls.triples)


def test_validators_are_added_in_name_order(recorded, monkeypatch):
    writer, deps = recorded
    monkeypatch.setattr(class_writer, "ValidatorPicker", OutOfOrderPicker)
    config = PropertyData(type="dictionary")
    OutOfOrderPicker.triples = [
        ("validate_value_in_options_meta", validate_options, ["a", "b"]),
        ("_non_empty_keys_meta", validate_non_empty_keys, None),
    ]
    writer.add_properties_validators("meta", config)
    assert OutOfOrderPicker.seen == ("meta", config)
    assert [node.name for node in writer._class_definition.body] == [
        "_non_empty_keys_meta",
        "validate_value_in_options_meta",
    ]
    assert "return validate_options(value, ['a', 'b'])" in class_writer.astor.to_source(writer._class_definition.body[1])
    assert [obj.__name__ for _, obj in deps.calls] == [
        "field_validator", "validate_non_empty_keys", "field_validator", "validate_options"
    ]

    OutOfOrderPicker.triples = []
    writer.add_properties_validators("meta", config)
    assert len(writer._class_definition.body) == 2

    for triple, message in [
        (("a", validate_options), "need more than 2 values to unpack"),
        (("a",), "need more than 1 value to unpack"),
        (("a", validate_options, None, 1), r"too many values to unpack \(expected 3\)"),
        (iter(["a", validate_options, None, 1]), r"too many values to unpack \(expected 3\)"),
    ]:
        OutOfOrderPicker.triples = [triple]
        with pytest.raises(ValueError, match=message):
            writer.add_properties_validators("meta", config)


def test_real_picker_validators_for_a_property():
    writer = AstClassWriter("models", Model, NAMES)
    config = PropertyData(type="Dictionary", items={"key_type": "string", "value_type": "string"},
                          options=[{"value": "b"}, {"value": "a"}])
    writer.add_properties_validators("Meta", config)
    assert [node.name for node in writer._class_definition.body] == ["_non_empty_keys_meta", "validate_value_in_options_meta"]


CUSTOM_CODE = '''
import math
from typing import ClassVar as CV

def zeta(self):
    return math.pi

LIMIT: CV[int] = 3

def alpha(self):
    return 1
'''


def test_custom_code_imports_go_to_the_generator_and_statements_are_sorted(recorded):
    writer, deps = recorded
    writer.add_class_custom_code(CUSTOM_CODE)
    assert [type(node).__name__ for _, node in deps.calls] == ["Import", "ImportFrom"]
    assert [method for method, _ in deps.calls] == ["add_ast_import_node"] * 2
    body = writer._class_definition.body
    assert [type(node).__name__ for node in body] == ["AnnAssign", "FunctionDef", "FunctionDef"]
    assert [node.name for node in body[1:]] == ["alpha", "zeta"]
    with pytest.raises(SyntaxError):
        writer.add_class_custom_code("def broken(:\n")
    with pytest.raises(TypeError, match="Argument 'custom_code' has incorrect type"):
        writer.add_class_custom_code(None)


def test_unnamed_statements_keep_their_order_before_named_ones(recorded):
    writer, _ = recorded
    writer.add_class_custom_code("class B: pass\nx = 2\ndef b(self): pass\nw = 1\nclass A: pass\n")
    assert [ast.unparse(node).split("\n")[0] for node in writer._class_definition.body] == [
        "x = 2", "w = 1", "class A:", "class B:", "def b(self):"
    ]


# --- the two texts --------------------------------------------------------------------------------


def full_writer():
    writer = AstClassWriter("models", Model, NAMES)
    writer.register_class("Book", "object")
    writer.add_class_data(SchemaTypes.USER, "f" * 64)
    writer.add_class_property("shelf", PropertyData(type="Shelf"), is_required=True)
    writer.add_class_property("genre", PropertyData(type="string", options=[{"value": "poetry"}]), is_required=False)
    writer.add_properties_validators("genre", PropertyData(type="string", options=[{"value": "poetry"}]))
    writer.add_class_custom_code("import math\nimport os.path\nfrom korvan_data.aliases import using\n\n"
                                 "def pages(self):\n    return math.ceil(1.5)\n")
    return writer


def test_class_text_holds_no_imports_and_keeps_quotes():
    writer = full_writer()
    text = writer.model_source
    assert text.startswith("class Book(Model):\n    schema_type: ClassVar[SchemaTypes] = SchemaTypes.USER\n")
    assert f"class_fingerprint: ClassVar[str] = '{'f' * 64}'" in text
    assert "@field_validator('genre')" in text
    assert not re.search(r"^\s*(import|from) ", text, re.M)
    before = ast.dump(writer._class_definition)
    assert writer.model_source == text and writer.dependencies_source == writer.dependencies_source
    assert ast.dump(writer._class_definition) == before


def test_import_block_has_single_name_lines_in_isort_sections():
    imports = full_writer().dependencies_source
    sections = [block.strip().splitlines() for block in imports.split("\n\n") if block.strip()]
    stdlib, third_party, type_checking = sections
    assert stdlib == [
        "import math", "import os.path",
        "from datetime import date", "from datetime import datetime",
        "from typing import TYPE_CHECKING", "from typing import ClassVar",
        "from typing import Optional", "from typing import Union",
    ]
    assert third_party[:2] == ["from korvan_data.aliases import using",
                               "from korvan_models.classes.builder.validators.choice_checks import validate_options"]
    assert "from pydantic import Field" in third_party and "from pydantic import field_validator" in third_party
    assert type_checking == ["if TYPE_CHECKING:", "    from models.shelf import Shelf"]


class Recorder:
    def __init__(self, result="text"):
        self.calls, self.result = [], result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


def test_formatter_calls_and_options(monkeypatch):
    writer = full_writer()
    printer, formatter, sorter = Recorder("printed"), Recorder("formatted"), Recorder("sorted")
    monkeypatch.setattr(class_writer.astor, "to_source", printer)
    monkeypatch.setattr(class_writer.black, "format_str", formatter)
    monkeypatch.setattr(class_writer.isort, "code", sorter)

    assert writer.model_source == "formatted"
    (tree,), options = printer.calls[0]
    assert tree is writer._class_definition and list(options) == ["pretty_string", "pretty_source"]
    assert isinstance(options["pretty_string"], partial) and options["pretty_string"].keywords == {"max_line": 120}
    assert options["pretty_string"].func is class_writer.pretty_string
    lines_joined = options["pretty_source"]
    assert lines_joined.__qualname__ == "AstClassWriter.model_source.<locals>.<lambda>"
    assert lines_joined(["a = 1", "\n", "b = 2", "\n"]) == "a = 1\nb = 2\n"
    (printed,), mode = formatter.calls[0]
    assert printed == "printed" and list(mode) == ["mode"]
    assert mode["mode"].string_normalization is False and mode["mode"].line_length == 120
    assert mode["mode"].target_versions == {class_writer.black.TargetVersion.PY310}

    assert writer.dependencies_source == "sorted"
    (module,), options = printer.calls[1]
    assert isinstance(module, ast.Module)
    assert options["pretty_source"].__qualname__ == "AstClassWriter.dependencies_source.<locals>.<lambda>"
    assert sorter.calls == [(("printed",), {
        "force_single_line": True, "profile": "black", "line_length": 120, "order_by_type": True,
        "known_third_party": ["korvan_utils", "korvan_data", "korvan_models", "korvan"],
        "known_first_party": ["models"],
    })]
    assert list(sorter.calls[0][1]) == ["force_single_line", "profile", "line_length", "order_by_type",
                                        "known_third_party", "known_first_party"]

    formatter.result = b"bytes"
    with pytest.raises(TypeError, match="Expected unicode, got bytes"):
        writer.model_source
    sorter.result = 1
    with pytest.raises(TypeError, match="Expected unicode, got int"):
        writer.dependencies_source


def test_printer_failures_propagate():
    writer = AstClassWriter("models", Model, NAMES)
    writer.register_class("Bad", "object")
    writer._class_definition.body.append(ast.Expr(value=ast.Name(id="x y", ctx=ast.Load())))
    with pytest.raises(class_writer.black.InvalidInput, match="annot parse"):
        writer.model_source
