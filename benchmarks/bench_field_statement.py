"""Annotation nodes, field statements and validator picks against plain-Python functions with the same bodies."""

import ast
import warnings
from collections.abc import Callable
from typing import Any, ClassVar, Optional, Union

from _timing import compare

from korvan_models.classes.builder.ast_generator.helpers.make_field_statement import (
    cast_property_value,
    make_field_statement,
)
from korvan_models.classes.builder.ast_generator.helpers.make_literal_node import make_literal_node
from korvan_models.classes.builder.ast_generator.helpers.make_type_hint import make_type_hint
from korvan_models.classes.builder.validator_picker import ValidatorPicker
from korvan_models.classes.builder.validators.choice_checks import validate_options
from korvan_models.classes.builder.validators.mapping_checks import validate_non_empty_keys
from korvan_models.classes.constants import BASIC_TYPES_MAP
from korvan_models.classes.model import LegacyModel
from korvan_utils.models.data_models.core import DictSchema, LegacyDictSchema, TypeData
from korvan_utils.models.data_models.enums import CoreTypes
from korvan_utils.models.data_models.reference import Reference
from korvan_utils.models.data_models.schema import OptionItem, PropertyData


def plain_make_type_hint(type_data, *, is_required=True, can_be_a_reference=True, ast_dependency_generator):
    _property_type = type_data.type.lower()
    if not is_required:
        ast_dependency_generator.add_python_type_dependency(Optional)
        inner = plain_make_type_hint(
            type_data, can_be_a_reference=can_be_a_reference, ast_dependency_generator=ast_dependency_generator
        )
        return ast.Subscript(value=ast.Name(id=Optional.__name__, ctx=ast.Load()), slice=inner, ctx=ast.Load())
    if _property_type == CoreTypes.ARRAY.value and isinstance(type_data.items, TypeData):
        element = plain_make_type_hint(
            TypeData(type=type_data.items.type, items=type_data.items.items),
            can_be_a_reference=can_be_a_reference,
            ast_dependency_generator=ast_dependency_generator,
        )
        return ast.Subscript(value=ast.Name(id="list", ctx=ast.Load()), slice=element, ctx=ast.Load())
    if _property_type == CoreTypes.DICTIONARY.value:
        if isinstance(type_data.items, DictSchema):
            key_type, value_type = type_data.items.key, type_data.items.value
        elif isinstance(type_data.items, LegacyDictSchema):
            key_type, value_type = TypeData(type=type_data.items.key_type), TypeData(type=type_data.items.value_type)
        else:
            msg = f'Unknown dictionary type: "{type_data.items.__class__.__name__}"'
            raise ValueError(msg)
        key = plain_make_type_hint(
            key_type, can_be_a_reference=can_be_a_reference, ast_dependency_generator=ast_dependency_generator
        )
        value = plain_make_type_hint(
            value_type,
            is_required=False,
            can_be_a_reference=can_be_a_reference,
            ast_dependency_generator=ast_dependency_generator,
        )
        return ast.Subscript(
            value=ast.Name(id="dict", ctx=ast.Load()),
            slice=ast.Tuple(elts=[key, value], ctx=ast.Load()),
            ctx=ast.Load(),
        )
    try:
        if CoreTypes(_property_type) in BASIC_TYPES_MAP:
            type_object = BASIC_TYPES_MAP[CoreTypes(_property_type)]
            ast_dependency_generator.add_python_type_dependency(type_object)
            return ast.Name(id=type_object.__name__, ctx=ast.Load())
    except ValueError:
        pass
    ast_dependency_generator.add_model_type_dependency(type_data.type)
    if not can_be_a_reference:
        return ast.Constant(value=type_data.type)
    for obj in (Union, Reference, LegacyModel):
        ast_dependency_generator.add_python_type_dependency(obj)
    return ast.Subscript(
        value=ast.Name(id=Union.__name__, ctx=ast.Load()),
        slice=ast.Tuple(
            elts=[
                ast.Name(id=Reference.__name__, ctx=ast.Load()),
                ast.Constant(value=type_data.type),
                ast.Name(id=LegacyModel.__name__, ctx=ast.Load()),
            ],
            ctx=ast.Load(),
        ),
        ctx=ast.Load(),
    )


class UNSET:
    pass


def plain_make_field_statement(
    target_name, type_data, value=UNSET, *, is_required=True, can_be_a_reference=True, ast_dependency_generator
):
    props = {
        "target": ast.Name(id=target_name, ctx=ast.Store()),
        "annotation": plain_make_type_hint(
            type_data,
            is_required=is_required,
            can_be_a_reference=can_be_a_reference,
            ast_dependency_generator=ast_dependency_generator,
        ),
        "simple": 1,
    }
    if value != UNSET and (value is not None or not is_required):
        props["value"] = plain_cast_property_value(type_data, value)
    return ast.AnnAssign(**props)


def plain_cast_element(type_data, value):
    node = plain_cast_property_value(type_data, value)
    return make_literal_node(value) if node is None else node


def plain_cast_property_value(type_data, property_value):
    property_type = type_data.type.lower()
    if property_value is None:
        return ast.Constant(value=property_value)
    if property_type == CoreTypes.STRING.value:
        return ast.Constant(value=property_value)
    if property_type == CoreTypes.NUMBER.value:
        return ast.Constant(value=plain_cast_number_value(property_value))
    if property_type == CoreTypes.BOOLEAN.value:
        if isinstance(property_value, str) and property_value.strip().lower() in ("true", "false"):
            return ast.Constant(value=property_value.strip().lower() == "true")
        return ast.Constant(value=bool(property_value))
    if property_type == CoreTypes.BINARY.value:
        if isinstance(property_value, str):
            return ast.Constant(value=property_value.encode("utf-8"))
        return ast.Constant(value=bytes(property_value))
    if property_type == CoreTypes.ARRAY.value and type_data.items is not None:
        if isinstance(type_data.items, TypeData):
            return ast.List(elts=[plain_cast_element(type_data.items, value) for value in property_value])
        return None
    if property_type == CoreTypes.DICTIONARY.value and type_data.items is not None:
        items = type_data.items
        if isinstance(items, LegacyDictSchema):
            key_type, value_type = TypeData(type=items.key_type), TypeData(type=items.value_type)
        elif isinstance(items, DictSchema):
            key_type = TypeData(type=items.key.type, items=items.key.items)
            value_type = TypeData(type=items.value.type, items=items.value.items)
        else:
            return ast.Name(id=property_value, ctx=ast.Load())
        return ast.Dict(
            keys=[plain_cast_element(key_type, key) for key in property_value],
            values=[plain_cast_element(value_type, val) for val in property_value.values()],
        )
    return None


def plain_cast_dict_per_entry(type_data, property_value):
    """The dictionary rule as cast_property_value runs it: a description made for every key and value."""
    key, val = type_data.items.key, type_data.items.value
    return ast.Dict(
        keys=[plain_cast_element(TypeData(type=key.type, items=key.items), k) for k in property_value],
        values=[plain_cast_element(TypeData(type=val.type, items=val.items), v) for v in property_value.values()],
    )


def plain_cast_number_value(property_value):
    error_msg = f"Cannot cast {property_value} to a number"
    if isinstance(property_value, (int, float)):
        return property_value
    if isinstance(property_value, str):
        try:
            return float(property_value) if "." in property_value else int(property_value)
        except ValueError as err:
            raise ValueError(error_msg) from err
    raise ValueError(error_msg)


class PlainValidatorPicker:
    TYPE_BASED_VALIDATORS: ClassVar[dict[str, Any]] = {
        "dictionary": ("_non_empty_keys_{FIELD_NAME}", validate_non_empty_keys)
    }

    @classmethod
    def process_property(
        cls, property_name: str, property_config
    ) -> list[tuple[str, Callable[[Any, list[Any]], Any], list[Any] | None]]:
        _validators = []
        field_type = property_config.type.lower()
        if field_type in cls.TYPE_BASED_VALIDATORS:
            field_name, validator = cls.TYPE_BASED_VALIDATORS[field_type]
            _validators.append((field_name.replace("{FIELD_NAME}", property_name.lower()), validator, None))
        if property_config.options:
            values = sorted({option.value for option in property_config.options})
            _validators.append((f"validate_value_in_options_{property_name.lower()}", validate_options, values))
        return _validators


class Quiet:
    def add_python_type_dependency(self, obj):
        pass

    def add_model_type_dependency(self, name):
        pass


def main():
    warnings.simplefilter("ignore", DeprecationWarning)
    deps = Quiet()
    number = TypeData(type="number")
    reference = TypeData(type="Person")
    mapping = TypeData(
        type="dictionary",
        items=DictSchema(key=TypeData(type="string"), value=TypeData(type="array", items=TypeData(type="number"))),
    )
    compare("make_type_hint: optional number",
            lambda: make_type_hint(number, is_required=False, ast_dependency_generator=deps),
            lambda: plain_make_type_hint(number, is_required=False, ast_dependency_generator=deps), 1.0)
    compare("make_type_hint: model reference",
            lambda: make_type_hint(reference, ast_dependency_generator=deps),
            lambda: plain_make_type_hint(reference, ast_dependency_generator=deps), 1.0)
    compare("make_type_hint: dict of arrays",
            lambda: make_type_hint(mapping, ast_dependency_generator=deps),
            lambda: plain_make_type_hint(mapping, ast_dependency_generator=deps), 1.0)
    compare("make_field_statement: number with text default",
            lambda: make_field_statement("age", number, "42", ast_dependency_generator=deps),
            lambda: plain_make_field_statement("age", number, "42", ast_dependency_generator=deps), 1.0)
    value = {f"k{i}": [str(i), i, i + 0.5] for i in range(20)}
    compare("cast_property_value: dict of 20 arrays",
            lambda: cast_property_value(mapping, value),
            lambda: plain_cast_property_value(mapping, value), 1.0)
    assert ast.dump(plain_cast_dict_per_entry(mapping, value)) == ast.dump(cast_property_value(mapping, value))
    compare("cast_property_value: the same, a description per entry on both sides",
            lambda: cast_property_value(mapping, value),
            lambda: plain_cast_dict_per_entry(mapping, value), 1.0)
    prop = PropertyData(type="dictionary", options=[OptionItem(value=v) for v in "dbcabd"])
    compare("ValidatorPicker.process_property: dictionary with options",
            lambda: ValidatorPicker.process_property("Meta", prop),
            lambda: PlainValidatorPicker.process_property("Meta", prop), 1.0)
