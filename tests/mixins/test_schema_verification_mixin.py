from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvan_models.errors import KorvanValidationError
from korvan_models.schemas.mixins import schema_verification_mixin as module
from korvan_models.schemas.mixins.schema_verification_mixin import SchemaVerificationMixin as Mixin
from korvan_utils.models.data_models.schema import ObjectSchema
from mixin_outcomes import outcome

GROUPS = ["type_schemas", "core_schemas", "contrib_schemas", "user_schemas"]


class reference:
    """The same checks in plain Python."""

    def verify_schemas(self, *groups):
        self._verify_unique_schemas(*groups)
        self._verify_properties(*groups)

    @staticmethod
    def _verify_unique_schemas(type_schemas, core_schemas, contrib_schemas, user_schemas):
        titles = set()
        for _schema in type_schemas + core_schemas + contrib_schemas + user_schemas:
            if _schema.title in titles:
                raise KorvanValidationError(f"Schema with title '{_schema.title}' is duplicated")
            titles.add(_schema.title)

    @staticmethod
    def _verify_properties(type_schemas, core_schemas, contrib_schemas, user_schemas):
        for _schema in type_schemas + core_schemas + contrib_schemas + user_schemas:
            for _field in ("required", "indexed"):
                for name in getattr(_schema, _field, []):
                    if name not in (_schema.properties or {}):
                        raise KorvanValidationError(
                            f"Property {name} marked as {_field} but wasn't found in class schema's properties.")
            for group in getattr(_schema, "unique", []):
                for name in group:
                    if name not in (_schema.properties or {}):
                        raise KorvanValidationError(
                            f"Property {name} marked is used in 'unique' but wasn't found in class schema's properties.")


def schema(title, properties=None, **fields):
    props = None if properties is None else {name: {"type": "string"} for name in properties}
    return ObjectSchema.model_validate({"title": title, "type": "object", "properties": props, **fields})


def test_module_names_signatures_and_method_kinds():
    assert [n for n in vars(module) if n[0] != "_"] == ["ObjectSchema", "KorvanValidationError",
                                                        "SchemaVerificationMixin"]
    assert Mixin.__bases__ == (object,) and not isinstance(vars(Mixin)["verify_schemas"], staticmethod)
    assert all(isinstance(vars(Mixin)[n], staticmethod) for n in ("_verify_unique_schemas", "_verify_properties"))
    annotations = {**{g: "list[ObjectSchema]" for g in GROUPS}, "return": "None"}
    for method in ("verify_schemas", "_verify_unique_schemas", "_verify_properties"):
        assert getattr(Mixin, method).__annotations__ == annotations


@pytest.mark.parametrize("groups, message", [
    ([[], [], [], []], None),
    ([[schema("Book")], [], [schema("A", ["x"], unique=[[]])], [schema("book", [], unique=[])]], None),
    ([[], [schema("Book")], [], [schema("Book")]], "Schema with title 'Book' is duplicated"),
    ([[schema("A", None, required=["x"])], [], [], []],
     "Property x marked as required but wasn't found in class schema's properties."),
    ([[], [], [schema("A", ["x"], required=["x"], indexed=["X"])], []],
     "Property X marked as indexed but wasn't found in class schema's properties."),
    ([[schema("A", [], unique=[["u"]])], [schema("B", [], required=["r"])], [], []],
     "Property u marked is used in 'unique' but wasn't found in class schema's properties."),
    ([[schema("A", [], required=["r"])], [], [], [schema("A")]], "Schema with title 'A' is duplicated"),
])
def test_outcomes_and_messages(groups, message):
    assert outcome(Mixin().verify_schemas, *groups) == (None if message is None else (message,))


@pytest.mark.parametrize("method", ["verify_schemas", "_verify_unique_schemas", "_verify_properties"])
@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("bad", [(), None, type("Groups", (list,), {})()])
def test_each_group_must_be_exactly_a_list(method, position, bad):
    groups = [[schema("A")], [schema("A")], [], [], "also wrong"]  # a duplicate, found only after the type tests
    groups[position:position + 2] = [bad, "also wrong"]
    with pytest.raises(TypeError) as caught:
        getattr(Mixin(), method)(*groups[:4])
    assert str(caught.value) == f"Argument '{GROUPS[position]}' has incorrect type (expected list, got " \
                                f"{type(bad).__name__})"


def test_static_methods_are_reached_through_the_instance():
    calls = []

    class Recording(Mixin):
        def _verify_unique_schemas(self, *groups):
            calls.append(groups)

        _verify_properties = staticmethod(lambda *groups: calls.append(groups))

    groups = ([schema("A")], [schema("A")], [], [])
    Recording().verify_schemas(*groups)
    assert len(calls) == 2 and all(all(a is b for a, b in zip(args, groups)) for args in calls)


def test_missing_fields_are_empty_but_none_is_not_iterable():
    assert Mixin().verify_schemas([], [], [], [SimpleNamespace(title="Bare", properties=None)]) is None
    for field in ("required", "indexed", "unique"):
        broken = ObjectSchema.model_construct(title="B", type="object", properties={}, **{field: None})
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            Mixin._verify_properties([broken], [], [], [])


class Shrinking(str):
    """A property name whose hash empties the lists and mappings it is given."""

    def __hash__(self):
        for victim in self.victims:
            victim.clear()
        return str.__hash__(self)


@pytest.mark.parametrize("field", ["required", "unique"])
@pytest.mark.parametrize("empty_properties", [False, True])
def test_lists_and_mappings_emptied_by_user_code_mid_check_are_read_safely(field, empty_properties):
    def run(check):
        names, properties = [Shrinking("x"), "missing", "gone"], {"x": 1, "missing": 2}
        names[0].victims = [names, properties] if empty_properties else [names]
        record = SimpleNamespace(title="A", properties=properties, required=[], indexed=[], unique=[])
        setattr(record, field, names if field == "required" else [names, ["x"]])
        return outcome(check, [record], [], [], [])

    assert run(Mixin._verify_properties) == run(reference._verify_properties)


names = st.sampled_from(["x", "y", "z", "X"])
records = st.builds(
    lambda title, props, required, indexed, unique: schema(title, props, required=required, indexed=indexed,
                                                           unique=unique),
    st.sampled_from(["A", "a", "B", "Book"]), st.one_of(st.none(), st.lists(names, unique=True)),
    st.lists(names, max_size=3), st.lists(names, max_size=2), st.lists(st.lists(names, max_size=2), max_size=2))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(records, max_size=3), min_size=4, max_size=4))
def test_matches_the_plain_checks(groups):
    assert outcome(Mixin().verify_schemas, *groups) == outcome(reference().verify_schemas, *groups)
