// cli_config_reader: finds the model schemas of a project folder, one "model.json" per direct
// sub-folder, and yields the records that the schema reader of the base produces from each.
#include "frame.hpp"

using namespace kv;

namespace {

Obj init(Call& a) {
    a[0].set_attr("_config_dir", a[1]);
    return Obj::none();
}

// The class name and the folder in parentheses, as an f-string would join them.
Obj to_text(Call& a) {
    Obj parts = new_tuple({a[0].attr("__class__").attr("__name__").format(), str("("),
                           a[0].attr("_config_dir").format(), str(")")});
    return str("").call_method("join", {parts});
}

Generator iter_configs(Call a) {
    Handle self = a[0];
    for (Obj json_file : self.call_method("iter_json_files").iter()) {
        if (!self.call_method("is_schema_file", {json_file}).truthy()) continue;
        Local records = self.call_method("read_configs_from_file", {json_file});
        co_await yield_from(records);
    }
}

Generator iter_json_files(Call a) {
    Handle self = a[0];
    if (!self.attr("_config_dir").call_method("exists").truthy()) co_return;
    for (Obj item : self.attr("_config_dir").call_method("iterdir").iter()) {
        if (item.call_method("is_dir").truthy() && (item / global<"MODEL_JSON_FILE">()).call_method("exists").truthy())
            co_yield item / global<"MODEL_JSON_FILE">();
    }
}

void define_cli_config_loader(ModuleBody& m) {
    ClassSpec spec("CliConfigLoader");
    spec.doc("Loads the model schemas of a project folder, one model.json per model folder.");
    spec.method({.name = "__init__",
                 .params = {arg("self"), arg("config_dir", "Path")},
                 .returns = "None",
                 .doc = "Keeps the folder whose model folders are walked.",
                 .body = init});
    spec.method({.name = "__str__",
                 .params = {arg("self")},
                 .returns = "str",
                 .doc = "Shows the class name and the folder.",
                 .body = to_text});
    spec.method({.name = "iter_configs",
                 .params = {arg("self")},
                 .returns = "Iterator[ObjectSchema]",
                 .doc = "Yields the schema records of every model folder, one file at a time.",
                 .generator = iter_configs});
    spec.method({.name = "iter_json_files",
                 .params = {arg("self")},
                 .returns = "Iterator[Path]",
                 .doc = "Yields the model.json path of every direct sub-folder that has one.",
                 .generator = iter_json_files});
    m.define_class(spec, {global<"ConfigReaderMixin">(), global<"ConfigLoaderBase">()});
}

void module_body(ModuleBody& m) {
    m.import_from("collections.abc", {"Iterator"});
    m.import_from("pathlib", {"Path"});
    m.import_from("korvan_utils.models.data_models.schema", {"ObjectSchema"});
    m.import_from("korvan_models.schemas.loaders.base", {"ConfigLoaderBase", "ConfigReaderMixin"});
    m.set("MODEL_JSON_FILE", str("model.json"));
    define_cli_config_loader(m);
}

}  // namespace

KV_MODULE(cli_config_reader, "korvan_models.schemas.loaders.cli_config_reader", module_body)
