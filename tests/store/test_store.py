"""The store on a real database: versions, partial records, names and values that look like SQL, schema growth."""

from __future__ import annotations

from pathlib import Path
from typing import Any, Optional

import pytest
import sqlalchemy as sa
from pydantic import create_model

from korvan_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS
from korvan_models.classes.model import MODEL_REGISTRY, Model
from korvan_models.querysets.base_queryset import DoesNotExist, MultipleObjectsReturned, QuerySet
from korvan_models.storage import ensure_tables, get_engine
from korvan_models.storage.records import known_address
from korvan_utils.config.manager import KorvanConfigManager, KorvanSettings
from korvan_utils.models.data_models.address import Address
from korvan_utils.models.data_models.table_schema import TableColumnSchema, TableSchema
from korvan_utils.models.enums import Versions


def table(title: str, *columns: tuple[str, type, bool], **options: Any) -> TableSchema:
    """A table description: (column name, value type, nullable) per column."""
    return TableSchema(
        address=Address(resource="default", class_name=title, class_version="1"),
        columns=[
            TableColumnSchema(name=n, type=t, nullable=nullable, **options.get(n, {})) for n, t, nullable in columns
        ],
    )


def model(title: str, **fields: Any) -> type[Model]:
    cls = create_model(title, __base__=Model, __module__="store_test_models.gadgets", **fields)
    return cls


@pytest.fixture
def gadget(store):
    Gadget = model(
        "Gadget",
        name=(str, ...),
        weight=(Optional[float], None),
        tags=(Optional[list[str]], None),
        blob=(Optional[bytes], None),
        on=(Optional[bool], None),
    )
    ensure_tables(
        [
            table(
                "Gadget",
                ("name", str, False),
                ("weight", float, True),
                ("tags", list, True),
                ("blob", bytes, True),
                ("on", bool, True),
            )
        ]
    )
    yield Gadget
    MODEL_REGISTRY.forget("store_test_models")


def saved(record: Model, object_id: str) -> Model:
    record._address = Address(
        resource="default", class_name=type(record).__name__, class_version=Versions.LATEST, object_id=object_id
    )
    return record


def test_each_save_is_a_new_version_and_latest_finds_the_highest(gadget):
    for weight in (1.0, 2.0, 3.0):
        address = QuerySet(gadget).save(saved(gadget(name="g", weight=weight, tags=["x"], blob=b"\0\1", on=True), "g1"))
    assert (address.object_id, address.object_version) == ("g1", 3)
    history, latest = QuerySet(gadget).using(LAKEHOUSE_DB_ALIAS), QuerySet(gadget)
    assert (history.count(), latest.count(), history.count(_address__object_id="g1", weight=2.0)) == (3, 1, 1)

    def weight_at(alias, class_version, object_version):
        query = (
            QuerySet(gadget)
            .using(alias)
            .get(
                _address__class_version=class_version, _address__object_id="g1", _address__object_version=object_version
            )
        )
        return query.execute().weight

    assert weight_at(LAKEHOUSE_DB_ALIAS, Versions.LATEST, 2) == weight_at(LAKEHOUSE_DB_ALIAS, "1", "2") == 2.0
    assert weight_at(LAKEHOUSE_DB_ALIAS, "LATEST", "LATEST") == weight_at(DEFAULT_DB_ALIAS, "LATEST", "LATEST") == 3.0
    record = history.get(_address__object_id="g1", _address__object_version=1).execute()
    assert (record.tags, record.blob, record.on, record._address.object_version) == (["x"], b"\0\1", True, 1)
    with pytest.raises(DoesNotExist, match=r"No Gadget record at .*object_id='g1'.*object_version=4.*lakehouse"):
        weight_at(LAKEHOUSE_DB_ALIAS, "LATEST", 4)
    with pytest.raises(DoesNotExist, match="class_version=2"):
        weight_at(DEFAULT_DB_ALIAS, 2, "LATEST")
    with pytest.raises(ValueError, match="neither a version number"):
        weight_at(LAKEHOUSE_DB_ALIAS, "newest", 1)


def test_a_lakehouse_made_anew_continues_the_default_databases_versions(gadget):
    # The lakehouse emptied (or pointed at a new database) while the default one keeps its rows:
    # a save updates the stored object rather than adding it again, and its version keeps rising.
    QuerySet(gadget).save(saved(gadget(name="g", weight=1.0), "g1"))
    QuerySet(gadget).save(saved(gadget(name="g", weight=2.0), "g1"))
    with get_engine(LAKEHOUSE_DB_ALIAS).begin() as connection:
        connection.execute(sa.text('DELETE FROM "Gadget"'))
    address = QuerySet(gadget).save(saved(gadget(name="g", weight=3.0), "g1"))
    assert address.object_version == 3
    latest = QuerySet(gadget).get(_address__object_id="g1").execute()
    assert (latest.weight, latest._address.object_version, QuerySet(gadget).count()) == (3.0, 3, 1)
    assert QuerySet(gadget).using(LAKEHOUSE_DB_ALIAS).count() == 1


def test_batches_and_several_matches(gadget):
    addresses = QuerySet(gadget).save_many(
        [gadget(name="same"), gadget(name="same"), saved(gadget(name="a"), "a"), saved(gadget(name="b"), "a")]
    )
    assert len({a.object_id for a in addresses}) == 3 and [a.object_version for a in addresses[2:]] == [1, 2]
    assert QuerySet(gadget).get(_address__object_id="a").execute().name == "b"
    with pytest.raises(MultipleObjectsReturned, match="Several Gadget records match name='same'"):
        QuerySet(gadget).get(name="same").execute()
    with pytest.raises(TypeError):
        QuerySet(gadget).save(Model())

    # A save that fails (here in the model's before_save hook) leaves both databases as they were,
    # and the record's address unchanged.
    class Checked(gadget):
        def before_save(self):
            if self.name == "bad":
                raise ValueError("bad gadget")

    record = saved(Checked(name="bad"), "c")
    ensure_tables([table("Checked", ("name", str, False))])
    with pytest.raises(ValueError, match="bad gadget"):
        QuerySet(Checked).save_many([Checked(name="good"), record])
    assert (QuerySet(Checked).count(), QuerySet(Checked).using(LAKEHOUSE_DB_ALIAS).count()) == (0, 0)
    assert record._address.object_version == ""
    QuerySet(Checked).save_many([Checked(name="good"), Checked(name="fine")])
    assert (QuerySet(Checked).count(), QuerySet(gadget).using(LAKEHOUSE_DB_ALIAS).count()) == (2, 4)


def test_none_is_kept_where_the_default_is_not_none(store):
    Defaults = model("Defaults", tags=(Optional[list[str]], ["new"]), size=(Optional[float], 3.0))
    ensure_tables([table("Defaults", ("tags", list, True), ("size", float, True))])
    try:
        QuerySet(Defaults).save(saved(Defaults(tags=None, size=None), "d"))
        assert QuerySet(Defaults).get(_address__object_id="d").execute().model_dump() == {"tags": None, "size": None}
    finally:
        MODEL_REGISTRY.forget("store_test_models")


def test_only_gives_a_partial_validated_record(gadget):
    QuerySet(gadget).save(saved(gadget(name="g", weight=2.5, tags=["a", "b"]), "g"))
    query = QuerySet(gadget).get(_address__object_id="g")
    partial = query.only(["tags", "weight", "blob"]).execute()
    assert partial.model_dump(exclude_unset=True) == {"tags": ["a", "b"], "weight": 2.5, "blob": None}
    assert partial._address.object_id == "g" and "name" not in partial.__dict__
    assert query.only([]).execute().name == "g"
    with pytest.raises(ValueError, match="Gadget has no field 'colour'"):
        query.only(["colour"])
    with pytest.raises(ValueError, match="no stored field 'colour'"):
        QuerySet(gadget).filter(colour="red")


SQL_VALUES = [
    '\'); DROP TABLE "Select"; --',
    "Robert'); DROP TABLE Students;--",
    "%s",
    "%(name)s",
    "?",
    ":name",
    "\\'; --",
    "' OR '1'='1",
]


def test_names_and_values_that_look_like_sql(store):
    columns = ["select", "from_", "where", "group", "order", "user", "table", "values"]
    Select = model("Select", **{name: (Optional[str], None) for name in columns})
    ensure_tables([table("Select", *[(name, str, True) for name in columns])])
    try:
        for number, value in enumerate(SQL_VALUES):
            QuerySet(Select).save(saved(Select(**{name: value for name in columns}), value))
        for value in SQL_VALUES:
            record = QuerySet(Select).get(_address__object_id=value, where=value).execute()
            assert record.model_dump() == {name: value for name in columns}
        assert QuerySet(Select).count() == len(SQL_VALUES)
        assert sa.inspect(get_engine(DEFAULT_DB_ALIAS)).get_table_names() == ["Select"]
    finally:
        MODEL_REGISTRY.forget("store_test_models")


@pytest.mark.parametrize(
    "title, column, refused",
    [
        ('Gadget"; DROP TABLE x; --', "name", "Model title"),
        ("Gadget", "a b", "Column of Gadget"),
        ("Gadget", "name; DROP TABLE Gadget", "Column of Gadget"),
        ("Gadget", "_object_id", "Column of Gadget"),
        ("_shadow", "name", "Model title"),
        ("Gadget", "x" * 64, "Column of Gadget"),
    ],
)
def test_names_that_cannot_be_identifiers_are_refused_before_any_sql(store, title, column, refused):
    with pytest.raises(ValueError, match=refused):
        ensure_tables([table(title, (column, str, True))])
    assert sa.inspect(get_engine(DEFAULT_DB_ALIAS)).get_table_names() == []


def test_tables_grow_and_keep_deleted_and_renamed_columns(gadget):
    ensure_tables([table("Fresh", ("a", str, True)), table("Fresh", ("a", str, True), ("b", str, True))])
    QuerySet(gadget).save(saved(gadget(name="old", weight=1.0), "g"))
    grown = table(
        "Gadget",
        ("name", str, False),
        ("weight", float, True),
        ("tags", list, True),
        ("blob", bytes, True),
        ("on", bool, True),
        ("size_cm", float, False),
        ("colour", str, True),
        colour={"is_deleted": True},
    )
    ensure_tables([grown, grown])
    Grown = model(
        "Gadget",
        name=(str, ...),
        weight=(Optional[float], None),
        tags=(Optional[list[str]], None),
        blob=(Optional[bytes], None),
        on=(Optional[bool], None),
        size=(Optional[float], None),
        colour=(Optional[str], None),
    )
    for alias in (DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS):
        columns = {c["name"]: c for c in sa.inspect(get_engine(alias)).get_columns("Gadget")}
        assert columns["size_cm"]["nullable"] and columns["colour"]["nullable"]
    assert QuerySet(Grown).get(_address__object_id="g").execute().model_dump(include={"name", "size"}) == {
        "name": "old",
        "size": None,
    }
    # "size" is stored in the renamed column "size_cm" (the fields left over take the columns left over, in order).
    QuerySet(Grown).save(saved(Grown(name="new", size=4.0, colour="red"), "g"))
    with get_engine(DEFAULT_DB_ALIAS).connect() as connection:
        row = connection.execute(sa.text('SELECT "size_cm", "colour" FROM "Gadget"')).one()
    assert tuple(row) == (4.0, "red")
    # A table that has lost a property keeps its column and its values.
    ensure_tables([table("Gadget", ("name", str, False))])
    assert QuerySet(Grown).using(LAKEHOUSE_DB_ALIAS).get(_address__object_version=2).execute().size == 4.0


def test_database_urls_come_from_the_settings_file(tmp_path, monkeypatch):
    settings = tmp_path / "out" / "korvan.json"
    settings.parent.mkdir()
    settings.write_text('{"data_dir": "data", "databases": {"lakehouse": "sqlite:////srv/history.db"}}', "utf-8")
    monkeypatch.setenv("KORVAN_SETTINGS_FILE", str(settings))
    manager = KorvanConfigManager()
    assert manager.get_database_url("default") == f"sqlite:///{(tmp_path / 'out' / 'data').as_posix()}/default.sqlite3"
    assert manager.get_database_url("lakehouse") == "sqlite:////srv/history.db"
    assert manager.get_connection_name_by_model_name("Book") == "default" and manager.models_module_name == "models"
    settings.write_text('{"data_dir": "/var/korvan", "models_module_name": "app_models"}', "utf-8")
    assert KorvanConfigManager().get_database_url("default") == "sqlite:////var/korvan/default.sqlite3"
    assert KorvanConfigManager().models_module_name == "app_models"
    with pytest.raises(ValueError, match="cannot name a file"):
        KorvanConfigManager(KorvanSettings()).get_database_url("../etc/passwd")
    settings.write_text('{"data_dir": 3, "colour": "red"}', "utf-8")
    with pytest.raises(ValueError, match=f"Settings file {settings}"):
        KorvanConfigManager()


def test_fast_addresses_equal_validated_ones():
    made = known_address("default", "Book", 2, "b1", 7)
    assert made == Address(resource="default", class_name="Book", class_version=2, object_id="b1", object_version=7)
    assert made.model_dump() == Address.model_validate(made.model_dump()).model_dump()


def test_json_columns_give_back_what_was_saved(store):
    import datetime

    from korvan_utils.models.data_models.reference import Reference

    Nested = model(
        "Nested",
        parts=(Optional[list[bytes]], None),
        dates=(Optional[dict[str, datetime.date]], None),
        refs=(Optional[list[Reference]], None),
        mixed=(Optional[dict[str, Any]], None),
    )
    ensure_tables(
        [table("Nested", ("parts", list, True), ("dates", dict, True), ("refs", list, True), ("mixed", dict, True))]
    )
    try:
        record = Nested(
            parts=[b"a\x00b", "é".encode()],
            dates={"due": datetime.date(2024, 2, 29)},
            refs=[{"ref": {"class_name": "Book", "object_id": "b1", "object_version": 3}}],
            mixed={"n": 1.5, "deep": [[{"x": None}]], "text": "日本"},
        )
        QuerySet(Nested).save(saved(record, "n"))
        assert QuerySet(Nested).get(_address__object_id="n").execute().model_dump() == record.model_dump()
        with pytest.raises(ValueError, match="Cannot store (column 'parts' of|a record of) Nested: 'utf-8' codec"):
            QuerySet(Nested).save(saved(Nested(parts=[b"\xff"]), "bad"))
        assert QuerySet(Nested).count() == 1
    finally:
        MODEL_REGISTRY.forget("store_test_models")


def test_inherited_fields_without_columns_are_kept(gadget):
    class Vaulted(gadget):
        shelf: str

    ensure_tables([table("Vaulted", ("shelf", str, False))])
    record = Vaulted(name="v", weight=2.0, tags=["t"], blob=b"b", shelf="S1")
    QuerySet(Vaulted).save(saved(record, "v"))
    assert QuerySet(Vaulted).get(_address__object_id="v").execute().model_dump() == record.model_dump()
    partial = QuerySet(Vaulted).get(_address__object_id="v").only(["weight", "shelf"]).execute()
    assert partial.model_dump(exclude_unset=True) == {"weight": 2.0, "shelf": "S1"}


def test_one_call_creates_new_tables_and_grows_stored_ones_among_many(store):
    ensure_tables([table(f"Kept{n}", ("a", str, True)) for n in range(5)])
    ensure_tables(
        [table(f"Kept{n}", ("a", str, True), ("b", float, True)) for n in range(0, 5, 2)]
        + [table("Added", ("x", str, True)), table("Added", ("x", str, True), ("y", list, True))]
    )
    for alias in (DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS):
        inspector = sa.inspect(get_engine(alias))
        data = {name: [c["name"] for c in inspector.get_columns(name) if not c["name"].startswith("_")]
                for name in inspector.get_table_names()}
        assert data == {"Added": ["x", "y"], "Kept0": ["a", "b"], "Kept1": ["a"], "Kept2": ["a", "b"],
                        "Kept3": ["a"], "Kept4": ["a", "b"]}


def test_sqlite_titles_differing_in_case_share_the_stored_table(store):
    if get_engine(DEFAULT_DB_ALIAS).dialect.name != "sqlite":
        pytest.skip("table names are case-sensitive here")
    ensure_tables([table("Widget", ("a", str, True))])
    ensure_tables([table("widget", ("a", str, True), ("b", str, True))])
    inspector = sa.inspect(get_engine(DEFAULT_DB_ALIAS))
    assert inspector.get_table_names() == ["Widget"]
    assert [c["name"] for c in inspector.get_columns("Widget")][-1] == "b"


def _in_every_database_elsewhere(*statements: str) -> None:
    """Runs the statements in each database through a connection of its own, as another program would."""
    from korvan_models.storage.engines import database_url

    for alias in (LAKEHOUSE_DB_ALIAS, DEFAULT_DB_ALIAS):
        url = sa.make_url(database_url(alias))
        if url.get_backend_name() == "sqlite":
            Path(url.database).parent.mkdir(parents=True, exist_ok=True)
        engine = sa.create_engine(url)
        try:
            with engine.begin() as connection:
                for statement in statements:
                    connection.exec_driver_sql(statement)
        finally:
            engine.dispose()


_ROW = """INSERT INTO "Shelf" ("_object_id", "_object_version", "_class_version", "label") VALUES ('s', 1, 1, 'x')"""
_SHELF = [table("Shelf", ("label", str, True))]


@pytest.mark.parametrize(
    "before, meanwhile, rows, made",
    [
        # Nothing changes between the reading ahead and the writing: what was read is what there is.
        (_SHELF, [], 1, False),
        ([], [], 0, True),
        # Another program makes, grows or drops the table in between.
        ([], ['CREATE TABLE "Shelf" ("_object_id" VARCHAR(255) NOT NULL, "_object_version" INTEGER NOT NULL, '
              '"_class_version" INTEGER NOT NULL, "label" TEXT, PRIMARY KEY ("_object_id", "_object_version"))',
              _ROW], 1, False),
        (_SHELF, ['ALTER TABLE "Shelf" ADD COLUMN "note" TEXT'], 1, False),
        (_SHELF, ['DROP TABLE "Shelf"'], 0, True),
    ],
    ids=["unchanged", "new and unchanged", "table made", "column added", "table dropped"],
)
def test_tables_prepared_ahead_follow_what_another_program_changed_since(store, before, meanwhile, rows, made):
    from korvan_models.storage.engines import database_url
    from korvan_models.storage.tables import created_tables, prepare_tables

    if before:
        ensure_tables(before)
        _in_every_database_elsewhere(_ROW)
    created_tables.clear()
    prepared = prepare_tables([table("Shelf", ("label", str, True), ("note", str, True))])
    if meanwhile:
        _in_every_database_elsewhere(*meanwhile)
    assert ensure_tables(prepared) == []
    for alias in (DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS):
        engine = get_engine(alias)
        assert {"label", "note"} <= {c["name"] for c in sa.inspect(engine).get_columns("Shelf")}
        with engine.connect() as connection:
            assert connection.exec_driver_sql('SELECT count(*) FROM "Shelf"').scalar_one() == rows
        # A table made here held no records before: a build checks the stored records of the others only.
        assert ("Shelf" in created_tables.get(database_url(alias), set())) == made
