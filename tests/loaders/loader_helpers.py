"""Project folders on disk for the loader tests."""

from __future__ import annotations

import json
from pathlib import Path


def write_model(root: Path, folder: str, schema: dict | str | None = None, files: dict | None = None) -> Path:
    """Writes a model folder: its model.json (a dict is dumped, a text written as is) and other files.

    ``files`` maps paths relative to the model folder to texts or bytes.
    """
    model_dir = root / folder
    model_dir.mkdir(parents=True, exist_ok=True)
    if schema is None:
        schema = {"title": folder.capitalize(), "type": "object"}
    (model_dir / "model.json").write_text(schema if isinstance(schema, str) else json.dumps(schema), "utf-8")
    for relative, content in (files or {}).items():
        path = model_dir / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content, "utf-8")
    return model_dir


class ListingRefused(type(Path())):
    """A path whose listing fails inside a folder named "locked", as without read permission."""

    def iterdir(self):
        if "locked" in self.parts:
            raise PermissionError(13, "Permission denied", str(self))
        return super().iterdir()
