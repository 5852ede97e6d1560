"""Every installed extension module: one module per process and interpreter, no leaks, no crashes."""

import importlib
import json
import os
import shutil
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

from installed_extensions import extension_modules, growth

HERE = Path(__file__).resolve().parent
MODULES = extension_modules()
NAMES = [name for name, _ in MODULES]


def run_child(code_or_path, *args, cwd, timeout=600, env=None):
    source = [str(code_or_path)] if isinstance(code_or_path, Path) else ["-c", code_or_path]
    command = [sys.executable, *source, *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, cwd=cwd, env=env)


def reporting_to_stderr():
    """The environment with sanitizer reports sent to the child's own error output: a test that
    expects a known crash keeps its report out of the files that fail a sanitized run."""
    env = dict(os.environ)
    for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if key in env:
            env[key] = ":".join(o for o in env[key].split(":") if not o.startswith("log_path="))
    return env


def describe_failure(done):
    return f"exit {done.returncode}\nstdout:\n{done.stdout[-3000:]}\nstderr:\n{done.stderr[-3000:]}"


def test_the_built_modules_are_found():
    assert "korvan_models.schemas.utils.schema_digest" in NAMES


IMPORT_TWICE = textwrap.dedent(
    """
    import importlib, sys
    name = sys.argv[1]
    first = importlib.import_module(name)
    names = {key: value for key, value in vars(first).items() if not key.startswith("__")}
    first.marker = "kept"
    assert importlib.import_module(name) is first
    del sys.modules[name]
    assert importlib.import_module(name) is first and sys.modules[name] is first
    assert importlib.reload(first) is first
    assert first.marker == "kept"
    for key, value in names.items():
        assert vars(first)[key] is value, key
    print("ok")
    """
)


@pytest.mark.parametrize("name", NAMES)
def test_import_twice_gives_one_module_and_runs_the_body_once(name, tmp_path):
    done = run_child(IMPORT_TWICE, name, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout.strip() == "ok", describe_failure(done)


SECOND_INTERPRETER = textwrap.dedent(
    """
    import importlib, json, sys
    import _xxsubinterpreters as interpreters
    modules = json.loads(sys.argv[1])
    for name, _ in modules:
        importlib.import_module(name)
    for isolated in (False, True):
        interpreter = interpreters.create(isolated=isolated)
        for name, path in modules:
            interpreters.run_string(interpreter, f'''
    import importlib.util
    spec = importlib.util.spec_from_file_location({name!r}, {path!r})
    try:
        importlib.util.module_from_spec(spec)
    except ImportError as error:
        outcome = str(error)
    else:
        outcome = "loaded"
    print("RESULT", {isolated!r}, {name!r}, outcome, flush=True)
    ''')
        interpreters.destroy(interpreter)
    for name, _ in modules:
        assert importlib.import_module(name).__name__ == name
    print("alive", flush=True)
    """
)


def test_a_second_interpreter_is_refused(tmp_path):
    modules = json.dumps([[name, str(path)] for name, path in MODULES])
    done = run_child(SECOND_INTERPRETER, modules, cwd=tmp_path)
    assert done.returncode == 0, describe_failure(done)
    lines = done.stdout.splitlines()
    assert lines[-1] == "alive"
    results = {}
    for line in lines:
        if line.startswith("RESULT "):
            _, isolated, name, outcome = line.split(" ", 3)
            results[isolated, name] = outcome
    # A subinterpreter sharing the main one's lock reaches the module's own check; one with a lock
    # of its own is turned away by the interpreter before the module is created.
    text = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert {name: results["False", name] for name in NAMES} == {name: text for name in NAMES}
    for name in NAMES:
        assert results["True", name] == f"module {name} does not support loading in subinterpreters"


@pytest.mark.parametrize("batch", ["plain", "hostile"])
@pytest.mark.parametrize("name", NAMES)
def test_bad_input_raises_instead_of_crashing(name, batch, tmp_path):
    done = run_child(HERE / "bad_input_driver.py", name, batch, cwd=tmp_path)
    assert done.returncode == 0, describe_failure(done)
    assert done.stdout.strip().startswith("calls="), describe_failure(done)


@pytest.mark.parametrize("name", NAMES)
def test_defaults_replaced_under_signature_and_binding(name, tmp_path):
    done = run_child(HERE / "bad_input_driver.py", name, "rebinding", cwd=tmp_path, env=reporting_to_stderr())
    assert done.returncode == 0, describe_failure(done)
    assert done.stdout.strip().startswith("calls="), describe_failure(done)


def frame_functions(module):
    for key, value in sorted(vars(module).items()):
        if type(value).__name__ == "function" and not isinstance(value, types.FunctionType):
            yield key, value


@pytest.mark.parametrize("name", NAMES)
def test_failed_calls_keep_no_references_or_memory(name):
    module = importlib.import_module(name)
    argument = object()
    for key, function in frame_functions(module):
        before = sys.getrefcount(argument)

        def failing_call():
            try:
                function(*[argument] * 40, unexpected_keyword=argument)
            except TypeError:
                pass

        blocks, rss = growth(failing_call, 100_000)
        assert sys.getrefcount(argument) == before, key
        assert blocks < 1_000, (key, blocks)
        assert rss < 2 * 1024 * 1024, (key, rss)


def test_schema_digest_calls_keep_no_references_or_memory():
    from korvan_models.schemas.utils.schema_digest import calculate_schema_digest
    from korvan_utils.models.data_models.schema import ObjectSchema

    schema = ObjectSchema.model_validate_json(
        '{"title": "Small", "type": "object", "properties": {"name": {"type": "string", "default": "n\\u00e9"},'
        ' "tags": {"type": "array", "items": {"type": "string"}}}, "required": ["name"]}'
    )
    expected = calculate_schema_digest(schema)
    before = sys.getrefcount(schema)
    results = []

    def call():
        results.append(calculate_schema_digest(schema) == expected)
        results.clear()

    blocks, rss = growth(call, 100_000)
    assert sys.getrefcount(schema) == before
    assert blocks < 1_000 and rss < 2 * 1024 * 1024, (blocks, rss)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not available")
@pytest.mark.parametrize("name,path", MODULES, ids=NAMES)
def test_only_the_init_function_is_exported(name, path):
    done = subprocess.run(["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True)
    symbols = {line.split()[-1] for line in done.stdout.splitlines() if line.strip()}
    assert symbols == {"PyInit_" + name.rsplit(".", 1)[1]}
