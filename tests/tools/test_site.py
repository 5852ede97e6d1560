"""The models' site of the example project: what each model's section says, the diagram's nodes and
links, texts from the project shown as text, and nothing written for a project with mistakes."""

from __future__ import annotations

import pytest
from site_helpers import MARKUP, Page, example_with_markup, require

@pytest.fixture(scope="module")
def page(tmp_path_factory) -> Page:
    from korvan_models.tools.site import write_site

    require("dot")
    out = tmp_path_factory.mktemp("site")
    index, _warnings = write_site(example_with_markup(tmp_path_factory.mktemp("project")), out)
    assert (out / "assets" / "style.css").is_file()
    return Page(index.read_text("utf-8"))


# title, parent, children, properties of its own, fixture records, models it refers to
MODELS = [
    ("Author", None, [], 6, 2, {"Publisher", "Book"}),
    ("Book", None, ["RareBook"], 13, 2, {"Author", "Publisher"}),
    ("RareBook", "Book", [], 2, 0, set()),
    ("Loan", None, [], 6, 1, {"Book", "Member"}),
    ("Member", None, [], 6, 2, {"Loan"}),
    ("Publisher", None, [], 5, 3, set()),
]


@pytest.mark.parametrize("title, parent, children, properties, records, refers", MODELS, ids=[m[0] for m in MODELS])
def test_each_model_has_its_section(page, title, parent, children, properties, records, refers):
    section = page.by_id(f"model-{title}")
    tables = {table["attrs"]["class"]: len(page.tags("tr", table)) - 1 for table in page.tags("table", section)}
    assert tables == {"properties": properties, **({"records": records} if records else {})}
    links = {a["attrs"]["href"] for a in page.tags("a", section)}
    relations = page.tags("dl", section)[0]["text"]
    assert (f"#model-{parent}" in links and f"Extends{parent}" in relations.replace(" ", "")) if parent \
        else "the framework's base model" in relations
    assert all(f"#model-{child}" in links and child in relations for child in children)
    assert {f"#model-{model}" for model in refers} <= links


def test_the_diagram_has_one_linked_node_per_model_and_every_edge(page):
    nodes = [g for g in page.tags("g") if g["attrs"].get("class") == "node"]
    assert sorted(g["attrs"]["id"] for g in nodes) == sorted(f"node-{m[0]}" for m in MODELS)
    for node in nodes:
        (link,) = page.tags("a", node)
        assert link["attrs"]["xlink:href"] == "#model-" + node["attrs"]["id"].removeprefix("node-")
    edges = [g for g in page.tags("g") if g["attrs"].get("class") == "edge"]
    assert len(edges) == sum(1 for m in MODELS if m[1]) + sum(len(m[5]) for m in MODELS)


def test_texts_from_the_project_are_shown_as_text(page):
    assert page.tags("script") == [] and page.tags("b") == [] and page.tags("img") == []
    description = next(e for e in page.elements if e["attrs"].get("class") == "description"
                       and "document.title" in e["text"])
    assert description["text"] == MARKUP
    assert sum(MARKUP in e["text"] for e in page.tags("td")) == 2  # the property's description and the record


def test_a_project_with_mistakes_writes_no_site(tmp_path, run):
    root = example_with_markup(tmp_path)
    (root / "models" / "book" / "model.json").write_text('{"title": "Book", "type": "Nobody"}', "utf-8")
    result = run("docs", root, "--out", tmp_path / "site")
    assert result.status == 2 and "extends 'Nobody'" in result.lines[0]
    assert not (tmp_path / "site").exists()
