"""The definitions of the frame_probe extension module, written as plain Python."""

import functools
import tempfile
from typing import Generic, TypeVar

EVENTS = []


def empty():
    pass


def pair(a, b):
    return a


def options(a, b=None, c=False):
    return a


def describe(a: "int", b: "str" = "x", *, flag: "bool" = True, extra: "Any" = None) -> "tuple":
    """Returns its arguments."""
    return (a, b, flag, extra)


def wide(p0, p1, p2, p3, p4, p5, p6, p7=7, p8=8, p9=9, *, k0, k1=11, k2=12, k3=13):
    return [p0, p1, p2, p3, p4, p5, p6, p7, p8, p9, k0, k1, k2, k3]


def key_only(a, *, key, other=0):
    return a


def needs_key(a, *, key: "str", other=0):
    return (a, key, other)


def exact(text: "str", items: "list", mapping: "dict") -> "int":
    return len(text) + len(items) + len(mapping)


def swap_defaults(first=None, *, second=None):
    swap_defaults.__defaults__ = (None,)
    swap_defaults.__kwdefaults__["second"] = None
    return (first, second)


def helper(x):
    return ("helper", x)


def module_flag(module):
    return module.flag, len(module)


def call_helper(x):
    return helper(x)


def fact(n):
    return 1 if n <= 1 else n * fact(n - 1)


def make_adder(n):
    return lambda x: x + n


def depth(value):
    if not isinstance(value, (list, dict)):
        return 0
    children = value.values() if isinstance(value, dict) else value
    return 1 + max((depth(child) for child in children), default=0)


def fail(message):
    raise ValueError(message)


def subscript(value, key):
    return value[key]


def upper(value):
    return value.upper()


def first_of_pair(value):
    first, second = value
    return first


def chained(source):
    try:
        return source()
    except KeyError as error:
        raise LookupError("missing") from error


def use_context(manager, action):
    with manager as value:
        return action(value)


def keyword_subset(function, first, second):
    given = {key: value for key, value in (("first", first), ("second", second)) if value is not None}
    return function(**given)


def order_of(x, y):
    return (x < y, x <= y, x > y, x >= y)


def add_to(items, value):
    items.add(value)
    return items


def get_from(mapping, key):
    return mapping.get(key)


def divided(left, right):
    return left / right


def difference(left, right):
    return left - right


def late_dedent():
    from textwrap import dedent

    return dedent


def noted(subject, action):
    try:
        return action()
    except Exception as error:
        error.add_note(f"in file {subject}")
        raise


def qualified(module, name):
    return f"{module}.{name}"


def raise_here(message):
    raise ValueError(message)


def set_error_plainly(message):
    raise ValueError(message)


def context_raised(manager):
    with manager:
        raise ValueError("inside")


def suppressing(manager, action):
    with manager as value:
        return action(value)
    return "suppressed"


def count_up(n):
    EVENTS.append("start")
    for i in range(n):
        yield i
    EVENTS.append("end")


def echo(value=None):
    while True:
        try:
            value = yield value
        except ValueError as error:
            value = ("caught", str(error))


def delegate(inner):
    result = yield from inner
    yield ("done", result)


def read_lines(path):
    with open(path, encoding="utf-8") as handle:
        yield handle
        for line in handle:
            yield line


def in_tempdir():
    with tempfile.TemporaryDirectory() as folder:
        yield folder
        yield folder


def returns_value(value):
    yield 1
    return value


def holds_local(factory):
    keep = factory()
    with tempfile.TemporaryDirectory() as folder:
        both = (keep, folder)
        yield both
        yield both


def stubborn_tempdir():
    with tempfile.TemporaryDirectory() as folder:
        while True:
            try:
                yield folder
            except GeneratorExit:
                pass


def numbers(n, value):
    for _ in range(n):
        yield value


def guarded_pause():
    yield None


def leaks_stop():
    yield 1
    raise StopIteration


class Tag:
    def __init__(self):
        self.owner = None
        self.name = None

    def __set_name__(self, owner, name):
        self.owner = owner
        self.name = name


class Meta(type):
    @classmethod
    def __prepare__(mcs, name, bases, *, flavour=None):
        return {"prepared_by": "Meta", "prepared_flavour": flavour}


class Base(metaclass=Meta):
    """A probe class."""

    kind: "str"
    count: "int" = 0
    tag = Tag()
    registered = []

    def __init_subclass__(cls, *, flavour=None):
        Base.registered.append((cls.__name__, flavour))

    def __init__(self, value):
        self.value = value
        self.calls = 0

    def get(self, extra=None):
        return (self.value, extra)

    @classmethod
    def make(cls, value):
        return cls(value)

    @staticmethod
    def twice(x):
        return x + x

    def first(self, x):
        return x

    def pick(self, x=None):
        return x

    @classmethod
    def first_of(cls, x):
        return x

    @staticmethod
    def same(x):
        return x

    @property
    def doubled(self):
        return self.value + self.value

    @functools.cached_property
    def cached(self):
        self.calls += 1
        return ("cached", self.value)

    @functools.cache
    def lookup(self, key):
        self.calls += 1
        return (key, self.value)

    def explode(self):
        raise RuntimeError("exploded")


T = TypeVar("T")


class Box(Generic[T]):
    def __init__(self, value):
        self.value = value
        self.calls = 0

    def get(self, extra=None):
        return (self.value, extra)


def derive(bases):
    class Derived(*bases):
        pass

    return Derived
