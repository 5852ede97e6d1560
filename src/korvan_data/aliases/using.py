"""Names of the database connections that records are read from and written to."""

# The operational database: the latest version of every record.
DEFAULT_DB_ALIAS = "default"

# The history store: every earlier version of classes and records.
LAKEHOUSE_DB_ALIAS = "lakehouse"

ALL_DB_ALIASES = (DEFAULT_DB_ALIAS, LAKEHOUSE_DB_ALIAS)
