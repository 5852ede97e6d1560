"""Schema verification and the two binders against plain-Python classes with the same steps."""

import logging
import pathlib
import sys

from _timing import compare

from korvan_models.errors import KorvanValidationError
from korvan_models.schemas.data_models.custom_code import CustomCodeSchema
from korvan_models.schemas.data_models.options import OptionsListSchema
from korvan_models.schemas.extenders.custom_code_binder import CustomCodeBinder
from korvan_models.schemas.extenders.options_binder import OptionsBinder
from korvan_models.schemas.mixins.dependency_check_mixin import DependencyCheckMixin
from korvan_models.schemas.mixins.schema_verification_mixin import SchemaVerificationMixin
from korvan_utils.models.data_models.schema import ObjectSchema

# The plain-Python mixins are the tests' reference implementations: one copy of each.
sys.path[:0] = [str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "mixins")]

from test_dependency_check_mixin import reference as PlainDependencyCheck  # noqa: E402
from test_schema_verification_mixin import reference as PlainSchemaVerification  # noqa: E402

logger = logging.getLogger("bench_schema_checks")


class PlainOptionsBinder:
    def __init__(self, options_reader):
        self._options_reader = options_reader
        self._options = {schema.title: schema for schema in self._options_reader.iter_options()}
        self._used_options = set()

    def extend(self, config):
        if not config.properties:
            return
        for _property_name, property_value in config.properties.items():
            options_list_name = getattr(property_value, "options_list_name", None)
            if not options_list_name:
                continue
            if options_list_name not in self._options:
                raise KorvanValidationError(
                    f"Options list name={options_list_name} is unknown. "
                    "Make sure to create corresponding options list under models/options folder")
            property_value.options = self._options[options_list_name].values
            self._used_options.add(options_list_name)


class PlainCustomCodeBinder:
    def __init__(self, custom_code_reader):
        self._custom_code_reader = custom_code_reader
        self._custom_code_schemas = {schema.name: schema for schema in self._custom_code_reader.iter_custom_code()}
        self._used_custom_codes = set()

    def extend(self, config):
        custom_code_schema = self._custom_code_schemas.get(config.title, None)
        if not custom_code_schema:
            return None
        config.custom_code = custom_code_schema.code
        self._used_custom_codes.add(custom_code_schema.name)


class Records:
    """A loader over records made in memory."""

    def __init__(self, records):
        self.records = records

    def iter_options(self):
        return iter(self.records)

    iter_custom_code = iter_options


TYPE_TITLES = ["Object", "String", "Number", "Boolean", "Array", "Dictionary"]


def property_of(i, j, count):
    kind = j % 5
    if kind == 0:
        return {"type": "array", "items": {"type": "string"}}
    if kind == 1:
        return {"type": "dictionary", "items": {"key": {"type": "string"}, "value": {"type": f"Model{(i + 1) % count}"}}}
    if kind == 2:
        return {"type": f"Model{(i + j) % count}"}
    return {"type": "string" if kind == 3 else "number", "options_list_name": f"list{(i + j) % 50}" if j < 9 else None}


def schema_groups(count=1000, properties=20):
    types = [ObjectSchema.model_validate({"title": t, "type": "object"}) for t in TYPE_TITLES]
    users = []
    for i in range(count):
        names = [f"field_{j}" for j in range(properties)]
        users.append(ObjectSchema.model_validate({
            "title": f"Model{i}", "type": "object",
            "properties": {name: property_of(i, j, count) for j, name in enumerate(names)},
            "required": names[::2], "indexed": names[:3], "unique": [names[3:5], names[5:7]]}))
    return [types, [], [], users]


def main():
    groups = schema_groups()
    for ours, plain in ((SchemaVerificationMixin().verify_schemas, PlainSchemaVerification().verify_schemas),
                        (DependencyCheckMixin().check_dependencies, PlainDependencyCheck().check_dependencies)):
        assert ours(*groups) is None and plain(*groups) is None
        compare(f"{ours.__name__} 1,000 schemas x 20 properties", lambda: ours(*groups), lambda: plain(*groups),
                0.5)

    schemas = groups[3]
    lists = [OptionsListSchema(title=f"list{n}", values=[{"value": f"v{n}"}]) for n in range(50)]
    binder, plain_binder = OptionsBinder(Records(lists)), PlainOptionsBinder(Records(lists))
    compare("OptionsBinder.extend over 1,000 schemas", lambda: [binder.extend(s) for s in schemas],
            lambda: [plain_binder.extend(s) for s in schemas], 1.0)

    codes = [CustomCodeSchema(name=f"Model{n}", code=f"X = {n}") for n in range(0, 2000, 2)]
    code_binder, plain_code_binder = CustomCodeBinder(Records(codes)), PlainCustomCodeBinder(Records(codes))
    compare("CustomCodeBinder.extend over 1,000 schemas", lambda: [code_binder.extend(s) for s in schemas],
            lambda: [plain_code_binder.extend(s) for s in schemas], 1.0)

    # The binders' constructors, and the error path of an unknown option list.
    compare("OptionsBinder(...) over 50 option lists", lambda: OptionsBinder(Records(lists)),
            lambda: PlainOptionsBinder(Records(lists)), 1.0)
    compare("CustomCodeBinder(...) over 1,000 code records", lambda: CustomCodeBinder(Records(codes)),
            lambda: PlainCustomCodeBinder(Records(codes)), 1.0)
    unknown = ObjectSchema.model_validate({"title": "Bad", "type": "object",
                                           "properties": {"a": {"type": "string", "options_list_name": "nowhere"}}})

    def failing(extend):
        def run():
            try:
                extend(unknown)
            except KorvanValidationError:
                pass
        return run

    compare("OptionsBinder.extend, unknown list raises", failing(binder.extend), failing(plain_binder.extend), 1.0)


if __name__ == "__main__":
    main()
