"""The command-line main job over the example project: progress, generated package, summary."""

import io
import pathlib
import sys
from contextlib import redirect_stdout

from korvan_models import cli

EXAMPLE = pathlib.Path(__file__).parents[2] / "examples" / "library"


def test_builds_imports_and_summarises_the_example_project(tmp_path):
    out = io.StringIO()
    with redirect_stdout(out):
        assert cli.main([str(EXAMPLE), str(tmp_path)]) == 0
    text = out.getvalue()
    schemas = cli.load_project(EXAMPLE)
    titles = [s.title for s in schemas]
    assert [line.split()[-1] for line in text.splitlines() if line.startswith("[")] == titles
    package = tmp_path / "models"
    assert sorted(p.name for p in package.glob("*.py")) == sorted(
        ["__init__.py"] + [cli.DependencyModelNames.from_schemas(schemas).module_name(t) + ".py" for t in titles]
    )
    for schema in schemas:
        assert f"{schema.title}(" in text and cli.calculate_schema_digest(schema) in text
    # The generated modules hold the import block above the class, and re-running replaces them.
    book = (package / "book.py").read_text(encoding="utf-8")
    assert book.index("from pydantic import Field") < book.index("class Book(Model):")
    with redirect_stdout(io.StringIO()):
        assert cli.main([str(EXAMPLE), str(tmp_path)]) == 0
    assert (package / "book.py").read_text(encoding="utf-8") == book
    sys.modules.pop("models", None)


def test_a_folder_without_schemas_is_reported(tmp_path, capsys):
    assert cli.main([str(tmp_path / "empty"), str(tmp_path / "out")]) == 1
    assert "no model schemas" in capsys.readouterr().err


def test_an_unknown_option_list_is_refused(tmp_path):
    model = tmp_path / "models" / "thing"
    model.mkdir(parents=True)
    (model / "model.json").write_text(
        '{"title": "Thing", "type": "object", "properties": {"kind": {"type": "string", "options_list_name": "nope"}}}'
    )
    try:
        cli.load_project(tmp_path)
    except ValueError as error:
        assert "unknown option list 'nope'" in str(error)
    else:
        raise AssertionError("an unknown option list was accepted")
