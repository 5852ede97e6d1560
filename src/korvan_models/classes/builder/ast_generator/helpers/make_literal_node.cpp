// make_literal_node: the syntax-tree node of a JSON-like literal (nested dicts and lists of
// strings, numbers, booleans and None), for writing the value into generated source.
//
// Nodes are made by calling the ast classes with keyword arguments, the deprecated aliases
// (Str, Num, NameConstant, the keyword `s`) included, so their warnings reach the caller as usual.
// Nested values go back through the module-level name `make_literal_node`.
#include <pthread.h>

#include <array>
#include <cstdint>

#include "frame.hpp"

using namespace kv;

namespace {

// A keyword-only call `callable(k1=v1, ...)`; the names tuple is made once per call site.
template <size_t N>
class KeywordCall {
public:
    explicit KeywordCall(std::array<const char*, N> keys) {
        Obj tuple = Obj::steal(PyTuple_New(N));
        for (size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(tuple.ptr(), i, Obj(Handle{name(keys[i])}).release());
        names_ = tuple.release();  // kept for the life of the process, like the module state
    }

    Obj operator()(Handle callable, std::array<Handle, N> values) const {
        std::array<PyObject*, N> args;
        for (size_t i = 0; i < N; ++i) args[i] = values[i].ptr();
        return Obj::steal(PyObject_Vectorcall(callable.ptr(), args.data(), 0, names_));
    }

private:
    PyObject* names_;
};

Obj call_one(Handle callable, Handle value) {
    PyObject* args[2] = {nullptr, value.ptr()};
    return Obj::steal(PyObject_Vectorcall(callable.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `key, value = pair` for one item of `items()`, with the interpreter's unpacking texts.
std::array<Obj, 2> unpack_pair(Handle pair) {
    if (PyTuple_CheckExact(pair.ptr()) && PyTuple_GET_SIZE(pair.ptr()) == 2)
        return {Obj(Handle{PyTuple_GET_ITEM(pair.ptr(), 0)}), Obj(Handle{PyTuple_GET_ITEM(pair.ptr(), 1)})};
    Obj it = Obj::steal_or_null(PyObject_GetIter(pair.ptr()));
    if (!it.valid()) {
        if (!error_matches(PyExc_TypeError) || Py_TYPE(pair.ptr())->tp_iter || PySequence_Check(pair.ptr())) fail();
        PyErr_Clear();
        KV_RAISE(PyExc_TypeError, "cannot unpack non-iterable %.200s object", pair.type_name());
    }
    std::array<Obj, 2> parts;
    for (size_t got = 0; got < 2; ++got) {
        parts[got] = Obj::steal_or_null(PyIter_Next(it.ptr()));
        if (parts[got].valid()) continue;
        if (PyErr_Occurred()) fail();
        KV_RAISE(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", static_cast<Py_ssize_t>(got));
    }
    Obj extra = Obj::steal_or_null(PyIter_Next(it.ptr()));
    if (extra.valid()) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) fail();
    return parts;
}

// The interpreter bounds native recursion by a count of calls, which a thread started with a small
// stack (threading.stack_size) can outrun; a nested value is refused while some room is left.
class StackRoom {
public:
    StackRoom() {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
        void* base = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &base, &size) == 0) {
            low_ = reinterpret_cast<uintptr_t>(base);
            floor_ = low_ + (size / 4 < kReserve ? size / 4 : kReserve);
        }
        pthread_attr_destroy(&attr);
    }

    // Outside the thread's own stack (a switched stack) nothing is known, and nothing is refused.
    void check() const {
        uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        if (here >= low_ && here < floor_)
            raise(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
    }

private:
    static constexpr size_t kReserve = 128 * 1024;  // for the node classes, warnings and unwinding
    uintptr_t low_ = 0, floor_ = 0;
};

void check_stack() {
    thread_local const StackRoom room;
    room.check();
}

Obj dict_node(Handle dictionary) {
    static const KeywordCall<2> keys_values({"keys", "values"});
    static const KeywordCall<1> s({"s"});
    Obj dict_ast = keys_values(global("ast").attr("Dict"), {new_list(), new_list()});
    Obj items = dictionary.call_method("items");
    for (Obj pair : items.iter()) {
        auto [key, value] = unpack_pair(pair);
        Obj key_ast = s(global("ast").attr("Constant"), {key.str()});
        Obj value_ast = call_one(global("make_literal_node"), value);
        dict_ast.attr("keys").append(key_ast);
        dict_ast.attr("values").append(value_ast);
    }
    return dict_ast;
}

void add_element(Handle list_ast, Handle element) {
    Obj value_ast = call_one(global("make_literal_node"), element);
    list_ast.attr("elts").append(value_ast);
}

Obj list_node(Handle dictionary) {
    static const KeywordCall<1> elts({"elts"});
    Obj list_ast = elts(global("ast").attr("List"), {new_list()});
    if (PyList_CheckExact(dictionary.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dictionary.ptr()); ++i)
            add_element(list_ast, Obj(Handle{PyList_GET_ITEM(dictionary.ptr(), i)}));
    } else {
        for (Obj element : dictionary.iter()) add_element(list_ast, element);  // its own __iter__
    }
    return list_ast;
}

Obj make_literal_node(Call& a) {
    static const KeywordCall<1> s({"s"}), value({"value"}), n({"n"});
    Handle dictionary = a[0];
    if (dictionary.is_dict() || dictionary.is_list()) check_stack();
    if (dictionary.is_dict()) return dict_node(dictionary);
    if (dictionary.is_list()) return list_node(dictionary);
    if (dictionary.is_str()) return s(global("ast").attr("Str"), {dictionary});
    if (dictionary.is_bool()) return value(global("ast").attr("NameConstant"), {dictionary});
    if (dictionary.is_int() || dictionary.is_float()) return n(global("ast").attr("Num"), {dictionary});
    if (dictionary.is_none()) return value(global("ast").attr("NameConstant"), {Py_None});
    Obj msg = Obj::steal(PyUnicode_FromFormat("Unsupported type: %U", dictionary.type().format().ptr()));
    PyErr_SetObject(PyExc_ValueError, msg.ptr());
    fail();
}

void module_body(ModuleBody& m) {
    m.import("ast");
    m.import_from("typing", {"Any"});
    m.def({.name = "make_literal_node",
           .params = {arg("dictionary", "dict[str, Any] | list[dict[str, Any]] | str | int | float | bool | None")},
           .returns = "ast.Dict | ast.List | ast.Str | ast.Num | ast.NameConstant",
           .body = make_literal_node});
}

}  // namespace

KV_MODULE(make_literal_node, "korvan_models.classes.builder.ast_generator.helpers.make_literal_node", module_body)
