// validator_picker: which value validators a property of a generated model class carries.
//
// Each pick is a triple (validator method name, validator function, options or None): a dictionary
// property gets the non-empty-keys check, a property with options gets the options check.
#include "exact.hpp"
#include "frame.hpp"
#include "records.hpp"

using namespace kv;

namespace {


Obj process_property(Call& a) {
    Handle cls = a[0], property_name = a[1], property_config = a[2];
    Obj _validators = new_list();
    Obj field_type = text_call<"lower">(field<"type">(property_config));

    Obj type_based = class_attr<"TYPE_BASED_VALIDATORS">(cls);
    if (type_based.contains(field_type)) {
        auto [field_name, validator] = unpack<2>(class_attr<"TYPE_BASED_VALIDATORS">(cls).item(field_type));
        Obj lower_name = text_call<"lower">(property_name);
        Obj validator_name = text_call<"replace">(field_name, {name("{FIELD_NAME}"), lower_name});
        list_append(_validators, tuple_of(validator_name, validator, Handle(Py_None)));
    }

    Obj options = field<"options">(property_config);
    if (options.truthy()) {
        Obj distinct = new_set();
        for_each(options, [&](Handle option) { set_add(distinct, field<"value">(option)); });
        Obj values = builtin("sorted").call({distinct});
        Obj validator_name = concat(name("validate_value_in_options_"), text_call<"lower">(property_name));
        list_append(_validators, tuple_of(validator_name, global<"validate_options">(), values));
    }
    return expect_list(std::move(_validators));
}

void module_body(ModuleBody& m) {
    m.import_from("collections.abc", {"Callable"});
    m.import_from("typing", {"Any", "ClassVar"});
    m.import_from("korvan_utils.models.data_models.schema", {"PropertyData"});
    m.import_from("korvan_models.classes.builder.validators.mapping_checks", {"validate_non_empty_keys"});
    m.import_from("korvan_models.classes.builder.validators.choice_checks", {"validate_options"});

    Obj type_based_validators = new_dict();
    type_based_validators.set_item(str("dictionary"),
                                   new_tuple({"_non_empty_keys_{FIELD_NAME}", global<"validate_non_empty_keys">()}));

    ClassSpec picker("ValidatorPicker");
    picker.doc("Chooses the value validators that a property of a generated model class needs.")
        .annotation("TYPE_BASED_VALIDATORS", str("ClassVar[dict[str, Any]]"))
        .value("TYPE_BASED_VALIDATORS", type_based_validators)
        .classmethod({.name = "process_property",
                      .params = {arg("cls"), arg("property_name", "str").exactly(&PyUnicode_Type),
                                 arg("property_config", "PropertyData")},
                      .returns = "list[tuple[str, Callable[[Any, list[Any]], Any], list[Any] | None]]",
                      .doc = "Returns the (validator name, validator, options or None) triples for one property.",
                      .body = process_property});
    m.define_class(picker);
}

}  // namespace

KV_MODULE(validator_picker, "korvan_models.classes.builder.validator_picker", module_body)
