"""The table step of a cold build of 300 models, as far as it is left until after the generation:
the tables of both SQLite databases made in one writing transaction each.

Ours: the tables were prepared while the models were generated (``prepare_tables``: the
descriptions, forms and statements, the databases read), so only the writing is timed, the two
databases written and closed together. Plain: the whole step in the transaction, from the shelved
schemas as the build holds them, one database after the other, as a build without preparation
would do it. Interleaved, best of 5.
"""

import os
import pathlib
import sys
import timeit

import _timing

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "store"))

from bench_build import model_schema  # noqa: E402
from store_helpers import write_settings  # noqa: E402

from korvan_models.pipeline.generate import ShelvedSchema  # noqa: E402
from korvan_models.schemas.utils.table_layout import object_schema_to_table_schema  # noqa: E402
from korvan_models.storage import dispose_engines, engines, tables  # noqa: E402
from korvan_utils.models.data_models.schema import ObjectSchema  # noqa: E402

MODELS = 300
TARGET = 0.5


def one_at_a_time(function, items):
    return [function(item) for item in items]


def main():
    _timing.in_scratch_folder("bench_tables_", run, dispose_engines)


def run(folder):
    shelved = [ShelvedSchema(ObjectSchema.model_validate(model_schema(n, MODELS))) for n in range(MODELS)]
    rounds = iter(range(1000))

    def fresh():
        place = folder / f"round{next(rounds)}"
        place.mkdir()
        write_settings(place, os.environ)

    def plain():
        saved = tables.at_once, engines.at_once
        tables.at_once = engines.at_once = one_at_a_time
        try:
            tables.ensure_tables(object_schema_to_table_schema(schema.load()) for schema in shelved)
            dispose_engines()
        finally:
            tables.at_once, engines.at_once = saved

    prepared = []

    def ours():
        tables.ensure_tables(prepared.pop())
        dispose_engines()

    best_ours = best_plain = float("inf")
    for _ in range(5):
        fresh()
        best_plain = min(best_plain, timeit.timeit(plain, number=1))
        fresh()
        prepared.append(tables.prepare_tables(object_schema_to_table_schema(schema.load()) for schema in shelved))
        best_ours = min(best_ours, timeit.timeit(ours, number=1))
    ratio = best_ours / best_plain
    label = f"tables of {MODELS} new models, prepared vs all in the transaction"
    print(f"{label:<60} ours {best_ours * 1e6:10.3f} us  plain {best_plain * 1e6:10.3f} us  "
          f"ratio {ratio:5.2f} (target <= {TARGET:.2f}) {'ok' if ratio <= TARGET else 'OVER TARGET'}")
    _timing.RESULTS.append((label, best_ours, best_plain, ratio, TARGET))


if __name__ == "__main__":
    main()
