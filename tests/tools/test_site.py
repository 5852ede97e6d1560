"""The models' site written from disk: every text from the project escaped, nothing written for a project
with mistakes. What the page shows is tested in a browser (test_site_browser)."""

from __future__ import annotations

from markupsafe import escape
from site_helpers import MARKUP, example_with_markup, require


def test_texts_from_the_project_are_escaped(tmp_path, run):
    require("dot")
    result = run("docs", example_with_markup(tmp_path), "--out", tmp_path / "site")
    page = (tmp_path / "site" / "index.html").read_text("utf-8")
    assert result.status == 0 and (tmp_path / "site" / "assets" / "style.css").is_file()
    # The description, the property's description and the fixture record, each once.
    assert "<script" not in page and "<b>" not in page and page.count(escape(MARKUP)) == 3


def test_a_project_with_mistakes_writes_no_site(tmp_path, run):
    root = example_with_markup(tmp_path)
    (root / "models" / "book" / "model.json").write_text('{"title": "Book", "type": "Nobody"}', "utf-8")
    result = run("docs", root, "--out", tmp_path / "site")
    assert result.status == 2 and "extends 'Nobody'" in result.lines[0]
    assert not (tmp_path / "site").exists()
