"""Schema merge and table layout against the tests' plain-Python twins with the same steps."""

import copy
import pathlib
import sys
import timeit

import _timing
from _timing import compare

from korvan_models.schemas.utils.merger import merge_schema
from korvan_models.schemas.utils.table_layout import _process_property_type, object_schema_to_table_schema
from korvan_utils.config.manager import KorvanConfigManager
from korvan_utils.models.data_models.address import Address
from korvan_utils.models.data_models.schema import ObjectSchema
from korvan_utils.models.data_models.table_schema import TableColumnSchema, TableSchema

TESTS = pathlib.Path(__file__).resolve().parents[1] / "tests"
sys.path[:0] = [str(TESTS / "merge"), str(TESTS / "table_layout")]

from test_merger import reference_merge_schema  # noqa: E402
from test_table_layout import reference_property_type, reference_table  # noqa: E402


def schema_mapping(title, first, count, flavour):
    """A schema in its JSON form: `count` properties from number `first` on, with lists and unique groups."""
    names = [f"prop_{i:03d}" for i in range(first, first + count)]
    properties = {
        name: {
            "type": ("string", "number", "array", "Author")[i % 4],
            "description": f"{flavour} description of {name}",
            "items": {"type": "string"} if i % 4 == 2 else None,
            "options": [{"value": f"{flavour}_{k}"} for k in range(3)] if i % 5 == 0 else None,
            "tags": [f"{flavour}_tag_{k}" for k in range(i % 4)],
            "field_id": i,
            "is_deleted": False,
        }
        for i, name in enumerate(names)
    }
    return {
        "title": title,
        "type": "object",
        "version": 2,
        "properties": properties,
        "required": names[::2],
        "indexed": names[::5],
        "unique": [[names[i + 1], names[i]] for i in range(0, 40, 4)],
    }


def nested_mapping(flavour, first, count=200):
    """`count` keys, each holding a small nested mapping with a scalar, a mapping and a list."""
    return {f"key_{i:03d}": {"name": f"{flavour}{i}", "inner": {"a": i, "b": [i, i + 1]}, "tags": [f"t{i % 7}"]}
            for i in range(first, first + count)}


def compare_fresh(label, parent, child, target, runs=40, repeat=9):
    """merge_schema into fresh copies of `parent` (made outside the timing), interleaved with the twin."""
    best = {"ours": float("inf"), "plain": float("inf")}
    for _ in range(repeat):
        for side, merge in (("plain", reference_merge_schema), ("ours", merge_schema)):
            parents = [copy.deepcopy(parent) for _ in range(runs)]
            start = timeit.default_timer()
            for fresh in parents:
                merge(fresh, child)
            best[side] = min(best[side], (timeit.default_timer() - start) / runs)
    ratio = best["ours"] / best["plain"]
    verdict = "ok" if ratio <= target else "OVER TARGET"
    print(f"{label:<60} ours {best['ours'] * 1e6:10.3f} us  plain {best['plain'] * 1e6:10.3f} us  "
          f"ratio {ratio:5.2f} (target <= {target:.2f}) {verdict}")
    _timing.RESULTS.append((label, best["ours"], best["plain"], ratio, target))


def record(count):
    properties = {f"prop_{i:02d}": {"type": ("string", "number", "Author", "OrderLine", "binary")[i % 5]}
                  for i in range(count)}
    return ObjectSchema.model_validate(
        {"title": "Book", "type": "object", "properties": properties, "required": list(properties)[::3]})


def records_only(object_schema):
    """The outside records alone, built from values worked out in advance: what no conversion can save."""
    names = [(p.field_name, p.field_id, p.is_deleted, str, p.default, True) for p in object_schema.properties.values()]
    keys = ("name", "field_id", "is_deleted", "type", "default", "nullable")

    def build():
        connection = KorvanConfigManager().get_connection_name_by_model_name("Book")
        address = Address(resource=connection, class_name="Book", class_version="1", object_id="", object_version="")
        columns = [TableColumnSchema(**dict(zip(keys, values))) for values in names]
        return TableSchema(address=address, columns=columns, indexed=[], unique_columns=[])

    return build


def main():
    parent = schema_mapping("Base", 0, 200, "parent")
    child = schema_mapping("Derived", 100, 200, "child")
    ours_parent, plain_parent = copy.deepcopy(parent), copy.deepcopy(parent)
    assert merge_schema(copy.deepcopy(parent), child) == reference_merge_schema(copy.deepcopy(parent), child)
    # Merging again into the merged parent repeats the same steps: every key is then in both.
    compare("merge_schema two 200-property schemas (100 shared)", lambda: merge_schema(ours_parent, child),
            lambda: reference_merge_schema(plain_parent, child), 0.5, repeat=5)
    # A first merge into a fresh parent: new keys are copied, shared ones merged.
    compare_fresh("merge_schema two 200-property schemas, fresh parent", parent, child, 0.5)
    nested_parent, nested_child = nested_mapping("parent", 0), nested_mapping("child", 100)
    assert merge_schema(copy.deepcopy(nested_parent), nested_child) == reference_merge_schema(
        copy.deepcopy(nested_parent), nested_child)
    compare_fresh("merge_schema two 200-key nested mappings, fresh parent", nested_parent, nested_child, 0.5)
    merged_ours = merge_schema(copy.deepcopy(nested_parent), nested_child)
    merged_plain = reference_merge_schema(copy.deepcopy(nested_parent), nested_child)
    compare("merge_schema two 200-key nested mappings, merged again", lambda: merge_schema(merged_ours, nested_child),
            lambda: reference_merge_schema(merged_plain, nested_child), 0.5, repeat=5)

    type_names = ["number", "boolean", "string", "array", "dictionary", "binary", "object", "Author", "OrderLine",
                  "date"]
    assert [_process_property_type(t) for t in type_names] == [reference_property_type(t) for t in type_names]

    def ours_types():
        for type_name in type_names:
            _process_property_type(type_name)

    def plain_types():
        for type_name in type_names:
            reference_property_type(type_name)

    compare("_process_property_type over 10 type names", ours_types, plain_types, 0.5)

    object_schema = record(20)
    assert object_schema_to_table_schema(object_schema) == reference_table(object_schema)
    compare("object_schema_to_table_schema 20 properties", lambda: object_schema_to_table_schema(object_schema),
            lambda: reference_table(object_schema), 1.0, repeat=5)
    build = records_only(object_schema)
    number, records, ours = 200, float("inf"), float("inf")
    for _ in range(7):  # interleaved, as compare() does
        records = min(records, timeit.timeit(build, number=number) / number)
        ours = min(ours, timeit.timeit(lambda: object_schema_to_table_schema(object_schema), number=number) / number)
    print(f"  records alone {records * 1e6:.1f} us of ours {ours * 1e6:.1f} us: "
          f"our own share {max(0.0, 1 - records / ours):.0%}")


if __name__ == "__main__":
    main()
