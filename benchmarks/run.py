"""Runs every benchmark module of this folder (bench_*.py) and prints the side-by-side ratios."""

import importlib.util
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _timing  # noqa: E402


def main(names):
    for path in sorted(HERE.glob("bench_*.py")):
        if names and path.stem.removeprefix("bench_") not in names:
            continue
        print(f"== {path.stem}")
        spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        module.main()
    over = [r for r in _timing.RESULTS if r[3] > r[4]]
    print(f"{len(_timing.RESULTS)} cases, {len(over)} over target")


if __name__ == "__main__":
    main(sys.argv[1:])
