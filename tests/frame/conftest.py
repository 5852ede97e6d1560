"""Builds the test-only frame_probe extension module once per session and imports it."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from build_probe import import_probe  # noqa: E402


@pytest.fixture(scope="session")
def probe(tmp_path_factory):
    return import_probe(tmp_path_factory.mktemp("frame_probe_build"))


@pytest.fixture(scope="session")
def twin():
    import frame_twin

    return frame_twin
