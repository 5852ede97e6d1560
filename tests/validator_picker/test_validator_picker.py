"""Which validators a property of a generated class gets, under which names."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from korvan_models.classes.builder import validator_picker as module
from korvan_models.classes.builder.validator_picker import ValidatorPicker
from korvan_models.classes.builder.validators.choice_checks import validate_options
from korvan_models.classes.builder.validators.mapping_checks import validate_non_empty_keys
from korvan_utils.models.data_models.schema import OptionItem, PropertyData


def prop(type_="string", options=None):
    if options is not None:
        options = [OptionItem(value=v) for v in options]
    return PropertyData(type=type_, options=options)


@pytest.mark.parametrize("type_", ["string", "number", "Person"])
@pytest.mark.parametrize("options", [None, []])
def test_no_rule_applies(type_, options):
    assert ValidatorPicker.process_property("Name", prop(type_, options)) == []


@pytest.mark.parametrize("type_", ["dictionary", "Dictionary", "DICTIONARY"])
def test_dictionary_gets_the_non_empty_keys_check(type_):
    picked = ValidatorPicker.process_property("Meta", prop(type_))
    assert picked == [("_non_empty_keys_meta", validate_non_empty_keys, None)]
    assert picked[0][1] is validate_non_empty_keys and type(picked[0]) is tuple


@pytest.mark.parametrize(
    "values, expected", [(["b", "a", "b"], ["a", "b"]), ([3, 1, 2, 1], [1, 2, 3]), ([2.5, 1, 2], [1, 2, 2.5])]
)
def test_options_are_sorted_and_distinct(values, expected):
    ((name, validator, options),) = ValidatorPicker.process_property("MyField", prop("string", values))
    assert name == "validate_value_in_options_myfield" and validator is validate_options
    assert options == expected and type(options) is list


def test_both_rules_dictionary_first():
    picked = ValidatorPicker.process_property("Tags", prop("dictionary", ["x"]))
    assert [p[0] for p in picked] == ["_non_empty_keys_tags", "validate_value_in_options_tags"]
    assert picked[1][2] == ["x"]
    assert ValidatorPicker.process_property("Tags", prop("dictionary", ["x"])) is not picked


def test_subclass_replaces_the_table():
    def check(value, options):
        return value

    class Picker(ValidatorPicker):
        TYPE_BASED_VALIDATORS = {"string": ("_check_{FIELD_NAME}_{FIELD_NAME}", check)}

    assert Picker.process_property("Ab", prop("String")) == [("_check_ab_ab", check, None)]
    assert Picker.process_property("Ab", prop("dictionary")) == []
    assert ValidatorPicker.process_property("Ab", prop("string")) == []


def test_the_table_is_read_twice_through_descriptors_metaclasses_and_later_changes():
    reads = []
    table = {"string": ("_t_{FIELD_NAME}", len)}

    class Counted:  # a descriptor as the table: its __get__ answers each read
        def __get__(self, instance, owner):
            reads.append(owner.__name__)
            return table

    class Meta(type):
        @property
        def TYPE_BASED_VALIDATORS(cls):  # noqa: N802 - the metaclass's data descriptor wins the read
            reads.append("meta")
            return table

    class ByDescriptor(ValidatorPicker):
        TYPE_BASED_VALIDATORS = Counted()

    class ByMetaclass(ValidatorPicker, metaclass=Meta):
        pass

    class Later(ValidatorPicker):
        pass

    for picker in (ByDescriptor, ByMetaclass):
        assert picker.process_property("Ab", prop()) == [("_t_ab", len, None)]
    assert reads == ["ByDescriptor", "ByDescriptor", "meta", "meta"]
    assert Later.process_property("Ab", prop()) == []
    Later.TYPE_BASED_VALIDATORS = table  # a class changed after use is read afresh
    assert Later.process_property("Ab", prop()) == [("_t_ab", len, None)]
    del Later.TYPE_BASED_VALIDATORS
    ValidatorPicker.TYPE_BASED_VALIDATORS["string"] = ("_s_{FIELD_NAME}", len)
    try:
        assert Later.process_property("Ab", prop()) == [("_s_ab", len, None)]
    finally:
        del ValidatorPicker.TYPE_BASED_VALIDATORS["string"]


@pytest.mark.parametrize(
    "entry, message",
    [(("a", len, None), "too many values to unpack (expected 2)"), (("a",), "need more than 1 value to unpack")],
)
def test_table_entries_must_be_pairs(entry, message):
    class Picker(ValidatorPicker):
        TYPE_BASED_VALIDATORS = {"string": entry}

    with pytest.raises(ValueError) as caught:
        Picker.process_property("a", prop())
    assert str(caught.value) == message


class Text(str):
    pass


@pytest.mark.parametrize("name, shown", [(None, "NoneType"), (Text("a"), "Text"), (1, "int")])
def test_property_name_must_be_exactly_text(name, shown):
    with pytest.raises(TypeError) as caught:
        ValidatorPicker.process_property(name, prop())
    assert str(caught.value) == f"Argument 'property_name' has incorrect type (expected str, got {shown})"


@pytest.mark.parametrize(
    "config, error",
    [
        (SimpleNamespace(type="string", options=[SimpleNamespace(value="a"), SimpleNamespace(value=1)]), TypeError),
        (SimpleNamespace(type="string", options=[SimpleNamespace(value=["a"])]), TypeError),
        (SimpleNamespace(type="string", options=[SimpleNamespace()]), AttributeError),
        (SimpleNamespace(type=None, options=None), AttributeError),
    ],
)
def test_bad_configs(config, error):
    with pytest.raises(error):
        ValidatorPicker.process_property("a", config)


def test_class_and_module_shape():
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == ["Callable", "Any", "ClassVar", "PropertyData", "validate_non_empty_keys", "validate_options",
                     "ValidatorPicker"]
    assert ValidatorPicker.__bases__ == (object,)
    assert ValidatorPicker.__annotations__ == {"TYPE_BASED_VALIDATORS": "ClassVar[dict[str, Any]]"}
    assert ValidatorPicker.TYPE_BASED_VALIDATORS == {
        "dictionary": ("_non_empty_keys_{FIELD_NAME}", validate_non_empty_keys)
    }
    method = ValidatorPicker.__dict__["process_property"]
    assert isinstance(method, classmethod)
    assert method.__func__.__qualname__ == "ValidatorPicker.process_property"
    assert method.__func__.__annotations__ == {
        "property_name": "str",
        "property_config": "PropertyData",
        "return": "list[tuple[str, Callable[[Any, list[Any]], Any], list[Any] | None]]",
    }
    with pytest.raises(TypeError) as caught:
        ValidatorPicker.process_property("a")
    assert str(caught.value) == "process_property() takes exactly 3 positional arguments (2 given)"
