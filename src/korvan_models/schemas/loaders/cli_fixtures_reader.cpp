// cli_fixtures_reader: merges the fixture records of every model folder into one temporary JSON
// document, and copies the files they refer to into a temporary folder, one sub-folder per model.
#include "frame.hpp"

using namespace kv;

namespace {

Obj init(Call& a) {
    Handle self = a[0], schema_dir = a[1];
    self.set_attr("models_with_fixtures", new_list());
    if (!schema_dir.call_method("exists").truthy()) return Obj::none();
    for (Obj item : schema_dir.call_method("iterdir").iter()) {
        if (!item.call_method("is_dir").truthy()) continue;
        if (!(item / global<"MODEL_JSON_FILE">()).call_method("exists").truthy()) continue;
        if (!(item / global<"FIXTURES">()).call_method("exists").truthy()) continue;
        if (!(item / global<"FIXTURES">()).call_method("is_dir").truthy()) continue;
        Obj model_json = item / global<"MODEL_JSON_FILE">();
        Obj model_config = noting("in schema file ", model_json, [&] {
            Obj text = model_json.call_method("read_text", {"utf-8"});
            return global<"ObjectSchema">().call_method("model_validate_json", {text});
        });
        self.attr("models_with_fixtures").call_method("append", {new_tuple({item, model_config})});
    }
    return Obj::none();
}

// One fixture element: the record's class, external id and order, and what remains of the record.
void add_fixture(Handle fixtures, Handle class_name, Handle fixture_element) {
    Obj external_id = fixture_element.call_method("pop", {name("_external_id"), Py_None});
    if (!external_id.truthy() && fixture_element.contains(name("external_id")))
        external_id = fixture_element.call_method("pop", {name("external_id")});
    Obj order = fixture_element.call_method("pop", {name("_order"), 0});
    Obj element = new_dict();
    element.set_item(name("class_name"), class_name);
    element.set_item(name("external_id"), external_id);
    element.set_item(name("order"), order);
    element.set_item(name("data"), fixture_element);
    fixtures.append(element);
}

// The records of one CSV or JSON file; None for any other entry.
Obj read_fixture_file(Handle entity_item) {
    Obj entry_name = entity_item.attr("name");
    if (entry_name.call_method("endswith", {".csv"}).truthy()) {
        Obj frame = global<"pd">().attr("read_csv").call({entity_item});
        // Empty cells become "": the columns are made object columns first, so no number column is
        // filled with text (which pandas is retiring); the records are those of a plain fill.
        Obj filled = frame.call_method("astype", {builtin("object")})
                         .call_method("where", {frame.call_method("notna"), ""});
        return filled.call_method("to_dict", {}, {{"orient", "records"}});
    }
    if (entry_name.call_method("endswith", {".json"}).truthy()) {
        // Read as UTF-8 whatever the platform's default encoding, as every project text is.
        With fixtures_file(entity_item.call_method("open", {}, {{"encoding", "utf-8"}}));
        Obj data = global<"json">().attr("load").call({fixtures_file.value()});
        fixtures_file.exit();
        return data;
    }
    return Obj::none();
}

void collect_file(Handle fixtures, Handle model_config, Handle entity_item) {
    Obj data = read_fixture_file(entity_item);
    if (!data.truthy()) return;
    if (data.is_list()) {
        Obj class_name = model_config.attr("title");
        for (Obj fixture_element : data.iter()) add_fixture(fixtures, class_name, fixture_element);
        return;
    }
    for (Obj pair : data.call_method("items").iter()) {
        auto [class_name, fixture_elements] = unpack<2>(pair);
        for (Obj fixture_element : fixture_elements.iter()) add_fixture(fixtures, class_name, fixture_element);
    }
}

Obj collect_fixtures(Handle self) {
    Obj fixtures = new_list();
    for (Obj model : self.attr("models_with_fixtures").iter()) {
        auto [model_dir, model_config] = unpack<2>(model);
        for (Obj entity_item : (model_dir / global<"FIXTURES">()).call_method("iterdir").iter()) {
            noting("in fixture file ", entity_item, [&] {
                collect_file(fixtures, model_config, entity_item);
            });
        }
    }
    return fixtures;
}

Generator iter_fixtures(Call a) {
    With temp_dir(global<"tempfile">().attr("TemporaryDirectory").call());
    Local new_fixtures_path = global<"Path">().call({temp_dir.value(), global<"FIXTURES_JSON_FILE">()});
    With new_fixtures_file(new_fixtures_path->call_method("open", {"w"}));
    Local fixtures = collect_fixtures(a[0]);
    if (!fixtures->truthy()) {
        new_fixtures_file.exit();
        temp_dir.exit();
        co_return;
    }
    global<"json">().attr("dump").call({fixtures.get(), new_fixtures_file.value()}, {{"indent", 4}});
    new_fixtures_file.exit();
    co_yield new_fixtures_path.get();
    temp_dir.exit();
}

// The copy folder of one model: a single folder named by the title, directly in the temporary one.
Obj model_files_folder(Handle temp_file_path, Handle model_dir, Handle title) {
    Obj new_file_path = temp_file_path / title;
    if (new_file_path.attr("parent").eq(temp_file_path) && new_file_path.attr("name").eq(title) &&
        !Handle(title).eq(str("..")))
        return new_file_path;
    Obj message = str("The title {!r} of the model in {} cannot name a folder for its fixture files")
                      .call_method("format", {title, model_dir.format()});
    raise_object(builtin("ValueError").call({message}));
}

void copy_model_files(Handle temp_file_path, Handle model_dir, Handle model_config) {
    Obj files_dir = model_dir / str("fixtures") / str("files");
    if (!files_dir.call_method("exists").truthy() || !files_dir.call_method("is_dir").truthy()) return;
    for (Obj file : files_dir.call_method("iterdir").iter()) {
        if (file.call_method("is_dir").truthy()) continue;
        Obj new_file_path = model_files_folder(temp_file_path, model_dir, model_config.attr("title"));
        new_file_path.call_method("mkdir", {}, {{"parents", true}, {"exist_ok", true}});
        global<"shutil">().attr("copy").call({file, new_file_path});
    }
}

// One `(model folder, config)` entry of models_with_fixtures.
void copy_model_files(Handle temp_file_path, Handle entry) {
    auto [model_dir, model_config] = unpack<2>(entry);
    copy_model_files(temp_file_path, model_dir, model_config);
}

Generator iter_fixture_files(Call a) {
    With temp_dir(global<"tempfile">().attr("TemporaryDirectory").call());
    Local temp_file_path = global<"Path">().call({temp_dir.value()});
    for (Obj model : a[0].attr("models_with_fixtures").iter()) copy_model_files(temp_file_path, model);
    if (!builtin("any").call({temp_file_path->call_method("iterdir")}).truthy()) {
        temp_dir.exit();
        co_return;
    }
    co_yield temp_file_path.get();
    temp_dir.exit();
}

Obj to_text(Call& a) { return expect_str(a[0].attr("__class__").attr("__name__")); }

void define_cli_fixtures_reader(ModuleBody& m) {
    ClassSpec spec("CliFixturesReader");
    spec.doc("Loads the fixture records of every model folder and the files they refer to.");
    spec.method({.name = "__init__",
                 .params = {arg("self"), arg("schema_dir", "Path")},
                 .returns = "None",
                 .doc = "Finds the model folders that hold a fixtures folder and reads their schemas.",
                 .body = init});
    spec.method({.name = "iter_fixtures",
                 .params = {arg("self")},
                 .returns = "Iterator[Path]",
                 .doc = "Yields the path of a temporary document holding every fixture record, if there is any.",
                 .generator = iter_fixtures});
    spec.method({.name = "iter_fixture_files",
                 .params = {arg("self")},
                 .returns = "Iterator[Path]",
                 .doc = "Yields a temporary folder holding the fixtures' files, one sub-folder per model title.",
                 .generator = iter_fixture_files});
    spec.method({.name = "__str__",
                 .params = {arg("self")},
                 .returns = "str",
                 .doc = "Shows the class name.",
                 .body = to_text});
    m.define_class(spec, {global<"FixturesLoaderBase">()});
}

void module_body(ModuleBody& m) {
    m.import("json");
    m.import("logging");
    m.import("shutil");
    m.import("tempfile");
    m.import_from("collections.abc", {"Iterator"});
    m.import_from("pathlib", {"Path"});
    m.import_from("typing", {"Any"});
    m.import("pandas", "pd");
    m.import_from("korvan_utils.models.data_models.schema", {"ObjectSchema"});
    m.import_from("korvan_models.schemas.loaders.base", {"FixturesLoaderBase"});
    m.set("FIXTURES", str("fixtures"));
    m.set("logger", global<"logging">().attr("getLogger").call({global<"__name__">()}));
    m.set("FIXTURES_JSON_FILE", str("fixtures.json"));
    m.set("MODEL_JSON_FILE", str("model.json"));
    define_cli_fixtures_reader(m);
}

}  // namespace

KV_MODULE(cli_fixtures_reader, "korvan_models.schemas.loaders.cli_fixtures_reader", module_body)
