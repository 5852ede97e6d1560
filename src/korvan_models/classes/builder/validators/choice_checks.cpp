// choice_checks: the options check behind the option validators of generated model classes.
//
// Membership is the list's own `element in options`: each option is compared as
// `option == element`, identity first, in list order. Pairs of exact str or exact int objects are
// compared here directly (no user code can run for them); every other pair goes through the rich
// comparison, so a user __eq__ sees the same calls, in the same order, as in list.__contains__.
#include <cstring>
#include <string>

#include "frame.hpp"

using namespace kv;

namespace {

enum class Plain { text, number, other };

Plain plain_kind(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return Plain::text;
    if (PyLong_CheckExact(o)) return Plain::number;
    return Plain::other;
}

// Equal exact str objects share length and kind (the canonical representation).
bool same_text(PyObject* a, PyObject* b) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

bool same_number(PyObject* a, PyObject* b) {
    int overflow_a = 0, overflow_b = 0;
    long x = PyLong_AsLongAndOverflow(a, &overflow_a);
    long y = PyLong_AsLongAndOverflow(b, &overflow_b);
    if (!overflow_a && !overflow_b) return x == y;
    return PyObject_RichCompareBool(a, b, Py_EQ) == 1;  // big ints: exact int comparison, cannot fail
}

// `option == element` as list.__contains__ evaluates it.
bool option_matches(PyObject* option, PyObject* element) {
    if (option == element) return true;
    Plain a = plain_kind(option), b = plain_kind(element);
    if (a != Plain::other && b != Plain::other) {
        if (a != b) return false;  // str against int: both decline, identity decides
        return a == Plain::text ? same_text(option, element) : same_number(option, element);
    }
    Obj held(Handle{option});  // a user __eq__ may drop the option from the list
    return held.eq(element);
}

bool in_options(Handle element, Handle options) {
    PyObject* list = options.ptr();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (option_matches(PyList_GET_ITEM(list, i), element.ptr())) return true;
    return false;
}

// all(element in options for element in value), stopping at the first miss.
bool all_in_options(Handle value, Handle options) {
    if (PyList_CheckExact(value.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.ptr()); ++i) {
            Obj element(Handle{PyList_GET_ITEM(value.ptr(), i)});
            if (!in_options(element, options)) return false;
        }
        return true;
    }
    for (Obj element : value.iter())  // a list subclass iterates its own way
        if (!in_options(element, options)) return false;
    return true;
}

// An ASCII str that repr() shows as itself between single quotes.
bool quotes_as_is(PyObject* text) {
    if (!PyUnicode_IS_ASCII(text)) return false;
    const char* c = static_cast<const char*>(PyUnicode_DATA(text));
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i)
        if (c[i] < ' ' || c[i] == 0x7f || c[i] == '\'' || c[i] == '\\') return false;
    return true;
}

bool builtin_repr(PyObject* o) {
    return PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o) ||
           o == Py_None;
}

// str() of an exact list of strings and numbers, written in one pass: the text list.__repr__ gives.
// Empty when an element could run user code or shows outside ASCII; the caller then asks the list.
Obj list_text(Handle list) {
    std::string text = "[";
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        Obj element(Handle{PyList_GET_ITEM(list.ptr(), i)});  // held across the repr() below
        if (i) text += ", ";
        if (PyUnicode_CheckExact(element.ptr()) && quotes_as_is(element.ptr())) {
            text += '\'';
            text.append(static_cast<const char*>(PyUnicode_DATA(element.ptr())),
                        static_cast<size_t>(PyUnicode_GET_LENGTH(element.ptr())));
            text += '\'';
            continue;
        }
        if (!builtin_repr(element.ptr())) return {};
        Obj shown = element.repr();
        if (!PyUnicode_IS_ASCII(shown.ptr())) return {};
        text.append(static_cast<const char*>(PyUnicode_DATA(shown.ptr())),
                    static_cast<size_t>(PyUnicode_GET_LENGTH(shown.ptr())));
    }
    text += ']';
    return str(text);
}

// f"{value}": format(value, "").
Obj shown(Handle value) {
    if (PyList_CheckExact(value.ptr())) {
        Obj text = list_text(value);
        if (text.valid()) return text;
    }
    return value.format();
}

Obj validate_options(Call& a) {
    Handle value = a[0], options = a[1];
    if (value.is_none()) return Obj(value);
    bool multi = value.is_list();
    bool passes = multi ? all_in_options(value, options) : in_options(value, options);
    if (passes) return Obj(value);
    Obj shown_value = shown(value);
    Obj shown_options = shown(options);
    Obj msg = format_text("Value=%U doesn't match available options: %U.", shown_value.ptr(), shown_options.ptr());
    return raised(PyExc_ValueError, msg);  // no C++ throw: a miss is an everyday result
}

void module_body(ModuleBody& m) {
    m.import_from("typing", {"Any"});
    m.def({.name = "validate_options",
           .params = {arg("value", "Any"), arg("options", "list[Any]").exactly(&PyList_Type)},
           .returns = "Any",
           .doc = "Returns the value if it, or each element of a list value, is one of the options.",
           .body = validate_options});
}

}  // namespace

KV_MODULE(choice_checks, "korvan_models.classes.builder.validators.choice_checks", module_body)
