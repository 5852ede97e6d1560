// frame_probe: a test-only extension module that puts every piece of the frame to use. Its
// plain-Python twin, frame_twin.py beside it, holds the same definitions as source code.
#include <stdexcept>
#include <string_view>

#include "frame.hpp"
#include "records.hpp"

using namespace kv;

namespace {

Obj add(Handle a, Handle b) { return Obj::steal(PyNumber_Add(a.ptr(), b.ptr())); }

// --- functions -----------------------------------------------------------------------------------

Obj empty(Call&) { return Obj::none(); }

Obj pair(Call& a) { return Obj(a[0]); }

Obj options(Call& a) { return Obj(a[0]); }

Obj describe(Call& a) { return new_tuple({a[0], a[1], a[2], a[3]}); }

Obj wide(Call& a) {
    Obj items = new_list();
    for (Py_ssize_t i = 0; i < a.size(); ++i) items.append(a[i]);
    return items;
}

Obj needs_key(Call& a) { return new_tuple({a[0], a[1], a[2]}); }

Obj exact(Call& a) { return integer(static_cast<long>(a[0].len() + a[1].len() + a[2].len())); }

Obj declared_result(Call& a) {
    std::string_view kind = a[0].text();
    if (kind == "str") return expect_str(Obj(a[1]));
    if (kind == "list") return expect_list(Obj(a[1]));
    return expect_dict(Obj(a[1]));
}

Obj declared_local(Call& a) {
    Obj items = expect_list(Obj(a[0]));
    return integer(items.is_none() ? -1 : static_cast<long>(items.len()));
}

// Drops the function's own defaults while the ones it bound are still in use.
Obj swap_defaults(Call& a) {
    a.function().set_attr("__defaults__", new_tuple({Py_None}));
    a.function().attr("__kwdefaults__").set_item(str("second"), Py_None);
    return new_tuple({a[0], a[1]});
}

Obj helper(Call& a) { return new_tuple({"helper", a[0]}); }

Obj call_helper(Call& a) { return global<"helper">().call({a[0]}); }

// module.flag of the module given, and the module-level `len`, which a module global may shadow.
Obj module_flag(Call& a) { return new_tuple({module_attr<"flag">(a[0]), global<"len">().call({a[0]})}); }

Obj fact(Call& a) {
    Obj one = integer(1);
    int small = PyObject_RichCompareBool(a[0].ptr(), one.ptr(), Py_LE);
    if (small < 0) fail();
    if (small) return one;
    Obj before = global("fact").call({Obj::steal(PyNumber_Subtract(a[0].ptr(), one.ptr()))});
    return Obj::steal(PyNumber_Multiply(a[0].ptr(), before.ptr()));
}

Obj adder(Call& a) { return add(a[0], a.closure()); }

Obj make_adder(Call& a) {
    return make_function({.name = "<lambda>",
                          .params = {arg("x")},
                          .body = adder,
                          .closure = Obj(a[0]),
                          .qualname = "make_adder.<locals>.<lambda>"});
}

long depth_of(Handle value) {
    if (!value.is_list() && !value.is_dict()) return 0;
    RecursionGuard guard(" while measuring nesting depth");
    long deepest = 0;
    for (Obj child : (value.is_dict() ? value.call_method("values") : Obj(value)).iter()) {
        long d = depth_of(child);
        if (d > deepest) deepest = d;
    }
    return deepest + 1;
}

Obj depth(Call& a) { return integer(depth_of(a[0])); }

Obj fail_with(Call& a) { raise_object(builtin("ValueError").call({a[0]})); }

Obj subscript(Call& a) { return a[0].item(a[1]); }

Obj upper(Call& a) { return a[0].call_method("upper"); }

Obj first_of_pair(Call& a) {
    auto [first, second] = unpack<2>(a[0]);
    return first;
}

Obj chained(Call& a) {
    try {
        return a[0].call();
    } catch (const PyError&) {
        if (!error_matches(PyExc_KeyError)) throw;
        Obj error = fetch_error();
        raise_from(builtin("LookupError").call({"missing"}), error);
    }
}

Obj use_context(Call& a) {
    With context(a[0]);
    Obj result = a[1].call({context.value()});
    context.exit();
    return result;
}

// A native failure that sets no Python exception, thrown out of a with block.
Obj with_native_failure(Call& a) {
    With context(a[0]);
    if (a[1].truthy()) throw std::runtime_error("native failure");
    return Obj::none();
}

Obj dict_in_place(Call& a) { return boolean(reads_dict_in_place(a[0])); }
Obj record_value(Call& a) { return field<"value">(a[0]); }
Obj record_value_or_none(Call& a) {
    Obj value = field_or_null<"value">(a[0]);
    return value.valid() ? value : Obj::none();
}
Obj layout_checked(Call&) { return boolean(layout_verified()); }
Obj text_lower(Call& a) { return text_call<"lower">(a[0]); }
Obj text_replace(Call& a) { return text_call<"replace">(a[0], {a[1], a[2]}); }

Obj raise_here(Call& a) { return raised(PyExc_ValueError, a[0]); }

Obj set_error_plainly(Call& a) {
    PyErr_SetObject(PyExc_ValueError, a[0].ptr());
    return Obj();
}

Obj context_raised(Call& a) {
    With context(a[0]);
    return raised(PyExc_ValueError, str("inside"));
}

Obj suppressing(Call& a) {
    With context(a[0]);
    try {
        Obj result = a[1].call({context.value()});
        context.exit();
        return result;
    } catch (const PyError&) {
        if (!context.suppressed()) throw;
    }
    return str("suppressed");
}

// Leaves out a keyword whose value is None, at run time, in one call.
Obj keyword_subset(Call& a) {
    static const Keywords keys{"first", "second"};
    Obj first = a[1].is_none() ? Obj() : Obj(a[1]);
    Obj second = a[2].is_none() ? Obj() : Obj(a[2]);
    return a[0].call({}, keys, {first, second});
}

Obj order_of(Call& a) {
    Handle x = a[0], y = a[1];
    return new_tuple({x.lt(y), x.le(y), x.gt(y), x.ge(y)});
}

Obj add_to(Call& a) {
    a[0].add(a[1]);
    return Obj(a[0]);
}

Obj get_from(Call& a) { return a[0].get(a[1]); }

Obj divided(Call& a) { return a[0] / a[1]; }

Obj difference(Call& a) { return a[0] - a[1]; }

Obj late_dedent(Call&) { return import_name("textwrap", "dedent"); }

Obj noted(Call& a) {
    return noting("in file ", a[0], [&] { return a[1].call(); });
}

Obj qualified(Call& a) { return format_text("%U.%U", a[0].ptr(), a[1].ptr()); }

// --- generators ----------------------------------------------------------------------------------

Generator count_up(Call a) {
    global("EVENTS").append(str("start"));
    long n = PyLong_AsLong(a[0].ptr());
    if (n == -1 && PyErr_Occurred()) fail();
    for (long i = 0; i < n; ++i) co_yield integer(i);
    global("EVENTS").append(str("end"));
}

Generator echo(Call a) {
    Local value(a[0]);
    for (;;) {
        try {
            value = co_yield value;
            continue;
        } catch (const PyError&) {
            if (!error_matches(PyExc_ValueError)) throw;
        }
        Local error = fetch_error();
        value = new_tuple({"caught", error->str()});
    }
}

Generator delegate(Call a) {
    Local result = co_await yield_from(a[0]);
    Local done = new_tuple({"done", result.get()});
    co_yield done.get();
}

Generator read_lines(Call a) {
    With handle(builtin("open").call({a[0]}, {{"encoding", "utf-8"}}));
    co_yield handle.value();
    for (Obj line : handle.value().iter()) co_yield line;
}

Generator in_tempdir(Call) {
    With folder(global("tempfile").attr("TemporaryDirectory").call());
    co_yield folder.value();
    co_yield folder.value();
}

ResultGenerator returns_value(Call a) {
    co_yield integer(1);
    co_return Obj(a[0]);
}

Generator holds_local(Call a) {
    Local keep(a[0].call());
    With folder(global("tempfile").attr("TemporaryDirectory").call());
    Local both(new_tuple({keep.get(), folder.value()}));
    co_yield both.get();
    co_yield both.get();
}

Generator stubborn_tempdir(Call) {
    With folder(global("tempfile").attr("TemporaryDirectory").call());
    for (;;) {
        try {
            co_yield folder.value();
        } catch (const PyError&) {
            if (!error_matches(PyExc_GeneratorExit)) throw;
            PyErr_Clear();
        }
    }
}

// Holds any manager across yields and keeps yielding through GeneratorExit.
Generator stubborn_with(Call a) {
    With context(a[0]);
    for (;;) {
        try {
            co_yield context.value();
        } catch (const PyError&) {
            if (!error_matches(PyExc_GeneratorExit)) throw;
            PyErr_Clear();
        }
    }
}

Generator numbers(Call a) {
    Py_ssize_t n = PyLong_AsSsize_t(a[0].ptr());
    if (n == -1 && PyErr_Occurred()) fail();
    for (Py_ssize_t i = 0; i < n; ++i) co_yield Obj(a[1]);
}

Generator guarded_pause(Call) {
    RecursionGuard guard(" while pausing");
    co_yield Obj::none();
}

Generator leaks_stop(Call) {
    co_yield integer(1);
    PyErr_SetNone(PyExc_StopIteration);
    fail();
}

// --- classes -------------------------------------------------------------------------------------

Obj tag_init(Call& a) {
    a[0].set_attr("owner", Py_None);
    a[0].set_attr("name", Py_None);
    return Obj::none();
}

Obj tag_set_name(Call& a) {
    a[0].set_attr("owner", a[1]);
    a[0].set_attr("name", a[2]);
    return Obj::none();
}

Obj meta_prepare(Call& a) {
    Obj ns = new_dict();
    ns.set_item(str("prepared_by"), str("Meta"));
    ns.set_item(str("prepared_flavour"), a[3]);
    return ns;
}

Obj base_init_subclass(Call& a) {
    global("Base").attr("registered").append(new_tuple({a[0].attr("__name__"), a[1]}));
    return Obj::none();
}

Obj base_init(Call& a) {
    a[0].set_attr("value", a[1]);
    a[0].set_attr("calls", integer(0));
    return Obj::none();
}

Obj base_get(Call& a) { return new_tuple({a[0].attr("value"), a[1]}); }

Obj base_make(Call& a) { return a[0].call({a[1]}); }

Obj base_twice(Call& a) { return add(a[0], a[0]); }

Obj base_first(Call& a) { return Obj(a[1]); }

Obj base_doubled(Call& a) {
    Obj value = a[0].attr("value");
    return add(value, value);
}

void count_call(Handle self) { self.set_attr("calls", add(self.attr("calls"), integer(1))); }

Obj base_cached(Call& a) {
    count_call(a[0]);
    return new_tuple({"cached", a[0].attr("value")});
}

Obj base_lookup(Call& a) {
    count_call(a[0]);
    return new_tuple({a[1], a[0].attr("value")});
}

Obj base_explode(Call&) { raise(PyExc_RuntimeError, "exploded"); }

Obj derive(Call& a) {
    ClassSpec derived("Derived");
    return derived.create_from(a[0], Py_None);
}

void module_body(ModuleBody& m) {
    m.import("functools");
    m.import("tempfile");
    m.import_from("typing", {"Generic", "TypeVar"});
    m.set("EVENTS", new_list());

    m.def({.name = "empty", .body = empty});
    m.def({.name = "pair", .params = {arg("a"), arg("b")}, .body = pair});
    m.def({.name = "options",
           .params = {arg("a"), arg("b").or_else(Obj::none()), arg("c").or_else(boolean(false))},
           .body = options});
    m.def({.name = "describe",
           .params = {arg("a", "int"), arg("b", "str").or_else(str("x")), kwarg("flag", "bool").or_else(boolean(true)),
                      kwarg("extra", "Any").or_else(Obj::none())},
           .returns = "tuple",
           .doc = "Returns its arguments.",
           .body = describe});
    m.def({.name = "wide",
           .params = {arg("p0"), arg("p1"), arg("p2"), arg("p3"), arg("p4"), arg("p5"), arg("p6"),
                      arg("p7").or_else(integer(7)), arg("p8").or_else(integer(8)), arg("p9").or_else(integer(9)),
                      kwarg("k0"), kwarg("k1").or_else(integer(11)), kwarg("k2").or_else(integer(12)),
                      kwarg("k3").or_else(integer(13))},
           .body = wide});
    m.def({.name = "key_only", .params = {arg("a"), kwarg("key"), kwarg("other").or_else(integer(0))}, .body = pair});
    m.def({.name = "needs_key",
           .params = {arg("a"), kwarg("key", "str"), kwarg("other").or_else(integer(0))},
           .body = needs_key});
    m.def({.name = "exact",
           .params = {arg("text", "str").exactly(&PyUnicode_Type), arg("items", "list").exactly(&PyList_Type),
                      arg("mapping", "dict").exactly(&PyDict_Type)},
           .returns = "int",
           .body = exact});
    m.def({.name = "declared_result", .params = {arg("kind"), arg("value")}, .body = declared_result});
    m.def({.name = "declared_local", .params = {arg("value")}, .body = declared_local});
    m.def({.name = "swap_defaults",
           .params = {arg("first").or_else(Obj::none()), kwarg("second").or_else(Obj::none())},
           .body = swap_defaults});
    m.def({.name = "helper", .params = {arg("x")}, .body = helper});
    m.def({.name = "call_helper", .params = {arg("x")}, .body = call_helper});
    m.def({.name = "module_flag", .params = {arg("module")}, .body = module_flag});
    m.def({.name = "fact", .params = {arg("n")}, .body = fact});
    m.def({.name = "make_adder", .params = {arg("n")}, .body = make_adder});
    m.def({.name = "depth", .params = {arg("value")}, .body = depth});
    m.def({.name = "fail", .params = {arg("message")}, .body = fail_with});
    m.def({.name = "subscript", .params = {arg("value"), arg("key")}, .body = subscript});
    m.def({.name = "upper", .params = {arg("value")}, .body = upper});
    m.def({.name = "first_of_pair", .params = {arg("value")}, .body = first_of_pair});
    m.def({.name = "chained", .params = {arg("source")}, .body = chained});

    m.def({.name = "with_native_failure", .params = {arg("manager"), arg("fail")}, .body = with_native_failure});
    m.def({.name = "dict_in_place", .params = {arg("record")}, .body = dict_in_place});
    m.def({.name = "record_value", .params = {arg("record")}, .body = record_value});
    m.def({.name = "record_value_or_none", .params = {arg("record")}, .body = record_value_or_none});
    m.def({.name = "layout_checked", .body = layout_checked});
    m.def({.name = "text_lower", .params = {arg("text")}, .body = text_lower});
    m.def({.name = "text_replace", .params = {arg("text"), arg("old"), arg("new")}, .body = text_replace});
    m.def({.name = "use_context", .params = {arg("manager"), arg("action")}, .body = use_context});
    m.def({.name = "keyword_subset", .params = {arg("function"), arg("first"), arg("second")}, .body = keyword_subset});
    m.def({.name = "order_of", .params = {arg("x"), arg("y")}, .body = order_of});
    m.def({.name = "add_to", .params = {arg("items"), arg("value")}, .body = add_to});
    m.def({.name = "get_from", .params = {arg("mapping"), arg("key")}, .body = get_from});
    m.def({.name = "divided", .params = {arg("left"), arg("right")}, .body = divided});
    m.def({.name = "difference", .params = {arg("left"), arg("right")}, .body = difference});
    m.def({.name = "late_dedent", .body = late_dedent});
    m.def({.name = "noted", .params = {arg("subject"), arg("action")}, .body = noted});
    m.def({.name = "qualified", .params = {arg("module"), arg("name")}, .body = qualified});
    m.def({.name = "raise_here", .params = {arg("message")}, .body = raise_here});
    m.def({.name = "set_error_plainly", .params = {arg("message")}, .body = set_error_plainly});
    m.def({.name = "context_raised", .params = {arg("manager")}, .body = context_raised});
    m.def({.name = "suppressing", .params = {arg("manager"), arg("action")}, .body = suppressing});

    m.def({.name = "count_up", .params = {arg("n")}, .generator = count_up});
    m.def({.name = "echo", .params = {arg("value").or_else(Obj::none())}, .generator = echo});
    m.def({.name = "delegate", .params = {arg("inner")}, .generator = delegate});
    m.def({.name = "read_lines", .params = {arg("path")}, .generator = read_lines});
    m.def({.name = "in_tempdir", .generator = in_tempdir});
    m.def({.name = "leaks_stop", .generator = leaks_stop});
    m.def({.name = "returns_value", .params = {arg("value")}, .generator = returns_value});
    m.def({.name = "holds_local", .params = {arg("factory")}, .generator = holds_local});
    m.def({.name = "stubborn_tempdir", .generator = stubborn_tempdir});
    m.def({.name = "stubborn_with", .params = {arg("manager")}, .generator = stubborn_with});
    m.def({.name = "guarded_pause", .generator = guarded_pause});
    m.def({.name = "numbers", .params = {arg("n"), arg("value")}, .generator = numbers});

    ClassSpec tag("Tag");
    tag.method({.name = "__init__", .params = {arg("self")}, .body = tag_init})
        .method({.name = "__set_name__", .params = {arg("self"), arg("owner"), arg("name")}, .body = tag_set_name});
    m.define_class(tag);

    ClassSpec meta("Meta");
    meta.classmethod({.name = "__prepare__",
                      .params = {arg("mcs"), arg("name"), arg("bases"), kwarg("flavour").or_else(Obj::none())},
                      .body = meta_prepare});
    m.define_class(meta, {builtin("type")});

    ClassSpec base("Base");
    base.doc("A probe class.")
        .annotation("kind", str("str"))
        .annotation("count", str("int"))
        .value("count", integer(0))
        .value("tag", global("Tag").call())
        .value("registered", new_list())
        .method({.name = "__init_subclass__",
                 .params = {arg("cls"), kwarg("flavour").or_else(Obj::none())},
                 .body = base_init_subclass})
        .method({.name = "__init__", .params = {arg("self"), arg("value")}, .body = base_init})
        .method({.name = "get", .params = {arg("self"), arg("extra").or_else(Obj::none())}, .body = base_get})
        .classmethod({.name = "make", .params = {arg("cls"), arg("value")}, .body = base_make})
        .staticmethod({.name = "twice", .params = {arg("x")}, .body = base_twice})
        .method({.name = "first", .params = {arg("self"), arg("x")}, .body = base_first})
        .method({.name = "pick", .params = {arg("self"), arg("x").or_else(Obj::none())}, .body = base_first})
        .classmethod({.name = "first_of", .params = {arg("cls"), arg("x")}, .body = base_first})
        .staticmethod({.name = "same", .params = {arg("x")}, .body = pair})
        .property({.name = "doubled", .params = {arg("self")}, .body = base_doubled})
        .cached_property({.name = "cached", .params = {arg("self")}, .body = base_cached})
        .cached_method({.name = "lookup", .params = {arg("self"), arg("key")}, .body = base_lookup})
        .method({.name = "explode", .params = {arg("self")}, .body = base_explode});
    m.define_class(base, {}, {{"metaclass", global("Meta")}});

    m.set("T", global("TypeVar").call({"T"}));
    ClassSpec box("Box");
    box.method({.name = "__init__", .params = {arg("self"), arg("value")}, .body = base_init})
        .method({.name = "get", .params = {arg("self"), arg("extra").or_else(Obj::none())}, .body = base_get});
    m.define_class(box, {global("Generic").item(global("T"))});

    m.def({.name = "derive", .params = {arg("bases")}, .body = derive});
}

}  // namespace

KV_MODULE(frame_probe, "frame_probe", module_body)
