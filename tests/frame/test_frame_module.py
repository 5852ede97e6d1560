"""The module object of a frame extension: one per process, executed once."""

import ctypes
import importlib
import importlib.util
import sys
import types

import pytest


def module_definition(probe):
    """The address of the module's static definition."""
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.argtypes = [ctypes.py_object]
    get_def.restype = ctypes.c_void_p
    return get_def(probe)


def test_module_definition_gives_back_the_one_module(probe):
    assert module_definition(probe)
    spec = importlib.util.spec_from_file_location("frame_probe", probe.__file__)
    assert importlib.util.module_from_spec(spec) is probe
    del sys.modules["frame_probe"]
    try:
        assert importlib.import_module("frame_probe") is probe
    finally:
        sys.modules["frame_probe"] = probe
    assert importlib.reload(probe) is probe
    assert probe.__file__.endswith(".so") and probe.__package__ == ""
    assert probe.__builtins__ is __builtins__ or probe.__builtins__ is sys.modules["builtins"]


def test_executing_a_second_module_object_is_refused(probe):
    definition = module_definition(probe)
    execute = ctypes.pythonapi.PyModule_ExecDef
    execute.argtypes = [ctypes.py_object, ctypes.c_void_p]
    execute.restype = ctypes.c_int
    assert execute(probe, definition) == 0  # the same object again: nothing to do
    with pytest.raises(RuntimeError) as raised:
        execute(types.ModuleType("frame_probe"), definition)
    assert str(raised.value) == (
        "Module 'frame_probe' has already been imported. Re-initialisation is not supported."
    )
