// Pieces of the frame that deliverables do not use directly.
#pragma once
#include "frame.hpp"

namespace kv {

// Adds a traceback entry for the running module's source path.
void add_traceback(const char* function_name, int line);
// The same for a function or generator named by its (possibly reassigned) __qualname__.
void add_traceback(PyObject* qualname, int line);

// Inside a catch block: turns the active C++ exception into a set Python exception.
void translate_cpp_exception();

Handle module_namespace();

// The line of the last `raised(...)`, for the traceback entry of a body that returned it.
extern int raised_line;

PyObject* new_generator(Generator body, PyObject* name, PyObject* qualname, int line);

}  // namespace kv
