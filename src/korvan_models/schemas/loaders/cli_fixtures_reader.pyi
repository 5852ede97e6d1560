import json as json
import logging as logging
import shutil as shutil
import tempfile as tempfile
from collections.abc import Iterator as Iterator
from pathlib import Path as Path
from typing import Any as Any
from typing import Final

import pandas

from korvan_models.schemas.loaders.base import FixturesLoaderBase as FixturesLoaderBase
from korvan_utils.models.data_models.schema import ObjectSchema as ObjectSchema

pd = pandas

FIXTURES: Final = "fixtures"

logger: logging.Logger

FIXTURES_JSON_FILE: Final = "fixtures.json"
MODEL_JSON_FILE: Final = "model.json"

class CliFixturesReader(FixturesLoaderBase):
    models_with_fixtures: list[tuple[Path, ObjectSchema]]
    def __init__(self, schema_dir: Path) -> None: ...
    def iter_fixtures(self) -> Iterator[Path]: ...
    def iter_fixture_files(self) -> Iterator[Path]: ...
    def __str__(self) -> str: ...
