import logging
from types import SimpleNamespace

import pytest

from korvan_models.schemas.data_models.custom_code import CustomCodeSchema
from korvan_models.schemas.extenders import custom_code_binder as module
from korvan_models.schemas.extenders.custom_code_binder import CustomCodeBinder
from korvan_models.schemas.loaders.base import CustomCodeLoaderBase
from korvan_utils.models.data_models.schema import ObjectSchema


class Reader(CustomCodeLoaderBase):
    """A caller's loader over records it was given."""

    def __init__(self, *records):
        self.records = records

    def __str__(self):
        return "Reader(models)"

    def iter_custom_code(self):
        yield from self.records


def schema(title, custom_code=None):
    return ObjectSchema.model_validate({"title": title, "type": "object", "custom_code": custom_code})


def warnings_of(caplog, call):
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger=module.__name__):
        call()
    return [(r.name, r.levelname, r.msg, r.args, r.getMessage()) for r in caplog.records]


def test_module_names_and_signatures():
    assert [n for n in vars(module) if n[0] != "_"] == [
        "logging", "ObjectSchema", "CustomCodeLoaderBase", "logger", "CustomCodeBinder"]
    assert module.logger is logging.getLogger("korvan_models.schemas.extenders.custom_code_binder")
    assert CustomCodeBinder.__init__.__annotations__ == {"custom_code_reader": "CustomCodeLoaderBase"}
    assert CustomCodeBinder.extend.__annotations__ == {"config": "ObjectSchema", "return": "None"}
    assert CustomCodeBinder.post_extend.__annotations__ == {"return": "None"}


def test_binding_and_the_lazy_unused_code_warning(caplog):
    reader = Reader(*(CustomCodeSchema(name=n, code=f"{n} = {i}") for i, n in enumerate(["Book", "Film", "Song",
                                                                                          "Book"])))
    binder = CustomCodeBinder(reader)
    assert list(binder._custom_code_schemas) == ["Book", "Film", "Song"] and binder._custom_code_reader is reader
    book, again, lower, other = schema("Book", "old"), schema("Book"), schema("book", "kept"), schema("Author")
    for config in (book, again, lower, other):
        assert binder.extend(config) is None
    assert book.custom_code == again.custom_code == "Book = 3"  # the later record replaced the earlier
    assert (lower.custom_code, other.custom_code, binder._used_custom_codes) == ("kept", None, {"Book"})
    [record] = warnings_of(caplog, binder.post_extend)
    names = ", ".join(binder._custom_code_schemas.keys() - {"Book"})
    assert record == (module.__name__, "WARNING", "Unused custom codes: %s for %s", (names, reader),
                      f"Unused custom codes: {names} for Reader(models)")
    assert sorted(names.split(", ")) == ["Film", "Song"]
    assert len(warnings_of(caplog, binder.post_extend)) == 1  # used names are not reset
    binder.extend(schema("Film"))
    binder.extend(schema("Song"))
    assert warnings_of(caplog, binder.post_extend) == []
    assert warnings_of(caplog, CustomCodeBinder(Reader()).post_extend) == []


def test_falsy_records_non_text_names_and_failing_assignment():
    empty = type("Empty", (), {"name": "Void", "code": "x", "__bool__": lambda self: False})()
    binder = CustomCodeBinder(Reader(empty, SimpleNamespace(name=5, code="five = 5")))
    config = SimpleNamespace(title="Void")
    binder.extend(config)
    assert not hasattr(config, "custom_code")
    with pytest.raises(TypeError, match="expected str instance, int found"):
        binder.post_extend()
    locked = type("Locked", (), {"__slots__": ("title",)})()
    locked.title = 5
    with pytest.raises(AttributeError, match="custom_code"):
        binder.extend(locked)
    assert binder._used_custom_codes == set()
