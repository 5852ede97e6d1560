"""100,000 calls through each path of the frame keep no references and no memory."""

import sys

import pytest

from installed_extensions import growth


class Argument:
    pass


def cases(probe, argument):
    def bound_with_keywords():
        probe.describe(argument, flag=argument, extra=argument)

    def binding_error():
        try:
            probe.describe(argument, zz=argument)
        except TypeError:
            pass

    def type_error():
        try:
            probe.exact(argument, [], {})
        except TypeError:
            pass

    def body_error():
        try:
            probe.fail(argument)
        except ValueError:
            pass

    def generator_run():
        for _ in probe.delegate(probe.echo(argument)):
            break

    def generator_send_throw():
        generator = probe.echo(argument)
        next(generator)
        generator.send(argument)
        generator.throw(ValueError("v"))
        generator.close()

    def closure_call():
        probe.make_adder(1)(2)

    def method_calls():
        instance = probe.Base(argument)
        instance.get(argument)
        probe.Base.make(argument)

    def context():
        probe.use_context(Manager(), len)

    return {
        "positional": lambda: probe.pair(argument, argument),
        "keywords": bound_with_keywords,
        "binding error": binding_error,
        "type error": type_error,
        "body error": body_error,
        "generator": generator_run,
        "send/throw/close": generator_send_throw,
        "closure": closure_call,
        "methods": method_calls,
        "with": context,
        "unpack": lambda: probe.first_of_pair((argument, argument)),
    }


class Manager:
    def __enter__(self):
        return "v"

    def __exit__(self, *exc):
        return None


CASES = ["positional", "keywords", "binding error", "type error", "body error", "generator",
         "send/throw/close", "closure", "methods", "with", "unpack"]


@pytest.mark.parametrize("case", CASES)
def test_frame_calls_keep_no_references_or_memory(probe, case):
    argument = Argument()
    call = cases(probe, argument)[case]
    before = sys.getrefcount(argument)
    blocks, rss = growth(call, 100_000)
    assert sys.getrefcount(argument) == before
    assert blocks < 1_000, blocks
    assert rss < 2 * 1024 * 1024, rss
