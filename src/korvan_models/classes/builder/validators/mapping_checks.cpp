// mapping_checks: the non-empty-keys check behind the dictionary validators of generated model classes.
#include "frame.hpp"

using namespace kv;

namespace {

[[noreturn]] void empty_key() {
    raise(PyExc_ValueError, "Dictionary keys must be non-empty");
}

// An exact dict whose keys are all exact str is walked in place: no user code can run, so nothing
// can change the dict under the walk. Returns false, having looked at nothing but exact str keys of
// non-zero length, as soon as another kind of key turns up.
bool check_text_keys(Handle value) {
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    while (PyDict_Next(value.ptr(), &pos, &k, nullptr)) {
        if (!PyUnicode_CheckExact(k)) return false;
        if (PyUnicode_GET_LENGTH(k) == 0) empty_key();
    }
    return true;
}

Obj validate_non_empty_keys(Call& a) {
    Handle value = a[0];
    if (value.is_none()) return Obj(value);
    if (PyDict_CheckExact(value.ptr()) && check_text_keys(value)) return Obj(value);
    // Anything else, or a dict with other keys, from the start: the keys already seen are
    // non-empty str, so seeing them again changes nothing.
    for (Obj k : value.iter()) {
        if (k.len() == 0) empty_key();
    }
    return Obj(value);
}

void module_body(ModuleBody& m) {
    m.import_from("typing", {"Any"});
    m.def({.name = "validate_non_empty_keys", .params = {arg("value", "Any")}, .returns = "Any",
           .body = validate_non_empty_keys});
}

}  // namespace

KV_MODULE(mapping_checks, "korvan_models.classes.builder.validators.mapping_checks", module_body)
