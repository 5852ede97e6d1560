"""What the four loader modules present: names in order, classes, signatures, generators."""

from __future__ import annotations

import importlib
import inspect
from collections.abc import Generator
from pathlib import Path

import pytest

from korvan_models.schemas.loaders import base

PACKAGE = "korvan_models.schemas.loaders."

MODULES = {
    "cli_config_reader": (
        "Iterator Path ObjectSchema ConfigLoaderBase ConfigReaderMixin MODEL_JSON_FILE CliConfigLoader",
        "CliConfigLoader",
        (base.ConfigReaderMixin, base.ConfigLoaderBase),
        {
            "__init__": "(self, config_dir: 'Path') -> 'None'",
            "__str__": "(self) -> 'str'",
            "iter_configs": "(self) -> 'Iterator[ObjectSchema]'",
            "iter_json_files": "(self) -> 'Iterator[Path]'",
        },
    ),
    "cli_custom_code_reader": (
        "logging Iterator Path ObjectSchema CustomCodeSchema ConfigReaderMixin CustomCodeLoaderBase"
        " HOOKS MODIFIERS PROPERTIES MODEL_JSON_FILE logger CliCustomCodeReader",
        "CliCustomCodeReader",
        (base.ConfigReaderMixin, base.CustomCodeLoaderBase),
        {
            "__init__": "(self, schema_dir: 'Path') -> 'None'",
            "__str__": "(self) -> 'str'",
            "iter_custom_code": "(self) -> 'Iterator[CustomCodeSchema]'",
            "read_custom_code_from_model_directory": "(self, model_directory: 'Path', object_config: 'ObjectSchema')"
            " -> 'CustomCodeSchema'",
            "read_custom_code_from_subdirectory": "(self, model_directory: 'Path', subdirectory: 'str')"
            " -> 'list[str]'",
            "iter_model_directories": "(self) -> 'Iterator[tuple[Path, ObjectSchema]]'",
        },
    ),
    "cli_fixtures_reader": (
        "json logging shutil tempfile Iterator Path Any pd ObjectSchema FixturesLoaderBase FIXTURES logger"
        " FIXTURES_JSON_FILE MODEL_JSON_FILE CliFixturesReader",
        "CliFixturesReader",
        (base.FixturesLoaderBase,),
        {
            "__init__": "(self, schema_dir: 'Path') -> 'None'",
            "iter_fixtures": "(self) -> 'Iterator[Path]'",
            "iter_fixture_files": "(self) -> 'Iterator[Path]'",
            "__str__": "(self) -> 'str'",
        },
    ),
    "cli_statics_reader": (
        "Iterator Path StaticsLoaderBase CliStaticsReader",
        "CliStaticsReader",
        (base.StaticsLoaderBase,),
        {
            "__init__": "(self, app_root: 'Path') -> 'None'",
            "iter_static": "(self) -> 'Iterator[Path]'",
            "__str__": "(self) -> 'str'",
        },
    ),
}

GENERATORS = ["iter_configs", "iter_json_files", "iter_custom_code", "iter_model_directories", "iter_fixtures",
              "iter_fixture_files", "iter_static"]


@pytest.mark.parametrize("module_name", MODULES)
def test_module_names_class_and_methods(module_name):
    names, class_name, bases, methods = MODULES[module_name]
    module = importlib.import_module(PACKAGE + module_name)
    assert [n for n in vars(module) if not n.startswith("__")] == names.split()
    cls = getattr(module, class_name)
    assert cls.__bases__ == bases and cls.__module__ == module.__name__ and cls.__doc__
    assert [n for n in vars(cls) if not n.startswith(("__", "_abc")) or n in methods] == list(methods)
    for method_name, signature in methods.items():
        method = vars(cls)[method_name]
        assert str(inspect.signature(method)) == signature
        assert method.__qualname__ == f"{class_name}.{method_name}" and method.__doc__
    for method_name in set(methods) & set(GENERATORS):
        walk = getattr(cls(Path("missing-folder")), method_name)()
        assert isinstance(walk, Generator) and walk.__qualname__ == f"{class_name}.{method_name}"
        assert list(walk) == []


def test_constants_and_unused_loggers():
    config, custom, fixtures = (importlib.import_module(PACKAGE + m) for m in list(MODULES)[:3])
    assert config.MODEL_JSON_FILE == custom.MODEL_JSON_FILE == fixtures.MODEL_JSON_FILE == "model.json"
    assert (custom.HOOKS, custom.MODIFIERS, custom.PROPERTIES) == ("hooks", "modifiers", "properties")
    assert (fixtures.FIXTURES, fixtures.FIXTURES_JSON_FILE) == ("fixtures", "fixtures.json")
    assert custom.logger.name == custom.__name__ and fixtures.logger.name == fixtures.__name__
    assert fixtures.pd.__name__ == "pandas"
