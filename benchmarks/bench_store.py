"""The store against hand-written SQLAlchemy Core on the same SQLite databases.

load_reference (class lookup, query, validated record) against one Core select of the same row;
saving 10,000 records in one call (a version in the lakehouse, the latest in the default database)
against one executemany of the same rows.
"""

import os
import pathlib
import sys
import tempfile
import uuid

import sqlalchemy as sa
from _timing import compare

TESTS = pathlib.Path(__file__).resolve().parents[1] / "tests"
sys.path.insert(0, str(TESTS / "store"))

from store_helpers import build_example, example_fixtures, table_schema, write_settings  # noqa: E402

from korvan_data.aliases.using import DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS  # noqa: E402
from korvan_models.classes.helpers.reference_fetcher import ReferenceFetcher  # noqa: E402
from korvan_models.classes.manager import ClassManager  # noqa: E402
from korvan_models.querysets.base_queryset import QuerySet  # noqa: E402
from korvan_models.storage import dispose_engines, ensure_tables, get_engine, load_fixtures  # noqa: E402
from korvan_models.storage.records import binding, record_values  # noqa: E402
from korvan_utils.models.data_models.reference import Reference  # noqa: E402

RECORDS = 10_000


def main():
    folder = pathlib.Path(tempfile.mkdtemp(prefix="bench_store_"))
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


if __name__ == "__main__":
    main()
