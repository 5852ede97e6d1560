"""The frame probe module of tests/frame, built the same way, for the leak checks."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "frame"))

from build_probe import import_probe  # noqa: E402


@pytest.fixture(scope="session")
def probe(tmp_path_factory):
    return import_probe(tmp_path_factory.mktemp("frame_probe_build"))
