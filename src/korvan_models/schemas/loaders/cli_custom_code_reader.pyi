import logging as logging
from collections.abc import Iterator as Iterator
from pathlib import Path as Path
from typing import Final

from korvan_models.schemas.data_models.custom_code import CustomCodeSchema as CustomCodeSchema
from korvan_models.schemas.loaders.base import ConfigReaderMixin as ConfigReaderMixin
from korvan_models.schemas.loaders.base import CustomCodeLoaderBase as CustomCodeLoaderBase
from korvan_utils.models.data_models.schema import ObjectSchema as ObjectSchema

HOOKS: Final = "hooks"
MODIFIERS: Final = "modifiers"
PROPERTIES: Final = "properties"
MODEL_JSON_FILE: Final = "model.json"

logger: logging.Logger

class CliCustomCodeReader(ConfigReaderMixin, CustomCodeLoaderBase):
    _schema_dir: Path
    def __init__(self, schema_dir: Path) -> None: ...
    def __str__(self) -> str: ...
    def iter_custom_code(self) -> Iterator[CustomCodeSchema]: ...
    def read_custom_code_from_model_directory(
        self, model_directory: Path, object_config: ObjectSchema
    ) -> CustomCodeSchema: ...
    def read_custom_code_from_subdirectory(self, model_directory: Path, subdirectory: str) -> list[str]: ...
    def iter_model_directories(self) -> Iterator[tuple[Path, ObjectSchema]]: ...
