"""Finds the extension modules of the installed korvan_models package by walking its folders."""

from __future__ import annotations

import gc
import importlib.machinery
import importlib.util
import sys
from pathlib import Path


def package_root() -> Path:
    spec = importlib.util.find_spec("korvan_models")
    assert spec is not None and spec.submodule_search_locations, "korvan_models is not installed"
    return Path(next(iter(spec.submodule_search_locations)))


def extension_modules() -> list[tuple[str, Path]]:
    """(dotted name, file) of every extension module under the installed package, sorted by name."""
    root = package_root()
    found = []
    for path in root.rglob("*"):
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            if path.is_file() and path.name.endswith(suffix):
                parts = path.relative_to(root.parent).parts
                found.append((".".join(parts[:-1] + (path.name[: -len(suffix)],)), path))
                break
    return sorted(found)


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * 4096


def growth(call, count: int = 100_000) -> tuple[int, int]:
    """Allocated interpreter blocks and resident bytes gained over ``count`` calls, after a warm-up."""
    for _ in range(count // 10):
        call()
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), resident_bytes()
    for _ in range(count):
        call()
    gc.collect()
    return sys.getallocatedblocks() - blocks, resident_bytes() - rss
