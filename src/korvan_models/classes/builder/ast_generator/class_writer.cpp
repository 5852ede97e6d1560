// class_writer: AstClassWriter assembles the syntax tree of one model class, statement by statement,
// and feeds the dependency generator with the imports the class needs; its two properties print
// the class and the import block and hand them to the formatters.
#include "exact.hpp"
#include "frame.hpp"

using namespace kv;

namespace {

// One width for every printed and formatted line.
constexpr long LINE_LENGTH = 120;

Obj load() { return module_attr<"Load">(global<"ast">()).call(); }

Obj name_node(Handle id) { return module_attr<"Name">(global<"ast">()).call({}, {{"id", id}, {"ctx", load()}}); }

Obj generator_of(Handle self) { return self.attr("_ast_dependency_generator"); }

Obj class_body(Handle self) { return self.attr("_class_definition").attr("body"); }

// A lambda made inside a method, as the host makes it: afresh on each run, named <locals>.<lambda>.
Obj lambda_in(const char* owner_qualname, Body body, const char* parameter) {
    return make_function({.name = "<lambda>",
                          .params = {arg(parameter)},
                          .body = body,
                          .qualname = std::string(owner_qualname) + ".<locals>.<lambda>"});
}

bool is_name_with_id(Handle node, const char* id) {
    if (!node.isinstance(module_attr<"Name">(global<"ast">()))) return false;
    return node.attr("id").eq(str(id));
}

// --- AstClassWriter ------------------------------------------------------------------------------

Obj init(Call& a) {
    Handle self = a[0], models_module_name = a[1], base_class = a[2], model_names = a[3];
    self.set_attr("_base_class", base_class);
    Obj ast = global<"ast">();
    Obj version = global<"sys">().attr("version_info");
    // type_params exists from 3.12 on: given there, left out before.
    Obj type_params = version.ge(new_tuple({3, 12})) ? new_list() : Obj();
    static const Keywords keys{"name", "bases", "keywords", "body", "decorator_list", "type_params"};
    Obj class_def = ast.attr("ClassDef")
                        .call({}, keys, {"", new_list(), new_list(), new_list(), new_list(), type_params});
    self.set_attr("_class_definition", class_def);
    Obj generator = global<"AstDependencyGenerator">()
                        .call({}, {{"models_module_name", models_module_name}, {"model_names", model_names}});
    self.set_attr("_ast_dependency_generator", generator);
    return Obj::none();
}

Obj register_class(Call& a) {
    Handle self = a[0], class_name = a[1], extend_type = a[2];
    generator_of(self).call_method("add_ignore_type_name", {class_name});
    Obj base_name;
    if (extend_type.eq(global<"BASE_OBJECT_TYPE">())) {
        Obj base_class = self.attr("_base_class");
        base_name = base_class.attr("__name__");
        generator_of(self).call_method("add_python_type_dependency", {base_class});
    } else {
        base_name = Obj(extend_type);
        generator_of(self).call_method("add_model_type_dependency", {extend_type});
    }
    Obj class_def = self.attr("_class_definition");
    class_def.set_attr("name", class_name);
    class_def.attr("bases").append(name_node(base_name));
    return Obj::none();
}

// ClassVar[<type_name>], as a description of a class constant's type.
Obj class_var_of(Handle type_name) {
    Obj value_ast = global<"PropertyValueAst">();
    Obj root = value_ast.call({}, {{"name", global<"ClassVar">().attr("__name__")}});
    Obj child = new_list({value_ast.call({}, {{"name", type_name}})});
    return new_list({global<"NestedPropertyTypeAst">().call({}, {{"root", root}, {"child", child}})});
}

Obj add_class_data(Call& a) {
    Handle self = a[0], schema_type = a[1], class_fingerprint = a[2];
    Obj generator = generator_of(self);
    for (const char* dependency : {"SchemaTypes", "ClassVar", "date", "datetime"})
        generator.call_method("add_python_type_dependency", {global(dependency)});

    Obj schema_types_name = global<"SchemaTypes">().attr("__name__");
    Obj schema_type_constant = global<"PropertyAst">().call(
        {}, {{"name", "schema_type"},
             {"types", class_var_of(schema_types_name)},
             {"value", global<"PropertyValueAst">().call(
                           {}, {{"attr", new_tuple({schema_types_name, schema_type.attr("name")})}})}});
    class_body(self).append(schema_type_constant.attr("ast"));

    Obj str_name = builtin("str").attr("__name__");
    Obj fingerprint_constant = global<"PropertyAst">().call(
        {}, {{"name", "class_fingerprint"},
             {"types", class_var_of(str_name)},
             {"value", global<"PropertyValueAst">().call({}, {{"constant", class_fingerprint}})}});
    class_body(self).append(fingerprint_constant.attr("ast"));
    return Obj::none();
}

Obj add_class_property(Call& a) {
    Handle self = a[0], property_name = a[1], property_config = a[2], is_required = a[3];
    Obj type_data =
        global<"TypeData">().call({}, {{"type", property_config.attr("type")}, {"items", property_config.attr("items")}});
    Obj property_statement = global<"make_field_statement">()
                                 .call({}, {{"target_name", property_name},
                                            {"type_data", type_data},
                                            {"is_required", is_required},
                                            {"value", property_config.attr("default")},
                                            {"ast_dependency_generator", generator_of(self)}});
    self.call_method("_set_union_mode", {property_statement});
    class_body(self).append(property_statement);
    return Obj::none();
}

Obj add_properties_validators(Call& a) {
    Handle self = a[0], property_name = a[1], property_config = a[2];
    Obj validators = global<"ValidatorPicker">().call_method("process_property", {property_name, property_config});
    Obj ordered = builtin("sorted").call({validators});
    for (const Obj& triple : ordered.iter()) {
        auto [validator_name, validator, options] = unpack<3>(triple);
        Obj node = global<"build_validator_node">()
                       .call({}, {{"prop_name", property_name},
                                  {"validator_name", validator_name},
                                  {"validator", validator},
                                  {"options", options},
                                  {"ast_dependency_generator", generator_of(self)}});
        class_body(self).append(node);
    }
    return Obj::none();
}

// The sort key of custom code statements: lambda node: getattr(node, "name", "").
Obj statement_name(Call& a) {
    Obj found = a[0].attr_or_null("name");
    return found.valid() ? found : str("");
}

Obj add_class_custom_code(Call& a) {
    Handle self = a[0], custom_code = a[1];
    Obj custom_code_ast = global<"CustomCodeAst">().call({}, {{"custom_code", custom_code}});
    for (const Obj& node : custom_code_ast.attr("ast_imports").iter())
        generator_of(self).call_method("add_ast_import_node", {node});
    Obj key = lambda_in("AstClassWriter.add_class_custom_code", statement_name, "node");
    Obj ordered = builtin("sorted").call({custom_code_ast.attr("ast")}, {{"key", key}});
    for (const Obj& node : ordered.iter()) class_body(self).append(node);
    return Obj::none();
}

// Pydantic's left-to-right union mode for a field whose type is a union with Reference, bare or
// inside one Optional.
Obj set_union_mode(Call& a) {
    Handle node = a[1];
    Obj ast = global<"ast">();
    if (!node.isinstance(ast.attr("AnnAssign"))) return Obj::none();
    Obj candidate = node.attr("annotation");
    if (!candidate.truthy()) return Obj::none();
    if (!candidate.isinstance(ast.attr("Subscript"))) return Obj::none();
    if (is_name_with_id(candidate.attr("value"), "Optional")) candidate = candidate.attr("slice");
    if (!candidate.isinstance(ast.attr("Subscript"))) return Obj::none();
    if (!is_name_with_id(candidate.attr("value"), "Union")) return Obj::none();
    Obj members = candidate.attr("slice");
    if (!members.isinstance(ast.attr("Tuple"))) return Obj::none();
    bool has_reference = false;
    for (const Obj& element : members.attr("elts").iter()) {
        Obj id = element.attr_or_null("id");
        if ((id.valid() ? id : str("")).eq(str("Reference"))) {
            has_reference = true;
            break;
        }
    }
    if (!has_reference) return Obj::none();

    generator_of(a[0]).call_method("add_python_type_dependency", {global<"Field">()});
    Obj value = node.attr("value");
    Obj args = value.truthy() ? new_list({value}) : new_list();
    Obj keyword = ast.attr("keyword").call(
        {}, {{"arg", "union_mode"}, {"value", ast.attr("Constant").call({}, {{"value", "left_to_right"}})}});
    Obj field_call = ast.attr("Call").call(
        {}, {{"func", name_node(str("Field"))}, {"args", args}, {"keywords", new_list({keyword})}});
    node.set_attr("value", field_call);
    return Obj::none();
}

// --- source rendering ----------------------------------------------------------------------------

// The printer's line splitting: lambda _source: "".join(split_lines(_source, maxline=120)).
Obj join_split_lines(Call& a) {
    Obj lines = global<"split_lines">().call({a[0]}, {{"maxline", LINE_LENGTH}});
    return join(str(""), lines);
}

Obj print_tree(Handle tree, Handle pretty_source) {
    Obj pretty_string = global<"partial">().call({global<"pretty_string">()}, {{"max_line", LINE_LENGTH}});
    return global<"astor">().attr("to_source").call(
        {tree}, {{"pretty_string", pretty_string}, {"pretty_source", pretty_source}});
}

Obj model_source(Call& a) {
    Obj source = print_tree(a[0].attr("_class_definition"),
                            lambda_in("AstClassWriter.model_source", join_split_lines, "_source"));
    Obj black = global<"black">();
    Obj target_versions = new_set();
    target_versions.add(black.attr("TargetVersion").attr("PY310"));
    Obj mode = black.attr("FileMode").call({}, {{"string_normalization", false},
                                                 {"target_versions", target_versions},
                                                 {"line_length", LINE_LENGTH}});
    return expect_str(black.attr("format_str").call({source}, {{"mode", mode}}));
}

Obj dependencies_source(Call& a) {
    Obj source = print_tree(generator_of(a[0]).attr("ast_module"),
                            lambda_in("AstClassWriter.dependencies_source", join_split_lines, "_source"));
    Obj third_party = new_list({"korvan_utils", "korvan_data", "korvan_models", "korvan"});
    return expect_str(global<"isort">().attr("code").call({source}, {{"force_single_line", true},
                                                                    {"profile", "black"},
                                                                    {"line_length", LINE_LENGTH},
                                                                    {"order_by_type", true},
                                                                    {"known_third_party", third_party},
                                                                    {"known_first_party", new_list({"models"})}}));
}

// --- the module ----------------------------------------------------------------------------------

void define_ast_class_writer(ModuleBody& m) {
    ClassSpec spec("AstClassWriter");
    spec.method({.name = "__init__",
                 .params = {arg("self"), arg("models_module_name", "str").exactly(&PyUnicode_Type),
                            arg("base_class", "type[Model | TypeModel]"), arg("model_names", "DependencyModelNames")},
                 .returns = "None",
                 .body = init});
    spec.method({.name = "register_class",
                 .params = {arg("self"), arg("class_name", "str").exactly(&PyUnicode_Type),
                            arg("extend_type", "str").exactly(&PyUnicode_Type)},
                 .returns = "None",
                 .doc = "Registers a class with the given name and extend type.\n\n"
                        "Args:\n"
                        "    class_name (str): The name of the class.\n"
                        "    extend_type (str): The type the class extends.\n\n"
                        "Returns:\n"
                        "    None\n",
                 .body = register_class});
    spec.method({.name = "add_class_data",
                 .params = {arg("self"), arg("schema_type", "SchemaTypes"),
                            arg("class_fingerprint", "str").exactly(&PyUnicode_Type)},
                 .returns = "None",
                 .doc = "Adds class data to the AST class definition.\n\n"
                        "Args:\n"
                        "    schema_type (SchemaTypes): The schema type of the class.\n"
                        "    class_fingerprint (str): The fingerprint of the class schema.\n",
                 .body = add_class_data});
    spec.method({.name = "add_class_property",
                 .params = {arg("self"), arg("property_name", "str").exactly(&PyUnicode_Type),
                            arg("property_config", "PropertyData"), kwarg("is_required", "bool")},
                 .returns = "None",
                 .doc = "Adds a property to the AST class definition.\n\n"
                        "Args:\n"
                        "    property_name (str): The name of the property.\n"
                        "    property_config (PropertyData): The configuration of the property.\n"
                        "    is_required (bool): Whether the property is required.\n\n"
                        "Returns:\n"
                        "    None\n",
                 .body = add_class_property});
    spec.method({.name = "add_properties_validators",
                 .params = {arg("self"), arg("property_name", "str").exactly(&PyUnicode_Type),
                            arg("property_config", "PropertyData")},
                 .returns = "None",
                 .doc = "Adds validators for the given property to the AST class definition.\n\n"
                        "Args:\n"
                        "    property_name (str): The name of the property.\n"
                        "    property_config (PropertyData): The configuration of the property.\n\n"
                        "Returns:\n"
                        "    None\n",
                 .body = add_properties_validators});
    spec.method({.name = "add_class_custom_code",
                 .params = {arg("self"), arg("custom_code", "str").exactly(&PyUnicode_Type)},
                 .returns = "None",
                 .doc = "Adds custom code to the AST class definition.\n\n"
                        "Args:\n"
                        "    custom_code (str): The custom code to add.\n\n"
                        "Returns:\n"
                        "    None\n",
                 .body = add_class_custom_code});
    spec.method({.name = "_set_union_mode",
                 .params = {arg("self"), arg("node", "ast.AnnAssign | ast.stmt")},
                 .returns = "None",
                 .body = set_union_mode});
    spec.property({.name = "model_source",
                   .params = {arg("self")},
                   .returns = "str",
                   .doc = "Generates the source code for the model.",
                   .body = model_source});
    spec.property({.name = "dependencies_source",
                   .params = {arg("self")},
                   .returns = "str",
                   .doc = "Generates the source code for the dependencies.",
                   .body = dependencies_source});
    m.define_class(spec);
}

void module_body(ModuleBody& m) {
    m.import("ast");
    m.import("sys");
    m.import_from("datetime", {"date", "datetime"});
    m.import_from("functools", {"partial"});
    m.import_from("typing", {"ClassVar"});
    m.import("astor");
    m.import("black");
    m.import("isort");
    m.import_from("korvan_utils.models.data_models.core", {"TypeData"});
    m.import_from("korvan_utils.models.data_models.schema", {"PropertyData"});
    m.import_from("korvan_utils.models.enums", {"SchemaTypes"});
    m.import_from("astor.source_repr", {"split_lines"});
    m.import_from("astor.string_repr", {"pretty_string"});
    m.import_from("pydantic", {"Field"});
    m.import_from("korvan_models.classes.builder.ast_generator.data_models",
                  {"CustomCodeAst", "NestedPropertyTypeAst", "PropertyAst", "PropertyValueAst"});
    m.import_from("korvan_models.classes.builder.ast_generator.dependency_generator", {"AstDependencyGenerator"});
    m.import_from("korvan_models.classes.builder.ast_generator.helpers.make_field_statement", {"make_field_statement"});
    m.import_from("korvan_models.classes.builder.ast_generator.helpers.build_validator_node", {"build_validator_node"});
    m.import_from("korvan_models.classes.builder.validator_picker", {"ValidatorPicker"});
    m.import_from("korvan_models.classes.constants", {"BASE_OBJECT_TYPE"});
    m.import_from("korvan_models.classes.data_models.dependencies", {"DependencyModelNames"});
    m.import_from("korvan_models.classes.model", {"Model", "TypeModel"});
    define_ast_class_writer(m);
}

}  // namespace

KV_MODULE(class_writer, "korvan_models.classes.builder.ast_generator.class_writer", module_body)
