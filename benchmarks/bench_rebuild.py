"""Rebuilds of a project whose output holds databases: this checkout against the build that copied
the databases into every new output (the commit named BEFORE), side by side.

The earlier build runs from a copy of the installed package in build/bench-before with that
commit's pipeline files put back (the native modules are the same), so no second compile is needed.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import _timing

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
BEFORE = "25de9c2"
PIPELINE_FILES = ["cli.py", "pipeline/__init__.py", "pipeline/output.py", "pipeline/store.py", "pipeline/generate.py"]
MODELS, RECORDS, RUNS = 60, 20, 5
TARGET = 1.5


def before_package() -> Path | None:
    """A copy of the installed package with the earlier pipeline; ``None`` without git or that commit."""
    import korvan_models

    folder = REPO / "build" / "bench-before"
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(Path(korvan_models.__file__).parent, folder / "korvan_models")
    for name in PIPELINE_FILES:
        shown = subprocess.run(["git", "-C", str(REPO), "show", f"{BEFORE}:src/korvan_models/{name}"],
                               capture_output=True)
        if shown.returncode != 0:
            return None
        (folder / "korvan_models" / name).write_bytes(shown.stdout)
    return folder


def write_project(root: Path) -> None:
    for number in range(MODELS):
        folder = root / "models" / f"item{number}"
        (folder / "fixtures").mkdir(parents=True, exist_ok=True)
        schema = {"title": f"Item{number}", "type": "object",
                  "properties": {"name": {"type": "string"}, "size": {"type": "number"}}, "required": ["name"]}
        (folder / "model.json").write_text(json.dumps(schema), "utf-8")
        records = [{"_external_id": f"i{number}-{n}", "name": f"item {n}", "size": n} for n in range(RECORDS)]
        (folder / "fixtures" / "items.json").write_text(json.dumps(records), "utf-8")


def build_command(project: Path, out: Path) -> list[str]:
    return [sys.executable, "-c", "import sys; from korvan_models.cli import main; sys.exit(main())",
            "build", str(project), "--out", str(out), "-q"]


def timed(project: Path, out: Path, path: str | None) -> float:
    env = {**os.environ, "PYTHONPATH": path} if path else dict(os.environ)
    start = time.perf_counter()
    subprocess.run(build_command(project, out), env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def change_one(project: Path, run: int) -> None:
    schema_file = project / "models" / "item7" / "model.json"
    schema = json.loads(schema_file.read_text("utf-8"))
    schema["properties"][f"extra{run}"] = {"type": "string"}
    schema_file.write_text(json.dumps(schema), "utf-8")


def main() -> None:
    earlier = before_package()
    if earlier is None:
        print(f"commit {BEFORE} not found: rebuild comparison skipped")
        return
    with tempfile.TemporaryDirectory() as temp:
        temp = Path(temp)
        sides = {"after": (temp / "after", None), "before": (temp / "before", str(earlier))}
        for project, _path in sides.values():
            write_project(project)
        for name, (project, path) in sides.items():
            timed(project, temp / f"out-{name}", path)
        for label, change in (("nothing changed", None), ("one model changed", change_one)):
            best = {name: float("inf") for name in sides}
            for run in range(RUNS):
                for name, (project, path) in sides.items():
                    if change is not None:
                        change(project, run)
                    best[name] = min(best[name], timed(project, temp / f"out-{name}", path))
            ratio = best["after"] / best["before"]
            verdict = "ok" if ratio <= TARGET else "OVER TARGET"
            print(f"{f'rebuild of {MODELS} models, {label}':<44} after {best['after']:6.2f} s   "
                  f"before {best['before']:6.2f} s   ratio {ratio:5.2f} (target <= {TARGET:.2f}) {verdict}")
            _timing.RESULTS.append((label, best["after"], best["before"], ratio, TARGET))


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    main()
