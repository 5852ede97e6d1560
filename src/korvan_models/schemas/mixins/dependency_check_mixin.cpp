// dependency_check_mixin: checks that every type a schema depends on (its base type, its
// properties' types, an array's item type, a dictionary's key and value types) is defined by some
// schema of the set. Type schemas are known by their lower-cased titles, classes by their exact ones.
#include "../record_fields.hpp"
#include "frame.hpp"
#include "schema_groups.hpp"

using namespace kv;
using namespace korvan;

namespace {

// `left == right` in an `if`: two texts that compare as str does are compared here directly (no
// user code can run for them); anything else goes through the rich comparison and its truth.
bool equals(Handle left, Handle right) {
    richcmpfunc text_compare = PyUnicode_Type.tp_richcompare;
    if (PyUnicode_Check(left.ptr()) && PyUnicode_Check(right.ptr()) &&
        Py_TYPE(left.ptr())->tp_richcompare == text_compare && Py_TYPE(right.ptr())->tp_richcompare == text_compare)
        return PyUnicode_GET_LENGTH(left.ptr()) == PyUnicode_GET_LENGTH(right.ptr()) &&
               PyUnicode_Compare(left.ptr(), right.ptr()) == 0;
    return Obj::steal(PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ)).truthy();
}

void add(Handle set, Handle value) {
    if (PySet_Add(set.ptr(), value.ptr()) < 0) fail();
}

// CoreTypes.ARRAY and CoreTypes.DICTIONARY, read once per CoreTypes class (enumeration members
// cannot be rebound); a module whose CoreTypes is rebound reads them afresh.
struct CoreMembers {
    Obj owner, array, dictionary;
};

const CoreMembers& core_members() {
    static CoreMembers& members = *new CoreMembers{};  // lives as long as the module
    Obj owner = global("CoreTypes");
    if (!owner.is(members.owner)) members = CoreMembers{owner, owner.attr("ARRAY"), owner.attr("DICTIONARY")};
    return members;
}

// The names this module reads from its namespace for one schema's properties; a record class is
// looked up when a property first needs it.
struct TypeNames {
    CoreMembers core = core_members();
    Obj type_data, legacy_dict_schema, dict_schema;

    Handle get(Obj& slot, const char* global_name) {
        if (!slot.valid()) slot = global(global_name);
        return slot;
    }
};

void add_property_dependencies(Handle _dependencies, Handle _property, TypeNames& names) {
    Obj property_type = field<"type">(_property);
    add(_dependencies, property_type);
    bool is_array = equals(property_type, names.core.array);
    Obj items = is_array ? field<"items">(_property) : Obj();
    if (is_array && instance_of(items, names.get(names.type_data, "TypeData"))) {
        add(_dependencies, field<"type">(items));
    } else if (equals(property_type, names.core.dictionary)) {
        if (!items.valid()) items = field<"items">(_property);
        if (instance_of(items, names.get(names.legacy_dict_schema, "LegacyDictSchema"))) {
            add(_dependencies, field<"key_type">(items));
            add(_dependencies, field<"value_type">(items));
        } else if (instance_of(items, names.get(names.dict_schema, "DictSchema"))) {
            add(_dependencies, field<"type">(field<"key">(items)));
            add(_dependencies, field<"type">(field<"value">(items)));
        }
    }
}

Obj get_dependency_type_names(Call& a) {
    Handle schema = a[0];
    Obj _dependencies = new_set();
    add(_dependencies, field<"type">(schema));
    if (field<"properties">(schema).truthy()) {
        TypeNames names;
        for_each_value(field<"properties">(schema),
                       [&](Handle _property) { add_property_dependencies(_dependencies, _property, names); });
    }
    if (PySet_Discard(_dependencies.ptr(), field<"title">(schema).ptr()) < 0) fail();
    return _dependencies;
}

Obj check_dependencies(Call& a) {
    Handle self = a[0], type_schemas = a[1], core_schemas = a[2], contrib_schemas = a[3], user_schemas = a[4];
    Obj _defined_schemas = new_set();
    for_each(type_schemas, [&](Handle schema) { add(_defined_schemas, field<"title">(schema).call_method("lower")); });
    for (Handle group : {core_schemas, contrib_schemas, user_schemas})
        for_each(group, [&](Handle schema) { add(_defined_schemas, field<"title">(schema)); });

    for_each(all_schemas_of(type_schemas, core_schemas, contrib_schemas, user_schemas), [&](Handle _schema) {
        for (const Obj& _dependency : self.call_method("get_dependency_type_names", {_schema}).iter()) {
            if (_defined_schemas.contains(_dependency)) continue;
            raise_invalid(Obj::steal(PyUnicode_FromFormat("Class %U is undefined! This class is set as dependency for %U",
                                                          _dependency.format().ptr(),
                                                          field<"title">(_schema).format().ptr())));
        }
    });
    return Obj::none();
}

void module_body(ModuleBody& m) {
    m.import_from("korvan_utils.models.data_models.core", {"DictSchema", "LegacyDictSchema", "TypeData"});
    m.import_from("korvan_utils.models.data_models.enums", {"CoreTypes"});
    m.import_from("korvan_utils.models.data_models.schema", {"ObjectSchema"});
    m.import_from("korvan_models.errors", {"KorvanValidationError"});

    ClassSpec mixin("DependencyCheckMixin");
    mixin.doc("Verifies that every type a schema depends on is defined by some schema of the set.")
        .method({.name = "check_dependencies",
                 .params = group_params(true),
                 .returns = "None",
                 .doc = "Raises KorvanValidationError for the first dependency that no schema defines.",
                 .body = check_dependencies})
        .staticmethod({.name = "get_dependency_type_names",
                       .params = {arg("schema", "ObjectSchema")},
                       .returns = "set[str]",
                       .doc = "Returns the names of the types that the schema depends on, its own title left out.",
                       .body = get_dependency_type_names});
    m.define_class(mixin);
}

}  // namespace

KV_MODULE(dependency_check_mixin, "korvan_models.schemas.mixins.dependency_check_mixin", module_body)
