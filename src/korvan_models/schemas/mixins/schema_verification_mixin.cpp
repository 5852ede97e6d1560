// schema_verification_mixin: checks a whole set of schemas (type, core, contrib and user groups)
// for duplicated titles and for property names, listed as required, indexed or unique, that the
// schema does not define. The first violation raises KorvanValidationError.
#include "records.hpp"
#include "frame.hpp"
#include "schema_groups.hpp"

using namespace kv;
using namespace korvan;

namespace {

// `name in (properties or {})`: a falsy mapping answers as an empty dict, which still hashes the name.
bool defined_in(Handle properties, Handle property_name) {
    if (exact_dict(properties)) return dict_has(properties, property_name);
    if (!properties.truthy()) return new_dict().contains(property_name);
    return properties.contains(property_name);
}

Obj verify_unique_schemas(Call& a) {
    Obj seen = new_set();
    for_each(all_schemas_of(a[0], a[1], a[2], a[3]), [&](Handle _schema) {
        Obj title = field<"title">(_schema);
        if (seen.contains(title))
            raise_invalid(format_text("Schema with title '%U' is duplicated", field<"title">(_schema).format().ptr()));
        set_add(seen, title);
    });
    return Obj::none();
}

// The schema's `properties`, read once and only when a name has to be looked up.
class Properties {
public:
    explicit Properties(Handle schema) : schema_(schema) {}
    bool has(Handle property_name) {
        if (!properties_.valid()) properties_ = field<"properties">(schema_);
        return defined_in(properties_, property_name);
    }

private:
    Handle schema_;
    Obj properties_;
};

// Each name listed under `_field` (getattr(_schema, _field, []): a missing field lists none).
void verify_listed(Handle names, const char* _field, Properties& properties) {
    if (!names.valid()) return;
    for_each(names, [&](Handle _required_property) {
        if (!properties.has(_required_property))
            raise_invalid(format_text("Property %U marked as %s but wasn't found in class schema's properties.",
                                      _required_property.format().ptr(), _field));
    });
}

void verify_schema_properties(Handle _schema) {
    Properties properties(_schema);
    verify_listed(field_or_null<"required">(_schema), "required", properties);
    verify_listed(field_or_null<"indexed">(_schema), "indexed", properties);
    Obj unique = field_or_null<"unique">(_schema);
    if (!unique.valid()) return;
    for_each(unique, [&](Handle unique_group) {
        for_each(unique_group, [&](Handle unique_property) {
            if (!properties.has(unique_property))
                raise_invalid(format_text(
                    "Property %U marked is used in 'unique' but wasn't found in class schema's properties.",
                    unique_property.format().ptr()));
        });
    });
}

Obj verify_properties(Call& a) {
    for_each(all_schemas_of(a[0], a[1], a[2], a[3]), [](Handle _schema) { verify_schema_properties(_schema); });
    return Obj::none();
}

Obj verify_schemas(Call& a) {
    Handle self = a[0];
    self.call_method("_verify_unique_schemas", {a[1], a[2], a[3], a[4]});
    self.call_method("_verify_properties", {a[1], a[2], a[3], a[4]});
    return Obj::none();
}

void module_body(ModuleBody& m) {
    m.import_from("korvan_utils.models.data_models.schema", {"ObjectSchema"});
    m.import_from("korvan_models.errors", {"KorvanValidationError"});

    ClassSpec mixin("SchemaVerificationMixin");
    mixin.doc("Verifies a whole set of schemas: unique titles and defined property names.")
        .method({.name = "verify_schemas",
                 .params = group_params(true),
                 .returns = "None",
                 .doc = "Raises KorvanValidationError for the first duplicated title or undefined property name.",
                 .body = verify_schemas})
        .staticmethod({.name = "_verify_unique_schemas",
                       .params = group_params(false),
                       .returns = "None",
                       .body = verify_unique_schemas})
        .staticmethod({.name = "_verify_properties",
                       .params = group_params(false),
                       .returns = "None",
                       .body = verify_properties});
    m.define_class(mixin);
}

}  // namespace

KV_MODULE(schema_verification_mixin, "korvan_models.schemas.mixins.schema_verification_mixin", module_body)
