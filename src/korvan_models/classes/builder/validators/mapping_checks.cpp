// mapping_checks: the non-empty-keys check behind the dictionary validators of generated model classes.
#include "exact.hpp"
#include "frame.hpp"

using namespace kv;

namespace {

// Raised without a C++ throw: a rejected value is an everyday result.
Obj empty_key() { return raised(PyExc_ValueError, name("Dictionary keys must be non-empty")); }

enum class Keys { non_empty, empty, other };

// An exact dict whose keys are all exact str is walked in place: no user code can run, so nothing
// can change the dict under the walk. Stops at the first empty key, or, having looked at nothing
// but exact str keys of non-zero length, as soon as another kind of key turns up.
Keys text_keys(Handle value) {
    Keys found = Keys::non_empty;
    each_key_plainly(value, [&](Handle k) {
        if (!exact_str(k)) found = Keys::other;
        else if (text_length(k) == 0) found = Keys::empty;
        return found == Keys::non_empty;
    });
    return found;
}

Obj validate_non_empty_keys(Call& a) {
    Handle value = a[0];
    if (value.is_none()) return Obj(value);
    if (exact_dict(value)) {
        Keys keys = text_keys(value);
        if (keys == Keys::non_empty) return Obj(value);
        if (keys == Keys::empty) return empty_key();
    }
    // Anything else, or a dict with other keys, from the start: the keys already seen are
    // non-empty str, so seeing them again changes nothing.
    for (Obj k : value.iter()) {
        if (k.len() == 0) return empty_key();
    }
    return Obj(value);
}

void module_body(ModuleBody& m) {
    m.import_from("typing", {"Any"});
    m.def({.name = "validate_non_empty_keys", .params = {arg("value", "Any")}, .returns = "Any",
           .doc = "Returns the value if none of its keys is empty.",
           .body = validate_non_empty_keys});
}

}  // namespace

KV_MODULE(mapping_checks, "korvan_models.classes.builder.validators.mapping_checks", module_body)
