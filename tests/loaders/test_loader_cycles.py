"""An abandoned loader generator in a reference cycle through one of its own locals is collected."""

from __future__ import annotations

import gc
import weakref
from pathlib import Path

import pytest
from loader_helpers import write_model

from korvan_models.schemas.data_models.custom_code import CustomCodeSchema
from korvan_models.schemas.loaders.cli_config_reader import CliConfigLoader
from korvan_models.schemas.loaders.cli_custom_code_reader import CliCustomCodeReader


class Records:
    """An iterable (not an iterator) of records that can point back at the generator using it."""

    def __init__(self, records):
        self.records = records
        self.generator = None

    def __iter__(self):
        return iter(self.records)


class RecordIterator(Records):
    """An iterator over records that can point back at the generator using it."""

    def __iter__(self):
        return self

    def __next__(self):
        if not self.records:
            raise StopIteration
        return self.records.pop(0)


class Code:
    """A custom code record that can point back at the generator that yielded it."""

    code = "x = 1"
    generator = None


def config_loader(root: Path, made: list):
    class Loader(CliConfigLoader):
        def read_configs_from_file(self, path):
            made.append(Records(list(super().read_configs_from_file(path))))
            return made[-1]

    return Loader(root).iter_configs()


def records_reader(root: Path, made: list):
    class Reader(CliCustomCodeReader):
        def read_configs_from_file(self, path):
            made.append(RecordIterator(list(super().read_configs_from_file(path))))
            return made[-1]

        def iter_custom_code(self):
            return self.iter_model_directories()

    return Reader(root).iter_custom_code()


def code_reader(root: Path, made: list):
    class Reader(CliCustomCodeReader):
        def read_custom_code_from_model_directory(self, model_directory, object_config):
            made.append(Code())
            return made[-1]

    return Reader(root).iter_custom_code()


@pytest.mark.parametrize("make", [config_loader, records_reader, code_reader])
def test_cycle_through_a_body_local_is_collected(tmp_path: Path, make):
    for name in ("first", "second"):
        write_model(tmp_path, name, files={"hooks/a.py": "x = 1"})
    made: list = []
    generator = make(tmp_path, made)
    next(generator)
    made[-1].generator = generator  # now reachable only through the body's own local
    alive = weakref.ref(generator)
    del generator
    made.clear()
    gc.collect()
    assert alive() is None
