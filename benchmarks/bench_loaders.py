"""The four loaders over real project folders, against plain-Python classes taking the same steps."""

import json
import shutil
import tempfile
from collections.abc import Iterator
from pathlib import Path

import pandas as pd
from _timing import compare

from korvan_models.schemas.data_models.custom_code import CustomCodeSchema
from korvan_models.schemas.loaders.base import (
    ConfigLoaderBase,
    ConfigReaderMixin,
    CustomCodeLoaderBase,
    FixturesLoaderBase,
)
from korvan_models.schemas.loaders.cli_config_reader import CliConfigLoader
from korvan_models.schemas.loaders.cli_custom_code_reader import CliCustomCodeReader
from korvan_models.schemas.loaders.cli_fixtures_reader import CliFixturesReader
from korvan_utils.models.data_models.schema import ObjectSchema

MODEL_JSON_FILE = "model.json"
FIXTURES = "fixtures"


class PlainConfigLoader(ConfigReaderMixin, ConfigLoaderBase):
    def __init__(self, config_dir: Path) -> None:
        self._config_dir = config_dir

    def iter_configs(self) -> Iterator[ObjectSchema]:
        for json_file in self.iter_json_files():
            if self.is_schema_file(json_file):
                yield from self.read_configs_from_file(json_file)

    def iter_json_files(self) -> Iterator[Path]:
        if not self._config_dir.exists():
            return
        for item in self._config_dir.iterdir():
            if item.is_dir() and (item / MODEL_JSON_FILE).exists():
                yield item / MODEL_JSON_FILE


class PlainCustomCodeReader(ConfigReaderMixin, CustomCodeLoaderBase):
    def __init__(self, schema_dir: Path) -> None:
        self._schema_dir = schema_dir

    def iter_custom_code(self) -> Iterator[CustomCodeSchema]:
        for model_directory, object_config in self.iter_model_directories():
            custom_code = self.read_custom_code_from_model_directory(model_directory, object_config)
            if custom_code.code:
                yield custom_code

    def read_custom_code_from_model_directory(self, model_directory, object_config) -> CustomCodeSchema:
        code_parts = []
        for subdirectory in ("hooks", "modifiers", "properties"):
            code_parts.extend(self.read_custom_code_from_subdirectory(model_directory, subdirectory))
        return CustomCodeSchema(name=object_config.title, code="\n\n".join(code_parts))

    def read_custom_code_from_subdirectory(self, model_directory: Path, subdirectory: str) -> list[str]:
        hooks_dir = model_directory / subdirectory
        code_parts = []
        if not hooks_dir.exists():
            return []
        for item in hooks_dir.iterdir():
            if item.is_file() and item.suffix.lower() == ".py":
                content = item.read_text("utf-8")
                if content:
                    code_parts.append((item.name, content.strip()))
        return [part[1] for part in sorted(code_parts, key=lambda _item: _item[0])]

    def iter_model_directories(self):
        if not self._schema_dir.exists():
            return
        for item in self._schema_dir.iterdir():
            if item.is_dir() and (item / MODEL_JSON_FILE).exists() and self.is_schema_file(item / MODEL_JSON_FILE):
                yield item, next(self.read_configs_from_file(item / MODEL_JSON_FILE))


class PlainFixturesReader(FixturesLoaderBase):
    def __init__(self, schema_dir: Path) -> None:
        self.models_with_fixtures = []
        if not schema_dir.exists():
            return
        for item in schema_dir.iterdir():
            if item.is_dir() and (item / MODEL_JSON_FILE).exists() and (item / FIXTURES).exists() and (
                item / FIXTURES
            ).is_dir():
                text = (item / MODEL_JSON_FILE).read_text("utf-8")
                self.models_with_fixtures.append((item, ObjectSchema.model_validate_json(text)))

    def iter_fixtures(self) -> Iterator[Path]:
        with tempfile.TemporaryDirectory() as temp_dir:
            new_fixtures_path = Path(temp_dir, "fixtures.json")
            with new_fixtures_path.open("w") as new_fixtures_file:
                fixtures = []
                for model_dir, model_config in self.models_with_fixtures:
                    for entity_item in (model_dir / FIXTURES).iterdir():
                        data = None
                        if entity_item.name.endswith(".csv"):
                            data = pd.read_csv(entity_item).fillna("").to_dict(orient="records")
                        elif entity_item.name.endswith(".json"):
                            with entity_item.open(encoding="utf-8") as fixtures_file:
                                data = json.load(fixtures_file)
                        if not data:
                            continue
                        if isinstance(data, list):
                            for fixture_element in data:
                                self._add(fixtures, model_config.title, fixture_element)
                        else:
                            for class_name, fixture_elements in data.items():
                                for fixture_element in fixture_elements:
                                    self._add(fixtures, class_name, fixture_element)
                if not fixtures:
                    return
                json.dump(fixtures, new_fixtures_file, indent=4)
            yield new_fixtures_path

    @staticmethod
    def _add(fixtures, class_name, fixture_element):
        external_id = fixture_element.pop("_external_id", None)
        if not external_id and "external_id" in fixture_element:
            external_id = fixture_element.pop("external_id")
        order = fixture_element.pop("_order", 0)
        fixtures.append({"class_name": class_name, "external_id": external_id, "order": order, "data": fixture_element})

    def iter_fixture_files(self) -> Iterator[Path]:
        yield from ()


def make_project(root: Path, models: int, records: int, suffix: str) -> Path:
    models_dir = root / f"models-{models}-{suffix or 'code'}"
    for index in range(models):
        model_dir = models_dir / f"model_{index:04}"
        (model_dir / "hooks").mkdir(parents=True)
        schema = {"title": f"Model{index}", "type": "object",
                  "properties": {"name": {"type": "string"}, "size": {"type": "number"}}, "required": ["name"]}
        (model_dir / MODEL_JSON_FILE).write_text(json.dumps(schema), "utf-8")
        (model_dir / "hooks" / "on_save.py").write_text(f"def on_save(self):\n    return {index}\n", "utf-8")
        (model_dir / "hooks" / "a_check.py").write_text("def check(self):\n    return True\n", "utf-8")
        if not records:
            continue
        (model_dir / FIXTURES).mkdir()
        rows = [{"_external_id": f"m{index}-{n}", "_order": n, "name": f"record {n}", "size": n * 1.5}
                for n in range(records)]
        target = model_dir / FIXTURES / f"records{suffix}"
        if suffix == ".json":
            target.write_text(json.dumps(rows), "utf-8")
        else:
            pd.DataFrame(rows).to_csv(target, index=False)
    return models_dir


def drain_document(reader):
    def run():
        for path in reader.iter_fixtures():
            assert path.stat().st_size > 0

    return run


def main():
    root = Path(tempfile.mkdtemp(prefix="bench-loaders-"))
    try:
        code_project = make_project(root, 1000, 0, "")
        compare("iter_configs, 1,000 model folders",
                lambda: sum(1 for _ in CliConfigLoader(code_project).iter_configs()),
                lambda: sum(1 for _ in PlainConfigLoader(code_project).iter_configs()), 1.0)
        compare("iter_custom_code, 1,000 model folders",
                lambda: sum(1 for _ in CliCustomCodeReader(code_project).iter_custom_code()),
                lambda: sum(1 for _ in PlainCustomCodeReader(code_project).iter_custom_code()), 1.0)
        for suffix in (".json", ".csv"):
            project = make_project(root, 50, 200, suffix)
            compare(f"iter_fixtures, 50 models x 200 records ({suffix[1:].upper()})",
                    drain_document(CliFixturesReader(project)), drain_document(PlainFixturesReader(project)), 1.0)
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
