"""Records kept safe: binary values byte for byte, stored records surviving model changes, fixture
references checked, databases named on the command line, bounded caches."""

from __future__ import annotations

import json
import os
import shutil
import struct
import subprocess
import sys
import textwrap
import zlib
from pathlib import Path

import pytest
import sqlalchemy as sa

from korvan_data.aliases.using import ALL_DB_ALIASES, LAKEHOUSE_DB_ALIAS
from korvan_models.classes.helpers.reference_fetcher import ReferenceFetcher
from korvan_models.classes.manager import ClassManager
from korvan_models.pipeline.store import url_without_password
from korvan_models.querysets.base_queryset import QuerySet
from korvan_models.storage import dispose_engines, load_fixtures
from korvan_utils.config.manager import KorvanConfigManager
from korvan_utils.models.data_models.reference import Reference
from store_helpers import EXAMPLE, example_fixtures, fixtures_document

KORVAN_MODELS = Path(sys.executable).with_name("korvan-models")


def png(width: int = 4, height: int = 3) -> bytes:
    """A real RGB PNG image."""

    def chunk(tag: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    rows = b"".join(b"\0" + b"".join(bytes((x * 60, y * 80, 200)) for x in range(width)) for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


PAYLOADS = {
    "cover.png": png(),
    "scan.pdf": b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<< /Length 3 >>\nstream\n\x00\xff\x80\nendstream\nendobj\n%%EOF\n",
    "latin1.txt": "Ærø, façade, naïve, ½".encode("latin-1"),
    "zeros.bin": bytes(257),
    "empty.bin": b"",
    "large.bin": bytes(range(256)) * (10 * 4096),  # 10 MiB
}


def test_binary_files_round_trip_byte_for_byte(store, example, tmp_path):
    elements = json.loads(example_fixtures(tmp_path).read_text("utf-8"))
    # A RareBook keeps the cover it inherits in its table's extra (JSON) column.
    for class_name, extra in (("Book", {}), ("RareBook", {"vault_shelf": "V1"})):
        files = tmp_path / "files" / class_name
        files.mkdir(parents=True)
        for number, (name, data) in enumerate(PAYLOADS.items()):
            (files / name).write_bytes(data)
            elements.append({"class_name": class_name, "external_id": f"{class_name}-{number}", "order": 0,
                             "data": {"title": f"Book {name}", "isbn": "9780441172719", "cover": f"files/{name}", **extra}})
    document = fixtures_document(tmp_path, elements)
    first = load_fixtures(document, files_dir=tmp_path / "files")
    again = load_fixtures(document, files_dir=tmp_path / "files")
    assert (first.created, again.unchanged, again.created + again.updated) == (len(elements), len(elements), 0)
    for class_name in ("Book", "RareBook"):
        model_class = ClassManager().import_model_class(class_name)
        for number, data in enumerate(PAYLOADS.values()):
            object_id = f"{class_name}-{number}"
            fetched = ReferenceFetcher(Reference(ref={"class_name": class_name, "object_id": object_id})).load_reference()
            history = QuerySet(model_class).using(LAKEHOUSE_DB_ALIAS).get(_address__object_id=object_id).only(["cover"])
            for record in (fetched, history.execute()):
                assert type(record.cover) is bytes and record.cover == data, (object_id, record.cover[:20])


def database_args() -> list[str]:
    """``--database`` options naming the store fixture's databases."""
    manager = KorvanConfigManager()
    return [f"--database={alias}={manager.get_database_url(alias)}" for alias in ALL_DB_ALIASES]


def korvan(*args, env=None) -> subprocess.CompletedProcess:
    environ = {key: value for key, value in os.environ.items() if not key.startswith("KORVAN_")}
    return subprocess.run([str(KORVAN_MODELS), *map(str, args)], capture_output=True, text=True, env={**environ, **(env or {})})


def in_output(out: Path, code: str) -> str:
    """Runs ``code`` in a fresh process that sees the output's settings and models; its standard output."""
    environ = {key: value for key, value in os.environ.items() if not key.startswith("KORVAN_")}
    environ.update(KORVAN_SETTINGS_FILE=str(out / "settings.json"), PYTHONPATH=str(out))
    preamble = "from korvan_models.classes.manager import ClassManager\nfrom korvan_models.querysets.base_queryset import QuerySet\n"
    done = subprocess.run([sys.executable, "-c", preamble + textwrap.dedent(code)], capture_output=True, text=True, env=environ)
    assert done.returncode == 0, done.stderr
    return done.stdout


SAVE_MEMBERS = """
    Member = ClassManager().import_model_class("Member")
    QuerySet(Member).save_many([Member(name=f"Reader {n}", email=f"r{n}@example.org") for n in range(3)])
"""


def edit_json(path: Path, change) -> None:
    data = json.loads(path.read_text("utf-8"))
    change(data)
    path.write_text(json.dumps(data), "utf-8")


def rename_email(root: Path) -> None:
    for path in (root / "models/member/model.json", root / "models/member/fixtures/members.json"):
        path.write_text(path.read_text("utf-8").replace('"email"', '"contact"'), "utf-8")


def add_required_phone(root: Path) -> None:
    def model(schema):
        schema["properties"]["phone"] = {"type": "string"}
        schema["required"].append("phone")

    def fixtures(data):
        for member in data["Member"]:
            member["phone"] = "555"

    edit_json(root / "models/member/model.json", model)
    edit_json(root / "models/member/fixtures/members.json", fixtures)


def remove_email(root: Path) -> None:
    def model(schema):
        del schema["properties"]["email"]
        schema["required"].remove("email")
        schema["unique"] = []

    def fixtures(data):
        for member in data["Member"]:
            del member["email"]

    edit_json(root / "models/member/model.json", model)
    edit_json(root / "models/member/fixtures/members.json", fixtures)


def remove_title(root: Path) -> None:
    def model(schema):
        del schema["properties"]["title"]
        schema["required"].remove("title")
        schema["unique"] = [["isbn"]]

    def fixtures(data):
        for book in data:
            del book["title"]

    edit_json(root / "models/book/model.json", model)
    edit_json(root / "models/book/fixtures/books.json", fixtures)
    hook = root / "models/book/properties/shelf.py"
    hook.write_text(hook.read_text("utf-8").replace("self.title[:3]", "self.isbn[:3]"), "utf-8")


def price_becomes_text(root: Path) -> None:
    edit_json(root / "models/book/model.json", lambda schema: schema["properties"].update(price={"type": "string"}))
    edit_json(root / "models/book/fixtures/books.json", lambda data: data[0].update(price="12.50 EUR"))


@pytest.mark.parametrize(
    "change, note, readable",
    [
        (rename_email, "3 stored Member records lack the required contact", {"Reader 0": None}),
        (add_required_phone, "3 stored Member records lack the required phone", {"Grace Hopper": "grace@example.org"}),
        (remove_email, None, {"Reader 0": None, "Grace Hopper": None}),
        (price_becomes_text, None, {"Reader 1": "r1@example.org"}),
        (remove_title, None, {"Reader 2": "r2@example.org"}),
    ],
    ids=["rename", "add-required", "remove", "type-change", "remove-before-renamed"],
)
def test_models_change_and_stored_records_stay(store, tmp_path, change, note, readable):
    root, out = tmp_path / "project", tmp_path / "out"
    shutil.copytree(EXAMPLE, root)
    databases = database_args()
    assert korvan("build", root, "--out", out, *databases).returncode == 0
    in_output(out, SAVE_MEMBERS)
    engine = {alias: sa.create_engine(KorvanConfigManager().get_database_url(alias)) for alias in ALL_DB_ALIASES}

    def stored() -> dict:
        found = {}
        for alias, db in engine.items():
            with db.connect() as connection:
                for name in ("Member", "Book"):
                    columns = {c["name"] for c in sa.inspect(connection).get_columns(name)}
                    rows = connection.execute(sa.text(f'SELECT count(*) FROM "{name}"')).scalar_one()
                    found[alias, name] = (columns, rows)
        return found

    before = stored()
    change(root)
    rebuilt = korvan("build", root, "--out", out, *databases)
    assert rebuilt.returncode == 0, rebuilt.stderr
    assert (note in rebuilt.stdout.splitlines()) if note else "lack the required" not in rebuilt.stdout
    after = stored()
    for key, (columns, rows) in before.items():
        assert columns <= after[key][0] and rows <= after[key][1], key
    emails = in_output(out, """
        import json
        Member = ClassManager().import_model_class("Member")
        Book = ClassManager().import_model_class("Book")
        print(json.dumps({r.name: getattr(r, "email", None) for r in QuerySet(Member).filter()}))
        print(json.dumps(sorted(r.isbn for r in QuerySet(Book).filter())))
    """).splitlines()
    assert json.loads(emails[1]) == ["9780441172719", "9782070360024"]
    emails = json.loads(emails[0])
    assert readable.items() <= emails.items() and len(emails) == 5
    for db in engine.values():
        db.dispose()


REFERENCE_CASES = [
    ({"book": {"ref": {"class_name": "Book", "object_id": "book-x"}}}, "record 'loan-9': Loan.book: no Book record 'book-x'"),
    ({"book": {"ref": {"class_name": "Nowhere", "object_id": "b"}}}, "record 'loan-9': Loan.book: no model 'Nowhere'"),
    ({"member": {"ref": {"class_name": "Member", "object_id": "member-7"}}}, "record 'loan-9': Loan.member: no Member record 'member-7'"),
    # A record that an application stored is a fine target.
    ({"book": {"ref": {"class_name": "Book", "object_id": "book-app"}}}, None),
]


def test_fixture_references_are_checked_at_build_time(tmp_path):
    root, out = tmp_path / "project", tmp_path / "out"
    shutil.copytree(EXAMPLE, root)
    assert korvan("build", root, "--out", out).returncode == 0
    in_output(out, """
        from korvan_utils.models.data_models.address import Address
        Book = ClassManager().import_model_class("Book")
        book = Book(title="Stored by the application", isbn="9780441172719")
        book._address = Address(resource="default", class_name="Book", class_version=1, object_id="book-app")
        QuerySet(Book).save(book)
    """)
    snapshot = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}
    members = root / "models/member/fixtures/members.json"
    original = members.read_text("utf-8")
    for case, line in REFERENCE_CASES:
        loan = {"book": {"ref": {"class_name": "Book", "object_id": "book-dune"}},
                "member": {"ref": {"class_name": "Member", "object_id": "member-1"}}, **case}
        members.write_text(original, "utf-8")
        edit_json(members, lambda data: data["Loan"].append({"_external_id": "loan-9", "status": "Open", **loan}))
        rebuilt = korvan("build", root, "--out", out)
        if line is None:
            assert rebuilt.returncode == 0, rebuilt.stderr
            continue
        assert (rebuilt.returncode, rebuilt.stderr.splitlines()[0]) == (2, f"{members}: {line}")
        assert {p: p.read_bytes() for p in out.rglob("*") if p.is_file()} == snapshot, line


def test_a_build_into_named_databases_resolves_every_reference_in_a_fresh_process(store, tmp_path):
    out = tmp_path / "out"
    databases = database_args()
    if "postgresql" in databases[0]:
        # The password goes to the server (which trusts this user) but never to disk.
        databases = [arg.replace("://korvan@", "://korvan:s3cret-word@") for arg in databases]
    built = korvan("build", EXAMPLE, "--out", out, *databases)
    assert built.returncode == 0, built.stderr
    assert "fixtures stored: 10 created" in built.stdout
    assert not any(b"s3cret-word" in p.read_bytes() for p in out.rglob("*") if p.is_file())
    assert not (out / "data").exists() or not any((out / "data").iterdir())
    resolved = in_output(out, """
        import json, pathlib, sys
        from korvan_models.classes.helpers.reference_fetcher import ReferenceFetcher
        from korvan_models.pipeline.fixture_checks import references
        from korvan_utils.models.data_models.reference import Reference
        count = 0
        for path in sorted(pathlib.Path(%r).rglob("fixtures/*.json")):
            for place, class_name, object_id in references(json.loads(path.read_text("utf-8")), ""):
                record = ReferenceFetcher(Reference(ref={"class_name": class_name, "object_id": object_id})).load_reference()
                assert record._address.object_id == object_id and type(record).__name__ == class_name
                count += 1
        print(count)
    """ % str(EXAMPLE / "models"))
    assert int(resolved) == 7


@pytest.mark.parametrize(
    "settings, line",
    [
        ("{not json", "not readable as settings"),
        ('{"models_module_name": "elsewhere"}', "models_module_name was changed to 'elsewhere'"),
        ('{"databases": {"archive": "sqlite://"}}', "databases names unknown alias 'archive'"),
        ('{"surprise": 1}', "not readable as settings"),
    ],
)
def test_an_edited_settings_file_is_honoured_or_refused_in_one_line(tmp_path, settings, line):
    out = tmp_path / "out"
    assert korvan("build", EXAMPLE, "--out", out).returncode == 0
    (out / "settings.json").write_text(settings, "utf-8")
    refused = korvan("build", EXAMPLE, "--out", out)
    assert refused.returncode == 2 and len(refused.stderr.splitlines()) == 2
    assert refused.stderr.startswith(f"{out / 'settings.json'}: ") and line in refused.stderr
    assert (out / "settings.json").read_text("utf-8") == settings


def test_an_edited_databases_entry_is_honoured(tmp_path):
    out, elsewhere = tmp_path / "out", tmp_path / "elsewhere.sqlite3"
    assert korvan("build", EXAMPLE, "--out", out).returncode == 0
    edit_json(out / "settings.json", lambda settings: settings.update(databases={"default": f"sqlite:///{elsewhere}"}))
    assert korvan("build", EXAMPLE, "--out", out).returncode == 0
    assert json.loads((out / "settings.json").read_text("utf-8"))["databases"] == {"default": f"sqlite:///{elsewhere}"}
    with sa.create_engine(f"sqlite:///{elsewhere}").connect() as connection:
        assert connection.execute(sa.text('SELECT count(*) FROM "Book"')).scalar_one() == 2


@pytest.mark.parametrize(
    "url, written",
    [
        ("postgresql+psycopg://store:pw@db.local:5433/korvan", "postgresql+psycopg://store@db.local:5433/korvan"),
        ("postgresql+psycopg://store:p%40ss@/korvan?host=/run/pg", "postgresql+psycopg://store@/korvan?host=%2Frun%2Fpg"),
        ("postgresql+psycopg://store@/korvan?password=pw&sslmode=require", "postgresql+psycopg://store@/korvan?sslmode=require"),
        ("sqlite:////var/lib/app/default.sqlite3", "sqlite:////var/lib/app/default.sqlite3"),
    ],
)
def test_urls_are_written_without_passwords(url, written):
    assert url_without_password(url) == written


def test_statement_and_binding_caches_stay_bounded(store, example):
    from korvan_models.querysets.base_queryset import _Selection
    from korvan_models.storage import records

    Publisher = ClassManager().import_model_class("Publisher")
    for _ in range(200):
        QuerySet(Publisher).count(name="Ace")
        QuerySet(Publisher).filter(_address__object_id="publisher-ace")
        dispose_engines()
    assert len(_Selection._statements) <= 2 and len(records._bindings) <= 1


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize(
    "csv",
    [
        "name,founded,country\nAce,1953,\nBee,,US\n,1900,GB\n",
        "rank,flag,ratio,note\n1,True,0.5,\n2,False,,x\n",
        "only\n\n7\n",
        "name,founded\nAce,1953\n",
    ],
    ids=["empty numbers and texts", "ints bools floats", "one column", "no empty cell"],
)
def test_csv_fixtures_fill_empty_cells_as_before_without_deprecated_upcasts(tmp_path, csv):
    import warnings

    import pandas as pd

    from korvan_models.schemas.loaders.cli_fixtures_reader import CliFixturesReader

    fixtures = tmp_path / "models" / "publisher" / "fixtures"
    fixtures.mkdir(parents=True)
    (fixtures.parent / "model.json").write_text(json.dumps({"title": "Publisher", "type": "object"}), "utf-8")
    (fixtures / "rows.csv").write_text(csv, "utf-8")
    walk = CliFixturesReader(tmp_path / "models").iter_fixtures()
    records = [element["data"] for element in json.loads(next(walk).read_text("utf-8"))]
    walk.close()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        before = json.loads(json.dumps(pd.read_csv(fixtures / "rows.csv").fillna("").to_dict(orient="records")))
    assert records == before


@pytest.mark.parametrize("failing", ["save", "second record"])
def test_a_load_failing_after_the_tables_were_made_leaves_every_database_as_it_was(store, example, tmp_path, monkeypatch, failing):
    from store_helpers import table_schema

    from korvan_models.storage import records
    from korvan_utils.models.data_models.schema import ObjectSchema

    load_fixtures(example_fixtures(tmp_path))
    publisher = next(s for s in example if s.title == "Publisher")
    grown = publisher.model_copy(update={"properties": {**publisher.properties, "motto": publisher.properties["name"].model_copy(update={"field_name": "motto"})}})
    shelf = ObjectSchema.model_validate({"title": "Shelf", "type": "object", "properties": {"code": {"type": "string"}}})
    engines = {alias: sa.create_engine(KorvanConfigManager().get_database_url(alias)) for alias in ALL_DB_ALIASES}

    def state():
        found = {}
        for alias, engine in engines.items():
            with engine.connect() as connection:
                inspector = sa.inspect(connection)
                found[alias] = (
                    {c["name"] for c in inspector.get_columns("Publisher")},
                    inspector.has_table("Shelf"),
                    connection.execute(sa.text('SELECT count(*) FROM "Publisher"')).scalar_one(),
                )
        return found

    before = state()
    save = records.Writer.save
    calls = []

    def broken(self, *args, **kwargs):
        calls.append(args)
        if failing == "save" or len(calls) == 2:
            raise RuntimeError("disk on fire")
        return save(self, *args, **kwargs)

    monkeypatch.setattr(records.Writer, "save", broken)
    elements = [{"class_name": "Publisher", "external_id": f"p-{n}", "order": 0, "data": {"name": f"P{n}"}} for n in range(2)]
    elements.append({"class_name": "Author", "external_id": "a-new", "order": 0, "data": {"first_name": "A", "last_name": "B"}})
    with pytest.raises(RuntimeError, match="disk on fire"):
        load_fixtures(fixtures_document(tmp_path, elements), table_schemas=[table_schema(grown), table_schema(shelf)])
    assert state() == before and ("motto" not in before[ALL_DB_ALIASES[0]][0])
    for engine in engines.values():
        engine.dispose()
