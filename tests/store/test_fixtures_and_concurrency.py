"""Fixtures into the store (idempotent, all or nothing) and two processes saving at once."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

from korvan_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from korvan_models.classes.manager import ClassManager
from korvan_models.errors import FixtureRecordError
from korvan_models.querysets.base_queryset import QuerySet
from korvan_models.storage import load_fixtures
from store_helpers import example_fixtures, fixtures_document


def counts(*titles):
    manager = ClassManager()
    return {
        t: (
            QuerySet(manager.import_model_class(t)).count(),
            QuerySet(manager.import_model_class(t)).using(LAKEHOUSE_DB_ALIAS).count(),
        )
        for t in titles
    }


def test_reloading_adds_nothing_and_a_change_adds_one_version(store, example, tmp_path):
    document = example_fixtures(tmp_path)
    first = load_fixtures(document)
    assert (first.created, first.updated, first.unchanged) == (10, 0, 0)
    assert (load_fixtures(document).unchanged, load_fixtures(document).total) == (10, 10)
    elements = json.loads(document.read_text("utf-8"))
    ace = next(e for e in elements if e["external_id"] == "publisher-ace")
    ace["data"]["founded"] = 1953
    elements.append({"class_name": "Publisher", "external_id": None, "order": 0, "data": {"name": "Anonymous Press"}})
    elements.append({"class_name": "Publisher", "external_id": "", "order": 0, "data": {"name": "Anonymous Press"}})
    report = load_fixtures(fixtures_document(tmp_path, elements))
    assert (report.created, report.updated, report.unchanged) == (1, 1, 10)
    assert load_fixtures(fixtures_document(tmp_path, elements)).unchanged == 12
    assert counts("Publisher", "Book") == {"Publisher": (4, 5), "Book": (2, 2)}
    Publisher = ClassManager().import_model_class("Publisher")
    latest = QuerySet(Publisher).get(_address__object_id="publisher-ace").execute()
    assert (latest.founded, latest._address.object_version) == (1953, 2)


@pytest.mark.parametrize(
    "element, field, message",
    [
        ({"class_name": "Book", "external_id": "b-x", "data": {"title": "No ISBN"}}, "isbn", "Field required"),
        ({"class_name": "Book", "external_id": "b-y", "data": {"title": "T", "isbn": "12"}}, "isbn", "Not an ISBN"),
        (
            {"class_name": "Book", "external_id": "b-z", "data": {"title": "T", "isbn": "9780441172719", "copies": -1}},
            None,
            "negative number of copies",
        ),
        ({"class_name": "Nowhere", "external_id": "n-1", "data": {}}, None, "'Nowhere'"),
    ],
)
def test_a_refused_record_stops_the_whole_load(store, example, tmp_path, element, field, message):
    elements = json.loads(example_fixtures(tmp_path).read_text("utf-8"))
    with pytest.raises(FixtureRecordError, match=message) as refused:
        load_fixtures(fixtures_document(tmp_path, elements + [{**element, "order": 0}]))
    error = refused.value
    assert (error.class_name, error.external_id, error.field) == (element["class_name"], element["external_id"], field)
    assert "\n" not in str(error) and element["external_id"] in str(error)
    assert counts("Publisher", "Book") == {"Publisher": (0, 0), "Book": (0, 0)}


def test_malformed_documents_name_the_file(store, tmp_path):
    for text in ("{not json", '{"class_name": "Book"}', '[{"class_name": "Book", "data": []}]'):
        path = tmp_path / "fixtures.json"
        path.write_text(text, "utf-8")
        with pytest.raises(ValueError, match=f"Fixtures document {path}"):
            load_fixtures(path)


SAVER = textwrap.dedent("""
    import pathlib, sys, time
    from korvan_models.classes.manager import ClassManager
    from korvan_models.querysets.base_queryset import QuerySet
    from korvan_utils.models.data_models.address import Address

    Publisher = ClassManager().import_model_class("Publisher")
    go = pathlib.Path(sys.argv[1])
    while not go.exists():
        time.sleep(0.005)
    for number in range(500):
        record = Publisher(name=f"{sys.argv[2]} {number}")
        record._address = Address(resource="default", class_name="Publisher", class_version=1, object_id="shared")
        QuerySet(Publisher).save(record)
    """)


def test_two_processes_saving_versions_of_one_object_lose_nothing(store, example, example_out, tmp_path):
    go = tmp_path / "go"
    env = {**os.environ, "PYTHONPATH": str(example_out)}
    children = [
        subprocess.Popen([sys.executable, "-c", SAVER, str(go), name], env=env, stderr=subprocess.PIPE, text=True)
        for name in ("first", "second")
    ]
    go.touch()
    for child in children:
        assert child.wait(timeout=300) == 0, child.stderr.read()
    Publisher = ClassManager().import_model_class("Publisher")
    history = QuerySet(Publisher).using(LAKEHOUSE_DB_ALIAS).filter(_address__object_id="shared")
    assert sorted(r._address.object_version for r in history) == list(range(1, 1001))
    assert sorted(r.name for r in history) == sorted(f"{who} {n}" for who in ("first", "second") for n in range(500))
    latest = QuerySet(Publisher).using(DEFAULT_DB_ALIAS).get(_address__object_id="shared").execute()
    assert latest._address.object_version == 1000
    assert latest.name == next(r.name for r in history if r._address.object_version == 1000)
