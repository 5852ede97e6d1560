// Generator bodies as C++20 coroutines. Part of the module frame (frame.hpp includes every part).
#pragma once
#include <coroutine>
#include <exception>

#include "function.hpp"

namespace kv {

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

}  // namespace kv
