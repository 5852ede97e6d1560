// class_source_assembler: drives one AstClassWriter through the assembly of one schema's class and
// offers the class text and its import block, assembling once whichever is read first.
#include "frame.hpp"

using namespace kv;

namespace {

// Calls visit(property_name, property_config) for each item of the schema's properties, read
// afresh for each pass.
template <typename Visit>
void for_each_property(Handle self, Visit visit) {
    if (!self.attr("_schema").attr("properties").truthy()) return;
    for (const Obj& pair : self.attr("_schema").attr("properties").call_method("items").iter()) {
        auto [property_name, property_config] = unpack<2>(pair);
        visit(property_name, property_config);
    }
}

Obj init(Call& a) {
    Handle self = a[0], models_module_name = a[1], schema = a[2], schema_type = a[3], base_class = a[4],
           model_names = a[5];
    self.set_attr("_schema", schema);
    self.set_attr("_schema_type", schema_type);
    self.set_attr("_base_class", base_class);
    self.set_attr("ast_generator", global<"AstClassWriter">().call({models_module_name, base_class, model_names}));
    return Obj::none();
}

Obj build_class_source(Call& a) {
    Handle self = a[0];
    Obj schema = self.attr("_schema");
    self.attr("ast_generator").call_method("register_class", {schema.attr("title")}, {{"extend_type", schema.attr("type")}});
    Obj fingerprint = global<"calculate_schema_digest">().call({self.attr("_schema")});
    self.attr("ast_generator")
        .call_method("add_class_data", {}, {{"schema_type", self.attr("_schema_type")}, {"class_fingerprint", fingerprint}});

    // All fields first, then all validator methods.
    for_each_property(self, [&](Handle property_name, Handle property_config) {
        bool is_required = self.attr("_schema").attr("required").contains(property_name);
        self.attr("ast_generator")
            .call_method("add_class_property", {}, {{"property_name", property_name},
                                                    {"property_config", property_config},
                                                    {"is_required", is_required}});
    });
    for_each_property(self, [&](Handle property_name, Handle property_config) {
        self.attr("ast_generator")
            .call_method("add_properties_validators", {}, {{"property_name", property_name},
                                                           {"property_config", property_config}});
    });
    if (self.attr("_schema").attr("custom_code").truthy())
        self.attr("ast_generator").call_method("add_class_custom_code", {self.attr("_schema").attr("custom_code")});
    return expect_str(self.attr("ast_generator").attr("model_source"));
}

Obj model_class_source(Call& a) { return expect_str(a[0].call_method("_build_class_source")); }

Obj dependencies_source(Call& a) {
    a[0].call_method("_build_class_source");
    return expect_str(a[0].attr("ast_generator").attr("dependencies_source"));
}

void define_class_source_assembler(ModuleBody& m) {
    ClassSpec spec("ClassSourceAssembler");
    spec.annotation("ast_generator", str("AstClassWriter"));
    spec.method({.name = "__init__",
                 .params = {arg("self"), arg("models_module_name", "str").exactly(&PyUnicode_Type),
                            arg("schema", "ObjectSchema"), arg("schema_type", "SchemaTypes"),
                            arg("base_class", "type[Model | TypeModel]"), arg("model_names", "DependencyModelNames")},
                 .returns = "None",
                 .doc = "Initializes the ClassSourceAssembler.\n\n"
                        "Args:\n"
                        "    models_module_name (str): The name of the package of the generated models.\n"
                        "    schema (ObjectSchema): The schema of the model.\n"
                        "    schema_type (SchemaTypes): The schema type written into the class.\n"
                        "    base_class (type[Model | TypeModel]): The base class of the model.\n"
                        "    model_names (DependencyModelNames): The names of the known models.\n",
                 .body = init});
    spec.cached_property({.name = "model_class_source",
                          .params = {arg("self")},
                          .returns = "str",
                          .doc = "Returns the source code for the model class.",
                          .body = model_class_source});
    spec.cached_property({.name = "dependencies_source",
                          .params = {arg("self")},
                          .returns = "str",
                          .doc = "Returns the source code for the dependencies.",
                          .body = dependencies_source});
    spec.cached_method({.name = "_build_class_source", .params = {arg("self")}, .returns = "str", .body = build_class_source});
    m.define_class(spec);
}

void module_body(ModuleBody& m) {
    m.import_from("functools", {"cache", "cached_property"});
    m.import_from("korvan_utils.models.data_models.schema", {"ObjectSchema"});
    m.import_from("korvan_utils.models.enums", {"SchemaTypes"});
    m.import_from("korvan_models.classes.builder.ast_generator.class_writer", {"AstClassWriter"});
    m.import_from("korvan_models.classes.data_models.dependencies", {"DependencyModelNames"});
    m.import_from("korvan_models.classes.model", {"Model", "TypeModel"});
    m.import_from("korvan_models.schemas.utils.schema_digest", {"calculate_schema_digest"});
    define_class_source_assembler(m);
}

}  // namespace

KV_MODULE(class_source_assembler, "korvan_models.classes.builder.class_source_assembler", module_body)
