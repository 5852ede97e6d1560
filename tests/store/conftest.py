"""A fresh store per test: its own settings file and databases, on SQLite and (when a server is given) PostgreSQL.

``KORVAN_TEST_POSTGRES_URL`` names a PostgreSQL server (any database on it); each test then gets
two schemas of its own there. Without it the PostgreSQL runs are skipped, unless
``KORVAN_REQUIRE_POSTGRES`` is set, which turns the skip into a failure.
"""

from __future__ import annotations

import importlib
import os
import sys
import uuid
from pathlib import Path

import pytest
import sqlalchemy as sa

sys.path.insert(0, str(Path(__file__).resolve().parent))

from store_helpers import build_example, forget_models, write_settings  # noqa: E402

from korvan_data.aliases.using import ALL_DB_ALIASES  # noqa: E402
from korvan_models.storage import dispose_engines  # noqa: E402

POSTGRES_URL_ENV = "KORVAN_TEST_POSTGRES_URL"
REQUIRE_POSTGRES_ENV = "KORVAN_REQUIRE_POSTGRES"


def _schema_url(base: str, schema: str) -> str:
    url = sa.make_url(base)
    return url.update_query_dict({"options": f"-csearch_path={schema}"}).render_as_string(hide_password=False)


@pytest.fixture(params=["sqlite", "postgresql"])
def store(request, tmp_path: Path, monkeypatch: pytest.MonkeyPatch):
    """Settings naming fresh databases of the backend; yields the settings file's path."""
    databases = {}
    schemas = []
    if request.param == "postgresql":
        base = os.environ.get(POSTGRES_URL_ENV)
        if not base:
            if os.environ.get(REQUIRE_POSTGRES_ENV):
                pytest.fail(f"{REQUIRE_POSTGRES_ENV} is set but {POSTGRES_URL_ENV} names no server")
            pytest.skip(f"no PostgreSQL server: set {POSTGRES_URL_ENV} (scripts/ci_postgres.sh does)")
        admin = sa.create_engine(base)
        with admin.begin() as connection:
            for alias in ALL_DB_ALIASES:
                schema = f"t_{uuid.uuid4().hex[:12]}_{alias}"
                connection.execute(sa.text(f'CREATE SCHEMA "{schema}"'))
                schemas.append(schema)
                databases[alias] = _schema_url(base, schema)
    dispose_engines()
    path = write_settings(tmp_path, {}, databases=databases)
    monkeypatch.setenv("KORVAN_SETTINGS_FILE", str(path))
    yield path
    dispose_engines()
    if schemas:
        with admin.begin() as connection:
            for schema in schemas:
                connection.execute(sa.text(f'DROP SCHEMA "{schema}" CASCADE'))
        admin.dispose()


@pytest.fixture(scope="session")
def example_out(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The example project's generated model classes (generated once per session)."""
    out = tmp_path_factory.mktemp("example_out")
    build_example(out)
    sys.path.remove(str(out))
    return out


@pytest.fixture
def example(example_out: Path, monkeypatch: pytest.MonkeyPatch):
    """The example project's model package, importable as ``models`` during the test; yields its schemas."""
    from store_helpers import EXAMPLE, table_schema

    from korvan_models import cli
    from korvan_models.storage import ensure_tables

    forget_models()
    monkeypatch.syspath_prepend(str(example_out))
    importlib.invalidate_caches()
    importlib.import_module("models")
    schemas = cli.load_project(EXAMPLE)
    ensure_tables(table_schema(s) for s in schemas)
    yield schemas
    forget_models()
