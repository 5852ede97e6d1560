"""Frame generators beside plain-Python generators: laziness, send/throw/close, delegation, cleanup."""

import collections.abc
import gc
import os
import sys
import traceback
import weakref
from pathlib import Path

import pytest


def drive(generator, steps):
    """Runs (method, argument) steps; records each result or the type of the exception raised."""
    seen = []
    for method, argument in steps:
        try:
            if method == "next":
                seen.append(next(generator))
            elif method == "close":
                seen.append(generator.close())
            else:
                seen.append(getattr(generator, method)(argument))
        except Exception as error:  # noqa: BLE001 - the type is what is compared
            seen.append((type(error), str(error) if not isinstance(error, StopIteration) else error.value))
    return seen


def test_generators_start_lazily_and_run_to_the_end(probe, twin):
    for module in (probe, twin):
        module.EVENTS.clear()
        generator = module.count_up(3)
        assert module.EVENTS == []
        assert next(generator) == 0 and module.EVENTS == ["start"]
        assert list(generator) == [1, 2] and module.EVENTS == ["start", "end"]
        assert next(generator, "over") == "over"
    generator = probe.count_up(2)
    assert isinstance(generator, collections.abc.Generator)
    assert isinstance(generator, collections.abc.Iterator) and iter(generator) is generator
    assert generator.__name__ == "count_up" and generator.__qualname__ == "count_up"
    assert type(generator).__name__ == "generator"
    with pytest.raises(TypeError):
        probe.count_up("three").send(None)


SCENARIOS = {
    "send": [("next", None), ("send", 1), ("send", "two"), ("send", None)],
    "send first": [("send", 5)],
    "throw handled": [("next", None), ("throw", ValueError("bad")), ("send", 3)],
    "throw class": [("next", None), ("throw", ValueError)],
    "throw unhandled": [("next", None), ("throw", KeyError("k")), ("next", None), ("send", 1)],
    "throw before start": [("throw", ValueError("early")), ("next", None)],
    "throw non-exception": [("next", None), ("throw", 5), ("send", 6)],
    "close": [("next", None), ("close", None), ("next", None), ("close", None)],
    "close before start": [("close", None), ("next", None)],
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_send_throw_close_match(probe, twin, scenario):
    steps = SCENARIOS[scenario]
    assert drive(probe.echo(0), steps) == drive(twin.echo(0), steps)


def inner_plain():
    received = yield "inner-1"
    try:
        received = yield ("inner-2", received)
    except KeyError:
        received = "inner caught"
    return ("returned", received)


DELEGATION = {
    "send through": [("next", None), ("send", "a"), ("send", "b"), ("next", None)],
    "throw caught inside": [("next", None), ("send", "a"), ("throw", KeyError("k")), ("next", None)],
    "throw not caught": [("next", None), ("throw", ValueError("v")), ("next", None)],
    "close": [("next", None), ("close", None), ("next", None)],
}


@pytest.mark.parametrize("scenario", DELEGATION)
def test_yield_from_forwards_send_and_throw(probe, twin, scenario):
    steps = DELEGATION[scenario]
    assert drive(probe.delegate(inner_plain()), steps) == drive(twin.delegate(inner_plain()), steps)


def test_yield_from_a_frame_generator(probe, twin):
    steps = [("next", None), ("send", 1), ("throw", ValueError("x")), ("send", 2)]
    expected = drive(twin.delegate(twin.echo("first")), steps)
    assert drive(probe.delegate(probe.echo("first")), steps) == expected
    assert drive(probe.delegate(twin.echo("first")), steps) == expected
    assert list(probe.delegate([1, 2])) == list(twin.delegate([1, 2])) == [1, 2, ("done", None)]


def test_closing_a_delegating_generator_closes_the_inner_one(probe):
    inner = probe.echo(1)
    outer = probe.delegate(inner)
    assert next(outer) == 1
    assert outer.gi_yieldfrom is inner
    outer.close()
    with pytest.raises(StopIteration):
        next(inner)


def test_stop_iteration_inside_becomes_runtime_error(probe, twin):
    steps = [("next", None), ("next", None), ("next", None)]
    assert drive(probe.leaks_stop(), steps) == drive(twin.leaks_stop(), steps)


def test_generator_cannot_be_reentered(probe, twin):
    for module in (probe, twin):

        class Reenter:
            def __iter__(self):
                return self

            def __next__(self):
                return next(generator)

        generator = module.delegate(Reenter())
        with pytest.raises(ValueError, match="generator already executing"):
            next(generator)
        assert not generator.gi_running


@pytest.fixture
def text_file(tmp_path):
    path = tmp_path / "lines.txt"
    path.write_text("one\ntwo\nthree\n", encoding="utf-8")
    return str(path)


def test_open_file_released_on_close_exhaustion_and_discard(probe, twin, text_file):
    for module in (probe, twin):
        generator = module.read_lines(text_file)
        handle = next(generator)
        assert next(generator) == "one\n" and not handle.closed
        generator.close()
        assert handle.closed

        generator = module.read_lines(text_file)
        handle = next(generator)
        assert list(generator) == ["one\n", "two\n", "three\n"] and handle.closed

        generator = module.read_lines(text_file)
        handle = next(generator)
        del generator
        assert handle.closed

        generator = module.read_lines(text_file)
        handle = next(generator)
        with pytest.raises(KeyError):
            generator.throw(KeyError("stop"))
        assert handle.closed


def test_temporary_folder_removed_on_close_and_discard(probe, twin):
    for module in (probe, twin):
        generator = module.in_tempdir()
        folder = next(generator)
        assert os.path.isdir(folder)
        generator.close()
        assert not os.path.exists(folder)

        generator = module.in_tempdir()
        folder = next(generator)
        del generator
        gc.collect()
        assert not os.path.exists(folder)

        generator = module.in_tempdir()
        folder = next(generator)
        assert list(generator) == [folder] and not os.path.exists(folder)


def test_failure_inside_the_with_block_still_exits(probe, twin, text_file):
    for module in (probe, twin):
        generator = module.read_lines(text_file)
        handle = next(generator)
        handle.close()
        with pytest.raises(ValueError):
            next(generator)  # iterating a closed file
        assert handle.closed


def test_generators_in_cycles_are_collected(probe, twin):
    for module in (probe, twin):
        holder = []
        generator = module.echo(holder)
        holder.append(generator)
        alive = weakref.ref(generator)
        del generator, holder
        gc.collect()
        assert alive() is None

        class Owner:
            pass

        owner = Owner()
        owner.lines = module.delegate(iter([owner, 1]))
        assert next(owner.lines) is owner
        alive = weakref.ref(owner)
        del owner
        gc.collect()
        assert alive() is None


def test_a_returned_value_reaches_stop_iteration_and_yield_from(probe, twin):
    for module in (probe, twin):
        assert list(module.delegate(module.returns_value(7))) == [1, ("done", 7)]
        assert list(module.delegate(module.returns_value(None))) == [1, ("done", None)]
        generator = module.returns_value((1, 2))
        next(generator)
        with pytest.raises(StopIteration) as stop:
            generator.send(None)
        assert stop.value.value == (1, 2)


def test_generator_state_attributes_match(probe, twin):
    import inspect

    def states(module):
        generator = module.delegate(module.echo(1))
        seen = [inspect.getgeneratorstate(generator), generator.gi_suspended, generator.gi_yieldfrom]
        next(generator)
        seen += [inspect.getgeneratorstate(generator), generator.gi_suspended, type(generator.gi_yieldfrom).__name__]
        seen.append(generator.gi_frame is not None and generator.gi_code.co_name)
        generator.close()
        seen += [inspect.getgeneratorstate(generator), generator.gi_frame, generator.gi_running]
        return seen

    assert states(probe) == states(twin)


def test_three_argument_throw_warns_and_keeps_the_traceback(probe, twin):
    try:
        raise KeyError("given")
    except KeyError as error:
        given = error.__traceback__
    for module in (probe, twin):
        generator = module.echo(1)
        next(generator)
        with pytest.warns(DeprecationWarning, match="signature of throw"):
            with pytest.raises(KeyError) as raised:
                generator.throw(KeyError, KeyError("k"), given)
        names = [entry.name for entry in traceback.extract_tb(raised.value.__traceback__)]
        assert "test_three_argument_throw_warns_and_keeps_the_traceback" in names
        with pytest.warns(DeprecationWarning), pytest.raises(TypeError, match="third argument must be a traceback"):
            module.echo(1).throw(KeyError, None, 5)


def test_error_at_a_yield_names_the_yield_line(probe):
    source = (Path(__file__).parent / "probe.cpp").read_text().splitlines()
    yield_line = next(i for i, text in enumerate(source, 1) if "value = co_yield value;" in text)
    generator = probe.echo(1)
    next(generator)
    with pytest.raises(KeyError) as raised:
        generator.throw(KeyError("k"))
    assert traceback.extract_tb(raised.value.__traceback__)[-1].lineno == yield_line


class Owner:
    pass


def test_cycle_through_a_body_local_is_collected_and_unwound(probe, twin):
    for module in (probe, twin):
        generator = module.holds_local(Owner)
        owner, folder = next(generator)
        owner.generator = generator  # reachable again only through the body's local
        alive = weakref.ref(generator)
        del generator, owner
        gc.collect()
        assert alive() is None and not os.path.exists(folder), module.__name__


def test_many_abandoned_cyclic_generators_are_all_freed(probe):
    gc.collect()
    alive = []
    for _ in range(2000):
        generator = probe.holds_local(Owner)
        owner, _folder = next(generator)
        owner.generator = generator
        alive.append(weakref.ref(generator))
        del generator, owner
    gc.collect()
    assert sum(ref() is not None for ref in alive) == 0


def test_with_in_a_body_that_ignores_generator_exit(probe, twin, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: unraisable.append(type(report.exc_value)))
    for module in (probe, twin):
        generator = module.stubborn_tempdir()
        folder = next(generator)
        with pytest.raises(RuntimeError, match="generator ignored GeneratorExit"):
            generator.close()
        assert os.path.isdir(folder)
        assert next(generator) == folder
        del generator
        gc.collect()
        assert not os.path.exists(folder)
        assert unraisable.pop() is RuntimeError


class Exits:
    def __init__(self):
        self.seen = []

    def __enter__(self):
        return "value"

    def __exit__(self, kind, error, tb):
        self.seen.append(kind)


def test_a_suspended_body_unwound_without_close_exits_with_generator_exit(probe, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)
    manager = Exits()
    generator = probe.stubborn_with(manager)
    next(generator)
    with pytest.raises(RuntimeError, match="generator ignored GeneratorExit"):
        generator.close()  # the body stays suspended; the finaliser will not run again
    assert manager.seen == []
    del generator
    gc.collect()
    assert manager.seen == [GeneratorExit]
