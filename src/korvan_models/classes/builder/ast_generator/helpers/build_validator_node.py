"""Builds the validator method of a generated class that checks one field with a validator function.

For a field ``genre`` checked by ``validate_options`` with the options ``['essay', 'novel']``
the method reads::

    @field_validator('genre')
    @classmethod
    def validate_value_in_options_genre(cls, value):
        return validate_options(value, ['essay', 'novel'])

Without options (``options=None``) the call passes the value alone. The method runs after
the field's own type validation, also on assignment. Its name may start with an underscore
(``_non_empty_keys_meta``): pydantic keeps validator methods out of private attributes.
"""

from __future__ import annotations

import ast
from collections.abc import Callable
from typing import Any

from pydantic import field_validator

from korvan_models.classes.builder.ast_generator.dependency_generator import (
    AstDependencyGenerator,
    python_object_import,
)

_OPTION_TYPES = (str, int, float, bool, type(None))


def _options_node(options: list[Any]) -> ast.List:
    elements = []
    for option in options:
        if not isinstance(option, _OPTION_TYPES):
            raise ValueError(f"Option values must be texts, numbers or booleans, got {type(option).__name__}")
        elements.append(ast.Constant(value=option))
    return ast.List(elts=elements, ctx=ast.Load())


def build_validator_node(
    *,
    prop_name: str,
    validator_name: str,
    validator: Callable[..., Any],
    options: list[Any] | None,
    ast_dependency_generator: AstDependencyGenerator,
) -> ast.FunctionDef:
    """Returns the validator method node and registers the imports it needs."""
    if not isinstance(prop_name, str) or not prop_name.isidentifier():
        raise ValueError(f"prop_name must be an identifier, got {prop_name!r}")
    if not isinstance(validator_name, str) or not validator_name.isidentifier():
        raise ValueError(f"validator_name must be an identifier, got {validator_name!r}")
    found = python_object_import(validator)
    if found is None:
        raise ValueError(f"{validator!r} is a builtin, not a validator function")
    _module, function_name = found

    arguments: list[ast.expr] = [ast.Name(id="value", ctx=ast.Load())]
    if options is not None:
        arguments.append(_options_node(list(options)))

    ast_dependency_generator.add_python_type_dependency(field_validator)
    ast_dependency_generator.add_python_type_dependency(validator)

    return ast.FunctionDef(
        name=validator_name,
        args=ast.arguments(
            posonlyargs=[],
            args=[ast.arg(arg="cls"), ast.arg(arg="value")],
            vararg=None,
            kwonlyargs=[],
            kw_defaults=[],
            kwarg=None,
            defaults=[],
        ),
        body=[ast.Return(value=ast.Call(func=ast.Name(id=function_name, ctx=ast.Load()), args=arguments, keywords=[]))],
        decorator_list=[
            ast.Call(
                func=ast.Name(id=field_validator.__name__, ctx=ast.Load()),
                args=[ast.Constant(value=prop_name)],
                keywords=[],
            ),
            ast.Name(id="classmethod", ctx=ast.Load()),
        ],
        returns=None,
        type_params=[],
    )
