import ast
import threading
import typing
import warnings

import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvan_models.classes.builder.ast_generator.helpers import make_literal_node as module
from korvan_models.classes.builder.ast_generator.helpers.make_literal_node import make_literal_node

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def reference(dictionary):
    if isinstance(dictionary, dict):
        dict_ast = ast.Dict(keys=[], values=[])
        for key, value in dictionary.items():
            key_ast = ast.Constant(s=str(key))
            value_ast = reference(value)
            dict_ast.keys.append(key_ast)
            dict_ast.values.append(value_ast)
        return dict_ast
    if isinstance(dictionary, list):
        list_ast = ast.List(elts=[])
        for value in dictionary:
            list_ast.elts.append(reference(value))
        return list_ast
    if isinstance(dictionary, str):
        return ast.Str(s=dictionary)
    if isinstance(dictionary, bool):
        return ast.NameConstant(value=dictionary)
    if isinstance(dictionary, (int, float)):
        return ast.Num(n=dictionary)
    if dictionary is None:
        return ast.NameConstant(value=None)
    msg = f"Unsupported type: {type(dictionary)}"
    raise ValueError(msg)


def outcome(function, value):
    try:
        return "node", ast.dump(function(value))
    except Exception as error:  # noqa: BLE001 - the comparison is the point
        return type(error), str(error)


def test_module_names_and_signature():
    assert module.ast is ast and module.Any is typing.Any
    assert make_literal_node.__annotations__ == {
        "dictionary": "dict[str, Any] | list[dict[str, Any]] | str | int | float | bool | None",
        "return": "ast.Dict | ast.List | ast.Str | ast.Num | ast.NameConstant",
    }


def test_containers_keep_order_and_stringify_keys():
    empty_dict, empty_list = make_literal_node({}), make_literal_node([])
    assert type(empty_dict) is ast.Dict and empty_dict.keys == [] and empty_dict.values == []
    assert type(empty_list) is ast.List and empty_list.elts == []
    node = make_literal_node({"b": 1, "a": 2, 1: "x", (1, 2): None})
    assert [k.value for k in node.keys] == ["b", "a", "1", "(1, 2)"]
    assert [v.value for v in node.values] == [1, 2, "x", None]
    mixed = make_literal_node([{"a": None}, "b"])
    assert isinstance(mixed.elts[0], ast.Dict) and isinstance(mixed.elts[1], ast.Str)


@pytest.mark.parametrize("value, alias, other", [
    (True, "NameConstant", "Num"), (False, "NameConstant", "Num"), (None, "NameConstant", "Num"),
    (0, "Num", "NameConstant"), (-3, "Num", "Str"), (1.5, "Num", "Str"), ("s", "Str", "Num"),
])
def test_scalar_nodes(value, alias, other):
    node = make_literal_node(value)
    assert type(node) is ast.Constant and node.value is value
    assert isinstance(node, getattr(ast, alias)) and not isinstance(node, getattr(ast, other))


def test_printed_source():
    assert ast.unparse(make_literal_node({"k": [1, "v", None, True]})) == "{'k': [1, 'v', None, True]}"


def test_deprecated_aliases_warn_as_usual():
    with pytest.warns(DeprecationWarning):
        make_literal_node("s")


@pytest.mark.parametrize("value, shown", [
    ((1, 2), "<class 'tuple'>"), ({1, 2}, "<class 'set'>"), (b"x", "<class 'bytes'>"),
    ({"a": (1,)}, "<class 'tuple'>"), ([1, {"b": [object()]}], "<class 'object'>"),
])
def test_unsupported_types(value, shown):
    with pytest.raises(ValueError) as caught:
        make_literal_node(value)
    assert str(caught.value) == f"Unsupported type: {shown}"


@pytest.mark.parametrize("wrap", [lambda v: [v], lambda v: {"k": v}])
def test_deep_nesting_raises_recursion_error(wrap):
    value = None
    for _ in range(100_000):
        value = wrap(value)
    with pytest.raises(RecursionError):
        make_literal_node(value)


def test_deep_nesting_in_a_thread_with_a_small_stack():
    value = None
    for _ in range(1_400):  # under the interpreter's count of native calls
        value = {"k": value}
    caught = []

    def build():
        try:
            make_literal_node(value)
        except RecursionError as error:
            caught.append(error)

    old = threading.stack_size(256 * 1024)
    try:
        worker = threading.Thread(target=build)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(old)
    assert len(caught) == 1


def test_recursion_goes_through_the_module_name(monkeypatch):
    seen = []

    def spy(value):
        seen.append(value)
        return ast.Constant(value="spied")

    monkeypatch.setattr(module, "make_literal_node", spy)
    assert ast.unparse(make_literal_node({"a": [1]})) == "{'a': 'spied'}"
    assert seen == [[1]]


def test_errors_of_the_value_propagate():
    class Items(dict):
        def __init__(self, *pairs):
            self.pairs = list(pairs)

        def items(self):
            return self.pairs

    class BadKey:
        def __str__(self):
            raise KeyError("no text")

    for value in [Items(("a", 1, 2)), Items("abc"), Items(5), {BadKey(): 1}]:
        assert outcome(make_literal_node, value) == outcome(reference, value)
    # A short pair is reported with the frame's unpacking text.
    assert outcome(make_literal_node, Items(("a",))) == (ValueError, "need more than 1 value to unpack")
    assert outcome(make_literal_node, Items("")) == (ValueError, "need more than 0 values to unpack")


scalars = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=3)
odd = st.tuples(st.integers()) | st.binary(max_size=1) | st.frozensets(st.integers(), max_size=1)
values = st.recursive(scalars | odd, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(
    st.text(max_size=2) | st.integers(), inner, max_size=3), max_leaves=12)


@given(values)
def test_matches_the_plain_function(value):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert outcome(make_literal_node, value) == outcome(reference, value)
