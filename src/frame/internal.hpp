// Pieces of the frame that deliverables do not use directly.
#pragma once
#include "frame.hpp"

#include <cstdint>
#include <type_traits>
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

// raise(type, text) with the text made as PyErr_Format makes it, for the frame's own messages.
[[noreturn]] void raise_format(int line, PyObject* type, const char* format, ...);

// Adds a traceback entry for the running module's source path.
void add_traceback(const char* function_name, int line);
// The same for a function or generator named by its (possibly reassigned) __qualname__.
void add_traceback(PyObject* qualname, int line);
// The empty code object that traceback entries for this name and line use (borrowed; cached).
PyCodeObject* traceback_code(const char* function_name, int line);

// Inside a catch block: turns the active C++ exception into a set Python exception.
void translate_cpp_exception() noexcept;

// The one error boundary between the interpreter and the frame: every slot, getter, setter and
// module step runs through it, so no C++ exception ever reaches the interpreter. A failure returns
// the slot's "error" value (null, -1) with the Python exception set; in a slot that cannot report
// (dealloc, finalisation) it is written as unraisable, as the host does.
template <class R>
R slot_failure() noexcept {
    if constexpr (std::is_void_v<R>) {
        PyErr_WriteUnraisable(nullptr);
    } else if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return -1;
    }
}

template <auto F>
struct Boundary;

template <class R, class... A, R (*F)(A...)>
struct Boundary<F> {
    static R run(A... args) noexcept {
        try {
            return F(args...);
        } catch (...) {
            translate_cpp_exception();
            return slot_failure<R>();
        }
    }
};

// `boundary<generator_next>` is `generator_next` as a slot that cannot throw.
template <auto F>
inline constexpr auto boundary = &Boundary<F>::run;

Handle module_namespace();

// The line recorded by `raised(...)` for the exception now set, or `fallback` when that exception
// was not reported through raised(...). Reading it forgets the record.
int take_raised_line(int fallback) noexcept;

// The holders of the generator body being stepped on this thread (null outside a body).
extern __attribute__((tls_model("initial-exec"))) constinit thread_local Held** stepping_held;

// Counting native recursion against the interpreter's budget, as the host's C functions do. Every
// frame call, generator step and guard counts one level on this thread's own counter; the host's
// budget (reached only through a call into the interpreter) is charged a chunk of levels whenever
// the counter enters a new chunk and given the chunk back when it leaves it, so that a call costs
// no more than a compare and an increment. The first chunk is free (the common shallow call never
// reaches the interpreter's thread state); the limit is met within a chunk of the host's.
// enter refuses with RecursionError when the budget is spent or the thread's stack runs low.
constexpr int depth_chunk = 8;
extern __attribute__((tls_model("initial-exec"))) constinit thread_local int native_depth;
// The lowest stack address a call may start at on this thread (UINTPTR_MAX until measured).
extern __attribute__((tls_model("initial-exec"))) constinit thread_local uintptr_t stack_floor;
bool enter_native_call_slow(const char* what) noexcept;  // a new chunk, or the stack is low
void give_back_chunk() noexcept;

// Whether entering (or having left back to) this depth starts a chunk that the host is charged for.
inline bool starts_chunk(int depth) { return (depth & (depth_chunk - 1)) == 0 && depth > 0; }

inline bool enter_native_call(const char* what) noexcept {
    if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) <= stack_floor || starts_chunk(native_depth))
        [[unlikely]]
        return enter_native_call_slow(what);
    ++native_depth;
    return true;
}

inline void leave_native_call() noexcept {
    if (starts_chunk(--native_depth)) [[unlikely]]
        give_back_chunk();
}

// The same without any check, for a level taken back when a suspended body resumes.
void enter_native_call_unchecked() noexcept;

// Makes the generator type of this module if it is not made yet.
void prepare_generator_type();
PyObject* new_generator(std::coroutine_handle<> body, GeneratorPromise* promise, PyObject* name, PyObject* qualname,
                        int line);

}  // namespace kv
