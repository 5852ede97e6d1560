// cli_custom_code_reader: gathers the hooks, modifiers and properties files of each model folder
// into one code text, named after the model's schema title.
#include "frame.hpp"

using namespace kv;

namespace {

Obj init(Call& a) {
    a[0].set_attr("_schema_dir", a[1]);
    return Obj::none();
}

// The class name and the folder in parentheses, as an f-string would join them.
Obj to_text(Call& a) {
    Obj parts = new_tuple({a[0].attr("__class__").attr("__name__").format(), str("("),
                           a[0].attr("_schema_dir").format(), str(")")});
    return str("").call_method("join", {parts});
}

// read_custom_code_from_model_directory for one `(model folder, config)` entry.
Obj read_code_of(Handle self, Handle entry) {
    auto [model_directory, object_config] = unpack<2>(entry);
    return self.call_method("read_custom_code_from_model_directory", {model_directory, object_config});
}

Generator iter_custom_code(Call a) {
    Handle self = a[0];
    for (Obj entry : self.call_method("iter_model_directories").iter()) {
        Local custom_code = read_code_of(self, entry);
        if (custom_code->attr("code").truthy()) co_yield custom_code.get();
    }
}

Obj read_custom_code_from_model_directory(Call& a) {
    Handle self = a[0], model_directory = a[1], object_config = a[2];
    Obj code_parts = new_list();
    Obj subdirectories = new_tuple({global<"HOOKS">(), global<"MODIFIERS">(), global<"PROPERTIES">()});
    for (Obj subdirectory : subdirectories.iter())
        code_parts.call_method("extend",
                               {self.call_method("read_custom_code_from_subdirectory", {model_directory, subdirectory})});
    Obj code = str("\n\n").call_method("join", {code_parts});
    return global<"CustomCodeSchema">().call({}, {{"name", object_config.attr("title")}, {"code", code}});
}

Obj first_item(Call& a) { return a[0].item(integer(0)); }

Obj read_custom_code_from_subdirectory(Call& a) {
    Obj hooks_dir = a[1] / a[2];
    Obj code_parts = new_list();
    if (!hooks_dir.call_method("exists").truthy()) return new_list();
    for (Obj item : hooks_dir.call_method("iterdir").iter()) {
        if (!item.call_method("is_file").truthy()) continue;
        if (!item.attr("suffix").call_method("lower").eq(str(".py"))) continue;
        Obj content = item.call_method("read_text", {"utf-8"});
        if (!content.truthy()) continue;
        code_parts.append(new_tuple({item.attr("name"), content.call_method("strip")}));
    }
    Obj by_name = make_function({.name = "<lambda>",
                                 .params = {arg("_item")},
                                 .body = first_item,
                                 .qualname = "CliCustomCodeReader.read_custom_code_from_subdirectory.<locals>.<lambda>"});
    Obj texts = new_list();
    for (Obj part : builtin("sorted").call({code_parts}, {{"key", by_name}}).iter()) texts.append(part.item(integer(1)));
    return texts;
}

Generator iter_model_directories(Call a) {
    Handle self = a[0];
    if (!self.attr("_schema_dir").call_method("exists").truthy()) co_return;
    for (Obj item : self.attr("_schema_dir").call_method("iterdir").iter()) {
        if (!item.call_method("is_dir").truthy()) continue;
        if (!(item / global<"MODEL_JSON_FILE">()).call_method("exists").truthy()) continue;
        if (!self.call_method("is_schema_file", {item / global<"MODEL_JSON_FILE">()}).truthy()) continue;
        Local records = self.call_method("read_configs_from_file", {item / global<"MODEL_JSON_FILE">()});
        Local entry = new_tuple({item, next_item(records)});
        co_yield entry.get();
    }
}

void define_cli_custom_code_reader(ModuleBody& m) {
    ClassSpec spec("CliCustomCodeReader");
    spec.doc("Loads the custom code of every model folder: its hooks, modifiers and properties files.");
    spec.method({.name = "__init__",
                 .params = {arg("self"), arg("schema_dir", "Path")},
                 .returns = "None",
                 .doc = "Keeps the folder whose model folders are walked.",
                 .body = init});
    spec.method({.name = "__str__",
                 .params = {arg("self")},
                 .returns = "str",
                 .doc = "Shows the class name and the folder.",
                 .body = to_text});
    spec.method({.name = "iter_custom_code",
                 .params = {arg("self")},
                 .returns = "Iterator[CustomCodeSchema]",
                 .doc = "Yields the custom code of every model folder that holds any.",
                 .generator = iter_custom_code});
    spec.method({.name = "read_custom_code_from_model_directory",
                 .params = {arg("self"), arg("model_directory", "Path"), arg("object_config", "ObjectSchema")},
                 .returns = "CustomCodeSchema",
                 .doc = "Joins the code files of one model folder, hooks then modifiers then properties.",
                 .body = read_custom_code_from_model_directory});
    spec.method({.name = "read_custom_code_from_subdirectory",
                 .params = {arg("self"), arg("model_directory", "Path"),
                            arg("subdirectory", "str").exactly(&PyUnicode_Type)},
                 .returns = "list[str]",
                 .doc = "Returns the stripped texts of one sub-folder's .py files, ordered by file name.",
                 .body = read_custom_code_from_subdirectory});
    spec.method({.name = "iter_model_directories",
                 .params = {arg("self")},
                 .returns = "Iterator[tuple[Path, ObjectSchema]]",
                 .doc = "Yields each model folder with the first schema read from its model.json.",
                 .generator = iter_model_directories});
    m.define_class(spec, {global<"ConfigReaderMixin">(), global<"CustomCodeLoaderBase">()});
}

void module_body(ModuleBody& m) {
    m.import("logging");
    m.import_from("collections.abc", {"Iterator"});
    m.import_from("pathlib", {"Path"});
    m.import_from("korvan_utils.models.data_models.schema", {"ObjectSchema"});
    m.import_from("korvan_models.schemas.data_models.custom_code", {"CustomCodeSchema"});
    m.import_from("korvan_models.schemas.loaders.base", {"ConfigReaderMixin", "CustomCodeLoaderBase"});
    m.set("HOOKS", str("hooks"));
    m.set("MODIFIERS", str("modifiers"));
    m.set("PROPERTIES", str("properties"));
    m.set("MODEL_JSON_FILE", str("model.json"));
    m.set("logger", global<"logging">().attr("getLogger").call({global<"__name__">()}));
    define_cli_custom_code_reader(m);
}

}  // namespace

KV_MODULE(cli_custom_code_reader, "korvan_models.schemas.loaders.cli_custom_code_reader", module_body)
