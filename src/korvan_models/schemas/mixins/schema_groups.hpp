// Walking the four schema groups (type, core, contrib, user) of the verification mixins.
//
// Elements are read owned through the frame's for_each: an exact list is re-sized on each step, as
// its own iterator does, so a user __eq__ or __hash__ that reshapes a list cannot pull an element
// from under a check.
#pragma once
#include "exact.hpp"
#include "frame.hpp"

namespace korvan {

// type_schemas + core_schemas + contrib_schemas + user_schemas, as a new list (each is an exact list).
inline kv::Obj all_schemas_of(kv::Handle type_schemas, kv::Handle core_schemas, kv::Handle contrib_schemas,
                              kv::Handle user_schemas) {
    kv::Obj all_schemas = kv::copy_list(type_schemas);
    for (kv::Handle group : {core_schemas, contrib_schemas, user_schemas}) kv::extend_list(all_schemas, group);
    return all_schemas;
}

// The four group parameters, each declared list[ObjectSchema] and exactly a list.
inline std::vector<kv::Param> group_params(bool with_self) {
    std::vector<kv::Param> params;
    if (with_self) params.push_back(kv::arg("self"));
    for (const char* group : {"type_schemas", "core_schemas", "contrib_schemas", "user_schemas"})
        params.push_back(kv::arg(group, "list[ObjectSchema]").exactly(&PyList_Type));
    return params;
}

[[noreturn]] inline void raise_invalid(kv::Handle message) {
    kv::raise_object(kv::global<"KorvanValidationError">().call({message}));
}

}  // namespace korvan
