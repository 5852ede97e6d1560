from korvan_models.classes.model import Model as Model
from korvan_utils.config.manager import KorvanConfigManager as KorvanConfigManager
from korvan_utils.models.data_models.address import Address as Address
from korvan_utils.models.data_models.enums import CoreTypes as CoreTypes
from korvan_utils.models.data_models.schema import ObjectSchema as ObjectSchema
from korvan_utils.models.data_models.schema import PropertyData as PropertyData
from korvan_utils.models.data_models.table_schema import TableColumnSchema as TableColumnSchema
from korvan_utils.models.data_models.table_schema import TableSchema as TableSchema

def object_schema_to_table_schema(object_schema: ObjectSchema) -> TableSchema: ...
def _process_properties(properties: dict[str, PropertyData] | None, required: list[str]) -> list[TableColumnSchema]: ...
def _process_property_type(property_type: str) -> type | Model: ...
