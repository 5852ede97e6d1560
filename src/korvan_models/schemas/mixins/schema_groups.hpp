// Walking the four schema groups (type, core, contrib, user) of the verification mixins.
//
// Elements are read owned: an exact list is re-sized on each step, as its own iterator does, so a
// user __eq__ or __hash__ that reshapes a list cannot pull an element from under a check.
#pragma once
#include "frame.hpp"

namespace korvan {

// Calls visit(element) for each element of an iterable: an exact list by index, anything else
// through its own iterator.
template <typename Visit>
void for_each(kv::Handle iterable, Visit visit) {
    if (PyList_CheckExact(iterable.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable.ptr()); ++i) {
            kv::Obj element(kv::Handle{PyList_GET_ITEM(iterable.ptr(), i)});
            visit(element);
        }
        return;
    }
    for (const kv::Obj& element : iterable.iter()) visit(element);
}

// type_schemas + core_schemas + contrib_schemas + user_schemas, as a new list (each is an exact list).
inline kv::Obj all_schemas_of(kv::Handle type_schemas, kv::Handle core_schemas, kv::Handle contrib_schemas,
                              kv::Handle user_schemas) {
    kv::Obj all_schemas = kv::Obj::steal(PyList_GetSlice(type_schemas.ptr(), 0, PY_SSIZE_T_MAX));
    for (kv::Handle group : {core_schemas, contrib_schemas, user_schemas})
        if (PyList_SetSlice(all_schemas.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, group.ptr()) < 0) kv::fail();
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
    kv::raise_object(kv::global("KorvanValidationError").call({message}));
}

}  // namespace korvan
