"""The package tells its version, the one its installed metadata and pyproject.toml give."""

import importlib.metadata
import tomllib

import korvan_models
from native_modules import REPO


def test_version_matches_installed_metadata_and_project():
    declared = tomllib.loads((REPO / "pyproject.toml").read_text("utf-8"))["project"]["version"]
    assert korvan_models.__version__ == importlib.metadata.version("korvan-models") == declared
