// The object vocabulary: every call checks its result and throws PyError on failure.
#include "frame.hpp"
#include "internal.hpp"

#include <cstdarg>
#include <exception>
#include <memory>
#include <unordered_map>

namespace kv {

void fail(Where where) { throw PyError{static_cast<int>(where.line())}; }

int raised_line = 0;

Obj raised(PyObject* type, Handle value, Where where) {
    PyErr_SetObject(type, value.ptr());
    raised_line = static_cast<int>(where.line());
    return Obj();
}

void raise(PyObject* type, const char* message, Where where) {
    PyErr_SetString(type, message);
    fail(where);
}

void raise_format(int line, PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw PyError{line};
}

void LiteralTable::insert(const char* key, PyObject* value) {
    if (2 * (used_ + 1) > slots_.size()) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
        used_ = 0;
        for (const Slot& slot : old)
            if (slot.key) insert(slot.key, slot.value);
    }
    size_t i = slot_of(key);
    while (slots_[i].key) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = Slot{key, value};
    ++used_;
}

PyObject* name(const char* literal) {
    static LiteralTable table;
    if (PyObject* found = table.find(literal)) [[likely]]
        return found;
    PyObject* interned = PyUnicode_InternFromString(literal);
    if (!interned) fail();
    table.insert(literal, interned);
    return interned;
}

Arg::Arg(const char* text) : o(Obj::steal(PyUnicode_FromString(text))) {}
Arg::Arg(std::string_view text) : o(str(text)) {}
Arg::Arg(long value) : o(integer(value)) {}

// --- attributes and calls ---------------------------------------------------------------------

Obj Handle::attr(const char* attr_name, Where where) const {
    return Obj::steal(PyObject_GetAttr(p_, name(attr_name)), where);
}

Obj Handle::attr(Handle attr_name, Where where) const {
    return Obj::steal(PyObject_GetAttr(p_, attr_name.ptr()), where);
}

Obj Handle::attr_or_null(const char* attr_name, Where where) const {
    PyObject* result = PyObject_GetAttr(p_, name(attr_name));
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail(where);
        PyErr_Clear();
    }
    return Obj::steal_or_null(result);
}

bool Handle::has_attr(const char* attr_name, Where where) const { return attr_or_null(attr_name, where).valid(); }

void Handle::set_attr(const char* attr_name, Handle value, Where where) const {
    if (PyObject_SetAttr(p_, name(attr_name), value.ptr()) < 0) fail(where);
}

namespace {

// Lays out positional and keyword arguments for a vectorcall; slot 0 is free for a receiver. Short
// calls (the usual case) use a buffer on the stack.
struct VectorArgs {
    static constexpr size_t inline_slots = 8;
    PyObject* small[inline_slots];
    std::unique_ptr<PyObject*[]> large;
    PyObject** slots;
    Obj kwnames;
    size_t npos;

    VectorArgs(PyObject* receiver, Pos args, Kws kws, Where where) : npos(args.size() + 1) {
        size_t total = 1 + args.size() + kws.size();
        slots = small;
        if (total > inline_slots) {
            large.reset(new PyObject*[total]);
            slots = large.get();
        }
        size_t at = 0;
        slots[at++] = receiver;
        for (const Arg& a : args) slots[at++] = a.o.ptr();
        if (kws.size()) {
            kwnames = Obj::steal(PyTuple_New(static_cast<Py_ssize_t>(kws.size())), where);
            Py_ssize_t i = 0;
            for (const KwArg& k : kws) {
                PyObject* key = name(k.key);
                Py_INCREF(key);
                PyTuple_SET_ITEM(kwnames.ptr(), i++, key);
                slots[at++] = k.value.o.ptr();
            }
        }
    }
};

}  // namespace

Obj Handle::call(Pos args, Kws kws, Where where) const {
    VectorArgs v(nullptr, args, kws, where);
    return Obj::steal(PyObject_Vectorcall(p_, v.slots + 1, (v.npos - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          v.kwnames.ptr()),
                      where);
}

Keywords::Keywords(std::initializer_list<const char*> keys) : size_(keys.size()) {
    Obj tuple = Obj::steal(PyTuple_New(static_cast<Py_ssize_t>(keys.size())));
    Py_ssize_t i = 0;
    for (const char* key : keys) PyTuple_SET_ITEM(tuple.ptr(), i++, Obj(Handle(name(key))).release());
    names_ = tuple.release();
}

Obj Handle::call(Pos args, const Keywords& keys, Pos values, Where where) const {
    if (values.size() != keys.size()) raise(PyExc_SystemError, "keyword call: one value per name", where);
    PyObject* stack[16];
    std::vector<PyObject*> heap;
    size_t n = 1 + args.size() + values.size();
    PyObject** slots = stack;
    if (n > 16) {
        heap.resize(n);
        slots = heap.data();
    }
    size_t i = 1;
    for (const Arg& a : args) slots[i++] = a.o.ptr();
    for (const Arg& v : values) slots[i++] = v.o.ptr();
    return Obj::steal(PyObject_Vectorcall(p_, slots + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, keys.names()),
                      where);
}

Obj Handle::call_method(const char* method, Pos args, Kws kws, Where where) const {
    VectorArgs v(p_, args, kws, where);
    return Obj::steal(PyObject_VectorcallMethod(name(method), v.slots, v.npos, v.kwnames.ptr()), where);
}

// --- items -------------------------------------------------------------------------------------

Obj Handle::item(Handle key, Where where) const { return Obj::steal(PyObject_GetItem(p_, key.ptr()), where); }

void Handle::set_item(Handle key, Handle value, Where where) const {
    if (PyObject_SetItem(p_, key.ptr(), value.ptr()) < 0) fail(where);
}

void Handle::append(Handle value, Where where) const {
    int rc = PyList_CheckExact(p_) ? PyList_Append(p_, value.ptr())
                                   : (Obj::steal(PyObject_CallMethodOneArg(p_, name("append"), value.ptr()), where), 0);
    if (rc < 0) fail(where);
}

// --- tests ---------------------------------------------------------------------------------------

bool Handle::truthy(Where where) const {
    int rc = PyObject_IsTrue(p_);
    if (rc < 0) fail(where);
    return rc;
}

bool Handle::eq(Handle other, Where where) const {
    int rc = PyObject_RichCompareBool(p_, other.p_, Py_EQ);
    if (rc < 0) fail(where);
    return rc;
}

bool Handle::ne(Handle other, Where where) const {
    Obj result = Obj::steal(PyObject_RichCompare(p_, other.p_, Py_NE), where);
    return result.truthy(where);
}

bool Handle::contains(Handle value, Where where) const {
    int rc = PySequence_Contains(p_, value.p_);
    if (rc < 0) fail(where);
    return rc;
}

bool Handle::isinstance(Handle type, Where where) const {
    int rc = PyObject_IsInstance(p_, type.p_);
    if (rc < 0) fail(where);
    return rc;
}

// --- texts and sizes ---------------------------------------------------------------------------

Py_ssize_t Handle::len(Where where) const {
    Py_ssize_t n = PyObject_Length(p_);
    if (n < 0) fail(where);
    return n;
}

Obj Handle::str(Where where) const { return Obj::steal(PyObject_Str(p_), where); }
Obj Handle::repr(Where where) const { return Obj::steal(PyObject_Repr(p_), where); }

Obj Handle::format(Where where) const {
    if (PyUnicode_CheckExact(p_)) return Obj(*this);
    return Obj::steal(PyObject_Format(p_, nullptr), where);
}

Obj Handle::type() const { return Obj(Handle(reinterpret_cast<PyObject*>(Py_TYPE(p_)))); }

std::string_view Handle::text(Where where) const {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(p_, &size);
    if (!data) fail(where);
    return {data, static_cast<size_t>(size)};
}

// --- iteration ---------------------------------------------------------------------------------

Range Handle::iter(Where where) const { return Range(Obj::steal(PyObject_GetIter(p_), where), where); }

void Range::Cursor::advance() {
    current_ = Obj::steal_or_null(PyIter_Next(r_->it_.ptr()));
    if (!current_.valid() && PyErr_Occurred()) fail(r_->where_);
}

// --- constructors ------------------------------------------------------------------------------

Obj str(std::string_view text, Where where) {
    return Obj::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())), where);
}

Obj integer(long value, Where where) { return Obj::steal(PyLong_FromLong(value), where); }

Obj boolean(bool value) { return Obj(Handle(value ? Py_True : Py_False)); }

Obj new_list(Pos items, Where where) {
    Obj list = Obj::steal(PyList_New(static_cast<Py_ssize_t>(items.size())), where);
    Py_ssize_t i = 0;
    for (const Arg& a : items) PyList_SET_ITEM(list.ptr(), i++, Obj(a.o).release());
    return list;
}

Obj new_tuple(Pos items, Where where) {
    Obj tuple = Obj::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())), where);
    Py_ssize_t i = 0;
    for (const Arg& a : items) PyTuple_SET_ITEM(tuple.ptr(), i++, Obj(a.o).release());
    return tuple;
}

Obj new_dict(Where where) { return Obj::steal(PyDict_New(), where); }
Obj new_set(Where where) { return Obj::steal(PySet_New(nullptr), where); }

Obj import_module(const char* dotted, Where where) { return Obj::steal(PyImport_ImportModule(dotted), where); }

// --- unpacking ---------------------------------------------------------------------------------

void unpack_into(Handle iterable, Obj* out, size_t n, Where where) {
    Py_ssize_t expected = static_cast<Py_ssize_t>(n);
    PyObject* p = iterable.ptr();
    if (PyTuple_CheckExact(p) || PyList_CheckExact(p)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(p);
        if (size == expected) {
            for (Py_ssize_t i = 0; i < expected; ++i) out[i] = Obj(Handle(PySequence_Fast_GET_ITEM(p, i)));
            return;
        }
        if (size > expected)
            raise_format(static_cast<int>(where.line()), PyExc_ValueError, "too many values to unpack (expected %zd)",
                         expected);
        raise_format(static_cast<int>(where.line()), PyExc_ValueError, "need more than %zd value%.1s to unpack", size,
                     size == 1 ? "" : "s");
    }
    Obj iterator = Obj::steal_or_null(PyObject_GetIter(p));
    if (!iterator.valid()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(p)->tp_iter && !PySequence_Check(p))
            raise_format(static_cast<int>(where.line()), PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(p)->tp_name);
        fail(where);
    }
    for (Py_ssize_t i = 0; i < expected; ++i) {
        out[i] = Obj::steal_or_null(PyIter_Next(iterator.ptr()));
        if (out[i].valid()) continue;
        if (PyErr_Occurred()) fail(where);
        raise_format(static_cast<int>(where.line()), PyExc_ValueError, "need more than %zd value%.1s to unpack", i,
                     i == 1 ? "" : "s");
    }
    Obj extra = Obj::steal_or_null(PyIter_Next(iterator.ptr()));
    if (extra.valid())
        raise_format(static_cast<int>(where.line()), PyExc_ValueError, "too many values to unpack (expected %zd)",
                     expected);
    if (PyErr_Occurred()) fail(where);
}

// --- errors ------------------------------------------------------------------------------------

bool error_matches(PyObject* type) { return PyErr_ExceptionMatches(type); }

Obj fetch_error() { return Obj::steal_or_null(PyErr_GetRaisedException()); }

void raise_object(Handle exception, Where where) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    fail(where);
}

void raise_from(Handle exception, Handle cause, Where where) {
    PyException_SetCause(exception.ptr(), Obj(cause).release());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    // Raised in the handler of `cause`: that is the context, whatever a Python caller is handling
    // (setting it after raising keeps the host's implicit chaining from replacing it).
    PyException_SetContext(exception.ptr(), Obj(cause).release());
    fail(where);
}

namespace {

Obj expect_exact(Obj value, PyTypeObject* type, const char* shown, Where where) {
    if (value.is_none() || Py_IS_TYPE(value.ptr(), type)) return value;
    raise_format(static_cast<int>(where.line()), PyExc_TypeError, "Expected %s, got %.200s", shown,
                 value.type_name());
}

}  // namespace

Obj expect_str(Obj value, Where where) { return expect_exact(std::move(value), &PyUnicode_Type, "unicode", where); }
Obj expect_list(Obj value, Where where) { return expect_exact(std::move(value), &PyList_Type, "list", where); }
Obj expect_dict(Obj value, Where where) { return expect_exact(std::move(value), &PyDict_Type, "dict", where); }

// --- with blocks -------------------------------------------------------------------------------

namespace {

// A special method as the interpreter finds it: on the type, bound to the instance.
Obj lookup_special(Handle instance, const char* method, Where where) {
    PyObject* found = _PyType_Lookup(Py_TYPE(instance.ptr()), name(method));
    if (!found) return Obj();
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return Obj(Handle(found));
    return Obj::steal(get(found, instance.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr()))), where);
}

}  // namespace

With::With(Handle manager, Where where) : uncaught_(std::uncaught_exceptions()) {
    Obj enter = lookup_special(manager, "__enter__", where);
    Obj exit_method = enter.valid() ? lookup_special(manager, "__exit__", where) : Obj();
    if (!exit_method.valid()) {
        raise_format(static_cast<int>(where.line()), PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol%s", manager.type_name(),
                     enter.valid() ? " (missed __exit__ method)" : "");
    }
    value_ = Obj::steal(PyObject_CallNoArgs(enter.ptr()), where);
    exit_ = std::move(exit_method);
}

void With::exit(Where where) {
    if (!exit_.valid()) return;
    Obj method = std::move(exit_);
    Obj::steal(PyObject_CallFunctionObjArgs(method.ptr(), Py_None, Py_None, Py_None, nullptr), where);
}

With::~With() {
    if (!exit_.valid()) return;
    Obj method = std::move(exit_);
    PyObject* pending = PyErr_GetRaisedException();
    if (pending && std::uncaught_exceptions() > uncaught_) {
        // Leaving through the set exception: __exit__ sees it; an error of its own replaces it.
        PyObject* tb = PyException_GetTraceback(pending);
        PyObject* done = PyObject_CallFunctionObjArgs(method.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(pending)),
                                                      pending, tb ? tb : Py_None, nullptr);
        Py_XDECREF(tb);
        if (done) {
            Py_DECREF(done);
            PyErr_SetRaisedException(pending);
        } else {
            PyObject* raised = PyErr_GetRaisedException();
            PyException_SetContext(raised, pending);
            PyErr_SetRaisedException(raised);
        }
        return;
    }
    PyObject* done = PyObject_CallFunctionObjArgs(method.ptr(), Py_None, Py_None, Py_None, nullptr);
    if (done) {
        Py_DECREF(done);
    } else {
        PyErr_WriteUnraisable(method.ptr());
    }
    PyErr_SetRaisedException(pending);
}

RecursionGuard::RecursionGuard(const char* what, Where where) {
    if (Py_EnterRecursiveCall(what)) fail(where);
}

}  // namespace kv
