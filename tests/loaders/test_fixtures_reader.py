"""CliFixturesReader: the merged fixtures document, the copied files, errors naming their file, and
temporary folders that never outlive their generator."""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path
from types import SimpleNamespace

import pandas
import pytest
from loader_helpers import write_model
from pydantic import ValidationError

from korvan_models.schemas.loaders.cli_fixtures_reader import CliFixturesReader

PERSON = {"title": "Person", "type": "object"}


def document(reader: CliFixturesReader):
    """The merged document's text and elements, read while the generator is suspended at its yield."""
    walk = reader.iter_fixtures()
    path = next(walk, None)
    if path is None:
        return None
    text = path.read_text("ascii")
    assert path.name == "fixtures.json" and list(walk) == [] and not path.parent.exists()
    return text, json.loads(text)


def element(class_name, external_id, order, data):
    return {"class_name": class_name, "external_id": external_id, "order": order, "data": data}


@pytest.mark.parametrize(
    "files, expected",
    [
        ({"people.json": [{"name": "Ann"}, {"name": "Bob", "_order": 2}]},
         [element("Person", None, 0, {"name": "Ann"}), element("Person", None, 2, {"name": "Bob"})]),
        ({"mixed.json": {"Author": [{"n": 1}], "Book": [{"n": 2}, {"n": 3}]}},
         [element("Author", None, 0, {"n": 1}), element("Book", None, 0, {"n": 2}), element("Book", None, 0, {"n": 3})]),
        ({"ids.json": [{"_external_id": "p1", "external_id": "kept", "x": 1}]},
         [element("Person", "p1", 0, {"external_id": "kept", "x": 1})]),
        ({"ids.json": [{"external_id": "p2", "x": 1}, {"_external_id": "", "external_id": 0}]},
         [element("Person", "p2", 0, {"x": 1}), element("Person", 0, 0, {})]),
        ({"ids.json": [{"_external_id": "", "x": 1}, {"_external_id": None, "_order": -1}]},
         [element("Person", "", 0, {"x": 1}), element("Person", None, -1, {})]),
        ({"rows.csv": "_external_id,_order,name,age\n,,Ann,42\nb1,3,,7\n"},
         [element("Person", "", "", {"name": "Ann", "age": 42}), element("Person", "b1", 3.0, {"name": "", "age": 7})]),
        ({"header.csv": "name,age\n", "upper.CSV": "name\nx\n", "notes.txt": "x", "empty.json": [],
          "none.json": {}, "files/a.txt": "x", "words.json": [{"text": "Grüße ☃"}]},
         [element("Person", None, 0, {"text": "Grüße ☃"})]),
    ],
    ids=["array", "object of classes", "both ids", "external id only", "falsy ids", "csv", "ignored and non-ascii"],
)
def test_merged_document(tmp_path: Path, temp_root: Path, files, expected):
    files = {f"fixtures/{name}": c if isinstance(c, str) else json.dumps(c) for name, c in files.items()}
    write_model(tmp_path, "person", PERSON, files)
    text, elements = document(CliFixturesReader(tmp_path))
    assert elements == expected and text == json.dumps(expected, indent=4)
    assert text.isascii() and list(temp_root.iterdir()) == []


def test_models_and_files_come_in_listing_order(tmp_path: Path):
    for folder in ("b", "a", "c"):
        write_model(tmp_path, folder, None, {f"fixtures/{n}.json": json.dumps([{"f": f"{folder}{n}"}]) for n in "xyz"})
    write_model(tmp_path, "no fixtures")
    write_model(tmp_path, "fixtures is a file", None, {"fixtures": "x"})
    (tmp_path / "no model" / "fixtures").mkdir(parents=True)
    reader = CliFixturesReader(tmp_path)
    folders = [n for n in os.listdir(tmp_path) if n in "abc"]
    assert [(d.name, s.title) for d, s in reader.models_with_fixtures] == [(n, n.upper()) for n in folders]
    order = [f + n[0] for f in folders for n in os.listdir(tmp_path / f / "fixtures")]
    assert [e["data"]["f"] for e in document(reader)[1]] == order


def test_nothing_to_merge_or_copy(tmp_path: Path, temp_root: Path):
    assert CliFixturesReader(tmp_path / "missing").models_with_fixtures == []
    write_model(tmp_path, "person", PERSON, {"fixtures/header.csv": "a,b\n", "fixtures/files/sub/x.txt": "x"})
    reader = CliFixturesReader(tmp_path)
    assert document(reader) is None and list(reader.iter_fixture_files()) == []
    assert list(temp_root.iterdir()) == [] and str(reader) == "CliFixturesReader"


def test_files_are_copied_per_title_the_last_copy_winning(tmp_path: Path):
    shared = {"title": "Book", "type": "object"}
    for folder in ("one", "two"):
        write_model(tmp_path, folder, shared, {"fixtures/files/cover.txt": folder, f"fixtures/files/{folder}.txt": folder,
                                               "fixtures/files/sub/skipped.txt": "x"})
    write_model(tmp_path, "person", PERSON, {"fixtures/files/ä b.bin": b"\x00\xff"})
    reader = CliFixturesReader(tmp_path)
    last = [d.name for d, s in reader.models_with_fixtures if s.title == "Book"][-1]
    for copies in reader.iter_fixture_files():
        found = {str(p.relative_to(copies)): p.read_bytes() for p in copies.rglob("*") if p.is_file()}
        assert found == {"Book/cover.txt": last.encode(), "Book/one.txt": b"one", "Book/two.txt": b"two",
                         "Person/ä b.bin": b"\x00\xff"}
    assert not copies.exists()


@pytest.mark.parametrize("title", ["../escape", "..", "a/b", "/absolute", ""])
def test_a_title_that_is_not_one_folder_name_is_refused(tmp_path: Path, temp_root: Path, title):
    write_model(tmp_path, "person", PERSON, {"fixtures/files/f.txt": "x"})
    reader = CliFixturesReader(tmp_path)
    reader.models_with_fixtures[0][1].title = title if title != "/absolute" else str(tmp_path / "absolute")
    with pytest.raises(ValueError, match="cannot name a folder for its fixture files"):
        list(reader.iter_fixture_files())
    assert list(temp_root.iterdir()) == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["person", "temp-root"]


BAD_FIXTURES = [
    ("empty.csv", "", pandas.errors.EmptyDataError),
    ("broken.json", '{"Person": [', json.JSONDecodeError),
    ("number.json", "5", AttributeError),
    ("text.json", '"text"', AttributeError),
    ("record.json", "[1]", AttributeError),
    ("records.json", '{"Person": 5}', TypeError),
    ("latin1.json", b'[{"name": "Gr\xfc\xdfe"}]', UnicodeDecodeError),
]


@pytest.mark.parametrize("name, content, error", BAD_FIXTURES, ids=[b[0] for b in BAD_FIXTURES])
def test_fixture_errors_name_their_file(tmp_path: Path, temp_root: Path, name, content, error):
    write_model(tmp_path, "person", PERSON, {"fixtures/good.json": "[{}]", f"fixtures/{name}": content})
    with pytest.raises(error) as raised:
        list(CliFixturesReader(tmp_path).iter_fixtures())
    assert type(raised.value) is error or error is UnicodeDecodeError
    assert raised.value.__notes__ == [f"in fixture file {tmp_path / 'person' / 'fixtures' / name}"]
    assert list(temp_root.iterdir()) == []


@pytest.mark.parametrize(
    "schema, error", [('{"title": "A"}', ValidationError), (b'{"title": "\xff"}', UnicodeDecodeError)]
)
def test_schema_errors_name_their_file(tmp_path: Path, schema, error):
    model_dir = write_model(tmp_path, "person", files={"fixtures/a.json": "[]"})
    (model_dir / "model.json").write_bytes(schema if isinstance(schema, bytes) else schema.encode())
    with pytest.raises(error) as raised:
        CliFixturesReader(tmp_path)
    assert raised.value.__notes__ == [f"in schema file {model_dir / 'model.json'}"]


def test_json_fixtures_are_read_as_utf8_under_an_ascii_locale(tmp_path: Path, temp_root: Path):
    write_model(tmp_path, "person", PERSON, {"fixtures/words.json": '[{"text": "Grüße ☃"}]'})
    script = textwrap.dedent(
        """
        import locale, sys
        from pathlib import Path
        from korvan_models.schemas.loaders.cli_fixtures_reader import CliFixturesReader
        assert locale.getpreferredencoding(False).lower() not in ("utf-8", "utf8"), locale.getpreferredencoding(False)
        for path in CliFixturesReader(Path(sys.argv[1])).iter_fixtures():
            sys.stdout.write(path.read_text())
        """
    )
    env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0", TMPDIR=str(temp_root))
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path)], env=env, capture_output=True, text=True,
                          cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [element("Person", None, 0, {"text": "Grüße ☃"})]
    assert "\\u00fc" in done.stdout and list(temp_root.iterdir()) == []


# --- temporary folders ------------------------------------------------------------------------------

def project_with_fixtures(root: Path) -> CliFixturesReader:
    write_model(root, "person", PERSON, {"fixtures/people.json": '[{"name": "Ann"}]', "fixtures/files/a.txt": "a"})
    return CliFixturesReader(root)


def end_walk(reader, method, ending):
    walk = getattr(reader, method)()
    path = next(walk)
    assert path.exists()
    if ending == "resumed":
        assert next(walk, "end") == "end"
    elif ending == "closed":
        walk.close()
    elif ending == "thrown":
        with pytest.raises(KeyError):
            walk.throw(KeyError("stop"))
    elif ending == "dropped":
        del walk
    elif ending == "cycle through the loader":
        reader.walk = walk
        del walk, reader
        gc.collect()
    return path


@pytest.mark.parametrize("ending", ["resumed", "closed", "thrown", "dropped", "cycle through the loader"])
@pytest.mark.parametrize("method", ["iter_fixtures", "iter_fixture_files"])
def test_temp_folder_never_outlives_its_generator(tmp_path: Path, temp_root: Path, method, ending):
    path = end_walk(project_with_fixtures(tmp_path), method, ending)
    assert not path.exists() and list(temp_root.iterdir()) == []


def test_temp_folder_of_a_generator_in_a_cycle_through_its_locals(tmp_path: Path, temp_root: Path):
    class Title(str):
        pass

    reader = project_with_fixtures(tmp_path)
    title = Title("Person")
    reader.models_with_fixtures = [(tmp_path / "person", SimpleNamespace(title=title))]
    walk = reader.iter_fixtures()
    next(walk)
    reader.models_with_fixtures = []
    title.walk = walk  # the cycle runs through the records the generator still holds
    del walk, title, reader
    gc.collect()
    assert list(temp_root.iterdir()) == []


@pytest.mark.parametrize("method", ["iter_fixtures", "iter_fixture_files"])
def test_temp_folder_is_removed_when_the_interpreter_exits_while_suspended(tmp_path: Path, method):
    temp_root = tmp_path / "temp-root"
    temp_root.mkdir()
    project_with_fixtures(tmp_path / "project")
    script = textwrap.dedent(
        f"""
        import sys
        from pathlib import Path
        from korvan_models.schemas.loaders.cli_fixtures_reader import CliFixturesReader
        walk = CliFixturesReader(Path(sys.argv[1])).{method}()
        print(next(walk))
        """
    )
    env = dict(os.environ, TMPDIR=str(temp_root))
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "project")], env=env, capture_output=True,
                          text=True)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert done.stdout.startswith(str(temp_root)) and list(temp_root.iterdir()) == []


def test_temp_folder_is_removed_when_writing_the_document_fails(tmp_path: Path, temp_root: Path):
    reader = project_with_fixtures(tmp_path)
    reader.models_with_fixtures = [(tmp_path / "person", SimpleNamespace(title={"not", "json"}))]
    with pytest.raises(TypeError, match="not JSON serializable"):
        list(reader.iter_fixtures())
    assert list(temp_root.iterdir()) == []


def test_temp_folder_is_removed_when_copying_a_file_fails(tmp_path: Path, temp_root: Path):
    reader = project_with_fixtures(tmp_path)
    (tmp_path / "person" / "fixtures" / "files" / "z-dangling").symlink_to(tmp_path / "gone")
    with pytest.raises(FileNotFoundError):
        list(reader.iter_fixture_files())
    assert list(temp_root.iterdir()) == []
