import ast as ast
from typing import Optional as Optional
from typing import Union as Union

from korvan_models.classes.builder.ast_generator.dependency_generator import (
    AstDependencyGenerator as AstDependencyGenerator,
)
from korvan_models.classes.constants import BASIC_TYPES_MAP as BASIC_TYPES_MAP
from korvan_models.classes.model import LegacyModel as LegacyModel
from korvan_utils.models.data_models.core import DictSchema as DictSchema
from korvan_utils.models.data_models.core import LegacyDictSchema as LegacyDictSchema
from korvan_utils.models.data_models.core import TypeData as TypeData
from korvan_utils.models.data_models.enums import CoreTypes as CoreTypes
from korvan_utils.models.data_models.reference import Reference as Reference

def make_type_hint(
    type_data: TypeData,
    *,
    is_required: bool = True,
    can_be_a_reference: bool = True,
    ast_dependency_generator: AstDependencyGenerator,
) -> ast.Subscript | ast.Constant | ast.Name | ast.BinOp: ...
