// custom_code_binder: attaches to each schema the custom code gathered under its title, and warns
// about custom code that matched no schema.
#include "records.hpp"
#include "frame.hpp"

using namespace kv;

namespace {

Obj init(Call& a) {
    Handle self = a[0], custom_code_reader = a[1];
    set_field<"_custom_code_reader">(self, custom_code_reader);
    Obj custom_code_schemas = new_dict();
    for_each_of(field<"_custom_code_reader">(self).call_method("iter_custom_code"),
                [&](Handle schema) { dict_set(custom_code_schemas, field<"name">(schema), schema); });
    set_field<"_custom_code_schemas">(self, custom_code_schemas);
    set_field<"_used_custom_codes">(self, new_set());
    return Obj::none();
}

Obj extend(Call& a) {
    Handle self = a[0], config = a[1];
    Obj custom_code_schema = field<"_custom_code_schemas">(self).get(field<"title">(config));
    if (!custom_code_schema.truthy()) return Obj::none();
    config.set_attr("custom_code", field<"code">(custom_code_schema));
    field<"_used_custom_codes">(self).add(field<"name">(custom_code_schema));
    return Obj::none();
}

Obj post_extend(Call& a) {
    Handle self = a[0];
    Obj names = field<"_custom_code_schemas">(self).call_method("keys");
    Obj unused_custom_codes = names - field<"_used_custom_codes">(self);
    if (!unused_custom_codes.truthy()) return Obj::none();
    Obj joined = join(name(", "), unused_custom_codes);
    global<"logger">().call_method("warning", {"Unused custom codes: %s for %s", joined, field<"_custom_code_reader">(self)});
    return Obj::none();
}

void module_body(ModuleBody& m) {
    m.import("logging");
    m.import_from("korvan_utils.models.data_models.schema", {"ObjectSchema"});
    m.import_from("korvan_models.schemas.loaders.base", {"CustomCodeLoaderBase"});
    m.set("logger", global<"logging">().call_method("getLogger", {global<"__name__">()}));

    ClassSpec binder("CustomCodeBinder");
    binder.doc("Attaches custom code to the schemas named by it and reports the code no schema used.")
        .method({.name = "__init__",
                 .params = {arg("self"), arg("custom_code_reader", "CustomCodeLoaderBase")},
                 .doc = "Reads every custom code record of the loader once, keyed by its name.",
                 .body = init})
        .method({.name = "extend",
                 .params = {arg("self"), arg("config", "ObjectSchema")},
                 .returns = "None",
                 .doc = "Sets the schema's custom code to the code recorded under its title, if any.",
                 .body = extend})
        .method({.name = "post_extend",
                 .params = {arg("self")},
                 .returns = "None",
                 .doc = "Logs a warning naming the custom code records that matched no schema.",
                 .body = post_extend});
    m.define_class(binder);
}

}  // namespace

KV_MODULE(custom_code_binder, "korvan_models.schemas.extenders.custom_code_binder", module_body)
