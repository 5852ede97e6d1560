"""Rebuilds of a 300-model project, as a ratio to the cold build of the same project: this checkout
against the build before rebuilds could stop early (the commit named BEFORE), side by side.

The earlier build runs from a copy of the installed package in build/bench-before with that
commit's command and output files put back (the native modules are the same), so no second
compile is needed. Each case is a fresh process; CPU counts the process and its waited children.

    .venv/bin/python benchmarks/bench_rebuild.py [--models 300] [--runs 3]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import _timing

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
BEFORE = "7ff0575"
PIPELINE_FILES = ["cli.py", "pipeline/__init__.py", "pipeline/output.py", "pipeline/store.py"]
TARGETS = {"nothing changed": 0.05, "one model changed": 0.1, "one model's description changed": 0.1}


def before_package() -> Path | None:
    """A copy of the installed package with the earlier files; ``None`` without git or that commit."""
    import korvan_models

    folder = REPO / "build" / "bench-before"
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(Path(korvan_models.__file__).parent, folder / "korvan_models")
    for name in PIPELINE_FILES:
        shown = subprocess.run(["git", "-C", str(REPO), "show", f"{BEFORE}:src/korvan_models/{name}"],
                               capture_output=True, check=False)
        if shown.returncode != 0:
            return None
        (folder / "korvan_models" / name).write_bytes(shown.stdout)
    return folder


def build(project: Path, out: Path, path: str | None) -> tuple[float, float]:
    """Wall and CPU seconds of one build in a fresh process."""
    env = {**os.environ, "PYTHONPATH": path} if path else dict(os.environ)
    command = [sys.executable, "-c", "import sys; from korvan_models.cli import command; command()",
               "build", str(project), "--out", str(out), "-q"]
    start = time.perf_counter()
    child = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _pid, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    error = child.stderr.read().decode()
    child.stderr.close()
    if status != 0:
        raise RuntimeError(f"build failed: {error}")
    return wall, usage.ru_utime + usage.ru_stime


def change_one(project: Path, run: int, label: str) -> None:
    """A new property (its table changes), or a new description (its table stays)."""
    schema_file = project / "models" / "item7" / "model.json"
    schema = json.loads(schema_file.read_text("utf-8"))
    if "description" in label:
        schema["description"] = f"Changed {run} times."
    else:
        schema["properties"][f"extra{run}"] = {"type": "string"}
    schema_file.write_text(json.dumps(schema), "utf-8")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--models", type=int, default=300)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args(argv or [])
    from bench_build import write_project

    earlier = before_package()
    if earlier is None:
        print(f"commit {BEFORE} not found: rebuild comparison skipped")
        return
    print(f"load average {os.getloadavg()[0]:.2f} on {len(os.sched_getaffinity(0))} cores")
    with tempfile.TemporaryDirectory() as temp:
        temp = Path(temp)
        sides = {"after": (temp / "after", None), "before": (temp / "before", str(earlier))}
        cold = {}
        for name, (root, path) in sides.items():
            project, _document = write_project(root, args.models)
            sides[name] = (project, path)
            cold[name] = build(project, temp / f"out-{name}", path)
        for label in TARGETS:
            runs: dict[str, list[tuple[float, float]]] = {name: [] for name in sides}
            for run in range(args.runs):
                for name, (project, path) in sides.items():
                    if label != "nothing changed":
                        change_one(project, run, label)
                    runs[name].append(build(project, temp / f"out-{name}", path))
            ratios = {}
            for name in sides:
                wall = statistics.median(r[0] for r in runs[name])
                cpu = statistics.median(r[1] for r in runs[name])
                ratios[name] = (wall / cold[name][0], cpu / cold[name][1], wall, cpu)
            after, before = ratios["after"], ratios["before"]
            verdict = "ok" if max(after[:2]) <= TARGETS[label] else "OVER TARGET"
            print(f"{f'rebuild of {args.models} models, {label}':<58} after cpu {after[3]:5.2f} s "
                  f"(x{after[1]:.3f} of cold), wall {after[2]:5.2f} s (x{after[0]:.3f})   before cpu {before[3]:5.2f} s "
                  f"(x{before[1]:.3f}), wall {before[2]:5.2f} s (x{before[0]:.3f})   "
                  f"target <= {TARGETS[label]:.2f} {verdict}")
            _timing.RESULTS.append((label, after[3], cold["after"][1], after[1], TARGETS[label]))


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    main(sys.argv[1:])
