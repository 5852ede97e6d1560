from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvan_models.classes.builder.validators import mapping_checks
from korvan_models.classes.builder.validators.mapping_checks import validate_non_empty_keys

from validator_outcomes import outcome


def reference(value: Any) -> Any:
    if value is None:
        return value
    for k in value:
        if len(k) == 0:
            msg = "Dictionary keys must be non-empty"
            raise ValueError(msg)
    return value


def test_module_names_and_signature():
    assert mapping_checks.Any is Any
    assert validate_non_empty_keys.__annotations__ == {"value": "Any", "return": "Any"}


@pytest.mark.parametrize("value", [None, {}, {"a": 1}, {("x",): 1, "b": 2}, ["ab", (1,)], "abc"])
def test_passing_value_is_returned_itself(value):
    assert validate_non_empty_keys(value) is value


@pytest.mark.parametrize("value, error, text", [
    ({"a": 1, "": 2}, ValueError, "Dictionary keys must be non-empty"),
    ({(1,): 1, "": 2}, ValueError, "Dictionary keys must be non-empty"),
    ({"": 1, 1: 2}, ValueError, "Dictionary keys must be non-empty"),  # later keys are not looked at
    ({"a": 1, 1: "x"}, TypeError, "object of type 'int' has no len()"),
    ({None: 1}, TypeError, "object of type 'NoneType' has no len()"),
    ([""], ValueError, "Dictionary keys must be non-empty"),
    (5, TypeError, "'int' object is not iterable"),
])
def test_failures(value, error, text):
    with pytest.raises(error) as caught:
        validate_non_empty_keys(value)
    assert str(caught.value) == text


class Sized:
    def __init__(self, size, grow=None):
        self.size, self.grow = size, grow

    def __len__(self):
        if self.grow is not None:
            self.grow[object()] = 1
        return self.size


class Keys(dict):
    def __iter__(self):
        return iter([""])


def test_user_lengths_and_iteration():
    sized = {"a": 1, Sized(2): 2}
    assert validate_non_empty_keys(sized) is sized
    grown = {"a": 1}
    grown[Sized(1, grow=grown)] = 2
    grown["b"] = 3
    for value in [{"a": 1, Sized(0): 2}, Keys(a=1), grown]:
        assert outcome(validate_non_empty_keys, value)[0] in (ValueError, RuntimeError)
        assert outcome(validate_non_empty_keys, value) == outcome(reference, value)


keys = st.text(max_size=2) | st.integers(0, 3) | st.tuples(st.integers()) | st.none()


@given(st.dictionaries(keys, st.integers(), max_size=6) | st.lists(keys, max_size=4) | st.none())
def test_matches_the_plain_function(value):
    ours, theirs = outcome(validate_non_empty_keys, value), outcome(reference, value)
    assert ours[0] == theirs[0]
    assert ours[1] is value if ours[0] == "returned" else ours[1] == theirs[1]


class Dropping(str):
    """A key whose length check removes keys from, or rewrites, the container it is read from."""

    def __new__(cls, text, action):
        key = super().__new__(cls, text)
        key.action = action
        return key

    def __len__(self):
        self.action()
        return str.__len__(self)

    __hash__ = str.__hash__
    __eq__ = str.__eq__


def key_deletes_itself():
    value = {}
    value[Dropping("a", lambda: value.pop("a", None))] = 1
    return value


def key_replaces_list_items():
    value = []
    value.extend([Dropping("a", lambda: value.__setitem__(slice(None), ["".join(["b"]), ""])), "x"])
    return value


def key_refills_same_size():
    value = {}
    value[Dropping("a", lambda: (value.clear(), value.update({"": 1})))] = 1
    return value


@pytest.mark.parametrize("make", [key_deletes_itself, key_replaces_list_items, key_refills_same_size])
def test_containers_rewritten_by_a_key(make):
    assert outcome(validate_non_empty_keys, make())[0] == outcome(reference, make())[0]
