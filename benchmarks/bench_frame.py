"""The frame's call path beside the same calls in plain Python (the schema fingerprint has its own
group, bench_digest).

The frame cases call a function of the test-only ``frame_probe`` module (built here the way the
tests build it) and a plain-Python function of the same signature and body; each timed callable
makes a run of calls, so the loop around them weighs little.
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "frame"))

import _timing  # noqa: E402
from build_probe import import_probe  # noqa: E402

CALLS_PER_RUN = 20
BUILD_DIR = HERE.parent / "build" / "bench_frame_probe"  # this checkout's own: a build folder knows its sources


def plain_empty():
    pass


def plain_pair(a, b):
    return a


def plain_options(a, b=None, c=False):
    return a


def repeated(function, call_text):
    """A zero-argument callable that makes CALLS_PER_RUN calls written as ``call_text`` of ``function``."""
    source = "def run(fn=fn):\n" + f"    {call_text}\n" * CALLS_PER_RUN
    namespace = {"fn": function}
    exec(source, namespace)
    return namespace["run"]


def call_shapes(probe, twin):
    """Every way a frame function is called, beside the same call of the plain-Python twin."""
    ours_base, plain_base = probe.Base(1), twin.Base(1)
    shapes = [
        ("module function, two positional", "fn.pair(1, 2)", probe, twin),
        ("module function, keyword-only default filled", "fn.key_only(1, key=2)", probe, twin),
        ("bound method", "fn.first(1)", ours_base, plain_base),
        ("bound method, default filled", "fn.pick()", ours_base, plain_base),
        ("classmethod", "fn.first_of(1)", probe.Base, twin.Base),
        ("staticmethod", "fn.same(1)", probe.Base, twin.Base),
    ]
    # A call costs tens of nanoseconds: more repeats keep a busy machine's noise out of the minimum.
    for label, text, ours, plain in shapes:
        _timing.compare(label, repeated(ours, text), repeated(plain, text), 1.0, repeat=21)
    _timing.compare(
        "generator, 20 steps",
        lambda: sum(1 for _ in probe.numbers(CALLS_PER_RUN, None)),
        lambda: sum(1 for _ in twin.numbers(CALLS_PER_RUN, None)),
        1.0,
        repeat=21,
    )


def main():
    probe = import_probe(BUILD_DIR)
    per_call = "frame call vs plain call ({} calls per run)".format(CALLS_PER_RUN)
    print(per_call)
    _timing.compare("empty body, no arguments", repeated(probe.empty, "fn()"), repeated(plain_empty, "fn()"), 1.0)
    _timing.compare(
        "two positional arguments", repeated(probe.pair, "fn(1, 2)"), repeated(plain_pair, "fn(1, 2)"), 1.0
    )
    _timing.compare(
        "keyword argument, defaults filled",
        repeated(probe.options, "fn(1, c=True)"),
        repeated(plain_options, "fn(1, c=True)"),
        1.0,
    )

    import frame_twin

    call_shapes(probe, frame_twin)


if __name__ == "__main__":
    main()
