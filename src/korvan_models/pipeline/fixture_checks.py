"""Checks of fixture records that need no generated class: the references between them.

A reference is a value ``{"ref": {"class_name": ..., "object_id": ...}}`` anywhere in a record.
It must name a model the project (or the framework) defines, and a record of that model that the
fixtures hold or that the database already stores. ``check`` calls ``reference_problems`` without a
database; a build passes the lookup of stored records.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

from korvan_models.pipeline.problems import Problem

# Which of some object ids of a model the database holds: (class name, object ids) -> ids found.
StoredLookup = Callable[[str, list[str]], set[str]]


def fixture_elements(document: Path) -> list[dict[str, Any]]:
    """The elements of a merged fixtures document (``{"class_name", "external_id", "order", "data"}``)."""
    elements = json.loads(Path(document).read_text("utf-8"))
    return [e for e in elements if isinstance(e, dict) and isinstance(e.get("data"), dict)] if isinstance(elements, list) else []


def references(value: Any, where: str) -> Iterator[tuple[str, str, str]]:
    """(place, class name, object id) of every reference in a value; places like ``book`` or ``loans[1]``."""
    if isinstance(value, dict):
        ref = value.get("ref") if len(value) == 1 else None
        if isinstance(ref, dict) and isinstance(ref.get("class_name"), str) and "object_id" in ref:
            yield where, ref["class_name"], str(ref["object_id"])
            return
        for key, item in value.items():
            yield from references(item, f"{where}.{key}" if where else str(key))
    elif isinstance(value, list):
        for position, item in enumerate(value):
            yield from references(item, f"{where}[{position}]")


def reference_problems(
    elements: Iterable[dict[str, Any]],
    known_classes: Iterable[str],
    locate: Callable[[str, Any], Path | None],
    stored: StoredLookup | None = None,
) -> list[Problem]:
    """One problem per reference to a class that does not exist or to a record no one holds.

    ``locate(class_name, external_id)`` gives the fixture file of a record; ``stored`` finds the
    records a database already holds (none are, without it).
    """
    from korvan_models.storage.fixtures import fixture_object_id

    elements = list(elements)
    classes = set(known_classes)
    held: dict[str, set[str]] = {}
    for element in elements:
        class_name = element["class_name"]
        held.setdefault(class_name, set()).add(fixture_object_id(class_name, element.get("external_id"), element["data"]))
    found = [
        (element, place, target, object_id)
        for element in elements
        for place, target, object_id in references(element["data"], "")
    ]
    missing: dict[str, list[str]] = {}
    for _element, _place, target, object_id in found:
        if target in classes and object_id not in held.get(target, ()):
            missing.setdefault(target, []).append(object_id)
    if stored is not None:
        for target, object_ids in missing.items():
            held.setdefault(target, set()).update(stored(target, object_ids))
    problems = []
    for element, place, target, object_id in found:
        if target not in classes:
            what = f"no model {target!r}"
        elif object_id not in held.get(target, ()):
            what = f"no {target} record {object_id!r}"
        else:
            continue
        class_name, external_id = element["class_name"], element.get("external_id")
        label = f"record {str(external_id)!r}: " if external_id not in (None, "") else ""
        problems.append(Problem(locate(class_name, external_id), f"{label}{class_name}.{place}: {what}"))
    return problems
