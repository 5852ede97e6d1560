"""ClassSourceAssembler: the calls it makes on its class writer, once, and the two texts."""

from __future__ import annotations

import functools

import pytest

from korvan_models.classes.builder import class_source_assembler
from korvan_models.classes.builder.ast_generator.class_writer import AstClassWriter
from korvan_models.classes.builder.class_source_assembler import ClassSourceAssembler
from korvan_models.classes.data_models.dependencies import DependencyModelNames
from korvan_models.classes.model import Model, TypeModel
from korvan_models.schemas.utils.schema_digest import calculate_schema_digest
from korvan_utils.models.data_models.schema import ObjectSchema
from korvan_utils.models.enums import SchemaTypes

NAMES = DependencyModelNames()


class RecordingWriter:
    """Stands in for the class writer: records each call with its argument form."""

    fail_model_source = 0

    def __init__(self, *args, **kwargs):
        self.calls = [("__init__", args, kwargs)]

    def __getattr__(self, method):
        if method.startswith("_"):
            raise AttributeError(method)
        return lambda *args, **kwargs: self.calls.append((method, args, kwargs))

    @property
    def model_source(self):
        self.calls.append(("model_source",))
        if RecordingWriter.fail_model_source:
            RecordingWriter.fail_model_source -= 1
            raise RuntimeError("formatter failed")
        return f"class text {len(self.calls)}"

    @property
    def dependencies_source(self):
        self.calls.append(("dependencies_source",))
        return "import text"


@pytest.fixture
def recording(monkeypatch):
    monkeypatch.setattr(class_source_assembler, "AstClassWriter", RecordingWriter)
    RecordingWriter.fail_model_source = 0


def schema(**overrides):
    data = {
        "title": "Book",
        "type": "object",
        "properties": {"title": {"type": "string"}, "pages": {"type": "number"}, "genre": {"type": "string"}},
        "required": ["genre", "title"],
        "custom_code": "def f(self):\n    return 1\n",
    }
    data.update(overrides)
    return ObjectSchema.model_validate(data)


def test_assembly_calls_in_order_with_their_argument_forms(recording):
    book = schema()
    assembler = ClassSourceAssembler("models", book, SchemaTypes.CORE, TypeModel, NAMES)
    writer = assembler.ast_generator
    assert (assembler._schema, assembler._schema_type, assembler._base_class) == (book, SchemaTypes.CORE, TypeModel)
    assert writer.calls == [("__init__", ("models", TypeModel, NAMES), {})]
    assert assembler.model_class_source == "class text 11"
    fingerprint = calculate_schema_digest(book)
    assert writer.calls[1:] == [
        ("register_class", ("Book",), {"extend_type": "object"}),
        ("add_class_data", (), {"schema_type": SchemaTypes.CORE, "class_fingerprint": fingerprint}),
        ("add_class_property", (), {"property_name": "title", "property_config": book.properties["title"], "is_required": True}),
        ("add_class_property", (), {"property_name": "pages", "property_config": book.properties["pages"], "is_required": False}),
        ("add_class_property", (), {"property_name": "genre", "property_config": book.properties["genre"], "is_required": True}),
        ("add_properties_validators", (), {"property_name": "title", "property_config": book.properties["title"]}),
        ("add_properties_validators", (), {"property_name": "pages", "property_config": book.properties["pages"]}),
        ("add_properties_validators", (), {"property_name": "genre", "property_config": book.properties["genre"]}),
        ("add_class_custom_code", (book.custom_code,), {}),
        ("model_source",),
    ]


@pytest.mark.parametrize(
    "overrides", [{"properties": None}, {"properties": {}}, {"custom_code": ""}, {"custom_code": None}, {"required": []}]
)
def test_what_an_empty_part_leaves_out(recording, overrides):
    assembler = ClassSourceAssembler("models", schema(**overrides), SchemaTypes.USER, Model, NAMES)
    assembler.model_class_source
    methods = [call[0] for call in assembler.ast_generator.calls]
    properties = 0 if "properties" in overrides else 3
    assert methods.count("add_class_property") == properties == methods.count("add_properties_validators")
    assert ("add_class_custom_code" in methods) == ("custom_code" not in overrides)
    if "required" in overrides:
        assert all(not call[2]["is_required"] for call in assembler.ast_generator.calls if call[0] == "add_class_property")


def test_assembles_once_in_either_read_order(recording):
    first_imports = ClassSourceAssembler("models", schema(), SchemaTypes.USER, Model, NAMES)
    assert first_imports.dependencies_source == "import text"
    text = first_imports.model_class_source
    assert first_imports.model_class_source is text and first_imports.dependencies_source == "import text"
    methods = [call[0] for call in first_imports.ast_generator.calls]
    assert methods.count("register_class") == 1 and methods.count("model_source") == 1
    assert methods.count("dependencies_source") == 1 and methods.index("model_source") < methods.index("dependencies_source")
    assert vars(first_imports)["model_class_source"] == text  # the cached-property store

    first_class = ClassSourceAssembler("models", schema(), SchemaTypes.USER, Model, NAMES)
    first_class.model_class_source
    first_class.dependencies_source
    first_class.dependencies_source
    assert [call[0] for call in first_class.ast_generator.calls].count("register_class") == 1


def test_failed_assembly_runs_again(recording):
    RecordingWriter.fail_model_source = 1
    assembler = ClassSourceAssembler("models", schema(), SchemaTypes.USER, Model, NAMES)
    with pytest.raises(RuntimeError, match="formatter failed"):
        assembler.dependencies_source
    assert "dependencies_source" not in vars(assembler)
    assert assembler.model_class_source.startswith("class text")
    methods = [call[0] for call in assembler.ast_generator.calls]
    assert methods.count("register_class") == 2  # the same writer, holding what the failed run appended


def test_schema_is_read_at_the_first_read(recording):
    book = schema()
    assembler = ClassSourceAssembler("models", book, SchemaTypes.USER, Model, NAMES)
    book.title = "Renamed"
    book.required = None
    with pytest.raises(TypeError, match="argument of type 'NoneType' is not"):
        assembler.model_class_source
    assert assembler.ast_generator.calls[1] == ("register_class", ("Renamed",), {"extend_type": "object"})


class OddItems(dict):
    """Properties whose items() yields what it is given, pairs or not."""

    def __init__(self, properties, *items):
        super().__init__(properties)
        self.odd = list(items)

    def items(self):
        return self.odd


@pytest.mark.parametrize("item, message", [
    (("a",), "need more than 1 value to unpack"),
    (("a", 1, 2), r"too many values to unpack \(expected 2\)"),
    (5, "cannot unpack non-iterable int object"),
])
def test_properties_must_be_pairs(recording, item, message):
    book = schema()
    book.properties = OddItems(book.properties, item)
    assembler = ClassSourceAssembler("models", book, SchemaTypes.USER, Model, NAMES)
    with pytest.raises((ValueError, TypeError), match=message):
        assembler.model_class_source


def test_class_shape_and_argument_checks():
    assert ClassSourceAssembler.__annotations__ == {"ast_generator": "AstClassWriter"}
    assert "ast_generator" not in vars(ClassSourceAssembler)
    assert isinstance(vars(ClassSourceAssembler)["model_class_source"], functools.cached_property)
    assert isinstance(vars(ClassSourceAssembler)["dependencies_source"], functools.cached_property)
    assert hasattr(vars(ClassSourceAssembler)["_build_class_source"], "cache_clear")
    assert class_source_assembler.AstClassWriter is AstClassWriter
    with pytest.raises(TypeError, match=r"Argument 'models_module_name' has incorrect type \(expected str, got bytes\)"):
        ClassSourceAssembler(b"models", schema(), SchemaTypes.USER, Model, NAMES)
    with pytest.raises(TypeError, match=r"__init__\(\) takes exactly 6 positional arguments \(5 given\)"):
        ClassSourceAssembler("models", schema(), SchemaTypes.USER, Model)


def test_real_writer_texts_for_a_type_model():
    email = schema(title="Email", properties={"address": {"type": "string"}}, required=["address"], custom_code=None)
    assembler = ClassSourceAssembler("models", email, SchemaTypes.TYPE, TypeModel, NAMES)
    assert assembler.model_class_source.startswith(
        "class Email(TypeModel):\n    schema_type: ClassVar[SchemaTypes] = SchemaTypes.TYPE\n"
    )
    assert "    address: str\n" in assembler.model_class_source
    imports = assembler.dependencies_source
    assert "from korvan_models.classes.model import TypeModel\n" in imports and "import Email" not in imports


def test_the_memo_keeps_no_assembler_alive(recording):
    import gc
    import sys
    import weakref

    book = schema()
    build = vars(ClassSourceAssembler)["_build_class_source"]
    assert build.__wrapped__ is not build and callable(build.__wrapped__)

    def make_and_drop():
        assembler = ClassSourceAssembler("models", book, SchemaTypes.USER, Model, NAMES)
        assert assembler.model_class_source == assembler._build_class_source()
        assembler.dependencies_source
        return weakref.ref(assembler)

    gone = make_and_drop()
    assert gone() is None  # freed by its last reference, no collection needed
    build.cache_clear()
    for _ in range(1_000):
        make_and_drop()
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(10_000):
        make_and_drop()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 1_000  # one live assembler takes hundreds of blocks
    info = build.cache_info()
    assert (info.misses, info.hits, info.currsize) == (11_000, 2 * 11_000, 0)
