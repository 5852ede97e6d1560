"""The binders' instances behave as instances of a Python class: their attributes, in the order
they were set, reach vars() and pickling, and a subclass's own stores and descriptors take over."""

import gc
import pickle
import sys
from types import SimpleNamespace

import pytest

from korvan_models.schemas.extenders.custom_code_binder import CustomCodeBinder
from korvan_models.schemas.extenders.options_binder import OptionsBinder


class Reader:
    """A picklable loader over records made in memory."""

    def __init__(self, *records):
        self.records = records

    def iter_options(self):
        return iter(self.records)

    iter_custom_code = iter_options


class PythonOptionsBinder:
    def __init__(self, options_reader):
        self._options_reader = options_reader
        self._options = {schema.title: schema for schema in self._options_reader.iter_options()}
        self._used_options = set()


class PythonCustomCodeBinder:
    def __init__(self, custom_code_reader):
        self._custom_code_reader = custom_code_reader
        self._custom_code_schemas = {schema.name: schema for schema in self._custom_code_reader.iter_custom_code()}
        self._used_custom_codes = set()


def record(key):
    return SimpleNamespace(title=key, name=key, values=[key], code=f"X = {key!r}")


PAIRS = [(OptionsBinder, PythonOptionsBinder, "_options"), (CustomCodeBinder, PythonCustomCodeBinder, "_custom_code_schemas")]


def shape(instance):
    """vars() of a binder with its records replaced by their keys, so both twins compare."""
    return [(k, sorted(v) if isinstance(v, (dict, set)) else type(v).__name__) for k, v in vars(instance).items()]


@pytest.mark.parametrize("ours, twin, table", PAIRS)
def test_attributes_order_reinit_and_deletion_as_the_python_twin(ours, twin, table):
    for cls in (ours, twin):  # the first instance of each teaches the fast stores; later ones use them
        cls(Reader())
    mine, theirs = ours(Reader(record("a"), record("b"))), twin(Reader(record("a"), record("b")))
    assert shape(mine) == shape(theirs) and list(vars(mine)[table]) == ["a", "b"]

    # Re-running __init__ replaces the values (the old reader is released), a deleted attribute
    # comes back last, and a made __dict__ keeps taking the stores.
    old, new = Reader(record("c")), Reader(record("d"))
    for instance in (mine, theirs):
        type(instance).__init__(instance, old)
        before = sys.getrefcount(old)
        type(instance).__init__(instance, new)
        assert sys.getrefcount(old) == before - 1
        delattr(instance, table)
        type(instance).__init__(instance, old)
        vars(instance)["extra"] = 1
        type(instance).__init__(instance, new)
    assert shape(mine) == shape(theirs) and vars(mine)[table].keys() == {"d"}
    assert list(vars(mine))[-2:] == [table, "extra"]

    copy = pickle.loads(pickle.dumps(mine))
    assert type(copy) is ours and shape(copy) == shape(mine)
    assert vars(copy)[table]["d"].code == "X = 'd'"


@pytest.mark.parametrize("ours, twin, table", PAIRS)
def test_subclasses_and_class_changes_take_their_own_stores(ours, twin, table, monkeypatch):
    ours(Reader())
    stored = []

    class Logged(ours):
        def __init_subclass__(cls, **kwargs):
            stored.append(("subclass", cls.__name__))

        def __setattr__(self, key, value):
            stored.append(key)
            super().__setattr__(key, value)

    class Guarded(ours):
        seen = []

        @property
        def _options(self):  # a data descriptor under a stored name takes the store
            return self.seen

        @_options.setter
        def _options(self, value):
            self.seen.append(dict(value))

        _custom_code_schemas = _options

    class Again(Logged):
        pass

    logged, again = [Logged(Reader(record("x"))) for _ in range(2)][1], Again(Reader())
    names = list(vars(twin(Reader())))
    assert stored == [("subclass", "Again"), *names * 3]
    assert list(vars(logged)) == list(vars(again)) == names

    guarded = Guarded(Reader(record("y")))
    assert Guarded.seen == [{"y": guarded.seen[0]["y"]}] and table not in vars(guarded)

    # Changing the class itself after its instances were made sends stores back to the full path.
    calls = []

    def noted(self, key, value):
        calls.append(key)
        object.__setattr__(self, key, value)

    monkeypatch.setattr(ours, "__setattr__", noted, raising=False)
    assert list(vars(ours(Reader()))) == list(vars(ours(Reader()))) == names and calls == names * 2
    monkeypatch.undo()
    assert list(vars(ours(Reader()))) == names and calls == names * 2

    gc.collect()


class Hooked:
    """A record whose key, when read, runs the loader's hook (which may change what is iterated)."""

    def __init__(self, key, hook=None):
        self.key, self.hook, self.values, self.code = key, hook, [key], key

    @property
    def title(self):
        if self.hook:
            self.hook()
        return self.key

    name = title


@pytest.mark.parametrize("ours, twin, table", PAIRS)
def test_records_read_while_the_list_changes_under_the_walk(ours, twin, table):
    def keys(cls, make):
        records = []
        iterator = iter(records)
        loader = SimpleNamespace(iter_options=lambda: iterator, iter_custom_code=lambda: iterator)
        make(records, iterator)
        return list(vars(cls(loader))[table]), next(iterator, "done"), len(records)

    def grows_and_steps(records, iterator):
        records += [Hooked("a", lambda: records.append(Hooked("late"))), Hooked("b", lambda: next(iterator)),
                    Hooked("skipped"), Hooked("c", records.clear), Hooked("gone")]

    assert keys(ours, grows_and_steps) == keys(twin, grows_and_steps) == (["a", "b", "c"], "done", 0)
    assert keys(ours, lambda records, it: None) == keys(twin, lambda records, it: None) == ([], "done", 0)
