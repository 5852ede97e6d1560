// Function objects: parameters, one argument binder, the arguments of one call. Part of the module frame (frame.hpp includes every part).
#pragma once
#include "object.hpp"

namespace kv {

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

}  // namespace kv
