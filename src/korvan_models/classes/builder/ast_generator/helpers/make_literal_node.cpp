// make_literal_node: the syntax-tree node of a JSON-like literal (nested dicts and lists of
// strings, numbers, booleans and None), for writing the value into generated source.
//
// Nodes are made by calling the ast classes with keyword arguments, the deprecated aliases
// (Str, Num, NameConstant, the keyword `s`) included, so their warnings reach the caller as usual.
// Nested values go back through the module-level name `make_literal_node`.
#include "exact.hpp"
#include "frame.hpp"

using namespace kv;

namespace {

Obj dict_node(Handle dictionary) {
    static const Keywords keys_values{"keys", "values"}, s{"s"};
    Obj dict_ast = module_attr<"Dict">(global<"ast">()).call({}, keys_values, {new_list(), new_list()});
    Obj items = dictionary.call_method("items");
    for (Obj pair : items.iter()) {
        auto [key, value] = unpack<2>(pair);
        Obj key_ast = module_attr<"Constant">(global<"ast">()).call({}, s, {key.str()});
        Obj value_ast = global<"make_literal_node">().call({value});
        dict_ast.attr("keys").append(key_ast);
        dict_ast.attr("values").append(value_ast);
    }
    return dict_ast;
}

void add_element(Handle list_ast, Handle element) {
    Obj value_ast = global<"make_literal_node">().call({element});
    list_ast.attr("elts").append(value_ast);
}

Obj list_node(Handle dictionary) {
    static const Keywords elts{"elts"};
    Obj list_ast = module_attr<"List">(global<"ast">()).call({}, elts, {new_list()});
    // An exact list by index, anything else through its own __iter__.
    for_each(dictionary, [&](Handle element) { add_element(list_ast, element); });
    return list_ast;
}

Obj make_literal_node(Call& a) {
    static const Keywords s{"s"}, value{"value"}, n{"n"};
    Handle dictionary = a[0];
    if (dictionary.is_dict()) return dict_node(dictionary);
    if (dictionary.is_list()) return list_node(dictionary);
    if (dictionary.is_str()) return module_attr<"Str">(global<"ast">()).call({}, s, {dictionary});
    if (dictionary.is_bool()) return module_attr<"NameConstant">(global<"ast">()).call({}, value, {dictionary});
    if (dictionary.is_int() || dictionary.is_float()) return module_attr<"Num">(global<"ast">()).call({}, n, {dictionary});
    if (dictionary.is_none()) return module_attr<"NameConstant">(global<"ast">()).call({}, value, {Py_None});
    Obj msg = format_text("Unsupported type: %U", dictionary.type().format().ptr());
    return raised(PyExc_ValueError, msg);
}

void module_body(ModuleBody& m) {
    m.import("ast");
    m.import_from("typing", {"Any"});
    m.def({.name = "make_literal_node",
           .params = {arg("dictionary", "dict[str, Any] | list[dict[str, Any]] | str | int | float | bool | None")},
           .returns = "ast.Dict | ast.List | ast.Str | ast.Num | ast.NameConstant",
           .doc = "Turns a JSON-like value (nested dicts, lists and scalars) into the equivalent literal node.",
           .body = make_literal_node});
}

}  // namespace

KV_MODULE(make_literal_node, "korvan_models.classes.builder.ast_generator.helpers.make_literal_node", module_body)
