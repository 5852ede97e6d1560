// dependency_check_mixin: checks that every type a schema depends on (its base type, its
// properties' types, an array's item type, a dictionary's key and value types) is defined by some
// schema of the set. Type schemas are known by their lower-cased titles, classes by their exact ones.
#include <vector>

#include "records.hpp"
#include "frame.hpp"
#include "schema_groups.hpp"

using namespace kv;
using namespace korvan;

namespace {

// `left == right` in an `if`: two texts that compare as str does are compared here directly (no
// user code can run for them); anything else goes through the rich comparison and its truth.
bool equals(Handle left, Handle right) {
    if (plain_text(left) && plain_text(right)) return same_text(left, right);
    return left.equal_to(right);
}

// The names a schema depends on, in the order they are found. Exact texts wait in a list, since
// hashing and comparing them runs no Python code; the first value of any other kind (whose hash
// or equality may be its own) turns the list into the set, and later values go straight into it,
// so every such hash runs in the order it would have run.
class Dependencies {
public:
    void add(Handle value) {
        if (!set_.valid() && exact_str(value)) {
            texts_.emplace_back(value);
            return;
        }
        set_add(set(), value);
    }
    bool only_texts() const { return !set_.valid(); }
    const std::vector<Obj>& texts() const { return texts_; }
    Handle set() {
        if (!set_.valid()) {
            set_ = new_set();
            for (const Obj& text : texts_) set_add(set_, text);
            texts_.clear();
        }
        return set_;
    }

private:
    std::vector<Obj> texts_;
    Obj set_;
};

// CoreTypes.ARRAY and CoreTypes.DICTIONARY, read once per CoreTypes class (enumeration members
// cannot be rebound); a module whose CoreTypes is rebound reads them afresh.
struct CoreMembers {
    Obj array, dictionary;
};

CoreMembers core_members() {
    static FromGlobal& members = *new FromGlobal("CoreTypes");  // lives as long as the module
    Obj both = members.get([](Handle owner) { return new_tuple({owner.attr("ARRAY"), owner.attr("DICTIONARY")}); });
    return CoreMembers{tuple_at(both, 0), tuple_at(both, 1)};
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

void add_property_dependencies(Dependencies& _dependencies, Handle _property, TypeNames& names) {
    Obj property_type = field<"type">(_property);
    _dependencies.add(property_type);
    bool is_array = equals(property_type, names.core.array);
    Obj items = is_array ? field<"items">(_property) : Obj();
    if (is_array && instance_of(items, names.get(names.type_data, "TypeData"))) {
        _dependencies.add(field<"type">(items));
    } else if (equals(property_type, names.core.dictionary)) {
        if (!items.valid()) items = field<"items">(_property);
        if (instance_of(items, names.get(names.legacy_dict_schema, "LegacyDictSchema"))) {
            _dependencies.add(field<"key_type">(items));
            _dependencies.add(field<"value_type">(items));
        } else if (instance_of(items, names.get(names.dict_schema, "DictSchema"))) {
            _dependencies.add(field<"type">(field<"key">(items)));
            _dependencies.add(field<"type">(field<"value">(items)));
        }
    }
}

void gather(Handle schema, Dependencies& _dependencies) {
    _dependencies.add(field<"type">(schema));
    if (field<"properties">(schema).truthy()) {
        TypeNames names;
        for_each_value(field<"properties">(schema),
                       [&](Handle _property) { add_property_dependencies(_dependencies, _property, names); });
    }
}

// The set of the names, the title left out.
Obj dependency_set(Dependencies& _dependencies, Handle title) {
    Obj names = _dependencies.set();
    set_discard(names, title);
    return names;
}

Obj get_dependency_type_names(Call& a) {
    Handle schema = a[0];
    Dependencies _dependencies;
    gather(schema, _dependencies);
    return dependency_set(_dependencies, field<"title">(schema));
}

// The class's own get_dependency_type_names, as the module defined it.
Obj& own_method() {
    static Obj& method = *new Obj();  // lives as long as the module
    return method;
}

// Whether `self.get_dependency_type_names` is the class's own static method, found without running
// Python code: plain attribute lookup, nothing replacing it in a subclass or the instance's dict.
bool reaches_own_method(Handle self) {
    return reaches_class_attribute(self, name("get_dependency_type_names"), own_method());
}

// Whether every name is defined or is the title: exact texts all, looked up in a set of exact
// texts, so no Python code runs and the answer is the set's own.
bool all_defined(const Dependencies& _dependencies, Handle _defined_schemas, Handle title) {
    if (!_dependencies.only_texts() || !exact_str(title)) return false;
    for (const Obj& name : _dependencies.texts())
        if (!_defined_schemas.contains(name) && !same_text(name, title)) return false;
    return true;
}

// self.get_dependency_type_names(schema); empty when the schema's names are all defined and the
// method is the class's own, which then needs no set.
Obj undecided_names(Handle self, Handle schema, Handle _defined_schemas, bool defined_texts) {
    if (!defined_texts || !reaches_own_method(self)) return self.call_method("get_dependency_type_names", {schema});
    Dependencies _dependencies;
    gather(schema, _dependencies);
    Obj title = field<"title">(schema);
    if (all_defined(_dependencies, _defined_schemas, title)) return {};
    return dependency_set(_dependencies, title);
}

Obj check_dependencies(Call& a) {
    Handle self = a[0], type_schemas = a[1], core_schemas = a[2], contrib_schemas = a[3], user_schemas = a[4];
    Obj _defined_schemas = new_set();
    bool defined_texts = true;  // every defined name an exact text
    auto define = [&](Handle title) {
        defined_texts = defined_texts && exact_str(title);
        set_add(_defined_schemas, title);
    };
    for_each(type_schemas, [&](Handle schema) { define(text_call<"lower">(field<"title">(schema))); });
    for (Handle group : {core_schemas, contrib_schemas, user_schemas})
        for_each(group, [&](Handle schema) { define(field<"title">(schema)); });

    for_each(all_schemas_of(type_schemas, core_schemas, contrib_schemas, user_schemas), [&](Handle _schema) {
        Obj names = undecided_names(self, _schema, _defined_schemas, defined_texts);
        if (!names.valid()) return;
        for (const Obj& _dependency : names.iter()) {
            if (_defined_schemas.contains(_dependency)) continue;
            raise_invalid(format_text("Class %U is undefined! This class is set as dependency for %U",
                                      _dependency.format().ptr(), field<"title">(_schema).format().ptr()));
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
    Obj cls = m.define_class(mixin);
    own_method() = Obj(type_lookup(cls, name("get_dependency_type_names")));
}

}  // namespace

KV_MODULE(dependency_check_mixin, "korvan_models.schemas.mixins.dependency_check_mixin", module_body)
