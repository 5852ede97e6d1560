"""Finds generated model classes by name."""

from __future__ import annotations

import importlib

from korvan_models.classes.data_models.dependencies import model_module_name
from korvan_models.classes.model import MODEL_REGISTRY, BaseModelClass
from korvan_utils.config.manager import KorvanConfigManager
from korvan_utils.models.enums import SchemaTypes


class ClassManager:
    """Looks model classes up in the registry, importing their generated module when needed."""

    def __init__(self, models_module_name: str | None = None) -> None:
        self._models_module_name = models_module_name or KorvanConfigManager().models_module_name

    def _import(self, module: str) -> None:
        """Imports a module of the generated package; a package or module that is not there is no error."""
        try:
            importlib.import_module(module)
        except ModuleNotFoundError as err:
            if err.name is None or not module.startswith(err.name):
                raise

    def _find(self, class_name: str) -> type[BaseModelClass]:
        model_class = MODEL_REGISTRY.get(class_name, self._models_module_name)
        if model_class is None and isinstance(class_name, str) and class_name.isidentifier():
            # The package imports all its models; a model module it leaves out is imported by name.
            self._import(self._models_module_name)
            model_class = MODEL_REGISTRY.get(class_name, self._models_module_name)
            if model_class is None:
                self._import(f"{self._models_module_name}.{model_module_name(class_name)}")
                model_class = MODEL_REGISTRY.get(class_name, self._models_module_name)
            model_class = model_class or MODEL_REGISTRY.get(class_name)
        if model_class is None:
            raise LookupError(
                f"Unknown model class {class_name!r}: not in the generated package {self._models_module_name!r} "
                "(is its folder on sys.path?) nor among the imported models"
            )
        return model_class

    def resolve_schema_type(self, class_name: str) -> SchemaTypes:
        """The schema group the class was generated from."""
        return self._find(class_name).schema_type

    def import_model_class(self, class_name: str, schema_type: SchemaTypes | None = None) -> type[BaseModelClass]:
        """The class named ``class_name``; with ``schema_type``, it must belong to that group."""
        model_class = self._find(class_name)
        if schema_type is not None and model_class.schema_type != schema_type:
            raise LookupError(f"Model class {class_name!r} is a {model_class.schema_type} model, not {schema_type}")
        return model_class
