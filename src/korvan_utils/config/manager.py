"""Read-only framework settings.

Settings come from a JSON file named by the environment variable ``KORVAN_SETTINGS_FILE``
when it is set, otherwise from the defaults below. Example file::

    {
        "models_module_name": "models",
        "default_connection": "default",
        "model_connections": {"AuditEntry": "lakehouse"},
        "data_dir": "data",
        "databases": {"lakehouse": "postgresql+psycopg://store@/korvan?host=/run/postgresql"}
    }

``data_dir`` is the folder of the embedded SQLite databases; a relative path is taken from the
settings file's own folder (from the working folder when there is no file), so a build's output
folder can be moved as a whole. ``databases`` maps a database alias to any SQLAlchemy URL; an
alias it does not name is the SQLite file ``<data_dir>/<alias>.sqlite3``.

The environment variable ``KORVAN_DATABASE_<ALIAS>`` (``KORVAN_DATABASE_DEFAULT``,
``KORVAN_DATABASE_LAKEHOUSE``), when set, names an alias's URL over the settings: the way to give a
URL holding a password without writing it into a file (the PostgreSQL driver also reads
``PGPASSWORD`` and ``~/.pgpass``).
"""

from __future__ import annotations

import functools
import json
import os
from collections.abc import Mapping
from pathlib import Path
from types import MappingProxyType

from pydantic import BaseModel, ConfigDict, Field, PrivateAttr

SETTINGS_FILE_ENV = "KORVAN_SETTINGS_FILE"
DATABASE_ENV_PREFIX = "KORVAN_DATABASE_"


@functools.lru_cache(maxsize=64)
def database_env(alias: str) -> str:
    """The environment variable that names a database alias's URL over the settings."""
    return DATABASE_ENV_PREFIX + alias.upper().replace("-", "_")

DEFAULT_DATA_DIR = "data"


class KorvanSettings(BaseModel):
    """The settings themselves; frozen once read."""

    model_config = ConfigDict(extra="forbid", frozen=True)

    models_module_name: str = "models"
    default_connection: str = "default"
    model_connections: Mapping[str, str] = Field(default_factory=dict)
    data_dir: Path = Path(DEFAULT_DATA_DIR)
    databases: Mapping[str, str] = Field(default_factory=dict)

    # Database URLs already worked out, by alias (every query asks for one).
    _urls: dict[str, str] = PrivateAttr(default_factory=dict)

    def model_post_init(self, __context: object) -> None:
        # Freeze the mappings too, so no one edits settings through a shared manager.
        object.__setattr__(self, "model_connections", MappingProxyType(dict(self.model_connections)))
        object.__setattr__(self, "databases", MappingProxyType(dict(self.databases)))


# Settings files already read, by path, with the file's change time and size when read: a file
# is read again only when it changed.
_READ_FILES: dict[str, tuple[tuple[int, int], KorvanSettings]] = {}


def _read_settings_file(name: str) -> KorvanSettings:
    stamp = os.stat(name)
    key = (stamp.st_mtime_ns, stamp.st_size)
    known = _READ_FILES.get(name)
    if known is not None and known[0] == key:
        return known[1]
    path = Path(name)
    try:
        data = json.loads(path.read_text("utf-8"))
        settings = KorvanSettings.model_validate(data)
    except ValueError as err:
        raise ValueError(f"Settings file {path}: {err}") from err
    if not settings.data_dir.is_absolute():
        settings = settings.model_copy(update={"data_dir": path.parent.absolute() / settings.data_dir})
    _READ_FILES[name] = (key, settings)
    return settings


class KorvanConfigManager:
    """Gives read access to the framework settings."""

    def __init__(self, settings: KorvanSettings | None = None) -> None:
        self._settings = settings if settings is not None else self.load_settings()

    def __repr__(self) -> str:
        return f"{self.__class__.__name__}({self._settings!r})"

    @staticmethod
    def load_settings(path: Path | str | None = None) -> KorvanSettings:
        """Reads settings from ``path``, or from the file named in the environment, or returns defaults."""
        if path is None:
            path = os.environ.get(SETTINGS_FILE_ENV) or None
        if path is None:
            return KorvanSettings()
        return _read_settings_file(os.fspath(path))

    @property
    def settings(self) -> KorvanSettings:
        return self._settings

    @property
    def models_module_name(self) -> str:
        return self._settings.models_module_name

    @property
    def data_dir(self) -> Path:
        """The folder of the embedded databases, absolute."""
        return self._settings.data_dir.absolute()

    def get_connection_name_by_model_name(self, model_name: str) -> str:
        """Returns the connection a model's records are stored through."""
        return self._settings.model_connections.get(model_name, self._settings.default_connection)

    def get_database_url(self, alias: str) -> str:
        """The SQLAlchemy URL of a database alias: the configured one, else a SQLite file in ``data_dir``."""
        given = os.environ.get(database_env(alias)) if alias else None
        if given:
            return given
        urls = self._settings._urls
        url = urls.get(alias)
        if url is None:
            url = self._settings.databases.get(alias)
            if not url:
                if not alias or not alias.replace("_", "").replace("-", "").isalnum():
                    raise ValueError(f"Database alias {alias!r} is not configured and cannot name a file")
                url = f"sqlite:///{(self.data_dir / f'{alias}.sqlite3').as_posix()}"
            urls[alias] = url
        return url
