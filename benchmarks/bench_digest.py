"""The schema fingerprint beside the plain steps it stands for: sha256 over json.dumps(dump, default=str, sort_keys=True)."""

import datetime
import hashlib
import json
import uuid

from _timing import compare

from korvan_models.schemas.utils.schema_digest import calculate_schema_digest
from korvan_utils.models.data_models.schema import ObjectSchema


class Record:
    """A record whose dump is a prepared value: times the encoder alone."""

    def __init__(self, dump):
        self.dump = dump

    def model_dump(self):
        return self.dump


def plain_schema_digest(schema):
    return hashlib.sha256(json.dumps(schema.model_dump(), default=str, sort_keys=True).encode()).hexdigest()


def wide_schema(count=200):
    """An ObjectSchema with ``count`` properties of assorted kinds."""
    kinds = [
        {"type": "string", "default": "text"},
        {"type": "number", "default": 1.5},
        {"type": "boolean", "default": True},
        {"type": "array", "items": {"type": "string"}},
        {"type": "dictionary", "items": {"key": {"type": "string"}, "value": {"type": "number"}}},
        {"type": "string", "options": [{"value": "a", "label": "A"}, {"value": "b"}]},
    ]
    properties = {f"field_{i:03d}": dict(kinds[i % len(kinds)], description=f"Field {i}") for i in range(count)}
    document = {
        "title": "Wide",
        "type": "object",
        "description": "A wide model",
        "properties": properties,
        "required": list(properties)[:50],
        "indexed": list(properties)[:10],
        "unique": [list(properties)[:2]],
    }
    return ObjectSchema.model_validate_json(json.dumps(document))


def rows(count):
    """A fixture-like document: mappings of text, numbers, lists and values written through str()."""
    return {
        "rows": [
            {"name": f"row {i} é", "size": i, "ratio": i / 7, "on": i % 2 == 0, "note": None,
             "tags": ["a", "b", i], "when": datetime.date(2026, 1, 1 + i % 28), "id": uuid.UUID(int=i),
             "meta": {"k": "v", "n": [1, 2.5]}}
            for i in range(count)
        ]
    }


def deep(depth):
    value = {"leaf": [1, "x"]}
    for i in range(depth):
        value = {"level": i, "child": value, "siblings": [i, str(i)]}
    return value


def main():
    schema = wide_schema()
    assert calculate_schema_digest(schema) == plain_schema_digest(schema)
    compare("calculate_schema_digest, 200 properties", lambda: calculate_schema_digest(schema),
            lambda: plain_schema_digest(schema), 1.0)
    for label, dump in (("500 fixture-like rows", rows(500)), ("nested 500 levels deep", deep(500))):
        record = Record(dump)
        assert calculate_schema_digest(record) == plain_schema_digest(record)
        compare(f"calculate_schema_digest, {label}", lambda record=record: calculate_schema_digest(record),
                lambda record=record: plain_schema_digest(record), 1.0)


if __name__ == "__main__":
    main()
