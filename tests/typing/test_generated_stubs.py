"""Every shipped stub is exactly what scripts/stubs.py writes from the installed module, so a stub
cannot drift from the declarations it describes."""

from __future__ import annotations

import importlib.util
import subprocess
import sys

import pytest
from native_modules import NATIVE_MODULES, REPO, installed_file, short

SCRIPT = REPO / "scripts" / "stubs.py"


@pytest.fixture(scope="module")
def stubs():
    spec = importlib.util.spec_from_file_location("stubs_script", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("dotted", NATIVE_MODULES, ids=short)
def test_shipped_stub_is_the_generated_one(dotted, stubs):
    if installed_file(dotted) is None:
        pytest.skip(f"{short(dotted)} is not installed")
    shipped = stubs.stub_path(dotted).read_text("utf-8")
    assert stubs.render(dotted) == shipped, f"run: python scripts/stubs.py --write {dotted}"


@pytest.mark.parametrize("supplement, message", [
    ({"attributes": {"NoSuchClass": ["x: int"]}}, "has no class NoSuchClass"),
    ({"attributes": {"merge_schema": ["x: int"]}}, "has no class merge_schema"),
])
def test_supplement_naming_what_the_module_lacks_is_refused(stubs, supplement, message):
    dotted = "korvan_models.schemas.utils.merger"
    if installed_file(dotted) is None:
        pytest.skip("merger is not installed")
    with pytest.raises(SystemExit, match=message):
        stubs.render(dotted, supplement)


def test_check_mode_passes_on_the_shipped_stubs(tmp_path):
    result = subprocess.run([sys.executable, str(SCRIPT), "--check"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr


SAMPLE = '''
import logging
import os.path as osp
from collections.abc import Iterator
from functools import cached_property

LIMIT = 3
logger = logging.getLogger("sample")


class Marker:
    pass


def pick(a: "int", /, b: "str" = "x", *rest: "int", flag: "bool" = False, marker: "object" = Marker,
         **extra: "str") -> "int | None": ...


class Reader(Marker):
    def __init__(self, path: "str"): ...
    @staticmethod
    def parse(text: "str") -> "list[str]": ...
    @classmethod
    def build(cls, *, strict: "bool") -> "Reader": ...
    @property
    def size(self) -> "int": ...
    @cached_property
    def lines(self) -> "Iterator[str]": ...
'''

EXPECTED = '''import logging as logging
import posixpath
from collections.abc import Iterator as Iterator
from functools import cached_property as cached_property
from typing import Final

osp = posixpath

LIMIT: Final = 3
logger: logging.Logger

class Marker: ...

def pick(a: int, /, b: str = "x", *rest: int, flag: bool = False, marker: object = ..., **extra: str) -> int | None: ...

class Reader(Marker):
    path: str
    def __init__(self, path: str) -> None: ...
    @staticmethod
    def parse(text: str) -> list[str]: ...
    @classmethod
    def build(cls, *, strict: bool) -> Reader: ...
    @property
    def size(self) -> int: ...
    @cached_property
    def lines(self) -> Iterator[str]: ...
'''


def test_render_of_every_kind_of_declaration(stubs, tmp_path, monkeypatch):
    (tmp_path / "stub_sample.py").write_text(SAMPLE, "utf-8")
    monkeypatch.syspath_prepend(str(tmp_path))
    text = stubs.render("stub_sample", {"attributes": {"Reader": ["path: str"]}})
    assert text == stubs.HEADER + "\n" + EXPECTED
