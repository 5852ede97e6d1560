from collections.abc import Iterator as Iterator
from pathlib import Path as Path

from korvan_models.schemas.loaders.base import StaticsLoaderBase as StaticsLoaderBase

class CliStaticsReader(StaticsLoaderBase):
    _app_root: Path
    def __init__(self, app_root: Path) -> None: ...
    def iter_static(self) -> Iterator[Path]: ...
    def __str__(self) -> str: ...
