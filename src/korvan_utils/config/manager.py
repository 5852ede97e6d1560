"""Read-only framework settings.

Settings come from a JSON file named by the environment variable ``KORVAN_SETTINGS_FILE``
when it is set, otherwise from the defaults below. Example file::

    {
        "models_module_name": "models",
        "default_connection": "default",
        "model_connections": {"AuditEntry": "lakehouse"}
    }
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping
from pathlib import Path
from types import MappingProxyType

from pydantic import BaseModel, ConfigDict, Field

SETTINGS_FILE_ENV = "KORVAN_SETTINGS_FILE"


class KorvanSettings(BaseModel):
    """The settings themselves; frozen once read."""

    model_config = ConfigDict(extra="forbid", frozen=True)

    models_module_name: str = "models"
    default_connection: str = "default"
    model_connections: Mapping[str, str] = Field(default_factory=dict)

    def model_post_init(self, __context: object) -> None:
        # Freeze the mapping too, so no one edits settings through a shared manager.
        object.__setattr__(self, "model_connections", MappingProxyType(dict(self.model_connections)))


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
        data = json.loads(Path(path).read_text("utf-8"))
        return KorvanSettings.model_validate(data)

    @property
    def settings(self) -> KorvanSettings:
        return self._settings

    @property
    def models_module_name(self) -> str:
        return self._settings.models_module_name

    def get_connection_name_by_model_name(self, model_name: str) -> str:
        """Returns the connection a model's records are stored through."""
        return self._settings.model_connections.get(model_name, self._settings.default_connection)
