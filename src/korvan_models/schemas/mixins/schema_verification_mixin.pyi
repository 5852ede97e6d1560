from korvan_models.errors import KorvanValidationError as KorvanValidationError
from korvan_utils.models.data_models.schema import ObjectSchema as ObjectSchema

class SchemaVerificationMixin:
    def verify_schemas(
        self,
        type_schemas: list[ObjectSchema],
        core_schemas: list[ObjectSchema],
        contrib_schemas: list[ObjectSchema],
        user_schemas: list[ObjectSchema],
    ) -> None: ...
    @staticmethod
    def _verify_unique_schemas(
        type_schemas: list[ObjectSchema],
        core_schemas: list[ObjectSchema],
        contrib_schemas: list[ObjectSchema],
        user_schemas: list[ObjectSchema],
    ) -> None: ...
    @staticmethod
    def _verify_properties(
        type_schemas: list[ObjectSchema],
        core_schemas: list[ObjectSchema],
        contrib_schemas: list[ObjectSchema],
        user_schemas: list[ObjectSchema],
    ) -> None: ...
