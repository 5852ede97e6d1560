// choice_checks: the options check behind the option validators of generated model classes.
//
// Membership is the list's own `element in options`: each option is compared as
// `option == element`, identity first, in list order. Pairs of exact str or exact int objects are
// compared here directly (no user code can run for them); every other pair goes through the rich
// comparison, so a user __eq__ sees the same calls, in the same order, as in list.__contains__.
#include <optional>
#include <string>

#include "exact.hpp"
#include "frame.hpp"

using namespace kv;

namespace {

// `option == element` as list.__contains__ evaluates it; `option` is borrowed from the list. Pairs
// of exact str or int run no Python code; any other pair is compared through the frame, which
// holds both for the comparison (a user __eq__ may drop the option from the list).
bool option_matches(Handle option, Handle element) {
    if (std::optional<bool> same = plain_equal(option, element)) return *same;
    return option.eq(element);
}

bool in_options(Handle element, Handle options) {
    for (Py_ssize_t i = 0; i < list_size(options); ++i)
        if (option_matches(list_item(options, i), element)) return true;
    return false;
}

// all(element in options for element in value), stopping at the first miss.
bool all_in_options(Handle value, Handle options) {
    if (exact_list(value)) return all_of_list(value, [&](Handle element) { return in_options(element, options); });
    for (Obj element : value.iter())  // a list subclass iterates its own way
        if (!in_options(element, options)) return false;
    return true;
}

// An ASCII text that repr() shows as itself between single quotes.
bool quotes_as_is(std::string_view text) {
    for (char c : text)
        if (c < ' ' || c == 0x7f || c == '\'' || c == '\\') return false;
    return true;
}

bool builtin_repr(Handle o) { return exact_str(o) || exact_int(o) || exact_float(o) || o.is_bool() || o.is_none(); }

// str() of an exact list of strings and numbers, written in one pass: the text list.__repr__ gives.
// Empty when an element could run user code or shows outside ASCII; the caller then asks the list.
Obj list_text(Handle list) {
    std::string text = "[";
    for (Py_ssize_t i = 0; i < list_size(list); ++i) {
        Obj element = list_at(list, i);  // held across the repr() below
        if (i) text += ", ";
        std::optional<std::string_view> chars = ascii_text(element);
        if (chars && quotes_as_is(*chars)) {
            text += '\'';
            text.append(*chars);
            text += '\'';
            continue;
        }
        if (!builtin_repr(element)) return {};
        Obj shown = element.repr();
        std::optional<std::string_view> shown_chars = ascii_text(shown);
        if (!shown_chars) return {};
        text.append(*shown_chars);
    }
    text += ']';
    return str(text);
}

// f"{value}": format(value, "").
Obj shown(Handle value) {
    if (exact_list(value)) {
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
