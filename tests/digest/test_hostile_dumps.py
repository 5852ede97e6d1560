"""Dumps that change under the encoder's feet, and deep ones: the fingerprint copes as the host encoder does."""

import hashlib
import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from korvan_models.schemas.utils.schema_digest import calculate_schema_digest


class Record:
    def __init__(self, dump):
        self.dump = dump

    def model_dump(self):
        return self.dump


def outcome(function, dump):
    """The digest, or the type and text of the error: comparable between ours and the host's."""
    try:
        return function(dump)
    except Exception as error:  # noqa: BLE001 - the error itself is the outcome
        return type(error), str(error)


def ours(dump):
    return calculate_schema_digest(Record(dump))


def host(dump):
    return hashlib.sha256(json.dumps(dump, default=str, sort_keys=True).encode("utf-8")).hexdigest()


class OnStr:
    """Runs an action on the enclosing container when written through str()."""

    def __init__(self, action, text="shown"):
        self.action, self.text = action, text

    def __str__(self):
        self.action()
        return self.text


def shrinking_list():
    items = []
    items.extend([OnStr(items.clear), "a", 2, {"k": "v"}])
    return items


def growing_list():
    items = []
    items.extend([OnStr(lambda: items.extend(["x"] * 50)), 1])
    return items


def replaced_items():
    items = []
    items.extend([OnStr(lambda: items.__setitem__(slice(None), [[1, 2], "new", 3.5, None])), "old", "older"])
    return items


def nested_emptied():
    inner = [1, 2, 3]
    return {"a": [OnStr(inner.clear)], "b": inner, "c": [OnStr(lambda: inner.append({"x": inner[:]}))]}


def emptied_mapping():
    mapping = {}
    mapping.update(a=OnStr(mapping.clear), b=[1, 2], c="three")
    return mapping


def items_returning(result):
    class Mapping(dict):
        def items(self):
            return result() if callable(result) else result

    return Mapping(stored=1)


class SortMutates(str):
    """A key whose ordering empties the mapping being sorted."""

    target = None

    def __lt__(self, other):
        if SortMutates.target is not None:
            SortMutates.target.clear()
        return str.__lt__(self, other)


def mutated_while_sorting():
    mapping = {SortMutates("b"): [1], SortMutates("a"): OnStr(lambda: None), "c": 3}
    SortMutates.target = mapping
    return mapping


def self_items():
    class Mapping(dict):
        def items(self):
            return [("self", self)]

    return Mapping(stored=1)


def empty_storage_with_items():
    class Mapping(dict):
        def items(self):
            raise AssertionError("an empty mapping is written as {} without asking for its items")

    return {"m": Mapping()}


HOSTILE = {
    "list shrinks while an element is written": shrinking_list,
    "list grows while an element is written": growing_list,
    "list items replaced while an element is written": replaced_items,
    "shared inner list emptied and refilled": nested_emptied,
    "mapping emptied while a value is written": emptied_mapping,
    "items() gives a three-tuple": lambda: items_returning([("a", 1, 2)]),
    "items() gives a list pair": lambda: items_returning([["a", 1]]),
    "items() gives a bare value after a good pair": lambda: items_returning([("a", OnStr(lambda: None)), "zz"]),
    "items() gives pairs out of order": lambda: items_returning([("b", 1), ("a", [2])]),
    "items() gives a generator": lambda: items_returning(lambda: (pair for pair in [("z", 1), ("y", 2)])),
    "items() gives a non-iterable": lambda: items_returning(5),
    "items() gives a non-text key": lambda: items_returning([((1,), 1)]),
    "items() gives the mapping itself back": self_items,
    "empty mapping storage": empty_storage_with_items,
    "key ordering empties the mapping": mutated_while_sorting,
    "lone surrogates": lambda: {"\udc80": ["\ud800", "a\udfffb"], "k": OnStr(lambda: None, "\ud83d")},
}


@pytest.mark.parametrize("make", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_dumps_give_the_host_encoders_outcome(make):
    assert outcome(ours, make()) == outcome(host, make())


def test_another_thread_rewriting_a_list_inside_the_dump():
    shared = list(range(20))
    stop = threading.Event()

    class Yielding:
        def __str__(self):
            time.sleep(0)  # lets the other thread run mid-list
            return "yielded"

    def rewrite():
        while not stop.is_set():
            shared.clear()
            shared.extend([Yielding(), "text", [1, 2], {"k": Yielding()}] * 5)

    writer = threading.Thread(target=rewrite)
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    writer.start()
    try:
        deadline = time.monotonic() + 1.5
        dump = {"shared": shared, "again": [shared, Yielding()]}
        while time.monotonic() < deadline:
            assert len(ours(dump)) == 64
    finally:
        stop.set()
        writer.join()
        sys.setswitchinterval(previous)


def nested(kind, depth):
    value = "leaf"
    for _ in range(depth):
        value = {"k": value} if kind == "dict" else [value] if kind == "list" else (value,)
    return value


@pytest.mark.parametrize("kind", ["list", "dict", "tuple"])
def test_recursion_limit_is_the_host_encoders(kind):
    deepest = next(depth for depth in range(3000, 0, -1) if not isinstance(outcome(host, nested(kind, depth)), tuple))
    for depth in (deepest - 10, deepest - 3):
        assert ours(nested(kind, depth)) == host(nested(kind, depth))
    for depth in (deepest + 10, 100_000):
        with pytest.raises(RecursionError, match="while encoding a JSON object"):
            ours(nested(kind, depth))


SMALL_STACK = textwrap.dedent(
    """
    import json, sys, threading
    from korvan_models.schemas.utils.schema_digest import calculate_schema_digest

    class Record:
        def __init__(self, dump):
            self.dump = dump

        def model_dump(self):
            return self.dump

    def nested(kind, depth):
        value = "leaf"
        for _ in range(depth):
            value = {"k": value} if kind == "dict" else [value]
        return value

    def in_thread(kib, call):
        found = []

        def run():
            try:
                found.append(call())
            except RecursionError:
                found.append("RecursionError")

        threading.stack_size(kib * 1024)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        return found[0]

    print(in_thread(176, lambda: json.dumps(nested("list", 100_000), default=str, sort_keys=True)))
    for kind in ("list", "dict"):
        print(in_thread(240, lambda: calculate_schema_digest(Record(nested(kind, 100_000)))))
        print(in_thread(240, lambda: len(calculate_schema_digest(Record(nested(kind, 1000))))))
    """
)


@pytest.mark.skipif(os.environ.get("KORVAN_SANITIZED") == "1", reason="sanitizer frames need far larger stacks")
def test_deep_dump_in_a_small_thread_stack_raises_recursion_error(tmp_path):
    done = subprocess.run([sys.executable, "-c", SMALL_STACK], capture_output=True, text=True, cwd=tmp_path,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.split() == ["RecursionError", "RecursionError", "64", "RecursionError", "64"]
