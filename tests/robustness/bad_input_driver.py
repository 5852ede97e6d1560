"""Calls every entry point of one extension module with bad input; run in a child process.

Usage: python bad_input_driver.py <dotted module name>

Each call must return or raise a Python exception; a crash ends the child with a signal, which the
calling test reports. Prints one summary line "calls=N raised=N" at the end.
"""

import inspect
import itertools
import math
import pathlib
import sys
import types


class Evil:
    """Raises from every protocol a body may use on its arguments."""

    def __getattr__(self, name):
        raise RuntimeError(f"evil attribute {name}")

    def __eq__(self, other):
        raise RuntimeError("evil eq")

    def __hash__(self):
        raise RuntimeError("evil hash")

    def __iter__(self):
        raise RuntimeError("evil iter")

    def __len__(self):
        raise RuntimeError("evil len")

    def __str__(self):
        raise RuntimeError("evil str")

    def __repr__(self):
        raise RuntimeError("evil repr")

    def __bool__(self):
        raise RuntimeError("evil bool")

    def __lt__(self, other):
        raise RuntimeError("evil lt")


class Dumps:
    """A record stand-in whose attributes and model_dump() hand back a chosen value."""

    def __init__(self, value):
        self._value = value

    def model_dump(self, *args, **kwargs):
        return self._value

    def __getattr__(self, name):
        return self._value


class TextSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


def nested_list(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def nested_dict(depth):
    value = {}
    for _ in range(depth):
        value = {"k": value}
    return value


def recursive_list():
    value = [1]
    value.append(value)
    return value


def recursive_dict():
    value = {"a": 1}
    value["self"] = value
    return value


def bad_values():
    plain = [
        None, True, 0, -1, 2**100, -(2**100), math.nan, math.inf, "", "x" * 100_000, "\ud800", "\x00",
        "../../etc", b"bytes", bytearray(b"x"), (), [], {}, set(), frozenset({1}), object(), Evil(),
        TextSub("text"), DictSub(a=1), ListSub([1]), pathlib.Path("/nonexistent/korvan"), type, Exception("e"),
        nested_list(100_000), nested_dict(100_000), recursive_list(), recursive_dict(), {1: 2, "a": 3},
        {None: 1, 2.5: 2}, [Evil()], {"k": Evil()}, {"properties": {"p": {"type": Evil()}}}, iter([1, 2]),
        (x for x in range(3)), types.SimpleNamespace(type="string", items=None, properties=None),
    ]
    return plain + [Dumps(value) for value in plain]


def shapes(function, values):
    """Argument lists for a callable: nothing, too many, and each bad value in each position."""
    try:
        parameters = list(inspect.signature(function).parameters.values())
    except (TypeError, ValueError):
        parameters = []
    positional = [p for p in parameters if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    keyword_only = [p.name for p in parameters if p.kind == p.KEYWORD_ONLY]
    count = max(1, len(positional))
    yield (), {}
    yield (None,) * (count + 3), {}
    yield (), {"unexpected_keyword": 1}
    for value in values:
        for at in range(count):
            args = [None] * count
            args[at] = value
            yield tuple(args), {}
        yield (value,) * count, {}
        for name in keyword_only:
            yield (None,) * len(positional), {name: value}


def entry_points(module):
    for name, value in sorted(vars(module).items()):
        if name.startswith("__"):
            continue
        if getattr(value, "__module__", None) != module.__name__ or not callable(value):
            continue
        yield name, value
        if isinstance(value, type):
            for attribute, member in sorted(vars(value).items()):
                if attribute.startswith("__") and attribute != "__init__":
                    continue
                if isinstance(member, (staticmethod, classmethod)):
                    yield f"{name}.{attribute}", getattr(value, attribute)


def exercise(result):
    """Steps a little into whatever came back, as a caller would."""
    if inspect.isgenerator(result) or type(result).__name__ == "generator":
        for _ in itertools.islice(result, 3):
            pass
        result.close()


def instance_entry_points(instance):
    """Public methods and properties of an instance that some bad input managed to build."""
    for attribute, member in sorted(vars(type(instance)).items()):
        if attribute.startswith("_"):
            continue
        if isinstance(member, property) or type(member).__name__ == "cached_property":
            yield attribute, lambda attribute=attribute: getattr(instance, attribute)
        elif callable(member) and not isinstance(member, type):
            yield attribute, getattr(instance, attribute)


def sweep(entries, values, instances):
    calls = raised = 0
    for name, function in entries:
        for args, kwargs in shapes(function, values):
            calls += 1
            try:
                result = function(*args, **kwargs)
                exercise(result)
            except Exception:  # noqa: BLE001 - any Python exception is an acceptable answer
                raised += 1
                continue
            if isinstance(function, type) and isinstance(result, function) and len(instances) < 3:
                instances.append(result)
    return calls, raised


def main(dotted):
    module = __import__(dotted, fromlist=["_"])
    values = bad_values()
    instances = []
    calls, raised = sweep(entry_points(module), values, instances)
    for instance in instances:
        more_calls, more_raised = sweep(instance_entry_points(instance), values, [])
        calls, raised = calls + more_calls, raised + more_raised
    print(f"calls={calls} raised={raised} instances={len(instances)}")


if __name__ == "__main__":
    main(sys.argv[1])
