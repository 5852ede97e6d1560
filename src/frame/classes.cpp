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
    return decorated(std::move(spec), import_module("functools").attr("cache"));
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
