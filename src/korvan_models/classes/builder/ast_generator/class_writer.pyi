import ast as ast
import sys as sys
from datetime import date as date
from datetime import datetime as datetime
from functools import partial as partial
from typing import ClassVar as ClassVar

import astor as astor
import black as black
import isort as isort
from astor.source_repr import split_lines as split_lines
from astor.string_repr import pretty_string as pretty_string
from pydantic import Field as Field

from korvan_models.classes.builder.ast_generator.data_models import CustomCodeAst as CustomCodeAst
from korvan_models.classes.builder.ast_generator.data_models import NestedPropertyTypeAst as NestedPropertyTypeAst
from korvan_models.classes.builder.ast_generator.data_models import PropertyAst as PropertyAst
from korvan_models.classes.builder.ast_generator.data_models import PropertyValueAst as PropertyValueAst
from korvan_models.classes.builder.ast_generator.dependency_generator import (
    AstDependencyGenerator as AstDependencyGenerator,
)
from korvan_models.classes.builder.ast_generator.helpers.build_validator_node import (
    build_validator_node as build_validator_node,
)
from korvan_models.classes.builder.ast_generator.helpers.make_field_statement import (
    make_field_statement as make_field_statement,
)
from korvan_models.classes.builder.validator_picker import ValidatorPicker as ValidatorPicker
from korvan_models.classes.constants import BASE_OBJECT_TYPE as BASE_OBJECT_TYPE
from korvan_models.classes.data_models.dependencies import DependencyModelNames as DependencyModelNames
from korvan_models.classes.model import Model as Model
from korvan_models.classes.model import TypeModel as TypeModel
from korvan_utils.models.data_models.core import TypeData as TypeData
from korvan_utils.models.data_models.schema import PropertyData as PropertyData
from korvan_utils.models.enums import SchemaTypes as SchemaTypes

class AstClassWriter:
    _base_class: type[Model | TypeModel]
    _class_definition: ast.ClassDef
    _ast_dependency_generator: AstDependencyGenerator
    def __init__(
        self, models_module_name: str, base_class: type[Model | TypeModel], model_names: DependencyModelNames
    ) -> None: ...
    def register_class(self, class_name: str, extend_type: str) -> None: ...
    def add_class_data(self, schema_type: SchemaTypes, class_fingerprint: str) -> None: ...
    def add_class_property(self, property_name: str, property_config: PropertyData, *, is_required: bool) -> None: ...
    def add_properties_validators(self, property_name: str, property_config: PropertyData) -> None: ...
    def add_class_custom_code(self, custom_code: str) -> None: ...
    def _set_union_mode(self, node: ast.AnnAssign | ast.stmt) -> None: ...
    @property
    def model_source(self) -> str: ...
    @property
    def dependencies_source(self) -> str: ...
