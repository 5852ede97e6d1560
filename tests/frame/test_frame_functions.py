"""Frame functions beside their plain-Python twins: binding, attributes, lookups, failures."""

import copy
import ctypes
import functools
import gc
import inspect
import pathlib
import pickle
import traceback
import types
import weakref

import pytest

PATH = "src\\frame_probe.py"

# (function, args, kwargs, the frame's text when binding fails)
BINDING_CASES = [
    ("empty", (), {}, None),
    ("empty", (1,), {}, "empty() takes exactly 0 positional arguments (1 given)"),
    ("pair", (1, 2), {}, None),
    ("pair", (1,), {"b": 2}, None),
    ("pair", (), {"b": 2, "a": 1}, None),
    ("pair", (1,), {}, "pair() takes exactly 2 positional arguments (1 given)"),
    ("pair", (1, 2, 3), {}, "pair() takes exactly 2 positional arguments (3 given)"),
    ("pair", (), {"b": 1}, "pair() takes exactly 2 positional arguments (0 given)"),
    ("pair", (1, 2), {"a": 3}, "pair() got multiple values for keyword argument 'a'"),
    ("options", (1,), {"c": True}, None),
    ("options", (1, 2, 3), {}, None),
    ("options", (1, 2, 3, 4), {}, "options() takes at most 3 positional arguments (4 given)"),
    ("options", (1, 2), {"c": 3}, None),
    ("options", (), {"c": 3, "a": 1}, None),
    ("options", (), {"c": 1}, "options() takes at least 1 positional argument (0 given)"),
    ("options", (1,), {"a": 2}, "options() got multiple values for keyword argument 'a'"),
    ("options", (1,), {"c": 2, "d": 3}, "options() got an unexpected keyword argument 'd'"),
    ("describe", (1,), {}, None),
    ("describe", (1, 2), {"flag": False, "extra": [3]}, None),
    ("describe", (), {"a": 1, "b": 2, "flag": 0, "extra": None}, None),
    ("describe", (1,), {"".join(["fl", "ag"]): "not interned"}, None),
    ("describe", (), {}, "describe() takes at least 1 positional argument (0 given)"),
    ("describe", (), {"b": 2}, "describe() takes at least 1 positional argument (0 given)"),
    ("describe", (1, 2, 3), {}, "describe() takes at most 2 positional arguments (3 given)"),
    ("describe", (1,), {"a": 2}, "describe() got multiple values for keyword argument 'a'"),
    ("describe", (1, 2), {"b": 3}, "describe() got multiple values for keyword argument 'b'"),
    ("describe", (1,), {"zz": 2}, "describe() got an unexpected keyword argument 'zz'"),
    ("wide", tuple(range(7)), {"k0": "k"}, None),
    ("wide", tuple(range(10)), {"k0": 0, "k3": 3, "k1": 1, "k2": 2}, None),
    ("wide", tuple(range(5)), {"p6": 6, "p5": 5, "k0": 0, "p8": "eight"}, None),
    ("wide", tuple(range(7)), {}, "wide() needs keyword-only argument k0"),
    ("wide", tuple(range(6)), {"k0": 0}, "wide() takes at least 7 positional arguments (6 given)"),
    ("wide", tuple(range(11)), {"k0": 0}, "wide() takes at most 10 positional arguments (11 given)"),
    ("needs_key", (1,), {"key": "k"}, None),
    ("needs_key", (1,), {}, "needs_key() needs keyword-only argument key"),
    ("needs_key", (1, 2), {"key": "k"}, "needs_key() takes exactly 1 positional argument (2 given)"),
    ("needs_key", (), {"key": "k"}, "needs_key() takes exactly 1 positional argument (0 given)"),
]


def outcome(function, args, kwargs):
    try:
        return "ok", function(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - the type is what is compared
        return "raised", error


@pytest.mark.parametrize("name,args,kwargs,text", BINDING_CASES)
def test_binding_matches_plain_python(probe, twin, name, args, kwargs, text):
    ours = outcome(getattr(probe, name), args, kwargs)
    plain = outcome(getattr(twin, name), args, kwargs)
    if text is None:
        assert ours == plain
    else:
        assert ours[0] == plain[0] == "raised"
        assert type(ours[1]) is type(plain[1]) is TypeError
        assert str(ours[1]) == text


def vectorcall(function, args, kwnames, kwvalues):
    """Calls through PyObject_Vectorcall itself, where nothing checks the keyword names first."""
    api = ctypes.pythonapi.PyObject_Vectorcall
    api.restype = ctypes.py_object
    api.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    values = (ctypes.py_object * (len(args) + len(kwvalues)))(*args, *kwvalues)
    return api(function, values, len(args), kwnames)


def test_keyword_names_must_be_strings(probe, twin):
    assert vectorcall(probe.describe, (1,), ("flag",), (False,)) == (1, "x", False, None)
    with pytest.raises(TypeError) as plain:
        vectorcall(twin.describe, (1,), (5,), (True,))
    with pytest.raises(TypeError, match=r"^describe\(\) keywords must be strings$"):
        vectorcall(probe.describe, (1,), (5,), (True,))
    assert "keywords must be strings" in str(plain.value)


def test_methods_bind_through_class_static_and_property(probe, twin):
    for module in (probe, twin):
        base = module.Base(3)
        assert base.get() == (3, None) and base.get(extra=1) == (3, 1)
        assert module.Base.get(base, 2) == (3, 2)
        assert module.Base.make(4).value == 4 and base.make(5).value == 5
        assert type(module.Base.make(4)) is module.Base
        assert module.Base.twice(3) == base.twice(3) == 6
        assert base.doubled == 6
        with pytest.raises(AttributeError):
            base.doubled = 1
    cases = [
        (lambda m: m.Base(1).get(1, 2), "get() takes at most 2 positional arguments (3 given)"),
        (lambda m: m.Base.make(), "make() takes exactly 2 positional arguments (1 given)"),
        (lambda m: m.Base.twice(), "twice() takes exactly 1 positional argument (0 given)"),
        (lambda m: m.Base(1).twice(1, 2), "twice() takes exactly 1 positional argument (2 given)"),
        (lambda m: m.Base.get(), "get() takes at least 1 positional argument (0 given)"),
    ]
    for call, text in cases:
        ours, plain = outcome(call, (probe,), {}), outcome(call, (twin,), {})
        assert type(ours[1]) is type(plain[1]) is TypeError
        assert str(ours[1]) == text


def test_exact_parameter_types(probe, twin):
    assert probe.exact("ab", [1], {"k": 1}) == twin.exact("ab", [1], {"k": 1}) == 4

    class Text(str):
        pass

    class Items(list):
        pass

    class Mapping(dict):
        pass

    cases = [
        (("a", [], None), "Argument 'mapping' has incorrect type (expected dict, got NoneType)"),
        (("a", [], Mapping()), "Argument 'mapping' has incorrect type (expected dict, got Mapping)"),
        (("a", Items(), {}), "Argument 'items' has incorrect type (expected list, got Items)"),
        ((Text("a"), [], {}), "Argument 'text' has incorrect type (expected str, got Text)"),
        ((None, None, None), "Argument 'text' has incorrect type (expected str, got NoneType)"),
    ]
    for args, text in cases:
        # All by position (checked before the body) and by keyword (the full binder): one outcome.
        for call in (lambda: probe.exact(*args), lambda: probe.exact(*args[:1], items=args[1], mapping=args[2])):
            with pytest.raises(TypeError) as raised:
                call()
            assert str(raised.value) == text
            assert last_entry(raised.value) == ("exact", PATH)


def test_declared_results_and_locals(probe):
    class Mapping(dict):
        pass

    assert probe.declared_result("str", "x") == "x"
    assert probe.declared_result("list", [1]) == [1]
    assert probe.declared_result("dict", {}) == {}
    for kind in ("str", "list", "dict"):
        assert probe.declared_result(kind, None) is None
    assert probe.declared_local([1, 2]) == 2
    assert probe.declared_local(None) == -1
    failures = [
        (lambda: probe.declared_result("str", 1), "Expected unicode, got int"),
        (lambda: probe.declared_result("list", ()), "Expected list, got tuple"),
        (lambda: probe.declared_result("dict", Mapping()), "Expected dict, got Mapping"),
        (lambda: probe.declared_local("abc"), "Expected list, got str"),
    ]
    for call, text in failures:
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == text


FUNCTIONS = ["empty", "wide", "pair", "options", "describe", "needs_key", "exact", "make_adder", "count_up", "echo"]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_and_attributes_match(probe, twin, name):
    ours, plain = getattr(probe, name), getattr(twin, name)
    assert inspect.signature(ours) == inspect.signature(plain)
    for attribute in ("__name__", "__qualname__", "__doc__", "__defaults__", "__kwdefaults__", "__annotations__"):
        assert getattr(ours, attribute) == getattr(plain, attribute), attribute
    assert ours.__module__ == "frame_probe"
    assert callable(ours) and ours.__dict__ == {}


def test_method_signatures_match(probe, twin):
    for path in ("Base.get", "Base.__init__", "Base.twice", "Box.get"):
        owner, method = path.split(".")
        ours = getattr(getattr(probe, owner), method)
        plain = getattr(getattr(twin, owner), method)
        assert inspect.signature(ours) == inspect.signature(plain), path
        assert ours.__qualname__ == plain.__qualname__ == path
    assert inspect.signature(probe.Base.make) == inspect.signature(twin.Base.make)
    assert inspect.signature(probe.Base(1).get) == inspect.signature(twin.Base(1).get)
    assert inspect.signature(probe.Base) == inspect.signature(twin.Base)


def test_writable_attributes(probe, twin):
    for module in (probe, twin):
        adder = module.make_adder(10)
        assert adder.__name__ == "<lambda>"
        assert adder.__qualname__ == "make_adder.<locals>.<lambda>"
        adder.__defaults__ = (5,)
        assert adder() == 15
        adder.__defaults__ = (1, 2)  # longer than the parameters: the last ones count
        assert adder() == 12
        adder.__defaults__ = None
        with pytest.raises(TypeError):
            adder()
        with pytest.raises(TypeError):
            adder.__defaults__ = [1]
        with pytest.raises(TypeError):
            adder.__name__ = 1
        adder.__doc__ = "doc"
        adder.custom = 1
        assert adder.__doc__ == "doc" and adder.__dict__ == {"custom": 1}
        del adder.__doc__
        assert adder.__doc__ is None


def test_defaults_dropped_by_the_body_stay_alive(probe, twin):
    for module in (probe, twin):
        module.swap_defaults.__defaults__ = (["first"],)
        module.swap_defaults.__kwdefaults__ = {"second": ["second"]}
        assert module.swap_defaults() == (["first"], ["second"])
        assert module.swap_defaults() == (None, None)


def test_wraps_and_update_wrapper(probe, twin):
    for module in (probe, twin):

        @functools.wraps(module.describe)
        def wrapper(*args, **kwargs):
            return module.describe(*args, **kwargs)

        assert wrapper.__name__ == "describe" and wrapper.__doc__ == "Returns its arguments."
        assert wrapper.__wrapped__ is module.describe
        assert wrapper(1, flag=False) == (1, "x", False, None)
        assert inspect.signature(wrapper) == inspect.signature(twin.describe)

    adder = probe.make_adder(1)
    functools.update_wrapper(adder, twin.describe)
    assert adder.__name__ == "describe" and adder.__qualname__ == "describe"
    assert adder.__wrapped__ is twin.describe and adder.__doc__ == "Returns its arguments."
    assert adder(2) == 3


def test_pickled_by_reference(probe, twin):
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        for obj in (probe.describe, probe.Base.get, probe.Base, probe.count_up):
            assert pickle.loads(pickle.dumps(obj, protocol)) is obj
        assert copy.copy(probe.describe) is probe.describe
        assert copy.deepcopy(probe.Base.get) is probe.Base.get
        ours = outcome(pickle.dumps, (probe.make_adder(1), protocol), {})
        plain = outcome(pickle.dumps, (twin.make_adder(1), protocol), {})
        assert ours[0] == plain[0] == "raised"
        assert type(ours[1]) is type(plain[1])


def test_module_names_are_read_at_call_time(probe, twin, monkeypatch):
    assert probe.call_helper(1) == twin.call_helper(1) == ("helper", 1)
    for module in (probe, twin):
        monkeypatch.setattr(module, "helper", lambda x: ("patched", x))
    assert probe.call_helper(2) == twin.call_helper(2) == ("patched", 2)
    monkeypatch.undo()
    assert probe.call_helper(3) == ("helper", 3)
    assert probe.fact(20) == twin.fact(20)
    for module in (probe, twin):  # a deleted name is gone, a name put back is found again
        monkeypatch.delattr(module, "helper")
    for module in (probe, twin):
        error = outcome(module.call_helper, (4,), {})[1]
        assert type(error) is NameError and error.args == ("name 'helper' is not defined",)
    monkeypatch.undo()
    assert probe.call_helper(5) == ("helper", 5)


class Sized(types.ModuleType):
    def __len__(self):
        return 7


def test_module_attributes_and_shadowed_builtins_read_at_call_time(probe, twin, monkeypatch):
    plain, sized = types.ModuleType("plain"), Sized("sized")
    plain.__getattr__ = lambda key: f"missing {key}"  # asked only for names the module lacks
    for module in (probe, twin):
        monkeypatch.setattr(module, "len", lambda m: "shadowed", raising=False)
    results = []
    for value in (1, 2, None):
        for module in (plain, sized):
            if value is None:
                del module.flag
            else:
                module.flag = value
        results.append([outcome(f.module_flag, (m,), {}) for m in (plain, sized) for f in (probe, twin)])
    monkeypatch.undo()
    sized.flag = 3
    results.append([outcome(f.module_flag, (sized,), {}) for f in (probe, twin)])
    assert [[r if r[0] == "ok" else (r[0], type(r[1])) for r in row] for row in results] == [
        [("ok", (1, "shadowed"))] * 4,
        [("ok", (2, "shadowed"))] * 4,
        [("ok", ("missing flag", "shadowed"))] * 2 + [("raised", AttributeError)] * 2,
        [("ok", (3, 7))] * 2,
    ]


def test_closure_function(probe, twin):
    assert probe.make_adder(2)(3) == twin.make_adder(2)(3) == 5
    assert probe.make_adder("a")("b") == "ba"
    ours, plain = outcome(probe.make_adder(None), (1,), {}), outcome(twin.make_adder(None), (1,), {})
    assert type(ours[1]) is type(plain[1]) is TypeError


def test_recursion_raises_instead_of_overflowing(probe, twin):
    nested = []
    for _ in range(40):
        nested = [nested, {"k": [1]}]
    assert probe.depth(nested) == twin.depth(nested) == 42
    deep = []
    for _ in range(200_000):
        deep = [deep]
    deep_dict = {}
    for _ in range(200_000):
        deep_dict = {"k": deep_dict}
    for value in (deep, deep_dict):
        with pytest.raises(RecursionError):
            probe.depth(value)
        with pytest.raises(RecursionError):
            twin.depth(value)
    with pytest.raises(RecursionError):
        probe.fact(100_000)
    with pytest.raises(RecursionError):
        twin.fact(100_000)
    assert probe.fact(5) == 120  # the recursion budget is whole again


def last_entry(error):
    entry = traceback.extract_tb(error.__traceback__)[-1]
    return entry.name, entry.filename


def test_traceback_entries_name_the_function_and_source_path(probe):
    cases = [
        (lambda: probe.fail("boom"), ValueError, "fail"),
        (lambda: probe.Base(1).explode(), RuntimeError, "Base.explode"),
        (lambda: probe.make_adder(None)(1), TypeError, "make_adder.<locals>.<lambda>"),
        (lambda: probe.pair(1), TypeError, "pair"),
        (lambda: list(probe.leaks_stop()), RuntimeError, "leaks_stop"),
    ]
    for call, kind, qualname in cases:
        with pytest.raises(kind) as raised:
            call()
        assert last_entry(raised.value) == (qualname, PATH)
    adder = probe.make_adder(None)
    # The same function failing again and again, under each name it is given meanwhile.
    for qualname in ["renamed", "renamed", "".join(["re", "named"]), "again", "renamed"]:
        adder.__qualname__ = qualname
        for _ in range(2):
            with pytest.raises(TypeError) as raised:
                adder(1)
            assert last_entry(raised.value) == (qualname, PATH)
    with pytest.raises(ValueError) as raised:
        probe.fail("boom")
    assert "src\\frame_probe.py" in "".join(traceback.format_exception(raised.value))


def test_host_errors_keep_host_texts(probe, twin):
    cases = [
        ("upper", lambda: (None,)),
        ("subscript", lambda: (1, 0)),
        ("subscript", lambda: ({}, "k")),
        ("first_of_pair", lambda: ((1, 2, 3),)),
        ("first_of_pair", lambda: (iter([1, 2, 3]),)),
        ("first_of_pair", lambda: ([1],)),
        ("first_of_pair", lambda: (iter([]),)),
        ("first_of_pair", lambda: (5,)),
    ]
    for name, args in cases:
        ours, plain = outcome(getattr(probe, name), args(), {}), outcome(getattr(twin, name), args(), {})
        assert ours[0] == plain[0] == "raised"
        assert type(ours[1]) is type(plain[1])
        if "need more" not in str(ours[1]):
            assert str(ours[1]) == str(plain[1])
    assert str(outcome(probe.first_of_pair, ([1],), {})[1]) == "need more than 1 value to unpack"
    assert str(outcome(probe.first_of_pair, (iter([]),), {})[1]) == "need more than 0 values to unpack"
    assert probe.first_of_pair(iter("ab")) == "a"

    def missing():
        return {}["k"]

    for module in (probe, twin):
        with pytest.raises(LookupError) as raised:
            module.chained(missing)
        assert type(raised.value.__cause__) is KeyError
    assert probe.chained(lambda: 7) == 7


def test_function_objects_are_collected(probe, twin):
    for module in (probe, twin):
        holder = []
        adder = module.make_adder(holder)
        holder.append(adder)
        alive = weakref.ref(adder)
        del adder, holder
        gc.collect()
        assert alive() is None


class Recorder:
    """A context manager that records how it was left and can fail on exit."""

    def __init__(self, fail_exit=False):
        self.fail_exit = fail_exit
        self.log = []

    def __enter__(self):
        self.log.append("enter")
        return "value"

    def __exit__(self, kind, error, tb):
        self.log.append(("exit", kind, type(tb).__name__))
        if self.fail_exit:
            raise RuntimeError("exit failed")
        return None


def test_with_guard_behaves_as_a_with_block(probe, twin):
    def missing(value):
        return {}[value]

    for module in (probe, twin):
        manager = Recorder()
        assert module.use_context(manager, lambda value: value * 2) == "valuevalue"
        assert manager.log == ["enter", ("exit", None, "NoneType")]

        manager = Recorder()
        with pytest.raises(KeyError):
            module.use_context(manager, missing)
        assert manager.log == ["enter", ("exit", KeyError, "traceback")]

        with pytest.raises(RuntimeError) as raised:
            module.use_context(Recorder(fail_exit=True), missing)
        assert type(raised.value.__context__) is KeyError

        with pytest.raises(RuntimeError, match="exit failed"):
            module.use_context(Recorder(fail_exit=True), len)
    ours, plain = outcome(probe.use_context, (5, len), {}), outcome(twin.use_context, (5, len), {})
    assert type(ours[1]) is type(plain[1]) is TypeError
    assert str(ours[1]) == str(plain[1])


class ExitRecorder:
    """Records what __exit__ received; returns ``result`` or re-raises what it was given."""

    def __init__(self, result=None, reraise=False):
        self.result, self.reraise, self.seen = result, reraise, []

    def __enter__(self):
        return "value"

    def __exit__(self, kind, error, tb):
        self.seen.append(kind)
        if self.reraise:
            raise error
        return self.result


def missing_key(value):
    return {}[value]


@pytest.mark.parametrize(
    "call",
    [
        lambda m, r: m.context_raised(r),
        lambda m, r: m.use_context(r, missing_key),
        lambda m, r: m.suppressing(r, missing_key),
        lambda m, r: m.suppressing(r, len),
    ],
    ids=["returned raised", "thrown", "suppressible", "no error"],
)
@pytest.mark.parametrize(
    "make", [ExitRecorder, lambda: ExitRecorder(reraise=True), lambda: ExitRecorder(result=True)],
    ids=["plain", "re-raises", "suppresses"],
)
def test_exit_sees_the_exception_leaving_the_scope(probe, twin, call, make):
    results = []
    for module in (probe, twin):
        manager = make()
        result = outcome(call, (module, manager), {})
        if result[0] == "raised":
            error = result[1]
            result = ("raised", type(error), str(error), error.__context__ is error, type(error.__context__))
        results.append((result, manager.seen))
    ours, plain = results
    if ours != plain:
        # A scope cannot go on after `return raised(...)`: a true __exit__ does not swallow it there.
        assert make().result and ours[0][0] == "raised" and ours[1] == plain[1]
    else:
        assert ours == plain


@pytest.mark.parametrize("fail", [False, True], ids=["completed", "native failure"])
def test_exit_gets_the_failure_form_when_a_native_error_ends_the_block(probe, fail):
    manager = ExitRecorder()
    if fail:
        with pytest.raises(SystemError, match="native failure"):
            probe.with_native_failure(manager, True)
    else:
        assert probe.with_native_failure(manager, False) is None
    assert manager.seen == ([SystemError] if fail else [None])


def keywords_seen(**given):
    return sorted(given.items())


class SetLike:
    def __init__(self):
        self.items = []

    def add(self, value):
        self.items.append(value)

    def __eq__(self, other):
        return isinstance(other, SetLike) and self.items == other.items


class KeptSet(set):
    def add(self, value):
        super().add(("kept", value))


class GetCounting(dict):
    def get(self, key, default=None):
        return ("own get", key, default)


@pytest.mark.parametrize(
    "name, make_args",
    [
        ("keyword_subset", lambda: (keywords_seen, 1, 2)),
        ("keyword_subset", lambda: (keywords_seen, None, 2)),
        ("keyword_subset", lambda: (keywords_seen, None, None)),
        ("keyword_subset", lambda: (lambda first: first, 1, 2)),
        ("order_of", lambda: (1, 2)),
        ("order_of", lambda: ("b", "a")),
        ("order_of", lambda: (1, "a")),
        ("add_to", lambda: ({1}, 2)),
        ("add_to", lambda: (set(), [])),
        ("add_to", lambda: (SetLike(), 3)),
        ("add_to", lambda: (KeptSet(), 3)),
        ("get_from", lambda: ({"a": 1}, "a")),
        ("get_from", lambda: ({"a": 1}, "b")),
        ("get_from", lambda: ({"a": 1}, [])),
        ("get_from", lambda: (GetCounting(a=1), "a")),
        ("get_from", lambda: ([], "a")),
        ("divided", lambda: (pathlib.PurePosixPath("models"), "model.json")),
        ("divided", lambda: ("models", "model.json")),
        ("difference", lambda: ({1, 2}, {2})),
        ("difference", lambda: ({"a": 1}.keys(), {"a"})),
        ("difference", lambda: ({1}, "x")),
        ("late_dedent", lambda: ()),
        ("qualified", lambda: ("pkg.mod", "Name")),
    ],
)
def test_vocabulary_matches_plain_python(probe, twin, name, make_args):
    ours, plain = outcome(getattr(probe, name), make_args(), {}), outcome(getattr(twin, name), make_args(), {})
    if ours[0] == "raised":
        assert plain[0] == "raised" and type(ours[1]) is type(plain[1])
        assert str(ours[1]).split("(")[-1] == str(plain[1]).split("(")[-1]
    else:
        assert ours == plain


class Unshowable:
    def __format__(self, spec):
        raise RuntimeError("cannot show")


def fail_reading():
    raise KeyError("title")


@pytest.mark.parametrize("subject", ["models/a/model.json", Unshowable()])
def test_noting_adds_the_note_or_chains_its_own_failure(probe, twin, subject):
    assert probe.noted(subject, lambda: 7) == 7
    errors = []
    for module in (probe, twin):
        with pytest.raises(Exception) as caught:
            module.noted(subject, fail_reading)
        error = caught.value
        context = error.__context__
        errors.append((type(error), error.args, getattr(error, "__notes__", None), type(context),
                       context and context.args))
    assert errors[0] == errors[1]


def test_a_noted_error_keeps_its_own_context_inside_a_callers_handler(probe, twin):
    def fail_reading():
        try:
            raise ValueError("first")
        except ValueError:
            raise KeyError("second")

    for module in (probe, twin):
        try:
            raise LookupError("the caller's")
        except LookupError:
            with pytest.raises(KeyError) as raised:
                module.noted("data.csv", fail_reading)
        assert type(raised.value.__context__) is ValueError, module.__name__
        assert raised.value.__notes__ == ["in file data.csv"]
