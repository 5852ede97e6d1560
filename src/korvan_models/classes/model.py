"""Base classes of generated model classes, and the registry that ties them together.

Generated classes refer to other models by forward reference (``'Person'``) and import
them only for type checkers, so two models may refer to each other. Every subclass of
``Model`` or ``TypeModel`` is registered under its class name (the schema title), grouped
by the package that holds its module (type models also under their lower-case title),
and forward references are resolved against the registry: automatically when a class is first used, or all at once with ``resolve_models``.
"""

from __future__ import annotations

import sys
import types
import typing
from typing import Any, ClassVar, ForwardRef, Union

from pydantic import BaseModel, ConfigDict, PrivateAttr

from korvan_utils.models.data_models.address import Address
from korvan_utils.models.enums import SchemaTypes

# A forward reference whose name is also a class attribute (a field ``email`` of the type
# model ``email``) would resolve to that attribute; such references are renamed with this
# prefix, and the registry answers to both names.
SHIELDED_PREFIX = "__model_ref_"


def _shield(annotation: Any, taken: set[str]) -> Any:
    """``annotation`` with forward references to names in ``taken`` renamed."""
    if isinstance(annotation, str):
        return ForwardRef(SHIELDED_PREFIX + annotation) if annotation in taken else annotation
    if isinstance(annotation, ForwardRef):
        name = annotation.__forward_arg__
        return ForwardRef(SHIELDED_PREFIX + name) if name in taken else annotation
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if not args or origin is ClassVar:
        return annotation
    shielded = tuple(_shield(arg, taken) for arg in args)
    if shielded == args:
        return annotation
    if origin in (Union, types.UnionType):
        return Union[shielded]
    if origin in (list, dict, set, frozenset, tuple):
        return origin[shielded]
    return annotation


class ModelRegistry:
    """Model classes by package and title."""

    def __init__(self) -> None:
        self._packages: dict[str, dict[str, type[BaseModelClass]]] = {}

    @staticmethod
    def package_of(model_class: type) -> str:
        """The package that holds a class's module (``models`` for ``models.book``)."""
        module = model_class.__module__
        return module.rpartition(".")[0] or module

    def register(self, model_class: type[BaseModelClass]) -> None:
        # A class re-created under the same name (a module imported again) replaces the old one.
        self._packages.setdefault(self.package_of(model_class), {})[model_class.__name__] = model_class

    def get(self, title: str, package: str | None = None) -> type[BaseModelClass] | None:
        """The class of that title: from ``package`` when given, else the latest registered anywhere."""
        if package is not None:
            return self._packages.get(package, {}).get(title)
        return self.namespace().get(title)

    def models(self, package: str | None = None) -> list[type[BaseModelClass]]:
        if package is not None:
            return list(self._packages.get(package, {}).values())
        return [cls for classes in self._packages.values() for cls in classes.values()]

    def namespace(self, package: str | None = None) -> dict[str, type[BaseModelClass]]:
        """Titles to classes, the given package's own classes taking precedence over the others."""
        result: dict[str, type[BaseModelClass]] = {}
        for name, classes in self._packages.items():
            if name != package:
                result.update(classes)
        if package is not None:
            result.update(self._packages.get(package, {}))
        # Schemas name type models in lower case ("email" for the type model Email).
        for title, model_class in list(result.items()):
            if getattr(model_class, "schema_type", None) == SchemaTypes.TYPE:
                result.setdefault(title.lower(), model_class)
        result.update({SHIELDED_PREFIX + title: model_class for title, model_class in result.items()})
        return result

    def forget(self, package: str) -> None:
        """Drops the classes of a package, e.g. before its modules are generated and imported anew."""
        self._packages.pop(package, None)


MODEL_REGISTRY = ModelRegistry()


class BaseModelClass(BaseModel):
    """Common base of ``Model`` and ``TypeModel``; not used directly by generated code."""

    model_config = ConfigDict(validate_assignment=True, protected_namespaces=())

    schema_type: ClassVar[SchemaTypes]
    class_fingerprint: ClassVar[str] = ""

    # Where the record is stored; set by the storage layer, not part of the record's fields.
    _address: Address | None = PrivateAttr(default=None)

    def __init_subclass__(cls, **kwargs: Any) -> None:
        # Runs before pydantic reads the annotations, so they can still be changed in place.
        super().__init_subclass__(**kwargs)
        annotations = cls.__dict__.get("__annotations__") or {}
        taken = {name for name in vars(cls) if not name.startswith("__")}
        for name, annotation in annotations.items():
            annotations[name] = _shield(annotation, taken)

    @classmethod
    def __pydantic_init_subclass__(cls, **kwargs: Any) -> None:
        super().__pydantic_init_subclass__(**kwargs)
        if cls.__module__ != __name__:
            MODEL_REGISTRY.register(cls)

    @classmethod
    def model_rebuild(
        cls,
        *,
        force: bool = False,
        raise_errors: bool = True,
        _parent_namespace_depth: int = 2,
        _types_namespace: Any = None,
    ) -> bool | None:
        """Rebuilds the class, resolving forward references to registered models as well."""
        namespace: dict[str, Any] = dict(MODEL_REGISTRY.namespace(MODEL_REGISTRY.package_of(cls)))
        if _types_namespace is not None:
            namespace.update(_types_namespace)
        elif _parent_namespace_depth > 0:
            # Names local to the calling function, as pydantic itself would look them up.
            try:
                frame = sys._getframe(_parent_namespace_depth - 1)
            except ValueError:
                frame = None
            if frame is not None and frame.f_locals is not frame.f_globals:
                namespace.update(frame.f_locals)
        return super().model_rebuild(force=force, raise_errors=raise_errors, _types_namespace=namespace)


class Model(BaseModelClass):
    """Base class of generated classes of core, contrib and user models."""

    schema_type: ClassVar[SchemaTypes] = SchemaTypes.USER


class TypeModel(BaseModelClass):
    """Base class of generated classes of type schemas."""

    schema_type: ClassVar[SchemaTypes] = SchemaTypes.TYPE


class LegacyModel(BaseModel):
    """A record kept in an older layout: any fields are accepted and kept as given."""

    model_config = ConfigDict(extra="allow")


def resolve_models(package: str | None = None) -> None:
    """Completes every registered class (of ``package``, or all), raising for a name no model has."""
    for model_class in MODEL_REGISTRY.models(package):
        model_class.model_rebuild(raise_errors=True, _types_namespace={})
