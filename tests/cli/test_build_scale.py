"""What a build holds while it runs: schemas shelved past the check, records sharing their sets of
given field names, and results that do not depend on how many processes generate."""

from __future__ import annotations

import copy
import json
import pickle
import sqlite3
from pathlib import Path

import pytest
from cli_helpers import sources, write_json

from korvan_models.pipeline import check_project
from korvan_models.pipeline.generate import ShelvedSchema, loaded, model_keys
from korvan_utils.models.data_models.schema import ObjectSchema


def _schema(number: int) -> dict:
    """Models of one shape, some with an option list, custom code or a parent, so that records of
    equal given fields are shared and then changed by the binders."""
    properties = {
        "name": {"type": "string"},
        "size": {"type": "number", "default": str(number)},
        "tags": {"type": "array", "items": {"type": "string"}},
        "kind": {"type": "string", **({"options_list_name": "kinds"} if number % 3 == 0 else {})},
        "map": {"type": "dictionary", "items": {"key": {"type": "string"}, "value": {"type": "number"}}},
        "next": {"type": f"Part{(number + 1) % 24}"},
    }
    return {"title": f"Part{number}", "type": "Part0" if number in (5, 7) else "object",
            "properties": properties if number not in (5, 7) else {"extra": {"type": "string"}},
            "required": ["name"] if number not in (5, 7) else []}


@pytest.fixture
def many(tmp_path: Path) -> Path:
    root = tmp_path / "many"
    for number in range(24):
        write_json(root / "models" / f"part{number}" / "model.json", _schema(number))
    write_json(root / "models" / "options" / "kinds.json", {"title": "kinds", "values": [{"value": "a"}, {"value": "b"}]})
    hooks = root / "models" / "part4" / "hooks"
    hooks.mkdir()
    (hooks / "label.py").write_text("def label(self):\n    return self.name\n", "utf-8")
    write_json(root / "models" / "part2" / "fixtures" / "parts.json", [{"_external_id": "p-1", "name": "Ann"}])
    return root


def _tables(database: Path) -> dict[str, list]:
    with sqlite3.connect(database) as connection:
        names = [row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
        return {name: list(connection.execute(f'PRAGMA table_info("{name}")')) for name in names}


def test_one_process_and_several_build_the_same(many: Path, tmp_path: Path, run) -> None:
    outputs = []
    for jobs in ("1", "3"):
        out = tmp_path / f"out{jobs}"
        result = run("build", many, "--out", out, "--jobs", jobs)
        assert result.status == 0, result.err
        outputs.append(out)
    assert ", over 3 processes" in result.out
    first, second = (sources(out) for out in outputs)
    assert first == second
    assert "models/part4.pyi" in first and "models/ruff.toml" in first
    for database in ("default.sqlite3", "lakehouse.sqlite3"):
        found = [_tables(out / "data" / database) for out in outputs if (out / "data" / database).exists()]
        assert len(found) in (0, 2) and (not found or found[0] == found[1])


def test_modules_a_worker_cannot_write_are_written_by_the_build(many: Path, tmp_path: Path, run, monkeypatch) -> None:
    import errno
    import os

    from korvan_models.pipeline.output import Output

    parent, write = os.getpid(), Output.write

    def full_disk_in_workers(self, relative, data):
        if os.getpid() != parent and relative.endswith(".pyi"):
            raise OSError(errno.ENOSPC, "No space left on device")
        return write(self, relative, data)

    assert run("build", many, "--out", tmp_path / "one", "--jobs", "1").status == 0
    monkeypatch.setattr(Output, "write", full_disk_in_workers)
    result = run("build", many, "--out", tmp_path / "several", "--jobs", "3")
    assert result.status == 0 and ", over 3 processes" in result.out, result.err
    assert sources(tmp_path / "one") == sources(tmp_path / "several")


def test_shelved_schemas_come_back_as_checked(many: Path) -> None:
    project = check_project(many)
    shelved = [ShelvedSchema(schema) for schema in project.schemas]
    back = [loaded(item) for item in shelved]
    assert back == project.schemas
    assert [item.title for item in shelved] == [schema.title for schema in project.schemas]
    assert [s.model_fields_set for s in back] == [s.model_fields_set for s in project.schemas]
    assert model_keys(shelved, project.names, "models") == model_keys(project.schemas, project.names, "models")
    # Every load is a copy of its own: a step that changes one leaves the shelf as it was.
    back[0].properties["name"].description = "changed"
    assert loaded(shelved[0]) == project.schemas[0]


def test_shared_field_sets_are_never_changed_through_another_record() -> None:
    text = json.dumps(_schema(1))
    first, second = ObjectSchema.model_validate_json(text), ObjectSchema.model_validate_json(text)
    name, other = first.properties["name"], second.properties["name"]
    assert name.__pydantic_fields_set__ is other.__pydantic_fields_set__
    assert first.properties["tags"].items.__pydantic_fields_set__ is second.properties["tags"].items.__pydantic_fields_set__
    before = set(other.model_fields_set)

    name.options_list_name = "kinds"  # a field not given before
    first.custom_code = "def f(self):\n    return 1\n"
    name.field_name = "renamed"  # a field given already
    assert name.model_fields_set == before | {"options_list_name"}
    assert other.model_fields_set == before
    assert "custom_code" in first.model_fields_set and "custom_code" not in second.model_fields_set
    assert second.properties["size"].model_fields_set == {"type", "default", "field_name"}

    # Copies, pickles and dumps see the given fields of their own record.
    updated = other.model_copy(update={"description": "d"})
    assert other.model_fields_set == before and updated.model_fields_set == before | {"description"}
    assert other.model_dump(exclude_unset=True) == {"type": "string", "field_name": "name"}
    assert pickle.loads(pickle.dumps(first)).model_fields_set == first.model_fields_set
    deep = copy.deepcopy(second)
    deep.properties["name"].description = "x"
    assert other.model_fields_set == before


def test_free_cores_count_over_the_time_since_watching_began(monkeypatch) -> None:
    from korvan_models.pipeline import generate as generate_module

    slept: list[float] = []
    real_sleep = generate_module.time.sleep
    monkeypatch.setattr(generate_module.time, "sleep", lambda seconds: (slept.append(seconds), real_sleep(seconds)))
    generate_module.watch_cores()
    began = generate_module.time.process_time()
    while generate_module.time.process_time() - began < 0.15:  # this process's own work is not "other work"
        pass
    busy = generate_module._busy_cores(0.1)
    again = generate_module._busy_cores(0.1)  # the watch is used up: a fresh sample of its own
    assert slept[0] == 0.0 and 0.09 <= slept[1] <= 0.1
    cores = generate_module.os.cpu_count()
    assert busy is not None and again is not None and 0.0 <= busy <= cores and 0.0 <= again <= cores
    assert 1 <= generate_module.free_cores(0.01) <= generate_module.machine_cores()


@pytest.mark.parametrize("models, processes", [(1, 2), (9, 2), (300, 2), (1000, 3), (17, 8)])
def test_processes_take_every_model_once_in_shrinking_chunks(models: int, processes: int) -> None:
    from korvan_models.pipeline.generate import CHUNK, chunk_size

    start, sizes = 0, []
    while start < models:
        sizes.append(chunk_size(models - start, processes))
        start += sizes[-1]
    assert sum(sizes) == models and all(1 <= size <= CHUNK for size in sizes)
    assert sizes == sorted(sizes, reverse=True) and sizes[-1] == 1


def test_a_table_another_program_makes_while_the_models_generate_is_completed_not_made(project, tmp_path, run,
                                                                                        monkeypatch) -> None:
    """The tables are prepared while worker processes generate; one that an application makes in the
    databases meanwhile is found in the store step's transaction: completed, its record kept and told of."""
    from korvan_models.pipeline import store

    for number in range(8):
        write_json(project / "models" / f"extra{number}" / "model.json",
                   {"title": f"Extra{number}", "type": "object", "properties": {"name": {"type": "string"}},
                    "required": ["name"]})
    data = tmp_path / ".out.korvan-data"
    ahead = store.TableStep.ahead

    def ahead_then_an_application(step) -> None:
        ahead(step)
        assert step.result is not None and step.result[2] is not None  # prepared while generating
        for name in ("default", "lakehouse"):
            with sqlite3.connect(data / f"{name}.sqlite3") as connection:
                connection.execute('CREATE TABLE "Extra0" ("_object_id" VARCHAR(255) NOT NULL, "_object_version" '
                                   'INTEGER NOT NULL, "_class_version" INTEGER NOT NULL, PRIMARY KEY ("_object_id"))')
                connection.execute("""INSERT INTO "Extra0" VALUES ('e', 1, 1)""")
            connection.close()

    monkeypatch.setattr(store.TableStep, "ahead", ahead_then_an_application)
    built = run("build", project, "--out", tmp_path / "out", "--jobs", "2")
    assert built.status == 0, built.err
    assert "over 2 processes" in built.out and "1 stored Extra0 record lacks the required name" in built.out
    for name in ("default", "lakehouse"):
        with sqlite3.connect(data / f"{name}.sqlite3") as connection:
            assert connection.execute('SELECT _object_id, name FROM "Extra0"').fetchall() == [("e", None)]
            assert connection.execute('SELECT count(*) FROM "Extra7"').fetchone() == (0,)
        connection.close()


@pytest.mark.parametrize("count", [1, 3])
def test_a_few_models_shared_with_long_work_are_generated_by_one_worker_as_by_this_process(many: Path, count) -> None:
    import os

    from korvan_models.pipeline.generate import generate

    project = check_project(many)
    schemas = project.schemas[:count]
    meanwhile, made_by = [], []

    def sink(_title, _text):
        made_by.append(os.getpid())

    alone = generate(schemas, project.names, "models", jobs=1)
    shared = generate(schemas, project.names, "models", jobs=2, meanwhile=lambda: meanwhile.append(os.getpid()),
                      share=True, sink=sink)
    # The work meanwhile ran here, every model in the one worker; the report counts that one process.
    assert meanwhile == [os.getpid()] and len(made_by) == 0 and shared.workers == alone.workers == 1
    assert shared.texts == alone.texts and shared.failures == alone.failures == []
