"""Annotation nodes of generated fields and the imports they register, in order."""

from __future__ import annotations

import ast
import sys
from types import SimpleNamespace
from typing import Optional, Union

import pytest

from korvan_models.classes.builder.ast_generator.helpers import make_type_hint as module
from korvan_models.classes.builder.ast_generator.helpers.make_type_hint import make_type_hint
from korvan_models.classes.model import LegacyModel
from korvan_utils.models.data_models.core import DictSchema, LegacyDictSchema, TypeData
from korvan_utils.models.data_models.reference import Reference

from field_helpers import Recorder, td


def legacy(key, value):
    return LegacyDictSchema(key_type=key, value_type=value)


def schema(key, value):
    return DictSchema(key=key, value=value)


REF = [Union, Reference, LegacyModel]


@pytest.mark.parametrize(
    "type_data, options, printed, registered",
    [
        (td("number"), {}, "float", [float]),
        (td("NuMbEr"), {}, "float", [float]),
        (td("string"), {}, "str", [str]),
        (td("boolean"), {}, "bool", [bool]),
        (td("binary"), {}, "bytes", [bytes]),
        (td("number"), {"is_required": False}, "Optional[float]", [Optional, float]),
        (td("Person"), {}, "Union[Reference, 'Person', LegacyModel]", [("model", "Person"), *REF]),
        (td("Person"), {"can_be_a_reference": False}, "'Person'", [("model", "Person")]),
        (td("object"), {}, "Union[Reference, 'object', LegacyModel]", [("model", "object"), *REF]),
        (td("array", td("Person")), {}, "list[Union[Reference, 'Person', LegacyModel]]", [("model", "Person"), *REF]),
        (td("array", td("number")), {"is_required": False}, "Optional[list[float]]", [Optional, float]),
        (td("array", td("array", td("string"))), {}, "list[list[str]]", [str]),
        # an array without TypeData items is taken for a model name
        (td("array"), {"can_be_a_reference": False}, "'array'", [("model", "array")]),
        (td("Array", legacy("string", "number")), {}, "Union[Reference, 'Array', LegacyModel]",
         [("model", "Array"), *REF]),
        (td("dictionary", schema(td("string"), td("number"))), {}, "dict[str, Optional[float]]",
         [str, Optional, float]),
        (td("Dictionary", legacy("string", "number")), {}, "dict[str, Optional[float]]", [str, Optional, float]),
        (td("dictionary", schema(td("string"), td("array", td("Person")))), {"can_be_a_reference": False},
         "dict[str, Optional[list['Person']]]", [str, Optional, ("model", "Person")]),
        (td("dictionary", legacy("number", "string")), {"is_required": False},
         "Optional[dict[float, Optional[str]]]", [Optional, float, Optional, str]),
        (td("array", td("dictionary", legacy("string", "Tag"))), {},
         "list[dict[str, Optional[Union[Reference, 'Tag', LegacyModel]]]]", [str, Optional, ("model", "Tag"), *REF]),
    ],
)
def test_annotation_table(type_data, options, printed, registered):
    deps = Recorder()
    node = make_type_hint(type_data, ast_dependency_generator=deps, **options)
    assert ast.unparse(node) == printed
    assert deps.log == registered


def test_node_shapes():
    node = make_type_hint(td("dictionary", schema(td("Person"), td("number"))), ast_dependency_generator=Recorder())
    assert isinstance(node, ast.Subscript) and isinstance(node.slice, ast.Tuple)
    key, value = node.slice.elts
    assert [type(e) for e in key.slice.elts] == [ast.Name, ast.Constant, ast.Name]
    assert key.slice.elts[1].value == "Person" and key.slice.elts[1].kind is None
    assert value.value.id == "Optional" and value.slice.id == "float"
    contexts = [n.ctx for n in ast.walk(node) if hasattr(n, "ctx")]
    assert len(contexts) == 11 and all(type(c) is ast.Load for c in contexts)
    assert len({id(c) for c in contexts}) == len(contexts)  # a fresh Load() each time
    assert ast.unparse(ast.fix_missing_locations(ast.Expression(body=node)))


@pytest.mark.parametrize("items, shown", [(None, "NoneType"), (td("string"), "TypeData")])
def test_unknown_dictionary_items(items, shown):
    deps = Recorder()
    with pytest.raises(ValueError) as caught:
        make_type_hint(td("dictionary", items), is_required=False, ast_dependency_generator=deps)
    assert str(caught.value) == f'Unknown dictionary type: "{shown}"'
    assert deps.log == [Optional]  # the wrapper registered before the inner call failed


def test_recursion_goes_through_the_module_name(monkeypatch):
    calls = []
    original = module.make_type_hint

    def spy(type_data, **kwargs):
        calls.append((type_data.type, kwargs))
        return original(type_data, **kwargs)

    monkeypatch.setattr(module, "make_type_hint", spy)
    deps = Recorder()
    original(td("dictionary", legacy("string", "Person")), can_be_a_reference=False, ast_dependency_generator=deps)
    shared = {"can_be_a_reference": False, "ast_dependency_generator": deps}
    assert calls == [
        ("string", shared),
        ("Person", {"is_required": False, **shared}),
        ("Person", shared),  # the Optional wrapper's inner call leaves is_required to its default
    ]


class Refusing(Recorder):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def add_python_type_dependency(self, obj):
        if obj is float:
            raise self.error
        super().add_python_type_dependency(obj)


def test_only_value_errors_of_the_basic_type_step_are_swallowed():
    deps = Refusing(ValueError("no"))
    node = make_type_hint(td("number"), can_be_a_reference=False, ast_dependency_generator=deps)
    assert ast.unparse(node) == "'number'" and deps.log == [("model", "number")]
    with pytest.raises(TypeError, match="refused"):
        make_type_hint(td("number"), ast_dependency_generator=Refusing(TypeError("refused")))


def test_missing_type_fails_even_when_optional():
    deps = Recorder()
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'lower'"):
        make_type_hint(SimpleNamespace(type=None, items=None), is_required=False, ast_dependency_generator=deps)
    assert deps.log == []


@pytest.fixture
def high_recursion_limit():
    """The native guard must hold even where the host's own limit would let the recursion run on."""
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(1_000_000)
    yield
    sys.setrecursionlimit(old)


def test_deep_descriptions_raise_recursion_error(high_recursion_limit):
    deep = td("string")
    for _ in range(50000):
        deep = TypeData(type="array", items=deep)
    with pytest.raises(RecursionError):
        make_type_hint(deep, ast_dependency_generator=Recorder())


def test_module_names_and_signature():
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == ["ast", "Optional", "Union", "DictSchema", "LegacyDictSchema", "TypeData", "CoreTypes",
                     "Reference", "AstDependencyGenerator", "BASIC_TYPES_MAP", "LegacyModel", "make_type_hint"]
    assert make_type_hint.__defaults__ is None
    assert make_type_hint.__kwdefaults__ == {"is_required": True, "can_be_a_reference": True}
    assert make_type_hint.__annotations__ == {
        "type_data": "TypeData", "is_required": "bool", "can_be_a_reference": "bool",
        "ast_dependency_generator": "AstDependencyGenerator",
        "return": "ast.Subscript | ast.Constant | ast.Name | ast.BinOp",
    }


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((td("string"),), {}, "make_type_hint() needs keyword-only argument ast_dependency_generator"),
        ((td("string"), False), {"ast_dependency_generator": Recorder()},
         "make_type_hint() takes exactly 1 positional argument (2 given)"),
        ((td("string"),), {"ast_dependency_generator": Recorder(), "required": False},
         "make_type_hint() got an unexpected keyword argument 'required'"),
    ],
)
def test_keyword_only_misuse(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        make_type_hint(*args, **kwargs)
    assert str(caught.value) == message
