"""Class source assembly against the formatters alone.

"ours" builds a ClassSourceAssembler and reads both texts: the assembly (field statements, type
hints, validators, custom code, fingerprint) plus the printer and formatters. "plain" runs only
the printer and formatters (astor, black, isort) on the very trees that assembly produced. Our own
share of the total should stay under 10%. It is shown twice: as (total - formatters) / total, which
also counts the collector's extra work on our garbage but carries the noise of two large timings,
and measured directly, by running the assembly with pass-through stand-ins for the formatters.
"""

from __future__ import annotations

import sys
import timeit
import types
from contextlib import contextmanager
from functools import partial
from pathlib import Path

import _timing
import astor
import black
import isort
from astor.source_repr import split_lines
from astor.string_repr import pretty_string

from korvan_models.classes.builder.ast_generator import class_writer
from korvan_models.classes.builder.class_source_assembler import ClassSourceAssembler
from korvan_models.classes.data_models.dependencies import DependencyModelNames
from korvan_models.classes.model import Model
from korvan_utils.models.data_models.schema import ObjectSchema
from korvan_utils.models.enums import SchemaTypes

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "generation"))
from generation_helpers import load_example_schemas  # noqa: E402

SHARE_LIMIT = 0.10
MODE = black.FileMode(string_normalization=False, target_versions={black.TargetVersion.PY310}, line_length=120)
ISORT_OPTIONS = dict(
    force_single_line=True,
    profile="black",
    line_length=120,
    order_by_type=True,
    known_third_party=["korvan_utils", "korvan_data", "korvan_models", "korvan"],
    known_first_party=["models"],
)


def print_tree(tree) -> str:
    return astor.to_source(
        tree,
        pretty_string=partial(pretty_string, max_line=120),
        pretty_source=lambda _source: "".join(split_lines(_source, maxline=120)),
    )


def wide_schema(count: int = 100) -> ObjectSchema:
    """A model with `count` properties of every kind: scalars, defaults, options, lists, mappings, references."""
    kinds = [
        {"type": "string"},
        {"type": "number", "default": "7"},
        {"type": "boolean", "default": True},
        {"type": "string", "options": [{"value": "b"}, {"value": "a"}, {"value": "c"}]},
        {"type": "array", "items": {"type": "string"}, "default": ["x", "y"]},
        {"type": "dictionary", "items": {"key": {"type": "string"}, "value": {"type": "number"}}},
        {"type": "dictionary", "items": {"key_type": "string", "value_type": "boolean"}, "default": {"on": True}},
        {"type": "Other"},
        {"type": "array", "items": {"type": "Other"}},
        {"type": "binary"},
    ]
    properties = {f"field_{i:03d}": kinds[i % len(kinds)] for i in range(count)}
    return ObjectSchema.model_validate(
        {
            "title": "Wide",
            "type": "object",
            "properties": properties,
            "required": [name for i, name in enumerate(properties) if i % 3 == 0],
            "custom_code": "import math\n\n@property\ndef size(self) -> int:\n    return math.floor(1.5)\n",
        }
    )


def case(schema: ObjectSchema, names: DependencyModelNames):
    def ours():
        assembler = ClassSourceAssembler("models", schema, SchemaTypes.USER, Model, names)
        assembler.dependencies_source
        assembler.model_class_source
        ClassSourceAssembler._build_class_source.cache_clear()  # the memo keeps every builder alive

    assembled = ClassSourceAssembler("models", schema, SchemaTypes.USER, Model, names)
    assembled.model_class_source  # trees complete, as after an assembly
    built = assembled.ast_generator
    class_tree = built._class_definition
    import_tree = built._ast_dependency_generator.ast_module

    def formatters_only():
        black.format_str(print_tree(class_tree), mode=MODE)
        isort.code(print_tree(import_tree), **ISORT_OPTIONS)

    return ours, formatters_only


@contextmanager
def formatters_passed_through():
    """The class writer's formatter modules replaced by stand-ins that return their input."""
    saved = class_writer.astor, class_writer.black, class_writer.isort
    class_writer.astor = types.SimpleNamespace(to_source=lambda tree, **_options: "")
    class_writer.black = types.SimpleNamespace(
        format_str=lambda text, mode: text, FileMode=black.FileMode, TargetVersion=black.TargetVersion
    )
    class_writer.isort = types.SimpleNamespace(code=lambda text, **_options: text)
    try:
        yield
    finally:
        class_writer.astor, class_writer.black, class_writer.isort = saved


def best_of(function, repeat: int = 9) -> float:
    number = max(1, timeit.Timer(function).autorange()[0])
    return min(timeit.repeat(function, number=number, repeat=repeat)) / number


def report(label: str, ours, plain) -> None:
    _timing.compare(label, ours, plain, target=1 / (1 - SHARE_LIMIT), repeat=9)
    _label, total, formatters, _ratio, _target = _timing.RESULTS[-1]
    with formatters_passed_through():
        own = best_of(ours)
    by_difference = (total - formatters) / total
    direct = own / total
    verdict = "ok" if direct < SHARE_LIMIT else "OVER LIMIT"
    print(f"    total {total * 1e3:8.3f} ms  formatters {formatters * 1e3:8.3f} ms  assembly alone {own * 1e3:7.3f} ms")
    print(f"    our share: {direct:5.1%} measured directly, {by_difference:5.1%} by difference "
          f"(limit < {SHARE_LIMIT:.0%}) {verdict}")


def main() -> None:
    example = load_example_schemas()
    example_names = DependencyModelNames.from_schemas(example)
    cases = [case(schema, example_names) for schema in example]

    def all_ours():
        for ours, _ in cases:
            ours()

    def all_formatters():
        for _, plain in cases:
            plain()

    report(f"example project ({len(example)} models), assembler vs formatters", all_ours, all_formatters)
    wide = wide_schema()
    report("100-property schema, assembler vs formatters", *case(wide, DependencyModelNames.from_schemas([wide])))


if __name__ == "__main__":
    main()
