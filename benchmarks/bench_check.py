"""`korvan-models check` of a 300-model project: the one-pass diagnosis against the check it
replaced, kept in check_before.py (it re-read schema files, re-ran the verification mixins on
deep copies and read their messages back with regular expressions).

Both run in this process on the same project folder, interleaved; the target is half the old time.
A second case adds custom code and fixture records to a tenth of the models: the new check then
also imports their generated classes and validates every record, which the old check never did,
so that case is reported for information against the same old check.
"""

import json
import shutil
import tempfile
from pathlib import Path

import check_before
from _timing import compare
from bench_build import write_project

from korvan_models.pipeline.project import check_project

COUNT = 300
TARGET = 0.5


def add_code_and_fixtures(project: Path, every: int = 10) -> None:
    for number in range(0, COUNT, every):
        folder = project / "models" / f"item{number}"
        (folder / "hooks").mkdir()
        (folder / "hooks" / "label.py").write_text("def label(self) -> str:\n    return self.name.upper()\n", "utf-8")
        (folder / "fixtures").mkdir()
        records = [{"_external_id": f"i{number}-{n}", "name": f"n{n}", "colour": "red"} for n in range(5)]
        (folder / "fixtures" / "items.json").write_text(json.dumps(records, indent=4), "utf-8")


def main():
    root = Path(tempfile.mkdtemp(prefix="bench-check-"))
    try:
        project, _document = write_project(root, COUNT)
        compare(f"check of {COUNT} models (one pass vs. before)", lambda: check_project(project),
                lambda: check_before.check_project(project), TARGET, number=1, repeat=5)
        add_code_and_fixtures(project)
        compare(f"check of {COUNT} models, a tenth with code and records (informative)",
                lambda: check_project(project), lambda: check_before.check_project(project), 20.0, number=1, repeat=3)
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
