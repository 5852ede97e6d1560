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
