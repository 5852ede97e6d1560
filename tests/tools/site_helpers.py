"""Helpers of the site's tests: the page read back as elements, a project whose texts hold markup, and
the tools the site needs, skipped when absent (failed instead when KORVAN_REQUIRE_BROWSER is set)."""

from __future__ import annotations

import json
import os
import shutil
from html.parser import HTMLParser
from pathlib import Path

import pytest
from cli_helpers import EXAMPLE, write_json

MARKUP = '<script>document.title = "taken"</script><b>bold</b> & <img src=x onerror="alert(1)">'


def require(*programs: str) -> list[str]:
    """The paths of ``programs``; a skip (or a failure where the browser is required) when one is missing."""
    paths = [shutil.which(program) for program in programs]
    if None in paths:
        missing = f"{', '.join(p for p, path in zip(programs, paths) if path is None)} not installed"
        (pytest.fail if os.environ.get("KORVAN_REQUIRE_BROWSER") else pytest.skip)(missing)
    return paths


class Page(HTMLParser):
    """Every element's tag, attributes, text and enclosing elements, in document order."""

    def __init__(self, text: str) -> None:
        super().__init__()
        self.elements: list[dict] = []
        self.open: list[dict] = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        element = {"tag": tag, "attrs": dict(attrs), "text": "", "within": [id(e) for e in self.open]}
        self.elements.append(element)
        if tag not in ("meta", "link", "br", "img"):
            self.open.append(element)

    def handle_endtag(self, tag):
        while self.open and self.open.pop()["tag"] != tag:
            pass

    def handle_data(self, data):
        for element in self.open:
            element["text"] += data

    def by_id(self, ident: str) -> dict:
        return next(e for e in self.elements if e["attrs"].get("id") == ident)

    def tags(self, tag: str, within: dict | None = None) -> list[dict]:
        return [e for e in self.elements if e["tag"] == tag and (within is None or id(within) in e["within"])]


def example_with_markup(folder: Path) -> Path:
    """The example project with markup in a model's description, a property's and a fixture record's text."""
    root = folder / "library"
    shutil.copytree(EXAMPLE, root)
    path, records = root / "models" / "author" / "model.json", root / "models" / "author" / "fixtures" / "authors.json"
    author, data = json.loads(path.read_text("utf-8")), json.loads(records.read_text("utf-8"))
    author["description"] = author["properties"]["born"]["description"] = data[0]["last_name"] = MARKUP
    write_json(path, author)
    write_json(records, data)
    return root
