from collections.abc import Iterator as Iterator
from pathlib import Path as Path
from typing import Final

from korvan_models.schemas.loaders.base import ConfigLoaderBase as ConfigLoaderBase
from korvan_models.schemas.loaders.base import ConfigReaderMixin as ConfigReaderMixin
from korvan_utils.models.data_models.schema import ObjectSchema as ObjectSchema

MODEL_JSON_FILE: Final = "model.json"

class CliConfigLoader(ConfigReaderMixin, ConfigLoaderBase):
    _config_dir: Path
    def __init__(self, config_dir: Path) -> None: ...
    def __str__(self) -> str: ...
    def iter_configs(self) -> Iterator[ObjectSchema]: ...
    def iter_json_files(self) -> Iterator[Path]: ...
