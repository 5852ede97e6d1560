// The frame's object vocabulary: owned and borrowed references, calls, errors, and the holders a
// body keeps its objects in: a failing call throws `PyError`, meaning "a Python exception is
// set". Part of the module frame (frame.hpp includes every part).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv {

using Where = std::source_location;

// Errors, in few verbs with one meaning each:
//   fail()                     a call of the host failed and its exception is set: unwind.
//   check(status)              fail() when a status of the host's C interface is negative.
//   raise(type, text)          raise a new exception of `type` with a message: unwind.
//   raised(type, value)        the same as a result, without unwinding (for everyday failures).
//   raise_object(exception)    raise an exception object made by the body.
//   raise_from(exception, c)   `raise exception from c` inside the handler of `c`.
//   noting(prefix, subject, f) run f; an exception leaving it gains a note naming the subject.
// A body catches with `catch (const PyError&)`, then error_matches(), fetch_error(), or rethrows.

// Thrown when a Python exception is set; carries the C++ line for the traceback entry.
struct PyError {
    int line;
};

class Obj;
class Handle;

[[noreturn]] void fail(Where where = Where::current());
[[noreturn]] void raise(PyObject* type, const char* message, Where where = Where::current());
[[noreturn]] void raise(PyObject* type, const Obj& message, Where where = Where::current());

// An invariant of the frame, checked in the sanitizer build (KV_CHECKED defined) and free in
// others: a broken one ends the process at once with the condition and its place.
#ifdef KV_CHECKED
#define KV_ASSERT(condition) \
    ((condition) ? void(0) : ::kv::broken_invariant(#condition, __FILE__, __LINE__))
#else
#define KV_ASSERT(condition) ((void)0)
#endif
[[noreturn]] void broken_invariant(const char* condition, const char* file, int line) noexcept;

// A status of the host's C interface: negative means an exception is set.
inline void check(int status, Where where = Where::current()) {
    if (status < 0) fail(where);
}

// For hot error paths: sets the exception and returns the empty result that reports it, without
// unwinding the C++ stack (a throw costs microseconds). A body returns it as its result; the call
// adds the traceback entry for this line.
class Obj;
class Handle;
[[nodiscard]] Obj raised(PyObject* type, Handle value, Where where = Where::current());

// Holds the operands of one call into code that can run Python for the call's duration, so that a
// borrowed operand (a module cache, an item of a container) freed by that code stays valid until
// the call is done.
class Pin {
public:
    explicit Pin(PyObject* a, PyObject* b = nullptr, PyObject* c = nullptr) noexcept
        : a_(Py_XNewRef(a)), b_(Py_XNewRef(b)), c_(Py_XNewRef(c)) {}
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    ~Pin() {
        Py_XDECREF(a_);
        Py_XDECREF(b_);
        Py_XDECREF(c_);
    }

private:
    PyObject* a_;
    PyObject* b_;
    PyObject* c_;
};

// An interned text for a name written as a literal in the source; cached by the literal's address,
// so only texts of static storage may be passed. A small table indexed by that address answers the
// usual call at once; the full table behind it keeps every name for the life of the process.
struct NameSlot {
    const char* literal;
    PyObject* text;  // borrowed from the full table
};
constexpr unsigned name_slot_bits = 9;
extern NameSlot g_name_slots[1u << name_slot_bits];
PyObject* name_of(const char* literal);
inline PyObject* name(const char* literal) {
    auto bits = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(literal));
    const NameSlot& slot = g_name_slots[(bits * 0x9E3779B97F4A7C15ull) >> (64 - name_slot_bits)];
    if (slot.literal == literal) [[likely]]
        return slot.text;
    return name_of(literal);
}

class Obj;
struct Arg;
struct KwArg;
class Range;
class Keywords;
using Pos = std::initializer_list<Arg>;
using Kws = std::initializer_list<KwArg>;

// A borrowed reference: every operation of the frame's object vocabulary lives here.
class Handle {
public:
    constexpr Handle() = default;
    constexpr Handle(PyObject* p) : p_(p) {}

    PyObject* ptr() const { return p_; }
    bool valid() const { return p_ != nullptr; }

    Obj attr(const char* attr_name, Where where = Where::current()) const;
    Obj attr(Handle attr_name, Where where = Where::current()) const;
    Obj attr_or_null(const char* attr_name, Where where = Where::current()) const;
    bool has_attr(const char* attr_name, Where where = Where::current()) const;
    void set_attr(const char* attr_name, Handle value, Where where = Where::current()) const;

    Obj call(Pos args = {}, Kws kws = {}, Where where = Where::current()) const;
    // A hot keyword call: the names come from a Keywords made once, one value per name.
    Obj call(Pos args, const Keywords& keys, Pos values, Where where = Where::current()) const;
    Obj call_method(const char* method, Pos args = {}, Kws kws = {}, Where where = Where::current()) const;

    Obj item(Handle key, Where where = Where::current()) const;
    // mapping.get(key): None when the key is missing; an exact dict is looked up directly.
    Obj get(Handle key, Where where = Where::current()) const;
    void set_item(Handle key, Handle value, Where where = Where::current()) const;
    void append(Handle value, Where where = Where::current()) const;

    // bool(self): None, the two bools and the exact str, list and dict answered at once, as their
    // own truth (their length) is; anything else asks the object.
    bool truthy(Where where = Where::current()) const {
        if (p_ == Py_True) return true;
        if (p_ == Py_False || p_ == Py_None) return false;
        PyTypeObject* type = Py_TYPE(p_);
        if (type == &PyUnicode_Type) return PyUnicode_GET_LENGTH(p_) != 0;
        if (type == &PyDict_Type) return PyDict_GET_SIZE(p_) != 0;
        if (type == &PyList_Type) return PyList_GET_SIZE(p_) != 0;
        return truth_of(where);
    }
    bool is_none() const { return p_ == Py_None; }
    bool is(Handle other) const { return p_ == other.p_; }
    bool eq(Handle other, Where where = Where::current()) const;
    bool ne(Handle other, Where where = Where::current()) const;
    // `self == other` in an `if`: the comparison's result, then its truth (no identity shortcut).
    bool equal_to(Handle other, Where where = Where::current()) const;
    bool lt(Handle other, Where where = Where::current()) const;
    bool le(Handle other, Where where = Where::current()) const;
    bool gt(Handle other, Where where = Where::current()) const;
    bool ge(Handle other, Where where = Where::current()) const;
    void add(Handle value, Where where = Where::current()) const;  // .add(value); an exact set directly
    bool contains(Handle value, Where where = Where::current()) const;
    bool isinstance(Handle type, Where where = Where::current()) const;
    bool is_list() const { return PyList_Check(p_); }
    bool is_dict() const { return PyDict_Check(p_); }
    bool is_str() const { return PyUnicode_Check(p_); }
    bool is_bool() const { return PyBool_Check(p_); }
    bool is_int() const { return PyLong_Check(p_); }
    bool is_float() const { return PyFloat_Check(p_); }

    Py_ssize_t len(Where where = Where::current()) const;
    Obj str(Where where = Where::current()) const;
    Obj repr(Where where = Where::current()) const;
    Obj format(Where where = Where::current()) const;  // format(value, "")
    Obj type() const;
    const char* type_name() const { return Py_TYPE(p_)->tp_name; }
    std::string_view text(Where where = Where::current()) const;  // UTF-8 view of a str

    Range iter(Where where = Where::current()) const;

protected:
    bool truth_of(Where where) const;
    PyObject* p_ = nullptr;
};

// An owned reference.
class Obj : public Handle {
public:
    Obj() = default;
    Obj(const Obj& other) : Handle(other.p_) { Py_XINCREF(p_); }
    Obj(Obj&& other) noexcept : Handle(other.p_) { other.p_ = nullptr; }
    Obj(Handle h) : Handle(h.ptr()) { Py_XINCREF(p_); }
    ~Obj() { Py_XDECREF(p_); }
    Obj& operator=(Obj other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes a new reference; a null pointer means the call failed with an exception set.
    static Obj steal(PyObject* p, Where where = Where::current()) {
        if (!p) fail(where);
        return Obj(p, 0);
    }
    static Obj steal_or_null(PyObject* p) { return Obj(p, 0); }
    static Obj none() { return Obj(Handle(Py_None)); }

    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() { Py_CLEAR(p_); }

private:
    Obj(PyObject* p, int) : Handle(p) {}
};

// A positional argument in a call: converts the usual C++ values.
struct Arg {
    Obj o;
    Arg(Handle h) : o(h) {}
    Arg(const Obj& h) : o(h) {}
    Arg(Obj&& h) : o(std::move(h)) {}
    Arg(PyObject* p) : o(Handle(p)) {}
    Arg(const char* text);
    Arg(std::string_view text);
    Arg(long value);
    Arg(int value) : Arg(static_cast<long>(value)) {}
    Arg(bool value) : o(Handle(value ? Py_True : Py_False)) {}
};

struct KwArg {
    const char* key;
    Arg value;
};

// Keyword names for hot calls, made once per call site: `static const Keywords keys{"id", "ctx"};`
// and then `callable.call({}, keys, {id, ctx})`. The names are checked when the module is compiled
// and the object is constant-initialised (no guard, no Python work in the static initialiser: a
// collection run there could switch threads and deadlock on the guard); the interned name tuple is
// made on the first call. A value left empty (`Obj()`) leaves its keyword out of that call.
class Keywords {
public:
    static constexpr size_t max_names = 12;
    consteval Keywords(std::initializer_list<const char*> keys) : size_(keys.size()) {
        if (keys.size() > max_names) throw "too many keyword names";
        size_t i = 0;
        for (const char* key : keys) {
            if (!is_identifier(key)) throw "a keyword name must be an identifier";
            keys_[i++] = key;
        }
    }
    Keywords(const Keywords&) = delete;
    Keywords& operator=(const Keywords&) = delete;
    PyObject* names(Where where = Where::current()) const;  // the interned names, as a tuple
    PyObject* name_at(size_t i) const;                       // one interned name
    size_t size() const { return size_; }

private:
    static consteval bool is_identifier(const char* key) {
        if (!key || !*key || (*key >= '0' && *key <= '9')) return false;
        for (const char* c = key; *c; ++c) {
            bool ok = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                      *c == '_';
            if (!ok) return false;
        }
        return true;
    }
    const char* keys_[max_names] = {};
    size_t size_;
    mutable PyObject* names_ = nullptr;  // kept for the life of the process, like the module state
};

// Python objects a generator body holds across a co_yield. A holder made while a body runs joins
// that body's list, so the generator's tp_traverse shows its objects to the collector and an
// abandoned cycle through it is found and closed; its destructor leaves the list. Outside a
// generator body a holder belongs to no list.
class Held {
public:
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    virtual int traverse(visitproc visit, void* arg) const = 0;
    virtual int recursion_levels() const { return 0; }
    // The body is being unwound while suspended (discarded without running to its end).
    virtual void abandon() noexcept {}
    Held* next_held() const { return next_; }

protected:
    Held() noexcept;
    ~Held() { leave(); }
    // Leaves the list; a holder calls it first thing in its destructor, so that a collection run
    // while its members are released never reads a half-destroyed holder.
    void leave() noexcept;

private:
    Held* next_ = nullptr;
    Held** prev_ = nullptr;
};

// A local of a generator body that the collector sees: `Local cache(new_dict());`.
class Local : public Held {
public:
    Local() = default;
    Local(Obj value) : value_(std::move(value)) {}
    ~Local() { leave(); }
    Local& operator=(Obj value) {
        value_ = std::move(value);
        return *this;
    }
    const Obj& get() const { return value_; }
    operator const Obj&() const { return value_; }
    operator Handle() const { return value_; }
    const Obj* operator->() const { return &value_; }
    const Obj& operator*() const { return value_; }
    int traverse(visitproc visit, void* arg) const override;

private:
    Obj value_;
};

// Iteration over any iterable: `for (Obj x : h.iter())`; errors throw from ++.
class Range : public Held {
public:
    explicit Range(Obj iterator, Where where) : it_(std::move(iterator)), where_(where) {}
    ~Range() { leave(); }
    struct End {};
    class Cursor {
    public:
        Cursor(Range* r) : r_(r) { r_->advance(); }
        const Obj& operator*() const { return r_->current_; }
        Cursor& operator++() {
            r_->advance();
            return *this;
        }
        bool operator!=(End) const { return r_->current_.valid(); }

    private:
        Range* r_;
    };
    Cursor begin() { return Cursor(this); }
    End end() { return {}; }
    int traverse(visitproc visit, void* arg) const override;

private:
    // The iterator's own step, as PyIter_Next takes it; the end (or a failure) out of line.
    void advance() {
        PyObject* it = it_.ptr();
        if (PyObject* next = Py_TYPE(it)->tp_iternext(it)) [[likely]] {
            current_ = Obj::steal(next);
            return;
        }
        finish();
    }
    void finish();
    Obj it_;
    Obj current_;
    Where where_;
};

// `left / right`, as for a path and a name: `folder / global("MODEL_JSON_FILE")`.
Obj operator/(Handle left, Handle right);
// `left - right`, as for the difference of two sets.
Obj operator-(Handle left, Handle right);

// Constructors of values.
Obj str(std::string_view text, Where where = Where::current());
Obj integer(long value, Where where = Where::current());
Obj boolean(bool value);
Obj new_list(Pos items = {}, Where where = Where::current());
Obj new_tuple(Pos items = {}, Where where = Where::current());
Obj new_dict(Where where = Where::current());
Obj new_set(Where where = Where::current());

// The module namespace of the running extension; names looked up when the body runs.
Obj global(const char* global_name, Where where = Where::current());
// The same, read first at the namespace entry `hint`, where the name was last found (kept there).
Obj global(const char* global_name, Py_ssize_t& hint, Where where = Where::current());
Obj builtin(const char* builtin_name, Where where = Where::current());
Obj import_module(const char* dotted, Where where = Where::current());
// `from dotted import attr_name` when the body runs, through __import__ at level 0 as the statement
// does; for a name that cannot be imported with the module. `attr_name` is a literal (see name()).
Obj import_name(const char* dotted, const char* attr_name, Where where = Where::current());

// next(iterator): StopIteration when it is exhausted; TypeError "<type> object is not an iterator"
// for an object that is none.
Obj next_item(Handle iterator, Where where = Where::current());

// Catching Python exceptions inside a body.
bool error_matches(PyObject* type);
Obj fetch_error();  // takes the set exception as an object and clears it
// `raise exception from cause` inside the handler of `cause`: both __cause__ and __context__ are set.
[[noreturn]] void raise_from(Handle exception, Handle cause, Where where = Where::current());
[[noreturn]] void raise_object(Handle exception, Where where = Where::current());
// In a handler of the set exception: it gains the note `prefix` + format(subject) and is raised
// again with its own type, text and traceback.
[[noreturn]] void raise_noted(const char* prefix, Handle subject, Where where = Where::current());

// Runs `body`; an exception it throws gains a note naming what it was working on, as
// `noting("in schema file ", path, [&] { return read(path); })`. The caller owns `subject`.
template <typename Body>
auto noting(const char* prefix, Handle subject, Body body, Where where = Where::current()) -> decltype(body()) {
    try {
        return body();
    } catch (const PyError&) {
        raise_noted(prefix, subject, where);
    }
}

// Unpacking as `auto [a, b] = unpack<2>(value);` does `a, b = value`: exactly N items, else
// ValueError "too many values to unpack (expected N)" or "need more than K value(s) to unpack".
void unpack_into(Handle iterable, Obj* out, size_t n, Where where = Where::current());
template <size_t N>
std::array<Obj, N> unpack(Handle iterable, Where where = Where::current()) {
    std::array<Obj, N> out;
    unpack_into(iterable, out.data(), N, where);
    return out;
}

// Declared str/list/dict values: exactly that type or None, else "Expected %s, got %.200s".
Obj expect_str(Obj value, Where where = Where::current());
Obj expect_list(Obj value, Where where = Where::current());
Obj expect_dict(Obj value, Where where = Where::current());

// A context manager held for a scope, as a `with` block: __enter__ now, __exit__ when the scope
// ends. Leaving with a Python exception set (thrown, or returned as `raised(...)`) hands that
// exception to __exit__; leaving through a C++ exception that set none hands it a SystemError;
// a generator body unwound while suspended hands it GeneratorExit; only a scope that completed
// (no exception in flight, none set) hands it None three times. The scope cannot go on after
// the block, so an __exit__ that returns true cannot suppress the exception here: call
// suppressed() in the handler where the block may be swallowed. The destructor cannot throw, so a
// failing __exit__ on a normal exit is reported as unraisable: call exit() where that failure must
// propagate to the caller.
class With : public Held {
public:
    explicit With(Handle manager, Where where = Where::current());
    ~With();
    const Obj& value() const { return value_; }  // what __enter__ returned
    void exit(Where where = Where::current());   // a normal exit whose failure throws
    // In a handler of the set exception: __exit__ receives it; true when __exit__ suppressed it
    // (the exception is then cleared), else the exception (or __exit__'s own) stays set.
    bool suppressed(Where where = Where::current());
    int traverse(visitproc visit, void* arg) const override;
    void abandon() noexcept override { abandoned_ = true; }

private:
    Obj exit_;
    Obj value_;
    int uncaught_ = std::uncaught_exceptions();  // exceptions in flight when the scope began
    bool abandoned_ = false;
};

// Native recursion over caller data: counts against the interpreter's recursion budget, as the
// host's own C functions do, and refuses when the thread's stack runs low. A guard held across a
// co_yield gives its level back while the generator is suspended, so that resuming on another
// thread keeps both threads' budgets balanced.
class RecursionGuard : public Held {
public:
    explicit RecursionGuard(const char* what, Where where = Where::current());
    ~RecursionGuard();
    int traverse(visitproc, void*) const override { return 0; }
    int recursion_levels() const override { return 1; }
};

// A text made as PyUnicode_FromFormat makes it: `format_text("%U.%s", module, name)`.
Obj format_text(const char* format, ...);

}  // namespace kv
