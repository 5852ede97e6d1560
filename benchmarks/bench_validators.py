"""The value validators and the literal node builder against plain-Python functions with the same bodies."""

import ast
import pathlib
import sys
import warnings

from _timing import compare

from korvan_models.classes.builder.ast_generator.helpers import make_literal_node as literal_module
from korvan_models.classes.builder.validators.choice_checks import validate_options
from korvan_models.classes.builder.validators.mapping_checks import validate_non_empty_keys


# The plain-Python bodies are the tests' reference implementations: one copy of each.
TESTS = pathlib.Path(__file__).resolve().parents[1] / "tests"
sys.path[:0] = [str(TESTS / "validators"), str(TESTS / "literal")]

from test_choice_checks import reference as plain_validate_options  # noqa: E402
from test_make_literal_node import reference as plain_make_literal_node  # noqa: E402
from test_mapping_checks import reference as plain_validate_non_empty_keys  # noqa: E402


def fresh(text):
    """An equal str that is not the same object, as values parsed from input are."""
    return "".join(list(text))


def raising(function, *args):
    def run():
        try:
            function(*args)
        except ValueError:
            pass

    return run


def literal_value(nodes):
    """A nested record of about `nodes` nodes: dicts of scalars and lists, like a fixture document."""
    rows = []
    count = 1
    while count < nodes:
        row = {"name": f"row {len(rows)}", "size": len(rows), "ratio": len(rows) / 7, "on": len(rows) % 2 == 0,
               "note": None, "tags": ["a", "b", 3], "meta": {"k": "v", "n": [1, 2]}}
        rows.append(row)
        count += 15
    return {"rows": rows}


def count_values(value):
    if isinstance(value, dict):
        return 1 + sum(count_values(v) for v in value.values())
    if isinstance(value, list):
        return 1 + sum(count_values(v) for v in value)
    return 1


def main():
    options = [f"option_{i:02d}" for i in range(50)]
    hit = fresh("option_31")
    miss = fresh("option_99")
    many = [fresh(options[(i * 7) % 50]) for i in range(20)]
    compare("validate_options scalar hit (50 options)", lambda: validate_options(hit, options),
            lambda: plain_validate_options(hit, options), 0.5)
    compare("validate_options scalar miss, raises (50 options)", raising(validate_options, miss, options),
            raising(plain_validate_options, miss, options), 0.5)
    compare("validate_options 20-element list (50 options)", lambda: validate_options(many, options),
            lambda: plain_validate_options(many, options), 0.5)

    keys = {fresh(f"key_{i}"): i for i in range(50)}
    compare("validate_non_empty_keys 50-key dict", lambda: validate_non_empty_keys(keys),
            lambda: plain_validate_non_empty_keys(keys), 0.5)
    empty_last = {**keys, fresh(""): 50}
    compare("validate_non_empty_keys empty key last, raises (51 keys)", raising(validate_non_empty_keys, empty_last),
            raising(plain_validate_non_empty_keys, empty_last), 0.5)

    value = literal_value(1000)
    make_literal_node = literal_module.make_literal_node
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert ast.dump(make_literal_node(value)) == ast.dump(plain_make_literal_node(value))
        compare(f"make_literal_node nested value ({count_values(value)} nodes)", lambda: make_literal_node(value),
                lambda: plain_make_literal_node(value), 0.7, repeat=5)


if __name__ == "__main__":
    main()
