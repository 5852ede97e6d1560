"""A stand-in of the class writer that drives the generation support the way the compiled
class writer does, and the plain-Python stand-ins of the value validators."""

from __future__ import annotations

import ast
from datetime import date, datetime
from typing import Any, ClassVar, Optional, Union

import astor
import black
import isort
from pydantic import Field

from korvan_models.classes.builder.ast_generator.data_models import (
    CustomCodeAst,
    NestedPropertyTypeAst,
    PropertyAst,
    PropertyValueAst,
)
from korvan_models.classes.builder.ast_generator.dependency_generator import AstDependencyGenerator
from korvan_models.classes.builder.ast_generator.helpers.build_validator_node import build_validator_node
from korvan_models.classes.constants import BASE_OBJECT_TYPE, BASIC_TYPES_MAP
from korvan_models.classes.data_models.dependencies import DependencyModelNames
from korvan_models.classes.model import LegacyModel
from korvan_utils.models.data_models.core import DictSchema, LegacyDictSchema, TypeData
from korvan_utils.models.data_models.enums import CoreTypes
from korvan_utils.models.data_models.reference import Reference
from korvan_utils.models.enums import SchemaTypes

ISORT_OPTIONS = dict(
    force_single_line=True,
    profile="black",
    line_length=120,
    order_by_type=True,
    known_third_party=["korvan_utils", "korvan_data", "korvan_models", "korvan"],
    known_first_party=["models"],
)

# Plain-Python stand-ins of the compiled value validators, with the same signatures and messages.
VALIDATORS_SOURCE = """
def validate_options(value, options):
    if value is None:
        return value
    if isinstance(value, list):
        ok = all(element in options for element in value)
    else:
        ok = value in options
    if not ok:
        raise ValueError(f"Value={value} doesn't match available options: {options}.")
    return value


def validate_non_empty_keys(value):
    if value is None:
        return value
    for k in value:
        if len(k) == 0:
            raise ValueError("Dictionary keys must be non-empty")
    return value
"""


def print_imports(generator: AstDependencyGenerator) -> str:
    return isort.code(astor.to_source(generator.ast_module), **ISORT_OPTIONS)


class StandInClassWriter:
    """Makes the same calls on the generation support as the compiled class writer, in the same order.

    Field statements are either hand-written (``add_field_source``) or derived from a
    property's type description (``add_property``) by the same rules as the compiled builder.
    """

    def __init__(self, models_module_name: str, base_class: type, model_names: DependencyModelNames) -> None:
        self.base_class = base_class
        self.deps = AstDependencyGenerator(models_module_name=models_module_name, model_names=model_names)
        self.class_def = ast.ClassDef(name="", bases=[], keywords=[], body=[], decorator_list=[], type_params=[])

    def register_class(self, class_name: str, extend_type: str) -> None:
        self.deps.add_ignore_type_name(class_name)
        if extend_type == BASE_OBJECT_TYPE:
            base = self.base_class.__name__
            self.deps.add_python_type_dependency(self.base_class)
        else:
            base = extend_type
            self.deps.add_model_type_dependency(extend_type)
        self.class_def.name = class_name
        self.class_def.bases.append(ast.Name(id=base, ctx=ast.Load()))

    def add_class_data(self, schema_type: SchemaTypes, class_fingerprint: str) -> None:
        for obj in (SchemaTypes, ClassVar, date, datetime):
            self.deps.add_python_type_dependency(obj)
        class_var = PropertyValueAst(name=ClassVar.__name__)
        self.class_def.body.append(
            PropertyAst(
                name="schema_type",
                types=[NestedPropertyTypeAst(root=class_var, child=[PropertyValueAst(name=SchemaTypes.__name__)])],
                value=PropertyValueAst(attr=(SchemaTypes.__name__, schema_type.name)),
            ).ast
        )
        self.class_def.body.append(
            PropertyAst(
                name="class_fingerprint",
                types=[NestedPropertyTypeAst(root=class_var, child=[PropertyValueAst(name=str.__name__)])],
                value=PropertyValueAst(constant=class_fingerprint),
            ).ast
        )

    def add_field_source(self, source: str, python_deps: tuple = (), model_deps: tuple = ()) -> None:
        for name in model_deps:
            self.deps.add_model_type_dependency(name)
        for obj in python_deps:
            self.deps.add_python_type_dependency(obj)
        self.class_def.body.append(ast.parse(source).body[0])

    # Annotation rules of the compiled builder.
    def type_hint(self, type_data: TypeData, is_required: bool = True) -> ast.expr:
        kind = type_data.type.lower()
        if not is_required:
            self.deps.add_python_type_dependency(Optional)
            return _subscript("Optional", self.type_hint(type_data))
        if kind == CoreTypes.ARRAY and isinstance(type_data.items, TypeData):
            return _subscript("list", self.type_hint(TypeData(type=type_data.items.type, items=type_data.items.items)))
        if kind == CoreTypes.DICTIONARY:
            items = type_data.items
            if isinstance(items, DictSchema):
                key, value = items.key, items.value
            elif isinstance(items, LegacyDictSchema):
                key, value = TypeData(type=items.key_type), TypeData(type=items.value_type)
            else:
                raise ValueError(f'Unknown dictionary type: "{type(items).__name__}"')
            key_node = self.type_hint(key)
            return _subscript("dict", ast.Tuple(elts=[key_node, self.type_hint(value, False)], ctx=ast.Load()))
        try:
            type_object = BASIC_TYPES_MAP[CoreTypes(kind)]
        except (ValueError, KeyError):
            pass
        else:
            self.deps.add_python_type_dependency(type_object)
            return ast.Name(id=type_object.__name__, ctx=ast.Load())
        self.deps.add_model_type_dependency(type_data.type)
        for obj in (Union, Reference, LegacyModel):
            self.deps.add_python_type_dependency(obj)
        elements = [
            ast.Name(id="Reference", ctx=ast.Load()),
            ast.Constant(value=type_data.type),
            ast.Name(id="LegacyModel", ctx=ast.Load()),
        ]
        return _subscript("Union", ast.Tuple(elts=elements, ctx=ast.Load()))

    def add_property(self, name: str, config: Any, *, is_required: bool) -> None:
        type_data = TypeData(type=config.type, items=config.items)
        node = ast.AnnAssign(
            target=ast.Name(id=name, ctx=ast.Store()), annotation=self.type_hint(type_data, is_required), simple=1
        )
        if config.default is not None or not is_required:
            node.value = _literal(type_data, config.default)
        annotation = node.annotation
        if isinstance(annotation, ast.Subscript) and getattr(annotation.value, "id", "") == "Optional":
            annotation = annotation.slice
        if isinstance(annotation, ast.Subscript) and getattr(annotation.value, "id", "") == "Union":
            self.deps.add_python_type_dependency(Field)
            args = [node.value] if node.value is not None else []
            node.value = ast.Call(
                func=ast.Name(id="Field", ctx=ast.Load()),
                args=args,
                keywords=[ast.keyword(arg="union_mode", value=ast.Constant(value="left_to_right"))],
            )
        self.class_def.body.append(node)

    def add_validator(self, prop_name: str, validator_name: str, validator: Any, options: list | None) -> None:
        self.class_def.body.append(
            build_validator_node(
                prop_name=prop_name,
                validator_name=validator_name,
                validator=validator,
                options=options,
                ast_dependency_generator=self.deps,
            )
        )

    def add_class_custom_code(self, custom_code: str) -> None:
        code = CustomCodeAst(custom_code=custom_code)
        for node in code.ast_imports:
            self.deps.add_ast_import_node(node)
        self.class_def.body.extend(sorted(code.ast, key=lambda node: getattr(node, "name", "")))

    def module_source(self) -> str:
        mode = black.FileMode(string_normalization=False, target_versions={black.TargetVersion.PY310}, line_length=120)
        class_text = black.format_str(astor.to_source(self.class_def), mode=mode)
        return print_imports(self.deps) + "\n\n" + class_text


def _subscript(name: str, index: ast.expr) -> ast.Subscript:
    return ast.Subscript(value=ast.Name(id=name, ctx=ast.Load()), slice=index, ctx=ast.Load())


def _literal(type_data: TypeData, value: Any) -> ast.expr | None:
    kind = type_data.type.lower()
    if value is None:
        return ast.Constant(value=None)
    if kind == CoreTypes.NUMBER:
        if isinstance(value, str):
            value = float(value) if "." in value else int(value)
        return ast.Constant(value=value)
    if kind == CoreTypes.BOOLEAN:
        return ast.Constant(value=bool(value))
    if kind in (CoreTypes.STRING, CoreTypes.BINARY):
        return ast.Constant(value=value)
    if kind == CoreTypes.ARRAY and isinstance(type_data.items, TypeData):
        return ast.List(elts=[_literal(type_data.items, v) for v in value], ctx=ast.Load())
    if kind == CoreTypes.DICTIONARY and type_data.items is not None:
        items = type_data.items
        key_type, value_type = (
            (items.key_type, items.value_type)
            if isinstance(items, LegacyDictSchema)
            else (items.key.type, items.value.type)
        )
        return ast.Dict(
            keys=[_literal(TypeData(type=key_type), k) for k in value],
            values=[_literal(TypeData(type=value_type), v) for v in value.values()],
        )
    return None
