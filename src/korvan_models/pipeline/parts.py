"""The framework pieces a build drives: the loaders, the extenders, the verification mixins and
the schema groups, each made in one place."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from korvan_models.schemas.mixins.dependency_check_mixin import DependencyCheckMixin
from korvan_models.schemas.mixins.schema_verification_mixin import SchemaVerificationMixin

EXTENDERS = "korvan_models.schemas.extenders"
MODEL_JSON_FILE = "model.json"


def schema_loader(models_dir: Path) -> Any:
    """The loader of a project's model schemas."""
    from korvan_models.schemas.loaders.cli_config_reader import CliConfigLoader

    return CliConfigLoader(models_dir)


def custom_code_loader(models_dir: Path) -> Any:
    """The loader of the models' custom code."""
    from korvan_models.schemas.loaders.cli_custom_code_reader import CliCustomCodeReader

    return CliCustomCodeReader(models_dir)


def options_loader(models_dir: Path) -> Any:
    """The loader of the named option lists under ``models/options``."""
    from korvan_models.schemas.loaders.base import JsonOptionsLoader

    return JsonOptionsLoader(models_dir / "options")


def fixtures_loader(models_dir: Path) -> Any:
    """The loader of the models' fixture records and files."""
    from korvan_models.schemas.loaders.cli_fixtures_reader import CliFixturesReader

    return CliFixturesReader(models_dir)


def statics_loader(app_root: Path) -> Any:
    """The loader of an application's static files."""
    from korvan_models.schemas.loaders.cli_statics_reader import CliStaticsReader

    return CliStaticsReader(app_root)


def options_binder(loader: Any) -> Any:
    """The extender that fills named option lists into properties."""
    from korvan_models.schemas.extenders.options_binder import OptionsBinder

    return OptionsBinder(loader)


def custom_code_binder(loader: Any) -> Any:
    """The extender that attaches each model's custom code."""
    from korvan_models.schemas.extenders.custom_code_binder import CustomCodeBinder

    return CustomCodeBinder(loader)


class ProjectVerifier(SchemaVerificationMixin, DependencyCheckMixin):
    """Verifies the four schema groups of a project: unique titles, named properties, defined types."""


def schema_groups() -> tuple[list, list, list]:
    """The type, core and contrib schemas every project is verified with."""
    from korvan_models.schemas.groups import contrib_schemas, core_schemas, type_schemas

    return type_schemas(), core_schemas(), contrib_schemas()

