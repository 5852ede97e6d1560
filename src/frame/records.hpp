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
#include <cstring>

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

// The 3.12 runtime's object layout, read in place on the hot path of a record read (the same reads
// the interpreter's own specialised attribute reads make). Everything here is used only after
// `layout_verified()` has checked these reads against the runtime's own answers once.
//
// A managed __dict__: a word three words before the object, holding the dict, or the object's
// inline values (their address less one, so the low bit is set) while no dict has been made.
inline PyObject* managed_dict_pointer(PyObject* record) {
    PyObject* dict = reinterpret_cast<PyObject**>(record)[-3];
    return reinterpret_cast<uintptr_t>(dict) & 1 ? nullptr : dict;
}

inline Obj managed_dict(PyObject* record) { return Obj(Handle(managed_dict_pointer(record))); }

// An instance's inline values, or null once a dict is made for it (or none was ever needed).
inline PyObject** inline_slots(PyObject* record) {
    auto bits = reinterpret_cast<uintptr_t>(reinterpret_cast<PyObject**>(record)[-3]);
    return bits & 1 ? reinterpret_cast<PyObject**>(bits + 1) : nullptr;
}
inline PyObject* const* inline_values(PyObject* record) { return inline_slots(record); }

// The order in which an instance's inline values were first set (what its __dict__ lists, once
// made): just before the values, a byte counting them, and before that byte the index of each
// value, one byte each, the first set nearest the count.
inline int inline_count(PyObject* const* values) { return reinterpret_cast<const uint8_t*>(values)[-2]; }
inline int inline_order_at(PyObject* const* values, int n) { return reinterpret_cast<const uint8_t*>(values)[-3 - n]; }

// values[index] = value on an instance's inline values, as the runtime's own store does: a value
// set for the first time joins the insertion order; a replaced one is released last (its release
// may run Python code; nothing here is touched after it).
inline void store_inline(PyObject** values, Py_ssize_t index, PyObject* value) {
    PyObject* old = values[index];
    values[index] = Py_NewRef(value);
    if (old) {
        Py_DECREF(old);
        return;
    }
    auto* count = reinterpret_cast<uint8_t*>(values) - 2;
    int n = *count + 1;
    count[-n] = static_cast<uint8_t>(index);
    *count = static_cast<uint8_t>(n);
}

// The runtime whose object layout these reads follow.
inline bool layout_known() { return (Py_Version >> 16) == 0x030C; }

// A dict's keys: a reference count; the sizes of the table and of its indices and the kind of the
// keys (bytes); a version; the usable and used entry counts; the index table; then the entries, a
// (key, value) pair each for keys that are all texts.
namespace dict_keys {
constexpr size_t log2_index_bytes_at = sizeof(Py_ssize_t) + 1, kind_at = sizeof(Py_ssize_t) + 2,
                 nentries_at = 3 * sizeof(Py_ssize_t), indices_at = 4 * sizeof(Py_ssize_t);
constexpr uint8_t text_kind = 1, split_kind = 2;

inline uint8_t kind(const char* keys) { return static_cast<uint8_t>(keys[kind_at]); }
inline Py_ssize_t used(const char* keys) {
    Py_ssize_t n;
    std::memcpy(&n, keys + nentries_at, sizeof n);
    return n;
}
inline PyObject* const* entries(const char* keys) {
    return reinterpret_cast<PyObject* const*>(keys + indices_at +
                                              (size_t{1} << static_cast<uint8_t>(keys[log2_index_bytes_at])));
}
}  // namespace dict_keys

// The value at entry `at` of an exact dict whose keys are all texts, when that entry holds `key`
// (an interned text); null otherwise.
inline PyObject* entry_value(PyObject* dict, Py_ssize_t at, PyObject* key) {
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    const char* keys = reinterpret_cast<const char*>(d->ma_keys);
    if (d->ma_values || dict_keys::kind(keys) != dict_keys::text_kind || at >= dict_keys::used(keys)) return nullptr;
    PyObject* const* entry = dict_keys::entries(keys) + 2 * at;
    return entry[0] == key ? entry[1] : nullptr;
}

// Whether an exact dict keeps only exact texts as keys (in one table with its values): a lookup of
// an exact text there compares texts only and runs no Python code.
inline bool text_keys_only(PyObject* dict) {
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    return !d->ma_values && dict_keys::kind(reinterpret_cast<const char*>(d->ma_keys)) == dict_keys::text_kind;
}

// Where `key` stands in the keys that instances of a heap type share while their values are inline
// (the type's cached split keys): the index into every such instance's values, or -1. The index of
// a key never changes while the type keeps its version tag (the interpreter relies on that too).
inline Py_ssize_t shared_key_index(PyTypeObject* type, PyObject* key) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return -1;
    const char* keys = reinterpret_cast<const char*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    if (!keys || dict_keys::kind(keys) != dict_keys::split_kind) return -1;
    PyObject* const* entries = dict_keys::entries(keys);
    for (Py_ssize_t i = 0, n = dict_keys::used(keys); i < n; ++i)
        if (entries[2 * i] == key) return i;
    return -1;
}

// A list's own iterator: the index of its next item, and the list, which it lets go of (null) once
// it has run past the end.
struct ListIterator {
    PyObject_HEAD
    Py_ssize_t index;
    PyObject* list;
};

// The next item of a list's own iterator, owned, stepped in place as the interpreter's specialised
// loop over a list steps it (the index and the list are read again at every step, so a loop body
// that changes the list, or steps the same iterator, is seen); null at the end, which lets go of
// the list as the iterator's own step does.
inline PyObject* list_iterator_step(PyObject* iterator) {
    auto* it = reinterpret_cast<ListIterator*>(iterator);
    PyObject* list = it->list;
    if (!list) return nullptr;
    if (it->index < PyList_GET_SIZE(list)) return Py_NewRef(PyList_GET_ITEM(list, it->index++));
    it->list = nullptr;
    Py_DECREF(list);
    return nullptr;
}

// Whether the reads above give what the runtime itself gives, checked once on objects made for it:
// a dict's entry, an instance's dict and its inline values. False on a runtime of another layout.
bool layout_verified();
// Its answer once settled (each module settles it as it starts): 1 when verified, else 0 or -1.
extern int layout_verified_state;

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

// A few types, each with its attribute-cache tag and the index of one name in its instances'
// inline values. An entry answers only while its type keeps that tag: any change to the type or
// its bases gives it a new one (tags are never reused).
template <unsigned N>
class TypeIndexes {
public:
    struct Seen {
        PyTypeObject* type;
        unsigned int tag;
        Py_ssize_t index;
    };
    const Seen* find(PyTypeObject* type) const {
        for (const Seen& seen : seen_)
            if (seen.type == type && seen.tag == type->tp_version_tag && seen.tag) return &seen;
        return nullptr;
    }
    void keep(PyTypeObject* type, Py_ssize_t index) { seen_[next_++ % N] = Seen{type, type->tp_version_tag, index}; }

private:
    Seen seen_[N] = {};
    unsigned next_ = 0;
};

// The record types that one name was found to read from their own dict. For each: whether its dict
// can be read where the runtime keeps it (checked against the runtime's own answer first), and the
// entry where the name last stood in such a dict, which is tried first (records of one type keep
// their fields in one order, as the interpreter's own attribute hints assume). Apart from those,
// the types whose instances keep the name at a known index of their inline values.
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
        bool raw = (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && layout_verified() &&
                   managed_dict(record.ptr()).is(dict);
        static Seen unkept;
        if (!type->tp_version_tag) return &(unkept = Seen{type, 0, false, 0});
        Seen& seen = seen_[next_++ % 4];
        seen = Seen{type, type->tp_version_tag, raw, 0};
        return &seen;
    }

    // Index -1: a type checked that keeps no such index.
    using Inline = TypeIndexes<2>::Seen;
    const Inline* find_inline(PyTypeObject* type) const { return inline_.find(type); }
    // After a full lookup of `key` on a record whose values were inline gave `value`: keeps where
    // such records hold the name, once the value read there is seen to be that same object.
    void learn_inline(Handle record, PyObject* key, Handle value) {
        PyTypeObject* type = Py_TYPE(record.ptr());
        if (!type->tp_version_tag || find_inline(type) || !layout_known() ||
            !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || !layout_verified())
            return;
        PyObject* const* values = inline_values(record.ptr());
        if (!values) return;
        Py_ssize_t index = reads_own_dict(type, key) ? shared_key_index(type, key) : -1;
        if (index >= 0 && values[index] != value.ptr()) index = -1;
        inline_.keep(type, index);
    }

private:
    Seen seen_[4] = {};
    unsigned next_ = 0;
    TypeIndexes<2> inline_;
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

// The value under `key` read in place, when the record's type was seen to keep it there: at the
// name's index of inline values, or at its entry of the record's own dict. Null otherwise. Nothing
// here runs Python code, so the borrowed value stays alive until the caller owns it.
inline PyObject* field_in_place(PyObject* record, PyObject* key, OwnDictTypes& types) {
    PyTypeObject* type = Py_TYPE(record);
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return nullptr;
    PyObject* word = reinterpret_cast<PyObject**>(record)[-3];
    if (reinterpret_cast<uintptr_t>(word) & 1) {
        const OwnDictTypes::Inline* seen = types.find_inline(type);
        return seen && seen->index >= 0 ? inline_values(record)[seen->index] : nullptr;
    }
    OwnDictTypes::Seen* seen = types.find(type);
    return seen && seen->raw && word && PyDict_CheckExact(word) ? entry_value(word, seen->hint, key) : nullptr;
}

// The rest of own_field: a record not read in place yet.
__attribute__((noinline)) inline Obj own_field_checked(Handle record, PyObject* key, OwnDictTypes& types) {
    PyTypeObject* type = Py_TYPE(record.ptr());
    // Values still inline: asking for a dict would make one, and the interpreter's own fast
    // attribute reads and method calls on that instance would stop applying. The full lookup reads
    // them as they are (and field<> learns the name's index from it).
    if (unmade_managed_dict(type, record.ptr())) return {};
    OwnDictTypes::Seen* seen = types.find(type);
    Obj dict = seen && seen->raw ? managed_dict(record.ptr()) : Obj();
    if (!dict.valid()) {
        if (!seen && !reads_own_dict(type, key)) return {};
        dict = Obj::steal(PyObject_GenericGetDict(record.ptr(), nullptr));  // as vars(record) gives it
        if (!seen && !(seen = types.check(type, key, record, dict))) return {};
    }
    if (!PyDict_CheckExact(dict.ptr())) return {};
    return Obj(Handle(dict_entry(dict.ptr(), key, seen->hint)));
}

// The value under `key` in the record's own __dict__ (or inline values) when that is where the
// lookup finds it; empty otherwise.
inline Obj own_field(Handle record, PyObject* key, OwnDictTypes& types) {
    if (PyObject* value = field_in_place(record.ptr(), key, types)) [[likely]]
        return Obj(Handle(value));
    return own_field_checked(record, key, types);
}

// The full read of record.<text> (`key` is its interned name) when no in-place read applies;
// `or_null`: empty instead of an AttributeError. Out of line, so that a field read stays small.
__attribute__((noinline)) inline Obj field_lookup(Handle record, PyObject* key, const char* text, OwnDictTypes& types,
                                                  bool or_null, Where where) {
    if (Obj value = own_field_checked(record, key, types); value.valid()) return value;
    Obj value = or_null ? record.attr_or_null(text, where) : record.attr(Handle(key), where);
    if (value.valid()) types.learn_inline(record, key, value);
    return value;
}

// record.<name>
template <FieldName name>
[[gnu::always_inline]] inline Obj field(Handle record, Where where = Where::current()) {
    static PyObject* const key = kv::name(name.text);
    static OwnDictTypes types;
    if (PyObject* value = field_in_place(record.ptr(), key, types)) [[likely]]
        return Obj(Handle(value));
    return field_lookup(record, key, name.text, types, false, where);
}

// getattr(record, name, <nothing>): empty when the record has no such attribute.
template <FieldName name>
[[gnu::always_inline]] inline Obj field_or_null(Handle record, Where where = Where::current()) {
    static PyObject* const key = kv::name(name.text);
    static OwnDictTypes types;
    if (PyObject* value = field_in_place(record.ptr(), key, types)) [[likely]]
        return Obj(Handle(value));
    return field_lookup(record, key, name.text, types, true, where);
}

// for item in iterable: visit(item) for each item the iterable's iterator gives, each held while
// visit runs. A list's own iterator (what iter() of a list gives) is stepped in place.
template <typename Visit>
void for_each_of(Handle iterable, Visit visit, Where where = Where::current()) {
    Obj iterator = Obj::steal(PyObject_GetIter(iterable.ptr()), where);
    if (Py_IS_TYPE(iterator.ptr(), &PyListIter_Type) && layout_verified_state == 1) {
        while (PyObject* next = list_iterator_step(iterator.ptr())) {
            Obj item = Obj::steal(next);
            visit(Handle(item));
        }
        return;
    }
    for (const Obj& item : Range(std::move(iterator), where)) visit(Handle(item));
}

// --- module namespaces ----------------------------------------------------------------------------

// The running module's namespace, and the full reads behind global<>() and module_attr<>(): each
// keeps where it found the name (its entry in the namespace) for the next read.
extern PyObject* g_namespace;
Obj global_at(PyObject* key, Py_ssize_t& hint, Where where);
Obj module_attr_at(Handle module, PyObject* key, Py_ssize_t& hint, Where where);

// A module-level name, looked up when the body runs as the interpreter does (the module's namespace,
// then the builtins), read first at the namespace entry where it was last found, as the
// interpreter's own specialised global reads do.
template <FieldName global_name>
[[gnu::always_inline]] inline Obj global(Where where = Where::current()) {
    static PyObject* const key = kv::name(global_name.text);
    static Py_ssize_t hint = 0;
    if (layout_verified_state == 1) [[likely]] {
        if (PyObject* value = entry_value(g_namespace, hint, key)) [[likely]]
            return Obj(Handle(value));
    }
    return global_at(key, hint, where);
}

// module.<name> for a plain module (its attributes are its namespace's items, unless the module
// type itself defines the name), read at the namespace entry where it was last found; a missing
// name (a module __getattr__ may answer it) and anything else take the full read.
template <FieldName attr_name>
[[gnu::always_inline]] inline Obj module_attr(Handle module, Where where = Where::current()) {
    static PyObject* const key = kv::name(attr_name.text);
    static const bool on_type = _PyType_Lookup(&PyModule_Type, key) != nullptr;
    static Py_ssize_t hint = 0;
    if (Py_IS_TYPE(module.ptr(), &PyModule_Type) && !on_type && layout_verified_state == 1) [[likely]] {
        if (PyObject* value = entry_value(PyModule_GetDict(module.ptr()), hint, key)) [[likely]]
            return Obj(Handle(value));
        return module_attr_at(module, key, hint, where);
    }
    return module.attr(Handle(key), where);
}

// --- stores -------------------------------------------------------------------------------------

// The types whose instances were seen to store one name among their inline values through object's
// own attribute store: no __setattr__ of their own and nothing under the name in the class's lookup
// (a descriptor there would take the store), each with its attribute-cache tag and the name's index
// in its instances' values. Any change to such a type or its bases (a __setattr__ or a class
// attribute of that name among them) gives it a new tag, which sends the store back to the check;
// the interpreter's own specialised stores rely on the same.
class InlineStores {
public:
    using Seen = TypeIndexes<2>::Seen;
    const Seen* find(PyTypeObject* type) const { return seen_.find(type); }
    // After the full store of `value` under `key`: keeps where the record's type stores the name,
    // once the value is seen at that index of the record's inline values.
    void learn(Handle record, PyObject* key, Handle value) {
        PyTypeObject* type = Py_TYPE(record.ptr());
        if (type->tp_setattro != PyObject_GenericSetAttr || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) ||
            !layout_known() || !layout_verified() || _PyType_Lookup(type, key) || !type->tp_version_tag || find(type))
            return;
        PyObject* const* values = inline_values(record.ptr());
        Py_ssize_t index = values ? shared_key_index(type, key) : -1;
        if (index < 0 || values[index] != value.ptr()) return;
        seen_.keep(type, index);
    }

private:
    TypeIndexes<2> seen_;
};

// The full store of record.<key> = value, learning where the record's type keeps the name.
__attribute__((noinline)) inline void store_field(Handle record, PyObject* key, Handle value, InlineStores& stores,
                                                  Where where) {
    Pin pin(record.ptr(), value.ptr());
    check(PyObject_SetAttr(record.ptr(), key, value.ptr()), where);
    stores.learn(record, key, value);
}

// record.<name> = value: written at once into the record's inline values where its type was seen
// to keep the name there (as the interpreter's own specialised store does), else the full store.
template <FieldName name>
[[gnu::always_inline]] inline void set_field(Handle record, Handle value, Where where = Where::current()) {
    static PyObject* const key = kv::name(name.text);
    static InlineStores stores;
    if (const InlineStores::Seen* seen = stores.find(Py_TYPE(record.ptr()))) {
        if (PyObject** values = inline_slots(record.ptr())) [[likely]] {
            store_inline(values, seen->index, value.ptr());
            return;
        }
    }
    store_field(record, key, value, stores, where);
}

// dict[key] = value for an exact dict of text keys and an exact text key, inserted at once: the
// lookup compares texts only and runs no Python code (the release of a value it replaces comes
// last, after which neither is touched). Anything else through the full store, everything held.
[[gnu::always_inline]] inline void dict_set(Handle dict, Handle key, Handle value, Where where = Where::current()) {
    if (PyDict_CheckExact(dict.ptr()) && PyUnicode_CheckExact(key.ptr()) && layout_verified_state == 1 &&
        text_keys_only(dict.ptr())) [[likely]] {
        check(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()), where);
        return;
    }
    dict.set_item(key, value, where);
}

// text.<method>(args...): for an exact str, str's own method called at once (str's methods cannot
// be replaced, and with text arguments none runs Python code); anything else calls its own method.
template <FieldName method>
Obj text_call(Handle text, Pos args = {}, Where where = Where::current()) {
    constexpr size_t most = 4;
    if (!PyUnicode_CheckExact(text.ptr()) || args.size() >= most) [[unlikely]]
        return text.call_method(method.text, args, {}, where);
    static PyObject* const descriptor =
        Obj::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), method.text), where).release();
    PyObject* stack[most] = {text.ptr()};
    size_t n = 1;
    for (const Arg& a : args) stack[n++] = a.o.ptr();
    // str's C function itself, for the usual calling conventions with the right argument count (the
    // descriptor would check the receiver's type, which is str here, and count the recursion level
    // of a call that does not recurse); anything else through the descriptor.
    static const int convention = Py_IS_TYPE(descriptor, &PyMethodDescr_Type)
                                      ? reinterpret_cast<PyMethodDescrObject*>(descriptor)->d_method->ml_flags
                                      : -1;
    static const PyCFunction function =
        convention != -1 ? reinterpret_cast<PyMethodDescrObject*>(descriptor)->d_method->ml_meth : nullptr;
    if (!function) [[unlikely]]
        return Obj::steal(PyObject_Vectorcall(descriptor, stack, n, nullptr), where);
    if (convention == METH_NOARGS && n == 1) return Obj::steal(function(text.ptr(), nullptr), where);
    if (convention == METH_O && n == 2) return Obj::steal(function(text.ptr(), stack[1]), where);
    if (convention == METH_FASTCALL) {
        auto fast = reinterpret_cast<_PyCFunctionFast>(reinterpret_cast<void (*)()>(function));
        return Obj::steal(fast(text.ptr(), stack + 1, static_cast<Py_ssize_t>(n - 1)), where);
    }
    return Obj::steal(PyObject_Vectorcall(descriptor, stack, n, nullptr), where);
}

// cls.<name> for a class whose metaclass is type itself, when type defines nothing of that name:
// the class's own lookup through its bases (answered from the runtime's attribute cache), as
// type's attribute read makes it. A value that is a descriptor, a missing name or another
// metaclass takes the full read.
template <FieldName name>
[[gnu::always_inline]] inline Obj class_attr(Handle cls, Where where = Where::current()) {
    static PyObject* const key = kv::name(name.text);
    static const bool on_type = _PyType_Lookup(&PyType_Type, key) != nullptr;
    if (Py_IS_TYPE(cls.ptr(), &PyType_Type) && !on_type) [[likely]] {
        PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), key);
        if (found && !Py_TYPE(found)->tp_descr_get) return Obj(Handle(found));
    }
    return cls.attr(Handle(key), where);
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
