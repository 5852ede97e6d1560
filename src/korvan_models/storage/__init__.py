"""The store of model records: tables, saved versions and fixtures, through SQLAlchemy.

Each database alias is one database, named by the settings (SQLite files in the settings'
``data_dir`` unless configured otherwise): the default database holds the latest version of every
record, the lakehouse every version ever saved.
"""

from korvan_models.storage.engines import dispose_engines, get_engine
from korvan_models.storage.fixtures import FixtureLoadReport, load_fixtures
from korvan_models.storage.records import MissingTableError, save_records
from korvan_models.storage.tables import ensure_tables

__all__ = [
    "FixtureLoadReport",
    "MissingTableError",
    "dispose_engines",
    "ensure_tables",
    "get_engine",
    "load_fixtures",
    "save_records",
]
