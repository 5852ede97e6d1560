"""Cold builds of 6, 60 and 300 models against datamodel-code-generator given the same models as
JSON Schema; and a rebuild after changing one model of 300 against the first build.

Each run is a fresh process (cold: a new output folder, nothing to reuse). Time is the best of
a few runs; memory is the peak resident set of the largest process of the run.

datamodel-code-generator is a benchmark-only dependency; install it apart from the package:

    .venv/bin/python -m venv build/bench-venv
    build/bench-venv/bin/python -m pip install datamodel-code-generator

(or set DATAMODEL_CODEGEN to its command). Without it only the rebuild case runs.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from _timing import RESULTS

HERE = Path(__file__).resolve().parent
KORVAN_MODELS = Path(sys.executable).with_name("korvan-models")
SIZES = (6, 60, 300)
RUNS = 3
TARGET = 0.5
REBUILD_TARGET = 0.1


def codegen_command() -> str | None:
    for candidate in (os.environ.get("DATAMODEL_CODEGEN"), HERE.parent / "build" / "bench-venv" / "bin" / "datamodel-codegen",
                      shutil.which("datamodel-codegen")):
        if candidate and Path(candidate).exists():
            return str(candidate)
    return None


def model_schema(number: int, count: int) -> dict:
    """A model of ordinary size: texts, numbers with defaults, a list, a mapping, options, a reference."""
    return {
        "title": f"Item{number}",
        "type": "object",
        "description": f"Item number {number}.",
        "properties": {
            "name": {"type": "string"},
            "code": {"type": "string", "default": f"I{number}"},
            "quantity": {"type": "number", "default": "1"},
            "price": {"type": "number", "default": "9.5"},
            "active": {"type": "boolean", "default": True},
            "tags": {"type": "array", "items": {"type": "string"}, "default": []},
            "sizes": {"type": "dictionary", "items": {"key": {"type": "string"}, "value": {"type": "number"}}},
            "colour": {"type": "string", "options": [{"value": "red"}, {"value": "green"}, {"value": "blue"}]},
            "parent": {"type": f"Item{number // 2}"},
        },
        "required": ["name"],
    }


def json_schema(schemas: list[dict]) -> dict:
    """The same models as one JSON Schema document with a definition per model."""
    simple = {"string": {"type": "string"}, "number": {"type": "number"}, "boolean": {"type": "boolean"}}

    def convert(prop: dict) -> dict:
        kind = prop["type"]
        if kind in simple:
            result = dict(simple[kind])
        elif kind == "array":
            result = {"type": "array", "items": convert(prop["items"])}
        elif kind == "dictionary":
            result = {"type": "object", "additionalProperties": convert(prop["items"]["value"])}
        else:
            result = {"$ref": f"#/$defs/{kind}"}
        if "options" in prop:
            result["enum"] = [option["value"] for option in prop["options"]]
        if "default" in prop:
            default = prop["default"]
            result["default"] = float(default) if kind == "number" else default
        return result

    definitions = {
        schema["title"]: {
            "type": "object",
            "title": schema["title"],
            "description": schema["description"],
            "properties": {name: convert(prop) for name, prop in schema["properties"].items()},
            "required": schema["required"],
        }
        for schema in schemas
    }
    return {"$schema": "https://json-schema.org/draft/2020-12/schema", "title": "Models", "$defs": definitions,
            "type": "object", "properties": {title: {"$ref": f"#/$defs/{title}"} for title in definitions}}


def write_project(root: Path, count: int) -> tuple[Path, Path]:
    schemas = [model_schema(number, count) for number in range(count)]
    for schema in schemas:
        folder = root / "project" / "models" / schema["title"].lower()
        folder.mkdir(parents=True)
        (folder / "model.json").write_text(json.dumps(schema, indent=4), "utf-8")
    document = root / "models.schema.json"
    document.write_text(json.dumps(json_schema(schemas), indent=4), "utf-8")
    return root / "project", document


def timed(command: list[str]) -> tuple[float, float]:
    """Seconds and peak resident megabytes of one run of ``command``."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _pid, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    if status != 0:
        raise RuntimeError(f"{command[0]} failed: {child.stderr.read().decode()}")
    child.stderr.close()
    return elapsed, usage.ru_maxrss / 1024


def best(runs: list[tuple[float, float]]) -> tuple[float, float]:
    return min(seconds for seconds, _ in runs), max(memory for _, memory in runs)


def report(label: str, ours: tuple[float, float], theirs: tuple[float, float], target: float, other: str) -> None:
    ratio = ours[0] / theirs[0]
    verdict = "ok" if ratio <= target else "OVER TARGET"
    print(f"{label:<34} ours {ours[0]:7.2f} s {ours[1]:6.0f} MB   {other} {theirs[0]:7.2f} s {theirs[1]:6.0f} MB   "
          f"ratio {ratio:5.2f} (target <= {target:.2f}) {verdict}")
    RESULTS.append((label, ours[0], theirs[0], ratio, target))


def main() -> None:
    codegen = codegen_command()
    if codegen is None:
        print("datamodel-codegen not found: cold comparisons skipped (see this file's instructions)")
    with tempfile.TemporaryDirectory() as temp:
        temp = Path(temp)
        for count in SIZES:
            project, document = write_project(temp / str(count), count)
            ours, theirs = [], []
            for run in range(RUNS):
                if codegen:
                    theirs.append(timed([codegen, "--input", str(document), "--input-file-type", "jsonschema",
                                         "--output-model-type", "pydantic_v2.BaseModel",
                                         "--output", str(temp / f"dm{count}-{run}.py")]))
                ours.append(timed([str(KORVAN_MODELS), "build", str(project), "--out", str(temp / f"out{count}-{run}"),
                                   "--quiet"]))
            if codegen:
                report(f"cold build, {count} models", best(ours), best(theirs), TARGET, "datamodel-codegen")
            if count == SIZES[-1]:
                first = best(ours)
                out = temp / f"out{count}-0"
                rebuilds = []
                for run in range(RUNS):
                    schema_file = project / "models" / "item7" / "model.json"
                    schema = json.loads(schema_file.read_text("utf-8"))
                    schema["properties"][f"extra{run}"] = {"type": "string"}
                    schema_file.write_text(json.dumps(schema), "utf-8")
                    rebuilds.append(timed([str(KORVAN_MODELS), "build", str(project), "--out", str(out), "--quiet"]))
                report(f"rebuild, 1 of {count} models changed", best(rebuilds), first, REBUILD_TARGET, "first build")


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    main()
