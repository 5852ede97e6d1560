"""CliConfigLoader: which model.json files a walk finds, and how their records are passed on."""

from __future__ import annotations

import os
from pathlib import Path

import pytest
from loader_helpers import ListingRefused, write_model

from korvan_models.schemas.loaders.base import ConfigReaderMixin
from korvan_models.schemas.loaders.cli_config_reader import MODEL_JSON_FILE, CliConfigLoader


def titles(loader) -> list[str]:
    return [schema.title for schema in loader.iter_configs()]


def test_missing_or_empty_folder_gives_nothing(tmp_path: Path):
    for folder in (tmp_path / "missing", tmp_path):
        loader = CliConfigLoader(folder)
        assert list(loader.iter_json_files()) == [] and list(loader.iter_configs()) == []


def test_only_direct_model_folders_are_found_in_listing_order(tmp_path: Path):
    for name in ("b", "a", "Über Bücher", "c"):
        write_model(tmp_path, name)
    (tmp_path / "no-schema").mkdir()
    (tmp_path / "no-schema" / "notes.txt").write_text("x", "utf-8")
    (tmp_path / MODEL_JSON_FILE).write_text('{"title": "Top", "type": "object"}', "utf-8")
    write_model(tmp_path / "deep", "inner")
    (tmp_path / "plain.json").write_text("{}", "utf-8")
    (tmp_path / "as-folder" / MODEL_JSON_FILE).mkdir(parents=True)

    found = list(CliConfigLoader(tmp_path).iter_json_files())
    listed = [tmp_path / name / MODEL_JSON_FILE for name in os.listdir(tmp_path)]
    expected = [p for p in listed if p.parent.name in {"a", "b", "c", "Über Bücher", "as-folder"}]
    assert found == expected and all(type(p) is type(tmp_path) for p in found)
    # The folder named model.json is yielded, and the schema reader refuses it.
    assert sorted(titles(CliConfigLoader(tmp_path))) == ["A", "B", "C", "Über bücher"]


def test_symlinked_model_folder_is_walked(tmp_path: Path):
    elsewhere = write_model(tmp_path / "elsewhere", "real", {"title": "Linked", "type": "object"})
    (tmp_path / "models").mkdir()
    (tmp_path / "models" / "link").symlink_to(elsewhere, target_is_directory=True)
    assert titles(CliConfigLoader(tmp_path / "models")) == ["Linked"]


class Scripted(CliConfigLoader):
    """Answers the schema questions from a table instead of reading files, and records what happens."""

    def __init__(self, config_dir, records):
        super().__init__(config_dir)
        self.records = records
        self.events = []

    def is_schema_file(self, path):
        self.events.append(("test", path.parent.name))
        return self.records[path.parent.name] is not None

    def read_configs_from_file(self, path):
        try:
            for record in self.records[path.parent.name]:
                received = yield record
                self.events.append(("sent", received))
        except ValueError as error:
            self.events.append(("thrown", str(error)))
            yield "recovered"
        finally:
            self.events.append(("closed", path.parent.name))


def test_records_are_delegated_in_order_and_rejected_files_skipped(tmp_path: Path):
    for name in ("one", "two", "three"):
        write_model(tmp_path, name)
    order = [p.name for p in tmp_path.iterdir()]
    records = {"one": ["1a", "1b", "1c"], "two": None, "three": ["3a"]}
    loader = Scripted(tmp_path, records)
    expected = [r for name in order for r in (records[name] or [])]
    assert list(loader.iter_configs()) == expected
    # Each file's records come before the next folder is looked at.
    seen = [e for e in loader.events if e[0] in ("test", "closed")]
    assert seen == [e for name in order for e in ([("test", name)] + ([("closed", name)] if records[name] else []))]


def test_send_throw_and_close_reach_the_file_reader(tmp_path: Path):
    write_model(tmp_path, "one")
    loader = Scripted(tmp_path, {"one": ["a", "b"]})
    walk = loader.iter_configs()
    assert next(walk) == "a" and walk.send("hello") == "b"
    assert walk.throw(ValueError("stop")) == "recovered"
    walk.close()
    assert loader.events[1:] == [("sent", "hello"), ("thrown", "stop"), ("closed", "one")]


def test_walk_is_lazy_over_a_thousand_models(tmp_path: Path):
    reads = []

    class CountingPath(type(Path())):
        def read_text(self, *args, **kwargs):
            reads.append(self.parent.name)
            return super().read_text(*args, **kwargs)

        def read_bytes(self):
            reads.append(self.parent.name)
            return super().read_bytes()

    for index in range(1000):
        write_model(tmp_path, f"m{index:04}", {"title": f"M{index}", "type": "object"})
    walk = CliConfigLoader(CountingPath(tmp_path)).iter_configs()
    assert reads == []
    first = next(walk)
    assert set(reads) == {f"m{int(first.title[1:]):04}"}
    assert sum(1 for _ in walk) == 999 and len(set(reads)) == 1000


@pytest.mark.parametrize(
    "make_folder, error",
    [
        (lambda root: root / "file.txt", NotADirectoryError),
        (lambda root: ListingRefused(root / "locked"), PermissionError),
    ],
    ids=["a file", "listing refused"],
)
def test_listing_errors_surface_on_the_first_request(tmp_path: Path, make_folder, error):
    (tmp_path / "file.txt").write_text("x", "utf-8")
    (tmp_path / "locked").mkdir()
    walk = CliConfigLoader(make_folder(tmp_path)).iter_configs()
    with pytest.raises(error):
        next(walk)


def test_str_shows_class_and_folder():
    class Mine(CliConfigLoader):
        pass

    assert str(CliConfigLoader(Path("models"))) == "CliConfigLoader(models)"
    assert str(Mine("x y")) == "Mine(x y)"
    assert isinstance(CliConfigLoader(Path()), ConfigReaderMixin)
