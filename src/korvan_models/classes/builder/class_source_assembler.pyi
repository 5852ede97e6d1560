from functools import cache as cache
from functools import cached_property as cached_property

from korvan_models.classes.builder.ast_generator.class_writer import AstClassWriter as AstClassWriter
from korvan_models.classes.data_models.dependencies import DependencyModelNames as DependencyModelNames
from korvan_models.classes.model import Model as Model
from korvan_models.classes.model import TypeModel as TypeModel
from korvan_models.schemas.utils.schema_digest import calculate_schema_digest as calculate_schema_digest
from korvan_utils.models.data_models.schema import ObjectSchema as ObjectSchema
from korvan_utils.models.enums import SchemaTypes as SchemaTypes

class ClassSourceAssembler:
    ast_generator: AstClassWriter
    _schema: ObjectSchema
    _schema_type: SchemaTypes
    _base_class: type[Model | TypeModel]
    def __init__(
        self,
        models_module_name: str,
        schema: ObjectSchema,
        schema_type: SchemaTypes,
        base_class: type[Model | TypeModel],
        model_names: DependencyModelNames,
    ) -> None: ...
    @cached_property
    def model_class_source(self) -> str: ...
    @cached_property
    def dependencies_source(self) -> str: ...
    def _build_class_source(self) -> str: ...
