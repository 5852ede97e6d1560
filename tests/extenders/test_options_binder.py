import json
import logging
from types import SimpleNamespace

import pytest

from korvan_models.errors import KorvanValidationError
from korvan_models.schemas.extenders import options_binder as module
from korvan_models.schemas.extenders.options_binder import OptionsBinder
from korvan_models.schemas.loaders.base import JsonOptionsLoader
from korvan_utils.models.data_models.schema import ObjectSchema

UNKNOWN = "Options list name={} is unknown. Make sure to create corresponding options list under models/options folder"


def loader(tmp_path, **lists):
    folder = tmp_path / "models" / "options"
    folder.mkdir(parents=True, exist_ok=True)
    for file_name, (title, values) in lists.items():
        data = {"title": title, "values": [{"value": v} for v in values]}
        (folder / f"{file_name}.json").write_text(json.dumps(data), "utf-8")
    return JsonOptionsLoader(folder)


def schema(title="Book", **list_names):
    properties = {name: {"type": "string", "options_list_name": ref} for name, ref in list_names.items()}
    return ObjectSchema.model_validate({"title": title, "type": "object", "properties": properties or None})


def warnings_of(caplog, call):
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger=module.__name__):
        call()
    return [(r.name, r.levelname, r.msg, r.args) for r in caplog.records]


def test_module_names_and_signatures():
    assert [n for n in vars(module) if n[0] != "_"] == [
        "logging", "ObjectSchema", "KorvanValidationError", "OptionsLoaderBase", "logger", "OptionsBinder"]
    assert module.logger is logging.getLogger("korvan_models.schemas.extenders.options_binder")
    assert OptionsBinder.__init__.__annotations__ == {"options_reader": "OptionsLoaderBase"}
    assert OptionsBinder.extend.__annotations__ == {"config": "ObjectSchema", "return": "None"}
    assert OptionsBinder.post_extend.__annotations__ == {"return": "None"}


def test_binding_sharing_and_the_unused_lists_warning(tmp_path, caplog):
    reader = loader(tmp_path, a=("genres", ["poem", "novel"]), b=("sizes", [1, 2]), c=("genres", ["novel"]))
    binder = OptionsBinder(reader)
    assert list(binder._options) == ["genres", "sizes"] and binder._options_reader is reader
    first, second = schema(genre="genres", plain="", other=None), schema("Film", kind="genres")
    untouched = [schema("Empty"), ObjectSchema.model_validate({"title": "E", "type": "object", "properties": {}})]
    for config in [first, second, *untouched]:
        assert binder.extend(config) is None
    values = binder._options["genres"].values
    assert [o.value for o in values] == ["novel"]  # a later list with the same title replaces the earlier
    assert first.properties["genre"].options is values and second.properties["kind"].options is values
    assert first.properties["plain"].options is None and binder._used_options == {"genres"}
    expected = (module.__name__, "WARNING", f"Unused options lists: {{'sizes'}} for {reader}", ())
    assert warnings_of(caplog, binder.post_extend) == [expected]
    assert warnings_of(caplog, binder.post_extend) == [expected]  # used names are not reset
    binder.extend(schema(size="sizes"))
    assert warnings_of(caplog, binder.post_extend) == []


def test_unknown_list_name_raises_after_binding_earlier_properties(tmp_path, caplog):
    binder = OptionsBinder(loader(tmp_path, a=("genres", ["poem"])))
    config = schema(genre="genres", size="sizes", late="genres")
    config.properties["late"].options = None
    with pytest.raises(KorvanValidationError) as caught:
        binder.extend(config)
    assert caught.value.args == (UNKNOWN.format("sizes"),)
    assert config.properties["genre"].options is not None and config.properties["late"].options is None
    assert binder._used_options == {"genres"}
    empty = OptionsBinder(JsonOptionsLoader(tmp_path / "missing"))
    with pytest.raises(KorvanValidationError, match="=genres is unknown"):
        empty.extend(schema(genre="genres"))
    assert warnings_of(caplog, empty.post_extend) == []


def test_records_without_the_attribute_and_mid_walk_changes():
    options = SimpleNamespace(title=7, values=["v"])
    binder = OptionsBinder(SimpleNamespace(iter_options=lambda: iter([options])))
    bare, numbered = SimpleNamespace(), SimpleNamespace(options_list_name=7)
    binder.extend(SimpleNamespace(properties={"bare": bare, "numbered": numbered}))
    assert not hasattr(bare, "options") and numbered.options is options.values
    with pytest.raises(KorvanValidationError, match="^Options list name=8 is unknown"):
        binder.extend(SimpleNamespace(properties={"n": SimpleNamespace(options_list_name=8)}))

    class Growing:
        options_list_name = 7

        def __setattr__(self, key, value):
            properties["more"] = self

    properties = {"g": Growing()}
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        binder.extend(SimpleNamespace(properties=properties))
