"""Instructions per call of our code and of its plain-Python twin, counted by callgrind.

    .venv/bin/python benchmarks/count_instructions.py [case ...]

Wall times on a busy machine are noisy; instruction counts are not. Each side of a case runs in its
own process under `valgrind --tool=callgrind` twice, with a short and a long loop; the difference of
the two totals divided by the extra calls is the cost of one call, start-up and set-up cancelled
out. Hash randomisation is fixed and the collector is off while the loop runs, so that repeated
counts agree. Needs valgrind on the PATH.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOTAL = re.compile(r"Collected : (\d+)")

# case: (short loop, long loop, calls per loop step)
CASES = {
    "extend": (10, 60, 100),
    "options_binder": (20, 220, 1),
    "custom_code_binder": (5, 25, 1),
    "unknown_list": (200, 1200, 1),
    "process_property": (200, 1200, 1),
    "make_type_hint": (100, 600, 3),
    "cast_property_value": (20, 120, 1),
}


def workload(case: str, side: str):
    """The zero-argument callable that makes `per` calls of one side of a case."""
    sys.path.insert(0, str(HERE))
    import bench_field_statement as fields
    import bench_schema_checks as checks

    from korvan_models.classes.builder.validator_picker import ValidatorPicker
    from korvan_models.errors import KorvanValidationError
    from korvan_models.schemas.data_models.custom_code import CustomCodeSchema
    from korvan_models.schemas.data_models.options import OptionsListSchema
    from korvan_models.schemas.extenders.custom_code_binder import CustomCodeBinder
    from korvan_models.schemas.extenders.options_binder import OptionsBinder
    from korvan_utils.models.data_models.schema import ObjectSchema, OptionItem, PropertyData

    ours = side == "ours"
    lists = [OptionsListSchema(title=f"list{n}", values=[{"value": f"v{n}"}]) for n in range(50)]
    if case == "extend":
        schemas = checks.schema_groups(100, 20)[3]
        codes = [CustomCodeSchema(name=f"Model{n}", code=f"X = {n}") for n in range(0, 200, 2)]
        binder = (CustomCodeBinder if ours else checks.PlainCustomCodeBinder)(checks.Records(codes))
        for schema in schemas:  # the first pass learns where the records keep their fields
            binder.extend(schema)
        return lambda: [binder.extend(schema) for schema in schemas]
    if case == "options_binder":
        cls = OptionsBinder if ours else checks.PlainOptionsBinder
        return lambda: cls(checks.Records(lists))
    if case == "custom_code_binder":
        codes = [CustomCodeSchema(name=f"Model{n}", code=f"X = {n}") for n in range(0, 2000, 2)]
        cls = CustomCodeBinder if ours else checks.PlainCustomCodeBinder
        return lambda: cls(checks.Records(codes))
    if case == "unknown_list":
        binder = (OptionsBinder if ours else checks.PlainOptionsBinder)(checks.Records(lists))
        unknown = ObjectSchema.model_validate(
            {"title": "Bad", "type": "object", "properties": {"a": {"type": "string", "options_list_name": "nowhere"}}})

        def failing():
            try:
                binder.extend(unknown)
            except KorvanValidationError:
                pass

        return failing
    if case == "process_property":
        prop = PropertyData(type="dictionary", options=[OptionItem(value=v) for v in "dbcabd"])
        picker = ValidatorPicker if ours else fields.PlainValidatorPicker
        return lambda: picker.process_property("Meta", prop)
    if case in ("make_type_hint", "cast_property_value"):
        import warnings

        from korvan_models.classes.builder.ast_generator.helpers.make_field_statement import cast_property_value
        from korvan_models.classes.builder.ast_generator.helpers.make_type_hint import make_type_hint
        from korvan_utils.models.data_models.core import DictSchema, TypeData

        warnings.simplefilter("ignore", DeprecationWarning)
        mapping = TypeData(type="dictionary", items=DictSchema(
            key=TypeData(type="string"), value=TypeData(type="array", items=TypeData(type="number"))))
        if case == "cast_property_value":
            cast = cast_property_value if ours else fields.plain_cast_property_value
            value = {f"k{i}": [str(i), i, i + 0.5] for i in range(20)}
            return lambda: cast(mapping, value)
        hint, deps = (make_type_hint if ours else fields.plain_make_type_hint), fields.Quiet()
        number, reference = TypeData(type="number"), TypeData(type="Person")

        def hints():
            hint(number, is_required=False, ast_dependency_generator=deps)
            hint(reference, ast_dependency_generator=deps)
            hint(mapping, ast_dependency_generator=deps)

        return hints
    raise SystemExit(f"unknown case {case}")


def run_loop(case: str, side: str, steps: int) -> None:
    import gc

    step = workload(case, side)
    step()
    gc.collect()
    gc.disable()
    for _ in range(steps):
        step()


def instructions(case: str, side: str, steps: int) -> int:
    env = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, __file__,
         "--loop", case, side, str(steps)],
        capture_output=True, text=True, env=env, check=True)
    return int(TOTAL.findall(done.stderr)[-1])


def main(names: list[str]) -> None:
    print(f"{'case':<22} {'ours':>10} {'plain':>10} {'ratio':>6}   (instructions per call)")
    for case in names or CASES:
        short, long, per = CASES[case]
        per_call = {}
        for side in ("ours", "plain"):
            extra = instructions(case, side, long) - instructions(case, side, short)
            per_call[side] = extra / ((long - short) * per)
        print(f"{case:<22} {per_call['ours']:10.0f} {per_call['plain']:10.0f} "
              f"{per_call['ours'] / per_call['plain']:6.2f}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--loop"]:
        run_loop(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main(sys.argv[1:])
