// Fast paths for the host's exact built-in types, kept here so that the modules never touch the
// host's C interface themselves: each answers without running Python code where the types make
// that certain, and goes through the ordinary protocol otherwise.
#pragma once
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "object.hpp"

namespace kv {

inline bool exact_str(Handle o) { return PyUnicode_CheckExact(o.ptr()); }
inline bool exact_int(Handle o) { return PyLong_CheckExact(o.ptr()); }
inline bool exact_float(Handle o) { return PyFloat_CheckExact(o.ptr()); }
inline bool exact_list(Handle o) { return PyList_CheckExact(o.ptr()); }
inline bool exact_dict(Handle o) { return PyDict_CheckExact(o.ptr()); }
inline bool exact_tuple(Handle o) { return PyTuple_CheckExact(o.ptr()); }
inline bool is_tuple(Handle o) { return PyTuple_Check(o.ptr()); }
// A str whose comparison is str's own (an exact str, or a subclass that keeps ==).
inline bool plain_text(Handle o) {
    return PyUnicode_Check(o.ptr()) && Py_TYPE(o.ptr())->tp_richcompare == PyUnicode_Type.tp_richcompare;
}
// The exact types whose values are immutable and whose equality is their hash's: str, int, float, bool.
inline bool plain_scalar(Handle o) {
    PyTypeObject* t = Py_TYPE(o.ptr());
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type;
}
// A value copy.copy gives back as it is: None, str, int, float, bool, tuple, bytes (all exact).
inline bool plain_immutable(Handle o) {
    PyTypeObject* t = Py_TYPE(o.ptr());
    return o.is_none() || plain_scalar(o) || t == &PyTuple_Type || t == &PyBytes_Type;
}

// isinstance(value, type) for a built-in type: a subtype answers at once, a plain scalar or None
// answers no, and anything else asks isinstance (its __class__ may claim the type).
inline bool instance_of(Handle value, PyTypeObject* type, Where where = Where::current()) {
    if (PyObject_TypeCheck(value.ptr(), type)) return true;
    if (plain_scalar(value) || value.is_none()) return false;
    return value.isinstance(reinterpret_cast<PyObject*>(type), where);
}

// module.<attr_name> when the module is a plain module (its attributes are its namespace's items),
// read from the namespace at once; otherwise through the full attribute lookup.
inline Obj module_attr(Handle module, const char* attr_name, Where where = Where::current()) {
    if (Py_IS_TYPE(module.ptr(), &PyModule_Type)) {
        Obj found = Handle(PyModule_GetDict(module.ptr())).get(name(attr_name), where);
        if (!found.is_none()) return found;
    }
    return module.attr(attr_name, where);
}

// --- texts -------------------------------------------------------------------------------------

// Two plain texts (see plain_text), equal as str compares them; no Python code runs.
inline bool same_text(Handle a, Handle b) {
    PyObject *x = a.ptr(), *y = b.ptr();
    if (x == y) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(x);
    if (n != PyUnicode_GET_LENGTH(y) || PyUnicode_KIND(x) != PyUnicode_KIND(y)) return false;
    return std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y), static_cast<size_t>(n) * PyUnicode_KIND(x)) == 0;
}

// The characters of an exact str made only of ASCII, or nothing.
inline std::optional<std::string_view> ascii_text(Handle o) {
    if (!PyUnicode_CheckExact(o.ptr()) || !PyUnicode_IS_ASCII(o.ptr())) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(o.ptr())),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(o.ptr())));
}
// The same for any str that is ASCII (a subclass keeps its characters where str does).
inline std::optional<std::string_view> ascii_chars(Handle o) {
    if (!PyUnicode_Check(o.ptr()) || !PyUnicode_IS_ASCII(o.ptr())) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(o.ptr())),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(o.ptr())));
}

inline Py_ssize_t text_length(Handle text) { return PyUnicode_GET_LENGTH(text.ptr()); }

// Calls visit(code_point) for each character of a str.
template <typename Visit>
void for_each_code_point(Handle text, Visit visit) {
    PyObject* t = text.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(t);
    int kind = PyUnicode_KIND(t);
    const void* data = PyUnicode_DATA(t);
    for (Py_ssize_t i = 0; i < n; ++i) visit(static_cast<uint32_t>(PyUnicode_READ(kind, data, i)));
}

// separator.join(items), items a list or tuple of str.
inline Obj join(Handle separator, Handle items, Where where = Where::current()) {
    return Obj::steal(PyUnicode_Join(separator.ptr(), items.ptr()), where);
}
inline Obj bytes_of(std::string_view data, Where where = Where::current()) {
    return Obj::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())), where);
}
// left + right for two str.
inline Obj concat(Handle left, Handle right, Where where = Where::current()) {
    return Obj::steal(PyUnicode_Concat(left.ptr(), right.ptr()), where);
}

// --- numbers -----------------------------------------------------------------------------------

// An int's value when it fits a long long; nothing when it does not.
inline std::optional<long long> small_int(Handle number, Where where = Where::current()) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) fail(where);
    if (overflow) return std::nullopt;
    return v;
}
// int's own repr() of an int (a subclass's own __repr__ is not asked).
inline Obj int_text(Handle number, Where where = Where::current()) {
    return Obj::steal(PyLong_Type.tp_repr(number.ptr()), where);
}
inline double float_value(Handle number) { return PyFloat_AS_DOUBLE(number.ptr()); }
// repr() of a float's value, as the host writes it.
inline std::string float_text(double value, Where where = Where::current()) {
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) fail(where);
    std::string out(text);
    PyMem_Free(text);
    return out;
}

// `a == b` when both are exact str or both exact int, decided without running Python code; nothing
// for any other pair. An exact str never equals an exact int.
inline std::optional<bool> plain_equal(Handle a, Handle b) {
    if (a.is(b)) return true;
    bool text_a = PyUnicode_CheckExact(a.ptr()), text_b = PyUnicode_CheckExact(b.ptr());
    bool int_a = PyLong_CheckExact(a.ptr()), int_b = PyLong_CheckExact(b.ptr());
    if (!(text_a || int_a) || !(text_b || int_b)) return std::nullopt;
    if (text_a != text_b) return false;
    if (text_a) return same_text(a, b);
    int overflow_a = 0, overflow_b = 0;
    long x = PyLong_AsLongAndOverflow(a.ptr(), &overflow_a);
    long y = PyLong_AsLongAndOverflow(b.ptr(), &overflow_b);
    if (!overflow_a && !overflow_b) return x == y;
    return PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ) == 1;  // big ints: cannot fail
}

// --- lists, tuples, dicts, sets ----------------------------------------------------------------

inline Py_ssize_t list_size(Handle list) { return PyList_GET_SIZE(list.ptr()); }
// list[i] of an exact list, owned (a user __eq__ or a finaliser may drop it from the list).
inline Obj list_at(Handle list, Py_ssize_t i) { return Obj(Handle(PyList_GET_ITEM(list.ptr(), i))); }
// list[i] of an exact list, borrowed: valid only until Python code runs (take an Obj before that).
inline Handle list_item(Handle list, Py_ssize_t i) { return PyList_GET_ITEM(list.ptr(), i); }
inline Py_ssize_t tuple_size(Handle tuple) { return PyTuple_GET_SIZE(tuple.ptr()); }
inline Obj tuple_at(Handle tuple, Py_ssize_t i) { return Obj(Handle(PyTuple_GET_ITEM(tuple.ptr(), i))); }
// The size and items of a list or tuple (subclasses too), as the host's sequence fast path reads them.
inline Py_ssize_t sequence_size(Handle list_or_tuple) { return PySequence_Fast_GET_SIZE(list_or_tuple.ptr()); }
inline Obj sequence_at(Handle list_or_tuple, Py_ssize_t i) {
    return Obj(Handle(PySequence_Fast_GET_ITEM(list_or_tuple.ptr(), i)));
}
inline Py_ssize_t dict_size(Handle dict) { return PyDict_GET_SIZE(dict.ptr()); }

// Calls visit(element) for each element: an exact list by index, its size read again at every
// step as its own iterator does; anything else through its own iterator.
template <typename Visit>
void for_each(Handle iterable, Visit visit) {
    if (PyList_CheckExact(iterable.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable.ptr()); ++i) {
            Obj element = list_at(iterable, i);
            visit(element);
        }
        return;
    }
    for (const Obj& element : iterable.iter()) visit(element);
}

// Whether pred(element) holds for every element of an exact list, stopping at the first that fails.
template <typename Pred>
bool all_of_list(Handle list, Pred pred) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i)
        if (!pred(list_at(list, i))) return false;
    return true;
}

// list(iterable), sorted in place, copies, and concatenation.
inline Obj list_of(Handle iterable, Where where = Where::current()) {
    return Obj::steal(PySequence_List(iterable.ptr()), where);
}
inline void sort_list(Handle list, Where where = Where::current()) { check(PyList_Sort(list.ptr()), where); }
inline Obj copy_list(Handle list, Where where = Where::current()) {
    return Obj::steal(PyList_GetSlice(list.ptr(), 0, PY_SSIZE_T_MAX), where);
}
inline void extend_list(Handle list, Handle items, Where where = Where::current()) {
    check(PyList_SetSlice(list.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, items.ptr()), where);
}
inline Obj copy_dict(Handle dict, Where where = Where::current()) {
    return Obj::steal(PyDict_Copy(dict.ptr()), where);
}
// sequence[0] for any sequence.
inline Obj first_item(Handle sequence, Where where = Where::current()) {
    return Obj::steal(PySequence_GetItem(sequence.ptr(), 0), where);
}
// mapping.items() as a list.
inline Obj items_list(Handle mapping, Where where = Where::current()) {
    return Obj::steal(PyMapping_Items(mapping.ptr()), where);
}
// key in dict, for an exact dict.
inline bool dict_has(Handle dict, Handle key, Where where = Where::current()) {
    Pin pin(dict.ptr(), key.ptr());
    int rc = PyDict_Contains(dict.ptr(), key.ptr());
    check(rc, where);
    return rc;
}
// The keys of an exact dict, in order, borrowed for the walk: visit must not run Python code.
// Returns false as soon as visit does.
template <typename Visit>
bool each_key_plainly(Handle dict, Visit visit) {
    Py_ssize_t pos = 0;
    PyObject* key;
    while (PyDict_Next(dict.ptr(), &pos, &key, nullptr))
        if (!visit(Handle(key))) return false;
    return true;
}

// An exact dict walked in place, each pair held owned while visit runs, with the checks the dict's
// own iterator makes: a size change between steps, or more entries than it started with, raises
// that iterator's error. A visit that returns bool stops the walk with false; so does walk_dict.
template <typename Visit>
bool walk_dict(PyObject* dict, Visit visit) {
    Py_ssize_t pos = 0, used = PyDict_GET_SIZE(dict), left = used;
    PyObject *key, *value;
    while (true) {
        if (PyDict_GET_SIZE(dict) != used) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        if (!PyDict_Next(dict, &pos, &key, &value)) return true;
        if (left-- == 0) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
        Obj held_key(Handle{key}), held_value(Handle{value});
        if constexpr (std::is_same_v<decltype(visit(held_key, held_value)), bool>) {
            if (!visit(held_key, held_value)) return false;
        } else {
            visit(held_key, held_value);
        }
    }
}

// for key, value in mapping.items(); a visit returning bool stops it with false, as walk_dict.
template <typename Visit>
bool for_each_item(Handle mapping, Visit visit) {
    if (PyDict_CheckExact(mapping.ptr())) return walk_dict(mapping.ptr(), visit);
    for (const Obj& pair : mapping.call_method("items").iter()) {
        auto [key, value] = unpack<2>(pair);
        if constexpr (std::is_same_v<decltype(visit(key, value)), bool>) {
            if (!visit(key, value)) return false;
        } else {
            visit(key, value);
        }
    }
    return true;
}

// for value in mapping.values()
template <typename Visit>
void for_each_value(Handle mapping, Visit visit) {
    if (PyDict_CheckExact(mapping.ptr())) {
        walk_dict(mapping.ptr(), [&](Handle, Handle value) { visit(value); });
        return;
    }
    for (const Obj& value : mapping.call_method("values").iter()) visit(value);
}

inline Obj set_of(Handle iterable, Where where = Where::current()) {
    return Obj::steal(PySet_New(iterable.ptr()), where);
}
inline bool set_has(Handle set, Handle value, Where where = Where::current()) {
    Pin pin(set.ptr(), value.ptr());
    int rc = PySet_Contains(set.ptr(), value.ptr());
    check(rc, where);
    return rc;
}
// set.add(value). The set is held even for a plain scalar: the comparison with an element of
// the same hash already in the set may run that element's __eq__.
inline void set_add(Handle set, Handle value, Where where = Where::current()) {
    Pin pin(set.ptr(), value.ptr());
    check(PySet_Add(set.ptr(), value.ptr()), where);
}
inline void set_discard(Handle set, Handle value, Where where = Where::current()) {
    Pin pin(set.ptr(), value.ptr());
    check(PySet_Discard(set.ptr(), value.ptr()), where);
}

// (items...), a new tuple of the given objects.
template <typename... Items>
Obj tuple_of(const Items&... items) {
    Obj tuple = Obj::steal(PyTuple_New(sizeof...(Items)));
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(tuple.ptr(), i++, Py_NewRef(Handle(items).ptr())), ...);
    return tuple;
}

// list.append(value) for an exact list: no Python code runs, so neither needs holding.
inline void list_append(Handle list, Handle value, Where where = Where::current()) {
    if (PyList_CheckExact(list.ptr())) [[likely]] {
        check(PyList_Append(list.ptr(), value.ptr()), where);
        return;
    }
    list.append(value, where);
}

// callable(argument), the one-argument call taken at once.
inline Obj call_with(Handle callable, Handle argument, Where where = Where::current()) {
    Pin pin(callable.ptr(), argument.ptr());
    return Obj::steal(PyObject_CallOneArg(callable.ptr(), argument.ptr()), where);
}

// --- calls -------------------------------------------------------------------------------------

// callable(argument), where one kind of failure is an everyday answer: empty when the call raised
// `expected` (then cleared), without a C++ throw; any other failure throws.
inline Obj call_unless(Handle callable, Handle argument, PyObject* expected, Where where = Where::current()) {
    Pin pin(callable.ptr(), argument.ptr());
    PyObject* result = PyObject_CallOneArg(callable.ptr(), argument.ptr());
    if (result) return Obj::steal(result);
    if (!PyErr_ExceptionMatches(expected)) fail(where);
    PyErr_Clear();
    return Obj();
}

// --- types -------------------------------------------------------------------------------------

// The attribute `key` as the type's own lookup finds it (through its bases), borrowed from the
// type; empty when none. No Python code runs.
inline Handle type_lookup(Handle type, PyObject* key) {
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(type.ptr()), key);
}

// Whether `instance.<key>` is `expected` as found by object's own attribute lookup: the type keeps
// that lookup, finds `expected` under the name, and the instance's own dict does not shadow it.
inline bool reaches_class_attribute(Handle instance, PyObject* key, Handle expected) {
    PyTypeObject* type = Py_TYPE(instance.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(type, key) != expected.ptr()) return false;
    if (type->tp_dictoffset == 0) return true;
    return !Obj::steal(PyObject_GenericGetDict(instance.ptr(), nullptr)).contains(Handle(key));
}

// A value computed from one module global and kept until the global is rebound, as for members of
// an enumeration the module imported. get() hands out owned copies: the computation runs Python
// code, which may rebind the global and compute again meanwhile, so nothing borrowed from the
// cache is ever used across it. Made once and never destroyed: `static auto& x = *new FromGlobal(..)`.
class FromGlobal {
public:
    explicit FromGlobal(const char* global_name) : name_(global_name) {}
    FromGlobal(const FromGlobal&) = delete;
    FromGlobal& operator=(const FromGlobal&) = delete;
    template <typename Make>
    Obj get(Make make, Where where = Where::current()) {
        Obj owner = global(name_, hint_, where);
        if (owner.is(owner_)) return value_;
        Obj value = make(Handle(owner));
        owner_ = std::move(owner);
        value_ = value;
        return value;
    }

private:
    const char* name_;
    Py_ssize_t hint_ = 0;
    Obj owner_, value_;
};

}  // namespace kv
