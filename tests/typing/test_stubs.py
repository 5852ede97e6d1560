"""The installed .pyi stubs describe the installed native modules exactly (mypy's stubtest)."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from native_modules import NATIVE_MODULES, REPO, installed_file, registered_modules, short

HERE = Path(__file__).resolve().parent
MYPY_CONFIG = HERE / "mypy.ini"
ALLOWLIST = HERE / "stubtest_allowlist.txt"

INSTALLED = [name for name in NATIVE_MODULES if installed_file(name) is not None]
# Stubs are looked up in the installed package only.
ENV = {key: value for key, value in os.environ.items() if key != "MYPYPATH"}


def test_module_list_is_the_build_list():
    assert registered_modules() == NATIVE_MODULES


@pytest.fixture(scope="module")
def stubtest_output(tmp_path_factory) -> str:
    """stubtest's report over every installed native module, from one run outside the source tree."""
    if not INSTALLED:
        pytest.skip("no native module is installed")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(MYPY_CONFIG),
         "--allowlist", str(ALLOWLIST), *INSTALLED],
        cwd=tmp_path_factory.mktemp("stubtest"), env=ENV, capture_output=True, text=True, timeout=600,
    )
    output = result.stdout + result.stderr
    stray = [block for block in _blocks(output) if not any(_belongs(block, dotted) for dotted in INSTALLED)]
    if "not checking stubs" in output or stray or (result.returncode != 0 and not _blocks(output)):
        pytest.fail(f"stubtest failed beyond the modules' own checks:\n{output}")
    return output


def _blocks(output: str) -> list[str]:
    """The report's error blocks: an error line and the stub and runtime lines under it."""
    return [block for block in re.split(r"\n(?=error: )", output) if block.startswith("error: ")]


def _belongs(block: str, dotted: str) -> bool:
    return re.match(rf"error: {re.escape(dotted)}(\.|\s)", block) is not None


@pytest.mark.parametrize("dotted", NATIVE_MODULES, ids=short)
def test_stub_matches_installed_module(dotted, stubtest_output):
    if dotted not in INSTALLED:
        pytest.skip(f"{short(dotted)} is not installed (not built on this branch, or left out of the build)")
    errors = [block for block in _blocks(stubtest_output) if _belongs(block, dotted)]
    assert errors == [], "\n".join(errors)


@pytest.mark.parametrize("dotted", NATIVE_MODULES, ids=short)
def test_stub_ships_beside_the_source_and_the_extension(dotted):
    relative = Path(*dotted.split("."))
    assert (REPO / "src" / relative.with_suffix(".pyi")).is_file()
    built = installed_file(dotted)
    if built is None:
        pytest.skip(f"{short(dotted)} is not installed (not built on this branch, or left out of the build)")
    assert (built.parent / f"{short(dotted)}.pyi").is_file()
    assert (built.parents[len(relative.parts) - 2] / "py.typed").is_file()


def test_every_stub_type_checks(tmp_path):
    # Also the stubs of modules not built yet: their imports and annotations must resolve.
    args = [arg for dotted in NATIVE_MODULES for arg in ("-m", dotted)]
    result = subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(MYPY_CONFIG), "--no-incremental",
                             *args], cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
