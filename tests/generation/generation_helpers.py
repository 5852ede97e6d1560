"""Shared pieces of the generation tests: a recording dependency generator, the example project's
schemas with their option lists and custom code, and writing generated modules as a package."""

from __future__ import annotations

import ast
import importlib
import sys
from pathlib import Path

from korvan_models.classes.data_models.dependencies import DependencyModelNames, render_models_init
from korvan_models.classes.model import MODEL_REGISTRY
from korvan_models.schemas.loaders.base import JsonOptionsLoader
from korvan_utils.models.data_models.schema import ObjectSchema

EXAMPLE_MODELS = Path(__file__).resolve().parents[2] / "examples" / "library" / "models"
CUSTOM_CODE_FOLDERS = ("hooks", "modifiers", "properties")


class RecordingDependencies:
    """Stands in for the import collector: records every call in order, collects nothing."""

    def __init__(self, *, models_module_name, model_names):
        self.created_with = (models_module_name, model_names)
        self.calls = []

    def __getattr__(self, method):
        if not method.startswith("add_"):
            raise AttributeError(method)
        return lambda obj: self.calls.append((method, obj))

    @property
    def ast_module(self):
        return ast.Module(body=[], type_ignores=[])


def custom_code_of(model_dir: Path) -> str:
    """The model's code files, stripped, hooks then modifiers then properties, each by file name,
    joined with one empty line, as the custom code reader combines them."""
    parts = []
    for folder in CUSTOM_CODE_FOLDERS:
        files = sorted(p for p in (model_dir / folder).glob("*") if p.is_file() and p.suffix.lower() == ".py")
        parts += [p.read_text("utf-8").strip() for p in files if p.read_text("utf-8")]
    return "\n\n".join(parts)


def load_example_schemas(models_dir: Path = EXAMPLE_MODELS) -> list[ObjectSchema]:
    """Every model.json of the example project, with option lists and custom code bound."""
    option_lists = {o.title: o.values for o in JsonOptionsLoader(models_dir / "options").iter_options()}
    schemas = []
    for model_dir in sorted(models_dir.iterdir()):
        if not (model_dir / "model.json").is_file():
            continue
        schema = ObjectSchema.model_validate_json((model_dir / "model.json").read_text("utf-8"))
        for prop in (schema.properties or {}).values():
            if prop.options_list_name:
                prop.options = list(option_lists[prop.options_list_name])
        schema.custom_code = custom_code_of(model_dir) or None
        schemas.append(schema)
    return schemas


def forget_models_package() -> None:
    for name in list(sys.modules):
        if name == "models" or name.startswith("models."):
            del sys.modules[name]
    MODEL_REGISTRY.forget("models")


def write_models_package(root: Path, modules: dict[str, str], model_names: DependencyModelNames):
    """Writes {title: module text} as the package ``models`` under root and imports it afresh."""
    package = root / "models"
    package.mkdir(parents=True, exist_ok=True)
    for title, text in modules.items():
        (package / f"{model_names.module_name(title)}.py").write_text(text, "utf-8")
    (package / "__init__.py").write_text(render_models_init(model_names), "utf-8")
    forget_models_package()
    importlib.invalidate_caches()
    return importlib.import_module("models")
