"""ReferenceFetcher: its calls, in order, with the alias its versions choose; and references resolving for real."""

from __future__ import annotations

import inspect
import json
import os
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import pytest

import korvan_models.querysets.base_queryset as base_queryset
from korvan_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from korvan_models.classes.helpers import reference_fetcher
from korvan_models.classes.helpers.reference_fetcher import ReferenceFetcher
from korvan_models.querysets.base_queryset import DoesNotExist
from korvan_models.storage import load_fixtures
from korvan_utils.models.data_models.reference import Reference
from korvan_utils.models.enums import Versions
from store_helpers import example_fixtures


@pytest.fixture
def recorded(monkeypatch):
    """Recording stand-ins for the class manager and the query set; the list of calls they saw."""
    calls = []

    class Manager:
        def __init__(self, *args, **kwargs):
            calls.append(("ClassManager", args, kwargs))

        def resolve_schema_type(self, *args, **kwargs):
            calls.append(("resolve_schema_type", args, kwargs))
            return "schema-type"

        def import_model_class(self, *args, **kwargs):
            calls.append(("import_model_class", args, kwargs))
            return "model-class"

    class Query:
        def only(self, *args):
            calls.append(("only", args))
            return self

        def using(self, *args):
            calls.append(("query.using", args))
            return self

        def execute(self, *args):
            calls.append(("execute", args))
            return "record"

    class QuerySet:
        def __init__(self, *args, **kwargs):
            calls.append(("QuerySet", args, kwargs))

        def using(self, *args):
            calls.append(("using", args))
            return self

        def get(self, *args, **kwargs):
            calls.append(("get", args, list(kwargs.items())))
            return Query()

    monkeypatch.setattr(reference_fetcher, "ClassManager", Manager)
    monkeypatch.setattr(base_queryset, "QuerySet", QuerySet)
    return calls


L = Versions.LATEST


@pytest.mark.parametrize(
    "class_version, object_version, only, using, alias, tail",
    [
        ("LATEST", "LATEST", None, None, DEFAULT_DB_ALIAS, []),
        (L, L, [], "", DEFAULT_DB_ALIAS, []),
        ("1", "LATEST", ["title"], None, LAKEHOUSE_DB_ALIAS, [("only", (["title"],))]),
        ("LATEST", 3, None, "mine", LAKEHOUSE_DB_ALIAS, [("query.using", ("mine",))]),
        (2, 5, ["a", "b"], "other", LAKEHOUSE_DB_ALIAS, [("only", (["a", "b"],)), ("query.using", ("other",))]),
        ("latest", L, None, None, LAKEHOUSE_DB_ALIAS, []),
    ],
)
def test_calls_in_order_with_the_chosen_alias(recorded, class_version, object_version, only, using, alias, tail):
    ref = SimpleNamespace(class_name="Book", class_version=class_version, object_id="b1", object_version=object_version)
    assert ReferenceFetcher(SimpleNamespace(ref=ref)).load_reference(only=only, using=using) == "record"
    marker = lambda v: L if v == "LATEST" else v  # noqa: E731
    assert recorded == [
        ("ClassManager", (), {}),
        ("resolve_schema_type", ("Book",), {}),
        ("import_model_class", ("Book", "schema-type"), {}),
        ("QuerySet", ("model-class",), {}),
        ("using", (alias,)),
        (
            "get",
            (),
            [
                ("_address__class_version", marker(class_version)),
                ("_address__object_id", "b1"),
                ("_address__object_version", marker(object_version)),
            ],
        ),
        *tail,
        ("execute", ()),
    ]
    get_filters = dict(recorded[5][2])
    for key, given in (("_address__class_version", class_version), ("_address__object_version", object_version)):
        if given == "LATEST":
            assert get_filters[key] is L and type(get_filters[key]) is Versions


def test_interface():
    names = [n for n in vars(reference_fetcher) if not n.startswith("__")]
    assert names == ["DEFAULT_DB_ALIAS", "LAKEHOUSE_DB_ALIAS", "Reference", "ClassManager", "Model", "ReferenceFetcher"]
    assert ReferenceFetcher.__bases__ == (object,) and ReferenceFetcher.__doc__ is None
    assert str(inspect.signature(ReferenceFetcher.load_reference)) == (
        "(self, only: 'list[str] | None' = None, using: 'str | None' = None) -> 'Model'"
    )
    assert str(inspect.signature(ReferenceFetcher._load_record)) == (
        "(self, model_class: 'type[Model]', only: 'list[str] | None' = None, using: 'str | None' = None) -> 'Model'"
    )
    assert ReferenceFetcher._load_model_class.__annotations__ == {"return": "type[Model]"}
    assert ReferenceFetcher.__init__.__annotations__ == {"reference": "Reference", "return": "None"}
    doc = ReferenceFetcher.load_reference.__doc__
    assert doc.startswith("Loads a reference.\n\nArgs:\n") and "only" in doc and "using" in doc and "Returns:" in doc
    reference = Reference(ref={"class_name": "Book", "object_id": "b"})
    assert ReferenceFetcher(reference)._reference is reference


def test_example_fixtures_resolve_in_a_fresh_process(store, example, example_out, tmp_path):
    files = tmp_path / "files" / "Book"
    files.mkdir(parents=True)
    (files / "dune.svg").write_bytes(b"<svg>dune</svg>")
    report = load_fixtures(example_fixtures(tmp_path), files_dir=tmp_path / "files")
    assert (report.created, report.updated, report.unchanged) == (10, 0, 0)
    script = textwrap.dedent("""
        import json
        from korvan_models.classes.helpers.reference_fetcher import ReferenceFetcher
        from korvan_utils.models.data_models.reference import Reference

        book = ReferenceFetcher(Reference(ref={"class_name": "Book", "object_id": "book-dune"})).load_reference()
        author = ReferenceFetcher(book.author).load_reference(only=["last_name"])
        first = ReferenceFetcher(
            Reference(ref={"class_name": "Book", "object_id": "book-dune", "object_version": 1})
        ).load_reference(using="lakehouse")
        print(json.dumps([book.title, book.isbn, book.cover.decode(), author.model_dump(exclude_unset=True),
                          first.copies, type(book).__module__]))
        """)
    env = {**os.environ, "PYTHONPATH": str(example_out)}
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == [
        "Dune",
        "9780441172719",
        "<svg>dune</svg>",
        {"last_name": "Herbert"},
        4.0,
        "models.book",
    ]


def test_errors_of_the_class_manager_and_the_query_propagate(store, example):
    for unknown in ("Nowhere", "No where; DROP TABLE Book", ""):
        with pytest.raises(LookupError, match=f"Unknown model class '{unknown}'"):
            ReferenceFetcher(Reference(ref={"class_name": unknown, "object_id": "x"})).load_reference()
    with pytest.raises(DoesNotExist, match="No Book record at .*object_id='missing'.*'default'"):
        ReferenceFetcher(Reference(ref={"class_name": "Book", "object_id": "missing"})).load_reference()
