// The module frame shared by every extension module of the package.
//
// Four ideas: owned references with one error path (a failing call throws `PyError`, meaning
// "a Python exception is set"), a function object type with one argument binder, generators as
// C++20 coroutines, and classes created through the host's own class protocol.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <coroutine>
#include <exception>
#include <initializer_list>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv {

using Where = std::source_location;

// Thrown when a Python exception is set; carries the C++ line for the traceback entry.
struct PyError {
    int line;
};

[[noreturn]] void fail(Where where = Where::current());
[[noreturn]] void raise(PyObject* type, const char* message, Where where = Where::current());
[[noreturn]] void raise_format(int line, PyObject* type, const char* format, ...);
#define KV_RAISE(type, ...) ::kv::raise_format(__LINE__, type, __VA_ARGS__)

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
// so only texts of static storage may be passed.
PyObject* name(const char* literal);

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

    bool truthy(Where where = Where::current()) const;
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
    void advance();
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

// ---------------------------------------------------------------------------------------------
// Functions

enum class Kind { positional_or_keyword, keyword_only };

struct Param {
    const char* name;
    Kind kind = Kind::positional_or_keyword;
    const char* annotation = nullptr;
    PyTypeObject* exact = nullptr;  // declared exact type (str, list, dict)
    Obj default_value;               // empty when required

    Param(const char* n) : name(n) {}
    Param& ann(const char* a) {
        annotation = a;
        return *this;
    }
    Param& exactly(PyTypeObject* t) {
        exact = t;
        return *this;
    }
    Param& or_else(Obj d) {
        default_value = std::move(d);
        return *this;
    }
    Param& keyword_only() {
        kind = Kind::keyword_only;
        return *this;
    }
};

inline Param arg(const char* n, const char* annotation = nullptr) { return Param(n).ann(annotation); }
inline Param kwarg(const char* n, const char* annotation = nullptr) {
    return Param(n).ann(annotation).keyword_only();
}

class Call;
struct Generator;
struct ResultGenerator;
using Body = Obj (*)(Call&);
using GeneratorBody = Generator (*)(Call);
using ResultGeneratorBody = ResultGenerator (*)(Call);

// A generator body of either kind: one that only yields, or one that also co_returns a value.
struct GeneratorFn {
    GeneratorBody plain = nullptr;
    ResultGeneratorBody returning = nullptr;
    GeneratorFn() = default;
    GeneratorFn(std::nullptr_t) {}
    GeneratorFn(GeneratorBody body) : plain(body) {}
    GeneratorFn(ResultGeneratorBody body) : returning(body) {}
    explicit operator bool() const { return plain || returning; }
};

struct FunctionSpec {
    const char* name;
    std::vector<Param> params;
    const char* returns = nullptr;  // result annotation text
    const char* doc = nullptr;
    Body body = nullptr;
    GeneratorFn generator = {};
    Obj closure;                     // a value the body reads back with Call::closure()
    std::string qualname;            // empty: the name (module level) or Class.name (in a class)
};

// The arguments of one call, in declared parameter order.
class Call {
public:
    Call(PyObject* const* args, Py_ssize_t n, PyObject* function);
    Call(Call&& other) noexcept;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call();
    Handle operator[](Py_ssize_t i) const { return args_[i]; }
    Py_ssize_t size() const { return n_; }
    PyObject* const* args() const { return args_; }
    Handle closure() const;
    Handle function() const { return function_; }
    Call owned() const;  // a copy that owns its values, for bodies that outlive the call
    int traverse(visitproc visit, void* arg) const;  // the values an owned copy holds, for the GC

private:
    static constexpr Py_ssize_t inline_owned = 6;
    PyObject* const* args_;
    Py_ssize_t n_;
    PyObject* function_;
    PyObject** owned_ = nullptr;  // owned copy: the function, then the arguments
    PyObject* inline_[inline_owned];  // an owned copy's storage when it fits
};

Obj make_function(FunctionSpec spec, Where where = Where::current());

// ---------------------------------------------------------------------------------------------
// Generators: a body is a coroutine that co_yields objects; `co_await yield_from(it)` delegates
// and gives the delegate's result. A `ResultGenerator` body may also `co_return value;`, which
// becomes the generator's StopIteration value and the result of a delegating `yield from`.
// Hold resources in RAII guards (With for context managers, Local for other objects): close()
// and discarding the generator unwind a suspended body through them, and the collector sees what
// they hold. With g++ 12, a string literal inside a braced list within a co_yield expression does
// not compile ("array used as initializer"): build that value on a line of its own first.

struct GeneratorPromise {
    struct YieldAwaiter {
        GeneratorPromise* p;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) const noexcept {}
        Obj await_resume() const;  // the sent value, or throws the thrown-in exception
    };

    GeneratorPromise() = default;
    // A generator body's own Call, so that the generator object can show its values to the GC.
    explicit GeneratorPromise(const Call& c) : call(&c) {}
    GeneratorPromise(const GeneratorPromise&) = delete;
    GeneratorPromise& operator=(const GeneratorPromise&) = delete;

    const Call* call = nullptr;
    Obj yielded;
    Obj sent;
    bool throw_pending = false;
    int line = 0;  // the line of the co_yield or yield_from the body waits at
    Obj delegate;
    bool delegate_new = false;
    Obj delegate_result;
    Obj result;  // what the body co_returned
    std::exception_ptr error;
    Held* held = nullptr;  // the body's holders, newest first

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() { error = std::current_exception(); }
    YieldAwaiter yield_value(Obj value, Where where = Where::current()) {
        yielded = std::move(value);
        line = static_cast<int>(where.line());
        return YieldAwaiter{this};
    }
};

struct DelegateAwaiter {
    Obj iterator;
    int line = 0;
    GeneratorPromise* p = nullptr;
    bool await_ready() const noexcept { return false; }
    template <class Promise>
    void await_suspend(std::coroutine_handle<Promise> h) noexcept {
        p = &h.promise();
        p->delegate = std::move(iterator);
        p->delegate_new = true;
        p->line = line;
    }
    Obj await_resume();
};

struct Generator {
    struct promise_type : GeneratorPromise {
        using GeneratorPromise::GeneratorPromise;
        Generator get_return_object() { return Generator{handle_type::from_promise(*this)}; }
        void return_void() {}
    };
    using handle_type = std::coroutine_handle<promise_type>;
    using YieldAwaiter = GeneratorPromise::YieldAwaiter;
    using DelegateAwaiter = kv::DelegateAwaiter;
    handle_type handle;
};

struct ResultGenerator {
    struct promise_type : GeneratorPromise {
        using GeneratorPromise::GeneratorPromise;
        ResultGenerator get_return_object() { return ResultGenerator{handle_type::from_promise(*this)}; }
        void return_value(Obj value) { result = std::move(value); }
    };
    using handle_type = std::coroutine_handle<promise_type>;
    handle_type handle;
};

DelegateAwaiter yield_from(Handle iterable, Where where = Where::current());

// ---------------------------------------------------------------------------------------------
// Classes, built through types.new_class.

class ClassSpec {
public:
    explicit ClassSpec(const char* class_name) : name_(class_name) {}
    ClassSpec& doc(const char* text);
    ClassSpec& method(FunctionSpec spec);
    ClassSpec& classmethod(FunctionSpec spec);
    ClassSpec& staticmethod(FunctionSpec spec);
    ClassSpec& property(FunctionSpec getter);
    ClassSpec& cached_property(FunctionSpec getter);
    ClassSpec& cached_method(FunctionSpec spec);  // functools.cache
    ClassSpec& value(const char* attr_name, Handle value);
    ClassSpec& annotation(const char* attr_name, Handle annotation);

    Obj create(Pos bases = {}, Kws kwds = {}, Where where = Where::current());
    // The same with bases and class keywords known only at run time: a tuple and a dict or None.
    Obj create_from(Handle bases, Handle kwds, Where where = Where::current());
    const char* class_name() const { return name_; }

private:
    Obj function_for(FunctionSpec& spec);
    ClassSpec& decorated(FunctionSpec spec, Handle decorator);  // name = decorator(function)
    const char* name_;
    std::vector<std::pair<const char*, Obj>> items_;
    std::vector<std::pair<const char*, Obj>> annotations_;
    const char* doc_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Module definition.

// The module body API: imports and bindings into the module namespace, in source order.
class ModuleBody {
public:
    explicit ModuleBody(PyObject* module);
    Handle module() const { return module_; }
    // import a.b.c (binds the top package) or import a.b.c as name
    void import(const char* dotted, const char* as = nullptr, Where where = Where::current());
    // from dotted import n1, n2, ...
    void import_from(const char* dotted, std::initializer_list<const char*> names, Where where = Where::current());
    void set(const char* global_name, Handle value, Where where = Where::current());
    Obj def(FunctionSpec spec, Where where = Where::current());
    Obj define_class(ClassSpec& spec, Pos bases = {}, Kws kwds = {}, Where where = Where::current());

private:
    PyObject* module_;
};

using ModuleBodyFn = void (*)(ModuleBody&);

struct ModuleInfo {
    const char* short_name;
    const char* dotted_name;
    ModuleBodyFn body;
};

// The two steps of multi-phase initialisation; used by KV_MODULE.
PyObject* module_create(PyObject* spec, PyModuleDef* def);
int module_exec(PyObject* module);
void register_module(const ModuleInfo* info);
const ModuleInfo& current_module();

}  // namespace kv

#define KV_MODULE(SHORT, DOTTED, BODY)                                                               \
    static const ::kv::ModuleInfo kv_module_info{#SHORT, DOTTED, BODY};                           \
    static PyObject* kv_create(PyObject* spec, PyModuleDef* def) {                                \
        ::kv::register_module(&kv_module_info);                                                   \
        return ::kv::module_create(spec, def);                                                    \
    }                                                                                             \
    static PyModuleDef_Slot kv_slots[] = {                                                        \
        {Py_mod_create, reinterpret_cast<void*>(kv_create)},                                      \
        {Py_mod_exec, reinterpret_cast<void*>(::kv::module_exec)},                                \
        {0, nullptr}};                                                                            \
    static PyModuleDef kv_module_def = {PyModuleDef_HEAD_INIT, DOTTED, nullptr, 0, nullptr,        \
                                        kv_slots, nullptr, nullptr, nullptr};                     \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##SHORT() {                \
        return PyModuleDef_Init(&kv_module_def);                                                  \
    }
