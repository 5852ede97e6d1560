"""Where the time of a one-process cold build goes: the formatter and printer calls, table
creation, checking, our own generation code (generation less those calls), writing and storing,
and the garbage collector (timed through ``gc.callbacks``, spread over the other rows).

The calls are timed by wrapping them for this one run (black and isort are compiled, so a
profiler does not see them).

    .venv/bin/python benchmarks/profile_build.py [COUNT]     (default 300 models)
    .venv/bin/python benchmarks/profile_build.py --steps [COUNT] [--jobs N]

``--steps`` times instead each step of one build with the default number of processes (or
``--jobs``): when it began and ended, from the start of the command's run, in the order begun.
"""

from __future__ import annotations

import gc
import importlib
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from bench_build import write_project  # noqa: E402

# Row name: (module, attribute) whose calls make the row.
ROWS = {
    "black": ("black", "format_str"),
    "isort": ("isort", "code"),
    "astor": ("astor", "to_source"),
    "tables": ("korvan_models.pipeline.store", "create_deferred_tables"),
    # Without worker processes the table step is planned and prepared after the generation.
    "table prep": ("korvan_models.pipeline.store", "TableStep._plan"),
    "check": ("korvan_models.pipeline", "check_project"),
    "generation": ("korvan_models.pipeline.generate", "_render_all"),
    "writing": ("korvan_models.pipeline.output", "Output.write"),
}


def timing(spent: dict, row: str, function):
    def timed(*args, **kwargs):
        began = time.perf_counter()
        try:
            return function(*args, **kwargs)
        finally:
            spent[row] += time.perf_counter() - began
            # Files written while generating (each process writes the modules it generated).
            if row == "writing" and spent["generation"] == GENERATING[0]:
                spent["writing in generation"] += time.perf_counter() - began

    return timed


# The generation row's value while a generation call is running (None otherwise).
GENERATING: list = [None]


def marking(spent: dict, function):
    def marked(*args, **kwargs):
        GENERATING[0] = spent["generation"]
        try:
            return function(*args, **kwargs)
        finally:
            GENERATING[0] = None

    return marked


# The steps of one build timed by ``--steps``: (module, attribute).
STEPS = [
    ("korvan_models.pipeline", "check_project"),
    ("korvan_models.pipeline", "project_model_keys"),
    ("korvan_models.pipeline", "shelve_schemas"),
    ("korvan_models.pipeline", "generate_models"),
    ("korvan_models.pipeline.generate", "free_cores"),
    ("korvan_models.pipeline.store", "TableStep._plan"),
    ("korvan_models.pipeline.store", "fixtures_digest"),
    ("korvan_models.pipeline.store", "copy_files"),
    ("korvan_models.pipeline.output", "Output.prepare"),
    ("korvan_models.pipeline.store", "store"),
    ("korvan_models.pipeline.store", "create_deferred_tables"),
    ("korvan_models.pipeline.store", "stored_record_notes"),
    ("korvan_models.pipeline.output", "Output.commit"),
]


def steps(count: int, jobs: list[str]) -> None:
    marks: list[tuple[str, float, float]] = []

    def marking_step(name: str, function):
        def marked(*args, **kwargs):
            began = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                marks.append((name, began, time.perf_counter()))

        return marked

    from korvan_models.cli import parser, run

    for module, name in STEPS:
        owner = importlib.import_module(module)
        *path, attribute = name.split(".")
        for step in path:
            owner = getattr(owner, step, None)
        if not hasattr(owner, attribute):  # a step another version does not have
            continue
        setattr(owner, attribute, marking_step(name, getattr(owner, attribute)))
    with tempfile.TemporaryDirectory() as temp:
        project, _document = write_project(Path(temp), count)
        args = parser().parse_args(["build", str(project), "--out", str(Path(temp) / "out"), "--quiet", *jobs])
        began = time.perf_counter()
        run(args)
        total = time.perf_counter() - began
    print(f"{count} models, {' '.join(jobs) or 'default --jobs'}: {total:.3f} s")
    for name, start, end in sorted(marks, key=lambda mark: mark[1]):
        print(f"  {name:<24} {start - began:6.3f} -> {end - began:6.3f} s  ({end - start:.3f} s)")


def main() -> None:
    if "--steps" in sys.argv:
        arguments = [a for a in sys.argv[1:] if a != "--steps"]
        jobs = arguments[arguments.index("--jobs"):][:2] if "--jobs" in arguments else []
        counts = [a for a in arguments if a not in jobs]
        steps(int(counts[0]) if counts else 300, jobs)
        return
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    spent = dict.fromkeys([*ROWS, "gc", "writing in generation"], 0.0)
    gc_start = [0.0]

    def on_gc(phase: str, _info: dict) -> None:
        if phase == "start":
            gc_start[0] = time.perf_counter()
        else:
            spent["gc"] += time.perf_counter() - gc_start[0]

    began = time.perf_counter()
    from korvan_models.cli import parser, run
    imports = time.perf_counter() - began
    for row, (module, name) in ROWS.items():
        owner = importlib.import_module(module)
        *path, name = name.split(".")
        for step in path:
            owner = getattr(owner, step)
        function = timing(spent, row, getattr(owner, name))
        if row == "generation":
            function = marking(spent, function)
        setattr(owner, name, function)

    with tempfile.TemporaryDirectory() as temp:
        project, _document = write_project(Path(temp), count)
        args = parser().parse_args(["build", str(project), "--out", str(Path(temp) / "out"), "--jobs", "1", "--quiet"])
        gc.callbacks.append(on_gc)
        began = time.perf_counter()
        run(args)
        total = time.perf_counter() - began
        gc.callbacks.remove(on_gc)
    own = spent["generation"] - spent["black"] - spent["isort"] - spent["astor"] - spent["writing in generation"]
    rest = total - spent["generation"] - spent["tables"] - spent["table prep"] - spent["check"] - (spent["writing"] - spent["writing in generation"])
    print(f"{count} models, one process: {total:.2f} s after {imports:.2f} s of command imports")
    for row, seconds in [("black", spent["black"]), ("isort", spent["isort"]), ("tables", spent["tables"]),
                         ("table prep", spent["table prep"]),
                         ("our code", own), ("astor", spent["astor"]), ("check", spent["check"]),
                         ("writing", spent["writing"]),
                         ("the rest", rest), ("gc", spent["gc"])]:
        print(f"  {row:<10} {seconds:6.2f} s {seconds / total:6.1%}")
    print("  (our code: generation less black, isort, astor and the files written while generating; writing: every"
          " file of the output; the rest: fixtures, settings, imports on the way; gc is spread over the rows)")


if __name__ == "__main__":
    main()
