"""Collects the imports that the module of one generated model class needs.

Import forms written into ``ast_module`` (one imported name per statement, in the order
of registration; ``isort`` sorts them afterwards):

* a Python object: ``from <module> import <name>``, module and name taken from the object
  (``from typing import Optional``, ``from pydantic import Field``). When the object's
  top-level package exposes the very same object under the same name, the top-level
  package is used (``pydantic.fields.Field`` is imported from ``pydantic``). Builtins
  (``str``, ``float``, ``list`` ...) need no import.
* the model a class extends: ``from <models>.<module> import <Title>``, a real import.
* any other model (a field's type): the same statement, but under ``if TYPE_CHECKING:``.
  A lower-case name of a known title is imported under that name
  (``from models.email import Email as email``).
  Such models are written as forward references (``'Person'``) in annotations and are
  resolved at run time through the model registry (``korvan_models.classes.model``), so
  models may refer to each other without a circular import.
* import statements of custom code, one name per statement, otherwise as written.

A name registered with ``add_ignore_type_name`` (the class being generated) is never imported.
"""

from __future__ import annotations

import ast
import sys
from typing import Any, NamedTuple

from korvan_models.classes.data_models.dependencies import DependencyModelNames


class _Import(NamedTuple):
    module: str | None  # ``None`` for ``import <name>``
    name: str
    asname: str | None = None
    level: int = 0

    @property
    def bound_name(self) -> str:
        if self.asname:
            return self.asname
        return self.name if self.module is not None or self.level else self.name.split(".")[0]

    def to_node(self) -> ast.stmt:
        alias = ast.alias(name=self.name, asname=self.asname)
        if self.module is None and not self.level:
            return ast.Import(names=[alias])
        return ast.ImportFrom(module=self.module, names=[alias], level=self.level)


def python_object_import(obj: Any) -> tuple[str, str] | None:
    """Module and name to import ``obj`` by, or ``None`` for a builtin.

    Raises ``ValueError`` for an object that cannot be imported by name (an instance,
    a nested or local class, something defined in ``__main__``).
    """
    module = getattr(obj, "__module__", None)
    name = getattr(obj, "__name__", None) or getattr(obj, "_name", None)
    if not isinstance(module, str) or not isinstance(name, str) or not name.isidentifier():
        raise ValueError(f"Cannot derive an import for {obj!r}")
    if module == "builtins":
        return None
    qualname = getattr(obj, "__qualname__", name)
    if module == "__main__" or (isinstance(qualname, str) and qualname != name):
        raise ValueError(f"{obj!r} cannot be imported by name")
    loaded = sys.modules.get(module)
    if loaded is not None and getattr(loaded, name, None) is not obj:
        raise ValueError(f"{obj!r} is not reachable as {module}.{name}")
    top = module.partition(".")[0]
    if top != module and getattr(sys.modules.get(top), name, None) is obj:
        module = top
    return module, name


class AstDependencyGenerator:
    """Import collector of one generated class; see the module description for the forms."""

    def __init__(self, *, models_module_name: str, model_names: DependencyModelNames | None = None) -> None:
        self._models_module_name = models_module_name
        self._model_names = model_names if model_names is not None else DependencyModelNames()
        self._ignored: set[str] = set()
        self._imports: dict[_Import, None] = {}
        self._type_checking_imports: dict[_Import, None] = {}
        # The class writer registers a class and then, right away, its base.
        self._awaiting_base = False

    @property
    def models_module_name(self) -> str:
        return self._models_module_name

    @property
    def model_names(self) -> DependencyModelNames:
        return self._model_names

    def add_ignore_type_name(self, name: str) -> None:
        """Never import ``name``: the class being generated."""
        self._ignored.add(name)
        self._awaiting_base = True

    def add_python_type_dependency(self, obj: Any) -> None:
        """Imports a Python object (class, function, typing form) by its own module and name."""
        self._awaiting_base = False
        found = python_object_import(obj)
        if found is not None:
            self._imports.setdefault(_Import(*found), None)

    def add_model_type_dependency(self, name: str) -> None:
        """Imports another generated model, given by its title."""
        is_base = self._awaiting_base or any(self._model_names.parent_of(own) == name for own in self._ignored)
        self._awaiting_base = False
        title = self._model_names.resolve_title(name)
        module = f"{self._models_module_name}.{self._model_names.module_name(title)}"
        entry = _Import(module, title, name if title != name else None)
        if is_base:
            self._imports.setdefault(entry, None)
        else:
            self._type_checking_imports.setdefault(entry, None)

    def add_ast_import_node(self, node: ast.Import | ast.ImportFrom) -> None:
        """Adds an import statement of custom code, one name per collected statement."""
        self._awaiting_base = False
        if isinstance(node, ast.Import):
            for alias in node.names:
                self._imports.setdefault(_Import(None, alias.name, alias.asname), None)
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                self._imports.setdefault(_Import(node.module, alias.name, alias.asname, node.level or 0), None)
        else:
            raise TypeError(f"Expected an import statement node, got {type(node).__name__}")

    @property
    def ast_module(self) -> ast.Module:
        """A new module node holding the collected import statements."""
        real = [entry for entry in self._imports if entry.bound_name not in self._ignored]
        checking = [
            entry
            for entry in self._type_checking_imports
            if entry.bound_name not in self._ignored and entry not in self._imports
        ]
        body: list[ast.stmt] = [entry.to_node() for entry in real]
        if checking:
            guard = _Import("typing", "TYPE_CHECKING")
            if guard not in self._imports:
                body.append(guard.to_node())
            body.append(
                ast.If(
                    test=ast.Name(id="TYPE_CHECKING", ctx=ast.Load()),
                    body=[entry.to_node() for entry in checking],
                    orelse=[],
                )
            )
        return ast.Module(body=body, type_ignores=[])
