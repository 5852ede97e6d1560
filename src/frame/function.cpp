// The function object type: vectorcall, one argument binder, method binding like a Python function.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "frame.hpp"
#include "internal.hpp"

namespace kv {
namespace {

struct Signature {
    std::string name;
    std::vector<Param> params;
    std::vector<PyObject*> names;  // interned parameter names, in declared order
    Py_ssize_t npos = 0;           // positional-or-keyword parameters come first
    Py_ssize_t total = 0;
    bool has_exact = false;
    const char* returns = nullptr;
    int line = 0;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Py_ssize_t direct_nargs;  // a call of exactly this many positionals needs no binding; else -1
    Py_ssize_t checked_nargs;  // the same for a function with declared exact types, checked first
    Signature* sig;
    Body body;
    GeneratorFn generator;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* defaults;     // tuple or None (null only once the GC has cleared the function)
    PyObject* kwdefaults;   // dict or None (likewise)
    PyObject* annotations;  // dict, or null until asked for
    PyObject* closure;      // null once cleared
    PyObject* weakrefs;
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// --- binding errors, with the texts callers know ----------------------------------------------

[[noreturn]] void positional_count_error(const Signature& s, Py_ssize_t min, Py_ssize_t found) {
    Py_ssize_t max = s.npos;
    Py_ssize_t expected = found < min ? min : max;
    const char* more_or_less = min == max ? "exactly" : (found < min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name.c_str(),
                 more_or_less, expected, expected == 1 ? "" : "s", found);
    throw PyError{s.line};
}

// The parameter a keyword names: by identity first (names in source are interned), then by value.
Py_ssize_t find_parameter(const Signature& s, PyObject* key) {
    Py_ssize_t n = s.total;
    PyObject* const* names = s.names.data();
    for (Py_ssize_t i = 0; i < n; ++i)
        if (names[i] == key) return i;
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name.c_str());
        throw PyError{s.line};
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        int rc = PyUnicode_Compare(names[i], key);
        if (rc == 0) return i;
        if (rc == -1 && PyErr_Occurred()) throw PyError{s.line};
    }
    return -1;
}

// References a call takes on the defaults it binds: the body may replace `__defaults__` or change
// `__kwdefaults__` while it runs.
struct HeldDefaults {
    PyObject* tuple = nullptr;  // the positional defaults, once one of them is bound
    PyObject** kw;              // keyword-only defaults bound
    Py_ssize_t nkw = 0;
    PyObject* kwdict = nullptr;  // the __kwdefaults__ dict, held while its keys are compared
    explicit HeldDefaults(PyObject** storage) : kw(storage) {}
    HeldDefaults(const HeldDefaults&) = delete;
    HeldDefaults& operator=(const HeldDefaults&) = delete;
    ~HeldDefaults() {
        Py_XDECREF(tuple);
        Py_XDECREF(kwdict);
        for (Py_ssize_t i = 0; i < nkw; ++i) Py_DECREF(kw[i]);
    }
};

// Fills `bound` with references in declared order: the caller's, or defaults held by `held`.
// (Its short loops stay loops: a library memset/memcpy call costs more than they do.)
__attribute__((optimize("no-tree-loop-distribute-patterns"))) void bind(FunctionObject* f, PyObject* const* args,
                                                                        Py_ssize_t nargs, PyObject* kwnames,
                                                                        PyObject** bound, HeldDefaults& held) {
    const Signature& s = *f->sig;
    Py_ssize_t total = s.total;
    // The setters keep __defaults__ a tuple or None and __kwdefaults__ a dict or None.
    PyObject* defaults = f->defaults != Py_None ? f->defaults : nullptr;
    // Defaults belong to the last positional parameters, as for a Python function.
    Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    Py_ssize_t min = ndefaults > s.npos ? 0 : s.npos - ndefaults;
    if (nargs > s.npos) positional_count_error(s, min, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t i = nargs; i < total; ++i) bound[i] = nullptr;

    // Keywords: matched now, but a problem with them is reported after missing positionals.
    const char* keyword_problem = nullptr;
    PyObject* problem_key = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw && !keyword_problem; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = find_parameter(s, key);
        if (i < 0) {
            keyword_problem = "%s() got an unexpected keyword argument '%U'";
        } else if (bound[i]) {
            keyword_problem = "%s() got multiple values for keyword argument '%U'";
        } else {
            bound[i] = args[nargs + k];
            continue;
        }
        problem_key = key;
    }
    for (Py_ssize_t i = nargs; i < s.npos; ++i) {
        if (bound[i]) continue;
        if (i < min) positional_count_error(s, min, i);
        if (!held.tuple) held.tuple = Py_NewRef(defaults);
        bound[i] = PyTuple_GET_ITEM(defaults, i - s.npos + ndefaults);
    }
    if (keyword_problem) {
        PyErr_Format(PyExc_TypeError, keyword_problem, s.name.c_str(), problem_key);
        throw PyError{s.line};
    }
    // A key's __eq__ may replace __kwdefaults__ during the lookup: the dict is held until the call ends.
    PyObject* kwdefaults = nullptr;
    for (Py_ssize_t i = s.npos; i < total; ++i) {
        if (bound[i]) continue;
        if (!kwdefaults && f->kwdefaults && f->kwdefaults != Py_None) kwdefaults = held.kwdict = Py_NewRef(f->kwdefaults);
        PyObject* fallback = kwdefaults ? PyDict_GetItemWithError(kwdefaults, s.names[i]) : nullptr;
        if (!fallback) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", s.name.c_str(), s.names[i]);
            throw PyError{s.line};
        }
        bound[i] = held.kw[held.nkw++] = Py_NewRef(fallback);
    }
}

void check_exact_types(const Signature& s, PyObject* const* bound) {
    for (Py_ssize_t i = 0; i < s.total; ++i) {
        PyTypeObject* exact = s.params[static_cast<size_t>(i)].exact;
        if (exact && !Py_IS_TYPE(bound[i], exact)) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         s.params[static_cast<size_t>(i)].name, exact->tp_name, Py_TYPE(bound[i])->tp_name);
            throw PyError{s.line};
        }
    }
}

// Runs the body over bound arguments that stay alive for the whole call.
inline PyObject* run_body(FunctionObject* f, PyObject* self, PyObject* const* bound) {
    const Signature& s = *f->sig;
    if (s.has_exact) check_exact_types(s, bound);
    Call call(bound, s.total, self);
    if (f->generator.plain) {
        auto h = f->generator.plain(call.owned()).handle;
        return new_generator(h, &h.promise(), f->name, f->qualname, s.line);
    }
    if (f->generator.returning) {
        auto h = f->generator.returning(call.owned()).handle;
        return new_generator(h, &h.promise(), f->name, f->qualname, s.line);
    }
    return f->body(call).release();
}

// Binding with keywords or defaults; kept apart so that the direct path stays small.
__attribute__((noinline)) PyObject* bind_and_run(FunctionObject* f, PyObject* self, PyObject* const* args,
                                                 Py_ssize_t nargs, PyObject* kwnames) {
    Py_ssize_t total = f->sig->total;
    constexpr Py_ssize_t inline_params = 12;
    PyObject* small[2 * inline_params];
    std::unique_ptr<PyObject*[]> large;
    PyObject** bound = small;
    if (total > inline_params) {
        large.reset(new PyObject*[2 * static_cast<size_t>(total)]);
        bound = large.get();
    }
    HeldDefaults held(bound + (total > inline_params ? total : inline_params));
    bind(f, args, nargs, kwnames, bound, held);
    return run_body(f, self, bound);
}

// The other common shape: positional arguments only, the rest filled from `__defaults__`.
constexpr Py_ssize_t short_params = 8;

inline bool fills_from_defaults(FunctionObject* f, Py_ssize_t nargs) {
    PyObject* defaults = f->defaults;
    return f->direct_nargs <= short_params && defaults && PyTuple_Check(defaults) &&
           PyTuple_GET_SIZE(defaults) >= f->direct_nargs - nargs;
}

PyObject* run_with_defaults(FunctionObject* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Obj held(Handle{f->defaults});  // the body may replace __defaults__
    Py_ssize_t total = f->direct_nargs, ndefaults = PyTuple_GET_SIZE(held.ptr());
    PyObject* bound[short_params];
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t i = nargs; i < total; ++i) bound[i] = PyTuple_GET_ITEM(held.ptr(), ndefaults - total + i);
    Call call(bound, total, self);
    return f->body(call).release();
}

// Keywords naming positional parameters by their interned names, the rest from `__defaults__`;
// anything unusual (a name that is no parameter or not interned, a value given twice, a missing
// argument) goes to the full binder, which reports it.
PyObject* run_with_keywords(FunctionObject* f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    Py_ssize_t total = f->direct_nargs;
    PyObject* const* names = f->sig->names.data();
    PyObject* bound[short_params];
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t i = nargs; i < total; ++i) bound[i] = nullptr;
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = nargs;
        while (i < total && names[i] != key) ++i;
        if (i == total || bound[i]) return bind_and_run(f, self, args, nargs, kwnames);
        bound[i] = args[nargs + k];
    }
    Obj held;  // the defaults tuple, once one of its values is bound: the body may replace it
    for (Py_ssize_t i = nargs; i < total; ++i) {
        if (bound[i]) continue;
        if (!held.valid()) {
            if (!f->defaults || !PyTuple_Check(f->defaults)) return bind_and_run(f, self, args, nargs, kwnames);
            held = Obj(Handle{f->defaults});
        }
        Py_ssize_t at = i - total + PyTuple_GET_SIZE(held.ptr());
        if (at < 0) return bind_and_run(f, self, args, nargs, kwnames);
        bound[i] = PyTuple_GET_ITEM(held.ptr(), at);
    }
    Call call(bound, total, self);
    return f->body(call).release();
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Each call counts against the interpreter's recursion budget, as the host's C functions do.
    if (!enter_native_call(" while calling a Python object")) [[unlikely]]
        return nullptr;
    PyObject* result = nullptr;
    try {
        // Every parameter given by position, none typed: the caller's references serve as they are.
        if (!kwnames && nargs == f->direct_nargs) {
            Call call(args, nargs, self);
            result = f->body(call).release();
        } else if (!kwnames && nargs == f->checked_nargs) {
            check_exact_types(*f->sig, args);
            Call call(args, nargs, self);
            result = f->body(call).release();
        } else if (!kwnames && nargs < f->direct_nargs && fills_from_defaults(f, nargs)) {
            result = run_with_defaults(f, self, args, nargs);
        } else if (kwnames && f->direct_nargs >= nargs && f->direct_nargs <= short_params) {
            result = run_with_keywords(f, self, args, nargs, kwnames);
        } else {
            result = bind_and_run(f, self, args, nargs, kwnames);
        }
        if (!result && PyErr_Occurred()) add_traceback(f->qualname, take_raised_line(f->sig->line));
    } catch (const PyError& e) {
        add_traceback(f->qualname, e.line);
    } catch (...) {
        translate_cpp_exception();
    }
    leave_native_call();
    return result;
}

// --- attributes ------------------------------------------------------------------------------------

int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_text(&as_function(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_text(&as_function(self)->qualname, v, "__qualname__");
}

PyObject* or_none(PyObject* value) { return Py_NewRef(value ? value : Py_None); }

PyObject* get_module(PyObject* self, void*) { return or_none(as_function(self)->module); }
int set_module(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_function(self)->module, Py_XNewRef(v));
    return 0;
}
PyObject* get_doc(PyObject* self, void*) { return or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(v));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) { return or_none(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* v, void*) {
    if (!v) v = Py_None;
    if (v != Py_None && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_NewRef(v));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) { return or_none(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (!v) v = Py_None;
    if (v != Py_None && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_NewRef(v));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations) f->annotations = PyDict_New();
    return Py_XNewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    if (!v) v = Py_None;
    if (v == Py_None) {
        Py_XSETREF(as_function(self)->annotations, PyDict_New());
        return as_function(self)->annotations ? 0 : -1;
    }
    if (!PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_NewRef(v));
    return 0;
}

PyObject* get_globals(PyObject*, void*) { return Py_NewRef(module_namespace().ptr()); }

// inspect.signature() reads this: the declared parameters, defaults and annotation texts. Python
// code runs at every step (a patched inspect.Parameter, a thread switch), so what is read from the
// function is held first and every size is read from the held objects.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    const Signature& s = *f->sig;
    Obj function(Handle{self});
    Obj annotations(Handle{f->annotations});
    Obj defaults(Handle{f->defaults && PyTuple_Check(f->defaults) ? f->defaults : nullptr});
    Obj kwdefaults(Handle{f->kwdefaults && PyDict_Check(f->kwdefaults) ? f->kwdefaults : nullptr});
    Obj inspect = import_module("inspect");
    Obj parameter = inspect.attr("Parameter");
    Obj empty = parameter.attr("empty");
    auto lookup = [&](const Obj& dict, PyObject* key) {
        if (!dict.valid()) return empty;
        Obj found = Obj::steal_or_null(Py_XNewRef(PyDict_GetItemWithError(dict.ptr(), key)));
        if (!found.valid() && PyErr_Occurred()) fail();
        return found.valid() ? found : empty;
    };
    Py_ssize_t ndefaults = defaults.valid() ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
    Obj params = new_list();
    for (size_t i = 0; i < s.params.size(); ++i) {
        Py_ssize_t at = static_cast<Py_ssize_t>(i);
        bool keyword_only = at >= s.npos;
        Obj fallback = empty;
        if (!keyword_only && at >= s.npos - ndefaults)
            fallback = Obj(Handle(PyTuple_GET_ITEM(defaults.ptr(), at - s.npos + ndefaults)));
        else if (keyword_only)
            fallback = lookup(kwdefaults, s.names[i]);
        Obj kind = parameter.attr(keyword_only ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD");
        Obj annotation = lookup(annotations, s.names[i]);
        params.append(parameter.call({Handle(s.names[i]), kind}, {{"default", fallback}, {"annotation", annotation}}));
    }
    Obj returns = lookup(annotations, name("return"));
    return inspect.attr("Signature").call({params}, {{"return_annotation", returns}}).release();
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->dict);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->closure);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->sig;
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef function_getset[] = {
    {"__name__", boundary<get_name>, boundary<set_name>, nullptr, nullptr},
    {"__qualname__", boundary<get_qualname>, boundary<set_qualname>, nullptr, nullptr},
    {"__module__", boundary<get_module>, boundary<set_module>, nullptr, nullptr},
    {"__doc__", boundary<get_doc>, boundary<set_doc>, nullptr, nullptr},
    {"__defaults__", boundary<get_defaults>, boundary<set_defaults>, nullptr, nullptr},
    {"__kwdefaults__", boundary<get_kwdefaults>, boundary<set_kwdefaults>, nullptr, nullptr},
    {"__annotations__", boundary<get_annotations>, boundary<set_annotations>, nullptr, nullptr},
    {"__globals__", boundary<get_globals>, nullptr, nullptr, nullptr},
    {"__signature__", boundary<get_signature>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef function_methods[] = {{"__reduce__", boundary<function_reduce>, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(boundary<function_dealloc>)},
    {Py_tp_repr, reinterpret_cast<void*>(boundary<function_repr>)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(boundary<function_get>)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(boundary<function_clear>)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr}};

PyType_Spec function_spec = {"builtins.function", sizeof(FunctionObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                 Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                 Py_TPFLAGS_IMMUTABLETYPE,
                             function_slots};

PyTypeObject* function_type(Where where) {
    static PyTypeObject* type = nullptr;
    if (!type) type = reinterpret_cast<PyTypeObject*>(Obj::steal(PyType_FromSpec(&function_spec), where).release());
    return type;
}

}  // namespace

Call::Call(PyObject* const* args, Py_ssize_t n, PyObject* function) : args_(args), n_(n), function_(function) {}

Call::Call(Call&& other) noexcept
    : args_(other.args_), n_(other.n_), function_(other.function_), owned_(other.owned_) {
    if (owned_ == other.inline_) {
        for (Py_ssize_t i = 0; i <= n_; ++i) inline_[i] = other.inline_[i];
        owned_ = inline_;
        args_ = inline_ + 1;
    }
    other.owned_ = nullptr;
}

Call::~Call() {
    if (!owned_) return;
    for (Py_ssize_t i = 0; i <= n_; ++i) Py_DECREF(owned_[i]);
    if (owned_ != inline_) delete[] owned_;
}

Handle Call::closure() const {
    PyObject* closure = as_function(function_)->closure;
    return closure ? closure : Py_None;
}

Call Call::owned() const {
    Call copy(nullptr, n_, function_);
    copy.owned_ = n_ < inline_owned ? copy.inline_ : new PyObject*[static_cast<size_t>(n_) + 1];
    copy.owned_[0] = Py_NewRef(function_);
    for (Py_ssize_t i = 0; i < n_; ++i) copy.owned_[i + 1] = Py_NewRef(args_[i]);
    copy.args_ = copy.owned_ + 1;
    return copy;
}

int Call::traverse(visitproc visit, void* arg) const {
    if (!owned_) return 0;
    for (Py_ssize_t i = 0; i <= n_; ++i) Py_VISIT(owned_[i]);
    return 0;
}

Obj make_function(FunctionSpec spec, Where where) {
    auto s = std::make_unique<Signature>();
    s->name = spec.name;
    s->returns = spec.returns;
    s->line = static_cast<int>(where.line());
    Obj defaults = Obj::none(), kwdefaults = Obj::none();
    Obj annotations = new_dict(where);
    std::vector<Obj> positional_defaults;
    for (Param& p : spec.params) {
        s->names.push_back(name(p.name));
        if (p.kind == Kind::positional_or_keyword) ++s->npos;
        if (p.exact) s->has_exact = true;
        if (p.annotation) annotations.set_item(Handle(name(p.name)), str(p.annotation, where), where);
        if (p.default_value.valid()) {
            if (p.kind == Kind::positional_or_keyword) {
                positional_defaults.push_back(p.default_value);
            } else {
                if (kwdefaults.is_none()) kwdefaults = new_dict(where);
                kwdefaults.set_item(Handle(name(p.name)), p.default_value, where);
            }
        }
        s->params.push_back(p);
        s->params.back().default_value.reset();
    }
    s->total = static_cast<Py_ssize_t>(s->params.size());
    if (spec.returns) annotations.set_item(Handle(name("return")), str(spec.returns, where), where);
    if (!positional_defaults.empty()) {
        defaults = Obj::steal(PyTuple_New(static_cast<Py_ssize_t>(positional_defaults.size())), where);
        for (size_t i = 0; i < positional_defaults.size(); ++i)
            PyTuple_SET_ITEM(defaults.ptr(), static_cast<Py_ssize_t>(i), positional_defaults[i].release());
    }
    Obj function_name = str(spec.name, where);
    Obj qualname = spec.qualname.empty() ? function_name : str(spec.qualname, where);
    Obj module = str(current_module().dotted_name, where);
    Obj doc = spec.doc ? str(spec.doc, where) : Obj::none();
    Obj closure = spec.closure.valid() ? spec.closure : Obj::none();

    if (spec.generator) prepare_generator_type();
    PyTypeObject* type = function_type(where);
    auto* f = PyObject_GC_New(FunctionObject, type);
    if (!f) fail(where);
    f->vectorcall = function_vectorcall;
    f->direct_nargs = s->total == s->npos && !s->has_exact && !spec.generator ? s->total : -1;
    f->checked_nargs = s->total == s->npos && s->has_exact && !spec.generator ? s->total : -1;
    f->sig = s.release();
    f->body = spec.body;
    f->generator = spec.generator;
    f->name = function_name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = doc.release();
    f->dict = nullptr;
    f->defaults = defaults.release();
    f->kwdefaults = kwdefaults.release();
    f->annotations = annotations.release();
    f->closure = closure.release();
    f->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Obj::steal(reinterpret_cast<PyObject*>(f), where);
}

}  // namespace kv
