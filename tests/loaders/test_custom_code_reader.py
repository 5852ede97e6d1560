"""CliCustomCodeReader: which code files count, in what order, and how their texts are joined."""

from __future__ import annotations

import os
from pathlib import Path

import pytest
from loader_helpers import ListingRefused, write_model

from korvan_models.schemas.data_models.custom_code import CustomCodeSchema
from korvan_models.schemas.loaders.cli_custom_code_reader import CliCustomCodeReader


@pytest.mark.parametrize(
    "files, code",
    [
        ({"hooks/b.py": "B", "hooks/a.py": "A", "properties/p.py": "P"}, "A\n\nB\n\nP"),
        ({"properties/p.py": "P", "modifiers/m.py": "M", "hooks/h.py": "H"}, "H\n\nM\n\nP"),
        ({"hooks/b2.py": "2", "hooks/b10.py": "10", "hooks/Z.py": "Z", "hooks/a.py": "a"}, "Z\n\na\n\n10\n\n2"),
        ({"hooks/X.PY": "upper", "hooks/y.Py": "mixed"}, "upper\n\nmixed"),
        ({"hooks/a.txt": "no", "hooks/a.pyc": "no", "hooks/py": "no", "hooks/.py": "no", "hooks/sub.py/x.py": "no",
          "hooks/ok.py": "yes"}, "yes"),
        ({"hooks/empty.py": "", "hooks/z.py": "Z"}, "Z"),
        ({"hooks/a.py": "  \n\t", "hooks/b.py": "\n"}, "\n\n"),
        ({"hooks/a.py": "\n\n  def f(self):\n      return 1\n\n"}, "def f(self):\n      return 1"),
        ({"hooks/crlf.py": b"x = 1\r\n\r\ny = 2\r\n", "hooks/cr.py": b"a = 1\rb = 2"}, "a = 1\nb = 2\n\nx = 1\n\ny = 2"),
        ({"hooks/ü é.py": "# ünïcode", "modifiers/notes.md": "no"}, "# ünïcode"),
    ],
    ids=["example", "group order", "code points", "suffix case", "ignored entries", "empty file",
         "white space only", "strip", "line ends", "non-ascii"],
)
def test_code_text_of_one_model(tmp_path: Path, files, code):
    write_model(tmp_path, "model", {"title": "Person", "type": "object"}, files)
    records = list(CliCustomCodeReader(tmp_path).iter_custom_code())
    assert records == [CustomCodeSchema(name="Person", code=code)]


def test_models_without_code_or_schema_are_skipped(tmp_path: Path):
    for name in ("first", "second", "third"):
        write_model(tmp_path, name, files={"hooks/h.py": name})
    write_model(tmp_path, "no code")
    write_model(tmp_path, "not a schema", '{"name": "options"}', {"hooks/h.py": "x"})
    write_model(tmp_path, "many", '[{"title": "One", "type": "object"}, {"title": "Two", "type": "One"}]',
                {"hooks/h.py": "many"})
    (tmp_path / "no model" / "hooks").mkdir(parents=True)
    (tmp_path / "no model" / "hooks" / "h.py").write_text("x", "utf-8")
    (tmp_path / "as-folder" / "model.json").mkdir(parents=True)
    reader = CliCustomCodeReader(tmp_path)
    expected = {"first": "First", "second": "Second", "third": "Third", "many": "One"}
    order = [name for name in os.listdir(tmp_path) if name in expected]
    assert [(r.name, r.code) for r in reader.iter_custom_code()] == [
        (expected[name], name) for name in order
    ]
    entries = list(reader.iter_model_directories())
    assert [(folder.name, schema.title) for folder, schema in entries] == [
        (name, title) for name, title in
        [(n, {"no code": "No code"}.get(n, expected.get(n))) for n in os.listdir(tmp_path)] if title
    ]


def test_missing_project_folder_gives_nothing(tmp_path: Path):
    assert list(CliCustomCodeReader(tmp_path / "missing").iter_custom_code()) == []


@pytest.mark.parametrize(
    "files, error",
    [
        ({"hooks": "a file, not a folder"}, NotADirectoryError),
        ({"hooks/bad.py": b"x = '\xff'"}, UnicodeDecodeError),
    ],
    ids=["hooks is a file", "not utf-8"],
)
def test_host_errors_propagate(tmp_path: Path, files, error):
    write_model(tmp_path, "model", files=files)
    with pytest.raises(error):
        list(CliCustomCodeReader(tmp_path).iter_custom_code())


def test_a_refused_listing_propagates(tmp_path: Path):
    write_model(tmp_path, "locked", files={"hooks/h.py": "x"})
    walk = CliCustomCodeReader(ListingRefused(tmp_path)).iter_custom_code()
    with pytest.raises(PermissionError):
        list(walk)


@pytest.mark.parametrize(
    "result, error, text",
    [
        (lambda: [], TypeError, "^list object is not an iterator$"),
        (lambda: {"a": 1}.keys(), TypeError, "^dict_keys object is not an iterator$"),
        (lambda: iter(()), RuntimeError, "generator raised StopIteration"),
    ],
    ids=["not an iterator", "a view", "no record"],
)
def test_schema_reader_results_it_cannot_use(tmp_path: Path, result, error, text):
    class Reader(CliCustomCodeReader):
        def read_configs_from_file(self, path):
            return result()

    write_model(tmp_path, "model", files={"hooks/h.py": "x"})
    with pytest.raises(error, match=text):
        list(Reader(tmp_path).iter_custom_code())


def test_subdirectory_must_be_exactly_a_text(tmp_path: Path):
    class Name(str):
        pass

    reader = CliCustomCodeReader(tmp_path)
    assert reader.read_custom_code_from_subdirectory(tmp_path, "hooks") == []
    for value, shown in [(Name("hooks"), "Name"), (None, "NoneType"), (Path("hooks"), "PosixPath")]:
        message = f"Argument 'subdirectory' has incorrect type (expected str, got {shown})"
        with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
            reader.read_custom_code_from_subdirectory(tmp_path, value)


def test_nothing_is_read_before_the_first_request_and_str(tmp_path: Path):
    walk = CliCustomCodeReader(tmp_path / "file.txt").iter_custom_code()
    (tmp_path / "file.txt").write_text("x", "utf-8")
    with pytest.raises(NotADirectoryError):
        next(walk)
    assert str(CliCustomCodeReader(Path("models"))) == "CliCustomCodeReader(models)"
