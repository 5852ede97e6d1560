from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvan_models.classes.builder.validators import choice_checks
from korvan_models.classes.builder.validators.choice_checks import validate_options

from validator_outcomes import outcome


def reference(value: Any, options: list[Any]) -> Any:
    if value is None:
        return value
    multi = isinstance(value, list)
    if (multi and not all(v in options for v in value)) or (not multi and value not in options):
        msg = f"Value={value} doesn't match available options: {options}."
        raise ValueError(msg)
    return value


def test_module_names_and_signature():
    assert choice_checks.Any is Any
    assert validate_options.__annotations__ == {"value": "Any", "options": "list[Any]", "return": "Any"}


@pytest.mark.parametrize("value, options", [
    (None, []), ([], ["a"]), (["a", "b"], ["a", "b", "c"]), (1, [1.0]), ("a", ["a"]), (2**80, [2**80]),
    ("é", ["x", "é"]), (True, [1]),
])
def test_passing_value_is_returned_itself(value, options):
    assert validate_options(value, options) is value
    assert validate_options(value=value, options=options) is value


@pytest.mark.parametrize("value, options, text", [
    ("c", ["a", "b"], "Value=c doesn't match available options: ['a', 'b']."),
    (["a", "x"], ["a", "b"], "Value=['a', 'x'] doesn't match available options: ['a', 'b']."),
    (("a",), ["a"], "Value=('a',) doesn't match available options: ['a']."),
    (2**64, [2**64 + 1, "2"], "Value=18446744073709551616 doesn't match available options: [18446744073709551617, '2']."),
    ([1], [], "Value=[1] doesn't match available options: []."),
    ("q", ["it's", 'say "x"', "tab\t", "é", 1.5, None, False, b"b"],
     "Value=q doesn't match available options: "
     "[\"it's\", 'say \"x\"', 'tab\\t', 'é', 1.5, None, False, b'b']."),
])
def test_miss_raises_with_formatted_message(value, options, text):
    with pytest.raises(ValueError) as caught:
        validate_options(value, options)
    assert str(caught.value) == text


@pytest.mark.parametrize("options", [("a", "b"), None, type("Choices", (list,), {})(["a"]), {"a"}])
def test_options_must_be_exactly_a_list(options):
    with pytest.raises(TypeError) as caught:
        validate_options("a", options)
    expected = type(options).__name__
    assert str(caught.value) == f"Argument 'options' has incorrect type (expected list, got {expected})"


class Loud:
    """Records every comparison it takes part in; may raise or empty the list it sits in."""

    def __init__(self, name, log, fail=False, victim=None):
        self.name, self.log, self.fail, self.victim = name, log, fail, victim

    def __eq__(self, other):
        self.log.append((self.name, getattr(other, "name", other)))
        if self.victim is not None:
            self.victim.clear()
        if self.fail:
            raise KeyError(self.name)
        return NotImplemented

    __hash__ = object.__hash__

    def __format__(self, spec):
        return f"<{self.name}>"

    def __repr__(self):
        return f"Loud({self.name})"


def run_with_log(function, make):
    log = []
    return outcome(function, *make(log)), log


@pytest.mark.parametrize("make", [
    lambda log: (Loud("v", log), ["a", Loud("o1", log), 3, Loud("o2", log)]),
    lambda log: ([Loud("v1", log), "a"], ["a", Loud("o", log, fail=True)]),
    lambda log: (["a", Loud("v", log, fail=True)], ["b", "a"]),
    lambda log: (Loud("v", log), [Loud("o", log)]),
])
def test_user_equality_sees_the_same_calls_and_errors(make):
    assert run_with_log(validate_options, make) == run_with_log(reference, make)


def emptied_options(log):
    options = ["a", "b", "c"]
    options.insert(0, Loud("o", log, victim=options))
    return "c", options


def emptied_value(log):
    value = ["a", "b"]
    return value, [Loud("o", log, victim=value), "a"]


@pytest.mark.parametrize("make", [emptied_options, emptied_value])
def test_lists_emptied_by_a_comparison(make):
    assert run_with_log(validate_options, make) == run_with_log(reference, make)


def test_list_subclass_value_iterates_its_own_way():
    class Masked(list):
        def __iter__(self):
            return iter(["a"])

    value = Masked(["x"])
    assert validate_options(value, ["a"]) is value
    with pytest.raises(ValueError, match=r"^Value=\['x'\] doesn't"):
        validate_options(Masked(["x"]), ["b"])


# Small alphabets and ranges, so that equal-but-distinct and near-miss pairs are common.
scalars = (st.none() | st.booleans() | st.integers(-2, 2) | st.integers() | st.floats(-2, 2) | st.floats()
           | st.text("ab€", max_size=2) | st.text(max_size=3))
values = scalars | st.tuples(scalars) | st.lists(scalars, max_size=4)


@given(st.lists(scalars, max_size=6), st.data())
def test_matches_the_plain_function(options, data):
    pool = st.sampled_from(options) if options else scalars
    value = data.draw(values | pool | st.lists(pool | scalars, max_size=4))
    ours, theirs = outcome(validate_options, value, options), outcome(reference, value, options)
    assert ours[0] == theirs[0]
    assert ours[1] is value if ours[0] == "returned" else ours[1] == theirs[1]


class Rewriter:
    """An element whose comparison or text rewrites a list with fresh objects (the old ones are freed)."""

    def __init__(self, target, make):
        self.target, self.make = target, make

    def rewrite(self):
        self.target[:] = self.make()

    def __eq__(self, other):
        self.rewrite()
        return False

    __hash__ = object.__hash__

    def __repr__(self):
        self.rewrite()
        return "Rewriter"

    __format__ = lambda self, spec: repr(self)  # noqa: E731


def fresh_texts(*texts):
    return lambda: ["".join(list(text)) for text in texts]


def options_rewritten_by_value():
    options = ["x", "y"]
    return Rewriter(options, fresh_texts("p", "q", "r")), options


def value_rewritten_by_option():
    value = ["a", "b", "c"]
    return value, ["z", Rewriter(value, fresh_texts("b", "n")), "b", "n"]


def options_rewritten_while_shown():
    options = ["a", 1]
    options.append(Rewriter(options, lambda: [2**70, "long " * 20]))
    return "miss", options


def options_grown_by_value():
    options = ["a"]
    return [Rewriter(options, lambda: options[:1] + [f"grown {i}" for i in range(100)]), "a"], options


def value_iteration_empties_options():
    options = ["a", "b"]

    class Draining(list):
        def __iter__(self):
            options.clear()
            return super().__iter__()

    return Draining(["a"]), options


@pytest.mark.parametrize("make", [options_rewritten_by_value, value_rewritten_by_option, options_rewritten_while_shown,
                                  options_grown_by_value, value_iteration_empties_options])
def test_lists_rewritten_with_fresh_objects_mid_call(make):
    ours, theirs = outcome(validate_options, *make()), outcome(reference, *make())
    assert ours[0] == theirs[0]
    assert ours[1] == theirs[1]
