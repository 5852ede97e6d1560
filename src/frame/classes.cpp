// Classes through the host's own protocol: types.new_class resolves __mro_entries__, derives the
// metaclass, calls __prepare__ and the metaclass, so __init_subclass__ and __set_name__ run as usual.
#include "frame.hpp"
#include "internal.hpp"

#include <string_view>

namespace kv {
namespace {

// exec_body for types.new_class: copies the prepared items into the class namespace, in order.
// The namespace may be any mapping whose __setitem__ runs Python code: the items are read from an
// owned snapshot, never through a borrowed dictionary position.
PyObject* fill_namespace(PyObject* items, PyObject* ns) {
    for (Obj pair : Obj::steal(PyDict_Items(items)).iter()) {
        auto [key, value] = unpack<2>(pair);
        Handle(ns).set_item(key, value);
    }
    Py_RETURN_NONE;
}

PyMethodDef fill_namespace_def = {"exec_body", boundary<fill_namespace>, METH_O, nullptr};

// A method's memo, kept per instance through a weak reference, so that it never keeps an instance
// alive: {weakref(instance): {arguments after self: result}}; an instance's entry leaves when the
// instance goes. The state, shared by the wrapper and its cache_info and cache_clear, is a list.
enum MemoSlot : Py_ssize_t { memo_function, memo_table, memo_hits, memo_misses, memo_forgetter };

Handle memo_slot(Handle state, MemoSlot slot) { return PyList_GET_ITEM(state.ptr(), slot); }

void memo_count(Handle state, MemoSlot slot) {
    Obj count = integer(PyLong_AsLong(memo_slot(state, slot).ptr()) + 1);
    PyList_SetItem(state.ptr(), slot, count.release());
}

Obj memo_key(Call& a) {
    Obj key = Obj::steal(PyTuple_New(a.size() - 1));
    for (Py_ssize_t i = 1; i < a.size(); ++i) PyTuple_SET_ITEM(key.ptr(), i - 1, Py_NewRef(a[i].ptr()));
    return key;
}

// The instance's own memo, or None.
Obj memo_of(Handle table, Handle instance) {
    Obj probe = Obj::steal(PyWeakref_NewRef(instance.ptr(), nullptr));
    return table.get(probe);
}

Obj memo_call(Call& a) {
    Obj state(a.closure());
    Obj table(memo_slot(state, memo_table));
    Obj key = memo_key(a);
    Obj memo = memo_of(table, a[0]);
    if (!memo.is_none()) {
        Obj found = memo.get(key);
        if (!found.is_none() || memo.contains(key)) {
            memo_count(state, memo_hits);
            return found;
        }
    }
    memo_count(state, memo_misses);
    Obj function(memo_slot(state, memo_function));
    Obj result = Obj::steal(PyObject_Vectorcall(function.ptr(), a.args(), static_cast<size_t>(a.size()), nullptr));
    memo = memo_of(table, a[0]);  // the call may have made it meanwhile
    if (memo.is_none()) {
        memo = new_dict();
        Obj ref = Obj::steal(PyWeakref_NewRef(a[0].ptr(), memo_slot(state, memo_forgetter).ptr()));
        table.set_item(ref, memo);
    }
    memo.set_item(key, result);
    return result;
}

Obj memo_info(Call& a) {
    Obj state(a.closure());
    Py_ssize_t size = 0;
    for (Obj memo : Obj(memo_slot(state, memo_table)).call_method("values").iter()) size += memo.len();
    return import_module("functools")
        .attr("_CacheInfo")
        .call({memo_slot(state, memo_hits), memo_slot(state, memo_misses), Handle(Py_None), integer(size)});
}

Obj memo_clear(Call& a) {
    Obj state(a.closure());
    Obj(memo_slot(state, memo_table)).call_method("clear");
    PyList_SetItem(state.ptr(), memo_hits, integer(0).release());
    PyList_SetItem(state.ptr(), memo_misses, integer(0).release());
    return Obj::none();
}

// Forgets a collected instance's memo: the weak reference's callback.
Obj memo_forget(Call& a) {
    Obj table(memo_slot(a.closure(), memo_table));
    table.call_method("pop", {a[0], Handle(Py_None)});
    return Obj::none();
}

}  // namespace

ClassSpec& ClassSpec::doc(const char* text) {
    doc_ = text;
    return *this;
}

Obj ClassSpec::function_for(FunctionSpec& spec) {
    if (spec.qualname.empty()) spec.qualname = std::string(name_) + "." + spec.name;
    return make_function(std::move(spec));
}

ClassSpec& ClassSpec::method(FunctionSpec spec) {
    // type() makes these implicit class and static methods only for its own function type.
    std::string_view n = spec.name;
    if (n == "__init_subclass__" || n == "__class_getitem__") return classmethod(std::move(spec));
    if (n == "__new__") return staticmethod(std::move(spec));
    items_.emplace_back(spec.name, function_for(spec));
    return *this;
}

ClassSpec& ClassSpec::decorated(FunctionSpec spec, Handle decorator) {
    const char* n = spec.name;
    items_.emplace_back(n, decorator.call({function_for(spec)}));
    return *this;
}

ClassSpec& ClassSpec::classmethod(FunctionSpec spec) { return decorated(std::move(spec), builtin("classmethod")); }

ClassSpec& ClassSpec::staticmethod(FunctionSpec spec) { return decorated(std::move(spec), builtin("staticmethod")); }

ClassSpec& ClassSpec::property(FunctionSpec getter) { return decorated(std::move(getter), builtin("property")); }

ClassSpec& ClassSpec::cached_property(FunctionSpec getter) {
    return decorated(std::move(getter), import_module("functools").attr("cached_property"));
}

ClassSpec& ClassSpec::cached_method(FunctionSpec spec) {
    // As functools.cache on the method, with the memo per instance (see memo_call): a wrapper of
    // the same signature, with cache_info(), cache_clear() and __wrapped__.
    FunctionSpec wrapper_spec = spec;
    Obj function = function_for(spec);
    Obj state = new_list({function, new_dict(), integer(0), integer(0)});
    Obj forget = make_function({.name = "_forget_instance", .params = {arg("ref")}, .body = memo_forget, .closure = state});
    state.append(forget);  // memo_forgetter: the weak references' callback
    wrapper_spec.body = memo_call;
    wrapper_spec.closure = state;
    Obj wrapper = function_for(wrapper_spec);
    wrapper.set_attr("__wrapped__", function);
    wrapper.set_attr("cache_info", make_function({.name = "cache_info", .body = memo_info, .closure = state}));
    wrapper.set_attr("cache_clear", make_function({.name = "cache_clear", .body = memo_clear, .closure = state}));
    items_.emplace_back(spec.name, std::move(wrapper));
    return *this;
}

ClassSpec& ClassSpec::value(const char* attr_name, Handle v) {
    items_.emplace_back(attr_name, Obj(v));
    return *this;
}

ClassSpec& ClassSpec::annotation(const char* attr_name, Handle a) {
    annotations_.emplace_back(attr_name, Obj(a));
    return *this;
}

Obj ClassSpec::create(Pos bases, Kws kwds, Where where) {
    Obj keywords = new_dict(where);
    for (const KwArg& k : kwds) keywords.set_item(Handle(name(k.key)), k.value.o, where);
    return create_from(new_tuple(bases, where), keywords, where);
}

Obj ClassSpec::create_from(Handle bases, Handle kwds, Where where) {
    Obj items = new_dict(where);
    items.set_item(Handle(name("__module__")), str(current_module().dotted_name, where), where);
    items.set_item(Handle(name("__qualname__")), str(name_, where), where);
    if (doc_) items.set_item(Handle(name("__doc__")), str(doc_, where), where);
    if (!annotations_.empty()) {
        Obj annotations = new_dict(where);
        for (auto& [key, a] : annotations_) annotations.set_item(Handle(name(key)), a, where);
        items.set_item(Handle(name("__annotations__")), annotations, where);
    }
    for (auto& [key, v] : items_) items.set_item(Handle(name(key)), v, where);
    Obj exec_body = Obj::steal(PyCFunction_New(&fill_namespace_def, items.ptr()), where);
    Obj new_class = import_module("types", where).attr("new_class", where);
    return new_class.call({str(name_, where), bases, kwds, exec_body}, {}, where);
}

}  // namespace kv
