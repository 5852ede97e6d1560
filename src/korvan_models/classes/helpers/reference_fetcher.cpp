// reference_fetcher: loads the record a reference points at, through the class manager and the
// query set, from the database its versions call for: the default database when both versions are
// the latest, else the lakehouse.
#include "frame.hpp"

using namespace kv;

namespace {

// The reference's version, with the text "LATEST" read as the marker.
Obj version_marker(Obj version, Handle versions) {
    if (version.eq(name("LATEST"))) return versions.attr("LATEST");
    return version;
}

Obj init(Call& a) {
    a[0].set_attr("_reference", a[1]);
    return Obj::none();
}

Obj load_reference(Call& a) {
    Handle self = a[0], only = a[1], using_alias = a[2];
    Obj model_class = self.call_method("_load_model_class");
    return self.call_method("_load_record", {model_class}, {{"only", only}, {"using", using_alias}});
}

Obj load_model_class(Call& a) {
    Handle self = a[0];
    Obj class_manager = global<"ClassManager">().call();
    Obj schema_type = class_manager.call_method("resolve_schema_type", {self.attr("_reference").attr("ref").attr("class_name")});
    return class_manager.call_method("import_model_class",
                                     {self.attr("_reference").attr("ref").attr("class_name"), schema_type});
}

Obj load_record(Call& a) {
    Handle self = a[0], model_class = a[1], only = a[2], using_alias = a[3];
    Obj versions = import_name("korvan_utils.models.enums", "Versions");
    Obj query_set = import_name("korvan_models.querysets.base_queryset", "QuerySet");

    Obj class_version = version_marker(self.attr("_reference").attr("ref").attr("class_version"), versions);
    Obj object_version = version_marker(self.attr("_reference").attr("ref").attr("object_version"), versions);

    // Any concrete version lives only in the lakehouse; the latest of both is in the default database.
    Obj alias = global<"DEFAULT_DB_ALIAS">();
    if (object_version.ne(versions.attr("LATEST")) || class_version.ne(versions.attr("LATEST")))
        alias = global<"LAKEHOUSE_DB_ALIAS">();

    Obj query = query_set.call({model_class})
                    .call_method("using", {alias})
                    .call_method("get", {},
                                 {{"_address__class_version", class_version},
                                  {"_address__object_id", self.attr("_reference").attr("ref").attr("object_id")},
                                  {"_address__object_version", object_version}});
    if (only.truthy()) query = query.call_method("only", {only});
    if (using_alias.truthy()) query = query.call_method("using", {using_alias});
    return query.call_method("execute");
}

void define_reference_fetcher(ModuleBody& m) {
    ClassSpec spec("ReferenceFetcher");
    spec.method({.name = "__init__",
                 .params = {arg("self"), arg("reference", "Reference")},
                 .returns = "None",
                 .doc = "Keeps the reference to load.",
                 .body = init});
    spec.method({.name = "load_reference",
                 .params = {arg("self"), arg("only", "list[str] | None").or_else(Obj::none()),
                            arg("using", "str | None").or_else(Obj::none())},
                 .returns = "Model",
                 .doc = "Loads a reference.\n\n"
                        "Args:\n"
                        "    only (list[str] | None): The fields to include in the loaded record.\n"
                        "    using (str | None): The database alias to use.\n\n"
                        "Returns:\n"
                        "    Model: The loaded model.\n",
                 .body = load_reference});
    spec.method({.name = "_load_model_class", .params = {arg("self")}, .returns = "type[Model]", .body = load_model_class});
    spec.method({.name = "_load_record",
                 .params = {arg("self"), arg("model_class", "type[Model]"), arg("only", "list[str] | None").or_else(Obj::none()),
                            arg("using", "str | None").or_else(Obj::none())},
                 .returns = "Model",
                 .body = load_record});
    m.define_class(spec);
}

void module_body(ModuleBody& m) {
    m.import_from("korvan_data.aliases.using", {"DEFAULT_DB_ALIAS", "LAKEHOUSE_DB_ALIAS"});
    m.import_from("korvan_utils.models.data_models.reference", {"Reference"});
    m.import_from("korvan_models.classes.manager", {"ClassManager"});
    m.import_from("korvan_models.classes.model", {"Model"});
    define_reference_fetcher(m);
}

}  // namespace

KV_MODULE(reference_fetcher, "korvan_models.classes.helpers.reference_fetcher", module_body)
