// cli_statics_reader: lists the regular files lying directly in an application's "static" folder.
#include "frame.hpp"

using namespace kv;

namespace {

Obj init(Call& a) {
    a[0].set_attr("_app_root", a[1]);
    return Obj::none();
}

Obj to_text(Call& a) { return expect_str(a[0].attr("__class__").attr("__name__")); }

Generator iter_static(Call a) {
    Local static_path = a[0].attr("_app_root") / str("static");
    if (!static_path->call_method("exists").truthy()) co_return;
    if (!static_path->call_method("is_dir").truthy()) co_return;
    for (Obj internal_path : static_path->call_method("iterdir").iter()) {
        if (internal_path.call_method("is_file").truthy()) co_yield internal_path;
    }
}

void define_cli_statics_reader(ModuleBody& m) {
    ClassSpec spec("CliStaticsReader");
    spec.doc("Loads the static files of an application, found in its \"static\" folder.");
    spec.method({.name = "__init__",
                 .params = {arg("self"), arg("app_root", "Path")},
                 .returns = "None",
                 .doc = "Keeps the application root whose static folder is listed.",
                 .body = init});
    spec.method({.name = "iter_static",
                 .params = {arg("self")},
                 .returns = "Iterator[Path]",
                 .doc = "Yields the path of every regular file directly inside the static folder.",
                 .generator = iter_static});
    spec.method({.name = "__str__",
                 .params = {arg("self")},
                 .returns = "str",
                 .doc = "Shows the class name.",
                 .body = to_text});
    m.define_class(spec, {global<"StaticsLoaderBase">()});
}

void module_body(ModuleBody& m) {
    m.import_from("collections.abc", {"Iterator"});
    m.import_from("pathlib", {"Path"});
    m.import_from("korvan_models.schemas.loaders.base", {"StaticsLoaderBase"});
    define_cli_statics_reader(m);
}

}  // namespace

KV_MODULE(cli_statics_reader, "korvan_models.schemas.loaders.cli_statics_reader", module_body)
