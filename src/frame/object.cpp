// The object vocabulary: every call checks its result and throws PyError on failure.
#include "frame.hpp"
#include "internal.hpp"
#include "records.hpp"

#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <exception>
#include <memory>
#include <unordered_map>

namespace kv {

void fail(Where where) { throw PyError{static_cast<int>(where.line())}; }

void broken_invariant(const char* condition, const char* file, int line) noexcept {
    std::fprintf(stderr, "%s:%d: frame invariant broken: %s\n", file, line, condition);
    Py_FatalError("frame invariant broken");
}

namespace {

// The exception the last raised(...) on this thread set, with its line: the line belongs to that
// exception object only, so no other failure's traceback can show it.
struct RaisedRecord {
    PyObject* exception = nullptr;  // compared by identity only, never dereferenced
    int line = 0;
};
__attribute__((tls_model("initial-exec"))) constinit thread_local RaisedRecord last_raised;

PyObject* current_exception() { return PyThreadState_Get()->current_exception; }

}  // namespace

Obj raised(PyObject* type, Handle value, Where where) {
    PyErr_SetObject(type, value.ptr());
    last_raised = {current_exception(), static_cast<int>(where.line())};
    return Obj();
}

int take_raised_line(int fallback) noexcept {
    PyObject* exception = current_exception();
    RaisedRecord record = last_raised;
    last_raised = {};
    // Not yet passed through any traceback entry: still the exception raised(...) set.
    if (exception && exception == record.exception && !reinterpret_cast<PyBaseExceptionObject*>(exception)->traceback)
        return record.line;
    return fallback;
}

void raise(PyObject* type, const char* message, Where where) {
    PyErr_SetString(type, message);
    fail(where);
}

void raise(PyObject* type, const Obj& message, Where where) {
    PyErr_SetObject(type, message.ptr());
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

constinit NameSlot g_name_slots[1u << name_slot_bits] = {};

PyObject* name_of(const char* literal) {
    static LiteralTable table;
    PyObject* found = table.find(literal);
    if (!found) {
        found = PyUnicode_InternFromString(literal);
        if (!found) fail();
        table.insert(literal, found);
    }
    auto bits = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(literal));
    g_name_slots[(bits * 0x9E3779B97F4A7C15ull) >> (64 - name_slot_bits)] = NameSlot{literal, found};
    return found;
}

Arg::Arg(const char* text) : o(Obj::steal(PyUnicode_FromString(text))) {}
Arg::Arg(std::string_view text) : o(str(text)) {}
Arg::Arg(long value) : o(integer(value)) {}

// --- attributes and calls ---------------------------------------------------------------------

Obj Handle::attr(const char* attr_name, Where where) const {
    Pin pin(p_);
    return Obj::steal(PyObject_GetAttr(p_, name(attr_name)), where);
}

Obj Handle::attr(Handle attr_name, Where where) const {
    Pin pin(p_, attr_name.ptr());
    return Obj::steal(PyObject_GetAttr(p_, attr_name.ptr()), where);
}

Obj Handle::attr_or_null(const char* attr_name, Where where) const {
    Pin pin(p_);
    PyObject* result = PyObject_GetAttr(p_, name(attr_name));
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail(where);
        PyErr_Clear();
    }
    return Obj::steal_or_null(result);
}

bool Handle::has_attr(const char* attr_name, Where where) const { return attr_or_null(attr_name, where).valid(); }

void Handle::set_attr(const char* attr_name, Handle value, Where where) const {
    Pin pin(p_, value.ptr());
    check(PyObject_SetAttr(p_, name(attr_name), value.ptr()), where);
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
    Pin pin(p_);  // the arguments are owned by their Arg
    VectorArgs v(nullptr, args, kws, where);
    return Obj::steal(PyObject_Vectorcall(p_, v.slots + 1, (v.npos - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          v.kwnames.ptr()),
                      where);
}

PyObject* Keywords::names(Where where) const {
    if (names_) [[likely]]
        return names_;
    Obj tuple = Obj::steal(PyTuple_New(static_cast<Py_ssize_t>(size_)), where);
    for (size_t i = 0; i < size_; ++i)
        PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), Obj(Handle(name(keys_[i]))).release());
    if (!names_) names_ = tuple.release();  // made once; a racing first call keeps the first tuple
    return names_;
}

PyObject* Keywords::name_at(size_t i) const { return name(keys_[i]); }

Obj Handle::call(Pos args, const Keywords& keys, Pos values, Where where) const {
    if (values.size() != keys.size()) raise(PyExc_SystemError, "keyword call: one value per name", where);
    Pin pin(p_);
    PyObject* stack[16];
    std::vector<PyObject*> heap;
    size_t n = 1 + args.size() + values.size();
    PyObject** slots = stack;
    if (n > 16) {
        heap.resize(n);
        slots = heap.data();
    }
    slots[0] = nullptr;  // the callee may borrow this slot for a receiver
    size_t i = 1;
    for (const Arg& a : args) slots[i++] = a.o.ptr();
    bool all_given = true;
    for (const Arg& v : values) {
        all_given = all_given && v.o.valid();
        slots[i++] = v.o.ptr();
    }
    if (all_given) [[likely]]
        return Obj::steal(
            PyObject_Vectorcall(p_, slots + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, keys.names(where)), where);
    // Some keywords left out at run time: the names of the given ones only.
    Py_ssize_t given = 0;
    for (const Arg& v : values) given += v.o.valid();
    Obj names = Obj::steal(PyTuple_New(given), where);
    size_t kept = 1 + args.size(), k = 0;
    Py_ssize_t j = 0;
    for (const Arg& v : values) {
        if (v.o.valid()) {
            PyTuple_SET_ITEM(names.ptr(), j++, Obj(Handle(keys.name_at(k))).release());
            slots[kept++] = v.o.ptr();
        }
        ++k;
    }
    return Obj::steal(PyObject_Vectorcall(p_, slots + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()),
                      where);
}

Obj Handle::call_method(const char* method, Pos args, Kws kws, Where where) const {
    Pin pin(p_);
    VectorArgs v(p_, args, kws, where);
    return Obj::steal(PyObject_VectorcallMethod(name(method), v.slots, v.npos, v.kwnames.ptr()), where);
}

// --- items -------------------------------------------------------------------------------------

Obj Handle::item(Handle key, Where where) const {
    Pin pin(p_, key.ptr());
    return Obj::steal(PyObject_GetItem(p_, key.ptr()), where);
}

// An exact dict of exact-text keys, given an exact text: the lookup compares texts only, so no
// Python code runs while the dict and key are used, and neither needs holding. (A store releases
// the value it replaces last, after which it touches neither.)
static inline bool text_lookup(PyObject* dict, PyObject* key) {
    return PyDict_CheckExact(dict) && PyUnicode_CheckExact(key) && layout_verified_state == 1 && text_keys_only(dict);
}

Obj Handle::get(Handle key, Where where) const {
    if (!PyDict_CheckExact(p_)) return call_method("get", {key, Handle(Py_None)}, {}, where);
    if (text_lookup(p_, key.ptr())) {
        PyObject* found = PyDict_GetItemWithError(p_, key.ptr());
        if (!found && PyErr_Occurred()) fail(where);
        return Obj(Handle(found ? found : Py_None));
    }
    Pin pin(p_, key.ptr());  // the key's __eq__ may run
    PyObject* found = PyDict_GetItemWithError(p_, key.ptr());  // owned at once, before anything runs
    if (!found && PyErr_Occurred()) fail(where);
    return Obj(Handle(found ? found : Py_None));
}

void Handle::set_item(Handle key, Handle value, Where where) const {
    if (text_lookup(p_, key.ptr())) {
        check(PyDict_SetItem(p_, key.ptr(), value.ptr()), where);
        return;
    }
    Pin pin(p_, key.ptr(), value.ptr());
    check(PyDict_CheckExact(p_) ? PyDict_SetItem(p_, key.ptr(), value.ptr()) : PyObject_SetItem(p_, key.ptr(), value.ptr()),
          where);
}

void Handle::append(Handle value, Where where) const {
    Pin pin(p_, value.ptr());
    int rc = PyList_CheckExact(p_) ? PyList_Append(p_, value.ptr())
                                   : (Obj::steal(PyObject_CallMethodOneArg(p_, name("append"), value.ptr()), where), 0);
    check(rc, where);
}

// --- tests ---------------------------------------------------------------------------------------

bool Handle::truth_of(Where where) const {
    Pin pin(p_);
    int rc = PyObject_IsTrue(p_);
    check(rc, where);
    return rc;
}

bool Handle::eq(Handle other, Where where) const {
    Pin pin(p_, other.p_);
    int rc = PyObject_RichCompareBool(p_, other.p_, Py_EQ);
    check(rc, where);
    return rc;
}

bool Handle::equal_to(Handle other, Where where) const {
    Pin pin(p_, other.p_);
    Obj result = Obj::steal(PyObject_RichCompare(p_, other.p_, Py_EQ), where);
    return result.truthy(where);
}

bool Handle::ne(Handle other, Where where) const {
    Pin pin(p_, other.p_);
    Obj result = Obj::steal(PyObject_RichCompare(p_, other.p_, Py_NE), where);
    return result.truthy(where);
}

namespace {

bool compare(PyObject* a, PyObject* b, int op, Where where) {
    Pin pin(a, b);
    int rc = PyObject_RichCompareBool(a, b, op);
    check(rc, where);
    return rc;
}

}  // namespace

bool Handle::lt(Handle other, Where where) const { return compare(p_, other.p_, Py_LT, where); }
bool Handle::le(Handle other, Where where) const { return compare(p_, other.p_, Py_LE, where); }
bool Handle::gt(Handle other, Where where) const { return compare(p_, other.p_, Py_GT, where); }
bool Handle::ge(Handle other, Where where) const { return compare(p_, other.p_, Py_GE, where); }

void Handle::add(Handle value, Where where) const {
    Pin pin(p_, value.p_);
    if (PySet_CheckExact(p_)) {
        check(PySet_Add(p_, value.p_), where);
        return;
    }
    Obj::steal(PyObject_CallMethodOneArg(p_, name("add"), value.p_), where);
}

Obj format_text(const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyObject* text = PyUnicode_FromFormatV(format, va);
    va_end(va);
    return Obj::steal(text);
}

bool Handle::contains(Handle value, Where where) const {
    Pin pin(p_, value.p_);
    int rc = PySequence_Contains(p_, value.p_);
    check(rc, where);
    return rc;
}

bool Handle::isinstance(Handle type, Where where) const {
    Pin pin(p_, type.p_);
    int rc = PyObject_IsInstance(p_, type.p_);
    check(rc, where);
    return rc;
}

// --- texts and sizes ---------------------------------------------------------------------------

Py_ssize_t Handle::len(Where where) const {
    Pin pin(p_);
    Py_ssize_t n = PyObject_Length(p_);
    if (n < 0) fail(where);
    return n;
}

Obj Handle::str(Where where) const {
    Pin pin(p_);
    return Obj::steal(PyObject_Str(p_), where);
}
Obj Handle::repr(Where where) const {
    Pin pin(p_);
    return Obj::steal(PyObject_Repr(p_), where);
}

Obj Handle::format(Where where) const {
    if (PyUnicode_CheckExact(p_)) return Obj(*this);
    Pin pin(p_);
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

void Range::finish() {
    // No next item: the end, told apart here from a failure (StopIteration is the end too).
    current_.reset();
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) fail(where_);
        PyErr_Clear();
    }
}

Obj next_item(Handle iterator, Where where) {
    PyObject* it = iterator.ptr();
    if (!PyIter_Check(it))
        raise_format(static_cast<int>(where.line()), PyExc_TypeError, "%.200s object is not an iterator",
                     Py_TYPE(it)->tp_name);
    Pin pin(it);
    PyObject* item = Py_TYPE(it)->tp_iternext(it);
    if (!item) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        fail(where);
    }
    return Obj::steal(item, where);
}

int Range::traverse(visitproc visit, void* arg) const {
    Py_VISIT(it_.ptr());
    Py_VISIT(current_.ptr());
    return 0;
}

// --- holders a generator body shows to the collector ------------------------------------------

__attribute__((tls_model("initial-exec"))) constinit thread_local Held** stepping_held = nullptr;

Held::Held() noexcept {
    Held** head = stepping_held;
    if (!head) return;
    next_ = *head;
    if (next_) next_->prev_ = &next_;
    prev_ = head;
    *head = this;
}

void Held::leave() noexcept {
    if (!prev_) return;
    KV_ASSERT(*prev_ == this && (!next_ || next_->prev_ == &next_));
    *prev_ = next_;
    if (next_) next_->prev_ = prev_;
    prev_ = nullptr;
    next_ = nullptr;
}

int Local::traverse(visitproc visit, void* arg) const {
    Py_VISIT(value_.ptr());
    return 0;
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

Obj import_name(const char* dotted, const char* attr_name, Where where) {
    Obj fromlist = new_tuple({Handle(name(attr_name))}, where);
    Obj module = builtin("__import__", where).call({str(dotted), Obj::none(), Obj::none(), fromlist, integer(0)}, {}, where);
    Obj value = module.attr_or_null(attr_name, where);
    if (!value.valid())
        raise_format(static_cast<int>(where.line()), PyExc_ImportError, "cannot import name %S", name(attr_name));
    return value;
}

// --- arithmetic --------------------------------------------------------------------------------

Obj operator/(Handle left, Handle right) { return Obj::steal(PyNumber_TrueDivide(left.ptr(), right.ptr())); }
Obj operator-(Handle left, Handle right) { return Obj::steal(PyNumber_Subtract(left.ptr(), right.ptr())); }

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

void raise_noted(const char* prefix, Handle subject, Where where) {
    Obj error = fetch_error();
    Obj owned_subject(subject);
    try {
        Obj note = str("").call_method("join", {new_tuple({str(prefix), owned_subject.format()})});
        error.call_method("add_note", {note});
    } catch (const PyError&) {
        Obj failure = fetch_error();
        PyException_SetContext(failure.ptr(), error.release());
        PyErr_SetRaisedException(failure.release());
        fail(where);
    }
    // Raised again as it is, as a bare `raise` does: raising it anew would replace its context
    // with whatever exception a Python caller is handling.
    PyErr_SetRaisedException(error.release());
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

With::With(Handle manager, Where where) {
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

int With::traverse(visitproc visit, void* arg) const {
    Py_VISIT(exit_.ptr());
    Py_VISIT(value_.ptr());
    return 0;
}

namespace {

// Calls __exit__ with the set exception, which it handles as an `except` block would: an error of
// its own is chained to it by the interpreter. Returns __exit__'s result, or empty with its error
// set; on success the given exception is taken (cleared) and returned through `given`.
Obj exit_with_error(Handle method, Obj& given) {
    given = Obj::steal_or_null(PyErr_GetRaisedException());
    Obj before = Obj::steal_or_null(PyErr_GetHandledException());
    PyErr_SetHandledException(given.ptr());
    Obj tb = Obj::steal_or_null(PyException_GetTraceback(given.ptr()));
    Obj done = Obj::steal_or_null(PyObject_CallFunctionObjArgs(
        method.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(given.ptr())), given.ptr(), tb.valid() ? tb.ptr() : Py_None,
        nullptr));
    PyErr_SetHandledException(before.ptr());
    return done;
}

}  // namespace

void With::exit(Where where) {
    if (!exit_.valid()) return;
    Obj method = std::move(exit_);
    Obj::steal(PyObject_CallFunctionObjArgs(method.ptr(), Py_None, Py_None, Py_None, nullptr), where);
}

bool With::suppressed(Where where) {
    if (!exit_.valid() || !PyErr_Occurred()) return false;
    Obj method = std::move(exit_);
    Obj given;
    Obj done = exit_with_error(method, given);
    if (!done.valid()) return false;  // __exit__'s own error is set, chained to the given one
    int suppress = PyObject_IsTrue(done.ptr());
    if (suppress < 0) fail(where);
    if (!suppress) PyErr_SetRaisedException(given.release());
    return suppress;
}

With::~With() {
    leave();
    if (!exit_.valid()) return;
    Obj method = std::move(exit_);
    if (PyErr_Occurred()) {
        // Leaving through the set exception (thrown or returned as raised(...)): __exit__ sees it.
        // An error of its own replaces it; a true result cannot resume the scope, so the
        // exception goes on (suppressed() is the way to swallow it).
        Obj given;
        Obj done = exit_with_error(method, given);
        if (done.valid()) PyErr_SetRaisedException(given.release());
        return;
    }
    if (abandoned_ || std::uncaught_exceptions() > uncaught_) {
        // The scope did not complete, yet no Python exception says why: a suspended body closed
        // by being discarded, or a C++ exception on its way to the boundary (which sets its own
        // Python exception there). __exit__ gets the failure form; whatever is left is reported.
        if (abandoned_)
            PyErr_SetNone(PyExc_GeneratorExit);
        else
            PyErr_SetString(PyExc_SystemError, "a native error left the with block");
        Obj given;
        Obj done = exit_with_error(method, given);
        if (!done.valid()) PyErr_WriteUnraisable(method.ptr());
        return;
    }
    PyObject* done = PyObject_CallFunctionObjArgs(method.ptr(), Py_None, Py_None, Py_None, nullptr);
    if (done) {
        Py_DECREF(done);
    } else {
        PyErr_WriteUnraisable(method.ptr());
    }
}

// --- native recursion ---------------------------------------------------------------------------

namespace {

// A call is refused while less than a reserve (256 KiB, or a quarter of a smaller thread stack) is
// left. An extra guard beside the interpreter's count, for threads with small stacks; a thread
// whose stack cannot be measured is bounded by the count alone.
constexpr size_t stack_reserve = 256 * 1024;

uintptr_t measure_stack_floor() {
    uintptr_t floor = 1;  // unknown: never refuse
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return floor;
    void* low = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0 && size > 0 && size < (size_t(1) << 40))
        floor = reinterpret_cast<uintptr_t>(low) + (size / 4 < stack_reserve ? size / 4 : stack_reserve);
    pthread_attr_destroy(&attr);
    return floor;
}

}  // namespace

__attribute__((tls_model("initial-exec"))) constinit thread_local uintptr_t stack_floor = UINTPTR_MAX;
__attribute__((tls_model("initial-exec"))) constinit thread_local int native_depth = 0;

namespace {

bool charge_chunk(const char* what) noexcept {
    PyThreadState* ts = _PyThreadState_UncheckedGet();
    if (ts->c_recursion_remaining <= depth_chunk) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", what);
        return false;
    }
    ts->c_recursion_remaining -= depth_chunk;
    return true;
}

}  // namespace

bool enter_native_call_slow(const char* what) noexcept {
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (stack_floor == UINTPTR_MAX) stack_floor = measure_stack_floor();
    if (here <= stack_floor) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", what);
        return false;
    }
    if (starts_chunk(native_depth) && !charge_chunk(what)) return false;
    ++native_depth;
    return true;
}

void give_back_chunk() noexcept { _PyThreadState_UncheckedGet()->c_recursion_remaining += depth_chunk; }

void enter_native_call_unchecked() noexcept {
    if (starts_chunk(native_depth)) _PyThreadState_UncheckedGet()->c_recursion_remaining -= depth_chunk;
    ++native_depth;
}

RecursionGuard::RecursionGuard(const char* what, Where where) {
    if (!enter_native_call(what)) fail(where);  // the base leaves the holder list
}

RecursionGuard::~RecursionGuard() {
    leave();
    leave_native_call();
}

namespace {

// One trial of the in-place reads of records.hpp on objects made for it; false when any read
// disagrees with the runtime's own answer.
bool layout_agrees() {
    Obj text = Obj::steal(PyUnicode_InternFromString("_layout_probe_text"));
    Obj number = Obj::steal(PyUnicode_InternFromString("_layout_probe_number"));
    Obj dict = new_dict();
    dict.set_item(number, text);
    dict.set_item(text, number);
    if (entry_value(dict.ptr(), 0, number.ptr()) != text.ptr() || entry_value(dict.ptr(), 1, text.ptr()) != number.ptr() ||
        entry_value(dict.ptr(), 1, number.ptr()) || entry_value(dict.ptr(), 2, text.ptr()))
        return false;
    // A class made by type(), whose instances keep their values inline until a dict is asked for.
    Obj cls = Handle(reinterpret_cast<PyObject*>(&PyType_Type))
                  .call({str("_LayoutProbe"), new_tuple({Handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))}),
                         new_dict()});
    Obj instance = cls.call();
    instance.set_attr("_layout_probe_text", number);
    instance.set_attr("_layout_probe_number", text);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    PyObject* const* values = inline_values(instance.ptr());
    Py_ssize_t at_text = shared_key_index(type, text.ptr()), at_number = shared_key_index(type, number.ptr());
    if (!values || at_text < 0 || at_number < 0 || values[at_text] != number.ptr() || values[at_number] != text.ptr())
        return false;
    if (inline_count(values) != 2 || inline_order_at(values, 0) != at_text || inline_order_at(values, 1) != at_number)
        return false;
    Obj own = Obj::steal(PyObject_GenericGetDict(instance.ptr(), nullptr));
    if (inline_values(instance.ptr()) || managed_dict_pointer(instance.ptr()) != own.ptr()) return false;
    // Values stored in place, in the other order, then replaced: the instance's dict lists them in
    // the order they were first set, with the values last stored.
    Obj other = cls.call();
    PyObject** slots = inline_slots(other.ptr());
    if (!slots) return false;
    store_inline(slots, at_number, number.ptr());
    store_inline(slots, at_text, number.ptr());
    store_inline(slots, at_number, text.ptr());
    Obj made = Obj::steal(PyObject_GenericGetDict(other.ptr(), nullptr));
    Obj items = Obj::steal(PyDict_Items(made.ptr()));
    Obj expected = new_list({new_tuple({number, text}), new_tuple({text, number})});
    if (!Obj::steal(PyObject_RichCompare(items.ptr(), expected.ptr(), Py_EQ)).is(Handle(Py_True))) return false;
    // A list's iterator, stepped by the runtime, then in place to its end.
    Obj list = new_list({number, text});
    Obj iterator = Obj::steal(PyObject_GetIter(list.ptr()));
    Obj first = Obj::steal(PyIter_Next(iterator.ptr()));
    auto* it = reinterpret_cast<ListIterator*>(iterator.ptr());
    if (!Py_IS_TYPE(iterator.ptr(), &PyListIter_Type) || it->index != 1 || it->list != list.ptr()) return false;
    Obj second = Obj::steal_or_null(list_iterator_step(iterator.ptr()));
    return first.is(number) && second.is(text) && !list_iterator_step(iterator.ptr()) && !it->list &&
           Py_REFCNT(list.ptr()) == 1 && PyObject_LengthHint(iterator.ptr(), -1) == 0;
}

}  // namespace

int layout_verified_state = -1;

bool layout_verified() {
    int& verified = layout_verified_state;
    if (verified < 0) [[unlikely]] {
        // A failure to make the probe (no memory) propagates, and the question is asked again later.
        verified = layout_known() && layout_agrees();
    }
    return verified == 1;
}

}  // namespace kv
