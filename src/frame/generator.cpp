// Generator objects driving coroutine bodies: lazy start, send, throw, close, delegation.
#include "frame.hpp"
#include "internal.hpp"

#include <frameobject.h>


namespace kv {

Obj GeneratorPromise::YieldAwaiter::await_resume() const {
    if (p->throw_pending) {
        p->throw_pending = false;
        throw PyError{p->line};
    }
    return std::move(p->sent);
}

Obj DelegateAwaiter::await_resume() {
    if (p->throw_pending) {
        p->throw_pending = false;
        throw PyError{p->line};
    }
    return std::move(p->delegate_result);
}

DelegateAwaiter yield_from(Handle iterable, Where where) {
    return DelegateAwaiter{Obj::steal(PyObject_GetIter(iterable.ptr()), where), static_cast<int>(where.line())};
}

namespace {

// Where a generator is in its life; `handle` is empty exactly when it is finished.
enum class State : unsigned char {
    created,    // made, its body not started
    suspended,  // its body waits at a co_yield or yield_from
    running,    // its body runs (a send, throw or close is refused)
    finished,   // its body ended or was unwound; its frame is gone
};

struct GeneratorObject {
    PyObject_HEAD
    std::coroutine_handle<> handle;  // empty once finished
    GeneratorPromise* promise;       // the body's promise while the handle is alive
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    int line;
    State state;
};

GeneratorObject* as_generator(PyObject* o) { return reinterpret_cast<GeneratorObject*>(o); }

// Recursion levels that guards of a suspended body hold: given back to the thread at every
// suspension and taken again at every resumption, so that a body resumed on another thread
// leaves both threads' budgets as they were.
int guard_levels(const GeneratorPromise& p) {
    int levels = 0;
    for (const Held* h = p.held; h; h = h->next_held()) levels += h->recursion_levels();
    return levels;
}

void shift_recursion_budget(int levels) {
    for (; levels > 0; --levels) leave_native_call();
    for (; levels < 0; ++levels) enter_native_call_unchecked();
}

// Runs the body to its next suspension, its holders joining its own list meanwhile.
void resume(GeneratorObject* g) {
    KV_ASSERT(g->handle && g->promise && !g->handle.done());
    GeneratorPromise& p = *g->promise;
    if (p.held) shift_recursion_budget(-guard_levels(p));
    Held** outer = stepping_held;
    stepping_held = &p.held;
    g->handle.resume();
    stepping_held = outer;
    if (p.held && !g->handle.done()) shift_recursion_budget(guard_levels(p));
}

// Destroys the body's frame; a suspended body's guards unwind as at the end of a scope, leaving
// any exception set meanwhile untouched.
void destroy_frame(GeneratorObject* g) {
    if (!g->handle) return;
    auto h = g->handle;
    GeneratorPromise& p = *g->promise;
    g->handle = nullptr;
    g->promise = nullptr;
    g->state = State::finished;
    if (!h.done() && p.held) {
        shift_recursion_budget(-guard_levels(p));
        for (Held* held = p.held; held; held = held->next_held()) held->abandon();
    }
    Obj pending = Obj::steal_or_null(PyErr_GetRaisedException());
    h.destroy();
    PyErr_SetRaisedException(pending.release());
}

// The body ended: a set exception means it failed; none means it returned (its value becomes the
// StopIteration value).
PyObject* finish(GeneratorObject* g) {
    GeneratorPromise& p = *g->promise;
    std::exception_ptr error = p.error;
    Obj result = std::move(p.result);
    int line = p.line ? p.line : g->line;
    destroy_frame(g);
    if (!error) {
        if (result.valid() && !result.is_none()) _PyGen_SetStopIterationValue(result.ptr());
        return nullptr;
    }
    try {
        std::rethrow_exception(error);
    } catch (const PyError& e) {
        if (e.line) line = e.line;
    } catch (...) {
        translate_cpp_exception();
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        Obj cause = fetch_error();
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        Obj raised = fetch_error();
        PyException_SetCause(raised.ptr(), Obj(cause).release());
        PyException_SetContext(raised.ptr(), cause.release());
        PyErr_SetRaisedException(raised.release());
    }
    add_traceback(g->qualname, line);
    return nullptr;
}

// Takes the value of a StopIteration that ended a delegate (None when there is none).
Obj stop_value() {
    if (!PyErr_Occurred()) return Obj::none();
    Obj stop = fetch_error();
    Obj value = Obj::steal_or_null(PyObject_GetAttrString(stop.ptr(), "value"));
    if (!value.valid()) {
        PyErr_Clear();
        return Obj::none();
    }
    return value;
}

PyTypeObject* generator_type();
void generator_dealloc(PyObject* self);

bool is_generator(Handle delegate) {
    PyObject* d = delegate.ptr();
    return PyGen_CheckExact(d) || PyCoro_CheckExact(d) || Py_TYPE(d) == generator_type();
}

// What a step of the delegate came to.
enum class Delegated {
    yielded,    // the delegate yielded: that value goes to the caller
    ended,      // the delegate ended or failed: the body resumes with its result or its error
    propagate,  // an error to give the caller at once, the body staying suspended (the host's way
                // with an error looking up the delegate's `throw`)
};

// Closes the delegate as the host does: an error looking up `close` is reported as unraisable,
// an error from `close` itself is raised inside the body.
bool close_delegate(Handle delegate) {
    PyObject* close = nullptr;
    if (_PyObject_LookupAttr(delegate.ptr(), name("close"), &close) < 0) PyErr_WriteUnraisable(delegate.ptr());
    Obj method = Obj::steal_or_null(close);
    if (!method.valid()) return true;
    return Obj::steal_or_null(PyObject_CallNoArgs(method.ptr())).valid();
}

// One step of a delegate; `out` receives the yielded value, or is left empty with its end or error set.
Delegated delegate_step(Handle delegate, Handle sent, bool is_throw, Obj& out) {
    if (!is_throw) {
        if (sent.is_none() && PyIter_Check(delegate.ptr()))
            out = Obj::steal_or_null(Py_TYPE(delegate.ptr())->tp_iternext(delegate.ptr()));
        else
            out = Obj::steal_or_null(PyObject_CallMethodOneArg(delegate.ptr(), name("send"), sent.ptr()));
        return out.valid() ? Delegated::yielded : Delegated::ended;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        Obj exit = fetch_error();
        if (close_delegate(delegate)) PyErr_SetRaisedException(exit.release());
        return Delegated::ended;
    }
    Obj exception = fetch_error();
    PyObject* found = nullptr;
    if (_PyObject_LookupAttr(delegate.ptr(), name("throw"), &found) < 0) return Delegated::propagate;
    Obj thrower = Obj::steal_or_null(found);
    if (!thrower.valid()) {
        PyErr_SetRaisedException(exception.release());
        return Delegated::ended;
    }
    if (is_generator(delegate)) {
        // A generator takes the exception alone (it carries its traceback), as the host hands it on.
        out = Obj::steal_or_null(PyObject_CallOneArg(thrower.ptr(), exception.ptr()));
    } else {
        // Any other delegate gets the type, value and traceback, as from the host.
        Obj tb = Obj::steal_or_null(PyException_GetTraceback(exception.ptr()));
        Obj kind(Handle(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr()))));
        out = Obj::steal_or_null(PyObject_CallFunctionObjArgs(thrower.ptr(), kind.ptr(), exception.ptr(),
                                                              tb.valid() ? tb.ptr() : Py_None, nullptr));
    }
    return out.valid() ? Delegated::yielded : Delegated::ended;
}

// Runs the body to its next yield; `is_throw` means the set exception is raised inside it.
PyObject* step(GeneratorObject* g, PyObject* value, bool is_throw) {
    if (!enter_native_call(" while calling a Python object")) return nullptr;
    GeneratorPromise& p = *g->promise;
    KV_ASSERT(g->handle && g->state != State::running);
    g->state = State::running;
    Obj sent(Handle(value ? value : Py_None));
    PyObject* result = nullptr;
    for (;;) {
        if (p.delegate.valid()) {
            Obj out;
            Delegated how = delegate_step(p.delegate, sent, is_throw, out);
            if (how == Delegated::yielded) {
                result = out.release();
                break;
            }
            if (how == Delegated::propagate) break;
            p.delegate.reset();
            is_throw = PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_StopIteration);
            if (!is_throw) p.delegate_result = stop_value();
        }
        p.sent = std::move(sent);
        p.throw_pending = is_throw;
        resume(g);
        if (g->handle.done()) {
            result = finish(g);
            break;
        }
        if (p.delegate_new) {
            p.delegate_new = false;
            sent = Obj::none();
            is_throw = false;
            continue;
        }
        result = p.yielded.release();
        break;
    }
    if (g->state == State::running) g->state = State::suspended;
    KV_ASSERT((g->state == State::finished) == !g->handle);
    leave_native_call();
    return result;
}

bool refuse_if_running(GeneratorObject* g) {
    if (g->state != State::running) return false;
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return true;
}

PyObject* generator_next(PyObject* self) {
    GeneratorObject* g = as_generator(self);
    if (!g->handle || refuse_if_running(g)) return nullptr;
    return step(g, nullptr, false);
}

PyObject* generator_send(PyObject* self, PyObject* value) {
    GeneratorObject* g = as_generator(self);
    if (refuse_if_running(g)) return nullptr;
    if (g->state == State::created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* result = g->handle ? step(g, value, false) : nullptr;
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// Raises the set exception inside the generator.
PyObject* throw_set_error(GeneratorObject* g) {
    if (!g->handle) return nullptr;
    if (g->state == State::created) {
        destroy_frame(g);
        return nullptr;
    }
    PyObject* result = step(g, nullptr, true);
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// Sets the exception that throw(type[, value[, traceback]]) describes, as the host does.
bool set_thrown(PyObject* type, PyObject* value, PyObject* tb) {
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    Obj exception;
    if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        exception = Obj(Handle(type));
    } else if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, value ? value : Py_None);
        exception = fetch_error();
        if (!exception.valid()) return false;
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return false;
    }
    if (tb && PyException_SetTraceback(exception.ptr(), tb) < 0) return false;
    PyErr_SetRaisedException(exception.release());
    return true;
}

PyObject* generator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    GeneratorObject* g = as_generator(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected between 1 and 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    if (refuse_if_running(g)) return nullptr;
    if (!set_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr)) return nullptr;
    return throw_set_error(g);
}

PyObject* generator_close(PyObject* self, PyObject*) {
    GeneratorObject* g = as_generator(self);
    if (refuse_if_running(g)) return nullptr;
    if (!g->handle) Py_RETURN_NONE;
    if (g->state == State::created) {
        destroy_frame(g);
        Py_RETURN_NONE;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* result = step(g, nullptr, true);
    if (result) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_StopIteration) ||
        PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

void generator_finalize(PyObject* self) {
    GeneratorObject* g = as_generator(self);
    if (g->state == State::created || g->state == State::finished) return;
    PyObject* saved = PyErr_GetRaisedException();
    PyObject* result = boundary<generator_close>(self, nullptr);
    if (result) {
        Py_DECREF(result);
    } else {
        PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

// The references a suspended body holds: its arguments, its yield and delegate slots, and every
// holder (With, Range, Local) alive in its frame.
int generator_traverse(PyObject* self, visitproc visit, void* arg) {
    GeneratorObject* g = as_generator(self);
    Py_VISIT(Py_TYPE(self));
    if (!g->handle) return 0;
    GeneratorPromise& p = *g->promise;
    if (p.call) {
        if (int rc = p.call->traverse(visit, arg)) return rc;
    }
    Py_VISIT(p.yielded.ptr());
    Py_VISIT(p.sent.ptr());
    Py_VISIT(p.delegate.ptr());
    Py_VISIT(p.delegate_result.ptr());
    Py_VISIT(p.result.ptr());
    for (const Held* h = p.held; h; h = h->next_held())
        if (int rc = h->traverse(visit, arg)) return rc;
    return 0;
}

// Breaks a cycle through a suspended body by unwinding it (its finaliser has normally closed it).
int generator_clear(PyObject* self) {
    GeneratorObject* g = as_generator(self);
    if (g->state != State::running) destroy_frame(g);
    return 0;
}

// A chain of generators each holding the next is freed through the host's trashcan, so that
// dropping a long chain does not recurse once per generator on the C stack.
void generator_dealloc(PyObject* self) {
    GeneratorObject* g = as_generator(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, boundary<generator_dealloc>)
    if (g->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) == 0) {  // else resurrected
        PyObject_GC_UnTrack(self);
        destroy_frame(g);
        Py_CLEAR(g->name);
        Py_CLEAR(g->qualname);
        PyObject_GC_Del(self);
        Py_DECREF(type);
    }
    Py_TRASHCAN_END
}

PyObject* generator_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_generator(self)->qualname, self);
}

const char* qualname_text(GeneratorObject* g) {
    const char* text = PyUnicode_AsUTF8(g->qualname);
    if (!text) fail();
    return text;
}

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_generator(self)->state == State::running); }
PyObject* get_suspended(PyObject* self, void*) {
    GeneratorObject* g = as_generator(self);
    return PyBool_FromLong(g->state == State::suspended);
}
// A frame standing for the body while it can still run (inspect reads "closed" from None).
PyObject* get_frame(PyObject* self, void*) {
    GeneratorObject* g = as_generator(self);
    if (!g->handle) Py_RETURN_NONE;
    PyCodeObject* code = traceback_code(qualname_text(g), g->line);
    if (!code) fail();
    return reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, module_namespace().ptr(), nullptr));
}
PyObject* get_code(PyObject* self, void*) {
    GeneratorObject* g = as_generator(self);
    PyCodeObject* code = traceback_code(qualname_text(g), g->line);
    if (!code) fail();
    return Py_NewRef(reinterpret_cast<PyObject*>(code));
}
PyObject* get_yieldfrom(PyObject* self, void*) {
    GeneratorObject* g = as_generator(self);
    if (g->handle && g->promise->delegate.valid()) return Py_NewRef(g->promise->delegate.ptr());
    Py_RETURN_NONE;
}
PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_generator(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_generator(self)->qualname); }

PyGetSetDef generator_getset[] = {{"gi_running", boundary<get_running>, nullptr, nullptr, nullptr},
                                  {"gi_suspended", boundary<get_suspended>, nullptr, nullptr, nullptr},
                                  {"gi_frame", boundary<get_frame>, nullptr, nullptr, nullptr},
                                  {"gi_code", boundary<get_code>, nullptr, nullptr, nullptr},
                                  {"gi_yieldfrom", boundary<get_yieldfrom>, nullptr, nullptr, nullptr},
                                  {"__name__", boundary<get_name>, nullptr, nullptr, nullptr},
                                  {"__qualname__", boundary<get_qualname>, nullptr, nullptr, nullptr},
                                  {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef generator_methods[] = {
    {"send", boundary<generator_send>, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<generator_throw>)), METH_FASTCALL,
     nullptr},
    {"close", boundary<generator_close>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef generator_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(GeneratorObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot generator_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(boundary<generator_dealloc>)},
                                 {Py_tp_traverse, reinterpret_cast<void*>(generator_traverse)},
                                 {Py_tp_clear, reinterpret_cast<void*>(boundary<generator_clear>)},
                                 {Py_tp_finalize, reinterpret_cast<void*>(boundary<generator_finalize>)},
                                 {Py_tp_repr, reinterpret_cast<void*>(boundary<generator_repr>)},
                                 {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                                 {Py_tp_iternext, reinterpret_cast<void*>(boundary<generator_next>)},
                                 {Py_tp_methods, generator_methods},
                                 {Py_tp_members, generator_members},
                                 {Py_tp_getset, generator_getset},
                                 {0, nullptr}};

PyType_Spec generator_spec = {
    "builtins.generator", sizeof(GeneratorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    generator_slots};

PyTypeObject* generator_type() {
    static PyTypeObject* type = nullptr;
    if (type) return type;
    // Made while a module body defines its first generator function (under the import lock), so
    // no two threads make it; registering runs Python code, and should another thread still have
    // stored a type meanwhile, that first one stays the only type.
    Obj created = Obj::steal(PyType_FromSpec(&generator_spec));
    import_module("collections.abc").attr("Generator").call_method("register", {created});
    if (!type) type = reinterpret_cast<PyTypeObject*>(created.release());
    return type;
}

}  // namespace

void prepare_generator_type() { generator_type(); }

PyObject* new_generator(std::coroutine_handle<> body, GeneratorPromise* promise, PyObject* name, PyObject* qualname,
                        int line) {
    PyTypeObject* type = nullptr;
    try {
        type = generator_type();
    } catch (...) {
        body.destroy();
        throw;
    }
    auto* g = PyObject_GC_New(GeneratorObject, type);
    if (!g) {
        body.destroy();
        fail();
    }
    g->handle = body;
    g->promise = promise;
    g->name = Py_NewRef(name);
    g->qualname = Py_NewRef(qualname);
    g->weakrefs = nullptr;
    g->line = line;
    g->state = State::created;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
    return reinterpret_cast<PyObject*>(g);
}

}  // namespace kv
