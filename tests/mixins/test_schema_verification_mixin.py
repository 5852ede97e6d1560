from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvan_models.errors import KorvanValidationError
from korvan_models.schemas.mixins import schema_verification_mixin as module
from korvan_models.schemas.mixins.schema_verification_mixin import SchemaVerificationMixin
from korvan_utils.models.data_models.schema import ObjectSchema

GROUPS = ["type_schemas", "core_schemas", "contrib_schemas", "user_schemas"]


class reference:
    """The same checks in plain Python."""

    def verify_schemas(self, type_schemas, core_schemas, contrib_schemas, user_schemas):
        self._verify_unique_schemas(type_schemas, core_schemas, contrib_schemas, user_schemas)
        self._verify_properties(type_schemas, core_schemas, contrib_schemas, user_schemas)

    @staticmethod
    def _verify_unique_schemas(type_schemas, core_schemas, contrib_schemas, user_schemas):
        all_schemas = type_schemas + core_schemas + contrib_schemas + user_schemas
        titles = set()
        for _schema in all_schemas:
            if _schema.title in titles:
                raise KorvanValidationError(f"Schema with title '{_schema.title}' is duplicated")
            titles.add(_schema.title)

    @staticmethod
    def _verify_properties(type_schemas, core_schemas, contrib_schemas, user_schemas):
        all_schemas = type_schemas + core_schemas + contrib_schemas + user_schemas
        for _schema in all_schemas:
            for _field in ("required", "indexed"):
                for _required_property in getattr(_schema, _field, []):
                    if _required_property not in (_schema.properties or {}):
                        raise KorvanValidationError(
                            f"Property {_required_property} marked as {_field} but wasn't found in class schema's "
                            "properties."
                        )
            for unique_group in getattr(_schema, "unique", []):
                for unique_property in unique_group:
                    if unique_property not in (_schema.properties or {}):
                        raise KorvanValidationError(
                            f"Property {unique_property} marked is used in 'unique' but wasn't found in class "
                            "schema's properties."
                        )


def schema(title, properties=None, **fields):
    props = None if properties is None else {name: {"type": "string"} for name in properties}
    return ObjectSchema.model_validate({"title": title, "type": "object", "properties": props, **fields})


def outcome(call, *groups):
    try:
        call(*groups)
    except KorvanValidationError as error:
        return error.args
    return None


def test_module_names_signatures_and_method_kinds():
    assert [n for n in vars(module) if not n.startswith("__")] == [
        "ObjectSchema", "KorvanValidationError", "SchemaVerificationMixin"]
    assert SchemaVerificationMixin.__bases__ == (object,)
    kinds = {n: type(v) for n, v in vars(SchemaVerificationMixin).items() if not n.startswith("__")}
    assert kinds == {"verify_schemas": type(SchemaVerificationMixin.verify_schemas),
                     "_verify_unique_schemas": staticmethod, "_verify_properties": staticmethod}
    annotations = {**{g: "list[ObjectSchema]" for g in GROUPS}, "return": "None"}
    for method in ("verify_schemas", "_verify_unique_schemas", "_verify_properties"):
        assert getattr(SchemaVerificationMixin, method).__annotations__ == annotations
    assert SchemaVerificationMixin.verify_schemas.__doc__ and SchemaVerificationMixin.__doc__


@pytest.mark.parametrize("groups, message", [
    ([[], [], [], []], None),
    ([[schema("Book")], [], [], [schema("book")]], None),
    ([[], [schema("Book")], [], [schema("Book")]], "Schema with title 'Book' is duplicated"),
    ([[schema("A", ["x"])], [], [], [schema("B", ["y"], required=["x"])]],
     "Property x marked as required but wasn't found in class schema's properties."),
    ([[], [], [schema("A", ["x"], required=["x"], indexed=["X"])], []],
     "Property X marked as indexed but wasn't found in class schema's properties."),
    ([[schema("A", None, required=["x"])], [], [], []],
     "Property x marked as required but wasn't found in class schema's properties."),
    ([[schema("A", [], indexed=["x"])], [], [], []],
     "Property x marked as indexed but wasn't found in class schema's properties."),
    ([[schema("A", ["x", "y"], unique=[["x"], [], ["y", "z"]])], [], [], []],
     "Property z marked is used in 'unique' but wasn't found in class schema's properties."),
    ([[schema("A", ["x"], unique=[[]])], [], [], [schema("B", [], unique=[])]], None),
    # required before indexed before unique within a schema; one schema's checks before the next's
    ([[schema("A", [], required=["r"], indexed=["i"], unique=[["u"]])], [], [], []],
     "Property r marked as required but wasn't found in class schema's properties."),
    ([[schema("A", [], unique=[["u"]])], [schema("B", [], required=["r"])], [], []],
     "Property u marked is used in 'unique' but wasn't found in class schema's properties."),
    # a duplicate is reported before any property problem, even one found earlier in the walk
    ([[schema("A", [], required=["r"])], [], [], [schema("A")]], "Schema with title 'A' is duplicated"),
])
def test_outcomes_and_messages(groups, message):
    expected = None if message is None else (message,)
    assert outcome(SchemaVerificationMixin().verify_schemas, *groups) == expected
    assert outcome(reference().verify_schemas, *groups) == expected


class Groups(list):
    pass


@pytest.mark.parametrize("method", ["verify_schemas", "_verify_unique_schemas", "_verify_properties"])
@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("bad", [(), None, Groups()])
def test_each_group_must_be_exactly_a_list(method, position, bad):
    groups = [[schema("A")], [schema("A")], [], []]  # a duplicate: only the type test may fire first
    groups[position] = bad
    later = position + 1
    if later < 4:
        groups[later] = "also wrong"
    with pytest.raises(TypeError) as caught:
        getattr(SchemaVerificationMixin(), method)(*groups)
    assert str(caught.value) == (
        f"Argument '{GROUPS[position]}' has incorrect type (expected list, got {type(bad).__name__})")


def test_static_methods_are_reached_through_the_instance():
    calls = []

    class Recording(SchemaVerificationMixin):
        def _verify_unique_schemas(self, *groups):
            calls.append(("unique", groups))

        @staticmethod
        def _verify_properties(*groups):
            calls.append(("properties", groups))

    groups = ([schema("A")], [schema("A")], [], [])
    Recording().verify_schemas(*groups)
    assert [name for name, _ in calls] == ["unique", "properties"]
    assert all(all(a is b for a, b in zip(args, groups)) for _, args in calls)
    assert SchemaVerificationMixin._verify_properties(*groups) is None


def test_missing_fields_are_empty_but_none_is_not_iterable():
    bare = SimpleNamespace(title="Bare", properties=None)
    assert SchemaVerificationMixin().verify_schemas([], [], [], [bare]) is None
    for field in ("required", "indexed", "unique"):
        broken = ObjectSchema.model_construct(title="B", type="object", properties={}, **{field: None})
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            SchemaVerificationMixin._verify_properties([broken], [], [], [])


def test_errors_of_the_records_propagate():
    class Exploding:
        @property
        def title(self):
            raise LookupError("no title")

    with pytest.raises(LookupError, match="no title"):
        SchemaVerificationMixin._verify_unique_schemas([], [Exploding()], [], [])
    with pytest.raises(TypeError, match="unhashable"):
        SchemaVerificationMixin._verify_properties([SimpleNamespace(properties=None, required=[["x"]])], [], [], [])


class Shrinking:
    """A property name whose hash empties the lists it sits in; equal to the text it wraps."""

    def __init__(self, text, victims):
        self.text, self.victims = text, victims

    def __hash__(self):
        for victim in self.victims:
            victim.clear()
        return hash(self.text)

    def __eq__(self, other):
        return self.text == other

    def __format__(self, spec):
        return f"<{self.text}>"


@pytest.mark.parametrize("field", ["required", "unique"])
@pytest.mark.parametrize("empty_properties", [False, True])
def test_lists_and_mappings_emptied_by_user_code_mid_check_are_read_safely(field, empty_properties):
    names, properties = [], {"x": 1, "missing": 2}
    record = SimpleNamespace(title="A", properties=properties, required=[], indexed=[], unique=[])
    setattr(record, field, names if field == "required" else [names, ["x"]])
    names.extend([Shrinking("x", [names, properties] if empty_properties else [names]), "missing", "gone"])
    groups = [[record], [], [], []]
    expected = outcome(reference._verify_properties, *groups)
    names[:] = [Shrinking("x", [names, properties] if empty_properties else [names]), "missing", "gone"]
    properties.update({"x": 1, "missing": 2})
    assert outcome(SchemaVerificationMixin._verify_properties, *groups) == expected


names = st.sampled_from(["x", "y", "z", "X"])
titles = st.sampled_from(["A", "a", "B", "Book"])
records = st.builds(
    lambda title, props, required, indexed, unique: schema(title, props, required=required, indexed=indexed,
                                                           unique=unique),
    titles, st.one_of(st.none(), st.lists(names, unique=True)), st.lists(names, max_size=3),
    st.lists(names, max_size=2), st.lists(st.lists(names, max_size=2), max_size=2))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(records, max_size=3), min_size=4, max_size=4))
def test_matches_the_plain_checks(groups):
    assert outcome(SchemaVerificationMixin().verify_schemas, *groups) == outcome(reference().verify_schemas, *groups)
