import logging as logging
from typing import Any

from korvan_models.errors import KorvanValidationError as KorvanValidationError
from korvan_models.schemas.loaders.base import OptionsLoaderBase as OptionsLoaderBase
from korvan_utils.models.data_models.schema import ObjectSchema as ObjectSchema

logger: logging.Logger

class OptionsBinder:
    _options_reader: OptionsLoaderBase
    _options: dict[Any, Any]
    _used_options: set[Any]
    def __init__(self, options_reader: OptionsLoaderBase) -> None: ...
    def extend(self, config: ObjectSchema) -> None: ...
    def post_extend(self) -> None: ...
