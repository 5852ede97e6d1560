"""Small descriptions that turn into statements of a generated class body."""

from __future__ import annotations

import ast
import textwrap
from typing import Any

from pydantic import BaseModel, ConfigDict, field_validator, model_validator

_CONSTANT_TYPES = (str, bytes, bool, int, float, complex, type(None), type(Ellipsis))


class PropertyValueAst(BaseModel):
    """A name (``str``), an attribute access ``first.second`` (``attr``) or a constant.

    Exactly one of ``name``, ``attr`` and ``constant`` is given (``constant=None`` counts
    as given and means the constant ``None``).
    """

    model_config = ConfigDict(frozen=True, extra="forbid")

    name: str | None = None
    attr: tuple[str, str] | None = None
    constant: Any = None

    @model_validator(mode="after")
    def _exactly_one(self) -> PropertyValueAst:
        given = self.model_fields_set
        if len(given) != 1:
            raise ValueError(f"Give exactly one of name, attr and constant, got {sorted(given) or 'none'}")
        if "name" in given and not (isinstance(self.name, str) and self.name.isidentifier()):
            raise ValueError(f"name must be an identifier, got {self.name!r}")
        if "attr" in given and not (self.attr and all(part.isidentifier() for part in self.attr)):
            raise ValueError(f"attr must be two identifiers, got {self.attr!r}")
        if "constant" in given and not isinstance(self.constant, _CONSTANT_TYPES):
            raise ValueError(f"constant must be a plain scalar, got {type(self.constant).__name__}")
        return self

    @property
    def ast(self) -> ast.expr:
        """A new expression node."""
        if "name" in self.model_fields_set:
            return ast.Name(id=self.name, ctx=ast.Load())
        if "attr" in self.model_fields_set:
            first, second = self.attr
            return ast.Attribute(value=ast.Name(id=first, ctx=ast.Load()), attr=second, ctx=ast.Load())
        return ast.Constant(value=self.constant)


class NestedPropertyTypeAst(BaseModel):
    """A subscripted type ``root[child, ...]``, e.g. ``ClassVar[str]`` or ``dict[str, int]``."""

    model_config = ConfigDict(frozen=True, extra="forbid")

    root: PropertyValueAst
    child: list[PropertyValueAst | NestedPropertyTypeAst]

    @field_validator("child")
    @classmethod
    def _not_empty(cls, value: list[Any]) -> list[Any]:
        if not value:
            raise ValueError("child must hold at least one type")
        return value

    @property
    def ast(self) -> ast.expr:
        """A new subscript node."""
        if len(self.child) == 1:
            index: ast.expr = self.child[0].ast
        else:
            index = ast.Tuple(elts=[item.ast for item in self.child], ctx=ast.Load())
        return ast.Subscript(value=self.root.ast, slice=index, ctx=ast.Load())


class PropertyAst(BaseModel):
    """An annotated class-level assignment ``name: type = value``.

    Several ``types`` are joined into a union ``a | b``; without ``value`` the statement
    is a bare annotation.
    """

    model_config = ConfigDict(frozen=True, extra="forbid")

    name: str
    types: list[PropertyValueAst | NestedPropertyTypeAst]
    value: PropertyValueAst | None = None

    @field_validator("name")
    @classmethod
    def _identifier(cls, value: str) -> str:
        if not value.isidentifier():
            raise ValueError(f"name must be an identifier, got {value!r}")
        return value

    @field_validator("types")
    @classmethod
    def _not_empty(cls, value: list[Any]) -> list[Any]:
        if not value:
            raise ValueError("types must hold at least one type")
        return value

    @property
    def ast(self) -> ast.AnnAssign:
        """A new annotated assignment statement."""
        annotation = self.types[0].ast
        for item in self.types[1:]:
            annotation = ast.BinOp(left=annotation, op=ast.BitOr(), right=item.ast)
        return ast.AnnAssign(
            target=ast.Name(id=self.name, ctx=ast.Store()),
            annotation=annotation,
            value=self.value.ast if self.value is not None else None,
            simple=1,
        )


class CustomCodeAst:
    """A model's custom code, split into its imports and its class-body statements.

    The code is written as the body of the model class, without the class line: methods,
    properties, validators and annotated ``ClassVar`` constants, starting at column 0
    (a uniform indentation of the whole text is removed first). Top-level import
    statements go to the module's import block (``ast_imports``); all other top-level
    statements (``ast``) become statements of the class body, in source order.
    A text that does not parse raises ``SyntaxError``.
    """

    def __init__(self, *, custom_code: str) -> None:
        if not isinstance(custom_code, str):
            raise TypeError(f"custom_code must be a str, got {type(custom_code).__name__}")
        self.custom_code = custom_code
        module = ast.parse(textwrap.dedent(custom_code))
        self._imports = [node for node in module.body if isinstance(node, (ast.Import, ast.ImportFrom))]
        self._statements = [node for node in module.body if not isinstance(node, (ast.Import, ast.ImportFrom))]

    @property
    def ast_imports(self) -> list[ast.Import | ast.ImportFrom]:
        return list(self._imports)

    @property
    def ast(self) -> list[ast.stmt]:
        return list(self._statements)
