from korvan_models.errors import KorvanValidationError as KorvanValidationError
from korvan_utils.models.data_models.core import DictSchema as DictSchema
from korvan_utils.models.data_models.core import LegacyDictSchema as LegacyDictSchema
from korvan_utils.models.data_models.core import TypeData as TypeData
from korvan_utils.models.data_models.enums import CoreTypes as CoreTypes
from korvan_utils.models.data_models.schema import ObjectSchema as ObjectSchema

class DependencyCheckMixin:
    def check_dependencies(
        self,
        type_schemas: list[ObjectSchema],
        core_schemas: list[ObjectSchema],
        contrib_schemas: list[ObjectSchema],
        user_schemas: list[ObjectSchema],
    ) -> None: ...
    @staticmethod
    def get_dependency_type_names(schema: ObjectSchema) -> set[str]: ...
