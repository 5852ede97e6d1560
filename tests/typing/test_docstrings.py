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
ONE_LINE = "one line"  # a docstring of one line, a sentence

ARGS_RETURNS = ("Args:", "Returns:")
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
    "make_type_hint": {"make_type_hint": ONE_LINE},
    "make_field_statement": {
        "UNSET": NONE,  # the sentinel class has an empty body
        "make_field_statement": ONE_LINE,
        "cast_property_value": ONE_LINE,
        "cast_number_value": ONE_LINE,
    },
    "make_literal_node": {"make_literal_node": ONE_LINE},
    "class_source_assembler": {
        "ClassSourceAssembler": NONE,
        "ClassSourceAssembler.__init__": Doc("Initializes the ClassSourceAssembler.", ("Args:",)),
        "ClassSourceAssembler.model_class_source": "Returns the source code for the model class.",
        "ClassSourceAssembler.dependencies_source": "Returns the source code for the dependencies.",
    },
    "validator_picker": {"ValidatorPicker": ONE_LINE, "ValidatorPicker.process_property": ONE_LINE},
    "choice_checks": {"validate_options": ONE_LINE},
    "mapping_checks": {"validate_non_empty_keys": ONE_LINE},
    "reference_fetcher": {
        "ReferenceFetcher": NONE,
        "ReferenceFetcher.load_reference": Doc("Loads a reference.", ARGS_RETURNS),
    },
    "cli_config_reader": {
        "CliConfigLoader": ONE_LINE,
        "CliConfigLoader.iter_configs": ONE_LINE,
        "CliConfigLoader.iter_json_files": ONE_LINE,
    },
    "cli_custom_code_reader": {
        "CliCustomCodeReader": ONE_LINE,
        "CliCustomCodeReader.iter_custom_code": ONE_LINE,
        "CliCustomCodeReader.read_custom_code_from_model_directory": ONE_LINE,
        "CliCustomCodeReader.read_custom_code_from_subdirectory": ONE_LINE,
        "CliCustomCodeReader.iter_model_directories": ONE_LINE,
    },
    "cli_fixtures_reader": {
        "CliFixturesReader": ONE_LINE,
        "CliFixturesReader.iter_fixtures": ONE_LINE,
        "CliFixturesReader.iter_fixture_files": ONE_LINE,
    },
    "cli_statics_reader": {"CliStaticsReader": ONE_LINE, "CliStaticsReader.iter_static": ONE_LINE},
    "options_binder": {
        "OptionsBinder": ONE_LINE,
        "OptionsBinder.extend": ONE_LINE,
        "OptionsBinder.post_extend": ONE_LINE,
    },
    "custom_code_binder": {
        "CustomCodeBinder": ONE_LINE,
        "CustomCodeBinder.extend": ONE_LINE,
        "CustomCodeBinder.post_extend": ONE_LINE,
    },
    "schema_verification_mixin": {
        "SchemaVerificationMixin": ONE_LINE,
        "SchemaVerificationMixin.verify_schemas": ONE_LINE,
    },
    "dependency_check_mixin": {
        "DependencyCheckMixin": ONE_LINE,
        "DependencyCheckMixin.check_dependencies": ONE_LINE,
        "DependencyCheckMixin.get_dependency_type_names": ONE_LINE,
    },
    "merger": {"merge_schema": ONE_LINE},
    "schema_digest": {"calculate_schema_digest": ONE_LINE},
    "table_layout": {"object_schema_to_table_schema": ONE_LINE},
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


@pytest.mark.parametrize("dotted", NATIVE_MODULES, ids=short)
def test_help_shows_each_summary(dotted):
    module = _module(dotted)
    rendered = pydoc.render_doc(module, renderer=pydoc.plaintext)
    assert f"module {dotted}" in rendered
    for path in EXPECTED[short(dotted)]:
        doc = _lookup(module, path).__doc__
        if doc:
            assert doc.splitlines()[0] in rendered, path
