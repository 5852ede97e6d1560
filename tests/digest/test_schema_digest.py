"""The fingerprint must equal sha256 over json.dumps(dump, default=str, sort_keys=True), byte for byte."""

import datetime
import decimal
import enum
import hashlib
import json
import math
import pathlib
import re
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvan_models.schemas.utils.schema_digest import calculate_schema_digest
from korvan_utils.models.data_models.schema import ObjectSchema


class Record:
    """Anything with model_dump() is accepted; the dump may hold any value."""

    def __init__(self, dump):
        self.dump = dump

    def model_dump(self):
        return self.dump


class Colour(str, enum.Enum):
    RED = "red"
    BLUE = "blü"


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


class Plain(enum.Enum):
    ONE = 1


def reference(dump):
    return hashlib.sha256(json.dumps(dump, default=str, sort_keys=True).encode("utf-8")).hexdigest()


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**80), max_value=2**80),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(),
    st.sampled_from([Colour.RED, Colour.BLUE, Level.HIGH, Plain.ONE]),
    st.dates(),
    st.datetimes(),
    st.decimals(allow_nan=False),
    st.uuids(),
)
keys = st.one_of(st.text(), st.integers(), st.floats(allow_nan=False), st.booleans(), st.none())
values = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=5),
        st.lists(children, max_size=3).map(tuple),
        st.dictionaries(st.text(), children, max_size=5),
    ),
    max_leaves=40,
)


@settings(max_examples=300, deadline=None)
@given(values)
def test_matches_the_host_encoder_over_generated_values(dump):
    assert calculate_schema_digest(Record(dump)) == reference(dump)


@settings(max_examples=100, deadline=None)
@given(st.dictionaries(keys, scalars, max_size=1))
def test_non_text_keys_are_written_as_the_host_writes_them(dump):
    assert calculate_schema_digest(Record(dump)) == reference(dump)


@pytest.mark.parametrize(
    "text",
    ["plain", "é", "𝄞 above the basic plane", '"quoted" and \\back\\', "\x00\x1f\x7f", "\ud800 lone surrogate", "\u2028"],
)
def test_text_escapes(text):
    dump = {"title": text, text: [text]}
    assert calculate_schema_digest(Record(dump)) == reference(dump)


def test_floats_use_the_shortest_repr():
    dump = {"a": [0.1, 1e100, -0.0, 1.5e-300, math.inf, -math.inf, math.nan, 3.0, 2**0.5]}
    assert calculate_schema_digest(Record(dump)) == reference(dump)


EXAMPLES = sorted((pathlib.Path(__file__).parents[2] / "examples").glob("*/models/*/model.json"))


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.parent.name)
def test_example_schemas(path):
    schema = ObjectSchema.model_validate_json(path.read_text(encoding="utf-8"))
    digest = calculate_schema_digest(schema)
    assert re.fullmatch(r"[0-9a-f]{64}", digest)
    assert digest == reference(schema.model_dump())
    assert calculate_schema_digest(schema) == digest


def schema(**extra):
    data = {
        "title": "Book",
        "type": "object",
        "properties": {"name": {"type": "string"}, "pages": {"type": "number", "default": "3"}},
        "required": ["name", "pages"],
    }
    data.update(extra)
    return data


def test_mapping_order_does_not_matter_but_list_order_does():
    first = ObjectSchema.model_validate(schema())
    reordered = schema()
    reordered["properties"] = dict(reversed(list(reordered["properties"].items())))
    assert calculate_schema_digest(ObjectSchema.model_validate(reordered)) == calculate_schema_digest(first)
    swapped = ObjectSchema.model_validate(schema(required=["pages", "name"]))
    assert calculate_schema_digest(swapped) != calculate_schema_digest(first)


def test_non_ascii_title_is_hashed_as_escaped_text():
    record = ObjectSchema.model_validate(schema(title="Bücher"))
    dumped = json.dumps(record.model_dump(), default=str, sort_keys=True)
    assert dumped.isascii() and "\\u00fc" in dumped
    assert calculate_schema_digest(record) == hashlib.sha256(dumped.encode()).hexdigest()


def test_failures_are_the_host_encoders():
    with pytest.raises(TypeError, match="not supported between instances"):
        calculate_schema_digest(Record({"a": 1, 2: 3}))
    with pytest.raises(TypeError, match=r"^keys must be str, int, float, bool or None, not tuple$"):
        calculate_schema_digest(Record({(1,): 1}))
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError, match="^Circular reference detected$"):
        calculate_schema_digest(Record({"a": loop}))
    nested = []
    for _ in range(100_000):
        nested = [nested]
    with pytest.raises(RecursionError):
        calculate_schema_digest(Record(nested))


def test_errors_of_the_record_and_of_str_propagate():
    class Broken:
        def model_dump(self):
            raise KeyError("dump failed")

    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(KeyError, match="dump failed"):
        calculate_schema_digest(Broken())
    with pytest.raises(RuntimeError, match="no text"):
        calculate_schema_digest(Record({"a": Unprintable()}))
    with pytest.raises(AttributeError, match="model_dump"):
        calculate_schema_digest(None)


def test_a_value_seen_twice_is_not_a_cycle():
    shared = {"k": [1, 2]}
    dump = {"a": shared, "b": shared, "c": [shared, shared]}
    assert calculate_schema_digest(Record(dump)) == reference(dump)


def test_signature_and_binding_texts():
    import inspect

    assert str(inspect.signature(calculate_schema_digest)) == "(schema: 'ObjectSchema') -> 'str'"
    with pytest.raises(TypeError, match=r"^calculate_schema_digest\(\) takes exactly 1 positional argument \(2 given\)$"):
        calculate_schema_digest(1, 2)
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'record'"):
        calculate_schema_digest(1, record=1)
    when = datetime.date(2026, 1, 2)
    assert calculate_schema_digest(Record([when, uuid.UUID(int=5), decimal.Decimal("1.10")])) == reference(
        [when, uuid.UUID(int=5), decimal.Decimal("1.10")]
    )
