"""Frame classes beside plain-Python classes: the host's class-creation protocol end to end."""

import abc
import functools
import gc
import typing

import pytest


def test_class_namespace_matches(probe, twin):
    ours, plain = probe.Base, twin.Base
    assert ours.__name__ == plain.__name__ == ours.__qualname__ == "Base"
    assert ours.__module__ == "frame_probe"
    assert ours.__doc__ == plain.__doc__ == "A probe class."
    assert ours.__annotations__ == plain.__annotations__ == {"kind": "str", "count": "int"}
    assert ours.count == plain.count == 0
    names = [name for name in vars(plain) if not name.startswith("__")]
    assert [name for name in vars(ours) if not name.startswith("__")] == names
    for name in names:
        if name == "lookup":  # a memo per instance in place of functools.cache: same interface
            assert all(hasattr(vars(ours)[name], a) for a in ("cache_info", "cache_clear", "__wrapped__"))
            continue
        assert type(vars(ours)[name]).__name__ == type(vars(plain)[name]).__name__, name


def test_metaclass_prepare_and_set_name(probe, twin):
    for module in (probe, twin):
        assert type(module.Base) is module.Meta
        assert module.Base.prepared_by == "Meta" and module.Base.prepared_flavour is None
        assert module.Base.tag.owner is module.Base and module.Base.tag.name == "tag"


def test_subclasses_run_init_subclass_with_class_keywords(probe, twin):
    for module in (probe, twin):
        module.Base.registered.clear()

        class Plain(module.Base):
            pass

        class Flavoured(module.Base, flavour="sweet"):
            pass

        assert type(Flavoured) is module.Meta
        assert Flavoured.prepared_flavour == "sweet"
        assert module.Base.registered == [("Plain", None), ("Flavoured", "sweet")]
        assert Flavoured(2).get() == (2, None)
        with pytest.raises(TypeError):

            class Unknown(module.Base, colour="red"):
                pass

    # type() makes __init_subclass__ a class method for plain functions; the frame does the same.
    assert isinstance(vars(probe.Base)["__init_subclass__"], classmethod)


def test_metaclass_derivation_and_conflict(probe, twin):
    class OtherMeta(type):
        pass

    class Other(metaclass=OtherMeta):
        pass

    class SubMeta(probe.Meta):
        pass

    class Narrow(metaclass=SubMeta):
        pass

    assert type(probe.derive((probe.Base,))) is probe.Meta
    assert type(probe.derive((probe.Base, Narrow))) is SubMeta
    assert probe.derive(()).__bases__ == (object,)
    assert probe.derive((twin.Base,)).__mro__[1] is twin.Base
    for bases in [(probe.Base, Other), (twin.Base, Other)]:
        with pytest.raises(TypeError) as ours:
            probe.derive(bases)
        with pytest.raises(TypeError) as plain:
            twin.derive(bases)
        assert str(ours.value) == str(plain.value) == (
            "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass "
            "of the metaclasses of all its bases"
        )


class Entries:
    def __init__(self, result):
        self.result = result

    def __mro_entries__(self, bases):
        return self.result


def test_mro_entries_and_orig_bases(probe, twin):
    for module in (probe, twin):
        assert module.Box.__orig_bases__ == (typing.Generic[module.T],)
        assert module.Box.__parameters__ == (module.T,)
        assert typing.Generic in module.Box.__mro__
        assert module.Box[int](3).get() == (3, None)

    entry = Entries((dict,))
    for module in (probe, twin):
        derived = module.derive((entry,))
        assert derived.__bases__ == (dict,) and derived.__orig_bases__ == (entry,)
        with pytest.raises(TypeError) as raised:
            module.derive((Entries([dict]),))
        assert str(raised.value) == "__mro_entries__ must return a tuple"


def test_abstract_bases_are_honoured(probe, twin):
    class Interface(abc.ABC):
        @abc.abstractmethod
        def get(self):
            ...

    for module in (probe, twin):
        derived = module.derive((Interface,))
        with pytest.raises(TypeError):
            derived()
        assert isinstance(module.derive((Interface, module.Box)), abc.ABCMeta)


def test_cached_property_and_cached_method(probe, twin):
    for module in (probe, twin):
        base = module.Base(5)
        assert base.cached == base.cached == ("cached", 5)
        assert base.calls == 1 and vars(base)["cached"] == ("cached", 5)
        assert base.lookup("k") == base.lookup("k") == ("k", 5)
        assert base.calls == 2
        assert base.lookup("j") == ("j", 5) and base.calls == 3
        assert isinstance(vars(module.Base)["cached"], functools.cached_property)
        assert module.Base.cached.attrname == "cached"
        assert module.Base.lookup.cache_info().currsize >= 2


def test_instance_attributes_and_errors(probe, twin):
    for module in (probe, twin):
        base = module.Base("v")
        assert base.value == "v" and base.calls == 0
        with pytest.raises(RuntimeError, match="exploded"):
            base.explode()
        with pytest.raises(TypeError):
            module.Base()


class Record:
    pass


class Slotted:
    __slots__ = ("value",)


class Computed:
    @property
    def value(self):
        return "computed"


def test_record_fields_are_read_where_this_runtime_keeps_them(probe):
    record = Record()
    record.other, record.value = 1, "own"
    # On a runtime whose object layout differs, the frame's in-place read must be revisited.
    assert probe.dict_in_place(record) is True
    fresh = Record()  # values kept inline until a dict is asked for
    fresh.value = "inline"
    for instance, expected in [(record, "own"), (fresh, "inline"), (Computed(), "computed")]:
        assert probe.record_value(instance) == expected == instance.value
    # Reading left the fresh instance's values inline: no dict was made for it (the collector sees
    # the values themselves until one is).
    assert not any(type(referent) is dict for referent in gc.get_referents(fresh))
    slotted = Slotted()
    slotted.value = "slot"
    assert probe.record_value(slotted) == "slot" and probe.dict_in_place(slotted) is False
    record.value = "changed"
    assert probe.record_value(record) == "changed"


def test_record_reads_of_inline_values_follow_the_instance_and_its_type(probe):
    # On a runtime whose object layout differs, the frame's in-place reads must be revisited.
    assert probe.layout_checked() is True

    class Inline:
        pass

    class Reordered:  # the same name at another index of its type's shared keys
        pass

    records = [Inline() for _ in range(3)]
    for n, record in enumerate(records):
        record.first, record.value = n, f"v{n}"
    reordered = Reordered()
    reordered.value, reordered.first = "other", 0
    for _ in range(3):  # the first read learns the index, the later ones use it
        assert [probe.record_value(r) for r in records] == ["v0", "v1", "v2"]
        assert probe.record_value(reordered) == "other"
    records[0].value = "changed"
    del records[1].value
    assert probe.record_value(records[0]) == "changed"
    with pytest.raises(AttributeError):
        probe.record_value(records[1])
    assert probe.record_value_or_none(records[1]) is None
    Inline.__getattr__ = lambda self, attribute: f"missing {attribute}"
    assert [probe.record_value(r) for r in records] == ["changed", "missing value", "v2"]
    assert vars(records[2]) == {"first": 2, "value": "v2"}  # a dict made now: read from it
    records[2].value = "in dict"
    assert probe.record_value(records[2]) == "in dict"
    Inline.value = property(lambda self: "from the class")  # a changed type is checked again
    assert [probe.record_value(r) for r in records] == ["from the class"] * 3
    assert not any(type(referent) is dict for referent in gc.get_referents(records[0]))


class Shouting(str):
    def lower(self):
        return "overridden"


class Lowerable:
    def lower(self):
        return "own method"

    def replace(self, old, new):
        return (old, new)


@pytest.mark.parametrize(
    "text, lowered, replaced",
    [
        ("MiXed Ünïcode", "mixed ünïcode", "MiXed Ünïcode".replace("X", "y")),
        (Shouting("ABC"), "overridden", "ABC".replace("X", "y")),
        (Lowerable(), "own method", ("X", "y")),
    ],
)
def test_text_methods_are_str_own_only_for_an_exact_str(probe, text, lowered, replaced):
    assert probe.text_lower(text) == lowered
    assert probe.text_replace(text, "X", "y") == replaced


def test_text_method_errors_are_str_own(probe):
    with pytest.raises(TypeError) as ours:
        probe.text_replace("abc", 1, "y")
    with pytest.raises(TypeError) as plain:
        "abc".replace(1, "y")
    assert str(ours.value) == str(plain.value)
