"""Files written beside the generated modules for the tools a user runs over the output.

Type checkers read a model field's default only from ``Field(default=...)``; the generated
classes pass it positionally (``Field(None, union_mode=...)``), which pydantic accepts but a
type checker without pydantic's plugin takes for a required argument. Each module therefore gets
a stub twin (``book.pyi``) that spells the default out; the module itself is left as generated.
Linters are pointed away from the generated folder by a ``ruff.toml`` that excludes it.
"""

from __future__ import annotations

import re

# A field whose default is passed positionally to Field: `    name: T = Field(None, ...)`.
_POSITIONAL_DEFAULT = re.compile(r"^(    [A-Za-z_]\w*: .*= Field\()(?![A-Za-z_]\w*=|\))", re.MULTILINE)

STUB_HEADER = "# Written by korvan-models for type checkers: the module beside it with its defaults spelt out.\n"
RUFF_CONFIG = (
    "# Written by korvan-models: every module of this folder is generated from the project's\n"
    "# model.json files and custom code; lint those instead.\n"
    'exclude = ["*"]\n'
)


def stub_text(module_text: str) -> str:
    """The type checkers' twin of a generated module."""
    return STUB_HEADER + _POSITIONAL_DEFAULT.sub(r"\1default=", module_text)


def package_extras(package: str, modules: dict[str, str]) -> dict[str, str]:
    """Relative path to text of the files written beside the generated modules (``modules``: path to text)."""
    extras = {f"{package}/ruff.toml": RUFF_CONFIG}
    for relative, text in modules.items():
        extras[relative.removesuffix(".py") + ".pyi"] = stub_text(text)
    return extras
