"""The twenty native modules of korvan_models and where their installed files are."""

from __future__ import annotations

import importlib.util
import re
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]

NATIVE_MODULES = [
    "korvan_models.classes.builder.ast_generator.class_writer",
    "korvan_models.classes.builder.ast_generator.helpers.make_type_hint",
    "korvan_models.classes.builder.ast_generator.helpers.make_field_statement",
    "korvan_models.classes.builder.ast_generator.helpers.make_literal_node",
    "korvan_models.classes.builder.class_source_assembler",
    "korvan_models.classes.builder.validator_picker",
    "korvan_models.classes.builder.validators.choice_checks",
    "korvan_models.classes.builder.validators.mapping_checks",
    "korvan_models.classes.helpers.reference_fetcher",
    "korvan_models.schemas.loaders.cli_config_reader",
    "korvan_models.schemas.loaders.cli_custom_code_reader",
    "korvan_models.schemas.loaders.cli_fixtures_reader",
    "korvan_models.schemas.loaders.cli_statics_reader",
    "korvan_models.schemas.extenders.options_binder",
    "korvan_models.schemas.extenders.custom_code_binder",
    "korvan_models.schemas.mixins.schema_verification_mixin",
    "korvan_models.schemas.mixins.dependency_check_mixin",
    "korvan_models.schemas.utils.merger",
    "korvan_models.schemas.utils.schema_digest",
    "korvan_models.schemas.utils.table_layout",
]


def registered_modules() -> list[str]:
    """The dotted names that CMakeLists.txt builds, in file order."""
    return re.findall(r"^korvan_module\(([\w.]+)\)", (REPO / "CMakeLists.txt").read_text("utf-8"), re.M)


def installed_file(dotted: str) -> Path | None:
    """The installed extension file of a native module, or None when it was not built."""
    spec = importlib.util.find_spec(dotted)
    if spec is None or spec.origin is None or spec.origin.endswith(".py"):
        return None
    return Path(spec.origin)


def short(dotted: str) -> str:
    return dotted.rsplit(".", 1)[1]
