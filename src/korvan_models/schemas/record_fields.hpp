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

#include "frame.hpp"

namespace korvan {

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
    static PyObject* const getattribute_name = kv::name("__getattribute__");
    PyObject* getattribute = _PyType_Lookup(type, getattribute_name);
    return getattribute && Py_IS_TYPE(getattribute, &PyWrapperDescr_Type) &&
           reinterpret_cast<PyWrapperDescrObject*>(getattribute)->d_wrapped ==
               reinterpret_cast<void*>(PyObject_GenericGetAttr);
}

// Whether an instance of `type` answers `key` from its own __dict__ when the key is there.
inline bool reads_own_dict(PyTypeObject* type, PyObject* key) {
    return type->tp_dictoffset != 0 && !_PyType_Lookup(type, key) && plain_lookup(type);
}

// The record types that one name was found to read from their own dict.
class OwnDictTypes {
public:
    bool known(PyTypeObject* type) const {
        for (const Seen& seen : seen_)
            if (seen.type == type && seen.tag == type->tp_version_tag && seen.tag) return true;
        return false;
    }
    bool check(PyTypeObject* type, PyObject* key) {
        if (!reads_own_dict(type, key)) return false;
        if (type->tp_version_tag) seen_[next_++ % 4] = Seen{type, type->tp_version_tag};
        return true;
    }

private:
    struct Seen {
        PyTypeObject* type;
        unsigned int tag;
    };
    Seen seen_[4] = {};
    unsigned next_ = 0;
};

// The value under `key` in the record's own __dict__ when that is where the lookup finds it;
// empty otherwise.
inline kv::Obj own_field(kv::Handle record, PyObject* key, OwnDictTypes& types) {
    PyTypeObject* type = Py_TYPE(record.ptr());
    if (!types.known(type) && !types.check(type, key)) return {};
    kv::Obj dict = kv::Obj::steal(PyObject_GenericGetDict(record.ptr(), nullptr));  // as vars(record) gives it
    if (!PyDict_CheckExact(dict.ptr())) return {};
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key);
    if (!value && PyErr_Occurred()) kv::fail();
    return kv::Obj(kv::Handle(value));
}

// record.<name>
template <FieldName name>
kv::Obj field(kv::Handle record, kv::Where where = kv::Where::current()) {
    static PyObject* const key = kv::name(name.text);
    static OwnDictTypes types;
    kv::Obj value = own_field(record, key, types);
    return value.valid() ? value : record.attr(kv::Handle(key), where);
}

// getattr(record, name, <nothing>): empty when the record has no such attribute.
template <FieldName name>
kv::Obj field_or_null(kv::Handle record, kv::Where where = kv::Where::current()) {
    static PyObject* const key = kv::name(name.text);
    static OwnDictTypes types;
    kv::Obj value = own_field(record, key, types);
    return value.valid() ? value : record.attr_or_null(name.text, where);
}

// isinstance(instance, cls). For a class whose metaclass keeps type's own __instancecheck__ (the
// records' metaclass does) this gives that check's answer without looking up and calling the bound
// check: the instance's type, else its `__class__`, which is that same type unless a class in its
// type's lookup replaces object's own `__class__`.
inline bool instance_of(kv::Handle instance, kv::Handle cls) {
    static PyObject* const instancecheck = kv::name("__instancecheck__");
    static PyObject* const class_name = kv::name("__class__");
    static PyObject* const type_check = _PyType_Lookup(&PyType_Type, instancecheck);
    static PyObject* const own_class = _PyType_Lookup(&PyBaseObject_Type, class_name);
    if (!PyType_Check(cls.ptr()) || _PyType_Lookup(Py_TYPE(cls.ptr()), instancecheck) != type_check)
        return instance.isinstance(cls);
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    PyTypeObject* instance_type = Py_TYPE(instance.ptr());
    if (PyType_IsSubtype(instance_type, type)) return true;
    if (plain_lookup(instance_type) && _PyType_Lookup(instance_type, class_name) == own_class)
        return false;
    kv::Obj shown = instance.attr_or_null("__class__");
    return shown.valid() && !shown.is(instance.type()) && PyType_Check(shown.ptr()) &&
           PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(shown.ptr()), type);
}

}  // namespace korvan
