import ast as ast
from typing import Any as Any

from korvan_models.classes.builder.ast_generator.dependency_generator import (
    AstDependencyGenerator as AstDependencyGenerator,
)
from korvan_models.classes.builder.ast_generator.helpers.make_type_hint import make_type_hint as make_type_hint
from korvan_utils.models.data_models.core import DictSchema as DictSchema
from korvan_utils.models.data_models.core import LegacyDictSchema as LegacyDictSchema
from korvan_utils.models.data_models.core import TypeData as TypeData
from korvan_utils.models.data_models.enums import CoreTypes as CoreTypes

class UNSET: ...

def make_field_statement(
    target_name: str,
    type_data: TypeData,
    value: Any = ...,
    *,
    is_required: bool = True,
    can_be_a_reference: bool = True,
    ast_dependency_generator: AstDependencyGenerator,
) -> ast.AnnAssign | ast.stmt: ...
def cast_property_value(type_data: TypeData, property_value: Any) -> Any: ...
def cast_number_value(property_value: Any) -> int | float: ...
