// Pieces of the frame that deliverables do not use directly.
#pragma once
#include "frame.hpp"

#include <cstdint>
#include <vector>

namespace kv {

// Objects kept per source literal, found by the literal's address: a power-of-two open-addressing
// table, since a lookup sits on the path of nearly every attribute, method and global access.
class LiteralTable {
public:
    PyObject* find(const char* key) const {
        if (slots_.empty()) return nullptr;
        for (size_t i = slot_of(key);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i].key == key) return slots_[i].value;
            if (!slots_[i].key) return nullptr;
        }
    }
    void insert(const char* key, PyObject* value);  // takes the reference

private:
    struct Slot {
        const char* key = nullptr;
        PyObject* value = nullptr;
    };
    size_t slot_of(const char* key) const {
        auto bits = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key));
        return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32) & (slots_.size() - 1);
    }
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

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
