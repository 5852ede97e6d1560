"""Import collection, class-body descriptions and validator methods."""

from __future__ import annotations

import ast
import json
from datetime import date, datetime
from typing import ClassVar, Optional, Union

import astor
import pytest
from pydantic import Field, ValidationError
from stand_in_writer import print_imports

from korvan_models.classes.builder.ast_generator.data_models import (
    CustomCodeAst,
    NestedPropertyTypeAst,
    PropertyAst,
    PropertyValueAst,
)
from korvan_models.classes.builder.ast_generator.dependency_generator import AstDependencyGenerator
from korvan_models.classes.builder.ast_generator.helpers.build_validator_node import build_validator_node
from korvan_models.classes.data_models.dependencies import DependencyModelNames
from korvan_models.classes.model import Model
from korvan_utils.models.enums import SchemaTypes


def generator(**names) -> AstDependencyGenerator:
    return AstDependencyGenerator(models_module_name="models", model_names=DependencyModelNames(**names))


def test_imports_of_a_class_extending_the_base():
    deps = generator()
    deps.add_ignore_type_name("Book")
    for obj in (Model, SchemaTypes, ClassVar, date, datetime, str, float, list, Optional, Union, Field, Optional):
        deps.add_python_type_dependency(obj)
    deps.add_model_type_dependency("Book")  # a field of its own type
    text = print_imports(deps)
    lines = text.strip().splitlines()
    assert "from korvan_models.classes.model import Model" in lines
    assert {"from typing import ClassVar", "from datetime import date", "from datetime import datetime"} <= set(lines)
    assert "from pydantic import Field" in lines  # shortened from pydantic.fields
    assert lines.count("from typing import Optional") == 1
    assert "Book" not in text and "builtins" not in text and "TYPE_CHECKING" not in text
    compile(text, "imports", "exec")


@pytest.mark.parametrize("names", [{}, {"parents": {"Student": "Person"}}])
def test_parent_is_a_real_import_and_other_models_are_for_type_checkers(names):
    deps = generator(modules={"BookLoan": "loans"}, **names)
    deps.add_ignore_type_name("Student")
    if names:
        deps.add_python_type_dependency(SchemaTypes)  # order does not matter when the parent is known
    deps.add_model_type_dependency("Person")
    deps.add_model_type_dependency("BookLoan")
    deps.add_model_type_dependency("Person")
    body = deps.ast_module.body
    assert "from models.person import Person" in [astor.to_source(n).strip() for n in body[:-1]]
    guard = body[-1]
    assert isinstance(guard, ast.If) and astor.to_source(guard.test).strip() == "TYPE_CHECKING"
    assert [astor.to_source(n).strip() for n in guard.body] == ["from models.loans import BookLoan"]
    assert "from typing import TYPE_CHECKING" in astor.to_source(deps.ast_module)


def test_custom_code_imports_are_split_and_filtered():
    deps = generator()
    deps.add_ignore_type_name("Book")
    code = CustomCodeAst(custom_code="import os.path, json as j\nfrom . import sibling\nfrom models.book import Book\n")
    for node in code.ast_imports:
        deps.add_ast_import_node(node)
    assert astor.to_source(deps.ast_module).splitlines() == [
        "import os.path",
        "import json as j",
        "from . import sibling",
    ]
    with pytest.raises(TypeError):
        deps.add_ast_import_node(ast.Pass())


def test_objects_that_cannot_be_imported_by_name_are_refused():
    class Local:
        pass

    deps = generator()
    for obj in (Local, 3, SchemaTypes.USER):
        with pytest.raises(ValueError):
            deps.add_python_type_dependency(obj)


def test_property_value_takes_exactly_one_form():
    for kwargs in ({}, {"name": "a", "constant": 1}, {"attr": ("a",)}, {"name": "not a name"}, {"constant": [1]}):
        with pytest.raises(ValidationError):
            PropertyValueAst(**kwargs)
    assert astor.to_source(PropertyValueAst(constant=None).ast).strip() == "None"
    assert astor.to_source(PropertyValueAst(attr=["SchemaTypes", "USER"]).ast).strip() == "SchemaTypes.USER"


def test_property_statements():
    class_var = PropertyValueAst(name="ClassVar")
    constant = PropertyAst(
        name="class_fingerprint",
        types=[NestedPropertyTypeAst(root=class_var, child=[PropertyValueAst(name="str")])],
        value=PropertyValueAst(constant="ab"),
    )
    nested = NestedPropertyTypeAst(
        root=PropertyValueAst(name="dict"), child=[PropertyValueAst(name="str"), PropertyValueAst(name="int")]
    )
    union = PropertyAst(name="x", types=[nested, PropertyValueAst(constant=None)])
    assert isinstance(constant.ast, ast.AnnAssign) and constant.ast is not constant.ast
    assert astor.to_source(constant.ast).strip() == "class_fingerprint: ClassVar[str] = 'ab'"
    assert astor.to_source(union.ast).strip() == "x: dict[str, int] | None"
    with pytest.raises(ValidationError):
        PropertyAst(name="x", types=[])


def test_custom_code_is_split_into_imports_and_body_statements():
    code = CustomCodeAst(custom_code="""
        from typing import ClassVar
        LIMIT: ClassVar[int] = 3

        def b(self):
            import math
            return math.pi

        @property
        def a(self):
            return 1
    """)
    assert [type(n).__name__ for n in code.ast_imports] == ["ImportFrom"]
    assert [getattr(n, "name", None) for n in code.ast] == [None, "b", "a"]
    with pytest.raises(SyntaxError):
        CustomCodeAst(custom_code="def broken(:\n")
    with pytest.raises(TypeError):
        CustomCodeAst(custom_code=None)


def test_validator_node():
    deps = generator()
    node = build_validator_node(
        prop_name="tags",
        validator_name="_check_tags",
        validator=json.dumps,
        options=["a", 2, True],
        ast_dependency_generator=deps,
    )
    assert astor.to_source(node).splitlines() == [
        "@field_validator('tags')",
        "@classmethod",
        "def _check_tags(cls, value):",
        "    return dumps(value, ['a', 2, True])",
    ]
    assert set(astor.to_source(deps.ast_module).splitlines()) == {
        "from pydantic import field_validator",
        "from json import dumps",
    }
    bare = build_validator_node(
        prop_name="m", validator_name="v", validator=json.dumps, options=None, ast_dependency_generator=deps
    )
    assert astor.to_source(bare.body[0]).strip() == "return dumps(value)"
    with pytest.raises(ValueError):
        build_validator_node(
            prop_name="m", validator_name="v", validator=json.dumps, options=[(1,)], ast_dependency_generator=deps
        )
    with pytest.raises(ValueError):
        build_validator_node(
            prop_name="m", validator_name="1v", validator=json.dumps, options=None, ast_dependency_generator=deps
        )
