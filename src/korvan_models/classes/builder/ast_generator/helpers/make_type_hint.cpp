// make_type_hint: the annotation node of one field of a generated model class.
//
// A type description becomes `T`, `Optional[T]`, `list[E]`, `dict[K, Optional[V]]`, a quoted
// forward reference 'Name' or `Union[Reference, 'Name', LegacyModel]`; every import the node needs
// is registered with the dependency generator, in the order the node is built.
#include "core_values.hpp"
#include "exact.hpp"
#include "frame.hpp"
#include "records.hpp"
#include "syntax.hpp"

using namespace kv;
using kv::syntax::constant, kv::syntax::load, kv::syntax::name_node;
using korvan::CoreValue, korvan::core_value, korvan::is_core;

namespace {

// --- node shapes: keyword arguments in this order, a fresh Load() for every ctx ----------------

Obj subscript(Handle value, Handle slice) {
    static const Keywords keys{"value", "slice", "ctx"};
    return module_attr<"Subscript">(global<"ast">()).call({}, keys, {value, slice, load()});
}

Obj tuple_node(Pos elts) {
    static const Keywords keys{"elts", "ctx"};
    return module_attr<"Tuple">(global<"ast">()).call({}, keys, {new_list(elts), load()});
}

// --- recursion through the module-level name ----------------------------------------------------

Obj hint_of(Handle type_data, Handle can_be_a_reference, Handle generator) {
    static const Keywords keys{"can_be_a_reference", "ast_dependency_generator"};
    return global<"make_type_hint">().call({type_data}, keys, {can_be_a_reference, generator});
}

Obj optional_hint_of(Handle type_data, Handle can_be_a_reference, Handle generator) {
    static const Keywords keys{"is_required", "can_be_a_reference", "ast_dependency_generator"};
    return global<"make_type_hint">().call({type_data}, keys, {Py_False, can_be_a_reference, generator});
}

Obj dict_hint(Handle key, Handle value) { return subscript(name_node(name("dict")), tuple_node({key, value})); }

CoreValue& ARRAY = core_value("ARRAY");
CoreValue& DICTIONARY = core_value("DICTIONARY");

// --- make_type_hint -------------------------------------------------------------------------------

Obj make_type_hint(Call& a) {
    Handle type_data = a[0], is_required = a[1], can_be_a_reference = a[2], generator = a[3];
    Obj _property_type = text_call<"lower">(field<"type">(type_data));

    if (!is_required.truthy()) {
        Obj optional = global<"Optional">();
        generator.call_method("add_python_type_dependency", {optional});
        Obj inner = hint_of(type_data, can_be_a_reference, generator);
        return subscript(name_node(optional.attr("__name__")), inner);
    }

    if (is_core(_property_type, ARRAY) && instance_of(field<"items">(type_data), global<"TypeData">())) {
        static const Keywords keys{"type", "items"};
        Obj items = field<"items">(type_data);
        Obj element = global<"TypeData">().call({}, keys, {field<"type">(items), field<"items">(items)});
        return subscript(name_node(name("list")), hint_of(element, can_be_a_reference, generator));
    }

    if (is_core(_property_type, DICTIONARY)) {
        Obj items = field<"items">(type_data);
        if (instance_of(items, global<"DictSchema">())) {
            Obj key = hint_of(field<"key">(items), can_be_a_reference, generator);
            Obj value = optional_hint_of(field<"value">(items), can_be_a_reference, generator);
            return dict_hint(key, value);
        }
        if (items.isinstance(global<"LegacyDictSchema">())) {
            Obj key_data = global<"TypeData">().call({}, {{"type", items.attr("key_type")}});
            Obj key = hint_of(key_data, can_be_a_reference, generator);
            Obj value_data = global<"TypeData">().call({}, {{"type", items.attr("value_type")}});
            Obj value = optional_hint_of(value_data, can_be_a_reference, generator);
            return dict_hint(key, value);
        }
        Obj class_name = items.attr("__class__").attr("__name__").format();
        raise(PyExc_ValueError, format_text("Unknown dictionary type: \"%U\"", class_name.ptr()));
    }

    // A name that is no core type makes CoreTypes(...) raise ValueError: it names a model. That is
    // the common case, so it is told apart without a C++ throw.
    Obj member = call_unless(global<"CoreTypes">(), _property_type, PyExc_ValueError);
    if (member.valid()) {
        try {
            Obj basic_types = global<"BASIC_TYPES_MAP">();
            if (basic_types.contains(member)) {
                Obj type_object = basic_types.item(global<"CoreTypes">().call({_property_type}));
                generator.call_method("add_python_type_dependency", {type_object});
                return name_node(type_object.attr("__name__"));
            }
        } catch (const PyError&) {
            if (!error_matches(PyExc_ValueError)) throw;
            fetch_error();
        }
    }

    Obj model_name = field<"type">(type_data);
    generator.call_method("add_model_type_dependency", {model_name});
    if (!can_be_a_reference.truthy()) return constant(model_name);

    Obj union_ = global<"Union">(), reference = global<"Reference">(), legacy_model = global<"LegacyModel">();
    generator.call_method("add_python_type_dependency", {union_});
    generator.call_method("add_python_type_dependency", {reference});
    generator.call_method("add_python_type_dependency", {legacy_model});
    Obj members = tuple_node({name_node(reference.attr("__name__")), constant(model_name),
                              name_node(legacy_model.attr("__name__"))});
    return subscript(name_node(union_.attr("__name__")), members);
}

void module_body(ModuleBody& m) {
    m.import("ast");
    m.import_from("typing", {"Optional", "Union"});
    m.import_from("korvan_utils.models.data_models.core", {"DictSchema", "LegacyDictSchema", "TypeData"});
    m.import_from("korvan_utils.models.data_models.enums", {"CoreTypes"});
    m.import_from("korvan_utils.models.data_models.reference", {"Reference"});
    m.import_from("korvan_models.classes.builder.ast_generator.dependency_generator", {"AstDependencyGenerator"});
    m.import_from("korvan_models.classes.constants", {"BASIC_TYPES_MAP"});
    m.import_from("korvan_models.classes.model", {"LegacyModel"});
    m.def({.name = "make_type_hint",
           .params = {arg("type_data", "TypeData"), kwarg("is_required", "bool").or_else(boolean(true)),
                      kwarg("can_be_a_reference", "bool").or_else(boolean(true)),
                      kwarg("ast_dependency_generator", "AstDependencyGenerator")},
           .returns = "ast.Subscript | ast.Constant | ast.Name | ast.BinOp",
           .doc = "Builds the annotation node of a property's type and registers the imports it needs.",
           .body = make_type_hint});
}

}  // namespace

KV_MODULE(make_type_hint, "korvan_models.classes.builder.ast_generator.helpers.make_type_hint", module_body)
