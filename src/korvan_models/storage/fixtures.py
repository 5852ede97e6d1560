"""Loading a merged fixtures document into the store.

The document is a JSON array of elements ``{"class_name", "external_id", "order", "data"}``.
Each record is validated by its generated model class; its object id is its external id, or,
without one, an id derived from its class and content, so loading the same fixtures again adds
no object. A record equal to its object's stored latest version adds no version. All records are
checked before anything is written, and the whole load is one transaction per database.
"""

from __future__ import annotations

import hashlib
import json
import typing
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from pydantic import BaseModel, ValidationError

from korvan_data.aliases.using import DEFAULT_DB_ALIAS
from korvan_models.classes.manager import ClassManager
from korvan_models.classes.model import BaseModelClass
from korvan_models.errors import FixtureRecordError
from korvan_models.storage.records import writer
from korvan_models.storage.tables import PreparedTables
from korvan_utils.models.data_models.address import Address
from korvan_utils.models.data_models.table_schema import TableSchema
from korvan_utils.models.enums import Versions

FILES_PREFIX = "files/"


@dataclass(frozen=True)
class FixtureLoadReport:
    """How many fixture records made new objects, new versions, or matched what was stored."""

    created: int = 0
    updated: int = 0
    unchanged: int = 0
    table_notes: tuple[str, ...] = ()

    @property
    def total(self) -> int:
        return self.created + self.updated + self.unchanged


def fixture_object_id(class_name: str, external_id: Any, data: Any) -> str:
    """The object id of a fixture record: its external id, else a digest of its class and content."""
    if external_id:
        return str(external_id)
    content = json.dumps([class_name, data], sort_keys=True, ensure_ascii=True, default=str)
    return "fixture-" + hashlib.sha256(content.encode("utf-8")).hexdigest()[:32]


def _binary_fields(model_class: type[BaseModelClass]) -> list[str]:
    return [
        name
        for name, info in model_class.model_fields.items()
        if info.annotation is bytes or bytes in typing.get_args(info.annotation)
    ]


def _attach_files(model_class: type[BaseModelClass], data: dict[str, Any], files_dir: Path | None) -> dict[str, Any]:
    """Binary fields that name an accompanying file ("files/<name>") get that file's content."""
    if files_dir is None:
        return data
    for field in _binary_fields(model_class):
        value = data.get(field)
        if isinstance(value, str) and value.startswith(FILES_PREFIX):
            path = files_dir / model_class.__name__ / value[len(FILES_PREFIX) :]
            if path.is_file() and path.resolve().is_relative_to(files_dir.resolve()):
                data = {**data, field: path.read_bytes()}
    return data


def comparable(record: BaseModelClass) -> dict[str, Any]:
    """What tells two versions of a record apart: the values of the fields it holds, as Python values.

    Binary values stay bytes (a JSON dump would need them to be UTF-8 text); a partial record
    read from an earlier form of the model differs from any complete one.
    """
    return {name: _plain(value) for name, value in record.__dict__.items()}


def _plain(value: Any) -> Any:
    if isinstance(value, BaseModel):
        return (type(value).__name__, {name: _plain(item) for name, item in value.__dict__.items()})
    if isinstance(value, dict):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(item) for item in value]
    return value


def _refused(class_name: str, external_id: Any, err: Exception) -> FixtureRecordError:
    if isinstance(err, ValidationError) and err.errors():
        first = err.errors()[0]
        field = ".".join(str(step) for step in first["loc"]) or None
        return FixtureRecordError(class_name, external_id, field, first["msg"])
    return FixtureRecordError(
        class_name, external_id, None, str(err).splitlines()[0] if str(err) else type(err).__name__
    )


def _read_elements(document: Path) -> list[dict[str, Any]]:
    try:
        elements = json.loads(Path(document).read_text("utf-8"))
    except ValueError as err:
        raise ValueError(f"Fixtures document {document}: {err}") from err
    if not isinstance(elements, list) or not all(
        isinstance(e, dict) and isinstance(e.get("class_name"), str) and isinstance(e.get("data"), dict)
        for e in elements
    ):
        raise ValueError(
            f"Fixtures document {document}: expected a list of {{class_name, external_id, order, data}} elements"
        )
    return elements


def _validated(elements: list[dict[str, Any]], files_dir: Path | None) -> list[BaseModelClass]:
    manager = ClassManager()
    records = []
    for element in elements:
        class_name, external_id, data = element["class_name"], element.get("external_id"), element["data"]
        try:
            model_class = manager.import_model_class(class_name)
            record = model_class.model_validate(_attach_files(model_class, data, files_dir))
            before_save = getattr(record, "before_save", None)
            if callable(before_save):
                before_save()
        except (ValidationError, ValueError, LookupError, TypeError) as err:
            raise _refused(class_name, external_id, err) from err
        record._address = Address(
            resource=DEFAULT_DB_ALIAS,
            class_name=class_name,
            class_version=Versions.LATEST,
            object_id=fixture_object_id(class_name, external_id, data),
        )
        records.append(record)
    return records


def load_fixtures(
    document: Path | None, *, files_dir: Path | None = None, table_schemas: Iterable[TableSchema] | PreparedTables = ()
) -> FixtureLoadReport:
    """Stores the records of a merged fixtures document, in document order; returns the counts.

    ``files_dir`` is the folder of accompanying files (one sub-folder per model title): a binary
    field whose value is "files/<name>" then stores that file's content. The tables of
    ``table_schemas`` are created or completed first, in the same transaction of each database, so
    a load that fails leaves every database as it was (they may be prepared ahead: see ``prepare_tables``). Without a document, only the tables are made.
    """
    records = _validated(_read_elements(document), files_dir) if document is not None else []
    groups: dict[type[BaseModelClass], list[BaseModelClass]] = {}
    for record in records:
        groups.setdefault(type(record), []).append(record)
    created = updated = unchanged = 0
    with writer() as w:
        notes = tuple(w.ensure_tables(table_schemas))
        for model_class, group in groups.items():
            ids = [record._address.object_id for record in group]
            current = {oid: comparable(stored) for oid, stored in w.latest_rows(model_class, ids).items()}
            changed = []
            for record, object_id in zip(group, ids):
                dumped = comparable(record)
                previous = current.get(object_id)
                if previous == dumped:
                    unchanged += 1
                    continue
                created, updated = (created + 1, updated) if previous is None else (created, updated + 1)
                current[object_id] = dumped
                changed.append(record)
            if changed:
                w.save(model_class, changed, run_hooks=False)
    return FixtureLoadReport(created=created, updated=updated, unchanged=unchanged, table_notes=notes)
