"""Problems found in a project, each one line a person can act on."""

from __future__ import annotations

import difflib
import json
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path

import pydantic


@dataclass(frozen=True)
class Problem:
    """One mistake in a project: where it is (file, line, model, property) and what is wrong."""

    path: Path | None
    message: str
    model: str | None = None
    prop: str | None = None
    line: int | None = None
    column: int | None = None

    def __str__(self) -> str:
        parts = []
        if self.path is not None:
            place = str(self.path)
            if self.line is not None:
                place += f":{self.line}" + (f":{self.column}" if self.column is not None else "")
            parts.append(place)
        if self.model:
            parts.append(self.model + (f".{self.prop}" if self.prop else ""))
        parts.append(self.message)
        return ": ".join(parts)


class ProjectError(Exception):
    """The project has mistakes; ``problems`` lists every one that was found."""

    def __init__(self, problems: Iterable[Problem]) -> None:
        self.problems = list(problems)
        super().__init__("\n".join(str(p) for p in self.problems))


def did_you_mean(word: str, choices: Iterable[str]) -> str:
    """`` (did you mean 'x'?)`` for a close spelling among ``choices``, else nothing."""
    close = difflib.get_close_matches(str(word), [str(c) for c in choices], n=1, cutoff=0.6)
    return f" (did you mean {close[0]!r}?)" if close else ""


def line_and_column(text: str, position: int) -> tuple[int, int]:
    """1-based line and column of a character position in ``text``."""
    line = text.count("\n", 0, position) + 1
    return line, position - (text.rfind("\n", 0, position) + 1) + 1


def read_json_text(path: Path) -> tuple[object | None, list[Problem]]:
    """The parsed content of a JSON file, or the problems (not UTF-8, invalid JSON) that stop it."""
    data = path.read_bytes()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line, column = line_and_column(data[: error.start].decode("utf-8", "replace"), error.start)
        return None, [Problem(path, f"not UTF-8 text (byte 0x{data[error.start]:02x})", line=line, column=column)]
    try:
        return json.loads(text), []
    except json.JSONDecodeError as error:
        return None, [Problem(path, f"invalid JSON: {error.msg}", line=error.lineno, column=error.colno)]


# What a key of a schema file may be, for suggestions on a misspelt key.
SCHEMA_KEYS = ("title", "type", "description", "version", "properties", "required", "indexed", "unique")
PROPERTY_KEYS = (
    "type", "items", "default", "description", "options", "options_list_name",
    "field_name", "field_id", "is_deleted",
)
ITEMS_KEYS = ("type", "items", "key", "value", "key_type", "value_type")


def validation_problems(path: Path, model: str | None, error: pydantic.ValidationError) -> list[Problem]:
    """One problem per error of a schema file's validation, placed at its model and property."""
    problems = []
    seen = set()
    for item in error.errors():
        loc = [str(part) for part in item["loc"]]
        prop = None
        if len(loc) >= 2 and loc[0] == "properties":
            prop, rest = loc[1], loc[2:]
        else:
            rest = loc
        # A union of item descriptions reports each alternative; the key is what matters.
        rest = [part for part in rest if part not in ("TypeData", "DictSchema", "LegacyDictSchema")]
        if item["type"] == "extra_forbidden":
            key = rest[-1] if rest else "?"
            known = PROPERTY_KEYS if prop and len(rest) == 1 else ITEMS_KEYS if prop else SCHEMA_KEYS
            message = f"unknown key {key!r}{did_you_mean(key, known)}"
            where = ".".join(rest[:-1])
        elif item["type"] == "missing":
            message = f"missing key {rest[-1]!r}" if rest else "missing value"
            where = ".".join(rest[:-1])
        else:
            message = item["msg"]
            where = ".".join(rest)
        if where:
            message = f"{where}: {message}"
        key = (prop, message)
        if key not in seen:
            seen.add(key)
            problems.append(Problem(path, message, model=model or "?", prop=prop))
    return problems
