"""A comparison's operands stay alive while the comparison runs Python code that rebinds module state."""

import subprocess
import sys
import textwrap

import pytest

HELPERS = "korvan_models.classes.builder.ast_generator.helpers"

# A property type whose __eq__ rebinds the module's CoreTypes and calls the module again: the
# second call replaces every cached member value, so a cache compared by a borrowed reference is
# freed while the reflected __eq__ still runs on it (a crash under the debug allocator).
SCRIPT = textwrap.dedent(
    """
    import importlib, sys
    module = importlib.import_module(sys.argv[1])

    class Marker:
        def __eq__(self, other):
            return NotImplemented
        __hash__ = object.__hash__

    class Member:
        @property
        def value(self):
            return Marker()  # fresh on every read: the module holds the only reference

    def core_types():
        names = ("STRING", "NUMBER", "BOOLEAN", "BINARY", "ARRAY", "DICTIONARY")
        return type("CoreTypes", (), {name: Member() for name in names})

    class Rebinding:
        busy = False
        def __eq__(self, other):
            if not Rebinding.busy:
                Rebinding.busy = True
                module.CoreTypes = core_types()
                try:
                    call_in()
                except Exception:
                    pass
                Rebinding.busy = False
            return NotImplemented
        __hash__ = object.__hash__

    class Described:
        items = None
        @property
        def type(self):
            return self
        def lower(self):
            return Rebinding()

    def call_in():
        if sys.argv[2] == "cast_property_value":
            module.cast_property_value(Described(), "x")
        else:
            module.make_type_hint(Described(), is_required=True, can_be_a_reference=False,
                                  ast_dependency_generator=None)

    module.CoreTypes = core_types()
    try:
        call_in()
    except Exception as error:
        print(type(error).__name__)
    print("survived")
    """
)


@pytest.mark.parametrize(
    "module, function",
    [("make_field_statement", "cast_property_value"), ("make_type_hint", "make_type_hint")],
)
def test_cached_core_value_survives_a_rebinding_comparison(tmp_path, module, function):
    script = tmp_path / "rebind.py"
    script.write_text(SCRIPT, "utf-8")
    done = subprocess.run(
        [sys.executable, str(script), f"{HELPERS}.{module}", function],
        capture_output=True, text=True, timeout=120, env={**__import__("os").environ, "PYTHONMALLOC": "debug"},
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.splitlines()[-1] == "survived"
