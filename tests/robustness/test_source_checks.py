"""The source check of the native modules: raw C-API lines outside the frame, plain locals in generator bodies."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "check_native.py"


def load_check(root: Path):
    spec = importlib.util.spec_from_file_location("check_native", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.ROOT = root
    module.ALLOWLIST = root / "allowlist.txt"
    return module


def test_the_repository_passes():
    done = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout


@pytest.mark.parametrize(
    "source, allowed, found",
    [
        ("Generator g(Call a) {\n    Obj kept = a[0].call();\n    co_yield kept;\n}\n", "", ["2: a generator"]),
        ("Generator g(Call a) {\n    auto [x, y] = unpack<2>(a[0]);\n    co_yield x;\n}\n", "", ["2: a generator"]),
        ("Generator g(Call a) {\n    Local kept = a[0].call();\n    for (Obj x : a[0].iter()) co_yield x;\n}\n", "", []),
        ("Obj f(Call& a) {\n    Obj plain = a[0].call();\n    return plain;\n}\n", "", []),
        ("Obj f(Call& a) {\n    return Obj::steal(PyNumber_Add(a[0].ptr(), a[1].ptr()));  // sum\n}\n", "",
         ["raw C-API line not in allowlist.txt: return Obj::steal(PyNumber_Add(a[0].ptr(), a[1].ptr()));"]),
        ("Obj f(Call& a) {\n    return Obj::steal(PyNumber_Add(a[0].ptr(), a[1].ptr()));\n}\n",
         "src/korvan_models/m.cpp: return Obj::steal(PyNumber_Add(a[0].ptr(), a[1].ptr()));\n", []),
        ("// PyNumber_Add(a, b) in a comment\nObj f(Call& a) { return a[0]; }\n", "", []),
    ],
    ids=["plain local", "binding", "holders", "plain function", "raw call", "listed raw call", "comment"],
)
def test_findings(tmp_path, source, allowed, found):
    (tmp_path / "src" / "korvan_models").mkdir(parents=True)
    (tmp_path / "tests" / "frame").mkdir(parents=True)
    (tmp_path / "src" / "korvan_models" / "m.cpp").write_text(source, "utf-8")
    (tmp_path / "allowlist.txt").write_text(allowed, "utf-8")
    problems = load_check(tmp_path).findings()
    assert len(problems) == len(found)
    for problem, expected in zip(problems, found):
        assert expected in problem
