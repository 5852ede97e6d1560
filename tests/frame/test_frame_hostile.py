"""The frame under hostile and unusual use: the interpreter must survive, with the host's outcomes."""

import gc
import inspect
import os
import subprocess
import sys
import threading
import traceback
import weakref

import pytest


def run_isolated(probe, code):
    """Runs ``code`` (with ``probe`` and ``twin`` importable) in a child; returns the child's outcome."""
    folders = [os.path.dirname(probe.__file__), os.path.dirname(os.path.abspath(__file__))]
    prelude = f"import sys; sys.path[:0] = {folders!r}\nimport frame_probe as probe, frame_twin as twin\n"
    return subprocess.run([sys.executable, "-c", prelude + code], capture_output=True, text=True, timeout=120)


class NoCloseOrThrow:
    """An iterator whose close and throw lookups fail with something other than AttributeError."""

    def __iter__(self):
        return self

    def __next__(self):
        return 1

    def __getattr__(self, attribute):
        raise KeyError(attribute)


def outcome(action):
    try:
        return "ok", action()
    except Exception as error:  # noqa: BLE001 - the type and text are what is compared
        return "raised", type(error), str(error)


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize(
    "action",
    [
        lambda g: g.close(),
        lambda g: g.throw(ValueError("v")),
        lambda g: (outcome(lambda: g.throw(ValueError("v"))), g.gi_suspended, next(g)),
    ],
    ids=["close", "throw", "still suspended after throw"],
)
def test_failing_delegate_lookups_behave_as_the_host(probe, twin, action):
    results = []
    for module in (probe, twin):
        generator = module.delegate(NoCloseOrThrow())
        next(generator)
        results.append(outcome(lambda: action(generator)))
    assert results[0] == results[1]


def test_dropping_a_generator_with_a_failing_delegate_reports_unraisable(probe):
    done = run_isolated(
        probe,
        "class Bad:\n"
        "    def __iter__(self): return self\n"
        "    def __next__(self): return 1\n"
        "    def __getattr__(self, a): raise KeyError(a)\n"
        "g = probe.delegate(Bad()); next(g); del g\n"
        "print('survived')\n",
    )
    assert done.returncode == 0, done.stderr
    assert "survived" in done.stdout and "KeyError: 'close'" in done.stderr


def test_signature_survives_a_parameter_that_rewrites_the_function(probe, twin, monkeypatch):
    real = inspect.Parameter

    def patched_for(function):
        class Patched(real):
            def __init__(self, *args, **kwargs):
                function.__defaults__ = None
                function.__kwdefaults__ = None
                function.__annotations__ = {}
                gc.collect()
                super().__init__(*args, **kwargs)

        return Patched

    texts = []
    for module in (probe, twin):
        function = module.make_adder(1)
        function.__defaults__ = (["first"],)
        function.__annotations__ = {"x": "int", "return": "str"}
        monkeypatch.setattr(inspect, "Parameter", patched_for(function))
        texts.append(str(inspect.signature(function)))
        monkeypatch.setattr(inspect, "Parameter", real)
    assert texts[0] == texts[1] == "(x: 'int' = ['first']) -> 'str'"


def test_keyword_default_lookup_survives_a_key_that_replaces_the_defaults(probe):
    class Key(str):
        def __hash__(self):
            return str.__hash__(self)

        def __eq__(self, other):
            probe.needs_key.__kwdefaults__ = {"other": 1}
            return str.__eq__(self, other)

    saved = probe.needs_key.__kwdefaults__
    try:
        probe.needs_key.__kwdefaults__ = {Key("key"): [1], "other": 0}
        # The defaults in force when the call began serve the whole call.
        assert probe.needs_key(1) == (1, [1], 0)
        assert probe.needs_key.__kwdefaults__ == {"other": 1}
    finally:
        probe.needs_key.__kwdefaults__ = saved


def test_function_named_by_a_str_subclass_that_refers_back_is_collected(probe, twin):
    class Name(str):
        pass

    for module in (probe, twin):
        for attribute in ("__name__", "__qualname__"):
            function = module.make_adder(1)
            text = Name("named")
            text.function = function
            setattr(function, attribute, text)
            alive = weakref.ref(function)
            del function, text
            gc.collect()
            assert alive() is None, (module.__name__, attribute)


@pytest.mark.parametrize("make", [lambda m: m.empty, lambda m: m.count_up(1)], ids=["function", "generator"])
def test_frame_types_are_immutable(probe, twin, make):
    for module in (probe, twin):
        kind = type(make(module))
        with pytest.raises(TypeError, match="immutable type"):
            kind.__get__ = lambda *args: None
        with pytest.raises(TypeError, match="immutable type"):
            kind.extra = 1
    assert probe.Base(1).get() == (1, None)


def test_a_long_delegation_chain_raises_recursion_error(probe, twin):
    for module in (probe, twin):
        generator = iter([])
        for _ in range(100_000):
            generator = module.delegate(generator)
        with pytest.raises(RecursionError):
            next(generator)
        del generator  # dropping the chain must not recurse once per generator either
    assert list(probe.delegate(probe.delegate([1]))) == [1, ("done", None), ("done", None)]


@pytest.mark.parametrize(
    "call",
    ["probe.fact(10 ** 6)", "probe.depth(deep)", "next(chain)"],
    ids=["frame calls", "guarded native recursion", "generator steps"],
)
def test_recursion_is_bounded_without_a_stack_limit(probe, call):
    code = (
        "import resource\n"
        "assert resource.getrlimit(resource.RLIMIT_STACK)[0] == resource.RLIM_INFINITY\n"
        "deep = []\n"
        "for _ in range(10 ** 6): deep = [deep]\n"
        "chain = iter([])\n"
        "for _ in range(10 ** 5): chain = probe.delegate(chain)\n"
        f"try:\n    {call}\nexcept RecursionError:\n    print('bounded')\n"
    )
    folders = [os.path.dirname(probe.__file__), os.path.dirname(os.path.abspath(__file__))]
    prelude = f"import sys; sys.path[:0] = {folders!r}\nimport frame_probe as probe\n"
    script = f"ulimit -s unlimited 2>/dev/null || exit 77; exec {sys.executable} -c \"$0\""
    done = subprocess.run(["bash", "-c", script, prelude + code], capture_output=True, text=True, timeout=300)
    if done.returncode == 77:
        pytest.skip("the stack limit cannot be lifted here")
    assert done.returncode == 0 and "bounded" in done.stdout, done.stderr


def test_small_thread_stacks_raise_instead_of_overflowing(probe):
    done = run_isolated(
        probe,
        "import threading\n"
        "deep = []\n"
        "for _ in range(10 ** 5): deep = [deep]\n"
        "seen = []\n"
        "def work():\n"
        "    for call in (lambda: probe.depth(deep), lambda: probe.fact(10 ** 5)):\n"
        "        try: call()\n"
        "        except RecursionError: seen.append('bounded')\n"
        "threading.stack_size(160 * 1024)\n"
        "t = threading.Thread(target=work); t.start(); t.join()\n"
        "print(seen)\n",
    )
    assert done.returncode == 0 and "['bounded', 'bounded']" in done.stdout, done.stderr


def test_recursion_guard_held_across_a_yield_resumed_on_another_thread(probe):
    generators = [probe.guarded_pause() for _ in range(3000)]
    for generator in generators:
        next(generator)
    worker = threading.Thread(target=lambda: [list(g) for g in generators])
    worker.start()
    worker.join()
    nested = []
    for _ in range(200):
        nested = [nested]
    # Neither thread's budget is left short: this thread can still go 200 levels deep.
    assert probe.depth(nested) == 201
    generators = [probe.guarded_pause() for _ in range(3000)]
    for generator in generators:
        next(generator)
    del generators  # frames destroyed while suspended give their levels back once only
    gc.collect()
    assert probe.depth(nested) == 201


def entry_line(error):
    return traceback.extract_tb(error.__traceback__)[-1].lineno


def test_raised_line_belongs_to_its_own_exception(probe):
    with pytest.raises(ValueError) as plain_before:
        probe.set_error_plainly("x")
    with pytest.raises(ValueError) as by_raised:
        probe.raise_here("x")
    with pytest.raises(ValueError) as plain_after:
        probe.set_error_plainly("x")
    assert entry_line(plain_before.value) == entry_line(plain_after.value) != entry_line(by_raised.value)
