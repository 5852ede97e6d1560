// make_field_statement: the annotated assignment that declares one field of a generated model class.
//
// The annotation comes from make_type_hint; a default value is cast to a literal node following the
// property's type description, not the value's own type (the text '3' of a number property is 3).
#include "core_values.hpp"
#include "frame.hpp"
#include "records.hpp"
#include "syntax.hpp"

using namespace kv;
using kv::syntax::constant;
using korvan::CoreValue, korvan::core_value, korvan::is_core;

namespace {

CoreValue& STRING = core_value("STRING");
CoreValue& NUMBER = core_value("NUMBER");
CoreValue& BOOLEAN = core_value("BOOLEAN");
CoreValue& BINARY = core_value("BINARY");
CoreValue& ARRAY = core_value("ARRAY");
CoreValue& DICTIONARY = core_value("DICTIONARY");

// --- make_field_statement ---------------------------------------------------------------------------

Obj make_field_statement(Call& a) {
    Handle target_name = a[0], type_data = a[1], value = a[2];
    Handle is_required = a[3], can_be_a_reference = a[4], generator = a[5];
    Obj target = module_attr<"Name">(global<"ast">()).call({}, {{"id", target_name}, {"ctx", module_attr<"Store">(global<"ast">()).call()}});
    Obj annotation = global<"make_type_hint">()
                         .call({type_data}, {{"is_required", is_required},
                                             {"can_be_a_reference", can_be_a_reference},
                                             {"ast_dependency_generator", generator}});
    Obj ann_assign = module_attr<"AnnAssign">(global<"ast">());
    if (value.ne(global<"UNSET">()) && (!value.is_none() || !is_required.truthy())) {
        Obj cast = global<"cast_property_value">().call({type_data, value});
        return ann_assign.call({}, {{"target", target}, {"annotation", annotation}, {"simple", 1}, {"value", cast}});
    }
    return ann_assign.call({}, {{"target", target}, {"annotation", annotation}, {"simple", 1}});
}

// --- cast_property_value ------------------------------------------------------------------------------

// An element of a list or dictionary literal: cast by its description, or else written as it is,
// so that no `None` hole is left inside the container node.
Obj cast_element(Handle description, Handle value) {
    Obj node = global<"cast_property_value">().call({description, value});
    if (node.is_none()) node = global<"make_literal_node">().call({value});
    return node;
}

// "true" and "false" as text mean what they say; any other value counts by its truth value.
Obj boolean_value(Handle property_value) {
    if (property_value.is_str()) {
        Obj word = text_call<"lower">(text_call<"strip">(property_value));
        if (word.eq(name("true"))) return boolean(true);
        if (word.eq(name("false"))) return boolean(false);
    }
    return boolean(property_value.truthy());
}

Obj binary_value(Handle property_value) {
    if (property_value.is_str()) return Obj::steal(PyUnicode_AsUTF8String(property_value.ptr()));
    return builtin("bytes").call({property_value});
}

// Casts each element with the description `describe()` gives for it: dictionary keys and values
// each get a description of their own, made afresh.
template <class Describe>
Obj cast_each(Describe describe, Handle values) {
    Obj nodes = new_list();
    for (const Obj& value : values.iter()) list_append(nodes, cast_element(describe(), value));
    return nodes;
}

Obj list_literal(Handle items, Handle property_value) {
    static const Keywords keys{"elts"};
    Obj elts = cast_each([&] { return Obj(items); }, property_value);
    return module_attr<"List">(global<"ast">()).call({}, keys, {elts});
}

Obj dict_literal(Handle keys, Handle values) {
    static const Keywords names{"keys", "values"};
    return module_attr<"Dict">(global<"ast">()).call({}, names, {keys, values});
}

Obj type_named(Handle type_name) {
    static const Keywords keys{"type"};
    return global<"TypeData">().call({}, keys, {type_name});
}

// The whole description of a DictSchema key or value, its own items included.
Obj full_description(Handle type_data) {
    static const Keywords keys{"type", "items"};
    return global<"TypeData">().call({}, keys, {field<"type">(type_data), field<"items">(type_data)});
}

Obj cast_property_value(Call& a) {
    Handle type_data = a[0], property_value = a[1];
    Obj property_type = text_call<"lower">(field<"type">(type_data));
    if (property_value.is_none()) return constant(property_value);
    if (is_core(property_type, STRING)) return constant(property_value);
    if (is_core(property_type, NUMBER)) return constant(global<"cast_number_value">().call({property_value}));
    if (is_core(property_type, BOOLEAN)) return constant(boolean_value(property_value));
    if (is_core(property_type, BINARY)) return constant(binary_value(property_value));
    if (is_core(property_type, ARRAY) && !field<"items">(type_data).is_none()) {
        Obj items = field<"items">(type_data);
        if (items.isinstance(global<"TypeData">())) return list_literal(items, property_value);
        return Obj::none();
    }
    if (is_core(property_type, DICTIONARY) && !field<"items">(type_data).is_none()) {
        Obj items = field<"items">(type_data);
        if (items.isinstance(global<"LegacyDictSchema">())) {
            Obj keys = cast_each([&] { return type_named(field<"key_type">(items)); }, property_value);
            Obj values =
                cast_each([&] { return type_named(field<"value_type">(items)); }, property_value.call_method("values"));
            return dict_literal(keys, values);
        }
        if (items.isinstance(global<"DictSchema">())) {
            Obj keys = cast_each([&] { return full_description(field<"key">(items)); }, property_value);
            Obj values =
                cast_each([&] { return full_description(field<"value">(items)); }, property_value.call_method("values"));
            return dict_literal(keys, values);
        }
        return syntax::name_node(property_value);
    }
    return Obj::none();
}

// --- cast_number_value ------------------------------------------------------------------------------

Obj cast_number_value(Call& a) {
    Handle property_value = a[0];
    Obj error_msg = format_text("Cannot cast %U to a number", property_value.format().ptr());
    if (property_value.is_int() || property_value.is_float()) return Obj(property_value);
    if (!property_value.is_str()) raise_object(builtin("ValueError").call({error_msg}));
    try {
        if (property_value.contains(name("."))) return builtin("float").call({property_value});
        return builtin("int").call({property_value});
    } catch (const PyError&) {
        if (!error_matches(PyExc_ValueError)) throw;
        Obj err = fetch_error();
        raise_from(builtin("ValueError").call({error_msg}), err);
    }
}

void module_body(ModuleBody& m) {
    m.import("ast");
    m.import_from("typing", {"Any"});
    m.import_from("korvan_utils.models.data_models.core", {"DictSchema", "LegacyDictSchema", "TypeData"});
    m.import_from("korvan_utils.models.data_models.enums", {"CoreTypes"});
    m.import_from("korvan_models.classes.builder.ast_generator.dependency_generator", {"AstDependencyGenerator"});
    m.import_from("korvan_models.classes.builder.ast_generator.helpers.make_type_hint", {"make_type_hint"});
    m.import_from("korvan_models.classes.builder.ast_generator.helpers.make_literal_node", {"make_literal_node"});

    ClassSpec unset("UNSET");
    Obj UNSET = m.define_class(unset);

    m.def({.name = "make_field_statement",
           .params = {arg("target_name", "str").exactly(&PyUnicode_Type), arg("type_data", "TypeData"),
                      arg("value", "Any").or_else(UNSET), kwarg("is_required", "bool").or_else(boolean(true)),
                      kwarg("can_be_a_reference", "bool").or_else(boolean(true)),
                      kwarg("ast_dependency_generator", "AstDependencyGenerator")},
           .returns = "ast.AnnAssign | ast.stmt",
           .doc = "Builds the annotated assignment that declares one field of a generated model class.",
           .body = make_field_statement});
    m.def({.name = "cast_property_value",
           .params = {arg("type_data", "TypeData"), arg("property_value", "Any")},
           .returns = "Any",
           .doc = "Turns a default value into the literal node its type description calls for, or None.",
           .body = cast_property_value});
    m.def({.name = "cast_number_value",
           .params = {arg("property_value", "Any")},
           .returns = "int | float",
           .doc = "Returns a number unchanged, or the int or float that a text spells; ValueError otherwise.",
           .body = cast_number_value});
}

}  // namespace

KV_MODULE(make_field_statement, "korvan_models.classes.builder.ast_generator.helpers.make_field_statement", module_body)
