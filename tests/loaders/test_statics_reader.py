"""CliStaticsReader: the regular files directly inside an application's static folder."""

from __future__ import annotations

import os
from pathlib import Path

import pytest
from loader_helpers import ListingRefused

from korvan_models.schemas.loaders.cli_statics_reader import CliStaticsReader


def test_missing_static_or_a_static_file_gives_nothing(tmp_path: Path):
    assert list(CliStaticsReader(tmp_path).iter_static()) == []
    (tmp_path / "static").write_text("not a folder", "utf-8")
    assert list(CliStaticsReader(tmp_path).iter_static()) == []


def test_only_direct_regular_files_in_listing_order(tmp_path: Path):
    static = tmp_path / "static"
    (static / "css" / "deep").mkdir(parents=True)
    (static / "css" / "site.css").write_text("body {}", "utf-8")
    for name in ("logo b.svg", "ä.txt", "robots.txt"):
        (static / name).write_text(name, "utf-8")
    (static / "link.txt").symlink_to(static / "robots.txt")
    (static / "dangling").symlink_to(static / "gone")
    os.mkfifo(static / "pipe")

    found = list(CliStaticsReader(tmp_path).iter_static())
    expected = [static / n for n in os.listdir(static) if n in {"logo b.svg", "ä.txt", "robots.txt", "link.txt"}]
    assert found == expected


def test_static_is_looked_at_only_when_asked_and_errors_surface_then(tmp_path: Path):
    joins = []

    class Root:
        def __truediv__(self, name):
            joins.append(name)
            return ListingRefused(tmp_path / "locked")

    (tmp_path / "locked").mkdir()
    walk = CliStaticsReader(Root()).iter_static()
    assert joins == []
    with pytest.raises(PermissionError):
        next(walk)
    assert joins == ["static"]


def test_str_is_the_class_name():
    assert str(CliStaticsReader(Path("app"))) == "CliStaticsReader"
