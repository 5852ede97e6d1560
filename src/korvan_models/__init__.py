"""Model building: schema loading, verification and model class generation."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("korvan-models")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

del PackageNotFoundError, version
