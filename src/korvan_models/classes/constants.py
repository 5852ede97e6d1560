"""Constants of model class generation."""

from collections.abc import Mapping
from types import MappingProxyType

from korvan_utils.models.data_models.enums import CoreTypes

# A schema whose ``type`` is this text builds directly on the framework's base class;
# any other ``type`` names the model it extends.
BASE_OBJECT_TYPE: str = CoreTypes.OBJECT.value

# Core types written as a plain Python type in generated annotations. Arrays,
# dictionaries and objects are not here: they are built from their items or refer to models.
BASIC_TYPES_MAP: Mapping[CoreTypes, type] = MappingProxyType(
    {
        CoreTypes.NUMBER: float,
        CoreTypes.STRING: str,
        CoreTypes.BOOLEAN: bool,
        CoreTypes.BINARY: bytes,
    }
)
