#!/usr/bin/env python3
"""Source checks for the native modules that the compiler cannot make.

1. Raw calls of the host's C interface (`Py...(`, `_Py...(`) live in the frame (src/frame); the few
   outside it are listed, with their reason, in scripts/raw_capi_allowlist.txt. A new one fails.
2. A generator body holds its objects in holders the collector sees (Local, With, a range-for
   over `iter()`): a plain `Obj` variable or a structured binding declared in a body would be
   invisible to the collector while the body is suspended, so none may be declared there.
3. Every native module's stub is the one scripts/stubs.py writes: it carries the generated header
   (tests/typing compares the whole text with what the installed module gives), and the stub
   supplement names only modules that are built.

Exit status 1 with one line per finding; `--count` prints the raw-call count per file.
"""

from __future__ import annotations

import re
import sys
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ALLOWLIST = ROOT / "scripts" / "raw_capi_allowlist.txt"
SOURCES = ("src/korvan_models",)
BODY_SOURCES = ("src/korvan_models", "tests/frame")

RAW_CALL = re.compile(r"\b_?Py[A-Za-z_]+\s*\(")
BODY_START = re.compile(r"^(?:Generator|ResultGenerator)\s+\w+\s*\([^)]*\)\s*\{", re.M)
PLAIN_LOCAL = re.compile(r"(?:^|[;{}]|\)\s)\s*(?:const\s+)?Obj\s+[A-Za-z_]\w*\s*(?:=|\(|\{|;)")
BINDING = re.compile(r"\bauto\s*&{0,2}\s*\[")


def code_lines(text: str):
    """(line number, code without its // comment) for every line."""
    for number, line in enumerate(text.splitlines(), 1):
        code = line.split("//", 1)[0]
        if code.strip():
            yield number, code


def native_files(folders):
    for folder in folders:
        for path in sorted((ROOT / folder).rglob("*")):
            if path.suffix in (".cpp", ".hpp"):
                yield path


def raw_calls():
    """(relative path, stripped line) of every raw call outside the frame."""
    for path in native_files(SOURCES):
        rel = path.relative_to(ROOT).as_posix()
        for _, code in code_lines(path.read_text("utf-8")):
            if RAW_CALL.search(code):
                yield rel, code.strip()


def read_allowlist() -> Counter:
    allowed: Counter = Counter()
    for line in ALLOWLIST.read_text("utf-8").splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        rel, _, code = line.partition(": ")
        allowed[(rel.strip(), code.strip())] += 1
    return allowed


def body_extent(text: str, start: int) -> int:
    depth = 0
    for i in range(start, len(text)):
        if text[i] == "{":
            depth += 1
        elif text[i] == "}":
            depth -= 1
            if depth == 0:
                return i
    return len(text)


def plain_locals_in_bodies():
    for path in native_files(BODY_SOURCES):
        text = path.read_text("utf-8")
        rel = path.relative_to(ROOT).as_posix()
        for match in BODY_START.finditer(text):
            end = body_extent(text, match.end() - 1)
            first_line = text.count("\n", 0, match.end() - 1) + 1
            body = text[match.end() - 1 : end]
            for offset, code in code_lines(body):
                if re.search(r"\bfor\s*\(\s*(?:const\s+)?Obj\s+\w+\s*:", code):
                    continue  # the range's own cursor holds the item, and the collector sees it
                if PLAIN_LOCAL.search(code) or BINDING.search(code):
                    yield f"{rel}:{first_line + offset - 1}: a generator body holds a plain Obj (use Local)"


def stub_problems():
    import tomllib

    sys.path.insert(0, str(ROOT / "scripts"))
    import stubs

    built = stubs.built_modules()
    for dotted in built:
        path = stubs.stub_path(dotted)
        rel = path.relative_to(ROOT).as_posix()
        if not path.is_file():
            yield f"{rel}: no stub (python scripts/stubs.py --write {dotted})"
        elif not path.read_text("utf-8").startswith(stubs.HEADER):
            yield f"{rel}: not written by scripts/stubs.py (python scripts/stubs.py --write {dotted})"
    for dotted in sorted(set(tomllib.loads(stubs.SUPPLEMENT.read_text("utf-8"))) - set(built)):
        yield f"scripts/{stubs.SUPPLEMENT.name}: {dotted} is not a built native module"


def findings() -> list[str]:
    problems = []
    allowed = read_allowlist()
    for key, n in Counter(raw_calls()).items():
        if n > allowed.get(key, 0):
            problems.append(f"{key[0]}: raw C-API line not in {ALLOWLIST.name}: {key[1]}")
    problems.extend(plain_locals_in_bodies())
    problems.extend(stub_problems())
    return problems


def main() -> int:
    if "--count" in sys.argv:
        found = list(raw_calls())
        for rel, n in Counter(rel for rel, _ in found).most_common():
            print(f"{n:4d} {rel}")
        print(f"{len(found):4d} raw C-API lines outside src/frame")
        return 0
    problems = findings()
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
