// options_binder: fills each property that names an option list (`options_list_name`) with that
// list's values, rejects names of lists that do not exist, and warns about the lists no property used.
#include "exact.hpp"
#include "records.hpp"
#include "frame.hpp"

using namespace kv;

namespace {

Obj init(Call& a) {
    Handle self = a[0], options_reader = a[1];
    set_field<"_options_reader">(self, options_reader);
    Obj options = new_dict();
    for_each_of(field<"_options_reader">(self).call_method("iter_options"),
                [&](Handle schema) { dict_set(options, field<"title">(schema), schema); });
    set_field<"_options">(self, options);
    set_field<"_used_options">(self, new_set());
    return Obj::none();
}

// The error for a name no option list has; an everyday outcome of a project's mistake, so it is
// returned, not thrown.
Obj unknown_list(Handle options_list_name) {
    // Joined from its pieces at once: a formatted text costs several times as much on this everyday path.
    Obj message = join(name(""), tuple_of(name("Options list name="), options_list_name.format(),
                                          name(" is unknown. Make sure to create corresponding options list "
                                               "under models/options folder")));
    Obj error = call_with(global<"KorvanValidationError">(), message);
    return raised(error.type().ptr(), error);
}

Obj extend(Call& a) {
    Handle self = a[0], config = a[1];
    if (!field<"properties">(config).truthy()) return Obj::none();
    Obj unknown;
    for_each_item(field<"properties">(config), [&](Handle /*_property_name*/, Handle property_value) {
        Obj options_list_name = field_or_null<"options_list_name">(property_value);
        if (!options_list_name.valid() || !options_list_name.truthy()) return true;
        if (!field<"_options">(self).contains(options_list_name)) {
            unknown = options_list_name;
            return false;
        }
        property_value.set_attr("options", field<"values">(field<"_options">(self).item(options_list_name)));
        field<"_used_options">(self).add(options_list_name);
        return true;
    });
    return unknown.valid() ? unknown_list(unknown) : Obj::none();
}

Obj post_extend(Call& a) {
    Handle self = a[0];
    Obj listed = set_of(field<"_options">(self).call_method("keys"));
    Obj unused_options = listed - field<"_used_options">(self);
    if (!unused_options.truthy()) return Obj::none();
    Obj msg = format_text("Unused options lists: %U for %U", unused_options.format().ptr(),
                          field<"_options_reader">(self).format().ptr());
    global<"logger">().call_method("warning", {msg});
    return Obj::none();
}

void module_body(ModuleBody& m) {
    m.import("logging");
    m.import_from("korvan_utils.models.data_models.schema", {"ObjectSchema"});
    m.import_from("korvan_models.errors", {"KorvanValidationError"});
    m.import_from("korvan_models.schemas.loaders.base", {"OptionsLoaderBase"});
    m.set("logger", global<"logging">().call_method("getLogger", {global<"__name__">()}));

    ClassSpec binder("OptionsBinder");
    binder.doc("Fills properties' options from the named option lists and reports the lists no property used.")
        .method({.name = "__init__",
                 .params = {arg("self"), arg("options_reader", "OptionsLoaderBase")},
                 .doc = "Reads every option list of the loader once, keyed by its title.",
                 .body = init})
        .method({.name = "extend",
                 .params = {arg("self"), arg("config", "ObjectSchema")},
                 .returns = "None",
                 .doc = "Sets the options of each property that names an option list to that list's values.",
                 .body = extend})
        .method({.name = "post_extend",
                 .params = {arg("self")},
                 .returns = "None",
                 .doc = "Logs a warning naming the option lists that no property has used.",
                 .body = post_extend});
    m.define_class(binder);
}

}  // namespace

KV_MODULE(options_binder, "korvan_models.schemas.extenders.options_binder", module_body)
