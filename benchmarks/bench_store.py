"""The store against hand-written SQLAlchemy Core on the same SQLite databases.

load_reference (class lookup, query, validated record) against one Core select of the same row;
saving 10,000 records in one call (a version in the lakehouse, the latest in the default database)
against one executemany of the same rows; the tables of 300 new models (both databases, one
transaction each) against SQLAlchemy Table objects created one by one in one transaction.
"""

import os
import pathlib
import sys
import uuid

import sqlalchemy as sa
from _timing import compare, in_scratch_folder

TESTS = pathlib.Path(__file__).resolve().parents[1] / "tests"
sys.path.insert(0, str(TESTS / "store"))

from store_helpers import build_example, example_fixtures, table_schema, write_settings  # noqa: E402

from korvan_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS  # noqa: E402
from korvan_models.classes.helpers.reference_fetcher import ReferenceFetcher  # noqa: E402
from korvan_models.classes.manager import ClassManager  # noqa: E402
from korvan_models.querysets.base_queryset import QuerySet  # noqa: E402
from korvan_models.storage import dispose_engines, ensure_tables, get_engine, load_fixtures  # noqa: E402
from korvan_models.storage.engines import writing  # noqa: E402
from korvan_models.storage.records import binding, record_values  # noqa: E402
from korvan_utils.models.data_models.reference import Reference  # noqa: E402

RECORDS = 10_000
MODELS = 300


def many_schemas(count):
    from korvan_utils.models.data_models.address import Address
    from korvan_utils.models.data_models.table_schema import TableColumnSchema, TableSchema

    kinds = [str, float, bool, bytes, list, dict, str, float]
    return [
        TableSchema(
            address=Address(resource="default", class_name=f"Model{number}", class_version="1"),
            columns=[TableColumnSchema(name=f"f{j}", type=kind, nullable=j > 0) for j, kind in enumerate(kinds)],
        )
        for number in range(count)
    ]


def compare_new_tables(folder):
    """ensure_tables of 300 new models against Table objects and Table.create, as a plain program would."""
    schemas = many_schemas(MODELS)
    types = {str: sa.Text, float: sa.Double, bool: sa.Boolean, bytes: sa.LargeBinary}
    rounds = iter(range(1000))

    def ours():
        place = folder / f"ours{next(rounds)}"
        place.mkdir()
        write_settings(place, os.environ)
        ensure_tables(schemas)
        dispose_engines()

    def plain():
        # The same engines and transactions (WAL, BEGIN IMMEDIATE); SQLAlchemy makes and creates each table.
        place = folder / f"plain{next(rounds)}"
        place.mkdir()
        write_settings(place, os.environ)
        for alias in (DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS):
            with writing(get_engine(alias)) as connection:
                present = set(sa.inspect(connection).get_table_names())
                for schema in schemas:
                    table = sa.Table(
                        schema.address.class_name,
                        sa.MetaData(),
                        sa.Column("_object_id", sa.String(255), primary_key=True),
                        sa.Column("_object_version", sa.Integer, primary_key=alias == LAKEHOUSE_DB_ALIAS),
                        sa.Column("_class_version", sa.Integer, nullable=False),
                        *[sa.Column(c.name, types.get(c.type, sa.JSON)(), nullable=c.nullable) for c in schema.columns],
                        sa.Column("_extra", sa.JSON),
                    )
                    if table.name not in present:
                        table.create(connection)
        dispose_engines()

    compare(f"tables of {MODELS} new models vs Table.create of each", ours, plain, 0.5, number=1, repeat=5)


def main():
    in_scratch_folder("bench_store_", run, dispose_engines)


def run(folder):
    write_settings(folder, os.environ)
    schemas = build_example(folder / "out")
    ensure_tables(table_schema(s) for s in schemas)
    load_fixtures(example_fixtures(folder))

    fetcher = ReferenceFetcher(Reference(ref={"class_name": "Book", "object_id": "book-dune"}))
    # The hand-written side opens its own engines on the same files, with SQLAlchemy's defaults.
    engine = sa.create_engine(get_engine(DEFAULT_DB_ALIAS).url)
    book_table = sa.Table("Book", sa.MetaData(), autoload_with=engine)

    def plain_select():
        with engine.connect() as connection:
            return connection.execute(sa.select(book_table).where(book_table.c["_object_id"] == "book-dune")).one()

    assert fetcher.load_reference().title == "Dune"
    compare("load_reference of one record vs one Core select", fetcher.load_reference, plain_select, 1.5)

    Publisher = ClassManager().import_model_class("Publisher")
    template = QuerySet(Publisher).get(_address__object_id="publisher-ace", _address__object_version="LATEST").execute()
    lakehouse = sa.create_engine(get_engine(LAKEHOUSE_DB_ALIAS).url)
    publisher_table = sa.Table("Publisher", sa.MetaData(), autoload_with=lakehouse)
    fields = binding(Publisher, publisher_table)

    def fresh_records():
        return [Publisher(name=f"Press {i}", country="GB", founded=1900 + i % 100) for i in range(RECORDS)]

    def fresh_rows():
        prefix = uuid.uuid4().hex
        return [
            {**record_values(r, fields), "_object_id": f"{prefix}{i}", "_object_version": 1, "_class_version": 1}
            for i, r in enumerate(fresh_records())
        ]

    batches = [fresh_records() for _ in range(6)]
    rows = [fresh_rows() for _ in range(6)]

    def ours():
        QuerySet(Publisher).save_many(batches.pop())

    def plain():
        with lakehouse.begin() as connection:
            connection.execute(publisher_table.insert(), rows.pop())

    compare(f"save {RECORDS:,} records in one call vs one executemany", ours, plain, 2.0, number=1, repeat=5)
    engine.dispose()
    lakehouse.dispose()
    dispose_engines()
    compare_new_tables(folder)


if __name__ == "__main__":
    main()
