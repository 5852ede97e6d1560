"""help() on the native modules: the documented texts where given, none where there must be none,
and a one-line summary on every other public function, class, method and property."""

from __future__ import annotations

import functools
import importlib
import inspect
import pydoc
from dataclasses import dataclass

import pytest
from native_modules import NATIVE_MODULES, installed_file, short


@dataclass(frozen=True)
class Doc:
    """A docstring that opens with ``first`` and holds the given section headings (and no others)."""

    first: str
    sections: tuple[str, ...] = ()


NONE = None  # the object has no docstring
ONE_LINE = object()  # a docstring of one line, a sentence

ARGS_RETURNS = ("Args:", "Returns:")


def one_line(*paths: str) -> dict[str, object]:
    return dict.fromkeys(paths, ONE_LINE)


DESCRIPTORS = (classmethod, staticmethod, property, functools.cached_property)

# Every public function and class of each module, every public method and property of its classes.
EXPECTED: dict[str, dict[str, object]] = {
    "class_writer": {
        "AstClassWriter": NONE,
        "AstClassWriter.register_class": Doc("Registers a class with the given name and extend type.", ARGS_RETURNS),
        "AstClassWriter.add_class_data": Doc("Adds class data to the AST class definition.", ("Args:",)),
        "AstClassWriter.add_class_property": Doc("Adds a property to the AST class definition.", ARGS_RETURNS),
        "AstClassWriter.add_properties_validators": Doc(
            "Adds validators for the given property to the AST class definition.", ARGS_RETURNS),
        "AstClassWriter.add_class_custom_code": Doc("Adds custom code to the AST class definition.", ARGS_RETURNS),
        "AstClassWriter.model_source": Doc("Generates the source code for the model."),
        "AstClassWriter.dependencies_source": Doc("Generates the source code for the dependencies."),
    },
    "make_type_hint": one_line("make_type_hint"),
    "make_field_statement": {
        "UNSET": NONE,  # the sentinel class has an empty body
        **one_line("make_field_statement", "cast_property_value", "cast_number_value"),
    },
    "make_literal_node": one_line("make_literal_node"),
    "class_source_assembler": {
        "ClassSourceAssembler": NONE,
        "ClassSourceAssembler.__init__": Doc("Initializes the ClassSourceAssembler.", ("Args:",)),
        "ClassSourceAssembler.model_class_source": "Returns the source code for the model class.",
        "ClassSourceAssembler.dependencies_source": "Returns the source code for the dependencies.",
    },
    "validator_picker": one_line("ValidatorPicker", "ValidatorPicker.process_property"),
    "choice_checks": one_line("validate_options"),
    "mapping_checks": one_line("validate_non_empty_keys"),
    "reference_fetcher": {
        "ReferenceFetcher": NONE,
        "ReferenceFetcher.load_reference": Doc("Loads a reference.", ARGS_RETURNS),
    },
    "cli_config_reader": one_line("CliConfigLoader", "CliConfigLoader.iter_configs", "CliConfigLoader.iter_json_files"),
    "cli_custom_code_reader": one_line(
        "CliCustomCodeReader", "CliCustomCodeReader.iter_custom_code", "CliCustomCodeReader.iter_model_directories",
        "CliCustomCodeReader.read_custom_code_from_model_directory",
        "CliCustomCodeReader.read_custom_code_from_subdirectory"),
    "cli_fixtures_reader": one_line(
        "CliFixturesReader", "CliFixturesReader.iter_fixtures", "CliFixturesReader.iter_fixture_files"),
    "cli_statics_reader": one_line("CliStaticsReader", "CliStaticsReader.iter_static"),
    "options_binder": one_line("OptionsBinder", "OptionsBinder.extend", "OptionsBinder.post_extend"),
    "custom_code_binder": one_line("CustomCodeBinder", "CustomCodeBinder.extend", "CustomCodeBinder.post_extend"),
    "schema_verification_mixin": one_line("SchemaVerificationMixin", "SchemaVerificationMixin.verify_schemas"),
    "dependency_check_mixin": one_line(
        "DependencyCheckMixin", "DependencyCheckMixin.check_dependencies",
        "DependencyCheckMixin.get_dependency_type_names"),
    "merger": one_line("merge_schema"),
    "schema_digest": one_line("calculate_schema_digest"),
    "table_layout": one_line("object_schema_to_table_schema"),
}


def _module(dotted: str):
    if installed_file(dotted) is None:
        pytest.skip(f"{short(dotted)} is not installed (not built on this branch, or left out of the build)")
    return importlib.import_module(dotted)


def _public(name: str) -> bool:
    return not name.startswith("_")


def documented_objects(module) -> set[str]:
    """The module's own public functions and classes, and their public methods and properties."""
    found = set()
    for name, value in vars(module).items():
        if _public(name) and callable(value) and getattr(value, "__module__", None) == module.__name__:
            found.add(name)
            if inspect.isclass(value):
                found.update(f"{name}.{member_name}" for member_name, member in vars(value).items()
                             if _public(member_name) and (callable(member) or isinstance(member, DESCRIPTORS)))
    return found


def _lookup(module, path: str):
    owner_name, _, member_name = path.partition(".")
    owner = getattr(module, owner_name)
    if not member_name:
        return owner
    member = vars(owner)[member_name]
    return getattr(member, "__func__", member)


def _check(path: str, doc: str | None, expected: object) -> None:
    if expected is NONE:
        assert doc is None, f"{path} must have no docstring, has {doc!r}"
        return
    assert isinstance(doc, str) and doc.strip(), f"{path} has no docstring"
    if expected is ONE_LINE:
        assert "\n" not in doc.strip() and doc.strip().endswith("."), f"{path}: not a one-line sentence: {doc!r}"
    elif isinstance(expected, Doc):
        lines = doc.splitlines()
        assert lines[0] == expected.first, path
        headings = tuple(line.strip() for line in lines if line.strip() in ARGS_RETURNS)
        assert headings == expected.sections, f"{path}: sections {headings}, expected {expected.sections}"
    else:
        assert doc == expected, path


@pytest.mark.parametrize("dotted", NATIVE_MODULES, ids=short)
def test_docstrings_follow_the_rule(dotted):
    module = _module(dotted)
    expected = EXPECTED[short(dotted)]
    for path, rule in expected.items():
        _check(f"{short(dotted)}.{path}", _lookup(module, path).__doc__, rule)
    # Nothing public goes without a rule: a new function or method must be added to the table.
    assert documented_objects(module) - set(expected) == set(), f"public names of {short(dotted)} not in the table"


def test_help_reads_as_on_a_plain_function():
    module = importlib.import_module("korvan_models.classes.builder.ast_generator.helpers.make_type_hint")
    text = pydoc.render_doc(module.make_type_hint, "Help on %s:", renderer=pydoc.plaintext)
    assert text.startswith(f"Help on function in module {module.__name__}:\n\nmake_type_hint(")
