"""Storage-side constants shared by the framework's packages."""

from korvan_data.aliases.using import ALL_DB_ALIASES, DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS

__all__ = ["ALL_DB_ALIASES", "DEFAULT_DB_ALIAS", "LAKEHOUSE_DB_ALIAS"]
