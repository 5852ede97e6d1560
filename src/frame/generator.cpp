// Generator objects driving coroutine bodies: lazy start, send, throw, close, delegation.
#include "frame.hpp"
#include "internal.hpp"

namespace kv {

Obj Generator::YieldAwaiter::await_resume() const {
    if (p->throw_pending) {
        p->throw_pending = false;
        throw PyError{0};
    }
    return std::move(p->sent);
}

void Generator::DelegateAwaiter::await_suspend(handle_type h) noexcept {
    p = &h.promise();
    p->delegate = std::move(iterator);
    p->delegate_new = true;
}

Obj Generator::DelegateAwaiter::await_resume() {
    if (p->throw_pending) {
        p->throw_pending = false;
        throw PyError{0};
    }
    return std::move(p->delegate_result);
}

Generator::DelegateAwaiter yield_from(Handle iterable, Where where) {
    return Generator::DelegateAwaiter{Obj::steal(PyObject_GetIter(iterable.ptr()), where)};
}

namespace {

struct GeneratorObject {
    PyObject_HEAD
    Generator::handle_type handle;  // empty once finished
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    int line;
    bool started;
    bool running;
};

GeneratorObject* as_generator(PyObject* o) { return reinterpret_cast<GeneratorObject*>(o); }

void destroy_frame(GeneratorObject* g) {
    if (g->handle) {
        auto h = g->handle;
        g->handle = nullptr;
        h.destroy();
    }
}

// The body ended: a set exception means it failed; none means it returned.
PyObject* finish(GeneratorObject* g) {
    std::exception_ptr error = g->handle.promise().error;
    destroy_frame(g);
    if (!error) return nullptr;
    int line = g->line;
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

// One step of a delegate; returns the yielded value, or empty with its end or error set.
Obj delegate_step(Handle delegate, Handle sent, bool is_throw) {
    if (is_throw) {
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
            Obj exit = fetch_error();
            Obj close = delegate.attr_or_null("close");
            if (close.valid()) {
                Obj closed = Obj::steal_or_null(PyObject_CallNoArgs(close.ptr()));
                if (!closed.valid()) return Obj();
            }
            PyErr_SetRaisedException(exit.release());
            return Obj();
        }
        Obj exception = fetch_error();
        Obj thrower = Obj::steal_or_null(PyObject_GetAttrString(delegate.ptr(), "throw"));
        if (!thrower.valid()) {
            PyErr_Clear();
            PyErr_SetRaisedException(exception.release());
            return Obj();
        }
        return Obj::steal_or_null(PyObject_CallOneArg(thrower.ptr(), exception.ptr()));
    }
    if (sent.is_none() && PyIter_Check(delegate.ptr())) return Obj::steal_or_null(Py_TYPE(delegate.ptr())->tp_iternext(delegate.ptr()));
    return Obj::steal_or_null(PyObject_CallMethodOneArg(delegate.ptr(), name("send"), sent.ptr()));
}

// Runs the body to its next yield; `is_throw` means the set exception is raised inside it.
PyObject* step(GeneratorObject* g, PyObject* value, bool is_throw) {
    auto& p = g->handle.promise();
    g->started = true;
    g->running = true;
    Obj sent(Handle(value ? value : Py_None));
    for (;;) {
        if (p.delegate.valid()) {
            Obj out = delegate_step(p.delegate, sent, is_throw);
            if (out.valid()) {
                g->running = false;
                return out.release();
            }
            p.delegate.reset();
            is_throw = PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_StopIteration);
            if (!is_throw) p.delegate_result = stop_value();
        }
        p.sent = std::move(sent);
        p.throw_pending = is_throw;
        g->handle.resume();
        if (g->handle.done()) {
            g->running = false;
            return finish(g);
        }
        if (p.delegate_new) {
            p.delegate_new = false;
            sent = Obj::none();
            is_throw = false;
            continue;
        }
        g->running = false;
        return p.yielded.release();
    }
}

bool refuse_if_running(GeneratorObject* g) {
    if (!g->running) return false;
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
    if (g->handle && !g->started && value != Py_None) {
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
    if (!g->started) {
        destroy_frame(g);
        return nullptr;
    }
    PyObject* result = step(g, nullptr, true);
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

PyObject* generator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    GeneratorObject* g = as_generator(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected between 1 and 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (refuse_if_running(g)) return nullptr;
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
    } else if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, value);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    return throw_set_error(g);
}

PyObject* generator_close(PyObject* self, PyObject*) {
    GeneratorObject* g = as_generator(self);
    if (refuse_if_running(g)) return nullptr;
    if (!g->handle) Py_RETURN_NONE;
    if (!g->started) {
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
    if (!g->handle || !g->started) return;
    PyObject* saved = PyErr_GetRaisedException();
    PyObject* result = generator_close(self, nullptr);
    if (result) {
        Py_DECREF(result);
    } else {
        PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

// The references a suspended body holds through its arguments and its yield/delegate slots; the
// body's own locals stay hidden, which only means a cycle through them is not collected.
int generator_traverse(PyObject* self, visitproc visit, void* arg) {
    GeneratorObject* g = as_generator(self);
    Py_VISIT(Py_TYPE(self));
    if (!g->handle) return 0;
    auto& p = g->handle.promise();
    if (p.call) {
        if (int rc = p.call->traverse(visit, arg)) return rc;
    }
    Py_VISIT(p.yielded.ptr());
    Py_VISIT(p.sent.ptr());
    Py_VISIT(p.delegate.ptr());
    Py_VISIT(p.delegate_result.ptr());
    return 0;
}

void generator_dealloc(PyObject* self) {
    GeneratorObject* g = as_generator(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (g->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    destroy_frame(g);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* generator_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_generator(self)->qualname, self);
}

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_generator(self)->running); }
PyObject* get_yieldfrom(PyObject* self, void*) {
    GeneratorObject* g = as_generator(self);
    if (g->handle && g->handle.promise().delegate.valid()) return Py_NewRef(g->handle.promise().delegate.ptr());
    Py_RETURN_NONE;
}
PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_generator(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_generator(self)->qualname); }

PyGetSetDef generator_getset[] = {{"gi_running", get_running, nullptr, nullptr, nullptr},
                                  {"gi_yieldfrom", get_yieldfrom, nullptr, nullptr, nullptr},
                                  {"__name__", get_name, nullptr, nullptr, nullptr},
                                  {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
                                  {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)), METH_FASTCALL, nullptr},
    {"close", generator_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyMemberDef generator_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(GeneratorObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot generator_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(generator_dealloc)},
                                 {Py_tp_traverse, reinterpret_cast<void*>(generator_traverse)},
                                 {Py_tp_finalize, reinterpret_cast<void*>(generator_finalize)},
                                 {Py_tp_repr, reinterpret_cast<void*>(generator_repr)},
                                 {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                                 {Py_tp_iternext, reinterpret_cast<void*>(generator_next)},
                                 {Py_tp_methods, generator_methods},
                                 {Py_tp_members, generator_members},
                                 {Py_tp_getset, generator_getset},
                                 {0, nullptr}};

PyType_Spec generator_spec = {"builtins.generator", sizeof(GeneratorObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                              generator_slots};

PyTypeObject* generator_type() {
    static PyTypeObject* type = nullptr;
    if (type) return type;
    Obj created = Obj::steal(PyType_FromSpec(&generator_spec));
    import_module("collections.abc").attr("Generator").call_method("register", {created});
    type = reinterpret_cast<PyTypeObject*>(created.release());
    return type;
}

}  // namespace

PyObject* new_generator(Generator body, PyObject* name, PyObject* qualname, int line) {
    PyTypeObject* type = nullptr;
    try {
        type = generator_type();
    } catch (...) {
        body.handle.destroy();
        throw;
    }
    auto* g = PyObject_GC_New(GeneratorObject, type);
    if (!g) {
        body.handle.destroy();
        fail();
    }
    g->handle = body.handle;
    g->name = Py_NewRef(name);
    g->qualname = Py_NewRef(qualname);
    g->weakrefs = nullptr;
    g->line = line;
    g->started = false;
    g->running = false;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
    return reinterpret_cast<PyObject*>(g);
}

}  // namespace kv
