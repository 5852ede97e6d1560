"""Each mistake a person can make in a project is one line naming the file, with exit status 2,
and a build that finds one leaves the previous output exactly as it was."""

from __future__ import annotations

import json
import re

import pytest
from cli_helpers import tree, write_json


def edit(root, folder, change):
    path = root / "models" / folder / "model.json"
    data = json.loads(path.read_text("utf-8"))
    change(data)
    write_json(path, data)


def replace_file(relative, content):
    def apply(root):
        path = root / relative
        path.write_bytes(content if isinstance(content, bytes) else content.encode())

    return apply


MISTAKES = [
    ("invalid JSON", replace_file("models/book/model.json", '{"title": "Book",\n  "type": }'),
     r"models/book/model\.json:2:11: invalid JSON"),
    ("not UTF-8", replace_file("models/book/model.json", b'{"title": "Book",\n "type": "obj\xe9ct"}'),
     r"models/book/model\.json:2:14: not UTF-8 text \(byte 0xe9\)"),
    ("misspelt property key", lambda r: edit(r, "book", lambda d: d["properties"].update(title={"tpye": "string"})),
     r"book/model\.json: Book\.title: unknown key 'tpye' \(did you mean 'type'\?\)"),
    ("misspelt schema key", lambda r: edit(r, "book", lambda d: d.update(requird=[])),
     r"book/model\.json: Book: unknown key 'requird' \(did you mean 'required'\?\)"),
    ("unknown property type", lambda r: edit(r, "book", lambda d: d["properties"]["title"].update(type="strng")),
     r"book/model\.json: Book\.title: type 'strng' is neither a core type nor a model \(did you mean 'string'\?\)"),
    ("reference to a missing model", lambda r: edit(r, "book", lambda d: d["properties"]["author"].update(type="Autor")),
     r"book/model\.json: Book\.author: type 'Autor' .*\(did you mean 'Author'\?\)"),
    ("extension of a missing model", lambda r: edit(r, "book", lambda d: d.update(type="Novel")),
     r"book/model\.json: Book: extends 'Novel', which is not a model"),
    ("duplicated title", lambda r: edit(r, "author", lambda d: d.update(title="Book")),
     r"book/model\.json: Book: title 'Book' is already used by .*author/model\.json"),
    ("models extending each other", lambda r: [edit(r, "author", lambda d: d.update(type="Book")),
                                               edit(r, "book", lambda d: d.update(type="Author"))],
     r"model\.json: (Author|Book): Models extend each other in a circle"),
    ("title that cannot name a class", lambda r: edit(r, "author", lambda d: d.update(title="Old Author")),
     r"author/model\.json: Old Author: Model title 'Old Author' is not a valid class name"),
    ("property name that cannot name a field", lambda r: edit(r, "book", lambda d: d["properties"].update({"class": {"type": "string"}})),
     r"book/model\.json: Book: property name 'class' cannot name a field \(a Python keyword\)"),
    ("required names a missing property", lambda r: edit(r, "book", lambda d: d["required"].append("isbn")),
     r"book/model\.json: Book: 'required' names 'isbn', which is not one of its properties"),
    ("indexed names a missing property", lambda r: edit(r, "book", lambda d: d.update(indexed=["writer"])),
     r"book/model\.json: Book: 'indexed' names 'writer'"),
    ("unique names a missing property", lambda r: edit(r, "book", lambda d: d.update(unique=[["title", "year"]])),
     r"book/model\.json: Book: 'unique' names 'year'"),
    ("default the type cannot take", lambda r: edit(r, "author", lambda d: d["properties"]["born"].update(default="long ago")),
     r"author/model\.json: Author\.born: default 'long ago' does not fit type 'number'"),
    ("unknown option list", lambda r: edit(r, "book", lambda d: d["properties"]["genre"].update(options_list_name="genre")),
     r"book/model\.json: Book\.genre: unknown option list 'genre' \(did you mean 'genres'\?\)"),
    ("broken option list file", replace_file("models/options/genres.json", '{"title": "genres", "values": [}'),
     r"models/options/genres\.json:1:\d+: invalid JSON"),
    ("custom code syntax error", replace_file("models/book/hooks/shout.py", "\n\ndef shout(self)\n    return 1\n"),
     r"models/book/hooks/shout\.py:3:\d+: Book: syntax error"),
    ("custom code the compiler refuses", replace_file("models/book/hooks/shout.py", "x = 1\nreturn x\n"),
     r"models/book/hooks/shout\.py:2:\d+: Book: syntax error: 'return' outside function"),
    ("broken fixture file", replace_file("models/author/fixtures/authors.json", '[{"name": "Ann",'),
     r"author/fixtures/authors\.json:1:\d+: invalid JSON"),
    ("fixture file of the wrong shape", replace_file("models/author/fixtures/authors.json", '{"Author": [1, 2]}'),
     r"author/fixtures/authors\.json: fixtures must be a JSON array of records"),
    ("fixture record its class refuses", replace_file("models/author/fixtures/authors.json", '[{"_external_id": "a-2"}]'),
     r"author/fixtures/authors\.json: Author\.name: record 'a-2': Field required"),
]


@pytest.mark.parametrize("mistake, expected", [(m, e) for _name, m, e in MISTAKES], ids=[n for n, _m, _e in MISTAKES])
def test_a_mistake_is_one_line_and_the_output_is_untouched(project, tmp_path, run, mistake, expected):
    out = tmp_path / "out"
    assert run("build", project, "--out", out, "--quiet").status == 0
    before = tree(out)
    mistake(project)
    result = run("build", project, "--out", out)
    assert result.status == 2, result.err
    assert any(re.search(expected, line) for line in result.lines), result.err
    assert "Traceback" not in result.err and result.lines[-1].endswith("nothing was written")
    assert all(": " in line for line in result.lines[:-1])
    assert tree(out) == before
    assert [p.name for p in tmp_path.iterdir() if ".korvan-tmp-" in p.name] == []  # no staging folder left


def test_every_broken_file_is_reported_not_only_the_first(project, run):
    (project / "models" / "author" / "model.json").write_text("{", "utf-8")
    (project / "models" / "book" / "model.json").write_bytes(b"\xff")
    (project / "models" / "book" / "hooks" / "shout.py").write_text("def (:\n", "utf-8")
    result = run("check", project)
    assert result.status == 2
    assert [line.split(":")[0].split("/models/")[-1] for line in result.lines[:-1]] == [
        "author/model.json", "book/model.json", "book/hooks/shout.py"
    ]


def test_independent_verification_mistakes_are_all_reported(project, run):
    edit(project, "book", lambda d: d.update(required=["title", "isbn"], type="Novel"))
    edit(project, "author", lambda d: d["properties"]["name"].update(type="text"))
    result = run("check", project)
    assert result.status == 2
    assert len(result.lines) == 4, result.err
    assert "Author.name: type 'text'" in result.err and "Book: extends 'Novel'" in result.err


@pytest.mark.parametrize("inside", ["models/out", "models/book/out"])
def test_an_output_folder_inside_the_models_folder_is_refused(project, run, inside):
    result = run("build", project, "--out", project / inside)
    assert result.status == 2 and "must not be inside the project's models folder" in result.err
    assert not (project / inside).exists()


def test_a_folder_without_models_is_a_problem_not_a_failure(tmp_path, run):
    result = run("check", tmp_path)
    assert result.status == 2 and "no 'models' folder" in result.err


def test_an_output_that_is_a_file_is_a_problem(project, tmp_path, run):
    (tmp_path / "out").write_text("mine", "utf-8")
    result = run("build", project, "--out", tmp_path / "out")
    assert result.status == 2 and "out: the output exists and is not a folder" in result.err
    assert (tmp_path / "out").read_text("utf-8") == "mine"
