"""The main job of the command-line tool: build the model classes of a project folder.

    python -m korvan_models.cli PROJECT [OUTPUT]

reads every ``models/<name>/model.json`` of PROJECT, fills in named option lists and the custom
code of each model folder, generates one module per model (the import block above the class
text) into the package ``OUTPUT/models``, imports the package, and prints a summary per model.
"""

from __future__ import annotations

import argparse
import importlib
import sys
from collections.abc import Iterator
from pathlib import Path

from korvan_models.classes.builder.class_source_assembler import ClassSourceAssembler
from korvan_models.classes.data_models.dependencies import DependencyModelNames, render_models_init
from korvan_models.classes.model import Model
from korvan_models.schemas.loaders.base import JsonOptionsLoader
from korvan_models.schemas.utils.schema_digest import calculate_schema_digest
from korvan_utils.models.data_models.schema import ObjectSchema
from korvan_utils.models.enums import SchemaTypes

MODELS_PACKAGE = "models"
CUSTOM_CODE_FOLDERS = ("hooks", "modifiers", "properties")


def iter_schema_files(models_dir: Path) -> Iterator[Path]:
    """The model.json files of the direct sub-folders, in name order."""
    if models_dir.is_dir():
        for folder in sorted(models_dir.iterdir()):
            if folder.is_dir() and (folder / "model.json").is_file():
                yield folder / "model.json"


def read_custom_code(model_dir: Path) -> str | None:
    """The custom code files of a model folder, joined in folder and file-name order."""
    parts = [
        path.read_text(encoding="utf-8")
        for folder in CUSTOM_CODE_FOLDERS
        for path in sorted((model_dir / folder).glob("*.py"))
    ]
    return "\n\n".join(parts) if parts else None


def bind_options(schema: ObjectSchema, option_lists: dict) -> None:
    """Gives each property that names an option list the values of that list."""
    for prop in (schema.properties or {}).values():
        list_name = getattr(prop, "options_list_name", None)
        if list_name:
            if list_name not in option_lists:
                raise ValueError(f"{schema.title}: unknown option list {list_name!r}")
            prop.options = list(option_lists[list_name].values)


def load_project(project: Path) -> list[ObjectSchema]:
    models_dir = project / "models"
    option_lists = {o.title: o for o in JsonOptionsLoader(models_dir / "options").iter_options()}
    schemas = []
    for path in iter_schema_files(models_dir):
        schema = ObjectSchema.model_validate_json(path.read_text(encoding="utf-8"))
        bind_options(schema, option_lists)
        schema.custom_code = read_custom_code(path.parent)
        schemas.append(schema)
    return schemas


def generate(schemas: list[ObjectSchema], output: Path, out=None) -> DependencyModelNames:
    """Writes the models package; one progress line per model."""
    out = out or sys.stdout
    names = DependencyModelNames.from_schemas(schemas)
    package = output / MODELS_PACKAGE
    package.mkdir(parents=True, exist_ok=True)
    for stale in package.glob("*.py"):
        stale.unlink()
    for number, schema in enumerate(schemas, 1):
        print(f"[{number}/{len(schemas)}] generating {schema.title}", file=out, flush=True)
        assembler = ClassSourceAssembler(MODELS_PACKAGE, schema, SchemaTypes.USER, Model, names)
        text = assembler.dependencies_source + "\n\n" + assembler.model_class_source
        (package / f"{names.module_name(schema.title)}.py").write_text(text, encoding="utf-8")
    (package / "__init__.py").write_text(render_models_init(names, MODELS_PACKAGE), encoding="utf-8")
    return names


def import_models(output: Path):
    """Imports the generated package afresh from OUTPUT."""
    for name in [n for n in sys.modules if n == MODELS_PACKAGE or n.startswith(MODELS_PACKAGE + ".")]:
        del sys.modules[name]
    sys.path.insert(0, str(output))
    try:
        return importlib.import_module(MODELS_PACKAGE)
    finally:
        sys.path.remove(str(output))


def summarise(schemas: list[ObjectSchema], package, out=None) -> None:
    out = out or sys.stdout
    for schema in schemas:
        cls = getattr(package, schema.title)
        fields = ", ".join(
            name + ("" if info.is_required() else "?") for name, info in cls.model_fields.items()
        )
        validators = sorted(cls.__pydantic_decorators__.field_validators)
        base = cls.__mro__[1].__name__
        print(f"{schema.title}({base})  fingerprint {calculate_schema_digest(schema)}", file=out)
        print(f"    fields: {fields or '-'}", file=out)
        print(f"    validators: {', '.join(validators) or '-'}", file=out)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="korvan-models", description=__doc__.splitlines()[0])
    parser.add_argument("project", type=Path, help="project folder holding models/<name>/model.json")
    parser.add_argument("output", type=Path, nargs="?", default=Path("out"), help="where the models package goes")
    args = parser.parse_args(argv)
    schemas = load_project(args.project)
    if not schemas:
        print(f"no model schemas under {args.project / 'models'}", file=sys.stderr)
        return 1
    generate(schemas, args.output)
    package = import_models(args.output.resolve())
    print(f"generated {len(schemas)} models into {args.output / MODELS_PACKAGE}; imported {package.__name__}")
    summarise(schemas, package)
    return 0


if __name__ == "__main__":
    sys.exit(main())
