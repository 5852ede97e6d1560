"""Each mistake a person can make in a project is one line naming the file, with exit status 2,
and a build that finds one leaves the previous output exactly as it was."""

from __future__ import annotations

import json
import os
import re
import shutil

import pytest
from cli_helpers import EXAMPLE, tree, write_json

from korvan_models import cli


def edit(root, folder, change):
    path = root / "models" / folder / "model.json"
    data = json.loads(path.read_text("utf-8"))
    change(data)
    write_json(path, data)


def prop(folder, name, **values):
    """Changes (or adds) one property of a model."""
    return lambda root: edit(root, folder, lambda d: d["properties"].setdefault(name, {}).update(values))


def schema(folder, **values):
    return lambda root: edit(root, folder, lambda d: d.update(values))


def write(relative, content):
    def apply(root):
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())

    return apply


def fifo(relative):
    def apply(root):
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if path.exists():
            path.unlink()
        os.mkfifo(path)

    return apply


def link_outside(relative):
    def apply(root):
        secret = root.parent / "secret.txt"
        secret.write_text('{"title": "Secret", "type": "object"}', "utf-8")
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if path.exists():
            path.unlink()
        path.symlink_to(secret)

    return apply


def records(relative, data):
    return write(relative, json.dumps(data, indent=4))


BOOK, MEMBER = "models/book", "models/member"
CODE = "models/book/hooks/extra.py"

# (kind, mistake, what the one line says)
MISTAKES = [
    # JSON syntax and the files themselves
    ("invalid JSON", write(f"{BOOK}/model.json", '{"title": "Book",\n  "type": }'), r"book/model\.json:2:11: invalid JSON"),
    ("not UTF-8", write(f"{BOOK}/model.json", b'{"title": "Book",\n "type": "obj\xe9ct"}'),
     r"book/model\.json:2:14: not UTF-8 text \(byte 0xe9\)"),
    ("not a schema", write(f"{BOOK}/model.json", '{"name": "Book"}'), r"book/model\.json: not a model schema"),
    ("schema file that is a folder", lambda r: [os.remove(r / BOOK / "model.json"), (r / BOOK / "model.json").mkdir()],
     r"book/model\.json: is a folder"),
    ("schema file that is a FIFO", fifo(f"{BOOK}/model.json"), r"book/model\.json: is not a regular file"),
    ("schema file linked outside", link_outside(f"{BOOK}/model.json"), r"book/model\.json: is a link to .*outside"),
    # schema keys
    ("misspelt schema key", schema("book", requird=[]), r"Book: unknown key 'requird' \(did you mean 'required'\?\)"),
    ("misspelt property key", prop("book", "title", tpye="string"), r"book/model\.json:\d+: Book\.title: unknown key 'tpye'"),
    ("version that is not a number", schema("book", version="two"), r"Book: version: "),
    # titles
    ("duplicated title", schema("author", title="Book"), r"Book: title 'Book' is already used by"),
    ("title that is not a class name", schema("author", title="Old Author"), r"Model title 'Old Author' is not a valid"),
    ("title that is a keyword", schema("rare_book", title="None"), r"title 'None' is a Python keyword"),
    ("title the module defines", schema("rare_book", title="Model"), r"title 'Model' clashes with a name"),
    ("title __init__", schema("rare_book", title="__init__"), r"title '__init__' cannot start with '_'"),
    ("two titles, one module", records("models/vault/model.json", {"title": "RAREBook", "type": "object"}),
     r"title '(RAREBook|RareBook)' gives the module name 'rare_book', as does"),
    ("title too long for a table", schema("rare_book", title="R" * 64), r"cannot name a stored table"),
    ("title of a core type", schema("rare_book", title="Number"), r"title 'Number' is already used by the framework"),
    # property names
    ("keyword property name", prop("book", "class", type="string"), r"property name 'class' cannot name a field"),
    ("pydantic's reserved name", prop("book", "model_config", type="string"), r"'model_config' is taken"),
    ("private property name", prop("book", "_secret", type="string"), r"'_secret' cannot start with '_'"),
    ("class constant as a property", prop("book", "schema_type", type="string"), r"'schema_type' is taken"),
    ("base method as a property", prop("book", "json", type="string"), r"'json' is taken"),
    ("name the annotations use", prop("book", "Optional", type="string"), r"'Optional' would hide"),
    ("column name too long", prop("book", "isbn", field_name="i" * 64), r"Book\.isbn: field name .* cannot name a stored"),
    # required, indexed, unique
    ("required names a missing property", schema("book", required=["title", "isbm"]),
     r"'required' names 'isbm', which is not one of its properties \(did you mean 'isbn'\?\)"),
    ("required entry with a newline", schema("book", required=["title", "is\nbn marked as indexed but"]),
     r"'required' names 'is\\nbn marked as indexed but'"),
    ("indexed names a missing property", schema("book", indexed=["writer"]), r"'indexed' names 'writer'"),
    ("unique names a missing property", schema("book", unique=[["title", "year"]]), r"'unique' names 'year'"),
    # defaults
    ("default the type cannot take", prop("loan", "days", default="long ago"), r"Loan\.days: default 'long ago' does not fit"),
    ("default outside the options", prop("member", "level", default="gold"), r"Member\.level: default 'gold' is not one"),
    ("array default that is not a list", prop("book", "tags", default="classic"), r"book/model\.json:\d+: Book\.tags: default 'classic' of an 'array'"),
    ("dictionary default that is a list", prop("book", "dimensions", default=[1, 2]), r"Book\.dimensions: default .* 'dictionary'"),
    # options
    ("options mixing texts and numbers", prop("publisher", "country", options=[{"value": "DE"}, {"value": 49}]),
     r"Publisher\.country: options mix values that cannot be compared"),
    ("unknown option list", prop("book", "genre", options_list_name="genre"),
     r"Book\.genre: unknown option list 'genre' \(did you mean 'genres'\?\)"),
    ("broken option list file", write("models/options/genres.json", '{"title": "genres", "values": [}'),
     r"options/genres\.json:1:\d+: invalid JSON"),
    ("option list without values", write("models/options/genres.json", '{"title": "genres"}'),
     r"options/genres\.json: values: Field required"),
    # arrays, dictionaries and types
    ("array without items", prop("book", "tags", items=None, default=None), r"Book\.tags: an 'array' needs 'items'"),
    ("dictionary without items", prop("publisher", "contacts", items=None, default=None), r"a 'dictionary' needs 'items'"),
    ("integer for number", prop("loan", "days", type="integer"), r"type 'integer' .*\(did you mean 'number'\?\)"),
    ("unknown item type", prop("book", "tags", items={"type": "strng"}), r"type 'strng' .*did you mean 'string'"),
    # references and inheritance
    ("reference in a list to a missing record", records("models/author/fixtures/more.json", [{"_external_id": "a-9", "last_name": "X",
                                                                                         "books": [{"ref": {"class_name": "Book", "object_id": "book-y"}}]}]),
     r"author/fixtures/more\.json: record 'a-9': Author\.books\[0\]: no Book record 'book-y'"),
    ("reference to a missing model", prop("book", "author", type="Autor"), r"book/model\.json:\d+: Book\.author: type 'Autor' .*'Author'"),
    ("extension of a missing model", schema("rare_book", type="Bok"), r"RareBook: extends 'Bok', which is not a model"),
    ("core type as a parent", schema("rare_book", type="string"), r"RareBook: extends the core type 'string'"),
    ("models extending each other", lambda r: [schema("book", type="RareBook")(r)], r"extend each other in a circle"),
    # custom code
    ("custom code syntax error", write(CODE, "\n\ndef shout(self)\n    return 1\n"), r"hooks/extra\.py:3:\d+: Book: syntax error"),
    ("custom code the compiler refuses", write(CODE, "return 1\n"), r"hooks/extra\.py:1:\d+: Book: syntax error"),
    ("custom code not UTF-8", write(CODE, b"# \xff\n"), r"hooks/extra\.py:1:3: Book: not UTF-8"),
    ("class-level assignment", write(CODE, "LIMIT = 3\n"), r"hooks/extra\.py:1:1: Book: a class-level assignment"),
    ("future import", write(CODE, "from __future__ import annotations\n"), r"extra\.py:1:1: Book: 'from __future__"),
    ("import of a missing module", write(CODE, "import no_such_module_here\n"), r"imports 'no_such_module_here'"),
    ("import of a generated model", write(CODE, "from models.author import Author\n"),
     r"extra\.py:1:1: Book: imports 'models\.author', a generated module"),
    ("code that raises at import", write(CODE, "from typing import ClassVar\nX: ClassVar[int] = 1 // 0\n"),
     r"book/hooks/extra\.py:2: Book: the generated class cannot be imported: ZeroDivisionError"),
    ("validator of a missing field", write(CODE, "from pydantic import field_validator\n\n\n@field_validator('nope')\n"
                                                "@classmethod\ndef check_nope(cls, value):\n    return value\n"),
     r"book/model\.json: Book: the generated class cannot be completed: PydanticUserError"),
    ("code defining a field's name", write(CODE, "def title(self):\n    return 1\n"), r"defines 'title', which is also"),
    # JSON fixtures
    ("broken fixture file", write("models/author/fixtures/authors.json", '[{"name": "Ann",'),
     r"author/fixtures/authors\.json:1:\d+: invalid JSON"),
    ("fixture file of the wrong shape", records("models/author/fixtures/authors.json", {"Author": [1, 2]}),
     r"authors\.json: fixtures must be a JSON array"),
    ("fixture record without a required field", records("models/author/fixtures/authors.json", [{"_external_id": "a-2"}]),
     r"authors\.json:2: Author\.last_name: record 'a-2': Field required"),
    ("fixture value of the wrong type", records(f"{MEMBER}/fixtures/more.json", [{"name": "A", "email": ["x"]}]),
     r"member/fixtures/more\.json:2: Member\.email: .*valid string"),
    ("fixture dictionary that is a list", records(f"{BOOK}/fixtures/more.json",
                                                  [{"_external_id": "b-9", "title": "T", "isbn": "9780441172719", "dimensions": [1]}]),
     r"book/fixtures/more\.json:2: Book\.dimensions: record 'b-9'"),
    ("fixture value outside the options", records(f"{BOOK}/fixtures/more.json", [{"title": "T", "isbn": "9780441172719", "genre": "x"}]),
     r"more\.json:2: Book\.genre"),
    ("reference to a missing record", records(f"{BOOK}/fixtures/more.json", [{"_external_id": "b-9", "title": "T", "isbn": "9780441172719",
                                                                            "author": {"ref": {"class_name": "Author", "object_id": "a-x"}}}]),
     r"book/fixtures/more\.json: record 'b-9': Book\.author: no Author record 'a-x'"),
    ("reference to a missing model", records(f"{BOOK}/fixtures/more.json", [{"_external_id": "b-9", "title": "T", "isbn": "9780441172719",
                                                                           "author": {"ref": {"class_name": "Writer", "object_id": "a-x"}}}]),
     r"book/fixtures/more\.json: record 'b-9': Book\.author: "),
    ("records of a missing model", records(f"{MEMBER}/fixtures/more.json", {"Nobody": [{"name": "A"}]}),
     r"member/fixtures/more\.json:3: records of 'Nobody', which is not a model"),
    ("record its hook refuses", records(f"{BOOK}/fixtures/more.json", [{"title": "T", "isbn": "9780441172719", "copies": -1}]),
     r"book/fixtures/more\.json:2: Book: ValueError: A book cannot have a negative"),
    # CSV fixtures
    ("CSV that cannot be parsed", write("models/publisher/fixtures/publishers.csv", 'name,country\n"a,b\n'),
     r"publishers\.csv: invalid CSV"),
    ("CSV cell of the wrong type", write("models/publisher/fixtures/publishers.csv", "name,founded\nAce,long ago\n"),
     r"publishers\.csv:2: Publisher\.founded: "),
    ("CSV cell holding a reference", write(f"{BOOK}/fixtures/more.csv", "title,isbn,author\nT,9780441172719,author-camus\n"),
     r"book/fixtures/more\.csv:2: Book\.author: column 'author' holds a reference"),
    ("CSV cell holding a list", write(f"{BOOK}/fixtures/more.csv", "title,isbn,tags\nT,9780441172719,a;b\n"),
     r"more\.csv:2: Book\.tags: column 'tags' holds a list"),
    ("FIFO among the fixture files", fifo(f"{BOOK}/fixtures/more.json"), r"book/fixtures/more\.json: is not a regular file"),
    ("fixture file linked outside", link_outside(f"{BOOK}/fixtures/more.json"), r"more\.json: is a link to .*outside"),
    ("accompanying file that is a FIFO", fifo(f"{BOOK}/fixtures/files/cover.png"), r"files/cover\.png: is not a regular"),
    # statics and the project folder
    ("static file linked outside", link_outside("static/secret.txt"), r"static/secret\.txt: is a link to .*outside"),
    ("static FIFO", fifo("static/pipe"), r"static/pipe: is not a regular file"),
    ("custom code linked outside", link_outside(CODE), r"hooks/extra\.py: is a link to .*outside"),
    ("no models folder", lambda r: shutil.rmtree(r / "models"), r"no 'models' folder"),
    ("no project folder", shutil.rmtree, r"library: no such project folder"),
    ("no model schemas", lambda r: [shutil.rmtree(p) for p in (r / "models").iterdir() if p.name != "options"],
     r"no model schemas"),
]


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """The example project built once; each case starts from a copy of the project and of this output."""
    out = tmp_path_factory.mktemp("built") / "out"
    assert cli.main(["build", str(EXAMPLE), "--out", str(out), "--quiet"]) == 0
    return out


@pytest.mark.parametrize("mistake, expected", [(m, e) for _n, m, e in MISTAKES], ids=[n for n, _m, _e in MISTAKES])
def test_check_and_build_find_each_mistake_alike(built, tmp_path, capsys, mistake, expected):
    project, out = tmp_path / "library", tmp_path / "out"
    shutil.copytree(EXAMPLE, project)
    shutil.copytree(built, out, symlinks=True)
    before = tree(out)
    mistake(project)
    capsys.readouterr()
    answers = []
    for args in (["check", str(project)], ["build", str(project), "--out", str(out), "--quiet"]):
        status = cli.main(args)
        answers.append((status, capsys.readouterr().err.splitlines()))
    (check_status, check_lines), (build_status, build_lines) = answers
    assert check_status == build_status == 2, build_lines
    assert check_lines == build_lines
    assert check_lines[-1].endswith("nothing was written")
    where = re.compile(rf"^{re.escape(str(project))}(/[^:]*)?(:\d+(:\d+)?)?: \S")
    assert all(where.match(line) for line in check_lines[:-1]), check_lines
    if expected is not None:
        assert any(re.search(expected, line) for line in check_lines), check_lines
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
