// Module definition: the module body and multi-phase initialisation. Part of the module frame (frame.hpp includes every part).
#pragma once
#include "classes.hpp"
#include "function.hpp"

namespace kv {

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
