"""Field statements of generated classes and the literal nodes of their defaults."""

from __future__ import annotations

import ast
import warnings
from typing import Optional

import pytest

from korvan_models.classes.builder.ast_generator.helpers import make_field_statement as module
from korvan_models.classes.builder.ast_generator.helpers.make_field_statement import (
    UNSET,
    cast_number_value,
    cast_property_value,
    make_field_statement,
)
from korvan_utils.models.data_models.core import DictSchema, LegacyDictSchema, TypeData

from field_helpers import Recorder, td

# The literal builder uses the host's deprecated literal classes; their warnings are expected.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def printed(node):
    if isinstance(node, ast.stmt):
        node = ast.Module(body=[node], type_ignores=[])
    return ast.unparse(ast.fix_missing_locations(node))


def statement(type_data, *args, **kwargs):
    return make_field_statement("x", type_data, *args, ast_dependency_generator=Recorder(), **kwargs)


# --- make_field_statement ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((), {}, "x: float"),
        ((), {"is_required": False}, "x: Optional[float]"),
        ((None,), {}, "x: float"),
        ((None,), {"is_required": False}, "x: Optional[float] = None"),
        ((0,), {}, "x: float = 0"),
        (("42",), {"is_required": False}, "x: Optional[float] = 42"),
    ],
)
def test_statement_table(args, kwargs, text):
    node = statement(td("number"), *args, **kwargs)
    assert type(node) is ast.AnnAssign and node.simple == 1
    assert type(node.target) is ast.Name and type(node.target.ctx) is ast.Store
    assert printed(node) == text


def test_statement_values_that_no_rule_casts():
    assert statement(td("string"), "").value.value == ""
    assert printed(statement(td("Person"), {"a": 1}, can_be_a_reference=False)) == "x: 'Person'"
    assert printed(statement(td("array"), [1])) == "x: Union[Reference, 'array', LegacyModel]"


def test_annotation_is_registered_before_the_value_is_cast():
    deps = Recorder()
    with pytest.raises(ValueError, match="Cannot cast 4,5 to a number"):
        make_field_statement("x", td("number"), "4,5", is_required=False, ast_dependency_generator=deps)
    assert deps.log == [Optional, float]


def test_module_names_signature_and_sentinel():
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == ["ast", "Any", "DictSchema", "LegacyDictSchema", "TypeData", "CoreTypes",
                     "AstDependencyGenerator", "make_type_hint", "make_literal_node", "UNSET",
                     "make_field_statement", "cast_property_value", "cast_number_value"]
    assert isinstance(UNSET, type) and UNSET.__bases__ == (object,) and UNSET.__qualname__ == "UNSET"
    assert UNSET.__module__ == module.__name__
    assert make_field_statement.__defaults__ == (UNSET,)
    assert make_field_statement.__kwdefaults__ == {"is_required": True, "can_be_a_reference": True}
    assert make_field_statement.__annotations__ == {
        "target_name": "str", "type_data": "TypeData", "value": "Any", "is_required": "bool",
        "can_be_a_reference": "bool", "ast_dependency_generator": "AstDependencyGenerator",
        "return": "ast.AnnAssign | ast.stmt",
    }
    assert cast_property_value.__annotations__ == {"type_data": "TypeData", "property_value": "Any", "return": "Any"}
    assert cast_number_value.__annotations__ == {"property_value": "Any", "return": "int | float"}


class Name(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: make_field_statement(None, td("string"), ast_dependency_generator=Recorder()),
         "Argument 'target_name' has incorrect type (expected str, got NoneType)"),
        (lambda: make_field_statement(Name("x"), td("string"), ast_dependency_generator=Recorder()),
         "Argument 'target_name' has incorrect type (expected str, got Name)"),
        (lambda: make_field_statement("x", td("string"), 1, False, ast_dependency_generator=Recorder()),
         "make_field_statement() takes at most 3 positional arguments (4 given)"),
        (lambda: make_field_statement("x", td("string"), 1),
         "make_field_statement() needs keyword-only argument ast_dependency_generator"),
        (lambda: cast_property_value(td("string")), "cast_property_value() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_binding_texts(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


# --- cast_property_value ------------------------------------------------------------------------------


def legacy(key, value):
    return td("dictionary", LegacyDictSchema(key_type=key, value_type=value))


def schema(key, value):
    return td("dictionary", DictSchema(key=key, value=value))


@pytest.mark.parametrize(
    "type_data, value, text",
    [
        (td("Person"), None, "None"),
        (td("String"), 5, "5"),
        (td("string"), "a", "'a'"),
        (td("number"), "42", "42"),
        (td("number"), "4.5", "4.5"),
        (td("number"), True, "True"),
        (td("boolean"), "false", "False"),
        (td("boolean"), " TRUE\n", "True"),
        (td("boolean"), "no", "True"),
        (td("boolean"), "", "False"),
        (td("boolean"), [], "False"),
        (td("binary"), "hé", "b'h\\xc3\\xa9'"),
        (td("binary"), b"ab", "b'ab'"),
        (td("binary"), [1, 2], "b'\\x01\\x02'"),
        (td("array", td("number")), ["1", 2], "[1, 2]"),
        (td("array", td("array", td("number"))), [["1"], []], "[[1], []]"),
        (legacy("string", "number"), {"a": "1", "b": 2.5}, "{'a': 1, 'b': 2.5}"),
        (legacy("number", "boolean"), {"1": "false"}, "{1: False}"),
        (schema(td("string"), td("array", td("number"))), {"a": ["1", 2]}, "{'a': [1, 2]}"),
        (schema(td("string"), schema(td("number"), td("boolean"))), {"a": {"2": "true"}}, "{'a': {2: True}}"),
        (td("dictionary", td("string")), "CONSTANT", "CONSTANT"),
    ],
)
def test_cast_rules(type_data, value, text):
    assert printed(cast_property_value(type_data, value)) == text


@pytest.mark.parametrize(
    "type_data, value",
    [
        (td("Person"), {"a": 1}),
        (td("array"), [1]),
        (td("array", LegacyDictSchema(key_type="string", value_type="string")), [1]),
        (td("dictionary"), {"a": 1}),
        (td("object"), "x"),
    ],
)
def test_values_that_no_rule_casts(type_data, value):
    assert cast_property_value(type_data, value) is None


@pytest.mark.parametrize(
    "type_data, value, text",
    [
        (td("array", td("Person")), [{"id": 1, "tags": ["a", None]}, "x"], "[{'id': 1, 'tags': ['a', None]}, 'x']"),
        (td("array", td("array")), [[1, "b"]], "[[1, 'b']]"),
        (legacy("Person", "Person"), {"k": [1]}, "{'k': [1]}"),
        (schema(td("string"), td("dictionary")), {"k": {"n": 1}}, "{'k': {'n': 1}}"),
    ],
)
def test_elements_that_no_rule_casts_are_written_as_they_are(type_data, value, text):
    node = cast_property_value(type_data, value)
    for inner in ast.walk(node):
        for field in ("elts", "keys", "values"):
            assert None not in getattr(inner, field, [])
    assert printed(node) == text


def test_container_nodes():
    node = cast_property_value(legacy("string", "number"), {"b": "1", "a": "2"})
    assert type(node) is ast.Dict and [k.value for k in node.keys] == ["b", "a"]
    assert [type(v) for v in node.values] == [ast.Constant, ast.Constant] and [v.value for v in node.values] == [1, 2]
    node = cast_property_value(td("array", td("string")), ("a",))
    assert type(node) is ast.List and not hasattr(node, "ctx")
    name = cast_property_value(td("dictionary", td("string")), "X")
    assert type(name) is ast.Name and type(name.ctx) is ast.Load


@pytest.mark.parametrize(
    "type_data, value, error, match",
    [
        (td("array", td("number")), ["1", "4,5"], ValueError, "Cannot cast 4,5 to a number"),
        (td("array", td("number")), 5, TypeError, "not iterable"),
        (legacy("string", "string"), ["a"], AttributeError, "values"),
        (td("binary"), 1.5, TypeError, "float"),
        (td("array", td("Person")), [(1, 2)], ValueError, "Unsupported type"),
    ],
)
def test_cast_failures_abort_the_whole_value(type_data, value, error, match):
    with pytest.raises(error, match=match):
        cast_property_value(type_data, value)


def test_casts_go_through_module_level_names(monkeypatch):
    monkeypatch.setattr(module, "cast_number_value", lambda value: 99)
    assert printed(cast_property_value(td("array", td("number")), ["1"])) == "[99]"
    monkeypatch.setattr(module, "make_type_hint", lambda *a, **k: ast.Name(id="T", ctx=ast.Load()))
    assert printed(statement(td("number"), "1")) == "x: T = 99"


def test_deep_values_raise_recursion_error():
    deep_type, deep_value = td("string"), "leaf"
    for _ in range(50000):
        deep_type, deep_value = TypeData(type="array", items=deep_type), [deep_value]
    with pytest.raises(RecursionError):
        cast_property_value(deep_type, deep_value)
    with pytest.raises(RecursionError):
        statement(deep_type, deep_value)
    with pytest.raises(RecursionError):  # the literal builder's own recursion
        cast_property_value(td("array", td("Person")), [deep_value])


# --- cast_number_value -----------------------------------------------------------------------------


class Text(str):
    pass


@pytest.mark.parametrize("value, result", [(" 7 ", 7), ("-3", -3), ("4.5", 4.5), (".5", 0.5), (Text("8"), 8)])
def test_number_texts(value, result):
    cast = cast_number_value(value)
    assert cast == result and type(cast) is type(result)


@pytest.mark.parametrize("value", [3, True, 2.5, float("nan")])
def test_numbers_are_returned_unchanged(value):
    assert cast_number_value(value) is value


@pytest.mark.parametrize("value", ["1e3", "4,5", "1.2.3", "", "inf"])
def test_number_text_failures_are_chained(value):
    with pytest.raises(ValueError) as caught:
        cast_number_value(value)
    assert str(caught.value) == f"Cannot cast {value} to a number"
    assert type(caught.value.__cause__) is ValueError and caught.value.__suppress_context__
    assert caught.value.__context__ is caught.value.__cause__

    # Called while the caller handles another error: the parse error is still the context.
    try:
        raise KeyError("outer")
    except KeyError:
        with pytest.raises(ValueError) as caught:
            cast_number_value(value)
    assert caught.value.__context__ is caught.value.__cause__


@pytest.mark.parametrize("value", [None, [1], {"a": 1}, b"1"])
def test_other_values_fail_unchained(value):
    with pytest.raises(ValueError) as caught:
        cast_number_value(value)
    assert str(caught.value) == f"Cannot cast {value} to a number"
    assert caught.value.__cause__ is None and caught.value.__context__ is None


@pytest.mark.parametrize("make", [legacy, schema], ids=["legacy", "schema"])
def test_each_dictionary_key_and_value_gets_its_own_description(monkeypatch, make):
    made = []

    def recording(**fields):
        made.append(TypeData(**fields))
        return made[-1]

    monkeypatch.setattr(module, "TypeData", recording)
    node = cast_property_value(make(td("string"), td("number")) if make is schema else make("string", "number"),
                               {"a": "1", "b": "2", "c": "3"})
    assert printed(node) == "{'a': 1, 'b': 2, 'c': 3}"
    assert [d.type for d in made] == ["string"] * 3 + ["number"] * 3
    assert len({id(d) for d in made}) == 6
