// merger: merges a child schema mapping into its parent, key by key, by the kind of the two values.
//
// The child's scalars win, lists are united (and sorted where their elements order), lists of
// groups are united group by group, and nested mappings merge recursively into the parent's own,
// which is changed in place. The child is only read: a united list is always a new list, so one
// child can be merged into any number of parents.
#include "exact.hpp"
#include "frame.hpp"

using namespace kv;

namespace {

PyObject* g_copy_function;      // copy.copy as imported by the module body
PyObject* g_merge_list_fields;  // the module's own functions, as its body defined them
PyObject* g_merge_schema;

Obj merge_dicts(Handle parent_schema, Handle child_schema);

// copy.copy(value); the copies it makes of plain values are made here directly.
Obj shallow_copy(Handle value) {
    Obj copier = module_attr(global<"copy">(), "copy");
    if (copier.is(g_copy_function)) {
        if (plain_immutable(value)) return Obj(value);
        if (exact_list(value)) return copy_list(value);
        if (exact_dict(value)) return copy_dict(value);
    }
    return copier.call({value});
}

// sorted(names): a new list.
Obj sorted(Handle names) {
    Obj result = list_of(names);
    sort_list(result);
    return result;
}

// Values whose equality is their hash's (exact str, int, float, bool): a set answers `in` for
// them as the list would.
bool all_hash_as_equal(Handle list) { return all_of_list(list, [](Handle value) { return plain_scalar(value); }); }

// The parent's missing elements appended to `united`, looked up in a set: no user __eq__ runs.
void add_missing_plain(Handle united, Handle parent) {
    Obj seen = set_of(united);
    for_each(parent, [&](Handle element) {
        if (set_has(seen, element)) return;
        united.append(element);
        set_add(seen, element);
    });
}

// for element in parent: if element not in united: united.append(element)
void add_missing(Handle united, Handle parent) {
    bool large = list_size(united) * list_size(parent) > 64;
    if (large && all_hash_as_equal(parent) && all_hash_as_equal(united)) return add_missing_plain(united, parent);
    for (Obj element : parent.iter())
        if (!united.contains(element)) united.append(element);
}

Obj merge_list_of_lists(Call& a) {
    Handle parent = a[0], child = a[1];
    Obj result_elements = new_list();
    for (Obj element : child.iter()) result_elements.append(sorted(element));
    for (Obj element : parent.iter()) {
        Obj sorted_parent_element = sorted(element);
        if (!result_elements.contains(sorted_parent_element)) result_elements.append(sorted_parent_element);
    }
    return result_elements;
}

Obj merge_list_fields(Handle parent, Handle child) {
    if (parent.len() == 0) return Obj(child);
    if (child.len() == 0) return Obj(parent);
    if (instance_of(first_item(parent), &PyList_Type)) return expect_list(global<"_merge_list_of_lists">().call({parent, child}));
    Obj united = copy_list(child);  // the child's own list stays as it is
    add_missing(united, parent);
    if (instance_of(first_item(united), &PyDict_Type)) return united;
    sort_list(united);  // sorted(): the united list is new already
    return united;
}

// _merge_list_fields(parent, child) through the module's name; while that still holds this module's
// own function and both lists are exact, its body runs without binding the arguments again.
Obj merged_lists(Handle parent, Handle child) {
    Obj sibling = global<"_merge_list_fields">();
    if (sibling.is(g_merge_list_fields) && exact_list(parent) && exact_list(child))
        return merge_list_fields(parent, child);
    return sibling.call({parent, child});
}

// Nested mappings recurse through the function object, which also guards the thread's stack.
Obj merged_value(Handle parent_value, Handle child_value) {
    if (instance_of(child_value, &PyList_Type) && instance_of(parent_value, &PyList_Type))
        return merged_lists(parent_value, child_value);
    if (instance_of(child_value, &PyDict_Type) && instance_of(parent_value, &PyDict_Type)) {
        // Through the module's name; while that holds this module's own function and both are exact
        // dicts, its body runs at once (its guard counts the depth).
        Obj sibling = global<"merge_schema">();
        if (sibling.is(g_merge_schema) && exact_dict(parent_value) && exact_dict(child_value))
            return merge_dicts(parent_value, child_value);
        return sibling.call({parent_value, child_value});
    }
    return shallow_copy(child_value);
}

// The child's keys in its own order; its value read as each key comes up. A str key runs no code
// between the two, so the value the walk holds is the one child_schema[key] gives.
void merge_field(Handle parent_schema, Handle child_schema, Handle field_name, Handle value) {
    Obj parent_value = parent_schema.get(field_name);
    Obj child_value = exact_str(field_name) ? Obj(value) : child_schema.item(field_name);
    Obj merged = parent_value.is_none() ? shallow_copy(child_value) : merged_value(parent_value, child_value);
    // A value merged in place is already the parent's (present) value: storing it again in an exact
    // dict changes nothing.
    bool kept = !parent_value.is_none() && merged.is(parent_value) && exact_dict(parent_schema);
    if (!kept) parent_schema.set_item(field_name, merged);
}

Obj merge_dicts(Handle parent_schema, Handle child_schema) {
    RecursionGuard guard(" while merging schemas");
    walk_dict(child_schema.ptr(), [&](Handle field_name, Handle value) {
        merge_field(parent_schema, child_schema, field_name, value);
    });
    return Obj(parent_schema);
}

Obj merge_schema(Call& a) { return merge_dicts(a[0], a[1]); }

Obj merge_list_fields_call(Call& a) { return merge_list_fields(a[0], a[1]); }

void module_body(ModuleBody& m) {
    m.import("copy");
    g_copy_function = global<"copy">().attr("copy").release();  // kept for the life of the process
    m.import_from("typing", {"Any"});
    m.def({.name = "_merge_list_of_lists",
           .params = {arg("parent", "list[list[str]]").exactly(&PyList_Type),
                      arg("child", "list[list[str]]").exactly(&PyList_Type)},
           .returns = "list[list[str]]",
           .body = merge_list_of_lists});
    g_merge_list_fields = m.def({.name = "_merge_list_fields",
           .params = {arg("parent", "list[Any]").exactly(&PyList_Type), arg("child", "list[Any]").exactly(&PyList_Type)},
           .returns = "list[Any]",
           .body = merge_list_fields_call}).release();
    g_merge_schema = m.def({.name = "merge_schema",
           .params = {arg("parent_schema", "dict[str, Any]").exactly(&PyDict_Type),
                      arg("child_schema", "dict[str, Any]").exactly(&PyDict_Type)},
           .returns = "dict[str, Any]",
           .doc = "Merges the child schema into the parent schema in place and returns the parent.",
           .body = merge_schema}).release();
}

}  // namespace

KV_MODULE(merger, "korvan_models.schemas.utils.merger", module_body)
