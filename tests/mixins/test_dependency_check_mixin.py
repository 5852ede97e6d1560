from types import SimpleNamespace

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvan_models.errors import KorvanValidationError
from korvan_models.schemas.mixins import dependency_check_mixin as module
from korvan_models.schemas.mixins.dependency_check_mixin import DependencyCheckMixin as Mixin
from korvan_utils.models.data_models.core import DictSchema, LegacyDictSchema, TypeData
from korvan_utils.models.data_models.enums import CoreTypes
from korvan_utils.models.data_models.schema import ObjectSchema
from mixin_outcomes import outcome


class reference:
    """The same check in plain Python."""

    def check_dependencies(self, type_schemas, core_schemas, contrib_schemas, user_schemas):
        defined = {s.title.lower() for s in type_schemas}
        defined.update(s.title for s in core_schemas + contrib_schemas + user_schemas)
        for _schema in type_schemas + core_schemas + contrib_schemas + user_schemas:
            for _dependency in self.get_dependency_type_names(_schema):
                if _dependency not in defined:
                    raise KorvanValidationError(
                        f"Class {_dependency} is undefined! This class is set as dependency for {_schema.title}")

    @staticmethod
    def get_dependency_type_names(schema):
        _dependencies = {schema.type}
        if schema.properties:
            for _property in schema.properties.values():
                _dependencies.add(_property.type)
                if _property.type == CoreTypes.ARRAY and isinstance(_property.items, TypeData):
                    _dependencies.add(_property.items.type)
                elif _property.type == CoreTypes.DICTIONARY:
                    if isinstance(_property.items, LegacyDictSchema):
                        _dependencies.add(_property.items.key_type)
                        _dependencies.add(_property.items.value_type)
                    elif isinstance(_property.items, DictSchema):
                        _dependencies.add(_property.items.key.type)
                        _dependencies.add(_property.items.value.type)
        _dependencies.discard(schema.title)
        return _dependencies


def schema(title, base="object", **properties):
    return ObjectSchema.model_validate({"title": title, "type": base, "properties": properties or None})


TYPES = [schema(t) for t in ("Object", "String", "Array", "Dictionary", "Number")]


def test_module_names_signatures_and_method_kinds():
    assert [n for n in vars(module) if n[0] != "_"] == [
        "DictSchema", "LegacyDictSchema", "TypeData", "CoreTypes", "ObjectSchema", "KorvanValidationError",
        "DependencyCheckMixin"]
    assert isinstance(vars(Mixin)["get_dependency_type_names"], staticmethod) and Mixin.__bases__ == (object,)
    assert Mixin.get_dependency_type_names.__annotations__ == {"schema": "ObjectSchema", "return": "set[str]"}
    assert Mixin.check_dependencies.__annotations__ == {
        "type_schemas": "list[ObjectSchema]", "core_schemas": "list[ObjectSchema]",
        "contrib_schemas": "list[ObjectSchema]", "user_schemas": "list[ObjectSchema]", "return": "None"}


@pytest.mark.parametrize("properties, names", [
    ({}, {"object"}),
    ({"a": {"type": "array", "items": {"type": "Author", "items": {"type": "Deep"}}}}, {"object", "array", "Author"}),
    ({"a": {"type": "dictionary", "items": {"key": {"type": "string"}, "value": {"type": "Author"}}}},
     {"object", "dictionary", "string", "Author"}),
    ({"a": {"type": "dictionary", "items": {"key_type": "K", "value_type": "V"}}}, {"object", "dictionary", "K", "V"}),
    ({"a": {"type": "array", "items": {"key_type": "K", "value_type": "V"}}, "b": {"type": "Book"}}, {"object", "array"}),
    ({"a": {"type": "Array", "items": {"type": "X"}}, "b": {"type": "dictionary"}}, {"object", "Array", "dictionary"}),
])
def test_dependency_type_names(properties, names):
    assert Mixin.get_dependency_type_names(schema("Book", **properties)) == names


@pytest.mark.parametrize("groups, message", [
    ([[], [], [], []], None),
    ([TYPES, [], [], [schema("Book", a={"type": "string"}, b={"type": "Book"}, c={"type": "Author"})]],
     "Class Author is undefined! This class is set as dependency for Book"),
    ([TYPES, [schema("Author")], [], [schema("Book", a={"type": "String"})]],
     "Class String is undefined! This class is set as dependency for Book"),
    ([TYPES, [schema("Author")], [], [schema("Book", a={"type": "author"})]],
     "Class author is undefined! This class is set as dependency for Book"),
    ([[schema("Object", base="Object"), schema("String", base="object", a={"type": "String"})], [], [], []], None),
    ([TYPES, [], [schema("Author", base="Person")], []],
     "Class Person is undefined! This class is set as dependency for Author"),
    ([TYPES, [], [], [schema("Book", a={"type": "dictionary", "items": {"key_type": "string", "value_type": "V"}})]],
     "Class V is undefined! This class is set as dependency for Book"),
])
def test_outcomes_and_messages(groups, message):
    assert outcome(Mixin().check_dependencies, *groups) == (None if message is None else (message,))


@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("bad", [(), None, type("Groups", (list,), {})()])
def test_each_group_must_be_exactly_a_list(position, bad):
    groups = [[], [], [], [schema("Book", base="Nowhere")], "also wrong"]
    groups[position:position + 2] = [bad, "also wrong"]
    with pytest.raises(TypeError) as caught:
        Mixin().check_dependencies(*groups[:4])
    name = ["type_schemas", "core_schemas", "contrib_schemas", "user_schemas"][position]
    assert str(caught.value) == f"Argument '{name}' has incorrect type (expected list, got {type(bad).__name__})"


def test_the_static_method_is_reached_through_the_instance_and_its_set_is_read():
    class Narrow(Mixin):
        def get_dependency_type_names(self, schema):
            return ["object", 7.5, "Missing"] if schema.title == "Book" else set()

    with pytest.raises(KorvanValidationError) as caught:
        Narrow().check_dependencies([schema("Object")], [], [], [schema("Other", base="Nowhere"), schema("Book")])
    assert str(caught.value) == "Class 7.5 is undefined! This class is set as dependency for Book"


schemas = st.builds(
    lambda title, base, props: schema(title, base, **{f"p{i}": p for i, p in enumerate(props)}),
    st.sampled_from(["A", "B", "Object", "String"]), st.sampled_from(["object", "A", "B"]),
    st.lists(st.builds(lambda t, items: {"type": t, **({"items": items} if items else {})},
                       st.sampled_from(["string", "array", "dictionary", "A", "B", "b"]),
                       st.sampled_from([None, {"type": "A"}, {"type": "c"}, {"key_type": "string", "value_type": "B"},
                                        {"key": {"type": "string"}, "value": {"type": "Q"}}])), max_size=4))


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(schemas, max_size=3), min_size=4, max_size=4))
def test_matches_the_plain_check(groups):
    ours = [Mixin.get_dependency_type_names(s) for group in groups for s in group]
    assert ours == [reference.get_dependency_type_names(s) for group in groups for s in group]
    assert outcome(Mixin().check_dependencies, *groups) == outcome(reference().check_dependencies, *groups)


class Described:
    """A property record whose `type` comes from a descriptor, whatever its own __dict__ holds."""

    @property
    def type(self):
        return "FromProperty"


class Fallback:
    def __getattr__(self, name):
        return "FromGetattr" if name == "type" else None


class Intercepted:
    def __getattribute__(self, name):
        return "FromGetattribute" if name == "type" else object.__getattribute__(self, name)


class Slotted:
    __slots__ = ("type", "items")


class LooksLikeTypeData:
    """Claims TypeData as its __class__, which isinstance honours."""

    __class__ = TypeData
    type = "Claimed"


def record(cls, **fields):
    made = cls()
    for key, value in fields.items():
        object.__setattr__(made, key, value)
    return made


@pytest.mark.parametrize("make, expected", [
    (lambda: record(Described, items=None, __dict__={"type": "FromDict"}), {"object", "FromProperty"}),
    (lambda: record(Fallback, items=None), {"object", "FromGetattr"}),
    (lambda: record(Intercepted, items=None, type="FromDict"), {"object", "FromGetattribute"}),
    (lambda: record(Slotted, type="array", items=TypeData(type="Slot")), {"object", "array", "Slot"}),
    (lambda: record(Slotted, type="array", items=LooksLikeTypeData()), {"object", "array", "Claimed"}),
])
def test_record_reads_honour_descriptors_hooks_and_class_claims(make, expected):
    for _ in range(3):  # the first read decides how the record type is read; later reads reuse it
        schema = SimpleNamespace(type="object", title="T", properties={"p": make()})
        assert Mixin.get_dependency_type_names(schema) == reference.get_dependency_type_names(schema) == expected


def test_a_record_class_changed_after_reads_is_read_afresh():
    class Record:
        pass

    def names():
        prop = Record()
        vars(prop).update(type="FromDict", items=None)
        return Mixin.get_dependency_type_names(SimpleNamespace(type="object", title="T", properties={"p": prop}))

    assert names() == names() == {"object", "FromDict"}
    Record.type = property(lambda self: "FromNewProperty")
    assert names() == {"object", "FromNewProperty"}
    del Record.type
    Record.__getattribute__ = lambda self, name: "Intercepted" if name == "type" else object.__getattribute__(self, name)
    assert names() == {"object", "Intercepted"}


def test_records_of_one_class_with_fields_in_different_orders():
    class Record:
        pass

    first, second = Record(), Record()
    vars(first).update(type="array", items=TypeData(type="First"))
    vars(second).update(items=TypeData(type="Second"), extra=1, type="array")
    for prop in (first, second, first, second):
        schema = SimpleNamespace(type="object", title="T", properties={"p": prop})
        assert Mixin.get_dependency_type_names(schema) == {"object", "array", prop.items.type}


class Text(str):
    """A title text whose equality and hash are its own; each comparison is counted."""

    compared = 0

    def __eq__(self, other):
        Text.compared += 1
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def plain_schema(title, base, *types):
    return SimpleNamespace(title=title, type=base, properties={f"p{i}": SimpleNamespace(type=t, items=None)
                                                               for i, t in enumerate(types)})


@pytest.mark.parametrize("groups", [
    [[plain_schema("Object", "object")], [], [], [plain_schema(Text("Book"), "object", "Book", "object")]],
    [[plain_schema("Object", "object")], [], [], [plain_schema("Book", "object", Text("Book"), Text("Nowhere"))]],
    [[plain_schema(Text("Object"), "object")], [], [], [plain_schema("Book", "object", "Book", "Page")]],
    [[plain_schema("Object", "object")], [plain_schema("Page", "object")], [], [plain_schema("Book", "object", "Page")]],
])
def test_titles_and_types_with_their_own_equality_see_the_same_comparisons(groups):
    Text.compared = 0
    expected = outcome(reference().check_dependencies, *groups)
    compared = Text.compared
    Text.compared = 0
    assert outcome(Mixin().check_dependencies, *groups) == expected
    assert Text.compared == compared


def test_the_method_is_read_for_every_schema_from_the_instance_or_its_class():
    class Counted(Mixin):
        reads = 0

        def __getattribute__(self, name):
            if name == "get_dependency_type_names":
                Counted.reads += 1
            return super().__getattribute__(name)

    groups = [TYPES, [], [], [schema("Book", a={"type": "string"}), schema("Page")]]
    Counted().check_dependencies(*groups)
    assert Counted.reads == len(TYPES) + 2

    mixin, seen = Mixin(), []
    mixin.get_dependency_type_names = lambda s: seen.append(s.title) or set()
    mixin.check_dependencies(*groups)
    assert seen == [s.title for s in TYPES] + ["Book", "Page"]

    class Replaced(Mixin):
        pass

    Replaced().check_dependencies(*groups)
    Replaced.get_dependency_type_names = staticmethod(lambda s: {"Nowhere"})
    with pytest.raises(KorvanValidationError, match="Class Nowhere is undefined"):
        Replaced().check_dependencies(*groups)
