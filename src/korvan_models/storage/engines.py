"""Database engines by alias, and the transactions that read and write records.

Each alias's URL comes from the settings (``KorvanConfigManager.get_database_url``); one engine
is kept per URL for the life of the process. SQLite databases run in WAL mode with a busy timeout,
and a writing transaction takes the database's write lock when it begins (``BEGIN IMMEDIATE``),
so that two processes saving at once wait for each other instead of failing or losing a version.
"""

from __future__ import annotations

import json
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any, TypeVar

import sqlalchemy as sa
from pydantic_core import to_jsonable_python

from korvan_utils.config.manager import KorvanConfigManager

SQLITE_BUSY_TIMEOUT_MS = 60_000
WRITE_OPTION = "korvan_write"

_engines: dict[str, sa.Engine] = {}
T = TypeVar("T")
R = TypeVar("R")
_engines_lock = threading.Lock()


def _json_default(value: Any) -> Any:
    """JSON form of the values a model field may hold besides plain JSON ones (records, bytes, dates...).

    The same form as the records' own JSON dump, so a stored value validates back to what was saved;
    a value with no JSON form raises instead of being stored as something else.
    """
    return to_jsonable_python(value)


# One encoder for every JSON value (json.dumps with options would build one per call).
dumps = json.JSONEncoder(default=_json_default, ensure_ascii=False, separators=(",", ":")).encode


def _prepare_sqlite(engine: sa.Engine) -> None:
    @sa.event.listens_for(engine, "connect")
    def _on_connect(dbapi_connection: Any, _record: Any) -> None:
        # Transactions are begun by the "begin" hook below, not by the driver.
        dbapi_connection.isolation_level = None
        cursor = dbapi_connection.cursor()
        cursor.execute(f"PRAGMA busy_timeout = {SQLITE_BUSY_TIMEOUT_MS}")
        cursor.execute("PRAGMA journal_mode = WAL")
        cursor.execute("PRAGMA synchronous = NORMAL")
        cursor.close()

    @sa.event.listens_for(engine, "begin")
    def _on_begin(connection: sa.Connection) -> None:
        # Reads run in the driver's autocommit mode: each of them is one statement, which sees one
        # snapshot of the database on its own.
        if connection.get_execution_options().get(WRITE_OPTION, False):
            connection.exec_driver_sql("BEGIN IMMEDIATE")


def _create_engine(url: str) -> sa.Engine:
    parsed = sa.make_url(url)
    if parsed.get_backend_name() == "sqlite":
        if parsed.database and parsed.database != ":memory:" and not parsed.database.startswith("file:"):
            Path(parsed.database).parent.mkdir(parents=True, exist_ok=True)
        engine = sa.create_engine(
            parsed,
            json_serializer=dumps,
            connect_args={"timeout": SQLITE_BUSY_TIMEOUT_MS / 1000},
        )
        _prepare_sqlite(engine)
        return engine
    return sa.create_engine(parsed, json_serializer=dumps, pool_pre_ping=True)


def engine_for_url(url: str) -> sa.Engine:
    """The process's engine for a URL, created on first use."""
    engine = _engines.get(url)
    if engine is None:
        with _engines_lock:
            engine = _engines.get(url)
            if engine is None:
                engine = _engines[url] = _create_engine(url)
    return engine


def database_url(alias: str) -> str:
    """The URL the settings give a database alias."""
    return KorvanConfigManager().get_database_url(alias)


def get_engine(alias: str) -> sa.Engine:
    """The engine of a database alias, as the settings name it now."""
    return engine_for_url(database_url(alias))


def at_once(function: Callable[[T], R], items: Sequence[T]) -> list[R]:
    """``function`` of each item, each in a thread of its own (the first in this one); the results
    in the order of the items. The database drivers let go of the interpreter while a database
    works, so two databases' work overlaps. Every call ends before the first failure is raised."""
    if len(items) < 2:
        return [function(item) for item in items]
    results: list = [None] * len(items)
    failures: list = [None] * len(items)

    def call(index: int) -> None:
        try:
            results[index] = function(items[index])
        except BaseException as error:  # raised in the calling thread below
            failures[index] = error

    threads = [threading.Thread(target=call, args=(index,)) for index in range(1, len(items))]
    for thread in threads:
        thread.start()
    call(0)
    for thread in threads:
        thread.join()
    for failure in failures:
        if failure is not None:
            raise failure
    return results


def dispose_engines() -> None:
    """Closes every pooled connection and forgets the engines (and the tables read through them).
    The databases are closed together: closing a SQLite database in WAL mode writes its log back."""
    from korvan_models.storage import tables

    with _engines_lock:
        at_once(sa.Engine.dispose, list(_engines.values()))
        _engines.clear()
    tables.forget_tables()


def is_postgresql(engine: sa.Engine | sa.Connection) -> bool:
    return engine.dialect.name == "postgresql"


@contextmanager
def writing(engine: sa.Engine) -> Iterator[sa.Connection]:
    """A connection in a writing transaction, committed when the block ends without error."""
    with engine.connect().execution_options(**{WRITE_OPTION: True}) as connection:
        with connection.begin():
            yield connection
