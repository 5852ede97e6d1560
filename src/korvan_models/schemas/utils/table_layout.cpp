// table_layout: the table that stores a model, described from its schema for migrations.
//
// One column per property, typed by a host type or, for a reference to another model, the Model
// class; nullable unless the property is required. Indexes and unique constraints stay empty.
#include <array>

#include "exact.hpp"
#include "frame.hpp"

using namespace kv;

namespace {

// The core type names in the order they are tested, and the host type each one maps to.
constexpr std::array<const char*, 6> core_names{"NUMBER", "BOOLEAN", "STRING", "ARRAY", "DICTIONARY", "BINARY"};
constexpr std::array<const char*, 6> host_types{"float", "bool", "str", "list", "dict", "bytes"};

// The CoreTypes enumeration the module body imported, with its members; members cannot be rebound.
struct CoreMembers {
    PyObject* enumeration = nullptr;
    std::array<PyObject*, 7> members{};  // core_names, then OBJECT
};
CoreMembers g_core;

Obj core_member(Handle core_types, size_t which) {
    if (core_types.is(g_core.enumeration)) return Obj(Handle(g_core.members[which]));
    return core_types.attr(which < core_names.size() ? core_names[which] : "OBJECT");
}

// property_type == member, where property_type is an exact str.
bool same_name(Handle property_type, Handle member) {
    if (plain_text(member)) return same_text(property_type, member);
    return property_type.eq(member);
}

// property_type.capitalize() == property_type
bool is_capitalized(Handle property_type) {
    std::optional<std::string_view> chars = ascii_chars(property_type);
    if (!chars) return property_type.call_method("capitalize").eq(property_type);
    std::string_view c = *chars;
    if (!c.empty() && c[0] >= 'a' && c[0] <= 'z') return false;
    for (size_t i = 1; i < c.size(); ++i)
        if (c[i] >= 'A' && c[i] <= 'Z') return false;
    return true;
}

Obj process_property_type(Call& a) {
    Handle property_type = a[0];
    Obj core_types = global<"CoreTypes">();
    for (size_t i = 0; i < core_names.size(); ++i)
        if (same_name(property_type, core_member(core_types, i))) return builtin(host_types[i]);
    if (is_capitalized(property_type) || same_name(property_type, core_member(core_types, core_names.size())))
        return global<"Model">();
    return builtin("str");
}

Obj column(Handle property_name, Handle property_data, Handle required) {
    static const Keywords keys{"name", "field_id", "is_deleted", "type", "default", "nullable"};
    Obj column_schema = global<"TableColumnSchema">();
    Obj name = property_data.attr("field_name");
    Obj field_id = property_data.attr("field_id");
    Obj is_deleted = property_data.attr("is_deleted");
    Obj type = global<"_process_property_type">().call({property_data.attr("type")});
    Obj default_value = property_data.attr("default");
    bool nullable = !required.contains(property_name);
    return column_schema.call({}, keys, {name, field_id, is_deleted, type, default_value, nullable});
}

Obj process_properties(Call& a) {
    Handle properties = a[0], required = a[1];
    Obj columns = new_list();
    if (!properties.truthy()) return columns;
    for (Obj pair : properties.call_method("items").iter()) {
        auto [property_name, property_data] = unpack<2>(pair);
        columns.append(column(property_name, property_data, required));
    }
    return columns;
}

Obj object_schema_to_table_schema(Call& a) {
    Handle object_schema = a[0];
    static const Keywords address_keys{"resource", "class_name", "class_version", "object_id", "object_version"};
    static const Keywords table_keys{"address", "columns", "indexed", "unique_columns"};
    Obj class_name = object_schema.attr("title");
    Obj connection = global<"KorvanConfigManager">().call().call_method("get_connection_name_by_model_name", {class_name});
    Obj address = global<"Address">().call({}, address_keys, {connection, class_name, "1", "", ""});
    Obj columns = global<"_process_properties">().call({object_schema.attr("properties"), object_schema.attr("required")});
    return global<"TableSchema">().call({}, table_keys, {address, columns, new_list(), new_list()});
}

void remember_core_types() {
    Obj core_types = global<"CoreTypes">();
    for (size_t i = 0; i < core_names.size(); ++i) g_core.members[i] = core_types.attr(core_names[i]).release();
    g_core.members[core_names.size()] = core_types.attr("OBJECT").release();
    g_core.enumeration = core_types.release();  // kept for the life of the process
}

void module_body(ModuleBody& m) {
    m.import_from("korvan_utils.config.manager", {"KorvanConfigManager"});
    m.import_from("korvan_utils.models.data_models.address", {"Address"});
    m.import_from("korvan_utils.models.data_models.enums", {"CoreTypes"});
    remember_core_types();
    m.import_from("korvan_utils.models.data_models.schema", {"ObjectSchema", "PropertyData"});
    m.import_from("korvan_utils.models.data_models.table_schema", {"TableColumnSchema", "TableSchema"});
    m.import_from("korvan_models.classes.model", {"Model"});
    m.def({.name = "object_schema_to_table_schema",
           .params = {arg("object_schema", "ObjectSchema")},
           .returns = "TableSchema",
           .doc = "Describes the database table that stores the model of the given schema.",
           .body = object_schema_to_table_schema});
    m.def({.name = "_process_properties",
           .params = {arg("properties", "dict[str, PropertyData] | None"),
                      arg("required", "list[str]").exactly(&PyList_Type)},
           .returns = "list[TableColumnSchema]",
           .body = process_properties});
    m.def({.name = "_process_property_type",
           .params = {arg("property_type", "str").exactly(&PyUnicode_Type)},
           .returns = "type | Model",
           .body = process_property_type});
}

}  // namespace

KV_MODULE(table_layout, "korvan_models.schemas.utils.table_layout", module_body)
