// Reading the fields of schema records as the interpreter reads attributes, faster for the usual
// record: an instance whose type keeps object's own attribute lookup (a `__getattr__` fallback is
// fine) and defines nothing under the name holds the value in its own `__dict__`, so that dict is
// read directly. Anything else (a descriptor or class attribute of that name, a custom
// `__getattribute__`, no `__dict__`, a key that is not there) takes the full lookup, so properties,
// slots and `__getattr__` behave as usual.
//
// `field<"type">(record)` reads `record.type`. Each name keeps the few record types it has seen
// answer from their own dict, each with the type's attribute-cache tag: a tag is never reused, and
// any change to the type or its bases gives it a new one, which sends the read back to the check.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "exact.hpp"
#include "object.hpp"

namespace kv {

template <size_t N>
struct FieldName {
    char text[N];
    constexpr FieldName(const char (&literal)[N]) { std::copy_n(literal, N, text); }
};

// Whether `type` keeps object's own attribute lookup: no __getattribute__ of its own, and at most a
// __getattr__ (whose hook runs object's lookup first when __getattribute__ is object's).
inline bool plain_lookup(PyTypeObject* type) {
    if (type->tp_getattro == PyObject_GenericGetAttr) return true;
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return false;
    static PyObject* const getattribute_name = name("__getattribute__");
    PyObject* getattribute = _PyType_Lookup(type, getattribute_name);
    return getattribute && Py_IS_TYPE(getattribute, &PyWrapperDescr_Type) &&
           reinterpret_cast<PyWrapperDescrObject*>(getattribute)->d_wrapped ==
               reinterpret_cast<void*>(PyObject_GenericGetAttr);
}

// Whether an instance of `type` answers `key` from its own __dict__ when the key is there.
inline bool reads_own_dict(PyTypeObject* type, PyObject* key) {
    return type->tp_dictoffset != 0 && !_PyType_Lookup(type, key) && plain_lookup(type);
}

// A managed __dict__ as the 3.12 runtime keeps it: a pointer three words before the object, or
// the object's inline values (tagged with the low bit) while no dict has been made. Empty when
// there is no dict there yet.
inline PyObject* managed_dict_pointer(PyObject* record) {
    PyObject* dict = reinterpret_cast<PyObject**>(record)[-3];
    return reinterpret_cast<uintptr_t>(dict) & 1 ? nullptr : dict;
}

inline Obj managed_dict(PyObject* record) { return Obj(Handle(managed_dict_pointer(record))); }

// The runtime whose object layout managed_dict_pointer reads.
inline bool layout_known() { return (Py_Version >> 16) == 0x030C; }

// Whether the record's managed __dict__ has not been made yet on this runtime.
inline bool unmade_managed_dict(PyTypeObject* type, PyObject* record) {
    static const bool runtime_312 = layout_known();
    return runtime_312 && (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && !managed_dict_pointer(record);
}

// Whether the record's __dict__ is read where this runtime keeps it: the runtime's own answer
// (made first, so the dict exists) against the pointer read. False on a runtime of another layout.
inline bool reads_dict_in_place(Handle record) {
    if (!layout_known() || !(Py_TYPE(record.ptr())->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return false;
    Obj dict = Obj::steal(PyObject_GenericGetDict(record.ptr(), nullptr));
    return managed_dict(record.ptr()).is(dict);
}

// The record types that one name was found to read from their own dict. For each: whether its dict
// can be read where the runtime keeps it (checked against the runtime's own answer first), and the
// entry where the name last stood in such a dict, which is tried first (records of one type keep
// their fields in one order, as the interpreter's own attribute hints assume).
class OwnDictTypes {
public:
    struct Seen {
        PyTypeObject* type;
        unsigned int tag;
        bool raw;
        Py_ssize_t hint;
    };
    Seen* find(PyTypeObject* type) {
        for (Seen& seen : seen_)
            if (seen.type == type && seen.tag == type->tp_version_tag && seen.tag) return &seen;
        return nullptr;
    }
    Seen* check(PyTypeObject* type, PyObject* key, Handle record, const Obj& dict) {
        if (!reads_own_dict(type, key)) return nullptr;
        static const bool runtime_312 = layout_known();
        bool raw = runtime_312 && (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && managed_dict(record.ptr()).is(dict);
        static Seen unkept;
        if (!type->tp_version_tag) return &(unkept = Seen{type, 0, false, 0});
        Seen& seen = seen_[next_++ % 4];
        seen = Seen{type, type->tp_version_tag, raw, 0};
        return &seen;
    }

private:
    Seen seen_[4] = {};
    unsigned next_ = 0;
};

// dict[key] for an interned text key, trying the entry at `hint` first and keeping where it was found.
inline PyObject* dict_entry(PyObject* dict, PyObject* key, Py_ssize_t& hint) {
    Py_ssize_t pos = hint;
    PyObject *found_key, *value;
    if (PyDict_Next(dict, &pos, &found_key, &value) && found_key == key) return value;
    value = PyDict_GetItemWithError(dict, key);
    if (!value) {
        if (PyErr_Occurred()) fail();
        return nullptr;
    }
    for (pos = 0; PyDict_Next(dict, &pos, &found_key, nullptr);) {
        if (found_key == key) {
            hint = pos - 1;
            break;
        }
    }
    return value;
}

// The value under `key` in the record's own __dict__ when that is where the lookup finds it;
// empty otherwise.
inline Obj own_field(Handle record, PyObject* key, OwnDictTypes& types) {
    PyTypeObject* type = Py_TYPE(record.ptr());
    // A managed dict not made yet (the values still inline): asking for it would make it, and the
    // interpreter's own fast attribute reads and method calls on that instance would stop applying.
    // The full lookup reads the inline values as they are.
    if (unmade_managed_dict(type, record.ptr())) return {};
    OwnDictTypes::Seen* seen = types.find(type);
    if (seen && seen->raw) {
        // The usual read: the name at its entry. Nothing here runs Python code, so the borrowed
        // dict and value stay alive until the value is owned.
        PyObject* own = managed_dict_pointer(record.ptr());
        Py_ssize_t pos = seen->hint;
        PyObject *found_key, *value;
        if (own && PyDict_CheckExact(own) && PyDict_Next(own, &pos, &found_key, &value) && found_key == key)
            return Obj(Handle(value));
    }
    Obj dict = seen && seen->raw ? managed_dict(record.ptr()) : Obj();
    if (!dict.valid()) {
        if (!seen && !reads_own_dict(type, key)) return {};
        dict = Obj::steal(PyObject_GenericGetDict(record.ptr(), nullptr));  // as vars(record) gives it
        if (!seen && !(seen = types.check(type, key, record, dict))) return {};
    }
    if (!PyDict_CheckExact(dict.ptr())) return {};
    return Obj(Handle(dict_entry(dict.ptr(), key, seen->hint)));
}

// record.<name>
template <FieldName name>
Obj field(Handle record, Where where = Where::current()) {
    static PyObject* const key = kv::name(name.text);
    static OwnDictTypes types;
    if (Obj value = own_field(record, key, types); value.valid()) return value;
    return record.attr(Handle(key), where);
}

// getattr(record, name, <nothing>): empty when the record has no such attribute.
template <FieldName name>
Obj field_or_null(Handle record, Where where = Where::current()) {
    static PyObject* const key = kv::name(name.text);
    static OwnDictTypes types;
    if (Obj value = own_field(record, key, types); value.valid()) return value;
    return record.attr_or_null(name.text, where);
}

// isinstance(instance, cls). For a class whose metaclass keeps type's own __instancecheck__ (the
// records' metaclass does) this gives that check's answer without looking up and calling the bound
// check: the instance's type, else its `__class__`, which is that same type unless a class in its
// type's lookup replaces object's own `__class__`.
inline bool instance_of(Handle instance, Handle cls) {
    static PyObject* const instancecheck = name("__instancecheck__");
    static PyObject* const class_name = name("__class__");
    static PyObject* const type_check = _PyType_Lookup(&PyType_Type, instancecheck);
    static PyObject* const own_class = _PyType_Lookup(&PyBaseObject_Type, class_name);
    if (!PyType_Check(cls.ptr()) || _PyType_Lookup(Py_TYPE(cls.ptr()), instancecheck) != type_check)
        return instance.isinstance(cls);
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    PyTypeObject* instance_type = Py_TYPE(instance.ptr());
    if (PyType_IsSubtype(instance_type, type)) return true;
    if (plain_lookup(instance_type) && _PyType_Lookup(instance_type, class_name) == own_class)
        return false;
    Obj shown = instance.attr_or_null("__class__");
    return shown.valid() && !shown.is(instance.type()) && PyType_Check(shown.ptr()) &&
           PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(shown.ptr()), type);
}

}  // namespace kv
