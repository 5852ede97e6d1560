"""Calls every entry point of one extension module with bad input; run in a child process.

Usage: python bad_input_driver.py <dotted module name> [plain|hostile|rebinding]

Each call must return or raise a Python exception; a crash ends the child with a signal, which the
calling test reports. Prints one summary line "calls=N raised=N" at the end. The "plain" batch
holds wrong types, odd scalars, cycles and deep nesting; the "hostile" batch holds containers and
texts whose own protocols empty or refill what native code is reading, made afresh for each call.
The "rebinding" batch replaces a function's defaults and annotations while its signature is built
and while a call binds its keyword defaults.
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


def churn(container):
    """Empties a container, or refills it with new objects, in turn: whatever was read from it before is gone."""
    if isinstance(container, dict):
        if dict.__len__(container):
            dict.clear(container)
        else:
            dict.update(container, {f"key {i}": [f"value {i}"] for i in range(8)})
    elif isinstance(container, list):
        if list.__len__(container):
            list.clear(container)
        else:
            list.extend(container, [f"item {i}" for i in range(16)] + [{"k": "v"}, [1, 2]])


class Churning:
    """An element whose every protocol empties or refills the containers it sits in."""

    def __init__(self, *victims):
        self.victims = list(victims)

    def churn(self):
        for victim in self.victims:
            churn(victim)

    def __eq__(self, other):
        self.churn()
        return NotImplemented

    def __hash__(self):
        self.churn()
        return 1

    def __lt__(self, other):
        self.churn()
        return False

    def __len__(self):
        self.churn()
        return 1

    def __iter__(self):
        self.churn()
        return iter(["churned"])

    def __str__(self):
        self.churn()
        return "churned"

    __repr__ = __str__

    def __format__(self, spec):
        return str(self)

    def __bool__(self):
        self.churn()
        return True


class ChurningText(str):
    """A text whose comparison, hash, length and iteration empty or refill its containers."""

    def __new__(cls, text, *victims):
        made = super().__new__(cls, text)
        made.victims = list(victims)
        return made

    def churn(self):
        for victim in self.victims:
            churn(victim)

    def __eq__(self, other):
        self.churn()
        return str.__eq__(self, other)

    def __hash__(self):
        self.churn()
        return str.__hash__(self)

    def __len__(self):
        self.churn()
        return str.__len__(self)

    def __iter__(self):
        self.churn()
        return str.__iter__(self)


class ChurningList(list):
    """A list that empties or refills itself whenever one of its protocols runs."""

    def __eq__(self, other):
        churn(self)
        return list.__eq__(self, other)

    def __hash__(self):
        churn(self)
        return 2

    def __iter__(self):
        churn(self)
        return list.__iter__(self)

    def __len__(self):
        churn(self)
        return list.__len__(self)

    def __contains__(self, item):
        churn(self)
        return list.__contains__(self, item)

    def __getitem__(self, index):
        churn(self)
        return list.__getitem__(self, index)


class ChurningDict(dict):
    """A dict that empties or refills itself whenever one of its protocols runs."""

    def __eq__(self, other):
        churn(self)
        return dict.__eq__(self, other)

    def __hash__(self):
        churn(self)
        return 3

    def __iter__(self):
        churn(self)
        return dict.__iter__(self)

    def __len__(self):
        churn(self)
        return dict.__len__(self)

    def __contains__(self, key):
        churn(self)
        return dict.__contains__(self, key)

    def __getitem__(self, key):
        churn(self)
        return dict.__getitem__(self, key)

    def get(self, key, default=None):
        churn(self)
        return dict.get(self, key, default)

    def items(self):
        churn(self)
        return dict.items(self)

    def keys(self):
        churn(self)
        return dict.keys(self)

    def values(self):
        churn(self)
        return dict.values(self)


class OddItems(dict):
    """A dict whose items() are not pairs."""

    def items(self):
        return [("only",), 5, ("a", "b", "c"), None]


def list_churned_by_its_elements():
    value = ["a", 1, {"k": "v"}]
    value.insert(1, Churning(value))
    value.append(ChurningText("b", value))
    return value


def dict_churned_by_its_keys_and_values():
    value = {"a": 1, "type": "string"}
    value[ChurningText("k", value)] = Churning(value)
    value["z"] = [Churning(value)]
    return value


def churning_list():
    return ChurningList(["a", "b", {"k": [1, 2]}, ChurningText("c")])


def churning_dict():
    return ChurningDict({"a": [1], "type": "string", "items": ChurningDict({"k": "v"})})


def self_holding_churning_list():
    value = ChurningList(["a"])
    value.append(value)
    return value


def self_holding_churning_dict():
    value = ChurningDict(a=1)
    value["self"] = value
    return value


def churning_schema():
    """A schema-shaped mapping whose parts rewrite each other."""
    properties = ChurningDict({"name": {"type": "string"}, "tags": {"type": "array", "items": {"type": "string"}}})
    required = ChurningList(["name"])
    schema = {"title": ChurningText("Book", properties), "type": "object", "properties": properties,
              "required": required, "options": [Churning(required), "a"]}
    schema["indexed"] = [Churning(schema, properties)]
    return schema


def deep_churning(depth=5_000):
    value = churning_list()
    for i in range(depth):
        value = ChurningDict(k=value) if i % 2 else ChurningList([value])
    return value


DEEP = nested_list(100_000)


def deep_list_churned_at_the_top():
    value = [DEEP, "a"]
    value.append(Churning(value))
    return value


def hostile_makers():
    makers = [
        churning_list, churning_dict, list_churned_by_its_elements, dict_churned_by_its_keys_and_values,
        self_holding_churning_list, self_holding_churning_dict, churning_schema, deep_churning,
        lambda: OddItems(a=1), lambda: {"nested": OddItems(b=2)}, lambda: ChurningText("text", []),
        deep_list_churned_at_the_top, lambda: ("\ud800", "\udfff\ud800", {"\udc80": "\ud83d"}),
        lambda: {"\ud800": ChurningText("\udfff")}, lambda: ChurningText("\ud800"),
        lambda: pathlib.Path("surrogate\udcff"),
    ]
    return makers + [lambda make=make: Dumps(make()) for make in makers]


class Fresh:
    """A value made anew for each call: a hostile value is spent once it has rewritten itself."""

    def __init__(self, make):
        self.make = make


def made(value):
    return value.make() if isinstance(value, Fresh) else value


class RebindingName(str):
    """A keyword name whose comparison and hash give the function fresh defaults and annotations:
    whatever the binder read from the old ones is freed."""

    def __new__(cls, text, function):
        made = super().__new__(cls, text)
        made.function = getattr(function, "__func__", function)
        return made

    def rebind(self):
        for attribute, copy in (("__kwdefaults__", dict), ("__defaults__", tuple), ("__annotations__", dict)):
            try:
                current = getattr(self.function, attribute)
                if current is not None:
                    setattr(self.function, attribute, copy(current))
            except Exception:  # noqa: BLE001 - a read-only attribute stays as it is
                pass

    def __eq__(self, other):
        self.rebind()
        return str.__eq__(self, other)

    def __hash__(self):
        self.rebind()
        return str.__hash__(self)


def shapes(function, values, hostile=False):
    """Argument lists for a callable: nothing, too many, and each bad value in each position;
    with hostile names too, each parameter named by a keyword that rebinds the function's defaults."""
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
    if hostile:
        for name in [p.name for p in parameters] + ["unexpected_keyword"]:
            yield (), {RebindingName(name, function): None}
            yield (None,), {RebindingName(name, function): None}
    for value in values:
        for at in range(count):
            args = [None] * count
            args[at] = made(value)
            yield tuple(args), {}
        yield tuple(made(value) for _ in range(count)), {}
        for name in keyword_only:
            yield (None,) * len(positional), {name: made(value)}


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


def sweep(entries, values, instances, hostile=False):
    calls = raised = 0
    for name, function in entries:
        for args, kwargs in shapes(function, values, hostile):
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


def frame_functions(entries):
    """The module's own function objects, also those behind methods, properties and decorators."""
    for _, value in entries:
        members = vars(value).values() if isinstance(value, type) else [value]
        for member in members:
            for inner in ("__func__", "fget", "func", "__wrapped__"):
                member = getattr(member, inner, member)
            if type(member).__name__ == "function" and not isinstance(member, types.FunctionType):
                yield member


class RebindingKey(str):
    """A keyword-defaults key whose comparison gives the function a new keyword-defaults dict."""

    def __new__(cls, text, function):
        made = super().__new__(cls, text)
        made.function = function
        return made

    __hash__ = str.__hash__

    def __eq__(self, other):
        self.function.__kwdefaults__ = {f"other {i}": i for i in range(50)}
        return str.__eq__(self, other)


def rebinding_sweep(functions):
    """Signatures and calls while the function's defaults and annotations are replaced under them."""
    calls = raised = 0
    original = inspect.Parameter
    for function in functions:
        kept = function.__defaults__, function.__kwdefaults__, dict(function.__annotations__)

        class Rebinding(original):
            def __init__(self, *args, function=function, **kwargs):
                function.__annotations__ = {f"other {i}": "x" for i in range(3)}
                function.__defaults__ = None
                function.__kwdefaults__ = {}
                super().__init__(*args, **kwargs)

        inspect.Parameter = Rebinding
        try:
            calls += 1
            inspect.signature(function)
        except Exception:  # noqa: BLE001
            raised += 1
        finally:
            inspect.Parameter = original
            function.__defaults__, function.__kwdefaults__, function.__annotations__ = kept
        parameters = list(inspect.signature(function).parameters.values())
        keyword_only = [p.name for p in parameters if p.kind == p.KEYWORD_ONLY]
        positional = len(parameters) - len(keyword_only)
        for _ in keyword_only:
            function.__kwdefaults__ = {RebindingKey(name, function): None for name in keyword_only}
            try:
                calls += 1
                function(*[None] * positional)
            except Exception:  # noqa: BLE001
                raised += 1
            finally:
                function.__kwdefaults__ = kept[1]
    return calls, raised


def main(dotted, batch="plain"):
    module = __import__(dotted, fromlist=["_"])
    entries = list(entry_points(module))
    if batch == "rebinding":
        calls, raised = rebinding_sweep(list(frame_functions(entries)))
        return print(f"calls={calls} raised={raised}")
    instances = []
    calls = raised = 0
    if batch == "plain":
        values = bad_values()
    else:
        # The hostile values rarely build an instance: build some from the plain ones first, so that
        # the instances' methods and properties meet the hostile values too.
        classes = [(name, value) for name, value in entries if isinstance(value, type)]
        calls, raised = sweep(classes, bad_values(), instances)
        values = [Fresh(make) for make in hostile_makers()]
    hostile = batch != "plain"
    more_calls, more_raised = sweep(entries, values, instances, hostile)
    calls, raised = calls + more_calls, raised + more_raised
    for instance in instances:
        more_calls, more_raised = sweep(instance_entry_points(instance), values, [], hostile)
        calls, raised = calls + more_calls, raised + more_raised
    print(f"calls={calls} raised={raised} instances={len(instances)}")


if __name__ == "__main__":
    main(*sys.argv[1:])
