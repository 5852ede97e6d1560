import logging as logging
from typing import Any

from korvan_models.schemas.loaders.base import CustomCodeLoaderBase as CustomCodeLoaderBase
from korvan_utils.models.data_models.schema import ObjectSchema as ObjectSchema

logger: logging.Logger

class CustomCodeBinder:
    _custom_code_reader: CustomCodeLoaderBase
    _custom_code_schemas: dict[Any, Any]
    _used_custom_codes: set[Any]
    def __init__(self, custom_code_reader: CustomCodeLoaderBase) -> None: ...
    def extend(self, config: ObjectSchema) -> None: ...
    def post_extend(self) -> None: ...
