"""Side-by-side timing: each case runs ours and the plain-Python equivalent interleaved, in one process."""

import pathlib
import shutil
import tempfile
import timeit

RESULTS = []


def compare(label, ours, plain, target, number=None, repeat=7):
    """Times two zero-argument callables alternately; prints and records min-of-repeats and their ratio."""
    if number is None:
        number = max(1, timeit.Timer(plain).autorange()[0])
    best_ours = best_plain = float("inf")
    for _ in range(repeat):
        best_plain = min(best_plain, timeit.timeit(plain, number=number) / number)
        best_ours = min(best_ours, timeit.timeit(ours, number=number) / number)
    ratio = best_ours / best_plain
    verdict = "ok" if ratio <= target else "OVER TARGET"
    print(f"{label:<60} ours {best_ours * 1e6:10.3f} us  plain {best_plain * 1e6:10.3f} us  "
          f"ratio {ratio:5.2f} (target <= {target:.2f}) {verdict}")
    RESULTS.append((label, best_ours, best_plain, ratio, target))
    return ratio


def in_scratch_folder(prefix, body, then):
    """Runs ``body(folder)`` in a new scratch folder; then ``then()``, and the folder is removed."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix=prefix))
    try:
        body(folder)
    finally:
        then()
        shutil.rmtree(folder)
