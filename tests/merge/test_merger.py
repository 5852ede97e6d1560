"""merge_schema against a plain-Python twin; the child mapping is never changed, whatever happens."""

import copy
import subprocess
import sys
import textwrap
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvan_models.schemas.utils import merger
from korvan_models.schemas.utils.merger import _merge_list_fields, _merge_list_of_lists, merge_schema


def reference_merge_list_of_lists(parent, child):
    result_elements = [sorted(element) for element in child]
    for element in parent:
        sorted_parent_element = sorted(element)
        if sorted_parent_element not in result_elements:
            result_elements.append(sorted_parent_element)
    return result_elements


def reference_merge_list_fields(parent, child):
    if not parent:
        return child
    if not child:
        return parent
    if isinstance(parent[0], list):
        return reference_merge_list_of_lists(parent, child)
    united = list(child)
    for element in parent:
        if element not in united:
            united.append(element)
    if isinstance(united[0], dict):
        return united
    return sorted(united)


def reference_merge_schema(parent_schema, child_schema):
    for field_name in child_schema:
        if parent_schema.get(field_name) is None:
            parent_schema[field_name] = copy.copy(child_schema[field_name])
            continue
        if isinstance(child_schema[field_name], list) and isinstance(parent_schema[field_name], list):
            parent_schema[field_name] = reference_merge_list_fields(parent_schema[field_name], child_schema[field_name])
        elif isinstance(child_schema[field_name], dict) and isinstance(parent_schema[field_name], dict):
            parent_schema[field_name] = reference_merge_schema(parent_schema[field_name], child_schema[field_name])
        else:
            parent_schema[field_name] = copy.copy(child_schema[field_name])
    return parent_schema


def outcome(function, *args):
    try:
        return "ok", function(*args)
    except (TypeError, RuntimeError) as error:
        return type(error), str(error)


names = st.sampled_from([f"n{i}" for i in range(12)])
plain = st.one_of(names, st.integers(0, 3), st.booleans(), st.just(1.0))
scalars = st.one_of(st.none(), st.booleans(), st.integers(-2, 2), names)
lists = st.one_of(
    st.lists(names, max_size=12),  # large enough to take the set lookup
    st.lists(st.integers(0, 20), max_size=12),
    st.lists(plain, max_size=4),  # mixed kinds: sorting may fail
    st.lists(st.dictionaries(names, scalars, max_size=2), max_size=3),
    st.lists(st.lists(names, max_size=3), max_size=3),  # unique groups
)
values = st.recursive(st.one_of(scalars, lists), lambda inner: st.dictionaries(names, inner, max_size=4), max_leaves=12)
schemas = st.dictionaries(names, values, max_size=6)


@settings(max_examples=400, deadline=None)
@given(parent=schemas, child=schemas)
def test_merge_matches_plain_twin_and_leaves_child_unchanged(parent, child):
    child_before = copy.deepcopy(child)
    twin_parent = copy.deepcopy(parent)
    expected = outcome(reference_merge_schema, twin_parent, copy.deepcopy(child))
    got = outcome(merge_schema, parent, child)
    if expected[0] == "ok":
        assert got == ("ok", parent) and got[1] is parent
    else:
        assert got == expected
    assert parent == twin_parent  # also after a failure part way: the same keys were merged
    assert child == child_before


@settings(max_examples=300, deadline=None)
@given(parent=lists, child=lists)
def test_list_union_matches_plain_twin_and_changes_neither_list(parent, child):
    before = copy.deepcopy((parent, child))
    assert outcome(_merge_list_fields, parent, child) == outcome(reference_merge_list_fields, *copy.deepcopy(before))
    assert (parent, child) == before


def test_merge_keeps_the_object_identities_it_promises():
    shared = object()
    child_list, parent_list, nested = [shared], ["kept"], {"p": {"type": "string"}}
    parent = {"empty": [], "full": parent_list, "nested": nested, "scalar": 1, "none": None, "kind": [1]}
    child = {"empty": child_list, "full": [], "nested": {"p": {"type": "Book"}, "q": {}}, "scalar": None,
             "none": child_list, "kind": {"a": shared}, "new": child_list}
    assert merge_schema(parent, child) is parent
    assert parent["empty"] is child_list  # an empty parent list takes the child's list itself
    assert parent["full"] is parent_list
    assert parent["nested"] is nested and nested["p"] == {"type": "Book"} and nested["q"] is not child["nested"]["q"]
    assert parent["scalar"] is None
    for key in ("none", "new"):  # a shallow copy: a new list holding the child's elements
        assert parent[key] == [shared] and parent[key] is not child_list and parent[key][0] is shared
    assert parent["kind"] == {"a": shared} and parent["kind"] is not child["kind"]
    assert child_list == [shared]


def test_one_child_merged_into_two_parents_gives_each_only_its_own_elements():
    child = {"required": ["b"], "properties": {"p": {"tags": ["x"]}}}
    first = merge_schema({"required": ["a", "c"], "properties": {"p": {"tags": ["y"]}}}, child)
    second = merge_schema({"required": ["d"], "properties": {"p": {"tags": ["z"]}}}, child)
    assert first == {"required": ["a", "b", "c"], "properties": {"p": {"tags": ["x", "y"]}}}
    assert second == {"required": ["b", "d"], "properties": {"p": {"tags": ["x", "z"]}}}
    assert child == {"required": ["b"], "properties": {"p": {"tags": ["x"]}}}


class DictSub(dict):
    pass


class ListSub(list):
    pass


def incorrect(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize("call, text", [
    (lambda: merge_schema(None, {}), incorrect("parent_schema", "dict", "NoneType")),
    (lambda: merge_schema({}, DictSub()), incorrect("child_schema", "dict", "DictSub")),
    (lambda: merge_schema({"p": {}}, {"p": DictSub(a=1)}), incorrect("child_schema", "dict", "DictSub")),
    (lambda: merge_schema({"l": ListSub([1])}, {"l": [2]}), incorrect("parent", "list", "ListSub")),
    (lambda: _merge_list_fields((), []), incorrect("parent", "list", "tuple")),
    (lambda: _merge_list_fields([], None), incorrect("child", "list", "NoneType")),
    (lambda: _merge_list_of_lists([], ListSub()), incorrect("child", "list", "ListSub")),
    (lambda: merge_schema({}, {}, {}), "merge_schema() takes exactly 2 positional arguments (3 given)"),
])
def test_arguments_of_the_wrong_type_are_refused(call, text):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == text


DEEP_INPUT = textwrap.dedent("""
    import threading
    from korvan_models.schemas.utils.merger import merge_schema

    def nested():
        value = {}
        for _ in range(50_000):
            value = {"k": value}
        return value

    def looped():
        value = {"a": 1}
        value["k"] = value
        return value

    def run(make):
        try:
            merge_schema(make(), make())
        except RecursionError:
            print("RecursionError")

    for make in (nested, looped):
        run(make)
        for size in (64 * 1024, 256 * 1024):  # a thread stack smaller than the recursion budget assumes
            threading.stack_size(size)
            thread = threading.Thread(target=run, args=(make,))
            thread.start()
            thread.join()
""")


def test_deep_or_looping_mappings_raise_recursion_error_on_any_stack(tmp_path):
    done = subprocess.run([sys.executable, "-c", DEEP_INPUT], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert (done.returncode, done.stdout.split()) == (0, ["RecursionError"] * 6), done


class Clearing:
    """Empties a list from inside a comparison, as a hostile element may."""

    __hash__ = None

    def __init__(self, victim):
        self.victim = victim

    def __eq__(self, other):
        self.victim.clear()
        return False


def test_an_element_that_empties_the_parent_while_compared_does_as_the_twin():
    def lists():
        parent = ["p"] * 40
        parent[0] = Clearing(parent)
        return parent, ["c", Clearing(parent), "d"]

    assert outcome(_merge_list_fields, *lists()) == outcome(reference_merge_list_fields, *lists())


@pytest.mark.parametrize("name, value, parent, expected", [
    ("copy", type("Copier", (), {"copy": staticmethod(lambda value: "copied")}), {}, "copied"),
    ("_merge_list_fields", lambda parent, child: "united", {"k": [1]}, "united"),
    ("merge_schema", lambda parent, child: "merged", {"k": {"a": 1}}, "merged"),
])
def test_module_names_are_looked_up_when_the_body_runs(monkeypatch, name, value, parent, expected):
    monkeypatch.setattr(merger, name, value)
    child = {"k": [2] if isinstance(parent.get("k"), list) else {"b": 2}}
    assert merge_schema(parent, child)["k"] == expected  # the function imported before the rebinding


def test_module_names_and_signatures():
    assert [name for name in vars(merger) if not name.startswith("__")] == [
        "copy", "Any", "_merge_list_of_lists", "_merge_list_fields", "merge_schema"]
    assert merger.copy is copy and merger.Any is Any
    assert merge_schema.__annotations__ == {
        "parent_schema": "dict[str, Any]", "child_schema": "dict[str, Any]", "return": "dict[str, Any]"}
    assert _merge_list_fields.__annotations__ == {"parent": "list[Any]", "child": "list[Any]", "return": "list[Any]"}
    assert _merge_list_of_lists.__annotations__ == {
        "parent": "list[list[str]]", "child": "list[list[str]]", "return": "list[list[str]]"}
