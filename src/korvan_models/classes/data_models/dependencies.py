"""What the import collector of generated classes knows about the other models.

Generated classes live in a package (``models`` by default) with one module per model,
named by ``model_module_name``: ``Book`` in ``models/book.py``, ``BookLoan`` in
``models/book_loan.py``. The caller builds one ``DependencyModelNames`` for the whole set
of schemas (``DependencyModelNames.from_schemas``) and hands it to every class build.
"""

from __future__ import annotations

import keyword
import re
from collections.abc import Iterable

from pydantic import BaseModel, ConfigDict, Field

from korvan_models.classes.constants import BASE_OBJECT_TYPE
from korvan_utils.models.data_models.enums import CoreTypes
from korvan_utils.models.data_models.schema import ObjectSchema

_ACRONYM_BOUNDARY = re.compile(r"([A-Z]+)([A-Z][a-z])")
_WORD_BOUNDARY = re.compile(r"([a-z0-9])([A-Z])")
_CORE_TYPE_NAMES = frozenset(member.value for member in CoreTypes)


def model_module_name(title: str) -> str:
    """The module name of a model: its title in snake case (``ISBNRecord`` -> ``isbn_record``).

    A result that is a Python keyword gets a trailing underscore (``Class`` -> ``class_``).
    """
    if not isinstance(title, str) or not title.isidentifier():
        raise ValueError(f"Model title {title!r} is not a valid class name")
    name = _WORD_BOUNDARY.sub(r"\1_\2", _ACRONYM_BOUNDARY.sub(r"\1_\2", title)).lower()
    if keyword.iskeyword(name):
        name += "_"
    return name


class DependencyModelNames(BaseModel):
    """Module names of the known models and the parent of each model that extends another.

    ``modules`` maps a title to its module name inside the models package; a title missing
    from it uses ``model_module_name``. ``parents`` maps a title to the title of the model it
    extends; those imports must be real, while other model imports are for type checkers only.
    """

    model_config = ConfigDict(frozen=True)

    modules: dict[str, str] = Field(default_factory=dict)
    parents: dict[str, str] = Field(default_factory=dict)

    @classmethod
    def from_schemas(
        cls, schemas: Iterable[ObjectSchema], *, base_type: str = BASE_OBJECT_TYPE
    ) -> DependencyModelNames:
        """Builds the names of a set of schemas; two titles with one module name are refused."""
        modules: dict[str, str] = {}
        parents: dict[str, str] = {}
        owners: dict[str, str] = {}
        for schema in schemas:
            module = model_module_name(schema.title)
            owner = owners.setdefault(module, schema.title)
            if owner != schema.title:
                raise ValueError(f"Models {owner!r} and {schema.title!r} would share the module {module!r}")
            modules[schema.title] = module
            if schema.type != base_type and schema.type.lower() not in _CORE_TYPE_NAMES:
                parents[schema.title] = schema.type
        return cls(modules=modules, parents=parents)

    @property
    def titles(self) -> frozenset[str]:
        return frozenset(self.modules)

    def resolve_title(self, name: str) -> str:
        """The known title a type name stands for: itself, or the one title equal to it but for case.

        Schemas refer to type models in lower case (``email`` for the type model ``Email``).
        """
        if name in self.modules:
            return name
        matches = [title for title in self.modules if title.lower() == name.lower()]
        return matches[0] if len(matches) == 1 else name

    def module_name(self, title: str) -> str:
        return self.modules.get(title) or model_module_name(title)

    def parent_of(self, title: str) -> str | None:
        return self.parents.get(title)

    def ordered_titles(self) -> list[str]:
        """Known titles, each parent before the models that extend it, otherwise by title."""
        ordered: list[str] = []
        placed: set[str] = set()

        def place(title: str, chain: tuple[str, ...]) -> None:
            if title in placed:
                return
            if title in chain:
                raise ValueError(f"Models extend each other in a circle: {' -> '.join((*chain, title))}")
            parent = self.parents.get(title)
            if parent is not None and parent in self.modules:
                place(parent, (*chain, title))
            placed.add(title)
            ordered.append(title)

        for title in sorted(self.modules):
            place(title, ())
        return ordered


def render_models_init(model_names: DependencyModelNames, models_module_name: str = "models") -> str:
    """Source of the models package's ``__init__.py``.

    It imports every model module (parents first), so that every model a forward reference
    names is registered, then resolves the forward references: a reference to a model that
    does not exist fails here, at import time.
    """
    lines = [
        '"""Generated model classes."""',
        "",
        "from korvan_models.classes.model import resolve_models",
        "",
    ]
    titles = model_names.ordered_titles()
    lines += [f"from {models_module_name}.{model_names.module_name(t)} import {t}" for t in titles]
    lines += ["", "__all__ = [" + ", ".join(repr(t) for t in titles) + "]", "", "resolve_models(__name__)", ""]
    return "\n".join(lines)
