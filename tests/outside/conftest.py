"""Fixture that turns written model modules into an importable ``models`` package."""

from __future__ import annotations

import importlib
import sys
import textwrap
from pathlib import Path
from typing import Any

import pytest
from stand_in_writer import VALIDATORS_SOURCE

from korvan_models.classes.data_models.dependencies import DependencyModelNames, render_models_init
from korvan_models.classes.model import MODEL_REGISTRY


@pytest.fixture
def models_package(tmp_path: Path, monkeypatch: pytest.MonkeyPatch):
    """Writes modules into a fresh ``models`` package (plus ``stand_in_validators``) and imports it."""
    root = tmp_path / "generated"
    (root / "models").mkdir(parents=True)
    (root / "stand_in_validators.py").write_text(textwrap.dedent(VALIDATORS_SOURCE), "utf-8")
    monkeypatch.syspath_prepend(str(root))

    def purge() -> None:
        for name in list(sys.modules):
            if name == "models" or name.startswith("models.") or name == "stand_in_validators":
                del sys.modules[name]
        MODEL_REGISTRY.forget("models")

    purge()
    importlib.invalidate_caches()

    class Package:
        path = root / "models"

        @staticmethod
        def validators():
            return importlib.import_module("stand_in_validators")

        @staticmethod
        def write(modules: dict[str, str], model_names: DependencyModelNames) -> Any:
            for module, source in modules.items():
                (root / "models" / f"{module}.py").write_text(source, "utf-8")
            (root / "models" / "__init__.py").write_text(render_models_init(model_names), "utf-8")
            importlib.invalidate_caches()
            return importlib.import_module("models")

    yield Package
    purge()
