// Multi-phase initialisation: one module object per process, loaded into one interpreter only.
#include "frame.hpp"
#include "internal.hpp"
#include "records.hpp"

#include <frameobject.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <unordered_map>

namespace kv {

PyObject* g_namespace = nullptr;  // borrowed from g_module

namespace {

const ModuleInfo* g_info = nullptr;
PyObject* g_module = nullptr;        // the process's module object, kept for the process's life
PyObject* g_executing = nullptr;     // the module whose body runs or ran
bool g_executed = false;
PyObject* g_builtins = nullptr;      // the builtins module's namespace, taken at exec
int64_t g_interpreter = -1;
std::string g_source_path;

// Copies spec.<from> into the module namespace as <to>; a missing attribute is skipped.
void copy_spec_attribute(Handle spec, Handle ns, const char* from, const char* to, bool allow_none) {
    Obj value = spec.attr_or_null(from);
    if (!value.valid()) return;
    if (allow_none || !value.is_none()) ns.set_item(name(to), value);
}

std::string source_path(const char* dotted) {
    std::string path = "src";
    for (const char* c = dotted;; ++c) {
        if (c == dotted || c[-1] == '.') path += '\\';
        if (!*c) break;
        if (*c != '.') path += *c;
    }
    return path + ".py";
}

}  // namespace

void register_module(const ModuleInfo* info) { g_info = info; }
const ModuleInfo& current_module() { return *g_info; }

namespace {

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (g_interpreter == -1) {
        g_interpreter = id;
    } else if (g_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    Obj module = Obj::steal(PyModule_NewObject(Handle(spec).attr("name").ptr()));
    Handle ns = PyModule_GetDict(module.ptr());
    copy_spec_attribute(spec, ns, "loader", "__loader__", true);
    copy_spec_attribute(spec, ns, "origin", "__file__", true);
    copy_spec_attribute(spec, ns, "parent", "__package__", true);
    copy_spec_attribute(spec, ns, "submodule_search_locations", "__path__", false);
    g_module = Obj(module).release();
    return module.release();
}

}  // namespace

// Module creation and execution pass through the frame's error boundary: an allocation failure or
// any other C++ exception becomes a Python exception, never a termination.
PyObject* module_create(PyObject* spec, PyModuleDef* def) { return boundary<create_module>(spec, def); }

static void warn_on_version_mismatch() {
    if (PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION == 12) {
        const char* v = Py_GetVersion();
        if (v[0] == '3' && v[1] == '.' && v[2] == '1' && v[3] == '2' && (v[4] < '0' || v[4] > '9')) return;
    }
    int major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
    char text[400];
    std::snprintf(text, sizeof text, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3,
                  12, g_info->dotted_name, "does not match", major, minor);
    check(PyErr_WarnEx(PyExc_RuntimeWarning, text, 1));
}

static int exec_module(PyObject* module) {
    if (g_executing) {
        if (module == g_executing && g_executed) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", g_info->short_name);
        return -1;
    }
    g_executing = module;
    g_namespace = PyModule_GetDict(module);
    g_source_path = source_path(g_info->dotted_name);
    try {
        Handle ns = g_namespace;
        Obj builtins = import_module("builtins");
        ns.set_item(name("__builtins__"), builtins);
        g_builtins = PyModule_GetDict(builtins.ptr());
        warn_on_version_mismatch();
        layout_verified();  // settled before any body runs, so later reads of the answer run nothing
        Obj modules = Obj(Handle(PyImport_GetModuleDict()));
        Obj dotted = str(g_info->dotted_name);
        if (!modules.contains(dotted)) modules.set_item(dotted, Handle(module));
        ModuleBody body(module);
        g_info->body(body);
        g_executed = true;
        return 0;
    } catch (const PyError& e) {
        add_traceback("<module>", e.line);
    } catch (...) {
        translate_cpp_exception();
    }
    // A failed body may run again on a later import of the same object.
    g_executing = nullptr;
    return -1;
}

int module_exec(PyObject* module) { return boundary<exec_module>(module); }

// One empty code object per function name and line, made at the first failure there: the entry is
// then a fresh frame over it (the interpreter's own helper builds a code object and a globals dict
// for every entry, which costs more than the rest of an error path).
PyCodeObject* traceback_code(const char* function_name, int line) {
    static std::unordered_map<std::string, PyCodeObject*> cache;
    std::string key = std::to_string(line) + ':' + function_name;
    auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    PyCodeObject* code = PyCode_NewEmpty(g_source_path.c_str(), function_name, line);
    if (code) cache.emplace(std::move(key), code);
    return code;
}

namespace {

// The entry over `code` (null: none could be made) for the pending exception.
void add_traceback_entry(PyCodeObject* code) {
    PyObject* pending = PyErr_GetRaisedException();
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, g_namespace, nullptr) : nullptr;
    if (!frame) PyErr_Clear();  // no entry rather than a lost exception
    PyErr_SetRaisedException(pending);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

// The code objects of the last few functions that failed, by the qualname object itself (held, so
// that its address names that one text) and line: a repeated failure skips making the lookup's key.
struct RecentCode {
    PyObject* qualname = nullptr;
    int line = 0;
    PyCodeObject* code = nullptr;
};
RecentCode recent_codes[8];
unsigned next_recent = 0;

}  // namespace

void add_traceback(const char* function_name, int line) {
    PyObject* pending = PyErr_GetRaisedException();
    PyCodeObject* code = traceback_code(function_name, line);
    if (!code) PyErr_Clear();  // no entry rather than a lost exception
    PyErr_SetRaisedException(pending);
    add_traceback_entry(code);
}

void add_traceback(PyObject* qualname, int line) {
    for (const RecentCode& recent : recent_codes)
        if (recent.qualname == qualname && recent.line == line && qualname) return add_traceback_entry(recent.code);
    PyObject* pending = PyErr_GetRaisedException();
    const char* text = qualname && PyUnicode_Check(qualname) ? PyUnicode_AsUTF8(qualname) : nullptr;
    if (!text) {
        PyErr_Clear();
        text = "<unknown>";
    }
    PyCodeObject* code = traceback_code(text, line);
    if (!code) {
        PyErr_Clear();  // no entry rather than a lost exception
    } else if (PyUnicode_CheckExact(qualname)) {
        RecentCode& slot = recent_codes[next_recent++ % std::size(recent_codes)];
        PyObject* old = slot.qualname;
        slot = RecentCode{Py_NewRef(qualname), line, code};
        Py_XDECREF(old);  // a text: releasing it runs no Python code
    }
    PyErr_SetRaisedException(pending);
    add_traceback_entry(code);
}

void translate_cpp_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

Handle module_namespace() { return g_namespace; }

Obj global(const char* global_name, Where where) {
    PyObject* key = name(global_name);
    PyObject* value = PyDict_GetItemWithError(g_namespace, key);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(g_builtins, key);
    if (value) return Obj(Handle(value));
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    fail(where);
}

Obj global(const char* global_name, Py_ssize_t& hint, Where where) {
    PyObject* key = name(global_name);
    if (layout_verified_state == 1) {
        if (PyObject* value = entry_value(g_namespace, hint, key)) return Obj(Handle(value));
    }
    return global_at(key, hint, where);
}

Obj global_at(PyObject* key, Py_ssize_t& hint, Where where) {
    PyObject* value = layout_verified_state == 1 ? dict_entry(g_namespace, key, hint)
                                                 : PyDict_GetItemWithError(g_namespace, key);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(g_builtins, key);
    if (value) return Obj(Handle(value));
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    fail(where);
}

Obj module_attr_at(Handle module, PyObject* key, Py_ssize_t& hint, Where where) {
    if (PyObject* value = dict_entry(PyModule_GetDict(module.ptr()), key, hint)) return Obj(Handle(value));
    return module.attr(Handle(key), where);
}

Obj builtin(const char* builtin_name, Where where) {
    static LiteralTable cache;
    if (PyObject* found = cache.find(builtin_name)) return Obj(Handle(found));
    PyObject* key = name(builtin_name);
    PyObject* value = PyDict_GetItemWithError(g_builtins, key);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
        fail(where);
    }
    cache.insert(builtin_name, Py_NewRef(value));
    return Obj(Handle(value));
}

// --- the module body -----------------------------------------------------------------------------

ModuleBody::ModuleBody(PyObject* module) : module_(module) {}

void ModuleBody::import(const char* dotted, const char* as, Where where) {
    Obj modname = str(dotted, where);
    Obj top = Obj::steal(PyImport_ImportModuleLevelObject(modname.ptr(), g_namespace, nullptr, nullptr, 0), where);
    if (!as) {
        std::string_view d(dotted);
        std::string_view top_name = d.substr(0, d.find('.'));
        PyObject* interned = PyUnicode_FromStringAndSize(top_name.data(), static_cast<Py_ssize_t>(top_name.size()));
        if (interned) PyUnicode_InternInPlace(&interned);
        Obj key = Obj::steal(interned, where);
        check(PyDict_SetItem(g_namespace, key.ptr(), top.ptr()), where);
        return;
    }
    Obj leaf = Obj(Handle(PyImport_GetModuleDict())).item(modname, where);
    set(as, leaf, where);
}

void ModuleBody::import_from(const char* dotted, std::initializer_list<const char*> names, Where where) {
    Obj fromlist = Obj::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())), where);
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(fromlist.ptr(), i++, Obj(Handle(name(n))).release());
    Obj modname = str(dotted, where);
    Obj mod = Obj::steal(PyImport_ImportModuleLevelObject(modname.ptr(), g_namespace, nullptr, fromlist.ptr(), 0),
                         where);
    for (const char* n : names) {
        Obj value = mod.attr_or_null(n, where);
        if (!value.valid()) {
            Obj submodule = Obj::steal(PyUnicode_FromFormat("%s.%s", dotted, n), where);
            PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), submodule.ptr());
            if (!found) {
                if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name(n));
                fail(where);
            }
            value = Obj(Handle(found));
        }
        set(n, value, where);
    }
}

void ModuleBody::set(const char* global_name, Handle value, Where where) {
    check(PyDict_SetItem(g_namespace, name(global_name), value.ptr()), where);
}

Obj ModuleBody::def(FunctionSpec spec, Where where) {
    const char* n = spec.name;
    Obj function = make_function(std::move(spec), where);
    set(n, function, where);
    return function;
}

Obj ModuleBody::define_class(ClassSpec& spec, Pos bases, Kws kwds, Where where) {
    Obj cls = spec.create(bases, kwds, where);
    set(spec.class_name(), cls, where);
    return cls;
}

}  // namespace kv
