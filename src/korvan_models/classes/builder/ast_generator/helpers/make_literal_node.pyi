import ast as ast
from typing import Any as Any

def make_literal_node(
    dictionary: dict[str, Any] | list[dict[str, Any]] | str | int | float | bool | None,
) -> ast.Dict | ast.List | ast.Str | ast.Num | ast.NameConstant: ...
